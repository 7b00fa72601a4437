// What the record files share: the addressable range of a record, the
// memo caches reset, the keys of a record in every tag of the table, and
// the marking of indexes after a change that did not go through. Defined
// in d4write.cpp; used by appending and writing back.
#ifndef CATALOGR_D4RECORD_H
#define CATALOGR_D4RECORD_H

#include <cstddef>
#include <vector>

#include "xbase/index/i4index.h"

// Whether record `rec` and the end mark after it fit the addressable range.
// 0, or the code of the report.
int d4record_fits(DATA4 *data, long rec);
void d4reset_memos(DATA4 *data);
// Every tag of every open index of the table, in index and tag order.
std::vector<TAG4 *> d4all_tags(DATA4 *data);

// Key and filter result of one tag for one record image. The key is kept
// in place: taking keys out again after memory ran out must need none.
struct TagImage {
    char key[I4_MAX_KEY_LEN];
    size_t len = 0;
    int passes = 0;
};

// Computes key and filter result of `t4` for the image in data->record.
int d4tag_image(TAG4 *t4, TagImage *img);
// Every index of the table keeps the mark of a change under way when its
// lock is let go, so that the next holder rebuilds it.
void d4fail_indexes(DATA4 *data);
// A file open exclusively mends a change that did not go through when the
// operation ends.
void d4settle_indexes(DATA4 *data);

#endif

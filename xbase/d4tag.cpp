// A table through its tags: the tags of a data file and the one selected,
// top, bottom and skip in a tag's order, the seek of a data file, and the
// rebuild of a table's indexes.
#include "xbase/d4tag.h"

#include <cstring>
#include <vector>

#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/index/r4reindex.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"
#include "xbase/u4util.h"

namespace {

int key_len_of(const TAG4 *t4) { return t4->header.key_len; }

// The tag after (or before) `tag` across all indexes of the table; null
// starts at the first (last) tag.
TAG4 *tag_step(DATA4 *d4, TAG4 *tag, bool forward)
{
    auto step = [forward](LIST4 *list, void *at) { return forward ? l4next(list, at) : l4prev(list, at); };
    INDEX4 *i4 = tag != nullptr ? tag->index : (INDEX4 *)step(&d4->indexes, nullptr);
    TAG4 *t4 = i4 == nullptr ? nullptr : (TAG4 *)step(&i4->tags, tag);
    while (i4 != nullptr && t4 == nullptr) {
        i4 = (INDEX4 *)step(&d4->indexes, i4);
        if (i4 != nullptr)
            t4 = (TAG4 *)step(&i4->tags, nullptr);
    }
    return t4;
}

// Steps `t4` by n entries in its own order: 0 with the number of entries
// moved (negative backward) in *moved, or -1 when the tag failed (its
// path is then empty).
int tag_step(TAG4 *t4, long n, long *moved)
{
    *moved = t4dskip(t4, n);
    return t4block(t4) == nullptr || t4->code_base->error_code < 0 ? -1 : 0;
}

// An index entry naming a record past the data file's end is passed over:
// another process adds a record's keys before it writes the record, and
// several may do so one after the other while this one steps. From the
// current entry of `t4`, steps in its own order (`dir` 1 or -1) over such
// entries: 0 with the record in *rec, r4eof when the tag runs out, or -1.
// Top, bottom, skip and seek all pass entries over here; `*passed` (when
// given) counts the entries passed over, which a seek must know.
int pass_unwritten(DATA4 *data, TAG4 *t4, long dir, long *rec, long *passed = nullptr)
{
    for (;;) {
        if (t4eof(t4))
            return r4eof;
        long r = t4recno(t4);
        if (r <= 0)
            return -1;
        if (r <= data->minCount) {
            *rec = r;
            return 0;
        }
        long count = d4reccount(data);
        if (count < 0)
            return -1;
        if (r <= count) {
            *rec = r;
            return 0;
        }
        long moved = 0;
        if (tag_step(t4, dir, &moved) != 0)
            return -1;
        if (moved == 0)
            return r4eof;
        if (passed != nullptr)
            ++*passed;
    }
}

// Compares the current key of the data file's record with the tag's
// current entry over `len` bytes, and whether the record passes the
// filter: 1 they agree, 0 not, negative on failure.
int record_agrees(TAG4 *t4, int len)
{
    char *key = nullptr;
    if (t4expr_key(t4, &key) < 0 || key == nullptr)
        return -1;
    unsigned char *entry = t4key(t4);
    if (entry == nullptr || std::memcmp(key, entry, (size_t)len) != 0)
        return 0;
    if (t4->filter == nullptr)
        return 1;
    int r = expr4true(t4->filter);
    return r < 0 ? -1 : (r != 0 ? 1 : 0);
}

// Steps 4 and 5 of a data file's seek: the tag's search, then the record
// check that keeps a reader without locks from answering with an entry
// another process has changed.
int seek_and_check(DATA4 *d4, TAG4 *t4, const unsigned char *value, int len)
{
    int rc = t4version_check(t4, 0, 0);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    rc = t4seek(t4, value, len);
    if (rc < 0 || rc == r4locked)
        return rc;
    if (rc == r4eof || t4eof(t4))
        return d4go_eof(d4);
    if (d4lock_test_file(d4) == 1) {
        int g = d4go(d4, t4recno(t4));
        return g != 0 ? g : rc;
    }
    bool descending = t4->header.descending != 0;
    for (bool first = true;; first = false) {
        long r = 0, passed = 0;
        int p = pass_unwritten(d4, t4, 1, &r, &passed);
        if (p == r4eof)
            return d4go_eof(d4);
        if (p != 0)
            return -1;
        int g = d4go(d4, r);
        if (g != 0)
            return g;
        int agrees = record_agrees(t4, len);
        if (agrees < 0)
            return -1;
        if (agrees) {
            // An entry found first answers with the search's own result.
            if (first && passed == 0)
                return rc;
            char *key = nullptr;
            if (t4expr_key(t4, &key) < 0)
                return -1;
            int c = std::memcmp(key, value, (size_t)len);
            if (c == 0)
                return 0;
            // After the value in the tag's order: the next key.
            if (descending ? c < 0 : c > 0)
                return r4after;
        }
        if (t4dskip(t4, 1) != 1) {
            if (t4recno(t4) == -2)
                return -1;
            return d4go_eof(d4);
        }
    }
}

// Steps 1 and 2 of a data file's seek: its default tag (80 without one),
// and the current record written back.
int seek_start(DATA4 *d4, TAG4 **t4)
{
    if (d4 == nullptr || d4->code_base->error_code < 0)
        return -1;
    *t4 = d4tag_default(d4);
    if (*t4 == nullptr)
        return r4no_tag;
    return d4update_record(d4, 0);
}

} // namespace

// ---- Top, bottom and skip in a tag's order ----------------------------------

// The first record in the order of `t4` (top) or the last one (bottom),
// stepping over entries that name records past the file's end.
int d4tag_end(DATA4 *data, TAG4 *t4, int top)
{
    int rc = d4update_record(data, 1);
    if (rc != 0)
        return rc;
    rc = t4version_check(t4, 0, 0);
    if (rc != 0)
        return rc;
    rc = top ? t4top(t4) : t4bottom(t4);
    if (rc != 0)
        return rc;
    long r = 0;
    rc = pass_unwritten(data, t4, top ? 1 : -1, &r);
    if (rc == r4eof) {
        data->bof_flag = 1;
        return d4go_eof(data);
    }
    return rc != 0 ? rc : d4go(data, r);
}

int d4tag_skip(DATA4 *data, TAG4 *t4, long n)
{
    int descending = t4->header.descending != 0;
    if (data->eof_flag) {
        if (n >= 0)
            return d4go_eof(data);
        int rc = d4bottom(data);
        if (rc != 0 && rc != r4eof)
            return rc;
        if (rc == r4eof) {
            d4go_eof(data);
            return r4bof;
        }
        // The last entry is the first step back.
        n++;
        data->rec_num = t4recno(t4);
    }
    data->bof_flag = 0;
    if (data->record_changed && d4update_record(data, 1) != 0)
        return -1;
    int rc = t4version_check(t4, 0, 0);
    if (rc != 0)
        return rc;
    if (n == 0)
        return 0;

    bool ran_out = false;
    if (t4recno(t4) != data->rec_num) {
        rc = d4go(data, data->rec_num);
        if (rc != 0)
            return rc;
        char *key = nullptr;
        if (t4expr_key(t4, &key) < 0 || key == nullptr)
            return -1;
        rc = t4go(t4, key, data->rec_num);
        if (rc < 0)
            return -1;
        // The record's own entry is missing. Positioning works in stored
        // order and stops on the next stored entry: in an ascending tag the
        // entry after the record, which a forward skip counts as its first
        // step; in a descending tag the entry before it, which a backward
        // skip counts so. No such entry: the ascending record was past the
        // last entry, the descending one before the first.
        if (rc > 0) {
            bool none = t4eof(t4) != 0;
            if (!none && (descending ? n < 0 : n > 0)) {
                n += descending ? 1 : -1;
            } else if (none && !descending && n < 0) {
                if (t4bottom(t4) != 0)
                    return -1;
                n++;
            } else if (none && descending) {
                if (t4top(t4) != 0)
                    return -1;
                ran_out = n < 0;
                n = n > 0 ? n - 1 : 0;
            }
        }
    }

    long steps = 0;
    if (n != 0 && tag_step(t4, n, &steps) != 0)
        return -1;
    if (n > 0 && steps < n)
        return d4go_eof(data);
    long r = 0;
    rc = pass_unwritten(data, t4, n <= 0 ? -1 : 1, &r);
    if (rc == r4eof) {
        data->bof_flag = 1;
        return d4go_eof(data);
    }
    if (rc != 0)
        return rc;
    rc = d4go(data, r);
    if (rc != 0)
        return rc;
    if (steps == n && !ran_out)
        return 0;
    data->bof_flag = 1;
    return r4bof;
}

// ---- Tags of a data file ------------------------------------------------------

INDEX4 *d4index(DATA4 *d4, const char *name)
{
    if (d4 == nullptr || name == nullptr)
        return nullptr;
    std::vector<char> wanted(std::strlen(name) + 1);
    u4name_piece(wanted.data(), (int)wanted.size(), name, 1, 0);
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d4->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&d4->indexes, i4)) {
        std::vector<char> have(std::strlen(i4->file.name) + 1);
        u4name_piece(have.data(), (int)have.size(), i4->file.name, 1, 0);
        if (std::strcmp(have.data(), wanted.data()) == 0)
            return i4;
    }
    return nullptr;
}

TAG4 *d4tag(DATA4 *d4, const char *name)
{
    if (d4 == nullptr || name == nullptr)
        return nullptr;
    char wanted[I4_DIR_KEY_LEN + 1];
    i4tag_name(wanted, name);
    for (TAG4 *t4 = d4tag_next(d4, nullptr); t4 != nullptr; t4 = d4tag_next(d4, t4))
        if (std::strcmp(t4->alias, wanted) == 0)
            return t4;
    if (d4->code_base->tag_name_error)
        e4describe(d4->code_base, e4tag_name, name, nullptr, nullptr);
    return nullptr;
}

TAG4 *d4tag_default(DATA4 *d4)
{
    if (d4 == nullptr)
        return nullptr;
    TAG4 *t4 = d4tag_selected(d4);
    return t4 != nullptr ? t4 : d4tag_next(d4, nullptr);
}

TAG4 *d4tag_next(DATA4 *d4, TAG4 *tag)
{
    return d4 == nullptr ? nullptr : tag_step(d4, tag, true);
}

TAG4 *d4tag_prev(DATA4 *d4, TAG4 *tag)
{
    return d4 == nullptr ? nullptr : tag_step(d4, tag, false);
}

void d4tag_select(DATA4 *d4, TAG4 *tag)
{
    if (d4 == nullptr)
        return;
    if (tag == nullptr) {
        d4->indexes.selected = nullptr;
        return;
    }
    d4->indexes.selected = tag->index;
    tag->index->tags.selected = tag;
}

TAG4 *d4tag_selected(DATA4 *d4)
{
    if (d4 == nullptr || d4->indexes.selected == nullptr)
        return nullptr;
    return (TAG4 *)((INDEX4 *)d4->indexes.selected)->tags.selected;
}

int d4free_blocks(DATA4 *d4)
{
    if (d4 == nullptr)
        return -1;
    int rc = 0;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d4->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&d4->indexes, i4))
        for (TAG4 *t4 = i4tag_next(i4, nullptr); t4 != nullptr; t4 = i4tag_next(i4, t4)) {
            int r = t4free_all(t4);
            if (r != 0 && rc == 0)
                rc = r;
        }
    return rc;
}

// ---- Seeking from a data file -------------------------------------------------------

int d4seek(DATA4 *d4, const char *text)
{
    return d4seek_n(d4, text, text == nullptr ? 0 : (int)std::strlen(text));
}

static int d4seek_n_work(DATA4 *d4, const char *text, int len);
int d4seek_n(DATA4 *d4, const char *text, int len)
{
    return e4guard(d4 == nullptr ? nullptr : d4->code_base, e4memory, [&] { return d4seek_n_work(d4, text, len); });
}

static int d4seek_n_work(DATA4 *d4, const char *text, int len)
{
    TAG4 *t4 = nullptr;
    int rc = seek_start(d4, &t4);
    if (rc != 0)
        return rc;
    if (text == nullptr)
        text = "";
    if (len < 1)
        len = (int)std::strlen(text);
    int kl = key_len_of(t4);
    // The search value never takes more than the key's bytes of the text.
    unsigned char value[I4_MAX_KEY_LEN] = {0};
    if (t4type(t4) == E4TYPE_CHAR) {
        len = len > kl ? kl : len;
        t4->stok((char *)value, text, len);
    } else {
        t4->stok((char *)value, text, len);
        len = kl;
    }
    return seek_and_check(d4, t4, value, len);
}

static int d4seek_double_work(DATA4 *d4, double v);
int d4seek_double(DATA4 *d4, double v)
{
    return e4guard(d4 == nullptr ? nullptr : d4->code_base, e4memory, [&] { return d4seek_double_work(d4, v); });
}

static int d4seek_double_work(DATA4 *d4, double v)
{
    TAG4 *t4 = nullptr;
    int rc = seek_start(d4, &t4);
    if (rc != 0)
        return rc;
    if (t4->dtok == nullptr)
        return -1;
    unsigned char value[I4_MAX_KEY_LEN] = {0};
    t4->dtok((char *)value, v);
    return seek_and_check(d4, t4, value, key_len_of(t4));
}

// ---- Rebuilding a table's indexes ---------------------------------------------

static int d4reindex_work(DATA4 *d4);
int d4reindex(DATA4 *d4)
{
    return e4guard(d4 == nullptr ? nullptr : d4->code_base, e4memory, [&] { return d4reindex_work(d4); });
}

static int d4reindex_work(DATA4 *d4)
{
    if (d4 == nullptr || d4->code_base->error_code < 0)
        return -1;
    int rc = d4lock_all(d4);
    if (rc != 0)
        return rc;
    // Every index is rebuilt even after one fails: an index left as it was
    // would describe records that have moved.
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d4->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&d4->indexes, i4)) {
        int r = i4reindex(i4);
        if (r != 0 && rc == 0)
            rc = r;
    }
    return rc;
}

int d4reindex_mark(DATA4 *d4)
{
    if (d4 == nullptr || d4->code_base->error_code < 0)
        return -1;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d4->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&d4->indexes, i4)) {
        int rc = i4lock(i4);
        if (rc == 0)
            rc = r4reindex_mark_damaged(i4);
        if (rc != 0)
            return rc;
    }
    return 0;
}

int d4index_remake(CODE4 *c4, const char *name, const TAG4INFO *tag_data)
{
    if (c4 == nullptr || name == nullptr || tag_data == nullptr || c4->error_code < 0)
        return -1;
    // The table alone: its production index may be missing or unreadable.
    int auto_open = c4->auto_open;
    c4->auto_open = 0;
    DATA4 *d4 = d4open(c4, name);
    c4->auto_open = auto_open;
    if (d4 == nullptr) {
        if (c4->error_code > 0)
            c4->error_code = 0; // a table not there, with open_error off
        return -1;
    }
    // The whole-file lock keeps every writer of the table out, and with it
    // every writer of its index (they lock a record or the append byte
    // first); readers meet the new file's rebuild mark, or a header not
    // all there, and wait for the index lock (S4 of i4lock.cpp).
    int rc = d4lock_file(d4);
    if (rc == 0 && e4guard(c4, nullptr, [&] { return r4create_index(d4, nullptr, tag_data, 1); }) == nullptr)
        rc = c4->error_code != 0 ? c4->error_code : -1;
    // What stopped the build is the result; the context stays usable.
    c4->error_code = 0;
    int closed = d4close(d4);
    return rc != 0 ? rc : closed;
}

// Changed records written back with their keys and memo texts, the tags
// put back when a write does not go through, and the table written back
// and flushed. Also the keys of a record in every tag and the marking of
// indexes after a failed change, which appending shares (d4record.h).
//
// Write-back with key rollback (d4write, d4write_keys) keeps true:
//  W1. Keys change only under the index locks; when this write took them,
//      they are held until the record is written (or the keys put back),
//      so that the mark of the change covers the whole write (keys_done).
//  W2. A unique-key refusal, or a key that cannot be changed, puts every
//      changed tag back as it was, leaves the record unwritten and
//      record_changed set (write_keys, keys_put_back).
//  W3. The record is written under its own lock and stays locked
//      (d4write_data); a failed write leaves record_changed set.
//  W4. The memo references compared with the disk come from a read that
//      succeeded: a failed read fails the write before any memo text or
//      the record is written, and the references stay as they were
//      (d4validate_memo_ids, d4read_old).
//  W5. A memo text reaches its entry before the record names it, so a
//      record that cannot be written still names a readable text, old or
//      new (d4write, f4memo_write).
//  W6. A write whose memo texts or record cannot be stored after its keys
//      changed puts the keys back, so that the tags never describe a
//      record that is not on disk (d4write, keys_put_back); keys that
//      cannot be put back leave the indexes marked (d4fail_indexes).
//  W7. A record write that fails puts the record's old bytes back (those
//      the keys were computed from), so that the keys put back describe
//      what the disk holds; where that fails too the indexes are left
//      marked (record_restore).
#include "xbase/d4data.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "xbase/d4record.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/file4.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"
#include "xbase/memo4.h"

namespace {

// Record-lock bytes start at D4_LOCK_RECORD_BASE + the record's position
// and must stay below the append byte; so must the file's own offsets.
const long MAX_DATA_END = D4_LOCK_APPEND - D4_LOCK_RECORD_BASE;

int refused(DATA4 *data) { return data == nullptr || data->code_base->error_code < 0; }

// Whether the image in the record buffer passes the tag's filter: 1 or 0,
// negative on failure.
int tag_filter_passes(TAG4 *t4)
{
    if (t4->filter == nullptr)
        return 1;
    int r = expr4true(t4->filter);
    return r < 0 ? -1 : (r != 0 ? 1 : 0);
}

} // namespace

// Whether record `rec` and the end mark after it fit the addressable range.
// 0, or the code of the report.
int d4record_fits(DATA4 *data, long rec)
{
    long long end = (long long)data->header_len + (long long)data->record_width * rec + 1;
    if (rec >= 1 && end <= MAX_DATA_END)
        return 0;
    return e4describe(data->code_base, e4write, "File Name:", data->file.name,
                      "Record would lie beyond the addressable size of the file");
}

void d4reset_memos(DATA4 *data)
{
    for (int i = 0; i < data->n_fields_memo; i++)
        f4memo_reset(data->fields_memo[i].field);
}

// Every tag of every open index of the table, in index and tag order.
std::vector<TAG4 *> d4all_tags(DATA4 *data)
{
    std::vector<TAG4 *> tags;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr;
             t4 = (TAG4 *)l4next(&i4->tags, t4))
            tags.push_back(t4);
    return tags;
}

// Computes key and filter result of `t4` for the image in data->record.
int d4tag_image(TAG4 *t4, TagImage *img)
{
    char *key = nullptr;
    int len = t4expr_key(t4, &key);
    if (len < 0 || len > I4_MAX_KEY_LEN || key == nullptr)
        return -1;
    std::memcpy(img->key, key, size_t(len));
    img->len = size_t(len);
    img->passes = tag_filter_passes(t4);
    return img->passes < 0 ? -1 : 0;
}

// The tags may not describe what the disk holds: every index of the table
// keeps the mark of a change under way when its lock is let go, so that the
// next holder rebuilds it (F2 of i4flight.cpp). Under the index locks,
// taken here when they are not held.
void d4fail_indexes(DATA4 *data)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    int took = d4lock_test_index(data) != 1 && d4lock_index(data) == 0;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        i4flight_mark(i4);
    if (took)
        d4unlock_index(data);
    e4set(c4, saved);
}

// A file open exclusively has no lock to let go: a change that did not go
// through is mended when the operation ends, so that the process reads no
// half-changed tree (F2 of i4flight.cpp).
void d4settle_indexes(DATA4 *data)
{
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        if (i4->failed && i4->file.is_exclusive)
            i4update(i4);
}

namespace {

// The same for the image in data->record_old: the expressions read the
// record buffer, so the two buffers change places for the evaluation.
int tag_image_old(DATA4 *data, TAG4 *t4, TagImage *img)
{
    std::swap(data->record, data->record_old);
    int rc = d4tag_image(t4, img);
    std::swap(data->record, data->record_old);
    return rc;
}

// Puts the disk image that write_keys read (data->record_old) back over
// record `rec`: 0, or -1 after a report.
int record_restore(DATA4 *data, long rec)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    int rc = file4write(&data->file, d4record_position(data, rec), data->record_old, data->record_width);
    e4set(c4, saved);
    if (rc != 0)
        e4describe(c4, e4write, "File Name:", data->file.name,
                   "A record that could not be written may hold part of its new bytes");
    return rc != 0 ? -1 : 0;
}

// What a write changed in each tag: the key and filter result of the old
// and the new image, whether the old key was taken out and whether the
// new key went in (a unique tag under the ignoring policy may lack either).
struct KeyChanges {
    long rec = 0;
    std::vector<TAG4 *> tags;
    std::vector<TagImage> now, before;
    std::vector<char> removed, added;
    int took_locks = 0; // the index locks are held for the write (W1)
};

// Lets go of the index locks a write took (W1): `rc`, or -1 when that
// fails.
int keys_done(DATA4 *data, KeyChanges *kc, int rc)
{
    if (kc->took_locks) {
        kc->took_locks = 0;
        if (d4unlock_index(data) != 0 && rc == 0)
            rc = -1;
    }
    d4settle_indexes(data);
    return rc;
}

// Puts the tags of a write back as they were: the new key out where it
// went in, the old key in where it was taken out, the last tag first. Runs
// under the index locks, taking them when they are not held. 0, or -1 when
// a tag could not be put back.
int keys_put_back(DATA4 *data, KeyChanges *kc)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    int took = 0, rc = 0;
    size_t n = kc->tags.size();
    bool any = std::count(kc->removed.begin(), kc->removed.end(), 1) +
                   std::count(kc->added.begin(), kc->added.end(), 1) > 0;
    if (any && d4lock_test_index(data) != 1) {
        rc = d4lock_index(data);
        took = rc == 0;
    }
    for (size_t j = n; rc == 0 && j-- > 0;) {
        if (kc->added[j] && t4remove(kc->tags[j], kc->now[j].key, kc->rec) != 0)
            rc = -1;
        else if (kc->removed[j] && t4add(kc->tags[j], kc->before[j].key, kc->rec) != 0)
            rc = -1;
        else
            kc->added[j] = kc->removed[j] = 0;
    }
    if (rc != 0)
        e4describe(c4, e4index, "File Name:", data->file.name,
                   "A write that did not go through could not put its keys back");
    e4set(c4, saved);
    if (rc != 0)
        d4fail_indexes(data);
    if (took && d4unlock_index(data) != 0)
        rc = -1;
    return rc;
}

// d4write_keys, keeping what it changed in `kc` so that a write that fails
// later can put the keys back (W2, W6).
int write_keys(DATA4 *data, long rec, KeyChanges *kc)
{
    if (rec <= 0 || refused(data) || d4record_check(data, rec) != 0)
        return -1;
    data->bof_flag = 0;
    data->eof_flag = 0;
    int rc = d4lock(data, rec);
    if (rc != 0)
        return rc;
    if (data->indexes.n_link == 0)
        return 0;
    if (d4read_old(data, rec) != 0)
        return -1;
    if (std::memcmp(data->record, data->record_old, data->record_width) == 0)
        return 0;

    kc->rec = rec;
    kc->tags = d4all_tags(data);
    size_t n = kc->tags.size();
    kc->now.assign(n, TagImage());
    kc->before.assign(n, TagImage());
    kc->removed.assign(n, 0);
    kc->added.assign(n, 0);
    int had_locks = d4lock_test_index(data) == 1;
    for (size_t i = 0; i < n && rc == 0; i++) {
        TAG4 *t4 = kc->tags[i];
        TagImage &now = kc->now[i], &before = kc->before[i];
        if (d4tag_image(t4, &now) != 0 || tag_image_old(data, t4, &before) != 0) {
            rc = -1;
            break;
        }
        if (now.passes == before.passes && now.len == before.len && std::memcmp(now.key, before.key, now.len) == 0)
            continue;
        if (!had_locks && !kc->took_locks) {
            rc = d4lock_index(data);
            if (rc != 0)
                break;
            kc->took_locks = 1;
            // Taking the lock finished a pack another process left part
            // way (A9): the record on disk is read again, and nothing has
            // been changed yet.
            if (data->rec_num_old != rec) {
                if (d4read_old(data, rec) != 0) {
                    rc = -1;
                    break;
                }
                if (std::memcmp(data->record, data->record_old, data->record_width) == 0)
                    break;
                i = size_t(-1);
                continue;
            }
        }
        // A missing old key (5) counts as removed: a unique tag under the
        // ignoring policy legitimately lacks some records.
        if (before.passes) {
            int removed = t4remove(t4, before.key, rec);
            if (removed < 0) {
                rc = -1;
                break;
            }
            kc->removed[i] = removed == 0;
        }
        if (!now.passes)
            continue;
        int added = t4add(t4, now.key, rec);
        if (added == r4unique || added == e4unique)
            rc = added;
        else if (added < 0)
            rc = -1;
        if (rc != 0)
            break;
        kc->added[i] = added == 0;
    }
    if (rc != 0) {
        // W2: a refusal (or failure) puts back what this write changed,
        // this tag first; a pending error code stays the result.
        int saved = e4code(data->code_base);
        int undo = keys_put_back(data, kc);
        if (saved < 0)
            rc = saved;
        else if (undo != 0 && rc > 0)
            rc = -1;
    }
    data->rec_num_old = -1;
    return rc;
}

} // namespace

// ---- Writing back -----------------------------------------------------------

int d4update_record(DATA4 *data, int do_unlock)
{
    if (refused(data))
        return -1;
    if (data->rec_num <= 0 || data->eof_flag) {
        d4reset_memos(data);
        data->record_changed = 0;
        return 0;
    }
    if (data->record_changed) {
        int rc = d4write(data, data->rec_num);
        if (rc != 0)
            return rc;
    }
    d4reset_memos(data);
    data->rec_num_old = -1;
    if (do_unlock && d4unlock_records(data) != 0)
        return -1;
    return 0;
}

static int d4write_work(DATA4 *data, long rec);
int d4write(DATA4 *data, long rec)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4write_work(data, rec); });
}

static int d4write_work(DATA4 *data, long rec)
{
    if (rec <= 0 || refused(data) || d4record_check(data, rec) != 0)
        return -1;
    // Kept aside while keys and memo ids are checked, so that a refusal
    // leaves the change pending (W2).
    int was_changed = data->record_changed;
    data->record_changed = 0;
    int rc = 0;
    KeyChanges keys;
    if (data->n_fields_memo > 0)
        rc = d4validate_memo_ids(data);
    if (rc == 0)
        rc = write_keys(data, rec, &keys);
    data->record_changed = was_changed;
    if (rc != 0)
        return keys_done(data, &keys, rc);

    int kept = 0;
    for (int i = 0; i < data->n_fields_memo && rc == 0; i++) {
        int r = f4memo_update(data->fields_memo[i].field);
        if (r < 0)
            rc = -1;
        else if (r > 0)
            kept = r;
    }
    if (rc == 0) {
        rc = d4write_data(data, rec);
        // W7: the record's old bytes (read for the keys) go back over what
        // a failed write may have left of the new ones.
        if (rc < 0 && data->indexes.n_link > 0 && record_restore(data, rec) != 0)
            d4fail_indexes(data);
    }
    if (rc != 0) {
        // W6: the tags describe the record on disk again.
        keys_put_back(data, &keys);
        return keys_done(data, &keys, rc < 0 ? -1 : rc);
    }
    return keys_done(data, &keys, kept);
}

int d4write_data(DATA4 *data, long rec)
{
    if (rec <= 0 || refused(data) || d4record_check(data, rec) != 0)
        return -1;
    int rc = d4record_fits(data, rec);
    if (rc != 0)
        return rc;
    rc = d4lock(data, rec);
    if (rc != 0)
        return rc;
    int was_changed = data->record_changed;
    data->record_changed = 0;
    data->file_changed = 1;
    if (d4record_position(data, rec) + long(data->record_width) >= data->known_end)
        data->known_end = 0;
    if (file4write(&data->file, d4record_position(data, rec), data->record,
                   data->record_width) != 0) {
        data->record_changed = was_changed;
        return -1;
    }
    return 0;
}

int d4write_keys(DATA4 *data, long rec)
{
    KeyChanges keys;
    return keys_done(data, &keys, write_keys(data, rec, &keys));
}

int d4validate_memo_ids(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    if (data->memo_validated == 1)
        return 0;
    // A record not yet on disk has no stored block numbers to compare with.
    if (data->rec_num <= 0)
        return 0;
    int rc = d4lock(data, data->rec_num);
    if (rc != 0)
        return rc;
    if (d4read_old(data, data->rec_num) != 0)
        return -1;
    for (int i = 0; i < data->n_fields_memo; i++) {
        FIELD4 *field = data->fields_memo[i].field;
        std::memcpy(data->record + field->offset, data->record_old + field->offset, field->len);
    }
    data->memo_validated = 1;
    return 0;
}

// ---- Update and flush -------------------------------------------------------

static int d4update_work(DATA4 *data);
int d4update(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4update_work(data); });
}

static int d4update_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    int rc = d4update_record(data, 0);
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        if (i4update(i4) < 0)
            rc = -1;
    return rc;
}

int d4flush_data(DATA4 *data)
{
    if (refused(data))
        return -1;
    int rc = d4update_record(data, 0);
    if (d4write_behind(data) != 0 && rc == 0)
        rc = -1;
    int committed = file4flush(&data->file);
    if (data->n_fields_memo > 0 && data->memo_file.file.hand >= 0 &&
        file4flush(&data->memo_file.file) != 0)
        committed = -1;
    if (rc == 0 && committed != 0)
        rc = -1;
    return rc;
}

// A12 of d4append.cpp: after a run of the data file could not be written,
// the table counts what the file holds and its indexes are mended over
// that. The pending report is kept.
static void behind_lost(DATA4 *data)
{
    CODE4 *c4 = data->code_base;
    data->file.run_lost = 0;
    int saved = e4set(c4, 0);
    long len = file4len(&data->file);
    long count = len < long(data->header_len) ? -1 : (len - long(data->header_len)) / long(data->record_width);
    data->known_end = 0;
    data->num_recs = count;
    if (count >= 0 && data->minCount > count)
        data->minCount = count;
    if (data->rec_num > count) {
        data->rec_num = -1;
        data->rec_num_old = -1;
        data->record_changed = 0;
    }
    data->header_behind = 0;
    if (count < 0 || d4update_header(data, 1, 1) != 0)
        data->num_recs = -1;
    e4set(c4, saved);
    d4fail_indexes(data);
    d4settle_indexes(data);
}

int d4write_behind(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    int rc = file4write_behind_flush(&data->file);
    if (data->file.run_lost) {
        behind_lost(data);
        return -1;
    }
    if (rc == 0 && data->header_behind && d4update_header(data, 1, 1) != 0)
        rc = -1;
    return rc;
}

static int d4flush_work(DATA4 *data);
int d4flush(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4flush_work(data); });
}

static int d4flush_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    int rc = d4flush_data(data);
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        if (i4flush(i4) != 0)
            rc = -1;
    return rc;
}

static int d4flush_files_work(CODE4 *c4);
int d4flush_files(CODE4 *c4)
{
    return e4guard(c4, e4memory, [&] { return d4flush_files_work(c4); });
}

static int d4flush_files_work(CODE4 *c4)
{
    if (c4 == nullptr)
        return -1;
    int rc = 0;
    for (DATA4 *d = (DATA4 *)l4first(&c4->data_list); d != nullptr;
         d = (DATA4 *)l4next(&c4->data_list, d)) {
        int r = d4flush(d);
        if (r != 0)
            rc = r;
    }
    return rc;
}

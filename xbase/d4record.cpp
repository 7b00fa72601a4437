// Records of a data file: moving the current record (go, top, bottom, skip,
// end of file) in record order or in the order of the selected tag, writing
// changed records back with their keys and memo texts, appending, flushing
// and packing.
//
// Reading keeps true:
//  R1. Only bytes missing at the file's end make a missing record; a read
//      that fails is an error that every caller passes on, and it leaves
//      no current record and no old image behind (d4read, d4go_data,
//      d4read_old).
//  R2. No record number past d4record_max reaches a position or a lock
//      byte: every operation refuses it (d4record_check).
//  R3. A lock taken only to read a record that turns out not to exist is
//      given back at once, since every appender must lock exactly the
//      record after the last one (d4go).
//
// Append (d4append) keeps true:
//  A1. The record count is read under the append byte, or is one kept
//      since it was read under the append byte or file lock still held, or
//      in a file open exclusively; a count that cannot be read stops the
//      append before anything is written (d4append, d4append_data).
//  A2. A record is never placed where its bytes or its lock byte would lie
//      past what 32-bit offsets and the lock bytes address (record_fits).
//  A3. Every tag holds the new record's key, or none does: a refused or
//      failed add, and a record that could not be stored, take back the
//      keys added so far (remove_new_keys).
//  A4. The header count is raised only after the record is on disk, so a
//      reader never counts a record that is not there (d4append).
//  A5. An append that reports failure leaves no record behind: once the
//      record may have reached the file, a failure puts the count back,
//      cuts the file to its old length and restores the bytes the record
//      covered, all under the append byte; what cannot be taken back is
//      reported (append_take_back).
//  A6. Memo texts are stored before the record; a text that cannot be
//      stored abandons the append before the record is written
//      (append_memos, d4append).
//  A7. The append byte, and the lock on the record number a failed append
//      meant to use, are released on every path out (d4append).
//  A8. Copying the current record's memo texts either reads them all or
//      starts no record (d4append_start).
//
// Write-back with key rollback (d4write, d4write_keys) keeps true:
//  W1. Keys change only under the index locks, which are released again
//      when this write took them (d4write_keys).
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
//      record that is not on disk (d4write, keys_put_back).
//
// Pack (d4pack, d4pack_data) keeps true:
//  P1. The whole table is locked for the duration (d4pack).
//  P2. The writer never passes the reader: records only move towards the
//      front, so every live record is read before its bytes are overwritten
//      (d4pack_data).
//  P3. The scan covers every whole record the file holds, also beyond a
//      corrupt (smaller) header count (d4pack_data).
//  P4. The header count is written before the file is cut, and the file is
//      never cut below the records kept (d4pack_data).
//  P5. A pack that stops part way (a failed read or write) leaves every
//      live record live exactly once: the slots between the records moved
//      and the first record not yet moved hold deleted records or copies of
//      moved ones, and are marked deleted, as is a slot a failed write only
//      partly covered; the header count stays, so every live record is
//      still counted. What a failed write put on disk is read back, not
//      guessed (pack_put, pack_mark_moved). A failure to mark is reported.
//  P6. A count that cannot be written is put back as it was, and the old
//      places are marked as in P5 (d4pack_data).
//  P7. A file that cannot be cut keeps the new count, and the stale slots
//      after the new end mark are marked deleted (d4pack_data,
//      pack_mark_deleted); the failed cut is reported with the file name.
//  P8. Every index reads as damaged from before the first record moves
//      until it is rebuilt over what the file then holds, also after a
//      pack that stopped part way; the pack's own failure is its result,
//      else the rebuild's (d4pack).
#include "xbase/d4data.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"
#include "xbase/file4.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/memo4.h"

namespace {

enum { PACK_BUFFER_STEP = 2048 };

// Record-lock bytes start at D4_LOCK_RECORD_BASE + the record's position
// and must stay below the append byte; so must the file's own offsets.
const long MAX_DATA_END = D4_LOCK_APPEND - D4_LOCK_RECORD_BASE;
// No byte at or past this offset can be reached through 32-bit offsets.
const long MAX_RECORD_END = 0x80000000L;

int refused(DATA4 *data) { return data == nullptr || data->code_base->error_code < 0; }

// Whether record `rec` and the end mark after it fit the addressable range.
// 0, or the code of the report.
int record_fits(DATA4 *data, long rec)
{
    long long end = (long long)data->header_len + (long long)data->record_width * rec + 1;
    if (rec >= 1 && end <= MAX_DATA_END)
        return 0;
    return e4describe(data->code_base, e4write, "File Name:", data->file.name,
                      "Record would lie beyond the addressable size of the file");
}

void reset_memos(DATA4 *data)
{
    for (int i = 0; i < data->n_fields_memo; i++)
        f4memo_reset(data->fields_memo[i].field);
}

// Every tag of every open index of the table, in index and tag order.
std::vector<TAG4 *> all_tags(DATA4 *data)
{
    std::vector<TAG4 *> tags;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr;
             t4 = (TAG4 *)l4next(&i4->tags, t4))
            tags.push_back(t4);
    return tags;
}

// Whether the image in the record buffer passes the tag's filter: 1 or 0,
// negative on failure.
int tag_filter_passes(TAG4 *t4)
{
    if (t4->filter == nullptr)
        return 1;
    int r = expr4true(t4->filter);
    return r < 0 ? -1 : (r != 0 ? 1 : 0);
}

// Key and filter result of one tag for one record image. The key is kept
// in place: taking keys out again after memory ran out must need none.
struct TagImage {
    char key[I4_MAX_KEY_LEN];
    size_t len = 0;
    int passes = 0;
};

// Computes key and filter result of `t4` for the image in data->record.
int tag_image(TAG4 *t4, TagImage *img)
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

// The same for the image in data->record_old: the expressions read the
// record buffer, so the two buffers change places for the evaluation.
int tag_image_old(DATA4 *data, TAG4 *t4, TagImage *img)
{
    std::swap(data->record, data->record_old);
    int rc = tag_image(t4, img);
    std::swap(data->record, data->record_old);
    return rc;
}

// Takes the new record's keys out of tags[0 .. upto) again (A3).
void remove_new_keys(DATA4 *data, const std::vector<TAG4 *> &tags, size_t upto, long rec)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    for (size_t j = 0; j < upto; j++) {
        TagImage img;
        if (tag_image(tags[j], &img) == 0 && img.passes)
            t4remove(tags[j], img.key, rec);
    }
    e4set(c4, saved);
}

// Memo texts of a record being appended become new entries, and their block
// numbers go into the record buffer (A6). 0, or the failing write's code.
int append_memos(DATA4 *data)
{
    for (int i = 0; i < data->n_fields_memo; i++) {
        F4MEMO *m = data->fields_memo + i;
        m->is_changed = 0;
        if (m->len == 0) {
            f4blank(m->field);
            continue;
        }
        long id = 0;
        int rc = memo4file_write(&data->memo_file, &id, m->contents, m->len);
        if (rc != 0)
            return rc < 0 ? rc : -1;
        f4assign_long(m->field, id);
    }
    return 0;
}

// The file as it was before an append: its length, and the bytes (usually
// just the end mark) that the new record and its end mark will cover.
struct AppendTail {
    long len = -1;
    std::string bytes;
};

int append_tail_save(DATA4 *data, long count, AppendTail *tail)
{
    long pos = d4record_position(data, count + 1);
    if (data->known_end > 0 && data->known_end == pos + 1 && data->file.is_exclusive) {
        tail->len = data->known_end;
        tail->bytes.assign(1, char(D4_FILE_END));
        return 0;
    }
    tail->len = file4len(&data->file);
    if (tail->len < 0)
        return -1;
    if (tail->len <= pos)
        return 0;
    long n = std::min(tail->len - pos, long(data->record_width) + 1);
    tail->bytes.assign(size_t(n), '\0');
    return file4read_all(&data->file, pos, &tail->bytes[0], unsigned(n)) != 0 ? -1 : 0;
}

// Takes back an append whose record (and perhaps count) may have reached
// the file: the header count first, then the file's length and the bytes
// the record covered (A5). Best effort under the append lock; what cannot
// be taken back is reported.
void append_take_back(DATA4 *data, long count, const AppendTail *tail, int header_tried)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    int done = 1;
    data->known_end = 0;
    if (header_tried) {
        data->num_recs = count;
        done = d4update_header(data, 0, 1) == 0;
    }
    if (file4len_set(&data->file, tail->len) != 0)
        done = 0;
    else if (!tail->bytes.empty() &&
             file4write(&data->file, d4record_position(data, count + 1), tail->bytes.data(),
                        unsigned(tail->bytes.size())) != 0)
        done = 0;
    if (!done) {
        // What the header says now is unknown: it is read again.
        data->num_recs = -1;
        e4describe(c4, e4write, "File Name:", data->file.name,
                   "A failed append could not be taken back");
    }
    if (saved != 0)
        e4set(c4, saved);
}

// Where a pack has got to: the kept records whose new places are wholly on
// disk (new slots 1 .. settled), and the old slots of the kept records
// after them, in order.
struct PackMoves {
    long start;
    unsigned width;
    long settled = 0;
    long settled_from = 0;      // old slot of record `settled`; 0 for none
    std::deque<long> pending;
    PackMoves(long s, unsigned w) : start(s), width(w) {}
    // The disk holds what the pack meant up to byte `end`.
    void settle(long end)
    {
        long whole = (end - start) / long(width);
        while (settled < whole && !pending.empty()) {
            settled_from = pending.front();
            pending.pop_front();
            settled++;
        }
    }
};

// How far the bytes at `pos` are what a failed write of `len` bytes meant
// them to be: the end of the matching stretch. A failed write is taken to
// have written at most a front part of its bytes, as the platform writes
// front to back. When they cannot be read back, `pos`, with a report.
long written_end(FILE4 *file, long pos, const char *want, unsigned len)
{
    std::vector<char> got(len);
    long n = len == 0 ? 0 : file4read_count(file, pos, got.data(), len);
    if (n < 0)
        e4describe(file->code_base, e4read, "File Name:", file->name,
                   "Records moved by the pack may also stand in their old places");
    long i = 0;
    while (i < n && got[size_t(i)] == want[i])
        i++;
    return pos + i;
}

// Writes `len` bytes through the pack's writer (flushes it for null bytes).
// On failure: -1, with `*disk_end` set to how far the disk holds what the
// pack meant.
int pack_put(FILE4SEQ_WRITE *w, const char *bytes, unsigned len, long *disk_end)
{
    long pos = w->pos;
    int rc = bytes == nullptr ? file4seq_write_flush(w) : file4seq_write(w, bytes, len);
    if (rc == 0)
        return 0;
    if (w->buffer == nullptr)
        *disk_end = written_end(w->file, pos, bytes, len);
    else
        *disk_end = written_end(w->file, w->pos, w->buffer, w->working - w->avail);
    return -1;
}

// Marks slots `from` .. `to` deleted; 0, or -1 after a report.
int pack_mark_deleted(DATA4 *data, long from, long to)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    int rc = 0;
    for (long s = from; s <= to; s++)
        if (file4write(&data->file, d4record_position(data, s), "*", 1) != 0)
            rc = -1;
    if (rc != 0)
        e4describe(c4, e4write, "File Name:", data->file.name,
                   "Records moved by the pack may also stand in their old places");
    if (saved != 0)
        e4set(c4, saved);
    return rc;
}

// After a pack stopped with the disk holding what it meant up to `disk_end`:
// every slot from the first not wholly rewritten up to the old slot of the
// last record in place holds a deleted record or a copy of a record already
// moved, and so does a slot the rewrite only partly covered (P5).
int pack_mark_moved(DATA4 *data, PackMoves *moves, long disk_end, long scan)
{
    moves->settle(disk_end);
    long upto = moves->settled_from;
    long next = moves->settled + 1;
    // A record that stays in its own slot is rewritten with its own bytes.
    int stays = !moves->pending.empty() && moves->pending.front() == next;
    if ((disk_end - moves->start) % long(moves->width) != 0 && !stays && upto < next)
        upto = next;
    return pack_mark_deleted(data, next, std::min(upto, scan));
}

// What a write changed in each tag: the key and filter result of the old
// and the new image, whether the old key was taken out and whether the
// new key went in (a unique tag under the ignoring policy may lack either).
struct KeyChanges {
    long rec = 0;
    std::vector<TAG4 *> tags;
    std::vector<TagImage> now, before;
    std::vector<char> removed, added;
};

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
    if (took && d4unlock_index(data) != 0)
        rc = -1;
    if (rc != 0)
        e4describe(c4, e4index, "File Name:", data->file.name,
                   "A write that did not go through could not put its keys back");
    e4set(c4, saved);
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
    kc->tags = all_tags(data);
    size_t n = kc->tags.size();
    kc->now.assign(n, TagImage());
    kc->before.assign(n, TagImage());
    kc->removed.assign(n, 0);
    kc->added.assign(n, 0);
    int had_locks = d4lock_test_index(data) == 1;
    int took_locks = 0;
    for (size_t i = 0; i < n && rc == 0; i++) {
        TAG4 *t4 = kc->tags[i];
        TagImage &now = kc->now[i], &before = kc->before[i];
        if (tag_image(t4, &now) != 0 || tag_image_old(data, t4, &before) != 0) {
            rc = -1;
            break;
        }
        if (now.passes == before.passes && now.len == before.len && std::memcmp(now.key, before.key, now.len) == 0)
            continue;
        if (!had_locks && !took_locks) {
            rc = d4lock_index(data);
            if (rc != 0)
                break;
            took_locks = 1;
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
    if (took_locks && d4unlock_index(data) != 0 && rc == 0)
        rc = -1;
    data->rec_num_old = -1;
    return rc;
}

// Steps `t4` by n entries in its own order: 0 with the number of entries
// moved (negative backward) in *moved, or -1 when the tag failed (its
// path is then empty).
int tag_step(TAG4 *t4, long n, long *moved)
{
    *moved = t4dskip(t4, n);
    return t4block(t4) == nullptr || t4->code_base->error_code < 0 ? -1 : 0;
}

// From the current entry of `t4`, steps in its own order (`dir` 1 or -1)
// over entries that name records past the file's end: another process adds
// a record's keys before it writes the record, and several may do so one
// after the other while this one steps. 0 with the record in *rec, r4eof
// when the tag runs out, or -1.
int pass_unwritten(DATA4 *data, TAG4 *t4, long dir, long *rec)
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
    }
}

// The first record in the order of `t4` (top) or the last one (bottom),
// stepping over entries that name records past the file's end.
int tag_end(DATA4 *data, TAG4 *t4, int top)
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

int tag_skip(DATA4 *data, TAG4 *t4, long n)
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

} // namespace

// ---- Position ---------------------------------------------------------------

long d4record_position(DATA4 *data, long rec)
{
    return long(data->header_len) + long(data->record_width) * (rec - 1);
}

long d4record_max(DATA4 *data)
{
    return (MAX_RECORD_END - long(data->header_len)) / long(data->record_width);
}

int d4record_check(DATA4 *data, long rec)
{
    if (rec <= d4record_max(data))
        return 0;
    e4describe(data->code_base, e4parm, "File Name:", data->file.name,
               "Record number beyond what the file's offsets reach");
    return -1;
}

unsigned long long d4read_count = 0;

int d4read(DATA4 *data, long rec_num, char *ptr)
{
    if (refused(data) || ptr == nullptr)
        return -1;
    if (rec_num <= 0)
        return r4entry;
    if (d4record_check(data, rec_num) != 0)
        return -1;
    // Only bytes missing at the file's end make a missing record; a read
    // that fails is an error.
    d4read_count++;
    long got = file4read_count(&data->file, d4record_position(data, rec_num), ptr,
                               data->record_width);
    if (got < 0)
        return -1;
    return got < long(data->record_width) ? r4entry : 0;
}

int d4read_old(DATA4 *data, long rec_num)
{
    if (refused(data))
        return -1;
    if (rec_num <= 0) {
        data->rec_num_old = rec_num;
        std::memset(data->record_old, ' ', data->record_width);
        return 0;
    }
    if (rec_num == data->rec_num_old)
        return 0;
    int rc = d4read(data, rec_num, data->record_old);
    if (rc < 0) {
        // Whatever the failed read left in the buffer is no image.
        data->rec_num_old = -1;
        return -1;
    }
    if (rc == r4entry)
        std::memset(data->record_old, ' ', data->record_width);
    data->rec_num_old = rec_num;
    return 0;
}

static int d4go_data_work(DATA4 *data, long rec);
int d4go_data(DATA4 *data, long rec)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4go_data_work(data, rec); });
}

static int d4go_data_work(DATA4 *data, long rec)
{
    if (refused(data))
        return -1;
    int rc = rec > 0 ? d4read(data, rec, data->record) : r4entry;
    if (rc == 0) {
        data->rec_num = rec;
        return 0;
    }
    // A failed read leaves no current record either: the buffer may hold
    // part of the record and must never be written back.
    std::memset(data->record, ' ', data->record_width);
    data->rec_num = -1;
    if (rc < 0)
        return rc;
    if (data->code_base->go_error)
        return e4describe(data->code_base, e4read, "File Name:", data->file.name, nullptr);
    return r4entry;
}

static int d4go_work(DATA4 *data, long rec);
int d4go(DATA4 *data, long rec)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4go_work(data, rec); });
}

static int d4go_work(DATA4 *data, long rec)
{
    if (refused(data) || d4record_check(data, rec) != 0)
        return -1;
    int rc = d4update_record(data, 0);
    if (rc != 0)
        return rc;
    int locked_to_read = 0;
    if (!d4lock_test(data, rec)) {
        rc = d4unlock_data(data);
        if (rc != 0)
            return rc;
        if (rec > 0 && data->code_base->read_lock) {
            rc = d4lock(data, rec);
            if (rc != 0)
                return rc;
            locked_to_read = 1;
        }
    }
    rc = d4go_data(data, rec);
    if (rc != 0) {
        // A lock taken only to read a record that is not there would stop
        // every appender, who must lock exactly that record.
        if (locked_to_read)
            d4unlock_records(data);
        return rc;
    }
    data->bof_flag = 0;
    data->eof_flag = 0;
    // A record read under its lock is what the disk holds until released.
    if (d4lock_test(data, rec) == 1) {
        std::memcpy(data->record_old, data->record, data->record_width);
        data->rec_num_old = rec;
        data->memo_validated = 1;
    } else {
        data->memo_validated = 0;
    }
    return 0;
}

int d4go_eof(DATA4 *data)
{
    if (refused(data))
        return -1;
    int rc = d4update_record(data, 1);
    if (rc != 0)
        return rc;
    long count = d4reccount(data);
    if (count < 0)
        return -1;
    data->rec_num = count + 1;
    data->eof_flag = 1;
    if (data->rec_num == 1)
        data->bof_flag = 1;
    std::memset(data->record, ' ', data->record_width);
    return r4eof;
}

static int d4top_work(DATA4 *data);
int d4top(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4top_work(data); });
}

static int d4top_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    TAG4 *t4 = d4tag_selected(data);
    if (t4 != nullptr)
        return tag_end(data, t4, 1);
    CODE4 *c4 = data->code_base;
    int saved = c4->go_error;
    c4->go_error = 0;
    int rc = d4go(data, 1);
    c4->go_error = saved;
    if (rc <= 0)
        return rc;
    long count = d4reccount(data);
    if (count > 0)
        return d4go(data, 1);
    if (count < 0)
        return -1;
    data->bof_flag = 1;
    return d4go_eof(data);
}

static int d4bottom_work(DATA4 *data);
int d4bottom(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4bottom_work(data); });
}

static int d4bottom_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    TAG4 *t4 = d4tag_selected(data);
    if (t4 != nullptr)
        return tag_end(data, t4, 0);
    long count = d4reccount(data);
    if (count > 0)
        return d4go(data, count);
    if (count < 0)
        return -1;
    data->bof_flag = 1;
    return d4go_eof(data);
}

static int d4skip_work(DATA4 *data, long n);
int d4skip(DATA4 *data, long n)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4skip_work(data, n); });
}

static int d4skip_work(DATA4 *data, long n)
{
    if (data == nullptr)
        return 0;
    CODE4 *c4 = data->code_base;
    if (c4->error_code < 0)
        return -1;
    if (data->rec_num < 1) {
        if (c4->skip_error == 1)
            e4describe(c4, e4info, "Skip must be made from valid record number", nullptr,
                       nullptr);
        return -1;
    }
    TAG4 *t4 = d4tag_selected(data);
    if (t4 != nullptr)
        return tag_skip(data, t4, n);

    data->bof_flag = 0;
    // Saturated: a huge forward skip ends past the last record.
    long target = n > 0 && data->rec_num > LONG_MAX - n ? LONG_MAX : data->rec_num + n;
    // A target no file can hold is past the last record: it is not tried.
    if (target > 0 && target <= d4record_max(data)) {
        int saved = c4->go_error;
        c4->go_error = 0;
        int rc = d4go(data, target);
        c4->go_error = saved;
        if (rc != r4entry)
            return rc;
    }
    long count = d4reccount(data);
    if (count > 0 && target <= count) {
        if (target < 1) {
            int eof_was = data->eof_flag;
            int rc = d4go(data, 1);
            if (rc != 0)
                return rc;
            data->bof_flag = 1;
            data->eof_flag = eof_was;
            return r4bof;
        }
        return d4go(data, target);
    }
    if (count < 0)
        return -1;
    if (count == 0) {
        int rc = d4go_eof(data);
        if (rc != r4eof)
            return rc;
        data->bof_flag = 1;
    }
    if (n < 0) {
        data->bof_flag = 1;
        return r4bof;
    }
    return d4go_eof(data);
}

int d4bof(DATA4 *data)
{
    if (refused(data))
        return -1;
    return data->bof_flag;
}

int d4eof(DATA4 *data)
{
    if (refused(data))
        return -1;
    return data->eof_flag;
}

long d4recno(DATA4 *data) { return data == nullptr ? -1 : data->rec_num; }
char *d4record(DATA4 *data) { return data == nullptr ? nullptr : data->record; }
unsigned d4record_width(DATA4 *data) { return data == nullptr ? 0 : data->record_width; }

// ---- The record buffer ------------------------------------------------------

void d4blank(DATA4 *data)
{
    if (data == nullptr)
        return;
    std::memset(data->record, ' ', data->record_width);
    data->record_changed = 1;
}

void d4delete(DATA4 *data)
{
    if (data == nullptr || data->record[0] == '*')
        return;
    data->record[0] = '*';
    data->record_changed = 1;
}

void d4recall(DATA4 *data)
{
    if (data == nullptr || data->record[0] == ' ')
        return;
    data->record[0] = ' ';
    data->record_changed = 1;
}

int d4deleted(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    return data->record[0] != ' ' ? 1 : 0;
}

int d4changed(DATA4 *data, int flag)
{
    if (data == nullptr)
        return -1;
    int was = data->record_changed;
    if (flag >= 0)
        data->record_changed = flag > 0 ? 1 : 0;
    return was;
}

// ---- Writing back -----------------------------------------------------------

int d4update_record(DATA4 *data, int do_unlock)
{
    if (refused(data))
        return -1;
    if (data->rec_num <= 0 || data->eof_flag) {
        reset_memos(data);
        data->record_changed = 0;
        return 0;
    }
    if (data->record_changed) {
        int rc = d4write(data, data->rec_num);
        if (rc != 0)
            return rc;
    }
    reset_memos(data);
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
        return rc;

    int kept = 0;
    for (int i = 0; i < data->n_fields_memo && rc == 0; i++) {
        int r = f4memo_update(data->fields_memo[i].field);
        if (r < 0)
            rc = -1;
        else if (r > 0)
            kept = r;
    }
    if (rc == 0)
        rc = d4write_data(data, rec);
    if (rc != 0) {
        // W6: the tags describe the record on disk again.
        keys_put_back(data, &keys);
        return rc < 0 ? -1 : rc;
    }
    return kept;
}

int d4write_data(DATA4 *data, long rec)
{
    if (rec <= 0 || refused(data) || d4record_check(data, rec) != 0)
        return -1;
    int rc = record_fits(data, rec);
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
    return write_keys(data, rec, &keys);
}

// ---- Appending --------------------------------------------------------------

static int d4append_start_work(DATA4 *data, int use_memo_entries);
int d4append_start(DATA4 *data, int use_memo_entries)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4append_start_work(data, use_memo_entries); });
}

static int d4append_start_work(DATA4 *data, int use_memo_entries)
{
    if (refused(data))
        return -1;
    int rc = d4update_record(data, 1);
    if (rc != 0)
        return rc;
    if (data->rec_num > 0 && use_memo_entries && data->n_fields_memo > 0) {
        // The memo texts of the record on disk go into the new record; a
        // text that cannot be read starts no record at all.
        rc = d4lock(data, data->rec_num);
        if (rc != 0)
            return rc;
        if (d4read_old(data, data->rec_num) != 0)
            return -1;
        std::swap(data->record, data->record_old);
        for (int i = 0; i < data->n_fields_memo && rc == 0; i++) {
            F4MEMO *m = data->fields_memo + i;
            rc = f4memo_read_low(m->field);
            if (rc == 0)
                m->status = 0;
        }
        std::swap(data->record, data->record_old);
        if (rc == 0 && data->code_base->error_code < 0)
            rc = -1;
        if (rc != 0) {
            reset_memos(data);
            return rc < 0 ? rc : -1;
        }
    }
    for (int i = 0; i < data->n_fields_memo; i++)
        f4assign_long(data->fields_memo[i].field, 0);
    if (!data->file_lock && d4unlock_data(data) != 0)
        return -1;
    data->rec_num = 0;
    return 0;
}

int d4append_blank(DATA4 *data)
{
    int rc = d4append_start(data, 0);
    if (rc != 0)
        return rc;
    d4blank(data);
    return d4append(data);
}

static int d4append_work(DATA4 *data);
int d4append(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4append_work(data); });
}

static int d4append_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    std::vector<TAG4 *> tags = all_tags(data); // before anything is to be undone
    int rc = d4lock_append(data);
    if (rc != 0)
        return rc;

    int took_locks = 0;
    int header_tried = 0;
    long count;
    AppendTail tail;

    // A count kept in memory was read under the append byte or file lock
    // still held, or belongs to a file open exclusively: nobody else can
    // have changed it (A1).
    count = d4reccount(data);
    if (count < 0) {
        rc = -1;
        goto unlock;
    }
    rc = record_fits(data, count + 1);
    if (rc != 0)
        goto unlock;
    rc = d4lock(data, count + 1);
    if (rc != 0)
        goto unlock;
    data->eof_flag = 0;
    data->bof_flag = 0;
    data->record_changed = 0;
    data->rec_num = count + 1;

    if (!tags.empty() && d4lock_test_index(data) != 1) {
        rc = d4lock_index(data);
        if (rc != 0)
            goto abandon;
        took_locks = 1;
    }
    for (size_t i = 0; i < tags.size(); i++) {
        int added = t4add_calc(tags[i], data->rec_num);
        if (added < 0 || added == r4unique) {
            remove_new_keys(data, tags, i, data->rec_num);
            rc = added;
            goto abandon;
        }
    }
    if (took_locks) {
        took_locks = 0;
        if (d4unlock_index(data) != 0) {
            rc = -1;
            goto abandon_keys;
        }
    }

    rc = append_memos(data);
    if (rc == 0)
        rc = append_tail_save(data, count, &tail);
    if (rc != 0)
        goto abandon_keys;
    rc = d4append_data(data);
    if (rc == 0) {
        header_tried = 1;
        rc = d4update_header(data, 1, 1);
    }
    if (rc != 0) {
        append_take_back(data, count, &tail, header_tried);
        goto abandon_keys;
    }
    if (data->file.is_exclusive) {
        // The record and its end mark now end the file, unless the file
        // went on past where they end.
        long end = d4record_position(data, count + 2) + 1;
        if (tail.len <= end)
            data->known_end = end;
    }
    goto unlock;

abandon_keys:
    if (!tags.empty() && (took_locks || d4lock_index(data) == 0)) {
        remove_new_keys(data, tags, tags.size(), count + 1);
        if (!took_locks)
            d4unlock_index(data);
    }
abandon:
    // A7: nothing of the record stays, not even the lock on its number.
    data->rec_num = 0;
    d4unlock_records(data);
unlock:
    if (took_locks)
        d4unlock_index(data);
    if (d4unlock_append(data) != 0 && rc == 0)
        rc = -1;
    return rc;
}

static int d4append_data_work(DATA4 *data);
int d4append_data(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4append_data_work(data); });
}

static int d4append_data_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    long count = d4reccount(data);
    if (count < 0)
        return -1;
    int rc = record_fits(data, count + 1);
    if (rc != 0)
        return rc;
    data->file_changed = 1;
    data->known_end = 0;
    data->record[data->record_width] = D4_FILE_END;
    rc = file4write(&data->file, d4record_position(data, count + 1), data->record,
                    data->record_width + 1);
    data->record[data->record_width] = 0;
    if (rc != 0)
        return -1;
    data->rec_num = count + 1;
    data->record_changed = 0;
    // Nobody else adds records while the append byte is covered.
    if (d4lock_test_append(data) == 1)
        data->num_recs = count + 1;
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
    int committed = file4flush(&data->file);
    if (data->n_fields_memo > 0 && data->memo_file.file.hand >= 0 &&
        file4flush(&data->memo_file.file) != 0)
        committed = -1;
    if (rc == 0 && committed != 0)
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

// ---- Packing ----------------------------------------------------------------

static int d4pack_work(DATA4 *data);
int d4pack(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4pack_work(data); });
}

static int d4pack_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    int rc = d4lock_all(data);
    if (rc != 0)
        return rc;
    // P8: the indexes read as damaged from before the first record moves
    // until each is rebuilt over what the file then holds, whether the
    // pack ends well or stops part way.
    rc = d4reindex_mark(data);
    if (rc == 0)
        rc = d4pack_data(data);
    long count = d4reccount(data);
    data->eof_flag = data->bof_flag = count == 0 ? 1 : 0;
    int r = d4reindex(data);
    if (rc != 0)
        return rc;
    rc = r;
    if (d4update_header(data, 1, 1) != 0 && rc == 0)
        rc = -1;
    return rc;
}

static int d4pack_data_work(DATA4 *data);
int d4pack_data(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4pack_data_work(data); });
}

static int d4pack_data_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    CODE4 *c4 = data->code_base;
    int rc = d4lock_file(data);
    if (rc != 0)
        return rc;
    rc = d4update(data);
    if (rc != 0)
        return rc;
    data->file_changed = 1;
    data->known_end = 0;

    const unsigned width = data->record_width;
    const long start = d4record_position(data, 1);
    char *read_buf = nullptr;
    char *write_buf = nullptr;
    unsigned buf_len = 0;
    long count, file_len, scan, kept = 0;
    int failed = 0;
    FILE4SEQ_READ reader;
    FILE4SEQ_WRITE writer;
    PackMoves moves(start, width);
    long disk_end = start;

    count = d4reccount(data);
    file_len = file4len(&data->file);
    if (count < 0 || file_len < 0) {
        rc = -1;
        goto done;
    }
    // P3: whole records present beyond the count are records too.
    scan = file_len > start ? (file_len - start) / long(width) : 0;
    if (scan < count)
        scan = count;

    // Step down by 2048 until both buffers are had; a usable size below
    // 1024 means unbuffered.
    for (unsigned long want = c4->mem_size_buffer; want > width;
         want = want > PACK_BUFFER_STEP ? want - PACK_BUFFER_STEP : 0) {
        unsigned usable = file4seq_usable(want);
        if (usable == 0)
            break;
        read_buf = (char *)u4alloc(long(usable));
        write_buf = (char *)u4alloc(long(usable));
        if (read_buf != nullptr && write_buf != nullptr) {
            buf_len = usable;
            break;
        }
        u4free(read_buf);
        u4free(write_buf);
        read_buf = write_buf = nullptr;
    }
    file4seq_read_init(&reader, &data->file, start, read_buf, buf_len);
    file4seq_write_init(&writer, &data->file, start, write_buf, buf_len);

    for (long i = 1; i <= scan; i++) {
        unsigned got = file4seq_read(&reader, data->record, width);
        if (got < width) {
            // The file's real end ends the scan; anything else is a failed
            // read, and the records not read must stay where they are.
            if (start + (i - 1) * long(width) + long(got) < file_len)
                failed = 1;
            break;
        }
        if (i > count && data->record[0] == D4_FILE_END)
            break;
        if (data->record[0] == '*')
            continue;
        moves.pending.push_back(i);
        if (pack_put(&writer, data->record, width, &disk_end) != 0) {
            failed = 2;
            break;
        }
        moves.settle(writer.pos);
        kept++;
    }
    if (failed == 0 && c4->error_code < 0)
        failed = 1;
    if (failed == 0) {
        const char end_mark = D4_FILE_END;
        if (pack_put(&writer, &end_mark, 1, &disk_end) != 0 ||
            pack_put(&writer, nullptr, 0, &disk_end) != 0)
            failed = 2;
    }
    if (failed != 0) {
        // Only what the writer had wholly handed to the file is in place
        // (P5); a failed write's bytes were weighed by pack_put.
        pack_mark_moved(data, &moves, failed == 1 ? writer.pos : disk_end, scan);
        rc = -1;
        goto done;
    }
    // P4: the count first, so that a failed cut leaves a table that reads
    // right with stale bytes after its end.
    data->num_recs = kept;
    if (d4update_header(data, 0, 1) != 0) {
        // P6: the count as it was, and the old places marked.
        int saved = e4set(c4, 0);
        data->num_recs = count;
        if (d4update_header(data, 0, 1) != 0)
            e4describe(c4, e4write, "File Name:", data->file.name,
                       "The record count before the pack could not be restored");
        e4set(c4, saved);
        pack_mark_moved(data, &moves, start + kept * long(width) + 1, scan);
        rc = -1;
        goto done;
    }
    data->file_changed = 1;
    if (file4len_set(&data->file, d4record_position(data, kept + 1) + 1) != 0) {
        // P7: the records past the new end are copies or deleted ones, and
        // a file that cannot be cut must not show them as live.
        pack_mark_deleted(data, kept + 2, scan);
        rc = -1;
    }

done:
    u4free(read_buf);
    u4free(write_buf);
    data->rec_num = -1;
    data->rec_num_old = -1;
    std::memset(data->record, ' ', width);
    return rc;
}

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
//  A9. The number taken is one past the count read after the index locks
//      are held: taking them finishes a pack another process left part
//      way, which moves records (d4append).
//  A10. The index locks taken for the keys are held until the record and
//      the count are on disk or taken back, so that the mark of the change
//      covers the whole append (F1 of i4flight.cpp); keys that cannot be
//      taken back, or a record that cannot, leave the indexes marked to be
//      rebuilt (fail_indexes).
//  A11. In a file open exclusively nobody else looks: the record joins the
//      file's write-behind run, and the header's count and date wait in
//      memory (header_behind). They reach the file in that order (B1 of
//      file4.cpp) by d4write_behind, which every write-back of an index
//      calls before it takes the index's change mark away (i4update), so
//      the mark stays on disk while the trees name records the file may
//      not hold yet; flush and close call it too.
//  A12. Records kept back that cannot be written are gone from the file
//      whole (B2 of file4.cpp): the count becomes what the file holds, and
//      the indexes, whose trees name the lost records, are mended over it
//      (behind_lost).
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
//      cannot be put back leave the indexes marked (fail_indexes).
//  W7. A record write that fails puts the record's old bytes back (those
//      the keys were computed from), so that the keys put back describe
//      what the disk holds; where that fails too the indexes are left
//      marked (record_restore).
//
// Pack (d4pack, d4pack_data) keeps true:
//  P1. The whole table is locked for the duration (d4pack).
//  P2. Records only move towards the front, in runs: a run goes only into
//      slots below the first record it holds, so that no record is
//      overwritten before it is in its place, and before it goes the
//      production index notes where the pack has got to (Pack, pack_run;
//      F4 of i4flight.cpp). A pack that stops part way, even killed, is
//      finished from that note by the next holder of the index lock
//      (d4pack_finish).
//  P3. The scan covers every whole record the file holds, also beyond a
//      corrupt (smaller) header count (d4pack_data).
//  P4. The header count is written before the file is cut, and the file is
//      never cut below the records kept (d4pack_data).
//  P5. A pack that stops part way (a failed read or write) leaves every
//      live record live exactly once: the slots between the records moved
//      and the first record not yet moved hold deleted records, copies of
//      moved ones or parts of a run, and are marked deleted once the note
//      says the same; the header count stays, so every live record is
//      still counted (pack_mark_garbage). A failure to mark is reported,
//      and the note has the pack finished later.
//  P6. A count that cannot be written is put back as it was, and the old
//      places are marked as in P5 (d4pack_data).
//  P7. A file that cannot be cut keeps the new count, and the stale slots
//      after the new end mark are marked deleted (d4pack_data,
//      pack_mark_deleted); the failed cut is reported with the file name.
//  P8. Every index reads as damaged from before the first record moves
//      until it is rebuilt over what the file then holds, also after a
//      pack that stopped part way; a pending change is written back before
//      they are marked; the pack's own failure is its result, else the
//      rebuild's (d4pack).
#include "xbase/d4data.h"

#include <algorithm>
#include <climits>
#include <cstring>
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

// The tags may not describe what the disk holds: every index of the table
// keeps the mark of a change under way when its lock is let go, so that the
// next holder rebuilds it (F2 of i4flight.cpp). Under the index locks,
// taken here when they are not held.
void fail_indexes(DATA4 *data)
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
void settle_indexes(DATA4 *data)
{
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        if (i4->failed && i4->file.is_exclusive)
            i4update(i4);
}

// A12: after a run of the data file could not be written. With the pending
// report kept.
void behind_lost(DATA4 *data)
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
    fail_indexes(data);
    settle_indexes(data);
}

// Takes the new record's keys out of tags[0 .. upto) again (A3); a key that
// cannot be taken out leaves the indexes marked (fail_indexes).
void remove_new_keys(DATA4 *data, const std::vector<TAG4 *> &tags, size_t upto, long rec)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    bool all = true;
    for (size_t j = 0; j < upto; j++) {
        TagImage img;
        int rc = tag_image(tags[j], &img);
        if (rc == 0 && img.passes)
            rc = t4remove(tags[j], img.key, rec);
        all = all && rc >= 0;
    }
    e4set(c4, saved);
    if (!all)
        fail_indexes(data);
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
// be taken back is reported, and the indexes are left marked.
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
    if (!done)
        fail_indexes(data);
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

// A pack on its way (P2, P5): slots before `w` hold the live records
// packed so far, in order; slots from source() on hold the records as
// they were. The live records read and not yet written wait in `run`,
// bound for slots w, w + 1, ... that all lie below the first of them, so
// that writing them overwrites no record not yet in its place. The
// production index notes (w, source()) before each run is written, so that
// a pack that stops part way, even killed, is finished from there (F4 of
// i4flight.cpp, d4pack_finish).
struct Pack {
    DATA4 *data;
    INDEX4 *journal = nullptr;  // the production index; null: none
    long w = 1, r = 1;          // next slot to write, next slot to read
    long count = 0, scan = 0, file_len = 0;
    std::vector<char> rec;      // the record being read
    char *run = nullptr;        // the run's records, run_max of them at most
    long run_max = 1, run_n = 0, run_from = 0;
    long noted_w = 0, noted_r = 0;
    char *read_buf = nullptr;
    unsigned buf_len = 0;

    explicit Pack(DATA4 *d) : data(d), rec(d->record_width) {}
    ~Pack()
    {
        u4free(read_buf);
        u4free(run);
    }
    Pack(const Pack &) = delete;
    Pack &operator=(const Pack &) = delete;
    long source() const { return run_n > 0 ? run_from : r; }
};

// The table's size as a pack sees it (P3): its count, and every whole
// record the file holds beyond it too. Also the pack's buffers: stepping
// down by 2048 until both are had; none below 1024 (unbuffered, one record
// at a time). 0, or -1.
int pack_start(Pack *p)
{
    DATA4 *data = p->data;
    CODE4 *c4 = data->code_base;
    const unsigned width = data->record_width;
    const long start = d4record_position(data, 1);
    p->count = d4reccount(data);
    p->file_len = file4len(&data->file);
    if (p->count < 0 || p->file_len < 0)
        return -1;
    p->scan = std::max(p->count, p->file_len > start ? (p->file_len - start) / long(width) : 0);
    for (unsigned long want = c4->mem_size_buffer; want > width;
         want = want > PACK_BUFFER_STEP ? want - PACK_BUFFER_STEP : 0) {
        unsigned usable = file4seq_usable(want);
        if (usable == 0)
            break;
        p->read_buf = (char *)u4alloc(long(usable));
        p->run = (char *)u4alloc(long(usable));
        if (p->read_buf != nullptr && p->run != nullptr) {
            p->buf_len = usable;
            p->run_max = long(usable / width);
            return 0;
        }
        u4free(p->read_buf);
        u4free(p->run);
        p->read_buf = p->run = nullptr;
    }
    p->run = (char *)u4alloc_er(c4, long(width));
    return p->run == nullptr ? -1 : 0;
}

// Notes (w, source()) in the production index, unless it says so already.
int pack_note(Pack *p)
{
    if (p->journal == nullptr || (p->noted_w == p->w && p->noted_r == p->source()))
        return 0;
    int rc = i4pack_note(p->journal, p->w, p->source());
    if (rc == 0) {
        p->noted_w = p->w;
        p->noted_r = p->source();
    }
    return rc;
}

// Writes the run to slots w, w + 1, ...: 0, or -1 with the run kept.
int pack_flush(Pack *p)
{
    if (p->run_n == 0)
        return 0;
    DATA4 *data = p->data;
    // Into slots the note already gives up, the run needs no new note.
    bool noted = p->w >= p->noted_w && p->w + p->run_n <= p->noted_r;
    if ((!noted && pack_note(p) != 0) ||
        file4write(&data->file, d4record_position(data, p->w), p->run, unsigned(p->run_n) * data->record_width) != 0)
        return -1;
    p->w += p->run_n;
    p->run_n = 0;
    return 0;
}

// After a pack stopped: the slots between w and source() hold deleted
// records, copies of records already in place, or parts of a run that was
// being written; they are marked deleted (P5) once the index notes the
// same, so that the header's count shows every live record once.
int pack_mark_garbage(Pack *p, long upto)
{
    if (pack_note(p) != 0)
        return -1;
    return pack_mark_deleted(p->data, p->w, upto);
}

// Reads from slot r to the end and writes every live record to slot w on,
// then ends the file after them: the end mark, the count (P4) and the cut.
// 0, or -1 after the table was left with every live record once (P5-P7)
// or, where that failed too, with the index's note to finish from.
int pack_run(Pack *p)
{
    DATA4 *data = p->data;
    CODE4 *c4 = data->code_base;
    const unsigned width = data->record_width;
    data->file_changed = 1;
    data->known_end = 0;
    FILE4SEQ_READ reader;
    file4seq_read_init(&reader, &data->file, d4record_position(data, p->r), p->read_buf, p->buf_len);
    int failed = 0;
    for (char *rec = p->rec.data(); p->r <= p->scan; p->r++) {
        unsigned got = file4seq_read(&reader, rec, width);
        if (got < width) {
            // The file's real end ends the scan; anything else is a failed
            // read, and the records not read must stay where they are.
            if (d4record_position(data, p->r) + long(got) < p->file_len)
                failed = 1;
            break;
        }
        if (p->r > p->count && rec[0] == D4_FILE_END)
            break;
        if (rec[0] == '*')
            continue;
        if (p->run_n == 0 && p->w == p->r) {
            p->w++; // in its place already
            continue;
        }
        if (p->run_n == 0)
            p->run_from = p->r;
        std::memcpy(p->run + size_t(p->run_n) * width, rec, width);
        p->run_n++;
        if ((p->run_n == p->run_max || p->w + p->run_n == p->run_from) && pack_flush(p) != 0) {
            failed = 1;
            break;
        }
    }
    if (failed == 0 && (c4->error_code < 0 || pack_flush(p) != 0))
        failed = 1;
    if (failed != 0) {
        pack_mark_garbage(p, p->source() - 1);
        return -1;
    }
    // Every record read is in place: what follows slot w - 1 is garbage.
    p->r = p->scan + 1;
    const char end_mark = D4_FILE_END;
    if (pack_note(p) != 0 || file4write(&data->file, d4record_position(data, p->w), &end_mark, 1) != 0) {
        pack_mark_garbage(p, p->scan);
        return -1;
    }
    // P4: the count first, so that a failed cut leaves a table that reads
    // right with stale bytes after its end.
    data->num_recs = p->w - 1;
    if (d4update_header(data, 0, 1) != 0) {
        // P6: the count as it was, and the old places marked.
        int saved = e4set(c4, 0);
        data->num_recs = p->count;
        if (d4update_header(data, 0, 1) != 0)
            e4describe(c4, e4write, "File Name:", data->file.name,
                       "The record count before the pack could not be restored");
        e4set(c4, saved);
        pack_mark_garbage(p, p->scan);
        return -1;
    }
    data->minCount = p->w - 1;
    if (file4len_set(&data->file, d4record_position(data, p->w) + 1) != 0) {
        // P7: the records past the new end are copies or deleted ones, and
        // a file that cannot be cut must not show them as live.
        pack_mark_deleted(data, p->w + 1, p->scan);
        return -1;
    }
    if (p->journal != nullptr)
        i4pack_note(p->journal, 0, 0);
    return 0;
}

// The index whose header keeps a pack's note: the production index.
INDEX4 *pack_journal(DATA4 *data)
{
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        if (i4is_production(i4))
            return i4;
    return nullptr;
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
    settle_indexes(data);
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
        fail_indexes(data);
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
    kc->tags = all_tags(data);
    size_t n = kc->tags.size();
    kc->now.assign(n, TagImage());
    kc->before.assign(n, TagImage());
    kc->removed.assign(n, 0);
    kc->added.assign(n, 0);
    int had_locks = d4lock_test_index(data) == 1;
    for (size_t i = 0; i < n && rc == 0; i++) {
        TAG4 *t4 = kc->tags[i];
        TagImage &now = kc->now[i], &before = kc->before[i];
        if (tag_image(t4, &now) != 0 || tag_image_old(data, t4, &before) != 0) {
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
    long got = file4read_kept(&data->file, d4record_position(data, rec_num), ptr,
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
            fail_indexes(data);
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
    return keys_done(data, &keys, write_keys(data, rec, &keys));
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

    for (int tries = 0;; tries++) {
        // A count kept in memory was read under the append byte or file
        // lock still held, or belongs to a file open exclusively: nobody
        // else can have changed it (A1).
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
        if (tags.empty() || d4lock_test_index(data) == 1)
            break;
        rc = d4lock_index(data);
        if (rc != 0)
            goto abandon;
        took_locks = 1;
        // A9: taking the index lock finishes a pack that another process
        // left part way (F5 of i4flight.cpp), which moves records: the
        // count is read again, once.
        if (tries > 0 || d4reccount(data) == count)
            break;
        took_locks = 0;
        if (d4unlock_index(data) != 0 || d4unlock_records(data) != 0) {
            rc = -1;
            goto abandon;
        }
    }
    for (size_t i = 0; i < tags.size(); i++) {
        int added = t4add_calc(tags[i], data->rec_num);
        if (added < 0 || added == r4unique) {
            remove_new_keys(data, tags, i, data->rec_num);
            rc = added;
            goto abandon;
        }
    }

    // A10: the index locks, and the mark of the change, stay until the
    // record is on disk (F1 of i4flight.cpp); the blocks go first, so that
    // one that cannot be written stops the append before the record.
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); took_locks && rc == 0 && i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        rc = i4write_blocks(i4);
    if (rc == 0)
        rc = append_memos(data);
    if (rc == 0)
        rc = append_tail_save(data, count, &tail);
    if (rc != 0)
        goto abandon_keys;
    rc = d4append_data(data);
    if (rc == 0 && data->file.is_exclusive) {
        data->header_behind = 1; // A11
    } else if (rc == 0) {
        header_tried = 1;
        rc = d4update_header(data, 1, 1);
    }
    if (rc == 0 && took_locks) {
        took_locks = 0;
        if (d4unlock_index(data) != 0) {
            // A5: the record goes again; the indexes that did not let go
            // cleanly keep their mark, and the next lock rebuilds them.
            rc = -1;
            append_take_back(data, count, &tail, header_tried);
            d4unlock_index(data);
            goto abandon;
        }
    }
    if (rc != 0 && data->file.run_lost) {
        // A12: the file lost the records kept back with this one's place.
        remove_new_keys(data, tags, tags.size(), count + 1);
        behind_lost(data);
        goto abandon;
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
    // The index locks are held here, taken above or by the caller.
    remove_new_keys(data, tags, tags.size(), count + 1);
abandon:
    // A7: nothing of the record stays, not even the lock on its number.
    data->rec_num = 0;
    d4unlock_records(data);
unlock:
    if (took_locks && d4unlock_index(data) != 0 && rc == 0)
        rc = -1;
    settle_indexes(data);
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
    rc = file4write_behind(&data->file, d4record_position(data, count + 1), data->record,
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
    // pack ends well or stops part way; a pending change is written first,
    // while they still read as whole.
    rc = d4update(data);
    if (rc == 0)
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
    int rc = d4lock_file(data);
    if (rc != 0)
        return rc;
    rc = d4update(data);
    if (rc != 0)
        return rc;
    Pack p(data);
    p.journal = pack_journal(data);
    rc = pack_start(&p);
    if (rc == 0)
        rc = pack_run(&p);
    data->rec_num = -1;
    data->rec_num_old = -1;
    std::memset(data->record, ' ', data->record_width);
    return rc;
}

int d4pack_finish(DATA4 *data, long w, long r)
{
    if (refused(data))
        return -1;
    int took = 0;
    int rc = d4lock_file_over(data, &took);
    if (rc == r4locked && (data->num_locked > 0 || data->append_lock))
        // Waiting for the others while holding locks of its own could wait
        // for ever: the operation gives up, and its locks with it.
        return e4describe(data->code_base, e4index, "File Name:", data->file.name,
                          "A pack of the table stopped part way and is finished when no other process holds a lock of it");
    if (rc != 0)
        return rc;
    Pack p(data);
    p.journal = pack_journal(data);
    rc = pack_start(&p);
    if (rc == 0 && (w < 1 || r < w || w > p.scan + 1))
        rc = e4describe(data->code_base, e4index, "File Name:", data->file.name,
                        "The note of a pack that stopped part way does not fit the table");
    if (rc == 0) {
        p.w = p.noted_w = w;
        p.r = p.noted_r = std::min(r, p.scan + 1);
        rc = pack_run(&p);
    }
    if (took && d4unlock_file_over(data) != 0 && rc == 0)
        rc = -1;
    data->rec_num_old = -1;
    return rc;
}

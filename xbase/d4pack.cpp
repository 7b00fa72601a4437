// Packing a data file: its live records moved to the front in runs, the
// file ended after them, its indexes rebuilt, and a pack that stopped
// part way finished from the production index's note.
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
//  P9. A table of at most PACK_STAGE_MAX bytes with a production index
//      first copies its live records from the first deleted one on past
//      its end, behind an end mark, and notes that the pack reads them
//      from there; they then move into place in long runs (pack_stage).
//      A pack that fails while they wait there counts them (P5).
// P10. The indexes that can be trusted are rebuilt from the tags they had
//      before the pack, renumbered by the records it removed, which its
//      scan notes (Pack::gone, r4retag.h); after a pack that stopped part
//      way, and for the others, from the records (d4pack).
#include "xbase/d4data.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "xbase/d4tag.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/index/i4index.h"
#include "xbase/index/r4retag.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"

namespace {

enum { PACK_BUFFER_STEP = 2048 };
// The largest table whose pack copies its records past the end first
// (P9): beyond it the second copy costs more than the short runs save.
const long PACK_STAGE_MAX = 8L << 20;

int refused(DATA4 *data) { return data == nullptr || data->code_base->error_code < 0; }

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
    bool staged = false;        // the records to move wait past the end (P9)
    // Null, or one flag per slot from 0 on: set for each deleted record the
    // scan passes (the rebuild from the old tags renumbers by them).
    std::vector<char> *gone = nullptr;
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
    void deleted(long slot)
    {
        if (gone != nullptr && slot < long(gone->size()))
            (*gone)[size_t(slot)] = 1;
    }
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

// P9: a small table's live records from its first deleted one on are
// copied past its end in long runs before anything moves, behind an end
// mark in the slot after the last one scanned (so that a pack killed
// meanwhile leaves them where no count and no scan reaches); the note
// then says slots from that copy on hold the records as they were, and
// they move into place in long runs too, instead of runs no longer than
// the deleted records before them. 0 (staged, or nothing to stage), or -1
// after a report with the table as it was.
int pack_stage(Pack *p)
{
    DATA4 *data = p->data;
    const unsigned width = data->record_width;
    const long after = d4record_position(data, p->scan + 1);
    if (p->journal == nullptr || p->read_buf == nullptr || after > PACK_STAGE_MAX)
        return 0;
    FILE4SEQ_READ reader;
    file4seq_read_init(&reader, &data->file, d4record_position(data, 1), p->read_buf, p->buf_len);
    char *rec = p->rec.data();
    long r = 1;
    for (; r <= p->scan; r++) {
        // The file's end, or nothing deleted: the plain pack; a failed read
        // fails the pack, nothing moved.
        unsigned got = file4seq_read(&reader, rec, width);
        if (got < width)
            return d4record_position(data, r) + long(got) < p->file_len ? -1 : 0;
        if (r > p->count && rec[0] == D4_FILE_END)
            return 0;
        if (rec[0] == '*')
            break;
    }
    if (r > p->scan)
        return 0;
    p->deleted(r);
    const long first = r, stage = p->scan + 2;
    data->known_end = 0;
    const char end_mark = D4_FILE_END;
    FILE4SEQ_WRITE writer;
    file4seq_write_init(&writer, &data->file, d4record_position(data, stage), p->run, p->buf_len);
    int failed = file4write(&data->file, after, &end_mark, 1) != 0;
    long n = 0;
    for (r++; failed == 0 && r <= p->scan; r++) {
        unsigned got = file4seq_read(&reader, rec, width);
        if (got < width) {
            failed = d4record_position(data, r) + long(got) < p->file_len;
            break;
        }
        if (r > p->count && rec[0] == D4_FILE_END)
            break;
        if (rec[0] == '*') {
            p->deleted(r);
            continue;
        }
        // A live record that would end the scan of the copy: the plain pack.
        if (rec[0] == D4_FILE_END) {
            n = -1;
            break;
        }
        failed = file4seq_write(&writer, rec, width) != 0;
        n++;
    }
    if (failed == 0 && n > 0)
        failed = file4seq_write_flush(&writer) != 0;
    if (failed == 0 && n > 0) {
        long w = p->w, from = p->r;
        p->w = first;
        p->r = stage;
        if (pack_note(p) == 0) {
            p->scan = stage + n - 1;
            p->file_len = d4record_position(data, stage + n);
            p->staged = true;
            return 0;
        }
        // The note that did not reach the file must not reach it later
        // either: no note stood before the pack.
        i4pack_note(p->journal, 0, 0);
        p->w = w;
        p->r = from;
        failed = 1;
    }
    // Nothing moved: the file back to its length.
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    if (file4len_set(&data->file, p->file_len) != 0)
        failed = 1;
    e4set(c4, saved);
    return failed != 0 ? -1 : 0;
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
        if (rec[0] == '*') {
            if (!p->staged)
                p->deleted(p->r);
            continue;
        }
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
        // P5; with the records waiting past the end (P9), the count then
        // takes them in, so that every live record is still counted once.
        if (pack_mark_garbage(p, p->source() - 1) == 0 && p->staged) {
            int saved = e4set(c4, 0);
            data->num_recs = p->scan;
            d4update_header(data, 0, 1);
            e4set(c4, saved);
        }
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

// P10: the indexes that can be trusted held before the pack marks them,
// while the table's file holds exactly the records its count says (the
// records kept back written first): the scan then meets every record the
// tags name, and no other. 0, or -1 after a report.
int pack_hold(R4RETAG *held, DATA4 *data)
{
    if (d4write_behind(data) != 0)
        return -1;
    long count = d4reccount(data);
    long len = file4len(&data->file);
    if (count < 0 || len < 0)
        return -1;
    if ((len - (long)data->header_len) / (long)data->record_width != count)
        return 0;
    return r4retag_hold(held, data, count);
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

} // namespace

// ---- Packing ----------------------------------------------------------------

static int d4pack_work(DATA4 *data);
static int d4pack_data_work(DATA4 *data, std::vector<char> *gone);
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
    // The tags as they stand, where they can be trusted, taken before the
    // marks: the indexes are then written from them, renumbered by the
    // records the pack removes, instead of from the records.
    R4RETAG held;
    if (rc == 0)
        rc = pack_hold(&held, data);
    if (rc == 0)
        rc = d4reindex_mark(data);
    if (rc == 0)
        rc = e4guard(data->code_base, e4memory,
                     [&] { return d4pack_data_work(data, held.indexes.empty() ? nullptr : &held.gone); });
    long count = d4reccount(data);
    data->eof_flag = data->bof_flag = count == 0 ? 1 : 0;
    // After a pack that stopped part way, the records say what the tags are.
    int r;
    if (rc == 0 && !held.indexes.empty()) {
        r = d4lock_all(data);
        if (r == 0)
            r = r4retag_reindex(&held);
    } else {
        r = d4reindex(data);
    }
    if (rc != 0)
        return rc;
    rc = r;
    if (d4update_header(data, 1, 1) != 0 && rc == 0)
        rc = -1;
    return rc;
}

int d4pack_data(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory,
                   [&] { return d4pack_data_work(data, nullptr); });
}

static int d4pack_data_work(DATA4 *data, std::vector<char> *gone)
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
    p.gone = gone;
    rc = pack_start(&p);
    if (rc == 0)
        rc = pack_stage(&p);
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

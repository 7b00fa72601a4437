// New records appended to a data file with their keys and memo texts, and
// taken back again when an append does not go through.
//
// Append (d4append) keeps true:
//  A1. The record count is read under the append byte, or is one kept
//      since it was read under the append byte or file lock still held, or
//      in a file open exclusively; a count that cannot be read stops the
//      append before anything is written (d4append, d4append_data).
//  A2. A record is never placed where its bytes or its lock byte would lie
//      past what 32-bit offsets and the lock bytes address (d4record_fits).
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
//      rebuilt (d4fail_indexes).
//  A11. In a file open exclusively nobody else looks: unless the context
//      commits every write (file_flush), the record joins the
//      file's write-behind run, and the header's count and date wait in
//      memory (header_behind). They reach the file in that order (B1 of
//      file4.cpp) by d4write_behind, which every write-back of an index
//      calls before it takes the index's change mark away (i4update), so
//      the mark stays on disk while the trees name records the file may
//      not hold yet; flush and close call it too.
//  A12. Records kept back that cannot be written are gone from the file
//      whole (B2 of file4.cpp): the count becomes what the file holds, and
//      the indexes, whose trees name the lost records, are mended over it
//      (d4write_behind).
#include "xbase/d4data.h"

#include <algorithm>
#include <string>
#include <vector>

#include "xbase/d4record.h"
#include "xbase/e4error.h"
#include "xbase/f4field.h"
#include "xbase/file4.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"
#include "xbase/memo4.h"

namespace {

int refused(DATA4 *data) { return data == nullptr || data->code_base->error_code < 0; }

// Takes the new record's keys out of tags[0 .. upto) again (A3); a key that
// cannot be taken out leaves the indexes marked (d4fail_indexes).
void remove_new_keys(DATA4 *data, const std::vector<TAG4 *> &tags, size_t upto, long rec)
{
    CODE4 *c4 = data->code_base;
    int saved = e4set(c4, 0);
    bool all = true;
    for (size_t j = 0; j < upto; j++) {
        TagImage img;
        int rc = d4tag_image(tags[j], &img);
        if (rc == 0 && img.passes)
            rc = t4remove(tags[j], img.key, rec);
        all = all && rc >= 0;
    }
    e4set(c4, saved);
    if (!all)
        d4fail_indexes(data);
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
        d4fail_indexes(data);
}

} // namespace

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
            d4reset_memos(data);
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
    std::vector<TAG4 *> tags = d4all_tags(data); // before anything is to be undone
    // A context that commits every write keeps nothing back (A11): what
    // earlier appends kept back reaches the disk before this one writes.
    if (data->code_base->file_flush && d4write_behind(data) != 0)
        return -1;
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
        rc = d4record_fits(data, count + 1);
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
    if (rc == 0 && data->file.is_exclusive && !data->code_base->file_flush) {
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
        d4write_behind(data);
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
    d4settle_indexes(data);
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
    int rc = d4record_fits(data, count + 1);
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

// Data-file locking: record, group, append and whole-file locks on the
// fixed lock bytes of d4data.h, the index and memo locks of a table, the
// tests that tell whether a lock is held, and their release.
//
// What the lock state keeps true:
//  1. num_locked record numbers in locks[0 .. num_locked) are locked by this
//     table's open file, and no other record byte is.
//  2. append_lock / file_lock are set exactly while the append byte / the
//     whole range is locked; num_recs is cached (not -1) only while one of
//     them is held, or while the file is open exclusively (d4reccount,
//     d4unlock_append, d4unlock_file).
//  3. A group or index lock that does not succeed as a whole leaves nothing
//     of itself locked (d4lock_group, d4lock_index).
//  4. rec_num_old and memo_validated are trusted only while the record's
//     lock is held; every release of record or file locks forgets them.
//  5. Read-only and exclusive files take no lock bytes; every test reports
//     them as covered.
//
// Lock order, for the whole engine: locks are taken in this order and no
// lock is ever waited for while a lock later in the order is held, so two
// processes never wait for each other.
//  1. The data file's bytes: the whole-file range, or the append byte and
//     then the record bytes (d4lock_file, d4lock_append, d4lock,
//     d4lock_group).
//  2. The index files, in the table's index order (d4lock_index, i4lock).
//  3. The memo file (memo4file_lock), held only while memo blocks are
//     taken, or with everything else by d4lock_all.
// A call that needs a lock of an earlier step while it holds index locks
// writes back and gives up the index locks first (d4lock, d4lock_append;
// d4lock_file and d4lock_group give up everything). The memo lock is never
// held by a call that goes on to wait for another lock. A read of an index
// that keeps meeting blocks another process is changing, or the mark of its
// rebuild, waits for that index's lock (step 2) and lets it go before it
// returns (i4retry).
//
// Waits poll, the first pauses short (code4lock_pause_ms): a lock that its
// holder keeps taking again is let go often but briefly, and waiters that
// ask rarely would never meet it free.
#include "xbase/d4data.h"

#include <algorithm>
#include <vector>

#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/index/i4index.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/memo4.h"
#include "xbase/u4util.h"

namespace {

int no_locks_needed(DATA4 *data) { return data->file.is_exclusive || data->file.is_read_only; }

int refused(DATA4 *data) { return data == nullptr || data->code_base->error_code < 0; }

int memo_open(DATA4 *data) { return data->n_fields_memo > 0 && data->memo_file.file.hand >= 0; }

// Whether a group or index lock tries again after `polls` whole attempts
// found `file_name` held, pausing first. The caller's lock_attempts counts
// extra whole attempts a second apart, -1 meaning without end.
int next_attempt(CODE4 *c4, const char *file_name, int saved_attempts, int polls)
{
    int pause = code4lock_pause_ms(saved_attempts < 0 ? -1 : saved_attempts + 1, polls);
    if (pause < 0)
        return 0;
    code4lock_wait(c4, file_name, polls, pause);
    return 1;
}

} // namespace

long d4lock_record_offset(DATA4 *data, long rec)
{
    // A record no lock byte can stand for gets an offset file4lock refuses.
    if (rec < 1 || rec > D4_LOCK_FILE_LEN)
        return -1;
    if (data->has_mdx)
        return D4_LOCK_PRODUCTION_BASE - rec;
    return D4_LOCK_RECORD_BASE + long(data->header_len) + (rec - 1) * long(data->record_width);
}

int d4lock_test(DATA4 *data, long rec)
{
    if (data == nullptr)
        return -1;
    if (data->file_lock || no_locks_needed(data))
        return 1;
    for (int i = 0; i < data->num_locked; i++)
        if (data->locks[i] == rec)
            return 1;
    return 0;
}

int d4lock_test_append(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    return (data->file_lock || data->append_lock || no_locks_needed(data)) ? 1 : 0;
}

int d4lock_test_file(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    return (data->file_lock || no_locks_needed(data)) ? 1 : 0;
}

int d4lock_test_index(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        if (i4lock_test(i4) != 1)
            return 0;
    return 1;
}

static int d4lock_work(DATA4 *data, long rec);
int d4lock(DATA4 *data, long rec)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4lock_work(data, rec); });
}

static int d4lock_work(DATA4 *data, long rec)
{
    if (refused(data) || d4record_check(data, rec) != 0)
        return -1;
    if (d4lock_test(data, rec))
        return 0;
    // One record lock at a time when taken this way.
    if (d4unlock_index(data) != 0 || d4unlock_records(data) != 0)
        return -1;
    int rc = file4lock(&data->file, d4lock_record_offset(data, rec), 1);
    if (rc != 0)
        return rc;
    data->locks[0] = rec;
    data->num_locked = 1;
    return 0;
}

int d4lock_group(DATA4 *data, const long *recs, int n_recs)
{
    if (refused(data) || recs == nullptr || n_recs < 0)
        return -1;
    for (int i = 0; i < n_recs; i++)
        if (d4record_check(data, recs[i]) != 0)
            return -1;
    if (d4lock_test_file(data))
        return 0;
    if (d4unlock(data) != 0)
        return -1;
    CODE4 *c4 = data->code_base;
    if (n_recs > data->n_locks) {
        long *bigger = (long *)u4alloc_er(c4, long(sizeof(long)) * n_recs);
        if (bigger == nullptr)
            return e4memory;
        if (data->n_locks > 1)
            u4free(data->locks);
        data->locks = bigger;
        data->n_locks = n_recs;
    }

    int saved_attempts = c4->lock_attempts;
    int rc;
    c4->lock_attempts = 1;
    for (int polls = 1;; polls++) {
        rc = 0;
        for (int i = 0; i < n_recs; i++) {
            rc = file4lock(&data->file, d4lock_record_offset(data, recs[i]), 1);
            if (rc != 0)
                break;
            data->locks[data->num_locked++] = recs[i];
        }
        if (rc == 0)
            break;
        if (d4unlock_records(data) != 0) {
            rc = -1;
            break;
        }
        if (rc != r4locked || !next_attempt(c4, data->file.name, saved_attempts, polls))
            break;
    }
    c4->lock_attempts = saved_attempts;
    return rc;
}

int d4lock_append(DATA4 *data)
{
    if (refused(data))
        return -1;
    if (d4lock_test_append(data))
        return 0;
    // The lock order: no index lock is held while the append byte is
    // waited for.
    if (d4unlock_index(data) != 0 || d4unlock_records(data) != 0)
        return -1;
    int rc = file4lock(&data->file, D4_LOCK_APPEND, 1);
    if (rc == 0)
        data->append_lock = 1;
    return rc;
}

int d4lock_file(DATA4 *data)
{
    if (refused(data))
        return -1;
    if (d4lock_test_file(data))
        return 0;
    if (d4unlock(data) != 0)
        return -1;
    int rc = file4lock(&data->file, D4_LOCK_FILE_START, D4_LOCK_FILE_LEN);
    if (rc == 0)
        data->file_lock = 1;
    return rc;
}

int d4lock_file_over(DATA4 *data, int *took)
{
    *took = 0;
    if (refused(data))
        return -1;
    if (d4lock_test_file(data))
        return 0;
    CODE4 *c4 = data->code_base;
    int saved_attempts = c4->lock_attempts;
    c4->lock_attempts = 1;
    // The lock byte ranges of one open file merge: the table's own locks do
    // not stand in the way.
    int rc = file4lock(&data->file, D4_LOCK_FILE_START, D4_LOCK_FILE_LEN);
    c4->lock_attempts = saved_attempts;
    if (rc == 0)
        *took = data->file_lock = 1;
    return rc;
}

int d4unlock_file_over(DATA4 *data)
{
    if (data == nullptr || !data->file_lock)
        return data == nullptr ? -1 : 0;
    std::vector<long> kept;
    if (data->append_lock)
        kept.push_back(D4_LOCK_APPEND);
    for (int i = 0; i < data->num_locked; i++)
        kept.push_back(d4lock_record_offset(data, data->locks[i]));
    std::sort(kept.begin(), kept.end());
    long from = D4_LOCK_FILE_START;
    int rc = 0;
    for (long at : kept) {
        if (at > from && file4unlock(&data->file, from, at - from) != 0)
            rc = -1;
        from = at + 1;
    }
    const long end = D4_LOCK_FILE_START + D4_LOCK_FILE_LEN;
    if (end > from && file4unlock(&data->file, from, end - from) != 0)
        rc = -1;
    data->file_lock = 0;
    data->rec_num_old = -1;
    data->memo_validated = 0;
    if (!data->append_lock)
        data->num_recs = -1;
    return rc;
}

int d4lock_index(DATA4 *data)
{
    if (refused(data))
        return -1;
    CODE4 *c4 = data->code_base;
    int saved_attempts = c4->lock_attempts;
    int rc;
    c4->lock_attempts = 1;
    for (int polls = 1;; polls++) {
        rc = 0;
        INDEX4 *held = nullptr;
        for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr && rc == 0;
             i4 = (INDEX4 *)l4next(&data->indexes, i4)) {
            rc = i4lock(i4);
            held = i4;
        }
        if (rc != r4locked)
            break;
        if (d4unlock_index(data) != 0) {
            rc = -1;
            break;
        }
        if (!next_attempt(c4, held->file.name, saved_attempts, polls))
            break;
    }
    c4->lock_attempts = saved_attempts;
    if (c4->error_code < 0)
        return -1;
    return rc;
}

int d4lock_all(DATA4 *data)
{
    if (refused(data))
        return -1;
    int rc = d4lock_file(data);
    if (rc == 0)
        rc = d4lock_index(data);
    if (rc == 0 && memo_open(data))
        rc = memo4file_lock(&data->memo_file);
    if (rc != 0)
        d4unlock(data);
    return rc;
}

int d4unlock_records(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    data->rec_num_old = -1;
    data->memo_validated = 0;
    while (data->num_locked > 0) {
        long rec = data->locks[data->num_locked - 1];
        if (file4unlock(&data->file, d4lock_record_offset(data, rec), 1) != 0)
            return -1;
        data->num_locked--;
    }
    return 0;
}

int d4unlock_append(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    if (!data->append_lock)
        return 0;
    if (file4unlock(&data->file, D4_LOCK_APPEND, 1) != 0)
        return -1;
    data->append_lock = 0;
    data->num_recs = -1;
    return 0;
}

int d4unlock_file(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    if (!data->file_lock)
        return 0;
    if (file4unlock(&data->file, D4_LOCK_FILE_START, D4_LOCK_FILE_LEN) != 0)
        return -1;
    data->rec_num_old = -1;
    data->memo_validated = 0;
    data->file_lock = 0;
    data->num_recs = -1;
    return 0;
}

int d4unlock_data(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    int rc = 0;
    if (d4unlock_file(data) != 0)
        rc = -1;
    if (d4unlock_append(data) != 0)
        rc = -1;
    if (d4unlock_records(data) != 0)
        rc = -1;
    return rc;
}

int d4unlock_index(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    int rc = 0;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&data->indexes, i4))
        if (i4unlock(i4) != 0)
            rc = -1;
    return rc;
}

static int d4unlock_work(DATA4 *data);
int d4unlock(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4unlock_work(data); });
}

static int d4unlock_work(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    // Pending changes are written under the locks that cover them.
    if (d4update(data) != 0)
        return -1;
    int rc = 0;
    if (d4unlock_data(data) != 0)
        rc = -1;
    if (memo_open(data) && memo4file_unlock(&data->memo_file) != 0)
        rc = -1;
    if (d4unlock_index(data) != 0)
        rc = -1;
    if (data->code_base->error_code < 0)
        return -1;
    return rc;
}

int d4unlock_files(CODE4 *c4)
{
    if (c4 == nullptr)
        return -1;
    int rc = 0;
    for (DATA4 *d = (DATA4 *)l4first(&c4->data_list); d != nullptr;
         d = (DATA4 *)l4next(&c4->data_list, d)) {
        int r = d4unlock(d);
        if (r != 0)
            rc = r;
    }
    return rc;
}

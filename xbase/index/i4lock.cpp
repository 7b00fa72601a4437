// Sharing an index file with other processes: its lock (one byte stands
// for the whole file), the version counter in the header at offset 0, and
// what a process may keep of the file between its reads.
//
// The rules of sharing:
//  S1. Only the holder of the lock changes the file. Holding it, a process
//      reads the header at once and takes from it the free list, from the
//      file its length, and drops every block and root it cached when the
//      version is not the one it last read or wrote: its locked phase
//      starts from nothing older than the version it locked (i4lock,
//      i4head_take).
//  S2. A locked phase that changes the file says so before each change
//      (i4version_step); its end writes blocks and roots first and then a
//      version one past the last one it wrote (i4unlock), so the file never
//      showed that version while the phase went on: whatever a process read
//      meanwhile, under whatever version it then saw, is stale once the
//      lock is let go. A lock that changes nothing writes no version and
//      costs the others nothing of their caches.
//  S3. Without the lock, a process keeps what it cached only while the
//      version it reads before each search is the one it cached under
//      (i4version_check); anything it reads may belong to a phase under
//      way. A block that does not check, or proves out of date, is read
//      again with everything else; after I4_MAX_RETRIES tries the lock is
//      waited for and the reads are made under it, where the same finding
//      is damage (-310). Without the lock, -310 is never the answer: -310
//      means a damaged file, never a busy one (i4retry).
//  S4. A rebuild marks the header (no root) under the lock until it ends
//      (r4reindex.cpp); so do a change of the trees and a pack, each its
//      own way (i4flight.cpp). A process that meets the mark of a rebuild
//      or a pack without the lock waits for the lock like any other
//      waiter, one that meets a change's mark takes the lock if it is free
//      (i4flight_check); meeting a mark while holding the lock means its
//      maker stopped part way, and the file is mended before anything else
//      (i4mend, the one place that decides it).
//  S5. file_locked is set exactly while the lock byte is held; an
//      exclusive file takes no lock and is never changed by others.
// Other programs that share the files compare the version for change only,
// so moving it more often than they do is safe for them.
#include "xbase/index/i4index.h"

#include "util/byteorder.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"

namespace {

// Takes the lock byte and brings what the process knows of the file up to
// date (S1), mending what a process that stopped part way left (S4): 0,
// the primitive's or the mending's nonzero result.
int lock_and_read(INDEX4 *i4)
{
    int rc = file4lock(&i4->file, I4_LOCK_BYTE, 1);
    if (rc != 0)
        return rc;
    i4->file_locked = 1;
    i4->changed = 0;
    i4->failed = 0;
    long len = file4len(&i4->file);
    if (len > 0) {
        unsigned char head[I4_HEAD_LEN];
        rc = i4head_read(i4, head);
        if (rc > 0 && (rc = i4mend(i4, head, rc)) == 0 && (rc = i4head_read(i4, head)) > 0 && i4->flight)
            rc &= ~I4_MARK_CHANGE; // the mending's own change, ended when the lock is let go
        if (rc == 0) {
            i4head_take(i4, head);
            len = file4len(&i4->file);
        }
    }
    if (rc == 0 && len < 0)
        rc = -1;
    if (rc != 0) {
        i4->file_locked = 0;
        file4unlock(&i4->file, I4_LOCK_BYTE, 1);
        return rc < 0 || rc == r4locked ? rc : -1;
    }
    i4->eof = len;
    return 0;
}

} // namespace

int i4lock_test(INDEX4 *i4)
{
    if (i4 == nullptr)
        return -1;
    if (i4->file.is_exclusive)
        return 1;
    return i4->file_locked ? 1 : 0;
}

int i4lock(INDEX4 *i4)
{
    if (i4 == nullptr)
        return -1;
    if (i4lock_test(i4))
        return 0;
    return lock_and_read(i4);
}

int i4unlock(INDEX4 *i4)
{
    if (i4 == nullptr)
        return -1;
    if (!i4->file_locked)
        return 0;
    if (i4->failed) {
        // F2: what the phase changed in memory is not trusted; the mark on
        // the file has the next holder of the lock rebuild the index.
        i4drop(i4);
    } else {
        // S2: the version written last is one the phase never showed; F1:
        // the same write takes the change mark away.
        if (i4->changed && i4->tag_index != nullptr)
            i4->tag_index->header.version = (i4->version_old + 1) & 0xFFFFFFFFUL;
        i4->flight = 0;
        if (i4update(i4) != 0)
            return -1;
    }
    if (file4unlock(&i4->file, I4_LOCK_BYTE, 1) != 0)
        return -1;
    i4->file_locked = 0;
    i4->changed = 0;
    i4->failed = 0;
    return 0;
}

int i4version_step(INDEX4 *i4)
{
    int rc = i4flight_begin(i4);
    if (rc != 0)
        return rc;
    T4HEADER &h = i4->tag_index->header;
    h.version = (i4->version_old + 1) & 0xFFFFFFFFUL;
    i4->changed = 1;
    return 0;
}

void i4head_take(INDEX4 *i4, const unsigned char *head)
{
    T4HEADER &h = i4->tag_index->header;
    unsigned long stored = util_getBe32(head + I4_OFF_VERSION);
    if (stored != i4->version_old) {
        // The file may also have grown, or a rebuild may have cut it.
        i4drop(i4);
        i4->version_old = stored;
        h.version = stored;
        long len = file4len(&i4->file);
        if (len >= 0)
            i4->eof = len;
    }
    h.free_list = (long)(int32_t)util_getLe32(head + I4_OFF_FREE_LIST);
    i4->head_changed = 0;
}

void i4drop(INDEX4 *i4)
{
    for (TAG4 *t4 = i4tag_next(i4, nullptr); t4 != nullptr; t4 = i4tag_next(i4, t4)) {
        i4cache_drop(t4);
        t4->header.root = -1;
    }
}

int i4retry(INDEX4 *i4, I4RETRY *r, int marked)
{
    // Under the lock nobody else changes the file: what does not check is
    // damage, and the caller reports it.
    if (i4lock_test(i4) == 1)
        return i4corrupt(i4, -1);
    r->attempts++;
    if (!marked && r->attempts <= I4_MAX_RETRIES) {
        // Another process is most likely writing the blocks just read:
        // give it a moment, then read everything again from the header on.
        code4lock_wait(i4->code_base, i4->file.name, r->attempts, code4lock_pause_ms(-1, r->attempts));
        unsigned char head[I4_HEAD_LEN];
        int rc = i4head_read(i4, head);
        if (rc < 0)
            return rc;
        i4drop(i4);
        // A change under way is what the pause was for; a rebuild or a
        // pack is waited for.
        if ((rc & ~I4_MARK_CHANGE) == 0) {
            i4head_take(i4, head);
            return 0;
        }
    }
    // Still changing, or being rebuilt: wait for the lock like any waiter.
    int rc = i4lock(i4);
    if (rc != 0)
        return rc;
    r->took = 1;
    i4drop(i4);
    return 0;
}

int i4retry_end(INDEX4 *i4, I4RETRY *r, int rc)
{
    if (!r->took)
        return rc;
    r->took = 0;
    int u = i4unlock(i4);
    return rc != 0 ? rc : u;
}

// Index-file locks: one byte of the index file stands for the whole file.
// Holding it means this process may change the file and may trust what it
// has cached of it after one version check.
//
// Invariants:
//  1. file_locked is set exactly while the lock byte is held (i4lock,
//     i4unlock); an exclusive file never takes it.
//  2. A lock is kept only after the version check has brought the cached
//     blocks up to date; a failed check gives the byte back (i4lock).
//  3. The header and changed blocks reach the file before the byte is
//     released, so the next holder reads them (i4unlock).
//  4. Each lock writes a new version (the last one plus 1, wrapping at 32
//     bits) before anything changes: blocks another process reads while
//     the lock is held carry a version that is stale once it is released
//     (i4lock).
#include "xbase/index/i4index.h"

#include "xbase/file4.h"

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
    int rc = file4lock(&i4->file, I4_LOCK_BYTE, 1);
    if (rc != 0)
        return rc;
    // The file grows only under this lock, and every change moves the
    // version: while the version is the one this process last saw, the
    // length it knows is the file's.
    unsigned long seen = i4->version_old;
    long len = i4->eof > 0 ? i4->eof : file4len(&i4->file);
    if (len > 0) {
        rc = i4version_check(i4, 0, 1);
        if (rc == 0 && i4->version_old != seen)
            len = file4len(&i4->file);
    }
    if (rc != 0 || len < 0) {
        file4unlock(&i4->file, I4_LOCK_BYTE, 1);
        return -1;
    }
    i4->eof = len;
    i4->file_locked = 1;
    if (!i4->file.is_read_only) {
        i4version_step(i4);
        if (i4update_header(i4) != 0) {
            i4->file_locked = 0;
            file4unlock(&i4->file, I4_LOCK_BYTE, 1);
            return -1;
        }
    }
    return 0;
}

int i4unlock(INDEX4 *i4)
{
    if (i4 == nullptr)
        return -1;
    if (!i4->file_locked)
        return 0;
    if (i4update(i4) != 0)
        return -1;
    if (file4unlock(&i4->file, I4_LOCK_BYTE, 1) != 0)
        return -1;
    i4->file_locked = 0;
    return 0;
}

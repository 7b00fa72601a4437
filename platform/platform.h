// The only module that calls the operating system: files, byte-range locks,
// directories, environment, clock and disk space, for Linux/POSIX.
//
// Every system call goes through the table `platformG`; tests replace one
// entry to inject a failure (set errno and return -1, as the system would)
// and put the original back afterwards. The higher-level functions below
// are built on the table only, so an injected failure surfaces through them.
#ifndef CATALOGR_PLATFORM_H
#define CATALOGR_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// File facts the callers need; filled by the table's stat entries.
struct platform_stat {
    int isRegular;          // 1 for a regular file
    int isDirectory;        // 1 for a directory
    uint64_t device;
    uint64_t inode;
    int64_t size;
};

// The replaceable system calls. Each behaves as its POSIX namesake: -1 (or
// null) with errno set on failure.
struct platform_calls {
    int (*open)(const char *path, int flags, unsigned mode);
    int (*close)(int fd);
    int64_t (*pread)(int fd, void *buf, size_t n, int64_t off);
    int64_t (*pwrite)(int fd, const void *buf, size_t n, int64_t off);
    int (*fstat)(int fd, platform_stat *st);
    int (*stat)(const char *path, platform_stat *st);
    int (*ftruncate)(int fd, int64_t len);
    int (*fsync)(int fd);
    // cmd: 0 set lock, 1 remove lock, 2 test lock; ofd: 1 for
    // open-file-description locks, 0 for classic record locks.
    int (*lock)(int fd, int cmd, int ofd, int64_t start, int64_t len);
    int (*unlink)(const char *path);
    int (*rename)(const char *from, const char *to);
    char *(*getcwd)(char *buf, size_t n);
    const char *(*getenv)(const char *name);
    int (*statvfs)(const char *path, uint64_t *freeBytes);
    long (*readlink)(const char *path, char *buf, size_t n);
    FILE *(*fdopen)(int fd, const char *mode);
    // Calls `visit` for each entry name of `dir` until it returns nonzero;
    // returns -1 when the directory cannot be read, else 0.
    int (*listDir)(const char *dir, int (*visit)(void *ctx, const char *name), void *ctx);
    int64_t (*time)(void);
    // Local calendar fields of `t`: year (full), month 1-12, day 1-31,
    // hour, minute, second.
    int (*localTime)(int64_t t, int fields[6]);
    void (*sleepMs)(int ms);
    // The process holding a lock that conflicts with a write lock on the
    // range: its id, 0 when the range is free or the system does not say
    // (an open-file-description lock has no owning process), -1 on failure.
    long (*lockHolder)(int fd, int ofd, int64_t start, int64_t len);
};

extern platform_calls platformG;
// The original table, for tests that restore entries.
extern const platform_calls platformDefaultCalls;

// System calls made by the table's own entries since the process started
// (or since a caller last cleared the record): plain counters, cheap enough
// to keep always, read by benchmarks and tests to see what an operation
// costs the system. A replaced entry counts only when its replacement calls
// the original. A forked child starts from its parent's figures.
struct platform_counts {
    uint64_t opens;         // files opened or created
    uint64_t closes;
    uint64_t reads;         // positioned reads, and the bytes they moved
    uint64_t readBytes;
    uint64_t writes;        // positioned writes, and the bytes they moved
    uint64_t writeBytes;
    uint64_t syncs;         // commits to disk
    uint64_t lengths;       // length (status) of an open file
    uint64_t lengthChanges; // set length
    uint64_t locks;         // byte-range lock requests, granted or refused
    uint64_t unlocks;
    uint64_t lockTests;     // questions whether a range is locked
    uint64_t names;         // status, removal or renaming of a name; directory listings
    uint64_t sleeps;        // waits, and the milliseconds asked for
    uint64_t sleepMs;
};

extern platform_counts platformCountsG;

// Results of the higher-level calls. Failures are negative errno values
// unless a name below says otherwise.
enum {
    PLATFORM_OK = 0,
    PLATFORM_NOT_FOUND = -1000,     // the name does not exist
    PLATFORM_NOT_REGULAR = -1001,   // exists but is not a regular file
    PLATFORM_NAME_TOO_LONG = -1002  // a result does not fit its buffer
};

// Answers of platform_lock: granted, held by another open file, or an
// invalid request; any other failure is a negative errno value.
enum {
    PLATFORM_LOCK_GRANTED = 0,
    PLATFORM_LOCK_HELD = 1,
    PLATFORM_LOCK_INVALID = 2
};

// Opens an existing regular file: read-write, or read-only when writing is
// refused (EACCES, EROFS, EPERM) or `readOnly` is set. The final name
// component is matched case-insensitively when the exact name is missing;
// `resolved` (when given) receives the name actually opened.
int platform_openFile(const char *path, int readOnly, int *fdOut, int *isReadOnlyOut,
                      char *resolved, size_t resolvedLen);
// Creates a file read-write, mode 0666 less the umask: failing when it
// exists (`failIfExists`) or truncating it.
int platform_createFile(const char *path, int failIfExists, int *fdOut);
int platform_close(int fd);
// Bytes read (0 at end of file) or a negative errno.
int64_t platform_read(int fd, int64_t pos, void *buf, size_t n);
// Bytes written (all of them unless the disk is full) or a negative errno.
int64_t platform_write(int fd, int64_t pos, const void *buf, size_t n);
int platform_length(int fd, int64_t *lenOut);
// The descriptor under a stream, so its bytes can be read through the call
// table (and its failures injected) without moving the stream.
int platform_streamFd(FILE *fp);
int platform_setLength(int fd, int64_t len);
int platform_sync(int fd);
int platform_lock(int fd, int64_t start, int64_t len);
int platform_unlock(int fd, int64_t start, int64_t len);
// The process that holds the lock of the last request platform_lock answered
// PLATFORM_LOCK_HELD, where the system tells it (a classic record lock); 0
// otherwise. The system is asked at the first call after that request, so
// that a wait nobody reports costs nothing: call it while that file is open.
long platform_lastLockHolder(void);
// While `on`, a lock request that finds its range held fails with
// -ETIMEDOUT instead of answering PLATFORM_LOCK_HELD, so that a wait ends
// at its next attempt. Switching it (on or off) restarts the count of
// requests failed so.
void platform_abandonLockWaits(int on);
int platform_lockWaitsAbandoned(void);
int platform_remove(const char *path);
int platform_rename(const char *from, const char *to);

// The last platform_openFile or platform_createFile that failed, since
// platform_forgetFailure: its result (a negative errno value,
// PLATFORM_NOT_FOUND or PLATFORM_NOT_REGULAR; 0 when none failed) and, when
// `path` is given, the name it was asked for. A directory refused as not
// regular is recorded as -EISDIR.
int platform_lastFailure(char *path, size_t n);
void platform_forgetFailure(void);
// The last platform_write, platform_setLength or platform_sync that failed,
// since platform_forgetWriteFailure: its negative errno value, or 0. The
// engine's reports name the file; this is the system's reason.
int platform_lastWriteFailure(void);
void platform_forgetWriteFailure(void);

// Whether the name exists (0), or PLATFORM_NOT_FOUND.
int platform_exists(const char *path);
// 1 when the name is an existing regular file, else 0.
int platform_isRegularFile(const char *path);
// Device and inode of a name (0) or a failure.
int platform_fileId(const char *path, uint64_t *device, uint64_t *inode);
// The same of an open descriptor: with platform_fileId it tells whether a
// name still leads to the file a process has open.
int platform_openFileId(int fd, uint64_t *device, uint64_t *inode);
// Resolves the final component case-insensitively: the name as given, then
// the upper-cased final component, then the first case-insensitive match
// in its directory in byte order. 0 with `out` filled, or a failure.
int platform_resolveName(const char *path, char *out, size_t outLen);
// Opens a regular file as a stdio stream ("r", "r+", "rb", "r+b" open an
// existing file; "w", "wb" create or truncate). Null with errno on failure.
FILE *platform_fopen(const char *path, const char *mode);

// 1 when descriptor `fd` (2 for standard error) is a terminal, else 0.
int platform_isTerminal(int fd);

// The current directory without a trailing separator, or a failure.
int platform_getcwd(char *buf, size_t n);
// The value of an environment variable, or null when it is unset.
const char *platform_getenv(const char *name);
int platform_diskFree(const char *path, uint64_t *freeBytes);
// Absolute path of the running executable.
int platform_exePath(char *buf, size_t n);

// The system's text for a negative errno value such as a failed call above
// returns ("No space left on device"), or null for any other value.
const char *platform_errorText(int code);

int64_t platform_time(void);
int platform_localTime(int64_t t, int fields[6]);
void platform_sleepMs(int ms);

// Text in UTF-8. Whether the character set of the locale the environment
// selects (LC_ALL, LC_CTYPE, LANG) is UTF-8.
int platform_localeIsUtf8(void);
// Upper- and lower-case mapping of one character (a Unicode code point)
// by the C library under a UTF-8 character-type locale kept for this
// purpose only: C.UTF-8, whatever the environment selects, so that the
// mapping is the same for every user; only where that locale is missing,
// the environment's own UTF-8 locale. Without either the character is
// returned unchanged.
uint32_t platform_wideUpper(uint32_t c);
uint32_t platform_wideLower(uint32_t c);
// The name of the locale those mappings use, or "" when there is none.
const char *platform_caseLocale(void);

#endif

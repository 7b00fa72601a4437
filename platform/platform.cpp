// The POSIX implementation of the platform layer: the system-call table and
// the file, lock, name and environment services built on it.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <wctype.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

void fillStat(const struct stat &s, platform_stat *st)
{
    st->isRegular = S_ISREG(s.st_mode) ? 1 : 0;
    st->isDirectory = S_ISDIR(s.st_mode) ? 1 : 0;
    st->device = (uint64_t)s.st_dev;
    st->inode = (uint64_t)s.st_ino;
    st->size = (int64_t)s.st_size;
}

int sysOpen(const char *path, int flags, unsigned mode)
{
    platformCountsG.opens++;
    return ::open(path, flags, (mode_t)mode);
}

int sysClose(int fd)
{
    platformCountsG.closes++;
    return ::close(fd);
}

int64_t sysPread(int fd, void *buf, size_t n, int64_t off)
{
    int64_t r = ::pread(fd, buf, n, (off_t)off);
    platformCountsG.reads++;
    platformCountsG.readBytes += r > 0 ? (uint64_t)r : 0;
    return r;
}

int64_t sysPwrite(int fd, const void *buf, size_t n, int64_t off)
{
    int64_t r = ::pwrite(fd, buf, n, (off_t)off);
    platformCountsG.writes++;
    platformCountsG.writeBytes += r > 0 ? (uint64_t)r : 0;
    return r;
}

int sysFstat(int fd, platform_stat *st)
{
    platformCountsG.lengths++;
    struct stat s;
    if (::fstat(fd, &s) != 0)
        return -1;
    fillStat(s, st);
    return 0;
}

int sysStat(const char *path, platform_stat *st)
{
    platformCountsG.names++;
    struct stat s;
    if (::stat(path, &s) != 0)
        return -1;
    fillStat(s, st);
    return 0;
}

int sysFtruncate(int fd, int64_t len)
{
    platformCountsG.lengthChanges++;
    return ::ftruncate(fd, (off_t)len);
}

int sysFsync(int fd)
{
    platformCountsG.syncs++;
    return ::fsync(fd);
}

int sysLock(int fd, int cmd, int ofd, int64_t start, int64_t len)
{
    uint64_t &count = cmd == 0 ? platformCountsG.locks : cmd == 1 ? platformCountsG.unlocks
                                                                  : platformCountsG.lockTests;
    count++;
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = (short)(cmd == 1 ? F_UNLCK : F_WRLCK);
    fl.l_whence = SEEK_SET;
    fl.l_start = (off_t)start;
    fl.l_len = (off_t)len;
    int op;
    if (cmd == 2)
        op = ofd ? F_OFD_GETLK : F_GETLK;
    else
        op = ofd ? F_OFD_SETLK : F_SETLK;
    return ::fcntl(fd, op, &fl);
}

int sysUnlink(const char *path)
{
    platformCountsG.names++;
    return ::unlink(path);
}

int sysRename(const char *from, const char *to)
{
    platformCountsG.names++;
    return ::rename(from, to);
}

char *sysGetcwd(char *buf, size_t n) { return ::getcwd(buf, n); }
const char *sysGetenv(const char *name) { return std::getenv(name); }

int sysStatvfs(const char *path, uint64_t *freeBytes)
{
    struct statvfs v;
    if (::statvfs(path, &v) != 0)
        return -1;
    *freeBytes = (uint64_t)v.f_bavail * (uint64_t)v.f_frsize;
    return 0;
}

long sysReadlink(const char *path, char *buf, size_t n) { return (long)::readlink(path, buf, n); }
FILE *sysFdopen(int fd, const char *mode) { return ::fdopen(fd, mode); }

int sysListDir(const char *dir, int (*visit)(void *, const char *), void *ctx)
{
    platformCountsG.names++;
    DIR *d = ::opendir(dir);
    if (d == nullptr)
        return -1;
    struct dirent *e;
    while ((e = ::readdir(d)) != nullptr) {
        if (visit(ctx, e->d_name) != 0)
            break;
    }
    ::closedir(d);
    return 0;
}

int64_t sysTime(void) { return (int64_t)::time(nullptr); }

int sysLocalTime(int64_t t, int fields[6])
{
    time_t tt = (time_t)t;
    struct tm tmv;
    if (::localtime_r(&tt, &tmv) == nullptr)
        return -1;
    fields[0] = tmv.tm_year + 1900;
    fields[1] = tmv.tm_mon + 1;
    fields[2] = tmv.tm_mday;
    fields[3] = tmv.tm_hour;
    fields[4] = tmv.tm_min;
    fields[5] = tmv.tm_sec;
    return 0;
}

void sysSleepMs(int ms)
{
    platformCountsG.sleeps++;
    platformCountsG.sleepMs += ms > 0 ? (uint64_t)ms : 0;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

long sysLockHolder(int fd, int ofd, int64_t start, int64_t len)
{
    platformCountsG.lockTests++;
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = (off_t)start;
    fl.l_len = (off_t)len;
    if (::fcntl(fd, ofd ? F_OFD_GETLK : F_GETLK, &fl) != 0)
        return -1;
    // An open-file-description lock answers -1: it belongs to no process.
    return fl.l_type == F_UNLCK || fl.l_pid <= 0 ? 0 : (long)fl.l_pid;
}

int negErrno(void) { return errno > 0 ? -errno : -EIO; }

// The last open or create that failed (platform_lastFailure).
int lastFailureCode = 0;
std::string lastFailurePath;

// The last write, length change or commit that failed
// (platform_lastWriteFailure).
int lastWriteFailureCode = 0;

int noteWriteFailure(int rc)
{
    lastWriteFailureCode = rc;
    return rc;
}

int noteFailure(const char *path, int rc)
{
    lastFailureCode = rc;
    lastFailurePath = path;
    platform_stat st;
    if (rc == PLATFORM_NOT_REGULAR && platformG.stat(path, &st) == 0 && st.isDirectory)
        lastFailureCode = -EISDIR;
    return rc;
}

// The last lock request found held, until someone asks who holds it
// (platform_lastLockHolder), and whether such requests fail instead
// (platform_abandonLockWaits).
struct heldRequest {
    int fd;
    int ofd;
    int64_t start;
    int64_t len;
    int asked;      // the system was asked already: `holder` is its answer
    long holder;
};
heldRequest lastHeld = {-1, 0, 0, 0, 1, 0};
int abandonWaits = 0;
int abandonedWaits = 0;

// Open-file-description locks: unknown until the first lock request probes
// them; 1 supported, 0 unsupported (classic record locks are used instead).
int ofdSupported = -1;

int lockMode(int fd)
{
    if (ofdSupported < 0) {
        if (platformG.lock(fd, 2, 1, 0, 1) == 0)
            ofdSupported = 1;
        else if (errno == EINVAL)
            ofdSupported = 0;
        // Any other probe failure (a bad descriptor) decides nothing yet.
    }
    return ofdSupported;
}

// Splits a path at its last '/': the directory (without the separator, "."
// when there is none) and the final component.
void splitLast(const char *path, std::string &dir, std::string &last, std::string &prefix)
{
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        dir = ".";
        prefix.clear();
        last = path;
    } else {
        prefix.assign(path, (size_t)(slash - path + 1));
        dir = slash == path ? std::string("/") : std::string(path, (size_t)(slash - path));
        last = slash + 1;
    }
}

int asciiCaseCompare(const char *a, const char *b)
{
    for (;; a++, b++) {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'a' && ca <= 'z')
            ca = (unsigned char)(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z')
            cb = (unsigned char)(cb - 'a' + 'A');
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

struct MatchSearch {
    const char *wanted;
    std::string best;
    int found;
};

int visitMatch(void *ctx, const char *name)
{
    MatchSearch *m = static_cast<MatchSearch *>(ctx);
    if (asciiCaseCompare(name, m->wanted) == 0) {
        if (!m->found || std::strcmp(name, m->best.c_str()) < 0)
            m->best = name;
        m->found = 1;
    }
    return 0;
}

int copyOut(const std::string &s, char *out, size_t outLen)
{
    if (out == nullptr)
        return 0;
    if (s.size() + 1 > outLen)
        return PLATFORM_NAME_TOO_LONG;
    std::memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}

int existsName(const char *path)
{
    platform_stat st;
    return platformG.stat(path, &st) == 0;
}

// Opens without access-time updates where the system lets this process ask
// for that (it owns the file): a file read while it is being written would
// otherwise have its inode written again on nearly every read. Anyone else
// gets the plain open; the file's contents and locks are the same.
int openQuiet(const char *path, int flags, unsigned mode)
{
#ifdef O_NOATIME
    int fd = platformG.open(path, flags | O_NOATIME, mode);
    if (fd >= 0 || errno != EPERM)
        return fd;
#endif
    return platformG.open(path, flags, mode);
}

// Opens `path` with `flags` after checking that it is a regular file, and
// checks again on the open descriptor.
int openRegular(const char *path, int flags, int *fdOut)
{
    platform_stat st;
    if (platformG.stat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PLATFORM_NOT_FOUND : negErrno();
    if (!st.isRegular)
        return PLATFORM_NOT_REGULAR;
    int fd = openQuiet(path, flags | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0)
        return errno == ENOENT ? PLATFORM_NOT_FOUND : negErrno();
    if (platformG.fstat(fd, &st) != 0 || !st.isRegular) {
        int rc = st.isRegular ? negErrno() : PLATFORM_NOT_REGULAR;
        platformG.close(fd);
        return rc;
    }
    *fdOut = fd;
    return 0;
}

} // namespace

const platform_calls platformDefaultCalls = {
    sysOpen, sysClose, sysPread, sysPwrite, sysFstat, sysStat, sysFtruncate, sysFsync,
    sysLock, sysUnlink, sysRename, sysGetcwd, sysGetenv, sysStatvfs, sysReadlink,
    sysFdopen, sysListDir, sysTime, sysLocalTime, sysSleepMs, sysLockHolder,
};

platform_calls platformG = platformDefaultCalls;
platform_counts platformCountsG = {};

int platform_resolveName(const char *path, char *out, size_t outLen)
{
    if (path == nullptr || *path == 0)
        return PLATFORM_NOT_FOUND;
    if (existsName(path))
        return copyOut(path, out, outLen);
    std::string dir, last, prefix;
    splitLast(path, dir, last, prefix);
    if (last.empty())
        return PLATFORM_NOT_FOUND;
    std::string upper = last;
    for (char &c : upper)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    if (upper != last && existsName((prefix + upper).c_str()))
        return copyOut(prefix + upper, out, outLen);
    MatchSearch m{last.c_str(), std::string(), 0};
    if (platformG.listDir(dir.c_str(), visitMatch, &m) != 0 || !m.found)
        return PLATFORM_NOT_FOUND;
    return copyOut(prefix + m.best, out, outLen);
}

int platform_openFile(const char *path, int readOnly, int *fdOut, int *isReadOnlyOut,
                      char *resolved, size_t resolvedLen)
{
    if (path == nullptr || fdOut == nullptr)
        return -EINVAL;
    *fdOut = -1;
    std::string name = path;
    if (!existsName(path)) {
        std::string buf(std::strlen(path) + 4096, '\0');
        int rc = platform_resolveName(path, &buf[0], buf.size());
        if (rc != 0)
            return noteFailure(path, rc);
        name = buf.c_str();
    }
    int rdOnly = readOnly ? 1 : 0;
    int rc = openRegular(name.c_str(), rdOnly ? O_RDONLY : O_RDWR, fdOut);
    if (rc == -EACCES || rc == -EROFS || rc == -EPERM) {
        rdOnly = 1;
        rc = openRegular(name.c_str(), O_RDONLY, fdOut);
    }
    if (rc != 0)
        return noteFailure(name.c_str(), rc);
    if (isReadOnlyOut != nullptr)
        *isReadOnlyOut = rdOnly;
    rc = copyOut(name, resolved, resolvedLen);
    if (rc != 0) {
        platformG.close(*fdOut);
        *fdOut = -1;
    }
    return rc;
}

int platform_createFile(const char *path, int failIfExists, int *fdOut)
{
    if (path == nullptr || fdOut == nullptr)
        return -EINVAL;
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int fd = openQuiet(path, flags, 0666);
    if (fd < 0) {
        *fdOut = -1;
        return noteFailure(path, negErrno());
    }
    platform_stat st;
    if (platformG.fstat(fd, &st) != 0 || !st.isRegular) {
        platformG.close(fd);
        *fdOut = -1;
        return noteFailure(path, PLATFORM_NOT_REGULAR);
    }
    *fdOut = fd;
    return 0;
}

const char *platform_errorText(int code)
{
    if (code >= 0 || code <= PLATFORM_NOT_FOUND)
        return nullptr;
    return std::strerror(-code);
}

int platform_close(int fd) { return platformG.close(fd) == 0 ? 0 : negErrno(); }

int64_t platform_read(int fd, int64_t pos, void *buf, size_t n)
{
    if (pos < 0)
        return -EINVAL;
    size_t done = 0;
    while (done < n) {
        int64_t r = platformG.pread(fd, (char *)buf + done, n - done, pos + (int64_t)done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return negErrno();
        }
        if (r == 0)
            break;
        done += (size_t)r;
    }
    return (int64_t)done;
}

int platform_streamFd(FILE *fp) { return fp != nullptr ? fileno(fp) : -EBADF; }

int64_t platform_write(int fd, int64_t pos, const void *buf, size_t n)
{
    if (pos < 0)
        return -EINVAL;
    size_t done = 0;
    while (done < n) {
        int64_t r = platformG.pwrite(fd, (const char *)buf + done, n - done, pos + (int64_t)done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return noteWriteFailure(negErrno());
        }
        if (r == 0)
            break;
        done += (size_t)r;
    }
    return (int64_t)done;
}

int platform_length(int fd, int64_t *lenOut)
{
    platform_stat st;
    if (platformG.fstat(fd, &st) != 0)
        return negErrno();
    *lenOut = st.size;
    return 0;
}

int platform_setLength(int fd, int64_t len)
{
    if (len < 0)
        return -EINVAL;
    return platformG.ftruncate(fd, len) == 0 ? 0 : noteWriteFailure(negErrno());
}

int platform_sync(int fd) { return platformG.fsync(fd) == 0 ? 0 : noteWriteFailure(negErrno()); }

int platform_lastWriteFailure(void) { return lastWriteFailureCode; }

void platform_forgetWriteFailure(void) { lastWriteFailureCode = 0; }

int platform_lock(int fd, int64_t start, int64_t len)
{
    int ofd = lockMode(fd);
    if (platformG.lock(fd, 0, ofd == 1, start, len) == 0)
        return PLATFORM_LOCK_GRANTED;
    int e = errno;
    if (e == EAGAIN || e == EACCES) {
        if (abandonWaits) {
            abandonedWaits++;
            return -ETIMEDOUT;
        }
        lastHeld = {fd, ofd == 1, start, len, 0, 0};
        return PLATFORM_LOCK_HELD;
    }
    // EINVAL is an invalid request only where the lock kind is known to work;
    // otherwise it may mean that the kind is unsupported, which is a failure.
    if (e == EINVAL && ofd == 1)
        return PLATFORM_LOCK_INVALID;
    return e > 0 ? -e : -EIO;
}

int platform_unlock(int fd, int64_t start, int64_t len)
{
    int ofd = lockMode(fd);
    if (platformG.lock(fd, 1, ofd == 1, start, len) == 0)
        return PLATFORM_LOCK_GRANTED;
    int e = errno;
    if (e == EINVAL && ofd == 1)
        return PLATFORM_LOCK_INVALID;
    return e > 0 ? -e : -EIO;
}

long platform_lastLockHolder(void)
{
    if (!lastHeld.asked) {
        long holder = platformG.lockHolder(lastHeld.fd, lastHeld.ofd, lastHeld.start, lastHeld.len);
        lastHeld.holder = holder > 0 ? holder : 0;
        lastHeld.asked = 1;
    }
    return lastHeld.holder;
}

void platform_abandonLockWaits(int on)
{
    abandonWaits = on ? 1 : 0;
    abandonedWaits = 0;
}

int platform_lockWaitsAbandoned(void) { return abandonedWaits; }

int platform_lastFailure(char *path, size_t n)
{
    if (path != nullptr && n > 0)
        copyOut(lastFailurePath.substr(0, n - 1), path, n);
    return lastFailureCode;
}

void platform_forgetFailure(void)
{
    lastFailureCode = 0;
    lastFailurePath.clear();
}

int platform_remove(const char *path) { return platformG.unlink(path) == 0 ? 0 : negErrno(); }

int platform_rename(const char *from, const char *to)
{
    return platformG.rename(from, to) == 0 ? 0 : negErrno();
}

int platform_exists(const char *path)
{
    if (path == nullptr)
        return PLATFORM_NOT_FOUND;
    return existsName(path) ? 0 : PLATFORM_NOT_FOUND;
}

int platform_isRegularFile(const char *path)
{
    platform_stat st;
    if (path == nullptr || platformG.stat(path, &st) != 0)
        return 0;
    return st.isRegular;
}

int platform_fileId(const char *path, uint64_t *device, uint64_t *inode)
{
    platform_stat st;
    if (path == nullptr || platformG.stat(path, &st) != 0)
        return path == nullptr ? -EINVAL : negErrno();
    *device = st.device;
    *inode = st.inode;
    return 0;
}

int platform_openFileId(int fd, uint64_t *device, uint64_t *inode)
{
    platform_stat st;
    if (platformG.fstat(fd, &st) != 0)
        return negErrno();
    *device = st.device;
    *inode = st.inode;
    return 0;
}

FILE *platform_fopen(const char *path, const char *mode)
{
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int update = std::strchr(mode, '+') != nullptr;
    int fd = -1;
    if (mode[0] == 'r') {
        int rc = openRegular(path, update ? O_RDWR : O_RDONLY, &fd);
        if (rc != 0) {
            errno = rc == PLATFORM_NOT_FOUND ? ENOENT : rc == PLATFORM_NOT_REGULAR ? EISDIR : -rc;
            return nullptr;
        }
        // Streams block as usual once the file is known to be regular.
        int fl = ::fcntl(fd, F_GETFL);
        if (fl >= 0)
            ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    } else if (mode[0] == 'w') {
        fd = platformG.open(path, (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return nullptr;
    } else {
        errno = EINVAL;
        return nullptr;
    }
    FILE *f = platformG.fdopen(fd, mode);
    if (f == nullptr) {
        int e = errno;
        platformG.close(fd);
        errno = e;
    }
    return f;
}

int platform_isTerminal(int fd) { return ::isatty(fd) == 1 ? 1 : 0; }

int platform_getcwd(char *buf, size_t n)
{
    if (buf == nullptr || n == 0)
        return -EINVAL;
    if (platformG.getcwd(buf, n) == nullptr)
        return errno == ERANGE ? PLATFORM_NAME_TOO_LONG : negErrno();
    return 0;
}

const char *platform_getenv(const char *name)
{
    if (name == nullptr || *name == 0)
        return nullptr;
    return platformG.getenv(name);
}

int platform_diskFree(const char *path, uint64_t *freeBytes)
{
    if (freeBytes == nullptr)
        return -EINVAL;
    return platformG.statvfs(path == nullptr ? "." : path, freeBytes) == 0 ? 0 : negErrno();
}

int platform_exePath(char *buf, size_t n)
{
    if (buf == nullptr || n < 2)
        return -EINVAL;
    long r = platformG.readlink("/proc/self/exe", buf, n - 1);
    if (r < 0)
        return negErrno();
    if ((size_t)r >= n - 1)
        return PLATFORM_NAME_TOO_LONG;
    buf[r] = 0;
    return 0;
}

int64_t platform_time(void) { return platformG.time(); }


int platform_localTime(int64_t t, int fields[6])
{
    return platformG.localTime(t, fields) == 0 ? 0 : -EINVAL;
}

void platform_sleepMs(int ms)
{
    if (ms > 0)
        platformG.sleepMs(ms);
}

namespace {

// The locale of the case mappings, made on first use; `caseLocaleName`
// says which it is.
locale_t caseLocale = (locale_t)0;
int caseLocaleTried = 0;
std::string caseLocaleName;

// The locale name the environment selects for character types.
std::string environmentLocale(void)
{
    for (const char *v : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char *s = platformG.getenv(v);
        if (s != nullptr && *s != 0)
            return s;
    }
    return "C";
}

locale_t caseMapping(void)
{
    if (!caseLocaleTried) {
        caseLocaleTried = 1;
        caseLocale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
        caseLocaleName = "C.UTF-8";
        if (caseLocale == (locale_t)0 && platform_localeIsUtf8()) {
            caseLocaleName = environmentLocale();
            caseLocale = newlocale(LC_CTYPE_MASK, caseLocaleName.c_str(), (locale_t)0);
        }
        if (caseLocale == (locale_t)0)
            caseLocaleName.clear();
    }
    return caseLocale;
}

} // namespace

int platform_localeIsUtf8(void)
{
    locale_t loc = newlocale(LC_CTYPE_MASK, environmentLocale().c_str(), (locale_t)0);
    if (loc == (locale_t)0)
        return 0;
    const char *set = nl_langinfo_l(CODESET, loc);
    int utf8 = set != nullptr && (std::strcmp(set, "UTF-8") == 0 || std::strcmp(set, "utf8") == 0);
    freelocale(loc);
    return utf8;
}

uint32_t platform_wideUpper(uint32_t c)
{
    locale_t loc = caseMapping();
    return loc == (locale_t)0 ? c : (uint32_t)towupper_l((wint_t)c, loc);
}

uint32_t platform_wideLower(uint32_t c)
{
    locale_t loc = caseMapping();
    return loc == (locale_t)0 ? c : (uint32_t)towlower_l((wint_t)c, loc);
}

const char *platform_caseLocale(void)
{
    caseMapping();
    return caseLocaleName.c_str();
}

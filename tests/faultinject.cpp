// The fault injector: counting replacements for the platform's read, write,
// commit, length and rename calls.
#include "tests/faultinject.h"

#include <cerrno>

#include "platform/platform.h"

namespace faults {

namespace {

Mode armed{Call::read, Kind::eio};
int callsLeft = 0;      // calls of the armed kind still to pass before the failure
bool hasFired = false;
bool failNext = false;  // a partial transfer happened: the rest fails

// Whether this call of kind `c` is the one to fail.
bool strikes(Call c)
{
    if (hasFired || armed.call != c)
        return false;
    if (--callsLeft > 0)
        return false;
    hasFired = true;
    return true;
}

int errorOf(Kind k, Call c)
{
    if (k == Kind::enospc || (k == Kind::partial && c == Call::write))
        return ENOSPC;
    return EIO;
}

int64_t injectedPread(int fd, void *buf, size_t n, int64_t off)
{
    if (failNext && armed.call == Call::read) {
        failNext = false;
        errno = EIO;
        return -1;
    }
    if (!strikes(Call::read))
        return platformDefaultCalls.pread(fd, buf, n, off);
    if (armed.kind == Kind::partial && n >= 2) {
        // Half of what was asked for, or at once a failure where the file
        // holds less than that: a partial read is never taken for its end.
        int64_t got = platformDefaultCalls.pread(fd, buf, n / 2, off);
        if (got == (int64_t)(n / 2)) {
            failNext = true;
            return got;
        }
    }
    errno = errorOf(armed.kind, Call::read);
    return -1;
}

int64_t injectedPwrite(int fd, const void *buf, size_t n, int64_t off)
{
    if (failNext && armed.call == Call::write) {
        failNext = false;
        errno = ENOSPC;
        return -1;
    }
    if (!strikes(Call::write))
        return platformDefaultCalls.pwrite(fd, buf, n, off);
    if (armed.kind == Kind::partial && n >= 2) {
        failNext = true;
        return platformDefaultCalls.pwrite(fd, buf, n / 2, off);
    }
    errno = errorOf(armed.kind, Call::write);
    return -1;
}

int injectedFsync(int fd)
{
    if (!strikes(Call::sync))
        return platformDefaultCalls.fsync(fd);
    errno = errorOf(armed.kind, Call::sync);
    return -1;
}

int injectedFtruncate(int fd, int64_t len)
{
    if (!strikes(Call::length))
        return platformDefaultCalls.ftruncate(fd, len);
    errno = errorOf(armed.kind, Call::length);
    return -1;
}

int injectedRename(const char *from, const char *to)
{
    if (!strikes(Call::rename))
        return platformDefaultCalls.rename(from, to);
    errno = errorOf(armed.kind, Call::rename);
    return -1;
}

const char *callName(Call c)
{
    switch (c) {
    case Call::read: return "read";
    case Call::write: return "write";
    case Call::sync: return "sync";
    case Call::length: return "length change";
    case Call::rename: return "rename";
    }
    return "?";
}

const char *kindName(Kind k)
{
    switch (k) {
    case Kind::eio: return "EIO";
    case Kind::enospc: return "ENOSPC";
    case Kind::partial: return "partial transfer";
    }
    return "?";
}

} // namespace

std::string describe(Mode mode)
{
    return std::string(callName(mode.call)) + " fails: " + kindName(mode.kind);
}

std::vector<Mode> allModes()
{
    return {{Call::read, Kind::eio},     {Call::read, Kind::partial},
            {Call::write, Kind::eio},    {Call::write, Kind::enospc},
            {Call::write, Kind::partial}, {Call::sync, Kind::eio},
            {Call::length, Kind::eio},   {Call::rename, Kind::eio}};
}

Injector::Injector(Mode mode, int nth)
{
    armed = mode;
    callsLeft = nth;
    hasFired = false;
    failNext = false;
    platformG.pread = injectedPread;
    platformG.pwrite = injectedPwrite;
    platformG.fsync = injectedFsync;
    platformG.ftruncate = injectedFtruncate;
    platformG.rename = injectedRename;
}

Injector::~Injector()
{
    platformG.pread = platformDefaultCalls.pread;
    platformG.pwrite = platformDefaultCalls.pwrite;
    platformG.fsync = platformDefaultCalls.fsync;
    platformG.ftruncate = platformDefaultCalls.ftruncate;
    platformG.rename = platformDefaultCalls.rename;
    failNext = false;
}

bool Injector::fired() const
{
    return hasFired;
}

} // namespace faults

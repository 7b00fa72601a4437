// The fault injector: counting replacements for the platform's read, write,
// commit, length and rename calls.
#include "tests/faultinject.h"

#include <cerrno>

#include "platform/platform.h"

namespace faults {

namespace {

Mode armed{Call::read, Kind::eio};
int callsLeft = 0;      // calls of the armed kind to pass, the failing one included
bool hasFired = false;
bool failNext = false;  // a partial transfer happened: the call for the rest fails

// Whether this call of kind `c` fails: 0 no, 1 the armed failure, 2 the
// call for the rest of a partial transfer. Sets errno when it fails.
int strikes(Call c)
{
    if (armed.call != c || (hasFired && !failNext) || (!hasFired && --callsLeft > 0))
        return 0;
    int rest = failNext ? 2 : 1;
    hasFired = true;
    failNext = false;
    bool full = armed.kind == Kind::enospc || (c == Call::write && armed.kind == Kind::partial);
    errno = full ? ENOSPC : EIO;
    return rest;
}

// A read or write that strikes moves half its bytes first when partial; a
// read that finds fewer bytes than that fails at once, so that a partial
// read is never taken for the file's end.
template <typename Buf, typename Io>
int64_t transfer(Call c, int fd, Buf buf, size_t n, int64_t off, Io io)
{
    int strike = strikes(c);
    if (strike == 0)
        return io(fd, buf, n, off);
    if (armed.kind == Kind::partial && n >= 2 && strike == 1) {
        int saved = errno;
        int64_t moved = io(fd, buf, n / 2, off);
        if (moved == (int64_t)(n / 2)) {
            failNext = true;
            return moved;
        }
        errno = saved;
    }
    return -1;
}

int64_t injectedPread(int fd, void *buf, size_t n, int64_t off)
{
    return transfer(Call::read, fd, buf, n, off, platformDefaultCalls.pread);
}

int64_t injectedPwrite(int fd, const void *buf, size_t n, int64_t off)
{
    return transfer(Call::write, fd, buf, n, off, platformDefaultCalls.pwrite);
}

int injectedFsync(int fd) { return strikes(Call::sync) ? -1 : platformDefaultCalls.fsync(fd); }

int injectedFtruncate(int fd, int64_t len)
{
    return strikes(Call::length) ? -1 : platformDefaultCalls.ftruncate(fd, len);
}

int injectedRename(const char *from, const char *to)
{
    return strikes(Call::rename) ? -1 : platformDefaultCalls.rename(from, to);
}

} // namespace

std::string describe(Mode mode)
{
    static const char *const calls[] = {"read", "write", "sync", "length change", "rename"};
    static const char *const kinds[] = {"EIO", "ENOSPC", "partial transfer"};
    return std::string(calls[int(mode.call)]) + " fails: " + kinds[int(mode.kind)];
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
    hasFired = failNext = false;
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

bool Injector::fired() const { return hasFired; }

} // namespace faults

// Helpers shared by the data-file tests: an engine context per test, small
// tables, little-endian reads of file bytes, and child processes that hold
// or probe lock bytes through their own open of a file.
#ifndef CATALOGR_TESTS_D4TEST_H
#define CATALOGR_TESTS_D4TEST_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "codeset/codeset.h"
#include "tests/testutil.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/f4field.h"

namespace d4test {

// A context with the documented defaults in a fresh directory.
struct Engine {
    testutil::TempDir dir;
    CODE4 c4;
    Engine()
    {
        mbstr_initialize(0);
        d4init(&c4);
        e4clearErrorState();
    }
    ~Engine() { d4init_undo(&c4); }
    std::string path(const std::string &name) const { return dir.file(name); }
};

inline uint32_t le32(const std::string &b, size_t off)
{
    return uint32_t((unsigned char)b[off]) | (uint32_t((unsigned char)b[off + 1]) << 8) |
           (uint32_t((unsigned char)b[off + 2]) << 16) |
           (uint32_t((unsigned char)b[off + 3]) << 24);
}

inline unsigned le16(const std::string &b, size_t off)
{
    return unsigned((unsigned char)b[off]) | (unsigned((unsigned char)b[off + 1]) << 8);
}

inline void putLe32(std::string &b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = char((v >> (8 * i)) & 0xFF);
}

inline std::string lastError()
{
    char buf[512];
    e4getErrorInfo(nullptr, buf, sizeof buf);
    return buf;
}

inline int lastErrorCode()
{
    int code = 0;
    e4getErrorInfo(&code, nullptr, 0);
    return code;
}

// NAME C 10, QTY N 5.2, OK L: record width 17, header length 129.
inline const FIELD4INFO *smallFields()
{
    static const FIELD4INFO f[] = {
        {"NAME", 'C', 10, 0}, {"QTY", 'N', 5, 2}, {"OK", 'L', 1, 0}, {nullptr, 0, 0, 0}};
    return f;
}

// Appends one record per name; QTY holds the record's number.
inline void appendNames(DATA4 *d, const std::vector<std::string> &names)
{
    for (const std::string &n : names) {
        ASSERT_EQ(0, d4append_start(d, 0));
        d4blank(d);
        f4assign(d4field(d, "NAME"), n.c_str());
        f4assign_long(d4field(d, "QTY"), d4reccount(d) + 1);
        f4assign(d4field(d, "OK"), "T");
        ASSERT_EQ(0, d4append(d));
    }
}

// The NAME field of the current record, trailing blanks removed.
inline std::string nameOf(DATA4 *d)
{
    std::string s(f4ptr(d4field(d, "NAME")), 10);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// A child process that opens `path` itself, so that its locks belong to
// another open file, and answers lock questions or holds a byte.
struct LockChild {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;

    // Holds byte `offset` (length `len`) until told to let go.
    LockChild(const std::string &path, long offset, long len)
    {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(down[1]);
            close(up[0]);
            int fd = open(path.c_str(), O_RDWR);
            struct flock fl;
            std::memset(&fl, 0, sizeof fl);
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = offset;
            fl.l_len = len;
            char ok = (fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0) ? 'Y' : 'N';
            if (write(up[1], &ok, 1) != 1)
                _exit(2);
            char c;
            if (read(down[0], &c, 1) < 0)
                _exit(2);
            _exit(0);
        }
        close(down[0]);
        close(up[1]);
        toChild = down[1];
        fromChild = up[0];
        char ok = 0;
        if (read(fromChild, &ok, 1) != 1 || ok != 'Y')
            ADD_FAILURE() << "child could not lock byte " << offset;
    }
    ~LockChild()
    {
        if (pid > 0) {
            char c = 'x';
            if (write(toChild, &c, 1) != 1)
                kill(pid, SIGKILL);
            int st;
            waitpid(pid, &st, 0);
        }
        close(toChild);
        close(fromChild);
    }
};

// Whether another process (with its own open of `path`) finds the byte
// range locked: 1 locked, 0 free, -1 on failure.
inline int lockedElsewhere(const std::string &path, long offset, long len = 1)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0)
            _exit(3);
        struct flock fl;
        std::memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = offset;
        fl.l_len = len;
        if (fcntl(fd, F_OFD_GETLK, &fl) != 0)
            _exit(3);
        _exit(fl.l_type == F_UNLCK ? 0 : 1);
    }
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) > 1)
        return -1;
    return WEXITSTATUS(st);
}

} // namespace d4test

#endif

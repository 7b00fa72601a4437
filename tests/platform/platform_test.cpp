// The platform layer: opening and creating, the three-way lock answer across
// processes, case-insensitive names, and failures injected into the table.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/testutil.h"

using testutil::TempDir;

namespace {

// Restores the system-call table when a test ends.
struct CallsGuard {
    ~CallsGuard() { platformG = platformDefaultCalls; }
};

int failWithEio(int) { errno = EIO; return -1; }
int failOpen(const char *, int, unsigned) { errno = EMFILE; return -1; }
int failLockEinval(int, int, int, int64_t, int64_t) { errno = EINVAL; return -1; }

// A system on which this process may not ask for reads without access-time
// updates (files of another owner): such requests are refused with EPERM.
int noatimeRequests = 0;
int openRefusingNoAtime(const char *path, int flags, unsigned mode)
{
    if (flags & O_NOATIME) {
        noatimeRequests++;
        errno = EPERM;
        return -1;
    }
    return platformDefaultCalls.open(path, flags, mode);
}

} // namespace

TEST(PlatformOpen, MissingNameIsNotFoundAndDirectoryIsNotRegular)
{
    TempDir d;
    int fd = -1, ro = 0;
    EXPECT_EQ(PLATFORM_NOT_FOUND, platform_openFile(d.file("none.dbf").c_str(), 0, &fd, &ro, nullptr, 0));
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(PLATFORM_NOT_REGULAR, platform_openFile(d.path.c_str(), 0, &fd, &ro, nullptr, 0));
    EXPECT_EQ(0, platform_isRegularFile(d.path.c_str()));
}

TEST(PlatformOpen, ReadOnlyFileOpensReadOnly)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: file permissions do not refuse writing";
    TempDir d;
    testutil::writeFile(d.file("ro.dbf"), "abc");
    chmod(d.file("ro.dbf").c_str(), 0444);
    int fd = -1, ro = 0;
    ASSERT_EQ(0, platform_openFile(d.file("ro.dbf").c_str(), 0, &fd, &ro, nullptr, 0));
    EXPECT_EQ(1, ro);
    platform_close(fd);
}

// Access times are not worth a refused open: where the system will not
// leave them alone, files open and are created read-write all the same.
TEST(PlatformOpen, RefusedAccessTimeRequestStillOpensForWriting)
{
    TempDir d;
    CallsGuard guard;
    testutil::writeFile(d.file("a.dbf"), "abc");
    platformG.open = openRefusingNoAtime;
    int fd = -1, ro = 1;
    ASSERT_EQ(0, platform_openFile(d.file("a.dbf").c_str(), 0, &fd, &ro, nullptr, 0));
    EXPECT_EQ(0, ro);
    EXPECT_EQ(1, platform_write(fd, 3, "d", 1));
    platform_close(fd);
    for (int failIfExists : {1, 0}) {
        ASSERT_EQ(0, platform_createFile(d.file("b.dbf").c_str(), failIfExists, &fd)) << failIfExists;
        EXPECT_EQ(2, platform_write(fd, 0, "xy", 2));
        platform_close(fd);
    }
    EXPECT_EQ(3, noatimeRequests);
    EXPECT_EQ("abcd", testutil::readFile(d.file("a.dbf")));
    EXPECT_EQ("xy", testutil::readFile(d.file("b.dbf")));
}

TEST(PlatformOpen, FinalComponentIsMatchedWithoutCase)
{
    TempDir d;
    testutil::writeFile(d.file("Parts.dbf"), "x");
    testutil::writeFile(d.file("parts.dbf"), "y");
    char got[4096];
    // Exact name first.
    ASSERT_EQ(0, platform_resolveName(d.file("Parts.dbf").c_str(), got, sizeof got));
    EXPECT_EQ(d.file("Parts.dbf"), got);
    // No exact or upper-case match: the first in byte order wins.
    ASSERT_EQ(0, platform_resolveName(d.file("PARTS.dbf").c_str(), got, sizeof got));
    EXPECT_EQ(d.file("Parts.dbf"), got);
    testutil::writeFile(d.file("ORDERS.DBF"), "z");
    ASSERT_EQ(0, platform_resolveName(d.file("orders.dbf").c_str(), got, sizeof got));
    EXPECT_EQ(d.file("ORDERS.DBF"), got);
    // The directory's case is never changed.
    EXPECT_EQ(PLATFORM_NOT_FOUND,
              platform_resolveName((d.path + "/X/../orders.dbf").c_str(), got, sizeof got));
    // A result that does not fit is refused, not cut.
    EXPECT_EQ(PLATFORM_NAME_TOO_LONG, platform_resolveName(d.file("orders.dbf").c_str(), got, 8));

    int fd = -1, ro = 0;
    ASSERT_EQ(0, platform_openFile(d.file("orders.DBF").c_str(), 0, &fd, &ro, got, sizeof got));
    EXPECT_EQ(d.file("ORDERS.DBF"), got);
    char c = 0;
    EXPECT_EQ(1, platform_read(fd, 0, &c, 1));
    EXPECT_EQ('z', c);
    platform_close(fd);
}

TEST(PlatformCreate, ExclusiveRefusesAndTruncatingEmpties)
{
    TempDir d;
    std::string f = d.file("t.dat");
    int fd = -1;
    ASSERT_EQ(0, platform_createFile(f.c_str(), 1, &fd));
    EXPECT_EQ(5, platform_write(fd, 0, "hello", 5));
    int64_t len = 0;
    EXPECT_EQ(0, platform_length(fd, &len));
    EXPECT_EQ(5, len);
    EXPECT_EQ(0, platform_setLength(fd, 2));
    EXPECT_EQ(0, platform_sync(fd));
    platform_close(fd);
    EXPECT_EQ(2, testutil::fileSize(f));
    EXPECT_EQ(-EEXIST, platform_createFile(f.c_str(), 1, &fd));
    ASSERT_EQ(0, platform_createFile(f.c_str(), 0, &fd));
    platform_close(fd);
    EXPECT_EQ(0, testutil::fileSize(f));
}

TEST(PlatformLock, AnswersGrantedHeldAcrossProcessesAndPerOpenFile)
{
    TempDir d;
    std::string f = d.file("lock.dat");
    testutil::writeFile(f, "data");
    int a = -1, b = -1, ro = 0;
    ASSERT_EQ(0, platform_openFile(f.c_str(), 0, &a, &ro, nullptr, 0));
    ASSERT_EQ(0, platform_openFile(f.c_str(), 0, &b, &ro, nullptr, 0));
    ASSERT_EQ(PLATFORM_LOCK_GRANTED, platform_lock(a, 0x7FFFFFFE, 1));
    // Two opens in one process exclude each other.
    EXPECT_EQ(PLATFORM_LOCK_HELD, platform_lock(b, 0x7FFFFFFE, 1));
    // Closing another open of the file does not drop the first one's lock.
    platform_close(b);
    pid_t pid = fork();
    if (pid == 0) {
        int c = -1, r = 0;
        if (platform_openFile(f.c_str(), 0, &c, &r, nullptr, 0) != 0)
            _exit(10);
        _exit(platform_lock(c, 0x7FFFFFFE, 1) == PLATFORM_LOCK_HELD ? 0 : 11);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child saw the byte free";
    EXPECT_EQ(PLATFORM_LOCK_GRANTED, platform_unlock(a, 0x7FFFFFFE, 1));
    pid = fork();
    if (pid == 0) {
        int c = -1, r = 0;
        if (platform_openFile(f.c_str(), 0, &c, &r, nullptr, 0) != 0)
            _exit(10);
        _exit(platform_lock(c, 0x40000000, 0x3FFFFFFF) == PLATFORM_LOCK_GRANTED ? 0 : 11);
    }
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    platform_close(a);
}

TEST(PlatformInjection, FailuresSurfaceAsResults)
{
    CallsGuard guard;
    TempDir d;
    std::string f = d.file("x.dat");
    testutil::writeFile(f, "abc");
    int fd = -1, ro = 0;
    ASSERT_EQ(0, platform_openFile(f.c_str(), 0, &fd, &ro, nullptr, 0));

    platformG.fsync = failWithEio;
    EXPECT_EQ(-EIO, platform_sync(fd));
    platformG.lock = failLockEinval;
    // An EINVAL that may mean "unsupported" is never a granted lock; where the
    // lock kind is known to work it is an invalid request.
    int r = platform_lock(fd, 10, 1);
    EXPECT_TRUE(r == PLATFORM_LOCK_INVALID || r == -EINVAL);
    EXPECT_NE(PLATFORM_LOCK_GRANTED, r);
    platformG = platformDefaultCalls;
    platform_close(fd);

    platformG.open = failOpen;
    EXPECT_EQ(-EMFILE, platform_openFile(f.c_str(), 0, &fd, &ro, nullptr, 0));
    EXPECT_EQ(-EMFILE, platform_createFile(d.file("y.dat").c_str(), 1, &fd));
    EXPECT_EQ(nullptr, platform_fopen(f.c_str(), "rb"));
}

TEST(PlatformEnvironment, CwdEnvironmentExecutableAndDiskSpace)
{
    char buf[4096];
    ASSERT_EQ(0, platform_getcwd(buf, sizeof buf));
    EXPECT_EQ('/', buf[0]);
    EXPECT_EQ(PLATFORM_NAME_TOO_LONG, platform_getcwd(buf, 2));
    testutil::ScopedEnv e("CATALOGR_TEST_VAR", "value");
    ASSERT_NE(nullptr, platform_getenv("CATALOGR_TEST_VAR"));
    EXPECT_STREQ("value", platform_getenv("CATALOGR_TEST_VAR"));
    EXPECT_EQ(nullptr, platform_getenv("CATALOGR_TEST_UNSET_VAR"));
    ASSERT_EQ(0, platform_exePath(buf, sizeof buf));
    EXPECT_NE(nullptr, std::strstr(buf, "test_platform"));
    uint64_t space = 0;
    EXPECT_EQ(0, platform_diskFree(".", &space));
    EXPECT_GT(space, 0u);
}

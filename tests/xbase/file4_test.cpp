// The file layer: open and create with the context's switches, reads and
// writes within 32-bit offsets, injected platform failures and their
// reports, locks across open files and processes, work files, replacing a
// file, and the sequential reader and writer.
#include "xbase/file4.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/faultinject.h"
#include "tests/testutil.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/mem4.h"

using testutil::TempDir;

namespace {

// Calls counted or shaped by the injected platform entries.
std::vector<size_t> preadSizes, pwriteSizes;
int lockCalls = 0;
int64_t fakeNowMs = 0;
int openCalls = 0;

int64_t countingPread(int fd, void *buf, size_t n, int64_t off)
{
    preadSizes.push_back(n);
    return platformDefaultCalls.pread(fd, buf, n, off);
}
int64_t countingPwrite(int fd, const void *buf, size_t n, int64_t off)
{
    pwriteSizes.push_back(n);
    return platformDefaultCalls.pwrite(fd, buf, n, off);
}
int countingLock(int fd, int cmd, int ofd, int64_t start, int64_t len)
{
    lockCalls++;
    return platformDefaultCalls.lock(fd, cmd, ofd, start, len);
}
int openWithoutWriting(const char *path, int flags, unsigned mode)
{
    if ((flags & O_ACCMODE) != O_RDONLY) {
        errno = EACCES;
        return -1;
    }
    return platformDefaultCalls.open(path, flags, mode);
}
int countingOpenRefusingCreate(const char *path, int flags, unsigned mode)
{
    openCalls++;
    if (flags & O_CREAT) {
        errno = EACCES;
        return -1;
    }
    return platformDefaultCalls.open(path, flags, mode);
}
int64_t fakeTime() { return fakeNowMs / 1000; }

// The names in a directory other than "." and "..", sorted.
std::vector<std::string> namesIn(const std::string &dir)
{
    std::vector<std::string> names;
    platformDefaultCalls.listDir(
        dir.c_str(),
        [](void *ctx, const char *name) {
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
                static_cast<std::vector<std::string> *>(ctx)->push_back(name);
            return 0;
        },
        &names);
    std::sort(names.begin(), names.end());
    return names;
}
void fakeSleep(int ms) { fakeNowMs += ms; }

struct FileTest : testing::Test {
    TempDir dir;
    CODE4 c4;
    void SetUp() override
    {
        d4init(&c4);
        e4clearErrorState();
        preadSizes.clear();
        pwriteSizes.clear();
        lockCalls = 0;
        openCalls = 0;
    }
    void TearDown() override
    {
        platformG = platformDefaultCalls;
        u4alloc_fail_after(-1);
    }
    std::string path(const char *name) { return dir.file(name); }
    std::string slot()
    {
        char buf[E4_ERROR_BUFFER_LEN];
        e4getErrorInfo(nullptr, buf, sizeof buf);
        return buf;
    }
    int slotCode()
    {
        int code = 0;
        e4getErrorInfo(&code, nullptr, 0);
        return code;
    }
    void useFakeClock(int64_t startMs)
    {
        fakeNowMs = startMs;
        platformG.time = fakeTime;
        platformG.sleepMs = fakeSleep;
    }
};

} // namespace

// ---- Open and create ------------------------------------------------------

TEST_F(FileTest, OpenMissingIsSoftWithOpenErrorOffAndResetByNextOpen)
{
    FILE4 f;
    std::string missing = path("none.dbf");
    c4.open_error = 0;
    EXPECT_EQ(r4no_open, file4open(&f, &c4, missing.c_str(), 0));
    EXPECT_EQ(-1, f.hand);
    EXPECT_EQ(r4no_open, c4.error_code);
    EXPECT_EQ(0, slotCode()) << "no report";

    testutil::writeFile(path("a.dbf"), "abc");
    ASSERT_EQ(0, file4open(&f, &c4, path("a.dbf").c_str(), 0));
    EXPECT_EQ(0, c4.error_code);
    EXPECT_EQ(1, file4open_test(&f));
    file4close(&f);
    EXPECT_EQ(0, file4open_test(&f));

    c4.open_error = 1;
    EXPECT_EQ(e4open, file4open(&f, &c4, missing.c_str(), 0));
    EXPECT_EQ("Xbase -60: Opening File File Name: " + missing + " ", slot());
    EXPECT_EQ(0, c4.error_code);
}

TEST_F(FileTest, PendingErrorRefusesOpenCreateAndTemp)
{
    testutil::writeFile(path("a.dbf"), "abc");
    c4.error_code = e4memory;
    FILE4 f;
    EXPECT_EQ(-1, file4open(&f, &c4, path("a.dbf").c_str(), 0));
    EXPECT_EQ(-1, f.hand);
    EXPECT_EQ(-1, file4create(&f, &c4, path("b.dbf").c_str(), 0));
    EXPECT_EQ(-1, f.hand);
    EXPECT_FALSE(testutil::fileExists(path("b.dbf")));
    EXPECT_EQ(-1, file4temp(&f, &c4, nullptr, 1));
    EXPECT_EQ(e4memory, c4.error_code);
}

TEST_F(FileTest, WriteRefusedFileOpensReadOnlyAndRefusesChanges)
{
    testutil::writeFile(path("ro.dbf"), "abcdef");
    platformG.open = openWithoutWriting;
    platformG.lock = countingLock;
    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, path("ro.dbf").c_str(), 1));
    EXPECT_EQ(1, f.is_read_only);
    char buf[6];
    EXPECT_EQ(0, file4read_all(&f, 0, buf, 6));
    EXPECT_EQ(e4parm, file4write(&f, 0, "x", 1));
    EXPECT_EQ("Xbase -930: Unexpected Parameter Attempt to write to a read-only file ", slot());
    EXPECT_EQ(e4parm, file4len_set(&f, 0));
    EXPECT_EQ("Xbase -930: Unexpected Parameter Attempt to change file length of a read-only file "
              "File Name: " + path("ro.dbf"),
              slot());
    EXPECT_EQ(0, file4lock(&f, 0x7FFFFFFE, 1));
    EXPECT_EQ(0, file4unlock(&f, 0x7FFFFFFE, 1));
    EXPECT_EQ(0, lockCalls) << "a read-only file never asks for locks";
    file4close(&f);
    EXPECT_EQ("abcdef", testutil::readFile(path("ro.dbf")));

    // The context's read_only opens read-only even where writing is allowed.
    platformG = platformDefaultCalls;
    c4.read_only = 1;
    ASSERT_EQ(0, file4open(&f, &c4, path("ro.dbf").c_str(), 0));
    EXPECT_EQ(1, f.is_read_only);
    file4close(&f);
}

TEST_F(FileTest, OpenWithCopyKeepsTheNameActuallyOpened)
{
    testutil::writeFile(path("Parts.dbf"), "x");
    std::string asked = path("PARTS.DBF");
    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, asked.c_str(), 1));
    EXPECT_EQ(path("Parts.dbf"), f.name);
    EXPECT_EQ(1, f.do_alloc_free);
    file4close(&f);
    ASSERT_EQ(0, file4open(&f, &c4, asked.c_str(), 0));
    EXPECT_EQ(asked.c_str(), f.name) << "without a copy the caller's pointer is kept";
    EXPECT_EQ(0, f.do_alloc_free);
    file4close(&f);
}

TEST_F(FileTest, CreateHonoursSafetyAndCreateError)
{
    std::string name = path("c.dbf");
    testutil::writeFile(name, "existing");
    FILE4 f;
    EXPECT_EQ(e4create, file4create(&f, &c4, name.c_str(), 0));
    EXPECT_EQ("Xbase -20: Creating File File Name: " + name + " ", slot());
    EXPECT_EQ(-1, f.hand);
    c4.create_error = 0;
    e4clearErrorState();
    EXPECT_EQ(r4no_create, file4create(&f, &c4, name.c_str(), 0));
    EXPECT_EQ(r4no_create, c4.error_code);
    EXPECT_EQ(0, slotCode());
    EXPECT_EQ("existing", testutil::readFile(name));

    c4.safety = 0;
    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 0));
    EXPECT_EQ(0, c4.error_code);
    EXPECT_EQ(0, file4len(&f));
    EXPECT_EQ(0, file4close(&f));
    EXPECT_EQ(0, testutil::fileSize(name));
}

TEST_F(FileTest, CreateWithoutMemoryForTheNameLeavesNoFile)
{
    std::string name = path("n.dbf");
    FILE4 f;
    u4alloc_fail_after(0);
    EXPECT_EQ(e4memory, file4create(&f, &c4, name.c_str(), 1));
    u4alloc_fail_after(-1);
    EXPECT_EQ(-1, f.hand);
    EXPECT_FALSE(testutil::fileExists(name));
    EXPECT_EQ(e4memory, slotCode());
}

TEST_F(FileTest, CloseDeletesTemporaryAndReportsFailure)
{
    FILE4 f;
    std::string name = path("t.tmp");
    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 1));
    f.is_temp = 1;
    EXPECT_EQ(0, file4close(&f));
    EXPECT_FALSE(testutil::fileExists(name));
    EXPECT_EQ(0, file4close(&f)) << "closing again is a success";
    EXPECT_EQ(&c4, f.code_base);
    EXPECT_EQ(-1, file4len_set(&f, 0)) << "a closed file has no length to set";
    EXPECT_EQ(e4len_set, slotCode());
    EXPECT_EQ(0, file4close(nullptr));

    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 1));
    platformG.close = [](int fd) {
        platformDefaultCalls.close(fd);
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(e4close, file4close(&f));
    EXPECT_EQ("Xbase -10: Closing File " + name + " ", slot());
    EXPECT_EQ(-1, f.hand);
}

// ---- Reads, writes, length, commit ----------------------------------------

TEST_F(FileTest, ReadBeyondEndIsSilentButReadAllReports)
{
    std::string name = path("r.dbf");
    testutil::writeFile(name, "0123456789");
    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, name.c_str(), 0));
    char buf[16];
    EXPECT_EQ(4u, file4read(&f, 6, buf, 8));
    EXPECT_EQ("6789", std::string(buf, 4));
    EXPECT_EQ(0u, file4read(&f, 100, buf, 8));
    EXPECT_EQ(0, slotCode());
    EXPECT_EQ(e4read, file4read_all(&f, 100, buf, 8));
    EXPECT_EQ("Xbase -70: Reading File File Name: " + name + " ", slot());
    EXPECT_EQ(e4read, file4read_all(&f, 6, buf, 8)) << "a short read is a failure";
    EXPECT_EQ(0, file4read_all(&f, 2, buf, 8));

    // Positions outside the formats' offsets fail cleanly with a report.
    e4clearErrorState();
    EXPECT_EQ(0u, file4read(&f, -1, buf, 4));
    EXPECT_EQ(e4read, slotCode());
    e4clearErrorState();
    EXPECT_EQ(0u, file4read(&f, 0x7FFFFFFF, buf, 2));
    EXPECT_EQ(e4read, slotCode());
    EXPECT_EQ(0u, file4read(&f, 0x7FFFFFFF, buf, 1)) << "ends exactly at 2^31: plain end of file";

    c4.error_code = -1;
    EXPECT_EQ(0u, file4read(&f, 0, buf, 4));
    EXPECT_EQ(-1, file4read_all(&f, 0, buf, 4));
    EXPECT_EQ(-1, file4write(&f, 0, "x", 1));
    c4.error_code = 0;
    file4close(&f);
}

TEST_F(FileTest, WritesStopAtTheFormatsLastOffset)
{
    std::string name = path("w.dbf");
    FILE4 f;
    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 0));
    EXPECT_EQ(0, file4write(&f, 3, "abc", 3));
    EXPECT_EQ(6, file4len(&f));
    EXPECT_EQ(e4write, file4write(&f, 0x7FFFFFFE, "ab", 2));
    EXPECT_EQ("Xbase -120: Writing to File " + name + " ", slot());
    EXPECT_EQ(e4write, file4write(&f, -1, "a", 1));
    EXPECT_EQ(6, file4len(&f)) << "a refused write writes nothing";
    EXPECT_EQ(0, file4write(&f, 0x7FFFFFFE, "a", 1));
    EXPECT_EQ(0x7FFFFFFF, file4len(&f));
    EXPECT_EQ(0, file4len_set(&f, 6));
    e4clearErrorState();
    EXPECT_EQ(-1, file4len_set(&f, 0x80000000L));
    EXPECT_EQ(e4len_set, slotCode());
    EXPECT_EQ(6, file4len(&f));
    file4close(&f);
}

TEST_F(FileTest, InjectedWriteFailuresAreReportedWithTheName)
{
    std::string name = path("w.dbf");
    FILE4 f;
    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 0));

    // A disk that takes part of the data and then nothing more.
    platformG.pwrite = [](int fd, const void *buf, size_t n, int64_t off) -> int64_t {
        static int calls = 0;
        if (calls++ % 2 == 0)
            return platformDefaultCalls.pwrite(fd, buf, n > 2 ? 2 : n, off);
        return 0;
    };
    EXPECT_EQ(e4write, file4write(&f, 0, "abcdef", 6));
    EXPECT_EQ("Xbase -120: Writing to File " + name + " ", slot());

    platformG.pwrite = [](int, const void *, size_t, int64_t) -> int64_t {
        errno = EIO;
        return -1;
    };
    e4clearErrorState();
    EXPECT_EQ(e4write, file4write(&f, 0, "abcdef", 6));
    EXPECT_EQ("Xbase -120: Writing to File " + name + " Input/output error ", slot());
    platformG.pwrite = platformDefaultCalls.pwrite;

    // With file_flush on every write is committed; a failing commit shows.
    platformG.fsync = [](int) {
        errno = EIO;
        return -1;
    };
    c4.file_flush = 1;
    EXPECT_EQ(e4opt_flush, file4write(&f, 0, "abcdef", 6));
    EXPECT_EQ("Xbase -630: Optimization File Flushing Failure " + name + " Input/output error ", slot());
    c4.file_flush = 0;

    // A commit keeps a soft code that was pending before it.
    c4.error_code = r4no_open;
    EXPECT_EQ(e4opt_flush, file4flush(&f));
    EXPECT_EQ(r4no_open, c4.error_code);
    c4.error_code = 0;
    platformG.fsync = platformDefaultCalls.fsync;
    EXPECT_EQ(0, file4flush(&f));

    platformG.ftruncate = [](int, int64_t) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(-1, file4len_set(&f, 0));
    EXPECT_EQ("Xbase -40: Setting File Length File Name: " + name + " Input/output error", slot());
    platformG.ftruncate = platformDefaultCalls.ftruncate;

    platformG.fstat = [](int, platform_stat *) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(e4len, file4len(&f));
    EXPECT_EQ("Xbase -30: Determining File Length " + name + " ", slot());
    platformG.fstat = platformDefaultCalls.fstat;

    platformG.pread = [](int, void *, size_t, int64_t) -> int64_t {
        errno = EIO;
        return -1;
    };
    char buf[4];
    e4clearErrorState();
    EXPECT_EQ(0u, file4read(&f, 0, buf, 4));
    EXPECT_EQ(e4read, slotCode());
    platformG.pread = platformDefaultCalls.pread;
    file4close(&f);
}

// A soft outcome left behind by an earlier call (a missing file's 70) never
// stops a length change; only a pending error does.
TEST_F(FileTest, LengthChangeRefusedOnlyWhileAnErrorIsPending)
{
    FILE4 f;
    ASSERT_EQ(0, file4create(&f, &c4, path("l.dbf").c_str(), 0));
    ASSERT_EQ(0, file4write(&f, 0, "abcdef", 6));
    c4.error_code = -1;
    EXPECT_EQ(-1, file4len_set(&f, 2));
    EXPECT_EQ(6, file4len(&f));
    for (int code : {1, 70, 199, 200}) {
        c4.error_code = code;
        EXPECT_EQ(0, file4len_set(&f, 6 - code % 4)) << code;
        EXPECT_EQ(6 - code % 4, file4len(&f)) << code;
        EXPECT_EQ(code, c4.error_code) << "the soft code stays";
    }
    file4close(&f);
}

// ---- Locks -----------------------------------------------------------------

TEST_F(FileTest, ContendedLockRetriesAsOftenAsAllowed)
{
    std::string name = path("k.dbf");
    testutil::writeFile(name, "x");
    FILE4 holder, other;
    ASSERT_EQ(0, file4open(&holder, &c4, name.c_str(), 0));
    ASSERT_EQ(0, file4open(&other, &c4, name.c_str(), 0));
    ASSERT_EQ(0, file4lock(&holder, 0x7FFFFFFE, 1));
    useFakeClock(0);

    const struct {
        int attempts;
        int64_t waits;
    } rows[] = {{1, 0}, {0, 0}, {3, 2}};
    for (const auto &r : rows) {
        c4.lock_attempts = r.attempts;
        fakeNowMs = 0;
        EXPECT_EQ(r4locked, file4lock(&other, 0x7FFFFFFE, 1)) << r.attempts;
        EXPECT_EQ(r.waits, fakeTime()) << "seconds waited with lock_attempts " << r.attempts;
    }
    EXPECT_EQ(0, slotCode()) << "contention is not an error";

    // A different byte is free; after unlocking the byte is free too.
    c4.lock_attempts = 1;
    EXPECT_EQ(0, file4lock(&other, 0x7FFFFFFD, 1));
    EXPECT_EQ(0, file4unlock(&holder, 0x7FFFFFFE, 1));
    EXPECT_EQ(0, file4lock(&other, 0x7FFFFFFE, 1));
    file4close(&other);
    file4close(&holder);
}

TEST_F(FileTest, LockWithoutEndWaitsUntilAnotherProcessReleases)
{
    std::string name = path("k.dbf");
    testutil::writeFile(name, "x");
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(name.c_str(), O_RDWR);
        struct flock fl;
        std::memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0x7FFFFFFE;
        fl.l_len = 1;
        int ok = fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0;
        char c = ok ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(2);
        usleep(1500 * 1000);
        _exit(0); // closing releases the lock
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    ASSERT_EQ('y', c);

    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, name.c_str(), 0));
    c4.lock_attempts = 1;
    EXPECT_EQ(r4locked, file4lock(&f, 0x7FFFFFFE, 1));
    c4.lock_attempts = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, file4lock(&f, 0x7FFFFFFE, 1));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    file4close(&f);
}

TEST_F(FileTest, ExclusiveFilesNeverTouchTheLockPrimitive)
{
    std::string name = path("x.dbf");
    testutil::writeFile(name, "x");
    platformG.lock = countingLock;
    c4.exclusive = 1;
    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, name.c_str(), 0));
    EXPECT_EQ(1, f.is_exclusive);
    EXPECT_EQ(0, file4lock(&f, 0x40000000, 0x3FFFFFFF));
    EXPECT_EQ(0, file4unlock(&f, 0x40000000, 0x3FFFFFFF));
    EXPECT_EQ(0, lockCalls);
    file4close(&f);
}

TEST_F(FileTest, LockFailuresOtherThanContentionAreReported)
{
    std::string name = path("k.dbf");
    testutil::writeFile(name, "x");
    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, name.c_str(), 0));
    EXPECT_EQ(e4lock, file4lock(&f, 10, 0)) << "an empty range";
    EXPECT_EQ(e4lock, file4lock(&f, 0x7FFFFFFF, 1)) << "past the last lock byte";
    EXPECT_EQ(e4lock, file4lock(&f, -5, 1));
    platformG.lock = [](int, int, int, int64_t, int64_t) {
        errno = ENOLCK;
        return -1;
    };
    EXPECT_EQ(e4lock, file4lock(&f, 0x7FFFFFFE, 1));
    EXPECT_EQ("Xbase -50: Locking File " + name + " ", slot());
    EXPECT_EQ(e4unlock, file4unlock(&f, 0x7FFFFFFE, 1));
    EXPECT_EQ("Xbase -110: Unlocking File " + name + " ", slot());
    // A request the platform calls invalid counts as granted.
    platformG.lock = [](int fd, int cmd, int ofd, int64_t start, int64_t len) {
        if (cmd == 2)
            return platformDefaultCalls.lock(fd, cmd, ofd, start, len);
        errno = EINVAL;
        return -1;
    };
    EXPECT_EQ(0, file4lock(&f, 0x7FFFFFFE, 1));
    EXPECT_EQ(0, file4unlock(&f, 0x7FFFFFFE, 1));
    file4close(&f);
}

// ---- Work files ------------------------------------------------------------

TEST_F(FileTest, TempFileTakesTheCurrentSecondsNameAtOnce)
{
    testutil::ScopedCwd cwd(dir.path);
    useFakeClock(7250);
    FILE4 f;
    ASSERT_EQ(0, file4temp(&f, &c4, nullptr, 1));
    EXPECT_EQ(7250, fakeNowMs) << "a free name costs no wait";
    std::string name = f.name;
    EXPECT_EQ("TEMP0007.TMP", name);
    EXPECT_TRUE(testutil::fileExists(path(name.c_str())));
    EXPECT_EQ(1, f.is_temp);
    EXPECT_EQ(1, c4.create_error) << "settings are restored";
    EXPECT_EQ(0, c4.exclusive);
    file4close(&f);
    EXPECT_FALSE(testutil::fileExists(path(name.c_str())));
}

TEST_F(FileTest, TempFileSkipsNamesThatExistAndNeverReplacesThem)
{
    testutil::ScopedCwd cwd(dir.path);
    testutil::writeFile(path("TEMP0005.TMP"), "someone else's");
    useFakeClock(5900);
    c4.safety = 0;
    char buf[FILE4_TEMP_NAME_LEN];
    FILE4 f;
    ASSERT_EQ(0, file4temp(&f, &c4, buf, 0));
    EXPECT_STREQ("TEMP0006.TMP", buf);
    EXPECT_GE(fakeNowMs, 6000) << "a taken name waits for the next second";
    EXPECT_EQ(buf, f.name) << "the name lives in the caller's buffer";
    EXPECT_EQ(0, f.is_temp);
    EXPECT_EQ(0, c4.safety);
    file4close(&f);
    EXPECT_TRUE(testutil::fileExists(path("TEMP0006.TMP")));
    EXPECT_EQ("someone else's", testutil::readFile(path("TEMP0005.TMP")));

    // Clock values wrap at 10000.
    fakeNowMs = 123456789;
    ASSERT_EQ(0, file4temp(&f, &c4, buf, 1));
    EXPECT_STREQ("TEMP3456.TMP", buf);
    file4close(&f);
}

TEST_F(FileTest, TempFileGivesUpAfterAHundredNamesOrAnyOtherFailure)
{
    testutil::ScopedCwd cwd(dir.path);
    for (int i = 1; i <= 100; i++) {
        char n[FILE4_TEMP_NAME_LEN];
        std::snprintf(n, sizeof n, "TEMP%04d.TMP", i);
        testutil::writeFile(path(n), "");
    }
    useFakeClock(1500);
    FILE4 f;
    EXPECT_EQ(e4create, file4temp(&f, &c4, nullptr, 1));
    EXPECT_EQ("Xbase -20: Creating File Temporary Working File ", slot());
    EXPECT_EQ(100, fakeTime());
    EXPECT_EQ(0, c4.error_code);

    platformG.open = countingOpenRefusingCreate;
    fakeNowMs = 200500;
    EXPECT_EQ(e4create, file4temp(&f, &c4, nullptr, 1));
    EXPECT_EQ(1, openCalls) << "a failure other than an existing name ends at once";
    EXPECT_EQ("Xbase -20: Creating File File Name: TEMP0200.TMP ", slot());
}

// ---- Replacing a file ------------------------------------------------------

TEST_F(FileTest, ReplaceByCopyGivesKeepTheContentsAndDeletesFrom)
{
    std::string keepName = path("keep.dbf"), fromName = path("from.tmp");
    testutil::writeFile(keepName, std::string(9000, 'o'));
    std::string fresh;
    for (int i = 0; i < 5000; i++)
        fresh += (char)('a' + i % 26);
    testutil::writeFile(fromName, fresh);
    c4.mem_size_buffer = 2048;
    FILE4 keep, from;
    ASSERT_EQ(0, file4open(&keep, &c4, keepName.c_str(), 1));
    ASSERT_EQ(0, file4open(&from, &c4, fromName.c_str(), 1));
    platformG.pwrite = countingPwrite;
    EXPECT_EQ(0, file4replace(&keep, &from));
    EXPECT_EQ((std::vector<size_t>{2048, 2048, 904}), pwriteSizes);
    EXPECT_EQ(-1, from.hand);
    EXPECT_FALSE(testutil::fileExists(fromName));
    EXPECT_EQ(1, file4open_test(&keep));
    EXPECT_EQ(5000, file4len(&keep));
    file4close(&keep);
    EXPECT_EQ(fresh, testutil::readFile(keepName));
}

// A shared file is replaced through a copy beside it: whichever call fails,
// both files stay as they were (and no work file is left), and once it
// succeeds the kept file holds the new contents and the source is gone.
TEST_F(FileTest, FailedReplaceByCopyLeavesBothFilesAsTheyWere)
{
    testutil::TempDir work;
    std::string keepName = path("keep.dbf"), fromName = work.file("from.tmp");
    const std::string oldBytes(3000, 'o');
    std::string newBytes;
    for (int i = 0; i < 5000; i++)
        newBytes += (char)('a' + i % 26);
    c4.mem_size_buffer = 2048;
    for (faults::Mode mode : faults::allModes()) {
        for (int nth = 1;; nth++) {
            SCOPED_TRACE(faults::describe(mode) + " at call " + std::to_string(nth));
            testutil::writeFile(keepName, oldBytes);
            testutil::writeFile(fromName, newBytes);
            FILE4 keep, from;
            ASSERT_EQ(0, file4open(&keep, &c4, keepName.c_str(), 1));
            ASSERT_EQ(0, file4open(&from, &c4, fromName.c_str(), 1));
            from.is_temp = 1;
            int rc;
            bool fired;
            {
                faults::Injector inject(mode, nth);
                rc = file4replace(&keep, &from);
                fired = inject.fired();
            }
            std::vector<char> buf(6000);
            long got = file4read_count(&keep, 0, buf.data(), 6000);
            if (!fired) {
                ASSERT_EQ(0, rc) << slot();
                EXPECT_EQ(newBytes, std::string(buf.data(), size_t(got)));
                EXPECT_FALSE(testutil::fileExists(fromName));
                EXPECT_EQ(-1, from.hand);
                file4close(&keep);
                EXPECT_EQ(newBytes, testutil::readFile(keepName));
                EXPECT_EQ(std::vector<std::string>{"keep.dbf"}, namesIn(dir.path));
                break;
            }
            EXPECT_EQ(-1, rc);
            EXPECT_NE(0, slotCode());
            EXPECT_EQ(oldBytes, std::string(buf.data(), size_t(got > 0 ? got : 0)))
                << "keep reads as before";
            EXPECT_EQ(1, file4open_test(&from));
            file4close(&keep);
            from.is_temp = 0;
            file4close(&from);
            EXPECT_EQ(oldBytes, testutil::readFile(keepName));
            EXPECT_EQ(newBytes, testutil::readFile(fromName));
            EXPECT_EQ(std::vector<std::string>{"keep.dbf"}, namesIn(dir.path))
                << "no work file is left beside it";
            if (HasFailure())
                return;
        }
    }
}

TEST_F(FileTest, ReplaceOfAnExclusiveFileRenamesInOneStep)
{
    std::string keepName = path("keep.dbf"), fromName = path("from.tmp");
    testutil::writeFile(keepName, "old contents");
    testutil::writeFile(fromName, "new");
    c4.exclusive = 1;
    FILE4 keep, from;
    ASSERT_EQ(0, file4open(&keep, &c4, keepName.c_str(), 1));
    ASSERT_EQ(0, file4open(&from, &c4, fromName.c_str(), 1));
    platformG.pwrite = countingPwrite;
    EXPECT_EQ(0, file4replace(&keep, &from));
    EXPECT_TRUE(pwriteSizes.empty()) << "nothing is copied";
    EXPECT_EQ(-1, from.hand);
    EXPECT_FALSE(testutil::fileExists(fromName));
    EXPECT_EQ(keepName, keep.name);
    EXPECT_EQ(1, keep.do_alloc_free);
    EXPECT_EQ(1, keep.is_exclusive);
    char buf[8] = {0};
    EXPECT_EQ(3u, file4read(&keep, 0, buf, sizeof buf));
    EXPECT_EQ("new", std::string(buf, 3));
    file4close(&keep);
    EXPECT_EQ("new", testutil::readFile(keepName));
}

TEST_F(FileTest, ReplaceRefusesReadOnlyFilesAndAFailedRenameKeepsTheOldFile)
{
    std::string keepName = path("keep.dbf"), fromName = path("from.tmp");
    testutil::writeFile(keepName, "old");
    testutil::writeFile(fromName, "new");
    FILE4 keep, from;
    c4.read_only = 1;
    ASSERT_EQ(0, file4open(&keep, &c4, keepName.c_str(), 1));
    c4.read_only = 0;
    ASSERT_EQ(0, file4open(&from, &c4, fromName.c_str(), 1));
    EXPECT_EQ(e4parm, file4replace(&keep, &from));
    EXPECT_EQ("Xbase -930: Unexpected Parameter Attempt to replace to a read-only file ", slot());
    file4close(&keep);

    c4.exclusive = 1;
    ASSERT_EQ(0, file4open(&keep, &c4, keepName.c_str(), 1));
    platformG.rename = [](const char *, const char *) {
        errno = EXDEV;
        return -1;
    };
    EXPECT_EQ(-1, file4replace(&keep, &from));
    EXPECT_EQ(e4rename, slotCode());
    EXPECT_EQ(1, file4open_test(&keep)) << "the kept file is open again";
    EXPECT_FALSE(testutil::fileExists(fromName));
    file4close(&keep);
    EXPECT_EQ("old", testutil::readFile(keepName));
}

// ---- Sequential reader and writer -----------------------------------------

TEST(FileSequential, UsableBufferSize)
{
    const struct {
        unsigned long len;
        unsigned usable;
    } rows[] = {{0, 0}, {500, 0}, {1023, 0}, {1024, 1024}, {4095, 3072}, {4096, 4096},
                {64512, 64512}, {65535, 64512}, {65536, 64512}, {100000, 64512}, {0x10400, 64512}};
    for (const auto &r : rows)
        EXPECT_EQ(r.usable, file4seq_usable(r.len)) << r.len;
}

TEST_F(FileTest, ReaderFirstFillEndsOnA1024Boundary)
{
    std::string name = path("s.dbf");
    std::string bytes(20000, 0);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (char)(i * 7);
    testutil::writeFile(name, bytes);
    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, name.c_str(), 0));
    platformG.pread = countingPread;
    std::vector<char> buffer(4096);

    const struct {
        long start;
        size_t first;
    } rows[] = {{1000, 3096}, {5000, 3192}, {4096, 4096}};
    for (const auto &r : rows) {
        preadSizes.clear();
        FILE4SEQ_READ rd;
        file4seq_read_init(&rd, &f, r.start, buffer.data(), (unsigned)buffer.size());
        std::string got(9000, 0);
        ASSERT_EQ(0, file4seq_read_all(&rd, &got[0], 9000));
        EXPECT_EQ(bytes.substr(r.start, 9000), got);
        ASSERT_GE(preadSizes.size(), 2u);
        EXPECT_EQ(r.first, preadSizes[0]) << "start " << r.start;
        EXPECT_EQ(4096u, preadSizes[1]);
    }

    // A buffer above 65535 bytes is used up to 64512 bytes.
    std::vector<char> big(100000);
    FILE4SEQ_READ rd;
    file4seq_read_init(&rd, &f, 0, big.data(), (unsigned)big.size());
    EXPECT_EQ(64512u, rd.total);
    file4close(&f);
}

TEST_F(FileTest, ReaderEndsAtEndOfFileAndOnFailure)
{
    std::string name = path("s.dbf");
    testutil::writeFile(name, std::string(5000, 'z'));
    FILE4 f;
    ASSERT_EQ(0, file4open(&f, &c4, name.c_str(), 0));
    std::vector<char> buffer(2048), out(10000);
    FILE4SEQ_READ rd;
    file4seq_read_init(&rd, &f, 0, buffer.data(), 2048);
    EXPECT_EQ(5000u, file4seq_read(&rd, out.data(), 10000));
    EXPECT_EQ(0u, file4seq_read(&rd, out.data(), 10));
    EXPECT_EQ(0, slotCode());
    file4seq_read_init(&rd, &f, 4000, buffer.data(), 2048);
    EXPECT_EQ(e4read, file4seq_read_all(&rd, out.data(), 1001));

    // A file that stops answering mid-way ends the read, never loops.
    platformG.pread = [](int, void *, size_t, int64_t) -> int64_t { return 0; };
    file4seq_read_init(&rd, &f, 0, buffer.data(), 2048);
    EXPECT_EQ(0u, file4seq_read(&rd, out.data(), 100));
    platformG.pread = [](int, void *, size_t, int64_t) -> int64_t {
        errno = EIO;
        return -1;
    };
    e4clearErrorState();
    EXPECT_EQ(0u, file4seq_read(&rd, out.data(), 100));
    EXPECT_EQ(e4read, slotCode());
    file4close(&f);
}

TEST_F(FileTest, SequentialRoundTripWithRandomPieces)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    std::string name = path("rt.dbf");
    FILE4 f;
    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 0));
    for (unsigned bufLen : {0u, 700u, 1024u, 3000u, 70000u}) {
        long start = (long)(rng() % 3000);
        std::string data;
        std::vector<char> wbuf(bufLen + 1), rbuf(bufLen + 1);
        FILE4SEQ_WRITE wr;
        file4seq_write_init(&wr, &f, start, wbuf.data(), bufLen);
        while (data.size() < 50000) {
            std::string piece(rng() % 3000, 0);
            for (char &c : piece)
                c = (char)rng();
            ASSERT_EQ(0, file4seq_write(&wr, piece.data(), (unsigned)piece.size()));
            data += piece;
        }
        ASSERT_EQ(0, file4seq_write_flush(&wr));
        FILE4SEQ_READ rd;
        file4seq_read_init(&rd, &f, start, rbuf.data(), bufLen);
        std::string back;
        while (back.size() < data.size()) {
            std::string piece(std::min<size_t>(rng() % 5000, data.size() - back.size()), 0);
            ASSERT_EQ(0, file4seq_read_all(&rd, &piece[0], (unsigned)piece.size()));
            back += piece;
        }
        ASSERT_EQ(data, back) << "seed " << seed << " buffer " << bufLen;
    }
    file4close(&f);
}

TEST_F(FileTest, WriterFlushesOn1024BoundariesAndRepeatsIn512Blocks)
{
    std::string name = path("w.dbf");
    FILE4 f;
    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 0));
    platformG.pwrite = countingPwrite;

    FILE4SEQ_WRITE wr;
    file4seq_write_init(&wr, &f, 0, nullptr, 0);
    ASSERT_EQ(0, file4seq_write_repeat(&wr, 1300, ' '));
    EXPECT_EQ((std::vector<size_t>{512, 512, 276}), pwriteSizes);
    EXPECT_EQ(1300, wr.pos);

    pwriteSizes.clear();
    std::vector<char> buffer(4096);
    file4seq_write_init(&wr, &f, 1000, buffer.data(), 4096);
    ASSERT_EQ(0, file4seq_write_repeat(&wr, 10000, 'x'));
    ASSERT_EQ(0, file4seq_write_flush(&wr));
    EXPECT_EQ((std::vector<size_t>{3096, 4096, 2808}), pwriteSizes);
    file4close(&f);
    std::string got = testutil::readFile(name);
    EXPECT_EQ(std::string(1000, ' ') + std::string(10000, 'x'), got);
}

TEST_F(FileTest, WriterFailureSurfaces)
{
    std::string name = path("w.dbf");
    FILE4 f;
    ASSERT_EQ(0, file4create(&f, &c4, name.c_str(), 0));
    std::vector<char> buffer(1024);
    FILE4SEQ_WRITE wr;
    file4seq_write_init(&wr, &f, 0, buffer.data(), 1024);
    ASSERT_EQ(0, file4seq_write_repeat(&wr, 1000, 'a'));
    platformG.pwrite = [](int, const void *, size_t, int64_t) -> int64_t {
        errno = ENOSPC;
        return -1;
    };
    EXPECT_EQ(-1, file4seq_write_repeat(&wr, 1000, 'a'));
    EXPECT_EQ(e4write, slotCode());
    EXPECT_EQ(e4write, file4seq_write_flush(&wr));
    EXPECT_EQ(-1, file4seq_write_repeat(&wr, -1, 'a'));
    platformG.pwrite = platformDefaultCalls.pwrite;
    file4close(&f);
}

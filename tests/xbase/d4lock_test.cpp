// Tests of locking between processes: the exact lock bytes of both record
// schemes, contention on the append byte and on groups, two opens in one
// process, exclusive files, concurrent appends from two processes, and what
// the context's lock-wait hook hears while a lock is waited for.
#include "tests/xbase/d4test.h"

#include <chrono>
#include <memory>
#include <set>

#include "xbase/index/i4index.h"
#include "xbase/l4list.h"

using namespace d4test;
using testutil::readFile;
using testutil::writeFile;

namespace {

const long kRecordBase = D4_LOCK_RECORD_BASE;

DATA4 *smallTable(Engine &e, const std::string &name, int records)
{
    DATA4 *d = d4create(&e.c4, e.path(name).c_str(), smallFields(), nullptr);
    EXPECT_NE(nullptr, d);
    std::vector<std::string> rows;
    for (int i = 0; i < records; i++)
        rows.push_back("R" + std::to_string(i + 1));
    if (d != nullptr)
        appendNames(d, rows);
    return d;
}

double secondsSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

TEST(DataFileLocks, RecordBytesOfBothSchemes)
{
    Engine e;
    DATA4 *d = smallTable(e, "locks", 3);
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(0, d4unlock(d));
    std::string file = e.path("LOCKS.DBF");

    ASSERT_EQ(0, d4lock(d, 1));
    EXPECT_EQ(1, lockedElsewhere(file, kRecordBase + 129));
    EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 128));
    EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 130));
    ASSERT_EQ(0, d4lock(d, 2));
    EXPECT_EQ(1, lockedElsewhere(file, kRecordBase + 129 + 17));
    EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 129)) << "record 1 released";
    EXPECT_EQ(0, d4lock_test(d, 1));
    ASSERT_EQ(0, d4close(d));
    EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 129 + 17));

    // With the production index flag, records count down from the append byte.
    std::string b = readFile(file);
    b[28] = 1;
    writeFile(file, b);
    e.c4.auto_open = 0;
    d = d4open(&e.c4, file.c_str());
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(0, d4lock(d, 1));
    EXPECT_EQ(1, lockedElsewhere(file, D4_LOCK_APPEND - 1));
    ASSERT_EQ(0, d4lock(d, 2));
    EXPECT_EQ(1, lockedElsewhere(file, D4_LOCK_APPEND - 2));
    EXPECT_EQ(0, lockedElsewhere(file, D4_LOCK_APPEND - 1));
    EXPECT_EQ(0, lockedElsewhere(file, D4_LOCK_APPEND));

    // The file lock covers every record byte of both schemes and the append byte.
    ASSERT_EQ(0, d4lock_file(d));
    EXPECT_EQ(1, lockedElsewhere(file, D4_LOCK_FILE_START));
    EXPECT_EQ(1, lockedElsewhere(file, D4_LOCK_APPEND));
    EXPECT_EQ(0, lockedElsewhere(file, D4_LOCK_APPEND + 1));
    EXPECT_EQ(0, lockedElsewhere(file, D4_LOCK_FILE_START - 1));
    EXPECT_EQ(3, d4reccount(d));
    EXPECT_EQ(3, d->num_recs) << "cached under the file lock";
    ASSERT_EQ(0, d4unlock(d));
    EXPECT_EQ(-1, d->num_recs);
    EXPECT_EQ(0, lockedElsewhere(file, D4_LOCK_FILE_START, D4_LOCK_FILE_LEN));
}

TEST(DataFileLocks, HeldAppendByteRefusesAppend)
{
    Engine e;
    DATA4 *d = smallTable(e, "held", 2);
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(0, d4unlock(d));
    std::string before = readFile(e.path("HELD.DBF"));
    {
        LockChild child(e.path("HELD.DBF"), D4_LOCK_APPEND, 1);
        e.c4.lock_attempts = 1;
        EXPECT_EQ(r4locked, d4append_blank(d));
        EXPECT_EQ(0, d4lock_test_append(d));
        EXPECT_EQ(before, readFile(e.path("HELD.DBF")));
    }
    EXPECT_EQ(0, d4append_blank(d));
    EXPECT_EQ(3, d4reccount(d));
}

TEST(DataFileLocks, TwoOpensInOneProcessKeepTheirOwnLocks)
{
    Engine e;
    DATA4 *a = smallTable(e, "twice", 2);
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(0, d4unlock(a));
    DATA4 *b = d4open(&e.c4, e.path("twice").c_str());
    ASSERT_NE(nullptr, b);
    e.c4.lock_attempts = 1;
    ASSERT_EQ(0, d4lock(a, 1));
    EXPECT_EQ(r4locked, d4lock(b, 1)) << "the two opens exclude each other";
    EXPECT_EQ(0, d4lock(b, 2));
    ASSERT_EQ(0, d4close(b));
    EXPECT_EQ(1, lockedElsewhere(e.path("TWICE.DBF"), kRecordBase + 129))
        << "closing one open keeps the other's lock";
    EXPECT_EQ(0, lockedElsewhere(e.path("TWICE.DBF"), kRecordBase + 129 + 17));
}

TEST(DataFileLocks, GroupLockTriesAsOftenAsAllowedAndLeavesNothingHalfLocked)
{
    Engine e;
    DATA4 *d = smallTable(e, "group", 3);
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(0, d4unlock(d));
    std::string file = e.path("GROUP.DBF");
    const long recs[] = {1, 2, 3};
    {
        LockChild child(file, kRecordBase + 129 + 2 * 17, 1);
        struct Case {
            int attempts;
            double min_s, max_s;
        } cases[] = {{0, 0.0, 0.9}, {2, 1.0, 3.5}};
        for (const Case &c : cases) {
            SCOPED_TRACE(c.attempts);
            e.c4.lock_attempts = c.attempts;
            auto t = std::chrono::steady_clock::now();
            EXPECT_EQ(r4locked, d4lock_group(d, recs, 3));
            double s = secondsSince(t);
            EXPECT_GE(s, c.min_s);
            EXPECT_LE(s, c.max_s);
            EXPECT_EQ(c.attempts, e.c4.lock_attempts) << "restored";
            EXPECT_EQ(0, d->num_locked);
            EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 129));
            EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 129 + 17));
        }
    }
    ASSERT_EQ(0, d4lock_group(d, recs, 3));
    EXPECT_EQ(3, d->num_locked);
    for (long r : recs) {
        EXPECT_EQ(1, d4lock_test(d, r));
        EXPECT_EQ(1, lockedElsewhere(file, kRecordBase + 129 + (r - 1) * 17));
    }
    ASSERT_EQ(0, d4unlock_records(d));
    EXPECT_EQ(0, lockedElsewhere(file, D4_LOCK_FILE_START, D4_LOCK_FILE_LEN));
}

TEST(DataFileLocks, ExclusiveFilesTakeNoLockBytes)
{
    Engine e;
    DATA4 *d = smallTable(e, "excl", 2);
    ASSERT_NE(nullptr, d);
    d4close(d);
    std::string file = e.path("EXCL.DBF");
    LockChild child(file, D4_LOCK_APPEND, 1);
    e.c4.exclusive = 1;
    e.c4.lock_attempts = 1;
    d = d4open(&e.c4, file.c_str());
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(1, d4lock_test(d, 1));
    EXPECT_EQ(1, d4lock_test_append(d));
    EXPECT_EQ(1, d4lock_test_file(d));
    const long recs[] = {1, 2};
    EXPECT_EQ(0, d4lock(d, 1));
    EXPECT_EQ(0, d4lock_group(d, recs, 2));
    EXPECT_EQ(0, d4lock_file(d));
    EXPECT_EQ(0, d4append_blank(d)) << "the held append byte is not asked for";
    EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 129));
    EXPECT_EQ(0, lockedElsewhere(file, D4_LOCK_FILE_START, D4_LOCK_APPEND - D4_LOCK_FILE_START));
}

TEST(DataFileLocks, ConcurrentAppendsFromTwoProcessesKeepEveryRecord)
{
    Engine e;
    DATA4 *d = smallTable(e, "busy", 0);
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(0, d4close(d));
    const std::string file = e.path("BUSY.DBF");
    const int perChild = 300;
    std::vector<pid_t> kids;
    int start[2];
    ASSERT_EQ(0, pipe(start));
    for (int k = 0; k < 2; k++) {
        pid_t pid = fork();
        if (pid == 0) {
            // Both start together: the pipe ends when the parent closes it.
            close(start[1]);
            char c;
            if (read(start[0], &c, 1) != 0)
                _exit(2);
            CODE4 c4;
            d4init(&c4);
            DATA4 *t = d4open(&c4, file.c_str());
            int bad = t == nullptr;
            for (int i = 0; !bad && i < perChild; i++) {
                bad = d4append_start(t, 0) != 0;
                d4blank(t);
                std::string name = "P" + std::to_string(k) + "-" + std::to_string(i);
                f4assign(d4field(t, "NAME"), name.c_str());
                f4assign_long(d4field(t, "QTY"), i % 100);
                f4assign(d4field(t, "OK"), "T");
                bad = bad || d4append(t) != 0;
            }
            bad = bad || d4close(t) != 0;
            _exit(bad ? 1 : 0);
        }
        kids.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : kids) {
        int st = 0;
        ASSERT_EQ(pid, waitpid(pid, &st, 0));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }

    std::string b = readFile(file);
    ASSERT_EQ(600u, le32(b, 4));
    ASSERT_EQ(129u + 600 * 17 + 1, b.size());
    std::set<std::string> seen;
    for (int r = 0; r < 600; r++) {
        std::string rec = b.substr(129 + r * 17, 17);
        std::string name = rec.substr(1, 10);
        name.erase(name.find_last_not_of(' ') + 1);
        int k = name[1] - '0';
        int i = std::stoi(name.substr(3));
        char qty[8];
        snprintf(qty, sizeof qty, "%5.2f", double(i % 100));
        EXPECT_EQ(" " + (name + "          ").substr(0, 10) + qty + "T", rec) << r;
        EXPECT_TRUE(k == 0 || k == 1) << r;
        EXPECT_TRUE(seen.insert(name).second) << "twice: " << name;
    }
    EXPECT_EQ(600u, seen.size());
}

// A reader with read_lock on that stands at the end of file holds no lock
// on the record after the last one, which is the record every appender
// must lock: another process's appends go through at once.
TEST(DataFileLocks, ReaderAtEndOfFileDoesNotStallAppenders)
{
    struct Case {
        const char *what;
        int records;
        int (*standAtEnd)(DATA4 *);
    } cases[] = {
        {"top of an empty table", 0, [](DATA4 *d) { return d4top(d); }},
        {"go past the last record", 5, [](DATA4 *d) { return d4go(d, 6); }},
        {"skip past the last record",
         5, [](DATA4 *d) { return d4bottom(d) != 0 ? -1 : d4skip(d, 1); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Engine e;
        DATA4 *d = smallTable(e, "ends", c.records);
        ASSERT_NE(nullptr, d);
        ASSERT_EQ(0, d4unlock(d));
        e.c4.read_lock = 1;
        e.c4.go_error = 0;
        int rc = c.standAtEnd(d);
        EXPECT_TRUE(rc == r4eof || rc == r4entry) << rc;
        EXPECT_EQ(0, d->num_locked) << "no lock on a record that is not there";
        const std::string file = e.path("ENDS.DBF");
        EXPECT_EQ(0, lockedElsewhere(file, kRecordBase + 129 + c.records * 17));

        auto t = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            CODE4 c4;
            d4init(&c4);
            c4.lock_attempts = 3;
            DATA4 *t4 = d4open(&c4, file.c_str());
            int bad = t4 == nullptr;
            for (int i = 0; !bad && i < 100; i++) {
                bad = d4append_start(t4, 0) != 0;
                d4blank(t4);
                f4assign(d4field(t4, "NAME"), ("A" + std::to_string(i)).c_str());
                bad = bad || d4append(t4) != 0;
            }
            bad = bad || d4close(t4) != 0;
            _exit(bad ? 1 : 0);
        }
        ASSERT_GT(pid, 0);
        int st = 0;
        ASSERT_EQ(pid, waitpid(pid, &st, 0));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "an append was refused";
        EXPECT_LT(secondsSince(t), 1.5) << "no append waited for the reader";
        EXPECT_EQ(rc == r4eof ? 1 : 0, d4eof(d)) << "the reader stays where it stood";
        EXPECT_EQ(c.records + 100, d4reccount(d));
        ASSERT_EQ(0, d4close(d));
    }
}

namespace {

// What the lock-wait hook heard, and the holder it lets go at a given poll.
std::vector<int> gPolls;
std::string gWaitedOn;
std::unique_ptr<LockChild> gHolder;
int gReleaseAt = 0;

void recordWait(CODE4 *, const char *fileName, int polls)
{
    gPolls.push_back(polls);
    gWaitedOn = fileName;
    if (polls == gReleaseAt)
        gHolder.reset();
}

} // namespace

TEST(DataFileLocks, WaitHookHearsEveryPauseUntilTheHolderLetsGo)
{
    Engine e;
    DATA4 *d = smallTable(e, "waited", 3);
    ASSERT_NE(nullptr, d);
    const long recs[] = {1, 2, 3}, record2 = kRecordBase + 129 + 17;
    const struct {
        const char *what;
        long held;
        int attempts, releaseAt, lastPoll, result;
        int (*lock)(DATA4 *d, const long *recs);
    } cases[] = {
        {"append byte", D4_LOCK_APPEND, -1, 2, 2, 0,
         [](DATA4 *t, const long *) { return d4lock_append(t); }},
        {"whole file", record2, -1, 2, 2, 0,
         [](DATA4 *t, const long *) { return d4lock_file(t); }},
        {"group", record2, -1, 1, 1, 0,
         [](DATA4 *t, const long *r) { return d4lock_group(t, r, 3); }},
        {"one attempt", record2, 1, 0, 0, r4locked,
         [](DATA4 *t, const long *) { return d4lock(t, 2); }},
        {"free", D4_LOCK_FILE_START - 1, -1, 0, 0, 0,
         [](DATA4 *t, const long *) { return d4lock_append(t); }},
    };
    e.c4.lock_wait_hook = recordWait;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, d4unlock(d));
        gPolls.clear();
        gWaitedOn.clear();
        gHolder.reset(new LockChild(e.path("WAITED.DBF"), c.held, 1));
        gReleaseAt = c.releaseAt;
        e.c4.lock_attempts = c.attempts;
        EXPECT_EQ(c.result, c.lock(d, recs));
        std::vector<int> expected;
        for (int p = 1; p <= c.lastPoll; p++)
            expected.push_back(p);
        EXPECT_EQ(expected, gPolls);
        EXPECT_EQ(std::string(c.lastPoll > 0 ? d->file.name : ""), gWaitedOn);
        gHolder.reset();
    }
}

TEST(DataFileLocks, WaitHookNamesTheIndexFileWhoseLockIsHeld)
{
    Engine e;
    testutil::copyFile(testutil::dataDir() + "/samples/hb_nomemo.dbf", e.path("ixw.dbf"));
    testutil::copyFile(testutil::dataDir() + "/samples/hb_nomemo.cdx", e.path("ixw.cdx"));
    DATA4 *d = d4open(&e.c4, e.path("ixw.dbf").c_str());
    if (d == nullptr || d->indexes.n_link == 0)
        GTEST_SKIP() << "the production index does not open: " << lastError();
    const INDEX4 *i4 = (const INDEX4 *)l4first(&d->indexes);
    gPolls.clear();
    gHolder.reset(new LockChild(i4->file.name, I4_LOCK_BYTE, 1));
    gReleaseAt = 2;
    e.c4.lock_wait_hook = recordWait;
    EXPECT_EQ(0, d4lock_index(d));
    EXPECT_EQ((std::vector<int>{1, 2}), gPolls);
    EXPECT_EQ(std::string(i4->file.name), gWaitedOn);
}

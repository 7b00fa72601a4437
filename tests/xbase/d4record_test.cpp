// Tests of records: moving in record order, writing changes back, appending
// (also with memo texts), packing, and what injected platform failures
// leave behind.
#include "tests/xbase/d4test.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <random>
#include <set>

#include "platform/platform.h"
#include "xbase/memo4.h"

using namespace d4test;
using testutil::readFile;
using testutil::writeFile;

namespace {

const std::vector<std::string> kFive = {"ONE", "TWO", "THREE", "FOUR", "FIVE"};

DATA4 *tableWith(Engine &e, const std::string &name, const std::vector<std::string> &rows)
{
    DATA4 *d = d4create(&e.c4, e.path(name).c_str(), smallFields(), nullptr);
    EXPECT_NE(nullptr, d) << lastError();
    if (d != nullptr)
        appendNames(d, rows);
    return d;
}

// Live NAME values of a table's records 1 .. header count, read from disk.
std::multiset<std::string> liveNames(Engine &e, const std::string &file)
{
    std::multiset<std::string> names;
    std::string b = readFile(e.path(file));
    long count = long(le32(b, 4));
    unsigned hl = le16(b, 8), w = le16(b, 10);
    for (long r = 0; r < count && size_t(hl + (r + 1) * w) <= b.size(); r++) {
        std::string rec = b.substr(hl + r * w, w);
        if (rec[0] == ' ')
            names.insert(rec.substr(1, 10));
    }
    return names;
}

// Replaces one platform call for the life of the guard.
struct PlatformGuard {
    ~PlatformGuard() { platformG = platformDefaultCalls; }
};

int writesLeft = 0;
int64_t failingPwrite(int fd, const void *buf, size_t n, int64_t off)
{
    if (writesLeft-- <= 0) {
        errno = EIO;
        return -1;
    }
    return platformDefaultCalls.pwrite(fd, buf, n, off);
}

int failingTruncate(int, int64_t)
{
    errno = EIO;
    return -1;
}

} // namespace

TEST(RecordNavigation, SkipTopAndBottomInRecordOrder)
{
    struct Case {
        long from;  // 0: top, -1: end of file
        long n;
        int result;
        long rec;
        int bof, eof;
    } cases[] = {
        {2, -3, r4bof, 1, 1, 0}, {2, 10, r4eof, 6, 0, 1}, {2, 3, 0, 5, 0, 0},
        {5, 1, r4eof, 6, 0, 1},  {-1, -1, 0, 5, 0, 0},   {1, -1, r4bof, 1, 1, 0},
        {3, 0, 0, 3, 0, 0},
    };
    Engine e;
    DATA4 *d = tableWith(e, "nav", kFive);
    ASSERT_NE(nullptr, d);
    for (const Case &c : cases) {
        SCOPED_TRACE("from " + std::to_string(c.from) + " skip " + std::to_string(c.n));
        if (c.from == -1) {
            ASSERT_EQ(r4eof, d4go_eof(d));
        } else {
            ASSERT_EQ(0, d4go(d, c.from));
        }
        EXPECT_EQ(c.result, d4skip(d, c.n));
        EXPECT_EQ(c.rec, d4recno(d));
        EXPECT_EQ(c.bof, d4bof(d));
        EXPECT_EQ(c.eof, d4eof(d));
        if (c.rec <= 5) {
            EXPECT_EQ(kFive[c.rec - 1], nameOf(d));
        }
    }
    EXPECT_EQ(0, d4top(d));
    EXPECT_EQ("ONE", nameOf(d));
    EXPECT_EQ(0, d4bottom(d));
    EXPECT_EQ("FIVE", nameOf(d));
}

TEST(RecordNavigation, EmptyTableIsBothEnds)
{
    Engine e;
    DATA4 *d = tableWith(e, "empty", {});
    ASSERT_NE(nullptr, d);
    for (int (*move)(DATA4 *) : {d4top, d4bottom}) {
        EXPECT_EQ(r4eof, move(d));
        EXPECT_EQ(1, d4bof(d));
        EXPECT_EQ(1, d4eof(d));
        EXPECT_EQ(1, d4recno(d));
    }
    EXPECT_EQ(r4eof, d4skip(d, 1));
    EXPECT_EQ(r4bof, d4skip(d, -1));
}

TEST(RecordNavigation, MissingRecordsAndInvalidSkips)
{
    Engine e;
    DATA4 *d = tableWith(e, "miss", kFive);
    ASSERT_NE(nullptr, d);
    for (long rec : {0L, 6L, -3L}) {
        SCOPED_TRACE(rec);
        ASSERT_EQ(0, d4go(d, 2));
        e4clearErrorState();
        e.c4.go_error = 1;
        EXPECT_EQ(e4read, d4go(d, rec));
        EXPECT_EQ(e4read, lastErrorCode());
        EXPECT_EQ(-1, d4recno(d));
        EXPECT_EQ(std::string(17, ' '), std::string(d4record(d), 17));
        e4clearErrorState();
        e.c4.go_error = 0;
        EXPECT_EQ(r4entry, d4go(d, rec));
        EXPECT_EQ(0, lastErrorCode());
        EXPECT_EQ(-1, d4recno(d));
    }
    EXPECT_EQ(-1, d4skip(d, 1));
    EXPECT_EQ(e4info, lastErrorCode());
    e.c4.skip_error = 0;
    e4clearErrorState();
    EXPECT_EQ(-1, d4skip(d, 1));
    EXPECT_EQ(0, lastErrorCode());
}

// Record numbers far past anything a file can hold are refused with a
// report, and a skip by a huge count ends at the end of file, not wrapped
// to the front.
TEST(RecordNavigation, RecordNumbersPastTheFileRangeAreRefused)
{
    Engine e;
    DATA4 *d = tableWith(e, "far", kFive);
    ASSERT_NE(nullptr, d);
    e.c4.go_error = 0;
    const long last = (0x80000000L - 129) / 17;
    EXPECT_EQ(last, d4record_max(d));
    e4clearErrorState();
    EXPECT_EQ(r4entry, d4go(d, last)) << "the last number the offsets reach is only missing";
    EXPECT_EQ(0, lastErrorCode()) << lastError();
    for (long rec : {LONG_MAX, LONG_MAX / 17, last + 1}) {
        SCOPED_TRACE(rec);
        ASSERT_EQ(0, d4go(d, 1));
        e4clearErrorState();
        EXPECT_EQ(-1, d4go(d, rec));
        EXPECT_EQ(e4parm, lastErrorCode()) << lastError();
        EXPECT_EQ(1, d4recno(d)) << "a refused number does not move";
    }
    ASSERT_EQ(0, d4go(d, 2));
    EXPECT_EQ(r4eof, d4skip(d, LONG_MAX));
    EXPECT_EQ(6, d4recno(d));
    ASSERT_EQ(0, d4go(d, 2));
    EXPECT_EQ(r4bof, d4skip(d, LONG_MIN));
    EXPECT_EQ(1, d4recno(d));

    e.c4.read_lock = 1;
    e.c4.lock_attempts = 1;
    EXPECT_NE(0, d4go(d, LONG_MAX));
    EXPECT_EQ(0, d4go(d, 3));
    EXPECT_EQ("THREE", nameOf(d));
}

// In a file opened exclusively nothing stops at a lock byte: a number whose
// position wraps past 64 bits would land on record 1. Every operation on a
// record number refuses such numbers and writes nothing.
TEST(RecordNavigation, EveryRecordOperationRefusesNumbersPastTheOffsets)
{
    const long wraps = long(~0UL / 17 + 2);     // 17 * (wraps - 1) wraps to 16
    struct Op {
        const char *what;
        std::function<int(DATA4 *, long)> call;
    } ops[] = {
        {"go", [](DATA4 *d, long r) { return d4go(d, r); }},
        {"go_data", [](DATA4 *d, long r) { return d4go_data(d, r); }},
        {"read", [](DATA4 *d, long r) { return d4read(d, r, d4record(d)); }},
        {"read_old", [](DATA4 *d, long r) { return d4read_old(d, r); }},
        {"write", [](DATA4 *d, long r) { return d4write(d, r); }},
        {"write_keys", [](DATA4 *d, long r) { return d4write_keys(d, r); }},
        {"write_data", [](DATA4 *d, long r) { return d4write_data(d, r); }},
        {"lock", [](DATA4 *d, long r) { return d4lock(d, r); }},
        {"lock_group",
         [](DATA4 *d, long r) {
             const long recs[] = {1, r};
             return d4lock_group(d, recs, 2);
         }},
    };
    for (int exclusive : {1, 0}) {
        Engine e;
        DATA4 *d = tableWith(e, "wrap", kFive);
        ASSERT_NE(nullptr, d);
        ASSERT_EQ(0, d4close(d));
        e.c4.exclusive = exclusive;
        d = d4open(&e.c4, e.path("wrap").c_str());
        ASSERT_NE(nullptr, d);
        const std::string before = readFile(e.path("WRAP.DBF"));
        for (const Op &op : ops) {
            for (long rec : {d4record_max(d) + 1, wraps, LONG_MAX}) {
                SCOPED_TRACE(std::string(op.what) + " " + std::to_string(rec) +
                             (exclusive ? " exclusive" : " shared"));
                ASSERT_EQ(0, d4go(d, 2));
                f4assign(d4field(d, "NAME"), "STRAY");
                e4clearErrorState();
                EXPECT_EQ(-1, op.call(d, rec));
                EXPECT_EQ(e4parm, lastErrorCode()) << lastError();
                d4changed(d, 0);
            }
        }
        ASSERT_EQ(0, d4close(d));
        EXPECT_EQ(before, readFile(e.path("WRAP.DBF")));
    }
}

TEST(RecordUpdate, MovingWritesTheChangeFirst)
{
    Engine e;
    DATA4 *d = tableWith(e, "upd", kFive);
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(0, d4go(d, 3));
    f4assign(d4field(d, "NAME"), "CHANGED");
    d4delete(d);
    ASSERT_EQ(0, d4skip(d, 1));
    std::string b = readFile(e.path("UPD.DBF"));
    EXPECT_EQ("*CHANGED   ", b.substr(129 + 2 * 17, 11));

    // The flag only counts as a change when it changes.
    ASSERT_EQ(0, d4go(d, 3));
    EXPECT_EQ(0, d4changed(d, -1));
    d4delete(d);
    EXPECT_EQ(0, d4changed(d, -1));
    d4recall(d);
    EXPECT_EQ(1, d4changed(d, 0));
    EXPECT_EQ(0, d4changed(d, -1));
    ASSERT_EQ(0, d4go(d, 1));
    EXPECT_EQ('*', readFile(e.path("UPD.DBF"))[129 + 2 * 17]) << "dropped change not written";

    // A record that cannot be written stays pending.
    ASSERT_EQ(0, d4go(d, 4));
    f4assign(d4field(d, "NAME"), "LATER");
    {
        PlatformGuard g;
        writesLeft = 0;
        platformG.pwrite = failingPwrite;
        EXPECT_NE(0, d4go(d, 5));
    }
    EXPECT_EQ(1, d4changed(d, -1));
    EXPECT_EQ(0, d4go(d, 5));
    EXPECT_EQ(0, d4go(d, 4));
    EXPECT_EQ("LATER", nameOf(d));
}

TEST(RecordAppend, HeaderCountAndEndMarkFollowEachRecord)
{
    Engine e;
    DATA4 *d = tableWith(e, "app", {"A", "B"});
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(2, d4recno(d));
    EXPECT_EQ(0, d4eof(d));
    std::string b = readFile(e.path("APP.DBF"));
    ASSERT_EQ(129u + 2 * 17 + 1, b.size());
    EXPECT_EQ(2u, le32(b, 4));
    EXPECT_EQ(" A          1.00T", b.substr(129, 17));
    EXPECT_EQ('\x1a', b.back());
    EXPECT_EQ(1, d4lock_test(d, 2)) << "the new record stays locked";
    EXPECT_EQ(0, d4lock_test_append(d));

    ASSERT_EQ(0, d4append_blank(d));
    EXPECT_EQ(3, d4reccount(d));
    EXPECT_EQ(std::string(17, ' '), readFile(e.path("APP.DBF")).substr(129 + 2 * 17, 17));
}

TEST(RecordAppend, RefusesWhatItCannotPlaceAndWritesNothing)
{
    struct Case {
        const char *what;
        uint32_t count;
    } cases[] = {
        {"record beyond the lock range", 100000000u},
        {"count that cannot be read", 0x80000000u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Engine e;
        DATA4 *d = tableWith(e, "full", {"A"});
        ASSERT_NE(nullptr, d);
        d4close(d);
        std::string b = readFile(e.path("FULL.DBF"));
        putLe32(b, 4, c.count);
        writeFile(e.path("FULL.DBF"), b);
        d = d4open(&e.c4, e.path("full").c_str());
        ASSERT_NE(nullptr, d);
        EXPECT_LT(d4append_blank(d), 0);
        EXPECT_EQ(0, d4lock_test_append(d)) << "append byte released";
        d4close(d);
        EXPECT_EQ(b, readFile(e.path("FULL.DBF")));
    }
}

TEST(RecordAppend, FailedWriteLeavesFileAsItWas)
{
    for (int good_writes : {0, 1}) {
        SCOPED_TRACE(good_writes);
        Engine e;
        DATA4 *d = tableWith(e, "fail", {"A", "B"});
        ASSERT_NE(nullptr, d);
        std::string before = readFile(e.path("FAIL.DBF"));
        int rc;
        {
            PlatformGuard g;
            writesLeft = good_writes;   // 1: the record lands, its count does not
            platformG.pwrite = failingPwrite;
            rc = d4append_blank(d);
        }
        EXPECT_LT(rc, 0);
        EXPECT_EQ(e4write, lastErrorCode());
        std::string after = readFile(e.path("FAIL.DBF"));
        EXPECT_EQ(2u, le32(after, 4));
        EXPECT_EQ(before.substr(0, 129 + 2 * 17), after.substr(0, 129 + 2 * 17));
        ASSERT_EQ(0, d4append_blank(d)) << "the next append takes the same place";
        EXPECT_EQ(3, d4recno(d));
        EXPECT_EQ(129u + 3 * 17 + 1, readFile(e.path("FAIL.DBF")).size());
    }
}

TEST(RecordAppend, MemoTextsBecomeNewEntries)
{
    Engine e;
    const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"NOTES", 'M', 10, 0}, {nullptr, 0, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("memo").c_str(), fields, nullptr);
    ASSERT_NE(nullptr, d);
    FIELD4 *notes = d4field(d, "NOTES");
    ASSERT_EQ(0, d4append_start(d, 0));
    d4blank(d);
    f4assign(d4field(d, "NAME"), "FIRST");
    ASSERT_EQ(0, f4memo_assign(notes, "a memo text"));
    ASSERT_EQ(0, d4append(d));
    ASSERT_EQ(0, d4append_start(d, 0));
    d4blank(d);
    ASSERT_EQ(0, d4append(d));
    // A copy of record 1 takes its memo text into a new entry of its own.
    ASSERT_EQ(0, d4go(d, 1));
    ASSERT_EQ(0, d4append_start(d, 1));
    ASSERT_EQ(0, d4append(d));
    ASSERT_EQ(0, d4close(d));

    d = d4open(&e.c4, e.path("memo").c_str());
    ASSERT_NE(nullptr, d);
    notes = d4field(d, "NOTES");
    ASSERT_EQ(0, d4go(d, 1));
    EXPECT_STREQ("a memo text", f4memo_str(notes));
    long first = f4long(notes);
    EXPECT_GT(first, 0);
    ASSERT_EQ(0, d4go(d, 2));
    EXPECT_EQ(std::string(10, ' '), std::string(f4ptr(notes), 10));
    EXPECT_EQ(0u, f4memo_len(notes));
    ASSERT_EQ(0, d4go(d, 3));
    EXPECT_EQ("FIRST", nameOf(d));
    EXPECT_STREQ("a memo text", f4memo_str(notes));
    EXPECT_NE(first, f4long(notes));
}

TEST(RecordPack, KeepsLiveRecordsInOrderAndCutsTheFile)
{
    Engine e;
    DATA4 *d = tableWith(e, "pack", kFive);
    ASSERT_NE(nullptr, d);
    for (long r : {2L, 4L}) {
        ASSERT_EQ(0, d4go(d, r));
        d4delete(d);
    }
    // An open that failed with open_error off leaves its soft code behind;
    // it does not keep the pack from cutting the file.
    e.c4.open_error = 0;
    EXPECT_EQ(nullptr, d4open(&e.c4, e.path("missing").c_str()));
    ASSERT_EQ(r4no_open, e.c4.error_code);
    ASSERT_EQ(0, d4pack(d));
    EXPECT_EQ(-1, d4recno(d));
    EXPECT_EQ(0, d4eof(d));
    std::string b = readFile(e.path("PACK.DBF"));
    EXPECT_EQ(3u, le32(b, 4));
    EXPECT_EQ(129u + 3 * 17 + 1, b.size());
    EXPECT_EQ('\x1a', b.back());
    std::vector<std::string> names;
    ASSERT_EQ(0, d4top(d));
    for (; !d4eof(d); d4skip(d, 1))
        names.push_back(nameOf(d));
    EXPECT_EQ((std::vector<std::string>{"ONE", "THREE", "FIVE"}), names);

    for (long r = 1; r <= 3; r++) {
        ASSERT_EQ(0, d4go(d, r));
        d4delete(d);
    }
    ASSERT_EQ(0, d4pack(d));
    EXPECT_EQ(1, d4eof(d));
    EXPECT_EQ(1, d4bof(d));
    EXPECT_EQ(130, testutil::fileSize(e.path("PACK.DBF")));
}

TEST(RecordPack, AnyBufferSizeKeepsEveryLiveRecord)
{
    unsigned seed = testutil::testSeed();
    for (unsigned buffer : {0u, 1000u, 1024u, 2500u, 16384u, 65535u, 65536u, 200000u}) {
        SCOPED_TRACE("mem_size_buffer " + std::to_string(buffer));
        Engine e;
        e.c4.mem_size_buffer = buffer;
        std::vector<std::string> rows;
        for (int i = 0; i < 700; i++)
            rows.push_back("R" + std::to_string(i));
        DATA4 *d = tableWith(e, "big", rows);
        ASSERT_NE(nullptr, d);
        std::mt19937 rng(seed + buffer);
        std::vector<std::string> live;
        for (long r = 1; r <= 700; r++) {
            if (rng() % 3 == 0) {
                ASSERT_EQ(0, d4go(d, r));
                d4delete(d);
            } else {
                live.push_back(rows[r - 1]);
            }
        }
        ASSERT_EQ(0, d4pack(d));
        std::vector<std::string> got;
        ASSERT_EQ(0, d4top(d));
        for (; !d4eof(d); d4skip(d, 1))
            got.push_back(nameOf(d));
        EXPECT_EQ(live, got);
        EXPECT_EQ(long(129 + live.size() * 17 + 1), testutil::fileSize(e.path("BIG.DBF")));
    }
}

TEST(RecordPack, WrongCountOrTruncatedFileLosesNoRecord)
{
    struct Case {
        const char *what;
        uint32_t count;
        size_t cut;     // bytes removed from the end
        std::vector<std::string> kept;
    } cases[] = {
        {"count below the records", 2, 0, {"ONE", "THREE", "FIVE"}},
        {"count above the records", 9, 0, {"ONE", "THREE", "FIVE"}},
        {"last record cut short", 5, 10, {"ONE", "THREE"}},
        {"end mark missing", 5, 1, {"ONE", "THREE", "FIVE"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Engine e;
        DATA4 *d = tableWith(e, "odd", kFive);
        ASSERT_NE(nullptr, d);
        for (long r : {2L, 4L}) {
            ASSERT_EQ(0, d4go(d, r));
            d4delete(d);
        }
        d4close(d);
        std::string b = readFile(e.path("ODD.DBF"));
        putLe32(b, 4, c.count);
        writeFile(e.path("ODD.DBF"), b.substr(0, b.size() - c.cut));
        d = d4open(&e.c4, e.path("odd").c_str());
        ASSERT_NE(nullptr, d);
        ASSERT_EQ(0, d4pack(d));
        d4close(d);
        auto names = liveNames(e, "ODD.DBF");
        std::multiset<std::string> want;
        for (const std::string &n : c.kept)
            want.insert((n + "          ").substr(0, 10));
        EXPECT_EQ(want, names);
        EXPECT_EQ(129 + long(c.kept.size()) * 17 + 1, testutil::fileSize(e.path("ODD.DBF")));
    }
}

TEST(RecordPack, PlatformFailuresLoseNoRecordAndAreReported)
{
    struct Case {
        const char *what;
        int good_writes;
        bool fail_truncate;
    } cases[] = {
        {"first write fails", 0, false},
        {"a later write fails", 3, false},
        {"cutting the file fails", 1000000, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Engine e;
        e.c4.mem_size_buffer = 1024;    // many small transfers
        std::vector<std::string> rows;
        for (int i = 0; i < 300; i++)
            rows.push_back("N" + std::to_string(i));
        DATA4 *d = tableWith(e, "fragile", rows);
        ASSERT_NE(nullptr, d);
        for (long r = 1; r <= 300; r += 2) {
            ASSERT_EQ(0, d4go(d, r));
            d4delete(d);
        }
        ASSERT_EQ(0, d4go(d, 2));
        auto live = liveNames(e, "FRAGILE.DBF");
        std::string before = readFile(e.path("FRAGILE.DBF"));
        int rc;
        {
            PlatformGuard g;
            writesLeft = c.good_writes;
            platformG.pwrite = failingPwrite;
            if (c.fail_truncate)
                platformG.ftruncate = failingTruncate;
            rc = d4pack(d);
        }
        EXPECT_LT(rc, 0);
        EXPECT_NE(0, lastErrorCode());
        d4close(d);
        if (c.good_writes == 0) {
            EXPECT_EQ(before, readFile(e.path("FRAGILE.DBF")));
        }
        // Every live record is still counted; none lost, none invented.
        auto after = liveNames(e, "FRAGILE.DBF");
        for (const std::string &n : live)
            EXPECT_EQ(1u, after.count(n) >= 1 ? 1u : 0u) << "lost " << n;
        for (const std::string &n : after)
            EXPECT_EQ(1u, live.count(n)) << "invented " << n;
    }
}

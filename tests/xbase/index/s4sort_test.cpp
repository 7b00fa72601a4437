// The sort: every entry back in (key, record number) order whether it stayed
// in memory or went through many runs, slots never beyond the pointer
// array, memory shortage, and work files that cannot be written or read.
#include "xbase/index/s4sort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/testutil.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/mem4.h"

namespace {

int64_t fakeMs = 0;
int64_t fakeTime() { return fakeMs / 1000; }
void fakeSleep(int ms) { fakeMs += ms; }
int64_t failingPwrite(int, const void *, size_t, int64_t)
{
    errno = ENOSPC;
    return -1;
}
int64_t failingPread(int, void *, size_t, int64_t)
{
    errno = EIO;
    return -1;
}

struct Entry {
    std::string key;
    int32_t rec;
    std::string info;
};

// Keys compared in reverse, to drive the sort through a caller's function.
int reverseCmp(const void *a, const void *b, size_t len) { return std::memcmp(b, a, len); }

struct SortTest : testing::Test {
    testutil::TempDir dir;
    testutil::ScopedCwd cwd{dir.path};
    CODE4 c4;
    SORT4 s4;
    void SetUp() override
    {
        d4init(&c4);
        e4clearErrorState();
        std::memset(&s4, 0, sizeof s4);
        s4.file.hand = -1;
        // A taken work-file name waits for a new second: a fake clock keeps
        // that short.
        platformG.time = fakeTime;
        platformG.sleepMs = fakeSleep;
    }
    void TearDown() override
    {
        sort4free(&s4);
        platformG = platformDefaultCalls;
        u4alloc_fail_after(-1);
        d4init_undo(&c4);
    }
    int workFiles()
    {
        int n = 0;
        for (auto &e : std::filesystem::directory_iterator(dir.path))
            n += e.path().filename().string().rfind("TEMP", 0) == 0;
        return n;
    }
    int put(const Entry &e) { return sort4put(&s4, e.rec, e.key.data(), e.info.data()); }
    // Drains the sort; the result that ended the drain.
    int drain(std::vector<Entry> &out, unsigned sortLen, unsigned infoLen)
    {
        long rec;
        char *key, *info;
        int rc;
        while ((rc = sort4get(&s4, &rec, &key, &info)) == 0)
            out.push_back({std::string(key, sortLen), (int32_t)rec, std::string(info, infoLen)});
        return rc;
    }
    std::string slot()
    {
        char buf[E4_ERROR_BUFFER_LEN];
        e4getErrorInfo(nullptr, buf, sizeof buf);
        return buf;
    }
};

// `n` entries with keys drawn from `distinct` keys and distinct record
// numbers, some negative. The keys differ from one random key in one byte
// each (any value, any position), so every byte decides some comparisons.
std::vector<Entry> makeEntries(std::mt19937 &rng, unsigned n, unsigned keyLen, unsigned infoLen,
                               unsigned distinct)
{
    std::string base;
    for (unsigned i = 0; i < keyLen; i++)
        base += (char)(rng() & 0xFF);
    std::vector<std::string> keys(distinct, base);
    for (auto &k : keys)
        if (keyLen > 0)
            k[rng() % keyLen] = (char)(rng() & 0xFF);
    std::vector<int32_t> recs(n);
    std::iota(recs.begin(), recs.end(), -(int32_t)n / 4);
    std::shuffle(recs.begin(), recs.end(), rng);
    std::vector<Entry> v;
    for (unsigned i = 0; i < n; i++) {
        std::string info;
        for (unsigned j = 0; j < infoLen; j++)
            info += (char)(rng() & 0xFF);
        v.push_back({keys[rng() % distinct], recs[i], info});
    }
    return v;
}

bool sameEntries(const std::vector<Entry> &a, const std::vector<Entry> &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto &x, auto &y) {
               return x.key == y.key && x.rec == y.rec && x.info == y.info;
           });
}

} // namespace

TEST_F(SortTest, ReturnsKeyThenRecordOrderForAnyNumberOfRuns)
{
    std::mt19937 rng(testutil::testSeed());
    struct Case {
        unsigned pool, buffer, n, keyLen, infoLen, distinct, minRuns, maxRuns;
        S4CMP cmp;
    } cases[] = {
        {61440, 4096, 3000, 15, 0, 40, 0, 0, nullptr},    // all in memory
        {1024, 4096, 257, 15, 0, 5, 2, 2, nullptr},       // the smallest spill
        {1024, 4096, 1500, 3, 2, 9, 6, 6, nullptr},
        {1024, 1500, 1400, 6, 0, 30, 5, 6, nullptr},
        {1024, 0, 1300, 8, 1, 3, 5, 6, nullptr},          // unbuffered writes
        {2048, 4096, 6000, 20, 0, 60, 10, 12, reverseCmp},
        {1024, 4096, 300, 0, 4, 1, 2, 2, nullptr},        // record numbers alone
        {1024, 4096, 30000, 15, 0, 50, 101, 120, nullptr},
        {256, 4096, 5000, 15, 0, 20, 79, 79, nullptr},    // more runs than unit entries
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "pool " << c.pool << " n " << c.n << " key "
                                        << c.keyLen);
        c4.mem_size_sort_pool = c.pool;
        c4.mem_size_sort_buffer = c.buffer;
        std::vector<Entry> in = makeEntries(rng, c.n, c.keyLen, c.infoLen, c.distinct);
        ASSERT_EQ(0, sort4init(&s4, &c4, (int)c.keyLen, (int)c.infoLen));
        if (c.cmp != nullptr)
            s4.cmp = c.cmp;
        for (const Entry &e : in)
            ASSERT_EQ(0, put(e));
        ASSERT_EQ(0, sort4get_init(&s4));
        EXPECT_GE(s4.spools_max, c.minRuns);
        EXPECT_LE(s4.spools_max, c.maxRuns);
        EXPECT_EQ(c.minRuns > 0, workFiles() == 1);
        std::vector<Entry> out;
        EXPECT_EQ(1, drain(out, c.keyLen, c.infoLen));
        EXPECT_EQ(0, workFiles()) << "the finished sort removes its work file";
        std::sort(in.begin(), in.end(), [&](const Entry &a, const Entry &b) {
            int k = (c.cmp ? c.cmp : std::memcmp)(a.key.data(), b.key.data(), c.keyLen);
            return k != 0 ? k < 0 : a.rec < b.rec;
        });
        EXPECT_TRUE(sameEntries(in, out)) << out.size() << " of " << in.size() << " entries";
        EXPECT_EQ(1, sort4get(&s4, nullptr, nullptr, nullptr)) << "a finished sort stays finished";
    }
}

TEST_F(SortTest, RunsHeldInMemoryComeBackInOrderAndGoToTheWorkFileWhenMemoryRunsShort)
{
    std::mt19937 rng(testutil::testSeed());
    enum { SHUFFLED, SORTED, REVERSED, SORTED_KEYS_SHUFFLED_RECORDS };
    struct Case {
        unsigned n, keyLen, infoLen, distinct;
        int order;
        long failAfter;  // allocations until memory runs short; -1 never
        unsigned expect; // entries announced (sort4expect); 0 none
        bool inPlace;    // whether they are then kept in one array
    } cases[] = {
        {40000, 15, 0, 5000, SHUFFLED, -1, 0, false},
        {40000, 15, 0, 5000, SORTED, -1, 0, false},
        {40000, 15, 0, 5000, REVERSED, -1, 0, false},
        {40000, 6, 2, 1, SHUFFLED, -1, 0, false},              // every key equal
        {40000, 48, 0, 30, SORTED_KEYS_SHUFFLED_RECORDS, -1, 0, false},
        {15360, 15, 0, 700, SHUFFLED, -1, 0, false},           // exactly one full run
        {50000, 15, 0, 5000, SHUFFLED, 14, 0, false},          // a later run cannot be held
        {50000, 20, 0, 40, SORTED, 6, 0, false},
        // Entries sorted where they stand, by every slot size.
        {40000, 15, 0, 5000, SHUFFLED, -1, 40000, true},
        {40000, 22, 0, 300, REVERSED, -1, 50000, true},
        {40000, 6, 2, 1, SHUFFLED, -1, 40000, true},
        {40000, 28, 3, 40, SORTED_KEYS_SHUFFLED_RECORDS, -1, 40000, true},
        {30000, 36, 0, 3000, SHUFFLED, -1, 30000, true},
        {40000, 37, 0, 30, SHUFFLED, -1, 40000, false},        // too long to move whole
        {40000, 15, 0, 5000, SHUFFLED, -1, 25000, true},       // more than announced
        {50000, 15, 0, 5000, SHUFFLED, 0, 50000, false},       // no memory for the array
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "n " << c.n << " key " << c.keyLen << " order " << c.order
                                        << " fail after " << c.failAfter);
        std::vector<Entry> in = makeEntries(rng, c.n, c.keyLen, c.infoLen, c.distinct);
        auto before = [](const Entry &a, const Entry &b) {
            int k = std::memcmp(a.key.data(), b.key.data(), a.key.size());
            return k != 0 ? k < 0 : a.rec < b.rec;
        };
        std::vector<Entry> want = in;
        std::sort(want.begin(), want.end(), before);
        if (c.order == SORTED)
            in = want;
        if (c.order == REVERSED)
            in.assign(want.rbegin(), want.rend());
        if (c.order == SORTED_KEYS_SHUFFLED_RECORDS) {
            std::vector<int32_t> recs;
            for (const Entry &e : in)
                recs.push_back(e.rec);
            in = want;
            for (size_t i = 0; i < in.size(); i++)
                in[i].rec = recs[i];
            want = in;
            std::sort(want.begin(), want.end(), before);
        }
        ASSERT_EQ(0, sort4init(&s4, &c4, (int)c.keyLen, (int)c.infoLen));
        u4alloc_fail_after(c.failAfter);
        if (c.expect > 0)
            sort4expect(&s4, c.expect);
        EXPECT_EQ(c.inPlace, s4.flat != nullptr);
        for (const Entry &e : in)
            ASSERT_EQ(0, put(e));
        u4alloc_fail_after(-1);
        // A run closes when an entry finds every slot taken.
        unsigned runs = c.n > s4.pointers_max ? (c.n + s4.pointers_max - 1) / s4.pointers_max : 0;
        if (s4.flat != nullptr)
            runs = 0;
        ASSERT_EQ(0, sort4get_init(&s4));
        if (c.failAfter < 0)
            EXPECT_EQ(runs, s4.spools_max) << "held runs count as runs";
        else
            EXPECT_GE(s4.spools_max, runs);
        EXPECT_EQ(c.failAfter >= 0, workFiles() == 1) << "the work file only when memory ran short";
        std::vector<Entry> out;
        EXPECT_EQ(1, drain(out, c.keyLen, c.infoLen));
        EXPECT_TRUE(sameEntries(want, out)) << out.size() << " of " << want.size() << " entries";
    }
}

TEST_F(SortTest, SlotsWithoutRoomForTheirKeyBytesBesideThemSortAsTheyStand)
{
    std::mt19937 rng(testutil::testSeed());
    struct Case {
        unsigned pool, n, keyLen;
    } cases[] = {{61440, 2000, 3}, {1024, 2000, 8}, {1024, 3000, 15}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keyLen);
        c4.mem_size_sort_pool = c.pool;
        std::vector<Entry> in = makeEntries(rng, c.n, c.keyLen, 0, 25);
        ASSERT_EQ(0, sort4init(&s4, &c4, (int)c.keyLen, 0));
        ASSERT_NE(nullptr, s4.keyed);
        u4free(s4.keyed);
        s4.keyed = nullptr;
        for (const Entry &e : in)
            ASSERT_EQ(0, put(e));
        ASSERT_EQ(0, sort4get_init(&s4));
        std::vector<Entry> out;
        EXPECT_EQ(1, drain(out, c.keyLen, 0));
        std::sort(in.begin(), in.end(), [](const Entry &a, const Entry &b) {
            return a.key != b.key ? a.key < b.key : a.rec < b.rec;
        });
        EXPECT_TRUE(sameEntries(in, out));
    }
}

TEST_F(SortTest, NewUnitsNeverGiveMoreSlotsThanThePointerArrayHolds)
{
    // Units whose entry count does not divide the pointer array's size.
    struct Case {
        unsigned pool;
        int keyLen, infoLen;
    } cases[] = {{1024, 15, 0}, {1024, 10, 3}, {4000, 37, 0}, {61440, 15, 0}};
    std::mt19937 rng(7);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pool);
        c4.mem_size_sort_pool = c.pool;
        ASSERT_EQ(0, sort4init(&s4, &c4, c.keyLen, c.infoLen));
        unsigned cap = s4.pointers_max;
        ASSERT_NE(0u, cap % s4.pool_entries);
        std::vector<Entry> in = makeEntries(rng, cap + 1, c.keyLen, c.infoLen, 4);
        for (unsigned i = 0; i < cap; i++) {
            ASSERT_EQ(0, put(in[i]));
            ASSERT_LE(s4.pointers_init, cap);
        }
        EXPECT_EQ(cap, s4.pointers_init);
        EXPECT_EQ((cap + s4.pool_entries - 1) / s4.pool_entries, s4.pool_n);
        ASSERT_EQ(0, put(in[cap]));
        EXPECT_EQ(1u, s4.spools_max);
        EXPECT_EQ((long)cap * (long)s4.tot_len, s4.spool_disk_len) << "a full run is the array";
        sort4free(&s4);
    }
}

TEST_F(SortTest, MemoryShortageUsesThePointerArrayOrFailsCleanly)
{
    std::mt19937 rng(11);
    c4.mem_size_sort_pool = 1024;
    std::vector<Entry> in = makeEntries(rng, 2000, 15, 0, 20);
    // No unit at all: entries live in the pointer array's tail; the merge
    // then gets a unit again.
    ASSERT_EQ(0, sort4init(&s4, &c4, 15, 0));
    u4alloc_fail_after(0);
    for (const Entry &e : in)
        ASSERT_EQ(0, put(e));
    EXPECT_EQ(0, s4.pool_n);
    EXPECT_LT(s4.pointers_max, 256u);
    u4alloc_fail_after(-1);
    ASSERT_EQ(0, sort4get_init(&s4));
    std::vector<Entry> out;
    EXPECT_EQ(1, drain(out, 15, 0));
    EXPECT_EQ(in.size(), out.size());
    EXPECT_TRUE(std::is_sorted(out.begin(), out.end(), [](auto &a, auto &b) {
        return a.key != b.key ? a.key < b.key : a.rec < b.rec;
    }));

    // An entry larger than the array's tail, and no memory for the merge.
    ASSERT_EQ(0, sort4init(&s4, &c4, 3000, 0));
    u4alloc_fail_after(0);
    EXPECT_EQ(e4memory, sort4put(&s4, 1, std::string(3000, 'k').data(), nullptr));
    EXPECT_EQ("Xbase -920: Out of Memory Sorting ", slot());
    u4alloc_fail_after(-1);
    ASSERT_EQ(0, sort4init(&s4, &c4, 15, 0));
    for (const Entry &e : in)
        ASSERT_EQ(0, put(e));
    u4alloc_fail_after(0);
    EXPECT_EQ(e4memory, sort4get_init(&s4));
    EXPECT_EQ(e4memory, sort4get(&s4, nullptr, nullptr, nullptr)) << "nothing handed out";
    EXPECT_EQ(0, workFiles());
}

TEST_F(SortTest, WorkFileFailuresAreErrorsNeverAShorterResult)
{
    std::mt19937 rng(5);
    c4.mem_size_sort_pool = 1024;
    enum { WRITE, READ, TRUNCATE_AT_ENTRY, TRUNCATE_MID_ENTRY, EMPTY };
    struct Case {
        int how;
        unsigned n;
        int keyLen;
    } cases[] = {
        {WRITE, 2000, 15},  // the writer fails while entries are still put
        {WRITE, 300, 4},    // everything fits the buffer: only the last flush fails
        {READ, 2000, 15},
        {TRUNCATE_AT_ENTRY, 2000, 15},
        {TRUNCATE_MID_ENTRY, 2000, 15},
        {EMPTY, 2000, 15},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        std::vector<Entry> in = makeEntries(rng, c.n, c.keyLen, 0, 30);
        ASSERT_EQ(0, sort4init(&s4, &c4, c.keyLen, 0));
        if (c.how == WRITE)
            platformG.pwrite = failingPwrite;
        int rc = 0;
        for (size_t i = 0; i < in.size() && rc == 0; i++)
            rc = put(in[i]);
        if (rc == 0)
            rc = sort4get_init(&s4);
        std::vector<Entry> out;
        if (c.how != WRITE) {
            ASSERT_EQ(0, rc);
            std::string name = s4.file_name_buf;
            long len = (long)c.n * s4.tot_len;
            long cut[] = {0, 0, 0, len - 5 * s4.tot_len, len - 7, 0};
            if (c.how == READ)
                platformG.pread = failingPread;
            else
                std::filesystem::resize_file(dir.file(name), (uintmax_t)cut[c.how]);
            rc = drain(out, c.keyLen, 0);
            EXPECT_EQ("Xbase -70: Reading File File Name: " + name + " ", slot());
        }
        EXPECT_LT(rc, 0);
        EXPECT_LT(out.size(), in.size());
        EXPECT_EQ(rc, sort4get(&s4, nullptr, nullptr, nullptr)) << "the failure stays";
        EXPECT_EQ(0, workFiles());
        platformG.pwrite = platformDefaultCalls.pwrite;
        platformG.pread = platformDefaultCalls.pread;
        sort4free(&s4);
    }
}

TEST_F(SortTest, CallsOutOfOrderAreRefused)
{
    char key[4] = "abc";
    c4.error_code = e4memory;
    EXPECT_EQ(-1, sort4init(&s4, &c4, 3, 0)) << "a pending error refuses";
    c4.error_code = 0;
    EXPECT_EQ(e4parm, sort4init(&s4, &c4, -1, 0));
    ASSERT_EQ(0, sort4init(&s4, &c4, 3, 0));
    EXPECT_EQ(e4parm, sort4get(&s4, nullptr, nullptr, nullptr)) << "no reading before get_init";
    ASSERT_EQ(0, sort4get_init(&s4));
    EXPECT_EQ(e4parm, sort4put(&s4, 1, key, nullptr));
    EXPECT_EQ(1, sort4get(&s4, nullptr, nullptr, nullptr)) << "an empty sort";
}

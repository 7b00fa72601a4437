// Memory pools: sharing by unit size, chunk growth, reuse of freed units,
// exhaustion stored as the pending error, and the unit alignment.
#include "xbase/mem4.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "xbase/e4error.h"

namespace {

// Ends injected heap failures whatever the test's outcome.
struct HeapGuard {
    ~HeapGuard() { u4alloc_fail_after(-1); }
};

// Unit sizes unlikely to be shared with pools other tests leave behind.
const unsigned kOddSize = 1000 + 24;

} // namespace

TEST(MemoryPool, SameUnitSizeSharesOnePoolWithTheLargerCounts)
{
    MEM4 *a = mem4type(3, kOddSize, 2, 0);
    MEM4 *b = mem4type(7, kOddSize, 1, 0);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, b);
    EXPECT_EQ(2, a->n_repeat);
    EXPECT_EQ(7, a->unit_start);
    EXPECT_EQ(2, a->unit_expand);
    MEM4 *priv = mem4type(3, kOddSize, 2, 1);
    EXPECT_NE(a, priv) << "a private pool is never shared";
    EXPECT_EQ(-1, priv->n_repeat);

    // The first chunk holds the larger start count.
    std::vector<void *> units;
    for (int i = 0; i < 7; i++)
        units.push_back(mem4alloc(a));
    EXPECT_EQ(1, a->chunks.n_link);
    for (void *u : units)
        mem4free(a, u);
    mem4release(priv);
    mem4release(b);
    mem4release(a);
}

TEST(MemoryPool, FirstChunkOnFirstRequestSecondOnSixth)
{
    MEM4 *m = mem4type(5, kOddSize + 16, 5, 1);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(0, m->chunks.n_link);
    std::set<void *> seen;
    for (int i = 1; i <= 10; i++) {
        void *u = mem4alloc(m);
        ASSERT_NE(nullptr, u);
        EXPECT_TRUE(seen.insert(u).second) << "unit handed out twice";
        EXPECT_EQ(i <= 5 ? 1 : 2, m->chunks.n_link) << "request " << i;
    }
    mem4release(m);
}

TEST(MemoryPool, LastFreedUnitIsReusedFirstAndZeroed)
{
    MEM4 *m = mem4type(4, 40, 4, 1);
    char *u1 = static_cast<char *>(mem4alloc(m));
    char *u2 = static_cast<char *>(mem4alloc(m));
    ASSERT_TRUE(u1 && u2);
    std::memset(u1, 0x5A, 40);
    std::memset(u2, 0x5A, 40);
    mem4free(m, u2);
    mem4free(m, u1);
    char *again = static_cast<char *>(mem4alloc(m));
    EXPECT_EQ(u1, again);
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(0, again[i]) << "byte " << i;
    EXPECT_EQ(u2, mem4alloc(m));
    mem4free(m, nullptr);
    mem4free(nullptr, u1);
    mem4release(m);
}

TEST(MemoryPool, UnitsHoldALinkAndAreAligned)
{
    MEM4 *m = mem4type(3, 1, 3, 1);
    EXPECT_GE(m->unit_size, sizeof(LINK4));
    EXPECT_EQ(0u, m->unit_size % alignof(std::max_align_t));
    for (int i = 0; i < 6; i++) {
        void *u = mem4alloc(m);
        EXPECT_EQ(0u, (uintptr_t)u % alignof(std::max_align_t));
    }
    mem4release(m);
}

TEST(MemoryPool, ExhaustedHeapStoresPendingErrorWithoutReport)
{
    HeapGuard guard;
    CODE4 c4{};
    e4clearErrorState();
    MEM4 *m = mem4create(&c4, 2, 48, 2, 1);
    ASSERT_NE(nullptr, m);
    ASSERT_NE(nullptr, mem4alloc2(m, &c4));
    ASSERT_NE(nullptr, mem4alloc2(m, &c4));
    u4alloc_fail_after(0);
    EXPECT_EQ(nullptr, mem4alloc2(m, &c4));
    EXPECT_EQ(e4memory, c4.error_code);
    int code = 0;
    e4getErrorInfo(&code, nullptr, 0);
    EXPECT_EQ(0, code) << "pool failures make no report";

    // While the error is pending nothing more is handed out or created.
    u4alloc_fail_after(-1);
    EXPECT_EQ(nullptr, mem4alloc2(m, &c4));
    EXPECT_EQ(nullptr, mem4create(&c4, 1, 48, 1, 1));
    c4.error_code = 0;
    EXPECT_NE(nullptr, mem4alloc2(m, &c4));
    mem4release(m);
}

TEST(MemoryPool, ExhaustedHeapWhenCreatingAPool)
{
    HeapGuard guard;
    CODE4 c4{};
    // Use up the pool records already on hand so that a new group is needed.
    std::vector<MEM4 *> held;
    u4alloc_fail_after(-1);
    for (int i = 0; i < 10; i++)
        held.push_back(mem4create(&c4, 1, 64, 1, 1));
    u4alloc_fail_after(0);
    MEM4 *m = nullptr;
    for (int i = 0; i < 11 && m == nullptr && c4.error_code == 0; i++) {
        m = mem4create(&c4, 1, 64, 1, 1);
        if (m != nullptr)
            held.push_back(m), m = nullptr;
    }
    EXPECT_EQ(e4memory, c4.error_code);
    u4alloc_fail_after(-1);
    for (MEM4 *p : held)
        mem4release(p);
}

TEST(MemoryPool, CreateAllocMakesThePoolOnFirstUse)
{
    CODE4 c4{};
    MEM4 *pool = nullptr;
    void *u = mem4create_alloc(&c4, &pool, 2, 72, 2, 1);
    ASSERT_NE(nullptr, pool);
    ASSERT_NE(nullptr, u);
    MEM4 *first = pool;
    EXPECT_NE(nullptr, mem4create_alloc(&c4, &pool, 2, 72, 2, 1));
    EXPECT_EQ(first, pool);
    mem4release(pool);
}

TEST(MemoryPool, ReleasedRecordIsReusedAndDoubleReleaseIsHarmless)
{
    MEM4 *m = mem4type(1, 88, 1, 0);
    ASSERT_EQ(1, m->n_repeat);
    mem4release(m);
    mem4release(m);
    MEM4 *again = mem4type(1, 88, 1, 0);
    EXPECT_EQ(1, again->n_repeat);
    EXPECT_NE(nullptr, mem4alloc(again));
    mem4release(again);
}

TEST(HeapBlock, ZeroedAndNegativeSizesRefused)
{
    HeapGuard guard;
    char *p = static_cast<char *>(u4alloc(64));
    ASSERT_NE(nullptr, p);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(0, p[i]);
    u4free(p);
    u4free(nullptr);
    EXPECT_EQ(nullptr, u4alloc(-1));

    CODE4 c4{};
    e4clearErrorState();
    u4alloc_fail_after(0);
    EXPECT_EQ(nullptr, u4alloc_er(&c4, 10));
    char buf[64];
    int code = 0;
    e4getErrorInfo(&code, buf, sizeof buf);
    EXPECT_EQ(e4memory, code);
    EXPECT_STREQ("Xbase -920: Out of Memory ", buf);
    EXPECT_EQ(0, c4.error_code) << "a report leaves the pending code alone";
}

// Key forms: the ordered 8-byte number key, character, date and logical
// keys, the keys of the sample indexes other programs wrote, and evaluation
// that never touches the heap.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <malloc.h>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/expr/exprtest.h"
#include "tests/xbase/sampledump.h"
#include "xbase/d4data.h"
#include "xbase/date4.h"
#include "xbase/mem4.h"

using exprtest::MemTable;
using sampledump::SampleTag;
using sampledump::readTags;
using sampledump::shown;
using testutil::hex;

namespace {

std::string foxKey(double d)
{
    char k[8];
    t4dbl_to_fox(k, d);
    return std::string(k, 8);
}

std::string key(e4expr_st *e)
{
    char *p = nullptr;
    int len = expr4key(e, &p);
    EXPECT_GE(len, 0);
    if (len < 0)
        return "";
    EXPECT_EQ('\0', p[len]) << "a zero byte follows every key";
    return std::string(p, (size_t)len);
}

} // namespace

TEST(NumberKey, KnownValuesAndZeroForms)
{
    EXPECT_EQ("80 00 00 00 00 00 00 00", hex(foxKey(0.0)));
    EXPECT_EQ("bf f0 00 00 00 00 00 00", hex(foxKey(1.0)));
    EXPECT_EQ("40 0f ff ff ff ff ff ff", hex(foxKey(-1.0)));
    EXPECT_EQ(foxKey(0.0), foxKey(-0.0)) << "a seek for 0 must find -0";
    EXPECT_EQ(foxKey(0.0), foxKey(std::nan("")));
    EXPECT_EQ(foxKey(0.0), foxKey(-std::nan("")));
}

TEST(NumberKey, ByteOrderIsNumericOrder)
{
    unsigned seed = testutil::testSeed();
    std::mt19937_64 rng(seed);
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    std::vector<double> v = {0.0, -0.0, inf, -inf, tiny, -tiny, 2 * tiny,
                             std::numeric_limits<double>::min(), -std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::max(), 1.0, -1.0, 1e-300, -1e-300};
    std::uniform_real_distribution<double> small(-1000.0, 1000.0);
    for (int i = 0; i < 3000; i++) {
        uint64_t bits = rng();
        double d;
        memcpy(&d, &bits, sizeof(d));
        if (!std::isnan(d))
            v.push_back(d);
        v.push_back(std::round(small(rng) * 100) / 100);
    }
    std::vector<std::pair<double, std::string>> keyed;
    for (double d : v)
        keyed.emplace_back(d, foxKey(d));
    std::sort(keyed.begin(), keyed.end(),
              [](const auto &a, const auto &b) { return a.second < b.second; });
    for (size_t i = 1; i < keyed.size(); i++) {
        const auto &a = keyed[i - 1], &b = keyed[i];
        ASSERT_LE(a.first, b.first) << "seed " << seed << ": " << hex(a.second) << " / " << hex(b.second);
        ASSERT_EQ(a.first == b.first, a.second == b.second) << "seed " << seed << ": " << a.first;
    }
}

TEST(ExprKey, EachResultTypeHasItsKeyForm)
{
    MemTable t({{"CREATOR", 'C', 8, 0}, {"TABLE", 'C', 30, 0}, {"POSITION", 'N', 4, 0},
                {"BORN", 'D', 8, 0}, {"HIRED", 'D', 8, 0}, {"ACTIVE", 'L', 1, 0},
                {"A", 'C', 4, 0}, {"B", 'C', 2, 0}});
    t.set("CREATOR", "DBA");
    t.set("TABLE", "EMP");
    t.set("POSITION", "   7");
    t.set("BORN", "19961231");
    t.set("ACTIVE", "F");
    t.set("A", "AB");
    t.set("B", "CD");
    const long born = date4long("19961231");

    const struct {
        const char *text;
        std::string key;
    } cases[] = {
        {"CREATOR+TABLE+STR(POSITION)", "DBA     EMP" + std::string(27 + 9, ' ') + "7"},
        {"TRIM(A)+B", "ABCD  "},
        {"A+TRIM(B)", "AB  CD"},
        {"POSITION", foxKey(7)},
        {"POSITION * -0", foxKey(0)},
        {"BORN", foxKey((double)born)},
        {"BORN + 0", foxKey((double)born)},
        {"HIRED", foxKey(0)},
        {"HIRED + 1", foxKey(0)},
        {"ACTIVE", "F"},
        {".NOT. ACTIVE", "T"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        e4expr_st *e = expr4parse(&t.data, c.text);
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(hex(c.key), hex(key(e)));
        EXPECT_EQ((int)c.key.size(), expr4key_len(e));
        expr4free(e);
    }
}

TEST(ExprKey, DoubleOfEachResultType)
{
    MemTable t({{"POSITION", 'N', 4, 0}, {"BORN", 'D', 8, 0}, {"CODE", 'C', 6, 0}});
    t.set("POSITION", "  -3");
    t.set("BORN", "20000229");
    t.set("CODE", " 12.5x");
    const struct {
        const char *text;
        double value;
    } cases[] = {
        {"POSITION", -3}, {"POSITION / 2", -1.5}, {"BORN", (double)date4long("20000229")},
        {"CODE", 12.5},   {"'A' = 'A'", 0},
    };
    for (const auto &c : cases) {
        e4expr_st *e = expr4parse(&t.data, c.text);
        ASSERT_NE(nullptr, e) << c.text;
        EXPECT_EQ(c.value, expr4double(e)) << c.text;
        expr4free(e);
    }
}

// ---- The sample indexes ---------------------------------------------------

namespace {

void checkSample(const std::string &base)
{
    std::string dir = testutil::dataDir() + "/samples";
    if (!testutil::fileExists(dir + "/" + base + ".dbf")) {
        dir = testutil::sharedSamples();
        if (dir.empty())
            GTEST_SKIP() << "sample tables are absent";
    }
    std::vector<SampleTag> tags = readTags(dir + "/expected/" + base + ".xbdump.txt");
    ASSERT_EQ(10u, tags.size());

    testutil::TempDir tmp;
    for (const char *ext : {".dbf", ".fpt"})
        if (testutil::fileExists(dir + "/" + base + ext))
            testutil::copyFile(dir + "/" + base + ext, tmp.file(base + ext));

    CODE4 cb;
    d4init(&cb);
    cb.auto_open = 0;
    DATA4 *d = d4open(&cb, tmp.file(base + ".dbf").c_str());
    ASSERT_NE(nullptr, d);
    long count = d4reccount(d);
    for (const SampleTag &tag : tags) {
        SCOPED_TRACE(base + " tag " + tag.name);
        e4expr_st *k = expr4parse(d, tag.key.c_str());
        ASSERT_NE(nullptr, k) << tag.key;
        EXPECT_EQ(tag.keylen, expr4key_len(k));
        e4expr_st *f = nullptr;
        if (!tag.filter.empty()) {
            f = expr4parse(d, tag.filter.c_str());
            ASSERT_NE(nullptr, f) << tag.filter;
        }
        std::vector<std::pair<std::string, long>> keys;
        for (long r = 1; r <= count; r++) {
            ASSERT_EQ(0, d4go(d, r));
            if (f != nullptr && expr4true(f) != 1)
                continue;
            keys.emplace_back(key(k), r);
        }
        // A tag keeps its keys in unsigned byte order, equal keys by record.
        std::sort(keys.begin(), keys.end());
        std::vector<std::string> got;
        for (size_t i = 0; i < keys.size(); i++) {
            if (tag.unique && i > 0 && keys[i].first == keys[i - 1].first)
                continue;
            got.push_back("key=" + shown(expr4type(k), keys[i].first) + " rec=" + std::to_string(keys[i].second));
        }
        EXPECT_EQ(tag.keys, got);
        expr4free(k);
        expr4free(f);
    }
    d4close(d);
    d4init_undo(&cb);
}

} // namespace

TEST(ExprSampleIndexes, KeysAndFiltersOfTableWithMemoMatchTheStoredTags)
{
    checkSample("hb_memo");
}

TEST(ExprSampleIndexes, KeysAndFiltersOfTableWithoutMemoMatchTheStoredTags)
{
    checkSample("hb_nomemo");
}

TEST(ExprMemo, MemoTextIsCutAndItsZeroFillMovesBehindAConcatenation)
{
    std::string dir = testutil::dataDir() + "/samples";
    if (!testutil::fileExists(dir + "/hb_memo.fpt"))
        GTEST_SKIP() << "sample tables are absent";
    testutil::TempDir tmp;
    testutil::copyFile(dir + "/hb_memo.dbf", tmp.file("hb_memo.dbf"));
    testutil::copyFile(dir + "/hb_memo.fpt", tmp.file("hb_memo.fpt"));
    CODE4 cb;
    d4init(&cb);
    cb.auto_open = 0;
    cb.mem_size_memo_expr = 16;
    DATA4 *d = d4open(&cb, tmp.file("hb_memo.dbf").c_str());
    ASSERT_NE(nullptr, d);
    e4expr_st *e = expr4parse(d, "NOTES + '|'");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(18, e->info[2].function_i) << "memo text may end in zero bytes";
    EXPECT_EQ(17, expr4len(e));
    char *p;
    ASSERT_EQ(0, d4go(d, 1));
    ASSERT_EQ(17, expr4vary(e, &p));
    EXPECT_EQ(std::string("note 1|") + std::string(10, '\0'), std::string(p, 17));
    ASSERT_EQ(0, d4go(d, 4));
    ASSERT_EQ(17, expr4vary(e, &p));
    EXPECT_EQ("full block 4....|", std::string(p, 17));
    expr4free(e);
    d4close(d);
    d4init_undo(&cb);
}

// ---- Evaluation without allocation ----------------------------------------

TEST(ExprEvaluate, AMillionEvaluationsAllocateNothing)
{
    MemTable t({{"CREATOR", 'C', 8, 0}, {"TABLE", 'C', 30, 0}, {"POSITION", 'N', 4, 0},
                {"BORN", 'D', 8, 0}});
    t.set("CREATOR", "DBA");
    t.set("TABLE", "EMP");
    t.set("POSITION", "  12");
    t.set("BORN", "20010301");
    e4expr_st *e = expr4parse(&t.data, "UPPER(CREATOR)+TRIM(TABLE)+STR(POSITION*2,6,1)+DTOS(BORN+1)");
    e4expr_st *f = expr4parse(&t.data, ".NOT. DELETED() .AND. POSITION > 3 .AND. 'MP' $ TABLE");
    ASSERT_NE(nullptr, e);
    ASSERT_NE(nullptr, f);
    std::string first = key(e);

    struct mallinfo2 before = mallinfo2();
    u4alloc_fail_after(0); // any engine allocation from here on fails
    long trues = 0;
    bool same = true;
    for (int i = 0; i < 1000000; i++) {
        char *p;
        trues += expr4true(f);
        same = same && expr4key(e, &p) == (int)first.size() && memcmp(p, first.data(), first.size()) == 0;
    }
    u4alloc_fail_after(-1);
    struct mallinfo2 after = mallinfo2();

    expr4free(e);
    expr4free(f);
    EXPECT_EQ(1000000, trues);
    EXPECT_TRUE(same);
    EXPECT_EQ("DBA     EMP  24.020010302" + std::string(27, ' '), first);
    if (before.uordblks == 0 && after.uordblks == 0)
        GTEST_SKIP() << "this allocator does not report heap use";
    EXPECT_EQ(before.uordblks, after.uordblks);
    EXPECT_EQ(before.hblkhd, after.hblkhd);
}

// Index files and tags: the sample indexes other programs wrote open with
// exactly the tags, expressions, flags and keys an independent reader
// sees; tag lookup and selection; the free list; the version counter; the
// production-index flag; tags set up for creation.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "tests/xbase/sampledump.h"
#include "util/byteorder.h"
#include "xbase/d4tag.h"
#include "xbase/expr/expr4.h"

using d4test::Engine;
using d4test::lastError;
using d4test::lastErrorCode;

namespace {

// Opens the copied sample table `base` with its production index.
DATA4 *openSample(Engine &e, const std::string &base)
{
    std::string dbf = indextest::copySample(e.dir, base);
    if (dbf.empty())
        return nullptr;
    DATA4 *d = d4open(&e.c4, dbf.c_str());
    EXPECT_NE(nullptr, d) << lastError();
    return d;
}

std::string sourceOf(e4expr_st *e) { return e == nullptr ? "" : expr4source(e); }

} // namespace

TEST(IndexSamples, EveryTagReadsAsTheIndependentReaderSeesIt)
{
    for (const char *base : {"hb_nomemo", "hb_memo", "hb_large", "hb_grown"}) {
        SCOPED_TRACE(base);
        Engine e;
        DATA4 *d = openSample(e, base);
        if (d == nullptr)
            GTEST_SKIP() << "sample tables are absent";
        std::vector<sampledump::SampleTag> expected = sampledump::readTags(
            testutil::dataDir() + "/samples/expected/" + base + ".xbdump.txt");
        ASSERT_EQ(10u, expected.size());
        INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
        ASSERT_NE(nullptr, i4);
        EXPECT_EQ(1, i4is_production(i4));
        EXPECT_EQ((int)expected.size(), i4->tags.n_link);
        long last_offset = 0;
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
            EXPECT_LT(last_offset, t4->header_offset) << "tags are kept in header order";
            last_offset = t4->header_offset;
        }
        for (const sampledump::SampleTag &want : expected) {
            SCOPED_TRACE(want.name);
            TAG4 *t4 = i4tag(i4, want.name.c_str());
            ASSERT_NE(nullptr, t4);
            EXPECT_EQ(want.key, sourceOf(t4->expr));
            EXPECT_EQ(want.filter, sourceOf(t4->filter));
            EXPECT_EQ(want.unique, (t4->header.type_code & I4_TYPE_UNIQUE) != 0);
            EXPECT_EQ(want.descending, t4->header.descending != 0);
            EXPECT_EQ(want.keylen, t4->header.key_len);
            indextest::Walked w = indextest::walk(t4);
            ASSERT_EQ(0, w.rc) << lastError();
            std::vector<std::string> got;
            for (const auto &k : w.keys)
                got.push_back("key=" + sampledump::shown(t4type(t4), k.first) +
                              " rec=" + std::to_string(k.second));
            size_t first = 0;
            while (first < want.keys.size() && first < got.size() && want.keys[first] == got[first])
                first++;
            EXPECT_TRUE(first == want.keys.size() && first == got.size())
                << want.keys.size() << " keys expected, " << got.size() << " read; first difference at "
                << first << ": " << (first < want.keys.size() ? want.keys[first] : "(none)") << " / "
                << (first < got.size() ? got[first] : "(none)");
        }
        EXPECT_EQ(0, d4close(d));
    }
}

TEST(IndexSamples, ASingleTagFileIsItsOwnTagNamedAfterTheFile)
{
    // The header of tag NAME moved to offset 0 with the compact bit only:
    // the file's one tag, its blocks where they were.
    Engine e;
    std::string dbf = indextest::copySample(e.dir, "hb_nomemo");
    if (dbf.empty())
        GTEST_SKIP() << "sample tables are absent";
    DATA4 *d = d4open(&e.c4, dbf.c_str());
    ASSERT_NE(nullptr, d);
    indextest::Walked want = indextest::walk(d4tag(d, "NAME"));
    long header = d4tag(d, "NAME")->header_offset;
    d4close(d);
    std::string img = testutil::readFile(e.path("hb_nomemo.cdx"));
    img.replace(0, I4_HEADER_LEN, img.substr((size_t)header, I4_HEADER_LEN));
    img[I4_OFF_TYPE] = I4_TYPE_COMPACT;
    testutil::writeFile(e.path("single.cdx"), img);

    e.c4.auto_open = 0;
    d = d4open(&e.c4, dbf.c_str());
    INDEX4 *i4 = i4open(d, e.path("single").c_str());
    ASSERT_NE(nullptr, i4) << lastError();
    ASSERT_EQ(1, i4->tags.n_link);
    TAG4 *t4 = i4tag(i4, "single");
    ASSERT_EQ(i4->tag_index, t4);
    indextest::Walked got = indextest::walk(t4);
    EXPECT_EQ(0, got.rc);
    EXPECT_EQ(want.keys, got.keys);
    d4close(d);
}

TEST(IndexTags, LookupCutsAndUpperCasesNamesAndSelectionFollowsTheTagOrder)
{
    Engine e;
    DATA4 *d = openSample(e, "hb_nomemo");
    if (d == nullptr)
        GTEST_SKIP() << "sample tables are absent";
    INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
    const char *names[][2] = {{"cityname", "CITYNAME"}, {"Name  ", "NAME"}, {"cityname  x", "CITYNAME"},
                              {"NOSUCHTAG", nullptr}};
    for (auto &n : names)
        for (int report : {0, 1}) {
            e.c4.tag_name_error = report;
            e4clearErrorState();
            TAG4 *t4 = d4tag(d, n[0]);
            EXPECT_EQ(t4, i4tag(i4, n[0])) << n[0];
            EXPECT_STREQ(n[1], t4 == nullptr ? nullptr : t4->alias) << n[0];
            EXPECT_EQ(t4 == nullptr && report ? e4tag_name : 0, lastErrorCode()) << n[0];
        }
    EXPECT_EQ(i4, d4index(d, (e.dir.path + "/HB_NOMEMO.cdx").c_str()));
    EXPECT_EQ(nullptr, d4index(d, "hb_nomemo")) << "the path is part of the name";

    std::vector<TAG4 *> forward, backward;
    for (TAG4 *t = d4tag_next(d, nullptr); t != nullptr; t = d4tag_next(d, t))
        forward.push_back(t);
    for (TAG4 *t = d4tag_prev(d, nullptr); t != nullptr; t = d4tag_prev(d, t))
        backward.insert(backward.begin(), t);
    ASSERT_EQ(10u, forward.size());
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(forward[0], d4tag_default(d));
    d4tag_select(d, forward[3]);
    EXPECT_EQ(forward[3], d4tag_selected(d));
    EXPECT_EQ(forward[3], d4tag_default(d));
    d4tag_select(d, nullptr);
    EXPECT_EQ(nullptr, d4tag_selected(d));
    d4close(d);
}

TEST(IndexFreeList, BlocksComeFromTheListThenFromTheEndOfTheFile)
{
    Engine e;
    DATA4 *d = openSample(e, "hb_grown");
    if (d == nullptr)
        GTEST_SKIP() << "sample tables are absent";
    INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
    ASSERT_EQ(0, i4lock(i4));
    std::string img = testutil::readFile(e.path("hb_grown.cdx"));
    // The list the other program left, followed link by link.
    std::vector<long> chain;
    for (long p = (long)d4test::le32(img, 4); p != 0 && chain.size() < 100; p = (long)d4test::le32(img, p))
        chain.push_back(p);
    ASSERT_GT(chain.size(), 2u);
    for (long want : chain)
        EXPECT_EQ(want, i4extend(i4));
    long end = (long)img.size();
    EXPECT_EQ(end, i4extend(i4)) << "an empty list appends";
    EXPECT_EQ(end + 512, i4extend(i4));
    ASSERT_EQ(0, i4shrink(i4, chain[0]));
    EXPECT_EQ(chain[0], i4extend(i4)) << "a freed block is the next one handed out";
    EXPECT_EQ(end + 1024, i4extend(i4));

    // A head that is no block pointer is an empty list.
    for (long bad : {-1L, 12345L, 600L, end + 4096}) {
        i4->tag_index->header.free_list = bad;
        long at = i4->eof;
        EXPECT_EQ(at, i4extend(i4)) << bad;
        EXPECT_EQ(0, i4->tag_index->header.free_list);
    }
    EXPECT_EQ(0, i4unlock(i4));
    d4close(d);
    std::string after = testutil::readFile(e.path("hb_grown.cdx"));
    EXPECT_EQ(0u, d4test::le32(after, 4)) << "the emptied list's head reaches the file";
}

TEST(IndexVersion, EachChangeWritesTheNextVersionAndOthersDropWhatTheyCached)
{
    Engine e;
    std::string dbf = indextest::copySample(e.dir, "hb_nomemo");
    if (dbf.empty())
        GTEST_SKIP() << "sample tables are absent";
    std::string cdx = e.path("hb_nomemo.cdx");
    std::string img = testutil::readFile(cdx);
    const uint32_t start = 0xFFFFFFFEu;
    util_putBe32((unsigned char *)&img[I4_OFF_VERSION], start);
    testutil::writeFile(cdx, img);
    auto stored = [&]() { return util_getBe32((const unsigned char *)&testutil::readFile(cdx)[I4_OFF_VERSION]); };

    DATA4 *writer = d4open(&e.c4, dbf.c_str());
    DATA4 *reader = d4open(&e.c4, dbf.c_str());
    ASSERT_NE(nullptr, writer);
    ASSERT_NE(nullptr, reader);
    INDEX4 *w = (INDEX4 *)l4first(&writer->indexes);
    INDEX4 *r = (INDEX4 *)l4first(&reader->indexes);
    EXPECT_EQ(start, r->version_old);
    const uint32_t expected[] = {0xFFFFFFFFu, 0u, 1u};
    for (uint32_t want : expected) {
        ASSERT_EQ(0, i4lock(w));
        ASSERT_EQ(0, i4unlock(w));
        EXPECT_EQ(want - 1, stored()) << "a lock that changes nothing leaves the version";
        ASSERT_EQ(0, d4append_blank(writer));
        EXPECT_EQ(want, stored()) << "written when the lock of a change is let go";

        // The reader holds a block and a root of the older version: both
        // go, and the reader takes the stored version, so that what it
        // reads from now on stays cached until the next change.
        TAG4 *t4 = d4tag(reader, "NAME");
        ASSERT_GT(t4root(t4), 0);
        ASSERT_EQ(0, i4cache_save(t4, b4alloc(t4, t4->header.root)));
        EXPECT_EQ(0, i4version_check(r, 0, 0));
        EXPECT_EQ(0, t4->saved.n_link);
        EXPECT_EQ(-1, t4->header.root);
        EXPECT_EQ(want, r->version_old);
        ASSERT_GT(t4root(t4), 0);
        ASSERT_EQ(0, i4cache_save(t4, b4alloc(t4, t4->header.root)));
        EXPECT_EQ(0, i4version_check(r, 0, 1));
        EXPECT_EQ(1, t4->saved.n_link) << "nothing changed since";
        EXPECT_LT(0, t4->header.root);
    }
    d4close(reader);
    d4close(writer);
}

TEST(IndexProduction, OnlyBitOneOfByte28OpensTheProductionIndex)
{
    for (unsigned flag : {0x00u, 0x01u, 0x02u, 0x03u, 0x81u}) {
        Engine e;
        std::string dbf = indextest::copySample(e.dir, "hb_nomemo");
        if (dbf.empty())
            GTEST_SKIP() << "sample tables are absent";
        std::string head = testutil::readFile(dbf);
        head[D4_OFF_HAS_MDX] = char(flag);
        testutil::writeFile(dbf, head);
        DATA4 *d = d4open(&e.c4, dbf.c_str());
        ASSERT_NE(nullptr, d) << flag;
        EXPECT_EQ((int)(flag & 1), d->indexes.n_link) << flag;
        EXPECT_EQ((flag & 1) ? 0x7FFFFFFE - 1 : 0x40000000L + d->header_len, d4lock_record_offset(d, 1));
        d4close(d);
        EXPECT_EQ(char(flag), testutil::readFile(dbf)[D4_OFF_HAS_MDX]) << "other bits are kept";
    }
}

TEST(IndexProduction, ATableWhoseIndexCannotBeOpenedFailsUnlessAutoOpenIsOff)
{
    struct Case {
        const char *what;
        int code;
        void (*damage)(const std::string &cdx);
    } cases[] = {
        {"missing", e4open, [](const std::string &cdx) { std::remove(cdx.c_str()); }},
        {"damaged", e4index,
         [](const std::string &cdx) {
             std::string b = testutil::readFile(cdx);
             std::fill(b.begin(), b.begin() + 16, '\0');
             testutil::writeFile(cdx, b);
         }},
        {"key this engine cannot compile", e4unrec_function,
         [](const std::string &cdx) {
             // NAME's key "NAME" becomes a call of an unknown function.
             std::string b = testutil::readFile(cdx);
             size_t at = b.find(std::string("NAME\0", 5), 1024);
             b.replace(at, 5, std::string("N()\0\0", 5));
             testutil::writeFile(cdx, b);
         }},
    };
    for (const Case &c : cases) {
        for (int open_error : {1, 0}) {
            SCOPED_TRACE(std::string(c.what) + (open_error ? "" : ", open_error off"));
            Engine e;
            std::string dbf = indextest::copySample(e.dir, "hb_nomemo");
            if (dbf.empty())
                GTEST_SKIP() << "sample tables are absent";
            c.damage(e.path("hb_nomemo.cdx"));
            e.c4.open_error = open_error;
            EXPECT_EQ(nullptr, d4open(&e.c4, dbf.c_str()));
            EXPECT_EQ(c.code, lastErrorCode()) << lastError();
            EXPECT_EQ(0, e.c4.data_list.n_link);
            e4set(&e.c4, 0);
            e.c4.auto_open = 0;
            DATA4 *d = d4open(&e.c4, dbf.c_str());
            ASSERT_NE(nullptr, d);
            EXPECT_EQ(0, d->indexes.n_link);
            d4close(d);
        }
    }
}

TEST(IndexCreateInfo, KeyAndTextLimitsOfANewTag)
{
    Engine e;
    static const FIELD4INFO fields[] = {
        {"SHORT", 'C', 10, 0}, {"LONG", 'C', 241, 0}, {"FULL", 'C', 240, 0}, {nullptr, 0, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("limits").c_str(), fields, nullptr);
    ASSERT_NE(nullptr, d);
    INDEX4 i4{};
    i4.data = d;
    i4.code_base = &e.c4;
    std::string long_expr = "SHORT" + std::string(251, ' ');   // 256 characters
    std::string max_expr = "SHORT" + std::string(250, ' ');    // 255 characters
    struct Case {
        const char *name;
        std::string expr;
        const char *filter;
        int rc;
        int key_len;
        int type_code;
    } cases[] = {
        {"plain", "SHORT", nullptr, 0, 10, 0x60},
        {"filtered", "SHORT", ".NOT. DELETED()", 0, 10, 0x68},
        {"240 bytes", "FULL", "", 0, 240, 0x60},
        {"241 bytes", "LONG", nullptr, e4index, 0, 0},
        {"255 characters", max_expr, nullptr, 0, 10, 0x60},
        {"256 characters", long_expr, nullptr, e4index, 0, 0},
        {"filter of 256", "SHORT", long_expr.c_str(), e4index, 0, 0},
        {"filter not logical", "SHORT", "SHORT", e4index, 0, 0},
    };
    for (const Case &c : cases) {
        TAG4 t4{};
        TAG4INFO info = {c.name, c.expr.c_str(), c.filter, 0, 0};
        int rc = t4init_info(&t4, &i4, &info);
        EXPECT_EQ(c.rc, rc) << c.name;
        if (rc == 0) {
            EXPECT_EQ(c.key_len, t4.header.key_len) << c.name;
            EXPECT_EQ(c.type_code, t4.header.type_code) << c.name;
            EXPECT_EQ(t4.header.expr_len, t4.header.filter_pos) << c.name;
            EXPECT_EQ(c.filter != nullptr && *c.filter ? (int)std::strlen(c.filter) + 1 : 1,
                      t4.header.filter_len)
                << c.name;
        }
        expr4free(t4.expr);
        expr4free(t4.filter);
    }
    d4close(d);
}

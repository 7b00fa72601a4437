// Index files and tags: the sample indexes other programs wrote open with
// exactly the tags, expressions, flags and keys an independent reader
// sees; tag lookup and selection; the free list; the version counter; the
// production-index flag; tags set up for creation.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "tests/xbase/sampledump.h"
#include "util/byteorder.h"
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

// Indexes other programs wrote, kept up by this engine: records appended
// to and changed in the sample tables leave every tag holding exactly the
// keys of the records that pass its filter, the tree checker finds
// nothing, and the independent reader reads every key we walk and passes
// its own checks.
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "tests/xbase/sampledump.h"
#include "xbase/expr/expr4.h"

using d4test::Engine;
using d4test::lastError;
using indextest::Entries;

namespace {

// The entries a tag must hold, from the records: every record that passes
// the filter with its key; a unique tag holds keys once each, each for one
// of the records that have it.
std::string tagMatchesRecords(DATA4 *d, TAG4 *t4, const Entries &walked)
{
    std::set<std::pair<std::string, long>> want;
    std::map<std::string, std::set<long>> holders;
    for (long r = 1; r <= d4reccount(d); r++) {
        if (d4go(d, r) != 0)
            return "record " + std::to_string(r) + " cannot be read";
        if (t4->filter != nullptr && expr4true(t4->filter) == 0)
            continue;
        char *key = nullptr;
        int len = t4expr_key(t4, &key);
        if (len < 0)
            return "no key for record " + std::to_string(r);
        std::string k(key, (size_t)len);
        want.insert({k, r});
        holders[k].insert(r);
    }
    if (t4->header.type_code & I4_TYPE_UNIQUE) {
        // A key whose holder moved to another key leaves the tag even when
        // other records still have it: kept key by key, a unique tag only
        // promises keys once each, each for a record that has it.
        for (size_t i = 1; i < walked.size(); i++)
            if (walked[i].first == walked[i - 1].first)
                return "the unique tag holds a key twice";
        for (const auto &e : walked)
            if (holders[e.first].count(e.second) == 0)
                return "the unique tag names record " + std::to_string(e.second) + " for a key it lacks";
        return "";
    }
    Entries expected(want.begin(), want.end());
    if (t4->header.descending)
        expected.assign(want.rbegin(), want.rend());
    if (expected != walked)
        return "the tag holds " + std::to_string(walked.size()) + " entries, the records give " +
               std::to_string(expected.size());
    return "";
}

void addRecords(DATA4 *d, std::mt19937 &rng, int n)
{
    static const char *names[] = {"SMITH", "smith", "Lee", "", "ZHANG", "NEW", "MILLER", "Ä"};
    static const char *cities[] = {"PARIS", "LONDON", "", "ROME", "BERN", "OSLO"};
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(0, d4append_start(d, 0));
        d4blank(d);
        std::string name = std::string(names[rng() % 8]) + std::to_string(rng() % 50);
        f4assign(d4field(d, "NAME"), name.c_str());
        f4assign(d4field(d, "CITY"), cities[rng() % 6]);
        f4assign_double(d4field(d, "AMOUNT"), ((int)(rng() % 200000) - 100000) / 100.0);
        f4assign_long(d4field(d, "QTY"), (long)(rng() % 41) - 20);
        char born[40];
        std::snprintf(born, sizeof born, "%04d%02d%02d", 1940 + (int)(rng() % 90), 1 + (int)(rng() % 12),
                      1 + (int)(rng() % 28));
        f4assign(d4field(d, "BORN"), rng() % 10 == 0 ? "" : born);
        f4assign(d4field(d, "ACTIVE"), rng() % 3 == 0 ? "F" : "T");
        if (rng() % 7 == 0)
            d4delete(d);
        int rc = d4append(d);
        ASSERT_TRUE(rc == 0 || rc == r4unique_continue) << rc << " " << lastError();
    }
}

void changeRecords(DATA4 *d, std::mt19937 &rng, int n)
{
    long count = d4reccount(d);
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(0, d4go(d, 1 + (long)(rng() % (unsigned long)count)));
        switch (rng() % 4) {
        case 0: f4assign(d4field(d, "NAME"), ("CH" + std::to_string(rng() % 100)).c_str()); break;
        case 1: f4assign_double(d4field(d, "AMOUNT"), ((int)(rng() % 2000) - 1000) / 10.0); break;
        case 2: f4assign(d4field(d, "CITY"), rng() % 2 ? "PARIS" : "NEWTOWN"); break;
        default:
            if (d4deleted(d))
                d4recall(d);
            else
                d4delete(d);
        }
        ASSERT_EQ(0, d4update_record(d, 1)) << lastError();
    }
}

} // namespace

TEST(TagSamples, AppendsAndChangesKeepOtherProgramsIndexesReadable)
{
    std::string xbdump = testutil::reader("xbview-pl");
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    for (const char *base : {"hb_nomemo", "hb_memo", "hb_grown", "hb_large"}) {
        SCOPED_TRACE(std::string(base) + ", seed " + std::to_string(seed));
        Engine e;
        std::string dbf = indextest::copySample(e.dir, base);
        if (dbf.empty())
            GTEST_SKIP() << "sample tables are absent";
        DATA4 *d = d4open(&e.c4, dbf.c_str());
        ASSERT_NE(nullptr, d) << lastError();
        addRecords(d, rng, 250);
        changeRecords(d, rng, 120);
        ASSERT_EQ(0, d4close(d));

        d = d4open(&e.c4, dbf.c_str());
        ASSERT_NE(nullptr, d) << lastError();
        EXPECT_EQ("", indextest::checkIndexes(d));
        INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
        std::map<std::string, std::vector<std::string>> ours;
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
            SCOPED_TRACE(t4->alias);
            Entries walked = indextest::walkOrder(t4, true);
            EXPECT_EQ("", tagMatchesRecords(d, t4, walked));
            Entries back = indextest::walkOrder(t4, false);
            EXPECT_EQ(walked, Entries(back.rbegin(), back.rend()));
            // The reader lists keys in stored (ascending) order.
            if (t4->header.descending)
                walked = Entries(walked.rbegin(), walked.rend());
            for (const auto &k : walked)
                ours[t4->alias].push_back("key=" + sampledump::shown(t4type(t4), k.first) +
                                          " rec=" + std::to_string(k.second));
        }
        ASSERT_EQ(0, d4close(d));

        if (xbdump.empty())
            continue;
        testutil::ProcResult res = testutil::runProgram({xbdump, dbf}, e.dir.path, {}, "", 300);
        EXPECT_EQ(0, res.exitStatus) << res.err << "\n" << res.out.substr(res.out.find("[checks]") == std::string::npos ? 0 : res.out.find("[checks]"));
        testutil::writeFile(e.path("dump.txt"), res.out);
        std::vector<sampledump::SampleTag> tags = sampledump::readTags(e.path("dump.txt"));
        EXPECT_EQ(ours.size(), tags.size());
        for (const sampledump::SampleTag &t : tags) {
            SCOPED_TRACE(t.name);
            const std::vector<std::string> &we = ours[t.name];
            size_t i = 0;
            while (i < we.size() && i < t.keys.size() && we[i] == t.keys[i])
                i++;
            EXPECT_TRUE(i == we.size() && i == t.keys.size())
                << "the reader sees " << t.keys.size() << " keys, we walked " << we.size()
                << "; entry " << i << " is " << (i < t.keys.size() ? t.keys[i] : "(none)") << " to the reader, "
                << (i < we.size() ? we[i] : "(none)") << " to us";
        }
    }
    if (xbdump.empty())
        GTEST_SKIP() << "needs Debian's libdbd-xbase-perl: the independent reader was not run";
}

// String lists: the program's message file, lists read in pieces, members
// bigger than a piece, cut texts, and what the generator refuses.
#include <cstring>
#include <map>
#include <regex>

#include "tests/rscmgr/rsctest.h"

using testutil::TempDir;

namespace {

// Members 1..n with texts of varying length, so that members straddle the
// 2048-byte block boundaries of the list.
std::map<int, std::string> longList(int n)
{
    std::map<int, std::string> m;
    for (int i = 1; i <= n; i++)
        m[i * 10] = "member " + std::to_string(i * 10) + " " + std::string((size_t)(i * 7) % 90, 'a' + i % 26);
    return m;
}

std::string listSource(const std::map<int, std::string> &members)
{
    std::string src = "strings str# 4\n";
    for (const auto &m : members)
        src += std::to_string(m.first) + " \"" + m.second + "\"\n";
    return src + "end\n";
}

std::vector<subrscrec> pieces(uint32_t h)
{
    return rmgr_handleEntry(h)->llP->subRscList;
}

} // namespace

TEST(MessageFile, HoldsEveryMessageWithItsPlaceholders)
{
    rsctest::ManagerGuard g;
    uint32_t h = rsctest::open(testutil::binaryDir() + "/tool/catalogr.rsc");
    const std::map<int, int> placeholders = {{2013, 1}, {2015, 1}, {2024, 2}, {2025, 1}, {2027, 1}};
    std::vector<int> numbers;
    for (int n = 2001; n <= 2015; n++)
        numbers.push_back(n);
    for (int n : {2017, 2018, 2024, 2025, 2026, 2027, 2028, 2029})
        numbers.push_back(n);
    for (int n : numbers) {
        int rc = -1;
        char buf[128];
        rc = qtkResource_loadFromStringList(buf, sizeof buf, h, 1, n);
        ASSERT_EQ(0, rc) << n;
        std::string text = buf;
        EXPECT_FALSE(text.empty()) << n;
        EXPECT_LE(text.size(), 127u) << n;
        auto it = placeholders.find(n);
        int want = it == placeholders.end() ? 0 : it->second;
        std::string rest = std::regex_replace(text, std::regex("%s"), "");
        EXPECT_EQ(want, (int)(text.size() - rest.size()) / 2) << n << ": " << text;
        EXPECT_EQ(std::string::npos, rest.find('%')) << n << ": " << text;
    }
    EXPECT_EQ("cannot open data file %s", rsctest::fetch(h, 1, 2015));

    // Absent numbers: inside the list's range the member is missing; outside
    // it no piece covers them. The buffer is always left empty.
    for (auto [num, want] : std::vector<std::pair<int, int>>{
             {2016, RSC_ERR_NO_MEMBER}, {2019, RSC_ERR_NO_MEMBER}, {1000, RSC_ERR_NO_RESOURCE},
             {3000, RSC_ERR_NO_RESOURCE}}) {
        char buf[128] = "dirty";
        EXPECT_EQ(want, qtkResource_loadFromStringList(buf, sizeof buf, h, 1, num)) << num;
        EXPECT_STREQ("", buf);
    }
    char buf[128] = "dirty";
    EXPECT_EQ(RSC_ERR_NO_RESOURCE, qtkResource_loadFromStringList(buf, sizeof buf, h, 2, 2001));
    EXPECT_EQ(RSC_ERR_NO_FILE, qtkResource_loadFromStringList(buf, sizeof buf, 0, 2, 2001));
    EXPECT_EQ(RSC_ERR_BAD_HANDLE, qtkResource_loadFromStringList(buf, sizeof buf, h + 1, 1, 2001));
    EXPECT_STREQ("", buf);
    EXPECT_EQ("Arguments given:", rsctest::fetch(0, 1, 2029));
}

TEST(StringListPieces, LongListIsReadInPiecesOfWholeMembers)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::map<int, std::string> members = longList(150);
    uint32_t h = rsctest::open(rsctest::make(d, "long", listSource(members)));
    EXPECT_EQ(members[10], rsctest::fetch(h, 4, 10));

    // Pieces follow one another, each at most 2048 bytes; some member lies
    // across a block boundary of the list and is read from the next piece.
    std::vector<subrscrec> p = pieces(h);
    ASSERT_GE(p.size(), 4u);
    for (size_t i = 0; i < p.size(); i++) {
        EXPECT_LE(p[i].subRscSize, (uint32_t)RSC_PIECE_SIZE);
        if (i > 0) {
            EXPECT_EQ(p[i - 1].fileOffset + p[i - 1].subRscSize, p[i].fileOffset);
            EXPECT_EQ(p[i - 1].lastRecId + 10, p[i].firstRecId);
        }
    }
    bool straddles = false;
    for (size_t i = 0; i + 1 < p.size(); i++)
        straddles = straddles || p[i].subRscSize < (uint32_t)RSC_PIECE_SIZE;
    EXPECT_TRUE(straddles) << "no member lies across a block boundary";
    for (const auto &m : members)
        ASSERT_EQ(m.second, rsctest::fetch(h, 4, m.first)) << m.first;
    int rc = 0;
    EXPECT_EQ("", rsctest::fetch(h, 4, 15, &rc));
    EXPECT_EQ(RSC_ERR_NO_MEMBER, rc);

    // One piece stays loaded: the same member twice reads once, first and
    // last alternately read each time.
    rsctest::fetch(h, 4, 10);
    long before = rmgrFileReads;
    rsctest::fetch(h, 4, 10);
    EXPECT_EQ(before, rmgrFileReads);
    for (int i = 0; i < 3; i++) {
        rsctest::fetch(h, 4, 1500);
        rsctest::fetch(h, 4, 10);
    }
    EXPECT_EQ(before + 6, rmgrFileReads);
}

TEST(StringListPieces, MemberBiggerThanAPieceIsReadWithTheWholeList)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::map<int, std::string> members = longList(20);
    members[100] = std::string(3000, 'z');
    members[110] = "after the big one";
    uint32_t h = rsctest::open(rsctest::make(d, "big", listSource(members)));
    for (const auto &m : members)
        EXPECT_EQ(m.second, rsctest::fetch(h, 4, m.first)) << m.first;
    ASSERT_EQ(1u, pieces(h).size());
    EXPECT_EQ(10, pieces(h)[0].firstRecId);
    EXPECT_EQ(200, pieces(h)[0].lastRecId);
}

TEST(StringListFetch, LongTextIsCutToTheBuffer)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string text(200, 'q');
    text[126] = 'L';
    uint32_t h = rsctest::open(rsctest::make(d, "cut", "messages str# 1\n7 0 \"short\"\nend\n"
                                                       "strings str# 2\n7 \"" + text + "\"\nend\n"));
    char buf[160];
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(0, qtkResource_loadFromStringList(buf, 128, h, 2, 7));
    EXPECT_EQ(text.substr(0, 127), std::string(buf));
    for (size_t i = 128; i < sizeof buf; i++)
        ASSERT_EQ('#', buf[i]) << i;
    ASSERT_EQ(0, qtkResource_loadFromStringList(buf, 1, h, 1, 7));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(RSC_ERR_BAD_ARGUMENT, qtkResource_loadFromStringList(buf, 0, h, 1, 7));
    EXPECT_EQ(RSC_ERR_BAD_ARGUMENT, qtkResource_loadFromStringList(nullptr, 10, h, 1, 7));
}

TEST(ResourceGenerator, RefusesBadSourcesAndWritesNothing)
{
    TempDir d;
    struct badcase {
        const char *source;
        const char *complaint;
    } cases[] = {
        {"messages str# 1\n2015 0 \"cannot open %s\"\nend\n", "declares 0"},
        {"messages str# 1\n2024 2 \"table %s has %s and %s\"\nend\n", "carries 3"},
        {"messages str# 1\n2015 1 \"%s at 100%\"\nend\n", "not %s"},
        {"messages str# 1\n2015 1 \"%d items\"\nend\n", "not %s"},
        {"messages str# 1\n1 0 \"a\"\n1 0 \"b\"\nend\n", "twice"},
        {"messages str# 1\n1 0 \"a\"\n", "missing end"},
        {"form plain\ndata rtCf 1 alias SEVENTEEN_LETTERS\nend\n", "16 characters"},
        {"data rtCf 1\nend\ndata rtCf 1\nend\n", "already exists"},
        {"data rtCf 1\nword 0x100000000\nend\n", "out-of-range"},
        {"frobnicate\n", "unknown statement"},
        {"include \"nothere.words\"\n", "cannot read"},
    };
    for (const badcase &c : cases) {
        std::string out;
        testutil::ProcResult r = rsctest::generate(d, "bad", c.source, &out);
        EXPECT_NE(0, r.exitStatus) << c.source;
        EXPECT_NE(std::string::npos, r.err.find(c.complaint)) << c.source << r.err;
        EXPECT_FALSE(testutil::fileExists(out)) << c.source;
    }
    std::string tooLong = "messages str# 1\n1 0 \"" + std::string(128, 'm') + "\"\nend\n";
    std::string out;
    testutil::ProcResult r = rsctest::generate(d, "bad", tooLong, &out);
    EXPECT_NE(0, r.exitStatus);
    EXPECT_NE(std::string::npos, r.err.find("bad.rsrc:2: message 1 is longer than 127")) << r.err;
}

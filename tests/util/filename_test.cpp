// Tests of file specifications: splitting into pieces, joining them again,
// building lists, shortening for display, and multibyte-safe scanning.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/codeset/codeset_fixture.h"
#include "util/findfile.h"

namespace {

const char kUntouched[] = "#";

struct Pieces {
    std::string dev, dir, name, ext;
};

// Splits with every output pre-set to "#", so an output left alone shows.
Pieces split(const char *input)
{
    std::vector<char> dev(UTIL_MAX_PATH + 1), dir(UTIL_MAX_PATH + 1), name(UTIL_MAX_PATH + 1),
        ext(UTIL_MAX_PATH + 1);
    for (auto *b : {&dev, &dir, &name, &ext})
        std::strcpy(b->data(), kUntouched);
    util_parseFilename(input, dev.data(), dir.data(), name.data(), ext.data());
    return {dev.data(), dir.data(), name.data(), ext.data()};
}

std::string join(const char *dev, const char *dir, const char *name, const char *ext, int *rc = nullptr)
{
    std::vector<char> out(UTIL_MAX_PATH + 1, 'x');
    int r = util_buildFilename(out.data(), dev, dir, name, ext);
    if (rc != nullptr)
        *rc = r;
    return out.data();
}

TEST(FileNameSplit, PiecesOfSpecifications)
{
    struct Case {
        const char *input;
        Pieces want;
    } cases[] = {
        {"/DATA/TABLE.DBF", {"", "/DATA/", "TABLE", "DBF"}},
        {"TABLE", {"", "#", "TABLE", "#"}},
        {"/DATA/", {"", "/DATA/", "#", "#"}},
        {"/", {"", "/", "#", "#"}},
        // A dot before the last separator does not start an extension.
        {"A.B/C", {"", "A.B/", "C", "#"}},
        {"rel/dir/file.tar.gz", {"", "rel/dir/", "file.tar", "gz"}},
        {".profile", {"", "#", "#", "profile"}},
        // Characters that separated pieces elsewhere are ordinary here.
        {"C:\\DATA\\TABLE.DBF", {"", "#", "C:\\DATA\\TABLE", "DBF"}},
        {"[dir]name.ext;3", {"", "#", "[dir]name", "ext;3"}},
        {"/a]b/x;1", {"", "/a]b/", "x;1", "#"}},
        // A final '.' is an empty extension, not nothing: "data." and "data"
        // are two files. "." and ".." are names.
        {"data.", {"", "#", "data", ""}},
        {"a.b.", {"", "#", "a.b", ""}},
        {".", {"", "#", ".", "#"}},
        {"..", {"", "#", "..", "#"}},
        {"sub/..", {"", "sub/", "..", "#"}},
        {"/d/.", {"", "/d/", ".", "#"}},
        {"...", {"", "#", "..", ""}},
    };
    for (const Case &c : cases) {
        Pieces got = split(c.input);
        EXPECT_EQ(c.want.dev, got.dev) << c.input;
        EXPECT_EQ(c.want.dir, got.dir) << c.input;
        EXPECT_EQ(c.want.name, got.name) << c.input;
        EXPECT_EQ(c.want.ext, got.ext) << c.input;
    }
}

TEST(FileNameSplit, NullEmptyOrOverlongInputLeavesOutputsAlone)
{
    std::string longSpec(UTIL_MAX_PATH + 1, 'a');
    for (const char *input : {(const char *)nullptr, "", longSpec.c_str()}) {
        Pieces got = split(input);
        EXPECT_EQ("#", got.dev);
        EXPECT_EQ("#", got.dir);
        EXPECT_EQ("#", got.name);
        EXPECT_EQ("#", got.ext);
    }
    // Null outputs are skipped.
    char name[16] = "";
    util_parseFilename("/d/n.e", nullptr, nullptr, name, nullptr);
    EXPECT_STREQ("n", name);
}

TEST(FileNameJoin, PiecesIntoSpecifications)
{
    struct Case {
        const char *dev, *dir, *name, *ext, *want;
    } cases[] = {
        {"", "/DATA/", "T", "DBF", "/DATA/T.DBF"},
        {nullptr, "/", "T", nullptr, "/T"},
        // A given extension brings its dot even when empty; null gives none.
        {nullptr, nullptr, "T", "", "T."},
        {nullptr, "sub/", "..", nullptr, "sub/.."},
        {nullptr, "/DATA", "T", nullptr, "/DATA/T"},
        {nullptr, "rel/sub/", "x", nullptr, "rel/sub/x"},
        {nullptr, "/d/", nullptr, nullptr, "/d"},
        {nullptr, "/", nullptr, nullptr, "/"},
        // There are no devices: a device piece is ignored.
        {"C", "/d/", "t", "dbf", "/d/t.dbf"},
        // Only one trailing separator is dropped.
        {nullptr, "/d//", "t", nullptr, "/d//t"},
        // An extension without a name keeps its dot and its directory.
        {nullptr, "/d/", "", "cdx", "/d/.cdx"},
        {nullptr, nullptr, nullptr, nullptr, ""},
    };
    for (const Case &c : cases) {
        int rc = -1;
        EXPECT_EQ(c.want, join(c.dev, c.dir, c.name, c.ext, &rc)) << c.want;
        EXPECT_EQ(0, rc) << c.want;
    }
}

TEST(FileNameJoin, SplitThenJoinGivesTheSameName)
{
    for (const char *input : {"/DATA/TABLE.DBF", "rel/a.b/c", "t", "/x/.hidden", "/usr/lib/x.so.1",
                             "a b/c d.e f", "data.", "a.b.", ".", "..", "sub/..", "/d/.", "..."}) {
        Pieces p = split(input);
        auto piece = [](const std::string &s) { return s == "#" ? nullptr : s.c_str(); };
        EXPECT_EQ(input, join(nullptr, piece(p.dir), piece(p.name), piece(p.ext))) << input;
    }
}

TEST(FileNameJoin, OverlongResultIsRefusedNotCut)
{
    std::string dir = "/" + std::string(UTIL_MAX_PATH - 5, 'd') + "/";
    int rc = 0;
    EXPECT_EQ(dir + "ab", join(nullptr, dir.c_str(), "ab", nullptr, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ("", join(nullptr, dir.c_str(), "abcd", "e", &rc));
    EXPECT_EQ(UTIL_FAILURE, rc);
    EXPECT_EQ(UTIL_FAILURE, util_buildFilename(nullptr, nullptr, "/", "a", nullptr));
}

TEST(FileNameBuildString, JoinsNonEmptyArgumentsWithSeparator)
{
    std::vector<char> out(UTIL_MAX_ENVLIST + 1);
    EXPECT_EQ(out.data(), util_buildString(out.data(), nullptr, "A", "", "B", (char *)nullptr));
    EXPECT_STREQ("A;B", out.data());
    util_buildString(out.data(), ", ", "x", "y", "z", (char *)nullptr);
    EXPECT_STREQ("x, y, z", out.data());
    util_buildString(out.data(), "-", (char *)nullptr);
    EXPECT_STREQ("", out.data());
    EXPECT_EQ(nullptr, util_buildString(nullptr, ";", "a", (char *)nullptr));

    std::string big(UTIL_MAX_ENVLIST - 2, 'v');
    EXPECT_NE(nullptr, util_buildString(out.data(), ";", big.c_str(), "w", (char *)nullptr));
    EXPECT_EQ(nullptr, util_buildString(out.data(), ";", big.c_str(), "wx", (char *)nullptr));
    EXPECT_STREQ("", out.data());
}

// A lead byte followed by '/' or '.' is one character when the trail range
// takes those bytes in: the table decides, not the byte value.
TEST(FileSpecMultibyte, TrailBytesAreNeverSeparators)
{
    std::vector<encodingRange> wideTrail = {{0x21, 0x7E}};
    const char *input = "d\x81/n\x81.x";
    {
        testutil::ScopedCodeSet cs(testutil::sjisLead(), wideTrail, 1);
        Pieces got = split(input);
        EXPECT_EQ("#", got.dir);
        EXPECT_EQ(input, got.name);
        EXPECT_EQ("#", got.ext);
        // A directory ending in such a character still needs its separator.
        EXPECT_EQ("d\x81//n", join(nullptr, "d\x81/", "n", nullptr));
    }
    {
        testutil::ScopedCodeSet cs(testutil::sjisLead(), wideTrail, 0);
        Pieces got = split(input);
        EXPECT_EQ("d\x81/", got.dir);
        EXPECT_EQ("n\x81", got.name);
        EXPECT_EQ("x", got.ext);
        EXPECT_EQ("d\x81/n", join(nullptr, "d\x81/", "n", nullptr));
    }
}

TEST(FileNameAbbreviate, ShortensFromASeparatorAndLowersCase)
{
    struct Case {
        const char *in;
        int maxLength;
        const char *want;
    } cases[] = {
        {"/usr/local/share/catalogr/Catalogr.RSC", 20, ".../catalogr.rsc"},
        {"/usr/local/share/catalogr/Catalogr.RSC", 27, ".../catalogr/catalogr.rsc"},
        {"/Short/Name", 40, "/short/name"},
        {"NoSeparatorsAtAllInThisName", 5, "noseparatorsatallinthisname"},
        // Cutting before index 3 would lengthen the name: it stays whole.
        {"/a/bbbbbbbbbbbbbbbb", 5, "/a/bbbbbbbbbbbbbbbb"},
        {"ab/cdefghijklmnopq", 4, "ab/cdefghijklmnopq"},
        {"abc/defghijklmnopq", 4, ".../defghijklmnopq"},
        {"", 0, ""},
    };
    for (const Case &c : cases) {
        // Exactly sized, so writing past the name shows under the sanitizer.
        std::vector<char> buf(c.in, c.in + std::strlen(c.in) + 1);
        EXPECT_EQ(buf.data(), util_abbreviateFileName(buf.data(), c.maxLength));
        EXPECT_STREQ(c.want, buf.data()) << c.in;
    }
    EXPECT_EQ(nullptr, util_abbreviateFileName(nullptr, 10));

    testutil::ScopedCodeSet cs(1);
    char mb[] = "/Dir/\x82\x41X";
    util_abbreviateFileName(mb, 40);
    EXPECT_STREQ("/dir/\x82\x41x", mb);
}

TEST(FileNameHelpers, SeparatorsWildcardDrivesAndAccess)
{
    EXPECT_TRUE(util_isPathSeparator(";"));
    EXPECT_TRUE(util_isPathSeparator(":"));
    EXPECT_FALSE(util_isPathSeparator("/"));
    EXPECT_FALSE(util_isPathSeparator(nullptr));
    EXPECT_TRUE(util_isDirSeparator("/"));
    EXPECT_FALSE(util_isDirSeparator("\\"));
    char sep[2] = "x";
    util_getPathSeparator(sep);
    EXPECT_STREQ(";", sep);
    util_getDirSeparator(sep);
    EXPECT_STREQ("/", sep);
    EXPECT_EQ(1, util_isValidDrive(0));
    EXPECT_EQ(1, util_isValidDrive(27));

    char wild[4] = "abc";
    util_allFilesWildCard(wild, 0);
    EXPECT_STREQ("abc", wild);
    util_allFilesWildCard(wild, 1);
    EXPECT_STREQ("", wild);
    util_allFilesWildCard(wild, 4);
    EXPECT_STREQ("*", wild);
}

} // namespace

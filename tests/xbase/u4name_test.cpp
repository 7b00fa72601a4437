// File-name pieces: extensions added or replaced, pieces cut from a name,
// the directory part, joining, and the scan through a double-byte code set
// whose trail bytes look like separators.
#include "xbase/u4util.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "codeset/codeset.h"

namespace {

std::string ext(const char *name, const char *newExt, int replace, int len = 64, int *rc = nullptr)
{
    char buf[256];
    std::strcpy(buf, name);
    int r = u4name_ext(buf, len, newExt, replace);
    if (rc != nullptr)
        *rc = r;
    return buf;
}

std::string piece(const char *from, int len, int givePath, int giveExt, int *rc = nullptr)
{
    char buf[256];
    std::memset(buf, '#', sizeof buf);
    int r = u4name_piece(buf, len, from, givePath, giveExt);
    if (rc != nullptr)
        *rc = r;
    return buf;
}

// A double-byte code set: lead bytes 0x81-0x9F, any trail byte from 0x20,
// so a trail byte may be '/' or '.'.
struct DoubleByteCodeSet {
    codesetglobals saved;
    encodingRange lead{0x81, 0x9F}, trail{0x20, 0xFF};
    encodingRange *ranges[2] = {&lead, &trail};
    int sizes[2] = {1, 1};
    DoubleByteCodeSet()
    {
        saved = csG;
        csG.nMBRanges = 2;
        csG.mbRangeSizesP = sizes;
        csG.rangesPP = ranges;
        mbstr_initialize(1);
    }
    ~DoubleByteCodeSet()
    {
        csG = saved;
        mbstr_initialize(0);
    }
};

} // namespace

TEST(FileNameExtension, AddedOrReplacedInTheFinalComponentOnly)
{
    const struct {
        const char *name, *ext;
        int replace;
        const char *want;
    } rows[] = {
        {"/data/dir.x/file", "DBF", 0, "/data/dir.x/FILE.DBF"},
        {"dir.x/file", "dbf", 1, "dir.x/FILE.DBF"},
        {"file.txt", "DBF", 0, "FILE.TXT"},
        {"file.txt", "FPT", 1, "FILE.FPT"},
        {"parts   ", ".cdx", 0, "PARTS.CDX"},
        {"lower/Mixed.dbf", "cdx", 1, "lower/MIXED.CDX"},
        {"a\\b:c", "dbf", 0, "A\\B:C.DBF"},
        {"arch.tar.gz", "x", 1, "ARCH.TAR.X"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.want, ext(r.name, r.ext, r.replace)) << r.name;
}

TEST(FileNameExtension, RefusedWhenTheResultDoesNotFit)
{
    int rc = 0;
    EXPECT_EQ("parts", ext("parts", "DBF", 0, 9, &rc)) << "the name is left as it was";
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("PARTS.DBF", ext("parts", "DBF", 0, 10, &rc));
    EXPECT_EQ(0, rc);
}

TEST(FileNamePiece, PiecesOfAName)
{
    const struct {
        const char *from;
        int len, path, ext;
        const char *want;
        int rc;
    } rows[] = {
        {"/data/customers.dbf", 64, 0, 0, "CUSTOMERS", 0},
        {"/data/customers.dbf", 11, 0, 0, "CUSTOMERS", 0},
        {"/data/customers.dbf", 64, 0, 1, "CUSTOMERS.DBF", 0},
        {"/data/customers.dbf", 64, 1, 0, "/data/CUSTOMERS", 0},
        {"/data/customers.dbf", 64, 1, 1, "/data/CUSTOMERS.DBF", 0},
        {"/d/abcdefghijklmn.dbf", 11, 0, 0, "ABCDEFGHIJ", 1},
        {"dir.x/file", 64, 0, 0, "FILE", 0},
        {"", 11, 0, 0, "", 0},
        {nullptr, 11, 1, 1, "", 0},
    };
    for (const auto &r : rows) {
        int rc = -5;
        EXPECT_EQ(r.want, piece(r.from, r.len, r.path, r.ext, &rc)) << (r.from ? r.from : "null");
        EXPECT_EQ(r.rc, rc) << (r.from ? r.from : "null");
    }
}

TEST(FileNamePath, DirectoryExtensionAndJoin)
{
    char buf[64];
    EXPECT_EQ(8, u4name_path(buf, sizeof buf, "/data/x/file.dbf"));
    EXPECT_STREQ("/data/x/", buf);
    EXPECT_EQ(0, u4name_path(buf, sizeof buf, "file.dbf"));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(-1, u4name_path(buf, 5, "/data/x/file.dbf"));
    EXPECT_STREQ("", buf);

    char e[8];
    EXPECT_EQ(3, u4name_ret_ext(e, sizeof e, "/d.x/file.dbf"));
    EXPECT_EQ("dbf", std::string(e, 3));
    EXPECT_EQ(2, u4name_ret_ext(e, 2, "/d.x/file.dbf"));
    EXPECT_EQ(0, u4name_ret_ext(e, sizeof e, "/d.x/file"));

    const struct {
        const char *dir, *name, *want;
    } rows[] = {
        {"data", "x.dbf", "data/x.dbf"},
        {"/srv/data/", "x.dbf", "/srv/data/x.dbf"},
        {"/srv/data", "/abs/x.dbf", "/abs/x.dbf"},
        {"", "x.dbf", "x.dbf"},
        {nullptr, "sub/x.dbf", "sub/x.dbf"},
    };
    for (const auto &r : rows) {
        ASSERT_EQ(0, u4name_make(buf, sizeof buf, "c:", r.dir, r.name));
        EXPECT_STREQ(r.want, buf);
    }
    EXPECT_EQ(-1, u4name_make(buf, 8, nullptr, "/srv/data", "x.dbf"));
    EXPECT_STREQ("", buf);
}

TEST(FileNameChar, LettersDigitsAndUnderscore)
{
    const unsigned char names[] = {'a', 'Z', '0', '9', '_'};
    for (unsigned char c : names)
        EXPECT_EQ(1, u4name_char(c)) << c;
    const unsigned char others[] = {'.', ' ', '/', '-', '\\', 0xC4, 0};
    for (unsigned char c : others)
        EXPECT_EQ(0, u4name_char(c)) << (int)c;
}

TEST(FileNameMultibyte, TrailBytesAreNeverSeparatorsAndNeverCut)
{
    DoubleByteCodeSet cs;
    // "\x81/" and "\x82." are whole characters: the last separator is the
    // one before "ab", and the name has no extension of its own.
    char name[64] = "dir/\x81/ab\x82.";
    ASSERT_EQ(0, u4name_ext(name, sizeof name, "dbf", 0));
    EXPECT_STREQ("dir/\x81/AB\x82..DBF", name);

    char path[64];
    EXPECT_EQ(4, u4name_path(path, sizeof path, "dir/\x81/ab"));
    EXPECT_STREQ("dir/", path);

    // A cut never splits a character.
    int rc = 0;
    EXPECT_EQ("ABCDEFGHI", piece("abcdefghi\x81x.dbf", 11, 0, 0, &rc));
    EXPECT_EQ(1, rc);
}

// Tags in use: seeks in ascending and descending tags, the record check
// of a seek, keys kept current by writes that are refused or fail, adding
// a key that is there already, exclusive write-back, the tree checker on
// damaged trees, and the version check keeping the selected tag's place.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/faultinject.h"
#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "util/byteorder.h"
#include "xbase/d4tag.h"
#include "xbase/index/b4block.h"

using d4test::Engine;
using d4test::lastError;
using indextest::Entries;

namespace {

// Appends one record per row of field texts, in field order.
void appendRows(DATA4 *d, const std::vector<std::vector<std::string>> &rows)
{
    for (const auto &row : rows) {
        ASSERT_EQ(0, d4append_start(d, 0));
        d4blank(d);
        for (size_t f = 0; f < row.size(); f++)
            f4assign(d4field_j(d, (int)f + 1), row[f].c_str());
        ASSERT_EQ(0, d4append(d)) << lastError();
    }
}

DATA4 *openTable(Engine &e, const std::string &path)
{
    DATA4 *d = d4open(&e.c4, path.c_str());
    EXPECT_NE(nullptr, d) << lastError();
    return d;
}

std::string fileBytes(const std::string &path) { return testutil::readFile(path); }

std::string cdxOf(const std::string &dbf) { return dbf.substr(0, dbf.size() - 4) + ".CDX"; }

} // namespace

// ---- Seeks ---------------------------------------------------------------------

TEST(TagSeek, AscendingAndDescendingTagsFindTheFirstKeyInTheirOrder)
{
    // Numbers -2, -1.5, -1, 0, 1: negative keys end in 0xFF bytes. Texts
    // that end in 0xFF bytes, and one of four 0xFF bytes that a filter keeps
    // out of the last tag.
    static const FIELD4INFO fields[] = {{"NUM", 'N', 6, 1}, {"TXT", 'C', 4, 0}, {nullptr, 0, 0, 0}};
    Engine e;
    std::string path = indextest::makeTable(e, "SEEK", fields,
                                            {{"NUMA", "NUM", "", false, false},
                                             {"NUMD", "NUM", "", false, true},
                                             {"TXTA", "TXT", "", false, false},
                                             {"TXTD", "TXT", "", false, true},
                                             {"TXTDF", "TXT", "NUM <> 0", false, true}});
    ASSERT_FALSE(path.empty());
    DATA4 *d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    appendRows(d, {{"-2", "AB\xFF\xFF"}, {"-1.5", "AB\xFF "}, {"-1", "AC"}, {"0", "\xFF\xFF\xFF\xFF"}, {"1", "AB"}});

    struct Case {
        const char *tag;
        bool number;
        double value;
        std::string text;
        int rc;
        long rec; // the record reached; 0 at end of file
    } cases[] = {
        {"NUMA", true, -2, "", 0, 1},           {"NUMA", true, -1.5, "", 0, 2},
        {"NUMA", true, -1, "", 0, 3},           {"NUMA", true, 0, "", 0, 4},
        {"NUMA", true, 1, "", 0, 5},            {"NUMA", true, -1.25, "", r4after, 3},
        {"NUMA", true, -3, "", r4after, 1},     {"NUMA", true, 2, "", r4eof, 0},
        {"NUMD", true, -2, "", 0, 1},           {"NUMD", true, -1.5, "", 0, 2},
        {"NUMD", true, -1, "", 0, 3},           {"NUMD", true, 0, "", 0, 4},
        {"NUMD", true, 1, "", 0, 5},            {"NUMD", true, -1.25, "", r4after, 2},
        {"NUMD", true, 2, "", r4after, 5},      {"NUMD", true, -3, "", r4eof, 0},
        {"NUMD", true, 0.5, "", r4after, 4},    {"TXTA", false, 0, "AB\xFF", 0, 2},
        {"TXTA", false, 0, "AB\xFF\xFF", 0, 1}, {"TXTA", false, 0, "AB\xFE", r4after, 2},
        {"TXTA", false, 0, "A", 0, 5},          {"TXTA", false, 0, "0", r4after, 5},
        {"TXTA", false, 0, "B", r4after, 4},    {"TXTA", false, 0, "\xFF\xFF\xFF", 0, 4},
        {"TXTA", false, 0, "\xFF\xFF\xFF\xFF\xFF", 0, 4},
        {"TXTD", false, 0, "AB\xFF", 0, 1},     {"TXTD", false, 0, "AB\xFF\xFF", 0, 1},
        {"TXTD", false, 0, "AB\xFF ", 0, 2},    {"TXTD", false, 0, "AB\xFE", r4after, 5},
        {"TXTD", false, 0, "A", 0, 3},          {"TXTD", false, 0, "B", r4after, 3},
        {"TXTD", false, 0, "0", r4eof, 0},      {"TXTD", false, 0, "\xFF\xFF", 0, 4},
        {"TXTD", false, 0, "\xFF\xFE", r4after, 3},
        {"TXTDF", false, 0, "\xFF\xFF", r4after, 3},
        {"TXTDF", false, 0, "\xFF\xFF\xFF\xFF", r4after, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.tag) + " " + (c.number ? std::to_string(c.value) : testutil::hex(c.text)));
        d4tag_select(d, d4tag(d, c.tag));
        int rc = c.number ? d4seek_double(d, c.value) : d4seek_n(d, c.text.data(), (int)c.text.size());
        EXPECT_EQ(c.rc, rc) << lastError();
        if (c.rec == 0)
            EXPECT_EQ(1, d4eof(d));
        else
            EXPECT_EQ(c.rec, d4recno(d));
    }
    EXPECT_EQ(0, d4close(d));
}

TEST(TagSeek, AStaleHitIsCheckedInTheTagsOrderAndAgainstItsFilter)
{
    // Another program changes records behind the index: the first entry
    // for "C" names a record that now holds "Z", and the other record with
    // "C" is deleted but keeps its entries in tags filtered on deletion.
    static const FIELD4INFO fields[] = {{"TXT", 'C', 4, 0}, {nullptr, 0, 0, 0}};
    Engine e;
    std::string path = indextest::makeTable(e, "STALE", fields,
                                            {{"DOWN", "TXT", ".NOT. DELETED()", false, true},
                                             {"LIVE", "TXT", ".NOT. DELETED()", false, false}});
    ASSERT_FALSE(path.empty());
    DATA4 *d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    appendRows(d, {{"B"}, {"C"}, {"D"}, {"C"}});
    ASSERT_EQ(0, d4close(d));
    std::string dbf = fileBytes(path);
    unsigned header = d4test::le16(dbf, 8), width = d4test::le16(dbf, 10);
    dbf[header + width * 1 + 1] = 'Z'; // record 2: "C" becomes "Z"
    dbf[header + width * 3] = '*';     // record 4 deleted
    testutil::writeFile(path, dbf);

    d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    d4tag_select(d, d4tag(d, "DOWN"));
    EXPECT_EQ(r4after, d4seek(d, "C")) << "the next live key in descending order is B";
    EXPECT_EQ(1, d4recno(d));
    d4tag_select(d, d4tag(d, "LIVE"));
    EXPECT_EQ(r4after, d4seek(d, "C")) << "C of record 4 no longer passes the filter";
    EXPECT_EQ(3, d4recno(d));
    EXPECT_EQ(0, d4seek(d, "D"));
    EXPECT_EQ(3, d4recno(d));
    EXPECT_EQ(0, d4close(d));
}

// ---- Keys kept current by writes -----------------------------------------------

TEST(TagKeys, AUniqueConflictOnTheThirdTagLeavesEveryTagAsItWas)
{
    static const FIELD4INFO fields[] = {{"A", 'C', 8, 0}, {"B", 'N', 6, 0}, {"U", 'C', 4, 0},
                                        {nullptr, 0, 0, 0}};
    for (int policy : {(int)r4unique, (int)e4unique}) {
        SCOPED_TRACE(policy);
        Engine e;
        std::string path = indextest::makeTable(e, "UNIQ", fields,
                                                {{"TA", "A", "", false, false},
                                                 {"TB", "B", ".NOT. DELETED()", false, true},
                                                 {"TU", "U", "", true, false}});
        ASSERT_FALSE(path.empty());
        DATA4 *d = openTable(e, path);
        ASSERT_NE(nullptr, d);
        appendRows(d, {{"ONE", "1", "K1"}, {"TWO", "2", "K2"}, {"THREE", "3", "K3"}});
        ASSERT_EQ(0, d4flush(d));
        d4tag(d, "TU")->unique_error = policy;
        std::string cdx_before = fileBytes(cdxOf(path)), dbf_before = fileBytes(path);

        ASSERT_EQ(0, d4go(d, 2));
        f4assign(d4field(d, "A"), "CHANGED");
        f4assign(d4field(d, "B"), "99");
        f4assign(d4field(d, "U"), "K3");
        EXPECT_EQ(policy, d4write(d, 2));
        EXPECT_EQ(1, d4changed(d, -1)) << "the refused change stays pending";
        d4changed(d, 0);
        ASSERT_EQ(0, d4update(d));
        e4set(&e.c4, 0);
        std::string cdx_after = fileBytes(cdxOf(path));
        // Only the version counter moved.
        cdx_after.replace(I4_OFF_VERSION, 4, cdx_before.substr(I4_OFF_VERSION, 4));
        EXPECT_TRUE(cdx_before == cdx_after) << "the index changed";
        EXPECT_TRUE(dbf_before == fileBytes(path)) << "the record was written";
        EXPECT_EQ("", indextest::checkIndexes(d));
        EXPECT_EQ(0, d4close(d));
    }
}

TEST(TagKeys, AWriteWhoseRecordCannotBeStoredPutsItsKeysBack)
{
    static const FIELD4INFO fields[] = {{"A", 'C', 8, 0}, {nullptr, 0, 0, 0}};
    for (faults::Kind kind : {faults::Kind::eio, faults::Kind::enospc}) {
        Engine e;
        std::string path = indextest::makeTable(e, "WFAIL", fields, {{"TA", "A", "", false, false}});
        ASSERT_FALSE(path.empty());
        e.c4.exclusive = 1; // the index is written at close: the only write is the record's
        DATA4 *d = openTable(e, path);
        ASSERT_NE(nullptr, d);
        appendRows(d, {{"ALPHA"}, {"BRAVO"}});
        ASSERT_EQ(0, d4go(d, 1));
        f4assign(d4field(d, "A"), "ZULU");
        {
            faults::Injector fail({faults::Call::write, kind}, 1);
            EXPECT_GT(0, d4write(d, 1));
            EXPECT_TRUE(fail.fired());
        }
        e4set(&e.c4, 0);
        d4changed(d, 0);
        Entries want = {{std::string("ALPHA   "), 1}, {std::string("BRAVO   "), 2}};
        EXPECT_EQ(want, indextest::walkOrder(d4tag(d, "TA"), true));
        EXPECT_EQ(0, d4close(d));
        d = openTable(e, path);
        EXPECT_EQ(want, indextest::walkOrder(d4tag(d, "TA"), true));
        EXPECT_EQ("", indextest::checkIndexes(d));
        EXPECT_EQ(0, d4close(d));
    }
}

TEST(TagKeys, AddingAKeyThatIsThereDoesNothingInEveryKindOfTag)
{
    static const FIELD4INFO fields[] = {{"A", 'C', 6, 0}, {nullptr, 0, 0, 0}};
    Engine e;
    std::string path = indextest::makeTable(e, "AGAIN", fields,
                                            {{"PLAIN", "A", "", false, false},
                                             {"UNIQ", "A", "", true, false},
                                             {"LIVE", "A", ".NOT. DELETED()", false, false},
                                             {"DOWN", "A", "", false, true}});
    ASSERT_FALSE(path.empty());
    DATA4 *d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    appendRows(d, {{"X"}, {"Y"}, {"X"}});
    ASSERT_EQ(0, d4lock_index(d));
    for (const char *name : {"PLAIN", "UNIQ", "LIVE", "DOWN"}) {
        SCOPED_TRACE(name);
        TAG4 *t4 = d4tag(d, name);
        t4->unique_error = e4unique;
        Entries before = indextest::walkOrder(t4, true);
        EXPECT_EQ(0, t4add(t4, "Y     ", 2));
        EXPECT_EQ(before, indextest::walkOrder(t4, true));
    }
    // The unique tag kept the first X; another record with X is refused.
    EXPECT_EQ(e4unique, t4add(d4tag(d, "UNIQ"), "X     ", 3));
    EXPECT_EQ(r4entry, t4remove(d4tag(d, "UNIQ"), "X     ", 3));
    EXPECT_EQ(0, d4unlock_index(d));
    e4set(&e.c4, 0);
    EXPECT_EQ("", indextest::checkIndexes(d));
    EXPECT_EQ(0, d4close(d));
}

TEST(TagKeys, AnExclusiveTableWritesBlocksHeaderAndFreeListAtClose)
{
    static const FIELD4INFO fields[] = {{"A", 'C', 60, 0}, {nullptr, 0, 0, 0}};
    Engine e;
    std::string path = indextest::makeTable(e, "EXCL", fields, {{"TA", "A", ".NOT. DELETED()", false, false}});
    ASSERT_FALSE(path.empty());
    e.c4.exclusive = 1;
    DATA4 *d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 200; i++)
        rows.push_back({std::string(50, char('A' + i % 26)) + std::to_string(1000 + i)});
    appendRows(d, rows);
    // Deleting every record but the last empties leaves, which go to the
    // free list.
    for (long r = 1; r < 200; r++) {
        ASSERT_EQ(0, d4go(d, r));
        d4delete(d);
    }
    ASSERT_EQ(0, d4close(d));
    e.c4.exclusive = 0;
    std::string cdx = fileBytes(cdxOf(path));
    long head = (long)d4test::le32(cdx, I4_OFF_FREE_LIST);
    EXPECT_GE(head, I4_FIRST_BLOCK) << "freed blocks are on the list";
    d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ((Entries{{rows.back()[0] + std::string(60 - rows.back()[0].size(), ' '), 200}}),
              indextest::walkOrder(d4tag(d, "TA"), true));
    EXPECT_EQ("", indextest::checkIndexes(d));
    EXPECT_EQ(0, d4close(d));
}

// ---- Positions kept across another process's change ------------------------------

TEST(TagVersion, TheSelectedTagKeepsItsPlaceWhenTheCacheIsDropped)
{
    static const FIELD4INFO fields[] = {{"A", 'C', 6, 0}, {nullptr, 0, 0, 0}};
    Engine e;
    std::string path = indextest::makeTable(e, "KEEP", fields, {{"TA", "A", "", false, false}});
    ASSERT_FALSE(path.empty());
    DATA4 *writer = openTable(e, path);
    DATA4 *reader = openTable(e, path);
    ASSERT_TRUE(writer != nullptr && reader != nullptr);
    appendRows(writer, {{"B"}, {"D"}, {"F"}});
    TAG4 *t4 = d4tag(reader, "TA");
    d4tag_select(reader, t4);
    ASSERT_EQ(0, d4seek(reader, "D"));
    appendRows(writer, {{"A"}, {"C"}, {"E"}});
    INDEX4 *i4 = t4->index;
    ASSERT_EQ(0, i4version_check(i4, 1, 0));
    ASSERT_NE(nullptr, t4block(t4)) << "repositioned";
    EXPECT_EQ(2, t4recno(t4));
    EXPECT_EQ(1, t4dskip(t4, 1));
    EXPECT_EQ(6, t4recno(t4)) << "the entry after D is now E";
    EXPECT_EQ(0, d4close(reader));
    EXPECT_EQ(0, d4close(writer));
}

// ---- The tree checker ------------------------------------------------------------

TEST(TagCheck, EachKindOfDamageIsFoundAtItsBlock)
{
    // A tree of at least three levels: 80-byte keys that share little, a
    // handful to a leaf and five to a branch.
    const int kl = 80, entry = kl + 8;
    static const FIELD4INFO fields[] = {{"A", 'C', 80, 0}, {nullptr, 0, 0, 0}};
    Engine e;
    std::string path = indextest::makeTable(e, "DAMAGE", fields, {{"TA", "A", "", false, false}});
    ASSERT_FALSE(path.empty());
    DATA4 *d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 300; i++) {
        std::string k;
        for (int j = 0; j < kl; j++)
            k += char('A' + (i * 7 + j * 13 + i * j) % 26);
        rows.push_back({k});
    }
    appendRows(d, rows);
    ASSERT_EQ("", indextest::checkIndexes(d));
    TAG4 *t4 = d4tag(d, "TA");
    long root = t4root(t4);
    ASSERT_EQ(0, d4close(d));
    std::string good = fileBytes(cdxOf(path));

    // Blocks of the first two levels below the root, from the file.
    auto child = [&](long pos, int i) {
        return (long)util_getBe32((const unsigned char *)&good[(size_t)pos + 12 + i * entry + kl + 4]);
    };
    long branch = child(root, 0), branch2 = child(root, 1);
    long leaf = child(branch, 0);
    ASSERT_EQ(0, util_getLe16((const unsigned char *)&good[(size_t)root]) & 2) << "the root is a branch";
    ASSERT_EQ(0, util_getLe16((const unsigned char *)&good[(size_t)branch]) & 2) << "three levels";

    struct Case {
        const char *what;
        std::function<void(std::string &)> damage;
        long block;
    } cases[] = {
        {"a branch entry that is not its child's greatest",
         [&](std::string &f) { f[(size_t)branch + 12 + 5]++; }, leaf},
        {"a right link that skips a block",
         [&](std::string &f) { d4test::putLe32(f, (size_t)leaf + 8, (uint32_t)child(branch, 2)); }, leaf},
        {"a level that does not end in -1",
         [&](std::string &f) { d4test::putLe32(f, (size_t)branch2 + 8, (uint32_t)branch); }, branch2},
        {"one leaf named twice",
         [&](std::string &f) { util_putBe32((unsigned char *)&f[(size_t)root + 12 + entry + kl + 4], (uint32_t)branch); },
         branch},
        {"a free list that runs in a circle",
         [&](std::string &f) {
             long end = (long)f.size();
             f.append(2 * B4_BLOCK_SIZE, '\0');
             d4test::putLe32(f, I4_OFF_FREE_LIST, (uint32_t)end);
             d4test::putLe32(f, (size_t)end, (uint32_t)(end + B4_BLOCK_SIZE));
             d4test::putLe32(f, (size_t)end + B4_BLOCK_SIZE, (uint32_t)end);
         }, -2},
        {"a free list that leaves the file",
         [&](std::string &f) { d4test::putLe32(f, I4_OFF_FREE_LIST, (uint32_t)(f.size() + 4096)); }, (long)good.size() + 4096},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string img = good;
        c.damage(img);
        testutil::writeFile(cdxOf(path), img);
        e.c4.auto_open = 0;
        d = openTable(e, path);
        e.c4.auto_open = 1;
        INDEX4 *i4 = i4open(d, nullptr);
        ASSERT_NE(nullptr, i4) << lastError();
        T4PROBLEM p{};
        EXPECT_EQ(1, i4check(i4, &p));
        if (c.block == -2)
            EXPECT_GE(p.block, (long)good.size()) << p.text;
        else
            EXPECT_EQ(c.block, p.block) << p.text;
        EXPECT_STRNE("", p.text);
        d4close(d);
    }
}

TEST(TagSkip, ANeighbourThatDoesNotLinkBackIsNeverWalkedInto)
{
    // The second leaf of the tag names another left neighbour, as after a
    // change by another process that this one has not seen whole: a skip
    // across it gives up (after the retries) instead of walking on.
    static const FIELD4INFO fields[] = {{"A", 'C', 80, 0}, {nullptr, 0, 0, 0}};
    Engine e;
    std::string path = indextest::makeTable(e, "LINKS", fields, {{"TA", "A", "", false, false}});
    ASSERT_FALSE(path.empty());
    DATA4 *d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 40; i++)
        rows.push_back({std::string(1, char('A' + i % 26)) + std::to_string(100 + i) + std::string(60, 'x')});
    appendRows(d, rows);
    ASSERT_EQ(0, d4close(d));

    d = openTable(e, path);
    ASSERT_NE(nullptr, d);
    TAG4 *t4 = d4tag(d, "TA");
    ASSERT_EQ(0, t4top(t4));
    B4BLOCK *first = t4block(t4);
    long second = first->header.right_node;
    int in_first = first->header.n_keys;
    ASSERT_NE(-1, second);
    std::string cdx = fileBytes(cdxOf(path));
    d4test::putLe32(cdx, (size_t)second + B4_OFF_LEFT, 0xFFFFFFFFu);
    testutil::writeFile(cdxOf(path), cdx);

    EXPECT_EQ(in_first - 1, t4skip(t4, in_first + 2)) << "no step into the second leaf";
    EXPECT_EQ(-2, t4recno(t4));
    EXPECT_EQ(e4index, d4test::lastErrorCode()) << lastError();
    EXPECT_EQ(0, d4close(d));
}

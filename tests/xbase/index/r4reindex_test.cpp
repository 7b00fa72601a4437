// Building indexes: a new index byte for byte, rebuilt trees against a model
// of their keys and against indexes other programs built, a directory of
// several blocks, sorts that spill, pack, unique policies, and builds that
// fail part way.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/faultinject.h"
#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "tests/xbase/sampledump.h"
#include "util/byteorder.h"
#include "xbase/expr/expr4.h"
#include "xbase/index/r4reindex.h"

using d4test::Engine;
using d4test::lastError;

namespace {

// The dictionary's table of registered tables, as the tool defines it.
const FIELD4INFO kTableFields[] = {{"TABLE", 'C', 30, 0},   {"FILENAME", 'C', 254, 0},
                                   {"MDXFILE", 'C', 254, 0}, {"CREATOR", 'C', 8, 0},
                                   {"COLCOUNT", 'N', 3, 0},  {nullptr, 0, 0, 0}};
const TAG4INFO kTableTags[] = {{"TABLE", "TABLE", ".NOT. DELETED()", 0, 0},
                               {"CREATOR", "CREATOR", ".NOT. DELETED()", 0, 0},
                               {"CRTB", "CREATOR+TABLE", ".NOT. DELETED()", 0, 0},
                               {nullptr, nullptr, nullptr, 0, 0}};

// Little-endian and big-endian integers written into an expected image.
void le16(std::string &b, size_t off, unsigned v)
{
    b[off] = char(v & 0xFF);
    b[off + 1] = char(v >> 8);
}
void le32(std::string &b, size_t off, uint32_t v) { d4test::putLe32(b, off, v); }
void be32(std::string &b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = char((v >> (24 - 8 * i)) & 0xFF);
}

// A tag header: root, version, key length, type; the tail and the texts.
void tagHeader(std::string &f, size_t at, uint32_t root, uint32_t version, unsigned keyLen,
               unsigned type, const std::string &expr, const std::string &filter)
{
    le32(f, at, root);
    be32(f, at + 8, version);
    le16(f, at + 12, keyLen);
    f[at + 14] = char(type);
    unsigned exprLen = unsigned(expr.size()) + 1;
    unsigned filterLen = filter.empty() ? 1 : unsigned(filter.size()) + 1;
    le16(f, at + 504, exprLen);
    le16(f, at + 506, filterLen);
    le16(f, at + 510, exprLen);
    std::copy(expr.begin(), expr.end(), f.begin() + long(at) + 512);
    std::copy(filter.begin(), filter.end(), f.begin() + long(at) + 512 + exprLen);
}

// An empty root leaf for keys of `keyLen` bytes over an empty table: T and
// D are the key length's bit length, R the smallest width from 12 bits up
// that makes a whole number of bytes.
void emptyRootLeaf(std::string &f, size_t at, unsigned bits, unsigned recBits)
{
    le16(f, at, 3);
    le32(f, at + 4, 0xFFFFFFFF);
    le32(f, at + 8, 0xFFFFFFFF);
    le16(f, at + 12, 488);
    le32(f, at + 14, (1u << recBits) - 1);
    f[at + 18] = f[at + 19] = char((1u << bits) - 1);
    f[at + 20] = char(recBits);
    f[at + 21] = f[at + 22] = char(bits);
    f[at + 23] = char((recBits + 2 * bits) / 8);
}

} // namespace

namespace {

// Reads the blocks of a tag level by level from its root, and says what is
// wrong with them, or "" : on every level the links are symmetric, both
// ends link to -1, and leaves make up exactly the lowest level; every
// branch entry carries its child's last key and record number; no block
// serves twice. `blocks` collects the blocks of the tag.
std::string treeProblem(TAG4 *t4, std::set<long> &blocks, long *leafKeys)
{
    B4BLOCK *b = b4alloc(t4, -1), *child = b4alloc(t4, -1);
    std::string problem;
    long first = t4root(t4);
    *leafKeys = 0;
    for (int depth = 0; problem.empty() && first > 0; depth++) {
        long prev = -1, next_first = -1;
        bool leaves = false;
        for (long pos = first; problem.empty() && pos != -1;) {
            if (!blocks.insert(pos).second || i4read_block(&t4->index->file, pos, nullptr, b) != 0) {
                problem = "block " + std::to_string(pos) + " used twice or unreadable";
                break;
            }
            int attr = b->header.node_attribute;
            bool isRoot = depth == 0;
            if (b->header.left_node != prev)
                problem = "left link of " + std::to_string(pos);
            else if ((attr & 1) != (isRoot ? 1 : 0) || (pos != first && b4leaf(b) != leaves))
                problem = "attribute of " + std::to_string(pos);
            else if (isRoot && b->header.right_node != -1)
                problem = "root has a neighbour";
            leaves = b4leaf(b);
            if (leaves)
                *leafKeys += b->header.n_keys;
            for (int i = 0; problem.empty() && !leaves && i < b->header.n_keys; i++) {
                B4KEY_DATA *k = b4key(b, i);
                std::string key((const char *)k->value, (size_t)t4->header.key_len);
                long rec = b4recno(b, i);
                if (i == 0 && pos == first)
                    next_first = k->num;
                if (i4read_block(&t4->index->file, k->num, nullptr, child) != 0 || child->header.n_keys == 0) {
                    problem = "child of " + std::to_string(pos);
                    break;
                }
                int last = child->header.n_keys - 1;
                B4KEY_DATA *ck = b4key(child, last);
                if (key != std::string((const char *)ck->value, key.size()) || rec != b4recno(child, last))
                    problem = "entry " + std::to_string(i) + " of " + std::to_string(pos);
            }
            prev = pos;
            pos = b->header.right_node;
        }
        first = leaves ? -1 : next_first;
    }
    b4free(b);
    b4free(child);
    return problem;
}

// Every tag of an index, the directory included, read as a tree.
void expectSoundTrees(INDEX4 *i4)
{
    std::set<long> blocks;
    long keys = 0;
    EXPECT_EQ("", treeProblem(i4->tag_index, blocks, &keys)) << "directory";
    EXPECT_EQ(i4->tags.n_link, keys);
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        EXPECT_EQ("", treeProblem(t4, blocks, &keys)) << t4->alias;
        EXPECT_EQ((long)indextest::walk(t4).keys.size(), keys) << t4->alias;
    }
    EXPECT_EQ(0, i4->tag_index->header.free_list);
    long headers = 1 + i4->tags.n_link;
    EXPECT_EQ(i4->eof, (long)(blocks.size() * B4_BLOCK_SIZE + headers * I4_HEADER_LEN))
        << "no block of the file is left unused";
}

} // namespace

TEST(IndexCreate, EmptyDictionaryTableIndexIsExactlyTheExpectedBytes)
{
    Engine e;
    DATA4 *d = d4create(&e.c4, e.path("sqltable").c_str(), kTableFields, kTableTags);
    ASSERT_NE(nullptr, d) << lastError();
    ASSERT_EQ(0, d4close(d));
    std::string got = testutil::readFile(e.path("SQLTABLE.CDX"));
    ASSERT_EQ(6144u, got.size());

    std::string want(6144, '\0');
    // The directory: root leaf at 4096; version 2 (the lock and the build
    // each count a change); type 0xE0; its fixed tail.
    le32(want, 0, 4096);
    be32(want, 8, 2);
    le16(want, 12, 10);
    want[14] = char(0xE0);
    le16(want, 504, 1);
    le16(want, 506, 1);
    le16(want, 510, 1);
    // Tags in the order given, each with its own empty root leaf.
    tagHeader(want, 1024, 4608, 0, 30, 0x68, "TABLE", ".NOT. DELETED()");
    tagHeader(want, 2048, 5120, 0, 8, 0x68, "CREATOR", ".NOT. DELETED()");
    tagHeader(want, 3072, 5632, 0, 38, 0x68, "CREATOR+TABLE", ".NOT. DELETED()");
    // The directory's leaf: CREATOR (2048), CRTB (3072), TABLE (1024);
    // T = D = 4, R = 16, three-byte entries (record, d << 16, t << 20).
    emptyRootLeaf(want, 4096, 4, 16);
    le16(want, 4096 + 2, 3);
    le16(want, 4096 + 12, 488 - 9 - 14);
    const uint32_t info[3] = {2048 | 3u << 20, 3072 | 2u << 16 | 6u << 20, 1024 | 5u << 20};
    for (int i = 0; i < 3; i++)
        for (int k = 0; k < 3; k++)
            want[4096 + 24 + 3 * i + k] = char((info[i] >> (8 * k)) & 0xFF);
    std::string keys = std::string("TABLE") + "TB" + "CREATOR";
    std::copy(keys.begin(), keys.end(), want.begin() + 4096 + 512 - long(keys.size()));
    emptyRootLeaf(want, 4608, 5, 14);
    emptyRootLeaf(want, 5120, 4, 16);
    emptyRootLeaf(want, 5632, 6, 12);

    for (size_t i = 0; i < want.size(); i++)
        ASSERT_EQ(testutil::hex(want.substr(i, 1)), testutil::hex(got.substr(i, 1)))
            << "first difference at byte " << i;
    std::string dbf = testutil::readFile(e.path("SQLTABLE.DBF"));
    EXPECT_EQ(0x01, dbf[28]) << "the table flags its production index";
}

namespace {

// The cdx section of an independent reader's dump without the lines that
// name block offsets: what a rebuild must leave exactly as it was.
std::string cdxView(const std::string &dump)
{
    std::string out;
    size_t start = dump.find("[cdx]\n");
    if (start == std::string::npos)
        return out;
    size_t pos = start + 6;
    while (pos < dump.size() && dump[pos] != '[') {
        size_t end = dump.find('\n', pos);
        if (end == std::string::npos)
            end = dump.size();
        std::string line = dump.substr(pos, end - pos);
        if (line.rfind("  raw:", 0) != 0 && line.rfind("cdx_file:", 0) != 0)
            out += line + "\n";
        pos = end + 1;
    }
    return out;
}

} // namespace

TEST(IndexRebuild, SampleIndexesRebuildToTheKeysTheirWritersStored)
{
    for (const char *base : {"hb_nomemo", "hb_memo", "hb_large", "hb_grown"}) {
        SCOPED_TRACE(base);
        Engine e;
        std::string dbf = indextest::copySample(e.dir, base);
        if (dbf.empty())
            GTEST_SKIP() << "sample tables are absent";
        DATA4 *d = d4open(&e.c4, dbf.c_str());
        ASSERT_NE(nullptr, d) << lastError();
        INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
        std::map<std::string, long> offsets;
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4))
            offsets[t4->alias] = t4->header_offset;
        unsigned long version = i4->version_old;
        ASSERT_EQ(0, d4reindex(d)) << lastError();
        ASSERT_EQ(0, d4close(d));

        d = d4open(&e.c4, dbf.c_str());
        ASSERT_NE(nullptr, d) << lastError();
        i4 = (INDEX4 *)l4first(&d->indexes);
        EXPECT_NE(version, i4->version_old) << "other processes learn of the rebuild";
        std::vector<sampledump::SampleTag> expected = sampledump::readTags(
            testutil::dataDir() + "/samples/expected/" + base + ".xbdump.txt");
        ASSERT_EQ(10u, expected.size());
        for (const sampledump::SampleTag &want : expected) {
            SCOPED_TRACE(want.name);
            TAG4 *t4 = i4tag(i4, want.name.c_str());
            ASSERT_NE(nullptr, t4);
            EXPECT_EQ(offsets[t4->alias], t4->header_offset) << "every tag keeps its header's place";
            indextest::Walked w = indextest::walk(t4);
            ASSERT_EQ(0, w.rc) << lastError();
            std::vector<std::string> got;
            for (const auto &k : w.keys)
                got.push_back("key=" + sampledump::shown(t4type(t4), k.first) + " rec=" +
                              std::to_string(k.second));
            EXPECT_TRUE(got == want.keys) << got.size() << " keys, " << want.keys.size() << " expected";
        }
        expectSoundTrees(i4);
        ASSERT_EQ(0, d4close(d));

        std::string xbdump = testutil::sharedTool("xbdump");
        if (xbdump.empty())
            continue;
        testutil::ProcResult res = testutil::runProgram({xbdump, "--only=cdx,checks", dbf}, e.dir.path, {}, "", 300);
        EXPECT_EQ(0, res.exitStatus) << res.err << res.out.substr(res.out.find("[checks]"));
        std::string expectedDump =
            testutil::readFile(testutil::dataDir() + "/samples/expected/" + base + ".xbdump.txt");
        std::string view = cdxView(res.out);
        EXPECT_NE(std::string::npos, view.find("keycount:"));
        EXPECT_TRUE(view == cdxView(expectedDump)) << "the independent reader reads the same tags";
    }
}


namespace {

// A table of random rows and what each of its tags must hold, worked out
// from the rows alone.
const FIELD4INFO kModelFields[] = {{"NAME", 'C', 12, 0}, {"CITY", 'C', 6, 0},  {"AMT", 'N', 8, 2},
                                   {"DAY", 'D', 8, 0},   {"FLAG", 'L', 1, 0},  {"LONGTXT", 'C', 200, 0},
                                   {nullptr, 0, 0, 0}};
const TAG4INFO kModelTags[] = {{"NAME", "NAME", nullptr, 0, 0},
                               {"CITYNAME", "CITY+NAME", ".NOT. DELETED()", 0, 0},
                               {"AMT", "AMT", nullptr, 0, 0},
                               {"DAY", "DAY", ".NOT. DELETED()", 0, 0},
                               {"UCITY", "CITY", nullptr, r4unique_continue, 0},
                               {"UNAMED", "UPPER(NAME)", nullptr, 0, 1},
                               {"FLAGGED", "NAME", "FLAG", 0, 0},
                               {"LONGKEY", "LONGTXT", ".NOT. DELETED()", 0, 0},
                               {nullptr, nullptr, nullptr, 0, 0}};

struct Row {
    std::string name, city, amt, day, longtxt;
    double amount = 0;
    bool flag = false, deleted = false;
};

std::string pad(std::string s, size_t n) { return s.append(n - s.size(), ' '); }

// Short texts over a few letters: many equal keys, many trailing blanks.
std::string randomText(std::mt19937 &rng, size_t maxLen, const char *alphabet)
{
    size_t len = rng() % (maxLen + 1);
    std::string s;
    for (size_t i = 0; i < len; i++)
        s += alphabet[rng() % std::strlen(alphabet)];
    return s;
}

std::vector<Row> randomRows(std::mt19937 &rng, size_t n)
{
    std::vector<Row> rows(n);
    for (Row &r : rows) {
        r.name = pad(randomText(rng, 12, "AB b\xe9"), 12);
        r.city = pad(randomText(rng, 3, "XY"), 6);
        long cents = long(rng() % 200001) - 100000;
        r.amount = double(cents) / 100.0;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%8.2f", r.amount);
        r.amt = buf;
        r.day = rng() % 5 == 0 ? "        " : std::to_string(19000101 + (rng() % 120) * 10000 + rng() % 12 * 100 + rng() % 28);
        r.flag = rng() % 2;
        r.deleted = rng() % 4 == 0;
        // Long shared stretches, so leaves hold two or three keys and
        // branches two: trees many levels deep from few rows.
        r.longtxt = pad(std::string(rng() % 150, 'Q') + randomText(rng, 50, "QR"), 200);
    }
    return rows;
}

DATA4 *writeRows(Engine &e, const std::string &name, const std::vector<Row> &rows)
{
    DATA4 *d = d4create(&e.c4, e.path(name).c_str(), kModelFields, nullptr);
    if (d == nullptr)
        return nullptr;
    for (const Row &r : rows) {
        d4append_start(d, 0);
        d4blank(d);
        f4assign(d4field(d, "NAME"), r.name.c_str());
        f4assign(d4field(d, "CITY"), r.city.c_str());
        f4assign(d4field(d, "AMT"), r.amt.c_str());
        f4assign(d4field(d, "DAY"), r.day.c_str());
        f4assign(d4field(d, "FLAG"), r.flag ? "T" : "F");
        f4assign(d4field(d, "LONGTXT"), r.longtxt.c_str());
        if (r.deleted)
            d4delete(d);
        EXPECT_EQ(0, d4append(d)) << lastError();
    }
    return d;
}

std::string numberKey(double v)
{
    char k[8];
    t4dbl_to_fox(k, v);
    return std::string(k, 8);
}

// What a tag of kModelTags holds for `rows`, in (key, record) order.
indextest::Entries modelKeys(const std::string &tag, const std::vector<Row> &rows)
{
    indextest::Entries out;
    std::set<std::string> seen;
    for (size_t i = 0; i < rows.size(); i++) {
        const Row &r = rows[i];
        std::string key;
        if (tag == "NAME" || tag == "FLAGGED")
            key = r.name;
        else if (tag == "CITYNAME")
            key = r.city + r.name;
        else if (tag == "AMT")
            key = numberKey(r.amount);
        else if (tag == "DAY")
            key = numberKey(double(date4long(r.day.c_str())));
        else if (tag == "UCITY")
            key = r.city;
        else if (tag == "LONGKEY")
            key = r.longtxt;
        else
            for (char c : r.name)
                key += (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
        if ((tag == "CITYNAME" || tag == "DAY" || tag == "LONGKEY") && r.deleted)
            continue;
        if (tag == "FLAGGED" && !r.flag)
            continue;
        // Rows come in record order, so the first of equal unique keys is
        // the lowest record.
        if (tag == "UCITY" && !seen.insert(key).second)
            continue;
        out.emplace_back(key, long(i) + 1);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void expectModel(INDEX4 *i4, const std::vector<Row> &rows)
{
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        indextest::Walked w = indextest::walk(t4);
        ASSERT_EQ(0, w.rc) << lastError();
        indextest::Entries want = modelKeys(t4->alias, rows);
        ASSERT_EQ(want.size(), w.keys.size()) << t4->alias;
        for (size_t i = 0; i < want.size(); i++)
            ASSERT_TRUE(want[i] == w.keys[i]) << t4->alias << " entry " << i << ": record " << w.keys[i].second
                                              << ", expected " << want[i].second;
    }
}

} // namespace

TEST(IndexRebuild, RandomTablesBuildEveryTagAsItsModelAndRebuildToTheSameBytes)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    for (int round = 0; round < 12; round++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        Engine e;
        testutil::ScopedCwd cwd(e.dir.path);
        // Small sorts spill many runs; the default ones sort in memory.
        if (round % 2 == 0)
            e.c4.mem_size_sort_pool = 1024;
        size_t n = round == 0 ? 0 : rng() % 400;
        std::vector<Row> rows = randomRows(rng, n);
        DATA4 *d = writeRows(e, "model", rows);
        ASSERT_NE(nullptr, d) << lastError();
        INDEX4 *i4 = i4create(d, nullptr, kModelTags);
        ASSERT_NE(nullptr, i4) << lastError();
        ASSERT_EQ(0, d4close(d));
        std::string built = testutil::readFile(e.path("MODEL.CDX"));

        d = d4open(&e.c4, e.path("model").c_str());
        ASSERT_NE(nullptr, d) << lastError();
        i4 = (INDEX4 *)l4first(&d->indexes);
        ASSERT_EQ(8, i4->tags.n_link);
        expectModel(i4, rows);
        expectSoundTrees(i4);
        ASSERT_EQ(0, d4reindex(d)) << lastError();
        ASSERT_EQ(0, d4close(d));
        std::string rebuilt = testutil::readFile(e.path("MODEL.CDX"));
        ASSERT_EQ(built.size(), rebuilt.size());
        EXPECT_TRUE(built.substr(12) == rebuilt.substr(12) && built.substr(0, 8) == rebuilt.substr(0, 8))
            << "a rebuild writes what the build wrote, but for the version";
    }
}

TEST(IndexCreate, ManyTagsMakeADirectoryOfTwoLeavesThatReopensAndWalks)
{
    // Seventy tags put header offsets past 16 bits into the directory.
    for (int count : {40, 70}) {
        SCOPED_TRACE(count);
        Engine e;
        std::mt19937 rng(7);
        std::vector<Row> rows = randomRows(rng, 30);
        DATA4 *d = writeRows(e, "many", rows);
        ASSERT_NE(nullptr, d) << lastError();
        // Names whose neighbours share at most their first letter, so that
        // they do not fit one leaf.
        std::vector<std::string> names;
        std::vector<TAG4INFO> tags;
        for (int i = 0; i < count; i++)
            names.push_back(std::string(1, char('A' + i / 3)) + char('A' + i % 3) + "_COLUMN" + char('0' + i % 10));
        for (int i = 0; i < count; i++)
            tags.push_back({names[size_t(i)].c_str(), "CITY+NAME", i % 2 ? ".NOT. DELETED()" : nullptr, 0, 0});
        tags.push_back({nullptr, nullptr, nullptr, 0, 0});
        ASSERT_NE(nullptr, i4create(d, nullptr, tags.data())) << lastError();
        ASSERT_EQ(0, d4close(d));

        d = d4open(&e.c4, e.path("many").c_str());
        ASSERT_NE(nullptr, d) << lastError();
        INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
        ASSERT_EQ(count, i4->tags.n_link);
        B4BLOCK *root = b4alloc(i4->tag_index, -1);
        ASSERT_EQ(0, i4read_block(&i4->file, t4root(i4->tag_index), nullptr, root));
        EXPECT_EQ(B4_ATTR_ROOT_BRANCH, root->header.node_attribute);
        EXPECT_EQ(2, root->header.n_keys) << "a root over two leaves";
        b4free(root);
        expectSoundTrees(i4);
        std::vector<Row> undeleted = rows;
        for (Row &r : undeleted)
            r.deleted = false;
        long offset = I4_HEADER_LEN;
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
            EXPECT_EQ(offset, t4->header_offset);
            EXPECT_EQ(names[size_t(offset / I4_HEADER_LEN - 1)], t4->alias) << "header i is the i-th tag given";
            offset += I4_HEADER_LEN;
            indextest::Entries want = modelKeys("CITYNAME", t4->filter != nullptr ? rows : undeleted);
            EXPECT_TRUE(indextest::walk(t4).keys == want) << t4->alias;
        }
        ASSERT_EQ(0, d4close(d));
    }
}

namespace {

// Platform calls that watch the files a build touches: bytes written to
// work files, and one chosen kind of transfer failing.
enum FileKind { kWorkFile, kIndexFile, kTableFile, kOtherFile, kNoFile };
std::map<int, FileKind> g_kinds;
long g_workBytes = 0;
struct Fault {
    FileKind kind = kNoFile;
    bool write = false;
    long from = 0;          // only transfers starting in [from, to) fail
    bool shortRead = false; // half the bytes instead of an error
    long to = 0x7FFFFFFFL;
    int pass = 0;           // matching transfers that still succeed
} g_fault;

FileKind kindOf(int fd)
{
    auto it = g_kinds.find(fd);
    return it == g_kinds.end() ? kOtherFile : it->second;
}

bool faultHits(bool write, int fd, int64_t off)
{
    if (g_fault.write != write || kindOf(fd) != g_fault.kind || off < g_fault.from || off >= g_fault.to)
        return false;
    return g_fault.pass-- <= 0;
}

int watchOpen(const char *path, int flags, unsigned mode)
{
    int fd = platformDefaultCalls.open(path, flags, mode);
    std::string p = path;
    std::string ext = p.size() > 4 ? p.substr(p.size() - 4) : "";
    if (fd >= 0)
        g_kinds[fd] = p.find("TEMP") != std::string::npos ? kWorkFile
                      : ext == ".CDX"                      ? kIndexFile
                      : ext == ".DBF"                      ? kTableFile
                                                           : kOtherFile;
    return fd;
}

int64_t watchPwrite(int fd, const void *buf, size_t n, int64_t off)
{
    FileKind k = kindOf(fd);
    if (faultHits(true, fd, off)) {
        errno = ENOSPC;
        return -1;
    }
    int64_t r = platformDefaultCalls.pwrite(fd, buf, n, off);
    if (k == kWorkFile && r > 0)
        g_workBytes += long(r);
    return r;
}

int64_t watchPread(int fd, void *buf, size_t n, int64_t off)
{
    if (faultHits(false, fd, off)) {
        if (!g_fault.shortRead) {
            errno = EIO;
            return -1;
        }
        int64_t r = platformDefaultCalls.pread(fd, buf, n / 2, off);
        return r;
    }
    return platformDefaultCalls.pread(fd, buf, n, off);
}

// Watches from now until it goes.
struct Watching {
    explicit Watching(Fault f = Fault())
    {
        g_kinds.clear();
        g_workBytes = 0;
        g_fault = f;
        platformG.open = watchOpen;
        platformG.pwrite = watchPwrite;
        platformG.pread = watchPread;
    }
    ~Watching() { platformG = platformDefaultCalls; }
};

} // namespace

TEST(IndexRebuild, SmallSortPoolMergesOverAHundredRunsOfEqualKeys)
{
    Engine e;
    testutil::ScopedCwd cwd(e.dir.path);
    e.c4.mem_size_sort_pool = 1024;
    const FIELD4INFO fields[] = {{"KEY", 'C', 10, 0}, {nullptr, 0, 0, 0}};
    const TAG4INFO tags[] = {{"KEY", "KEY", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("runs").c_str(), fields, nullptr);
    ASSERT_NE(nullptr, d);
    std::mt19937 rng(11);
    indextest::Entries want;
    const long n = 30000;
    e.c4.exclusive = 1;
    for (long rec = 1; rec <= n; rec++) {
        std::string key = pad(std::string(1 + rng() % 3, char('A' + rng() % 4)), 10);
        ASSERT_EQ(0, d4append_start(d, 0));
        f4assign(d4field(d, "KEY"), key.c_str());
        ASSERT_EQ(0, d4append(d));
        want.emplace_back(key, rec);
    }
    std::sort(want.begin(), want.end());
    {
        Watching w;
        ASSERT_NE(nullptr, i4create(d, nullptr, tags)) << lastError();
        // 256 slots a run (a quarter of the pool's bytes as pointers), each
        // entry 14 bytes: every entry went through the work file.
        EXPECT_EQ(n * 14, g_workBytes);
        EXPECT_GT(n / 256, 100);
    }
    INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
    indextest::Walked w = indextest::walk(i4tag(i4, "KEY"));
    ASSERT_EQ(0, w.rc);
    EXPECT_TRUE(w.keys == want) << "(key, record) order";
    expectSoundTrees(i4);
    ASSERT_EQ(0, d4close(d));
}

TEST(IndexRebuild, PackKeepsInEveryTagExactlyTheLiveRecords)
{
    // Deleted rows at the start, in the middle and at the end.
    const std::vector<std::vector<int>> deletions = {{1}, {1, 2, 3}, {7}, {12}, {11, 12}, {1, 6, 7, 12}, {}};
    std::mt19937 rng(5);
    std::vector<Row> rows = randomRows(rng, 12);
    for (const std::vector<int> &gone : deletions) {
        SCOPED_TRACE(testing::PrintToString(gone));
        Engine e;
        for (size_t i = 0; i < rows.size(); i++)
            rows[i].deleted = std::find(gone.begin(), gone.end(), int(i) + 1) != gone.end();
        DATA4 *d = writeRows(e, "packed", rows);
        ASSERT_NE(nullptr, d);
        ASSERT_NE(nullptr, i4create(d, nullptr, kModelTags)) << lastError();
        ASSERT_EQ(0, d4close(d));

        d = d4open(&e.c4, e.path("packed").c_str());
        ASSERT_NE(nullptr, d) << lastError();
        ASSERT_EQ(0, d4pack(d)) << lastError();
        ASSERT_EQ(0, d4close(d));
        std::vector<Row> live;
        for (const Row &r : rows)
            if (!r.deleted)
                live.push_back(r);

        d = d4open(&e.c4, e.path("packed").c_str());
        ASSERT_NE(nullptr, d) << lastError();
        EXPECT_EQ(long(live.size()), d4reccount(d));
        INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
        expectModel(i4, live);
        expectSoundTrees(i4);
        ASSERT_EQ(0, d4close(d));
    }
}

TEST(IndexCreate, UniquePoliciesDecideWhatARepeatedKeyDoes)
{
    struct Case {
        int policy;
        int result;     // the context's pending code after the create
        long keys;      // entries of the unique tag when it was built
    } cases[] = {{r4unique_continue, 0, 3}, {r4unique, r4unique, 0}, {e4unique, e4unique, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.policy);
        Engine e;
        std::vector<Row> rows(5);
        const char *cities[] = {"X", "Y", "X", "Z", "Y"};
        for (size_t i = 0; i < rows.size(); i++) {
            rows[i].name = pad("N", 12);
            rows[i].city = pad(cities[i], 6);
            rows[i].amt = "    0.00";
            rows[i].day = "20240101";
            rows[i].longtxt = pad("", 200);
        }
        DATA4 *d = writeRows(e, "uniq", rows);
        ASSERT_NE(nullptr, d);
        const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0},
                                 {"UCITY", "CITY", nullptr, c.policy, 0},
                                 {nullptr, nullptr, nullptr, 0, 0}};
        INDEX4 *i4 = i4create(d, nullptr, tags);
        EXPECT_EQ(c.result, e.c4.error_code);
        if (c.result == 0) {
            ASSERT_NE(nullptr, i4) << lastError();
            indextest::Walked w = indextest::walk(i4tag(i4, "UCITY"));
            EXPECT_TRUE(w.keys == (indextest::Entries{{pad("X", 6), 1}, {pad("Y", 6), 2}, {pad("Z", 6), 4}}))
                << "the first record of each key stays";
        } else {
            EXPECT_EQ(nullptr, i4);
            EXPECT_EQ(0, d->has_mdx) << "a table never flags an index that failed";
            EXPECT_EQ(0, d->indexes.n_link);
            if (c.result == e4unique) {
                EXPECT_EQ("Xbase -340: Unique Key Error Creating Tag UCITY ", lastError());
            }
            e4set(&e.c4, 0);
            // What was written reads as damaged, not as an index.
            EXPECT_EQ(nullptr, i4open(d, nullptr));
            EXPECT_EQ(e4index, d4test::lastErrorCode());
        }
        ASSERT_EQ(0, d4close(d));
        std::string dbf = testutil::readFile(e.path("UNIQ.DBF"));
        EXPECT_EQ(c.result == 0 ? 1 : 0, dbf[28] & 1);
    }
}

TEST(IndexRebuild, ABuildThatFailsPartWayLeavesAnIndexReadAsDamaged)
{
    struct Case {
        const char *what;
        Fault fault;
        bool pack;      // the rebuild runs inside a pack
        int reported;   // the code of the failure's report
    } cases[] = {
        {"work file write", {kWorkFile, true, 0, false}, false, e4write},
        {"work file read", {kWorkFile, false, 0, false}, false, e4read},
        {"work file read short", {kWorkFile, false, 0, true}, false, e4read},
        {"index tree write", {kIndexFile, true, 20 * I4_HEADER_LEN, false}, false, e4write},
        {"tag header write", {kIndexFile, true, I4_HEADER_LEN, false, 9 * I4_HEADER_LEN}, false, e4write},
        {"header at offset 0 at the end", {kIndexFile, true, 0, false, 1, 1}, false, e4write},
        {"table read", {kTableFile, false, 1000, false}, false, e4read},
        {"work file write in a pack", {kWorkFile, true, 0, false}, true, e4write},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Engine e;
        testutil::ScopedCwd cwd(e.dir.path);
        e.c4.mem_size_sort_pool = 1024;
        std::mt19937 rng(3);
        std::vector<Row> rows = randomRows(rng, 600);
        DATA4 *d = writeRows(e, "fails", rows);
        ASSERT_NE(nullptr, d);
        ASSERT_NE(nullptr, i4create(d, nullptr, kModelTags)) << lastError();
        ASSERT_EQ(0, d4close(d));
        int rc;
        {
            Watching w;
            d = d4open(&e.c4, e.path("fails").c_str());
            ASSERT_NE(nullptr, d) << lastError();
            g_fault = c.fault;
            rc = c.pack ? d4pack(d) : d4reindex(d);
        }
        EXPECT_LT(rc, 0);
        EXPECT_EQ(c.reported, d4test::lastErrorCode()) << lastError();
        d4close(d);
        e4set(&e.c4, 0);
        EXPECT_EQ(nullptr, d4open(&e.c4, e.path("fails").c_str())) << "the next open refuses the index";
        EXPECT_EQ(e4index, d4test::lastErrorCode()) << lastError();
        EXPECT_NE(std::string::npos, lastError().find("FAILS.CDX"));
        e4set(&e.c4, 0);
    }
}

namespace {

// The rows a table holds now, read back in record order.
std::vector<Row> rowsOf(DATA4 *d)
{
    std::vector<Row> rows;
    for (long rec = 1; rec <= d4reccount(d); rec++) {
        if (d4go(d, rec) != 0)
            break;
        Row r;
        r.name = std::string(f4ptr(d4field(d, "NAME")), 12);
        r.city = std::string(f4ptr(d4field(d, "CITY")), 6);
        r.longtxt = std::string(f4ptr(d4field(d, "LONGTXT")), 200);
        r.deleted = d4deleted(d) != 0;
        rows.push_back(r);
    }
    return rows;
}

} // namespace

TEST(IndexRebuild, APackFailingAtAnyCallLeavesIndexesThatMatchTheTableOrReadAsDamaged)
{
    const TAG4INFO tags[] = {{"CITYNAME", "CITY+NAME", ".NOT. DELETED()", 0, 0},
                             {"LONGKEY", "LONGTXT", ".NOT. DELETED()", 0, 0},
                             {"NAME", "NAME", nullptr, 0, 0},
                             {nullptr, nullptr, nullptr, 0, 0}};
    Engine e;
    testutil::ScopedCwd cwd(e.dir.path);
    e.c4.mem_size_sort_pool = 1024;
    std::mt19937 rng(9);
    std::vector<Row> rows = randomRows(rng, 300);
    rows.front().deleted = rows.back().deleted = true;
    DATA4 *d = writeRows(e, "sweep", rows);
    ASSERT_NE(nullptr, d);
    ASSERT_NE(nullptr, i4create(d, nullptr, tags)) << lastError();
    ASSERT_EQ(0, d4close(d));
    const std::string dbf = testutil::readFile(e.path("SWEEP.DBF")), cdx = testutil::readFile(e.path("SWEEP.CDX"));
    int damaged = 0, whole = 0;
    for (faults::Mode mode : faults::allModes()) {
        for (int nth = 1; !testing::Test::HasFailure(); nth++) {
            SCOPED_TRACE(faults::describe(mode) + " at call " + std::to_string(nth));
            testutil::writeFile(e.path("SWEEP.DBF"), dbf);
            testutil::writeFile(e.path("SWEEP.CDX"), cdx);
            e4clearErrorState();
            d = d4open(&e.c4, e.path("sweep").c_str());
            ASSERT_NE(nullptr, d) << lastError();
            int rc;
            bool fired;
            {
                faults::Injector inject(mode, nth);
                rc = d4pack(d);
                fired = inject.fired();
            }
            if (fired)
                EXPECT_NE(0, rc) << "a failure reported as success";
            else
                EXPECT_EQ(0, rc) << lastError();
            e.c4.error_code = 0;
            d4close(d);
            e.c4.error_code = 0;
            e4clearErrorState();
            d = d4open(&e.c4, e.path("sweep").c_str());
            if (d == nullptr) {
                EXPECT_EQ(e4index, d4test::lastErrorCode()) << lastError();
                damaged++;
            } else {
                // Whatever the table holds now, every tag holds exactly it.
                std::vector<Row> now = rowsOf(d);
                for (const char *tag : {"CITYNAME", "LONGKEY", "NAME"})
                    EXPECT_TRUE(indextest::walk(d4tag(d, tag)).keys == modelKeys(tag, now)) << tag;
                whole++;
                ASSERT_EQ(0, d4close(d));
            }
            if (!fired)
                break;
        }
    }
    EXPECT_GT(damaged, 0);
    EXPECT_GT(whole, 0);
}

TEST(IndexRebuild, ASingleTagFileRebuildsAsASingleTagFile)
{
    Engine e;
    std::mt19937 rng(13);
    std::vector<Row> rows = randomRows(rng, 200);
    DATA4 *d = writeRows(e, "single", rows);
    ASSERT_NE(nullptr, d);
    const TAG4INFO tags[] = {{"LONGKEY", "LONGTXT", ".NOT. DELETED()", 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
    ASSERT_NE(nullptr, i4create(d, nullptr, tags)) << lastError();
    ASSERT_EQ(0, d4close(d));
    // The tag's header made the file's only header: its type without the
    // compound bit, at offset 0.
    std::string f = testutil::readFile(e.path("SINGLE.CDX"));
    std::string head = f.substr(I4_HEADER_LEN, I4_HEADER_LEN);
    head[I4_OFF_TYPE] = char(head[I4_OFF_TYPE] & ~I4_TYPE_COMPOUND);
    testutil::writeFile(e.path("SINGLE.CDX"), head + f.substr(I4_HEADER_LEN));

    d = d4open(&e.c4, e.path("single").c_str());
    ASSERT_NE(nullptr, d) << lastError();
    INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
    ASSERT_EQ(i4->tag_index, (TAG4 *)l4first(&i4->tags));
    ASSERT_EQ(0, d4reindex(d)) << lastError();
    ASSERT_EQ(0, d4close(d));
    f = testutil::readFile(e.path("SINGLE.CDX"));
    EXPECT_EQ(0x28, (unsigned char)f[I4_OFF_TYPE]) << "still a single-tag file";

    d = d4open(&e.c4, e.path("single").c_str());
    ASSERT_NE(nullptr, d) << lastError();
    i4 = (INDEX4 *)l4first(&d->indexes);
    EXPECT_TRUE(indextest::walk(i4->tag_index).keys == modelKeys("LONGKEY", rows));
    std::set<long> blocks;
    long keys = 0;
    EXPECT_EQ("", treeProblem(i4->tag_index, blocks, &keys));
    EXPECT_EQ(i4->eof, long(blocks.size() * B4_BLOCK_SIZE + I4_HEADER_LEN)) << "the tree right after the header";
    ASSERT_EQ(0, d4close(d));
}

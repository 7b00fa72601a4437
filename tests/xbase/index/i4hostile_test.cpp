// Damaged index files: a table of corrupt headers, directory entries and
// blocks, each of which must end in -310 naming the file (and the block),
// and random byte flips over a small valid index, which must end in a
// result, never in a crash, a hang or a read outside a buffer (the
// sanitizer build checks the last).
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"

using d4test::Engine;
using d4test::le16;
using d4test::le32;
using d4test::putLe32;

namespace {

// Where the parts of a sample index lie, learnt from a clean open.
struct Layout {
    long dir_root = 0;
    long tag_header = 0;    // tag NAME
    long tag_root = 0;      // a leaf in the small sample
    long branch_root = 0;   // tag AMOUNT of the large sample: a branch
    long first_leaf = 0;    // that tag's leftmost leaf
};

// The child of entry 0 of the branch at `off` (big-endian).
long firstChild(const std::string &img, long off)
{
    long e = off + B4_BRANCH_BODY + 8 + 4;
    return (long)((unsigned long)(unsigned char)img[e] << 24 | (unsigned long)(unsigned char)img[e + 1] << 16 |
                  (unsigned long)(unsigned char)img[e + 2] << 8 | (unsigned long)(unsigned char)img[e + 3]);
}

Layout learn()
{
    Layout l;
    for (const char *base : {"hb_nomemo", "hb_large"}) {
        Engine e;
        std::string dbf = indextest::copySample(e.dir, base);
        DATA4 *d = dbf.empty() ? nullptr : d4open(&e.c4, dbf.c_str());
        if (d == nullptr)
            return Layout();
        INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
        if (std::string(base) == "hb_nomemo") {
            l.dir_root = t4root(i4->tag_index);
            l.tag_header = d4tag(d, "NAME")->header_offset;
            l.tag_root = t4root(d4tag(d, "NAME"));
        } else {
            l.branch_root = t4root(d4tag(d, "AMOUNT"));
            std::string img = testutil::readFile(e.path("hb_large.cdx"));
            l.first_leaf = firstChild(img, l.branch_root);
            while (le16(img, l.first_leaf) < B4_ATTR_LEAF)
                l.first_leaf = firstChild(img, l.first_leaf);
        }
        d4close(d);
    }
    return l;
}

// Leaf info entry k of the block at `off` in the file image.
struct Info {
    std::string &img;
    long off;
    int R() const { return (unsigned char)img[off + B4_OFF_REC_LEN]; }
    int D() const { return (unsigned char)img[off + B4_OFF_DUP_LEN]; }
    int L() const { return (unsigned char)img[off + B4_OFF_INFO_LEN]; }
    uint64_t get(int k) const
    {
        uint64_t v = 0;
        for (int i = L() - 1; i >= 0; i--)
            v = v << 8 | (unsigned char)img[off + B4_LEAF_BODY + k * L() + i];
        return v;
    }
    void set(int k, uint64_t v)
    {
        for (int i = 0; i < L(); i++, v >>= 8)
            img[off + B4_LEAF_BODY + k * L() + i] = char(v & 0xFF);
    }
    void setRec(int k, uint64_t rec) { set(k, (get(k) & ~((1ULL << R()) - 1)) | rec); }
    void setDup(int k, uint64_t d) { set(k, (get(k) & ~(((1ULL << D()) - 1) << R())) | d << R()); }
    void setTrail(int k, uint64_t t) { set(k, get(k) | t << (R() + D())); }
};

void put16(std::string &img, long off, unsigned v)
{
    img[off] = char(v & 0xFF);
    img[off + 1] = char(v >> 8);
}

struct Case {
    const char *what;
    const char *base;
    std::function<void(std::string &, const Layout &)> damage;
    std::function<long(const Layout &)> block; // offset named in the report, -1 none
};

long none(const Layout &) { return -1; }

// Opens the damaged table and walks every tag: the first failure's code.
int openAndWalk(Engine &e, const std::string &dbf)
{
    DATA4 *d = d4open(&e.c4, dbf.c_str());
    if (d == nullptr)
        return d4test::lastErrorCode();
    int rc = 0;
    for (TAG4 *t4 = d4tag_next(d, nullptr); t4 != nullptr && rc == 0; t4 = d4tag_next(d, t4))
        rc = indextest::walk(t4).rc;
    INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
    if (rc == 0 && i4 != nullptr)
        rc = indextest::walk(i4->tag_index).rc;
    d4close(d);
    return rc;
}

} // namespace

TEST(IndexHostile, CorruptHeadersEntriesAndBlocksAreReportedWithFileAndBlock)
{
    Layout lay = learn();
    if (lay.tag_root <= 0)
        GTEST_SKIP() << "sample tables are absent";
    const Case cases[] = {
        {"directory header zero", "hb_nomemo",
         [](std::string &m, const Layout &) { std::fill(m.begin(), m.begin() + 16, '\0'); }, none},
        {"directory key length 11", "hb_nomemo", [](std::string &m, const Layout &) { put16(m, 12, 11); }, none},
        {"directory type below compact", "hb_nomemo", [](std::string &m, const Layout &) { m[14] = 0x10; }, none},
        {"compound file without directory bit", "hb_nomemo",
         [](std::string &m, const Layout &) { m[14] = 0x60; }, none},
        {"tag key length 0", "hb_nomemo", [](std::string &m, const Layout &l) { put16(m, l.tag_header + 12, 0); },
         none},
        {"tag key length 241", "hb_nomemo",
         [](std::string &m, const Layout &l) { put16(m, l.tag_header + 12, 241); }, none},
        {"tag key length differs from its expression", "hb_nomemo",
         [](std::string &m, const Layout &l) { put16(m, l.tag_header + 12, 9); }, none},
        {"expression length 0", "hb_nomemo",
         [](std::string &m, const Layout &l) { put16(m, l.tag_header + I4_OFF_EXPR_LEN, 0); }, none},
        {"filter length 0", "hb_nomemo",
         [](std::string &m, const Layout &l) { put16(m, l.tag_header + I4_OFF_FILTER_LEN, 0); }, none},
        {"texts longer than their area", "hb_nomemo",
         [](std::string &m, const Layout &l) {
             put16(m, l.tag_header + I4_OFF_EXPR_LEN, 400);
             put16(m, l.tag_header + I4_OFF_FILTER_LEN, 200);
         },
         none},
        {"expression without terminator", "hb_nomemo",
         [](std::string &m, const Layout &l) { m[l.tag_header + 512 + 4] = 'X'; }, none},
        {"tag header marks a directory", "hb_nomemo",
         [](std::string &m, const Layout &l) { m[l.tag_header + 14] = (char)0xE0; }, none},
        {"directory entry below 1024", "hb_nomemo",
         [](std::string &m, const Layout &l) { Info{m, l.dir_root}.setRec(3, 512); }, none},
        {"directory entry not a block multiple", "hb_nomemo",
         [](std::string &m, const Layout &l) { Info{m, l.dir_root}.setRec(3, 1537); }, none},
        {"directory entry repeated", "hb_nomemo",
         [](std::string &m, const Layout &l) {
             Info in{m, l.dir_root};
             in.setRec(4, in.get(3) & ((1ULL << in.R()) - 1));
         },
         none},
        {"node attribute 7", "hb_nomemo", [](std::string &m, const Layout &l) { m[l.tag_root] = 7; },
         [](const Layout &l) { return l.tag_root; }},
        {"duplicate width 9", "hb_nomemo", [](std::string &m, const Layout &l) { m[l.tag_root + B4_OFF_DUP_LEN] = 9; },
         [](const Layout &l) { return l.tag_root; }},
        {"record width 40", "hb_nomemo",
         [](std::string &m, const Layout &l) {
             m[l.tag_root + B4_OFF_REC_LEN] = 40;
             m[l.tag_root + B4_OFF_INFO_LEN] = 6;
         },
         [](const Layout &l) { return l.tag_root; }},
        {"free space one too many", "hb_nomemo",
         [](std::string &m, const Layout &l) {
             put16(m, l.tag_root + B4_OFF_FREE_SPACE, le16(m, l.tag_root + B4_OFF_FREE_SPACE) + 1);
         },
         [](const Layout &l) { return l.tag_root; }},
        {"first entry with duplicate bytes", "hb_nomemo",
         [](std::string &m, const Layout &l) { Info{m, l.tag_root}.setDup(0, 1); },
         [](const Layout &l) { return l.tag_root; }},
        {"counts longer than the key", "hb_nomemo",
         [](std::string &m, const Layout &l) { Info{m, l.tag_root}.setTrail(1, 15); },
         [](const Layout &l) { return l.tag_root; }},
        {"right neighbour not a block multiple", "hb_nomemo",
         [](std::string &m, const Layout &l) { putLe32(m, l.tag_root + B4_OFF_RIGHT, 1537); },
         [](const Layout &l) { return l.tag_root; }},
        {"right neighbour is the block itself", "hb_nomemo",
         [](std::string &m, const Layout &l) { putLe32(m, l.tag_root + B4_OFF_RIGHT, (uint32_t)l.tag_root); },
         [](const Layout &l) { return l.tag_root; }},
        {"left neighbour past the end", "hb_nomemo",
         [](std::string &m, const Layout &l) { putLe32(m, l.tag_root + B4_OFF_LEFT, 1 << 24); },
         [](const Layout &l) { return l.tag_root; }},
        {"root below the first block", "hb_nomemo",
         [](std::string &m, const Layout &l) { putLe32(m, l.tag_header, 512); }, none},
        {"root past the end", "hb_nomemo",
         [](std::string &m, const Layout &l) { putLe32(m, l.tag_header, (uint32_t)m.size()); }, none},
        {"branch with too many entries", "hb_large",
         [](std::string &m, const Layout &l) { put16(m, l.branch_root + B4_OFF_N_KEYS, 100); },
         [](const Layout &l) { return l.branch_root; }},
        {"branch child is the branch", "hb_large",
         [](std::string &m, const Layout &l) {
             long e = l.branch_root + 12 + 8 + 4;
             uint32_t v = (uint32_t)l.branch_root;
             for (int i = 0; i < 4; i++)
                 m[e + i] = char(v >> (24 - 8 * i));
         },
         [](const Layout &l) { return l.branch_root; }},
        {"leaf linking to the first leaf again", "hb_large",
         [](std::string &m, const Layout &l) {
             long second = (long)le32(m, l.first_leaf + B4_OFF_RIGHT);
             putLe32(m, second + B4_OFF_RIGHT, (uint32_t)l.first_leaf);
         },
         none},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Engine e;
        std::string dbf = indextest::copySample(e.dir, c.base);
        std::string cdx = e.path(std::string(c.base) + ".cdx");
        std::string img = testutil::readFile(cdx);
        c.damage(img, lay);
        testutil::writeFile(cdx, img);
        EXPECT_EQ(e4index, openAndWalk(e, dbf));
        std::string msg = d4test::lastError();
        EXPECT_NE(std::string::npos, msg.find(".cdx")) << msg;
        long block = c.block(lay);
        if (block != -1) {
            EXPECT_NE(std::string::npos, msg.find("Block: " + std::to_string(block))) << msg;
        }
    }
}

TEST(IndexHostile, RandomByteFlipsEndInAResult)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::string from = testutil::dataDir() + "/samples";
    if (!testutil::fileExists(from + "/hb_nomemo.cdx"))
        GTEST_SKIP() << "sample tables are absent";
    std::string clean = testutil::readFile(from + "/hb_nomemo.cdx");
    int opened = 0;
    for (int round = 0; round < 300; round++) {
        Engine e;
        e.c4.lock_attempts = 1;
        std::string dbf = indextest::copySample(e.dir, "hb_nomemo");
        std::string img = clean;
        int flips = 1 + (int)(rng() % 8);
        for (int i = 0; i < flips; i++) {
            // Headers and tree blocks alike; the first blocks more often.
            size_t at = rng() % 2 ? rng() % 4096 : rng() % img.size();
            img[at] = char(rng() % 256);
        }
        testutil::writeFile(e.path("hb_nomemo.cdx"), img);
        DATA4 *d = d4open(&e.c4, dbf.c_str());
        if (d == nullptr)
            continue;
        opened++;
        for (TAG4 *t4 = d4tag_next(d, nullptr); t4 != nullptr; t4 = d4tag_next(d, t4)) {
            indextest::Walked w = indextest::walk(t4);
            ASSERT_TRUE(w.rc == 0 || w.rc < 0) << "round " << round;
            ASSERT_LE(w.keys.size(), 4096u) << "a walk went round in circles";
        }
        INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
        if (i4lock(i4) == 0) {
            long pos = i4extend(i4);
            if (pos > 0)
                i4shrink(i4, pos);
            i4unlock(i4);
        }
        d4close(d);
    }
    EXPECT_GT(opened, 0);
}

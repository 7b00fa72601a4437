// Damaged index files: a table of corrupt headers, directory entries and
// blocks, each of which must end in -310 naming the file (and the block),
// and random byte flips over a small valid index, which must end in a
// result, never in a crash, a hang or a read outside a buffer (the
// sanitizer build checks the last).
#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "util/byteorder.h"
#include "xbase/d4tag.h"

using d4test::Engine;

namespace {

// Where the parts of the sample indexes lie, learnt from clean opens: the
// small one's directory root, tag NAME's header and root leaf; the large
// one's tag AMOUNT, a branch root, and its leftmost leaf.
struct Layout {
    long dir_root = 0, header = 0, leaf = 0, branch = 0, first_leaf = 0;
};

Layout learn()
{
    Layout l;
    for (const char *base : {"hb_nomemo", "hb_large"}) {
        Engine e;
        std::string dbf = indextest::copySample(e.dir, base);
        DATA4 *d = dbf.empty() ? nullptr : d4open(&e.c4, dbf.c_str());
        if (d == nullptr)
            return Layout();
        if (std::string(base) == "hb_nomemo") {
            l.dir_root = t4root(((INDEX4 *)l4first(&d->indexes))->tag_index);
            l.header = d4tag(d, "NAME")->header_offset;
            l.leaf = t4root(d4tag(d, "NAME"));
        } else {
            l.branch = t4root(d4tag(d, "AMOUNT"));
            std::string img = testutil::readFile(e.path("hb_large.cdx"));
            l.first_leaf = l.branch;
            while (util_getLe16((const unsigned char *)&img[l.first_leaf]) < B4_ATTR_LEAF)
                l.first_leaf = (long)util_getBe32((const unsigned char *)&img[l.first_leaf + 12 + 8 + 4]);
        }
        d4close(d);
    }
    return l;
}

// Sets `bits` bits at bit `shift` of leaf info entry k of the block at `off`.
void setInfo(std::string &m, long off, int k, int shift, int bits, uint64_t v)
{
    int len = (unsigned char)m[off + B4_OFF_INFO_LEN];
    unsigned char *p = (unsigned char *)&m[off + B4_LEAF_BODY + k * len];
    uint64_t info = 0;
    for (int i = len - 1; i >= 0; i--)
        info = info << 8 | p[i];
    info = (info & ~(((1ULL << bits) - 1) << shift)) | v << shift;
    for (int i = 0; i < len; i++, info >>= 8)
        p[i] = (unsigned char)info;
}

int recBits(const std::string &m, long off) { return (unsigned char)m[off + B4_OFF_REC_LEN]; }

void put16(std::string &m, long off, unsigned v) { util_putLe16((unsigned char *)&m[off], (uint16_t)v); }
void put32(std::string &m, long off, uint32_t v) { util_putLe32((unsigned char *)&m[off], v); }

// Opens the damaged table and walks every tag: the first failure's code.
int openAndWalk(Engine &e, const std::string &dbf)
{
    DATA4 *d = d4open(&e.c4, dbf.c_str());
    if (d == nullptr)
        return d4test::lastErrorCode();
    INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes);
    int rc = indextest::walk(i4->tag_index).rc;
    for (TAG4 *t4 = d4tag_next(d, nullptr); t4 != nullptr && rc == 0; t4 = d4tag_next(d, t4))
        rc = indextest::walk(t4).rc;
    d4close(d);
    return rc;
}

} // namespace

TEST(IndexHostile, CorruptHeadersEntriesAndBlocksAreReportedWithFileAndBlock)
{
    const Layout L = learn();
    if (L.leaf <= 0)
        GTEST_SKIP() << "sample tables are absent";
    typedef std::function<void(std::string &)> Damage;
    const long H = L.header;
    struct Case {
        const char *what;
        bool large;
        Damage damage;
        long block; // the offset the report names, -1 none
    } cases[] = {
        {"directory header zero", false, [](std::string &m) { m.replace(0, 16, 16, '\0'); }, -1},
        {"directory key length 11", false, [](std::string &m) { put16(m, 12, 11); }, -1},
        {"directory type below compact", false, [](std::string &m) { m[14] = 0x10; }, -1},
        {"compound file without directory bit", false, [](std::string &m) { m[14] = 0x60; }, -1},
        {"tag key length 0", false, [H](std::string &m) { put16(m, H + 12, 0); }, -1},
        {"tag key length 241", false, [H](std::string &m) { put16(m, H + 12, 241); }, -1},
        {"key length differs from the expression's", false, [H](std::string &m) { put16(m, H + 12, 9); }, -1},
        {"expression length 0", false, [H](std::string &m) { put16(m, H + I4_OFF_EXPR_LEN, 0); }, -1},
        {"filter length 0", false, [H](std::string &m) { put16(m, H + I4_OFF_FILTER_LEN, 0); }, -1},
        {"texts longer than their area", false,
         [H](std::string &m) { put16(m, H + I4_OFF_EXPR_LEN, 400), put16(m, H + I4_OFF_FILTER_LEN, 200); }, -1},
        {"expression without terminator", false, [H](std::string &m) { m[H + 512 + 4] = 'X'; }, -1},
        {"tag header marks a directory", false, [H](std::string &m) { m[H + 14] = (char)0xE0; }, -1},
        {"directory entry below 1024", false,
         [L](std::string &m) { setInfo(m, L.dir_root, 3, 0, recBits(m, L.dir_root), 512); }, -1},
        {"directory entry off a block boundary", false,
         [L](std::string &m) { setInfo(m, L.dir_root, 3, 0, recBits(m, L.dir_root), 1537); }, -1},
        {"directory entry repeated", false,
         [L, H](std::string &m) {
             setInfo(m, L.dir_root, 3, 0, recBits(m, L.dir_root), (uint64_t)H);
             setInfo(m, L.dir_root, 4, 0, recBits(m, L.dir_root), (uint64_t)H);
         },
         -1},
        {"node attribute 7", false, [L](std::string &m) { m[L.leaf] = 7; }, L.leaf},
        {"duplicate width 9", false, [L](std::string &m) { m[L.leaf + B4_OFF_DUP_LEN] = 9; }, L.leaf},
        {"record width 40", false,
         [L](std::string &m) { m[L.leaf + B4_OFF_REC_LEN] = 40, m[L.leaf + B4_OFF_INFO_LEN] = 6; }, L.leaf},
        {"free space one too many", false,
         [L](std::string &m) { m[L.leaf + B4_OFF_FREE_SPACE] = char(m[L.leaf + B4_OFF_FREE_SPACE] + 1); }, L.leaf},
        {"first entry with duplicate bytes", false,
         [L](std::string &m) { setInfo(m, L.leaf, 0, recBits(m, L.leaf), 4, 1); }, L.leaf},
        {"counts longer than the key", false,
         [L](std::string &m) { setInfo(m, L.leaf, 1, recBits(m, L.leaf) + 4, 4, 15); }, L.leaf},
        {"right neighbour off a block boundary", false, [L](std::string &m) { put32(m, L.leaf + 8, 1537); }, L.leaf},
        {"right neighbour is the block itself", false,
         [L](std::string &m) { put32(m, L.leaf + 8, (uint32_t)L.leaf); }, L.leaf},
        {"left neighbour past the end", false, [L](std::string &m) { put32(m, L.leaf + 4, 1u << 24); }, L.leaf},
        {"root below the first block", false, [H](std::string &m) { put32(m, H, 512); }, -1},
        {"root past the end", false, [H](std::string &m) { put32(m, H, (uint32_t)m.size()); }, -1},
        {"branch with too many entries", true, [L](std::string &m) { put16(m, L.branch + 2, 100); }, L.branch},
        {"branch child is the branch", true,
         [L](std::string &m) { util_putBe32((unsigned char *)&m[L.branch + 24], (uint32_t)L.branch); }, L.branch},
        {"leaf linking back to the first leaf", true,
         [L](std::string &m) {
             long second = (long)util_getLe32((const unsigned char *)&m[L.first_leaf + 8]);
             put32(m, second + 8, (uint32_t)L.first_leaf);
         },
         -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Engine e;
        const char *base = c.large ? "hb_large" : "hb_nomemo";
        std::string dbf = indextest::copySample(e.dir, base);
        std::string cdx = e.path(std::string(base) + ".cdx");
        std::string img = testutil::readFile(cdx);
        c.damage(img);
        testutil::writeFile(cdx, img);
        EXPECT_EQ(e4index, openAndWalk(e, dbf));
        std::string msg = d4test::lastError();
        EXPECT_NE(std::string::npos, msg.find(".cdx")) << msg;
        if (c.block != -1) {
            EXPECT_NE(std::string::npos, msg.find("Block: " + std::to_string(c.block))) << msg;
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
    for (int round = 0; round < 300; round++) {
        Engine e;
        e.c4.lock_attempts = 1;
        std::string dbf = indextest::copySample(e.dir, "hb_nomemo");
        std::string img = clean;
        for (int i = 1 + (int)(rng() % 8); i > 0; i--) {
            // Headers and tree blocks alike; the first blocks more often.
            size_t at = rng() % 2 ? rng() % 4096 : rng() % img.size();
            img[at] = char(rng() % 256);
        }
        testutil::writeFile(e.path("hb_nomemo.cdx"), img);
        DATA4 *d = d4open(&e.c4, dbf.c_str());
        if (d == nullptr)
            continue;
        for (TAG4 *t4 = d4tag_next(d, nullptr); t4 != nullptr; t4 = d4tag_next(d, t4)) {
            indextest::Walked w = indextest::walk(t4);
            ASSERT_LE(w.rc, 0) << "round " << round;
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
}

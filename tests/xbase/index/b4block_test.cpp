// Index blocks built in memory: leaf info entries and widening, a random
// sequence of insertions and removals in one leaf checked against a model
// after every step, leaf searches over keys whose stored counts are capped,
// splits that never lose a key, and branch entries.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/index/indextest.h"

using indextest::Entries;
using indextest::Rig;

namespace {

// Positions the leaf where (key, rec) belongs in (key, record) order.
void positionFor(B4BLOCK *b, const std::string &key, long rec)
{
    b4seek(b, key.data(), (int)key.size());
    while (b->key_on < b->header.n_keys) {
        B4KEY_DATA *k = b4key(b, b->key_on);
        if (std::string((const char *)k->value, key.size()) != key || k->num >= rec)
            break;
        b4go(b, b->key_on + 1);
    }
}

// The block as written and read back: checked by the reader, and its
// entries.
Entries reread(Rig &rig, B4BLOCK *b)
{
    B4BLOCK *copy = nullptr;
    EXPECT_EQ(0, rig.reread(b, &copy)) << d4test::lastError();
    return indextest::entries(copy);
}

// A 240-byte key of `n` bytes `c`, blank-padded.
std::string key240(char c, int n = 240) { return std::string((size_t)n, c) + std::string((size_t)(240 - n), ' '); }

Entries sorted(const std::multiset<std::pair<std::string, long>> &model)
{
    return Entries(model.begin(), model.end());
}

} // namespace

TEST(LeafInfo, EntriesRoundTripForEveryKeyLengthAndRecordWidth)
{
    // Widths of a new leaf: 10 bits of record count raised to 12, then to
    // 16 to make 24; 12 + 4 raised to 20 to make 32.
    struct Width {
        int kl;
        long count;
        int rec_bits, count_bits, info_len;
    } widths[] = {{10, 1000, 16, 4, 3}, {38, 4095, 20, 6, 4}, {240, 100, 16, 8, 4}, {1, 0, 14, 1, 2}};
    for (const Width &w : widths) {
        Rig rig(w.kl, ' ');
        const B4NODE_HEADER &h = rig.block(true, w.count)->node_hdr;
        EXPECT_EQ(w.rec_bits * 100 + w.count_bits * 10 + w.info_len,
                  h.rec_num_len * 100 + h.dup_cnt_len * 10 + h.info_len) << w.kl;
        EXPECT_EQ(h.dup_cnt_len, h.trail_cnt_len);
    }
    // From an empty leaf (a 38-byte key gets 12 record bits): the first
    // record needs 13, and each next one more bits again.
    const long recs[] = {4096, 65535, 65536, 1048575, 1048576, 16777215, 16777216};
    for (int kl : {1, 8, 10, 38, 240}) {
        SCOPED_TRACE("key length " + std::to_string(kl));
        Rig rig(kl, ' ');
        B4BLOCK *b = rig.block(true, 0);
        Entries want;
        for (size_t i = 0; i < sizeof recs / sizeof recs[0]; i++) {
            std::string key(kl, 'K');
            key[kl - 1] = char('a' + i);
            b4go_eof(b);
            ASSERT_EQ(0, b4insert(b, key.data(), recs[i], 0, 0)) << recs[i];
            want.emplace_back(key, recs[i]);
        }
        EXPECT_EQ(want, reread(rig, b));
    }
}

TEST(LeafInfo, WideningNeedsAByteForEveryEntry)
{
    // Keys of only padding store no bytes: each entry costs its info only.
    std::string blank(10, ' ');
    for (int entries : {20, 162}) {
        Rig rig(10, ' ');
        B4BLOCK *b = rig.block(true, 1000);
        for (long r = 1; r <= entries; r++) {
            b4go_eof(b);
            ASSERT_EQ(0, b4insert(b, blank.data(), r, 0, 0));
        }
        bool full = b->node_hdr.free_space < entries;
        std::vector<unsigned char> before(b->image, b->image + B4_BLOCK_SIZE);
        b4go_eof(b);
        ASSERT_EQ(full ? 1 : 0, b4insert(b, blank.data(), 1L << 17, 0, 0)) << entries;
        if (full) {
            EXPECT_TRUE(std::equal(before.begin(), before.end(), b->image)) << "a refusal changes nothing";
            continue;
        }
        EXPECT_EQ(24, b->node_hdr.rec_num_len);
        EXPECT_EQ(4, b->node_hdr.info_len);
        Entries got = reread(rig, b);
        ASSERT_EQ(21u, got.size());
        EXPECT_EQ(20, got[19].second);
        EXPECT_EQ(1L << 17, got[20].second);
    }
}

// A leaf against a model: random keys over a small alphabet (blank, zero,
// letters, 0xFF), padded with blanks or zero bytes, so that stored counts
// are often capped; many duplicates; removals by (key, record). After every
// step the leaf is written, read back through the block checks and decoded
// in full, and random searches land where the model says.
TEST(LeafModel, RandomInsertionsAndRemovalsMatchAMultimap)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    const char alphabet[] = {' ', '\0', 'A', 'B', '\xff'};
    for (int kl : {4, 10, 38, 240}) {
        SCOPED_TRACE("key length " + std::to_string(kl) + ", seed " + std::to_string(seed));
        Rig rig(kl, ' ');
        B4BLOCK *b = rig.block(true, 100);
        std::multiset<std::pair<std::string, long>> model;
        std::vector<std::string> pool;
        auto randomKey = [&]() {
            if (!pool.empty() && rng() % 3 == 0)
                return pool[rng() % pool.size()];
            int used = (int)(rng() % (kl + 1));
            if (kl > 16 && rng() % 2)
                used = (int)(rng() % 6);
            std::string k;
            for (int i = 0; i < used; i++)
                k += alphabet[rng() % 5];
            k.resize((size_t)kl, rng() % 2 ? ' ' : '\0');
            pool.push_back(k);
            return k;
        };
        int refused = 0;
        for (int step = 0; step < 3000; step++) {
            bool insert = model.empty() || rng() % 100 < (b->node_hdr.free_space > kl + 8 ? 70 : 35);
            if (insert) {
                std::string key = randomKey();
                long rec = rng() % 8 == 0 ? (long)(rng() % 3000000) + 1 : (long)(rng() % 60) + 1;
                positionFor(b, key, rec);
                std::vector<unsigned char> before(b->image, b->image + B4_BLOCK_SIZE);
                int n = b->header.n_keys;
                int rc = b4insert(b, key.data(), rec, 0, 0);
                ASSERT_TRUE(rc == 0 || rc == 1) << "step " << step;
                if (rc == 1) {
                    refused++;
                    ASSERT_EQ(n, b->header.n_keys);
                    ASSERT_TRUE(std::equal(before.begin(), before.end(), b->image)) << "step " << step;
                    continue;
                }
                model.emplace(key, rec);
            } else {
                auto it = model.begin();
                std::advance(it, rng() % model.size());
                positionFor(b, it->first, it->second);
                ASSERT_LT(b->key_on, b->header.n_keys);
                ASSERT_EQ(it->second, b4recno(b, b->key_on)) << "step " << step;
                ASSERT_EQ(0, b4remove(b)) << "step " << step;
                model.erase(it);
            }
            ASSERT_EQ(sorted(model), reread(rig, b)) << "step " << step;

            // A search stops at the first key whose first len bytes are not
            // smaller than the value's, and finds it when they are equal.
            std::string value = randomKey();
            int len = 1 + (int)(rng() % kl);
            int rc = b4seek(b, value.data(), len);
            Entries all = sorted(model);
            size_t want = 0;
            while (want < all.size() && all[want].first.compare(0, len, value, 0, len) < 0)
                want++;
            ASSERT_EQ((int)want, b->key_on) << "step " << step << " len " << len;
            bool equal = want < all.size() && all[want].first.compare(0, len, value, 0, len) == 0;
            ASSERT_EQ(equal ? 0 : 2, rc) << "step " << step;
        }
        EXPECT_GT(refused, 0) << "the leaf never filled up";
    }
}

TEST(LeafSearch, CappedCountsDoNotStopTheSearchEarly)
{
    // " \0\0\0" then "    ": the second stores d = 0 although it shares the
    // leading blank. "  AA" lies after both.
    Rig rig(4, ' ');
    B4BLOCK *b = rig.block(true, 10);
    const std::string keys[] = {std::string(" \0\0\0", 4), "    "};
    for (int i = 0; i < 2; i++) {
        b4go_eof(b);
        ASSERT_EQ(0, b4insert(b, keys[i].data(), i + 1, 0, 0));
    }
    EXPECT_EQ(2, b4seek(b, "  AA", 4));
    EXPECT_EQ(2, b->key_on);
    EXPECT_EQ(0, b4seek(b, "    ", 4));
    EXPECT_EQ(1, b->key_on);
}

// Inserts into a level of leaves, splitting as the block operations say:
// the pending entry goes where t4split puts it, and a destination that is
// still too full is split again.
struct Level {
    Rig &rig;
    std::vector<B4BLOCK *> blocks;

    explicit Level(Rig &r, long max_rec) : rig(r) { blocks.push_back(r.block(true, max_rec)); }

    size_t blockFor(const std::string &key, long rec)
    {
        for (size_t i = 0; i + 1 < blocks.size(); i++) {
            B4BLOCK *b = blocks[i];
            B4KEY_DATA *last = b4key(b, b->header.n_keys - 1);
            std::string lk((const char *)last->value, key.size());
            if (key < lk || (key == lk && rec <= last->num))
                return i;
        }
        return blocks.size() - 1;
    }

    void insert(const std::string &key, long rec)
    {
        size_t i = blockFor(key, rec);
        B4BLOCK *b = blocks[i];
        positionFor(b, key, rec);
        for (int splits = 0; b4insert(b, key.data(), rec, 0, 0) != 0; splits++) {
            ASSERT_LT(splits, 2) << "a third split for one key";
            B4BLOCK *dest = nullptr;
            B4BLOCK *fresh = t4split(&rig.tag, b, key.data(), rec, &dest);
            ASSERT_NE(nullptr, fresh) << d4test::lastError();
            i4cache_save(&rig.tag, fresh);
            size_t at = std::find(blocks.begin(), blocks.end(), b) - blocks.begin();
            blocks.insert(blocks.begin() + (long)at + 1, fresh);
            b = dest;
        }
    }

    Entries all()
    {
        Entries out;
        for (size_t i = 0; i < blocks.size(); i++) {
            B4BLOCK *b = blocks[i];
            EXPECT_GT(b->header.n_keys, 0) << "block " << i << " is empty";
            EXPECT_EQ(i == 0 ? -1 : blocks[i - 1]->file_block, b->header.left_node);
            EXPECT_EQ(i + 1 == blocks.size() ? -1 : blocks[i + 1]->file_block, b->header.right_node);
            Entries e = reread(rig, b);
            out.insert(out.end(), e.begin(), e.end());
        }
        return out;
    }
};

TEST(LeafSplit, APendingKeyThatFitsNowhereGetsABlockOfItsOwn)
{
    // 240-byte keys with six-byte info entries. One key leaves 242 bytes
    // and a second sharing nothing needs 246, before it or after it. Five
    // duplicates store their key once; a key sharing nothing cannot join
    // the half a split by entry count would give it. Between a key of 237
    // bytes and one of 239 (a full leaf), a key sharing nothing with either
    // fits beside neither: three blocks.
    struct Case {
        const char *what;
        std::vector<std::string> keys;
        size_t blocks;
    } cases[] = {{"before one", {key240('M'), key240('A')}, 2},
                 {"after one", {key240('M'), key240('Z')}, 2},
                 {"around duplicates", {key240('M'), key240('M'), key240('M'), key240('M'), key240('M'),
                                        key240('A'), key240('Z'), key240('N'), key240('B')}, 5},
                 {"between two", {key240('A', 237), key240('C', 239), key240('B')}, 3}};
    for (const Case &c : cases) {
        Rig rig(240, ' ');
        Level level(rig, 0x7FFFFFFF);
        ASSERT_EQ(6, level.blocks[0]->node_hdr.info_len);
        Entries want;
        for (size_t i = 0; i < c.keys.size(); i++) {
            level.insert(c.keys[i], (long)i + 1);
            want.emplace_back(c.keys[i], (long)i + 1);
        }
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, level.all()) << c.what;
        EXPECT_EQ(c.blocks, level.blocks.size()) << c.what;
    }
}

TEST(LeafSplit, RandomInsertionsIntoSplittingLeavesKeepEveryKeyInOrder)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    for (int kl : {10, 64, 240}) {
        SCOPED_TRACE("key length " + std::to_string(kl) + ", seed " + std::to_string(seed));
        Rig rig(kl, ' ');
        Level level(rig, 1000);
        std::multiset<std::pair<std::string, long>> model;
        for (int i = 0; i < 300; i++) {
            std::string k;
            int used = (int)(rng() % (kl + 1));
            for (int j = 0; j < used; j++)
                k += "AB \xff"[rng() % 4];
            k.resize((size_t)kl, ' ');
            long rec = (long)(rng() % 100000) + 1;
            level.insert(k, rec);
            if (HasFatalFailure())
                return;
            model.emplace(k, rec);
        }
        EXPECT_EQ(sorted(model), level.all());
    }
}

TEST(BranchBlock, EntriesInsertRemoveReplaceAndSearch)
{
    Rig rig(4, ' ');
    B4BLOCK *b = rig.block(false);
    // Children must lie inside the file.
    while (rig.i4.eof < 4096 + B4_BLOCK_SIZE)
        i4extend(&rig.i4);
    // Entries (key, record, child).
    struct Entry {
        const char *key;
        long rec, child;
    } start[] = {{"BBBB", 5, 2048}, {"DDDD", 7, 2560}, {"DDDD", 9, 3072}, {"FFFF", 1, 3584}};
    for (const Entry &e : start) {
        b4go_eof(b);
        ASSERT_EQ(0, b4insert(b, e.key, e.child, e.rec, 1));
    }
    // Inserting in front of an entry without new_flag: the new entry routes
    // to the old child and the moved entry to the new block (a split).
    b4go(b, 1);
    ASSERT_EQ(0, b4insert(b, "CCCC", 4096, 6, 0));
    Entries got = indextest::entries(b);
    Entries want = {{"BBBB", 2048}, {"CCCC", 2560}, {"DDDD", 4096}, {"DDDD", 3072}, {"FFFF", 3584}};
    EXPECT_EQ(want, got);
    EXPECT_EQ(6, b4recno(b, 1));

    struct Seek {
        const char *value;
        int len;
        long rec;
        int rc, key_on;
    } seeks[] = {
        {"A", 1, 0, 2, 0}, {"CCCC", 4, 0, 0, 1}, {"DD", 2, 0, 0, 2}, {"DDDD", 4, 8, 0, 3},
        {"DDDD", 4, 99, 0, 4}, {"E", 1, 0, 2, 4}, {"ZZZZ", 4, 0, 2, 4},
    };
    for (const Seek &s : seeks) {
        int rc = s.rec ? b4r_brseek(b, s.value, s.len, s.rec) : b4seek(b, s.value, s.len);
        EXPECT_EQ(s.rc, rc) << s.value << " " << s.rec;
        EXPECT_EQ(s.key_on, b->key_on) << s.value << " " << s.rec;
    }

    b4go(b, 3);
    b4br_replace(b, "EEEE", 11);
    EXPECT_EQ("EEEE", std::string((const char *)b4key_key(b, 3), 4));
    EXPECT_EQ(11, b4recno(b, 3));
    EXPECT_EQ(3072, b4key(b, 3)->num) << "the child stays";
    b4go(b, 0);
    ASSERT_EQ(0, b4remove(b));
    EXPECT_EQ(4, b->header.n_keys);
    B4BLOCK *copy = nullptr;
    ASSERT_EQ(0, rig.reread(b, &copy)) << d4test::lastError();
    want = {{"CCCC", 2560}, {"DDDD", 4096}, {"EEEE", 3072}, {"FFFF", 3584}};
    EXPECT_EQ(want, indextest::entries(copy));
}

TEST(BranchBlock, FullBranchSplitsByTheInsertionPosition)
{
    // Key length 47: 500 / 55 = 9 entries fit.
    struct Case {
        int key_on, stay, dest_new, dest_pos;
    } cases[] = {{0, 4, 0, 0}, {4, 4, 1, 0}, {5, 4, 1, 1}, {6, 5, 1, 1}, {9, 5, 1, 4}};
    for (const Case &c : cases) {
        Rig rig(47, ' ');
        B4BLOCK *b = rig.block(false);
        for (int i = 0; i < 9; i++) {
            std::string k(47, char('A' + i));
            b4go_eof(b);
            ASSERT_EQ(0, b4insert(b, k.data(), 8192 + 512 * i, i, 1));
        }
        ASSERT_EQ(1, b4insert(b, std::string(47, 'Z').data(), 1024, 1, 1));
        b4go(b, c.key_on);
        B4BLOCK *dest = nullptr;
        B4BLOCK *fresh = t4split(&rig.tag, b, nullptr, 0, &dest);
        ASSERT_NE(nullptr, fresh);
        i4cache_save(&rig.tag, fresh);
        EXPECT_EQ(c.stay, b->header.n_keys) << c.key_on;
        EXPECT_EQ(9 - c.stay, fresh->header.n_keys) << c.key_on;
        EXPECT_EQ(c.dest_new ? fresh : b, dest) << c.key_on;
        EXPECT_EQ(c.dest_pos, dest->key_on) << c.key_on;
        EXPECT_EQ(std::string(47, char('A' + c.stay)), std::string((const char *)b4key_key(fresh, 0), 47));
        EXPECT_EQ(fresh->file_block, b->header.right_node);
        EXPECT_EQ(b->file_block, fresh->header.left_node);
    }
}

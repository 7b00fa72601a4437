// Tags kept current by random appends, key-moving changes, deletes and
// recalls through filters, and closes and reopens (shared and exclusive),
// against a model of each tag: after every step each tag walks, both
// ways, exactly as its model, the selected tag orders the table's skips,
// and the tree checker finds nothing. A 200-byte key gives trees of many
// levels from a few hundred records. CATALOGR_SEED replays a run.
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "xbase/c4conv.h"
#include "xbase/d4tag.h"
#include "xbase/date4.h"
#include "xbase/expr/expr4.h"

using d4test::Engine;
using d4test::lastError;
using indextest::Entries;

namespace {

const FIELD4INFO kFields[] = {{"NAME", 'C', 200, 0}, {"CITY", 'C', 10, 0}, {"CODE", 'C', 6, 0},
                              {"AMT", 'N', 10, 2},   {"BORN", 'D', 8, 0},  {nullptr, 0, 0, 0}};

enum TagId { NAME, CITYCODE, AMT, BORN, CODEU, AMTDESC, N_TAGS };

const std::vector<indextest::TagDef> kTags = {
    {"NAME", "NAME", ".NOT. DELETED()", false, false},
    {"CITYCODE", "CITY+CODE", ".NOT. DELETED()", false, false},
    {"AMT", "AMT", "", false, false},
    {"BORN", "BORN", ".NOT. DELETED()", false, false},
    {"CODEU", "CODE", "", true, false},
    {"AMTDESC", "AMT", "", false, true},
};

// A record as its fields' bytes.
struct Row {
    std::string name, city, code, amt, born;
    bool deleted = false;
};

std::string padded(const std::string &s, size_t n)
{
    std::string out = s.substr(0, n);
    out.resize(n, ' ');
    return out;
}

std::string numberKey(const std::string &text)
{
    char k[8];
    t4dbl_to_fox(k, c4atod(text.data(), (int)text.size()));
    return std::string(k, 8);
}

std::string dateKey(const std::string &text)
{
    char k[8];
    t4dbl_to_fox(k, (double)date4long(text.data()));
    return std::string(k, 8);
}

// The key a tag holds for a row, computed here from the bytes.
std::string keyOf(int tag, const Row &r)
{
    switch (tag) {
    case NAME: return r.name;
    case CITYCODE: return r.city + r.code;
    case AMT:
    case AMTDESC: return numberKey(r.amt);
    case BORN: return dateKey(r.born);
    default: return r.code;
    }
}

bool passes(int tag, const Row &r)
{
    return kTags[(size_t)tag].filter.empty() || !r.deleted;
}

// The tags as this process expects them: (key, record) per tag. The
// unique tag follows its policy: 20 refuses a change, 25 leaves the key out.
struct Model {
    std::vector<Row> rows; // record r is rows[r - 1]
    std::set<std::pair<std::string, long>> tags[N_TAGS];
    int policy = r4unique;

    bool uniqueHolds(const std::string &key, long rec) const
    {
        auto it = tags[CODEU].lower_bound({key, 0});
        return it != tags[CODEU].end() && it->first == key && it->second != rec;
    }

    // Whether changing record `rec` from `before` (none for an append) to
    // `after` is refused, and else applies it.
    bool apply(long rec, const Row *before, const Row &after)
    {
        bool unique_moves = before == nullptr || keyOf(CODEU, *before) != keyOf(CODEU, after);
        if (policy == r4unique && unique_moves && uniqueHolds(keyOf(CODEU, after), rec))
            return false;
        for (int t = 0; t < N_TAGS; t++) {
            if (before != nullptr && passes(t, *before) == passes(t, after) &&
                keyOf(t, *before) == keyOf(t, after))
                continue;
            if (before != nullptr && passes(t, *before))
                tags[t].erase({keyOf(t, *before), rec});
            if (!passes(t, after))
                continue;
            if (t == CODEU && uniqueHolds(keyOf(t, after), rec))
                continue;
            tags[t].insert({keyOf(t, after), rec});
        }
        if (before == nullptr)
            rows.push_back(after);
        else
            rows[(size_t)rec - 1] = after;
        return true;
    }

    Entries inOrder(int t) const
    {
        Entries out(tags[t].begin(), tags[t].end());
        if (kTags[(size_t)t].descending)
            return Entries(out.rbegin(), out.rend());
        return out;
    }
};

struct RandomRows {
    std::mt19937 &rng;
    const Model &model;

    int pick(int n) { return (int)(rng() % (unsigned)n); }

    std::string word(const char *alphabet, int len)
    {
        std::string s;
        int a = (int)std::strlen(alphabet);
        for (int i = 0; i < len; i++)
            s += alphabet[pick(a)];
        return s;
    }

    // Short names repeat and share prefixes; long ones fill most of the
    // 200 bytes, so that a leaf holds two or three of them.
    std::string name()
    {
        int kind = pick(10);
        if (kind < 4)
            return padded(word("AB", 1 + pick(6)), 200);
        if (kind < 7)
            return padded(word("ABC", 40 + pick(80)), 200);
        return padded(word("AB", 4) + word("ABCDEFGH", 186 + pick(14)), 200);
    }

    std::string code()
    {
        if (!model.rows.empty() && pick(5) == 0)
            return model.rows[(size_t)pick((int)model.rows.size())].code;
        return padded(pick(20) == 0 ? "" : word("ABCDEF", 4), 6);
    }

    std::string amt()
    {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%10.2f", (pick(601) - 300) / 2.0);
        return buf;
    }

    std::string born()
    {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%04d%02d%02d", 1950 + pick(80), 1 + pick(12), 1 + pick(28));
        return buf;
    }

    Row row()
    {
        static const char *cities[] = {"", "ROME", "OSLO", "PARIS", "BERN"};
        Row r{name(), padded(cities[pick(5)], 10), code(), amt(), born(), pick(8) == 0};
        return r;
    }
};

void putRow(DATA4 *d, const Row &r)
{
    f4assign(d4field(d, "NAME"), r.name.c_str());
    f4assign(d4field(d, "CITY"), r.city.c_str());
    f4assign(d4field(d, "CODE"), r.code.c_str());
    f4assign(d4field(d, "AMT"), r.amt.c_str());
    f4assign(d4field(d, "BORN"), r.born.c_str());
    if (r.deleted)
        d4delete(d);
    else
        d4recall(d);
}

// Opens the table, shared or exclusive, with the unique policy of `model`.
DATA4 *openModelTable(Engine &e, const std::string &path, bool exclusive, const Model &model)
{
    e.c4.exclusive = exclusive ? 1 : 0;
    DATA4 *d = d4open(&e.c4, path.c_str());
    e.c4.exclusive = 0;
    if (d != nullptr)
        d4tag(d, "CODEU")->unique_error = model.policy;
    return d;
}

// Every way of reading the tags agrees with the model; "" or the first
// difference.
std::string compare(DATA4 *d, const Model &model, int data_tag, size_t *deepest)
{
    for (int t = 0; t < N_TAGS; t++) {
        TAG4 *t4 = d4tag(d, kTags[(size_t)t].name.c_str());
        Entries want = model.inOrder(t);
        Entries forward = indextest::walkOrder(t4, true, want.size() + 1);
        if (t4->blocks.n_link > 0 && (size_t)t4->blocks.n_link > *deepest)
            *deepest = (size_t)t4->blocks.n_link;
        if (forward != want) {
            size_t i = 0;
            while (i < forward.size() && i < want.size() && forward[i] == want[i])
                i++;
            auto show = [](const Entries &v, size_t at) {
                return at < v.size() ? testutil::hex(v[at].first.substr(0, 12)) + " rec " + std::to_string(v[at].second)
                                     : std::string("(none)");
            };
            return "tag " + kTags[(size_t)t].name + " walked forward holds " + std::to_string(forward.size()) +
                   " entries, the model " + std::to_string(want.size()) + "; entry " + std::to_string(i) +
                   " is " + show(forward, i) + ", the model's " + show(want, i);
        }
        Entries backward = indextest::walkOrder(t4, false, want.size() + 1);
        if (Entries(backward.rbegin(), backward.rend()) != want)
            return "tag " + kTags[(size_t)t].name + " walked backward differs from the model";
    }
    std::string problem = indextest::checkIndexes(d);
    if (!problem.empty())
        return "the tree checker: " + problem;

    // The table skipped in the order of one tag, both ways, by record.
    TAG4 *t4 = d4tag(d, kTags[(size_t)data_tag].name.c_str());
    std::vector<long> want;
    for (const auto &e : model.inOrder(data_tag))
        want.push_back(e.second);
    d4tag_select(d, t4);
    std::vector<long> got;
    for (int rc = d4top(d); rc == 0 && got.size() <= want.size(); rc = d4skip(d, 1))
        got.push_back(d4recno(d));
    std::vector<long> back;
    for (int rc = d4bottom(d); rc == 0 && back.size() <= want.size(); rc = d4skip(d, -1))
        back.push_back(d4recno(d));
    d4tag_select(d, nullptr);
    if (got != want)
        return "skipping the table in the order of " + kTags[(size_t)data_tag].name + " differs";
    if (std::vector<long>(back.rbegin(), back.rend()) != want)
        return "skipping the table backward in the order of " + kTags[(size_t)data_tag].name + " differs";
    return "";
}

} // namespace

TEST(TagModel, RandomChangesKeepEveryTagAsItsModel)
{
    unsigned seed = testutil::testSeed();
    const char *steps_env = std::getenv("CATALOGR_MODEL_STEPS");
    const int steps = steps_env != nullptr ? std::atoi(steps_env) : 500;
    std::mt19937 rng(seed);
    Engine e;
    std::string path = indextest::makeTable(e, "MODEL", kFields, kTags);
    ASSERT_FALSE(path.empty());
    Model model;
    RandomRows random{rng, model};
    DATA4 *d = openModelTable(e, path, false, model);
    ASSERT_NE(nullptr, d) << lastError();
    size_t deepest = 0;
    int refused = 0;

    for (int step = 0; step < steps; step++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", step " + std::to_string(step));
        int op = random.pick(100);
        long count = (long)model.rows.size();
        std::string what;
        if (op < 50 || count == 0) {
            what = "append";
            Row r = random.row();
            ASSERT_EQ(0, d4append_start(d, 0));
            d4blank(d);
            putRow(d, r);
            bool accepted = model.apply(count + 1, nullptr, r);
            ASSERT_EQ(accepted ? 0 : r4unique, d4append(d)) << lastError();
            refused += accepted ? 0 : 1;
            ASSERT_EQ(count + (accepted ? 1 : 0), d4reccount(d));
        } else if (op < 94) {
            long rec = 1 + random.pick((int)count);
            Row r = model.rows[(size_t)rec - 1];
            if (op < 80) {
                what = "change";
                switch (random.pick(4)) {
                case 0: r.name = random.name(); break;
                case 1: r.code = random.code(); break;
                case 2: r.amt = random.amt(); break;
                default: r = random.row(); r.deleted = model.rows[(size_t)rec - 1].deleted;
                }
            } else {
                what = "delete or recall";
                r.deleted = !r.deleted;
            }
            ASSERT_EQ(0, d4go(d, rec));
            putRow(d, r);
            Row before = model.rows[(size_t)rec - 1];
            bool accepted = model.apply(rec, &before, r);
            ASSERT_EQ(accepted ? 0 : r4unique, d4update_record(d, 1)) << lastError();
            if (!accepted) {
                refused++;
                d4changed(d, 0);
            }
        } else {
            what = "reopen";
            ASSERT_EQ(0, d4close(d));
            model.policy = random.pick(2) == 0 ? r4unique : r4unique_continue;
            d = openModelTable(e, path, random.pick(3) == 0, model);
            ASSERT_NE(nullptr, d) << lastError();
        }
        std::string diff = compare(d, model, random.pick(N_TAGS), &deepest);
        ASSERT_EQ("", diff) << "after " << what;
    }
    EXPECT_GE(deepest, 3u) << "the long keys should have made deep trees";
    EXPECT_GT(refused, 0) << "the unique tag should have refused some changes";
    EXPECT_EQ(0, d4close(d));
}

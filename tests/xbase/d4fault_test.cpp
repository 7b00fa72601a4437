// What failed reads, writes, commits and length changes leave behind in
// tables and their memo files. Each operation runs once for every call it
// makes and every way that call can fail; the table it leaves (as the disk
// holds it at that moment, and again after closing) is compared with a
// model: every live record once, every field and memo text either as it was
// or as the operation meant it, and nothing added by an append that failed.
#include "tests/xbase/d4test.h"

#include <functional>
#include <map>
#include <random>
#include <set>

#include "tests/faultinject.h"
#include "xbase/index/i4index.h"
#include "xbase/memo4.h"

using namespace d4test;
using testutil::readFile;
using testutil::writeFile;

namespace {

struct Row {
    long num = 0;
    std::string note, more;
    bool operator==(const Row &o) const { return num == o.num && note == o.note && more == o.more; }
};
using Model = std::map<std::string, Row>;   // live records by KEY
using Seen = std::multimap<std::string, Row>;

const FIELD4INFO kMemoFields[] = {{"KEY", 'C', 8, 0}, {"NUM", 'N', 6, 0}, {"NOTE", 'M', 10, 0},
                                  {"MORE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
const FIELD4INFO kPlainFields[] = {{"KEY", 'C', 8, 0}, {"NUM", 'N', 6, 0}, {"PAD", 'C', 60, 0},
                                   {nullptr, 0, 0, 0}};

std::string textOf(size_t len, int seed)
{
    std::string s(len, ' ');
    for (size_t i = 0; i < len; i++)
        s[i] = char('a' + (seed + i * 7) % 26);
    return s;
}

std::string memoText(DATA4 *d, const char *field)
{
    FIELD4 *f = d4field(d, field);
    const char *text = f == nullptr ? "" : f4memo_str(f);
    return text == nullptr ? "<unreadable>" : std::string(text, f == nullptr ? 0 : f4memo_len(f));
}

void putRow(DATA4 *d, const std::string &key, const Row &r)
{
    f4assign(d4field(d, "KEY"), key.c_str());
    f4assign_long(d4field(d, "NUM"), r.num);
    // Padding that differs from record to record, so that a record only
    // partly overwritten by another shows.
    if (d4field(d, "PAD") != nullptr)
        f4assign(d4field(d, "PAD"), textOf(60, key.back()).c_str());
    if (d4field(d, "NOTE") != nullptr) {
        f4memo_assign_n(d4field(d, "NOTE"), r.note.data(), unsigned(r.note.size()));
        f4memo_assign_n(d4field(d, "MORE"), r.more.data(), unsigned(r.more.size()));
    }
}

void addCurrent(DATA4 *d, Seen *seen)
{
    if (d4deleted(d))
        return;
    std::string key = f4str(d4field(d, "KEY"));
    key.erase(key.find_last_not_of(' ') + 1);
    seen->emplace(key, Row{f4long(d4field(d, "NUM")), memoText(d, "NOTE"), memoText(d, "MORE")});
}

// Every key seen once; every key of `before` that is meant to stay seen;
// a key added only when the operation succeeded; each field as it was or
// as meant (exactly as meant after success).
void expectBetween(const Seen &seen, const Model &before, const Model &after, bool ok)
{
    for (const auto &kv : seen) {
        EXPECT_EQ(1u, seen.count(kv.first)) << "twice: " << kv.first;
        auto was = before.find(kv.first), meant = after.find(kv.first);
        if (meant == after.end() || (was == before.end() && !ok)) {
            ADD_FAILURE() << "not meant to be live: " << kv.first;
            continue;
        }
        const Row &got = kv.second, &now = meant->second;
        const Row &old = ok || was == before.end() ? now : was->second;
        EXPECT_TRUE(got.num == old.num || got.num == now.num) << kv.first;
        EXPECT_TRUE(got.note == old.note || got.note == now.note)
            << kv.first << " NOTE neither old nor new: " << got.note.substr(0, 40);
        EXPECT_TRUE(got.more == old.more || got.more == now.more)
            << kv.first << " MORE neither old nor new: " << got.more.substr(0, 40);
    }
    for (const auto &kv : before) {
        bool meant = after.count(kv.first) != 0;
        EXPECT_TRUE(!meant || seen.count(kv.first) == 1) << "not live once: " << kv.first;
    }
}

// Opens the table in a context of its own and checks both what a walk
// (which also shows records past the header count) and the counted
// records hold.
void expectTable(const std::string &file, const Model &before, const Model &after, bool ok)
{
    CODE4 c4;
    d4init(&c4);
    c4.go_error = 0;
    DATA4 *d = d4open(&c4, file.c_str());
    ASSERT_NE(nullptr, d) << "the table does not reopen: " << lastError();
    Seen walked, counted;
    int rc = d4top(d);
    for (long guard = 0; rc == 0 && !d4eof(d) && guard < 100000; guard++, rc = d4skip(d, 1))
        addCurrent(d, &walked);
    EXPECT_TRUE(rc == 0 || rc == r4eof) << "walk stopped with " << rc << ": " << lastError();
    for (long r = 1, count = d4reccount(d); r <= count; r++) {
        EXPECT_EQ(0, d4go(d, r)) << lastError();
        addCurrent(d, &counted);
    }
    expectBetween(walked, before, after, ok);
    expectBetween(counted, before, after, ok);
    d4close(d);
    d4init_undo(&c4);
}

// One operation to break: its table, what it does, and what it means to
// leave.
struct Case {
    std::string what;
    const FIELD4INFO *fields;
    std::vector<std::pair<std::string, Row>> rows;  // appended in this order
    std::set<long> deleted;                         // record numbers
    unsigned bufferSize;
    std::function<int(DATA4 *)> op;
    std::function<void(Model &)> change;            // from the live records to the meant ones
    bool appends = false;   // a failure must leave the data file's bytes as they were
    const TAG4INFO *tags = nullptr;  // of a production index made with the table
};

// Runs the case for every failure mode and every N until the operation
// meets no failure; returns how many runs met one.
int sweep(const Case &c)
{
    Engine e;
    const std::string dbf = e.path("T.DBF"), fpt = e.path("T.FPT");
    DATA4 *d = d4create(&e.c4, e.path("t").c_str(), c.fields, c.tags);
    EXPECT_NE(nullptr, d) << lastError();
    if (d == nullptr)
        return 0;
    Model before;
    for (size_t i = 0; i < c.rows.size(); i++) {
        EXPECT_EQ(0, d4append_start(d, 0));
        d4blank(d);
        putRow(d, c.rows[i].first, c.rows[i].second);
        if (c.deleted.count(long(i + 1)) != 0)
            d4delete(d);
        else
            before[c.rows[i].first] = c.rows[i].second;
        EXPECT_EQ(0, d4append(d)) << lastError();
    }
    EXPECT_EQ(0, d4close(d));
    Model after = before;
    c.change(after);
    const bool memo = testutil::fileExists(fpt), index = c.tags != nullptr;
    const std::string dbfBytes = readFile(dbf), fptBytes = memo ? readFile(fpt) : "";
    const std::string cdx = e.path("T.CDX"), cdxBytes = index ? readFile(cdx) : "";
    testutil::TempDir crash;
    int failures = 0;

    for (faults::Mode mode : faults::allModes()) {
        for (int nth = 1; !testing::Test::HasFailure(); nth++) {
            SCOPED_TRACE(faults::describe(mode) + " at call " + std::to_string(nth));
            writeFile(dbf, dbfBytes);
            if (memo)
                writeFile(fpt, fptBytes);
            if (index)
                writeFile(cdx, cdxBytes);
            e4clearErrorState();
            e.c4.mem_size_buffer = c.bufferSize;
            d = d4open(&e.c4, dbf.c_str());
            if (d == nullptr)
                return failures;
            // Commits happen on every write only with file_flush on.
            e.c4.file_flush = mode.call == faults::Call::sync;
            int rc;
            bool fired;
            {
                faults::Injector inject(mode, nth);
                rc = c.op(d);
                fired = inject.fired();
            }
            e.c4.file_flush = 0;
            if (!fired) {
                EXPECT_EQ(0, rc) << lastError();
                EXPECT_EQ(0, d4close(d)) << lastError();
                expectTable(dbf, before, after, true);
                break;
            }
            failures++;
            EXPECT_NE(0, rc) << "a failure reported as success";
            EXPECT_NE(0, lastErrorCode());
            EXPECT_TRUE(!c.appends || dbfBytes == readFile(dbf)) << "a failed append left bytes";
            // The table as a process that stopped here would leave it; then
            // closing writes what is still pending, and that too is old or new.
            writeFile(crash.file("T.DBF"), readFile(dbf));
            if (memo)
                writeFile(crash.file("T.FPT"), readFile(fpt));
            // With the index, the next open finishes what the pack noted.
            if (index)
                writeFile(crash.file("T.CDX"), readFile(cdx));
            expectTable(crash.file("T.DBF"), before, after, false);
            e.c4.error_code = 0;
            d4close(d);
            e.c4.error_code = 0;
            expectTable(dbf, before, after, false);
        }
    }
    return failures;
}

std::vector<std::pair<std::string, Row>> memoRows()
{
    std::vector<std::pair<std::string, Row>> rows;
    for (int i = 1; i <= 5; i++)
        rows.push_back({"K0" + std::to_string(i),
                        Row{i, textOf(size_t(100 + 150 * (i % 3)), i), textOf(100, i + 10)}});
    return rows;
}

std::vector<std::pair<std::string, Row>> plainRows(int n)
{
    std::vector<std::pair<std::string, Row>> rows;
    for (int i = 1; i <= n; i++)
        rows.push_back({"K" + std::to_string(100 + i), Row{i, "", ""}});
    return rows;
}

// Goes to record `rec`, gives one memo field a new text (and NUM a new
// value when `num` is not negative) and flushes.
std::function<int(DATA4 *)> rewriteMemo(long rec, const char *field, std::string text,
                                        long num = -1)
{
    return [=](DATA4 *d) {
        int rc = d4go(d, rec);
        if (rc != 0)
            return rc;
        if (num >= 0)
            f4assign_long(d4field(d, "NUM"), num);
        rc = f4memo_assign_n(d4field(d, field), text.data(), unsigned(text.size()));
        return rc != 0 ? rc : d4flush(d);
    };
}

// Appends NEW with `row`'s values; with `copyFrom`, starts from that
// record and takes its memo texts.
std::function<int(DATA4 *)> appendNew(Row row, long copyFrom = 0)
{
    return [=](DATA4 *d) {
        int rc = copyFrom > 0 ? d4go(d, copyFrom) : 0;
        if (rc == 0)
            rc = d4append_start(d, copyFrom > 0);
        if (rc != 0)
            return rc;
        if (copyFrom > 0)
            f4assign(d4field(d, "KEY"), "NEW");
        else
            putRow(d, "NEW", row);
        return d4append(d);
    };
}

int pack(DATA4 *d) { return d4pack(d); }
void unchanged(Model &) {}

} // namespace

TEST(FailedAppend, AddsNothingAndReportsTheFailure)
{
    const Row fresh{99, textOf(700, 3), "short"};
    const Case cases[] = {
        {"without memo fields", kPlainFields, plainRows(5), {}, 2048, appendNew(Row{99, "", ""}),
         [](Model &m) { m["NEW"] = Row{99, "", ""}; }, true},
        {"with memo texts", kMemoFields, memoRows(), {}, 2048, appendNew(fresh),
         [&](Model &m) { m["NEW"] = fresh; }, true},
        {"copying the current record's memo texts", kMemoFields, memoRows(), {}, 2048,
         appendNew(Row(), 2), [](Model &m) { m["NEW"] = m["K02"]; }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_GT(sweep(c), 3);
    }
}

// A file open exclusively keeps its record count and where it ends in
// memory from one append to the next: an append that fails there still
// leaves no byte behind, and the next one lands right after the last
// record.
TEST(FailedAppend, InAFileOpenExclusivelyKeepsCountAndEndTrue)
{
    const Row row{7, "", ""};
    for (faults::Mode mode : faults::allModes()) {
        for (int nth = 1; !testing::Test::HasFailure(); nth++) {
            SCOPED_TRACE(faults::describe(mode) + " at call " + std::to_string(nth));
            Engine e;
            const std::string dbf = e.path("T.DBF");
            DATA4 *d = d4create(&e.c4, e.path("t").c_str(), kPlainFields, nullptr);
            ASSERT_NE(nullptr, d) << lastError();
            ASSERT_EQ(0, d4close(d));
            e.c4.exclusive = 1;
            d = d4open(&e.c4, dbf.c_str());
            ASSERT_NE(nullptr, d) << lastError();
            auto add = [&](const char *key) {
                int rc = d4append_start(d, 0);
                if (rc == 0) {
                    d4blank(d);
                    putRow(d, key, row);
                    rc = d4append(d);
                }
                return rc;
            };
            ASSERT_EQ(0, add("K1")) << lastError();
            ASSERT_EQ(0, d4flush(d)) << lastError(); // K1 kept back goes to the disk
            const std::string bytes = readFile(dbf);
            int rc;
            bool fired;
            {
                e.c4.file_flush = mode.call == faults::Call::sync;
                faults::Injector inject(mode, nth);
                rc = add("K2");
                fired = inject.fired();
            }
            e.c4.file_flush = 0;
            if (fired) {
                EXPECT_NE(0, rc) << "a failure reported as success";
                EXPECT_EQ(bytes, readFile(dbf)) << "a failed append left bytes";
                e.c4.error_code = 0;
            } else {
                EXPECT_EQ(0, rc) << lastError();
            }
            EXPECT_EQ(0, add("K3")) << lastError();
            EXPECT_EQ(0, d4close(d)) << lastError();
            Model meant{{"K1", row}, {"K3", row}};
            if (!fired)
                meant["K2"] = row;
            expectTable(dbf, meant, meant, true);
            EXPECT_EQ(long(meant.size()), long(le32(readFile(dbf), 4))) << "the header's count";
            if (!fired)
                break;
        }
    }
}

TEST(FailedWrite, LeavesEveryTextOldOrNew)
{
    const std::string longer = textOf(400, 9), moved = textOf(900, 5), shorter = textOf(30, 4);
    const Case cases[] = {
        // The first memo field changes; the second must keep its text.
        {"record and one of two memo texts written back", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(3, "NOTE", moved, 777),
         [&](Model &m) { m["K03"] = Row{777, moved, m["K03"].more}; }},
        {"memo text rewritten shorter", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(2, "NOTE", shorter), [&](Model &m) { m["K02"].note = shorter; }},
        {"memo text rewritten longer in its own blocks", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(3, "NOTE", longer), [&](Model &m) { m["K03"].note = longer; }},
        // The last entry of the memo file: growing it in place would grow
        // the file.
        {"last memo text rewritten longer", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(5, "MORE", longer), [&](Model &m) { m["K05"].more = longer; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_GT(sweep(c), 3);
    }
}

TEST(FailedPack, NeverLeavesARecordTwiceOrLosesOne)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    std::vector<Case> cases = {
        {"60 records, 1 to 10 deleted", kPlainFields, plainRows(60),
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 2048, pack, unchanged},
        // The first transfer (2048 - 129 bytes) stops half way, inside slot
        // 13, which receives record 14: the slot holds part of each.
        {"write stopping inside the first deleted slot", kPlainFields, plainRows(30), {13}, 2048,
         pack, unchanged},
        {"memo table", kMemoFields, memoRows(), {1, 3}, 1024, pack, unchanged},
    };
    // With a production index the records wait past the end first.
    static const TAG4INFO keyTag[] = {{"KEY", "KEY", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
    for (unsigned buffer : {0u, 1024u, 3072u, 2048u}) {
        const int rows = buffer == 2048u ? 40 : 80;
        cases.push_back(
            {"random deletions", kPlainFields, plainRows(rows), {}, buffer, pack, unchanged});
        cases.back().tags = buffer == 2048u ? keyTag : nullptr;
        for (long r = 1; r <= rows; r++)
            if (rng() % 3 == 0)
                cases.back().deleted.insert(r);
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what + ", buffer " + std::to_string(c.bufferSize) + ", seed " +
                     std::to_string(seed));
        EXPECT_GT(sweep(c), 3);
    }
}

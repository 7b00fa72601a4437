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

#include "platform/platform.h"
#include "tests/faultinject.h"
#include "xbase/memo4.h"

using namespace d4test;
using testutil::readFile;
using testutil::writeFile;

namespace {

// One record as the model sees it.
struct Row {
    long num = 0;
    std::string note, more;
    bool operator==(const Row &o) const
    {
        return num == o.num && note == o.note && more == o.more;
    }
};
using Model = std::map<std::string, Row>;

std::string trimmed(const char *p, unsigned len)
{
    std::string s(p, len);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

std::string memoText(DATA4 *d, const char *field)
{
    FIELD4 *f = d4field(d, field);
    if (f == nullptr)
        return "";
    const char *text = f4memo_str(f);
    return text == nullptr ? "<unreadable>" : std::string(text, f4memo_len(f));
}

// The live records of the current record, keyed by KEY.
void addCurrent(DATA4 *d, std::multimap<std::string, Row> *rows)
{
    if (d4deleted(d))
        return;
    Row r;
    r.num = f4long(d4field(d, "NUM"));
    r.note = memoText(d, "NOTE");
    r.more = memoText(d, "MORE");
    rows->emplace(trimmed(f4ptr(d4field(d, "KEY")), 8), r);
}

// Live records seen by walking the table top to bottom (which also shows
// records past the header count) and by going to each counted record.
struct Seen {
    std::multimap<std::string, Row> walked, counted;
};

Seen seenIn(DATA4 *d)
{
    Seen s;
    int rc = d4top(d);
    for (long guard = 0; rc == 0 && !d4eof(d) && guard < 100000; guard++) {
        addCurrent(d, &s.walked);
        rc = d4skip(d, 1);
    }
    EXPECT_TRUE(rc == 0 || rc == r4eof) << "walk stopped with " << rc << ": " << lastError();
    long count = d4reccount(d);
    for (long r = 1; r <= count; r++) {
        EXPECT_EQ(0, d4go(d, r)) << lastError();
        addCurrent(d, &s.counted);
    }
    return s;
}

// Each view holds every key of `before` once, no key the operation did not
// mean to add, and each field either as it was or as meant.
void expectBetween(const std::multimap<std::string, Row> &seen, const Model &before,
                   const Model &after, bool succeeded, const char *view)
{
    SCOPED_TRACE(view);
    std::set<std::string> keys;
    for (const auto &kv : seen) {
        EXPECT_EQ(1u, seen.count(kv.first)) << "twice: " << kv.first;
        keys.insert(kv.first);
    }
    for (const auto &kv : before) {
        bool meant = after.count(kv.first) != 0;
        EXPECT_TRUE(!meant || keys.count(kv.first) == 1) << "lost: " << kv.first;
    }
    for (const std::string &k : keys) {
        auto was = before.find(k);
        auto meant = after.find(k);
        if (meant == after.end()) {
            ADD_FAILURE() << "not meant to be live: " << k;
            continue;
        }
        if (was == before.end() && !succeeded) {
            ADD_FAILURE() << "a failed append added " << k;
            continue;
        }
        const Row &got = seen.find(k)->second;
        if (succeeded || was == before.end()) {
            EXPECT_TRUE(got == meant->second) << k << " note " << got.note.size() << " bytes";
            continue;
        }
        EXPECT_TRUE(got.num == was->second.num || got.num == meant->second.num) << k;
        EXPECT_TRUE(got.note == was->second.note || got.note == meant->second.note)
            << k << " NOTE is neither old nor new: " << got.note.substr(0, 40);
        EXPECT_TRUE(got.more == was->second.more || got.more == meant->second.more)
            << k << " MORE is neither old nor new: " << got.more.substr(0, 40);
    }
}

// Opens the table in a context of its own and checks what it holds.
void expectTable(const std::string &file, const Model &before, const Model &after,
                 bool succeeded)
{
    CODE4 c4;
    d4init(&c4);
    c4.go_error = 0;
    DATA4 *d = d4open(&c4, file.c_str());
    ASSERT_NE(nullptr, d) << "the table does not reopen: " << lastError();
    Seen s = seenIn(d);
    expectBetween(s.walked, before, after, succeeded, "walked");
    expectBetween(s.counted, before, after, succeeded, "counted");
    d4close(d);
    d4init_undo(&c4);
}

const FIELD4INFO kMemoFields[] = {{"KEY", 'C', 8, 0}, {"NUM", 'N', 6, 0}, {"NOTE", 'M', 10, 0},
                                  {"MORE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
const FIELD4INFO kPlainFields[] = {{"KEY", 'C', 8, 0}, {"NUM", 'N', 6, 0}, {"PAD", 'C', 60, 0},
                                   {nullptr, 0, 0, 0}};

std::string textOf(size_t len, char seed)
{
    std::string s(len, ' ');
    for (size_t i = 0; i < len; i++)
        s[i] = char('a' + (seed + i * 7) % 26);
    return s;
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

// One operation to break: how its table starts, what it does, and the
// records it means to leave.
struct Case {
    const char *what;
    const FIELD4INFO *fields;
    std::vector<std::pair<std::string, Row>> rows;  // appended in this order
    std::set<long> deleted;                         // record numbers
    unsigned bufferSize;
    std::function<int(DATA4 *)> op;
    Model after;
    bool appends;       // a failure must leave the data file's bytes unchanged
};

Model liveModel(const Case &c)
{
    Model m;
    for (size_t i = 0; i < c.rows.size(); i++)
        if (c.deleted.count(long(i + 1)) == 0)
            m[c.rows[i].first] = c.rows[i].second;
    return m;
}

// Runs the case for every failure mode and every N until the operation
// meets no failure; returns how many runs met one.
int sweep(const Case &c)
{
    Engine e;
    const std::string dbf = e.path("T.DBF"), fpt = e.path("T.FPT");
    {
        DATA4 *d = d4create(&e.c4, e.path("t").c_str(), c.fields, nullptr);
        EXPECT_NE(nullptr, d) << lastError();
        if (d == nullptr)
            return 0;
        for (const auto &kv : c.rows) {
            EXPECT_EQ(0, d4append_start(d, 0));
            d4blank(d);
            putRow(d, kv.first, kv.second);
            EXPECT_EQ(0, d4append(d)) << lastError();
        }
        for (long r : c.deleted) {
            EXPECT_EQ(0, d4go(d, r));
            d4delete(d);
        }
        EXPECT_EQ(0, d4close(d));
    }
    const bool memo = testutil::fileExists(fpt);
    const std::string dbfBytes = readFile(dbf), fptBytes = memo ? readFile(fpt) : "";
    const Model before = liveModel(c);
    testutil::TempDir crash;
    int failures = 0;

    for (faults::Mode mode : faults::allModes()) {
        for (int nth = 1;; nth++) {
            SCOPED_TRACE(faults::describe(mode) + " at call " + std::to_string(nth));
            writeFile(dbf, dbfBytes);
            if (memo)
                writeFile(fpt, fptBytes);
            e4clearErrorState();
            e.c4.mem_size_buffer = c.bufferSize;
            e.c4.go_error = 0;
            DATA4 *d = d4open(&e.c4, dbf.c_str());
            if (d == nullptr) {
                ADD_FAILURE() << lastError();
                return failures;
            }
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
                expectTable(dbf, before, c.after, true);
                break;
            }
            failures++;
            EXPECT_NE(0, rc) << "a failure reported as success";
            EXPECT_NE(0, lastErrorCode());
            // The table as a process that stopped here would leave it.
            writeFile(crash.file("T.DBF"), readFile(dbf));
            if (memo)
                writeFile(crash.file("T.FPT"), readFile(fpt));
            if (c.appends) {
                EXPECT_EQ(dbfBytes, readFile(dbf)) << "a failed append left bytes behind";
            }
            expectTable(crash.file("T.DBF"), before, c.after, false);
            // Closing writes what is still pending; that too is old or new.
            e.c4.error_code = 0;
            d4close(d);
            e.c4.error_code = 0;
            expectTable(dbf, before, c.after, false);
            if (testing::Test::HasFailure())
                return failures;
        }
    }
    return failures;
}

std::vector<std::pair<std::string, Row>> memoRows()
{
    std::vector<std::pair<std::string, Row>> rows;
    for (int i = 1; i <= 5; i++) {
        Row r;
        r.num = i;
        r.note = textOf(size_t(100 + 150 * (i % 3)), char(i));
        r.more = textOf(100, char(i + 10));
        rows.emplace_back("K0" + std::to_string(i), r);
    }
    return rows;
}

std::vector<std::pair<std::string, Row>> plainRows(int n)
{
    std::vector<std::pair<std::string, Row>> rows;
    for (int i = 1; i <= n; i++) {
        Row r;
        r.num = i;
        rows.emplace_back("K" + std::to_string(100 + i), r);
    }
    return rows;
}

// Changes the current record's memo field and writes the record back.
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

Model changed(Model m, const std::string &key, const std::function<void(Row &)> &change)
{
    change(m[key]);
    return m;
}

} // namespace

TEST(FailedAppend, AddsNothingAndReportsTheFailure)
{
    const Row fresh{99, textOf(700, 3), "short"};
    std::vector<Case> cases;
    {
        Case c{"without memo fields", kPlainFields, plainRows(5), {}, 2048, nullptr, {}, true};
        c.op = [](DATA4 *d) {
            int rc = d4append_start(d, 0);
            if (rc != 0)
                return rc;
            d4blank(d);
            putRow(d, "NEW", Row{99, "", ""});
            return d4append(d);
        };
        c.after = liveModel(c);
        c.after["NEW"] = Row{99, "", ""};
        cases.push_back(c);
    }
    {
        Case c{"with memo texts", kMemoFields, memoRows(), {}, 2048, nullptr, {}, true};
        c.op = [fresh](DATA4 *d) {
            int rc = d4append_start(d, 0);
            if (rc != 0)
                return rc;
            d4blank(d);
            putRow(d, "NEW", fresh);
            return d4append(d);
        };
        c.after = liveModel(c);
        c.after["NEW"] = fresh;
        cases.push_back(c);
    }
    {
        Case c{"copying the memo texts of the current record", kMemoFields, memoRows(), {}, 2048,
               nullptr, {}, true};
        c.op = [](DATA4 *d) {
            int rc = d4go(d, 2);
            if (rc == 0)
                rc = d4append_start(d, 1);
            if (rc != 0)
                return rc;
            f4assign(d4field(d, "KEY"), "NEW");
            return d4append(d);
        };
        c.after = liveModel(c);
        c.after["NEW"] = c.after["K02"];
        cases.push_back(c);
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_GT(sweep(c), 3);
    }
}

TEST(FailedWrite, LeavesEveryTextOldOrNew)
{
    const Model start = [] {
        Model m;
        for (const auto &kv : memoRows())
            m[kv.first] = kv.second;
        return m;
    }();
    const std::string longer = textOf(400, 9), moved = textOf(900, 5), shorter = textOf(30, 4);
    std::vector<Case> cases = {
        // The first memo field changes; the second must keep its text.
        {"record and one of two memo texts written back", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(3, "NOTE", moved, 777),
         changed(start, "K03", [&](Row &r) { r.num = 777; r.note = moved; }), false},
        {"memo text rewritten shorter", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(2, "NOTE", shorter),
         changed(start, "K02", [&](Row &r) { r.note = shorter; }), false},
        {"memo text rewritten longer in its own blocks", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(3, "NOTE", longer),
         changed(start, "K03", [&](Row &r) { r.note = longer; }), false},
        // The last entry of the memo file: growing it in place would grow
        // the file.
        {"last memo text rewritten longer", kMemoFields, memoRows(), {}, 2048,
         rewriteMemo(5, "MORE", longer),
         changed(start, "K05", [&](Row &r) { r.more = longer; }), false},
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
    std::vector<Case> cases;
    {
        Case c{"60 records, 1 to 10 deleted", kPlainFields, plainRows(60), {}, 2048,
               [](DATA4 *d) { return d4pack(d); }, {}, false};
        for (long r = 1; r <= 10; r++)
            c.deleted.insert(r);
        c.after = liveModel(c);
        cases.push_back(c);
    }
    {
        // The first transfer (2048 - 129 bytes) stops half way, inside slot
        // 13, which receives record 14: the slot holds part of each.
        Case c{"write stopping inside the first deleted slot", kPlainFields, plainRows(30), {13},
               2048, [](DATA4 *d) { return d4pack(d); }, {}, false};
        c.after = liveModel(c);
        cases.push_back(c);
    }
    for (unsigned buffer : {0u, 1024u, 3072u}) {
        Case c{"random deletions", kPlainFields, plainRows(80), {}, buffer,
               [](DATA4 *d) { return d4pack(d); }, {}, false};
        for (long r = 1; r <= 80; r++)
            if (rng() % 3 == 0)
                c.deleted.insert(r);
        c.after = liveModel(c);
        cases.push_back(c);
    }
    {
        Case c{"memo table", kMemoFields, memoRows(), {1, 3}, 1024,
               [](DATA4 *d) { return d4pack(d); }, {}, false};
        c.after = liveModel(c);
        cases.push_back(c);
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", buffer " + std::to_string(c.bufferSize) +
                     ", seed " + std::to_string(seed));
        EXPECT_GT(sweep(c), 3);
    }
}

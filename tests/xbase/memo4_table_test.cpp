// Memo fields through tables: texts stored by append and write read back
// here and by independent readers, tables written by other programs read
// here, and the memo cache kept apart from the records it does not belong to.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/f4field.h"
#include "xbase/memo4.h"

using testutil::TempDir;

namespace {

// Turns the \xHH escapes of the readers' output back into bytes.
std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out += (char)std::stoi(s.substr(i + 2, 2), nullptr, 16);
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// What a reader printed: each record's raw field texts and the memo texts
// by record number and field name.
struct ReaderView {
    std::map<long, std::vector<std::string>> records;
    std::map<std::pair<long, std::string>, std::string> memos;
};

ReaderView parseDump(const std::string &dump)
{
    ReaderView view;
    std::string section;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t eol = dump.find('\n', pos);
        if (eol == std::string::npos)
            eol = dump.size();
        std::string line = dump.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line[0] == '[') {
            section = line;
            continue;
        }
        if (section == "[records]" && line.compare(0, 4, "rec ") == 0) {
            long rec = std::stol(line.substr(4));
            std::vector<std::string> fields;
            size_t bar = line.find('|');
            while (bar != std::string::npos) {
                size_t next = line.find('|', bar + 1);
                if (next == std::string::npos)
                    break;
                fields.push_back(unescape(line.substr(bar + 1, next - bar - 1)));
                bar = next;
            }
            view.records[rec] = fields;
        } else if (section == "[memo]" && line.compare(0, 9, "memo rec=") == 0) {
            long rec = std::stol(line.substr(9));
            size_t f = line.find("field=") + 6;
            std::string field = line.substr(f, line.find(' ', f) - f);
            size_t q = line.find(": \"");
            std::string text = line.substr(q + 3, line.size() - q - 4);
            view.memos[{rec, field}] = unescape(text);
        }
    }
    return view;
}

struct Row {
    const char *name, *amount, *rate, *born, *active;
    std::string notes, extra;
};

const FIELD4INFO kFields[] = {
    {"NAME", 'C', 10, 0}, {"AMOUNT", 'N', 10, 2}, {"RATE", 'F', 9, 3}, {"BORN", 'D', 8, 0},
    {"ACTIVE", 'L', 1, 0}, {"NOTES", 'M', 10, 0}, {"EXTRA", 'M', 10, 0}, {nullptr, 0, 0, 0},
};

std::vector<Row> sampleRows(unsigned blockSize)
{
    std::string bytes;
    for (int i = 0; i < 256; i++)
        bytes += (char)i;
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)('a' + i % 26);
    return {
        {"ALPHA", "      1.50", "   -0.864", "20010203", "T", "short memo", ""},
        {"beta", "    -20.25", "    4.718", "        ", "F", "", "x"},
        {"GAMMA", " 123456.78", "    0.000", "19991231", "?", std::string(300, 'x'), bytes},
        {"DELTA", "      0.00", "   12.500", "20240229", "T",
         std::string(blockSize - 8, 'f'), "line1\r\nline2 \"quoted\" |bar| back\\slash"},
        {"EPSILON", "     -0.01", "         ", "20000101", "F", big, std::string(blockSize, 'b')},
    };
}

void assignRow(DATA4 *data, const Row &r)
{
    f4assign(d4field(data, "NAME"), r.name);
    f4assign(d4field(data, "AMOUNT"), r.amount);
    f4assign(d4field(data, "RATE"), r.rate);
    f4assign(d4field(data, "BORN"), r.born);
    f4assign(d4field(data, "ACTIVE"), r.active);
    ASSERT_EQ(0, f4memo_assign_n(d4field(data, "NOTES"), r.notes.data(),
                                 (unsigned)r.notes.size()));
    ASSERT_EQ(0, f4memo_assign_n(d4field(data, "EXTRA"), r.extra.data(),
                                 (unsigned)r.extra.size()));
}

std::string memoText(DATA4 *data, const char *name)
{
    FIELD4 *f = d4field(data, name);
    const char *p = f4memo_ptr(f);
    return p == nullptr ? std::string("<read failed>") : std::string(p, f4memo_len(f));
}

std::string padRight(const char *s, size_t width)
{
    std::string r(s);
    r.resize(width, ' ');
    return r;
}

// Builds the table, then grows one memo (it moves) and shrinks another (it
// stays). Returns the rows as they end up.
std::vector<Row> buildTable(CODE4 *c4, const std::string &path, unsigned blockSize)
{
    std::vector<Row> rows = sampleRows(blockSize);
    c4->mem_size_memo = blockSize;
    DATA4 *data = d4create(c4, path.c_str(), kFields, nullptr);
    EXPECT_NE(nullptr, data);
    if (data == nullptr)
        return {};
    for (const Row &r : rows) {
        EXPECT_EQ(0, d4append_start(data, 0));
        d4blank(data);
        assignRow(data, r);
        EXPECT_EQ(0, d4append(data));
    }

    EXPECT_EQ(0, d4go(data, 1));
    long oldNotes1 = f4long(d4field(data, "NOTES"));
    rows[0].notes = std::string(3 * blockSize, 'G');
    EXPECT_EQ(0, f4memo_assign(d4field(data, "NOTES"), rows[0].notes.c_str()));
    EXPECT_EQ(0, d4go(data, 3));
    long oldNotes3 = f4long(d4field(data, "NOTES"));
    rows[2].notes = "shrunk";
    EXPECT_EQ(0, f4memo_assign(d4field(data, "NOTES"), rows[2].notes.c_str()));
    EXPECT_EQ(0, d4go(data, 1));
    EXPECT_NE(oldNotes1, f4long(d4field(data, "NOTES"))) << "a grown memo moves";
    EXPECT_EQ(0, d4go(data, 3));
    EXPECT_EQ(oldNotes3, f4long(d4field(data, "NOTES"))) << "a shrunk memo stays";
    EXPECT_EQ(0, d4close(data));
    return rows;
}

TEST(MemoTable, TextsReadBackAfterAppendRewriteAndReopen)
{
    for (unsigned blockSize : {512u, 64u}) {
        SCOPED_TRACE(blockSize);
        TempDir dir;
        CODE4 c4;
        d4init(&c4);
        std::vector<Row> rows = buildTable(&c4, dir.file("memos"), blockSize);
        ASSERT_EQ(5u, rows.size());
        ASSERT_TRUE(testutil::fileExists(dir.file("MEMOS.FPT")));

        DATA4 *data = d4open(&c4, dir.file("MEMOS").c_str());
        ASSERT_NE(nullptr, data);
        for (size_t i = 0; i < rows.size(); i++) {
            SCOPED_TRACE(i + 1);
            ASSERT_EQ(0, d4go(data, (long)i + 1));
            EXPECT_EQ(rows[i].notes, memoText(data, "NOTES"));
            EXPECT_EQ(rows[i].extra, memoText(data, "EXTRA"));
            if (rows[i].notes.empty()) {
                EXPECT_EQ(std::string(10, ' '), std::string(f4ptr(d4field(data, "NOTES")), 10))
                    << "an empty memo leaves the field blank";
            }
        }
        EXPECT_EQ(0, d4close(data));
    }
}

TEST(MemoTable, IndependentReadersSeeTheSameValues)
{
    std::string xbdump = testutil::reader("xbview-pl");
    std::string xbdumpPy = testutil::reader("xbview-py");
    if (xbdump.empty() && xbdumpPy.empty())
        GTEST_SKIP() << "needs Debian's libdbd-xbase-perl, or python3-dbf and python3-dbfread";
    TempDir dir;
    CODE4 c4;
    d4init(&c4);
    std::vector<Row> rows = buildTable(&c4, dir.file("memos"), 512);
    ASSERT_EQ(5u, rows.size());

    std::vector<std::vector<std::string>> readers;
    if (!xbdump.empty())
        readers.push_back({xbdump, "--only=header,fields,records,memo"});
    if (!xbdumpPy.empty()) {
        readers.push_back({xbdumpPy, "--engine=dbf"});
        readers.push_back({xbdumpPy, "--engine=dbfread"});
    }
    for (std::vector<std::string> argv : readers) {
        argv.push_back(dir.file("MEMOS.DBF"));
        SCOPED_TRACE(argv[0] + " " + argv[1]);
        testutil::ProcResult res = testutil::runProgram(argv, dir.path, {}, "", 300);
        ASSERT_EQ(0, res.exitStatus) << res.err;
        ReaderView view = parseDump(res.out);
        ASSERT_EQ(rows.size(), view.records.size()) << res.out.substr(0, 2000);
        for (size_t i = 0; i < rows.size(); i++) {
            long rec = (long)i + 1;
            SCOPED_TRACE(rec);
            const std::vector<std::string> &f = view.records[rec];
            ASSERT_EQ(7u, f.size());
            EXPECT_EQ(padRight(rows[i].name, 10), f[0]);
            EXPECT_EQ(rows[i].amount, f[1]);
            EXPECT_EQ(rows[i].rate, f[2]);
            EXPECT_EQ(rows[i].born, f[3]);
            EXPECT_EQ(rows[i].active, f[4]);
            const std::pair<const char *, const std::string *> memos[] = {
                {"NOTES", &rows[i].notes}, {"EXTRA", &rows[i].extra}};
            for (auto &m : memos) {
                auto it = view.memos.find({rec, m.first});
                if (m.second->empty()) {
                    EXPECT_TRUE(it == view.memos.end() || it->second.empty()) << m.first;
                } else {
                    ASSERT_TRUE(it != view.memos.end()) << m.first;
                    EXPECT_TRUE(*m.second == it->second)
                        << m.first << ": lengths " << m.second->size() << " and "
                        << it->second.size();
                }
            }
        }
    }
}

TEST(MemoTable, ReadsMemoTablesWrittenByOtherPrograms)
{
    std::string samples = testutil::sharedSamples();
    std::string local = testutil::dataDir() + "/samples";
    if (testutil::fileExists(local + "/hb_memo.dbf"))
        samples = local;
    if (samples.empty())
        GTEST_SKIP() << "no sample tables found";
    for (const char *name : {"hb_memo", "py_memo"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        testutil::copyFile(samples + "/" + name + ".dbf", dir.file(std::string(name) + ".dbf"));
        testutil::copyFile(samples + "/" + name + ".fpt", dir.file(std::string(name) + ".fpt"));
        std::string expectedPath = samples + "/expected/" + name + ".xbdump.txt";
        if (!testutil::fileExists(expectedPath))
            expectedPath = testutil::sharedSamples() + "/expected/" + name + ".xbdump.txt";
        ReaderView view = parseDump(testutil::readFile(expectedPath));
        ASSERT_FALSE(view.records.empty());
        ASSERT_FALSE(view.memos.empty());

        CODE4 c4;
        d4init(&c4);
        c4.auto_open = 0; // the memo texts are the point here, not the index
        DATA4 *data = d4open(&c4, dir.file(std::string(name) + ".dbf").c_str());
        ASSERT_NE(nullptr, data);
        FIELD4 *notes = d4field(data, "NOTES");
        ASSERT_NE(nullptr, notes);
        for (const auto &rec : view.records) {
            SCOPED_TRACE(rec.first);
            ASSERT_EQ(0, d4go(data, rec.first));
            auto it = view.memos.find({rec.first, "NOTES"});
            std::string expected = it == view.memos.end() ? std::string() : it->second;
            EXPECT_EQ(expected, memoText(data, "NOTES"));
        }
        EXPECT_EQ(0, d4close(data));
    }
}

TEST(MemoTable, MissingMemoFileIsReportedByName)
{
    TempDir dir;
    CODE4 c4;
    d4init(&c4);
    DATA4 *data = d4create(&c4, dir.file("lost").c_str(), kFields, nullptr);
    ASSERT_NE(nullptr, data);
    ASSERT_EQ(0, d4close(data));
    ASSERT_EQ(0, std::remove(dir.file("LOST.FPT").c_str()));

    c4.open_error = 0; // as the tool runs
    e4clearErrorState();
    EXPECT_EQ(nullptr, d4open(&c4, dir.file("LOST.DBF").c_str()));
    char buf[E4_ERROR_BUFFER_LEN];
    int code = 0;
    e4getErrorInfo(&code, buf, sizeof buf);
    EXPECT_EQ(e4open, code);
    EXPECT_NE(nullptr, std::strstr(buf, "LOST.FPT")) << buf;
}

// A text assigned while no record was current belongs to no record: moving
// to a record and writing it must not store that text (or an emptied cache)
// over the record's memo.
TEST(MemoTable, TextAssignedWithoutACurrentRecordIsNotWrittenLater)
{
    TempDir dir;
    CODE4 c4;
    d4init(&c4);
    DATA4 *data = d4create(&c4, dir.file("stray").c_str(), kFields, nullptr);
    ASSERT_NE(nullptr, data);
    ASSERT_EQ(0, d4append_start(data, 0));
    d4blank(data);
    ASSERT_EQ(0, f4memo_assign(d4field(data, "NOTES"), "kept text"));
    ASSERT_EQ(0, d4append(data));

    d4go_eof(data);
    ASSERT_EQ(0, f4memo_assign(d4field(data, "NOTES"), "stray text"));
    ASSERT_EQ(0, d4go(data, 1));
    f4assign(d4field(data, "NAME"), "CHANGED");
    ASSERT_EQ(0, d4flush(data));
    ASSERT_EQ(0, d4close(data));

    data = d4open(&c4, dir.file("STRAY").c_str());
    ASSERT_NE(nullptr, data);
    ASSERT_EQ(0, d4go(data, 1));
    EXPECT_EQ("CHANGED   ", std::string(f4ptr(d4field(data, "NAME")), 10));
    EXPECT_EQ("kept text", memoText(data, "NOTES"));
    EXPECT_EQ(0, d4close(data));
}

// Another user moved the memo after this one read the record: the write
// goes under the block number now on disk, not the stale one.
TEST(MemoTable, WriteUsesTheBlockNumberOnDisk)
{
    TempDir dir;
    CODE4 c4;
    d4init(&c4);
    DATA4 *mine = d4create(&c4, dir.file("shared").c_str(), kFields, nullptr);
    ASSERT_NE(nullptr, mine);
    ASSERT_EQ(0, d4append_start(mine, 0));
    d4blank(mine);
    ASSERT_EQ(0, f4memo_assign(d4field(mine, "NOTES"), "first"));
    ASSERT_EQ(0, d4append(mine));
    ASSERT_EQ(0, d4unlock(mine));
    ASSERT_EQ(0, d4go(mine, 1));
    long stale = f4long(d4field(mine, "NOTES"));

    CODE4 c4other;
    d4init(&c4other);
    DATA4 *other = d4open(&c4other, dir.file("SHARED").c_str());
    ASSERT_NE(nullptr, other);
    ASSERT_EQ(0, d4go(other, 1));
    ASSERT_EQ(0, f4memo_assign(d4field(other, "NOTES"), std::string(2000, 'o').c_str()));
    ASSERT_EQ(0, d4go(other, 1)); // writes the record
    long moved = f4long(d4field(other, "NOTES"));
    ASSERT_NE(stale, moved);
    ASSERT_EQ(0, d4unlock(other));
    ASSERT_EQ(0, d4close(other));

    ASSERT_EQ(0, f4memo_assign(d4field(mine, "NOTES"), "mine"));
    ASSERT_EQ(0, d4flush(mine));
    EXPECT_EQ(moved, f4long(d4field(mine, "NOTES"))) << "rewritten in place at the moved entry";
    ASSERT_EQ(0, d4close(mine));

    DATA4 *data = d4open(&c4, dir.file("SHARED").c_str());
    ASSERT_NE(nullptr, data);
    ASSERT_EQ(0, d4go(data, 1));
    EXPECT_EQ("mine", memoText(data, "NOTES"));
    EXPECT_EQ(0, d4close(data));
}

} // namespace

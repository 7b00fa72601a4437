// xbcheck run as a program on copies of the sample tables, tables built by
// the engine and a dictionary made by catalogr: clean files check out; each
// kind of damage, made by a small function, is named on the line it must
// print, and --repair leaves every damage inside an index mended; a writer
// working during the check is never taken for damage.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codeset/codeset.h"
#include "tests/testutil.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/f4field.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/memo4.h"

using testutil::copyFile;
using testutil::readFile;
using testutil::writeFile;

namespace {

typedef std::vector<std::string> Args;

struct Engine {
    CODE4 c4;
    Engine()
    {
        mbstr_initialize(0);
        d4init(&c4);
    }
    ~Engine() { d4init_undo(&c4); }
};

testutil::ProcResult run(const std::string &dir, const std::string &program, Args args)
{
    args.insert(args.begin(), program);
    return testutil::runProgram(args, dir, {{"VX_XBDDPATH", testutil::kUnset}});
}

testutil::ProcResult xbcheck(const std::string &dir, const Args &args)
{
    return run(dir, testutil::binaryDir() + "/xbcheck/xbcheck", args);
}

void patch(const std::string &path, long offset, const std::string &bytes)
{
    std::string b = readFile(path);
    b.replace((size_t)offset, bytes.size(), bytes);
    writeFile(path, b);
}

std::string le32(long v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++)
        s[i] = (char)((unsigned long)v >> (8 * i) & 0xFF);
    return s;
}

void copySample(const std::string &dir, const std::string &sample, const std::string &as)
{
    for (const char *ext : {".dbf", ".cdx", ".fpt"})
        if (testutil::fileExists(testutil::dataDir() + "/samples/" + sample + ext))
            copyFile(testutil::dataDir() + "/samples/" + sample + ext, dir + "/" + as + ext);
}

// A dictionary made by catalogr from a script: PARTS (NAME C 10, QTY N 5,
// BORN D, ACTIVE L) and ORDERS with its index file.
void makeDictionary(const std::string &dir)
{
    copySample(dir, "py_db3", "parts");
    copySample(dir, "hb_nomemo", "orders");
    copyFile(testutil::binaryDir() + "/tool/catalogr", dir + "/catalogr");
    copyFile(testutil::binaryDir() + "/tool/catalogr.rsc", dir + "/catalogr.rsc");
    chmod((dir + "/catalogr").c_str(), 0755);
    writeFile(dir + "/jobs.txt", "-INIT\n-TA parts.dbf parts\n-TA orders.dbf orders\n-IA orders.cdx orders\n");
    ASSERT_EQ(0, run(dir, dir + "/catalogr", {"-Sjobs.txt"}).exitStatus);
}

// Runs `fn` on table `name` of `dir` opened with its index.
void withTable(const std::string &dir, const char *name, const std::function<void(DATA4 *)> &fn)
{
    Engine e;
    DATA4 *d = d4open(&e.c4, (dir + "/" + name).c_str());
    ASSERT_NE(nullptr, d);
    fn(d);
    ASSERT_EQ(0, d4close(d));
}

// A table with fields of every kind and tags of every kind, kept up key by
// key while records are appended, changed and deleted.
void buildTable(const std::string &dir)
{
    static const FIELD4INFO fields[] = {{"NAME", 'C', 12, 0}, {"QTY", 'N', 7, 2}, {"BORN", 'D', 8, 0},
                                        {"OK", 'L', 1, 0},    {"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
    static const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0},
                                    {"LIVE", "UPPER(NAME)", ".NOT. DELETED()", 0, 0},
                                    {"QTY", "QTY", nullptr, 0, 1},
                                    {"BORN", "BORN", "OK", 0, 0},
                                    {"ONCE", "LEFT(NAME,2)", nullptr, 25, 0},
                                    {"MIXED", "DTOS(BORN)+STR(QTY,7,2)", nullptr, 0, 0},
                                    {nullptr, nullptr, nullptr, 0, 0}};
    Engine e;
    DATA4 *d = d4create(&e.c4, (dir + "/built.dbf").c_str(), fields, tags);
    ASSERT_NE(nullptr, d);
    for (long i = 1; i <= 1500; i++) {
        ASSERT_EQ(0, d4append_start(d, 0));
        d4blank(d);
        std::string name = std::string(1, (char)('a' + i % 23)) + std::to_string(i * 7919 % 1000);
        f4assign(d4field(d, "NAME"), name.c_str());
        f4assign_double(d4field(d, "QTY"), (double)(i % 97) - 40.5);
        f4assign_long(d4field(d, "BORN"), 2450000 + i % 400);
        f4assign(d4field(d, "OK"), i % 3 ? "T" : "F");
        if (i % 5 == 0)
            f4memo_assign(d4field(d, "NOTE"), ("note " + std::to_string(i)).c_str());
        ASSERT_EQ(0, d4append(d));
    }
    for (long i = 7; i <= 1500; i += 11) {
        ASSERT_EQ(0, d4go(d, i));
        if (i % 2)
            d4delete(d);
        else
            f4assign(d4field(d, "NAME"), "changed");
        ASSERT_GE(d4write(d, i), 0);
    }
    ASSERT_EQ(0, d4close(d));
}

TEST(XbcheckClean, SamplesBuiltTablesAndADictionaryCheckOut)
{
    testutil::TempDir dir;
    std::vector<std::string> tables;
    for (const char *s : {"hb_memo", "hb_nomemo", "hb_large", "hb_grown", "py_memo", "py_db3"}) {
        copySample(dir.path, s, s);
        tables.push_back(std::string(s) + ".dbf");
    }
    buildTable(dir.path);
    tables.push_back("built.dbf");
    makeDictionary(dir.path);
    for (const std::string &t : tables) {
        testutil::ProcResult r = xbcheck(dir.path, {t});
        EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
        EXPECT_NE(std::string::npos, r.out.find("result " + t + ": ok\n")) << r.out;
    }
    testutil::ProcResult r = xbcheck(dir.path, {"--dictionary"});
    EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("    PARTS   parts   -             4\n")) << r.out;

    // Every format and listing of every table is well formed.
    Args all = {"--format=json", "--records", "--keys", "NAME"};
    all.insert(all.end(), tables.begin(), tables.begin() + 4);
    all.push_back("built.dbf");
    r = xbcheck(dir.path, all);
    EXPECT_EQ(0, r.exitStatus) << r.err;
    if (testutil::fileExists("/usr/bin/python3")) {
        testutil::ProcResult j = testutil::runProgram(
            {"/usr/bin/python3", "-c", "import json,sys; d=json.load(sys.stdin); print(len(d['tables']))"},
            dir.path, {}, r.out);
        EXPECT_EQ(std::to_string(all.size() - 4) + "\n", j.out) << j.err;
    }
    r = xbcheck(dir.path, {"--format=csv", "--keys", "QTY", "built.dbf"});
    EXPECT_EQ(0, r.exitStatus) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\nkey,built.dbf,QTY,1454,55.5\n")) << r.out;
    EXPECT_EQ(0, xbcheck(dir.path, {"--version"}).exitStatus);
    EXPECT_EQ(2, xbcheck(dir.path, {"--records"}).exitStatus);
    EXPECT_EQ(2, xbcheck(dir.path, {"missing.dbf"}).exitStatus);
}

// The independent reader's text: \xHH back to the byte; control
// characters as xbcheck shows them.
std::string unescaped(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            c = (char)std::stoi(s.substr(i + 2, 2), nullptr, 16);
            i += 3;
        }
        out += (unsigned char)c < 0x20 || c == 0x7F ? '?' : c;
    }
    return out;
}

std::vector<std::string> csvCells(const std::string &line)
{
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"')
            cells.back() += line[++i];
        else if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ',' && !quoted)
            cells.emplace_back();
        else
            cells.back() += line[i];
    }
    return cells;
}

// --records and --keys of every sample give what an independent reader saw
// (tests/data/samples/expected): each record's values, each memo's text,
// and each tag's keys with their record numbers in the tag's order.
TEST(XbcheckListings, MatchAnIndependentReader)
{
    const std::regex kField(R"(field \d+: \S+ (\S) .*)"), kTag(R"(tag (\S+))"),
        kMemo(R"re(memo rec=(\d+) field=\S+ block=\d+ len=\d+: "(.*)")re"), kRec(R"(rec (\d+) \[(.)\] \|(.*)\|)");
    testutil::TempDir dir;
    for (const char *s : {"hb_memo", "hb_grown", "py_memo"}) {
        copySample(dir.path, s, s);
        std::vector<std::string> dump, fields;
        std::string line, tag, want, got;
        std::map<std::string, std::string> memo, keys;
        std::map<std::string, bool> descending;
        std::istringstream in(readFile(testutil::dataDir() + "/samples/expected/" + s + ".xbdump.txt"));
        while (std::getline(in, line)) {
            std::smatch m;
            if (std::regex_match(line, m, kField))
                fields.push_back(m[1]);
            else if (std::regex_match(line, m, kMemo))
                memo[m[1]] = unescaped(m[2]).size() > 40 ? unescaped(m[2]).substr(0, 40) + "..." : unescaped(m[2]);
            else if (std::regex_match(line, m, kTag))
                tag = m[1];
            else if (line == "  descending: yes")
                descending[tag] = true;
            else if (line.compare(0, 6, "  key=") == 0) {
                size_t rec = line.rfind(" rec=");
                std::string entry = "    " + line.substr(rec + 5) + "  " + unescaped(line.substr(6, rec - 6)) + "\n";
                keys[tag] = descending[tag] ? entry + keys[tag] : keys[tag] + entry;
            }
            else if (line.compare(0, 4, "rec ") == 0)
                dump.push_back(line);
        }
        // Records come before the memo texts in the dump.
        for (const std::string &rec : dump) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(rec, m, kRec)) << rec;
            want += std::string(m[1]) + (m[2] == "*" ? ",yes" : ",no");
            std::istringstream values(m[3].str() + "|");
            std::string v;
            for (size_t f = 0; std::getline(values, v, '|'); f++) {
                v = unescaped(v);
                v.erase(v.find_last_not_of(' ') + 1);
                if (fields[f] == "N" || fields[f] == "F")
                    v.erase(0, v.find_first_not_of(' '));
                want += "|" + (fields[f] == "M" ? memo[m[1]] : v);
            }
            want += "\n";
        }
        testutil::ProcResult r = xbcheck(dir.path, {"--format=csv", "--records", std::string(s) + ".dbf"});
        std::istringstream out(r.out);
        while (std::getline(out, line)) {
            std::vector<std::string> cells = csvCells(line);
            if (cells[0] != "record")
                continue;
            got += cells[2] + "," + cells[3];
            for (size_t c = 4; c < cells.size(); c++)
                got += "|" + cells[c];
            got += "\n";
        }
        EXPECT_EQ(want, got) << s;
        for (const auto &k : keys) {
            r = xbcheck(dir.path, {"--keys", k.first, std::string(s) + ".dbf"});
            size_t at = r.out.find("    record  key\n");
            ASSERT_NE(std::string::npos, at) << s << " " << k.first << r.err;
            EXPECT_EQ(k.second, r.out.substr(at + 16, k.second.size())) << s << " tag " << k.first;
        }
    }
}

struct DamageCase {
    const char *name;
    void (*setup)(const std::string &dir);
    void (*damage)(const std::string &dir);
    Args args;
    const char *line;       // a regular expression for a whole output line
    bool repaired;          // inside an index: --repair mends it
};

void hbMemo(const std::string &dir) { copySample(dir, "hb_memo", "t"); }
void hbLarge(const std::string &dir) { copySample(dir, "hb_large", "t"); }

const long kRec3 = 290 + 2 * 62; // record 3 of hb_memo

// The tag NAME of hb_large: its root (a branch) and its first leaf.
void nameTree(const std::string &dir, long *root, long *leaf)
{
    withTable(dir, "t.dbf", [&](DATA4 *d) {
        TAG4 *t = d4tag(d, "NAME");
        *root = t4root(t);
        std::string block = readFile(dir + "/t.cdx").substr((size_t)*root, 512);
        *leaf = (long)((unsigned char)block[12 + 10 + 4] << 24 | (unsigned char)block[12 + 10 + 5] << 16 |
                       (unsigned char)block[12 + 10 + 6] << 8 | (unsigned char)block[12 + 10 + 7]);
    });
}

const DamageCase kDamage[] = {
    {"TruncatedDataFile", hbMemo, [](const std::string &d) { truncate((d + "/t.dbf").c_str(), 100); },
     {"t.dbf"}, R"(problem t\.dbf: the file ends inside its header \(100 of 290 bytes\))", false},
    {"RecordCountPastTheFile", hbMemo, [](const std::string &d) { patch(d + "/t.dbf", 4, le32(45)); },
     {"t.dbf"}, R"(problem t\.dbf: the record count 45 is larger than the file holds \(40 records\))", false},
    {"MemoPastTheMemoFile", hbMemo, [](const std::string &d) { patch(d + "/t.dbf", 290 + 52, "     99999"); },
     {"t.dbf"}, R"(problem t\.fpt: record 1 field NOTES: memo block 99999 lies past the end of the memo file \(\d+ bytes\))",
     false},
    {"MemoOfTwoRecords", hbMemo, [](const std::string &d) { patch(d + "/t.dbf", 290 + 62 + 52, "         8"); },
     {"t.dbf"}, R"(problem t\.fpt: record 2 field NOTES: memo block 8 is also the memo of record 1 field NOTES)", false},
    {"FieldOfNoWidth", hbMemo, [](const std::string &d) { patch(d + "/t.dbf", 32 + 3 * 32 + 16, std::string(1, '\0')); },
     {"t.dbf"}, R"(problem t\.dbf: field "QTY" is 0 bytes wide)", false},
    {"KeyMissing", hbMemo,
     [](const std::string &d) {
         withTable(d, "t.dbf", [](DATA4 *t) {
             ASSERT_EQ(0, d4lock_index(t));
             EXPECT_EQ(0, t4remove(d4tag(t, "NAME"), "Lee       ", 3));
         });
     },
     {"t.dbf"}, R"(problem t\.cdx block \d+: tag NAME: no key for record 3, which gives "Lee")", true},
    {"KeyOfDeletedRecord", hbMemo, [](const std::string &d) { patch(d + "/t.dbf", kRec3, "*"); },
     {"t.dbf"},
     R"(problem t\.cdx block \d+: tag LIVENAME: key "LEE" for record 3, which the filter excludes \(the record is deleted\))",
     true},
    {"StaleKey", hbMemo, [](const std::string &d) { patch(d + "/t.dbf", kRec3 + 1, "Zed"); },
     {"t.dbf"}, R"(problem t\.cdx block \d+: tag NAME: stale key "Lee" for record 3, which gives "Zed")", true},
    {"SiblingLinkToAnotherLevel", hbLarge,
     [](const std::string &d) {
         long root, leaf;
         nameTree(d, &root, &leaf);
         patch(d + "/t.cdx", leaf + 8, le32(root));
     },
     {"t.dbf"}, R"(problem t\.cdx block \d+: tag NAME: block \d+ links right to \d+, not to \d+)", true},
    {"FreeListCycle", hbMemo,
     [](const std::string &d) {
         long end = testutil::fileSize(d + "/t.cdx");
         patch(d + "/t.cdx", 4, le32(end));
         writeFile(d + "/t.cdx", readFile(d + "/t.cdx") + le32(end + 512) + std::string(508, '\0') + le32(end) +
                                     std::string(508, '\0'));
     },
     {"t.dbf"}, R"(problem t\.cdx block \d+: free list: block \d+ is in use or listed twice)", true},
    {"IndexMarkedAsBeingRebuilt", hbMemo, [](const std::string &d) { patch(d + "/t.cdx", 0, le32(0)); },
     {"t.dbf"}, R"(problem t\.cdx block 0: the index is marked as being rebuilt: a rebuild did not finish)", false},
    {"DictionaryFieldLost", makeDictionary,
     [](const std::string &d) {
         static const FIELD4INFO f[] = {{"NAME", 'C', 10, 0}, {"BORN", 'D', 8, 0}, {"ACTIVE", 'L', 1, 0}, {nullptr, 0, 0, 0}};
         Engine e;
         unlink((d + "/parts.dbf").c_str());
         d4close(d4create(&e.c4, (d + "/parts.dbf").c_str(), f, nullptr));
     },
     {"--dictionary"}, R"(problem SQLCOLMN\.DBF: table PARTS: field QTY is gone)", false},
    {"DictionaryFieldWidened", makeDictionary,
     [](const std::string &d) {
         static const FIELD4INFO f[] = {{"NAME", 'C', 10, 0}, {"QTY", 'N', 8, 0}, {"BORN", 'D', 8, 0},
                                        {"ACTIVE", 'L', 1, 0}, {nullptr, 0, 0, 0}};
         Engine e;
         unlink((d + "/parts.dbf").c_str());
         d4close(d4create(&e.c4, (d + "/parts.dbf").c_str(), f, nullptr));
     },
     {"--dictionary"}, R"(problem SQLCOLMN\.DBF: table PARTS: field QTY widened from 5 to 8)", false},
    {"DictionaryFileGone", makeDictionary, [](const std::string &d) { unlink((d + "/parts.dbf").c_str()); },
     {"--dictionary"}, R"(problem SQLTABLE\.DBF: table PARTS: file parts\.dbf is gone)", false},
    {"OrphanColumnRows", makeDictionary,
     [](const std::string &d) {
         std::string table = readFile(d + "/SQLTABLE.DBF"), index = readFile(d + "/SQLTABLE.CDX");
         copyFile(d + "/parts.dbf", d + "/tab03.dbf");
         EXPECT_EQ(0, run(d, d + "/catalogr", {"-TA", "tab03.dbf", "tab03"}).exitStatus);
         writeFile(d + "/SQLTABLE.DBF", table);
         writeFile(d + "/SQLTABLE.CDX", index);
     },
     {"--dictionary"}, R"(problem SQLCOLMN\.DBF: 4 column rows of unregistered table TAB03)", true},
    {"DictionaryIndexMissing", makeDictionary, [](const std::string &d) { unlink((d + "/SQLTABLE.CDX").c_str()); },
     {"--dictionary"}, R"(problem SQLTABLE\.DBF: its production index SQLTABLE\.CDX is missing)", true},
};

void PrintTo(const DamageCase &c, std::ostream *os) { *os << c.name; }

class XbcheckDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(XbcheckDamage, IsNamedAndRepairedWhenInsideAnIndex)
{
    const DamageCase &c = GetParam();
    testutil::TempDir dir;
    c.setup(dir.path);
    ASSERT_EQ(0, xbcheck(dir.path, c.args).exitStatus) << "clean before the damage";
    c.damage(dir.path);
    std::regex line(c.line);
    auto named = [&](const std::string &out, const char *kind) {
        std::string want = std::string(kind) + (c.line + 7);
        std::regex re(want);
        size_t at = 0;
        for (size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
            if (std::regex_match(out.substr(at, nl - at), re))
                return true;
        return false;
    };
    testutil::ProcResult r = xbcheck(dir.path, c.args);
    EXPECT_EQ(1, r.exitStatus) << r.out << r.err;
    EXPECT_TRUE(named(r.out, "problem")) << c.line << "\n" << r.out;

    Args repair = c.args;
    repair.insert(repair.begin(), "--repair");
    r = xbcheck(dir.path, repair);
    EXPECT_EQ(c.repaired ? 0 : 1, r.exitStatus) << r.out << r.err;
    EXPECT_EQ(!c.repaired, named(r.out, "remains")) << r.out;
    r = xbcheck(dir.path, c.args);
    EXPECT_EQ(c.repaired ? 0 : 1, r.exitStatus) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Kinds, XbcheckDamage, ::testing::ValuesIn(kDamage),
                         [](const ::testing::TestParamInfo<DamageCase> &i) { return std::string(i.param.name); });

// A writer appends and changes records (and so keys) all through several
// checks: a check may say the table changed, never that it is damaged.
TEST(XbcheckShared, AWriterDuringTheCheckIsNotDamage)
{
    testutil::TempDir dir;
    copySample(dir.path, "hb_large", "t");
    pid_t writer = fork();
    if (writer == 0) {
        Engine e;
        DATA4 *d = d4open(&e.c4, (dir.path + "/t.dbf").c_str());
        time_t end = time(nullptr) + 3;
        for (long i = 0; d != nullptr && time(nullptr) < end; i++) {
            d4append_start(d, 0);
            f4assign(d4field(d, "NAME"), ("W" + std::to_string(i)).c_str());
            d4append(d);
            if (d4go(d, 1 + i * 13 % 8000) == 0) {
                f4assign(d4field(d, "CITY"), i % 2 ? "ROME" : "OSLO");
                d4write(d, d4recno(d));
            }
            d4unlock(d);
        }
        _exit(d != nullptr && d4close(d) == 0 ? 0 : 1);
    }
    int st = 0;
    bool done = false;
    for (int checks = 0; checks < 3 || !done; checks++) {
        testutil::ProcResult r = xbcheck(dir.path, {"t.dbf"});
        EXPECT_EQ(std::string::npos, r.out.find("\nproblem ")) << r.out;
        done = done || waitpid(writer, &st, WNOHANG) == writer;
    }
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    testutil::ProcResult r = xbcheck(dir.path, {"t.dbf"});
    EXPECT_EQ(0, r.exitStatus) << r.out;
}

} // namespace

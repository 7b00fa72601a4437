// The dictionary directives run through the built program in a fresh
// directory: INIT, TA, TD, IA and ID on the command line and in scripts, in
// both forms of registration, with the dictionary read back afterwards
// through the engine (rows, every tag's keys, the tree checker) and through
// an independent reader.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/tool/progfixture.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"
#include "xbase/index/b4block.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"

using progfixture::errorLine;
using progfixture::usage;
using testutil::copyFile;
using testutil::fileExists;
using testutil::readFile;
using testutil::writeFile;

namespace {

typedef std::vector<std::string> Row; // each field's text, blanks trimmed
typedef std::vector<std::string> Args;

const char *const kDictionaryFiles[] = {"SQLINDEX.DBF", "SQLINDEX.CDX", "SQLTABLE.DBF",
                                        "SQLTABLE.CDX", "SQLCOLMN.DBF", "SQLCOLMN.CDX"};

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a, s.find_last_not_of(' ') - a + 1);
}

std::string upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return s;
}

// An engine context of the test's own, apart from the program's.
struct Engine {
    CODE4 c4;
    Engine() { d4init(&c4); }
    ~Engine() { d4init_undo(&c4); }
};

// Rows in record order through the engine (its production index opened
// too); a deleted row is marked by a leading "*" element.
std::vector<Row> readRows(const std::string &path)
{
    Engine e;
    std::vector<Row> rows;
    DATA4 *d = d4open(&e.c4, path.c_str());
    EXPECT_NE(nullptr, d) << path;
    for (long rec = 1; d != nullptr && rec <= d4reccount(d); rec++) {
        EXPECT_EQ(0, d4go(d, rec));
        Row row;
        if (d4deleted(d))
            row.push_back("*");
        for (int j = 1; j <= d4num_fields(d); j++)
            row.push_back(trim(std::string(f4ptr(d4field_j(d, j)), f4len(d4field_j(d, j)))));
        rows.push_back(row);
    }
    if (d != nullptr)
        d4close(d);
    return rows;
}

// The fields of each dictionary tag's key, as the dictionary defines
// them; "STR(POSITION)" is POSITION right-aligned in ten characters.
const std::map<std::string, std::vector<std::string>> kTagKeys = {
    {"TABLE", {"TABLE"}},
    {"CREATOR", {"CREATOR"}},
    {"CRTB", {"CREATOR", "TABLE"}},
    {"CTABLE", {"TABLE"}},
    {"CCOLUMN", {"COLUMN"}},
    {"CCRTB", {"CREATOR", "TABLE"}},
    {"CRTBCL", {"CREATOR", "TABLE", "COLUMN"}},
    {"CRTBPS", {"CREATOR", "TABLE", "STR(POSITION)"}},
    {"OWNTBNM", {"OWNER", "TABLE", "NAME"}},
    {"OWNTB", {"OWNER", "TABLE"}},
};

typedef std::vector<std::pair<std::string, long>> Entries;

struct TagWalk {
    int keyLen;
    Entries entries;
};

int collectEntry(void *ctx, const B4KEY_DATA *entry)
{
    TagWalk *w = static_cast<TagWalk *>(ctx);
    if (entry == nullptr)
        w->entries.clear();
    else
        w->entries.push_back(
            {std::string((const char *)entry->value, (size_t)w->keyLen), entry->num});
    return 0;
}

// Every tag of the table holds exactly the (key, record) pairs of its live
// rows, the keys built here from the stored field texts, and every tree of
// the index passes the engine's checker. Returns the tag names seen.
std::set<std::string> expectTagsHoldLiveRows(const std::string &path)
{
    SCOPED_TRACE(path);
    Engine e;
    std::set<std::string> seen;
    DATA4 *d = d4open(&e.c4, path.c_str());
    EXPECT_NE(nullptr, d);
    if (d == nullptr)
        return seen;
    for (TAG4 *t = d4tag_next(d, nullptr); t != nullptr; t = d4tag_next(d, t)) {
        seen.insert(t->alias);
        auto pieces = kTagKeys.find(t->alias);
        EXPECT_NE(kTagKeys.end(), pieces) << t->alias;
        if (pieces == kTagKeys.end())
            continue;
        Entries expected;
        for (long rec = 1; rec <= d4reccount(d); rec++) {
            EXPECT_EQ(0, d4go(d, rec));
            if (d4deleted(d))
                continue;
            std::string key;
            for (const std::string &p : pieces->second) {
                if (p == "STR(POSITION)") {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "%10ld", f4long(d4field(d, "POSITION")));
                    key += buf;
                } else {
                    FIELD4 *f = d4field(d, p.c_str());
                    key += std::string(f4ptr(f), f4len(f));
                }
            }
            expected.push_back({key, rec});
        }
        std::sort(expected.begin(), expected.end());
        TagWalk walk{t->header.key_len, {}};
        EXPECT_EQ(0, i4tag_walk(t, collectEntry, &walk)) << t->alias;
        EXPECT_EQ(expected, walk.entries) << t->alias;
    }
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&d->indexes, i4)) {
        T4PROBLEM problem{};
        EXPECT_EQ(0, i4check(i4, &problem)) << problem.text << " (block " << problem.block << ")";
    }
    EXPECT_EQ(0, d4close(d));
    return seen;
}

// The independent reader's view of a dictionary file: its records (fields
// trimmed) when it read the file and its own checks passed. False when the
// reader is not there.
bool readerRows(const std::string &path, std::vector<Row> *rows)
{
    const std::string xbdump = testutil::reader("xbview-pl");
    if (xbdump.empty())
        return false;
    auto r = testutil::runProgram({xbdump, "--only=records,checks", path}, "");
    EXPECT_EQ(0, r.exitStatus) << path << "\n" << r.out << r.err;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("rec ", 0) != 0)
            continue;
        Row row;
        if (line.find("[*]") != std::string::npos)
            row.push_back("*");
        std::istringstream fields(line.substr(line.find('|') + 1));
        for (std::string f; std::getline(fields, f, '|');)
            row.push_back(trim(f));
        rows->push_back(row);
    }
    return true;
}

// Both readers see `expected` in the table, and its tags hold its rows.
void expectDictionary(const std::string &path, const std::vector<Row> &expected)
{
    SCOPED_TRACE(path);
    EXPECT_EQ(expected, readRows(path));
    expectTagsHoldLiveRows(path);
    std::vector<Row> seen;
    if (readerRows(path, &seen)) {
        EXPECT_EQ(expected, seen);
    }
}

// Creates a data file of the given fields, no index.
void makeTable(const std::string &path, std::vector<FIELD4INFO> fields)
{
    Engine e;
    fields.push_back({nullptr, 0, 0, 0});
    DATA4 *d = d4create(&e.c4, path.c_str(), fields.data(), nullptr);
    ASSERT_NE(nullptr, d) << path;
    ASSERT_EQ(0, d4close(d));
}

// The column rows a sample's independent dump lists: its fields in order,
// an F field recorded as N.
std::vector<Row> sampleColumns(const std::string &sample, const std::string &table)
{
    std::vector<Row> rows;
    std::istringstream in(
        readFile(testutil::dataDir() + "/samples/expected/" + sample + ".xbdump.txt"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("field ", 0) != 0)
            continue;
        std::istringstream f(line.substr(line.find(':') + 1));
        std::string name, type, width, dec;
        f >> name >> type >> width >> dec;
        rows.push_back({table, name, "PUBLIC", type == "F" ? "N" : type, width, dec,
                        std::to_string(rows.size() + 1), "T"});
    }
    return rows;
}

// A process that holds the append lock of a table until `seconds` have
// passed or it is destroyed; constructed once the lock is held.
// With `wholeFile` it is another program's: a classic record lock on the
// whole file, which the system reports with its owner.
struct LockHolder {
    pid_t pid = -1;
    LockHolder(const std::string &table, int seconds, bool wholeFile = false)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            Engine e;
            struct flock whole = {};
            whole.l_type = F_WRLCK;
            int fd = -1;
            DATA4 *d = nullptr;
            bool held = wholeFile ? (fd = open(table.c_str(), O_RDWR)) >= 0 &&
                                        fcntl(fd, F_SETLK, &whole) == 0
                                  : (d = d4open(&e.c4, table.c_str())) != nullptr &&
                                        d4lock_append(d) == 0;
            if (!held || write(ready[1], "L", 1) != 1)
                _exit(1);
            sleep((unsigned)seconds);
            _exit(0);
        }
        close(ready[1]);
        char c = 0;
        if (read(ready[0], &c, 1) != 1)
            ADD_FAILURE() << "the lock holder did not take its lock";
        close(ready[0]);
    }
    ~LockHolder()
    {
        int st = 0;
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, &st, 0);
    }
};

class Dictionary : public progfixture::ProgramDir {
  protected:
    void SetUp() override
    {
        progfixture::ProgramDir::SetUp();
        auto r = run({"-INIT"});
        ASSERT_EQ(0, r.exitStatus) << r.out << r.err;
    }

    // The dictionary's bytes, to show that a refused directive changed
    // nothing.
    std::string snapshot()
    {
        std::string all;
        for (const char *f : kDictionaryFiles)
            all += readFile(dir.file(f)) + "|";
        return all;
    }

    void copySample(const std::string &name, const std::string &as,
                    const std::vector<std::string> &exts)
    {
        for (const std::string &ext : exts)
            copyFile(testutil::dataDir() + "/samples/" + name + "." + ext,
                     dir.file(as + "." + ext));
    }

    std::vector<Row> tables() { return readRows(dir.file("SQLTABLE.DBF")); }
    std::vector<Row> columns() { return readRows(dir.file("SQLCOLMN.DBF")); }

    // A run that cannot write what it does not own (`other`): as root, the
    // program runs as the user nobody, for whom the files are not writable.
    testutil::ProcResult runAs(bool other, Args args, const std::map<std::string, std::string> &env,
                               const std::string &cwd, const std::string &input)
    {
        args.insert(args.begin(), dir.file("catalogr"));
        if (other && geteuid() == 0)
            args.insert(args.begin(),
                        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return testutil::runProgram(args, cwd, progfixture::cleanEnv(env), input);
    }
    testutil::ProcResult runAsOther(Args args) { return runAs(true, args, {}, dir.path, ""); }

    bool canRunAsOther() { return geteuid() != 0 || access("/usr/bin/setpriv", X_OK) == 0; }
};

// A row of sqltable without paths.
Row tableRow(const std::string &table, const std::string &file, int columns,
             const std::string &mdx = "")
{
    return {table, file, mdx, "PUBLIC", std::to_string(columns)};
}

} // namespace

// ---- INIT ---------------------------------------------------------------------

TEST_F(Dictionary, InitCreatesThreeEmptyTablesWithTheirFieldsAndTags)
{
    const struct {
        const char *file;
        std::vector<std::string> fields; // name type width decimals
        std::set<std::string> tags;
        unsigned recordWidth;
    } expected[] = {
        {"SQLTABLE.DBF",
         {"TABLE C 30 0", "FILENAME C 254 0", "MDXFILE C 254 0", "CREATOR C 8 0", "COLCOUNT N 3 0"},
         {"TABLE", "CREATOR", "CRTB"},
         550},
        {"SQLCOLMN.DBF",
         {"TABLE C 30 0", "COLUMN C 10 0", "CREATOR C 8 0", "TYPE C 15 0", "WIDTH N 3 0",
          "DECIMALS N 2 0", "POSITION N 4 0", "NULLSOK L 1 0"},
         {"CTABLE", "CCOLUMN", "CCRTB", "CRTBCL", "CRTBPS"},
         74},
        {"SQLINDEX.DBF",
         {"OWNER C 8 0", "NAME C 30 0", "FILENAME C 254 0", "TABLEOWNER C 8 0", "TABLE C 30 0",
          "ASC C 1 0", "UNIQUE C 1 0", "EXPR C 220 0"},
         {"OWNTBNM", "OWNTB"},
         553},
    };
    for (const auto &x : expected) {
        SCOPED_TRACE(x.file);
        Engine e;
        DATA4 *d = d4open(&e.c4, dir.file(x.file).c_str());
        ASSERT_NE(nullptr, d);
        std::vector<std::string> fields;
        for (int j = 1; j <= d4num_fields(d); j++) {
            FIELD4 *f = d4field_j(d, j);
            fields.push_back(std::string(f4name(f)) + " " + (char)f4type(f) + " " +
                             std::to_string(f4len(f)) + " " + std::to_string(f4decimals(f)));
        }
        EXPECT_EQ(x.fields, fields);
        EXPECT_EQ(x.recordWidth, d4record_width(d));
        EXPECT_EQ(0, d4reccount(d));
        for (TAG4 *t = d4tag_next(d, nullptr); t != nullptr; t = d4tag_next(d, t)) {
            std::string key;
            for (const std::string &p : kTagKeys.at(t->alias))
                key += (key.empty() ? "" : "+") + p;
            EXPECT_EQ(key, t->expr->source) << t->alias;
            ASSERT_NE(nullptr, t->filter) << t->alias;
            EXPECT_STREQ(".NOT. DELETED()", t->filter->source) << t->alias;
            EXPECT_EQ(0, t->header.descending + (t->header.type_code & I4_TYPE_UNIQUE));
        }
        // An empty dictionary finds no table.
        d4tag_select(d, d4tag(d, x.tags.count("CRTB") ? "CRTB" : x.tags.begin()->c_str()));
        EXPECT_EQ(r4eof, d4seek(d, "PUBLIC  PARTS                         "));
        EXPECT_EQ(0, d4close(d));
        EXPECT_EQ(x.tags, expectTagsHoldLiveRows(dir.file(x.file)));
        std::vector<Row> none;
        if (readerRows(dir.file(x.file), &none)) {
            EXPECT_TRUE(none.empty());
        }
    }
}

TEST_F(Dictionary, InitRefusesWhileAnyDictionaryFileIsThere)
{
    const struct {
        std::vector<std::string> present; // files left of a dictionary
        std::string named;
    } cases[] = {
        {{"SQLINDEX.DBF", "SQLINDEX.CDX", "SQLTABLE.DBF", "SQLTABLE.CDX", "SQLCOLMN.DBF",
          "SQLCOLMN.CDX"},
         "sqlindex"},
        {{"sqlcolmn.dbf"}, "sqlcolmn"},
        {{"SQLTABLE.CDX"}, "sqltable"}, // a table whose data file is gone
        {{"SqlColmn.Cdx", "SQLTABLE.DBF"}, "sqltable"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.named);
        for (const char *f : kDictionaryFiles)
            unlink(dir.file(f).c_str());
        for (const std::string &f : c.present)
            writeFile(dir.file(f), "kept " + f);
        auto r = run({"-init"});
        // A whole dictionary is no failure; part of one fails, naming each gap.
        std::string missing;
        for (const char *f : kDictionaryFiles)
            if (std::none_of(c.present.begin(), c.present.end(),
                             [&](const std::string &p) { return upper(p) == f; }))
                missing += "catalogr: dictionary file missing: " + dir.file(f) + "\n";
        EXPECT_EQ(missing.empty() ? 0 : 1, r.exitStatus);
        EXPECT_EQ("\n" + progfixture::message(DDMAIN_MSG_ERROR_PREFIX) + " " +
                      progfixture::message(DDMAIN_MSG_INIT_EXISTS) + ": " + c.named + "\n" +
                      (missing.empty() ? "" : usage({"-init"})),
                  r.out);
        EXPECT_EQ(missing, r.err);
        for (const char *f : kDictionaryFiles) {
            bool kept = std::find(c.present.begin(), c.present.end(), f) != c.present.end();
            EXPECT_EQ(kept, fileExists(dir.file(f))) << f;
        }
        for (const std::string &f : c.present)
            EXPECT_EQ("kept " + f, readFile(dir.file(f)));
        for (const std::string &f : c.present)
            unlink(dir.file(f).c_str());
    }
}

TEST_F(Dictionary, InitThatCannotCreateSaysWhyAndEndsTheScript)
{
    if (!canRunAsOther())
        GTEST_SKIP() << "running as root without setpriv: the directory cannot be made unwritable";
    for (const char *f : kDictionaryFiles)
        unlink(dir.file(f).c_str());
    writeFile(dir.file("jobs.txt"), "-INIT\n-TD parts\n");
    chmod(dir.path.c_str(), 0555);
    auto r = runAsOther({"-Sjobs.txt"});
    chmod(dir.path.c_str(), 0700);
    // INIT fails, leaving nothing, and the script ends there.
    EXPECT_EQ(1, r.exitStatus);
    const std::string failed = progfixture::message(DDMAIN_MSG_INIT_CREATE) + ": sqlindex";
    EXPECT_EQ("\n" + progfixture::message(DDMAIN_MSG_ERROR_PREFIX) + " " + failed + "\n" +
                  progfixture::echo({"-INIT"}),
              r.out);
    EXPECT_EQ("catalogr: " + dir.file("SQLINDEX.DBF") + ": " + std::strerror(EACCES) +
                  "\ncatalogr: jobs.txt line 1: -INIT: " + failed + "\n",
              r.err);
    for (const char *f : kDictionaryFiles)
        EXPECT_FALSE(fileExists(dir.file(f))) << f;
}

// ---- TA ---------------------------------------------------------------------------

TEST_F(Dictionary, RegisteringSamplesRecordsEveryFieldInOrder)
{
    copySample("hb_memo", "customers", {"dbf", "fpt", "cdx"});
    copySample("hb_nomemo", "Orders", {"dbf", "cdx"});
    copySample("py_db3", "parts", {"dbf"});
    for (const Args &args : std::vector<Args>{{"-TA", "customers.dbf", "customers"},
                                              {"/ta", "Orders.DBF", "orders"},
                                              {"-tA", "parts", "PaRtS"}}) {
        auto r = run(args);
        EXPECT_EQ(0, r.exitStatus) << args[1] << r.out << r.err;
        EXPECT_EQ("", r.out + r.err);
    }
    expectDictionary(dir.file("SQLTABLE.DBF"),
                     {tableRow("CUSTOMERS", "customers", 8), tableRow("ORDERS", "Orders", 7),
                      tableRow("PARTS", "parts", 4)});
    std::vector<Row> cols = sampleColumns("hb_memo", "CUSTOMERS");
    for (const auto &s : {std::make_pair("hb_nomemo", "ORDERS"), std::make_pair("py_db3", "PARTS")})
        for (const Row &row : sampleColumns(s.first, s.second))
            cols.push_back(row);
    ASSERT_EQ(19u, cols.size());
    expectDictionary(dir.file("SQLCOLMN.DBF"), cols);
}

TEST_F(Dictionary, RegistrationRefusesOnlyWhatItCannotRecord)
{
    copySample("py_db3", "parts", {"dbf"});
    ASSERT_EQ(0, run({"-TA", "parts.dbf", "parts"}).exitStatus);
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
    copySample("py_db3", "sub/other", {"dbf"});
    writeFile(dir.file("text.dbf"), std::string(40, 'x'));
    makeTable(dir.file("wide"), {{"W", 'C', 1000, 0}});
    makeTable(dir.file("fine"), {{"W", 'C', 999, 0}, {"AMOUNT", 'N', 120, 99}});
    makeTable(dir.file("precise"), {{"AMOUNT", 'N', 120, 100}});
    std::vector<std::string> names;
    for (int i = 0; i < 1000; i++)
        names.push_back("F" + std::to_string(i));
    std::vector<FIELD4INFO> many;
    for (size_t i = 0; i < 999; i++)
        many.push_back({names[i].c_str(), 'L', 1, 0});
    std::vector<FIELD4INFO> tooMany = many;
    tooMany.push_back({names[999].c_str(), 'L', 1, 0});
    makeTable(dir.file("many"), many);
    makeTable(dir.file("toomany"), tooMany);
    const std::string deep = std::string(250, 'd');
    ASSERT_EQ(0, mkdir(dir.file(deep).c_str(), 0755));
    copySample("py_db3", deep + "/p", {"dbf"});
    // The data file's own index is not opened: one whose key uses a
    // function this engine does not know, and one that is gone, do not
    // stop a registration.
    copySample("hb_nomemo", "odd", {"dbf", "cdx"});
    std::string cdx = readFile(dir.file("odd.cdx"));
    for (size_t at = cdx.find("Upper("); at != std::string::npos; at = cdx.find("Upper(", at))
        cdx.replace(at, 6, "Uqper(");
    writeFile(dir.file("odd.cdx"), cdx);
    copySample("hb_nomemo", "lost", {"dbf"});
    {
        Engine e;
        e.c4.open_error = 0;
        EXPECT_EQ(nullptr, d4open(&e.c4, dir.file("odd.dbf").c_str()));
        EXPECT_EQ(nullptr, d4open(&e.c4, dir.file("lost.dbf").c_str()));
    }

    const struct {
        Args args;
        int message;     // 0: registered
        std::string err; // the start of the line on standard error
        bool paths = false;
    } cases[] = {
        {{"-TA", "parts.dbf", "Parts"}, DDMAIN_MSG_TABLE_EXISTS, ""},
        {{"-TA", "nothere.dbf", "a"}, DDMAIN_MSG_DATA_OPEN, "catalogr: " + dir.file("nothere.dbf") + ": "},
        {{"-TA", "sub/other.dbf", "b"},
         DDMAIN_MSG_DATA_OPEN,
         "catalogr: sub/other.dbf has a directory"},
        {{"-TA", dir.file("parts.dbf"), "c"}, DDMAIN_MSG_DATA_OPEN, "catalogr: /"},
        {{"-TA", "text.dbf", "d"}, DDMAIN_MSG_DATA_OPEN, "catalogr: text.dbf is not a data file"},
        {{"-TA", "wide.dbf", "e"}, DDMAIN_MSG_DATA_OPEN, "catalogr: field W of wide.dbf is 1000"},
        {{"-TA", "precise.dbf", "f"},
         DDMAIN_MSG_DATA_OPEN,
         "catalogr: field AMOUNT of precise.dbf has 100"},
        {{"-TA", "toomany.dbf", "g"},
         DDMAIN_MSG_DATA_OPEN,
         "catalogr: toomany.dbf has 1000 fields"},
        {{"-TA", ".dbf", "i"}, DDMAIN_MSG_DATA_OPEN, "catalogr: .dbf names no file"},
        {{"-TA", deep + "/p.dbf", "p"}, DDMAIN_MSG_DATA_OPEN, "catalogr: the file name ddd", true},
        {{"-TA", "fine.dbf", "fine"}, 0, ""},
        {{"-TA", "many.dbf", "many"}, 0, ""},
        {{"-TA", "odd.dbf", "odd"}, 0, ""},
        {{"-TA", "lost.dbf", "lost"}, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[1].substr(0, 40));
        const std::string before = snapshot();
        auto r = run(c.args, c.paths ? std::map<std::string, std::string>{{"VX_XBDDPATH", ""}}
                                     : std::map<std::string, std::string>{});
        if (c.message == 0) {
            EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
            EXPECT_EQ("", r.out + r.err);
            continue;
        }
        EXPECT_EQ(1, r.exitStatus);
        EXPECT_EQ(errorLine(c.message, {c.message == DDMAIN_MSG_TABLE_EXISTS ? "PARTS" : c.args[1]}) +
                      usage(c.args),
                  r.out);
        EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
        EXPECT_EQ(c.err.empty(), r.err.empty()) << r.err;
        EXPECT_TRUE(before == snapshot()) << "the dictionary's files changed";
    }
    std::vector<Row> t = tables();
    ASSERT_EQ(5u, t.size());
    EXPECT_EQ(tableRow("FINE", "fine", 2), t[1]);
    EXPECT_EQ(tableRow("MANY", "many", 999), t[2]);
    EXPECT_EQ(tableRow("ODD", "odd", 7), t[3]);
    EXPECT_EQ(tableRow("LOST", "lost", 7), t[4]);
    std::vector<Row> cols = columns();
    ASSERT_EQ(4u + 2 + 999 + 7 + 7, cols.size());
    EXPECT_EQ(Row({"FINE", "W", "PUBLIC", "C", "999", "0", "1", "T"}), cols[4]);
    EXPECT_EQ(Row({"FINE", "AMOUNT", "PUBLIC", "N", "120", "99", "2", "T"}), cols[5]);
    EXPECT_EQ(Row({"MANY", "F998", "PUBLIC", "L", "1", "0", "999", "T"}), cols[1004]);
    expectTagsHoldLiveRows(dir.file("SQLCOLMN.DBF"));
}

TEST_F(Dictionary, TableNamesAreUpperCasedThroughTheCodeSet)
{
    copySample("py_db3", "parts", {"dbf"});
    const std::string sjis = testutil::binaryDir() + "/tests/data/rtcf/sjis";
    ASSERT_TRUE(fileExists(sjis + "/plathost.rsc"));
    // A two-byte character whose second byte is a lower-case letter in a
    // single-byte code set, and 28 letters: 30 bytes.
    const std::string name = "\x82\x61" + std::string(27, 'q') + "z";
    const struct {
        std::map<std::string, std::string> env;
        std::string stored;
    } cases[] = {
        {{{"VX", sjis}}, "\x82\x61" + std::string(27, 'Q') + "Z"},
        {{{"LANG", "C"}}, "\x82" "A" + std::string(27, 'Q') + "Z"},
    };
    for (const auto &c : cases) {
        auto r = run({"-TA", "parts.dbf", name}, c.env);
        EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
        EXPECT_EQ(c.stored, tables().back()[0]);
        EXPECT_EQ(c.stored, columns().back()[0]);
        // The same name, in any case, is the same table.
        r = run({"-TD", name}, c.env);
        EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
        EXPECT_TRUE(tables().empty());
    }
}

TEST_F(Dictionary, RegistrationWithPathsRecordsWhereTheFileIs)
{
    const std::map<std::string, std::string> paths = {{"VX_XBDDPATH", ""}};
    ASSERT_EQ(0, mkdir(dir.file("data").c_str(), 0755));
    copySample("hb_nomemo", "data/orders", {"dbf"});
    copySample("py_db3", "parts", {"dbf"});
    // A file of another layout under the name the argument gives: the
    // columns come from the file the table row was counted from.
    copySample("hb_nomemo", "parts", {"dat"});
    const struct {
        Args args;
        std::string fileName;
        int columns;
    } cases[] = {
        {{"-TA", "parts.dat", "parts"}, dir.file("parts"), 4},
        {{"-TA", "data/orders.dbf", "orders"}, "data/orders.dbf", 7},
        {{"-TA", dir.file("data/orders.dbf"), "orders"}, dir.file("data/orders.dbf"), 7},
        {{"-TA", "./parts", "parts"}, "./parts", 4},
    };
    std::vector<Row> expectTables, expectColumns;
    for (const auto &c : cases) {
        auto r = run(c.args, paths);
        EXPECT_EQ(0, r.exitStatus) << c.args[1] << r.out << r.err;
        expectTables.push_back(
            {upper(c.args[2]), c.fileName, "", "PUBLIC", std::to_string(c.columns)});
        for (const Row &col :
             sampleColumns(c.columns == 4 ? "py_db3" : "hb_nomemo", upper(c.args[2])))
            expectColumns.push_back(col);
    }
    expectDictionary(dir.file("SQLTABLE.DBF"), expectTables);
    expectDictionary(dir.file("SQLCOLMN.DBF"), expectColumns);

    // A TD of a table registered twice takes both its table rows and every
    // column row of that name, so that no table row outlives its columns.
    auto r = run({"-TD", "orders"}, paths);
    EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
    std::vector<Row> t = tables();
    EXPECT_EQ(2u, t.size());
    EXPECT_EQ(8u, columns().size());
    EXPECT_EQ(2, std::count_if(t.begin(), t.end(), [](const Row &x) { return x[0] == "PARTS"; }));
    EXPECT_EQ(r4after, run({"-TD", "orders"}, paths).exitStatus);
    expectTagsHoldLiveRows(dir.file("SQLTABLE.DBF"));
    expectTagsHoldLiveRows(dir.file("SQLCOLMN.DBF"));
}

// ---- TD -----------------------------------------------------------------------------

TEST_F(Dictionary, RemovalTakesExactlyOneTablesRows)
{
    copySample("hb_nomemo", "orders", {"dbf"});
    copySample("py_db3", "parts", {"dbf"});
    // Registered out of key order, so that the removed table lies between
    // the others in every tag.
    writeFile(dir.file("jobs.txt"),
              "-TA parts.dbf middle\n-TA orders.dbf alpha\n-TA parts.dbf zulu\n-TD Middle\n");
    auto r = run({"-Sjobs.txt"});
    EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
    EXPECT_EQ("", r.out + r.err);
    expectDictionary(dir.file("SQLTABLE.DBF"),
                     {tableRow("ALPHA", "orders", 7), tableRow("ZULU", "parts", 4)});
    std::vector<Row> cols = sampleColumns("hb_nomemo", "ALPHA");
    for (const Row &row : sampleColumns("py_db3", "ZULU"))
        cols.push_back(row);
    expectDictionary(dir.file("SQLCOLMN.DBF"), cols);

    const std::string before = snapshot();
    for (const auto &c : {std::make_pair("aaa", r4after), std::make_pair("middle", r4after),
                          std::make_pair("zz", r4eof)}) {
        r = run({"-TD", c.first});
        EXPECT_EQ(c.second, r.exitStatus) << c.first;
        EXPECT_EQ(errorLine(DDMAIN_MSG_TD_NOT_REGISTERED) + usage({"-TD", c.first}), r.out);
        EXPECT_EQ("", r.err);
        EXPECT_TRUE(before == snapshot()) << "the dictionary's files changed";
    }
}

// ---- IA and ID --------------------------------------------------------------------------

TEST_F(Dictionary, IndexFileIsRecordedAndClearedInBothForms)
{
    copySample("py_db3", "parts", {"dbf"});
    const std::map<std::string, std::string> none, paths = {{"VX_XBDDPATH", "/x"}};
    ASSERT_EQ(0, run({"-TA", "parts.dbf", "parts"}).exitStatus);
    ASSERT_EQ(0, run({"-TA", "parts.dbf", "parts"}, paths).exitStatus); // a second row
    const std::string longDir = std::string(251, 'i');
    const struct {
        Args args;
        std::map<std::string, std::string> env;
        std::string message; // expected output before the usage; "" for success
        std::string mdx;     // MDXFILE of the first row afterwards
    } steps[] = {
        {{"-IA", "parts.cdx", "parts"}, none, "", "parts"},
        {{"-IA", "other.cdx", "Parts"},
         none,
         errorLine(DDMAIN_MSG_HAS_INDEX, {"PARTS", "parts"}),
         "parts"},
        {{"-ID", "whatever", "parts"}, none, "", ""},
        {{"-ID", "parts.cdx", "parts"}, none, errorLine(DDMAIN_MSG_NO_INDEX, {"PARTS"}), ""},
        {{"-IA", "/idx/PARTS.IDX", "parts"}, none, "", "PARTS"},
        {{"-ID", "x", "parts"}, paths, "", ""},
        {{"-IA", "parts.idx", "parts"}, paths, "", dir.file("parts.cdx")},
        {{"-ID", "x", "parts"}, none, "", ""},
        {{"-IA", "/idx/parts", "parts"}, paths, "", "/idx/parts.cdx"},
        {{"-ID", "x", "parts"}, none, "", ""},
        {{"-IA", "sub/", "parts"}, none, errorLine(DDMAIN_MSG_DATA_OPEN, {"sub/"}), ""},
        {{"-IA", longDir + "/p", "parts"},
         paths,
         errorLine(DDMAIN_MSG_DATA_OPEN, {longDir + "/p"}),
         ""},
        {{"-IA", "q.cdx", "nosuch"}, none, errorLine(DDMAIN_MSG_NOT_REGISTERED, {"NOSUCH"}), ""},
        {{"-ID", "q.cdx", "nosuch"}, paths, errorLine(DDMAIN_MSG_NOT_REGISTERED, {"NOSUCH"}), ""},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.args[0] + " " + s.args[1].substr(0, 20));
        const std::string before = snapshot();
        auto r = run(s.args, s.env);
        EXPECT_EQ(s.message.empty() ? 0 : 1, r.exitStatus);
        EXPECT_EQ(s.message.empty() ? "" : s.message + usage(s.args), r.out);
        if (!s.message.empty()) {
            EXPECT_TRUE(before == snapshot()) << "the dictionary's files changed";
        }
        std::vector<Row> t = tables();
        ASSERT_EQ(2u, t.size());
        EXPECT_EQ(s.mdx, t[0][2]);
        EXPECT_EQ("", t[1][2]) << "the second row of the name is never changed";
    }
    expectTagsHoldLiveRows(dir.file("SQLTABLE.DBF"));
}

// ---- Scripts --------------------------------------------------------------------------------

TEST_F(Dictionary, ScriptStopsAtItsFailingLineWithTheRowsBeforeItKept)
{
    copySample("py_db3", "parts", {"dbf"});
    writeFile(dir.file("jobs.txt"), "-TA parts.dbf one\r\n-TA parts.dbf two\r\n"
                                    "-TA missing.dbf three\r\n-TA parts.dbf four\r\n");
    auto r = run({"-Sjobs.txt", "-Olog.txt"});
    EXPECT_EQ(1, r.exitStatus);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("catalogr: " + dir.file("missing.dbf") + ": " + std::strerror(ENOENT) +
                  "\ncatalogr: jobs.txt line 3: -TA missing.dbf three: cannot open data file "
                  "missing.dbf\n",
              r.err);
    EXPECT_EQ(errorLine(DDMAIN_MSG_DATA_OPEN, {"missing.dbf"}) +
                  progfixture::echo({"-TA", "missing.dbf", "three"}),
              readFile(dir.file("log.txt")));
    expectDictionary(dir.file("SQLTABLE.DBF"),
                     {tableRow("ONE", "parts", 4), tableRow("TWO", "parts", 4)});
    EXPECT_EQ(8u, columns().size());
}

TEST_F(Dictionary, RandomScriptLeavesExactlyTheModelsRowsInEveryTag)
{
    const unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return (int)(rng() % (unsigned)n); };

    // Data files of random layouts; each column as the dictionary records it.
    std::vector<std::vector<Row>> layouts;
    for (int k = 0; k < 6; k++) {
        std::vector<std::string> names;
        std::vector<FIELD4INFO> fields;
        std::vector<Row> cols;
        int n = 1 + pick(20);
        for (int i = 0; i < n; i++)
            names.push_back("C" + std::to_string(k) + "_" + std::to_string(i));
        for (int i = 0; i < n; i++) {
            const char type = "CNFDLM"[pick(6)];
            unsigned len = type == 'C'   ? 1 + pick(300)
                           : type == 'D' ? 8
                           : type == 'L' ? 1
                           : type == 'M' ? 10
                                         : 1 + pick(20);
            unsigned dec = (type == 'N' || type == 'F') ? (unsigned)pick((int)len) : 0;
            fields.push_back({names[(size_t)i].c_str(), type, len, dec});
            cols.push_back({"", names[(size_t)i], "PUBLIC",
                            std::string(1, type == 'F' ? 'N' : type), std::to_string(len),
                            std::to_string(dec), std::to_string(i + 1), "T"});
        }
        makeTable(dir.file("data" + std::to_string(k)), fields);
        layouts.push_back(cols);
    }

    struct Live {
        std::string name; // as the dictionary stores it
        int layout;
        std::string mdx;
    };
    std::vector<Live> live;
    std::set<std::string> used;
    std::string script;
    // Names as typed: random case, up to the thirty bytes kept.
    auto typed = [&](const std::string &name) {
        std::string s = name;
        for (char &c : s)
            if (c >= 'A' && c <= 'Z' && pick(2))
                c = (char)(c - 'A' + 'a');
        return s;
    };
    int registered = 0, removed = 0;
    while (registered < 200 || removed < 50) {
        int op = pick(10);
        if (registered < 200 && (op < 6 || removed == 50 || live.empty())) {
            std::string name;
            do {
                name.clear();
                for (int i = 1 + pick(30); i > 0; i--)
                    name += "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"[pick(37)];
            } while (!used.insert(name.substr(0, 30)).second);
            int layout = pick((int)layouts.size());
            script += "-TA data" + std::to_string(layout) + ".dbf " + typed(name) + "\n";
            live.push_back({name.substr(0, 30), layout, ""});
            registered++;
        } else if (op < 8 && removed < 50 && !live.empty()) {
            size_t at = (size_t)pick((int)live.size());
            script += "-TD " + typed(live[at].name) + "\n";
            live.erase(live.begin() + (long)at);
            removed++;
        } else if (!live.empty()) {
            Live &t = live[(size_t)pick((int)live.size())];
            if (t.mdx.empty()) {
                t.mdx = "ix" + std::to_string(pick(1000));
                script += "-IA some/dir/" + t.mdx + ".cdx " + typed(t.name) + "\n";
            } else {
                t.mdx.clear();
                script += "-ID any " + typed(t.name) + "\n";
            }
        }
    }
    writeFile(dir.file("jobs.txt"), script);
    auto r = run({"-Sjobs.txt"});
    ASSERT_EQ(0, r.exitStatus) << "seed " << seed << "\n" << r.out << r.err;
    EXPECT_EQ("", r.out + r.err);

    std::vector<Row> expectTables, expectColumns;
    for (const Live &t : live) {
        const std::vector<Row> &cols = layouts[(size_t)t.layout];
        expectTables.push_back(
            tableRow(t.name, "data" + std::to_string(t.layout), (int)cols.size(), t.mdx));
        for (Row col : cols) {
            col[0] = t.name;
            expectColumns.push_back(col);
        }
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    expectDictionary(dir.file("SQLTABLE.DBF"), expectTables);
    expectDictionary(dir.file("SQLCOLMN.DBF"), expectColumns);
    expectDictionary(dir.file("SQLINDEX.DBF"), {});
}

// Three programs run scripts of TA, TD, IA and ID (each TD beside an IA of
// the next table) at once on one dictionary: every directive succeeds, and
// the dictionary holds exactly the rows they leave, in every tag.
TEST_F(Dictionary, ScriptsRunAtOnceAllSucceedAndLeaveExactlyTheirRows)
{
    makeTable(dir.file("data.dbf"), {{"F1", 'N', 5, 1}, {"F2", 'C', 7, 0}});
    std::map<std::string, std::string> model; // each table left and its MDXFILE
    std::string scripts[4];
    for (int i = 10; i < 34; i++) {
        std::string t = "T" + std::to_string(i), next = "T" + std::to_string(i + 1);
        scripts[3] += "-TA data.dbf " + t + "\n";
        if (i % 2 == 0) {
            scripts[0] += "-TD " + t + "\n";
            scripts[1] += "-IA k" + next + " " + next + "\n-ID x " + next + "\n-IA k" + next + " " + next + "\n";
            model[next] = "k" + next;
        } else {
            scripts[0] += "-TA data.dbf A" + t + "\n";
            model["A" + t] = "";
        }
        scripts[2] += "-TA data.dbf B" + t + "\n" + (i % 3 ? "" : "-TD B" + t + "\n");
        if (i % 3)
            model["B" + t] = "";
    }
    for (int s = 0; s < 4; s++)
        writeFile(dir.file("s" + std::to_string(s)), scripts[s]);
    ASSERT_EQ(0, run({"-Ss3"}).exitStatus);
    std::vector<std::future<testutil::ProcResult>> runs;
    for (int s = 0; s < 3; s++)
        runs.push_back(std::async(std::launch::async, [&, s] { return run({"-Ss" + std::to_string(s)}); }));
    for (auto &run : runs) {
        testutil::ProcResult r = run.get();
        EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
    }
    std::vector<Row> wantTables, wantColumns, haveTables = tables(), haveColumns = columns();
    for (const auto &kv : model) {
        wantTables.push_back(tableRow(kv.first, "data", 2, kv.second));
        wantColumns.push_back({kv.first, "F1", "PUBLIC", "N", "5", "1", "1", "T"});
        wantColumns.push_back({kv.first, "F2", "PUBLIC", "C", "7", "0", "2", "T"});
    }
    for (auto *rows : {&wantTables, &wantColumns, &haveTables, &haveColumns})
        std::sort(rows->begin(), rows->end());
    EXPECT_EQ(wantTables, haveTables);
    EXPECT_EQ(wantColumns, haveColumns);
    expectTagsHoldLiveRows(dir.file("SQLTABLE.DBF"));
    expectTagsHoldLiveRows(dir.file("SQLCOLMN.DBF"));
}

// ---- Failures -----------------------------------------------------------------------------------

TEST_F(Dictionary, ReadOnlyDictionaryRefusesEveryChangeAndSaysWhy)
{
    if (!canRunAsOther())
        GTEST_SKIP() << "running as root without setpriv: files cannot be made unwritable";
    copySample("py_db3", "parts", {"dbf"});
    ASSERT_EQ(0, run({"-TA", "parts.dbf", "parts"}).exitStatus);
    ASSERT_EQ(0, run({"-IA", "parts.cdx", "parts"}).exitStatus);
    for (const char *f : kDictionaryFiles)
        chmod(dir.file(f).c_str(), 0444);
    chmod(dir.path.c_str(), 0755);
    const std::string before = snapshot();
    // TA and TD cannot write their journal in the directory; ID fails at
    // the write of its row.
    const std::string journal = "catalogr: cannot write the journal " + dir.file("CATALOGR.JNL") +
                                " (" + std::strerror(EACCES) + "); nothing was changed\n";
    for (const auto &c : std::vector<std::pair<Args, std::string>>{
             {{"-TA", "parts.dbf", "OTHER"}, journal},
             {{"-TD", "PARTS"}, journal},
             {{"-ID", "x", "PARTS"}, "catalogr: Xbase -"}}) {
        const Args &args = c.first;
        SCOPED_TRACE(args[0]);
        auto r = runAsOther(args);
        EXPECT_EQ(1, r.exitStatus) << r.out;
        EXPECT_EQ(usage(args),
                  r.out.substr(r.out.size() - std::min(r.out.size(), usage(args).size())));
        EXPECT_EQ(0u, r.err.find(c.second)) << r.err;
        EXPECT_TRUE(before == snapshot()) << "the dictionary's files changed";
    }

    // Only the column table read-only: its rows go first, so the removal
    // fails there, and the table row stays with them.
    chmod(dir.path.c_str(), 0777);
    for (const char *f : {"SQLTABLE.DBF", "SQLTABLE.CDX"})
        chmod(dir.file(f).c_str(), 0666);
    const std::string unchanged = snapshot();
    auto r = runAsOther({"-TD", "PARTS"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(1, r.exitStatus) << r.out;
    EXPECT_EQ(0u, r.err.find("catalogr: Xbase -")) << r.err;
    EXPECT_TRUE(unchanged == snapshot()) << "the dictionary's files changed";
    EXPECT_FALSE(fileExists(dir.file("CATALOGR.JNL")));
    for (const char *f : kDictionaryFiles)
        chmod(dir.file(f).c_str(), 0644);
    chmod(dir.path.c_str(), 0700);
}

TEST_F(Dictionary, BrokenDictionaryIndexIsRebuiltAndTheDirectiveGoesOn)
{
    copySample("py_db3", "parts", {"dbf"});
    ASSERT_EQ(0, run({"-TA", "parts.dbf", "parts"}).exitStatus);
    ASSERT_EQ(0, run({"-TA", "parts.dbf", "other"}).exitStatus);
    long root = 0;
    {
        Engine e;
        DATA4 *d = d4open(&e.c4, dir.file("SQLTABLE.DBF").c_str());
        ASSERT_NE(nullptr, d);
        root = t4root(d4tag(d, "CRTB"));
        d4close(d);
    }
    ASSERT_GT(root, 0);
    std::map<std::string, std::string> good;
    for (const char *f : kDictionaryFiles)
        good[f] = readFile(dir.file(f));
    // Missing; left marked as being rebuilt (no root in the first header,
    // as a pack killed part way leaves it); a tree a search finds damaged.
    enum { missing, marked, broken };
    const struct {
        const char *file;
        int how;
        Args args;
        std::vector<std::string> tables; // left afterwards
    } cases[] = {
        {"SQLCOLMN.CDX", missing, {"-TA", "parts.dbf", "THIRD"}, {"PARTS", "OTHER", "THIRD"}},
        {"SQLTABLE.CDX", missing, {"-IA", "p.cdx", "PARTS"}, {"PARTS", "OTHER"}},
        {"SQLTABLE.CDX", marked, {"-TD", "PARTS"}, {"OTHER"}},
        {"SQLCOLMN.CDX", marked, {"-TA", "parts.dbf", "THIRD"}, {"PARTS", "OTHER", "THIRD"}},
        {"SQLTABLE.CDX", broken, {"-TD", "PARTS"}, {"OTHER"}},
        {"SQLTABLE.CDX", broken, {"-IA", "p.cdx", "PARTS"}, {"PARTS", "OTHER"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.how) + " " + c.args[0]);
        for (const auto &f : good)
            writeFile(dir.file(f.first), f.second);
        std::string bytes = good[c.file];
        c.how == marked ? bytes.replace(0, 4, std::string(4, '\0'))
                        : bytes.replace((size_t)root, 512, std::string(512, '\xff'));
        c.how == missing ? (void)unlink(dir.file(c.file).c_str()) : writeFile(dir.file(c.file), bytes);
        auto r = run(c.args);
        EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
        EXPECT_EQ("", r.out);
        // A damaged tree is named by the search that met it.
        EXPECT_EQ(c.how == broken ? 0u : std::string::npos, r.err.find("catalogr: Xbase -310")) << r.err;
        const std::string said = "catalogr: rebuilt the index " + dir.file(c.file) + " from " +
                                 dir.file(std::string(c.file, 8) + ".DBF") + "\n";
        EXPECT_EQ(said, r.err.substr(r.err.size() - std::min(r.err.size(), said.size())));
        std::vector<std::string> names;
        for (const Row &row : tables())
            names.push_back(row[0]);
        EXPECT_EQ(c.tables, names);
        expectTagsHoldLiveRows(dir.file("SQLTABLE.DBF"));
        expectTagsHoldLiveRows(dir.file("SQLCOLMN.DBF"));
        EXPECT_EQ(4 * c.tables.size(), columns().size());
    }
}

TEST_F(Dictionary, LockedDictionaryIsWaitedForOnceSaidAndThenUsed)
{
    copySample("py_db3", "parts", {"dbf"});
    LockHolder holder(dir.file("SQLTABLE.DBF"), 3);
    auto start = std::chrono::steady_clock::now();
    auto r = run({"-TA", "parts.dbf", "parts"});
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ("catalogr: waiting for a lock on " + dir.file("SQLTABLE.DBF") + "\n", r.err);
    EXPECT_GT(waited, 2.0);
    expectDictionary(dir.file("SQLTABLE.DBF"), {tableRow("PARTS", "parts", 4)});
    EXPECT_EQ(4u, columns().size());
}

// ---- The command line as administrators use it ----------------------------------------------

TEST_F(Dictionary, EveryRefusalSaysWhyAndLeavesTheDictionaryAsItWas)
{
    copySample("py_db3", "parts", {"dbf"});
    ASSERT_EQ(0, run({"-TA", "parts.dbf", "parts"}).exitStatus);
    // Tables of other programs: a memo table without its memo file, and a
    // dBASE III memo table beside its .dbt.
    copySample("hb_memo", "memo", {"dbf"});
    std::string d3 = readFile(testutil::dataDir() + "/samples/hb_memo.dbf");
    d3[0] = '\x83';
    writeFile(dir.file("d3.dbf"), d3);
    writeFile(dir.file("d3.dbt"), std::string(512, '\0'));
    writeFile(dir.file("notes.txt"), "not a table\n");
    writeFile(dir.file("empty.dbf"), "");
    copySample("py_db3", "secret", {"dbf"});
    chmod(dir.file("secret.dbf").c_str(), 0);
    ASSERT_EQ(0, mkdir(dir.file("sub.dbf").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.file("nodict").c_str(), 0755));
    chmod(dir.path.c_str(), 0755);

    const std::string all = usage({}), help = all.substr(0, all.size() - progfixture::echo({}).size());
    const std::string exists = errorLine(DDMAIN_MSG_TABLE_EXISTS, {"PARTS"});
    const std::string longToken(2000, 'x'), binary("\x7f" "ELF\x02\x01\x01\0\0\n", 10);
    auto open = [](const std::string &f) { return errorLine(DDMAIN_MSG_DATA_OPEN, {f}); };
    auto line = [](const std::string &at, const std::string &t) { return "catalogr: " + at + ": " + t + "\n"; };
    const std::string waited = "lock on $D/SQLTABLE.DBF (held by process $P)";
    const std::map<std::string, std::string> lockWait = {{"VX_LOCKWAIT", "1"}};
    const struct {
        Args args;
        int status;
        std::string out; // a refused command line ends with its usage too
        std::string err; // $D: the directory, $P: the lock holder
        std::string input = "";
        std::map<std::string, std::string> env = {};
        std::string cwd = "";
        bool asOther = false;
    } cases[] = {
        // Help and version.
        {{"--help"}, 0, help, ""},
        {{"-h"}, 0, help, ""},
        {{"--version"}, 0, "catalogr " CATALOGR_VERSION "\n", ""},
        {{"--help", "-TD"}, 1, "", "catalogr: too many arguments, --help stands alone\n"},
        // Failures with their reasons.
        {{"-TA", "missing.dbf", "x"}, 1, open("missing.dbf"),
         line("$D/missing.dbf", std::strerror(ENOENT))},
        {{"-TA", "sub.dbf", "x"}, 1, open("sub.dbf"), line("$D/sub.dbf", std::strerror(EISDIR))},
        {{"-TA", "notes.txt", "x"}, 1, open("notes.txt"), "catalogr: notes.txt is not a data file\n"},
        {{"-TA", "empty.dbf", "x"}, 1, open("empty.dbf"), "catalogr: empty.dbf is not a data file\n"},
        {{"-TA", "secret.dbf", "x"}, 1, open("secret.dbf"),
         line("$D/secret.dbf", std::strerror(EACCES)), "", {}, "", true},
        {{"-TD", "x"}, 1, errorLine(DDMAIN_MSG_DICT_OPEN),
         "catalogr: no dictionary in $D/nodict (catalogr -INIT creates one)\n", "", {}, "/nodict"},
        {{"-XX", "a", "b"}, 1, "", "catalogr: unknown directive -XX\n"},
        // Scripts: the failing line with its number as written, comments.
        {{"-Sjobs.txt", "-Olog.txt"}, 1, "",
         line("jobs.txt line 4", "-TA parts.dbf Parts: table PARTS is already registered"),
         "# register the sample tables\n\n  # and again\n-TA parts.dbf Parts\n-TD parts\n"},
        {{"-Sjobs.txt"}, 1, progfixture::echo({"-TA", "a", "b", "c"}),
         line("jobs.txt line 1", "-TA a b c: more than three words"), "-TA a b c\n"},
        {{"-Sjobs.txt"}, 1, progfixture::echo({"-TA", longToken, "t"}),
         line("jobs.txt line 1", "-TA " + longToken + " t: longer than 1999 characters"),
         "-TA " + longToken + " t\n"},
        {{"-Sjobs.txt"}, 1, progfixture::echo({"-XX", "a", "b"}),
         line("jobs.txt line 2", "-XX a b: unknown directive -XX"), "#\n-XX a b\n"},
        {{"-Sjobs.txt"}, 1, progfixture::echo({"\x7f" "ELF\x02\x01\x01"}),
         line("jobs.txt line 1", "?ELF?????: a NUL byte in the line"), binary},
        {{"-S-"}, 1, exists + progfixture::echo({"-TA", "parts.dbf", "parts"}),
         line("standard input line 1", "-TA parts.dbf parts: table PARTS is already registered"),
         "-TA parts.dbf parts\n"},
        {{"-S-"}, 1, progfixture::echo({"-TA", "parts.dbf", "q\x1b[31m"}),
         line("standard input line 1",
              "-TA parts.dbf q?[31m: the table name \"q?[31m\" contains control characters"),
         "-TA parts.dbf q\x1b[31m\n"},
        // Names, in UTF-8: refused before anything is written, saying why.
        {{"-TA", "parts.dbf", ""}, 1, "", "catalogr: the table name is empty\n"},
        {{"-TA", "parts.dbf", "  "}, 1, "", "catalogr: the table name is blank\n"},
        {{"-TD", "a b"}, 1, "", "catalogr: the table name \"a b\" contains blanks\n"},
        {{"-IA", "i.cdx", "a\x01z"}, 1, "", "catalogr: the table name \"a?z\" contains control characters\n"},
        {{"-TA", "parts.dbf", "STOCK_MOVEMENTS_2019_ARCHIVE_AB"}, 1, "",
         "catalogr: the table name \"STOCK_MOVEMENTS_2019_ARCHIVE_AB\" is 31 bytes long; the "
         "dictionary keeps at most 30\n"},
        {{"-TA", "parts.dbf", "a\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"}, 1, "",
         "catalogr: the table name \"a\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\" is 31 bytes long; "
         "the dictionary keeps at most 30\n"},
        {{"-S-"}, 1, progfixture::echo({"-TA", "parts.dbf", "caf?"}),
         line("standard input line 1",
              "-TA parts.dbf caf?: the table name \"caf?\" is not valid text of the code set"),
         "-TA parts.dbf caf\xe9\n"},
        {{"-TA", "parts.dbf", "caf\u00e9"}, 0, "", ""},
        {{"-TD", "CAF\u00c9"}, 0, "", ""},
        // Tables of other programs register from their descriptors alone.
        {{"-TA", "memo.dbf", "memo"}, 0, "", ""},
        {{"-TA", "d3.dbf", "d3"}, 0, "", ""},
        // Argument counts, and a lock wait with its end.
        {{"-TD"}, 1, "", "catalogr: missing argument, the directive is -TD table\n"},
        {{"-TD", "parts", "orders"}, 1, "", "catalogr: too many arguments, the directive is -TD table\n"},
        {{"-INIT", "now"}, 1, "", "catalogr: too many arguments, the directive is -INIT\n"},
        {{"-TA", "parts.dbf", "locked"}, 1, "",
         "catalogr: waiting for a " + waited + "\ncatalogr: gave up waiting for a " + waited +
             " after 1 second (VX_LOCKWAIT)\n", "", lockWait},
        {{"-TD", "parts"}, 255, "", "catalogr: VX_LOCKWAIT=soon is not a whole number of seconds\n",
         "", {{"VX_LOCKWAIT", "soon"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back().substr(0, 20));
        if (c.asOther && !canRunAsOther())
            continue;
        const std::string before = snapshot();
        if (!c.input.empty() && c.args[0] != "-S-")
            writeFile(dir.file("jobs.txt"), c.input);
        std::unique_ptr<LockHolder> holder(
            c.env == lockWait ? new LockHolder(dir.file("SQLTABLE.DBF"), 60, true) : nullptr);
        auto r = runAs(c.asOther, c.args, c.env, dir.path + c.cwd, c.args[0] == "-S-" ? c.input : "");
        std::string err = c.err;
        for (size_t at; (at = err.find("$D")) != std::string::npos;)
            err.replace(at, 2, dir.path);
        for (size_t at; holder && (at = err.find("$P")) != std::string::npos;)
            err.replace(at, 2, std::to_string(holder->pid));
        const bool console = c.status == 0 || c.status == 255 || c.args[0].rfind("-S", 0) == 0 ||
                             c.args.back() == "-Olog.txt";
        EXPECT_EQ(c.status, r.exitStatus);
        EXPECT_EQ(console ? c.out : c.out + usage(c.args), r.out);
        EXPECT_EQ(err, r.err);
        EXPECT_TRUE(c.status == 0 || before == snapshot()) << "the refusal changed the dictionary";
    }
    expectDictionary(dir.file("SQLTABLE.DBF"), {tableRow("PARTS", "parts", 4), tableRow("MEMO", "memo", 8),
                                                tableRow("D3", "d3", 8)});
}

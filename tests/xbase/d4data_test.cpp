// Tests of the data file format: the bytes create writes, what open accepts
// and refuses, tables written by other programs, tables read by other
// programs, the record count and close.
#include "tests/xbase/d4test.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "xbase/d4tag.h"
#include "xbase/index/i4index.h"
#include "xbase/memo4.h"

using namespace d4test;
using testutil::readFile;
using testutil::writeFile;

namespace {

// A table file built from raw bytes: one C 4 field, `count` records.
std::string rawTable(unsigned header_len, unsigned record_len, bool terminator = true)
{
    std::string b(32, '\0');
    b[0] = 0x03;
    b[8] = char(header_len & 0xFF);
    b[9] = char(header_len >> 8);
    b[10] = char(record_len & 0xFF);
    b[11] = char(record_len >> 8);
    std::string desc(32, '\0');
    std::memcpy(&desc[0], "F1", 2);
    desc[11] = 'C';
    desc[16] = 4;
    b += desc;
    if (terminator)
        b += '\x0d';
    while (b.size() < header_len)
        b += '\0';
    b += " abcd\x1a";
    return b;
}

} // namespace

TEST(DataFileCreate, WritesHeaderDescriptorsAndTerminators)
{
    Engine e;
    const FIELD4INFO fields[] = {
        {"name", 'C', 10, 0}, {"qty  ", 'n', 5, 2}, {"ok", 'L', 1, 0}, {nullptr, 0, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("small").c_str(), fields, nullptr);
    ASSERT_NE(nullptr, d) << lastError();
    EXPECT_EQ(17u, d4record_width(d));
    EXPECT_EQ(0, d4reccount(d));
    EXPECT_STREQ("SMALL", d4alias(d));
    ASSERT_EQ(0, d4close(d));

    std::string b = readFile(e.path("SMALL.DBF"));
    ASSERT_EQ(130u, b.size()) << testutil::hex(b);
    EXPECT_EQ(0x03, (unsigned char)b[0]);
    EXPECT_GE((unsigned char)b[1], 100);   // years since 1900
    EXPECT_EQ(0u, le32(b, 4));
    EXPECT_EQ(129u, le16(b, 8));
    EXPECT_EQ(17u, le16(b, 10));
    EXPECT_EQ(std::string(11, '\0').replace(0, 4, "NAME"), b.substr(32, 11));
    EXPECT_EQ(std::string(11, '\0').replace(0, 3, "QTY"), b.substr(64, 11));
    EXPECT_EQ('N', b[64 + 11]);
    EXPECT_EQ(5, b[64 + 16]);
    EXPECT_EQ(2, b[64 + 17]);
    EXPECT_EQ('L', b[96 + 11]);
    EXPECT_EQ("\x0d\x1a", b.substr(128));
    for (size_t off : {12, 20, 28, 29, 30, 31})
        EXPECT_EQ(0, b[off]) << "header byte " << off;
}

TEST(DataFileCreate, CharacterWidthAboveByteUsesDecimalsByte)
{
    Engine e;
    const FIELD4INFO fields[] = {{"TEXT", 'C', 300, 0}, {nullptr, 0, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("wide.dbf").c_str(), fields, nullptr);
    ASSERT_NE(nullptr, d);
    d4close(d);
    std::string b = readFile(e.path("wide.dbf"));
    EXPECT_EQ(44, (unsigned char)b[32 + 16]);
    EXPECT_EQ(1, (unsigned char)b[32 + 17]);
    EXPECT_EQ(301u, le16(b, 10));

    d = d4open(&e.c4, e.path("wide").c_str());
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(300u, f4len(d4field(d, "TEXT")));
    EXPECT_EQ(301u, d4record_width(d));
}

TEST(DataFileCreate, MemoFieldMakesMemoTableWithItsMemoFile)
{
    Engine e;
    const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"NOTES", 'M', 0, 0}, {nullptr, 0, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("notes").c_str(), fields, nullptr);
    ASSERT_NE(nullptr, d) << lastError();
    EXPECT_EQ(21u, d4record_width(d));
    EXPECT_GE(d->memo_file.file.hand, 0);
    d4close(d);
    EXPECT_EQ(0xF5, (unsigned char)readFile(e.path("NOTES.DBF"))[0]);
    EXPECT_EQ(512, testutil::fileSize(e.path("NOTES.FPT")));
}

TEST(DataFileCreate, NameWithAnExtensionIsKeptAndItsMemoAndIndexFollowItsCase)
{
    const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"NOTES", 'M', 0, 0}, {nullptr, 0, 0, 0}};
    const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
    const struct {
        const char *given;
        std::set<std::string> files;
    } cases[] = {
        {"t.dbf", {"t.dbf", "t.fpt", "t.cdx"}},
        {"T.DBF", {"T.DBF", "T.FPT", "T.CDX"}},
        {"Mixed.Dbf", {"Mixed.Dbf", "Mixed.FPT", "Mixed.CDX"}},
        {"plain", {"PLAIN.DBF", "PLAIN.FPT", "PLAIN.CDX"}},
    };
    for (const auto &c : cases) {
        Engine e;
        DATA4 *d = d4create(&e.c4, e.path(c.given).c_str(), fields, tags);
        ASSERT_NE(nullptr, d) << c.given << " " << lastError();
        EXPECT_EQ(0, d4close(d));
        std::set<std::string> made;
        for (const auto &entry : std::filesystem::directory_iterator(e.dir.path))
            made.insert(entry.path().filename().string());
        EXPECT_EQ(c.files, made) << c.given;
        // Opened again under the name given, the table finds both (a memo
        // table does not open without its memo file).
        d = d4open(&e.c4, e.path(c.given).c_str());
        ASSERT_NE(nullptr, d) << c.given << " " << lastError();
        EXPECT_NE(nullptr, d4tag(d, "NAME")) << c.given;
        EXPECT_EQ(0, d4close(d));
    }
}

TEST(DataFileCreate, RefusesDefinitionsTheFormatCannotHold)
{
    struct Case {
        const char *what;
        FIELD4INFO field;
        int code;
    } cases[] = {
        {"numeric wider than a byte", {"N1", 'N', 256, 0}, e4record_len},
        {"more decimals than width", {"N1", 'F', 5, 6}, e4record_len},
        {"character wider than two bytes", {"C1", 'C', 65536, 0}, e4record_len},
        {"record of 65535 bytes", {"C1", 'c', 65534, 0}, e4record_len},
    };
    for (const Case &c : cases) {
        Engine e;
        FIELD4INFO fields[] = {c.field, {nullptr, 0, 0, 0}};
        EXPECT_EQ(nullptr, d4create(&e.c4, e.path("bad").c_str(), fields, nullptr)) << c.what;
        EXPECT_EQ(c.code, lastErrorCode()) << c.what;
        EXPECT_NE(std::string::npos, lastError().find("BAD.DBF")) << c.what << lastError();
        EXPECT_FALSE(testutil::fileExists(e.path("BAD.DBF"))) << c.what;
    }

    Engine e;
    std::vector<std::string> names;
    std::vector<FIELD4INFO> many;
    for (int i = 0; i < 2047; i++)
        names.push_back("F" + std::to_string(i));
    for (const std::string &n : names)
        many.push_back({n.c_str(), 'L', 1, 0});
    many.push_back({nullptr, 0, 0, 0});
    EXPECT_EQ(nullptr, d4create(&e.c4, e.path("many").c_str(), many.data(), nullptr));
    EXPECT_EQ(e4create, lastErrorCode());
    EXPECT_NE(std::string::npos, lastError().find("Too Many Fields"));
    many.erase(many.begin());
    DATA4 *d = d4create(&e.c4, e.path("many").c_str(), many.data(), nullptr);
    ASSERT_NE(nullptr, d) << "2046 fields fit";
    EXPECT_EQ(2046, d4num_fields(d));
}

TEST(DataFileCreate, SafetyKeepsAnExistingFile)
{
    Engine e;
    writeFile(e.path("KEEP.DBF"), "precious");
    EXPECT_EQ(nullptr, d4create(&e.c4, e.path("keep").c_str(), smallFields(), nullptr));
    EXPECT_EQ("precious", readFile(e.path("KEEP.DBF")));
    e.c4.safety = 0;
    DATA4 *d = d4create(&e.c4, e.path("keep").c_str(), smallFields(), nullptr);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(130, testutil::fileSize(e.path("KEEP.DBF")));
}

TEST(DataFileOpen, NamesAndAliases)
{
    Engine e;
    ASSERT_NE(nullptr, d4create(&e.c4, e.path("orders").c_str(), smallFields(), nullptr));
    ASSERT_NE(nullptr, d4create(&e.c4, e.path("customersandmore").c_str(), smallFields(), nullptr));
    d4close_all(&e.c4);
    struct Case {
        std::string name;
        const char *alias;
    } cases[] = {
        {e.path("ORDERS"), "ORDERS"},
        {e.path("orders.dbf"), "ORDERS"},
        {e.path("Orders.Dbf"), "ORDERS"},
        {e.path("customersandmore"), "CUSTOMERSA"},
    };
    for (const Case &c : cases) {
        DATA4 *d = d4open(&e.c4, c.name.c_str());
        ASSERT_NE(nullptr, d) << c.name << " " << lastError();
        EXPECT_STREQ(c.alias, d4alias(d)) << c.name;
        d4close(d);
    }
    e.c4.open_error = 0;
    EXPECT_EQ(nullptr, d4open(&e.c4, e.path("absent").c_str()));
    EXPECT_EQ(r4no_open, e.c4.error_code);
    EXPECT_EQ(0, e.c4.data_list.n_link);
}

TEST(DataFileOpen, RefusesHeadersThatDoNotFitTheFile)
{
    struct Case {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"header length 32", rawTable(32, 5)},
        {"header length beyond the file", rawTable(65, 5).substr(0, 60)},
        {"descriptor without terminator or room", rawTable(65, 5, false)},
        {"header of 20 bytes", std::string(20, '\x03')},
    };
    for (const Case &c : cases) {
        Engine e;
        writeFile(e.path("BAD.DBF"), c.bytes);
        EXPECT_EQ(nullptr, d4open(&e.c4, e.path("BAD.DBF").c_str())) << c.what;
        EXPECT_TRUE(lastErrorCode() == e4data || lastErrorCode() == e4read) << c.what;
        EXPECT_NE(std::string::npos, lastError().find("BAD.DBF")) << c.what << lastError();
        EXPECT_EQ(0, e.c4.data_list.n_link) << c.what;
    }

    // The smallest good file of the same shape opens, with one field.
    Engine e;
    writeFile(e.path("GOOD.DBF"), rawTable(65, 5));
    DATA4 *d = d4open(&e.c4, e.path("GOOD.DBF").c_str());
    ASSERT_NE(nullptr, d) << lastError();
    EXPECT_EQ(1, d4num_fields(d));
}

TEST(DataFileOpen, RecordLengthDisagreeingWithFieldsMakesTableReadOnly)
{
    Engine e;
    std::string bytes = rawTable(65, 9);
    writeFile(e.path("ODD.DBF"), bytes);
    DATA4 *d = d4open(&e.c4, e.path("ODD.DBF").c_str());
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(e4data, lastErrorCode());
    EXPECT_EQ(5u, d4record_width(d));
    EXPECT_EQ(0, d4append_blank(d) == 0);
    d4close(d);
    EXPECT_EQ(bytes, readFile(e.path("ODD.DBF")));
}

// ---- Tables written by other programs ----------------------------------

namespace {

std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 3 < s.size() + 0 && s[i + 1] == 'x') {
            out += char(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Sections of a dump: name -> lines.
std::map<std::string, std::vector<std::string>> sections(const std::string &text)
{
    std::map<std::string, std::vector<std::string>> out;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[')
            current = line.substr(1, line.size() - 2);
        else if (!line.empty())
            out[current].push_back(line);
    }
    return out;
}

std::string headerValue(const std::vector<std::string> &lines, const std::string &key)
{
    for (const std::string &l : lines)
        if (l.compare(0, key.size() + 1, key + ":") == 0)
            return l.substr(key.size() + 2);
    return "";
}

} // namespace

TEST(DataFileOpen, ReadsTablesWrittenByOtherProgramsAsTheyStand)
{
    std::string samples = testutil::dataDir() + "/samples";
    for (const char *base : {"py_db3", "py_memo", "hb_nomemo", "hb_memo"}) {
        SCOPED_TRACE(base);
        Engine e;
        for (const char *ext : {".dbf", ".fpt", ".cdx"})
            if (testutil::fileExists(samples + "/" + base + ext))
                testutil::copyFile(samples + "/" + base + ext, e.path(std::string(base) + ext));
        auto dump = sections(readFile(samples + "/expected/" + base + ".xbdump.txt"));
        e.c4.auto_open = 0;     // the production indexes are read elsewhere
        DATA4 *d = d4open(&e.c4, e.path(base).c_str());
        ASSERT_NE(nullptr, d) << lastError();
        const auto &h = dump["header"];
        EXPECT_EQ(std::stoul(headerValue(h, "version"), nullptr, 16),
                  (unsigned)(unsigned char)d->version);
        EXPECT_EQ(std::stol(headerValue(h, "record_count")), d4reccount(d));
        EXPECT_EQ(std::stoul(headerValue(h, "header_length")), d->header_len);
        EXPECT_EQ(std::stoul(headerValue(h, "record_length")), d4record_width(d));
        ASSERT_EQ(std::stoi(headerValue(h, "field_count")), d4num_fields(d));
        for (int j = 0; j < d4num_fields(d); j++) {
            FIELD4 *f = d4field_j(d, j + 1);
            std::ostringstream line;
            line << "field " << j + 1 << ": " << f4name(f) << " " << char(f->type) << " "
                 << f4len(f) << " " << f4decimals(f);
            EXPECT_EQ(dump["fields"][j], line.str());
        }
        long rec = 0;
        for (const std::string &l : dump["records"]) {
            rec++;
            ASSERT_EQ(0, d4go(d, rec));
            std::string want = unescape(l.substr(l.find('|') + 1));
            want.pop_back();    // the closing '|'
            std::string got;
            for (int j = 0; j < d4num_fields(d); j++)
                got += std::string(f4ptr(d4field_j(d, j + 1)), f4len(d4field_j(d, j + 1))) +
                       (j + 1 < d4num_fields(d) ? "|" : "");
            EXPECT_EQ(want, got) << "record " << rec;
            EXPECT_EQ(l.find("[*]") != std::string::npos, d4deleted(d) == 1) << rec;
        }
        EXPECT_EQ(r4eof, d4skip(d, 1));
    }
}

namespace {

// Writes MINE.DBF (with a C 300 field when `wide`) and returns what a
// reader's --common dump of it must say.
std::string writeForReaders(Engine &e, bool wide)
{
    std::vector<FIELD4INFO> fields = {
        {"NAME", 'C', 10, 0}, {"AMOUNT", 'N', 8, 2}, {"BORN", 'D', 8, 0}, {"OK", 'L', 1, 0}};
    if (wide)
        fields.push_back({"WIDE", 'C', 300, 0});
    fields.push_back({nullptr, 0, 0, 0});
    DATA4 *d = d4create(&e.c4, e.path("mine").c_str(), fields.data(), nullptr);
    EXPECT_NE(nullptr, d);
    if (d == nullptr)
        return "";
    std::string text(300, 'w');
    std::string expect = "[header]\nrecord_count: 3\nheader_length: " +
                         std::to_string(wide ? 193 : 161) + "\nrecord_length: " +
                         std::to_string(wide ? 328 : 28) + "\nfield_count: " +
                         std::to_string(wide ? 5 : 4) +
                         "\n[fields]\nfield 1: NAME C 10 0\nfield 2: AMOUNT N 8 2\n"
                         "field 3: BORN D 8 0\nfield 4: OK L 1 0\n" +
                         (wide ? "field 5: WIDE C 300 0\n" : "") + "[records]\n";
    const char *names[] = {"ALPHA", "O'NEIL|\\", "ZED"};
    const char *shown[] = {"ALPHA     ", "O'NEIL\\x7c\\x5c  ", "ZED       "};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(0, d4append_start(d, 0));
        d4blank(d);
        f4assign(d4field(d, "NAME"), names[i]);
        f4assign_double(d4field(d, "AMOUNT"), -1.25 * (i + 1));
        f4assign(d4field(d, "BORN"), "20010301");
        f4assign(d4field(d, "OK"), i == 1 ? "F" : "T");
        if (wide)
            f4assign(d4field(d, "WIDE"), text.c_str());
        if (i == 2)
            d4delete(d);
        EXPECT_EQ(0, d4append(d));
        char amount[16];
        snprintf(amount, sizeof amount, "%8.2f", -1.25 * (i + 1));
        expect += "rec " + std::to_string(i + 1) + (i == 2 ? " [*] |" : " [ ] |") + shown[i] +
                  "|" + amount + "|20010301|" + (i == 1 ? "F" : "T") + "|" +
                  (wide ? text + "|" : "") + "\n";
    }
    EXPECT_EQ(0, d4close(d));
    return expect;
}

} // namespace

TEST(DataFileInterop, IndependentReadersSeeWhatWasWritten)
{
    struct Reader {
        std::string tool;
        std::vector<std::string> args;
        bool readsWideCharacter;    // C fields above 255 through the decimals byte
    } readers[] = {
        {testutil::reader("xbview-pl"), {"--only=header,fields,records"}, true},
        {testutil::reader("xbview-py"), {}, false},
    };
    int ran = 0;
    for (const Reader &r : readers) {
        if (r.tool.empty())
            continue;
        for (bool wide : {false, true}) {
            if (wide && !r.readsWideCharacter)
                continue;
            SCOPED_TRACE(r.tool + (wide ? " wide" : ""));
            Engine e;
            std::string expect = writeForReaders(e, wide);
            std::vector<std::string> argv = {r.tool};
            argv.insert(argv.end(), r.args.begin(), r.args.end());
            argv.push_back(e.path("MINE.DBF"));
            auto res = testutil::runProgram(argv, e.dir.path);
            EXPECT_EQ(0, res.exitStatus) << res.err;
            EXPECT_EQ(expect, res.out);
            ran++;
        }
    }
    if (ran == 0)
        GTEST_SKIP() << "needs Debian's libdbd-xbase-perl, or python3-dbf and python3-dbfread";
}

// ---- Count and close ------------------------------------------------------

TEST(DataFileCount, FollowsOtherWritersUnlessAppendLocked)
{
    Engine e;
    DATA4 *a = d4create(&e.c4, e.path("count").c_str(), smallFields(), nullptr);
    ASSERT_NE(nullptr, a);
    DATA4 *b = d4open(&e.c4, e.path("count").c_str());
    ASSERT_NE(nullptr, b);
    appendNames(a, {"ONE", "TWO"});
    EXPECT_EQ(2, d4reccount(b));

    ASSERT_EQ(0, d4lock_append(b));
    EXPECT_EQ(2, d4reccount(b));
    std::string bytes = readFile(e.path("COUNT.DBF"));
    putLe32(bytes, 4, 7);
    writeFile(e.path("COUNT.DBF"), bytes);
    EXPECT_EQ(2, d4reccount(b)) << "cached under the append lock";
    ASSERT_EQ(0, d4unlock(b));
    EXPECT_EQ(-1, b->num_recs);
    EXPECT_EQ(7, d4reccount(b));

    putLe32(bytes, 4, 0x80000000u);
    writeFile(e.path("COUNT.DBF"), bytes);
    EXPECT_EQ(-1, d4reccount(b));
}

TEST(DataFileClose, WritesPendingChangeButNotOneRefusedAsUniqueKey)
{
    Engine e;
    DATA4 *d = d4create(&e.c4, e.path("close").c_str(), smallFields(), nullptr);
    ASSERT_NE(nullptr, d);
    appendNames(d, {"ONE", "TWO"});
    ASSERT_EQ(0, d4go(d, 1));
    f4assign(d4field(d, "NAME"), "CHANGED");
    EXPECT_EQ(0, d4close(d));

    d = d4open(&e.c4, e.path("close").c_str());
    ASSERT_EQ(0, d4go(d, 1));
    EXPECT_EQ("CHANGED", nameOf(d));
    f4assign(d4field(d, "NAME"), "REFUSED");
    e4set(&e.c4, e4unique);
    EXPECT_EQ(e4unique, d4close(d));
    e4set(&e.c4, 0);

    d = d4open(&e.c4, e.path("close").c_str());
    ASSERT_EQ(0, d4go(d, 1));
    EXPECT_EQ("CHANGED", nameOf(d));
    EXPECT_EQ(-1, d4close(nullptr));
}

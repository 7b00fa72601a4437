// The data dictionary against the files it describes: the three dictionary
// tables are there with the layouts and tags the dictionary is made with
// (tool/ddschema.h) and pass the checks of any table; every sqltable row
// names a data file that opens and whose field descriptors its sqlcolmn
// rows and COLCOUNT equal; its MDXFILE is there; no table is registered
// twice and no column row lacks its table. With --repair the dictionary's
// indexes are rebuilt and column rows of unregistered tables removed.
//
// A stored file name is found as it was written: a bare name (registered
// without paths) in the dictionary's directory, a name with a directory as
// it stands (relative to the dictionary's directory); a data file without
// an extension takes "dbf", an index file "cdx".
#include <algorithm>
#include <cstring>
#include <map>

#include "platform/platform.h"
#include "tool/ddschema.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"
#include "xbase/index/i4index.h"
#include "xbase/u4util.h"
#include "xbcheck/xbcheck.h"

namespace {

struct TableRow {
    std::string creator, table, file, index;
    long columns;
};

struct ColumnRow {
    long rec;
    std::string creator, table, column, type;
    long width, decimals, position;
};

std::string upper(std::string s)
{
    for (char &c : s)
        c = (char)std::toupper((unsigned char)c);
    return s;
}

// Expressions compare without case and blanks: other programs write
// "Upper( NAME )" for "UPPER(NAME)".
std::string squeezed(const std::string &s)
{
    std::string out;
    for (char c : s)
        if (c != ' ')
            out += (char)std::toupper((unsigned char)c);
    return out;
}

std::string text(DATA4 *d4, const char *name)
{
    FIELD4 *f = d4field(d4, name);
    if (f == nullptr)
        return std::string();
    std::string s(f4ptr(f), f4len(f));
    s.erase(s.find_last_not_of(' ') + 1);
    s.erase(0, s.find_first_not_of(' '));
    return s;
}

long number(DATA4 *d4, const char *name)
{
    FIELD4 *f = d4field(d4, name);
    return f == nullptr ? -1 : f4long(f);
}

// Where a stored file name is, and how it is shown: `shown` is the stored
// name with the default extension when it has none. "" when not found.
std::string locate(const std::string &prefix, const std::string &stored, const char *ext, std::string *shown)
{
    size_t slash = stored.rfind('/');
    bool hasExt = stored.find('.', slash == std::string::npos ? 0 : slash + 1) != std::string::npos;
    *shown = stored + (hasExt ? "" : std::string(".") + ext);
    std::string path = (!stored.empty() && stored[0] == '/' ? "" : prefix) + *shown;
    std::vector<char> found(path.size() + 4096);
    if (stored.empty() || platform_resolveName(path.c_str(), found.data(), found.size()) != 0)
        return std::string();
    return found.data();
}

// The layout of a dictionary table: its fields, in order, and its tags.
void checkLayout(xbcheckrun *run, const std::string &file, const dddict_table &want,
                 std::vector<xbchecknote> *notes)
{
    DATA4 *d4 = d4open(run->c4, file.c_str());
    if (d4 == nullptr) {
        run->c4->error_code = 0;
        return;
    }
    int n = 0;
    for (const FIELD4INFO *fi = want.fields; fi->name != nullptr; fi++, n++) {
        FIELD4 *f = d4field_j(d4, n + 1);
        char need[32];
        std::snprintf(need, sizeof need, "%c %u", fi->type, fi->len);
        if (f == nullptr || upper(f4name(f)) != fi->name || f4type(f) != fi->type || f4len(f) != fi->len ||
            (unsigned)f4decimals(f) != fi->dec)
            xbcheck_note(notes, XBCHECK_PROBLEM, file, -1,
                         "field " + std::to_string(n + 1) + " is not " + fi->name + " " + need +
                             " as the dictionary's layout has it");
    }
    if (d4num_fields(d4) > n)
        xbcheck_note(notes, XBCHECK_PROBLEM, file, -1,
                     std::to_string(d4num_fields(d4) - n) + " fields more than the dictionary's layout has");
    INDEX4 *i4 = d4->has_mdx ? i4open(d4, nullptr) : nullptr;
    for (const TAG4INFO *ti = want.tags; i4 != nullptr && ti->name != nullptr; ti++) {
        TAG4 *t4 = i4tag(i4, ti->name);
        std::string why;
        if (t4 == nullptr)
            why = "is missing";
        else if (squeezed(expr4source(t4->expr)) != squeezed(ti->expression))
            why = "has the key " + std::string(expr4source(t4->expr)) + ", not " + ti->expression;
        else if (t4->filter == nullptr || squeezed(expr4source(t4->filter)) != squeezed(ti->filter))
            why = "is not filtered " + std::string(ti->filter);
        if (!why.empty())
            xbcheck_note(notes, XBCHECK_PROBLEM, i4->file.name, -1, std::string("tag ") + ti->name + " " + why);
    }
    d4close(d4);
    run->c4->error_code = 0;
}

// The rows of a dictionary table in record order, deleted ones left out.
template <typename Fn> bool readRows(xbcheckrun *run, const std::string &file, Fn fn)
{
    DATA4 *d4 = d4open(run->c4, file.c_str());
    if (d4 == nullptr) {
        run->c4->error_code = 0;
        return false;
    }
    long count = d4reccount(d4);
    for (long rec = 1; rec <= count; rec++)
        if (d4go(d4, rec) == 0 && !d4deleted(d4))
            fn(d4, rec);
    d4close(d4);
    run->c4->error_code = 0;
    return true;
}

// A registered table's data file against its column rows.
// Findings about the row itself name sqltable, those about columns sqlcolmn.
void compareColumns(xbcheckrun *run, const std::string &prefix, const std::string files[],
                    const TableRow &row, const std::vector<const ColumnRow *> &cols,
                    std::vector<xbchecknote> *notes)
{
    std::string tag = "table " + row.table + ": ", shown;
    auto note = [&](const std::string &what) { xbcheck_note(notes, XBCHECK_PROBLEM, files[0], -1, tag + what); };
    auto column = [&](const std::string &what) { xbcheck_note(notes, XBCHECK_PROBLEM, files[1], -1, tag + what); };
    std::string path = locate(prefix, row.file, "dbf", &shown);
    if (path.empty()) {
        note("file " + shown + " is gone");
        return;
    }
    e4clearErrorState();
    DATA4 *d4 = d4open(run->c4, path.c_str());
    if (d4 == nullptr) {
        note("file " + shown + " does not open" + xbcheck_lastReport());
        run->c4->error_code = 0;
        return;
    }
    int n = d4num_fields(d4);
    if (row.columns != n)
        note("COLCOUNT is " + std::to_string(row.columns) + ", the file has " + std::to_string(n) + " fields");
    std::map<std::string, const ColumnRow *> byName;
    for (const ColumnRow *c : cols)
        if (!byName.emplace(upper(c->column), c).second)
            column("column " + c->column + " has two rows");
    for (int j = 1; j <= n; j++) {
        FIELD4 *f = d4field_j(d4, j);
        std::string name = upper(f4name(f));
        auto it = byName.find(name);
        if (it == byName.end()) {
            column("field " + name + " was added (position " + std::to_string(j) + ")");
            continue;
        }
        const ColumnRow &c = *it->second;
        byName.erase(it);
        long width = (long)f4len(f), dec = f4decimals(f);
        std::string type(1, (char)f4type(f));
        if (upper(c.type) != type)
            column("field " + name + " changed type from " + c.type + " to " + type);
        if (c.width != width)
            column("field " + name + (width > c.width ? " widened" : " narrowed") + " from " +
                 std::to_string(c.width) + " to " + std::to_string(width));
        if (c.decimals != dec)
            column("field " + name + " has " + std::to_string(dec) + " decimals, not " + std::to_string(c.decimals));
        if (c.position != j)
            column("field " + name + " moved from position " + std::to_string(c.position) + " to " + std::to_string(j));
    }
    for (const auto &left : byName)
        column("field " + left.second->column + " is gone");
    d4close(d4);
    run->c4->error_code = 0;
    if (!row.index.empty() && locate(prefix, row.index, "cdx", &shown).empty())
        note("index file " + shown + " is gone");
}

// Removes the column rows at `recs` and packs sqlcolmn. 0, or a failure.
int removeRows(xbcheckrun *run, const std::string &file, const std::vector<long> &recs)
{
    CODE4 *c4 = run->c4;
    c4->read_only = 0;
    c4->auto_open = 1;
    DATA4 *d4 = d4open(c4, file.c_str());
    int rc = d4 == nullptr ? -1 : 0;
    for (size_t i = 0; rc == 0 && i < recs.size(); i++) {
        rc = d4go(d4, recs[i]);
        if (rc == 0) {
            d4delete(d4);
            rc = d4write(d4, recs[i]) < 0 ? -1 : 0;
        }
    }
    if (rc == 0)
        rc = d4pack(d4);
    if (d4 != nullptr && d4close(d4) != 0 && rc == 0)
        rc = -1;
    c4->read_only = 1;
    c4->auto_open = 0;
    c4->error_code = 0;
    return rc;
}

// One pass over the dictionary; `list` shows the registered tables.
void checkPass(xbcheckrun *run, const std::string &prefix, bool list, std::vector<xbchecknote> *notes)
{
    // A directive that did not finish left its journal: until the next one
    // undoes its changes, the dictionary may hold half of them.
    std::vector<char> journal(prefix.size() + 4096);
    if (platform_resolveName((prefix + dddict_journal).c_str(), journal.data(), journal.size()) == 0)
        xbcheck_note(notes, XBCHECK_PROBLEM, journal.data(), -1,
                     "a catalogr directive did not finish; the next one undoes its changes");
    // files[0] is sqltable's, files[1] sqlcolmn's, files[2] sqlindex's.
    std::string files[DDDICT_TABLES];
    for (const dddict_table &table : dddict_tables) {
        int i = table.name == ddmain_sqltable ? 0 : table.name == ddmain_sqlcolmn ? 1 : 2;
        std::string path = prefix + table.name + ".DBF";
        std::vector<char> name(path.begin(), path.end());
        name.push_back(0);
        u4name_ext(name.data(), (int)name.size(), "DBF", 0);
        std::vector<char> found(name.size() + 4096);
        if (platform_resolveName(name.data(), found.data(), found.size()) != 0) {
            xbcheck_note(notes, XBCHECK_PROBLEM, name.data(), -1,
                         std::string("the dictionary table ") + table.name + " is missing");
            continue;
        }
        files[i] = found.data();
        xbcheck_checkTable(run, files[i].c_str(), table.tags, true, notes);
        checkLayout(run, files[i], table, notes);
    }
    std::vector<TableRow> tables;
    std::vector<ColumnRow> columns;
    if (files[0].empty() || files[1].empty() ||
        !readRows(run, files[0], [&](DATA4 *d4, long) {
            tables.push_back({text(d4, "CREATOR"), text(d4, "TABLE"), text(d4, "FILENAME"), text(d4, "MDXFILE"),
                              number(d4, "COLCOUNT")});
        }) ||
        !readRows(run, files[1], [&](DATA4 *d4, long rec) {
            columns.push_back({rec, text(d4, "CREATOR"), text(d4, "TABLE"), text(d4, "COLUMN"), text(d4, "TYPE"),
                               number(d4, "WIDTH"), number(d4, "DECIMALS"), number(d4, "POSITION")});
        }))
        return;

    std::map<std::pair<std::string, std::string>, std::vector<const ColumnRow *>> byTable;
    for (const ColumnRow &c : columns)
        byTable[{c.creator, c.table}].push_back(&c);
    std::map<std::pair<std::string, std::string>, int> seen;
    for (const TableRow &row : tables) {
        if (list)
            xbcheck_putRegistered(&run->out, row.table, row.file, row.index, row.columns);
        if (++seen[{row.creator, row.table}] == 2)
            xbcheck_note(notes, XBCHECK_PROBLEM, files[0], -1, "table " + row.table + " is registered twice");
        else if (seen[{row.creator, row.table}] == 1)
            compareColumns(run, prefix, files, row, byTable[{row.creator, row.table}], notes);
    }
    // Removed in one pack: record numbers move with every pack.
    std::vector<std::string> orphans;
    std::vector<long> recs;
    for (const auto &group : byTable) {
        if (seen.count(group.first) != 0 || group.second.empty())
            continue;
        std::string what = std::to_string(group.second.size()) + " column row" +
                           (group.second.size() == 1 ? "" : "s") + " of unregistered table " + group.first.second;
        xbcheck_note(notes, XBCHECK_PROBLEM, files[1], -1, what);
        orphans.push_back(what);
        for (const ColumnRow *c : group.second)
            recs.push_back(c->rec);
    }
    if (!run->repair || orphans.empty())
        return;
    bool removed = removeRows(run, files[1], recs) == 0;
    for (const std::string &what : orphans)
        xbcheck_note(notes, removed ? XBCHECK_REPAIRED : XBCHECK_PROBLEM, files[1], -1,
                     (removed ? "removed " : "could not remove ") + what);
}

} // namespace

int xbcheck_checkDictionary(xbcheckrun *run, const std::string &directory)
{
    std::string prefix = directory.empty() ? "" : directory + (directory.back() == '/' ? "" : "/");
    xbcheck_beginDictionary(&run->out, directory.empty() ? "." : directory);
    std::vector<xbchecknote> notes;
    checkPass(run, prefix, true, &notes);
    const char *result = xbcheck_has(notes, XBCHECK_CHANGED) ? "changed" : xbcheck_has(notes, XBCHECK_PROBLEM) ? "problems" : "ok";
    if (run->repair && std::strcmp(result, "problems") == 0) {
        std::vector<xbchecknote> again;
        run->repair = 0;
        checkPass(run, prefix, false, &again);
        run->repair = 1;
        for (xbchecknote &n : again)
            if (n.kind == XBCHECK_PROBLEM)
                n.kind = XBCHECK_REMAINS;
        notes.insert(notes.end(), again.begin(), again.end());
        result = xbcheck_has(again, XBCHECK_CHANGED) ? "changed" : xbcheck_has(again, XBCHECK_REMAINS) ? "remains" : "repaired";
    }
    xbcheck_endDictionary(&run->out, notes, result);
    bool ok = std::strcmp(result, "ok") == 0 || std::strcmp(result, "repaired") == 0;
    return ok ? XBCHECK_OK : XBCHECK_FOUND;
}

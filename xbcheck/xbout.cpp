// The output of xbcheck in its three formats. Every line of the text and
// csv formats begins with a word saying what it is, so that scripts can
// pick lines out; json is one document. The README documents all three,
// and they stay as they are.
//
// text (for people; indented lines belong to the table above them):
//   table FILE
//     version 0x03, 30 records, header 290 bytes, record 52 bytes,
//     production index yes, last update 2024-12-08        (one line)
//     fields: N / index FILE: N tags / records / keys of tag T, each
//     followed by an aligned table
//   problem|changed|repaired|remains FILE[ block N]: TEXT
//   result FILE: ok | N problems | changed under the check |
//                N problems, repaired | N problems, M remain
// csv (RFC 4180 quoting; the first column is the line's kind):
//   table,FILE,VERSION,RECORDS,HEADER,RECORD,PRODUCTION,LAST_UPDATE
//   field,FILE,NAME,TYPE,WIDTH,DECIMALS,OFFSET
//   index,FILE,INDEX_FILE,TAGS
//   tag,FILE,NAME,KEY,FILTER,UNIQUE,DESCENDING,TYPE,LENGTH,KEYS
//   record,FILE,NUMBER,DELETED,VALUE...
//   key,FILE,TAG,RECORD,KEY
//   problem|changed|repaired|remains,FILE,BLOCK,TEXT
//   result,FILE,STATUS,PROBLEMS,REMAINS
//   dictionary,DIRECTORY / registered,TABLE,FILE,INDEX,COLUMNS
// json: {"program","version","tables":[{...}],"status"} or
//   {"program","version","dictionary":{...},"status"}; see the README.
#include <algorithm>
#include <cstring>

#include "xbcheck/xbcheck.h"

namespace {

const char *const kKinds[] = {"problem", "changed", "repaired", "remains"};

void put(xbcheckoutput *o, const std::string &s) { std::fwrite(s.data(), 1, s.size(), o->out); }

std::string csvField(const std::string &s)
{
    std::string shown = xbcheck_shown(s.data(), s.size(), false);
    if (shown.find_first_of(",\"") == std::string::npos)
        return shown;
    std::string q = "\"";
    for (char c : shown)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

void csvLine(xbcheckoutput *o, const std::vector<std::string> &cells)
{
    std::string line;
    for (size_t i = 0; i < cells.size(); i++)
        line += (i > 0 ? "," : "") + csvField(cells[i]);
    put(o, line + "\n");
}

// Length of the well-formed UTF-8 sequence at `p` (at most `n` bytes
// there), or 0.
size_t utf8Length(const unsigned char *p, size_t n)
{
    size_t len = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
    if (len == 0 || len > n)
        return 0;
    for (size_t i = 1; i < len; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return len;
}

// A json string. Bytes that are not well-formed UTF-8 (text in another code
// page) are written as \u00XX, the byte's value.
std::string jstr(const std::string &s)
{
    std::string out = "\"";
    const unsigned char *p = (const unsigned char *)s.data();
    for (size_t i = 0; i < s.size();) {
        unsigned char c = p[i];
        size_t len = c >= 0x80 ? utf8Length(p + i, s.size() - i) : 1;
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7F || len == 0) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            len = 1;
        } else {
            out.append(s, i, len);
        }
        i += len;
    }
    return out + "\"";
}

std::string jbool(bool b) { return b ? "true" : "false"; }

// Opens an item of a json array: a comma before every item but the first.
void jitem(xbcheckoutput *o)
{
    if (!o->firstItem)
        put(o, ",");
    o->firstItem = false;
}

std::string lastUpdate(const xbcheckheader &h)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", 1900 + h.yy, h.mm, h.dd);
    return buf;
}

std::string hex2(int v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", v & 0xFF);
    return buf;
}

std::string yesNo(bool b) { return b ? "yes" : "no"; }

// Rows of cells under a heading row, each column as wide as its widest
// cell; the columns in `right` are aligned right.
void putAligned(xbcheckoutput *o, const std::vector<std::vector<std::string>> &rows,
                const std::vector<bool> &right)
{
    std::vector<size_t> width;
    for (const auto &row : rows)
        for (size_t j = 0; j < row.size(); j++) {
            if (width.size() <= j)
                width.push_back(0);
            width[j] = std::max(width[j], row[j].size());
        }
    for (const auto &row : rows) {
        std::string line = "    ";
        for (size_t j = 0; j < row.size(); j++) {
            std::string pad(width[j] - row[j].size(), ' ');
            bool r = j < right.size() && right[j];
            line += (r ? pad + row[j] : row[j] + pad) + (j + 1 < row.size() ? "  " : "");
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        put(o, line + "\n");
    }
}

std::string noteText(const xbchecknote &n)
{
    std::string where = n.file;
    if (n.block >= 0)
        where += " block " + std::to_string(n.block);
    return std::string(kKinds[n.kind]) + " " + where + ": " + n.text;
}

void putNotes(xbcheckoutput *o, const std::vector<xbchecknote> &notes)
{
    if (o->format == XBCHECK_TEXT) {
        for (const xbchecknote &n : notes)
            put(o, xbcheck_shown(noteText(n).c_str(), noteText(n).size(), false) + "\n");
    } else if (o->format == XBCHECK_CSV) {
        for (const xbchecknote &n : notes)
            csvLine(o, {kKinds[n.kind], n.file, n.block >= 0 ? std::to_string(n.block) : "", n.text});
    } else {
        put(o, ",\"notes\":[");
        for (size_t i = 0; i < notes.size(); i++) {
            const xbchecknote &n = notes[i];
            put(o, std::string(i > 0 ? "," : "") + "{\"kind\":" + jstr(kKinds[n.kind]) +
                       ",\"file\":" + jstr(n.file) +
                       ",\"block\":" + (n.block >= 0 ? std::to_string(n.block) : "null") +
                       ",\"text\":" + jstr(n.text) + "}");
        }
        put(o, "]");
    }
}

void putResult(xbcheckoutput *o, const std::string &file, const std::vector<xbchecknote> &notes,
               const char *status)
{
    long problems = xbcheck_count(notes, XBCHECK_PROBLEM), remains = xbcheck_count(notes, XBCHECK_REMAINS);
    if (o->format == XBCHECK_CSV) {
        csvLine(o, {"result", file, status, std::to_string(problems), std::to_string(remains)});
        return;
    }
    if (o->format == XBCHECK_JSON) {
        put(o, ",\"result\":{\"status\":" + jstr(status) + ",\"problems\":" + std::to_string(problems) +
                   ",\"remains\":" + std::to_string(remains) + "}");
        return;
    }
    std::string what = std::to_string(problems) + (problems == 1 ? " problem" : " problems");
    if (std::strcmp(status, "ok") == 0)
        what = "ok";
    else if (std::strcmp(status, "changed") == 0)
        what = "changed under the check";
    else if (std::strcmp(status, "repaired") == 0)
        what += ", repaired";
    else if (std::strcmp(status, "remains") == 0)
        what += ", " + std::to_string(remains) + (remains == 1 ? " remains" : " remain");
    put(o, "result " + xbcheck_shown(file.data(), file.size(), false) + ": " + what + "\n");
}

} // namespace

void xbcheck_beginRun(xbcheckoutput *o, bool dictionary)
{
    o->firstTable = true;
    o->dictionary = dictionary;
    if (o->format == XBCHECK_JSON)
        put(o, "{\"program\":\"xbcheck\",\"version\":" + jstr(XBCHECK_VERSION) +
                   (dictionary ? ",\"dictionary\":" : ",\"tables\":["));
}

void xbcheck_endRun(xbcheckoutput *o, int status)
{
    if (o->format == XBCHECK_JSON)
        put(o, std::string(o->dictionary ? "" : "]") + ",\"status\":" + std::to_string(status) + "}\n");
    std::fflush(o->out);
}

void xbcheck_putTable(xbcheckoutput *o, const xbchecktable *t)
{
    const xbcheckheader &h = t->header;
    if (o->format == XBCHECK_TEXT) {
        put(o, "table " + xbcheck_shown(t->file.data(), t->file.size(), false) + "\n");
        if (h.valid)
            put(o, "  version " + hex2(h.version) + ", " + std::to_string(h.records) + " records, header " +
                       std::to_string(h.headerLen) + " bytes, record " + std::to_string(h.recordLen) +
                       " bytes, production index " + yesNo(h.production != 0) + ", last update " +
                       lastUpdate(h) + "\n");
        if (!h.fields.empty()) {
            put(o, "  fields: " + std::to_string(h.fields.size()) + "\n");
            std::vector<std::vector<std::string>> rows{{"name", "type", "width", "decimals", "offset"}};
            for (const xbcheckfield &f : h.fields)
                rows.push_back({xbcheck_shown(f.name.data(), f.name.size(), false), std::string(1, f.type),
                                std::to_string(f.width), std::to_string(f.decimals), std::to_string(f.offset)});
            putAligned(o, rows, {false, false, true, true, true});
        }
        if (t->index != nullptr) {
            put(o, "  index " + xbcheck_shown(t->indexFile.data(), t->indexFile.size(), false) + ": " +
                       std::to_string(t->tags.size()) + " tags\n");
            std::vector<std::vector<std::string>> rows{
                {"tag", "key", "filter", "unique", "descending", "type", "length", "keys"}};
            for (const xbchecktag &g : t->tags)
                rows.push_back({g.name, xbcheck_shown(g.key.data(), g.key.size(), false),
                                xbcheck_shown(g.filter.data(), g.filter.size(), false), yesNo(g.unique),
                                yesNo(g.descending), std::string(1, g.type), std::to_string(g.keyLen),
                                g.keys >= 0 ? std::to_string(g.keys) : "?"});
            putAligned(o, rows, {false, false, false, false, false, false, true, true});
        }
        return;
    }
    if (o->format == XBCHECK_CSV) {
        if (h.valid)
            csvLine(o, {"table", t->file, hex2(h.version), std::to_string(h.records), std::to_string(h.headerLen),
                        std::to_string(h.recordLen), yesNo(h.production != 0), lastUpdate(h)});
        else
            csvLine(o, {"table", t->file});
        for (const xbcheckfield &f : h.fields)
            csvLine(o, {"field", t->file, f.name, std::string(1, f.type), std::to_string(f.width),
                        std::to_string(f.decimals), std::to_string(f.offset)});
        if (t->index != nullptr) {
            csvLine(o, {"index", t->file, t->indexFile, std::to_string(t->tags.size())});
            for (const xbchecktag &g : t->tags)
                csvLine(o, {"tag", t->file, g.name, g.key, g.filter, yesNo(g.unique), yesNo(g.descending),
                            std::string(1, g.type), std::to_string(g.keyLen),
                            g.keys >= 0 ? std::to_string(g.keys) : ""});
        }
        return;
    }
    put(o, std::string(o->firstTable ? "" : ",") + "{\"file\":" + jstr(t->file));
    o->firstTable = false;
    if (h.valid)
        put(o, ",\"header\":{\"version\":" + std::to_string(h.version & 0xFF) +
                   ",\"records\":" + std::to_string(h.records) + ",\"header_length\":" +
                   std::to_string(h.headerLen) + ",\"record_length\":" + std::to_string(h.recordLen) +
                   ",\"production_index\":" + jbool(h.production != 0) + ",\"last_update\":" +
                   jstr(lastUpdate(h)) + "}");
    put(o, ",\"fields\":[");
    for (size_t i = 0; i < h.fields.size(); i++) {
        const xbcheckfield &f = h.fields[i];
        put(o, std::string(i > 0 ? "," : "") + "{\"name\":" + jstr(f.name) + ",\"type\":" +
                   jstr(std::string(1, f.type)) + ",\"width\":" + std::to_string(f.width) +
                   ",\"decimals\":" + std::to_string(f.decimals) + ",\"offset\":" + std::to_string(f.offset) +
                   "}");
    }
    put(o, "]");
    if (t->index != nullptr) {
        put(o, ",\"index\":{\"file\":" + jstr(t->indexFile) + ",\"tags\":[");
        for (size_t i = 0; i < t->tags.size(); i++) {
            const xbchecktag &g = t->tags[i];
            put(o, std::string(i > 0 ? "," : "") + "{\"name\":" + jstr(g.name) + ",\"key\":" + jstr(g.key) +
                       ",\"filter\":" + jstr(g.filter) + ",\"unique\":" + jbool(g.unique) +
                       ",\"descending\":" + jbool(g.descending) + ",\"type\":" +
                       jstr(std::string(1, g.type)) + ",\"length\":" + std::to_string(g.keyLen) +
                       ",\"keys\":" + (g.keys >= 0 ? std::to_string(g.keys) : "null") + "}");
        }
        put(o, "]}");
    }
}

void xbcheck_beginRecords(xbcheckoutput *o, const xbchecktable *t)
{
    if (o->format == XBCHECK_TEXT) {
        // Streamed: each column is as wide as its field could show.
        o->widths.clear();
        o->right.clear();
        std::string line = "  records\n    record  deleted";
        for (const xbcheckfield &f : t->header.fields) {
            bool memo = f.type == 'M' || f.type == 'G' || f.type == 'B';
            size_t w = std::max(f.name.size(), memo ? (size_t)43 : std::min<size_t>(f.width, 40));
            o->widths.push_back(w);
            o->right.push_back(f.type == 'N' || f.type == 'F');
            line += "  " + f.name + std::string(w - f.name.size(), ' ');
        }
        while (line.back() == ' ')
            line.pop_back();
        put(o, line + "\n");
    } else if (o->format == XBCHECK_JSON) {
        put(o, ",\"records\":[");
        o->firstItem = true;
    }
}

void xbcheck_putRecord(xbcheckoutput *o, const xbchecktable *t, long rec, bool deleted,
                       const std::vector<std::string> &values)
{
    if (o->format == XBCHECK_CSV) {
        std::vector<std::string> cells{"record", t->file, std::to_string(rec), yesNo(deleted)};
        cells.insert(cells.end(), values.begin(), values.end());
        csvLine(o, cells);
    } else if (o->format == XBCHECK_JSON) {
        jitem(o);
        std::string line = "{\"record\":" + std::to_string(rec) + ",\"deleted\":" + jbool(deleted) + ",\"values\":[";
        for (size_t i = 0; i < values.size(); i++)
            line += (i > 0 ? "," : "") + jstr(values[i]);
        put(o, line + "]}");
    } else {
        std::string n = std::to_string(rec);
        std::string line = "    " + std::string(n.size() < 6 ? 6 - n.size() : 0, ' ') + n + "  " +
                           (deleted ? "*" : " ") + "      ";
        for (size_t j = 0; j < values.size(); j++) {
            std::string v = xbcheck_shown(values[j].data(), values[j].size(), false);
            std::string pad(j < o->widths.size() && v.size() < o->widths[j] ? o->widths[j] - v.size() : 0, ' ');
            line += "  " + (j < o->right.size() && o->right[j] ? pad + v : v + pad);
        }
        while (line.back() == ' ')
            line.pop_back();
        put(o, line + "\n");
    }
}

void xbcheck_endRecords(xbcheckoutput *o)
{
    if (o->format == XBCHECK_JSON)
        put(o, "]");
}

void xbcheck_beginKeys(xbcheckoutput *o, const xbchecktable *t, const char *tag)
{
    (void)t;
    if (o->format == XBCHECK_TEXT) {
        put(o, std::string("  keys of tag ") + tag + "\n    record  key\n");
    } else if (o->format == XBCHECK_JSON) {
        put(o, ",\"keys\":{\"tag\":" + jstr(tag) + ",\"entries\":[");
        o->firstItem = true;
    }
}

void xbcheck_putKey(xbcheckoutput *o, const xbchecktable *t, const char *tag, long rec, const std::string &key)
{
    if (o->format == XBCHECK_CSV) {
        csvLine(o, {"key", t->file, tag, std::to_string(rec), key});
    } else if (o->format == XBCHECK_JSON) {
        jitem(o);
        put(o, "{\"record\":" + std::to_string(rec) + ",\"key\":" + jstr(key) + "}");
    } else {
        put(o, "    " + std::to_string(rec) + "  " + xbcheck_shown(key.data(), key.size(), false) + "\n");
    }
}

void xbcheck_endKeys(xbcheckoutput *o)
{
    if (o->format == XBCHECK_JSON)
        put(o, "]}");
}

void xbcheck_endTable(xbcheckoutput *o, const std::string &file, const std::vector<xbchecknote> &notes,
                      const char *status)
{
    putNotes(o, notes);
    putResult(o, file, notes, status);
    if (o->format == XBCHECK_JSON)
        put(o, "}");
}

void xbcheck_beginDictionary(xbcheckoutput *o, const std::string &directory)
{
    if (o->format == XBCHECK_TEXT) {
        put(o, "dictionary " + xbcheck_shown(directory.data(), directory.size(), false) + "\n");
        o->rows = {{"table", "file", "index", "columns"}};
    } else if (o->format == XBCHECK_CSV) {
        csvLine(o, {"dictionary", directory});
    } else {
        put(o, "{\"directory\":" + jstr(directory) + ",\"tables\":[");
        o->firstItem = true;
    }
}

void xbcheck_putRegistered(xbcheckoutput *o, const std::string &table, const std::string &file,
                           const std::string &index, long columns)
{
    if (o->format == XBCHECK_CSV) {
        csvLine(o, {"registered", table, file, index, std::to_string(columns)});
    } else if (o->format == XBCHECK_JSON) {
        jitem(o);
        put(o, "{\"table\":" + jstr(table) + ",\"file\":" + jstr(file) + ",\"index\":" + jstr(index) +
                   ",\"columns\":" + std::to_string(columns) + "}");
    } else {
        o->rows.push_back({xbcheck_shown(table.data(), table.size(), false),
                           xbcheck_shown(file.data(), file.size(), false),
                           index.empty() ? "-" : xbcheck_shown(index.data(), index.size(), false),
                           std::to_string(columns)});
    }
}

void xbcheck_endDictionary(xbcheckoutput *o, const std::vector<xbchecknote> &notes, const char *status)
{
    if (o->format == XBCHECK_JSON)
        put(o, "]");
    if (o->format == XBCHECK_TEXT && o->rows.size() > 1)
        putAligned(o, o->rows, {false, false, false, true});
    o->rows.clear();
    putNotes(o, notes);
    putResult(o, "dictionary", notes, status);
    if (o->format == XBCHECK_JSON)
        put(o, "}");
}

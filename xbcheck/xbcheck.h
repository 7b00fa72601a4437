// xbcheck: shows what a table and the data dictionary hold, proves them
// consistent, and repairs their indexes. The records every part of the
// program shares, and the functions each file of this folder owns:
//   xbmain.cpp   the command line, the run over the named files, exit status
//   xbout.cpp    the three output formats (text, csv, json)
//   xbtable.cpp  a table's header, descriptors, record count and memo
//                references; listing its records
//   xbkeys.cpp   the production index: trees, keys against records, marks
//   xbrun.cpp    checking a table as a whole, and rebuilding its index
//   xbdict.cpp   the dictionary against the files it describes
//
// What a check keeps true:
//  C1. Files are read only: the engine's context is read-only, so it takes
//      no lock and never writes; only --repair opens files for writing.
//  C2. A finding is reported as damage only when the index version and the
//      record count were the same before and after the check; otherwise the
//      table changed under the check, which is said instead (xbcheck_checkTable).
//  C3. Memory does not grow with the number of findings: each check keeps
//      and prints at most XBCHECK_LINES_MAX lines and counts the rest.
#ifndef CATALOGR_XBCHECK_H
#define CATALOGR_XBCHECK_H

#include <cstdio>
#include <string>
#include <vector>

#include "xbase/x4types.h"

struct TAG4INFO;

enum { XBCHECK_TEXT = 0, XBCHECK_CSV = 1, XBCHECK_JSON = 2 };

// Exit statuses.
enum { XBCHECK_OK = 0, XBCHECK_FOUND = 1, XBCHECK_USAGE = 2 };

// Lines one check (a tag's keys, a table's memo references) prints before
// it only counts.
enum { XBCHECK_LINES_MAX = 100 };

// What a finding is: damage; the table changed while it was read; what
// --repair changed; damage still there after the repair.
enum { XBCHECK_PROBLEM = 0, XBCHECK_CHANGED = 1, XBCHECK_REPAIRED = 2, XBCHECK_REMAINS = 3 };

struct xbchecknote {
    int kind;
    std::string file;   // the file the finding is about
    long block;         // an index block's offset, or -1
    std::string text;
};

// A field as its descriptor says.
struct xbcheckfield {
    std::string name;
    char type;
    unsigned width;
    unsigned decimals;
    unsigned offset;    // first byte in the record; the first field is at 1
};

// The header as stored; `valid` once it and the descriptors could be read.
struct xbcheckheader {
    bool valid;
    int version;
    long records;
    long headerLen;
    long recordLen;
    int production;     // the production-index flag
    int yy, mm, dd;     // last update: years since 1900, month, day
    long fileLen;
    std::vector<xbcheckfield> fields;
};

struct xbchecktag {
    std::string name, key, filter;
    bool unique, descending;
    char type;          // the key expression's result type
    int keyLen;
    long keys;          // entries counted by the check; -1 not counted
    bool sound;         // its tree checked without a problem
};

struct xbchecktable {
    std::string file;           // the data file as opened
    xbcheckheader header;
    DATA4 *data;                // open through the engine (its index not), or null
    INDEX4 *index;              // the production index, or null
    std::string indexFile;      // its name, when the header promises one
    std::vector<xbchecktag> tags;
    std::vector<xbchecknote> notes;
    bool indexDamaged;          // a problem --repair can mend by a rebuild
    const TAG4INFO *definitions;// the tags the production index must have, when known
};

struct xbcheckoutput {
    int format;
    FILE *out;
    bool dictionary;    // the run is over the dictionary, not tables
    bool firstTable;    // json: no table written yet
    bool firstItem;     // json: no item written yet in the open array
    std::vector<std::vector<std::string>> rows; // text: registered tables, aligned at the end
    std::vector<size_t> widths;     // text: the record listing's columns
    std::vector<bool> right;        // text: its columns aligned right
};

// One run of the program.
struct xbcheckrun {
    CODE4 *c4;
    xbcheckoutput out;
    int records;            // --records
    std::string keysTag;    // --keys TAG, or empty
    int repair;             // --repair
    int status;             // the worst exit status so far
    double started;         // when the current table's check began (seconds)
    bool progressShown;     // a progress line stands on standard error
    bool progressAllowed;   // standard error is a terminal
};

// ---- xbmain.cpp -------------------------------------------------------------

// The program: the command line, then each table or the dictionary; the
// exit status.
int xbcheck_main(int argc, char **argv);
// Readies an engine context as the checks use it: read-only (C1), opens
// and missing tags not reported by the engine, no production index opened
// with a table.
void xbcheck_initContext(CODE4 *c4);
// A line on standard error beginning "xbcheck: ".
void xbcheck_complain(const std::string &text);
// "xbcheck: FILE: TAG 3/5 40%" on standard error, rewritten in place, once
// the current table's check has run a second and standard error is a
// terminal; an empty text clears it.
void xbcheck_progress(xbcheckrun *run, const std::string &text);
// Seconds of a steady clock.
double xbcheck_now();
// Findings of a kind: how many, and whether there is one.
long xbcheck_count(const std::vector<xbchecknote> &notes, int kind);
bool xbcheck_has(const std::vector<xbchecknote> &notes, int kind);
// ": " and the engine's last report, or "" when it made none: the end of a
// finding that an engine call failed.
std::string xbcheck_lastReport();
// Adds a finding to `notes`.
void xbcheck_note(std::vector<xbchecknote> *notes, int kind, const std::string &file, long block,
                  const std::string &text);
// Bytes shown as text: control characters as '?'; `quote` adds double quotes.
std::string xbcheck_shown(const char *bytes, size_t len, bool quote);

// ---- xbout.cpp ----------------------------------------------------------------

void xbcheck_beginRun(xbcheckoutput *o, bool dictionary);
// Ends the document with the exit status.
void xbcheck_endRun(xbcheckoutput *o, int status);
// A table's header, fields and tags (its open json object stays open).
void xbcheck_putTable(xbcheckoutput *o, const xbchecktable *t);
void xbcheck_beginRecords(xbcheckoutput *o, const xbchecktable *t);
void xbcheck_putRecord(xbcheckoutput *o, const xbchecktable *t, long rec, bool deleted,
                       const std::vector<std::string> &values);
void xbcheck_endRecords(xbcheckoutput *o);
void xbcheck_beginKeys(xbcheckoutput *o, const xbchecktable *t, const char *tag);
void xbcheck_putKey(xbcheckoutput *o, const xbchecktable *t, const char *tag, long rec,
                    const std::string &key);
void xbcheck_endKeys(xbcheckoutput *o);
// The findings and the result line; closes the table.
void xbcheck_endTable(xbcheckoutput *o, const std::string &file,
                      const std::vector<xbchecknote> &notes, const char *status);
// The dictionary: its directory, then one row per registered table.
void xbcheck_beginDictionary(xbcheckoutput *o, const std::string &directory);
void xbcheck_putRegistered(xbcheckoutput *o, const std::string &table, const std::string &file,
                           const std::string &index, long columns);
void xbcheck_endDictionary(xbcheckoutput *o, const std::vector<xbchecknote> &notes,
                           const char *status);

// ---- xbtable.cpp --------------------------------------------------------------

// Opens the data file read-only and checks its header, descriptors and
// record count (filling t->header), then opens it through the engine
// without its index. 0; 1 when the file is damaged (noted); XBCHECK_USAGE
// when it cannot be opened at all (said on standard error).
int xbcheck_openTable(xbcheckrun *run, const char *name, xbchecktable *t);
// Every memo reference of every record lies inside the memo file and names
// a well-formed entry that no other reference shares.
void xbcheck_checkMemos(xbcheckrun *run, xbchecktable *t);
// Lists every record (--records).
void xbcheck_listRecords(xbcheckrun *run, xbchecktable *t);
// The name of the file beside `file` with the extension `ext`, in the case
// of the data file's own extension (t.dbf: t.fpt, T.DBF: T.FPT).
std::string xbcheck_sibling(const std::string &file, const char *ext);
// Closes what the table holds open.
void xbcheck_closeTable(xbchecktable *t);
// The record count and file length now, for C2; -1 when unreadable.
long xbcheck_recordCount(xbcheckrun *run, const std::string &file, long *fileLen);
// The values of a record's fields as --records shows them: trimmed text,
// memo texts shortened.
std::vector<std::string> xbcheck_values(xbchecktable *t, const char *record);

// ---- xbkeys.cpp -----------------------------------------------------------------

// Opens the production index the header promises (t->index); a file that
// is missing, marked or will not open is noted. 0 when it is open.
int xbcheck_openIndex(xbcheckrun *run, xbchecktable *t);
// The trees and free list of the index, and every tag's keys against the
// records (a sort of the records' keys merged with the tree's leaves).
void xbcheck_checkIndex(xbcheckrun *run, xbchecktable *t);
// The in-flight marks of an index header's first 16 bytes: one text per
// mark found.
std::vector<std::string> xbcheck_headerMarks(const unsigned char head[16]);
// The index version stored at offset 8 now; -1 when the header does not
// read, -2 while it marks a change or a pack under way.
long xbcheck_indexVersion(INDEX4 *i4);
// A key as people read it: character keys as text without their padding
// (in double quotes with `quote`), numbers and dates (CCYYMMDD) as values,
// logicals as T or F.
std::string xbcheck_keyText(TAG4 *t4, const unsigned char *key, bool quote);
// Lists the keys of tag `name` in the tag's order (--keys).
int xbcheck_listKeys(xbcheckrun *run, xbchecktable *t, const std::string &name);

// ---- xbrun.cpp ------------------------------------------------------------------

// Checks, describes and (with --repair) repairs one table; the table's
// exit status. `definitions` are its production index's tags when known
// (null otherwise); `quiet` checks without describing (the dictionary's own
// tables), adding the findings to `notes` instead.
int xbcheck_checkTable(xbcheckrun *run, const char *name, const TAG4INFO *definitions,
                       bool quiet, std::vector<xbchecknote> *notes);
// Rebuilds the production index of the table (recreating it from its
// definitions when it will not open); notes what it changed.
void xbcheck_repairIndex(xbcheckrun *run, const char *name, const TAG4INFO *definitions,
                         std::vector<xbchecknote> *notes);

// ---- xbdict.cpp -------------------------------------------------------------------

// --dictionary: lists the registered tables and checks the dictionary
// against its files; the exit status.
int xbcheck_checkDictionary(xbcheckrun *run, const std::string &directory);

#endif

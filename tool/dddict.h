// The data dictionary's directives: creating it (INIT), registering and
// removing tables (TA, TD) and recording index files (IA, ID), and the steps
// those directives share. Its tables' layouts are ddschema.h.
#ifndef CATALOGR_DDDICT_H
#define CATALOGR_DDDICT_H

#include <functional>
#include <string>

#include "tool/ddschema.h"
#include "xbase/xbase.h"

// A table as the dictionary names it: the argument upper-cased in place
// through the code set. A name the dictionary cannot hold is refused
// (ddmain_refuse says why) and nothing is written: an empty or blank name,
// one with blanks or control characters, one that is not valid text of the
// code set, or one longer than TABLE's 30 bytes once upper-cased (never cut
// into the name of another table). 0 with `name` set, or 0x8000.
int ddmain_tableName(char *argument, std::string *name);

// The 38-character search key of tags CRTB and CCRTB: the creator ("PUBLIC"
// when null) and the table name, each blank-padded or cut to its width.
std::string ddmain_searchKey(const char *userName, const std::string &tableName);

// currentDir joined with `name` (no extension added). 0, or 0x8000 when the
// result would not be a usable file name.
int ddmain_inCurrentDir(std::string *out, const char *name);

// Opens dictionary table `baseName` of currentDir; null when it does not
// open (the engine's report, if any, stays for the front end to show).
DATA4 *ddmain_openDictionary(const char *baseName);
// 1 when the file `baseName`.`ext` of the dictionary is in currentDir, its
// final component in any case (as the engine opens it), with its name in
// `path`; else 0 with `path` the name INIT would give it.
int ddmain_dictionaryFile(std::string *path, const char *baseName, const char *ext);
// Says on standard error why the dictionary tables `baseNames` (`count` of
// them) did not all open: that there is no dictionary here at all, which of
// their files is missing, or the system's reason for the one that did not
// open. Where none of these applies (a damaged file) the engine's report
// says it.
void ddmain_explainDictionary(const char *const *baseNames, int count);

// ---- Keeping the dictionary whole (ddrepair.cpp) ----------------------------

// ddmain_openDictionaryLocked's answer when a table did not open for a
// reason no repair mends (the caller says which, ddmain_explainDictionary).
enum { DDMAIN_OPEN_FAILED = 1 };
// What a directive may change, and so what the journal keeps of each data
// file before it starts: nothing (IA, ID: one row rewritten in place), the
// bytes an append overwrites (TA), or the whole file (TD packs).
enum { DDDICT_NO_JOURNAL = 0, DDDICT_APPEND = 1, DDDICT_WHOLE = 2 };

// Opens the dictionary tables `names` (sqltable before sqlcolmn) and locks
// each, data file and index, for the directive's whole run, its lookups
// included, so that no other directive can move or change a row between a
// lookup and the write that follows. Every directive locks in this order,
// so two never wait for each other. First the changes of a directive that
// did not finish are undone (ddmain_recoverDictionary); an index that is
// missing, damaged or left marked as being rebuilt is rebuilt
// (ddmain_repairIndex). 0 with `tables` open and locked; DDMAIN_OPEN_FAILED
// when a table does not open for another reason; 0x8000 otherwise (a lock
// not taken, a repair that failed, said on standard error).
int ddmain_openDictionaryLocked(const char *const *names, int count, DATA4 **tables);

// A directive's run on the dictionary tables `names`: opened and locked
// as above (a table that does not open: message `openMessage`, and why),
// `body` run, the journal written as `journal` says before its first
// change (ddmain_changing), and its changes then either all kept or all
// undone; a body that changed nothing leaves no journal to undo. A body that met a damaged index (-310) is
// run once more after the indexes are rebuilt. Every data file is closed
// on return. The body's status, or 0x8000 when the changes did not all
// reach the files.
int ddmain_runOnDictionary(const char *const *names, int count, int openMessage, int journal,
                           const std::function<int(DATA4 *const *)> &body);

// Rebuilds the index of dictionary table `table` from `data`, its data
// file opened without its index and under its file lock: the index file
// is removed and made again from the table's tag definitions; with `say`
// standard error is told "rebuilt the index <file> from <data file>".
// 0, or 0x8000.
int ddmain_rebuildIndex(DATA4 *data, const dddict_table &table, int say);
// Rebuilds the index of dictionary table `baseName` under its data file's
// lock: always with `force`, else only when it still does not open there.
int ddmain_repairIndex(const char *baseName, int force);

// Undoes, under the locks of both data files, the changes of a directive
// that did not finish, when its journal is there, and rebuilds the indexes
// of the tables put back; unless `quiet`, standard error is told. 0, or
// 0x8000 (said why; the journal stays for the next directive).
int ddmain_recoverDictionary(int quiet);
// Writes the journal before a change of `tables` (count of them): 0, or
// 0x8000 (said why, nothing changed).
// With `whole` and `firstRows` (the lowest record number the directive is
// going to mark deleted in each table, 0 for none), the journal keeps only
// what a pack may change; with `whole` alone, the whole of each file.
int ddmain_beginChange(DATA4 *const *tables, int count, int whole, const long *firstRows);
// Called by a directive's body before each change of a dictionary table:
// the first call of a run that keeps a journal writes it. 0, or 0x8000
// (said why): the body must then change nothing.
int ddmain_changing(void);
// As ddmain_changing, for a body that only marks rows deleted and packs:
// `firstRows` as for ddmain_beginChange, one for each table of the run
// (it must stay valid for the run).
int ddmain_changingRows(const long *firstRows);
// Ends a change: with `status` 0 every table's changes are written and the
// journal removed; otherwise, or when that fails, the change is undone.
// Every data file is closed. Returns the status.
int ddmain_endChange(DATA4 *const *tables, int count, int status);
// Removes the journal (INIT, making a new dictionary): 0, or 0x8000.
int ddmain_removeJournal(void);

// Selects `tagName` and seeks the table's key: 0 when the table is
// registered (the row found is current), 1 when it is not (the seek stopped
// after it or at the end), or 0x8000 when the tag is missing or the seek
// failed. `seekResult` (when given) receives the seek's own result.
int ddmain_findTable(DATA4 *dictionary, const char *tagName, const std::string &key,
                     int *seekResult);

// Closes every open data file. A directive whose changes did not all reach
// the disk did not succeed: a status of 0 becomes 0x8000 when the close
// fails; any other status is kept.
int ddmain_closeAll(int status);

// The base name of a file argument: directory and extension removed, case
// kept. Empty when the argument has no name piece.
std::string ddmain_baseName(const char *fileArgument);
// 1 when the file argument carries a directory.
int ddmain_hasDirectory(const char *fileArgument);

// Refuses a value that its dictionary field cannot hold: message 2015 with
// `fileArgument` on the output, `why` on standard error. Returns 0x8000.
int ddmain_refuseValue(const char *fileArgument, const std::string &why);

// TA and TD: the sqltable row and the sqlcolmn rows of a table. `tableName`
// is the argument, upper-cased in place; `userName` may be null
// ("PUBLIC"). The table row's functions give the name of the data file they
// opened in `dataFile`, and the column rows are read from exactly that file.
int ddmain_addTableNoPaths(char *tableName, const char *fileName, const char *userName,
                           DATA4 *sqltable, std::string *dataFile);
int ddmain_addTableWithPaths(char *tableName, const char *fileName, const char *userName,
                             DATA4 *sqltable, std::string *dataFile);
int ddmain_addColumns(char *tableName, const char *dataFile, const char *userName,
                      DATA4 *sqlcolmn);
// ddmain_deleteTable returns the seek's result, 2 or 3, when the table is
// not registered (message 2028 written).
int ddmain_deleteTable(char *tableName, const char *userName, DATA4 *sqltable);
int ddmain_deleteColumns(char *tableName, const char *userName, DATA4 *sqlcolmn);

// The index file of the current sqltable row (IA, ID).
int ddmain_operateCombinedIndex(DATA4 *sqltable, const char *tableName, const char *indexName,
                                int operation);
// The index file name registered with paths: the argument's directory (or
// currentDir when it has none), its name and the extension `ext`. 0, or
// 0x8000 when an argument is null or the name would not be usable.
int ddmain_buildPath(std::string *fileName, const char *indexName, const char *ext);

#endif

// The data dictionary's directives: creating it (INIT), registering and
// removing tables (TA, TD) and recording index files (IA, ID), and the steps
// those directives share. Its tables' layouts are ddschema.h.
#ifndef CATALOGR_DDDICT_H
#define CATALOGR_DDDICT_H

#include <string>

#include "tool/ddschema.h"
#include "xbase/x4types.h"

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

// Locks the dictionary tables a directive works on for its whole run, its
// lookups included, so that no other directive (a TD's pack above all) can
// move or change a row between a lookup and the write that follows: the
// whole data file and its indexes of `sqltable`, then of `sqlcolmn` when it
// is given. Every directive locks in this order, so two never wait for
// each other; a directive that finds the tables locked waits. 0, or 0x8000
// when a lock could not be taken.
int ddmain_lockDictionary(DATA4 *sqltable, DATA4 *sqlcolmn);

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

// TA and TD: registering a data file as a table of the dictionary, one
// sqltable row and one sqlcolmn row per field read from the file's own
// descriptors, and removing a table's rows again.
//
// What a registration keeps true:
//  1. Nothing is written unless every value fits its dictionary field
//     (checkFits, and the name checks of the table step).
//  2. The column rows describe exactly the file the table row was counted
//     from: the column step opens the name the table step opened.
//  3. A row that was not appended, or a change that did not reach the disk,
//     fails the directive (0x8000); it is never reported as done.
//  4. A directive's changes are all or nothing: what a failed or killed
//     TA or TD wrote is undone through the journal (ddrepair.cpp).
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tool/dddict.h"
#include "tool/ddmain.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"
#include "xbase/index/t4tag.h"

namespace {

// Opens a user's data file for its field descriptors only. Neither its
// production index nor its memo file is opened: a table whose index uses an
// expression this engine does not know, whose index or memo file is
// missing or damaged, or whose memo file is another program's, still
// registers. When it does not open, message 2015 names `fileArgument` and
// standard error says why, naming the file that was looked for (with the
// extension the engine adds to a name without one).
DATA4 *openDataFile(const std::string &path, const char *fileArgument)
{
    platform_forgetFailure();
    DATA4 *data = d4open_fields(&code_base, path.c_str());
    if (data != nullptr) {
        // Whatever the open reported did not stop it, and has nothing to do
        // with a later failure of the directive.
        e4clearErrorState();
        return data;
    }
    ddmain_putMessage(DDMAIN_MSG_DATA_OPEN, fileArgument, nullptr);
    std::vector<char> tried(path.size() + UTIL_MAX_PATH + 1);
    int code = platform_lastFailure(tried.data(), tried.size()), report = 0;
    e4getErrorInfo(&report, nullptr, 0);
    if (code != 0) {
        ddmain_putReason(ddmain_fileFailure(tried.data(), code));
    } else if (report == e4read || report == e4data) {
        // The file opened but its header and descriptors are not those of
        // a data file: that is the reason, whatever the engine tripped on.
        e4clearErrorState();
        ddmain_putReason(std::string(fileArgument) + " is not a data file");
    }
    return nullptr;
}

// 0 when the dictionary can record every field of `data`; otherwise the
// refusal's status, after its messages.
int checkFits(DATA4 *data, const char *shownName)
{
    const std::string file = shownName;
    int n = d4num_fields(data);
    if (n > DDDICT_COUNT_MAX)
        return ddmain_refuseValue(shownName, file + " has " + std::to_string(n) +
                                                 " fields; the dictionary records at most " +
                                                 std::to_string(DDDICT_COUNT_MAX));
    for (int i = 1; i <= n; i++) {
        FIELD4 *f = d4field_j(data, i);
        std::string field = "field " + std::string(f4name(f)) + " of " + file;
        if (f4len(f) > DDDICT_WIDTH_MAX)
            return ddmain_refuseValue(shownName, field + " is " + std::to_string(f4len(f)) +
                                                     " wide; the dictionary records widths up to " +
                                                     std::to_string(DDDICT_WIDTH_MAX));
        if (f4decimals(f) > DDDICT_DECIMALS_MAX)
            return ddmain_refuseValue(shownName,
                                      field + " has " + std::to_string(f4decimals(f)) +
                                          " decimals; the dictionary records up to " +
                                          std::to_string(DDDICT_DECIMALS_MAX));
    }
    return 0;
}

// Appends the sqltable row: TABLE and CREATOR from the search key (so the
// row's CRTB key is the key searched for), FILENAME `fileValue`, COLCOUNT
// the number of fields of the data file at `dataPath`. `dataFile` receives
// the name of the file actually opened.
int appendTableRow(const std::string &key, const std::string &fileValue,
                   const std::string &dataPath, const char *fileArgument, DATA4 *sqltable,
                   std::string *dataFile)
{
    if (fileValue.size() > DDDICT_FILENAME_LEN)
        return ddmain_refuseValue(fileArgument,
                                  "the file name " + fileValue + " is longer than the " +
                                      std::to_string(DDDICT_FILENAME_LEN) +
                                      " bytes the dictionary records");
    FIELD4 *table = d4field(sqltable, "TABLE");
    FIELD4 *fileName = d4field(sqltable, "FILENAME");
    FIELD4 *colCount = d4field(sqltable, "COLCOUNT");
    FIELD4 *creator = d4field(sqltable, "CREATOR");
    if (table == nullptr || fileName == nullptr || colCount == nullptr || creator == nullptr)
        return DDMAIN_FAILURE;

    DATA4 *data = openDataFile(dataPath, fileArgument);
    if (data == nullptr)
        return DDMAIN_FAILURE;
    int rc = checkFits(data, fileArgument);
    int count = d4num_fields(data);
    *dataFile = data->file.name;
    d4close(data);
    if (rc != 0)
        return rc;

    if (ddmain_changing() != 0 || d4append_start(sqltable, 0) != 0)
        return DDMAIN_FAILURE;
    d4blank(sqltable);
    f4assign(table, key.substr(DDDICT_CREATOR_LEN).c_str());
    f4assign(fileName, fileValue.c_str());
    f4assign(creator, key.substr(0, DDDICT_CREATOR_LEN).c_str());
    f4assign_int(colCount, count);
    return d4append(sqltable) == 0 ? 0 : DDMAIN_FAILURE;
}

// A file argument that names no file (nothing after its last '/', or only
// an extension) cannot be registered under a name.
int refuseNameless(const char *fileArgument)
{
    return ddmain_refuseValue(fileArgument, std::string(fileArgument) + " names no file");
}

// Packs `dictionary`, removing its rows marked deleted for good.
int packRemoved(DATA4 *dictionary) { return d4pack(dictionary) == 0 ? 0 : DDMAIN_FAILURE; }

// Marks deleted every row of `key` in the selected tag, the current row
// (found by the seek for `key`) first, then packs. The rows of one key
// stand together in the tag's order; each marked row leaves the filtered
// tag when the skip writes it back, and the skip goes on from where it
// stood. A skip that fails (a damaged or read-only dictionary) fails the
// removal.
int deleteRows(DATA4 *dictionary, const std::string &key)
{
    TAG4 *tag = d4tag_selected(dictionary);
    if (tag == nullptr)
        return DDMAIN_FAILURE;
    while (!d4eof(dictionary)) {
        char *rowKey = nullptr;
        int len = expr4vary(tag->expr, &rowKey);
        if (len < 0)
            return DDMAIN_FAILURE;
        if ((size_t)len < key.size() || key.compare(0, key.size(), rowKey, key.size()) != 0)
            break;
        d4delete(dictionary);
        int skipped = d4skip(dictionary, 1);
        if (skipped == r4eof)
            break;
        if (skipped != 0)
            return DDMAIN_FAILURE;
    }
    return packRemoved(dictionary);
}

} // namespace

int ddmain_addTableNoPaths(char *tableName, const char *fileName, const char *userName,
                           DATA4 *sqltable, std::string *dataFile)
{
    std::string name;
    if (fileName == nullptr || sqltable == nullptr || dataFile == nullptr ||
        ddmain_tableName(tableName, &name) != 0)
        return DDMAIN_FAILURE;
    std::string key = ddmain_searchKey(userName, name);
    int rc = ddmain_findTable(sqltable, "CRTB", key, nullptr);
    if (rc == 0) {
        ddmain_putMessage(DDMAIN_MSG_TABLE_EXISTS, name.c_str(), nullptr);
        return DDMAIN_FAILURE;
    }
    if (rc != 1)
        return DDMAIN_FAILURE;
    // The dictionary keeps the bare name and the data files are looked for
    // in currentDir: a name with a directory would be stored as the name
    // of another file.
    if (ddmain_hasDirectory(fileName))
        return ddmain_refuseValue(fileName, std::string(fileName) +
                                                " has a directory; without VX_XBDDPATH a data "
                                                "file is registered by its name alone, from the "
                                                "current directory");
    std::string base = ddmain_baseName(fileName), path;
    if (base.empty())
        return refuseNameless(fileName);
    if (ddmain_inCurrentDir(&path, fileName) != 0)
        return ddmain_refuseValue(fileName, "the file name is too long");
    return appendTableRow(key, base, path, fileName, sqltable, dataFile);
}

int ddmain_addTableWithPaths(char *tableName, const char *fileName, const char *userName,
                             DATA4 *sqltable, std::string *dataFile)
{
    std::string name;
    if (fileName == nullptr || sqltable == nullptr || dataFile == nullptr ||
        ddmain_tableName(tableName, &name) != 0)
        return DDMAIN_FAILURE;
    std::string key = ddmain_searchKey(userName, name);
    std::string base = ddmain_baseName(fileName), path;
    if (base.empty())
        return refuseNameless(fileName);
    // A bare name is registered with currentDir and without its extension;
    // a name with a directory exactly as given.
    if (ddmain_hasDirectory(fileName))
        path = fileName;
    else if (ddmain_inCurrentDir(&path, base.c_str()) != 0)
        return ddmain_refuseValue(fileName, "the file name is too long");
    return appendTableRow(key, path, path, fileName, sqltable, dataFile);
}

int ddmain_addColumns(char *tableName, const char *dataFile, const char *userName,
                      DATA4 *sqlcolmn)
{
    std::string name;
    if (dataFile == nullptr || sqlcolmn == nullptr || ddmain_tableName(tableName, &name) != 0)
        return DDMAIN_FAILURE;
    std::string key = ddmain_searchKey(userName, name);
    FIELD4 *table = d4field(sqlcolmn, "TABLE");
    FIELD4 *column = d4field(sqlcolmn, "COLUMN");
    FIELD4 *type = d4field(sqlcolmn, "TYPE");
    FIELD4 *width = d4field(sqlcolmn, "WIDTH");
    FIELD4 *decimals = d4field(sqlcolmn, "DECIMALS");
    FIELD4 *position = d4field(sqlcolmn, "POSITION");
    FIELD4 *creator = d4field(sqlcolmn, "CREATOR");
    FIELD4 *nullsOk = d4field(sqlcolmn, "NULLSOK");
    if (table == nullptr || column == nullptr || type == nullptr || width == nullptr ||
        decimals == nullptr || position == nullptr || creator == nullptr || nullsOk == nullptr)
        return DDMAIN_FAILURE;

    DATA4 *data = openDataFile(dataFile, dataFile);
    if (data == nullptr)
        return DDMAIN_FAILURE;
    int rc = checkFits(data, dataFile);
    for (int i = 1; rc == 0 && i <= d4num_fields(data); i++) {
        FIELD4 *f = d4field_j(data, i);
        if (ddmain_changing() != 0 || d4append_start(sqlcolmn, 0) != 0) {
            rc = DDMAIN_FAILURE;
            break;
        }
        d4blank(sqlcolmn);
        f4assign(creator, key.substr(0, DDDICT_CREATOR_LEN).c_str());
        f4assign(nullsOk, "T");
        f4assign_int(position, i);
        f4assign(table, key.substr(DDDICT_CREATOR_LEN).c_str());
        f4assign(column, f4name(f));
        f4assign(type, std::string(1, (char)f4type(f)).c_str());
        f4assign_int(width, (int)f4len(f));
        f4assign_int(decimals, f4decimals(f));
        if (d4append(sqlcolmn) != 0)
            rc = DDMAIN_FAILURE;
    }
    d4close(data);
    return rc;
}

int ddmain_deleteTable(char *tableName, const char *userName, DATA4 *sqltable)
{
    std::string name;
    if (sqltable == nullptr || ddmain_tableName(tableName, &name) != 0)
        return DDMAIN_FAILURE;
    std::string key = ddmain_searchKey(userName, name);
    int seek = 0;
    int rc = ddmain_findTable(sqltable, "CRTB", key, &seek);
    if (rc == 1) {
        ddmain_putError(DDMAIN_MSG_TD_NOT_REGISTERED);
        return seek;
    }
    if (rc != 0)
        return DDMAIN_FAILURE;
    // Every row of the name goes (a table registered twice with paths has
    // two), so that no table row outlives its column rows.
    return deleteRows(sqltable, key);
}

int ddmain_deleteColumns(char *tableName, const char *userName, DATA4 *sqlcolmn)
{
    std::string name;
    if (sqlcolmn == nullptr || ddmain_tableName(tableName, &name) != 0)
        return DDMAIN_FAILURE;
    std::string key = ddmain_searchKey(userName, name);
    int rc = ddmain_findTable(sqlcolmn, "CCRTB", key, nullptr);
    if (rc == DDMAIN_FAILURE)
        return rc;
    return rc == 1 ? packRemoved(sqlcolmn) : deleteRows(sqlcolmn, key);
}

int ddmain_operateTable(int argc, char **argv, int operation)
{
    // The front end has checked the count; the table name is checked before
    // anything is opened.
    int table = operation == DDMAIN_OP_TA ? 3 : 2;
    std::string name;
    if (argc <= table || argv == nullptr || argv[2] == nullptr || argv[table] == nullptr ||
        ddmain_tableName(argv[table], &name) != 0)
        return DDMAIN_FAILURE;
    const char *const names[] = {ddmain_sqltable, ddmain_sqlcolmn};
    if (operation == DDMAIN_OP_TA) {
        // The table row, then its column rows; a failure of either undoes
        // both, so that a retry finds the table unregistered.
        return ddmain_runOnDictionary(names, 2, DDMAIN_MSG_DICT_OPEN, DDDICT_APPEND,
                                      [&](DATA4 *const *t) {
            std::string dataFile;
            int status =
                useCatalogrPaths
                    ? ddmain_addTableWithPaths(argv[3], argv[2], nullptr, t[0], &dataFile)
                    : ddmain_addTableNoPaths(argv[3], argv[2], nullptr, t[0], &dataFile);
            if (status == 0)
                status = ddmain_addColumns(argv[3], dataFile.c_str(), nullptr, t[1]);
            return status;
        });
    }
    // The column rows go first and the table rows last, so that a removal
    // cut short never leaves column rows without their table; a failure
    // puts both back.
    return ddmain_runOnDictionary(names, 2, DDMAIN_MSG_DICT_OPEN, DDDICT_WHOLE,
                                  [&](DATA4 *const *t) {
        int seek = 0;
        int status = ddmain_findTable(t[0], "CRTB", ddmain_searchKey(nullptr, name), &seek);
        if (status == 1) {
            ddmain_putError(DDMAIN_MSG_TD_NOT_REGISTERED);
            return seek;
        }
        if (status == 0)
            status = ddmain_changing();
        if (status == 0)
            status = ddmain_deleteColumns(argv[2], nullptr, t[1]);
        if (status == 0)
            status = ddmain_deleteTable(argv[2], nullptr, t[0]);
        return status;
    });
}

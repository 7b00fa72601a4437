// IA and ID: recording a registered table's compound index file in the
// MDXFILE field of its sqltable row, and clearing it again. Neither opens
// the index file; sqltable is left unchanged by every failure.
#include <string>
#include <vector>

#include "tool/dddict.h"
#include "tool/ddmain.h"
#include "util/findfile.h"
#include "xbase/xbase.h"

namespace {

// A value whose first character is a blank counts as empty.
int isEmptyValue(const std::string &value) { return value.empty() || value[0] == ' '; }

std::string trimBlanks(const std::string &s)
{
    size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

} // namespace

int ddmain_buildPath(std::string *fileName, const char *indexName, const char *ext)
{
    if (fileName == nullptr || indexName == nullptr || ext == nullptr)
        return DDMAIN_FAILURE;
    std::string name = ddmain_baseName(indexName);
    if (name.empty())
        return DDMAIN_FAILURE;
    std::vector<char> dir(UTIL_MAX_PATH + 1, 0), path(UTIL_MAX_PATH + 1, 0);
    util_parseFilename(indexName, nullptr, dir.data(), nullptr, nullptr);
    if (util_buildFilename(path.data(), nullptr, dir[0] != 0 ? dir.data() : currentDir,
                           name.c_str(), ext) != 0)
        return DDMAIN_FAILURE;
    *fileName = path.data();
    return 0;
}

int ddmain_operateCombinedIndex(DATA4 *sqltable, const char *tableName, const char *indexName,
                                int operation)
{
    FIELD4 *mdxFile = d4field(sqltable, "MDXFILE");
    if (mdxFile == nullptr || tableName == nullptr || indexName == nullptr) {
        return ddmain_closeAll(DDMAIN_FAILURE);
    }
    const std::string current = f4str(mdxFile);

    if (operation == DDMAIN_OP_ID) {
        if (isEmptyValue(current)) {
            ddmain_putMessage(DDMAIN_MSG_NO_INDEX, tableName, nullptr);
            return ddmain_closeAll(DDMAIN_FAILURE);
        }
        // Any index name clears the registration; it is not compared.
        f4blank(mdxFile);
        return 0;
    }

    if (!isEmptyValue(current)) {
        // The registered file is kept; the user is told which it is.
        ddmain_putMessage(DDMAIN_MSG_HAS_INDEX, tableName, trimBlanks(current).c_str());
        return ddmain_closeAll(DDMAIN_FAILURE);
    }
    std::string value, why;
    if (useCatalogrPaths) {
        if (ddmain_buildPath(&value, indexName, "cdx") != 0)
            value.clear();
    } else {
        value = ddmain_baseName(indexName);
    }
    if (value.empty())
        why = std::string(indexName) + " names no index file";
    else if (value.size() > DDDICT_MDXFILE_LEN)
        why = "the index file name " + value + " is longer than the " +
              std::to_string(DDDICT_MDXFILE_LEN) + " bytes the dictionary records";
    if (!why.empty()) {
        ddmain_refuseValue(indexName, why);
        return ddmain_closeAll(DDMAIN_FAILURE);
    }
    f4assign(mdxFile, value.c_str());
    return 0;
}

int ddmain_operateIndex(int argc, char **argv, int operation)
{
    // The front end has checked the count; the table name is checked before
    // anything is opened.
    std::string name;
    if (argc < 4 || argv == nullptr || argv[2] == nullptr || ddmain_tableName(argv[3], &name) != 0)
        return DDMAIN_FAILURE;
    // One row is rewritten in place when the table closes: no journal.
    return ddmain_runOnDictionary(&ddmain_sqltable, 1, DDMAIN_MSG_SQLTABLE_OPEN, DDDICT_NO_JOURNAL,
                                  [&](DATA4 *const *t) {
        int rc = ddmain_findTable(t[0], "CRTB", ddmain_searchKey(localUser, name), nullptr);
        if (rc != 0) {
            // Only a search that ran and missed means the table is not there.
            if (rc == 1)
                ddmain_putMessage(DDMAIN_MSG_NOT_REGISTERED, argv[3], nullptr);
            return (int)DDMAIN_FAILURE;
        }
        // The changed row is written back by the close.
        return ddmain_operateCombinedIndex(t[0], argv[3], argv[2], operation);
    });
}

// The steps the dictionary's directives share: names and search keys,
// opening a dictionary table, finding a table's row, and the close that
// ends every directive.
#include "tool/dddict.h"

#include <cstring>
#include <vector>

#include "codeset/codeset.h"
#include "tool/ddmain.h"
#include "util/findfile.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/index/t4tag.h"

namespace {

// `text` blank-padded, or cut between characters, to exactly `width` bytes.
std::string fitWidth(const std::string &text, size_t width)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        int n = codeSet_getCharacterNBytes(text.c_str() + i);
        if (n < 1)
            n = 1;
        if (out.size() + (size_t)n > width)
            break;
        out.append(text, i, (size_t)n);
        i += (size_t)n;
    }
    out.resize(width, ' ');
    return out;
}

std::string trimRight(std::string s)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

} // namespace

std::string ddmain_tableName(char *argument)
{
    if (argument == nullptr)
        return std::string();
    qtkstrupr(argument);
    // Cut where TABLE ends, never inside a character; the trailing blanks
    // the padding adds are not part of the name.
    return trimRight(fitWidth(argument, DDDICT_TABLE_LEN));
}

std::string ddmain_searchKey(const char *userName, const std::string &tableName)
{
    return fitWidth(userName != nullptr ? userName : localUser, DDDICT_CREATOR_LEN) +
           fitWidth(tableName, DDDICT_TABLE_LEN);
}

int ddmain_inCurrentDir(std::string *out, const char *name)
{
    std::vector<char> path(UTIL_MAX_PATH + 1);
    if (out == nullptr || name == nullptr || *name == 0 ||
        util_buildFilename(path.data(), nullptr, currentDir, name, nullptr) != 0)
        return DDMAIN_FAILURE;
    *out = path.data();
    return 0;
}

DATA4 *ddmain_openDictionary(const char *baseName)
{
    std::string path;
    if (ddmain_inCurrentDir(&path, baseName) != 0)
        return nullptr;
    return d4open(&code_base, path.c_str());
}

int ddmain_lockDictionary(DATA4 *sqltable, DATA4 *sqlcolmn)
{
    for (DATA4 *table : {sqltable, sqlcolmn})
        if (table != nullptr && d4lock_all(table) != 0)
            return DDMAIN_FAILURE;
    return 0;
}

int ddmain_findTable(DATA4 *dictionary, const char *tagName, const std::string &key,
                     int *seekResult)
{
    TAG4 *tag = d4tag(dictionary, tagName);
    if (tag == nullptr)
        return DDMAIN_FAILURE;
    d4tag_select(dictionary, tag);
    int rc = d4seek(dictionary, key.c_str());
    if (seekResult != nullptr)
        *seekResult = rc;
    // 2: stopped at a greater key; 3: past the last one. Anything else but
    // a hit is a failure of the search itself, never "not registered".
    if (rc == 0)
        return 0;
    return rc == r4after || rc == r4eof ? 1 : DDMAIN_FAILURE;
}

int ddmain_closeAll(int status)
{
    int rc = d4close_all(&code_base);
    return rc != 0 && status == 0 ? DDMAIN_FAILURE : status;
}

std::string ddmain_baseName(const char *fileArgument)
{
    if (fileArgument == nullptr || std::strlen(fileArgument) > UTIL_MAX_PATH)
        return std::string();
    std::vector<char> name(UTIL_MAX_PATH + 1, 0);
    util_parseFilename(fileArgument, nullptr, nullptr, name.data(), nullptr);
    return name.data();
}

int ddmain_hasDirectory(const char *fileArgument)
{
    if (fileArgument == nullptr || std::strlen(fileArgument) > UTIL_MAX_PATH)
        return 0;
    std::vector<char> dir(UTIL_MAX_PATH + 1, 0);
    util_parseFilename(fileArgument, nullptr, dir.data(), nullptr, nullptr);
    return dir[0] != 0;
}

int ddmain_refuseValue(const char *fileArgument, const std::string &why)
{
    ddmain_putMessage(DDMAIN_MSG_DATA_OPEN, fileArgument, nullptr);
    ddmain_putReason(why);
    return DDMAIN_FAILURE;
}

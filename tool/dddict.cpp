// The steps the dictionary's directives share: names and search keys,
// opening a dictionary table, finding a table's row, and the close that
// ends every directive.
#include "tool/dddict.h"

#include <cstring>
#include <vector>

#include "codeset/codeset.h"
#include "platform/platform.h"
#include "tool/ddmain.h"
#include "util/findfile.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/e4error.h"
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

} // namespace

int ddmain_tableName(char *argument, std::string *name)
{
    if (argument == nullptr || name == nullptr)
        return DDMAIN_FAILURE;
    const std::string shown = "the table name \"" + ddmain_safeText(argument, DDMAIN_SHOWN_MAX) + "\"";
    std::string why;
    if (*argument == 0)
        why = "the table name is empty";
    else if (std::strspn(argument, " \t") == std::strlen(argument))
        why = "the table name is blank";
    else if (std::strpbrk(argument, " \t") != nullptr)
        why = shown + " contains blanks";
    for (const char *p = argument; why.empty() && *p != 0; p += codeSet_getCharacterNBytes(p)) {
        if (codeSet_isControl(p))
            why = shown + " contains control characters";
        else if (!codeSet_isValidChar(p))
            why = shown + " is not valid text of the code set";
    }
    if (why.empty()) {
        qtkstrupr(argument);
        size_t n = std::strlen(argument);
        if (n > DDDICT_TABLE_LEN)
            why = shown + " is " + std::to_string(n) + " bytes long; the dictionary keeps at most " +
                  std::to_string(DDDICT_TABLE_LEN);
    }
    if (!why.empty()) {
        ddmain_refuse(why);
        return DDMAIN_FAILURE;
    }
    *name = argument;
    return 0;
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

int ddmain_dictionaryFile(std::string *path, const char *baseName, const char *ext)
{
    std::vector<char> name(UTIL_MAX_PATH + 1), found(UTIL_MAX_PATH + 1);
    std::string upper = baseName;
    sb_strupr(&upper[0]);
    if (util_buildFilename(name.data(), nullptr, currentDir, upper.c_str(), ext) != 0)
        return 0;
    int present = platform_resolveName(name.data(), found.data(), found.size()) == 0;
    *path = present ? found.data() : name.data();
    return present;
}

void ddmain_explainDictionary(const char *const *baseNames, int count)
{
    static const char *const kExtensions[] = {"DBF", "CDX"};
    int present = 0;
    std::vector<std::string> missing;
    std::string path;
    for (const dddict_table &table : dddict_tables) {
        int wanted = 0;
        for (int i = 0; i < count; i++)
            wanted |= std::strcmp(baseNames[i], table.name) == 0;
        for (const char *ext : kExtensions) {
            if (ddmain_dictionaryFile(&path, table.name, ext))
                present++;
            else if (wanted)
                missing.push_back(path);
        }
    }
    std::vector<char> failed(UTIL_MAX_PATH + 1);
    int code = platform_lastFailure(failed.data(), failed.size());
    if (code != 0 && code != PLATFORM_NOT_FOUND) {
        ddmain_putReason(ddmain_fileFailure(failed.data(), code));
    } else if (present == 0) {
        ddmain_putReason("no dictionary in " + std::string(currentDir) +
                         " (catalogr -INIT creates one)");
    } else if (!missing.empty()) {
        for (const std::string &m : missing)
            ddmain_putReason("dictionary file missing: " + m);
    } else {
        return;
    }
    // What is said here is the reason; the engine's report of the same
    // open would only repeat it.
    e4clearErrorState();
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

// INIT: creates the three dictionary tables, empty, each with its compound
// index, in the current directory; nothing is created while any of their
// files is already there, and an INIT that cannot make all of them leaves
// none.
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tool/dddict.h"
#include "tool/ddmain.h"
#include "util/findfile.h"
#include "xbase/xbase.h"

namespace {

const char *const kExtensions[] = {"DBF", "CDX"};

// Removes the files of the dictionary tables made by this run, so that a
// failed INIT leaves the directory as it found it.
void removeMade(void)
{
    std::string path;
    for (const dddict_table &t : dddict_tables)
        for (const char *ext : kExtensions)
            if (ddmain_dictionaryFile(&path, t.name, ext))
                platform_remove(path.c_str());
}

} // namespace

int ddmain_initializeCatalogr(void)
{
    // A table whose index file alone is left counts as present: creating
    // over it would mix a new table with an old index.
    std::string path;
    std::vector<std::string> missing;
    const char *first = nullptr;
    for (const dddict_table &t : dddict_tables)
        for (const char *ext : kExtensions) {
            if (!ddmain_dictionaryFile(&path, t.name, ext))
                missing.push_back(path);
            else if (first == nullptr)
                first = t.name;
        }
    if (first != nullptr) {
        ddmain_putInitError(DDMAIN_MSG_INIT_EXISTS, first);
        // A whole dictionary is what INIT makes: scripts that begin with
        // INIT go on. Part of one is named file by file and fails.
        for (const std::string &m : missing)
            ddmain_putReason("dictionary file missing: " + m);
        return missing.empty() ? 0 : DDMAIN_FAILURE;
    }
    // A journal left of an earlier dictionary belongs to none of the new
    // tables.
    if (ddmain_removeJournal() != 0) {
        ddmain_putReason("cannot remove the journal of an earlier dictionary");
        return DDMAIN_FAILURE;
    }
    for (const dddict_table &t : dddict_tables) {
        DATA4 *created = nullptr;
        platform_forgetFailure();
        platform_forgetWriteFailure();
        if (ddmain_inCurrentDir(&path, t.name) == 0)
            created = d4create(&code_base, path.c_str(), t.fields, t.tags);
        // Closed at once, so that a table whose header or index could not
        // be written back is reported as not created.
        if (created == nullptr || d4close(created) != 0) {
            // A file the system would not create, or a write it failed, is
            // the reason; the engine's report says only that creating
            // failed.
            std::vector<char> failed(UTIL_MAX_PATH + 1);
            int code = platform_lastFailure(failed.data(), failed.size());
            int written = platform_lastWriteFailure();
            if (code != 0) {
                e4clearErrorState();
                ddmain_putReason(ddmain_fileFailure(failed.data(), code));
            } else if (written != 0) {
                ddmain_putReason(std::string("writing failed: ") + std::strerror(-written));
            }
            ddmain_putEngineReport();
            ddmain_putInitError(DDMAIN_MSG_INIT_CREATE, t.name);
            d4close_all(&code_base);
            removeMade();
            return DDMAIN_FAILURE;
        }
    }
    return ddmain_closeAll(0) == 0 ? 0 : (removeMade(), (int)DDMAIN_FAILURE);
}

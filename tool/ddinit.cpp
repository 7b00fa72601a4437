// INIT: creates the three dictionary tables, empty, each with its compound
// index, in the current directory; nothing is created while any of their
// files is already there.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tool/dddict.h"
#include "tool/ddmain.h"
#include "util/findfile.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"

namespace {

// The files a dictionary table consists of; the engine creates them with
// these extensions.
const char *const kExtensions[] = {"DBF", "CDX"};

// 1 when the data file or the index file of `baseName` is in currentDir,
// its final component in any case (as the engine would open it). A table
// whose index file alone is left counts as present: creating over it would
// mix a new table with an old index.
int isPresent(const char *baseName)
{
    std::vector<char> path(UTIL_MAX_PATH + 1), found(UTIL_MAX_PATH + 1);
    for (const char *ext : kExtensions) {
        if (util_buildFilename(path.data(), nullptr, currentDir, baseName, ext) == 0 &&
            platform_resolveName(path.data(), found.data(), found.size()) == 0)
            return 1;
    }
    return 0;
}

} // namespace

int ddmain_initializeCatalogr(void)
{
    for (const dddict_table &t : dddict_tables) {
        if (isPresent(t.name)) {
            ddmain_putInitError(DDMAIN_MSG_INIT_EXISTS, t.name);
            return 0;
        }
    }
    for (const dddict_table &t : dddict_tables) {
        std::string path;
        DATA4 *created = nullptr;
        if (ddmain_inCurrentDir(&path, t.name) == 0)
            created = d4create(&code_base, path.c_str(), t.fields, t.tags);
        // Closed at once, so that a table whose header or index could not
        // be written back is reported as not created.
        if (created == nullptr || d4close(created) != 0) {
            ddmain_putEngineReport();
            ddmain_putInitError(DDMAIN_MSG_INIT_CREATE, t.name);
            d4close_all(&code_base);
            return 0;
        }
    }
    d4close_all(&code_base);
    return 0;
}

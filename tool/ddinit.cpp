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
#include "xbase/e4error.h"

namespace {

// 1 when the data file or the index file of `baseName` is in currentDir.
// A table whose index file alone is left counts as present: creating over
// it would mix a new table with an old index.
int isPresent(const char *baseName)
{
    std::string path;
    return ddmain_dictionaryFile(&path, baseName, "DBF") ||
           ddmain_dictionaryFile(&path, baseName, "CDX");
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
        platform_forgetFailure();
        if (ddmain_inCurrentDir(&path, t.name) == 0)
            created = d4create(&code_base, path.c_str(), t.fields, t.tags);
        // Closed at once, so that a table whose header or index could not
        // be written back is reported as not created.
        if (created == nullptr || d4close(created) != 0) {
            // A file the system would not create is the reason; the
            // engine's report says only that creating failed.
            std::vector<char> failed(UTIL_MAX_PATH + 1);
            int code = platform_lastFailure(failed.data(), failed.size());
            if (code != 0) {
                e4clearErrorState();
                ddmain_putReason(ddmain_fileFailure(failed.data(), code));
            }
            ddmain_putEngineReport();
            ddmain_putInitError(DDMAIN_MSG_INIT_CREATE, t.name);
            d4close_all(&code_base);
            return 0;
        }
    }
    d4close_all(&code_base);
    return 0;
}

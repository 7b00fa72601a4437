// Fuzz target: a resource file. It is opened, every resource of the types
// its type list names (and of the usual types) is counted, enumerated,
// loaded, questioned and freed; string lists give members 1 to 64 and the
// message numbers 2001 to 2029; a restricted open reads the messages again.
// Every handle is closed and nothing may stay loaded.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzzutil.h"
#include "rscmgr/rscmgr.h"

namespace {

enum {
    MAX_TYPES = 16,         // types taken from the input's type list
    MAX_PER_TYPE = 64,      // resources enumerated per type
    MAX_MEMBERS = 64,       // string-list members fetched by number from 1
    FIRST_MESSAGE = 2001,
    LAST_MESSAGE = 2029,
    OFF_TYPE_LIST = 76,
    OFF_TYPE_COUNT = 80
};

const uint32_t kKnownTypes[] = {RSC_TYPE_STRLIST, RSC_TYPE_STRLIST_LONG, RSC_TYPE_RTCONFIG,
                                RSC_TYPE_ALIAS, RSC_TYPE_DATADEF};

volatile uint32_t g_sink;

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The type ids the input's own type list names, read with the bounds the
// harness checks itself, then the usual ones.
std::vector<uint32_t> typesOf(const uint8_t *data, size_t size)
{
    std::vector<uint32_t> types;
    if (size >= OFF_TYPE_COUNT + 4) {
        uint64_t off = le32(data + OFF_TYPE_LIST);
        uint64_t n = le32(data + OFF_TYPE_COUNT);
        for (uint64_t i = 0; i < n && i < MAX_TYPES; i++) {
            uint64_t at = off + i * RSC_TYPE_ENTRY_SIZE + 4;
            if (at + 4 > size)
                break;
            types.push_back(le32(data + at));
        }
    }
    for (uint32_t t : kKnownTypes)
        types.push_back(t);
    return types;
}

void fetchMembers(uint32_t h, int32_t list)
{
    char buf[160];
    for (int32_t num = 1; num <= MAX_MEMBERS; num++) {
        int rc = qtkResource_loadFromStringList(buf, sizeof buf, h, list, num);
        fuzz::require(std::memchr(buf, '\0', sizeof buf) != nullptr,
                      "a fetched member is not terminated inside the buffer");
        fuzz::require(rc == 0 || buf[0] == '\0', "a failed fetch left text in the buffer");
        g_sink = g_sink + (uint32_t)std::strlen(buf);
    }
    for (int32_t num = FIRST_MESSAGE; num <= LAST_MESSAGE; num++) {
        int rc = qtkResource_loadFromStringList(buf, sizeof buf, h, list, num);
        fuzz::require(std::memchr(buf, '\0', sizeof buf) != nullptr,
                      "a fetched message is not terminated inside the buffer");
        fuzz::require(rc == 0 || buf[0] == '\0', "a failed fetch left text in the buffer");
        g_sink = g_sink + (uint32_t)std::strlen(buf);
    }
}

void queryResource(void *p)
{
    uint32_t v = 0;
    for (int q : {RSC_Q_SIZE, RSC_Q_TYPE, RSC_Q_ID, RSC_Q_HANDLE, RSC_Q_FILESIZE, RSC_Q_PLATFORM})
        if (qtkResource_query(&v, p, q) == 0)
            g_sink = g_sink + v;
    const char *text = nullptr;
    if (qtkResource_query(&text, p, RSC_Q_FILENAME) == 0 && text != nullptr)
        g_sink = g_sink + (uint32_t)std::strlen(text);
    text = nullptr;
    if (qtkResource_query(&text, p, RSC_Q_ALIAS) == 0 && text != nullptr)
        g_sink = g_sink + (uint32_t)std::strlen(text);
    int32_t props[RSC_N_DATA_PROPS];
    if (qtkResource_query(props, p, RSC_Q_DATAPROPS) == 0)
        g_sink = g_sink + (uint32_t)props[0];
}

void walkType(uint32_t h, uint32_t type)
{
    int32_t count = 0;
    if (qtkResource_queryClass(&count, h, type, RSC_QC_COUNT, nullptr) != 0)
        return;
    int32_t v = 0;
    int32_t zero = 0;
    qtkResource_queryClass(&v, h, type, RSC_QC_HIGHEST, &zero);
    qtkResource_queryClass(&v, h, type, RSC_QC_LOWEST, &zero);
    for (int32_t n = 0; n < count && n < MAX_PER_TYPE; n++) {
        int32_t id = 0;
        if (qtkResource_queryClass(&id, h, type, RSC_QC_ID, &n) != 0)
            continue;
        qtkResource_queryClass(&v, h, type, RSC_QC_EXISTS, &id);
        qtkResource_queryClass(&v, h, type, RSC_QC_HANDLE, &n);
        char alias[RSC_MAX_ALIAS + 1];
        int hasAlias = qtkResource_queryClass(alias, h, type, RSC_QC_ALIAS, &n) == 0;
        char name[RSC_MAX_PATH + 1];
        qtkResource_queryClass(name, h, type, RSC_QC_FILENAME, &n);

        void *p = qtkResource_load(h, type, id);
        if (p != nullptr) {
            queryResource(p);
            // A second load of one resource shares it; both are freed.
            void *again = qtkResource_load(h, type, id);
            fuzz::require(again == nullptr || again == p, "a second load gave another copy");
            if (again != nullptr)
                qtkResource_free(again);
            qtkResource_free(p);
        }
        if (hasAlias && alias[0] != '\0') {
            void *byAlias = qtkResource_loadByAlias(h, type, id, alias);
            if (byAlias != nullptr)
                qtkResource_free(byAlias);
            qtkResource_queryClassByAlias(&v, h, type, RSC_QC_EXISTS, &id, alias);
        }
        rscdirectaccess direct;
        qtkResource_directLoad(h, type, id, &direct);
        if (type == RSC_TYPE_STRLIST)
            fetchMembers(h, id);
    }
}

void checkNothingLeft(const char *after)
{
    if (rscStats.numResourcesLoaded != 0 || rscStats.numFilesOpen != 0) {
        std::fprintf(stderr, "after %s: %d resources loaded, %d files open\n", after,
                     rscStats.numResourcesLoaded, rscStats.numFilesOpen);
        fuzz::require(false, "the manager kept resources or files past the last close");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A fresh name per input: the manager may keep facts about a file by
    // its name, and one name rewritten under it would be no real use.
    static unsigned long serial = 0;
    std::string path = fuzz::scratchFile("in" + std::to_string(serial++) + ".rsc");
    fuzz::writeWhole(path, data, size);

    qtkResource_isResourceFile(path.c_str());
    uint32_t h = 0;
    if (qtkResource_openFile(&h, path.c_str(), 0) == 0) {
        for (uint32_t type : typesOf(data, size))
            walkType(h, type);
        fetchMembers(h, 1);
        fuzz::require(qtkResource_closeFile(h) == 0, "closing an open handle failed");
    }
    checkNothingLeft("the open");

    const uint32_t messages[] = {RSC_TYPE_STRLIST};
    if (qtkResource_openFileRestricted(&h, path.c_str(), messages, 1) == 0) {
        fetchMembers(h, 1);
        int32_t v = 0;
        qtkResource_queryClass(&v, h, RSC_TYPE_RTCONFIG, RSC_QC_COUNT, nullptr);
        fuzz::require(qtkResource_closeFile(h) == 0, "closing an open handle failed");
    }
    checkNothingLeft("the restricted open");
    unlink(path.c_str());
    return 0;
}

// Resource-file records as bytes: the header, type-list and id-table
// entries, field by field in little-endian order; the platform table; and
// the name hash. Needs nothing else of the manager, so build tools use it.
#include "rscmgr/rscmgr.h"

#include <cstring>

#include "util/byteorder.h"

namespace {

enum {
    H_SYS_VERSION = 64,
    H_APPL_VERSION = 68,
    H_SIGNATURE = 72,
    H_TYPE_LIST_OFFSET = 76,
    H_TYPE_LIST_SIZE = 80,
    H_PLATFORM = 84,
    H_SUPPORTS_DATA_DEFS = 88,
    H_DATA_PROPS = 92
};

struct platformrow {
    const char *name;
    int32_t id;
    int32_t props[RSC_N_DATA_PROPS];
};

// char, short, long, int, float, double alignment; short, long, double style.
const platformrow kPlatforms[] = {
    {"4x", 0, {1, 2, 4, 4, 4, 8, 0, 0, 0}},
    {"pc", 1, {1, 1, 1, 1, 1, 1, 0, 0, 0}},
    {"packedLittleEndian", 1, {1, 1, 1, 1, 1, 1, 0, 0, 0}},
    {"clipper", 2, {1, 2, 4, 4, 4, 8, 0, 0, 0}},
    {"mac", 3, {1, 2, 2, 2, 2, 2, 1, 2, 1}},
    {"sparc", 4, {1, 2, 4, 4, 4, 8, 1, 2, 1}},
    {"vax", 5, {1, 1, 1, 1, 1, 1, 0, 0, 2}},
    {"hp700", 6, {1, 2, 4, 4, 4, 8, 1, 2, 1}},
    {"sgimips", 7, {1, 2, 4, 4, 4, 8, 1, 2, 1}},
    {"rs6000", 9, {1, 2, 4, 4, 4, 4, 1, 2, 1}},
    {"winNT", 10, {1, 2, 4, 4, 4, 8, 0, 0, 0}},
    {"native", 10, {1, 2, 4, 4, 4, 8, 0, 0, 0}},
    {"SolarisX86", 12, {1, 2, 4, 4, 4, 4, 0, 0, 0}},
    {"powerMac", 14, {1, 2, 4, 4, 4, 4, 1, 2, 1}},
    {"os2x86", 16, {1, 2, 4, 4, 4, 8, 0, 0, 0}},
    {"clipperEv", 20, {1, 2, 4, 4, 4, 8, 0, 0, 0}},
    {"clipperX", 21, {1, 2, 4, 4, 4, 8, 0, 0, 0}},
};

} // namespace

void rsc_encodeHeader(const rscfileheader *h, unsigned char out[RSC_HEADER_SIZE])
{
    std::memset(out, 0, RSC_HEADER_SIZE);
    std::memcpy(out, h->idString, RSC_ID_STRING_SIZE);
    util_putLe32(out + H_SYS_VERSION, h->sysVersion);
    util_putLe32(out + H_APPL_VERSION, (uint32_t)h->applVersion);
    util_putLe32(out + H_SIGNATURE, h->signature);
    util_putLe32(out + H_TYPE_LIST_OFFSET, h->typeListOffset);
    util_putLe32(out + H_TYPE_LIST_SIZE, h->typeListSize);
    util_putLe32(out + H_PLATFORM, (uint32_t)h->platformID);
    util_putLe32(out + H_SUPPORTS_DATA_DEFS, (uint32_t)h->supportsDataDefs);
    for (unsigned i = 0; i < RSC_N_DATA_PROPS; i++)
        util_putLe32(out + H_DATA_PROPS + 4 * i, (uint32_t)h->dataProps[i]);
}

void rsc_decodeHeader(const unsigned char in[RSC_HEADER_READ_SIZE], rscfileheader *h)
{
    std::memcpy(h->idString, in, RSC_ID_STRING_SIZE);
    h->sysVersion = util_getLe32(in + H_SYS_VERSION);
    h->applVersion = (int32_t)util_getLe32(in + H_APPL_VERSION);
    h->signature = util_getLe32(in + H_SIGNATURE);
    h->typeListOffset = util_getLe32(in + H_TYPE_LIST_OFFSET);
    h->typeListSize = util_getLe32(in + H_TYPE_LIST_SIZE);
    h->platformID = (int32_t)util_getLe32(in + H_PLATFORM);
    h->supportsDataDefs = (int32_t)util_getLe32(in + H_SUPPORTS_DATA_DEFS);
    for (unsigned i = 0; i < RSC_N_DATA_PROPS; i++)
        h->dataProps[i] = (int32_t)util_getLe32(in + H_DATA_PROPS + 4 * i);
}

void rsc_encodeTypeEntry(const filetypelistentry *e, unsigned char out[RSC_TYPE_ENTRY_SIZE])
{
    util_putLe32(out, e->deleted);
    util_putLe32(out + 4, e->typeId);
    util_putLe32(out + 8, e->numEntries);
    util_putLe32(out + 12, e->rscIdTableOffset);
    util_putLe32(out + 16, e->nextAvailAliasId);
    util_putLe32(out + 20, e->aliasInfoTree);
}

void rsc_decodeTypeEntry(const unsigned char in[RSC_TYPE_ENTRY_SIZE], filetypelistentry *e)
{
    e->deleted = util_getLe32(in);
    e->typeId = util_getLe32(in + 4);
    e->numEntries = util_getLe32(in + 8);
    e->rscIdTableOffset = util_getLe32(in + 12);
    e->nextAvailAliasId = util_getLe32(in + 16);
    e->aliasInfoTree = util_getLe32(in + 20);
}

void rsc_encodeIdEntry(const filerscidentry *e, unsigned char out[RSC_ID_ENTRY_SIZE])
{
    util_putLe32(out, e->deleted);
    util_putLe32(out + 4, (uint32_t)e->rscId);
    util_putLe32(out + 8, e->rscData);
    util_putLe32(out + 12, e->dataSize);
    std::memcpy(out + 16, e->aliasInfo, RSC_ALIAS_FIELD_SIZE);
}

void rsc_decodeIdEntry(const unsigned char in[RSC_ID_ENTRY_SIZE], filerscidentry *e)
{
    e->deleted = util_getLe32(in);
    e->rscId = (int32_t)util_getLe32(in + 4);
    e->rscData = util_getLe32(in + 8);
    e->dataSize = util_getLe32(in + 12);
    std::memcpy(e->aliasInfo, in + 16, RSC_ALIAS_FIELD_SIZE);
}

int dataprop_getPropertiesByPlatform(int32_t platformId, int32_t props[RSC_N_DATA_PROPS])
{
    for (const platformrow &r : kPlatforms) {
        if (r.id == platformId) {
            std::memcpy(props, r.props, sizeof r.props);
            return 0;
        }
    }
    return -1;
}

int32_t dataprop_getPlatformIdByName(const char *name)
{
    if (name != nullptr) {
        for (const platformrow &r : kPlatforms) {
            size_t n = std::strlen(r.name);
            // Each platform also answers to its name with "Data" appended.
            if (std::strncmp(name, r.name, n) == 0 &&
                (name[n] == '\0' || std::strcmp(name + n, "Data") == 0))
                return r.id;
        }
    }
    return RSC_PLATFORM_NATIVE;
}

void qtkResource_generateHashValue(uint32_t *hashValueP, const char *string, int isFilename)
{
    uint32_t h = 0;
    uint8_t x = 0;
    for (const char *p = string; p != nullptr && *p != '\0'; p++) {
        int8_t c = (int8_t)*p;
        if (isFilename && c >= 'A' && c <= 'Z')
            c = (int8_t)(c - 'A' + 'a');
        h = (uint32_t)(int32_t)c + 2u * h;
        x = (uint8_t)(x ^ (uint8_t)c);
    }
    if (hashValueP != nullptr)
        *hashValueP = h ^ ((uint32_t)x << 24);
}

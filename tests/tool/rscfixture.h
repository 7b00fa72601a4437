// Test helper: writes small resource files (message lists, configuration
// resources with aliases) through the resource manager's own record
// encoders, so that tests know every text and byte they contain.
#ifndef CATALOGR_TESTS_RSCFIXTURE_H
#define CATALOGR_TESTS_RSCFIXTURE_H

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rscmgr/rscmgr.h"
#include "tests/testutil.h"
#include "util/byteorder.h"

namespace rscfixture {

struct resource {
    uint32_t type;
    int32_t id;
    std::string alias;      // at most 16 characters, kept in the id entry
    std::string data;
};

inline void put32(std::string &s, uint32_t v)
{
    unsigned char b[4];
    util_putLe32(b, v);
    s.append((const char *)b, 4);
}

// A `str#` message list: one info value (the number) per member.
inline std::string stringList(const std::map<int, std::string> &members)
{
    std::string s;
    put32(s, 1);
    put32(s, (uint32_t)members.size());
    for (const auto &m : members) {
        put32(s, 1);
        put32(s, (uint32_t)m.first);
        put32(s, (uint32_t)m.second.size() + 1);
        s += m.second;
        s += '\0';
        while (s.size() % 4 != 0)
            s += '\0';
    }
    return s;
}

// Writes a plain (no platform description) resource file.
inline void writeFile(const std::string &path, std::vector<resource> rscs)
{
    std::stable_sort(rscs.begin(), rscs.end(), [](const resource &a, const resource &b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    std::string body(RSC_HEADER_SIZE, '\0');
    std::vector<uint32_t> offsets;
    for (const auto &r : rscs) {
        offsets.push_back((uint32_t)body.size());
        body += r.data;
        while (body.size() % 4 != 0)
            body += '\0';
    }
    std::vector<uint32_t> types;
    for (const auto &r : rscs)
        if (types.empty() || types.back() != r.type)
            types.push_back(r.type);
    uint32_t typeListOffset = (uint32_t)body.size();
    uint32_t idTables = typeListOffset + (uint32_t)types.size() * RSC_TYPE_ENTRY_SIZE;
    std::string typeList, idList;
    size_t i = 0;
    for (uint32_t t : types) {
        filetypelistentry te = {};
        te.typeId = t;
        te.rscIdTableOffset = idTables + (uint32_t)idList.size();
        for (; i < rscs.size() && rscs[i].type == t; i++) {
            filerscidentry ie = {};
            ie.rscId = rscs[i].id;
            ie.rscData = offsets[i];
            ie.dataSize = (uint32_t)rscs[i].data.size();
            std::memcpy(ie.aliasInfo, rscs[i].alias.data(),
                        std::min<size_t>(rscs[i].alias.size(), RSC_ALIAS_FIELD_SIZE));
            unsigned char b[RSC_ID_ENTRY_SIZE];
            rsc_encodeIdEntry(&ie, b);
            idList.append((const char *)b, sizeof b);
            te.numEntries++;
        }
        unsigned char b[RSC_TYPE_ENTRY_SIZE];
        rsc_encodeTypeEntry(&te, b);
        typeList.append((const char *)b, sizeof b);
    }
    body += typeList + idList;

    rscfileheader h = {};
    std::strcpy(h.idString, RSC_STANDARD_ID);
    h.idString[std::strlen(RSC_STANDARD_ID)] = (char)RSC_ID_STRING_END;
    h.sysVersion = RSC_SYS_VERSION_PLAIN;
    h.signature = RSC_SIGNATURE_PLAIN;
    h.typeListOffset = types.empty() ? 0 : typeListOffset;
    h.typeListSize = (uint32_t)types.size();
    h.platformID = RSC_PLATFORM_NATIVE;
    unsigned char hb[RSC_HEADER_SIZE];
    rsc_encodeHeader(&h, hb);
    body.replace(0, RSC_HEADER_SIZE, (const char *)hb, RSC_HEADER_SIZE);
    testutil::writeFile(path, body);
}

} // namespace rscfixture

#endif

// Finding and loading resources: each type's id table is cut into ranges
// when its file opens, a range's entries are read only when an id in it is
// wanted (at most 80 ranges stay loaded), aliases are gathered per type,
// and loaded resources are shared and reference-counted.
//
// Invariants kept here:
//  1. A type's ranges cover every signed id exactly once, in order, and
//     entries with one id never fall into two ranges.
//  2. loadedRscTree holds every pointer handed out by a load and nothing
//     else; an entry lives while numOpens > 0, one rfHandles element per load.
//  3. rscIdCache lists exactly the ranges whose entries are loaded.
#include "rscmgr/rmgrint.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "util/byteorder.h"

std::map<const void *, rschandleentry> loadedRscTree;

namespace {

enum { FIRST_CHUNK = 128 };

std::deque<rscidrange *> rscIdCache;

std::string inlineAlias(const unsigned char *field)
{
    size_t n = 0;
    while (n < RSC_ALIAS_FIELD_SIZE && field[n] != 0)
        n++;
    return std::string((const char *)field, n);
}

uint32_t aliasHash(const std::string &text)
{
    uint32_t h;
    qtkResource_generateHashValue(&h, text.c_str(), 0);
    return h;
}

// Reads `n` id entries from `offset`, checking what every later step relies on.
int readIdEntries(LowLevelFileInfo *ll, uint64_t offset, uint64_t n, std::vector<filerscidentry> *out)
{
    std::vector<unsigned char> bytes((size_t)n * RSC_ID_ENTRY_SIZE);
    if (rmgr_read(ll, offset, bytes.data(), bytes.size()) != 0)
        return RSC_ERR_FILE;
    out->resize((size_t)n);
    for (size_t i = 0; i < n; i++) {
        filerscidentry &e = (*out)[i];
        rsc_decodeIdEntry(&bytes[i * RSC_ID_ENTRY_SIZE], &e);
        if ((uint64_t)e.rscData + e.dataSize > ll->fileSize)
            return RSC_ERR_FILE;
        if (i > 0 && e.rscId < (*out)[i - 1].rscId)
            return RSC_ERR_FILE;
    }
    return 0;
}

const rscaliasrecord *findAliasRecord(const LowLevelFileInfo *ll, const memtypelistentry *m,
                                      const filerscidentry &e)
{
    if (ll->supportsAliasStrLists) {
        uint32_t hVal = util_getLe32(e.aliasInfo);
        int32_t aliasId = (int32_t)util_getLe32(e.aliasInfo + 4);
        if (aliasId == 0)
            return nullptr;
        auto it = m->aliasInfoTree.lower_bound(rscaliaskey(hVal, aliasId, INT32_MIN, std::string()));
        if (it != m->aliasInfoTree.end() && std::get<0>(it->first) == hVal &&
            std::get<1>(it->first) == aliasId)
            return &it->second;
        return nullptr;
    }
    if (e.aliasInfo[0] == 0)
        return nullptr;
    std::string text = inlineAlias(e.aliasInfo);
    auto it = m->aliasInfoTree.find(rscaliaskey(aliasHash(text), 0, e.rscId, text));
    return it == m->aliasInfoTree.end() ? nullptr : &it->second;
}

void unloadTree(rscidrange *r)
{
    rscStats.totalSizeRscIdTrees -= (long)(r->mRieP.size() * sizeof(memrscidentry));
    std::vector<memrscidentry>().swap(r->mRieP);
    r->treeLoaded = 0;
}

void dropFromCache(rscidrange *r)
{
    auto it = std::find(rscIdCache.begin(), rscIdCache.end(), r);
    if (it != rscIdCache.end())
        rscIdCache.erase(it);
    rscStats.numRscIdTreesInReadCache = (int)rscIdCache.size();
}

bool treeOrder(const memrscidentry &a, const memrscidentry &b)
{
    if (a.rscId != b.rscId)
        return a.rscId < b.rscId;
    uint32_t ha = a.aliasRecP ? a.aliasRecP->hashValue : 0;
    uint32_t hb = b.aliasRecP ? b.aliasRecP->hashValue : 0;
    if (ha != hb)
        return ha < hb;
    static const std::string none;
    return (a.aliasRecP ? a.aliasRecP->text : none) < (b.aliasRecP ? b.aliasRecP->text : none);
}

int loadRscIdTree(LowLevelFileInfo *ll, memtypelistentry *m, rscidrange *r)
{
    if (r->treeLoaded)
        return 0;
    std::vector<filerscidentry> raw;
    if (r->numOrigEntries != 0 && readIdEntries(ll, r->fileOffset, r->numOrigEntries, &raw) != 0)
        return RSC_ERR_FILE;
    if (rscIdCache.size() >= RSC_MAX_ID_TREES) {
        rscidrange *oldest = rscIdCache.front();
        rscIdCache.pop_front();
        unloadTree(oldest);
    }
    r->mRieP.clear();
    for (const filerscidentry &e : raw) {
        memrscidentry me;
        me.rscId = e.rscId;
        me.deleted = e.deleted != 0;
        me.fileOffset = e.rscData;
        me.fileSize = e.dataSize;
        me.aliasRecP = findAliasRecord(ll, m, e);
        r->mRieP.push_back(me);
    }
    std::stable_sort(r->mRieP.begin(), r->mRieP.end(), treeOrder);
    r->treeLoaded = 1;
    rscIdCache.push_back(r);
    rscStats.numRscIdTreesInReadCache = (int)rscIdCache.size();
    rscStats.totalSizeRscIdTrees += (long)(r->mRieP.size() * sizeof(memrscidentry));
    return 0;
}

rscidrange *findRange(memtypelistentry *m, int32_t rscId)
{
    auto it = std::lower_bound(m->rangeTree.begin(), m->rangeTree.end(), rscId,
                               [](const rscidrange *r, int32_t id) { return r->hiRscId < id; });
    return it == m->rangeTree.end() || (*it)->loRscId > rscId ? nullptr : *it;
}

bool aliasMatches(const memrscidentry &e, const char *alias)
{
    return alias == nullptr || (e.aliasRecP != nullptr && e.aliasRecP->text == alias);
}

void releaseData(std::map<const void *, rschandleentry>::iterator it)
{
    rscStats.totalMallocd -= (long)it->second.rscSize;
    std::free(it->second.rsc);
    loadedRscTree.erase(it);
    rscStats.numResourcesLoaded--;
}

int currentAppHandleIndex(const rschandleentry &e)
{
    for (size_t i = 0; i < e.rfHandles.size(); i++) {
        const rscfiledescr *fd = rmgr_handleEntry(e.rfHandles[i]);
        if (fd != nullptr && fd->qtkDesc == &standaloneDesc)
            return (int)i;
    }
    return e.rfHandles.empty() ? -1 : 0;
}

struct aliasctx {
    LowLevelFileInfo *ll;
    memtypelistentry *m;
    int32_t maxAliasId;
    int bad;
};

int addAliasMember(void *vctx, const int32_t *info, uint32_t nInfo, const char *text, uint32_t)
{
    aliasctx *c = (aliasctx *)vctx;
    size_t len = std::strlen(text);
    // hash, alias id, resource id, number of further values, those values
    if (nInfo < 4 || info[3] < 0 || (uint32_t)info[3] > nInfo - 4 || len == 0 || len > RSC_MAX_ALIAS) {
        c->bad = 1;
        return 1;
    }
    rscaliasrecord rec;
    rec.hashValue = (uint32_t)info[0];
    rec.aliasId = info[1];
    rec.rscId = info[2];
    rec.nInfo = info[3];
    rec.info.assign(info + 4, info + 4 + info[3]);
    rec.text = text;
    if (rmgr_debugOn(7))
        qtkResource_logDebugMsg("RSCID = 0x%08X, alias = (%s)\n", (unsigned)rec.rscId, text);
    c->maxAliasId = std::max(c->maxAliasId, rec.aliasId);
    c->m->aliasInfoTree[rscaliaskey(rec.hashValue, rec.aliasId, rec.rscId, rec.text)] = rec;
    c->m->hasAliases = 1;
    return 0;
}

} // namespace

memtypelistentry *rmgr_findType(LowLevelFileInfo *ll, uint32_t typeId)
{
    for (memtypelistentry &m : ll->typeList)
        if (!m.deleted && m.typeId == typeId)
            return &m;
    return nullptr;
}

int resource_calcRangeTables(LowLevelFileInfo *ll, memtypelistentry *m)
{
    m->rangesBuilt = 1;
    m->numUndeleted = 0;
    if ((uint64_t)m->rscIdTable + (uint64_t)m->numEntries * RSC_ID_ENTRY_SIZE > ll->fileSize)
        return RSC_ERR_FILE;
    uint64_t pos = 0, cap = FIRST_CHUNK;
    int64_t prevHi = INT64_MIN;      // hi of the previous range; none yet
    std::vector<filerscidentry> chunk;
    do {
        uint64_t left = m->numEntries - pos;
        uint64_t n = std::min(cap, left);
        uint64_t offset = m->rscIdTable + pos * RSC_ID_ENTRY_SIZE;
        if (n != 0 && readIdEntries(ll, offset, n, &chunk) != 0)
            return RSC_ERR_FILE;
        if (n != 0 && prevHi != INT64_MIN && chunk[0].rscId <= prevHi)
            return RSC_ERR_FILE;
        bool more = pos + n < m->numEntries;
        if (more) {
            uint64_t cut = 0;
            for (uint64_t i = n - 1; i > 0 && cut == 0; i--)
                if (chunk[i].rscId != chunk[i - 1].rscId)
                    cut = i;
            if (cut == 0) {
                // One id fills the chunk: read more so that it stays in one range.
                cap *= 2;
                continue;
            }
            n = cut;
        }
        rscidrange *r = new (std::nothrow) rscidrange();
        if (r == nullptr)
            return RSC_ERR_NO_MEMORY;
        r->loRscId = prevHi == INT64_MIN ? INT32_MIN : (int32_t)(prevHi + 1);
        r->hiRscId = more ? chunk[n - 1].rscId : INT32_MAX;
        r->fileOffset = (uint32_t)offset;
        r->numOrigEntries = (uint32_t)n;
        r->llP = ll;
        r->treeLoaded = 0;
        r->dirty = 0;
        uint32_t live = 0;
        for (uint64_t i = 0; i < n; i++) {
            const filerscidentry &e = chunk[i];
            if (e.deleted != 0)
                continue;
            live++;
            if (!ll->supportsAliasStrLists && e.aliasInfo[0] != 0) {
                rscaliasrecord rec;
                rec.text = inlineAlias(e.aliasInfo);
                rec.hashValue = aliasHash(rec.text);
                rec.aliasId = 0;
                rec.rscId = e.rscId;
                rec.nInfo = 0;
                m->aliasInfoTree[rscaliaskey(rec.hashValue, 0, rec.rscId, rec.text)] = rec;
                m->hasAliases = 1;
            }
        }
        r->numUndelEntries = live;
        m->numUndeleted += live;
        m->rangeTree.push_back(r);
        prevHi = r->hiRscId;
        pos += n;
        cap = FIRST_CHUNK;
    } while (pos < m->numEntries);
    return 0;
}

int rmgr_loadAliasLists(LowLevelFileInfo *ll)
{
    for (memtypelistentry &m : ll->typeList) {
        if (m.deleted || !m.rangesBuilt)
            continue;
        if (rmgr_debugOn(7))
            qtkResource_logDebugMsg("Processing aliases for typeid 0x%08X...\n", m.typeId);
        memrscidentry e;
        int rc = resource_getRscEntry(&e, ll, RSC_TYPE_ALIAS, (int32_t)m.typeId, nullptr);
        if (rc == RSC_ERR_NO_TYPE || rc == RSC_ERR_NO_RESOURCE)
            continue;   // no list: the type has no aliases
        if (rc != 0)
            return rc;
        if (e.fileSize < RSC_STRLIST_HEADER_SIZE)
            return RSC_ERR_FILE;
        std::vector<unsigned char> data(e.fileSize);
        if (rmgr_read(ll, e.fileOffset, data.data(), data.size()) != 0)
            return RSC_ERR_FILE;
        aliasctx c{ll, &m, 0, 0};
        rc = rmgr_walkStringList(data.data() + RSC_STRLIST_HEADER_SIZE,
                                 data.size() - RSC_STRLIST_HEADER_SIZE, util_getLe32(data.data() + 4),
                                 addAliasMember, &c, nullptr);
        if (rc != 0 || c.bad)
            return RSC_ERR_FILE;
        m.nextAvailAliasId = c.maxAliasId + 1;
    }
    // Entries read before the aliases were known are read again when needed.
    for (memtypelistentry &m : ll->typeList)
        for (rscidrange *r : m.rangeTree)
            if (r->treeLoaded) {
                dropFromCache(r);
                unloadTree(r);
            }
    return 0;
}

int resource_getRscEntry(memrscidentry *entryP, LowLevelFileInfo *ll, uint32_t typeId,
                         int32_t rscId, const char *alias)
{
    memtypelistentry *m = rmgr_findType(ll, typeId);
    if (m == nullptr)
        return RSC_ERR_NO_TYPE;
    if (alias != nullptr && *alias == '\0')
        alias = nullptr;
    rscidrange *r = m->rangesBuilt ? findRange(m, rscId) : nullptr;
    if (r == nullptr)
        return RSC_ERR_NO_RESOURCE;
    if (loadRscIdTree(ll, m, r) != 0)
        return RSC_ERR_FILE;
    memrscidentry key{rscId, nullptr, 0, 0, 0};
    auto it = std::lower_bound(r->mRieP.begin(), r->mRieP.end(), key,
                               [](const memrscidentry &a, const memrscidentry &b) {
                                   return a.rscId < b.rscId;
                               });
    for (; it != r->mRieP.end() && it->rscId == rscId; ++it) {
        if (!it->deleted && aliasMatches(*it, alias)) {
            *entryP = *it;
            return 0;
        }
    }
    return RSC_ERR_NO_RESOURCE;
}

int rmgr_forEachEntry(LowLevelFileInfo *ll, uint32_t typeId,
                      int (*visit)(void *ctx, const memrscidentry *e), void *ctx)
{
    memtypelistentry *m = rmgr_findType(ll, typeId);
    if (m == nullptr)
        return RSC_ERR_NO_TYPE;
    for (rscidrange *r : m->rangeTree) {
        if (r->numUndelEntries == 0)
            continue;
        if (loadRscIdTree(ll, m, r) != 0)
            return RSC_ERR_FILE;
        // A copy: a visitor may cause other ranges to be loaded and this one dropped.
        std::vector<memrscidentry> entries = r->mRieP;
        for (const memrscidentry &e : entries)
            if (!e.deleted && visit(ctx, &e))
                return 1;
    }
    return 0;
}

int rmgr_findHandleHolding(uint32_t *rfHandleP, uint32_t typeId, int32_t rscId, const char *alias)
{
    for (uint32_t h : rmgr_searchOrder()) {
        memrscidentry e;
        if (resource_getRscEntry(&e, rmgr_handleEntry(h)->llP, typeId, rscId, alias) == 0) {
            *rfHandleP = h;
            return 0;
        }
    }
    return RSC_ERR_NO_FILE;
}

int rmgr_needsConversion(const rscfiledescr *fd)
{
    const LowLevelFileInfo *ll = fd->llP;
    if (!(fd->flags & RFD_CONVERSION_ALLOWED) || ll->platformID == RSC_PLATFORM_NONE ||
        ll->platformID == RSC_PLATFORM_NATIVE)
        return 0;
    int32_t native[RSC_N_DATA_PROPS];
    dataprop_getPropertiesByPlatform(RSC_PLATFORM_NATIVE, native);
    return std::memcmp(native, ll->dataProps, sizeof native) != 0;
}

int rmgr_idTreeLoaded(uint32_t rfHandle, uint32_t typeId, int32_t rscId)
{
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    memtypelistentry *m = fd == nullptr ? nullptr : rmgr_findType(fd->llP, typeId);
    rscidrange *r = m == nullptr ? nullptr : findRange(m, rscId);
    return r != nullptr && r->treeLoaded;
}

void rmgr_releaseLoadsOfHandle(uint32_t rfHandle)
{
    for (auto it = loadedRscTree.begin(); it != loadedRscTree.end();) {
        rschandleentry &e = it->second;
        size_t before = e.rfHandles.size();
        e.rfHandles.erase(std::remove(e.rfHandles.begin(), e.rfHandles.end(), rfHandle),
                          e.rfHandles.end());
        e.numOpens -= (int)(before - e.rfHandles.size());
        if (e.numOpens <= 0) {
            releaseData(it++);
            continue;
        }
        e.rfHandle = e.rfHandles.front();
        ++it;
    }
}

void rmgr_freeDirectory(LowLevelFileInfo *ll)
{
    for (memtypelistentry &m : ll->typeList) {
        for (rscidrange *r : m.rangeTree) {
            if (r->treeLoaded) {
                dropFromCache(r);
                unloadTree(r);
            }
            delete r;
        }
        m.rangeTree.clear();
        m.aliasInfoTree.clear();
    }
    ll->typeList.clear();
}

namespace {

void *loadEngine(uint32_t rfHandle, uint32_t typeId, int32_t rscId, const char *alias)
{
    if (alias != nullptr && *alias == '\0')
        alias = nullptr;
    if (rfHandle == 0 && rmgr_findHandleHolding(&rfHandle, typeId, rscId, alias) != 0) {
        qtkErrno = RSC_ERR_NO_FILE;
        return nullptr;
    }
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    if (fd == nullptr) {
        qtkErrno = RSC_ERR_BAD_HANDLE;
        return nullptr;
    }
    LowLevelFileInfo *ll = fd->llP;
    memrscidentry e;
    int rc = resource_getRscEntry(&e, ll, typeId, rscId, alias);
    if (rc != 0) {
        qtkErrno = rc;
        return nullptr;
    }
    for (auto &kv : loadedRscTree) {
        rschandleentry &le = kv.second;
        if (le.llP == ll && le.typeId == typeId && le.rscId == e.rscId &&
            le.fileOffset == e.fileOffset && le.aliasRecP == e.aliasRecP) {
            le.rfHandles.push_back(rfHandle);
            le.numOpens++;
            return le.rsc;
        }
    }
    // Data written on another platform would need converting; it is refused.
    if (rmgr_needsConversion(fd)) {
        qtkErrno = RSC_ERR_FILE;
        return nullptr;
    }
    void *data = std::malloc(e.fileSize != 0 ? e.fileSize : 1);
    if (data == nullptr) {
        qtkErrno = RSC_ERR_NO_MEMORY;
        return nullptr;
    }
    if (rmgr_read(ll, e.fileOffset, data, e.fileSize) != 0) {
        std::free(data);
        qtkErrno = RSC_ERR_FILE;
        return nullptr;
    }
    rschandleentry &le = loadedRscTree[data];
    le.rsc = data;
    le.rfHandle = rfHandle;
    le.rfHandles.assign(1, rfHandle);
    le.llP = ll;
    le.typeId = typeId;
    le.rscId = e.rscId;
    le.fileOffset = e.fileOffset;
    le.rscSize = e.fileSize;
    le.rscFileSize = e.fileSize;
    le.aliasRecP = e.aliasRecP;
    le.alias = e.aliasRecP != nullptr ? e.aliasRecP->text : std::string();
    le.numOpens = 1;
    rscStats.numResourcesLoaded++;
    rscStats.totalMallocd += (long)e.fileSize;
    if (rmgr_debugOn(5))
        qtkResource_logDebugMsg(
            "DBG5 - load               - fH = %3d, t = 0x%08X, id = %d, alias = (%s)\n",
            (int)rfHandle, typeId, (int)rscId, alias != nullptr ? alias : "NULL");
    return data;
}

} // namespace

void *qtkResource_load(uint32_t rfHandle, uint32_t typeId, int32_t rscId)
{
    return loadEngine(rfHandle, typeId, rscId, nullptr);
}

void *qtkResource_loadByAlias(uint32_t rfHandle, uint32_t typeId, int32_t rscId, const char *alias)
{
    return loadEngine(rfHandle, typeId, rscId, alias);
}

int qtkResource_free(void *resource)
{
    auto it = loadedRscTree.find(resource);
    if (resource == nullptr || it == loadedRscTree.end())
        return RSC_ERR_NOT_LOADED;
    rschandleentry &e = it->second;
    if (e.numOpens <= 0)
        return 0;
    e.numOpens--;
    if (rmgr_debugOn(6))
        qtkResource_logDebugMsg(
            "DBG6 - free               - fH = %3d, t = 0x%08X, id = %d, remaining = %d\n",
            (int)e.rfHandle, e.typeId, (int)e.rscId, e.numOpens);
    if (e.numOpens > 0) {
        int i = currentAppHandleIndex(e);
        if (i >= 0) {
            e.rfHandles[(size_t)i] = e.rfHandles.back();
            e.rfHandles.pop_back();
        }
        e.rfHandle = e.rfHandles.front();
        return 0;
    }
    releaseData(it);
    return 0;
}

int qtkResource_directLoad(uint32_t rfHandle, uint32_t typeId, int32_t rscId,
                           rscdirectaccess *directP)
{
    if (directP == nullptr)
        return RSC_ERR_NULL_RESULT;
    if (rfHandle == 0 && rmgr_findHandleHolding(&rfHandle, typeId, rscId, nullptr) != 0)
        return RSC_ERR_NO_FILE;
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    if (fd == nullptr)
        return RSC_ERR_BAD_HANDLE;
    memrscidentry e;
    int rc = resource_getRscEntry(&e, fd->llP, typeId, rscId, nullptr);
    if (rc != 0)
        return rc;
    FILE *fp = rmgr_stream(fd->llP);
    if (fp == nullptr)
        return RSC_ERR_BAD_HANDLE;
    directP->rfHandle = rfHandle;
    directP->fileP = fp;
    directP->filePos = e.fileOffset;
    directP->rscSize = e.fileSize;
    return 0;
}

// Questions about resources: about one loaded resource (its size, type, id,
// file, alias), about all resources of one type in one file or in every
// file of the application (count, the n-th, highest and lowest id), and
// finding resources by alias.
#include "rscmgr/rmgrint.h"

#include <cstring>

namespace {

// The live resources of one type, counted in a file; 0 when it lacks the type.
uint32_t countInFile(uint32_t h, uint32_t typeId)
{
    memtypelistentry *m = rmgr_findType(rmgr_handleEntry(h)->llP, typeId);
    return m == nullptr ? 0 : m->numUndeleted;
}

struct nthctx {
    int32_t n;
    memrscidentry found;
    int hit;
};

int takeNth(void *vctx, const memrscidentry *e)
{
    nthctx *c = (nthctx *)vctx;
    if (c->n-- == 0) {
        c->found = *e;
        c->hit = 1;
        return 1;
    }
    return 0;
}

// The n-th (from 0) live resource of the type in ascending id order; for
// handle 0 the files are taken in search order. RSC_ERR_NO_RESOURCE when
// there is none.
int findNthRsc(memrscidentry *entryP, uint32_t *handleP, uint32_t rfHandle, uint32_t typeId,
               int32_t n)
{
    if (n < 0)
        return RSC_ERR_NO_RESOURCE;
    std::vector<uint32_t> files = rfHandle != 0 ? std::vector<uint32_t>{rfHandle} : rmgr_searchOrder();
    for (uint32_t h : files) {
        uint32_t c = countInFile(h, typeId);
        if ((uint32_t)n >= c) {
            n -= (int32_t)c;
            continue;
        }
        nthctx ctx{n, {}, 0};
        int rc = rmgr_forEachEntry(rmgr_handleEntry(h)->llP, typeId, takeNth, &ctx);
        if (rc < 0)
            return rc;
        if (!ctx.hit)
            return RSC_ERR_NO_RESOURCE;
        *entryP = ctx.found;
        *handleP = h;
        return 0;
    }
    return RSC_ERR_NO_RESOURCE;
}

struct aliasmatchctx {
    const char *alias;
    int32_t n;          // the match wanted, or -1 to count them all
    int32_t matches;
    int32_t id;
};

int matchAlias(void *vctx, const memrscidentry *e)
{
    aliasmatchctx *c = (aliasmatchctx *)vctx;
    if (e->aliasRecP == nullptr || std::strcmp(e->aliasRecP->text.c_str(), c->alias) != 0)
        return 0;
    if (c->matches++ == c->n) {
        c->id = e->rscId;
        return 1;
    }
    return 0;
}

struct extremectx {
    int32_t lo;
    int32_t hi;
    int any;
};

int noteExtreme(void *vctx, const memrscidentry *e)
{
    extremectx *c = (extremectx *)vctx;
    if (!c->any || e->rscId < c->lo)
        c->lo = e->rscId;
    if (!c->any || e->rscId > c->hi)
        c->hi = e->rscId;
    c->any = 1;
    return 0;
}

int copyText(char *out, size_t outSize, const std::string &text)
{
    if (text.size() >= outSize)
        return RSC_ERR_BAD_ARGUMENT;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 0;
}

} // namespace

int qtkResource_query(void *returnValue, const void *resource, int queryId)
{
    auto it = loadedRscTree.find(resource);
    if (resource == nullptr || it == loadedRscTree.end())
        return RSC_ERR_NOT_LOADED;
    if (returnValue == nullptr)
        return RSC_ERR_NULL_RESULT;
    const rschandleentry &e = it->second;
    switch (queryId) {
    case RSC_Q_SIZE:
        *(uint32_t *)returnValue = e.rscSize;
        return 0;
    case RSC_Q_TYPE:
        *(uint32_t *)returnValue = e.typeId;
        return 0;
    case RSC_Q_ID:
        *(int32_t *)returnValue = e.rscId;
        return 0;
    case RSC_Q_HANDLE: {
        uint32_t h = e.rfHandles.empty() ? e.rfHandle : e.rfHandles.front();
        for (uint32_t x : e.rfHandles) {
            const rscfiledescr *fd = rmgr_handleEntry(x);
            if (fd != nullptr && fd->qtkDesc == &standaloneDesc) {
                h = x;
                break;
            }
        }
        *(uint32_t *)returnValue = h;
        return 0;
    }
    case RSC_Q_FILENAME:
        *(const char **)returnValue = e.llP->fileName.c_str();
        return 0;
    case RSC_Q_ALIAS:
        *(const char **)returnValue = e.aliasRecP != nullptr ? e.alias.c_str() : nullptr;
        return 0;
    case RSC_Q_FILESIZE:
        *(uint32_t *)returnValue = e.rscFileSize;
        return 0;
    case RSC_Q_PLATFORM:
        *(int32_t *)returnValue = e.llP->platformID;
        return 0;
    case RSC_Q_DATAPROPS:
        std::memcpy(returnValue, e.llP->dataProps, sizeof e.llP->dataProps);
        return 0;
    default:
        return RSC_ERR_BAD_QUERY;
    }
}

int qtkResource_queryClass(void *returnValue, uint32_t rfHandle, uint32_t typeId, int queryId,
                           const int32_t *arg)
{
    if (returnValue == nullptr)
        return RSC_ERR_NULL_RESULT;
    rscfiledescr *fd = rfHandle != 0 ? rmgr_handleEntry(rfHandle) : nullptr;
    if (rfHandle != 0 && fd == nullptr)
        return RSC_ERR_BAD_HANDLE;
    if (fd != nullptr && rmgr_findType(fd->llP, typeId) == nullptr &&
        (queryId == RSC_QC_ID || queryId == RSC_QC_HANDLE || queryId == RSC_QC_FILENAME ||
         queryId == RSC_QC_COUNT || queryId == RSC_QC_ALIAS || queryId == RSC_QC_EXISTS ||
         queryId == RSC_QC_HIGHEST || queryId == RSC_QC_LOWEST))
        return RSC_ERR_NO_TYPE;

    switch (queryId) {
    case RSC_QC_ID:
    case RSC_QC_HANDLE:
    case RSC_QC_FILENAME:
    case RSC_QC_ALIAS: {
        if (arg == nullptr)
            return RSC_ERR_BAD_ARGUMENT;
        memrscidentry e;
        uint32_t h = 0;
        int rc = findNthRsc(&e, &h, rfHandle, typeId, *arg);
        if (rc != 0)
            return queryId == RSC_QC_ID && rc == RSC_ERR_NO_RESOURCE ? RSC_ERR_NO_RESOURCE_ID : rc;
        if (queryId == RSC_QC_ID)
            *(int32_t *)returnValue = e.rscId;
        else if (queryId == RSC_QC_HANDLE)
            *(uint32_t *)returnValue = h;
        else if (queryId == RSC_QC_FILENAME)
            return copyText((char *)returnValue, RSC_MAX_PATH + 1, rmgr_handleEntry(h)->llP->fileName);
        else
            return copyText((char *)returnValue, RSC_MAX_ALIAS + 1,
                            e.aliasRecP != nullptr ? e.aliasRecP->text : std::string());
        return 0;
    }
    case RSC_QC_COUNT: {
        uint32_t total = 0;
        std::vector<uint32_t> files =
            rfHandle != 0 ? std::vector<uint32_t>{rfHandle} : rmgr_searchOrder();
        for (uint32_t h : files)
            total += countInFile(h, typeId);
        *(int32_t *)returnValue = (int32_t)total;
        return 0;
    }
    case RSC_QC_EXISTS: {
        if (arg == nullptr)
            return RSC_ERR_BAD_ARGUMENT;
        int found = 0;
        memrscidentry e;
        if (fd != nullptr) {
            int rc = resource_getRscEntry(&e, fd->llP, typeId, *arg, nullptr);
            if (rc != 0 && rc != RSC_ERR_NO_RESOURCE)
                return rc;
            found = rc == 0;
        } else {
            uint32_t h;
            found = rmgr_findHandleHolding(&h, typeId, *arg, nullptr) == 0;
        }
        *(int32_t *)returnValue = found;
        return 0;
    }
    case RSC_QC_HIGHEST:
    case RSC_QC_LOWEST: {
        if (fd == nullptr)
            return RSC_ERR_BAD_HANDLE;
        extremectx c{0, 0, 0};
        int rc = rmgr_forEachEntry(fd->llP, typeId, noteExtreme, &c);
        if (rc < 0)
            return rc;
        if (!c.any)
            return RSC_ERR_NO_RESOURCE;
        *(int32_t *)returnValue = queryId == RSC_QC_HIGHEST ? c.hi : c.lo;
        return 0;
    }
    default:
        // Free ids for adding (13, 14, 20) belong to writing, which this
        // manager does not do.
        return RSC_ERR_BAD_QUERY;
    }
}

int qtkResource_queryClassByAlias(void *returnValue, uint32_t rfHandle, uint32_t typeId,
                                  int queryId, const int32_t *arg, const char *alias)
{
    if (returnValue == nullptr)
        return RSC_ERR_NULL_RESULT;
    if (alias == nullptr || *alias == '\0')
        return qtkResource_queryClass(returnValue, rfHandle, typeId, queryId, arg);
    if (queryId != RSC_QC_ID && queryId != RSC_QC_COUNT)
        return RSC_ERR_BAD_QUERY;
    if (rfHandle != 0 && rmgr_handleEntry(rfHandle) == nullptr)
        return RSC_ERR_BAD_HANDLE;
    if (queryId == RSC_QC_ID && (arg == nullptr || *arg < 0))
        return arg == nullptr ? RSC_ERR_BAD_ARGUMENT : RSC_ERR_NO_RESOURCE;

    aliasmatchctx c{alias, queryId == RSC_QC_ID ? *arg : -1, 0, 0};
    std::vector<uint32_t> files = rfHandle != 0 ? std::vector<uint32_t>{rfHandle} : rmgr_searchOrder();
    for (uint32_t h : files) {
        int rc = rmgr_forEachEntry(rmgr_handleEntry(h)->llP, typeId, matchAlias, &c);
        if (rc == 1)
            break;
        if (rc < 0 && (rfHandle != 0 || rc != RSC_ERR_NO_TYPE))
            return rc;
    }
    if (queryId == RSC_QC_COUNT) {
        *(int32_t *)returnValue = c.matches;
        return 0;
    }
    if (c.matches <= c.n)
        return RSC_ERR_NO_RESOURCE;
    *(int32_t *)returnValue = c.id;
    return 0;
}

// Resource files by handle: finding a file along VX_RSRCPATH, opening and
// sharing it, reading and checking its directory, keeping at most 12
// operating-system streams open (others go dormant), closing, creating an
// empty file, and the trace switches.
//
// Invariants kept here:
//  1. Entry 0 of rscFileTable is never handed out; an entry is in use
//     exactly when its qtkDesc is set, and then its llP is set.
//  2. An open file has one LowLevelFileInfo, shared by its handles
//     (numOpens of them); its stream is active, dormant or locked.
//  3. An active or locked file owns exactly one stream slot (fiP); a
//     dormant one owns none and keeps its whole directory in memory.
//  4. A file's directory was checked against the file's size before any
//     of it is used: the type list, every id table read and every data
//     block lie inside the file, and ids never decrease.
#include "rscmgr/rmgrint.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "util/findfile.h"

rscstats rscStats;
int qtkErrno;
standaloneqtkdesc standaloneDesc = {nullptr, nullptr, nullptr};
std::vector<rscfiledescr> rscFileTable;
long rmgrFileReads;

namespace {

enum { HANDLE_TABLE_STEP = 10, FIND_READ_ONLY = 42 };

struct fileinfoptr {
    FILE *fp;
};

fileinfoptr fileInfoSlots[RSC_MAX_STREAMS];
uint32_t recycledLast = 1;
uint32_t rscDebugFlags[RSC_DEBUG_FLAGS / 32];
int rscAtLeastOneDebugFlagSet;

const char *const kStateNames[] = {"FH_NOT_IN_USE - ", "FH_ACTIVE     - ", "FH_DORMANT    - ",
                                   "FH_LOCKED     - "};

int equalIgnoringCase(const char *a, const char *b)
{
    for (;; a++, b++) {
        int ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z')
            cb += 'a' - 'A';
        if (ca != cb)
            return 0;
        if (ca == 0)
            return 1;
    }
}

void ensureHandleTable()
{
    if (rscFileTable.empty()) {
        rscFileTable.resize(HANDLE_TABLE_STEP + 1, rscfiledescr{nullptr, 0, 0, nullptr});
        rscStats.fileTableLimit = HANDLE_TABLE_STEP;
        rscStats.rscTreeInited = 1;
    }
}

// Closes the stream of an active file to free its slot, trying the entries
// round robin from the one made dormant last.
int makeOneDormant()
{
    size_t n = rscFileTable.size();
    for (int pass = 0; pass < 2; pass++) {
        for (size_t h = pass == 0 ? recycledLast : 1; h < n; h++) {
            rscfiledescr &fd = rscFileTable[h];
            if (fd.qtkDesc == nullptr || fd.llP->openMode != FH_ACTIVE)
                continue;
            LowLevelFileInfo *ll = fd.llP;
            int slot = ll->fiP;
            if (rmgr_debugOn(4))
                qtkResource_logDebugMsg("%s%s\n", "DBG4 - fclose (DORMANT)   - filename = ",
                                        ll->fileName.c_str());
            std::fclose(fileInfoSlots[slot].fp);
            fileInfoSlots[slot].fp = nullptr;
            ll->fiP = -1;
            ll->openMode = FH_DORMANT;
            recycledLast = (uint32_t)h;
            return slot;
        }
    }
    return -1;
}

int getNextFileInfoSlot()
{
    for (int i = 0; i < RSC_MAX_STREAMS; i++)
        if (fileInfoSlots[i].fp == nullptr)
            return i;
    return makeOneDormant();
}

void closeStream(LowLevelFileInfo *ll)
{
    if (ll->fiP >= 0) {
        if (rmgr_debugOn(4))
            qtkResource_logDebugMsg("%s%s\n", "DBG4 - fclose             - filename = ",
                                    ll->fileName.c_str());
        std::fclose(fileInfoSlots[ll->fiP].fp);
        fileInfoSlots[ll->fiP].fp = nullptr;
        ll->fiP = -1;
    }
    ll->openMode = FH_NOT_IN_USE;
}

int pushHandle(qtkrscfilehandlelist **listPP, uint32_t h)
{
    qtkrscfilehandlelist *node = new (std::nothrow) qtkrscfilehandlelist{h, *listPP};
    if (node == nullptr)
        return RSC_ERR_LIST_MEMORY;
    *listPP = node;
    return 0;
}

// Removes one occurrence of the handle from whichever list holds it.
void removeHandleOnce(uint32_t h)
{
    for (qtkrscfilehandlelist **pp : {&standaloneDesc.overrideRfHandleList,
                                      &standaloneDesc.rscFileHandleList}) {
        for (; *pp != nullptr; pp = &(*pp)->nextP) {
            if ((*pp)->rfHandle == h) {
                qtkrscfilehandlelist *dead = *pp;
                *pp = dead->nextP;
                delete dead;
                return;
            }
        }
    }
}

unsigned flagsFromAttributes(uint32_t attr)
{
    unsigned f = RFD_CONVERSION_ALLOWED;
    if (attr & RSC_OPEN_UPDATE)
        f |= RFD_WRITEABLE;
    if (!(attr & RSC_OPEN_NO_FLUSH))
        f |= RFD_FLUSHABLE;
    if (attr & RSC_OPEN_OVERRIDE)
        f |= RFD_OVERRIDE;
    if (!(attr & RSC_OPEN_DISABLED))
        f |= RFD_ENABLED;
    if (attr & RSC_OPEN_DENY_WRITE)
        f |= RFD_DENY_WRITE;
    if (attr & RSC_OPEN_EXPLICIT_CLOSE)
        f |= RFD_EXPLICIT_CLOSE;
    if (attr & RSC_OPEN_SYMBOLOGY)
        f |= RFD_SYMBOLOGY;
    if (attr & RSC_OPEN_IMMEDIATE)
        f |= RFD_IMMEDIATE_UPDS;
    return f;
}

int isListed(uint32_t typeId, const uint32_t *typeIds, int numTypes)
{
    if (typeId == RSC_TYPE_ALIAS || typeId == RSC_TYPE_DATADEF)
        return 1;
    for (int i = 0; i < numTypes; i++)
        if (typeIds[i] == typeId)
            return 1;
    return 0;
}

// Reads and checks the header and type list, then builds the range tables
// (and alias lists) of the wanted types. `typeIds` null: every type.
int loadTypeList(LowLevelFileInfo *ll, const uint32_t *typeIds, int numTypes)
{
    unsigned char raw[RSC_HEADER_READ_SIZE];
    rscfileheader h;
    if (ll->fileSize < RSC_HEADER_READ_SIZE || rmgr_read(ll, 0, raw, sizeof raw) != 0)
        return RSC_ERR_FILE;
    rsc_decodeHeader(raw, &h);
    if (h.signature != RSC_SIGNATURE_PLATFORM && h.signature != RSC_SIGNATURE_PLAIN)
        return RSC_ERR_FILE;
    if ((uint64_t)h.typeListOffset + (uint64_t)h.typeListSize * RSC_TYPE_ENTRY_SIZE > ll->fileSize)
        return RSC_ERR_FILE;

    ll->typeList.resize(h.typeListSize);
    if (h.typeListSize != 0) {
        std::vector<unsigned char> bytes((size_t)h.typeListSize * RSC_TYPE_ENTRY_SIZE);
        if (rmgr_read(ll, h.typeListOffset, bytes.data(), bytes.size()) != 0)
            return RSC_ERR_FILE;
        for (uint32_t i = 0; i < h.typeListSize; i++) {
            filetypelistentry fe;
            rsc_decodeTypeEntry(&bytes[(size_t)i * RSC_TYPE_ENTRY_SIZE], &fe);
            memtypelistentry &m = ll->typeList[i];
            m.deleted = fe.deleted & 1;
            m.typeId = fe.typeId;
            m.numEntries = fe.numEntries;
            m.rscIdTable = fe.rscIdTableOffset;
            m.numDeleted = 0;
            m.numUndeleted = 0;
            m.nextAvailAliasId = 1;
            m.rangesBuilt = 0;
            m.dirty = m.hasAliases = m.dirtyAliases = 0;
            if (!m.deleted)
                ll->numUndelTypes++;
        }
    }
    ll->fileTypeListOffset = h.typeListOffset;
    ll->numTypes = ll->fileNumTypes = h.typeListSize;
    ll->platformID = h.platformID;
    ll->supportsDataDefs = h.supportsDataDefs;
    std::memcpy(ll->dataProps, h.dataProps, sizeof ll->dataProps);
    ll->supportsAliasStrLists = (unsigned)h.supportsDataDefs & 1u;

    int rc = 0;
    for (memtypelistentry &m : ll->typeList) {
        if (m.deleted || (typeIds != nullptr && !isListed(m.typeId, typeIds, numTypes)))
            continue;
        int r = resource_calcRangeTables(ll, &m);
        if (r != 0)
            rc = r;
    }
    if (rc == 0 && ll->supportsAliasStrLists)
        rc = rmgr_loadAliasLists(ll);
    return rc;
}

void releaseLowLevel(LowLevelFileInfo *ll)
{
    closeStream(ll);
    rmgr_freeDirectory(ll);
    rmgr_freeSubRscs(ll);
    delete ll;
}

// Opens a file not open yet into a fresh handle entry.
int openNewFile(uint32_t *rfHandleP, const char *fullName, uint32_t attr, const uint32_t *typeIds,
                int numTypes)
{
    int test = resource_findFile(nullptr, fullName, UTIL_OPT_OPEN_ANY);
    if (test != 0 && test != FIND_READ_ONLY)
        return RSC_ERR_FILE;
    if (test == FIND_READ_ONLY && (attr & RSC_OPEN_UPDATE))
        return RSC_ERR_NOT_WRITABLE;

    if ((size_t)rscStats.numFileHandles >= (size_t)rscStats.fileTableLimit) {
        rscFileTable.resize(rscFileTable.size() + HANDLE_TABLE_STEP,
                            rscfiledescr{nullptr, 0, 0, nullptr});
        rscStats.fileTableLimit += HANDLE_TABLE_STEP;
    }
    uint32_t h = 1;
    while (h < rscFileTable.size() && rscFileTable[h].qtkDesc != nullptr)
        h++;
    if (h >= rscFileTable.size())
        return RSC_ERR_NO_HANDLE;

    LowLevelFileInfo *ll = new (std::nothrow) LowLevelFileInfo();
    if (ll == nullptr)
        return RSC_ERR_NO_MEMORY;
    // Memory that runs out on the way leaves no stream open and nothing
    // allocated behind.
    try {
        ll->fiP = -1;
        ll->openMode = FH_NOT_IN_USE;
        ll->openAttr = test == 0 ? "r+b" : "rb";
        ll->fileName = fullName;
        qtkResource_generateHashValue(&ll->fileHashValue, fullName, 1);
        platform_fileId(fullName, &ll->fileDevice, &ll->fileInode);

        int slot = getNextFileInfoSlot();
        if (slot < 0) {
            delete ll;
            return RSC_ERR_BAD_HANDLE;
        }
        if (rmgr_debugOn(3))
            qtkResource_logDebugMsg("%s%s\n", "DBG3 - fopen              - filename = ", fullName);
        FILE *fp = platform_fopen(fullName, ll->openAttr);
        if (fp == nullptr) {
            qtkErrno = RSC_ERR_STREAM;
            delete ll;
            return RSC_ERR_FILE;
        }
        fileInfoSlots[slot].fp = fp;
        ll->fiP = slot;
        ll->openMode = FH_ACTIVE;
        int64_t size = -1;
        if (platform_length(platform_streamFd(fp), &size) != 0)
            size = -1;
        ll->fileSize = size < 0 ? 0 : (uint64_t)size;

        // Offsets in the file are 32-bit: a bigger file is not a resource file.
        int rc = size < 0 || (uint64_t)size > UINT32_MAX ? RSC_ERR_FILE : loadTypeList(ll, typeIds, numTypes);
        if (rc != 0) {
            releaseLowLevel(ll);
            return RSC_ERR_FILE;
        }
        ll->numOpens = 1;
        rscfiledescr &fd = rscFileTable[h];
        fd.qtkDesc = &standaloneDesc;
        fd.numOpensSameApp = 1;
        fd.flags = flagsFromAttributes(attr);
        fd.llP = ll;
        rscStats.numFilesOpen++;
        rscStats.numFileHandles++;
        *rfHandleP = h;
        return 0;
    } catch (const std::bad_alloc &) {
        releaseLowLevel(ll);
        return RSC_ERR_NO_MEMORY;
    }
}

int openFileEngine(uint32_t *rfHandleP, const char *fileName, uint32_t attr,
                   const uint32_t *typeIds, int numTypes)
{
    if (rfHandleP == nullptr)
        return RSC_ERR_NULL_RESULT;
    *rfHandleP = 0;
    if (fileName == nullptr || *fileName == '\0')
        fileName = standaloneDesc.pfile_name;
    if (fileName == nullptr)
        return RSC_ERR_NO_FILE;
    char fullName[RSC_MAX_PATH + 1];
    int rc = resource_findFile(fullName, fileName, 0);
    if (rc != 0)
        return rc;
    ensureHandleTable();

    uint32_t hash;
    qtkResource_generateHashValue(&hash, fullName, 1);
    uint64_t dev = 0, ino = 0;
    int haveId = platform_fileId(fullName, &dev, &ino) == 0;
    uint32_t h = 0;
    for (uint32_t i = 1; i < rscFileTable.size() && h == 0; i++) {
        const rscfiledescr &fd = rscFileTable[i];
        if (fd.qtkDesc == nullptr || fd.llP->openMode == FH_NOT_IN_USE)
            continue;
        const LowLevelFileInfo *ll = fd.llP;
        // Names that differ only in case are one file only when the system
        // says so: on Linux they may well be two.
        if (ll->fileHashValue == hash && equalIgnoringCase(ll->fileName.c_str(), fullName) &&
            (ll->fileName == fullName || (haveId && ll->fileDevice == dev && ll->fileInode == ino)))
            h = i;
    }

    if (h != 0) {
        rscfiledescr &fd = rscFileTable[h];
        if ((attr & RSC_OPEN_UPDATE) && std::strcmp(fd.llP->openAttr, "rb") == 0)
            return RSC_ERR_NOT_WRITABLE;
        if ((attr & RSC_OPEN_OVERRIDE) && (fd.flags & RFD_OVERRIDE))
            return RSC_ERR_ALREADY_OPEN;
        if (attr & RSC_OPEN_UPDATE)
            fd.flags |= RFD_WRITEABLE | RFD_FLUSHABLE;
        if (attr & RSC_OPEN_EXPLICIT_CLOSE)
            fd.flags |= RFD_EXPLICIT_CLOSE;
        fd.numOpensSameApp++;
        if (rmgr_debugOn(1))
            qtkResource_logDebugMsg("DBG1 - openFile (dup %3d) - rfHandle = %3d, mode = 0x%08X\n",
                                    fd.numOpensSameApp, (int)h, attr);
    } else {
        rc = openNewFile(&h, fullName, attr, typeIds, numTypes);
        if (rc != 0)
            return rc;
        if (rmgr_debugOn(1))
            qtkResource_logDebugMsg("DBG1 - openFile           - rfHandle = %3d, mode = 0x%08X\n",
                                    (int)h, attr);
    }

    rscfiledescr &fd = rscFileTable[h];
    rc = pushHandle(fd.flags & RFD_OVERRIDE ? &standaloneDesc.overrideRfHandleList
                                            : &standaloneDesc.rscFileHandleList,
                    h);
    if (rc != 0) {
        // Undo this open only: the list holds one occurrence per earlier open.
        if (fd.numOpensSameApp >= 2)
            fd.numOpensSameApp--;
        else
            qtkResource_closeFile(h);
        return rc;
    }
    *rfHandleP = h;
    return 0;
}

void printHandleTable()
{
    for (size_t i = 1; i < rscFileTable.size(); i++) {
        const rscfiledescr &fd = rscFileTable[i];
        if (fd.qtkDesc == nullptr) {
            qtkResource_logDebugMsg("%2d - FH_NOT_IN_USE\n", (int)i);
            continue;
        }
        const LowLevelFileInfo *ll = fd.llP;
        int st = ll->openMode >= 0 && ll->openMode <= 3 ? ll->openMode : 0;
        qtkResource_logDebugMsg("%2d - %s(%s) - #=%02d - (%s)%s\n", (int)i, kStateNames[st],
                                ll->openAttr, fd.numOpensSameApp, ll->fileName.c_str(),
                                fd.flags & RFD_EXPLICIT_CLOSE ? "(stub)" : "");
    }
}

} // namespace

rscfiledescr *rmgr_handleEntry(uint32_t rfHandle)
{
    if (rfHandle == 0 || rfHandle >= rscFileTable.size())
        return nullptr;
    rscfiledescr *fd = &rscFileTable[rfHandle];
    if (fd->qtkDesc == nullptr || fd->llP == nullptr || fd->llP->openMode == FH_NOT_IN_USE)
        return nullptr;
    return fd;
}

int rmgr_streamState(uint32_t rfHandle)
{
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    return fd == nullptr ? FH_NOT_IN_USE : fd->llP->openMode;
}

FILE *rmgr_stream(LowLevelFileInfo *ll)
{
    if (ll->openMode == FH_ACTIVE || ll->openMode == FH_LOCKED)
        return fileInfoSlots[ll->fiP].fp;
    if (ll->openMode != FH_DORMANT) {
        qtkErrno = RSC_ERR_BAD_HANDLE;
        return nullptr;
    }
    int slot = getNextFileInfoSlot();
    if (slot < 0) {
        qtkErrno = RSC_ERR_BAD_HANDLE;
        return nullptr;
    }
    if (rmgr_debugOn(3))
        qtkResource_logDebugMsg("%s%s\n", "DBG3 - fopen (REACTIVATE) - filename = ",
                                ll->fileName.c_str());
    FILE *fp = platform_fopen(ll->fileName.c_str(), ll->openAttr);
    if (fp == nullptr && std::strcmp(ll->openAttr, "rb") != 0) {
        // No handle here ever writes, so reading is always good enough.
        fp = platform_fopen(ll->fileName.c_str(), "rb");
    }
    if (fp == nullptr) {
        qtkErrno = RSC_ERR_STREAM;
        return nullptr;
    }
    fileInfoSlots[slot].fp = fp;
    ll->fiP = slot;
    ll->openMode = FH_ACTIVE;
    return fp;
}

int rmgr_read(LowLevelFileInfo *ll, uint64_t offset, void *buf, size_t n)
{
    if (offset > ll->fileSize || n > ll->fileSize - offset)
        return RSC_ERR_FILE;
    FILE *fp = rmgr_stream(ll);
    if (fp == nullptr)
        return RSC_ERR_FILE;
    rmgrFileReads++;
    // Through the platform layer, so a failing or short read is seen (and
    // can be injected); the stream's own position is left alone.
    if (n != 0 && platform_read(platform_streamFd(fp), (int64_t)offset, buf, n) != (int64_t)n)
        return RSC_ERR_FILE;
    return 0;
}

std::vector<uint32_t> rmgr_searchOrder(void)
{
    std::vector<uint32_t> out;
    for (const qtkrscfilehandlelist *list :
         {standaloneDesc.overrideRfHandleList, standaloneDesc.rscFileHandleList}) {
        for (const qtkrscfilehandlelist *p = list; p != nullptr; p = p->nextP) {
            const rscfiledescr *fd = rmgr_handleEntry(p->rfHandle);
            if (fd == nullptr || !(fd->flags & RFD_ENABLED))
                continue;
            // A handle opened twice is listed twice but is still one file.
            bool seen = false;
            for (uint32_t h : out)
                seen = seen || h == p->rfHandle;
            if (!seen)
                out.push_back(p->rfHandle);
        }
    }
    return out;
}

int resource_findFile(char *foundFileName, const char *baseFileName, int ufOpenMode)
{
    if (baseFileName == nullptr || *baseFileName == '\0')
        return RSC_ERR_FILE;
    char out[UTIL_MAX_PATH + 1];
    out[0] = '\0';
    int rc = util_findFile(nullptr, out, baseFileName, "VX_RSRCPATH", nullptr, ufOpenMode);
    // A failed search never reads as success.
    if (rc != 0 && rc != FIND_READ_ONLY)
        return RSC_ERR_FILE;
    if (foundFileName != nullptr) {
        size_t n = std::strlen(out);
        if (n > RSC_MAX_PATH)
            return RSC_ERR_FILE;
        std::memcpy(foundFileName, out, n + 1);
    }
    return rc;
}

int qtkResource_openFile(uint32_t *rfHandleP, const char *fileName, uint32_t fileAttributes)
{
    return openFileEngine(rfHandleP, fileName, fileAttributes, nullptr, 0);
}

int qtkResource_openFileRestricted(uint32_t *rfHandleP, const char *fileName,
                                   const uint32_t *typeIds, int numTypes)
{
    if (numTypes < 0 || (numTypes > 0 && typeIds == nullptr))
        return RSC_ERR_BAD_ARGUMENT;
    static const uint32_t kNone = 0;
    return openFileEngine(rfHandleP, fileName, 0, typeIds != nullptr ? typeIds : &kNone, numTypes);
}

int qtkResource_closeFile(uint32_t rfHandle)
{
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    if (fd == nullptr)
        return 0;
    if (fd->numOpensSameApp >= 2) {
        fd->numOpensSameApp--;
        removeHandleOnce(rfHandle);
        if (rmgr_debugOn(2))
            qtkResource_logDebugMsg("DBG2 - closeFile(app dup) - rfHandle = %3d\n", (int)rfHandle);
        return 0;
    }
    if (rmgr_debugOn(2))
        qtkResource_logDebugMsg("DBG2 - closeFile          - rfHandle = %3d\n", (int)rfHandle);
    // Files are only read here: nothing is pending to be written or compressed.
    rmgr_releaseLoadsOfHandle(rfHandle);
    LowLevelFileInfo *ll = fd->llP;
    if (--ll->numOpens <= 0) {
        releaseLowLevel(ll);
        rscStats.numFilesOpen--;
    }
    removeHandleOnce(rfHandle);
    *fd = rscfiledescr{nullptr, 0, 0, nullptr};
    rscStats.numFileHandles--;
    return 0;
}

FILE *qtkResource_getFilePointer(uint32_t rfHandle)
{
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    if (fd == nullptr) {
        qtkErrno = RSC_ERR_BAD_HANDLE;
        return nullptr;
    }
    return rmgr_stream(fd->llP);
}

int qtkResource_lockRscFileHandle(uint32_t rfHandle)
{
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    if (fd == nullptr)
        return RSC_ERR_BAD_HANDLE;
    if (fd->llP->openMode == FH_ACTIVE)
        fd->llP->openMode = FH_LOCKED;
    return 0;
}

int qtkResource_isResourceFile(const char *filenameP)
{
    char fullName[RSC_MAX_PATH + 1];
    if (resource_findFile(fullName, filenameP, 0) != 0)
        return 0;
    FILE *fp = platform_fopen(fullName, "rb");
    if (fp == nullptr)
        return 0;
    unsigned char raw[RSC_HEADER_READ_SIZE];
    int64_t got = platform_read(platform_streamFd(fp), 0, raw, sizeof raw);
    std::fclose(fp);
    if (got != (int64_t)sizeof raw)
        return 0;
    rscfileheader h;
    rsc_decodeHeader(raw, &h);
    return h.signature == RSC_SIGNATURE_PLATFORM || h.signature == RSC_SIGNATURE_PLAIN;
}

int qtkResource_createFile(const char *filename, const char *ident, int32_t version)
{
    return qtkResource_createFileForPlatform(filename, ident, version, RSC_PLATFORM_NATIVE);
}

int qtkResource_createFileForPlatform(const char *filename, const char *ident, int32_t version,
                                      int32_t platformId)
{
    if (filename == nullptr || *filename == '\0')
        return RSC_ERR_BAD_ARGUMENT;
    char fullName[RSC_MAX_PATH + 1];
    if (resource_findFile(fullName, filename, 0) == 0) {
        uint32_t hash;
        qtkResource_generateHashValue(&hash, fullName, 1);
        for (size_t i = 1; i < rscFileTable.size(); i++) {
            const rscfiledescr *fd = rmgr_handleEntry((uint32_t)i);
            if (fd != nullptr && fd->llP->fileHashValue == hash && fd->llP->fileName == fullName)
                return RSC_ERR_ALREADY_OPEN;
        }
    }

    rscfileheader h;
    std::memset(&h, 0, sizeof h);
    // The properties are looked up first so that a bad platform leaves no file.
    if (platformId != RSC_PLATFORM_NONE) {
        if (dataprop_getPropertiesByPlatform(platformId, h.dataProps) != 0)
            return RSC_ERR_NO_PLATFORM;
        h.supportsDataDefs = 1;
        h.signature = RSC_SIGNATURE_PLATFORM;
        h.sysVersion = RSC_SYS_VERSION_PLATFORM;
    } else {
        h.supportsDataDefs = 0;
        h.signature = RSC_SIGNATURE_PLAIN;
        h.sysVersion = RSC_SYS_VERSION_PLAIN;
    }
    const char *text = ident != nullptr ? ident : RSC_STANDARD_ID;
    size_t n = std::strlen(text);
    if (n > RSC_ID_STRING_SIZE - 1)
        n = RSC_ID_STRING_SIZE - 1;
    std::memcpy(h.idString, text, n);
    h.idString[n] = (char)RSC_ID_STRING_END;
    h.applVersion = version;
    h.platformID = platformId;

    FILE *fp = platform_fopen(filename, "wb");
    if (fp == nullptr)
        return errno == EACCES || errno == EROFS || errno == EPERM ? RSC_ERR_NOT_WRITABLE
                                                                    : RSC_ERR_FILE;
    unsigned char bytes[RSC_HEADER_SIZE];
    rsc_encodeHeader(&h, bytes);
    bool ok = std::fwrite(bytes, 1, sizeof bytes, fp) == sizeof bytes;
    ok = std::fclose(fp) == 0 && ok;
    if (!ok) {
        platform_remove(filename);
        return RSC_ERR_FILE;
    }
    return 0;
}

int rmgr_debugOn(int flag)
{
    if (!rscAtLeastOneDebugFlagSet || flag < 1 || flag > RSC_DEBUG_FLAGS)
        return 0;
    return (rscDebugFlags[(flag - 1) / 32] >> ((flag - 1) % 32)) & 1;
}

int qtkResource_setDebugFlag(const char *debugFlag)
{
    if (debugFlag == nullptr)
        return RSC_ERR_BAD_ARGUMENT;
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(debugFlag, &end, 10);
    if (end == debugFlag || *end != '\0' || errno != 0 || n < 0 || n > RSC_DEBUG_FLAGS)
        return RSC_ERR_BAD_ARGUMENT;
    if (n == 0) {
        printHandleTable();
        return 0;
    }
    rscDebugFlags[(n - 1) / 32] ^= 1u << ((n - 1) % 32);
    rscAtLeastOneDebugFlagSet = 0;
    for (uint32_t w : rscDebugFlags)
        rscAtLeastOneDebugFlagSet |= w != 0;
    return 0;
}

void qtkResource_logDebugMsg(const char *fmt, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fputs(line, stdout);
}

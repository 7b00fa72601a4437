// Inside the resource manager: the handle table, the per-file directory
// kept in memory (types, id ranges, id trees, aliases), loaded resources and
// string-list pieces, shared by the rmgr modules (and inspected by tests).
#ifndef CATALOGR_RMGRINT_H
#define CATALOGR_RMGRINT_H

#include "rscmgr/rscmgr.h"

#include <map>
#include <string>
#include <tuple>
#include <vector>

// Stream states of a file.
enum { FH_NOT_IN_USE = 0, FH_ACTIVE = 1, FH_DORMANT = 2, FH_LOCKED = 3 };

// Handle flags, bit 0 first.
enum {
    RFD_DENY_WRITE = 0x001,
    RFD_WRITEABLE = 0x002,
    RFD_FLUSHABLE = 0x004,
    RFD_ENABLED = 0x008,
    RFD_OVERRIDE = 0x010,
    RFD_CONVERSION_ALLOWED = 0x020,
    RFD_EXPLICIT_CLOSE = 0x040,
    RFD_SYMBOLOGY = 0x080,
    RFD_IMMEDIATE_UPDS = 0x100,
    RFD_USERPREF = 0x200
};

// One alias of a type. Keyed in the type's tree by hash, alias id, resource
// id and text; inline aliases (kept in the id entries) have alias id 0.
struct rscaliasrecord {
    uint32_t hashValue;
    int32_t aliasId;
    int32_t rscId;
    int32_t nInfo;
    std::vector<int32_t> info;
    std::string text;
};
typedef std::tuple<uint32_t, int32_t, int32_t, std::string> rscaliaskey;

struct memrscidentry {
    int32_t rscId;
    const rscaliasrecord *aliasRecP;
    unsigned deleted;
    uint32_t fileOffset;
    uint32_t fileSize;
};

// A stretch of a type's id table covering the signed ids loRscId..hiRscId.
// Its entries (the "tree", kept sorted by id, alias hash, alias text) are
// read only when needed and dropped again by the id-tree cache.
struct rscidrange {
    int32_t loRscId;
    int32_t hiRscId;
    int dirty;
    uint32_t numUndelEntries;
    uint32_t fileOffset;
    uint32_t numOrigEntries;
    std::vector<memrscidentry> mRieP;
    int treeLoaded;
    struct LowLevelFileInfo *llP;   // owner, for the cache
};

struct memtypelistentry {
    unsigned deleted;
    unsigned dirty;
    unsigned hasAliases;
    unsigned dirtyAliases;
    int rangesBuilt;                        // 0 for types a restricted open skipped
    std::vector<rscidrange *> rangeTree;    // ascending, covering every id
    std::map<rscaliaskey, rscaliasrecord> aliasInfoTree;
    int32_t nextAvailAliasId;
    uint32_t rscIdTable;
    uint32_t typeId;
    uint32_t numEntries;
    uint32_t numDeleted;
    uint32_t numUndeleted;                  // live entries, counted when ranges are built
};

// One piece of a string list: whole members lying at fileOffset.
struct subrscrec {
    uint32_t typeId;
    int32_t parentRscId;
    uint32_t subRscSize;
    uint32_t fileOffset;
    int32_t firstRecId;
    int32_t lastRecId;
    std::vector<unsigned char> memOffset;
    int loaded;
};

struct LowLevelFileInfo {
    uint32_t fileHashValue;
    std::string fileName;
    uint64_t fileDevice;
    uint64_t fileInode;
    int fiP;                    // stream slot, -1 when none
    const char *openAttr;       // "rb" or "r+b"
    int openMode;               // FH_...
    int32_t platformID;
    int32_t supportsDataDefs;
    int32_t dataProps[RSC_N_DATA_PROPS];
    std::vector<memtypelistentry> typeList;
    uint32_t fileTypeListOffset;
    uint32_t numTypes;
    uint32_t numUndelTypes;
    unsigned dirty;
    unsigned supportsAliasStrLists;
    uint64_t fileSize;          // measured when opened; every offset is checked against it
    std::vector<subrscrec> subRscList;
    int numOpens;
    uint32_t fileNumTypes;
};

struct qtkrscfilehandlelist {
    uint32_t rfHandle;
    qtkrscfilehandlelist *nextP;
};

// The one application of this program; current for every call.
struct standaloneqtkdesc {
    const char *pfile_name;
    qtkrscfilehandlelist *rscFileHandleList;
    qtkrscfilehandlelist *overrideRfHandleList;
};

struct rscfiledescr {
    standaloneqtkdesc *qtkDesc;     // null: entry free
    int numOpensSameApp;
    unsigned flags;                 // RFD_...
    LowLevelFileInfo *llP;
};

struct rschandleentry {
    void *rsc;
    uint32_t rfHandle;
    std::vector<uint32_t> rfHandles;    // one element per load not yet freed
    LowLevelFileInfo *llP;
    uint32_t typeId;
    int32_t rscId;
    uint32_t fileOffset;
    uint32_t rscSize;
    uint32_t rscFileSize;
    const rscaliasrecord *aliasRecP;
    std::string alias;
    int numOpens;
};

extern standaloneqtkdesc standaloneDesc;
extern std::vector<rscfiledescr> rscFileTable;
// Loaded resources by their data address: the only pointers free and query accept.
extern std::map<const void *, rschandleentry> loadedRscTree;
// Number of reads from resource files, for tests of the piece cache.
extern long rmgrFileReads;

// Handles and streams (rmgrfile).
rscfiledescr *rmgr_handleEntry(uint32_t rfHandle);
int rmgr_read(LowLevelFileInfo *llP, uint64_t offset, void *buf, size_t n);
FILE *rmgr_stream(LowLevelFileInfo *llP);
int rmgr_streamState(uint32_t rfHandle);
int rmgr_debugOn(int flag);
// Distinct enabled handles of the application in search order: override
// list, then normal list, each newest first.
std::vector<uint32_t> rmgr_searchOrder(void);

// Directory and loading (rmgrload).
memtypelistentry *rmgr_findType(LowLevelFileInfo *llP, uint32_t typeId);
int resource_calcRangeTables(LowLevelFileInfo *llP, memtypelistentry *mtleP);
int rmgr_loadAliasLists(LowLevelFileInfo *llP);
// Finds the live entry for an id (and alias, when given); 0 with a copy in
// *entryP, or RSC_ERR_NO_TYPE / RSC_ERR_NO_RESOURCE / RSC_ERR_FILE.
int resource_getRscEntry(memrscidentry *entryP, LowLevelFileInfo *llP, uint32_t typeId,
                         int32_t rscId, const char *alias);
// The type's live entries in ascending order; `visit` returns nonzero to stop.
int rmgr_forEachEntry(LowLevelFileInfo *llP, uint32_t typeId,
                      int (*visit)(void *ctx, const memrscidentry *e), void *ctx);
// First handle in search order holding a live entry of type, id and alias.
int rmgr_findHandleHolding(uint32_t *rfHandleP, uint32_t typeId, int32_t rscId, const char *alias);
int rmgr_needsConversion(const rscfiledescr *fd);
void rmgr_releaseLoadsOfHandle(uint32_t rfHandle);
void rmgr_freeDirectory(LowLevelFileInfo *llP);
int rmgr_idTreeLoaded(uint32_t rfHandle, uint32_t typeId, int32_t rscId);

// String lists (rmgrstrl).
// Walks the members of string-list bytes; `visit` gets the info values and
// text and returns nonzero to stop. Returns 0, or RSC_ERR_FILE for a member
// that breaks the layout. `usedP` (may be null) receives the bytes walked.
int rmgr_walkStringList(const unsigned char *p, size_t n, uint32_t maxMembers,
                        int (*visit)(void *ctx, const int32_t *info, uint32_t nInfo,
                                     const char *text, uint32_t textLen),
                        void *ctx, size_t *usedP);
void rmgr_freeSubRscs(LowLevelFileInfo *llP);

#endif

// Resource files: typed, numbered blocks of data in one binary container.
// Opening, sharing and closing files by handle, loading and freeing
// resources with reference counts, questions about them, and string lists.
//
// File layout (every integer 32-bit little-endian, offsets from byte 0):
//
//   Header, 340 bytes at 0 (only the first 128 are read on open):
//     0   64  idString       identification text, 0x1A in place of its zero
//     64   4  sysVersion     0x500 with a platform description, 0x400 without
//     68   4  applVersion    the creator's version number
//     72   4  signature      0x72466c35 ("5lFr") or 0x7246696c ("liFr")
//     76   4  typeListOffset offset of the type list, 0 when there is none
//     80   4  typeListSize   number of type-list entries
//     84   4  platformID     platform that wrote the data (0 none, 10 native)
//     88   4  supportsDataDefs  bit 0: aliases are kept in `Alia` string lists
//     92  36  dataProps      nine alignment and style values of the writer
//     128 212 reserved       zero
//
//   Type-list entry, 24 bytes:
//     0 deleted (bit 0)  4 typeId  8 numEntries  12 rscIdTableOffset
//     16 nextAvailAliasId  20 aliasInfoTree (both unused when reading)
//
//   Id-table entry, 32 bytes; a type's entries sorted by signed id:
//     0 deleted  4 rscId (signed)  8 rscData (offset)  12 dataSize
//     16 aliasInfo, 16 bytes: the alias text itself (zero-terminated when
//        shorter than 16), or, with alias string lists, four values
//        hVal, aliasId, stringLen, reserved (aliasId 0: no alias)
//
//   String list (types `str#`, `strL`, `Alia`):
//     0 nInfoFields  4 nMembers  8 members, each:
//       nInfo, nInfo info values, text length, text with its zero,
//       padding to a multiple of 4.
//     In a message list the first info value is the message number and the
//     members ascend by it. An `Alia` member's info values are the alias
//     hash, alias id, resource id, number of further values, those values.
//
// Caveats for callers: a loaded resource belongs to the manager and lives
// until its last free or until the handle it came through is closed; copy
// what you keep. Opening one file twice gives one handle that needs two
// closes. At most 12 operating-system streams are open at once; further
// files are reopened transparently when used. Single-threaded.
#ifndef CATALOGR_RSCMGR_H
#define CATALOGR_RSCMGR_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Format constants.
enum : uint32_t {
    RSC_HEADER_SIZE = 340,
    RSC_HEADER_READ_SIZE = 128,
    RSC_ID_STRING_SIZE = 64,
    RSC_TYPE_ENTRY_SIZE = 24,
    RSC_ID_ENTRY_SIZE = 32,
    RSC_ALIAS_FIELD_SIZE = 16,
    RSC_STRLIST_HEADER_SIZE = 8,
    RSC_N_DATA_PROPS = 9,

    RSC_SYS_VERSION_PLATFORM = 0x500,
    RSC_SYS_VERSION_PLAIN = 0x400,
    RSC_SIGNATURE_PLATFORM = 0x72466c35,    // bytes "5lFr"
    RSC_SIGNATURE_PLAIN = 0x7246696c,       // bytes "liFr"
    RSC_ID_STRING_END = 0x1A,

    RSC_TYPE_STRLIST = 0x73747223,          // str#
    RSC_TYPE_STRLIST_LONG = 0x7374724c,     // strL
    RSC_TYPE_RTCONFIG = 0x72744366,         // rtCf
    RSC_TYPE_ALIAS = 0x416c6961,            // Alia
    RSC_TYPE_DATADEF = 0x64446566,          // dDef

    RSC_PLATFORM_NONE = 0,
    RSC_PLATFORM_NATIVE = 10
};

#define RSC_STANDARD_ID "Zantharivelo Resource File - Version 5.0"

// Error numbers.
enum {
    RSC_ERR_NOT_WRITABLE = -108,
    RSC_ERR_NO_MEMORY = -116,
    RSC_ERR_BAD_ARGUMENT = -126,
    RSC_ERR_NULL_RESULT = -509,
    RSC_ERR_NO_RESOURCE_ID = -900,      // queryClass 3: no n-th resource
    RSC_ERR_FILE = -901,                // not found, not openable, bad, unreadable
    RSC_ERR_NO_FILE = -903,
    RSC_ERR_LIST_MEMORY = -904,
    RSC_ERR_NOT_LOADED = -907,
    RSC_ERR_NO_TYPE = -908,
    RSC_ERR_ALREADY_OPEN = -909,
    RSC_ERR_NO_RESOURCE = -912,
    RSC_ERR_NO_MEMBER = -913,
    RSC_ERR_BAD_QUERY = -914,
    RSC_ERR_BAD_HANDLE = -919,          // invalid handle, or no stream (slots all locked)
    RSC_ERR_STREAM = -922,
    RSC_ERR_NO_HANDLE = -923,
    RSC_ERR_NO_PLATFORM = -1106
};

// Open attributes (third argument of qtkResource_openFile).
enum {
    RSC_OPEN_UPDATE = 0x01,
    RSC_OPEN_NO_FLUSH = 0x02,
    RSC_OPEN_OVERRIDE = 0x04,
    RSC_OPEN_DISABLED = 0x08,
    RSC_OPEN_DENY_WRITE = 0x10,
    RSC_OPEN_EXPLICIT_CLOSE = 0x20,
    RSC_OPEN_SYMBOLOGY = 0x40,
    RSC_OPEN_IMMEDIATE = 0x80
};

// Questions of qtkResource_query about one loaded resource. Numbers are
// stored as 32-bit integers; 5 and 7 store a `const char *` (7: null when
// the resource has no alias); 18 stores nine int32_t values.
enum {
    RSC_Q_SIZE = 1,
    RSC_Q_TYPE = 2,
    RSC_Q_ID = 3,
    RSC_Q_HANDLE = 4,
    RSC_Q_FILENAME = 5,
    RSC_Q_ALIAS = 7,
    RSC_Q_FILESIZE = 16,
    RSC_Q_PLATFORM = 17,
    RSC_Q_DATAPROPS = 18
};

// Questions of qtkResource_queryClass about all resources of one type. `arg`
// points at an int32_t n (the n-th resource from 0, or the id for 21).
// Numbers are stored as 32-bit integers; 5 copies the file name into a
// buffer of RSC_MAX_PATH + 1 bytes, 7 the alias into RSC_MAX_ALIAS + 1.
enum {
    RSC_QC_ID = 3,
    RSC_QC_HANDLE = 4,
    RSC_QC_FILENAME = 5,
    RSC_QC_COUNT = 6,
    RSC_QC_ALIAS = 7,
    RSC_QC_EXISTS = 21,
    RSC_QC_HIGHEST = 22,
    RSC_QC_LOWEST = 23
};

enum {
    RSC_MAX_PATH = 4095,        // a full file name
    RSC_MAX_ALIAS = 255,        // an alias text
    RSC_PIECE_SIZE = 2048,      // string lists are read in pieces of this size
    RSC_MAX_STREAMS = 12,
    RSC_MAX_ID_TREES = 80,
    RSC_DEBUG_FLAGS = 320
};

// The header as a record; encoded and decoded field by field.
struct rscfileheader {
    char idString[RSC_ID_STRING_SIZE];
    uint32_t sysVersion;
    int32_t applVersion;
    uint32_t signature;
    uint32_t typeListOffset;
    uint32_t typeListSize;
    int32_t platformID;
    int32_t supportsDataDefs;
    int32_t dataProps[RSC_N_DATA_PROPS];
};

struct filetypelistentry {
    uint32_t deleted;
    uint32_t typeId;
    uint32_t numEntries;
    uint32_t rscIdTableOffset;
    uint32_t nextAvailAliasId;
    uint32_t aliasInfoTree;
};

struct filerscidentry {
    uint32_t deleted;
    int32_t rscId;
    uint32_t rscData;
    uint32_t dataSize;
    unsigned char aliasInfo[RSC_ALIAS_FIELD_SIZE];
};

// Where a resource's bytes lie, for callers that read them themselves.
struct rscdirectaccess {
    uint32_t rfHandle;
    FILE *fileP;
    uint32_t filePos;
    uint32_t rscSize;
};

struct rscstats {
    int numFilesOpen;
    int numFileHandles;
    int fileTableLimit;
    int numResourcesLoaded;
    int rscTreeInited;
    long totalMallocd;
    long totalSizeRscIdTrees;
    int numRscIdTreesInReadCache;
    int numWriteRscIdTreesLoaded;
    int cacheSize;
    int maxCacheBuffers;
    int numCacheBuffersLoaded;
};

extern rscstats rscStats;
// The reason of the last failed call that returns a pointer.
extern int qtkErrno;

// The fixed records, field by field in little-endian order (their integers
// go through util/byteorder.h).
void rsc_encodeHeader(const rscfileheader *h, unsigned char out[RSC_HEADER_SIZE]);
void rsc_decodeHeader(const unsigned char in[RSC_HEADER_READ_SIZE], rscfileheader *h);
void rsc_encodeTypeEntry(const filetypelistentry *e, unsigned char out[RSC_TYPE_ENTRY_SIZE]);
void rsc_decodeTypeEntry(const unsigned char in[RSC_TYPE_ENTRY_SIZE], filetypelistentry *e);
void rsc_encodeIdEntry(const filerscidentry *e, unsigned char out[RSC_ID_ENTRY_SIZE]);
void rsc_decodeIdEntry(const unsigned char in[RSC_ID_ENTRY_SIZE], filerscidentry *e);

// Platforms and their data properties: 0 and the nine values, or -1 for an
// id not in the table. A name not in the table maps to the native platform.
int dataprop_getPropertiesByPlatform(int32_t platformId, int32_t props[RSC_N_DATA_PROPS]);
int32_t dataprop_getPlatformIdByName(const char *name);

// Hash of a name: file names fold A-Z to a-z (isFilename 1), aliases do not.
void qtkResource_generateHashValue(uint32_t *hashValueP, const char *string, int isFilename);

// Files and handles. A handle is 1 or more; 0 means any open file.
int qtkResource_openFile(uint32_t *rfHandleP, const char *fileName, uint32_t fileAttributes);
// Opens with attributes 0, reading the directories of the listed types only
// (and of `Alia` and `dDef`); the other types hold nothing.
int qtkResource_openFileRestricted(uint32_t *rfHandleP, const char *fileName,
                                   const uint32_t *typeIds, int numTypes);
int qtkResource_closeFile(uint32_t rfHandle);
FILE *qtkResource_getFilePointer(uint32_t rfHandle);
int qtkResource_lockRscFileHandle(uint32_t rfHandle);
int qtkResource_isResourceFile(const char *filenameP);
int qtkResource_createFile(const char *filename, const char *ident, int32_t version);
int qtkResource_createFileForPlatform(const char *filename, const char *ident, int32_t version,
                                      int32_t platformId);
// "0" prints the handle table; "1" to "320" toggle a trace flag; anything
// else is refused with RSC_ERR_BAD_ARGUMENT.
int qtkResource_setDebugFlag(const char *debugFlag);
void qtkResource_logDebugMsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Finds a file along VX_RSRCPATH; `foundFileName` (may be null) holds
// RSC_MAX_PATH + 1 bytes. 0 found (or opens for update with mode 4), 42
// opens for reading only, RSC_ERR_FILE not found.
int resource_findFile(char *foundFileName, const char *baseFileName, int ufOpenMode);

// Loading. Null on failure with the reason in qtkErrno.
void *qtkResource_load(uint32_t rfHandle, uint32_t typeId, int32_t rscId);
void *qtkResource_loadByAlias(uint32_t rfHandle, uint32_t typeId, int32_t rscId, const char *alias);
int qtkResource_free(void *resource);
int qtkResource_query(void *returnValue, const void *resource, int queryId);
int qtkResource_queryClass(void *returnValue, uint32_t rfHandle, uint32_t typeId, int queryId,
                           const int32_t *arg);
int qtkResource_queryClassByAlias(void *returnValue, uint32_t rfHandle, uint32_t typeId,
                                  int queryId, const int32_t *arg, const char *alias);
int qtkResource_directLoad(uint32_t rfHandle, uint32_t typeId, int32_t rscId,
                           rscdirectaccess *directP);

// Copies member `stringNum` of string list `listId` (type `str#`) into
// `pString`, which holds `bufLen` bytes; a longer text is cut and always
// terminated. `pString` is empty on any failure.
int qtkResource_loadFromStringList(char *pString, size_t bufLen, uint32_t rfHandle,
                                   int32_t listId, int32_t stringNum);

#endif

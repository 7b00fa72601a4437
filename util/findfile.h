// File specifications and search paths: splitting a name into device,
// directory, name and extension, joining the pieces again, finding a file
// along directory lists named by environment variables, and the table of
// open-file slots the resource manager opens its streams through.
//
// Separators (Linux): '/' separates directories; ';' or ':' separate the
// entries of a directory list; '.' starts the extension. There are no
// devices: the device piece is always empty, except that in a search
// `X:FILE` names the logical name X when X is a defined variable.
#ifndef CATALOGR_FINDFILE_H
#define CATALOGR_FINDFILE_H

#include <cstdint>
#include <cstdio>

// Limits of the fixed pieces of the search. A candidate that does not fit
// its buffer counts as not found; nothing is ever cut into another name.
enum {
    UTIL_MAX_DEV = 31,
    UTIL_MAX_NAME = 63,
    UTIL_MAX_EXT = 31,
    UTIL_MAX_PATH = 4095,       // a whole specification, directory or result
    UTIL_MAX_ENVLIST = 4095     // a directory or variable-name list
};

// Results of util_findFile.
enum {
    UTIL_FOUND = 0,
    UTIL_READ_ONLY = 42,        // found, but opens for reading only
    UTIL_FAILURE = 0x8000,      // no name, or no directory list
    UTIL_OPEN_FAILED = 5
};

// Option bits of util_findFile.
enum {
    UTIL_OPT_OPEN_UPDATE = 0x01,
    UTIL_OPT_CREATE = 0x02,
    UTIL_OPT_OPEN_ANY = 0x04,   // update, else reading (answering 42)
    UTIL_OPT_CWD_ORDER = 0x08,
    UTIL_OPT_NO_TOUCH = 0x20
};

enum { UTIL_MAX_OPEN_FILES = 15 };

typedef int (*util_getenvFunc)(char *envStr, const char *envVar, int maxlen);
typedef char *(*util_dynGetenvFunc)(const char *envVar);
typedef void (*util_freeDynEnvFunc)(char *p);

void util_parseFilename(const char *string, char *dev, char *dir, char *name, char *ext);
void util_buildFilename(char *outstg, const char *dev, const char *dir, const char *name,
                        const char *ext);
// Concatenates the null-terminated list of strings after `usersep`.
char *util_buildString(char *outstg, const char *usersep, ...);
int util_findFile(short *handle, char *outname, const char *inname, const char *envvar,
                  const char *iext, int option);
int util_access(const char *name, int mode);
int util_getDiskFree(uint64_t *space, int drive);
int util_isValidDrive(int drive);
int util_isPathSeparator(const char *p);
void util_getPathSeparator(char *out);
int util_isDirSeparator(const char *p);
void util_getDirSeparator(char *out);
char *util_abbreviateFileName(char *fileName, int maxLength);
void util_allFilesWildCard(char *wildcard, int size);
void util_setEnvFunc(util_getenvFunc f);
void util_setDynEnvFunc(util_dynGetenvFunc f);
void util_setFreeDynEnvFunc(util_freeDynEnvFunc f);
int findfile_getenv(char *envStr, const char *envVar, int maxlen);
char *findfile_dynGetenv(const char *envVar);
void findfile_freeDynEnv(char *p);

// The open-file slot table.
int open_file(const char *nameP, int mode, short *handleP);
int create_file(const char *nameP, short *handleP);
int close_file(short handle);
FILE *handle_to_file(short handle);
short file_to_handle(FILE *pfile);

#endif

// File specifications and search paths: splitting a name into device,
// directory, name and extension, joining the pieces again, finding a file
// along directory lists named by environment variables, and the table of
// open-file slots the resource manager opens its streams through.
//
// Separators (Linux): '/' separates directories; ';' or ':' separate the
// entries of a directory list; '.' starts the extension. There are no
// devices: the device piece is always empty, except that in a search
// `X:FILE` names the logical name X when X is a defined variable.
//
// Buffers: every piece and every whole name a caller receives holds at most
// UTIL_MAX_PATH characters, so a buffer of UTIL_MAX_PATH + 1 bytes is always
// enough. Input longer than UTIL_MAX_PATH is refused, never cut.
#ifndef CATALOGR_FINDFILE_H
#define CATALOGR_FINDFILE_H

#include <cstdint>
#include <cstdio>

// Limits of the fixed pieces of the search. A candidate that does not fit
// its buffer counts as not found; nothing is ever cut into another name.
enum {
    UTIL_MAX_DEV = 255,         // a logical name before ':'
    UTIL_MAX_NAME = 255,
    UTIL_MAX_EXT = 255,
    UTIL_MAX_PATH = 4095,       // a whole file name, directory or result
    UTIL_MAX_ENVLIST = 4095     // a directory or variable-name list
};

// Results of util_findFile.
enum {
    UTIL_FOUND = 0,
    UTIL_READ_ONLY = 42,        // found, but opens for reading only
    UTIL_FAILURE = 0x8000,      // no name, no directory list, no current directory
    UTIL_OPEN_FAILED = 5,
    UTIL_NOT_FOUND = -1         // no free slot, or the last existence test failed
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

// Splits `string` into its pieces. `dev` (when given) is set empty; `dir` and
// `name` are written only when their piece is non-empty, `ext` whenever the
// name has a '.' after its last '/': "data." writes an empty extension, as
// it names another file than "data". The components "." and ".." are names.
// Each output needs UTIL_MAX_PATH + 1 bytes. A null, empty or over-long
// `string` leaves every output untouched.
void util_parseFilename(const char *string, char *dev, char *dir, char *name, char *ext);
// Joins directory, name and extension into `outstg` (UTIL_MAX_PATH + 1
// bytes); `dev` is ignored (there are no devices). A non-null `ext` always
// brings its '.', even when empty ("data" and "" give "data."): pass null
// for a name without extension. 0, or UTIL_FAILURE with `outstg` empty when
// the result would be longer than UTIL_MAX_PATH.
int util_buildFilename(char *outstg, const char *dev, const char *dir, const char *name,
                       const char *ext);
// Concatenates the null-terminated list of strings after `usersep` into
// `outstg` (UTIL_MAX_ENVLIST + 1 bytes), putting `usersep` (";" when null)
// before each non-empty argument after the first. Null when `outstg` is null
// or the result would be too long (then `outstg` is left empty).
char *util_buildString(char *outstg, const char *usersep, ...);
// Searches for `inname` (a missing name or extension taken from `iext`,
// whose directory is not used) in the current directory and along the
// directory lists of the variables named in `envvar`. `handle` (may be
// null) receives a slot handle or -1; `outname` (may be null, else
// UTIL_MAX_PATH + 1 bytes) the last candidate tried.
int util_findFile(short *handle, char *outname, const char *inname, const char *envvar,
                  const char *iext, int option);
// 0 when `name` exists (mode 0), opens for reading (bit 4) and for writing
// (bit 2) as asked; -1 otherwise.
int util_access(const char *name, int mode);
// Free bytes where the current directory lies (drive 0); UTIL_FAILURE for any
// other drive or a failed query.
int util_getDiskFree(uint64_t *space, int drive);
int util_isValidDrive(int drive);
// Directory-list separators: ';' or ':'; `out` receives ";" (2 bytes).
int util_isPathSeparator(const char *p);
void util_getPathSeparator(char *out);
// Directory separator: '/'; `out` receives "/" (2 bytes).
int util_isDirSeparator(const char *p);
void util_getDirSeparator(char *out);
// Shortens `fileName` in place for display ("..." and the tail from a '/'),
// never making it longer, and puts it in lower case. Returns `fileName`.
char *util_abbreviateFileName(char *fileName, int maxLength);
// Writes "*" into `wildcard`, terminated, within `size` bytes.
void util_allFilesWildCard(char *wildcard, int size);
void util_setEnvFunc(util_getenvFunc f);
void util_setDynEnvFunc(util_dynGetenvFunc f);
void util_setFreeDynEnvFunc(util_freeDynEnvFunc f);
// 0 when `envVar` is defined (its value, cut to `maxlen` - 1 characters, in
// `envStr` when given), UTIL_FAILURE when unset; the getenv hook decides
// when installed.
int findfile_getenv(char *envStr, const char *envVar, int maxlen);
// The value of `envVar` or null; release with findfile_freeDynEnv. Without
// the dynamic hooks it is the process environment's own text: do not change it.
char *findfile_dynGetenv(const char *envVar);
void findfile_freeDynEnv(char *p);

// The open-file slot table: UTIL_MAX_OPEN_FILES streams, handles 0..14.
// open_file: 0, UTIL_OPEN_FAILED, or -1 with every slot in use.
int open_file(const char *nameP, int mode, short *handleP);
// 0, or -1 on any failure.
int create_file(const char *nameP, short *handleP);
int close_file(short handle);
FILE *handle_to_file(short handle);
short file_to_handle(FILE *pfile);

#endif

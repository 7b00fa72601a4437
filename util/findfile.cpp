// File specifications and the file search: splitting and joining names,
// directory lists from environment variables, the environment hooks and the
// small helpers around them. All scanning goes through the code-set string
// table, so a trail byte of a multibyte character is never a separator.
#include "util/findfile.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "codeset/codeset.h"
#include "platform/platform.h"

namespace {

util_getenvFunc getenvP = nullptr;
util_dynGetenvFunc dynGetenvP = nullptr;
util_freeDynEnvFunc freeDynEnvP = nullptr;

// The directory-list separators, as a set for qtkstrpbrk.
const char kListSeparators[] = ";:";

// True when the last character of `s` is a '/' (not a trail byte).
bool endsWithDirSeparator(const char *s)
{
    const char *slash = qtkstrrchr(s, '/');
    return slash != nullptr && slash[1] == 0;
}

// The pieces of one file name; an empty directory or name is absent. An
// extension is present whenever its '.' was: "data." has an empty one, and
// on Linux it names another file than "data".
struct fileSpec {
    std::string dir;
    std::string name;
    std::string ext;
    bool hasExt = false;
};

// Splits `text` ('/' separates directories, the last '.' after the last '/'
// starts the extension; a trailing '/' makes it all directory; the
// components "." and ".." are names).
fileSpec splitSpec(const char *text)
{
    fileSpec out;
    std::string buf = text;
    char *s = &buf[0];
    char *slash = qtkstrrchr(s, '/');
    if (slash != nullptr && slash[1] == 0) {
        out.dir = s;
        return out;
    }
    // The slash (or the start) is a character boundary, so scanning on from
    // there stays in step with the characters.
    char *base = slash != nullptr ? slash + 1 : s;
    bool dotDir = std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0;
    char *dot = dotDir ? nullptr : qtkstrrchr(base, '.');
    if (dot != nullptr) {
        out.ext = dot + 1;
        out.hasExt = true;
        *dot = 0;
    }
    if (slash != nullptr) {
        out.name = slash + 1;
        out.dir.assign(s, (size_t)(slash + 1 - s));
    } else {
        out.name = s;
    }
    return out;
}

// The name followed by '.' and the extension when one is present (the dot
// stays for an empty extension after a name, and for a name-less one).
std::string withExtension(const std::string &name, bool hasExt, const std::string &ext)
{
    if (!hasExt || (name.empty() && ext.empty()))
        return name;
    return name + "." + ext;
}

void copyPiece(char *out, const std::string &piece)
{
    if (out != nullptr && !piece.empty())
        std::memcpy(out, piece.c_str(), piece.size() + 1);
}

bool isFailure(int result) { return result != UTIL_FOUND && result != UTIL_READ_ONLY; }

// One search: what it looks for, how, and what the last try gave.
struct searchState {
    short *handle;
    int option;
    std::string cwd;        // the current directory, ending with '/'
    fileSpec in;            // the name searched for
    fileSpec def;           // default name and extension from `iext`
    std::string last;       // the last candidate tried
    int result;
};

// The answer of a candidate that cannot be tried (too long for its buffer):
// what a failed test or open of that kind answers.
int notFoundResult(const searchState &st)
{
    if (st.option & (UTIL_OPT_OPEN_UPDATE | UTIL_OPT_OPEN_ANY))
        return UTIL_OPEN_FAILED;
    if (st.option & UTIL_OPT_CREATE)
        return UTIL_NOT_FOUND;
    return st.handle != nullptr ? UTIL_OPEN_FAILED : UTIL_NOT_FOUND;
}

// The name as it is on disk when only the case of its final component
// differs, else the name unchanged.
std::string onDiskName(const std::string &path)
{
    char buf[UTIL_MAX_PATH + 1];
    if (platform_resolveName(path.c_str(), buf, sizeof buf) == 0)
        return buf;
    return path;
}

// Hands a freshly opened slot to the caller, or closes it when the caller
// wants no handle.
void keepOrClose(searchState &st, short h)
{
    if (st.handle != nullptr)
        *st.handle = h;
    else
        close_file(h);
}

// Whether a file could be created at `path`, leaving the disk as it was: an
// existing file must open for update and is not touched; a new one is
// created exclusively and removed again.
int canCreate(const char *path)
{
    if (platform_exists(path) == 0) {
        FILE *f = platform_fopen(path, "r+");
        if (f == nullptr)
            return UTIL_NOT_FOUND;
        std::fclose(f);
        return UTIL_FOUND;
    }
    int fd = -1;
    if (platform_createFile(path, 1, &fd) != 0)
        return UTIL_NOT_FOUND;
    platform_close(fd);
    platform_remove(path);
    return UTIL_FOUND;
}

// Tests or opens `path` as the option asks.
int testCandidate(searchState &st, const std::string &path)
{
    short h = -1;
    if (st.option & (UTIL_OPT_OPEN_UPDATE | UTIL_OPT_OPEN_ANY)) {
        st.last = onDiskName(path);
        int rc = open_file(st.last.c_str(), 1, &h);
        if (rc == 0) {
            keepOrClose(st, h);
            return UTIL_FOUND;
        }
        if (!(st.option & UTIL_OPT_OPEN_ANY))
            return rc;
        rc = open_file(st.last.c_str(), 0, &h);
        if (rc != 0)
            return rc;
        keepOrClose(st, h);
        return UTIL_READ_ONLY;
    }
    if (st.option & UTIL_OPT_CREATE) {
        st.last = path;
        if (st.option & UTIL_OPT_NO_TOUCH)
            return UTIL_FOUND;
        if (st.handle == nullptr)
            return canCreate(path.c_str());
        if (create_file(path.c_str(), &h) != 0)
            return UTIL_NOT_FOUND;
        *st.handle = h;
        return UTIL_FOUND;
    }
    st.last = onDiskName(path);
    if (st.handle != nullptr) {
        int rc = open_file(st.last.c_str(), 0, &h);
        if (rc == 0)
            *st.handle = h;
        return rc;
    }
    return platform_isRegularFile(st.last.c_str()) ? UTIL_FOUND : UTIL_NOT_FOUND;
}

// One try: the input's pieces, the directory `entryDir` where the input has
// none, name and extension from `iext` where the input lacks them. An empty
// directory means the current one (the try of the current directory passes
// none, and the default name's directory never stands in for it); a
// relative one lies below it.
int tryCandidate(searchState &st, const std::string &entryDir)
{
    const std::string &dir = !st.in.dir.empty() ? st.in.dir : entryDir;
    const std::string &name = !st.in.name.empty() ? st.in.name : st.def.name;
    const fileSpec &extFrom = st.in.hasExt ? st.in : st.def;
    const std::string &ext = extFrom.ext;
    if (name.empty() && ext.empty())
        return st.result = UTIL_FAILURE;
    std::string path;
    if (dir.empty())
        path = st.cwd;
    else if (dir[0] == '/')
        path = dir;
    else
        path = st.cwd + dir;
    path += withExtension(name, extFrom.hasExt, ext);
    if (path.size() > UTIL_MAX_PATH) {
        st.last.clear();
        return st.result = notFoundResult(st);
    }
    if (name.size() > UTIL_MAX_NAME || ext.size() > UTIL_MAX_EXT) {
        st.last = path;
        return st.result = notFoundResult(st);
    }
    return st.result = testCandidate(st, path);
}

// Calls `visit` for each non-empty entry of a list whose entries are
// separated by ';' or ':', until it answers true.
template <typename Visit> void forEachEntry(const std::string &list, Visit visit)
{
    std::string buf = list;
    char *p = &buf[0];
    while (*p != 0) {
        char *sep = qtkstrpbrk(p, kListSeparators);
        if (sep != nullptr)
            *sep = 0;
        if (*p != 0 && visit(p))
            return;
        if (sep == nullptr)
            return;
        p = sep + 1;
    }
}

// Walks a directory list until a candidate is found.
void tryDirectoryList(searchState &st, const std::string &list)
{
    // Entries only supply a directory; a name that has its own directory
    // makes the same candidate for every entry, so it is tried once.
    if (!st.in.dir.empty()) {
        tryCandidate(st, std::string());
        return;
    }
    st.result = UTIL_FAILURE;
    forEachEntry(list, [&](const char *entry) {
        std::string dir = entry;
        if (!endsWithDirSeparator(dir.c_str()))
            dir += '/';
        return !isFailure(tryCandidate(st, dir));
    });
}

// Tries the directory list of each variable named in `varList`; an unset or
// empty variable stands for its own name taken as a directory list.
void tryEnvironmentVariables(searchState &st, const std::string &varList)
{
    st.result = UTIL_FAILURE;
    forEachEntry(varList, [&](const char *var) {
        char *value = findfile_dynGetenv(var);
        std::string list = value != nullptr && *value != 0 ? value : var;
        if (value != nullptr)
            findfile_freeDynEnv(value);
        tryDirectoryList(st, list);
        return !isFailure(st.result);
    });
}

// When `inname` has the form X:FILE and the upper-cased X names a defined
// variable: X in `logical` and FILE in `rest`.
bool splitLogicalName(const char *inname, std::string &logical, std::string &rest)
{
    const char *colon = qtkstrchr(inname, ':');
    if (colon == nullptr || colon == inname || colon - inname > UTIL_MAX_DEV)
        return false;
    std::string name(inname, (size_t)(colon - inname));
    if (qtkstrchr(name.c_str(), '/') != nullptr)
        return false;
    qtkstrupr(&name[0]);
    char probe[2];
    if (findfile_getenv(probe, name.c_str(), (int)sizeof probe) != 0)
        return false;
    logical = name;
    rest = colon + 1;
    return true;
}

} // namespace

void util_parseFilename(const char *string, char *dev, char *dir, char *name, char *ext)
{
    if (string == nullptr || *string == 0 || std::strlen(string) > UTIL_MAX_PATH)
        return;
    if (dev != nullptr)
        *dev = 0;
    fileSpec pieces = splitSpec(string);
    copyPiece(dir, pieces.dir);
    copyPiece(name, pieces.name);
    if (ext != nullptr && pieces.hasExt)
        std::memcpy(ext, pieces.ext.c_str(), pieces.ext.size() + 1);
}

int util_buildFilename(char *outstg, const char *dev, const char *dir, const char *name,
                       const char *ext)
{
    (void)dev;
    if (outstg == nullptr)
        return UTIL_FAILURE;
    std::string d = dir != nullptr ? dir : "";
    std::string n = name != nullptr ? name : "";
    std::string e = ext != nullptr ? ext : "";
    // Any given extension keeps its dot, so that the result names the same
    // file the pieces came from: ".profile", and "data." with its empty one.
    std::string tail = withExtension(n, ext != nullptr, e);
    // "/" is the root: it is kept whole and no separator follows it.
    bool root = d == "/";
    if (!root && endsWithDirSeparator(d.c_str()))
        d.erase(d.size() - 1);
    std::string r = d;
    if (!d.empty() && !root && !tail.empty())
        r += '/';
    r += tail;
    if (r.size() > UTIL_MAX_PATH) {
        *outstg = 0;
        return UTIL_FAILURE;
    }
    std::memcpy(outstg, r.c_str(), r.size() + 1);
    return 0;
}

char *util_buildString(char *outstg, const char *usersep, ...)
{
    if (outstg == nullptr)
        return nullptr;
    const char *sep = usersep != nullptr ? usersep : ";";
    std::string r;
    va_list ap;
    va_start(ap, usersep);
    bool first = true;
    for (const char *s = va_arg(ap, const char *); s != nullptr; s = va_arg(ap, const char *)) {
        if (!first && *s != 0)
            r += sep;
        r += s;
        first = false;
    }
    va_end(ap);
    if (r.size() > UTIL_MAX_ENVLIST) {
        *outstg = 0;
        return nullptr;
    }
    std::memcpy(outstg, r.c_str(), r.size() + 1);
    return outstg;
}

int util_findFile(short *handle, char *outname, const char *inname, const char *envvar,
                  const char *iext, int option)
{
    if (handle != nullptr)
        *handle = -1;
    if (outname != nullptr)
        *outname = 0;
    searchState st;
    st.handle = handle;
    st.option = option;
    st.result = UTIL_FAILURE;

    char cwd[UTIL_MAX_PATH + 1];
    if (platform_getcwd(cwd, sizeof cwd) != 0)
        return UTIL_FAILURE;
    st.cwd = cwd;
    if (!endsWithDirSeparator(cwd))
        st.cwd += '/';

    const char *in = inname != nullptr ? inname : "";
    const char *def = iext != nullptr ? iext : "";
    if (std::strlen(in) > UTIL_MAX_PATH || std::strlen(def) > UTIL_MAX_PATH)
        return notFoundResult(st);

    bool findOnly = (option & (UTIL_OPT_OPEN_UPDATE | UTIL_OPT_CREATE | UTIL_OPT_OPEN_ANY)) == 0;
    std::string varList = envvar != nullptr ? envvar : "";
    std::string logical, rest;
    if (splitLogicalName(in, logical, rest)) {
        varList = varList.empty() ? logical : logical + ";" + varList;
        in = rest.c_str();
        if (findOnly)
            st.option |= UTIL_OPT_CWD_ORDER;
    }
    st.in = splitSpec(in);
    st.def = splitSpec(def);

    // A plain find looks here first; a find through a logical name and an
    // open or create look here last, unless the caller's bit 8 turns that
    // round.
    bool cwdOrder = (st.option & UTIL_OPT_CWD_ORDER) != 0;
    if (findOnly != cwdOrder)
        tryCandidate(st, std::string());
    if (isFailure(st.result)) {
        if (varList.empty())
            st.result = UTIL_FAILURE;
        else
            tryEnvironmentVariables(st, varList);
    }
    if (isFailure(st.result) && findOnly == cwdOrder)
        tryCandidate(st, std::string());

    if (outname != nullptr)
        std::memcpy(outname, st.last.c_str(), st.last.size() + 1);
    return st.result;
}

int util_access(const char *name, int mode)
{
    if (name == nullptr || platform_exists(name) != 0)
        return -1;
    const char *how = (mode & 2) ? "r+" : (mode & 4) ? "r" : nullptr;
    if (how != nullptr) {
        FILE *f = platform_fopen(name, how);
        if (f == nullptr)
            return -1;
        std::fclose(f);
    }
    return 0;
}

int util_getDiskFree(uint64_t *space, int drive)
{
    if (space == nullptr || drive != 0)
        return UTIL_FAILURE;
    return platform_diskFree(nullptr, space) == 0 ? 0 : UTIL_FAILURE;
}

int util_isValidDrive(int drive)
{
    (void)drive;
    return 1;
}

int util_isPathSeparator(const char *p) { return p != nullptr && (*p == ';' || *p == ':'); }

void util_getPathSeparator(char *out)
{
    if (out != nullptr)
        std::memcpy(out, ";", 2);
}

int util_isDirSeparator(const char *p) { return p != nullptr && *p == '/'; }

void util_getDirSeparator(char *out)
{
    if (out != nullptr)
        std::memcpy(out, "/", 2);
}

char *util_abbreviateFileName(char *fileName, int maxLength)
{
    if (fileName == nullptr)
        return nullptr;
    // Move to ever later '/' while the tail is too long; an abbreviation that
    // would not be shorter than the name (a cut before index 3) is no use and
    // would not fit in place.
    char *pos = fileName;
    for (;;) {
        long rest = (long)std::strlen(pos);
        bool tooLong = rest > (long)maxLength - 3;
        bool notShorter = pos != fileName && pos - fileName < 3;
        if (!tooLong && !notShorter)
            break;
        char *next = *pos == '/' ? qtkstrchr(pos + 1, '/') : qtkstrchr(pos, '/');
        if (next == nullptr)
            break;
        pos = next;
    }
    if (pos - fileName >= 3) {
        std::memmove(fileName + 3, pos, std::strlen(pos) + 1);
        std::memcpy(fileName, "...", 3);
    }
    qtkstrlwr(fileName);
    return fileName;
}

void util_allFilesWildCard(char *wildcard, int size)
{
    if (wildcard == nullptr || size <= 0)
        return;
    if (size >= 2)
        std::memcpy(wildcard, "*", 2);
    else
        *wildcard = 0;
}

void util_setEnvFunc(util_getenvFunc f) { getenvP = f; }
void util_setDynEnvFunc(util_dynGetenvFunc f) { dynGetenvP = f; }
void util_setFreeDynEnvFunc(util_freeDynEnvFunc f) { freeDynEnvP = f; }

int findfile_getenv(char *envStr, const char *envVar, int maxlen)
{
    if (getenvP != nullptr)
        return getenvP(envStr, envVar, maxlen);
    const char *v = platform_getenv(envVar);
    if (v == nullptr)
        return UTIL_FAILURE;
    if (envStr != nullptr && maxlen > 0) {
        size_t n = std::strlen(v);
        if (n > (size_t)maxlen - 1)
            n = (size_t)maxlen - 1;
        std::memcpy(envStr, v, n);
        envStr[n] = 0;
    }
    return 0;
}

char *findfile_dynGetenv(const char *envVar)
{
    if (dynGetenvP != nullptr)
        return dynGetenvP(envVar);
    return const_cast<char *>(platform_getenv(envVar));
}

void findfile_freeDynEnv(char *p)
{
    if (dynGetenvP != nullptr && freeDynEnvP != nullptr)
        freeDynEnvP(p);
}

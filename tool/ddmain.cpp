// The dictionary tool's front end: start-up, the command line, script
// files, dispatch to the directive handlers, messages and usage. The
// handlers themselves are linked in with the program.
#include "tool/ddmain.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codeset/codeset.h"
#include "platform/platform.h"
#include "rscmgr/rscmgr.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"

#ifndef CATALOGR_DATADIR
#define CATALOGR_DATADIR "/usr/local/share/catalogr"
#endif
#ifndef CATALOGR_DATADIR_FROM_BINDIR
#define CATALOGR_DATADIR_FROM_BINDIR "../share/catalogr"
#endif

FILE *outFileP = nullptr;
uint32_t rscFileHandle = 0;
int useCatalogrPaths = 0;
char currentDir[DDMAIN_MAX_DIR + 1];
CODE4 code_base;
char warning[DDMAIN_MSG_LEN];
const char localUser[] = "PUBLIC";

namespace {

// The end of a script: a 0x1A byte, as old editors wrote it.
const int kScriptEnd = 0x1A;

// How long a lock wait lasts before the user is told of it.
const long kLockNoticeMs = 1000;

FILE *out() { return outFileP != nullptr ? outFileP : stdout; }

void writeText(FILE *f, const std::string &s)
{
    if (!s.empty())
        std::fwrite(s.data(), 1, s.size(), f);
}

std::string fetch(int number)
{
    char message[DDMAIN_MSG_LEN];
    ddmain_fetchString(message, number);
    return message;
}

std::string errorPrefix()
{
    if (warning[0] == 0)
        ddmain_fetchString(warning, DDMAIN_MSG_ERROR_PREFIX);
    return warning;
}

// The second character of a switch, upper-cased, or 0 when the argument
// is shorter than two characters.
int switchLetter(const char *arg)
{
    if (arg == nullptr || arg[0] == 0 || arg[1] == 0)
        return 0;
    unsigned char c = (unsigned char)arg[1];
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

// The file name after a two-character switch, or null when the argument
// does not reach that far (nothing past its terminator is read).
const char *afterSwitch(const char *arg)
{
    if (arg == nullptr || arg[0] == 0 || arg[1] == 0)
        return nullptr;
    return arg + 2;
}

int isTokenSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One script line as read: its bytes (cut at a cap once it is refused
// anyway) and what was wrong with it.
struct scriptLine {
    std::vector<char> text;
    size_t length = 0;          // characters before the newline, all counted
    int hasNul = 0;
    int endOfScript = 0;        // a 0x1A byte or the end of the file ended it
    int readError = 0;          // the system's error number of a failed read
};

// Characters of a refused line kept for its echo; a line this long is
// refused whatever follows, so the rest need not be held in memory.
const size_t kEchoCap = 65536;

// Reads one line up to and excluding its newline. Returns 0 when there was
// nothing left to read.
int readScriptLine(FILE *f, scriptLine *line)
{
    line->text.clear();
    line->length = 0;
    line->hasNul = 0;
    int any = 0;
    for (;;) {
        int c = std::getc(f);
        if (c == EOF) {
            if (std::ferror(f))
                line->readError = errno != 0 ? errno : EIO;
            line->endOfScript = 1;
            break;
        }
        if (c == kScriptEnd) {
            line->endOfScript = 1;
            any = 1;
            break;
        }
        any = 1;
        if (c == '\n')
            break;
        if (c == 0)
            line->hasNul = 1;
        if (line->text.size() < kEchoCap)
            line->text.push_back((char)c);
        line->length++;
    }
    line->text.push_back(0);
    return any;
}

// Splits the line in place into tokens; a NUL byte inside the line counts
// as a separator here (the line is refused anyway).
std::vector<char *> splitTokens(std::vector<char> &text)
{
    std::vector<char *> tokens;
    size_t n = text.size() - 1;
    for (size_t i = 0; i < n;) {
        if (isTokenSeparator(text[i]) || text[i] == 0) {
            text[i++] = 0;
            continue;
        }
        tokens.push_back(&text[i]);
        while (i < n && !isTokenSeparator(text[i]) && text[i] != 0)
            i++;
    }
    return tokens;
}

// Flushes and, when it is not standard output, closes the output stream.
// 0, or 0x8000 when the bytes could not all be written.
int finishOutput(void)
{
    int rc = 0;
    if (outFileP != nullptr && outFileP != stdout) {
        if (std::fflush(outFileP) != 0 || std::ferror(outFileP))
            rc = DDMAIN_FAILURE;
        if (std::fclose(outFileP) != 0)
            rc = DDMAIN_FAILURE;
        outFileP = stdout;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        rc = DDMAIN_FAILURE;
    return rc;
}

// Ends the process after a failing script line: the echo is written, the
// output flushed, the message file released, and the status mapped as at
// every exit.
[[noreturn]] void endScriptRun(int status)
{
    finishOutput();
    ddmain_closeResources();
    std::exit(e4exit_status(status));
}

// One line of the program's own on standard error: "catalogr: " and the
// text, which the caller has made safe to show.
void complain(const std::string &text)
{
    std::string line = "catalogr: " + text + "\n";
    writeText(stderr, line);
    std::fflush(stderr);
}

// The system's text for the error number of a failed call.
std::string systemReason(int err) { return std::strerror(err != 0 ? err : EIO); }

// Why a script could not be opened: the system's reason, or that the name
// is not a regular file (the stream layer opens nothing else for reading).
std::string scriptOpenFailure(const char *path, int err)
{
    if (platform_exists(path) == 0 && !platform_isRegularFile(path))
        return "it is not a regular file";
    return systemReason(err);
}

// The program's own name: its message file is "catalogr.rsc" whatever name
// it was called by.
const char kProgramName[] = "catalogr";

// A program name as an error line shows it.
const size_t kProgramNameShown = 60;

// The directory `path` with "." and ".." components resolved by their
// names alone, as suits a path the system has already resolved; it ends
// with '/'.
std::string normalDirectory(const std::string &path)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    std::string out = "/";
    for (const std::string &p : parts)
        out += p + "/";
    return out;
}

// The directories a bare resource-file name is looked for in, in order:
// the current directory, then each entry of VX_RSRCPATH.
std::vector<std::string> searchDirectories()
{
    std::vector<std::string> dirs;
    std::vector<char> cwd(UTIL_MAX_PATH + 1);
    if (platform_getcwd(cwd.data(), cwd.size()) == 0)
        dirs.push_back(normalDirectory(cwd.data()));
    const char *list = platform_getenv("VX_RSRCPATH");
    std::string entry;
    for (const char *p = list != nullptr ? list : ""; ; p++) {
        if (*p != 0 && !util_isPathSeparator(p)) {
            entry += *p;
            continue;
        }
        if (!entry.empty())
            dirs.push_back(entry.back() == '/' ? entry : entry + "/");
        entry.clear();
        if (*p == 0)
            break;
    }
    return dirs;
}

// Tries to open `path` as the message file.
int openMessageFile(const std::string &path)
{
    uint32_t handle = 0;
    if (qtkResource_openFile(&handle, path.c_str(), 0) != 0)
        return DDMAIN_FAILURE;
    rscFileHandle = handle;
    return 0;
}

} // namespace

int ddmain_getOperationType(const char *argument)
{
    static const struct {
        const char *word;
        int code;
    } kWords[] = {{"INIT", DDMAIN_OP_INIT}, {"IA", DDMAIN_OP_IA}, {"ID", DDMAIN_OP_ID},
                  {"TA", DDMAIN_OP_TA},     {"TD", DDMAIN_OP_TD}};
    if (argument == nullptr || argument[0] == 0)
        return DDMAIN_FAILURE;
    // The words are plain ASCII: the single-byte comparison answers
    // whatever the code set.
    for (const auto &w : kWords)
        if (sb_strcmpi(argument + 1, w.word) == 0)
            return w.code;
    return DDMAIN_FAILURE;
}

int ddmain_processDirective(int argc, char **argv)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr)
        return DDMAIN_FAILURE;
    int op = ddmain_getOperationType(argv[1]);
    // The slot is emptied first, so that what it holds after a failure was
    // reported during this directive and no earlier.
    e4clearErrorState();
    int status;
    switch (op) {
    case DDMAIN_OP_INIT:
        status = ddmain_initializeCatalogr();
        break;
    case DDMAIN_OP_IA:
    case DDMAIN_OP_ID:
        status = ddmain_operateIndex(argc, argv, op);
        break;
    case DDMAIN_OP_TA:
    case DDMAIN_OP_TD:
        status = ddmain_operateTable(argc, argv, op);
        break;
    default:
        return DDMAIN_FAILURE;
    }
    if (status != 0)
        ddmain_putEngineReport();
    return status;
}

int ddmain_putEngineReport(void)
{
    int code = 0;
    char text[E4_ERROR_BUFFER_LEN];
    e4getErrorInfo(&code, text, sizeof text);
    if (code == 0 && text[0] == 0)
        return 0;
    e4clearErrorState();
    // The report ends with the blank that follows its last piece.
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = 0;
    complain(ddmain_safeText(text, DDMAIN_SHOWN_MAX));
    return 1;
}

void ddmain_putReason(const std::string &text)
{
    complain(ddmain_safeText(text.c_str(), DDMAIN_SHOWN_MAX));
}

void ddmain_noteLockWait(CODE4 *, const char *fileName, int polls)
{
    // Once, when the wait has lasted its first second: a lock let go soon
    // goes unmentioned.
    if (code4lock_waited_ms(polls) < kLockNoticeMs &&
        code4lock_waited_ms(polls + 1) >= kLockNoticeMs)
        complain("waiting for a lock on " + ddmain_safeText(fileName, DDMAIN_SHOWN_MAX));
}

std::string ddmain_safeText(const char *text, size_t maxBytes)
{
    std::string shown;
    if (text == nullptr)
        return shown;
    for (const char *p = text; *p != 0;) {
        // Whole characters of the code set, so that a cut never splits one
        // and a control byte is never taken for the tail of another.
        int n = codeSet_getCharacterNBytes(p);
        if (n < 1)
            n = 1;
        if (shown.size() + (size_t)n > maxBytes)
            return shown + "...";
        unsigned char c = (unsigned char)*p;
        if (n == 1 && (c < 0x20 || c == 0x7F))
            shown += '?';
        else
            shown.append(p, (size_t)n);
        p += n;
    }
    return shown;
}

int ddmain_processCommandLine(int argc, char **argv)
{
    if (argc < 2 || argv == nullptr)
        return DDMAIN_FAILURE;
    const char *script = nullptr, *output = nullptr;
    switch (switchLetter(argv[1])) {
    case 'S':
        script = afterSwitch(argv[1]);
        // A second argument must be the output switch: any other text would
        // lose its first two characters unseen and name a file the user
        // never meant.
        if (argc == 3 && switchLetter(argv[2]) == 'O')
            output = afterSwitch(argv[2]);
        else if (argc != 2)
            return DDMAIN_FAILURE;
        break;
    case 'O':
        // The other order: the output switch first, the script switch second.
        if (argc != 3 || switchLetter(argv[2]) != 'S')
            return DDMAIN_FAILURE;
        script = afterSwitch(argv[2]);
        output = afterSwitch(argv[1]);
        break;
    default:
        return ddmain_processDirective(argc, argv);
    }
    // A switch with no file name after it names nothing to open.
    if (*script == 0 || (output != nullptr && *output == 0))
        return DDMAIN_FAILURE;
    return ddmain_processScriptFile(script, output, argv[0]);
}

int ddmain_processScriptFile(const char *scriptFile, const char *outFile,
                             const char *executableName)
{
    if (scriptFile == nullptr)
        return DDMAIN_FAILURE;
    const std::string shownScript = ddmain_safeText(scriptFile, DDMAIN_SHOWN_MAX);
    errno = 0;
    FILE *script = platform_fopen(scriptFile, "r");
    if (script == nullptr) {
        int err = errno;
        complain("cannot open the script " + shownScript + ": " +
                 scriptOpenFailure(scriptFile, err));
        return DDMAIN_FAILURE;
    }
    if (outFile != nullptr) {
        // The script must survive: an output file that is the script itself
        // is refused before "w" could truncate it.
        uint64_t sDev = 0, sIno = 0, oDev = 0, oIno = 0;
        const std::string shownOutput = ddmain_safeText(outFile, DDMAIN_SHOWN_MAX);
        if (platform_fileId(outFile, &oDev, &oIno) == 0 &&
            platform_fileId(scriptFile, &sDev, &sIno) == 0 && sDev == oDev && sIno == oIno) {
            complain("the output file " + shownOutput + " is the script " + shownScript);
            std::fclose(script);
            return DDMAIN_FAILURE;
        }
        errno = 0;
        FILE *o = platform_fopen(outFile, "w");
        if (o == nullptr) {
            int err = errno;
            complain("cannot create the output file " + shownOutput + ": " + systemReason(err));
            std::fclose(script);
            return DDMAIN_FAILURE;
        }
        outFileP = o;
    }

    int readError = 0;
    int status = ddmain_runScript(script, executableName, &readError);
    std::fclose(script);
    if (readError != 0) {
        complain("cannot read the script " + shownScript + ": " + systemReason(readError));
        return DDMAIN_FAILURE;
    }
    if (status != 0)
        endScriptRun(status);
    return 0;
}

int ddmain_runScript(FILE *script, const char *executableName, int *readError)
{
    *readError = 0;
    char *vector[1 + DDMAIN_MAX_TOKENS];
    scriptLine line;
    while (readScriptLine(script, &line)) {
        // A line cut short by a read error is never run.
        if (line.readError)
            break;
        std::vector<char *> tokens = splitTokens(line.text);
        if (!tokens.empty()) {
            vector[0] = const_cast<char *>(executableName);
            int count = 1 + (int)tokens.size();
            int refused = tokens.size() > DDMAIN_MAX_TOKENS || line.length > DDMAIN_MAX_LINE ||
                          line.hasNul;
            if (refused) {
                // Never run in pieces or with tokens dropped: the whole
                // line is refused and echoed as it was read.
                std::vector<char *> all;
                all.push_back(vector[0]);
                all.insert(all.end(), tokens.begin(), tokens.end());
                ddmain_echoArguments(count, all.data());
                return DDMAIN_FAILURE;
            }
            for (int i = 1; i <= DDMAIN_MAX_TOKENS; i++)
                vector[i] = i <= (int)tokens.size() ? tokens[(size_t)i - 1] : nullptr;
            int status = ddmain_processDirective(count, vector);
            if (status != 0) {
                ddmain_echoArguments(count, vector);
                return status;
            }
        }
        if (line.endOfScript)
            break;
    }
    // A read that failed before the line's first byte.
    *readError = line.readError;
    return line.readError != 0 ? DDMAIN_FAILURE : 0;
}

int ddmain_initializeResources(const char *exeFileName, std::string *failure)
{
    const char *exe = exeFileName != nullptr && *exeFileName ? exeFileName : kProgramName;
    // Every piece is shorter than the whole name; the join adds at most
    // a separator, a dot and "rsc".
    size_t room = std::strlen(exe) + 16;
    std::vector<char> dev(room), dir(room), name(room), path(UTIL_MAX_PATH + 1);
    util_parseFilename(exe, dev.data(), dir.data(), name.data(), nullptr);
    // A name the split refuses (longer than a path) or one without a file
    // name leaves no name piece, and its join would be some other program's
    // ".rsc"; a name whose message-file name would be too long has none.
    // Nothing is opened for either.
    if (name[0] == 0 ||
        util_buildFilename(path.data(), dev.data(), dir.data(), name.data(), "rsc") != 0) {
        if (failure != nullptr)
            *failure = "for the program " + ddmain_safeText(exe, kProgramNameShown);
        return DDMAIN_FAILURE;
    }
    warning[0] = 0;
    std::vector<std::string> names = {name.data()};
    if (names[0] != kProgramName)
        names.push_back(kProgramName);

    // Where the running executable lies, and the data directory seen from
    // there: an installation under any prefix, or moved as a whole.
    std::string exeDir, dataDir;
    std::vector<char> self(UTIL_MAX_PATH + 1);
    if (platform_exePath(self.data(), self.size()) == 0) {
        exeDir = self.data();
        exeDir.erase(exeDir.rfind('/') + 1);
        dataDir = normalDirectory(exeDir + CATALOGR_DATADIR_FROM_BINDIR);
    }

    std::vector<std::string> places;
    auto noted = [&](const std::string &place) {
        if (std::find(places.begin(), places.end(), place) != places.end())
            return false;
        places.push_back(place);
        return true;
    };
    auto found = [&](const std::string &place) {
        return noted(place) && openMessageFile(place) == 0;
    };
    for (const std::string &n : names) {
        const std::string fileName = n + ".rsc";
        // As called: a name with a directory there, a bare one in the
        // current directory and then along VX_RSRCPATH.
        if (util_buildFilename(path.data(), dev.data(), dir.data(), n.c_str(), "rsc") == 0) {
            if (dir[0] != 0 && found(path.data()))
                return 0;
            if (dir[0] == 0) {
                for (const std::string &d : searchDirectories())
                    noted(d + fileName);
                if (openMessageFile(path.data()) == 0)
                    return 0;
            }
        }
        if (!exeDir.empty() && (found(exeDir + fileName) || found(dataDir + fileName)))
            return 0;
        if (found(std::string(CATALOGR_DATADIR) + "/" + fileName))
            return 0;
    }
    if (failure != nullptr) {
        *failure = "(looked for ";
        for (size_t i = 0; i < places.size(); i++)
            *failure += (i > 0 ? ", " : "") + ddmain_safeText(places[i].c_str(), DDMAIN_SHOWN_MAX);
        *failure += ")";
    }
    return DDMAIN_FAILURE;
}

int ddmain_closeResources(void)
{
    if (rscFileHandle != 0)
        qtkResource_closeFile(rscFileHandle);
    rscFileHandle = 0;
    return 0;
}

int ddmain_fetchString(char *message, int number)
{
    if (message == nullptr)
        return RSC_ERR_BAD_ARGUMENT;
    message[0] = 0;
    if (rscFileHandle == 0)
        return RSC_ERR_NO_FILE;
    return qtkResource_loadFromStringList(message, DDMAIN_MSG_LEN, rscFileHandle, DDMAIN_MSG_LIST,
                                          number);
}

void ddmain_printString(const char *outString)
{
    if (outString != nullptr)
        std::fputs(outString, out());
}

void ddmain_putString(int number)
{
    writeText(out(), fetch(number) + "\n");
}

int ddmain_placeholderCount(int number)
{
    switch (number) {
    case DDMAIN_MSG_DATA_OPEN:
    case DDMAIN_MSG_NO_INDEX:
    case DDMAIN_MSG_NOT_REGISTERED:
        return 1;
    case DDMAIN_MSG_HAS_INDEX:
        return 2;
    default:
        return 0;
    }
}

std::string ddmain_formatMessage(int number, const char *arg1, const char *arg2)
{
    std::string text = fetch(number);
    const char *args[2] = {arg1, arg2};
    int wanted = ddmain_placeholderCount(number);
    std::string result;
    size_t pos = 0;
    for (int i = 0; i < wanted; i++) {
        size_t at = text.find("%s", pos);
        if (at == std::string::npos)
            break;
        result.append(text, pos, at - pos);
        if (args[i] != nullptr)
            result += args[i];
        pos = at + 2;
    }
    result.append(text, pos, std::string::npos);
    return result;
}

void ddmain_putMessage(int number, const char *arg1, const char *arg2)
{
    std::string line = "\n" + errorPrefix() + " " + ddmain_formatMessage(number, arg1, arg2) + "\n";
    ddmain_printString(line.c_str());
}

void ddmain_putError(int number) { ddmain_putMessage(number, nullptr, nullptr); }

void ddmain_putInitError(int number, const char *tableName)
{
    std::string line = "\n" + errorPrefix() + " " + ddmain_formatMessage(number, nullptr, nullptr) +
                       ": " + (tableName != nullptr ? tableName : "") + "\n";
    ddmain_printString(line.c_str());
}

void ddmain_echoArguments(int argc, char **argv)
{
    if (argc <= 0)
        return;
    ddmain_putString(DDMAIN_MSG_ECHO);
    std::string line;
    for (int i = 1; i < argc && argv != nullptr; i++) {
        if (argv[i] != nullptr)
            line += argv[i];
        line += ' ';
    }
    line += '\n';
    writeText(out(), line);
}

void ddmain_printUsage(int argc, char **argv)
{
    // The heading always reaches the console, even when the rest of the
    // usage goes to a script's output file.
    writeText(stdout, fetch(DDMAIN_MSG_USAGE_FIRST) + "\n\n");
    writeText(stdout, "catalogr - " + fetch(DDMAIN_MSG_USAGE_NAME) + "\n");
    for (int n = DDMAIN_MSG_USAGE_REST; n <= DDMAIN_MSG_USAGE_LAST; n++)
        ddmain_putString(n);
    ddmain_echoArguments(argc, argv);
}

int ddmain_main(int argc, char **argv)
{
    outFileP = stdout;

    mbstr_initialize(0);
    int multiByte = 0;
    codeSet_initialize(&multiByte);
    mbstr_initialize(multiByte);

    std::string rscName;
    if (ddmain_initializeResources(argc > 0 && argv != nullptr ? argv[0] : nullptr, &rscName) != 0) {
        // No message can be fetched: this one line is the program's own.
        complain("cannot open the message file " + rscName);
        return -1;
    }

    useCatalogrPaths = platform_getenv("VX_XBDDPATH") != nullptr ? 1 : 0;

    if (platform_getcwd(currentDir, sizeof currentDir) != 0) {
        complain("cannot read the current directory");
        ddmain_closeResources();
        return -1;
    }

    if (argc < 2) {
        ddmain_printUsage(argc, argv);
        ddmain_closeResources();
        finishOutput();
        return -1;
    }

    d4init(&code_base);
    code_base.open_error = 0;
    code_base.lock_wait_hook = ddmain_noteLockWait;

    int status = ddmain_processCommandLine(argc, argv);
    if (status != 0)
        ddmain_printUsage(argc, argv);

    ddmain_closeResources();
    // Messages that never reached the disk make a failed run.
    if (finishOutput() != 0 && status == 0)
        status = DDMAIN_FAILURE;
    return status;
}

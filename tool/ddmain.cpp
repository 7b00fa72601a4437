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
#include "xbase/xbase.h"

#ifndef CATALOGR_DATADIR
#define CATALOGR_DATADIR "/usr/local/share/catalogr"
#endif
#ifndef CATALOGR_VERSION
#define CATALOGR_VERSION "unknown"
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
long ddmain_lockWaitLimit = -1;

namespace {

// The end of a script: a 0x1A byte, as old editors wrote it.
const int kScriptEnd = 0x1A;
// The script name that stands for standard input.
const char kStandardInput[] = "-";

// 1 while a script line runs: a refusal is then reported with its line.
int inScript = 0;
// Why the directive being run failed, for the report of a failing script
// line: a refusal (ddmain_refuse), else the first error message it printed.
std::string refusal;

// The lock wait given up (ddmain_noteLockWait): its file, and who held it.
std::string waitFile, waitHolder;

// Arguments each directive takes, and how the usage writes them.
struct directiveForm {
    int operation;
    int arguments;
    const char *form;
};
const directiveForm kForms[] = {
    {DDMAIN_OP_INIT, 0, "-INIT"},
    {DDMAIN_OP_IA, 2, "-IA indexfile table"},
    {DDMAIN_OP_ID, 2, "-ID indexfile table"},
    {DDMAIN_OP_TA, 2, "-TA datafile table"},
    {DDMAIN_OP_TD, 1, "-TD table"},
};

// Options every program of the system answers; each stands alone.
const char kHelp[] = "--help", kHelpShort[] = "-h", kVersion[] = "--version";
// Bytes of a script line or a reason shown in a report: enough for any
// line a script may hold.
const size_t kReportShown = 4 * DDMAIN_SHOWN_MAX;

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
    // A read of the message file that fails now (it was read when opened)
    // says so in the message's place rather than leaving a blank.
    if (ddmain_fetchString(message, number) == RSC_ERR_FILE)
        return "(message " + std::to_string(number) + ": the message file could not be read)";
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
    // What went to standard output before comes before it on a terminal.
    std::fflush(out());
    std::fflush(stdout);
    std::string line = "catalogr: " + text + "\n";
    writeText(stderr, line);
    std::fflush(stderr);
}

// The process holding the lock waited for, where the system tells it.
std::string lockHolder(void)
{
    long pid = platform_lastLockHolder();
    return pid > 0 ? " (held by process " + std::to_string(pid) + ")" : std::string();
}

// VX_LOCKWAIT: whole seconds, or -1 when unset; -2 for a value that is not.
long lockWaitSetting(void)
{
    const char *v = platform_getenv("VX_LOCKWAIT");
    if (v == nullptr)
        return -1;
    size_t n = std::strlen(v);
    if (n == 0 || n > 9 || std::strspn(v, "0123456789") != n)
        return -2;
    return std::atol(v);
}

// The script stream: closed unless it is standard input, which the process
// keeps.
void closeScript(FILE *script)
{
    if (script != stdin)
        std::fclose(script);
}

// The line as written, for its report: blanks around it dropped, a NUL
// byte shown as '?' like the other control bytes.
std::string writtenLine(const std::vector<char> &text, size_t length)
{
    size_t n = std::min(length, text.size() - 1);
    std::string s(text.data(), n);
    for (char &c : s)
        if (c == 0)
            c = '?';
    size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A failing script line: the echo of its words as written and, when the
// script has a name to report, the line on standard error naming the
// script, the line and the reason.
void reportScriptLine(const char *reportName, long lineNumber, const std::string &written,
                      int count, char **words, int status)
{
    ddmain_echoArguments(count, words);
    if (reportName == nullptr)
        return;
    std::string why = refusal.empty() ? "failed with status " + std::to_string(status) : refusal;
    complain(std::string(reportName) + " line " + std::to_string(lineNumber) + ": " +
             ddmain_safeText(written.c_str(), kReportShown) + ": " +
             ddmain_safeText(why.c_str(), kReportShown));
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

// The message of a failed directive, first one only, as the reason of its
// script line.
void keepMessage(const std::string &text)
{
    if (refusal.empty())
        refusal = text;
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
// A message file that is there but does not open, or whose messages cannot
// be read (a failing disk, a damaged file, a list it cannot decode), is
// named in `unreadable` (the first such) and not used.
int openMessageFile(const std::string &path, std::string *unreadable)
{
    uint32_t handle = 0;
    platform_stat st{};
    bool opened = qtkResource_openFile(&handle, path.c_str(), 0) == 0;
    char probe[DDMAIN_MSG_LEN];
    int probed = 0;
    try {
        probed = opened ? qtkResource_loadFromStringList(probe, sizeof probe, handle, DDMAIN_MSG_LIST,
                                                         DDMAIN_MSG_ERROR_PREFIX)
                        : 0;
    } catch (const std::bad_alloc &) {
        qtkResource_closeFile(handle); // out of memory ends the run (ddmain_run), the file closed
        throw;
    }
    if (opened && probed == RSC_ERR_FILE) {
        qtkResource_closeFile(handle);
        opened = false;
    }
    if (!opened) {
        // A file that is there was found, and failed: that is worth saying.
        if (unreadable->empty() && platformG.stat(path.c_str(), &st) == 0)
            *unreadable = path;
        return DDMAIN_FAILURE;
    }
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
    refusal.clear();
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        ddmain_refuse("no directive");
        return DDMAIN_FAILURE;
    }
    int op = ddmain_getOperationType(argv[1]);
    const directiveForm *form = nullptr;
    for (const directiveForm &f : kForms)
        if (f.operation == op)
            form = &f;
    if (form == nullptr) {
        ddmain_refuse("unknown directive " + ddmain_safeText(argv[1], DDMAIN_SHOWN_MAX));
        return DDMAIN_FAILURE;
    }
    // Never run with an argument dropped or one missing: a command line is
    // held to the same rule as a script line.
    int given = 0;
    while (given < argc - 2 && argv[2 + given] != nullptr)
        given++;
    if (given != form->arguments) {
        ddmain_refuse(std::string(given < form->arguments ? "missing argument" : "too many arguments") +
                      ", the directive is " + form->form);
        return DDMAIN_FAILURE;
    }
    // The handlers change their arguments in place (table names are
    // upper-cased): they get copies, the words stay as written for the echo.
    std::vector<std::string> words(argv, argv + argc);
    std::vector<char *> vector;
    for (std::string &w : words)
        vector.push_back(&w[0]);
    vector.resize(1 + DDMAIN_MAX_TOKENS + 1, nullptr);
    // The slot is emptied first, so that what it holds after a failure was
    // reported during this directive and no earlier.
    e4clearErrorState();
    platform_forgetFailure();
    platform_abandonLockWaits(0);
    int status;
    switch (op) {
    case DDMAIN_OP_INIT:
        status = ddmain_initializeCatalogr();
        break;
    case DDMAIN_OP_IA:
    case DDMAIN_OP_ID:
        status = ddmain_operateIndex(argc, vector.data(), op);
        break;
    default:
        status = ddmain_operateTable(argc, vector.data(), op);
        break;
    }
    if (status != 0 && platform_lockWaitsAbandoned() > 0) {
        // The engine's report says only that a lock failed.
        e4clearErrorState();
        ddmain_refuse("gave up waiting for a lock on " +
                      ddmain_safeText(waitFile.c_str(), DDMAIN_SHOWN_MAX) + waitHolder +
                      " after " + std::to_string(ddmain_lockWaitLimit) +
                      (ddmain_lockWaitLimit == 1 ? " second" : " seconds") + " (VX_LOCKWAIT)");
    } else if (status != 0) {
        ddmain_putEngineReport();
    }
    platform_abandonLockWaits(0);
    return status;
}

void ddmain_refuse(const std::string &why)
{
    refusal = why;
    if (!inScript)
        complain(why);
}

std::string ddmain_fileFailure(const std::string &shownName, int platformResult)
{
    switch (platformResult) {
    case PLATFORM_NOT_FOUND:
        return shownName + ": " + systemReason(ENOENT);
    case PLATFORM_NOT_REGULAR:
        return shownName + " is not a regular file";
    case PLATFORM_NAME_TOO_LONG:
        return shownName + ": " + systemReason(ENAMETOOLONG);
    default:
        return shownName + ": " + systemReason(platformResult < 0 ? -platformResult : 0);
    }
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
    // goes unmentioned. The holder is named where the system tells it.
    const long before = code4lock_waited_ms(polls), after = code4lock_waited_ms(polls + 1);
    if (before < kLockNoticeMs && after >= kLockNoticeMs)
        complain("waiting for a lock on " + ddmain_safeText(fileName, DDMAIN_SHOWN_MAX) +
                 lockHolder());
    if (ddmain_lockWaitLimit >= 0 && after >= ddmain_lockWaitLimit * 1000) {
        // The pause now due reaches VX_LOCKWAIT: the attempt after it is the
        // last, and when it finds the lock held it fails, and with it the
        // directive (ddmain_processDirective says why).
        waitFile = fileName != nullptr ? fileName : "";
        waitHolder = lockHolder();
        platform_abandonLockWaits(1);
    }
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
        if (codeSet_isControl(p) || (csG.utf8 && !codeSet_isValidChar(p)))
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
    if (std::strcmp(argv[1], kHelp) == 0 || std::strcmp(argv[1], kHelpShort) == 0 ||
        std::strcmp(argv[1], kVersion) == 0) {
        if (argc > 2) {
            ddmain_refuse(std::string("too many arguments, ") + argv[1] + " stands alone");
            return DDMAIN_FAILURE;
        }
        if (std::strcmp(argv[1], kVersion) == 0)
            writeText(stdout, "catalogr " CATALOGR_VERSION "\n");
        else
            ddmain_printUsage(0, argv);
        return 0;
    }
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
    const int fromInput = std::strcmp(scriptFile, kStandardInput) == 0;
    const std::string shownScript =
        fromInput ? "standard input" : ddmain_safeText(scriptFile, DDMAIN_SHOWN_MAX);
    errno = 0;
    FILE *script = fromInput ? stdin : platform_fopen(scriptFile, "r");
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
        if (!fromInput && platform_fileId(outFile, &oDev, &oIno) == 0 &&
            platform_fileId(scriptFile, &sDev, &sIno) == 0 && sDev == oDev && sIno == oIno) {
            complain("the output file " + shownOutput + " is the script " + shownScript);
            closeScript(script);
            return DDMAIN_FAILURE;
        }
        errno = 0;
        FILE *o = platform_fopen(outFile, "w");
        if (o == nullptr) {
            int err = errno;
            complain("cannot create the output file " + shownOutput + ": " + systemReason(err));
            closeScript(script);
            return DDMAIN_FAILURE;
        }
        outFileP = o;
    }

    int readError = 0;
    int status = ddmain_runScript(script, executableName, &readError, shownScript.c_str());
    closeScript(script);
    if (readError != 0) {
        complain("cannot read the script " + shownScript + ": " + systemReason(readError));
        return DDMAIN_FAILURE;
    }
    if (status != 0)
        endScriptRun(status);
    return 0;
}

int ddmain_runScript(FILE *script, const char *executableName, int *readError,
                     const char *reportName)
{
    *readError = 0;
    scriptLine line;
    long lineNumber = 0;
    while (readScriptLine(script, &line)) {
        lineNumber++;
        // A line cut short by a read error is never run.
        if (line.readError)
            break;
        const std::string written = writtenLine(line.text, line.length);
        std::vector<char *> tokens = splitTokens(line.text);
        if (!tokens.empty() && written[0] != '#') {
            std::vector<char *> all(1, const_cast<char *>(executableName));
            all.insert(all.end(), tokens.begin(), tokens.end());
            int count = (int)all.size();
            // Never run in pieces or with tokens dropped: the whole line is
            // refused and echoed as it was read.
            refusal = tokens.size() > DDMAIN_MAX_TOKENS ? "more than three words"
                      : line.length > DDMAIN_MAX_LINE
                          ? "longer than " + std::to_string(DDMAIN_MAX_LINE) + " characters"
                      : line.hasNul ? "a NUL byte in the line"
                                    : std::string();
            int status = DDMAIN_FAILURE;
            if (refusal.empty()) {
                inScript = 1;
                status = ddmain_processDirective(count, all.data());
                inScript = 0;
            }
            if (status != 0) {
                reportScriptLine(reportName, lineNumber, written, count, all.data(), status);
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
    std::string unreadable;
    auto found = [&](const std::string &place) {
        return noted(place) && openMessageFile(place, &unreadable) == 0;
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
                if (openMessageFile(path.data(), &unreadable) == 0)
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
        if (!unreadable.empty())
            *failure += "; " + ddmain_safeText(unreadable.c_str(), DDMAIN_SHOWN_MAX) + " could not be read";
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
    case DDMAIN_MSG_TABLE_EXISTS:
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
    const std::string text = ddmain_formatMessage(number, arg1, arg2);
    keepMessage(text);
    std::string line = "\n" + errorPrefix() + " " + text + "\n";
    ddmain_printString(line.c_str());
}

void ddmain_putError(int number) { ddmain_putMessage(number, nullptr, nullptr); }

void ddmain_putInitError(int number, const char *tableName)
{
    std::string text = ddmain_formatMessage(number, nullptr, nullptr) + ": " +
                       (tableName != nullptr ? tableName : "");
    // INIT fails with this message too: it is the reason of its script line.
    keepMessage(text);
    std::string line = "\n" + errorPrefix() + " " + text + "\n";
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
            line += ddmain_safeText(argv[i], (size_t)-1);
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

int ddmain_run(int argc, char **argv)
{
    try {
        return e4exit_status(ddmain_main(argc, argv));
    } catch (const std::bad_alloc &) {
        int status = e4out_of_memory();
        e4alloc_ok([] { d4init_undo(&code_base); });
        ddmain_closeResources();
        return status;
    }
}

int ddmain_main(int argc, char **argv)
{
    outFileP = stdout;

    mbstr_initialize(0);
    int multiByte = 0;
    // Without a configuration of the host's, text is UTF-8 where the
    // locale says so.
    if (codeSet_initialize(&multiByte) != 0)
        multiByte = codeSet_initializeUtf8();
    mbstr_initialize(multiByte);

    // The version needs no message file.
    if (argc == 2 && std::strcmp(argv[1], kVersion) == 0) {
        int status = ddmain_processCommandLine(argc, argv);
        return finishOutput() != 0 ? DDMAIN_FAILURE : status;
    }

    std::string rscName;
    if (ddmain_initializeResources(argc > 0 && argv != nullptr ? argv[0] : nullptr, &rscName) != 0) {
        // No message can be fetched: this one line is the program's own.
        complain("cannot open the message file " + rscName);
        return -1;
    }

    useCatalogrPaths = platform_getenv("VX_XBDDPATH") != nullptr ? 1 : 0;
    ddmain_lockWaitLimit = lockWaitSetting();
    if (ddmain_lockWaitLimit < -1) {
        complain("VX_LOCKWAIT=" +
                 ddmain_safeText(platform_getenv("VX_LOCKWAIT"), DDMAIN_SHOWN_MAX) +
                 " is not a whole number of seconds");
        ddmain_closeResources();
        return -1;
    }

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

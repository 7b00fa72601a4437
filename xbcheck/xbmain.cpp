// The command line of xbcheck, the run over the named tables or the
// dictionary, and the exit status: 0 everything checks out, 1 a problem was
// found (or remains after --repair), 2 a usage error or a file that cannot
// be opened. --help and --version print to standard output.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "codeset/codeset.h"
#include "platform/platform.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbcheck/xbcheck.h"

namespace {

const char kUsage[] =
    "usage: xbcheck [options] FILE.dbf ...\n"
    "       xbcheck [--format=FORMAT] [--repair] --dictionary [DIR]\n"
    "Shows what xBase tables hold and checks that their records, memo file and\n"
    "production index agree; with --dictionary, checks the data dictionary in DIR\n"
    "(the current directory by default) against the files it describes.\n"
    "  --records         list every record\n"
    "  --keys TAG        list the keys of TAG in the tag's order\n"
    "  --format=FORMAT   text (the default), csv or json\n"
    "  --repair          rebuild damaged indexes (and, with --dictionary, remove\n"
    "                    column rows of unregistered tables), then check again\n"
    "  --dictionary      check the data dictionary\n"
    "  --help            show this text\n"
    "  --version         show the program's version\n"
    "Exit status: 0 all checks out, 1 a problem was found, 2 usage or a file\n"
    "that cannot be opened.\n";

double now()
{
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

int usageError(const std::string &why)
{
    xbcheck_complain(why);
    std::fputs(kUsage, stderr);
    return XBCHECK_USAGE;
}

void noteLockWait(CODE4 *, const char *file_name, int polls)
{
    if (polls == 1)
        xbcheck_complain(std::string("waiting for a lock on ") + xbcheck_shown(file_name, std::strlen(file_name), false));
}

// The parsed command line.
struct commandLine {
    int format = XBCHECK_TEXT;
    int records = 0;
    std::string keysTag;
    int repair = 0;
    int dictionary = 0;
    std::vector<std::string> names;
};

// 0 parsed; 1 --help or --version was answered; XBCHECK_USAGE.
int parse(int argc, char **argv, commandLine *cl)
{
    bool options = true;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (!options || a.empty() || a[0] != '-' || a == "-") {
            cl->names.push_back(a);
        } else if (a == "--") {
            options = false;
        } else if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 1;
        } else if (a == "--version") {
            std::printf("xbcheck %s\n", XBCHECK_VERSION);
            return 1;
        } else if (a == "--records") {
            cl->records = 1;
        } else if (a == "--repair") {
            cl->repair = 1;
        } else if (a == "--dictionary") {
            cl->dictionary = 1;
        } else if (a == "--keys" || a.compare(0, 7, "--keys=") == 0) {
            if (a == "--keys" && i + 1 >= argc)
                return usageError("--keys needs a tag name");
            cl->keysTag = a == "--keys" ? argv[++i] : a.substr(7);
            if (cl->keysTag.empty())
                return usageError("--keys needs a tag name");
        } else if (a == "--format" || a.compare(0, 9, "--format=") == 0) {
            if (a == "--format" && i + 1 >= argc)
                return usageError("--format needs text, csv or json");
            std::string f = a == "--format" ? argv[++i] : a.substr(9);
            if (f != "text" && f != "csv" && f != "json")
                return usageError("unknown format " + xbcheck_shown(f.data(), f.size(), true) +
                                  " (text, csv or json)");
            cl->format = f == "text" ? XBCHECK_TEXT : f == "csv" ? XBCHECK_CSV : XBCHECK_JSON;
        } else {
            return usageError("unknown option " + xbcheck_shown(a.data(), a.size(), true));
        }
    }
    if (cl->dictionary && (cl->records || !cl->keysTag.empty()))
        return usageError("--records and --keys list tables, not the dictionary");
    if (cl->dictionary && cl->names.size() > 1)
        return usageError("--dictionary takes one directory");
    if (!cl->dictionary && cl->names.empty())
        return usageError("no table to check");
    return 0;
}

} // namespace

void xbcheck_complain(const std::string &text) { std::fprintf(stderr, "xbcheck: %s\n", text.c_str()); }

std::string xbcheck_shown(const char *bytes, size_t len, bool quote)
{
    std::string s = quote ? "\"" : "";
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)bytes[i];
        s += c < 0x20 || c == 0x7F ? '?' : (char)c;
    }
    return quote ? s + "\"" : s;
}

void xbcheck_note(std::vector<xbchecknote> *notes, int kind, const std::string &file, long block,
                  const std::string &text)
{
    notes->push_back({kind, file, block, text});
}

double xbcheck_now() { return now(); }

long xbcheck_count(const std::vector<xbchecknote> &notes, int kind)
{
    return (long)std::count_if(notes.begin(), notes.end(), [kind](const xbchecknote &n) { return n.kind == kind; });
}

bool xbcheck_has(const std::vector<xbchecknote> &notes, int kind) { return xbcheck_count(notes, kind) > 0; }

std::string xbcheck_lastReport()
{
    char text[E4_ERROR_BUFFER_LEN] = "";
    e4getErrorInfo(nullptr, text, sizeof text);
    return text[0] != 0 ? std::string(": ") + text : std::string();
}

void xbcheck_progress(xbcheckrun *run, const std::string &text)
{
    if (!run->progressAllowed)
        return;
    if (text.empty()) {
        if (run->progressShown)
            std::fputs("\r\033[K", stderr);
        run->progressShown = false;
        return;
    }
    if (now() - run->started < 1.0)
        return;
    std::string line = "\r\033[Kxbcheck: " + xbcheck_shown(text.data(), std::min<size_t>(text.size(), 70), false);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    run->progressShown = true;
}

void xbcheck_initContext(CODE4 *c4)
{
    d4init(c4);
    // C1: nothing is written and no lock is taken unless --repair asks.
    c4->read_only = 1;
    c4->open_error = 0;
    c4->auto_open = 0;
    c4->tag_name_error = 0;
}

int xbcheck_main(int argc, char **argv)
{
    commandLine cl;
    int rc = parse(argc, argv, &cl);
    if (rc != 0)
        return rc == 1 ? XBCHECK_OK : rc;

    mbstr_initialize(0);
    int multiByte = 0;
    codeSet_initialize(&multiByte);
    mbstr_initialize(multiByte);

    CODE4 c4;
    xbcheck_initContext(&c4);
    c4.lock_wait_hook = noteLockWait;

    xbcheckrun run{};
    run.c4 = &c4;
    run.out.format = cl.format;
    run.out.out = stdout;
    run.records = cl.records;
    run.keysTag = cl.keysTag;
    run.repair = cl.repair;
    run.progressAllowed = platform_isTerminal(2) != 0;

    platform_stat st{};
    if (cl.dictionary && !cl.names.empty() &&
        (platformG.stat(cl.names[0].c_str(), &st) != 0 || !st.isDirectory)) {
        xbcheck_complain(xbcheck_shown(cl.names[0].data(), cl.names[0].size(), false) + ": no such directory");
        d4init_undo(&c4);
        codeSet_destroy();
        return XBCHECK_USAGE;
    }
    int status = XBCHECK_OK;
    xbcheck_beginRun(&run.out, cl.dictionary != 0);
    if (cl.dictionary) {
        status = xbcheck_checkDictionary(&run, cl.names.empty() ? std::string() : cl.names[0]);
    } else {
        for (const std::string &name : cl.names)
            status = std::max(status, xbcheck_checkTable(&run, name.c_str(), nullptr, false, nullptr));
    }
    xbcheck_endRun(&run.out, status);
    d4init_undo(&c4);
    if (std::ferror(stdout) && status == XBCHECK_OK)
        status = XBCHECK_USAGE;
    codeSet_destroy();
    return status;
}

// Front-end tests with stand-in directive handlers: recognition of the
// directive words, the command-line switches, script reading and the end of
// a run at a failing line, message formatting, the engine's report after a
// failed directive, and the notice of a long lock wait.
#include "tool/ddmain.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "codeset/codeset.h"
#include "tests/faultinject.h"
#include "tests/testutil.h"
#include "tests/tool/rscfixture.h"

using testutil::readFile;
using testutil::writeFile;

// ---- Handler doubles --------------------------------------------------------
//
// Each records its call and writes "ran <argv[1]> ..." to the output stream
// (visible even when the run ends the process). The status comes from the
// first argument: "fail=N" returns N, "usage" prints the usage and returns
// 0x8000 (as a handler given too few arguments does), anything else 0.
// Engine reports: "report=TEXT" makes an "Opening File" report with TEXT
// and fails, "reportok=TEXT" makes one and succeeds, "reportput=TEXT" makes
// one, shows it itself and fails.

namespace {

struct handlerCall {
    std::string handler;
    int operation;
    std::vector<std::string> argv;     // "(null)" for a null element
    std::vector<std::string> pastCount; // elements argc..3 of the vector
};

std::vector<handlerCall> gCalls;
int gInitStatus = 0;

int runDouble(const char *handler, int argc, char **argv, int operation)
{
    handlerCall c{handler, operation, {}, {}};
    std::string line = "ran";
    for (int i = 0; i < argc; i++) {
        c.argv.push_back(argv[i] ? argv[i] : "(null)");
        if (i > 0)
            line += std::string(" ") + (argv[i] ? argv[i] : "(null)");
    }
    // Every vector the front end builds holds at least four elements.
    for (int i = argc; i < 4; i++)
        c.pastCount.push_back(argv[i] ? argv[i] : "(null)");
    gCalls.push_back(c);
    ddmain_printString((line + "\n").c_str());
    const std::string arg = argc > 2 && argv[2] ? argv[2] : "";
    const std::string value = arg.substr(arg.find('=') + 1);
    if (arg.rfind("fail=", 0) == 0)
        return std::atoi(value.c_str());
    if (arg.rfind("report", 0) == 0) {
        e4(&code_base, e4open, value.c_str());
        if (arg.rfind("reportput=", 0) == 0)
            ddmain_putEngineReport();
        return arg.rfind("reportok=", 0) == 0 ? 0 : DDMAIN_FAILURE;
    }
    if (arg == "usage") {
        ddmain_printUsage(argc, argv);
        return DDMAIN_FAILURE;
    }
    return 0;
}

} // namespace

int ddmain_initializeCatalogr(void)
{
    gCalls.push_back({"init", DDMAIN_OP_INIT, {}, {}});
    ddmain_printString("ran INIT\n");
    return gInitStatus;
}

int ddmain_operateIndex(int argc, char **argv, int operation)
{
    return runDouble("index", argc, argv, operation);
}

int ddmain_operateTable(int argc, char **argv, int operation)
{
    return runDouble("table", argc, argv, operation);
}

namespace {

// Message texts with known bytes; 2015 carries printf-like text that must
// come out as it stands.
std::map<int, std::string> testMessages()
{
    std::map<int, std::string> m;
    for (int n = 2001; n <= 2011; n++)
        m[n] = "U" + std::to_string(n);
    m[2012] = "ERR:";
    m[2013] = "already registered";
    m[2014] = "cannot open the dictionary";
    m[2015] = "cannot open %s (100% sure, %d %n %%)";
    m[2017] = "exists %s";
    m[2018] = "not created";
    m[2024] = "table %s already has %s";
    m[2025] = "table %s has no index";
    m[2026] = "cannot open sqltable";
    m[2027] = "no table %s";
    m[2028] = "not registered";
    m[2029] = "ECHO:";
    return m;
}

const char kUsageRest[] = "U2003\nU2004\nU2005\nU2006\nU2007\nU2008\nU2009\nU2010\nU2011\n";

// Standard output or standard error redirected to a file for the lifetime
// of the capture.
struct StreamCapture {
    FILE *stream;
    std::string path;
    int saved = -1;
    StreamCapture(FILE *s, const std::string &p) : stream(s), path(p)
    {
        std::fflush(stream);
        saved = dup(fileno(stream));
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, fileno(stream));
        close(fd);
    }
    std::string finish()
    {
        if (saved >= 0) {
            std::fflush(stream);
            dup2(saved, fileno(stream));
            close(saved);
            saved = -1;
        }
        return readFile(path);
    }
    ~StreamCapture() { finish(); }
};

// A fresh directory holding the message file "prog.rsc", opened as the
// program "<dir>/prog" would open it; messages go to "out.txt" unless a
// script names another file.
class FrontEnd : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::unique_ptr<testutil::ScopedCwd> cwd;
    FILE *captured = nullptr;

    void SetUp() override
    {
        rscfixture::writeFile(dir.file("prog.rsc"),
                              {{RSC_TYPE_STRLIST, DDMAIN_MSG_LIST, "",
                                rscfixture::stringList(testMessages())}});
        ASSERT_EQ(0, ddmain_initializeResources(dir.file("prog").c_str()));
        cwd.reset(new testutil::ScopedCwd(dir.path));
        captured = std::fopen(dir.file("out.txt").c_str(), "w");
        outFileP = captured;
        gCalls.clear();
        gInitStatus = 0;
    }

    void TearDown() override
    {
        if (outFileP != captured && outFileP != stdout && outFileP != nullptr)
            std::fclose(outFileP);
        outFileP = stdout;
        std::fclose(captured);
        ddmain_closeResources();
        cwd.reset();
    }

    std::string output()
    {
        std::fflush(captured);
        return readFile(dir.file("out.txt"));
    }

    int commandLine(std::vector<std::string> args)
    {
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(&a[0]);
        // Room for the doubles' look past the count, as in a script vector.
        while (argv.size() < 5)
            argv.push_back(nullptr);
        return ddmain_processCommandLine((int)args.size(), argv.data());
    }

    // Runs a script file; a failing line ends the (death-test) child.
    int script(const std::string &text, const char *outFile = "log.txt")
    {
        writeFile(dir.file("jobs.txt"), text);
        return ddmain_processScriptFile("jobs.txt", outFile, "prog");
    }

    // Runs a script that must run to its end, in a child process so that a
    // line wrongly taken as failing shows as a test failure; returns what
    // the handlers and the front end wrote.
    std::string scriptToTheEnd(const std::string &text)
    {
        EXPECT_EXIT(
            {
                int rc = script(text);
                std::fflush(nullptr);
                std::_Exit(rc == 0 ? 0 : 100);
            },
            ::testing::ExitedWithCode(0), "")
            << testutil::hex(text.substr(0, 40));
        return readFile(dir.file("log.txt"));
    }
};

} // namespace

// ---- Directive words --------------------------------------------------------

TEST(DirectiveWord, FirstCharacterIsSkippedAndTheRestMustMatchWhole)
{
    const struct {
        const char *arg;
        int code;
    } cases[] = {
        {"-INIT", DDMAIN_OP_INIT}, {"-init", DDMAIN_OP_INIT}, {"/Init", DDMAIN_OP_INIT},
        {"-IA", DDMAIN_OP_IA},     {"-id", DDMAIN_OP_ID},     {"xTa", DDMAIN_OP_TA},
        {"-Td", DDMAIN_OP_TD},     {"TA", DDMAIN_FAILURE},    {"-TAB", DDMAIN_FAILURE},
        {"-INITIALIZE", DDMAIN_FAILURE}, {"-T", DDMAIN_FAILURE}, {"-", DDMAIN_FAILURE},
        {"", DDMAIN_FAILURE},      {"-TA ", DDMAIN_FAILURE},  {"--TA", DDMAIN_FAILURE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.code, ddmain_getOperationType(c.arg)) << "argument '" << c.arg << "'";
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_getOperationType(nullptr));
}

TEST_F(FrontEnd, DirectiveReachesItsHandlerWithTheWholeVector)
{
    EXPECT_EQ(0, commandLine({"prog", "-ta", "parts.dbf", "parts"}));
    EXPECT_EQ(7, commandLine({"prog", "-ID", "fail=7", "t"}));
    gInitStatus = 0;
    EXPECT_EQ(0, commandLine({"prog", "/INIT"}));
    // An INIT that could not run at all is not reported as success.
    gInitStatus = DDMAIN_FAILURE;
    EXPECT_EQ(DDMAIN_FAILURE, commandLine({"prog", "-init"}));
    ASSERT_EQ(4u, gCalls.size());
    EXPECT_EQ("table", gCalls[0].handler);
    EXPECT_EQ(DDMAIN_OP_TA, gCalls[0].operation);
    EXPECT_EQ((std::vector<std::string>{"prog", "-ta", "parts.dbf", "parts"}), gCalls[0].argv);
    EXPECT_EQ("index", gCalls[1].handler);
    EXPECT_EQ(DDMAIN_OP_ID, gCalls[1].operation);
    EXPECT_EQ("init", gCalls[2].handler);
}

TEST_F(FrontEnd, UnknownOrTooShortWordReachesNoHandler)
{
    EXPECT_EQ(DDMAIN_FAILURE, commandLine({"prog", "-XX", "a"}));
    EXPECT_EQ(DDMAIN_FAILURE, commandLine({"prog", "-"}));
    EXPECT_EQ(DDMAIN_FAILURE, commandLine({"prog", ""}));
    EXPECT_TRUE(gCalls.empty());
}

// ---- Script and output switches ---------------------------------------------

TEST_F(FrontEnd, ScriptSwitchIgnoresCaseAndOrder)
{
    writeFile(dir.file("jobs.txt"), "-TA a b\n-IA c d\n");
    const std::vector<std::vector<std::string>> forms = {
        {"prog", "-Sjobs.txt", "-Olog.txt"},
        {"prog", "-sjobs.txt", "-olog.txt"},
        {"prog", "-olog.txt", "-sjobs.txt"},
        {"prog", "/Olog.txt", "xSjobs.txt"},
    };
    for (const auto &f : forms) {
        gCalls.clear();
        std::remove(dir.file("log.txt").c_str());
        EXPECT_EQ(0, commandLine(f)) << f[1] << " " << f[2];
        std::fflush(outFileP);
        EXPECT_EQ("ran -TA a b\nran -IA c d\n", readFile(dir.file("log.txt"))) << f[1];
        ASSERT_EQ(2u, gCalls.size());
        EXPECT_EQ("prog", gCalls[0].argv[0]);
        if (outFileP != captured)
            std::fclose(outFileP);
        outFileP = captured;
    }
    // Without an output file the messages stay on the current stream.
    EXPECT_EQ(0, commandLine({"prog", "-sjobs.txt"}));
    EXPECT_EQ("ran -TA a b\nran -IA c d\n", output());
}

TEST_F(FrontEnd, SwitchWithWrongArgumentsRunsNothing)
{
    writeFile(dir.file("jobs.txt"), "-TA a b\n");
    const std::vector<std::vector<std::string>> bad = {
        // The second argument is not the other switch.
        {"prog", "-Sjobs.txt", "-Slog.txt"},
        {"prog", "-olog.txt", "/Xjobs.txt"},
        {"prog", "-Sjobs.txt", "-Olog.txt", "extra"},
        {"prog", "-Olog.txt"},
        {"prog", "-Olog.txt", "-Sjobs.txt", "extra"},
        // An output argument too short to hold a switch.
        {"prog", "-Sjobs.txt", "-"},
        {"prog", "-O", ""},
        // A switch with no file name after it.
        {"prog", "-S"},
        {"prog", "-O", "-Sjobs.txt"},
        // A word beginning with S or O is a switch, never a directive.
        {"prog", "-Start"},
    };
    for (const auto &b : bad)
        EXPECT_EQ(DDMAIN_FAILURE, commandLine(b)) << b[1] << " with " << b.size() << " arguments";
    EXPECT_TRUE(gCalls.empty());
    EXPECT_FALSE(testutil::fileExists(dir.file("log.txt")));
    EXPECT_EQ("", output());
}

TEST_F(FrontEnd, MissingScriptOrUncreatableOutputIsAFailure)
{
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_processScriptFile("nosuch.txt", nullptr, "prog"));
    writeFile(dir.file("jobs.txt"), "-TA a b\n");
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_processScriptFile("jobs.txt", "nodir/log.txt", "prog"));
    EXPECT_EQ(captured, outFileP);
    // A directory is not a script.
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_processScriptFile(".", nullptr, "prog"));
    // A script that cannot be read (this file answers every read with EIO)
    // ends the run as a failure, never as an empty script.
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_processScriptFile("/proc/self/mem", nullptr, "prog"));
    EXPECT_TRUE(gCalls.empty());
}

TEST_F(FrontEnd, OutputFileThatIsTheScriptIsRefusedBeforeTruncation)
{
    const std::string text = "-TA a b\n";
    writeFile(dir.file("jobs.txt"), text);
    ASSERT_EQ(0, link(dir.file("jobs.txt").c_str(), dir.file("alias.txt").c_str()));
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_processScriptFile("jobs.txt", "jobs.txt", "prog"));
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_processScriptFile("jobs.txt", "./alias.txt", "prog"));
    EXPECT_EQ(DDMAIN_FAILURE,
              ddmain_processScriptFile(dir.file("jobs.txt").c_str(), "jobs.txt", "prog"));
    EXPECT_EQ(text, readFile(dir.file("jobs.txt")));
    EXPECT_TRUE(gCalls.empty());
}

// ---- Script lines -----------------------------------------------------------

TEST_F(FrontEnd, ScriptTokensAreSplitOnBlanksTabsAndCarriageReturns)
{
    // Each "ran" line shows the argument count the handler received.
    EXPECT_EQ("ran -TA parts.dbf parts\n"
              "ran -TD x\n"
              "ran INIT\n"
              "ran -IA last line-without-newline\n",
              scriptToTheEnd("  -TA\tparts.dbf   parts  \r\n"
                             "\r\n"
                             "   \t \n"
                             "\n"
                             "-TD x\r\n"
                             "-INIT\r\n"
                             "-IA last line-without-newline"));
}

TEST_F(FrontEnd, ScriptVectorElementsPastTheCountAreNull)
{
    // A short line after a full one: nothing of the earlier line is left in
    // the four-element vector.
    EXPECT_EQ(0, script("-TA a b\n-TD x\n", nullptr));
    ASSERT_EQ(2u, gCalls.size());
    EXPECT_EQ((std::vector<std::string>{}), gCalls[0].pastCount);
    EXPECT_EQ((std::vector<std::string>{"(null)"}), gCalls[1].pastCount);
    EXPECT_EQ((std::vector<std::string>{"prog", "-TD", "x"}), gCalls[1].argv);
}

TEST_F(FrontEnd, EndOfFileByteEndsTheScript)
{
    EXPECT_EQ("ran -TA a b\nran -TD c\n", scriptToTheEnd("-TA a b\n-TD c\x1a\n-TD never\n"));
    EXPECT_EQ("", scriptToTheEnd("\x1a-TA a b\n"));
    EXPECT_EQ("", scriptToTheEnd(""));
}

TEST_F(FrontEnd, LineOfExactlyTheLimitRuns)
{
    std::string longArg(DDMAIN_MAX_LINE - 7, 'x');
    std::string line = "-TA a " + longArg + " ";
    ASSERT_EQ((size_t)DDMAIN_MAX_LINE, line.size());
    EXPECT_EQ("ran -TA a " + longArg + "\n", scriptToTheEnd(line + "\n"));
}

using FrontEndDeath = FrontEnd;

TEST_F(FrontEndDeath, FailingLineEndsTheRunWithItsStatusAfterTheEcho)
{
    const std::string text = "-TA one 1\n-IA two 2\n-TA fail=3 extra\n-TA four 4\n";
    EXPECT_EXIT(script(text), ::testing::ExitedWithCode(3), "");
    EXPECT_EQ("ran -TA one 1\nran -IA two 2\nran -TA fail=3 extra\nECHO:\n-TA fail=3 extra \n",
              readFile(dir.file("log.txt")));
}

TEST_F(FrontEndDeath, FailingStatusesMapToExitStatuses)
{
    const struct {
        const char *status;
        int exitStatus;
    } cases[] = {{"32768", 1}, {"-1", 255}, {"-60", 255}, {"2", 2}, {"255", 255}};
    for (const auto &c : cases)
        EXPECT_EXIT(script(std::string("-TD fail=") + c.status + "\n"),
                    ::testing::ExitedWithCode(c.exitStatus), "")
            << c.status;
}

TEST_F(FrontEndDeath, UnknownWordInScriptIsEchoedWithoutRunning)
{
    EXPECT_EXIT(script("-TA a b\n-Sother.txt\n"), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ("ran -TA a b\nECHO:\n-Sother.txt \n", readFile(dir.file("log.txt")));
}

TEST_F(FrontEndDeath, LinesThatDoNotFitAreRefusedWholeAndEchoed)
{
    const std::string longToken(3000, 'L');
    const struct {
        std::string line;
        std::string echo;
    } cases[] = {
        {"-TA a b c", "-TA a b c "},
        {"  -TD\ta b c d e  \r", "-TD a b c d e "},
        {"-TA a " + longToken, "-TA a " + longToken + " "},
        {"-TA a " + std::string(DDMAIN_MAX_LINE, ' ') + "b", "-TA a b "},
        {std::string("-TA a\0b", 8), "-TA a b "},
    };
    for (const auto &c : cases) {
        EXPECT_EXIT(script("-TD first\n" + c.line + "\n-TD after\n"),
                    ::testing::ExitedWithCode(1), "");
        EXPECT_EQ("ran -TD first\nECHO:\n" + c.echo + "\n", readFile(dir.file("log.txt")))
            << testutil::hex(c.line.substr(0, 20));
    }
}

TEST_F(FrontEndDeath, UsageFromAHandlerIsSplitBetweenConsoleAndOutputFile)
{
    EXPECT_EXIT(
        {
            StreamCapture cap(stdout, dir.file("console.txt"));
            script("-TA usage t\n");
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ("U2001\n\ncatalogr - U2002\n", readFile(dir.file("console.txt")));
    EXPECT_EQ(std::string("ran -TA usage t\n") + kUsageRest +
                  "ECHO:\n-TA usage t \n"
                  "ECHO:\n-TA usage t \n",
              readFile(dir.file("log.txt")));
}

// ---- Messages ---------------------------------------------------------------

TEST_F(FrontEnd, PlaceholdersAreFilledInOrderAndOtherPercentSignsStand)
{
    EXPECT_EQ("cannot open A%sB%d (100% sure, %d %n %%)",
              ddmain_formatMessage(DDMAIN_MSG_DATA_OPEN, "A%sB%d", "unused"));
    EXPECT_EQ("table PARTS already has parts.cdx",
              ddmain_formatMessage(DDMAIN_MSG_HAS_INDEX, "PARTS", "parts.cdx"));
    // A message listed without placeholders keeps a "%s" it happens to hold.
    EXPECT_EQ("exists %s", ddmain_formatMessage(DDMAIN_MSG_INIT_EXISTS, "x", "y"));
    EXPECT_EQ("no table ", ddmain_formatMessage(DDMAIN_MSG_NOT_REGISTERED, nullptr, nullptr));
    EXPECT_EQ("", ddmain_formatMessage(2016, "x", nullptr));
    const std::string huge(5000, 'T');
    EXPECT_EQ("table " + huge + " has no index",
              ddmain_formatMessage(DDMAIN_MSG_NO_INDEX, huge.c_str(), nullptr));
}

TEST_F(FrontEnd, ErrorLinesHaveTheirFixedShapes)
{
    ddmain_putError(DDMAIN_MSG_TABLE_EXISTS);
    ddmain_putMessage(DDMAIN_MSG_NOT_REGISTERED, "PARTS", nullptr);
    ddmain_putInitError(DDMAIN_MSG_INIT_CREATE, "sqlcolmn");
    ddmain_putString(DDMAIN_MSG_ECHO);
    ddmain_printString("%s%n%d as it stands\n");
    EXPECT_EQ("\nERR: already registered\n"
              "\nERR: no table PARTS\n"
              "\nERR: not created: sqlcolmn\n"
              "ECHO:\n"
              "%s%n%d as it stands\n",
              output());
}

TEST(MessageFile, NameComesFromTheProgramPathWithExtensionRsc)
{
    testutil::TempDir dir;
    std::string tried;
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_initializeResources(dir.file("tool.exe").c_str(), &tried));
    EXPECT_EQ(0u, tried.rfind("(looked for " + dir.file("tool.rsc") + ", ", 0)) << tried;
    rscfixture::writeFile(dir.file("tool.rsc"), {});
    EXPECT_EQ(0, ddmain_initializeResources(dir.file("tool.exe").c_str(), &tried));
    EXPECT_NE(0u, rscFileHandle);
    ddmain_closeResources();
    EXPECT_EQ(0u, rscFileHandle);
}

// ---- Start-up ---------------------------------------------------------------

TEST(StartUp, HostConfigurationDecidesTheStringFunctions)
{
    testutil::TempDir dir;
    rscfixture::writeFile(dir.file("prog.rsc"),
                          {{RSC_TYPE_STRLIST, DDMAIN_MSG_LIST, "",
                            rscfixture::stringList(testMessages())}});
    // A configuration cut short inside its second range set.
    std::string cut;
    for (uint32_t w : {1u, 1u, 0u, 0u, 0u, 0u, 1u, 2u, 2u, 0x81u, 0x9Fu, 0xE0u, 0xFCu, 1u, 0x40u})
        rscfixture::put32(cut, w);
    rscfixture::writeFile(dir.file("plathost.rsc"), {{RSC_TYPE_RTCONFIG, -1, "", cut}});
    const std::string sjis = testutil::binaryDir() + "/tests/data/rtcf/sjis";
    ASSERT_TRUE(testutil::fileExists(sjis + "/plathost.rsc"));

    std::string prog = dir.file("prog");
    char *argv[] = {&prog[0], nullptr};
    // Without a configuration a UTF-8 locale chooses UTF-8 text; any
    // configuration, even a single-byte one, rules over the locale.
    const struct {
        std::string vx;
        const char *rtconfig;
        bool multiByte;
        const char *locale;
        int utf8;
    } cases[] = {{sjis, nullptr, true, "C.UTF-8", 0},     {sjis, "SINGLE", false, "C.UTF-8", 0},
                 {dir.path, nullptr, false, "C", 0},      {dir.path, nullptr, true, "C.UTF-8", 1},
                 {sjis, "ONEPOS", false, "C", 0},         {sjis, "SJIS", true, "C", 0}};
    for (const auto &c : cases) {
        const std::string what = c.vx + " " + (c.rtconfig ? c.rtconfig : "(unset)") + " " + c.locale;
        testutil::ScopedEnv locale("LC_ALL", c.locale);
        testutil::ScopedEnv vx("VX", c.vx);
        testutil::ScopedEnv rtconfig("VX_RTCONFIG", c.rtconfig ? c.rtconfig : "",
                                     c.rtconfig == nullptr);
        StreamCapture cap(stdout, dir.file("console.txt"));
        EXPECT_EQ(-1, ddmain_main(1, argv));
        // Start-up goes on to the usage whatever the configuration.
        EXPECT_EQ(std::string("U2001\n\ncatalogr - U2002\n") + kUsageRest + "ECHO:\n\n",
                  cap.finish());
        EXPECT_EQ(c.multiByte ? &codeSet_strupr : &sb_strupr, mbStrFuncs.struprP) << what;
        EXPECT_EQ(c.multiByte ? &codeSet_strchr : &sb_strchr, mbStrFuncs.strchrP) << what;
        EXPECT_EQ(c.utf8, csG.utf8) << what;
    }
    codeSet_destroy();
    mbstr_initialize(0);
}

TEST(StartUp, VxXbddpathIsNotedEvenWhenEmpty)
{
    testutil::TempDir dir;
    rscfixture::writeFile(dir.file("prog.rsc"),
                          {{RSC_TYPE_STRLIST, DDMAIN_MSG_LIST, "",
                            rscfixture::stringList(testMessages())}});
    std::string prog = dir.file("prog");
    char *argv[] = {&prog[0], nullptr};
    testutil::ScopedCwd cwd(dir.path);
    const struct {
        const char *value;
        int expected;
    } cases[] = {{"", 1}, {"/somewhere", 1}, {nullptr, 0}};
    for (const auto &c : cases) {
        testutil::ScopedEnv env("VX_XBDDPATH", c.value ? c.value : "", c.value == nullptr);
        StreamCapture cap(stdout, dir.file("console.txt"));
        ddmain_main(1, argv);
        EXPECT_EQ(c.expected, useCatalogrPaths) << (c.value ? c.value : "(unset)");
        char real[4096];
        ASSERT_NE(nullptr, realpath(dir.path.c_str(), real));
        EXPECT_STREQ(real, currentDir);
    }
    codeSet_destroy();
    mbstr_initialize(0);
}

TEST(RunEnd, MessagesThatCannotBeWrittenFailTheRun)
{
    if (!testutil::fileExists("/dev/full"))
        GTEST_SKIP() << "needs /dev/full";
    testutil::TempDir dir;
    rscfixture::writeFile(dir.file("prog.rsc"),
                          {{RSC_TYPE_STRLIST, DDMAIN_MSG_LIST, "",
                            rscfixture::stringList(testMessages())}});
    writeFile(dir.file("jobs.txt"), "-TA a b\n");
    std::string prog = dir.file("prog"), script = "-Sjobs.txt", full = "-O/dev/full",
                log = "-Olog.txt";
    testutil::ScopedCwd cwd(dir.path);
    testutil::ScopedEnv vx("VX", "", true);
    char *ok[] = {&prog[0], &script[0], &log[0], nullptr};
    EXPECT_EQ(0, ddmain_main(3, ok));
    EXPECT_EQ(&ddmain_noteLockWait, code_base.lock_wait_hook);
    EXPECT_EQ("ran -TA a b\n", readFile(dir.file("log.txt")));
    // Every directive succeeded, but its messages never reached the disk.
    char *lost[] = {&prog[0], &script[0], &full[0], nullptr};
    EXPECT_EQ(DDMAIN_FAILURE, ddmain_main(3, lost));
    EXPECT_EQ(stdout, outFileP);
    codeSet_destroy();
}

// ---- Engine reports and lock waits --------------------------------------------

TEST_F(FrontEnd, FailedDirectiveShowsTheEngineReportMadeDuringItOnce)
{
    const std::string head = "catalogr: Xbase -60: Opening File ";
    const std::string longText(2000, 'L');
    const std::string slot =
        ("Xbase -60: Opening File " + longText).substr(0, E4_ERROR_BUFFER_LEN - 1);
    const struct {
        const char *what;
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {"report, then failure", {"prog", "-TA", "report=File Name: x.dbf", "t"}, DDMAIN_FAILURE,
         head + "File Name: x.dbf\n"},
        {"failure without report", {"prog", "-TD", "fail=3"}, 3, ""},
        {"report, then success", {"prog", "-IA", "reportok=x", "t"}, 0, ""},
        {"shown by the handler itself", {"prog", "-ID", "reportput=y", "t"}, DDMAIN_FAILURE,
         head + "y\n"},
        {"control characters", {"prog", "-TA", "report=a\nb\x1b[31m\tc\x7f\r", "t"},
         DDMAIN_FAILURE, head + "a?b?[31m?c??\n"},
        {"as long as the slot holds", {"prog", "-TA", "report=" + longText, "t"}, DDMAIN_FAILURE,
         "catalogr: " + slot + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // A report left from before the directive is never shown for it.
        e4(&code_base, e4data, "stale");
        StreamCapture err(stderr, dir.file("err.txt"));
        EXPECT_EQ(c.status, commandLine(c.args));
        EXPECT_EQ(c.err, err.finish());
    }
}

TEST_F(FrontEnd, LockWaitIsMentionedOnceAfterItsFirstWholeSecond)
{
    StreamCapture err(stderr, dir.file("err.txt"));
    for (const char *file : {"SQLTABLE.DBF", "/d/odd\nname\x1b.CDX"})
        for (int polls = 1; polls <= 300; polls++)
            ddmain_noteLockWait(&code_base, file, polls);
    EXPECT_EQ("catalogr: waiting for a lock on SQLTABLE.DBF\n"
              "catalogr: waiting for a lock on /d/odd?name?.CDX\n",
              err.finish());
}

// ---- A message file that fails to read ------------------------------------------

// Every read of the program's real message file fails in turn (EIO, or half
// its bytes): --help gives the whole usage, or start-up ends naming the file.
TEST(StartUp, AMessageFileThatFailsToReadIsNamed)
{
    testutil::TempDir dir;
    testutil::copyFile(testutil::binaryDir() + "/tool/catalogr.rsc", dir.file("prog.rsc"));
    testutil::ScopedEnv vx("VX", dir.path);
    std::string prog = dir.file("prog"), help = "--help";
    char *argv[] = {&prog[0], &help[0], nullptr};
    int failedStarts = 0;
    for (faults::Mode mode : faults::allModes())
        for (int nth = 1; mode.call == faults::Call::read; nth++) {
            faults::Injector inject(mode, nth);
            StreamCapture err(stderr, dir.file("err.txt")), out(stdout, dir.file("out.txt"));
            const int status = ddmain_main(2, argv);
            const std::string said = err.finish(), usage = out.finish();
            failedStarts += status != 0;
            EXPECT_TRUE(status == 0 ? usage.find("bounds a wait for a lock.") != std::string::npos
                                    : said.find(dir.file("prog.rsc") + " could not be read") != std::string::npos)
                << faults::describe(mode) << " #" << nth << ": " << said << usage;
            if (!inject.fired())
                break;
        }
    EXPECT_GT(failedStarts, 0);
    codeSet_destroy();
    mbstr_initialize(0);
}

// The built program run as a child process with its generated message
// file: usage and echo bytes, exit statuses, script handling seen from
// outside, the reasons given for refused files, where the message file is
// found, and what happens without it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/tool/progfixture.h"
#include "tests/tool/rscfixture.h"
#include "tool/ddmain.h"

using progfixture::builtMessages;
using progfixture::builtProgram;
using progfixture::cleanEnv;
using progfixture::installProgram;
using progfixture::message;
using progfixture::usage;
using testutil::readFile;
using testutil::writeFile;

namespace {

class Program : public progfixture::ProgramDir {};

} // namespace

TEST(MessageFileContents, EveryMessageIsThereWithItsPlaceholders)
{
    ASSERT_TRUE(testutil::fileExists(builtMessages()));
    const int used[] = {2001, 2002, 2003, 2004, 2005, 2006, 2007, 2008, 2009, 2010, 2011, 2012,
                        2013, 2014, 2015, 2017, 2018, 2024, 2025, 2026, 2027, 2028, 2029};
    for (int n : used) {
        const std::string text = message(n);
        EXPECT_FALSE(text.empty()) << n;
        EXPECT_LT(text.size(), (size_t)DDMAIN_MSG_LEN) << n;
        int count = 0;
        for (size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at + 2))
            count++;
        EXPECT_EQ(ddmain_placeholderCount(n), count) << n << ": " << text;
    }
}

TEST_F(Program, NoArgumentPrintsUsageAndExits255)
{
    auto r = run({});
    EXPECT_EQ(255, r.exitStatus);
    EXPECT_EQ(usage({}), r.out);
    EXPECT_EQ("", r.err);
}

TEST_F(Program, RefusedCommandLinesPrintUsageWithTheirEchoAndExit1)
{
    writeFile(dir.file("jobs.txt"), "-XX\n");
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0644));
    const std::string missing = std::strerror(ENOENT), longName(3000, 'n');
    const struct {
        std::vector<std::string> args;
        std::string err;    // the line on standard error, after "catalogr: "
    } cases[] = {
        {{"-XX", "a", "b"}, "unknown directive -XX"},
        {{"-INITIALIZE"}, "unknown directive -INITIALIZE"},
        {{"-Olog.txt"}, ""},
        {{"-Sjobs.txt", "-Olog.txt", "extra"}, ""},
        {{"-"}, "unknown directive -"},
        // The second argument is not the other switch, or names nothing.
        {{"-Sjobs.txt", "extra.txt"}, ""},
        {{"-olog.txt", "/Xjobs.txt"}, ""},
        {{"-Sjobs.txt", "-o"}, ""},
        // Files that cannot be used are named, with the reason.
        {{"-Snosuch.txt"}, "cannot open the script nosuch.txt: " + missing},
        {{"-Snosuch.txt", "-Olog.txt"}, "cannot open the script nosuch.txt: " + missing},
        {{"-Ssub"}, "cannot open the script sub: it is not a regular file"},
        {{"-Sfifo", "-Olog.txt"}, "cannot open the script fifo: it is not a regular file"},
        {{"-S/proc/self/mem"},
         "cannot read the script /proc/self/mem: " + std::string(std::strerror(EIO))},
        {{"-Sjobs.txt", "-Onodir/log.txt"},
         "cannot create the output file nodir/log.txt: " + missing},
        {{"-Sjobs.txt", "-O./jobs.txt"}, "the output file ./jobs.txt is the script jobs.txt"},
        {{"-Sbad\x1b[2J\nname"}, "cannot open the script bad?[2J?name: " + missing},
        {{"-S" + longName}, "cannot open the script " + longName.substr(0, DDMAIN_SHOWN_MAX) +
                                "...: " + std::strerror(ENAMETOOLONG)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0].substr(0, 20) + " " + c.args.back().substr(0, 20));
        auto r = run(c.args);
        EXPECT_EQ(1, r.exitStatus);
        EXPECT_EQ(usage(c.args), r.out);
        EXPECT_EQ(c.err.empty() ? "" : "catalogr: " + c.err + "\n", r.err);
        EXPECT_FALSE(testutil::fileExists(dir.file("log.txt")));
        EXPECT_FALSE(testutil::fileExists(dir.file("tra.txt")));
        EXPECT_EQ("-XX\n", readFile(dir.file("jobs.txt")));
    }
}

TEST_F(Program, DirectiveWithTooFewArgumentsEndsWithUsageAndEcho)
{
    for (const char *word : {"-TD", "-ta", "-IA", "-ID"}) {
        auto r = run({word});
        EXPECT_EQ(1, r.exitStatus) << word;
        const std::string tail = usage({word});
        ASSERT_GE(r.out.size(), tail.size()) << word;
        EXPECT_EQ(tail, r.out.substr(r.out.size() - tail.size())) << word;
    }
}

TEST_F(Program, OutputFileNamingTheScriptIsRefusedAndTheScriptKept)
{
    const std::string text = "-XX a\n";
    writeFile(dir.file("jobs.txt"), text);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-Sjobs.txt", "-Ojobs.txt"}, {"-o./jobs.txt", "-sjobs.txt"}}) {
        auto r = run(args);
        EXPECT_EQ(1, r.exitStatus);
        EXPECT_EQ(usage(args), r.out);
        EXPECT_EQ(text, readFile(dir.file("jobs.txt")));
    }
}

TEST_F(Program, ScriptLineFailureEchoesItsTokensToTheOutputFile)
{
    const std::string longLine = "-TA " + std::string(2100, 'x') + " t";
    const struct {
        const char *what;
        std::string script;
        std::string echoed;
    } cases[] = {
        {"CRLF and blank lines", "\r\n   \r\n\n\t-XX\ta\tb \r\n-TD never\r\n", "-XX a b "},
        {"four tokens", "\n-TA a b c\n", "-TA a b c "},
        {"over-long line", longLine + "\n", longLine + " "},
        {"last line without newline", "\n\n  -XX  q", "-XX q "},
    };
    for (const auto &c : cases) {
        writeFile(dir.file("jobs.txt"), c.script);
        auto r = run({"-Sjobs.txt", "-Olog.txt"});
        EXPECT_EQ(1, r.exitStatus) << c.what;
        EXPECT_EQ("", r.out) << c.what;
        EXPECT_EQ(message(DDMAIN_MSG_ECHO) + "\n" + c.echoed + "\n", readFile(dir.file("log.txt")))
            << c.what;
        // The other spellings of the switches do the same.
        auto same = run({"-olog2.txt", "-sjobs.txt"});
        EXPECT_EQ(1, same.exitStatus);
        EXPECT_EQ(readFile(dir.file("log.txt")), readFile(dir.file("log2.txt"))) << c.what;
        auto console = run({"-sjobs.txt"});
        EXPECT_EQ(readFile(dir.file("log.txt")), console.out) << c.what;
    }
}

TEST_F(Program, EmptyScriptRunsCleanly)
{
    writeFile(dir.file("jobs.txt"), "\r\n  \n\t\n\x1a-XX after the end\n");
    auto r = run({"-Sjobs.txt", "-Olog.txt"});
    EXPECT_EQ(0, r.exitStatus);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", readFile(dir.file("log.txt")));
}

TEST_F(Program, WithoutMessageFileOneLineOnStandardErrorAndExit255)
{
    testutil::TempDir bare;
    installProgram(bare.path, false);
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"-INIT"}}) {
        std::vector<std::string> argv = {bare.file("catalogr")};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = testutil::runProgram(argv, bare.path, cleanEnv());
        EXPECT_EQ(255, r.exitStatus);
        EXPECT_EQ("", r.out);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(bare.file("catalogr.rsc"))) << r.err;
    }
}

TEST_F(Program, CalledByBareNameFindsItsMessageFile)
{
    if (!testutil::fileExists("/bin/bash"))
        GTEST_SKIP() << "needs bash to set the program name";
    testutil::TempDir elsewhere, rscDir;
    // argv[0] is "catalogr" while the working directory is elsewhere.
    auto runBare = [&](const std::string &progDir, std::map<std::string, std::string> env) {
        return testutil::runProgram(
            {"/bin/bash", "-c", "exec -a catalogr \"$0\" \"$@\"", progDir + "/catalogr", "-XX"},
            elsewhere.path, cleanEnv(env));
    };
    // Beside the executable.
    auto r = runBare(dir.path, {});
    EXPECT_EQ(1, r.exitStatus) << r.err;
    EXPECT_EQ(usage({"-XX"}), r.out);
    // Along VX_RSRCPATH, before the executable's directory.
    testutil::TempDir bare;
    installProgram(bare.path, false);
    testutil::copyFile(builtMessages(), rscDir.file("catalogr.rsc"));
    r = runBare(bare.path, {{"VX_RSRCPATH", rscDir.path}});
    EXPECT_EQ(1, r.exitStatus) << r.err;
    EXPECT_EQ(usage({"-XX"}), r.out);
    // Nowhere: the error names the file looked for.
    r = runBare(bare.path, {});
    EXPECT_EQ(255, r.exitStatus);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("catalogr.rsc")) << r.err;
}

TEST_F(Program, ProgramNameWithoutAMessageFileNameOpensNothing)
{
    if (!testutil::fileExists("/bin/bash"))
        GTEST_SKIP() << "needs bash to set the program name";
    // A foreign message file where a lost name piece would lead: were it
    // opened, -XX would print the usage and exit 1.
    testutil::copyFile(builtMessages(), dir.file(".rsc"));
    const struct {
        std::string argv0;
        std::string shown;  // how the one line names the program
    } cases[] = {
        {std::string(5000, 'x'), std::string(60, 'x') + "..."},  // longer than a path
        {std::string(4093, 'y'), std::string(60, 'y') + "..."},  // its ".rsc" name would be
        {dir.path + "/", dir.path + "/"},                          // no file name
        {".catalogr", ".catalogr"},                                // nothing before the extension
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv0.substr(0, 20));
        auto r = testutil::runProgram({"/bin/bash", "-c", "exec -a \"$1\" \"$0\" -XX",
                                       dir.file("catalogr"), c.argv0},
                                      dir.path, cleanEnv());
        EXPECT_EQ(255, r.exitStatus);
        EXPECT_EQ("", r.out);
        EXPECT_EQ("catalogr: cannot open the message file for the program " + c.shown + "\n", r.err);
    }
}

// Called through a link of another name, the program finds catalogr.rsc in
// ../share/catalogr seen from itself; without one, it names every place it
// looked in, its own name first. (CI runs an installed and moved prefix.)
TEST(MessageFilePlaces, FoundFromTheProgramsOwnPlaceUnderAnyName)
{
    testutil::TempDir root;
    const std::string bin = root.file("usr/bin/"), share = root.file("usr/share/catalogr/");
    for (const char *d : {"usr", "usr/bin", "usr/share", "usr/share/catalogr"})
        ASSERT_EQ(0, mkdir(root.file(d).c_str(), 0755));
    installProgram(bin, false);
    ASSERT_EQ(0, symlink((bin + "catalogr").c_str(), root.file("dd").c_str()));
    std::string tried;
    for (const char *name : {"dd.rsc", "catalogr.rsc"})
        for (const std::string &d : {root.file(""), bin, share, std::string(CATALOGR_DATADIR "/")})
            tried += (tried.empty() ? "" : ", ") + d + name;
    auto r = testutil::runProgram({root.file("dd"), "-XX"}, root.path, cleanEnv());
    EXPECT_EQ("catalogr: cannot open the message file (looked for " + tried + ")\n", r.err);

    testutil::copyFile(builtMessages(), share + "catalogr.rsc");
    r = testutil::runProgram({root.file("dd"), "-XX"}, root.path, cleanEnv());
    EXPECT_EQ(usage({"-XX"}), r.out) << r.err;
}

TEST_F(Program, BrokenHostConfigurationLeavesStartUpUndisturbed)
{
    // A configuration cut in the middle of its range sets.
    std::string rtc;
    for (uint32_t w : {1u, 1u, 0u, 0u, 0u, 0u, 0u, 2u, 40u, 0x81u})
        rscfixture::put32(rtc, w);
    rscfixture::writeFile(dir.file("plathost.rsc"), {{0x72744366, -1, "", rtc}});
    auto r = run({}, {{"VX", dir.path}});
    EXPECT_EQ(255, r.exitStatus);
    EXPECT_EQ(usage({}), r.out);
    EXPECT_EQ("", r.err);
}

TEST_F(Program, CalledThroughALinkFindsTheMessageFileBesideTheProgramItself)
{
    // A link by its full path, in a directory without the message file:
    // the file beside the executable itself is used.
    testutil::TempDir links;
    ASSERT_EQ(0, symlink(dir.file("catalogr").c_str(), links.file("catalogr").c_str()));
    auto r = testutil::runProgram({links.file("catalogr"), "-XX"}, links.path, cleanEnv());
    EXPECT_EQ(1, r.exitStatus) << r.err;
    EXPECT_EQ(usage({"-XX"}), r.out);
}

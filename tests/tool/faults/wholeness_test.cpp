// A directive of the dictionary that fails at a system call, or is killed
// at a random instant, and is then run again: the dictionary ends exactly
// as after the directive, whole by xbcheck --dictionary (rows and COLCOUNT
// agree, no orphans, every tag equals its rows), with no journal left; the
// second run succeeds, or finds its work already done.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/faultinject.h"
#include "tests/tool/progfixture.h"

namespace {

typedef std::vector<std::string> Args;
typedef std::map<std::string, std::string> Model; // table -> MDXFILE

// A cycle each of whose directives is valid after the ones before it, and
// which leaves the dictionary as it found it: ALPHA registered.
const Args kCycle[] = {{"-TA", "wide.dbf", "BETA"}, {"-IA", "b.cdx", "BETA"}, {"-TD", "ALPHA"},
                       {"-TA", "wide.dbf", "ALPHA"}, {"-ID", "x", "BETA"},   {"-TD", "BETA"}};
const char *const kFiles[] = {"SQLINDEX.DBF", "SQLINDEX.CDX", "SQLTABLE.DBF",
                              "SQLTABLE.CDX", "SQLCOLMN.DBF", "SQLCOLMN.CDX"};

void apply(Model *m, const Args &a)
{
    if (a[0] == "-TD")
        m->erase(a[1]);
    else if (a[0] != "-INIT") // TA, IA, ID
        (*m)[a.back()] = a[0] == "-IA" ? "b" : "";
}

// The program on `args` in a child process, in `dir` with the clean
// environment and its standard error in err.txt: the built program, or with
// `mode` the program in the child itself with the mode's `nth` call failing
// (its exit status then has 64 added when the failure happened).
pid_t spawn(const std::string &dir, const Args &args, const faults::Mode *mode = nullptr, int nth = 0)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
        !freopen((dir + "/err.txt").c_str(), "w", stderr))
        _exit(127);
    for (const auto &kv : progfixture::cleanEnv())
        kv.second == testutil::kUnset ? unsetenv(kv.first.c_str())
                                      : setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::vector<std::string> words = args;
    words.insert(words.begin(), dir + "/catalogr");
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    if (mode == nullptr)
        _exit((execv(argv[0], argv.data()), 127));
    faults::Injector inject(*mode, nth);
    int status = std::min(e4exit_status(ddmain_main((int)argv.size() - 1, argv.data())), 63);
    _exit((inject.fired() ? 64 : 0) + status);
}

class Wholeness : public progfixture::ProgramDir {
  protected:
    Model model;
    const unsigned seed = testutil::testSeed();
    std::mt19937 rng{seed};

    void SetUp() override
    {
        progfixture::ProgramDir::SetUp();
        testutil::copyFile(testutil::dataDir() + "/samples/hb_nomemo.dbf", dir.file("wide.dbf"));
        testutil::writeFile(dir.file("b.cdx"), ""); // the index file IA records
    }

    // The checker: xbcheck finds the dictionary whole, and it registers
    // exactly the model's tables with their index files.
    void expectWhole(const std::string &trace)
    {
        auto r = testutil::runProgram({testutil::binaryDir() + "/xbcheck/xbcheck", "--format=csv",
                                       "--dictionary", dir.path}, dir.path);
        EXPECT_EQ(0, r.exitStatus) << trace << r.out << r.err;
        EXPECT_FALSE(testutil::fileExists(dir.file("CATALOGR.JNL"))) << trace;
        std::set<std::string> want, rows;
        for (const auto &t : model)
            want.insert("registered," + t.first + ",wide," + t.second + ",7");
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("registered,", 0) == 0)
                rows.insert(line);
        EXPECT_EQ(want, rows) << trace;
    }

    // Runs the directive again to the end: the dictionary is then as after
    // it, whether it ran before or not. 1 when this run did the work.
    int rerun(const Args &args, const std::string &trace)
    {
        auto r = run(args);
        apply(&model, args);
        expectWhole(trace + "\n" + r.out + r.err);
        return r.exitStatus == 0;
    }

    void begin()
    {
        ASSERT_EQ(0, run({"-INIT"}).exitStatus);
        ASSERT_EQ(0, run({"-TA", "wide.dbf", "ALPHA"}).exitStatus);
        model = {{"ALPHA", ""}};
    }
};

TEST_F(Wholeness, KilledDirectiveIsUndoneOrWholeAndTheNextOneSucceeds)
{
    begin();
    // How long a directive takes here; kills fall within it.
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(0, run({"-TA", "wide.dbf", "X"}).exitStatus);
    ASSERT_EQ(0, run({"-TD", "X"}).exitStatus);
    const auto longest = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - t0).count() / 2 + 1;
    int undone = 0;
    for (int i = 0; i < 48; i++) {
        const Args &a = kCycle[i % 6];
        pid_t pid = spawn(dir.path, a);
        ASSERT_GT(pid, 0);
        usleep((useconds_t)(rng() % (unsigned long)longest));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        undone += rerun(a, "seed " + std::to_string(seed) + " kill " + std::to_string(i) + " " + a[0]);
    }
    // Kills within the directives' time do not all miss.
    EXPECT_GT(undone, 0);
}

TEST_F(Wholeness, FailedSystemCallLeavesTheDictionaryWholeAndTheRetrySucceeds)
{
    std::vector<Args> steps(std::begin(kCycle), std::end(kCycle));
    steps.insert(steps.begin(), {"-INIT"});
    int failed = 0;
    for (size_t k = 0; k < steps.size(); k++) {
        const Args &a = steps[k];
        if (k == 1)
            begin();
        std::map<std::string, std::string> before;
        for (const char *f : kFiles)
            if (testutil::fileExists(dir.file(f)))
                before[f] = testutil::readFile(dir.file(f));
        const Model modelBefore = model;
        for (const faults::Mode &mode : faults::allModes()) {
            // The first call, then calls further in at random strides.
            for (int nth = 1; nth < 400; nth *= 4 + (int)(rng() % 5)) {
                const std::string trace = "seed " + std::to_string(seed) + " " + a[0] + " " +
                                          faults::describe(mode) + " call " + std::to_string(nth);
                for (const char *f : kFiles)
                    unlink(dir.file(f).c_str());
                for (const auto &f : before)
                    testutil::writeFile(dir.file(f.first), f.second);
                model = modelBefore;
                int st = 0;
                waitpid(spawn(dir.path, a, &mode, nth), &st, 0);
                const bool gotFired = WIFEXITED(st) && (WEXITSTATUS(st) & 64) != 0;
                const std::string err = testutil::readFile(dir.file("err.txt"));
                if (gotFired && (WEXITSTATUS(st) & 63) != 0) {
                    failed++;
                    // A write refused for want of space says so.
                    EXPECT_TRUE(mode.kind != faults::Kind::enospc || err.find(std::strerror(ENOSPC)) !=
                                std::string::npos) << trace << err;
                    // A failed INIT leaves none of its files.
                    for (const char *f : kFiles)
                        EXPECT_TRUE(k > 0 || !testutil::fileExists(dir.file(f))) << trace << " " << f;
                }
                rerun(a, trace);
                if (!gotFired)
                    break;
            }
        }
    }
    EXPECT_GT(failed, 0);
}

} // namespace

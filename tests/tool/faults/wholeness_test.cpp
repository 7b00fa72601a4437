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
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/faultinject.h"
#include "tests/tool/progfixture.h"
#include "xbcheck/xbcheck.h"

namespace {

// Runs per case: processes fork and start slowly under the address
// sanitizer, whose build is there for memory errors, so it makes fewer.
#if defined(__SANITIZE_ADDRESS__)
const int kRuns = 1;
#else
const int kRuns = 4;
#endif

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

// `args` run in a child process in `dir`, clean environment, output in
// out.txt and err.txt: by the built program (`exec`), xbcheck's checks
// (args[0] "xbcheck"), or the program in the child itself, the `nth` call of
// `mode` failing when given (64 is then added to its status once it did).
pid_t spawn(const std::string &dir, const Args &args, bool exec, const faults::Mode *mode = nullptr,
            int nth = 0)
{
    std::fflush(nullptr); // nothing buffered is written twice
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (chdir(dir.c_str()) != 0 || !freopen((dir + "/out.txt").c_str(), "w", stdout) ||
        !freopen((dir + "/err.txt").c_str(), "w", stderr))
        _exit(127);
    for (const auto &kv : progfixture::cleanEnv())
        kv.second == testutil::kUnset ? unsetenv(kv.first.c_str())
                                      : setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::vector<std::string> words = args;
    if (args[0] != "xbcheck")
        words.insert(words.begin(), dir + "/catalogr");
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    if (exec)
        _exit((execv(argv[0], argv.data()), 127));
    if (args[0] == "xbcheck") {
        int status = xbcheck_main((int)argv.size() - 1, argv.data());
        std::fflush(stdout);
        _exit(status);
    }
    std::unique_ptr<faults::Injector> inject(mode ? new faults::Injector(*mode, nth) : nullptr);
    int status = std::min(e4exit_status(ddmain_main((int)argv.size() - 1, argv.data())), 63);
    _exit((inject && inject->fired() ? 64 : 0) + status);
}

int waitFor(pid_t pid)
{
    int st = 0;
    return waitpid(pid, &st, 0) == pid && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class Wholeness : public progfixture::ProgramDir {
  protected:
    Model model;
    long directiveUs = 0; // how long the built program took for a TA here
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
        int status = waitFor(spawn(dir.path, {"xbcheck", "--format=csv", "--dictionary", "."}, false));
        const std::string out = testutil::readFile(dir.file("out.txt"));
        EXPECT_EQ(0, status) << trace << out;
        EXPECT_FALSE(testutil::fileExists(dir.file("CATALOGR.JNL"))) << trace;
        std::set<std::string> want, rows;
        for (const auto &t : model)
            want.insert("registered," + t.first + ",wide," + t.second + ",7");
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("registered,", 0) == 0)
                rows.insert(line);
        EXPECT_EQ(want, rows) << trace;
    }

    // Runs the directive again to the end: the dictionary is then as after
    // it, whether it ran before or not. 1 when this run did the work.
    int rerun(const Args &args, const std::string &trace)
    {
        int status = waitFor(spawn(dir.path, args, false));
        apply(&model, args);
        expectWhole(trace + "\n" + testutil::readFile(dir.file("err.txt")));
        return status == 0;
    }

    void begin()
    {
        ASSERT_EQ(0, run({"-INIT"}).exitStatus);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(0, waitFor(spawn(dir.path, {"-TA", "wide.dbf", "ALPHA"}, true)));
        directiveUs = (long)std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
        model = {{"ALPHA", ""}};
    }
};

TEST_F(Wholeness, KilledDirectiveIsUndoneOrWholeAndTheNextOneSucceeds)
{
    begin();
    // Kills fall within the time a directive takes on this machine and a
    // half again, from the program's start to just past its end.
    const unsigned long window = (unsigned long)std::max(2000L, directiveUs + directiveUs / 2);
    int undone = 0;
    for (int i = 0; i < 26 * kRuns; i++) {
        const Args &a = kCycle[i % 6];
        pid_t pid = spawn(dir.path, a, true);
        usleep((useconds_t)(rng() % window));
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
            for (int nth = 1, n = 0; n < kRuns; nth *= 4 + (int)(rng() % 5), n++) {
                const std::string trace = "seed " + std::to_string(seed) + " " + a[0] + " " +
                                          faults::describe(mode) + " call " + std::to_string(nth);
                for (const char *f : kFiles)
                    before.count(f) ? testutil::writeFile(dir.file(f), before[f]) : (void)unlink(dir.file(f).c_str());
                model = modelBefore;
                const int st = waitFor(spawn(dir.path, a, false, &mode, nth));
                const bool gotFired = st > 0 && (st & 64) != 0;
                const std::string err = testutil::readFile(dir.file("err.txt"));
                if (gotFired && (st & 63) != 0) {
                    failed++;
                    // A write refused for want of space says so.
                    EXPECT_TRUE(mode.kind != faults::Kind::enospc || err.find(std::strerror(ENOSPC)) !=
                                std::string::npos) << trace << err;
                    // A failed INIT leaves none of its files.
                    for (const char *f : kFiles)
                        EXPECT_TRUE(k > 0 || !testutil::fileExists(dir.file(f))) << trace << " " << f;
                }
                // A directive that failed and is then done by its rerun was
                // undone there and then: its data files are back byte for byte.
                std::map<std::string, std::string> left;
                for (const char *f : {"SQLTABLE.DBF", "SQLCOLMN.DBF"})
                    if (before.count(f))
                        left[f] = testutil::readFile(dir.file(f));
                const bool redone = rerun(a, trace);
                for (const auto &f : left)
                    EXPECT_TRUE(!redone || !gotFired || (st & 63) == 0 || f.second == before[f.first])
                        << trace << " " << f.first;
                if (!gotFired)
                    break;
            }
        }
    }
    EXPECT_GT(failed, 0);
}

} // namespace

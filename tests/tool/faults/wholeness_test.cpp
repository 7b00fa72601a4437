// A directive of the dictionary that fails at a system call, or is killed
// at a random instant, and is then run again: the dictionary ends exactly
// as after the directive, whole by xbcheck --dictionary (rows and COLCOUNT
// agree, no orphans, every tag equals its rows), with no journal left; the
// second run succeeds, or finds its work already done.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "tests/faultinject.h"
#include "tests/tool/progfixture.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/f4field.h"

namespace {

typedef std::vector<std::string> Args;
typedef std::map<std::string, std::string> Model; // table -> MDXFILE

// A directive and the status of a second run once its work is done.
struct Step {
    Args args;
    int done;
};
// A cycle each of whose directives is valid after the ones before it, and
// which leaves the dictionary as it found it: ALPHA registered.
const Step kCycle[] = {{{"-TA", "wide.dbf", "BETA"}, 1}, {{"-IA", "b.cdx", "BETA"}, 1},
                       {{"-TD", "ALPHA"}, 2},            {{"-TA", "wide.dbf", "ALPHA"}, 1},
                       {{"-ID", "x", "BETA"}, 1},        {{"-TD", "BETA"}, 3}};
const char *const kFiles[] = {"SQLINDEX.DBF", "SQLINDEX.CDX", "SQLTABLE.DBF",
                              "SQLTABLE.CDX", "SQLCOLMN.DBF", "SQLCOLMN.CDX"};

void apply(Model *m, const Args &a)
{
    if (a[0] == "-TA")
        (*m)[a[2]] = "";
    else if (a[0] == "-TD")
        m->erase(a[1]);
    else if (a[0] != "-INIT")
        (*m)[a[2]] = a[0] == "-IA" ? "b" : "";
}

std::string trimmed(FIELD4 *f)
{
    std::string s(f4ptr(f), f4len(f));
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

// The program on `args` in a child process, in `dir` with the clean
// environment and its standard error in err.txt: the built program, or with
// `mode` the program in the child itself with the mode's `nth` call failing
// (its end written to `fired`: "F" when the failure happened).
pid_t spawn(const std::string &dir, const Args &args, const faults::Mode *mode = nullptr,
            int nth = 0, int fired = -1)
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
    if (mode == nullptr) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    faults::Injector inject(*mode, nth);
    int status = ddmain_main((int)argv.size() - 1, argv.data());
    bool failed = inject.fired();
    if (write(fired, failed ? "F" : "-", 1) != 1)
        _exit(127);
    _exit(e4exit_status(status));
}

class Wholeness : public progfixture::ProgramDir {
  protected:
    Model model;
    const unsigned seed = testutil::testSeed();
    std::mt19937 rng{seed};

    void SetUp() override
    {
        progfixture::ProgramDir::SetUp();
        CODE4 c4;
        d4init(&c4);
        std::vector<std::string> names;
        std::vector<FIELD4INFO> fields;
        for (int i = 0; i < 40; i++)
            names.push_back("F" + std::to_string(i));
        for (const std::string &n : names)
            fields.push_back({n.c_str(), 'C', 10, 0});
        fields.push_back({nullptr, 0, 0, 0});
        testutil::writeFile(dir.file("b.cdx"), ""); // the index file IA records
        DATA4 *d = d4create(&c4, dir.file("wide.dbf").c_str(), fields.data(), nullptr);
        ASSERT_NE(nullptr, d);
        d4close(d);
        d4init_undo(&c4);
    }

    // The checker: the dictionary is whole and holds exactly the model.
    void expectWhole(const std::string &trace)
    {
        SCOPED_TRACE(trace);
        auto r = testutil::runProgram({testutil::binaryDir() + "/xbcheck/xbcheck", "--dictionary", dir.path},
                                      dir.path);
        EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
        EXPECT_FALSE(testutil::fileExists(dir.file("CATALOGR.JNL")));
        CODE4 c4;
        d4init(&c4);
        Model seen;
        DATA4 *d = d4open(&c4, dir.file("SQLTABLE.DBF").c_str());
        for (long rec = 1; d != nullptr && rec <= d4reccount(d); rec++)
            if (d4go(d, rec) == 0 && !d4deleted(d))
                seen[trimmed(d4field(d, "TABLE"))] = trimmed(d4field(d, "MDXFILE"));
        EXPECT_NE(nullptr, d);
        d4close_all(&c4);
        d4init_undo(&c4);
        EXPECT_EQ(model, seen);
    }

    // Runs the step again to the end: it succeeds (1) or finds its work
    // done (0).
    int rerun(const Step &s, const std::string &trace)
    {
        auto r = run(s.args);
        EXPECT_TRUE(r.exitStatus == 0 || r.exitStatus == s.done) << trace << r.out << r.err;
        apply(&model, s.args);
        expectWhole(trace);
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
    long longest = 1;
    for (const Args &a : {Args{"-TA", "wide.dbf", "X"}, Args{"-TD", "X"}}) {
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(0, run(a).exitStatus);
        longest = std::max(longest, (long)std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - t0).count());
    }
    int undone = 0;
    for (int i = 0; i < 48; i++) {
        const Step &s = kCycle[i % 6];
        pid_t pid = spawn(dir.path, s.args);
        ASSERT_GT(pid, 0);
        usleep((useconds_t)(rng() % (unsigned long)longest));
        kill(pid, SIGKILL);
        int st = 0;
        waitpid(pid, &st, 0);
        undone += rerun(s, "seed " + std::to_string(seed) + " kill " +
                               std::to_string(i) + " " + s.args[0] + " " + s.args[1]);
    }
    // Kills within the directives' time do not all miss.
    EXPECT_GT(undone, 0);
}

TEST_F(Wholeness, FailedSystemCallLeavesTheDictionaryWholeAndTheRetrySucceeds)
{
    std::vector<Step> steps = {{{"-INIT"}, 0}};
    for (const Step &s : kCycle)
        steps.push_back(s);
    int failed = 0;
    for (size_t k = 0; k < steps.size(); k++) {
        const Step &s = steps[k];
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
                const std::string trace = "seed " + std::to_string(seed) + " " + s.args[0] + " " +
                                          faults::describe(mode) + " call " + std::to_string(nth);
                for (const char *f : kFiles)
                    unlink(dir.file(f).c_str());
                for (const auto &f : before)
                    testutil::writeFile(dir.file(f.first), f.second);
                model = modelBefore;
                int fired[2];
                ASSERT_EQ(0, pipe(fired));
                pid_t pid = spawn(dir.path, s.args, &mode, nth, fired[1]);
                close(fired[1]);
                char c = 0;
                int st = 0;
                bool gotFired = read(fired[0], &c, 1) == 1 && c == 'F';
                close(fired[0]);
                waitpid(pid, &st, 0);
                const std::string err = testutil::readFile(dir.file("err.txt"));
                if (gotFired && WEXITSTATUS(st) != 0) {
                    failed++;
                    // A write refused for want of space says so.
                    if (mode.kind == faults::Kind::enospc && mode.call == faults::Call::write) {
                        EXPECT_NE(std::string::npos, err.find(std::strerror(ENOSPC))) << trace << err;
                    }
                    // A failed INIT leaves none of its files.
                    for (const char *f : kFiles)
                        EXPECT_TRUE(k > 0 || !testutil::fileExists(dir.file(f))) << trace << " " << f;
                }
                rerun(s, trace);
                if (!gotFired)
                    break;
            }
        }
    }
    EXPECT_GT(failed, 0);
}

} // namespace

// Allocation failures: the Nth allocation (the engine's pools, u4alloc,
// work memory and operator new alike) fails, N = 0, 1, ... until the
// operation succeeds. Each failure answers -920, the files reopen and check
// clean (tree checker, tags equal to the records, no record lost or
// doubled), and the sanitizer build's leak check at exit sees nothing.
#include <cstdlib>
#include <functional>
#include <new>

#include "tests/xbase/index/sharedload.h"
#include "tool/ddmain.h"
#include "xbase/d4tag.h"

// malloc and free pair below; inlined, the compiler takes them for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// operator new asks the engine's failure hook first: one countdown for both.
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    return u4alloc_allowed() ? std::malloc(n == 0 ? 1 : n) : nullptr;
}
void *operator new(std::size_t n)
{
    void *p = operator new(n, std::nothrow);
    return p != nullptr ? p : throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

using sharedload::kFields;
using sharedload::kTags;

struct Case {
    const char *name;
    std::function<int(DATA4 *, std::mt19937 &)> op; // on the open table; null: the open itself
    bool rebuilds; // a failure may leave the index marked as part way through a rebuild
};
const Case kCases[] = {
    {"open", nullptr, false},
    {"append", [](DATA4 *d, std::mt19937 &rng) { return sharedload::put(d, "A0000001", rng); }, false},
    {"key change", [](DATA4 *d, std::mt19937 &rng) { return d4lock(d, 7) || d4go(d, 7) || sharedload::put(d, "", rng); },
     false},
    {"seek", [](DATA4 *d, std::mt19937 &) { return d4tag_select(d, d4tag(d, "POS")), d4seek(d, "N12") & ~r4after; }, false},
    {"reindex", [](DATA4 *d, std::mt19937 &) { return d4reindex(d); }, true},
    {"pack", [](DATA4 *d, std::mt19937 &) { return d4pack(d); }, true},
};

// The five-tag table of 120 records ("Z..." to be kept; every fifth, "D...",
// deleted and gone after a pack).
std::string makeTemplate(d4test::Engine &e)
{
    std::string path = indextest::makeTable(e, "SWEEP", kFields, kTags);
    DATA4 *d = path.empty() ? nullptr : d4open(&e.c4, path.c_str());
    std::mt19937 rng(26);
    for (int i = 0; d != nullptr && i < 120; i++)
        if (sharedload::put(d, (i % 5 == 4 ? "D" : "Z") + std::to_string(1000000 + i), rng) == 0 && i % 5 == 4)
            d4delete(d);
    return d != nullptr && d4close(d) == 0 ? path : "";
}

// Every file of directory `from` copied into `to`.
void copyAll(const std::string &from, const std::string &to)
{
    EXPECT_EQ(0, std::system(("cp '" + from + "'/* '" + to + "'/").c_str()));
}

// Calls `attempt(n)`, which runs an operation with allocation n failing
// and judges what it left, for n = 0, 1, ... (in growing steps past 20,
// so that an operation of thousands of allocations stays a short sweep)
// until the operation succeeds (true) or a judgement fails (nonempty text).
void sweep(const std::string &name, const std::function<bool(long, std::string *)> &attempt)
{
    long n = 0;
    std::string problems;
    while (n < 100000 && !attempt(n, &problems) && problems.empty())
        n = n < 20 ? n + 1 : n + n / 5;
    EXPECT_EQ("", problems) << name << ", allocation " << n << " failing";
    EXPECT_LT(n, 100000) << name << " never succeeded";
    std::printf("%s: succeeded with allocation %ld failing\n", name.c_str(), n);
}

} // namespace

TEST(AllocationSweep, EveryFailedAllocationAnswersOutOfMemoryAndLeavesTheFilesSound)
{
    d4test::Engine tmpl;
    std::string from = makeTemplate(tmpl);
    ASSERT_FALSE(from.empty()) << d4test::lastError();
    for (const Case &c : kCases)
        sweep(c.name, [&](long n, std::string *problems) {
            d4test::Engine e;
            copyAll(tmpl.dir.path, e.dir.path);
            std::string path = e.path(from.substr(from.rfind('/') + 1));
            std::mt19937 rng(7);
            DATA4 *d = c.op ? d4open(&e.c4, path.c_str()) : nullptr;
            e4clearErrorState();
            u4alloc_fail_after(n);
            int rc = c.op ? c.op(d, rng) : (d = d4open(&e.c4, path.c_str())) == nullptr ? -1 : 0;
            u4alloc_fail_after(-1);
            if (rc != 0 && d4test::lastErrorCode() != e4memory && e.c4.error_code != e4memory)
                *problems = "answered " + std::to_string(rc) + " " + d4test::lastError();
            d != nullptr ? d4close(d) : e4set(&e.c4, 0); // the caller has seen the failure
            *problems += sharedload::check(&e.c4, path, {}, false);
            if (rc != 0 && c.rebuilds && problems->find("part way through a rebuild") != std::string::npos) {
                e.c4.auto_open = 0; // an index left marked as being rebuilt is made again: the records alone
                *problems = sharedload::check(&e.c4, path, {}, false);
            }
            return rc == 0;
        });
}

TEST(AllocationSweep, EveryDirectiveFailsWithTheEnginesReportAndLeavesTheDictionarySound)
{
    // Each directive in turn, in-process, from the dictionary the ones
    // before left in `state`; its report on standard error goes to `err`.
    auto run = [](const std::string &dir, std::vector<std::string> args, long n, std::string *err) {
        testutil::ScopedCwd cwd(dir);
        args.insert(args.begin(), testutil::binaryDir() + "/tool/catalogr");
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        std::fflush(stderr);
        int keep = dup(2), fd = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        u4alloc_fail_after(n);
        int status = ddmain_run((int)argv.size(), argv.data());
        u4alloc_fail_after(-1);
        std::fflush(stderr);
        dup2(keep, 2), close(keep), close(fd);
        *err = testutil::readFile(dir + "/stderr");
        return status;
    };
    d4test::Engine state;
    std::string err;
    ASSERT_EQ(0, run(state.dir.path, {"-INIT"}, -1, &err)) << err;
    ASSERT_FALSE(indextest::makeTable(state, "parts.dbf", kFields, {kTags[0]}).empty());
    for (std::vector<std::string> args : {std::vector<std::string>{"-TA", "parts.dbf", "parts"},
                                          {"-IA", "parts.cdx", "parts"}, {"-ID", "parts.cdx", "parts"}, {"-TD", "parts"}})
        sweep(args[0], [&](long n, std::string *problems) {
            d4test::Engine e;
            copyAll(state.dir.path, e.dir.path);
            int status = run(e.dir.path, args, n, &err);
            if (status != 0 && err.find("-920") == std::string::npos)
                *problems = "status " + std::to_string(status) + " without the engine's report: " + err;
            for (const char *t : {"SQLTABLE.DBF", "SQLCOLMN.DBF", "SQLINDEX.DBF"})
                *problems += sharedload::check(&e.c4, e.path(t), {}, false);
            if (status == 0)
                copyAll(e.dir.path, state.dir.path);
            return status == 0;
        });
}

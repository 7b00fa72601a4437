// Allocation failures: the Nth allocation fails (N = 0, 1, 2, ... until
// the operation succeeds), counting the engine's own (pools, u4alloc, work
// memory) and operator new alike, through one harness for every operation.
// After each failure the call answered -920, the files reopen and check
// clean (tree checker, every tag's keys equal the records', no record lost
// or doubled), and the sanitizer build's leak check at exit sees nothing.
#include <cstdlib>
#include <functional>
#include <new>

#include "tests/xbase/index/sharedload.h"
#include "tool/ddmain.h"

// The replacements below pair malloc with free; the compiler, seeing both
// inlined, would take them for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// This program's operator new asks the engine's failure hook first, so that
// "the Nth allocation" counts both kinds with one counter.
void *operator new(std::size_t n)
{
    void *p = u4alloc_allowed() ? std::malloc(n == 0 ? 1 : n) : nullptr;
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    return u4alloc_allowed() ? std::malloc(n == 0 ? 1 : n) : nullptr;
}
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
    // The operation on the open table (null: the open itself); 0 or a
    // positioning result means success.
    std::function<int(DATA4 *, std::mt19937 &)> op;
    bool rebuilds; // a failure may leave the index marked as part way through a rebuild
};

int changeKeys(DATA4 *d, std::mt19937 &rng)
{
    int rc = d4lock(d, 7);
    rc = rc != 0 ? rc : d4go(d, 7);
    return rc != 0 ? rc : sharedload::put(d, "", rng);
}

int seek(DATA4 *d, std::mt19937 &)
{
    d4tag_select(d, d4tag(d, "POS"));
    int rc = d4seek(d, "N12");
    return rc == r4after || rc == r4eof ? 0 : rc;
}

const Case kCases[] = {
    {"open", nullptr, false},
    {"append", [](DATA4 *d, std::mt19937 &rng) { return sharedload::put(d, "A0000001", rng); }, false},
    {"key change", changeKeys, false},
    {"seek", seek, false},
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
    for (int i = 0; d != nullptr && i < 120; i++) {
        sharedload::put(d, (i % 5 == 4 ? "D" : "Z") + std::to_string(1000000 + i), rng);
        if (i % 5 == 4)
            d4delete(d);
    }
    return d != nullptr && d4close(d) == 0 ? path : "";
}

// A rebuild that stopped leaves its index reading as damaged (-310) until
// it is made again from the tag definitions: "" when that index was made
// again, or what went wrong.
std::string remake(CODE4 *c4, const std::string &path)
{
    std::vector<TAG4INFO> info;
    for (const indextest::TagDef &t : kTags)
        info.push_back({t.name.c_str(), t.expression.c_str(), t.filter.empty() ? nullptr : t.filter.c_str(),
                        t.unique ? c4->default_unique_error : 0, t.descending ? 1u : 0u});
    info.push_back({nullptr, nullptr, nullptr, 0, 0});
    int rc = d4index_remake(c4, path.c_str(), info.data());
    std::string problems = rc != 0 ? "the index cannot be made again: " + d4test::lastError() : "";
    e4clearErrorState();
    return problems;
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
    std::string cdx = from.back() == 'F' ? "CDX" : "cdx";
    for (const Case &c : kCases)
        sweep(c.name, [&](long n, std::string *problems) {
            d4test::Engine e;
            std::string path = e.path(from.substr(from.rfind('/') + 1));
            testutil::copyFile(from, path);
            testutil::copyFile(from.substr(0, from.size() - 3) + cdx, path.substr(0, path.size() - 3) + cdx);
            std::mt19937 rng(7);
            DATA4 *d = c.op ? d4open(&e.c4, path.c_str()) : nullptr;
            e4clearErrorState();
            u4alloc_fail_after(n);
            int rc = c.op ? c.op(d, rng) : (d = d4open(&e.c4, path.c_str())) == nullptr ? -1 : 0;
            u4alloc_fail_after(-1);
            if (rc != 0 && d4test::lastErrorCode() != e4memory && e.c4.error_code != e4memory)
                *problems = "answered " + std::to_string(rc) + " " + d4test::lastError();
            e4set(&e.c4, 0); // the caller has seen the failure
            if (d != nullptr)
                d4close(d);
            e4clearErrorState();
            *problems += sharedload::check(&e.c4, path, {}, false);
            if (rc != 0 && c.rebuilds && problems->find("part way through a rebuild") != std::string::npos &&
                (*problems = remake(&e.c4, path)).empty())
                *problems = sharedload::check(&e.c4, path, {}, false);
            return rc == 0;
        });
}

TEST(AllocationSweep, EveryDirectiveFailsWithTheEnginesReportAndLeavesTheDictionarySound)
{
    // Each directive in turn from the dictionary the ones before left.
    const std::vector<std::vector<std::string>> directives = {
        {"-TA", "parts.dbf", "parts"}, {"-IA", "parts.cdx", "parts"}, {"-ID", "parts.cdx", "parts"}, {"-TD", "parts"}};
    testutil::TempDir state;
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
        dup2(keep, 2);
        close(keep);
        close(fd);
        *err = testutil::readFile(dir + "/stderr");
        return status;
    };
    std::string err;
    {
        d4test::Engine e;
        ASSERT_EQ(0, run(state.path, {"-INIT"}, -1, &err)) << err;
        ASSERT_FALSE(indextest::makeTable(e, "PARTS", kFields, {kTags[0]}).empty());
        testutil::copyFile(e.path("PARTS.DBF"), state.file("parts.dbf"));
    }
    for (const auto &args : directives)
        sweep(args[0], [&](long n, std::string *problems) {
            d4test::Engine e;
            for (const char *f : {"parts.dbf", "SQLTABLE.DBF", "SQLTABLE.CDX", "SQLCOLMN.DBF", "SQLCOLMN.CDX",
                                  "SQLINDEX.DBF", "SQLINDEX.CDX"})
                testutil::copyFile(state.file(f), e.path(f));
            int status = run(e.dir.path, args, n, &err);
            if (status != 0 && err.find("-920") == std::string::npos)
                *problems = "status " + std::to_string(status) + " without the engine's report: " + err;
            for (const char *t : {"SQLTABLE.DBF", "SQLCOLMN.DBF", "SQLINDEX.DBF"})
                *problems += sharedload::check(&e.c4, e.path(t), {}, false);
            if (status == 0)
                for (const char *f : {"SQLTABLE.DBF", "SQLTABLE.CDX", "SQLCOLMN.DBF", "SQLCOLMN.CDX"})
                    testutil::copyFile(e.path(f), state.file(f));
            return status == 0;
        });
}

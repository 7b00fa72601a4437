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

// The next N to try: every N at first, then in steps growing with N, so
// that an operation of thousands of allocations stays a short sweep.
long nextN(long n) { return n < 200 ? n + 1 : n + n / 40; }

} // namespace

TEST(AllocationSweep, EveryFailedAllocationAnswersOutOfMemoryAndLeavesTheFilesSound)
{
    d4test::Engine tmpl;
    std::string from = makeTemplate(tmpl);
    ASSERT_FALSE(from.empty()) << d4test::lastError();
    std::string cdx = from.back() == 'F' ? "CDX" : "cdx";
    for (const Case &c : kCases) {
        long n = 0;
        for (bool done = false; !done && n < 100000;) {
            SCOPED_TRACE(std::string(c.name) + ", allocation " + std::to_string(n) + " fails");
            d4test::Engine e;
            std::string path = e.path(from.substr(from.rfind('/') + 1));
            testutil::copyFile(from, path);
            testutil::copyFile(from.substr(0, from.size() - 3) + cdx, path.substr(0, path.size() - 3) + cdx);
            std::mt19937 rng(7);
            DATA4 *d = c.op ? d4open(&e.c4, path.c_str()) : nullptr;
            ASSERT_TRUE(c.op == nullptr || d != nullptr) << d4test::lastError();
            e4clearErrorState();
            u4alloc_fail_after(n);
            int rc = c.op ? c.op(d, rng) : (d = d4open(&e.c4, path.c_str())) == nullptr ? -1 : 0;
            u4alloc_fail_after(-1);
            if (!(done = rc == 0)) {
                n = nextN(n);
                EXPECT_TRUE(d4test::lastErrorCode() == e4memory || e.c4.error_code == e4memory)
                    << rc << " " << d4test::lastError();
            }
            e4set(&e.c4, 0); // the caller has seen the failure
            if (d != nullptr)
                d4close(d);
            e4clearErrorState();
            std::string problems = sharedload::check(&e.c4, path, {}, false);
            if (!done && c.rebuilds && problems.find("part way through a rebuild") != std::string::npos &&
                (problems = remake(&e.c4, path)).empty())
                problems = sharedload::check(&e.c4, path, {}, false);
            EXPECT_EQ("", problems);
            if (!problems.empty())
                return;
        }
        EXPECT_TRUE(n < 100000) << c.name << " never succeeded";
        std::printf("%s: succeeded with allocation %ld failing\n", c.name, n);
    }
}

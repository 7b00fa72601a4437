// What failed reads, writes, commits and length changes leave behind in a
// table with five tags whose leaves a rebuild has filled: each operation
// runs once for every call it makes and every way that call can fail. The
// table as the disk holds it right after the failure (a process that
// stopped there), and again after closing, is judged as a killed worker's:
// the next process that opens and locks it finds the trees whole, every tag
// holding the keys of the records, every record there once and no failed
// append there at all. Tables open exclusively keep appended records back
// and write them in runs; those operations journal their appends only once
// a flush or the close reports them written.
#include <cstdio>
#include <functional>

#include "tests/faultinject.h"
#include "tests/xbase/index/sharedload.h"
#include "xbase/d4tag.h"
#include "xbase/file4.h"

namespace {

// How soon the points tried grow apart: sooner under the sanitizers, which
// make every call slower.
#if defined(__SANITIZE_ADDRESS__)
const int kSparse = 6;
#else
const int kSparse = 16;
#endif

struct Operation {
    const char *what;
    // Works on the open table; appends it reports done go into `journal`.
    // May close the table (and then sets it to null).
    std::function<int(DATA4 *&, std::mt19937 &, std::string *journal)> run;
    bool exclusive = false;
};

// Appends records after the build: every leaf is full, so each splits.
int appendTwo(DATA4 *d, std::mt19937 &rng, std::string *journal)
{
    for (const char *id : {"NEW00001", "NEW00002"}) {
        int rc = sharedload::put(d, id, rng);
        if (rc != 0)
            return rc;
        *journal += std::string("+") + id + "\n";
    }
    return 0;
}

// Forty appends, kept back in runs that fill every ten records (as the test
// sets the runs' size), then written by a flush or by the close.
int appendBehind(DATA4 *&d, std::mt19937 &rng, std::string *journal, bool close)
{
    std::string done;
    for (int i = 0; i < 40; i++) {
        std::string id = "NEW" + std::to_string(10000 + i);
        int rc = sharedload::put(d, id, rng);
        if (rc != 0)
            return rc;
        done += "+" + id + "\n";
    }
    int rc = close ? d4close(d) : d4flush(d);
    if (close)
        d = nullptr;
    if (rc == 0)
        *journal += done;
    return rc;
}

// Changes the keys of records across the table, deletes one and recalls
// another: entries move between full leaves.
int changeKeys(DATA4 *d, std::mt19937 &rng, std::string *)
{
    for (long rec : {3L, 120L, 197L}) {
        int rc = d4go(d, rec);
        if (rc == 0)
            rc = sharedload::put(d, "", rng);
        if (rc != 0)
            return rc;
    }
    for (long rec : {60L, 5L}) {
        int rc = d4go(d, rec);
        if (rc != 0)
            return rc;
        d4deleted(d) ? d4recall(d) : d4delete(d);
    }
    return d4flush(d);
}

// Replaces a closed file by a new one: truncating a file and writing it
// again makes some file systems commit it at close, which is slow.
void replace(const std::string &path, const std::string &bytes)
{
    std::remove(path.c_str());
    testutil::writeFile(path, bytes);
}

} // namespace

TEST(TagFaults, AFailedCallAtAnyPointLeavesTheTableWholeForTheNextProcess)
{
    using namespace sharedload;
    const Operation ops[] = {
        {"appends after a build", appendTwo},
        {"key changes, a deletion and a recall", changeKeys},
        {"a rebuild", [](DATA4 *d, std::mt19937 &, std::string *) { return d4reindex(d); }},
        {"a pack", [](DATA4 *d, std::mt19937 &, std::string *) { return d4pack(d); }},
        {"appends kept back, then a flush",
         [](DATA4 *&d, std::mt19937 &rng, std::string *j) { return appendBehind(d, rng, j, false); }, true},
        {"appends kept back, then the close",
         [](DATA4 *&d, std::mt19937 &rng, std::string *j) { return appendBehind(d, rng, j, true); }, true},
    };
    struct RunSize {
        RunSize() { file4run_max = 10 * 30; }
        ~RunSize() { file4run_max = (unsigned)FILE4_RUN_MAX; }
    } runSize;
    d4test::Engine e;
    std::string path = indextest::makeTable(e, "FAULT", kFields, kTags), cdx = e.path("FAULT.CDX");
    DATA4 *d = path.empty() ? nullptr : d4open(&e.c4, path.c_str());
    ASSERT_NE(nullptr, d) << d4test::lastError();
    std::mt19937 rng(7);
    for (int i = 0; i < 200; i++) {
        put(d, (i % 9 == 4 ? "X" : "Z") + std::to_string(1000000 + i), rng);
        if (i % 9 == 4)
            d4delete(d); // for the pack to take away
    }
    ASSERT_EQ(0, d4reindex(d)) << d4test::lastError();
    ASSERT_EQ(0, d4close(d));
    const std::string dbf0 = testutil::readFile(path), cdx0 = testutil::readFile(cdx);
    testutil::TempDir crash;
    const std::string crashed = crash.file("FAULT.DBF");
    bool reason = false;
    for (const Operation &op : ops) {
        int failures = 0;
        for (faults::Mode mode : faults::allModes()) {
            // A write that fails with EIO takes the path of one that fails
            // with ENOSPC, and a half read that of a failed one.
            if ((mode.call == faults::Call::write && mode.kind == faults::Kind::eio) ||
                (mode.call == faults::Call::read && mode.kind == faults::Kind::partial))
                continue;
            // Every call early on, where the first blocks and the marks are
            // written; then points further and further apart (commits, each
            // a real one, sooner).
            for (int nth = 1; !testing::Test::HasFailure();
                 nth += 1 + nth / (mode.call == faults::Call::sync ? 2 : kSparse)) {
                SCOPED_TRACE(std::string(op.what) + ", " + faults::describe(mode) + " at call " + std::to_string(nth));
                replace(path, dbf0);
                replace(cdx, cdx0);
                e4clearErrorState();
                e.c4.exclusive = op.exclusive;
                d = d4open(&e.c4, path.c_str());
                e.c4.exclusive = 0;
                ASSERT_NE(nullptr, d) << d4test::lastError();
                e.c4.file_flush = mode.call == faults::Call::sync;
                std::string journal;
                int rc;
                bool fired;
                {
                    std::mt19937 op_rng(11);
                    faults::Injector inject(mode, nth);
                    rc = op.run(d, op_rng, &journal);
                    fired = inject.fired();
                }
                e.c4.file_flush = 0;
                if (fired) {
                    failures++;
                    EXPECT_NE(0, rc) << "a failure reported as success";
                    reason |= d4test::lastError().find("No space left on device") != std::string::npos;
                    // A process that stopped right here, and the one that
                    // closes after the failure.
                    e.c4.error_code = 0; // the close leaves its report pending
                    replace(crashed, testutil::readFile(path));
                    replace(crash.file("FAULT.CDX"), testutil::readFile(cdx));
                    EXPECT_EQ("", check(&e.c4, crashed, {journal}, !op.exclusive)) << d4test::lastError();
                } else {
                    EXPECT_EQ(0, rc) << d4test::lastError();
                }
                e.c4.error_code = 0;
                if (d != nullptr)
                    d4close(d);
                e.c4.error_code = 0;
                e4clearErrorState();
                EXPECT_EQ("", check(&e.c4, path, {journal}, !op.exclusive)) << d4test::lastError();
                if (!fired)
                    break;
            }

        }
        EXPECT_GT(failures, 10) << op.what;
    }
    EXPECT_TRUE(reason) << "a full disk is reported as such";
}

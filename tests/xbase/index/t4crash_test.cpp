// A process killed at any instant while it appends, changes keys, deletes
// and recalls, packs or rebuilds a five-tag table leaves it to the next
// one whole: after each kill the table opens and locks, the tree checker
// passes, every tag holds the keys of the records, and every append that
// was reported done is there once.
#include <cstdio>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/xbase/index/sharedload.h"

namespace {

// Fewer kills under the sanitizers, which make every operation slower.
#if defined(__SANITIZE_ADDRESS__)
const int kKillDivisor = 2;
#else
const int kKillDivisor = 1;
#endif

struct KillCase {
    const char *what;
    sharedload::Workload load;
    int kills;
    int max_delay_ms; // the kill comes after 1 .. max_delay_ms
};

// Whether the index header bears a mark of something under way.
bool marked(const std::string &cdx)
{
    std::string head = testutil::readFile(cdx).substr(0, I4_HEAD_LEN);
    return head.size() < I4_HEAD_LEN || d4test::le32(head, I4_OFF_ROOT) == 0 ||
           d4test::le32(head, I4_OFF_FLIGHT) != 0 || d4test::le32(head, I4_OFF_PACK) != 0;
}

} // namespace

TEST(TagCrash, AProcessKilledAtAnyInstantLeavesTheTableWholeForTheNext)
{
    using namespace sharedload;
    const KillCase cases[] = {
        {"appends", {1, {1}}, 100, 25},
        {"appends, key changes, deletions, seeks, walks, rebuilds", {1, {30, 20, 10, 15, 15, 1, 3}}, 100, 25},
        {"packs", {1, {3, 0, 0, 0, 0, 0, 0, 1, 3}}, 100, 25},
        {"rebuilds", {1, {2, 2, 0, 0, 0, 1}}, 100, 25},
    };
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    int all_marked = 0;
    for (const KillCase &c : cases) {
        d4test::Engine e;
        std::string path = indextest::makeTable(e, "CRASH", kFields, kTags), cdx = e.path("CRASH.CDX");
        DATA4 *d = path.empty() ? nullptr : d4open(&e.c4, path.c_str());
        for (int i = 0; d != nullptr && i < 200; i++)
            put(d, "Z" + std::to_string(1000000 + i), rng);
        ASSERT_TRUE(d != nullptr && d4close(d) == 0) << d4test::lastError();
        const std::string dbf0 = testutil::readFile(path), cdx0 = testutil::readFile(cdx);
        std::vector<std::string> journals;
        int found_marked = 0, kills = c.kills / kKillDivisor;
        for (int k = 0; k < kills; k++) {
            // The table starts again now and then, so that checks stay short.
            if (k % 20 == 0) {
                std::remove(path.c_str()); // no commit at close, as a file
                std::remove(cdx.c_str());  // truncated and written would have
                testutil::writeFile(path, dbf0);
                testutil::writeFile(cdx, cdx0);
                journals.clear();
            }
            std::string journal = e.path("j" + std::to_string(k));
            pid_t pid = startWorker(path, c.load, k % 20, (unsigned)rng(), journal, 30);
            ASSERT_GT(pid, 0);
            // The instant is drawn from when the worker is at work (its first
            // append journalled), however slowly a loaded machine starts it.
            for (int waited = 0; waited < 3000 && testutil::readFile(journal).empty(); waited++)
                usleep(1000);
            usleep((useconds_t)(1000 + rng() % (unsigned)(c.max_delay_ms * 1000)));
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
            journals.push_back(testutil::readFile(journal));
            found_marked += marked(cdx);
            e4clearErrorState();
            std::string problems = check(&e.c4, path, journals, false);
            ASSERT_EQ("", problems) << c.what << ", kill " << k << ", seed " << seed;
        }
        std::printf("%s: %d kills, %d met a change, rebuild or pack under way\n", c.what, kills, found_marked);
        all_marked += found_marked;
    }
    // The kills met changes under way, not only tables at rest.
    EXPECT_GT(all_marked, 0);
}

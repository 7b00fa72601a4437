// Tags shared by processes: a reader that seeks and skips while another
// process appends sees only keys that are in the file, in order, and
// notices the version change; what a writer leaves half done (keys of a
// record not yet written, a block read while it is rewritten) is passed
// over or read again; a process that holds the index lock and appends does
// not wait forever for one that holds the append byte and waits for the
// index.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "codeset/codeset.h"
#include "platform/platform.h"
#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "tests/xbase/index/indextest.h"
#include "tests/xbase/index/sharedload.h"
#include "xbase/d4tag.h"

using d4test::Engine;
using d4test::lastError;

namespace {

const FIELD4INFO kFields[] = {{"K", 'C', 10, 0}, {nullptr, 0, 0, 0}};

std::string keyText(const char *prefix, int n)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s%05d", prefix, n);
    return std::string(buf) + std::string(10 - std::strlen(buf), ' ');
}

// A child process with its own engine context and open of the table.
// `body` returns the child's exit status.
template <class Body>
pid_t spawn(Body body)
{
    pid_t pid = fork();
    if (pid == 0) {
        mbstr_initialize(0);
        CODE4 c4;
        d4init(&c4);
        int status = body(&c4);
        d4init_undo(&c4);
        _exit(status);
    }
    return pid;
}

int appendKey(DATA4 *d, const std::string &key)
{
    int rc = d4append_start(d, 0);
    if (rc == 0) {
        d4blank(d);
        f4assign(d4field(d, "K"), key.c_str());
        rc = d4append(d);
    }
    return rc;
}

// The key of the table's current record.
std::string recordKey(DATA4 *d) { return std::string(f4ptr(d4field(d, "K")), 10); }

// A fresh table with the one tag TK, opened twice: a reader and a writer
// with locks of their own, as two processes would hold them.
void openTwice(Engine &e, const char *name, DATA4 **reader, DATA4 **writer)
{
    std::string path = indextest::makeTable(e, name, kFields, {{"TK", "K", "", false, false}});
    *reader = path.empty() ? nullptr : d4open(&e.c4, path.c_str());
    *writer = path.empty() ? nullptr : d4open(&e.c4, path.c_str());
}

// A read of one index block that meets the block while another process
// rewrites it: the bytes come back as a block given back to the free list
// (its link, then zeros), and with `gTornBumps` the other process's lock
// has moved the file's version first.
int gTornFd = -1;
int64_t gTornPos = -1;
bool gTornBumps = false;
int64_t tornPread(int fd, void *buf, size_t n, int64_t off)
{
    int64_t got = platformDefaultCalls.pread(fd, buf, n, off);
    if (fd != gTornFd || off != gTornPos || got != 512)
        return got;
    gTornFd = -1;
    std::memset((char *)buf + 4, 0, 508);
    if (gTornBumps) {
        unsigned char v[4];
        if (platformDefaultCalls.pread(fd, v, 4, 8) != 4)
            return -1;
        v[3] = (unsigned char)(v[3] + 1);
        if (platformDefaultCalls.pwrite(fd, v, 4, 8) != 4)
            return -1;
    }
    return got;
}

} // namespace

TEST(TagShared, AReaderSeeksAndSkipsWhileAnotherProcessAppends)
{
    Engine e;
    std::string path = indextest::makeTable(e, "SHARE", kFields, {{"TK", "K", "", false, false}});
    ASSERT_FALSE(path.empty());
    DATA4 *d = d4open(&e.c4, path.c_str());
    ASSERT_NE(nullptr, d) << lastError();
    for (int i = 0; i < 60; i++)
        ASSERT_EQ(0, appendKey(d, keyText("K", 2 * i)));
    ASSERT_EQ(0, d4flush(d));
    TAG4 *t4 = d4tag(d, "TK");
    d4tag_select(d, t4);
    unsigned long first_version = t4->index->version_old;

    // The writer puts odd keys between the reader's even ones, in a mixed
    // order, so that leaves split under the reader.
    const int appended = 400;
    pid_t writer = spawn([&](CODE4 *c4) {
        DATA4 *w = d4open(c4, path.c_str());
        if (w == nullptr)
            return 3;
        for (int i = 0; i < appended; i++) {
            if (appendKey(w, keyText("K", (i * 37 % appended) * 2 + 1)) != 0)
                return 4;
            if (i % 4 == 0)
                usleep(3000);
        }
        return d4close(w) == 0 ? 0 : 5;
    });
    ASSERT_GT(writer, 0);

    std::mt19937 rng(testutil::testSeed());
    int status = -1, rounds = 0;
    while (waitpid(writer, &status, WNOHANG) == 0 || rounds < 3) {
        rounds++;
        // A seek answers with a record whose key is the value, or with the
        // record of the next key.
        std::string want = keyText("K", (int)(rng() % (2 * appended)));
        int rc = d4seek(d, want.c_str());
        ASSERT_TRUE(rc == 0 || rc == r4after || rc == r4eof) << rc << " " << lastError();
        if (rc == 0) {
            ASSERT_EQ(want, recordKey(d));
        } else if (rc == r4after) {
            ASSERT_LT(want, recordKey(d));
        }
        // Skipping from the top meets records in key order, each as its
        // entry says.
        ASSERT_EQ(0, d4top(d)) << lastError();
        std::string last;
        for (int n = 0; n < 40 && !d4eof(d); n++) {
            std::string k = recordKey(d);
            ASSERT_LE(last, k);
            ASSERT_EQ(0, std::memcmp(t4key(t4), k.data(), 10)) << "record " << d4recno(d);
            ASSERT_LE(d4recno(d), d4reccount(d));
            last = k;
            int s = d4skip(d, 1);
            ASSERT_TRUE(s == 0 || s == r4eof) << s << " " << lastError();
        }
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the writer was killed";
    ASSERT_EQ(0, WEXITSTATUS(status)) << "the writer failed";

    ASSERT_EQ(0, t4version_check(t4, 0, 0));
    EXPECT_NE(first_version, t4->index->version_old) << "the reader took the writer's version";
    std::vector<std::string> want;
    for (int i = 0; i < 2 * appended; i++)
        if (i % 2 == 1 || i < 120)
            want.push_back(keyText("K", i));
    std::vector<std::string> got;
    for (const auto &entry : indextest::walkOrder(t4, true))
        got.push_back(entry.first);
    EXPECT_EQ(want, got);
    EXPECT_GT(rounds, 10) << "the reader should have worked while the writer did";
    EXPECT_EQ("", indextest::checkIndexes(d));
    EXPECT_EQ(0, d4close(d));
}

// Another process adds a record's keys before it writes the record: a seek
// that meets such an entry passes over it to the next record that is in
// the file, as top and skip do.
TEST(TagShared, ASeekPassesOverKeysOfARecordNotYetWritten)
{
    Engine e;
    DATA4 *d, *w;
    openTwice(e, "EARLY", &d, &w);
    ASSERT_TRUE(d != nullptr && w != nullptr) << lastError();
    for (int k : {0, 2, 4})
        ASSERT_EQ(0, appendKey(w, keyText("K", k)));
    ASSERT_EQ(0, d4unlock(w));
    d4tag_select(d, d4tag(d, "TK"));
    ASSERT_EQ(0, d4seek(d, keyText("K", 2).c_str())) << "the reader knows the file's count";
    // Keys of records 4 and 5 arrive; the records do not.
    ASSERT_EQ(0, d4lock_index(w));
    ASSERT_EQ(0, t4add(d4tag(w, "TK"), keyText("K", 3).c_str(), 4));
    ASSERT_EQ(0, t4add(d4tag(w, "TK"), keyText("K", 9).c_str(), 5));
    ASSERT_EQ(0, d4unlock_index(w));
    struct Case {
        int key;
        int rc;
        long rec;
    } cases[] = {{3, r4after, 3}, {4, 0, 3}, {5, r4eof, 4}, {9, r4eof, 4}, {0, 0, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(keyText("K", c.key));
        EXPECT_EQ(c.rc, d4seek(d, keyText("K", c.key).c_str())) << lastError();
        EXPECT_EQ(c.rec, d4recno(d));
    }
    EXPECT_EQ(0, d4close(w));
    EXPECT_EQ(0, d4close(d));
}

// A block that does not check, read without the lock, is read again with
// the tree, whether or not the version moved: without the lock it is never
// taken as damage (damage is what does not check under it).
TEST(TagShared, ABlockReadWhileRewrittenIsReadAgain)
{
    for (bool bumps : {true, false}) {
        SCOPED_TRACE(bumps ? "version moved" : "version unchanged");
        Engine e;
        DATA4 *d, *w;
        openTwice(e, "TORN", &d, &w);
        ASSERT_TRUE(d != nullptr && w != nullptr) << lastError();
        ASSERT_EQ(0, appendKey(w, keyText("K", 1)));
        ASSERT_EQ(0, d4unlock(w));
        TAG4 *t4 = d4tag(d, "TK");
        d4tag_select(d, t4);
        ASSERT_EQ(0, d4seek(d, keyText("K", 1).c_str()));
        // The writer changes the index; the reader's next seek drops what
        // it cached and reads the root leaf again, torn.
        ASSERT_EQ(0, appendKey(w, keyText("K", 2)));
        ASSERT_EQ(0, d4unlock(w));
        gTornFd = t4->index->file.hand;
        gTornPos = t4->header.root;
        gTornBumps = bumps;
        platformG.pread = tornPread;
        int rc = d4seek(d, keyText("K", 2).c_str());
        platformG.pread = platformDefaultCalls.pread;
        EXPECT_EQ(-1, gTornFd) << "the root was read";
        EXPECT_EQ(0, rc) << lastError();
        EXPECT_EQ(2, d4recno(d));
        EXPECT_EQ(0, i4lock_test(t4->index));
        EXPECT_EQ(0, d4close(w));
        d4close(d);
    }
}

TEST(TagShared, HoldingTheIndexLockWhileAppendingCannotDeadlockAnotherAppender)
{
    // Seconds of waiting either side allows: a deadlock fails the test, a
    // machine slowed by other work does not.
    const int kPatience = 30;
    // The other process holds the append byte and then waits for the index
    // lock that this one holds; this one then appends, which needs the
    // append byte. One lock order means this one gives its index lock up
    // before it waits. The other starts its record before it takes the
    // byte, since starting one lets the table's data locks go: so it keeps
    // the byte through its append, and its record is the first.
    Engine e;
    std::string path = indextest::makeTable(e, "ORDER", kFields, {{"TK", "K", "", false, false}});
    ASSERT_FALSE(path.empty());
    DATA4 *d = d4open(&e.c4, path.c_str());
    ASSERT_NE(nullptr, d) << lastError();
    int go_child[2], child_ready[2];
    ASSERT_EQ(0, pipe(go_child));
    ASSERT_EQ(0, pipe(child_ready));
    pid_t other = spawn([&](CODE4 *c4) {
        c4->lock_attempts = kPatience;
        DATA4 *w = d4open(c4, path.c_str());
        char c = 0;
        if (w == nullptr || d4append_start(w, 0) != 0)
            return 3;
        d4blank(w);
        f4assign(d4field(w, "K"), keyText("B", 1).c_str());
        if (d4lock_append(w) != 0)
            return 3;
        if (write(child_ready[1], "a", 1) != 1 || read(go_child[0], &c, 1) != 1)
            return 4;
        if (d4lock_index(w) != 0)
            return 5;
        return d4append(w) == 0 && d4close(w) == 0 ? 0 : 6;
    });
    ASSERT_GT(other, 0);
    char c = 0;
    ASSERT_EQ(1, read(child_ready[0], &c, 1));
    ASSERT_EQ(0, d4lock_index(d));
    ASSERT_EQ(1, write(go_child[1], "g", 1));
    usleep(300000); // the other process now waits for the index lock
    e.c4.lock_attempts = kPatience;
    EXPECT_EQ(0, appendKey(d, keyText("A", 1))) << lastError();
    int status = -1;
    ASSERT_EQ(other, waitpid(other, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other appender failed";
    // The walk goes below the check of the index's version that reads do.
    ASSERT_EQ(0, t4version_check(d4tag(d, "TK"), 0, 0));
    indextest::Entries all = indextest::walkOrder(d4tag(d, "TK"), true);
    EXPECT_EQ((indextest::Entries{{keyText("A", 1), 2}, {keyText("B", 1), 1}}), all);
    EXPECT_EQ(0, d4close(d));
    for (int fd : {go_child[0], go_child[1], child_ready[0], child_ready[1]})
        close(fd);
}

// Processes that append, change keys, delete and recall, seek, walk,
// rebuild and check one five-tag table at once leave it sound.
TEST(TagShared, ProcessesSharingOneTableLeaveItSound)
{
    unsigned seed = testutil::testSeed();
    EXPECT_EQ("", sharedload::run(sharedload::kWalkAndAppend, seed, 3.0)) << "two walk and append";
    EXPECT_EQ("", sharedload::run(sharedload::kMixAll, seed, 3.0)) << "five mix every operation";
    // An index made again from its tags under them: they wait for it and
    // go on with the new file.
    auto remake = [](CODE4 *c4, const std::string &path) {
        std::vector<TAG4INFO> info = indextest::tagInfo(c4, sharedload::kTags);
        std::string problems;
        for (int k = 0; k < 4; k++) {
            usleep(300000);
            if (d4index_remake(c4, path.c_str(), info.data()) != 0)
                problems += " the index was not made again: " + d4test::lastError();
        }
        return problems;
    };
    EXPECT_EQ("", sharedload::run(sharedload::kMixAll, seed, 2.0, remake)) << "five mix while it is made again";
}

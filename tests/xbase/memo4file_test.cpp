// Memo files on their own: the bytes of new files and entries, round trips
// at several block sizes, where rewritten texts go, hostile files, and two
// processes taking blocks at once.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/mem4.h"
#include "xbase/memo4.h"

using testutil::TempDir;

namespace {

uint32_t be32(const std::string &bytes, size_t off)
{
    const unsigned char *p = (const unsigned char *)bytes.data() + off;
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

std::string be32Bytes(uint32_t v)
{
    std::string s(4, '\0');
    s[0] = (char)(v >> 24);
    s[1] = (char)(v >> 16);
    s[2] = (char)(v >> 8);
    s[3] = (char)v;
    return s;
}

// A memo file header with the given next block and block size.
std::string memoHeader(uint32_t nextBlock, unsigned blockSize)
{
    std::string h = be32Bytes(nextBlock) + std::string(2, '\0');
    h += (char)(blockSize >> 8);
    h += (char)blockSize;
    h.resize(MEMO4_FILE_START, '\0');
    return h;
}

std::string entryBytes(const std::string &text)
{
    return be32Bytes(MEMO4_TYPE_TEXT) + be32Bytes((uint32_t)text.size()) + text;
}

std::string lastError()
{
    char buf[E4_ERROR_BUFFER_LEN];
    int code = 0;
    e4getErrorInfo(&code, buf, sizeof buf);
    return buf;
}

std::string patternText(size_t len, unsigned salt)
{
    std::string s(len, '\0');
    for (size_t i = 0; i < len; i++)
        s[i] = (char)((i * 31 + salt * 7 + i / 253) & 0xFF);
    return s;
}

// An engine context and a data file record that owns one memo file.
struct MemoEnv {
    CODE4 c4;
    DATA4 data;
    MEMO4FILE &memo;
    explicit MemoEnv(unsigned blockSize = 512) : memo(data.memo_file)
    {
        d4init(&c4);
        c4.mem_size_memo = blockSize;
        std::memset(&data, 0, sizeof data);
        data.code_base = &c4;
        data.memo_file.file.hand = -1;
    }
    ~MemoEnv() { close(); }
    void close() { file4close(&memo.file); }
    int create(const std::string &path)
    {
        int rc = memo4file_create(&memo, &c4, &data, path.c_str());
        close();
        return rc;
    }
    int open(const std::string &path) { return memo4file_open(&memo, &data, path.c_str()); }
    int write(long *id, const std::string &text)
    {
        return memo4file_write(&memo, id, text.data(), (unsigned)text.size());
    }
    // Reads an entry; a failure gives `rc` and an empty text.
    std::string read(long id, int *rc = nullptr)
    {
        char *buf = nullptr;
        unsigned len = 0;
        int r = memo4file_read(&memo, id, &buf, &len);
        if (rc)
            *rc = r;
        std::string s = r == 0 && buf ? std::string(buf, len) : std::string();
        if (buf)
            u4free(buf);
        return s;
    }
};

// ---- Creating and opening -----------------------------------------------

TEST(MemoFileCreate, WritesHeaderForBlockSize)
{
    struct Case {
        unsigned blockSize;
        const char *start;
    } cases[] = {
        {512, "00 00 00 01 00 00 02 00"},
        {64, "00 00 00 08 00 00 00 40"},
        {1024, "00 00 00 01 00 00 04 00"},
        {65535, "00 00 00 01 00 00 ff ff"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.blockSize);
        TempDir dir;
        MemoEnv env(c.blockSize);
        ASSERT_EQ(0, env.create(dir.file("T.FPT")));
        std::string bytes = testutil::readFile(dir.file("T.FPT"));
        ASSERT_EQ(512u, bytes.size());
        EXPECT_EQ(c.start, testutil::hex(bytes.substr(0, 8)));
        EXPECT_EQ(std::string(504, '\0'), bytes.substr(8));
        ASSERT_EQ(0, env.open(dir.file("T.FPT")));
        EXPECT_EQ(c.blockSize, (unsigned)(unsigned short)env.memo.block_size);
    }
}

TEST(MemoFileCreate, RefusesBlockSizeTheHeaderCannotHold)
{
    for (unsigned blockSize : {0u, 65536u}) {
        SCOPED_TRACE(blockSize);
        TempDir dir;
        MemoEnv env(blockSize);
        EXPECT_LT(env.create(dir.file("T.FPT")), 0);
        EXPECT_FALSE(testutil::fileExists(dir.file("T.FPT")));
    }
}

TEST(MemoFileOpen, RefusesUnusableHeaders)
{
    struct Case {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"block size 0", memoHeader(8, 0)},
        {"truncated header", std::string("\0\0\0\x08\0\0", 6)},
        {"empty file", std::string()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        testutil::writeFile(dir.file("BAD.FPT"), c.bytes);
        MemoEnv env;
        e4clearErrorState();
        EXPECT_LT(env.open(dir.file("BAD.FPT")), 0);
        EXPECT_EQ(-1, env.memo.file.hand);
        EXPECT_NE(std::string::npos, lastError().find("BAD.FPT")) << lastError();
    }
}

TEST(MemoFileOpen, MissingFileIsReportedByNameEvenWithOpenErrorOff)
{
    TempDir dir;
    MemoEnv env;
    env.c4.open_error = 0;
    e4clearErrorState();
    EXPECT_EQ(e4open, env.open(dir.file("GONE.FPT")));
    EXPECT_EQ(-1, env.memo.file.hand);
    EXPECT_EQ("Xbase -60: Opening File File Name: " + dir.file("GONE.FPT") + " ", lastError());
}

TEST(MemoFileOpen, ReadsLargeBlockSizesAsUnsigned)
{
    TempDir dir;
    testutil::writeFile(dir.file("BIG.FPT"), memoHeader(1, 0x8000));
    MemoEnv env;
    ASSERT_EQ(0, env.open(dir.file("BIG.FPT")));
    long id = 0;
    ASSERT_EQ(0, env.write(&id, "wide blocks"));
    EXPECT_EQ(1, id);
    EXPECT_EQ("wide blocks", env.read(id));
    env.close();
    std::string bytes = testutil::readFile(dir.file("BIG.FPT"));
    EXPECT_EQ(2u, be32(bytes, 0));
    EXPECT_EQ(entryBytes("wide blocks"), bytes.substr(0x8000));
}

// ---- Writing and reading -------------------------------------------------

TEST(MemoFileWrite, StoresEntriesAtTheDocumentedBytes)
{
    TempDir dir;
    MemoEnv env;
    ASSERT_EQ(0, env.create(dir.file("T.FPT")));
    ASSERT_EQ(0, env.open(dir.file("T.FPT")));
    std::string hundred = patternText(100, 1);
    long id = 0;
    ASSERT_EQ(0, env.write(&id, hundred));
    EXPECT_EQ(1, id);
    long id600 = 0;
    ASSERT_EQ(0, env.write(&id600, patternText(600, 2)));
    EXPECT_EQ(2, id600);
    env.close();

    std::string bytes = testutil::readFile(dir.file("T.FPT"));
    EXPECT_EQ(4u, be32(bytes, 0)) << "a 600-byte text takes 2 blocks";
    EXPECT_EQ("00 00 00 01 00 00 00 64", testutil::hex(bytes.substr(512, 8)));
    EXPECT_EQ(hundred, bytes.substr(520, 100));
    EXPECT_EQ(entryBytes(patternText(600, 2)), bytes.substr(1024));
}

TEST(MemoFileWrite, RoundTripsTextsOfEverySize)
{
    for (unsigned blockSize : {64u, 512u}) {
        std::vector<size_t> sizes = {1, blockSize - 8, blockSize - 7, blockSize, blockSize + 1,
                                     1u << 20};
        TempDir dir;
        MemoEnv env(blockSize);
        ASSERT_EQ(0, env.create(dir.file("T.FPT")));
        ASSERT_EQ(0, env.open(dir.file("T.FPT")));
        std::vector<long> ids;
        for (size_t i = 0; i < sizes.size(); i++) {
            long id = 0;
            ASSERT_EQ(0, env.write(&id, patternText(sizes[i], (unsigned)i)));
            ids.push_back(id);
        }
        // Every entry starts where the previous one's blocks end.
        long expect = 512 / blockSize;
        for (size_t i = 0; i < sizes.size(); i++) {
            SCOPED_TRACE("block size " + std::to_string(blockSize) + ", length " +
                         std::to_string(sizes[i]));
            EXPECT_EQ(expect, ids[i]);
            expect += (long)((sizes[i] + 8 + blockSize - 1) / blockSize);
            EXPECT_EQ(patternText(sizes[i], (unsigned)i), env.read(ids[i]));
        }
        env.close();
        EXPECT_EQ((uint32_t)expect, be32(testutil::readFile(dir.file("T.FPT")), 0));
    }
}

TEST(MemoFileWrite, EmptyTextFreesTheReferenceAndWritesNothing)
{
    TempDir dir;
    MemoEnv env;
    ASSERT_EQ(0, env.create(dir.file("T.FPT")));
    ASSERT_EQ(0, env.open(dir.file("T.FPT")));
    long id = 0;
    ASSERT_EQ(0, env.write(&id, "something"));
    std::string before = testutil::readFile(dir.file("T.FPT"));
    ASSERT_EQ(0, env.write(&id, ""));
    EXPECT_EQ(0, id);
    EXPECT_EQ(before, testutil::readFile(dir.file("T.FPT")));

    char keep[] = "untouched";
    char *buf = keep;
    unsigned len = 9;
    EXPECT_EQ(0, memo4file_read(&env.memo, 0, &buf, &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(keep, buf);
}

// In place only within the old entry's blocks and the bytes already in the
// file: the last entry of the file moves rather than grow the file under
// its old text.
TEST(MemoFileWrite, RewritesInPlaceOnlyWithinTheOldBlocks)
{
    struct Case {
        size_t oldLen, newLen;
        bool inPlace, inPlaceWhenLast;
    } cases[] = {
        {600, 1000, true, false},   // 2 blocks needed, room for 2
        {600, 1017, false, false},  // 3 needed
        {1020, 1020, false, false}, // 3 needed, room for 2 without the header
        {1000, 10, true, true},     // shrinking stays
        {100, 504, true, false},    // exactly fills the block
        {100, 100, true, true},
        {100, 505, false, false},
    };
    for (const Case &c : cases) {
        for (bool last : {false, true}) {
            SCOPED_TRACE(std::to_string(c.oldLen) + " -> " + std::to_string(c.newLen) +
                         (last ? ", last entry" : ""));
            TempDir dir;
            MemoEnv env;
            ASSERT_EQ(0, env.create(dir.file("T.FPT")));
            ASSERT_EQ(0, env.open(dir.file("T.FPT")));
            long id = 0, after = 0;
            ASSERT_EQ(0, env.write(&id, patternText(c.oldLen, 1)));
            if (!last) {
                ASSERT_EQ(0, env.write(&after, "the entry after"));
            }
            long oldNext = (long)be32(testutil::readFile(dir.file("T.FPT")), 0);
            long moved = id;
            ASSERT_EQ(0, env.write(&moved, patternText(c.newLen, 2)));
            EXPECT_EQ(last ? c.inPlaceWhenLast : c.inPlace, id == moved);
            EXPECT_TRUE(moved == id || moved == oldNext) << moved;
            EXPECT_EQ(patternText(c.newLen, 2), env.read(moved));
            if (!last) {
                EXPECT_EQ("the entry after", env.read(after));
            } else if (moved != id) {
                EXPECT_EQ(patternText(c.oldLen, 1), env.read(id)) << "the old text stays";
            }
        }
    }
}

TEST(MemoFileWrite, RefusesToGrowPastTheFormatsOffsets)
{
    TempDir dir;
    // Allocated up to just below 2 GB: room for one more 512-byte block only.
    uint32_t lastBlocks = 0x7FFFFFFFu / 512;
    testutil::writeFile(dir.file("T.FPT"), memoHeader(lastBlocks - 1, 512));
    MemoEnv env;
    ASSERT_EQ(0, env.open(dir.file("T.FPT")));
    long id = 0;
    EXPECT_LT(env.write(&id, std::string(600, 'x')), 0);
    EXPECT_EQ(0, id);
    env.close();
    std::string bytes = testutil::readFile(dir.file("T.FPT"));
    EXPECT_EQ(512u, bytes.size());
    EXPECT_EQ(lastBlocks - 1, be32(bytes, 0));
}

// An old entry that cannot be trusted is left alone: the text goes to new
// blocks past everything in the file.
TEST(MemoFileWrite, TakesNewBlocksWhenTheOldEntryIsUnreadable)
{
    struct Case {
        const char *what;
        long oldId;
        std::string fileTail;
    } cases[] = {
        {"reference past the end", 40, ""},
        {"length past the end", 1, be32Bytes(1) + be32Bytes(5000) + "tiny"},
        {"reference beyond 32 bits", LONG_MAX / 2, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string other = entryBytes("neighbour");
        std::string file = memoHeader(3, 512) + c.fileTail;
        file.resize(1024, '\0');
        file += other;
        testutil::writeFile(dir.file("T.FPT"), file);
        MemoEnv env;
        ASSERT_EQ(0, env.open(dir.file("T.FPT")));
        long id = c.oldId;
        ASSERT_EQ(0, env.write(&id, std::string(700, 'n')));
        EXPECT_EQ(3, id);
        EXPECT_EQ("neighbour", env.read(2));
        EXPECT_EQ(std::string(700, 'n'), env.read(3));
    }
}


// With blocks smaller than the header, a damaged reference can name a block
// inside the first 512 bytes: it is no entry, so it is neither read as text
// nor rewritten in place over the file's next block and block size.
TEST(MemoFileWrite, ReferenceIntoTheHeaderBlocksIsNoEntry)
{
    for (unsigned blockSize : {1u, 2u, 64u}) {
        SCOPED_TRACE(blockSize);
        TempDir dir;
        uint32_t first = MEMO4_FILE_START / blockSize;
        std::string file = memoHeader(first, blockSize);
        // Header bytes that look like an entry of the block that holds them.
        file.replace(blockSize * (first - 1), 8, be32Bytes(1) + be32Bytes(2));
        file.resize(140000, '\0');
        testutil::writeFile(dir.file("T.FPT"), file);
        MemoEnv env;
        ASSERT_EQ(0, env.open(dir.file("T.FPT")));
        for (long id = 1; id < (long)first; id += (long)(first / 7) + 1) {
            int rc = 0;
            env.read(id, &rc);
            EXPECT_EQ(-1, rc) << "block " << id;
        }
        long id = 1;
        ASSERT_EQ(0, env.write(&id, "hi"));
        EXPECT_GE(id * (long)blockSize, 140000L);
        id = (long)first - 1;
        ASSERT_EQ(0, env.write(&id, "hi"));
        EXPECT_GE(id * (long)blockSize, 140000L);
        env.close();
        std::string after = testutil::readFile(dir.file("T.FPT"));
        EXPECT_EQ(file.substr(4, MEMO4_FILE_START - 4), after.substr(4, MEMO4_FILE_START - 4));
        MemoEnv again;
        ASSERT_EQ(0, again.open(dir.file("T.FPT")));
        EXPECT_EQ("hi", again.read(id));
    }
}
TEST(MemoFileWrite, NeverAllocatesBelowDataAlreadyInTheFile)
{
    struct Case {
        const char *what;
        uint32_t nextBlock;
    } cases[] = {
        {"next block 0", 0},
        {"next block inside the entries", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string file = memoHeader(c.nextBlock, 512) + entryBytes(std::string(700, 'a'));
        testutil::writeFile(dir.file("T.FPT"), file);
        MemoEnv env;
        ASSERT_EQ(0, env.open(dir.file("T.FPT")));
        long id = 0;
        ASSERT_EQ(0, env.write(&id, "new"));
        EXPECT_EQ(3, id);
        EXPECT_EQ(std::string(700, 'a'), env.read(1));
        EXPECT_EQ("new", env.read(3));
        env.close();
        EXPECT_EQ(4u, be32(testutil::readFile(dir.file("T.FPT")), 0));
    }
}

TEST(MemoFileRead, RefusesEntriesOutsideTheFile)
{
    TempDir dir;
    std::string file = memoHeader(4, 512) + entryBytes("good");
    file.resize(1024, '\0');
    file += be32Bytes(1) + be32Bytes(0xFFFFFFF0u) + "short"; // block 2: length past the end
    file.resize(1536, '\0');
    file += be32Bytes(1) + "\0\0";                           // block 3: header cut short
    testutil::writeFile(dir.file("T.FPT"), file);
    MemoEnv env;
    ASSERT_EQ(0, env.open(dir.file("T.FPT")));
    EXPECT_EQ("good", env.read(1));
    for (long id : {2L, 3L, 4L, 1000000L, LONG_MAX}) {
        SCOPED_TRACE(id);
        char keep[] = "kept";
        char *buf = keep;
        unsigned len = 4;
        e4clearErrorState();
        EXPECT_EQ(-1, memo4file_read(&env.memo, id, &buf, &len));
        EXPECT_EQ(keep, buf) << "no buffer is allocated for a bad entry";
        EXPECT_NE(std::string::npos, lastError().find("T.FPT")) << lastError();
    }
}

TEST(MemoFileRead, ReadsPartsAndKeepsABufferThatIsLargeEnough)
{
    TempDir dir;
    MemoEnv env(64);
    ASSERT_EQ(0, env.create(dir.file("T.FPT")));
    ASSERT_EQ(0, env.open(dir.file("T.FPT")));
    long id = 0;
    ASSERT_EQ(0, env.write(&id, "0123456789abcdef"));

    char *buf = (char *)u4alloc(33);
    char *const original = buf;
    unsigned len = 32;
    ASSERT_EQ(0, memo4file_read_part(&env.memo, id, &buf, &len, 4, 6));
    EXPECT_EQ("456789", std::string(buf, len));
    EXPECT_EQ(original, buf);
    len = 32;
    ASSERT_EQ(0, memo4file_read_part(&env.memo, id, &buf, &len, 20, 6));
    EXPECT_EQ(0u, len) << "an offset past the text reads nothing";
    len = 3;
    ASSERT_EQ(0, memo4file_read(&env.memo, id, &buf, &len));
    EXPECT_EQ("0123456789abcdef", std::string(buf, len));
    EXPECT_NE(original, buf) << "a buffer too small is replaced";
    u4free(buf);
}

// ---- Two processes -------------------------------------------------------

// Each writer stores entries, rewrites some of them (in place or moving),
// and records the final block number and text seed of each in a file.
int concurrentWriter(const std::string &path, const std::string &out, int writer, unsigned seed,
                     int startFd)
{
    char go;
    if (read(startFd, &go, 1) != 1)
        return 2;
    MemoEnv env(64);
    if (env.open(path) != 0)
        return 3;
    std::mt19937 rng(seed + (unsigned)writer);
    std::string lines;
    for (int i = 0; i < 60; i++) {
        unsigned salt = (unsigned)(writer * 1000 + i);
        size_t len = 1 + rng() % 300;
        long id = 0;
        if (env.write(&id, patternText(len, salt)) != 0)
            return 4;
        if (rng() % 3 == 0) {
            len = 1 + rng() % 300;
            salt += 500;
            if (env.write(&id, patternText(len, salt)) != 0)
                return 5;
        }
        lines += std::to_string(id) + " " + std::to_string(len) + " " + std::to_string(salt) +
                 "\n";
        usleep(rng() % 1500);
    }
    testutil::writeFile(out, lines);
    return 0;
}

TEST(MemoFileConcurrency, TwoWritersNeverShareBlocks)
{
    unsigned seed = testutil::testSeed();
    TempDir dir;
    const std::string path = dir.file("SHARED.FPT");
    {
        MemoEnv env(64);
        ASSERT_EQ(0, env.create(path));
    }
    int startPipe[2];
    ASSERT_EQ(0, pipe(startPipe));
    pid_t pids[2];
    for (int w = 0; w < 2; w++) {
        pids[w] = fork();
        ASSERT_GE(pids[w], 0);
        if (pids[w] == 0) {
            close(startPipe[1]);
            _exit(concurrentWriter(path, dir.file("out" + std::to_string(w)), w, seed,
                                   startPipe[0]));
        }
    }
    close(startPipe[0]);
    ASSERT_EQ(2, write(startPipe[1], "gg", 2));
    close(startPipe[1]);
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(0, WEXITSTATUS(status));
    }

    struct Run {
        long first, end;
    };
    std::vector<Run> runs;
    MemoEnv env(64);
    ASSERT_EQ(0, env.open(path));
    for (int w = 0; w < 2; w++) {
        std::string lines = testutil::readFile(dir.file("out" + std::to_string(w)));
        size_t pos = 0;
        while (pos < lines.size()) {
            size_t eol = lines.find('\n', pos);
            long id = 0;
            unsigned long len = 0;
            unsigned salt = 0;
            ASSERT_EQ(3, std::sscanf(lines.substr(pos, eol - pos).c_str(), "%ld %lu %u", &id,
                                     &len, &salt));
            EXPECT_EQ(patternText(len, salt), env.read(id)) << "entry at block " << id;
            runs.push_back({id, id + (long)((len + 8 + 63) / 64)});
            pos = eol + 1;
        }
    }
    ASSERT_EQ(120u, runs.size());
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.first < b.first; });
    EXPECT_GE(runs.front().first, 8);
    for (size_t i = 1; i < runs.size(); i++)
        EXPECT_LE(runs[i - 1].end, runs[i].first)
            << "blocks " << runs[i - 1].first << " and " << runs[i].first << " overlap";
}

// New blocks are taken only under the memo file lock: a writer in another
// process waits while the lock is held and takes nothing meanwhile.
TEST(MemoFileConcurrency, AllocationWaitsForTheMemoFileLock)
{
    TempDir dir;
    const std::string path = dir.file("LOCKED.FPT");
    MemoEnv holder;
    ASSERT_EQ(0, holder.create(path));
    ASSERT_EQ(0, holder.open(path));
    ASSERT_EQ(0, memo4file_lock(&holder.memo));
    ASSERT_EQ(0, memo4file_lock(&holder.memo)) << "a held lock is taken again at once";

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        MemoEnv writer;
        long id = 0;
        _exit(writer.open(path) == 0 && writer.write(&id, "late") == 0 && id == 1 ? 0 : 1);
    }
    usleep(1500 * 1000);
    int status = 0;
    EXPECT_EQ(0, waitpid(pid, &status, WNOHANG)) << "the writer did not wait for the lock";
    EXPECT_EQ(1u, be32(testutil::readFile(path), 0));
    ASSERT_EQ(0, memo4file_unlock(&holder.memo));
    EXPECT_EQ(0, holder.memo.file_lock);
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("late", holder.read(1));
}

// Randomly damaged files: every read either fails or yields a text that lies
// inside the file, and a write either fails or stores a text that reads back.
TEST(MemoFileRead, SurvivesRandomlyDamagedFiles)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    TempDir dir;
    const std::string path = dir.file("D.FPT");
    MemoEnv env(64);
    ASSERT_EQ(0, env.create(path));
    ASSERT_EQ(0, env.open(path));
    std::vector<long> ids;
    for (unsigned i = 0; i < 12; i++) {
        long id = 0;
        ASSERT_EQ(0, env.write(&id, patternText(1 + rng() % 200, i)));
        ids.push_back(id);
    }
    env.close();
    const std::string good = testutil::readFile(path);

    for (int round = 0; round < 200; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string bad = good;
        for (unsigned n = 1 + rng() % 4; n > 0; n--) {
            // Header damage stays in the low bytes of next_block, so that no
            // write in this test reaches gigabyte offsets.
            size_t at = rng() % 4 == 0 ? 3 + rng() % 5 : 8 + rng() % (bad.size() - 8);
            bad[at] = (char)(rng() % 4 == 0 ? 0xFF : rng());
        }
        if (rng() % 5 == 0)
            bad.resize(rng() % bad.size());
        testutil::writeFile(path, bad);
        if (env.open(path) != 0)
            continue;
        for (long id : ids) {
            int rc = 0;
            std::string text = env.read(id, &rc);
            ASSERT_TRUE(rc == 0 || rc == -1) << rc;
            EXPECT_LE(text.size(), bad.size());
        }
        long id = ids[rng() % ids.size()];
        std::string text = patternText(1 + rng() % 300, (unsigned)round);
        if (env.write(&id, text) == 0) {
            EXPECT_EQ(text, env.read(id));
        }
        env.close();
    }
}

} // namespace

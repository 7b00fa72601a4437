// Resource files by handle: exact bytes against a hand-made dump, sharing
// one open file, dormant streams, the search path, creation and tracing.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "tests/rscmgr/rsctest.h"

using testutil::TempDir;

namespace {

// Hex text to bytes; blanks and newlines are ignored.
std::string unhex(const char *text)
{
    std::string out;
    for (const char *p = text; *p != '\0';) {
        if (*p == ' ' || *p == '\n') {
            p++;
            continue;
        }
        out += (char)std::strtol(std::string(p, 2).c_str(), nullptr, 16);
        p += 2;
    }
    return out;
}

std::string zeros(size_t n) { return std::string(n, '\0'); }

const char kTinySource[] = "form plain\n"
                           "ident \"T\"\n"
                           "version 7\n"
                           "data rtCf -1 alias CFG\n"
                           "word 0x01020304\n"
                           "text \"ab\"\n"
                           "end\n";

} // namespace

TEST(ResourceFileBytes, GeneratedFileMatchesHandWrittenDump)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string path = rsctest::make(d, "tiny", kTinySource);
    // Written from the layout tables: header, one type, one id entry, data.
    std::string want = unhex("54 1a") + zeros(62) +
                       unhex("00040000 07000000 6c694672 54010000 01000000 00000000 00000000") +
                       zeros(340 - 92) +
                       unhex("00000000 66437472 01000000 6c010000 01000000 00000000") +
                       unhex("00000000 ffffffff 8c010000 06000000 43464700") + zeros(12) +
                       unhex("04030201 6162 0000");
    EXPECT_EQ(testutil::hex(want), testutil::hex(testutil::readFile(path)));

    uint32_t h = rsctest::open(path);
    EXPECT_EQ(std::string("\x04\x03\x02\x01" "ab", 6), rsctest::loadBytes(h, RSC_TYPE_RTCONFIG, -1));
    int32_t id = 0, n = 0;
    EXPECT_EQ(0, qtkResource_queryClassByAlias(&id, h, RSC_TYPE_RTCONFIG, RSC_QC_ID, &n, "CFG"));
    EXPECT_EQ(-1, id);
}

TEST(ResourceFileBytes, CreatedFileIsTheBareHeader)
{
    TempDir d;
    ASSERT_EQ(0, qtkResource_createFile(d.file("a.rsc").c_str(), "My ident", 3));
    std::string want = std::string("My ident") + '\x1a' + zeros(55) +
                       unhex("00050000 03000000 356c4672 00000000 00000000 0a000000 01000000") +
                       unhex("01000000 02000000 04000000 04000000 04000000 08000000") + zeros(12) +
                       zeros(212);
    EXPECT_EQ(testutil::hex(want), testutil::hex(testutil::readFile(d.file("a.rsc"))));

    ASSERT_EQ(0, qtkResource_createFileForPlatform(d.file("b.rsc").c_str(), nullptr, -2, 0));
    std::string b = testutil::readFile(d.file("b.rsc"));
    ASSERT_EQ(340u, b.size());
    EXPECT_EQ(std::string(RSC_STANDARD_ID) + '\x1a', b.substr(0, sizeof RSC_STANDARD_ID));
    EXPECT_EQ(unhex("00040000 feffffff 6c694672"), b.substr(64, 12));
    EXPECT_EQ(zeros(340 - 76), b.substr(76));

    // An ident longer than 63 characters is cut so that 0x1A still fits.
    ASSERT_EQ(0, qtkResource_createFile(d.file("c.rsc").c_str(), std::string(80, 'x').c_str(), 0));
    EXPECT_EQ(std::string(63, 'x') + '\x1a', testutil::readFile(d.file("c.rsc")).substr(0, 64));

    EXPECT_EQ(RSC_ERR_NO_PLATFORM, qtkResource_createFileForPlatform(d.file("e.rsc").c_str(), nullptr, 0, 8));
    EXPECT_FALSE(testutil::fileExists(d.file("e.rsc")));
}

TEST(ResourceFileOpen, CreatedFileOpensEmptyAndCannotBeCreatedWhileOpen)
{
    rsctest::ManagerGuard g;
    TempDir d;
    ASSERT_EQ(0, qtkResource_createFile(d.file("a.rsc").c_str(), nullptr, 1));
    EXPECT_EQ(1, qtkResource_isResourceFile(d.file("a.rsc").c_str()));
    uint32_t h = rsctest::open(d.file("a.rsc"));
    EXPECT_EQ(RSC_ERR_ALREADY_OPEN, qtkResource_createFile(d.file("a.rsc").c_str(), nullptr, 1));
    EXPECT_EQ(nullptr, qtkResource_load(h, RSC_TYPE_STRLIST, 1));
    EXPECT_EQ(RSC_ERR_NO_TYPE, qtkErrno);
}

TEST(ResourceFileOpen, RefusesMissingFilesAndBadSignatures)
{
    rsctest::ManagerGuard g;
    TempDir d;
    uint32_t h = 99;
    EXPECT_EQ(RSC_ERR_FILE, qtkResource_openFile(&h, d.file("none.rsc").c_str(), 0));
    EXPECT_EQ(0u, h);
    EXPECT_EQ(RSC_ERR_NO_FILE, qtkResource_openFile(&h, nullptr, 0));
    EXPECT_EQ(0, qtkResource_isResourceFile(d.file("none.rsc").c_str()));

    std::string path = rsctest::make(d, "tiny", kTinySource);
    std::string bytes = testutil::readFile(path);
    bytes[72] = 'X';
    testutil::writeFile(path, bytes);
    EXPECT_EQ(RSC_ERR_FILE, qtkResource_openFile(&h, path.c_str(), 0));
    EXPECT_EQ(0, qtkResource_isResourceFile(path.c_str()));
    EXPECT_EQ(0, rscStats.numFileHandles);
}

TEST(ResourceFileHandles, SameFileTwiceSharesOneHandleUntilTheSecondClose)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string path = rsctest::make(d, "tiny", kTinySource);
    uint32_t a = rsctest::open(path);
    uint32_t b = rsctest::open(path);
    EXPECT_EQ(a, b);
    EXPECT_EQ(1, rscStats.numFilesOpen);
    EXPECT_EQ(1, rscStats.numFileHandles);

    // Listed twice, still one file when counting through handle 0.
    int32_t count = 0;
    EXPECT_EQ(0, qtkResource_queryClass(&count, 0, RSC_TYPE_RTCONFIG, RSC_QC_COUNT, nullptr));
    EXPECT_EQ(1, count);

    EXPECT_EQ(0, qtkResource_closeFile(a));
    EXPECT_EQ(6u, rsctest::loadBytes(a, RSC_TYPE_RTCONFIG, -1).size());
    EXPECT_EQ(0, qtkResource_closeFile(a));
    EXPECT_EQ(nullptr, qtkResource_load(a, RSC_TYPE_RTCONFIG, -1));
    EXPECT_EQ(RSC_ERR_BAD_HANDLE, qtkErrno);
    EXPECT_EQ(0, qtkResource_closeFile(a));     // ignored
    EXPECT_EQ(nullptr, qtkResource_getFilePointer(a));
}

TEST(ResourceFileHandles, ThirteenFilesTakeTurnsBeingDormant)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::vector<uint32_t> h;
    for (int i = 0; i < 13; i++) {
        std::string src = "data rtCf " + std::to_string(i) + "\nword " + std::to_string(i) + "\nend\n";
        h.push_back(rsctest::open(rsctest::make(d, "f" + std::to_string(i), src)));
    }
    ASSERT_EQ(13u, h.size());
    EXPECT_EQ(FH_DORMANT, rmgr_streamState(h[0]));
    for (int i = 1; i < 13; i++)
        EXPECT_EQ(FH_ACTIVE, rmgr_streamState(h[i]));

    // Each use of a dormant file reopens it and puts the next one to sleep.
    for (int i = 0; i < 13; i++) {
        std::string word = rsctest::loadBytes(h[i], RSC_TYPE_RTCONFIG, i);
        ASSERT_EQ(4u, word.size());
        EXPECT_EQ(i, word[0]);
        EXPECT_EQ(FH_ACTIVE, rmgr_streamState(h[i]));
        EXPECT_EQ(FH_DORMANT, rmgr_streamState(h[(i + 1) % 13])) << i;
    }
    // The stream of the first file is handed out again on request.
    EXPECT_EQ(FH_DORMANT, rmgr_streamState(h[0]));
    EXPECT_NE(nullptr, qtkResource_getFilePointer(h[0]));
    EXPECT_EQ(FH_ACTIVE, rmgr_streamState(h[0]));
    EXPECT_EQ(FH_DORMANT, rmgr_streamState(h[1]));
}

TEST(ResourceFileHandles, LockedStreamsAreNeverPutToSleep)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::vector<uint32_t> h;
    for (int i = 0; i < 12; i++) {
        h.push_back(rsctest::open(rsctest::make(d, "f" + std::to_string(i), "data rtCf 1\nword 1\nend\n")));
        EXPECT_EQ(0, qtkResource_lockRscFileHandle(h.back()));
        EXPECT_EQ(FH_LOCKED, rmgr_streamState(h.back()));
    }
    uint32_t extra = 0;
    std::string last = rsctest::make(d, "extra", "data rtCf 1\nword 1\nend\n");
    EXPECT_EQ(RSC_ERR_BAD_HANDLE, qtkResource_openFile(&extra, last.c_str(), 0));
    EXPECT_EQ(12, rscStats.numFileHandles);
    qtkResource_closeFile(h[5]);
    EXPECT_EQ(0, qtkResource_openFile(&extra, last.c_str(), 0));
    EXPECT_EQ(4u, rsctest::loadBytes(extra, RSC_TYPE_RTCONFIG, 1).size());
}

TEST(ResourceFileSearch, NameIsFoundAlongTheResourcePath)
{
    rsctest::ManagerGuard g;
    TempDir d, elsewhere;
    std::string path = rsctest::make(d, "tiny", kTinySource);
    testutil::ScopedCwd cwd(elsewhere.path);
    uint32_t h = 0;
    {
        testutil::ScopedEnv env("VX_RSRCPATH", "", true);
        EXPECT_EQ(RSC_ERR_FILE, qtkResource_openFile(&h, "tiny.rsc", 0));
    }
    testutil::ScopedEnv env("VX_RSRCPATH", "/nonexistent:" + d.path);
    ASSERT_EQ(0, qtkResource_openFile(&h, "tiny.rsc", 0));
    void *p = qtkResource_load(h, RSC_TYPE_RTCONFIG, -1);
    ASSERT_NE(nullptr, p);
    const char *name = nullptr;
    EXPECT_EQ(0, qtkResource_query(&name, p, RSC_Q_FILENAME));
    EXPECT_EQ(path, name);
    qtkResource_free(p);
}

TEST(ResourceFileOpen, UpdateOfAReadOnlyFileIsRefused)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: file permissions do not refuse writing";
    rsctest::ManagerGuard g;
    TempDir d;
    std::string path = rsctest::make(d, "tiny", kTinySource);
    chmod(path.c_str(), 0444);
    uint32_t h = 0;
    EXPECT_EQ(RSC_ERR_NOT_WRITABLE, qtkResource_openFile(&h, path.c_str(), RSC_OPEN_UPDATE));
    ASSERT_EQ(0, qtkResource_openFile(&h, path.c_str(), 0));
    EXPECT_EQ(RSC_ERR_NOT_WRITABLE, qtkResource_openFile(&h, path.c_str(), RSC_OPEN_UPDATE));
}

TEST(ResourceFileDebug, FlagsOutsideTheirRangeAreRefused)
{
    rsctest::ManagerGuard g;
    TempDir d;
    for (const char *bad : {"321", "-1", "abc", "", "5x"})
        EXPECT_EQ(RSC_ERR_BAD_ARGUMENT, qtkResource_setDebugFlag(bad)) << bad;
    EXPECT_EQ(RSC_ERR_BAD_ARGUMENT, qtkResource_setDebugFlag(nullptr));
    ASSERT_EQ(0, qtkResource_setDebugFlag("320"));
    ASSERT_EQ(0, qtkResource_setDebugFlag("320"));

    uint32_t h = rsctest::open(rsctest::make(d, "tiny", kTinySource));
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, qtkResource_setDebugFlag("5"));
    rsctest::loadBytes(h, RSC_TYPE_RTCONFIG, -1);
    ASSERT_EQ(0, qtkResource_setDebugFlag("5"));
    rsctest::loadBytes(h, RSC_TYPE_RTCONFIG, -1);
    ASSERT_EQ(0, qtkResource_setDebugFlag("0"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("DBG5 - load               - fH =   1, t = 0x72744366, id = -1, alias = (NULL)\n"))
        << out;
    EXPECT_EQ(out.find("DBG5"), out.rfind("DBG5")) << "flag 5 was switched off again";
    EXPECT_NE(std::string::npos, out.find(" 1 - FH_ACTIVE     - (r+b) - #=01 - (")) << out;
}

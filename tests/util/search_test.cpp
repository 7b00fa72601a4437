// Tests of the file search along environment-variable paths, the open-file
// slot table, the environment hooks, and failures of the platform layer
// surfacing as the callers' error results.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/testutil.h"
#include "util/findfile.h"

namespace {

using testutil::ScopedCwd;
using testutil::ScopedEnv;
using testutil::TempDir;

// The real directory of a temporary directory (getcwd answers with it).
std::string realDir(const TempDir &t)
{
    char *r = realpath(t.path.c_str(), nullptr);
    std::string s = r != nullptr ? r : t.path;
    std::free(r);
    return s;
}

void makeDir(const std::string &path) { ASSERT_EQ(0, mkdir(path.c_str(), 0777)) << path; }

struct Found {
    int rc;
    std::string name;
};

Found find(const char *inname, const char *envvar, const char *iext = "", int option = 0)
{
    std::vector<char> out(UTIL_MAX_PATH + 1, 'x');
    int rc = util_findFile(nullptr, out.data(), inname, envvar, iext, option);
    return {rc, out.data()};
}

// Restores the whole system-call table when a test ends.
struct ScopedPlatform {
    ~ScopedPlatform() { platformG = platformDefaultCalls; }
};

TEST(FileSearchOrder, PlainFindTriesCurrentDirectoryFirst)
{
    TempDir t;
    std::string root = realDir(t);
    makeDir(root + "/a");
    testutil::writeFile(root + "/f.rsc", "cwd");
    testutil::writeFile(root + "/a/f.rsc", "a");
    ScopedCwd cwd(root);
    ScopedEnv env("CS_TEST_PATH", root + "/a");

    Found f = find("f.rsc", "CS_TEST_PATH");
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/f.rsc", f.name);

    std::remove((root + "/f.rsc").c_str());
    f = find("f.rsc", "CS_TEST_PATH");
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/a/f.rsc", f.name);

    std::remove((root + "/a/f.rsc").c_str());
    f = find("f.rsc", "CS_TEST_PATH");
    EXPECT_EQ(-1, f.rc);
    EXPECT_EQ(root + "/a/f.rsc", f.name);
}

TEST(FileSearchOrder, LogicalNameTriesItsDirectoriesThenListThenCurrent)
{
    TempDir t;
    std::string root = realDir(t);
    makeDir(root + "/x");
    makeDir(root + "/v");
    for (const char *d : {"/x/", "/v/", "/"})
        testutil::writeFile(root + d + "f.rsc", d);
    ScopedCwd cwd(root);
    ScopedEnv x("CSLOGICAL", root + "/x");
    ScopedEnv v("CS_TEST_PATH", root + "/v");

    // The logical name is looked up in upper case.
    Found f = find("cslogical:f.rsc", "CS_TEST_PATH");
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/x/f.rsc", f.name);

    std::remove((root + "/x/f.rsc").c_str());
    EXPECT_EQ(root + "/v/f.rsc", find("CSLOGICAL:f.rsc", "CS_TEST_PATH").name);

    std::remove((root + "/v/f.rsc").c_str());
    f = find("CSLOGICAL:f.rsc", "CS_TEST_PATH");
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/f.rsc", f.name);

    // Without a defined variable before it, ':' is part of the name.
    testutil::writeFile(root + "/nosuch:f.rsc", "");
    EXPECT_EQ(root + "/nosuch:f.rsc", find("nosuch:f.rsc", "CS_TEST_PATH").name);
}

TEST(FileSearchOrder, OpenLooksAlongVariablesFirstUnlessBit8)
{
    TempDir t;
    std::string root = realDir(t);
    makeDir(root + "/v");
    testutil::writeFile(root + "/f.rsc", "cwd");
    testutil::writeFile(root + "/v/f.rsc", "v");
    ScopedCwd cwd(root);
    ScopedEnv v("CS_TEST_PATH", root + "/v");

    EXPECT_EQ(root + "/v/f.rsc", find("f.rsc", "CS_TEST_PATH", "", UTIL_OPT_OPEN_UPDATE).name);
    EXPECT_EQ(root + "/f.rsc",
              find("f.rsc", "CS_TEST_PATH", "", UTIL_OPT_OPEN_UPDATE | UTIL_OPT_CWD_ORDER).name);
    // Bit 8 on a plain find sends it along the variables first.
    EXPECT_EQ(root + "/v/f.rsc", find("f.rsc", "CS_TEST_PATH", "", UTIL_OPT_CWD_ORDER).name);
}

TEST(FileSearchOrder, DefaultNameLendsItsNameAndExtensionNotItsDirectory)
{
    TempDir t;
    std::string root = realDir(t);
    for (const char *d : {"/other", "/v"})
        makeDir(root + d);
    for (const char *f : {"/f.rsc", "/other/f.rsc", "/v/f.rsc"})
        testutil::writeFile(root + f, f);
    ScopedCwd cwd(root);
    ScopedEnv v("CS_TEST_PATH", root + "/v");

    // The default name has a directory of its own; the current directory is
    // still the current directory, whichever end of the search it takes.
    const struct {
        const char *name, *iext;
        int option;
        const char *want;
    } cases[] = {
        {"f", "other/x.rsc", 0, "/f.rsc"},
        {"", "other/f.rsc", 0, "/f.rsc"},
        {"f", "/nowhere/x.rsc", 0, "/f.rsc"},
        {"f", "other/x.rsc", UTIL_OPT_CWD_ORDER, "/v/f.rsc"},
        {"f", "other/x.rsc", UTIL_OPT_OPEN_UPDATE | UTIL_OPT_CWD_ORDER, "/f.rsc"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " with " + c.iext);
        Found f = find(c.name, "CS_TEST_PATH", c.iext, c.option);
        EXPECT_EQ(0, f.rc);
        EXPECT_EQ(root + c.want, f.name);
    }
    // Tried last, the current directory also ignores the default's directory.
    std::remove((root + "/v/f.rsc").c_str());
    Found f = find("f", "CS_TEST_PATH", "other/x.rsc", UTIL_OPT_OPEN_UPDATE);
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/f.rsc", f.name);
}

TEST(FileSearchLists, VariablesAndEntries)
{
    TempDir t;
    std::string root = realDir(t);
    for (const char *d : {"/a", "/b", "/c", "/CS_UNSET_VAR", "/CS_EMPTY_VAR"})
        makeDir(root + d);
    ScopedCwd cwd(root);
    ScopedEnv unset("CS_UNSET_VAR", "", true);
    ScopedEnv empty("CS_EMPTY_VAR", "");
    // Entries separated by ';' or ':', relative to the current directory,
    // with or without a trailing '/', empty ones skipped.
    ScopedEnv list("CS_TEST_PATH", "a::b/;" + root + "/c;");

    testutil::writeFile(root + "/c/in_c.rsc", "");
    EXPECT_EQ(root + "/c/in_c.rsc", find("in_c.rsc", "CS_TEST_PATH").name);
    testutil::writeFile(root + "/b/in_b.rsc", "");
    EXPECT_EQ(root + "/b/in_b.rsc", find("in_b.rsc", "CS_TEST_PATH").name);

    // An unset or empty variable stands for a directory of its own name.
    testutil::writeFile(root + "/CS_UNSET_VAR/u.rsc", "");
    Found f = find("u.rsc", "CS_TEST_PATH;CS_UNSET_VAR");
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/CS_UNSET_VAR/u.rsc", f.name);
    testutil::writeFile(root + "/CS_EMPTY_VAR/e.rsc", "");
    EXPECT_EQ(root + "/CS_EMPTY_VAR/e.rsc", find("e.rsc", "CS_EMPTY_VAR:CS_TEST_PATH").name);

    // No list at all: the current directory alone, then failure.
    EXPECT_EQ(UTIL_FAILURE, find("missing.rsc", nullptr).rc);
    EXPECT_EQ(UTIL_FAILURE, find("missing.rsc", "").rc);
    testutil::writeFile(root + "/here.rsc", "");
    EXPECT_EQ(0, find("here.rsc", nullptr).rc);
}

TEST(FileSearchPieces, DefaultsNamesAndDirectories)
{
    TempDir t;
    std::string root = realDir(t);
    makeDir(root + "/a");
    makeDir(root + "/sub");
    testutil::writeFile(root + "/a/f.rsc", "");
    testutil::writeFile(root + "/a/f.dat", "");
    testutil::writeFile(root + "/sub/g.rsc", "");
    ScopedCwd cwd(root);
    ScopedEnv v("CS_TEST_PATH", "a");

    // Missing pieces come from the default name.
    EXPECT_EQ(root + "/a/f.rsc", find("f", "CS_TEST_PATH", ".rsc").name);
    EXPECT_EQ(root + "/a/f.dat", find("f.dat", "CS_TEST_PATH", ".rsc").name);
    EXPECT_EQ(root + "/a/f.rsc", find("", "CS_TEST_PATH", "f.rsc").name);
    // A name with a directory is taken as it is, relative to the current one.
    EXPECT_EQ(root + "/sub/g.rsc", find("sub/g", "CS_TEST_PATH", ".rsc").name);
    EXPECT_EQ(0, find((root + "/sub/g.rsc").c_str(), "CS_TEST_PATH").rc);
    EXPECT_EQ(-1, find("a/g.rsc", "CS_TEST_PATH").rc);
    // Nothing to look for.
    EXPECT_EQ(UTIL_FAILURE, find("", "CS_TEST_PATH", "").rc);
    EXPECT_EQ(UTIL_FAILURE, find(nullptr, "CS_TEST_PATH", nullptr).rc);
    // A directory of the wanted name is not a file.
    makeDir(root + "/a/d.rsc");
    EXPECT_EQ(-1, find("d.rsc", "CS_TEST_PATH").rc);
    EXPECT_EQ(0, util_access((root + "/a/d.rsc").c_str(), 0));
    EXPECT_EQ(-1, util_access((root + "/a/d.rsc").c_str(), 4));
    EXPECT_EQ(0, util_access("a/f.rsc", 2 | 4));
    EXPECT_EQ(-1, util_access("a/none.rsc", 0));
    // The final component matches whatever its case on disk.
    testutil::writeFile(root + "/a/UPPER.RSC", "");
    Found f = find("upper.rsc", "CS_TEST_PATH");
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/a/UPPER.RSC", f.name);
}

TEST(FileSearchPieces, NameEndingInADotIsSearchedAsItselfNeverAsAnother)
{
    TempDir t;
    std::string root = realDir(t);
    makeDir(root + "/sub");
    testutil::writeFile(root + "/data", "6bytes");
    ScopedCwd cwd(root);
    ScopedEnv v("CS_TEST_PATH", root);

    const struct {
        const char *name, *iext;
        int option, rc;
        const char *last;
    } cases[] = {
        // A find with a handle opens for reading: 5 when nothing opens.
        {"data", "", 0, 0, "/data"},
        {"data.", "", 0, UTIL_OPEN_FAILED, "/data."},
        {"data.", ".rsc", 0, UTIL_OPEN_FAILED, "/data."},  // its empty extension is its own
        {"a.b.", "", 0, UTIL_OPEN_FAILED, "/a.b."},
        {".", "", 0, UTIL_OPEN_FAILED, "/."},
        {"..", "", 0, UTIL_OPEN_FAILED, "/.."},
        {"sub/..", "", 0, UTIL_OPEN_FAILED, "/sub/.."},
        {"data.", "", UTIL_OPT_OPEN_UPDATE, UTIL_OPEN_FAILED, "/data."},
        {"sub/..", "", UTIL_OPT_CREATE, -1, "/sub/.."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " option " + std::to_string(c.option));
        short h = 9;
        std::vector<char> out(UTIL_MAX_PATH + 1, 'x');
        EXPECT_EQ(c.rc, util_findFile(&h, out.data(), c.name, "CS_TEST_PATH", c.iext, c.option));
        EXPECT_EQ(root + c.last, std::string(out.data()));
        if (h >= 0)
            close_file(h);
    }
    // Creating "data." makes that file and leaves "data" whole.
    short h = -1;
    EXPECT_EQ(0, util_findFile(&h, nullptr, "data.", "CS_TEST_PATH", "", UTIL_OPT_CREATE));
    ASSERT_GE(h, 0);
    close_file(h);
    EXPECT_EQ(0, testutil::fileSize(root + "/data."));
    EXPECT_EQ("6bytes", testutil::readFile(root + "/data"));
}

TEST(FileSearchPieces, CandidateTooLongForItsBufferIsNotFound)
{
    TempDir t;
    std::string root = realDir(t);
    ScopedCwd cwd(root);
    // A name of 256 characters must not be cut to the 255 that exist.
    std::string name255(255, 'n');
    testutil::writeFile(root + "/" + name255, "");
    EXPECT_EQ(0, find(name255.c_str(), nullptr).rc);
    Found f = find((name255 + "n").c_str(), nullptr);
    EXPECT_EQ(UTIL_FAILURE, f.rc);
    EXPECT_EQ(root + "/" + name255 + "n", f.name);
    EXPECT_EQ(-1, find((name255 + "n").c_str(), "CS_NO_DIR_CS").rc);

    // A directory entry that makes the candidate longer than a path may be.
    std::string deep = "/" + std::string(UTIL_MAX_PATH - 6, 'd');
    ScopedEnv v("CS_TEST_PATH", deep);
    short h = 7;
    std::vector<char> out(UTIL_MAX_PATH + 1, 'x');
    EXPECT_EQ(UTIL_OPEN_FAILED,
              util_findFile(&h, out.data(), "abcdef.rsc", "CS_TEST_PATH", "", UTIL_OPT_OPEN_UPDATE));
    EXPECT_EQ(-1, h);
    // It is not in the current directory either: that was the last candidate.
    EXPECT_EQ(root + "/abcdef.rsc", std::string(out.data()));
}

TEST(FileSearchOpen, OpensReadsOnlyCreatesAndTests)
{
    TempDir t;
    std::string root = realDir(t);
    makeDir(root + "/v");
    testutil::writeFile(root + "/v/f.rsc", "contents");
    ScopedCwd cwd(root);
    ScopedEnv v("CS_TEST_PATH", root + "/v");
    ScopedPlatform restore;

    short h = -5;
    EXPECT_EQ(0, util_findFile(&h, nullptr, "f.rsc", "CS_TEST_PATH", "", UTIL_OPT_OPEN_UPDATE));
    ASSERT_GE(h, 0);
    FILE *fp = handle_to_file(h);
    ASSERT_NE(nullptr, fp);
    char buf[9] = {};
    EXPECT_EQ(8u, std::fread(buf, 1, 8, fp));
    EXPECT_STREQ("contents", buf);
    close_file(h);

    // Writing refused: bit 4 falls back to reading and says so.
    platformG.open = [](const char *path, int flags, unsigned mode) {
        if ((flags & O_ACCMODE) != O_RDONLY) {
            errno = EACCES;
            return -1;
        }
        return platformDefaultCalls.open(path, flags, mode);
    };
    EXPECT_EQ(UTIL_OPEN_FAILED, util_findFile(&h, nullptr, "f.rsc", "CS_TEST_PATH", "", UTIL_OPT_OPEN_UPDATE));
    EXPECT_EQ(-1, h);
    EXPECT_EQ(UTIL_READ_ONLY, util_findFile(&h, nullptr, "f.rsc", "CS_TEST_PATH", "", UTIL_OPT_OPEN_ANY));
    ASSERT_GE(h, 0);
    close_file(h);
    // Without a handle the test leaves nothing open.
    EXPECT_EQ(UTIL_READ_ONLY, util_findFile(nullptr, nullptr, "f.rsc", "CS_TEST_PATH", "", UTIL_OPT_OPEN_ANY));
    platformG = platformDefaultCalls;

    // Create: along the variables first; the handle is a new, empty file.
    EXPECT_EQ(0, util_findFile(&h, nullptr, "new.rsc", "CS_TEST_PATH", "", UTIL_OPT_CREATE));
    ASSERT_GE(h, 0);
    close_file(h);
    EXPECT_TRUE(testutil::fileExists(root + "/v/new.rsc"));
    // A test whether a file can be created leaves the disk as it was, and
    // above all never empties an existing file.
    EXPECT_EQ(0, util_findFile(nullptr, nullptr, "probe.rsc", "CS_TEST_PATH", "", UTIL_OPT_CREATE));
    EXPECT_FALSE(testutil::fileExists(root + "/v/probe.rsc"));
    EXPECT_EQ(0, util_findFile(nullptr, nullptr, "f.rsc", "CS_TEST_PATH", "", UTIL_OPT_CREATE));
    EXPECT_EQ("contents", testutil::readFile(root + "/v/f.rsc"));
    // Bit 0x20: the candidate counts without touching the disk.
    std::vector<char> out(UTIL_MAX_PATH + 1);
    EXPECT_EQ(0, util_findFile(&h, out.data(), "ghost.rsc", "CS_TEST_PATH", "",
                               UTIL_OPT_CREATE | UTIL_OPT_NO_TOUCH));
    EXPECT_EQ(-1, h);
    EXPECT_EQ(root + "/v/ghost.rsc", std::string(out.data()));
    EXPECT_FALSE(testutil::fileExists(root + "/v/ghost.rsc"));
    // Cannot create anywhere.
    EXPECT_EQ(-1, util_findFile(&h, nullptr, (root + "/no/such/x.rsc").c_str(), "CS_TEST_PATH", "",
                                UTIL_OPT_CREATE));
    EXPECT_EQ(-1, h);

    // A find with a handle opens for reading; a missing file is an open failure.
    EXPECT_EQ(0, util_findFile(&h, nullptr, "f.rsc", "CS_TEST_PATH", "", 0));
    ASSERT_GE(h, 0);
    close_file(h);
    EXPECT_EQ(UTIL_OPEN_FAILED, util_findFile(&h, nullptr, "nope.rsc", "CS_TEST_PATH", "", 0));
    EXPECT_EQ(-1, h);
}

TEST(FileSearchFailures, PlatformFailuresSurfaceAsResults)
{
    TempDir t;
    std::string root = realDir(t);
    testutil::writeFile(root + "/f.rsc", "x");
    ScopedCwd cwd(root);
    ScopedPlatform restore;

    platformG.getcwd = [](char *, size_t) -> char * {
        errno = EACCES;
        return nullptr;
    };
    short h = 3;
    std::vector<char> out(UTIL_MAX_PATH + 1, 'x');
    EXPECT_EQ(UTIL_FAILURE, util_findFile(&h, out.data(), "f.rsc", nullptr, "", 0));
    EXPECT_EQ(-1, h);
    EXPECT_STREQ("", out.data());
    platformG = platformDefaultCalls;

    platformG.open = [](const char *, int, unsigned) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(UTIL_OPEN_FAILED, open_file("f.rsc", 0, &h));
    EXPECT_EQ(-1, create_file("g.rsc", &h));
    EXPECT_EQ(UTIL_OPEN_FAILED, util_findFile(&h, nullptr, "f.rsc", nullptr, "", UTIL_OPT_OPEN_UPDATE));
    EXPECT_EQ(-1, util_findFile(&h, nullptr, "f.rsc", nullptr, "", UTIL_OPT_CREATE));
    EXPECT_EQ(-1, h);
    platformG = platformDefaultCalls;

    uint64_t space = 0;
    EXPECT_EQ(0, util_getDiskFree(&space, 0));
    EXPECT_GT(space, 0u);
    EXPECT_EQ(UTIL_FAILURE, util_getDiskFree(&space, 3));
    platformG.statvfs = [](const char *, uint64_t *) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(UTIL_FAILURE, util_getDiskFree(&space, 0));
}

TEST(OpenFileSlots, FifteenSlotsThenMinusOne)
{
    TempDir t;
    testutil::writeFile(t.file("f"), "abc");
    std::vector<short> handles;
    for (int i = 0; i < UTIL_MAX_OPEN_FILES; i++) {
        short h = -1;
        ASSERT_EQ(0, open_file(t.file("f").c_str(), i % 2, &h)) << i;
        handles.push_back(h);
    }
    short h = -1;
    EXPECT_EQ(-1, open_file(t.file("f").c_str(), 0, &h));
    EXPECT_EQ(-1, create_file(t.file("g").c_str(), &h));
    EXPECT_EQ(-1, util_findFile(&h, nullptr, t.file("f").c_str(), nullptr, "", UTIL_OPT_OPEN_UPDATE));

    // Handles and streams map to each other; a freed slot is handed out again.
    for (short s : handles) {
        FILE *fp = handle_to_file(s);
        ASSERT_NE(nullptr, fp);
        EXPECT_EQ(s, file_to_handle(fp));
    }
    short reused = handles[4];
    EXPECT_EQ(0, close_file(reused));
    EXPECT_EQ(nullptr, handle_to_file(reused));
    ASSERT_EQ(0, create_file(t.file("g").c_str(), &h));
    EXPECT_EQ(reused, h);
    handles[4] = h;
    for (short s : handles)
        EXPECT_EQ(0, close_file(s));

    // Invalid handles are harmless.
    EXPECT_EQ(0, close_file(-1));
    EXPECT_EQ(0, close_file(UTIL_MAX_OPEN_FILES));
    EXPECT_EQ(nullptr, handle_to_file(3));
    EXPECT_EQ(-1, file_to_handle(nullptr));
    EXPECT_EQ(-1, file_to_handle(stdout));
    EXPECT_EQ(UTIL_OPEN_FAILED, open_file(t.file("missing").c_str(), 0, &h));
    EXPECT_EQ(-1, create_file(t.file("no/such/dir").c_str(), &h));
}

// Hooks installed for one test and removed afterwards.
struct ScopedHooks {
    ~ScopedHooks()
    {
        util_setEnvFunc(nullptr);
        util_setDynEnvFunc(nullptr);
        util_setFreeDynEnvFunc(nullptr);
    }
};

int freedCount = 0;
std::string hookDir;

TEST(FileSearchEnvironment, HooksReplaceTheProcessEnvironment)
{
    TempDir t;
    std::string root = realDir(t);
    makeDir(root + "/h");
    testutil::writeFile(root + "/h/f.rsc", "");
    ScopedCwd cwd(root);
    ScopedEnv unset("CSHOOKED", "", true);
    ScopedHooks hooks;
    hookDir = root + "/h";
    freedCount = 0;

    // The plain lookup copies and cuts the value.
    ScopedEnv v("CS_VALUE", "abcdef");
    char small[4] = "zzz";
    EXPECT_EQ(0, findfile_getenv(small, "CS_VALUE", 4));
    EXPECT_STREQ("abc", small);
    EXPECT_EQ(UTIL_FAILURE, findfile_getenv(small, "CSHOOKED", 4));
    EXPECT_EQ(nullptr, findfile_dynGetenv("CSHOOKED"));

    util_setEnvFunc([](char *, const char *name, int) { return std::strcmp(name, "CSHOOKED") == 0 ? 0 : 0x8000; });
    util_setDynEnvFunc([](const char *name) -> char * {
        return std::strcmp(name, "CSHOOKED") == 0 ? strdup(hookDir.c_str()) : nullptr;
    });
    EXPECT_EQ(0, findfile_getenv(nullptr, "CSHOOKED", 0));
    EXPECT_EQ(UTIL_FAILURE, findfile_getenv(nullptr, "CS_VALUE", 0));

    // Without the free hook nothing is released through it.
    char *p = findfile_dynGetenv("CSHOOKED");
    ASSERT_NE(nullptr, p);
    findfile_freeDynEnv(p);
    EXPECT_EQ(0, freedCount);
    std::free(p);

    util_setFreeDynEnvFunc([](char *q) {
        freedCount++;
        std::free(q);
    });
    Found f = find("cshooked:f.rsc", nullptr);
    EXPECT_EQ(0, f.rc);
    EXPECT_EQ(root + "/h/f.rsc", f.name);
    EXPECT_EQ(1, freedCount);
}

} // namespace

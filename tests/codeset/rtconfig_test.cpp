// Runtime code-set configuration: which host file and which `rtCf`
// resource are used, what a well-formed configuration puts into csG, and
// that a malformed one (short, out of range, half a class section) leaves
// single-byte text and never reads past its bytes.
#include "codeset/codeset.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "rscmgr/rscmgr.h"
#include "tests/testutil.h"
#include "tests/tool/rscfixture.h"

namespace {

typedef std::vector<std::pair<uint32_t, uint32_t>> ranges;

std::string word(uint32_t v)
{
    std::string s;
    rscfixture::put32(s, v);
    return s;
}

std::string fixedPart(uint32_t loadHandler, uint32_t nPositions, uint32_t version = 0x01020304)
{
    return word(version) + word(loadHandler) + std::string("HANDLER\0", 8) + word(7) /*encoding*/ +
           word(0) /*direction*/ + word(1) /*convertShiftJIS*/ + word(nPositions);
}

std::string rangeSet(const ranges &r)
{
    std::string s = word((uint32_t)r.size());
    for (const auto &p : r)
        s += word(p.first) + word(p.second);
    return s;
}

std::string charClass(const std::string &members, const ranges &valid, const ranges &invalid)
{
    std::string s = word(members.empty() ? 0 : (uint32_t)members.size() + 1);
    if (!members.empty())
        s += members + '\0';
    while (s.size() % 4 != 0)
        s += '\x7f';    // padding is skipped, never read as data
    return s + rangeSet(valid) + rangeSet(invalid);
}

const ranges kLead = {{0x81, 0x9F}, {0xE0, 0xFC}};
const ranges kTrail = {{0x40, 0x7E}, {0x80, 0xFC}};

// Ten classes with member strings of lengths that need 0-3 padding bytes.
std::string tenClasses()
{
    std::string s;
    // 0: a string of its terminator only (length 1), which is not kept
    s += word(1) + std::string("\0\x7f\x7f\x7f", 4) + rangeSet({{0x20, 0x7E}}) + rangeSet({});
    s += charClass("", {{9, 13}}, {});                              // 1
    s += charClass("", {{0, 31}}, {{9, 9}});                        // 2
    s += charClass("0123456789", {}, {});                           // 3
    s += charClass("abcdefABCDEF0123456789", {}, {});               // 4
    s += charClass("", {{'a', 'z'}}, {});                           // 5
    s += charClass("", {{'A', 'Z'}}, {});                           // 6
    s += charClass("!?.,", {}, {});                                 // 7
    s += charClass("", {{0x8140, 0x9FFC}, {0xE040, 0xFCFC}}, {{0x8140, 0x8140}}); // 8
    s += charClass("xy", {}, {});                                   // 9
    return s;
}

std::string shiftJisLike() { return fixedPart(1, 2) + rangeSet(kLead) + rangeSet(kTrail); }

bool csgIsEmpty()
{
    static const codesetglobals zero = {};
    return std::memcmp(&csG, &zero, sizeof csG) == 0;
}

int applyBytes(const std::string &bytes, int *flag)
{
    // An exact-size heap copy, so that any read past the end is caught by
    // the address sanitizer.
    std::vector<unsigned char> copy(bytes.begin(), bytes.end());
    return codeSet_applyConfiguration(copy.empty() ? nullptr : copy.data(), (long)copy.size(),
                                      flag);
}

struct CodeSetReset {
    ~CodeSetReset() { codeSet_destroy(); }
};

} // namespace

// ---- Configuration bytes ----------------------------------------------------

TEST(CodeSetConfig, ShiftJisLikeConfigurationFillsTheRecord)
{
    CodeSetReset reset;
    int flag = -1;
    ASSERT_EQ(0, applyBytes(shiftJisLike() + tenClasses(), &flag));
    EXPECT_EQ(1, flag);
    EXPECT_EQ(0x01020304u, csG.version);
    EXPECT_EQ(7, csG.encodingScheme);
    EXPECT_EQ(1, csG.convertShiftJIS);
    ASSERT_EQ(2, csG.nMBRanges);
    ASSERT_EQ(2, csG.mbRangeSizesP[0]);
    EXPECT_EQ(0xE0, csG.rangesPP[0][1].start);
    EXPECT_EQ(0xFC, csG.rangesPP[1][1].end);

    const charclass &digits = csG.charClasses[3];
    ASSERT_NE(nullptr, digits.stringP);
    EXPECT_STREQ("0123456789", digits.stringP);
    // A one-byte string (its terminator only) is not kept.
    EXPECT_EQ(nullptr, csG.charClasses[0].stringP);
    EXPECT_EQ(1, csG.charClasses[0].nValidRanges);
    EXPECT_EQ(nullptr, csG.charClasses[1].stringP);
    EXPECT_EQ(1, csG.charClasses[1].nValidRanges);
    EXPECT_EQ(1, csG.charClasses[2].nInvalidRanges);
    EXPECT_EQ(2, csG.charClasses[8].nValidRanges);
    EXPECT_EQ(0x8140, csG.charClasses[8].invalidRangesP[0].start);
    EXPECT_STREQ("xy", csG.charClasses[9].stringP);

    // The code-set functions then see two-byte characters.
    const char sjis[] = {(char)0x81, 0x5C, 0};
    EXPECT_EQ(2, codeSet_getCharacterNBytes(sjis));
}

TEST(CodeSetConfig, HandlerOffReadsNothingAfterTheFixedPart)
{
    CodeSetReset reset;
    int flag = -1;
    // What follows would be refused if it were read.
    ASSERT_EQ(0, applyBytes(fixedPart(0, 2) + word(0xFFFFFFFF) + "junk", &flag));
    EXPECT_EQ(0, flag);
    EXPECT_EQ(0, csG.nMBRanges);
    EXPECT_EQ(0x01020304u, csG.version);
    EXPECT_EQ(nullptr, csG.charClasses[3].stringP);
}

TEST(CodeSetConfig, MalformedConfigurationMeansSingleByteText)
{
    CodeSetReset reset;
    const struct {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"fixed part cut", shiftJisLike().substr(0, 31)},
        {"three byte positions", fixedPart(1, 3) + rangeSet(kLead) + rangeSet(kTrail) + rangeSet(kTrail)},
        {"negative positions", fixedPart(1, 0xFFFFFFFF)},
        {"range count past the end", fixedPart(1, 2) + word(3) + word(0x81) + word(0x9F)},
        {"range count that wraps when multiplied", fixedPart(1, 1) + word(0x20000001) + word(1) + word(2)},
        {"second position missing", fixedPart(1, 2) + rangeSet(kLead)},
        {"byte zero", fixedPart(1, 1) + rangeSet({{0, 0x7F}})},
        {"byte above 255", fixedPart(1, 1) + rangeSet({{0x81, 0x100}})},
        {"start after end", fixedPart(1, 1) + rangeSet({{0x9F, 0x81}})},
        {"negative byte", fixedPart(1, 1) + rangeSet({{0xFFFFFF81, 0x9F}})},
        {"one class only", shiftJisLike() + charClass("ab", {}, {})},
        {"stray bytes after ranges", shiftJisLike() + "xy"},
        {"class string past the end", shiftJisLike() + word(100) + "abc"},
        {"class string without terminator", shiftJisLike() + word(4) + "abcd" + rangeSet({}) + rangeSet({}) + tenClasses()},
        {"class range count past the end", shiftJisLike() + word(0) + word(1000) + word(1)},
    };
    for (const auto &c : cases) {
        int flag = -1;
        // A good configuration first: a bad one must also clear it.
        ASSERT_EQ(0, applyBytes(shiftJisLike(), nullptr));
        EXPECT_EQ(1, applyBytes(c.bytes, &flag)) << c.what;
        EXPECT_EQ(0, flag) << c.what;
        EXPECT_TRUE(csgIsEmpty()) << c.what;
    }
}

TEST(CodeSetConfig, ClassesAreTakenAllOrNone)
{
    CodeSetReset reset;
    const std::string ranges = shiftJisLike();
    const std::string full = ranges + tenClasses();
    // Every cut of the configuration: only the end of the range sets and the
    // end of the tenth class are places where a configuration may end.
    for (size_t len = 0; len <= full.size(); len++) {
        int flag = -1;
        int rc = applyBytes(full.substr(0, len), &flag);
        bool whole = len == ranges.size() || len == full.size();
        ASSERT_EQ(whole ? 0 : 1, rc) << "cut at " << len << " of " << full.size();
        EXPECT_EQ(whole ? 1 : 0, flag);
        if (len == ranges.size()) {
            EXPECT_EQ(0, csG.charClasses[1].nValidRanges);
        }
    }
    // Bytes after the tenth class are not read.
    int flag = -1;
    EXPECT_EQ(0, applyBytes(full + "trailing", &flag));
    EXPECT_EQ(1, csG.charClasses[2].nInvalidRanges);
}

TEST(ResourceAddress, RoundsUpFromTheResourceStart)
{
    char buf[64];
    const struct {
        int offset;
        int size;
        int expected;   // -1: null
    } cases[] = {{5, 1, 5}, {5, 2, 6}, {5, 4, 8}, {8, 4, 8}, {9, 8, 16}, {0, 8, 0},
                 {5, 3, -1}, {5, 16, -1}, {5, 0, -1}};
    for (const auto &c : cases) {
        void *r = qtkDialog_fixResourceAddress(buf + 1, buf + 1 + c.offset, c.size);
        if (c.expected < 0)
            EXPECT_EQ(nullptr, r) << c.size;
        else
            EXPECT_EQ((void *)(buf + 1 + c.expected), r) << c.offset << "/" << c.size;
    }
}

// ---- Finding the host file and the resource ---------------------------------

namespace {

// A host file with several configurations told apart by their version:
// id -5 alias FIRST (first in id order), id -1 without alias, id 5 alias ALT.
void writeHostFile(const std::string &path)
{
    rscfixture::writeFile(
        path, {{CODESET_RTCF_TYPE, -5, "FIRST", fixedPart(1, 1, 0xF1) + rangeSet(kLead)},
               {CODESET_RTCF_TYPE, 5, "ALT",
                fixedPart(1, 2, 0xA1) + rangeSet(kLead) + rangeSet(kTrail)},
               {CODESET_RTCF_TYPE, -1, "", shiftJisLike() + tenClasses()}});
}

struct Env {
    testutil::ScopedEnv vx, rtconfig, rsrcpath;
    Env(const char *vxValue, const char *rtconfigValue, const char *rsrcpathValue = nullptr)
        : vx("VX", vxValue ? vxValue : "", vxValue == nullptr),
          rtconfig("VX_RTCONFIG", rtconfigValue ? rtconfigValue : "", rtconfigValue == nullptr),
          rsrcpath("VX_RSRCPATH", rsrcpathValue ? rsrcpathValue : "", rsrcpathValue == nullptr)
    {
    }
};

// Runs codeSet_initialize and checks that the host file was closed again.
int initialize(int *flag)
{
    int filesBefore = rscStats.numFilesOpen;
    int rc = codeSet_initialize(flag);
    EXPECT_EQ(filesBefore, rscStats.numFilesOpen) << "the host resource file stayed open";
    return rc;
}

} // namespace

TEST(CodeSetStartUp, IdMinusOneIsPreferredOverTheFirstResource)
{
    CodeSetReset reset;
    testutil::TempDir dir;
    writeHostFile(dir.file("plathost.rsc"));
    const struct {
        const char *rtconfig;   // null: unset
        uint32_t version;
    } cases[] = {{nullptr, 0x01020304}, {"", 0xF1}, {"NOSUCH", 0x01020304}, {"ALT", 0xA1}};
    for (const auto &c : cases) {
        Env env(dir.path.c_str(), c.rtconfig);
        int flag = -1;
        EXPECT_EQ(0, initialize(&flag)) << (c.rtconfig ? c.rtconfig : "(unset)");
        EXPECT_EQ(c.version, csG.version) << (c.rtconfig ? c.rtconfig : "(unset)");
    }
}

TEST(CodeSetStartUp, HostFileIsLookedForAsConfigured)
{
    CodeSetReset reset;
    testutil::TempDir cwdDir, vxDir, pathDir;
    testutil::ScopedCwd cwd(cwdDir.path);
    int flag = -1;
    {
        // Nothing anywhere: single-byte text.
        Env env(nullptr, nullptr);
        EXPECT_EQ(1, initialize(&flag));
        EXPECT_EQ(0, flag);
    }
    writeHostFile(pathDir.file("plathost.rsc"));
    {
        // VX unset: the resource search path is used.
        Env env(nullptr, nullptr, pathDir.path.c_str());
        EXPECT_EQ(0, initialize(&flag));
        EXPECT_EQ(1, flag);
    }
    writeHostFile(cwdDir.file("plathost.rsc"));
    {
        // VX set to a directory without the file: neither the current
        // directory nor the search path stands in for it.
        Env env(vxDir.path.c_str(), nullptr, pathDir.path.c_str());
        EXPECT_EQ(1, initialize(&flag));
    }
    writeHostFile(vxDir.file("plathost.rsc"));
    {
        Env env((vxDir.path + "/").c_str(), "ALT");
        EXPECT_EQ(0, initialize(&flag));
        EXPECT_EQ(0xA1u, csG.version);
    }
}

namespace {

// Paths under /VornTree are served from a test directory, so that a VX
// value at the root of the file system can be tried without creating one.
std::string gVornDir;
const char kVorn[] = "/VornTree";

std::string mapVorn(const char *path)
{
    std::string p = path ? path : "";
    if (p.compare(0, sizeof kVorn - 1, kVorn) == 0)
        return gVornDir + p.substr(sizeof kVorn - 1);
    return p;
}

int vornOpen(const char *path, int flags, unsigned mode)
{
    return platformDefaultCalls.open(mapVorn(path).c_str(), flags, mode);
}
int vornStat(const char *path, platform_stat *st)
{
    return platformDefaultCalls.stat(mapVorn(path).c_str(), st);
}
int vornListDir(const char *dir, int (*visit)(void *, const char *), void *ctx)
{
    return platformDefaultCalls.listDir(mapVorn(dir).c_str(), visit, ctx);
}

struct VornCalls {
    VornCalls(const std::string &dir)
    {
        gVornDir = dir;
        platformG.open = vornOpen;
        platformG.stat = vornStat;
        platformG.listDir = vornListDir;
    }
    ~VornCalls() { platformG = platformDefaultCalls; }
};

} // namespace

TEST(CodeSetStartUp, SourceTreeKeepsTheHostFileInItsSourceFolder)
{
    CodeSetReset reset;
    testutil::TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("source").c_str(), 0755));
    writeHostFile(dir.file("source/plathost.rsc"));
    VornCalls calls(dir.path);
    int flag = -1;
    {
        // The prefix is compared ignoring case.
        Env env(kVorn, "ALT");
        EXPECT_EQ(0, initialize(&flag));
        EXPECT_EQ(0xA1u, csG.version);
    }
    {
        // Directly in the tree it is preferred.
        writeHostFile(dir.file("plathost.rsc"));
        Env env(kVorn, "");
        EXPECT_EQ(0, initialize(&flag));
        EXPECT_EQ(0xF1u, csG.version);
    }
    {
        // Another tree has no source folder rule.
        testutil::TempDir other;
        ASSERT_EQ(0, mkdir(other.file("source").c_str(), 0755));
        writeHostFile(other.file("source/plathost.rsc"));
        Env env(other.path.c_str(), nullptr);
        EXPECT_EQ(1, initialize(&flag));
    }
}

TEST(CodeSetStartUp, MalformedResourceInTheFileMeansSingleByteText)
{
    CodeSetReset reset;
    testutil::TempDir dir;
    rscfixture::writeFile(dir.file("plathost.rsc"),
                          {{CODESET_RTCF_TYPE, -1, "", fixedPart(1, 2) + rangeSet({{0x81, 0x1FF}})},
                           {CODESET_RTCF_TYPE, 3, "SHORT", "abc"}});
    for (const char *alias : {(const char *)nullptr, "SHORT"}) {
        Env env(dir.path.c_str(), alias);
        int flag = -1;
        EXPECT_EQ(1, initialize(&flag));
        EXPECT_EQ(0, flag);
        EXPECT_TRUE(csgIsEmpty());
    }
}

// ---- The generated host files ------------------------------------------------

TEST(CodeSetStartUp, GeneratedHostFilesSelectTheirConfigurations)
{
    CodeSetReset reset;
    const std::string base = testutil::binaryDir() + "/tests/data/rtcf/";
    ASSERT_TRUE(testutil::fileExists(base + "sjis/plathost.rsc")) << base;
    const struct {
        const char *file;
        const char *rtconfig;   // null: unset
        int rc;
        int positions;
        int multiByte;
        bool classes;
    } cases[] = {
        {"sjis", nullptr, 0, 2, 1, true},       // id -1
        {"sjis", "", 0, 2, 1, true},            // first in id order is -1
        {"sjis", "SJIS", 0, 2, 1, true},
        {"sjis", "NOCLASS", 0, 2, 1, false},
        {"sjis", "SINGLE", 0, 0, 0, false},
        {"sjis", "OFF", 0, 0, 0, false},
        {"sjis", "ONEPOS", 0, 1, 0, false},
        {"sjis", "sjis", 0, 2, 1, true},        // no such alias: id -1
        {"noclass", nullptr, 0, 2, 1, false},
        {"single", nullptr, 0, 0, 0, false},
        {"plain", nullptr, 1, 0, 0, false},     // no id -1 there
        {"plain", "NOSUCH", 1, 0, 0, false},
        {"plain", "SJIS", 0, 2, 1, true},
        {"plain", "SINGLE", 0, 0, 0, false},
        {"plain", "", 0, 2, 1, true},           // id 1 comes first
    };
    for (const auto &c : cases) {
        const std::string what = std::string(c.file) + " " + (c.rtconfig ? c.rtconfig : "(unset)");
        Env env((base + c.file).c_str(), c.rtconfig);
        int flag = -1;
        EXPECT_EQ(c.rc, initialize(&flag)) << what;
        EXPECT_EQ(c.multiByte, flag) << what;
        EXPECT_EQ(c.positions, csG.nMBRanges) << what;
        EXPECT_EQ(c.classes, csG.charClasses[3].stringP != nullptr) << what;
        if (c.classes) {
            EXPECT_STREQ("0123456789", csG.charClasses[3].stringP) << what;
            EXPECT_EQ(6, csG.charClasses[8].nValidRanges) << what;
            EXPECT_EQ(1, csG.charClasses[7].nInvalidRanges) << what;
        }
        if (c.rc == 0) {
            EXPECT_EQ(0x0201u, csG.version) << what;
        }
    }
}

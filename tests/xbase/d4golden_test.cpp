// The files the engine writes, byte for byte. A fixed workload like the
// benchmarks' (five character tags filtered ".NOT. DELETED()", plus a memo
// field): a tag build, appends one by one, key changes and memo texts,
// deletes and a pack; after each stage the digest of every file must equal
// the one kept in tests/data/golden/digests.txt. Done exclusively and in
// shared mode, under locks: both must write the same bytes. Work that makes
// the engine faster must pass this unchanged.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "platform/platform.h"
#include "tests/xbase/d4test.h"
#include "xbase/index/i4index.h"
#include "xbase/memo4.h"

namespace {

const FIELD4INFO kFields[] = {{"F1", 'C', 15, 0}, {"F2", 'C', 15, 0}, {"F3", 'C', 15, 0},
                              {"F4", 'C', 14, 0}, {"F5", 'C', 14, 0}, {"M", 'M', 10, 0},
                              {nullptr, 0, 0, 0}};
const TAG4INFO kTags[] = {{"F1", "F1", ".NOT. DELETED()", 0, 0}, {"F2", "F2", ".NOT. DELETED()", 0, 0},
                          {"F3", "F3", ".NOT. DELETED()", 0, 0}, {"F4", "F4", ".NOT. DELETED()", 0, 0},
                          {"F5", "F5", ".NOT. DELETED()", 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};

// FNV-1a of 64 bits: short, and certain enough to see any change of these
// files (nobody is trying to forge them).
std::string digest(const std::string &bytes)
{
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : bytes)
        h = (h ^ c) * 0x100000001B3ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", (unsigned long long)h);
    return out;
}

// The header's last-update date comes from the platform's calendar: a fixed
// day, so that the files do not depend on the day the test runs.
int fixedDay(int64_t, int fields[6])
{
    const int day[6] = {2024, 2, 29, 12, 0, 0};
    std::copy(day, day + 6, fields);
    return 0;
}

struct Golden {
    std::map<std::string, std::string> expected; // "stage FILE" -> digest
    std::string actual;                          // the lines this run would store
    std::string dir;
    std::string mode;

    // Compares the three files after `stage`; one that differs is copied to
    // a directory that outlives the test and named in the failure.
    void check(const std::string &stage)
    {
        for (const char *name : {"T.DBF", "T.CDX", "T.FPT"}) {
            std::string bytes = testutil::readFile(dir + "/" + name);
            // Bytes 8-11 of an index file are its version counter: it moves
            // with every lock, so shared mode (and any change to when locks
            // are taken) moves it; other programs only compare it for change.
            if (std::string(name) == "T.CDX" && bytes.size() >= 12)
                bytes.replace(8, 4, 4, '\0');
            std::string key = stage + " " + name, got = digest(bytes);
            actual += key + " " + got + "\n";
            if (got == expected[key])
                continue;
            std::string kept = testutil::binaryDir() + "/golden-failed";
            std::filesystem::create_directories(kept);
            kept += "/" + mode + "-" + stage + "-" + name;
            testutil::copyFile(dir + "/" + name, kept);
            ADD_FAILURE() << mode << ": " << name << " after the " << stage << " stage differs (digest "
                          << got << ", expected " << expected[key] << "); the file is kept in " << kept;
        }
    }
};

// The standard fixes this engine's sequence: the same data everywhere.
typedef std::mt19937_64 Rng;

unsigned below(Rng &rng, unsigned n) { return (unsigned)(rng() % n); }

// Fills the current record: short texts of six letters (so that keys share
// prefixes and repeat) and, for a third of the records, a memo text of up
// to 1,200 bytes.
void fillRecord(DATA4 *d, Rng &rng)
{
    for (int f = 0; f < 5; f++) {
        FIELD4 *field = d4field_j(d, f + 1);
        std::string text(3 + below(rng, (unsigned)f4len(field) - 2), ' ');
        for (char &c : text)
            c = (char)('A' + below(rng, 6));
        f4assign(field, text.c_str());
    }
    if (below(rng, 3) == 0)
        f4memo_assign(d4field(d, "M"), std::string(1 + below(rng, 1200), (char)('a' + below(rng, 26))).c_str());
}

void appendRecords(DATA4 *d, Rng &rng, int n)
{
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(0, d4append_start(d, 0));
        d4blank(d);
        fillRecord(d, rng);
        ASSERT_EQ(0, d4append(d)) << d4test::lastError();
    }
}

void runWorkload(CODE4 *c4, Golden &g, bool exclusive)
{
    std::string base = g.dir + "/T";
    Rng rng(27);
    c4->exclusive = exclusive ? 1 : 0;
    DATA4 *d = d4create(c4, base.c_str(), kFields, nullptr);
    ASSERT_NE(nullptr, d) << d4test::lastError();
    appendRecords(d, rng, 1500);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    // A pool this small makes the build's sort merge runs from its file.
    c4->mem_size_sort_pool = 4096;
    ASSERT_NE(nullptr, i4create(d, nullptr, kTags)) << d4test::lastError();
    c4->mem_size_sort_pool = 61440;
    ASSERT_EQ(0, d4close(d));
    g.check("built");

    d = d4open(c4, base.c_str());
    ASSERT_NE(nullptr, d) << d4test::lastError();
    appendRecords(d, rng, 2500);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(0, d4go(d, 1 + (long)below(rng, 4000)));
        if (i % 2 == 0)
            d4delete(d);
        else
            fillRecord(d, rng);
    }
    ASSERT_EQ(0, d4close(d)) << d4test::lastError();
    g.check("changed");

    d = d4open(c4, base.c_str());
    ASSERT_NE(nullptr, d) << d4test::lastError();
    ASSERT_EQ(0, d4pack(d)) << d4test::lastError();
    ASSERT_EQ(0, d4close(d)) << d4test::lastError();
    g.check("packed");
}

} // namespace

TEST(WrittenFiles, AreTheSameByteForByte)
{
    Golden g;
    std::string path = testutil::dataDir() + "/golden/digests.txt";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string stage, file, sum;
        if (line[0] != '#' && words >> stage >> file >> sum)
            g.expected[stage + " " + file] = sum;
    }
    ASSERT_FALSE(g.expected.empty()) << "no digests in " << path;

    auto savedDay = platformG.localTime;
    platformG.localTime = fixedDay;
    for (bool exclusive : {true, false}) {
        d4test::Engine e;
        g.dir = e.dir.path;
        g.mode = exclusive ? "exclusive" : "shared";
        g.actual += "# " + g.mode + "\n";
        runWorkload(&e.c4, g, exclusive);
    }
    platformG.localTime = savedDay;
    EXPECT_FALSE(HasFailure()) << "the digests of this run, to store in " << path
                               << " once a change of the bytes is intended:\n"
                               << g.actual;
}

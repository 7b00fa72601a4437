// Hostile resource files: corrupt headers, offsets, counts and string-list
// members give an error or a consistent answer, and random byte flips of a
// valid file never crash or hang the manager.
#include <fstream>
#include <random>

#include "tests/rscmgr/rsctest.h"

using testutil::TempDir;

namespace {

const uint32_t kType = 0x54455354;    // "TEST"

std::string patched(std::string bytes, const std::vector<std::pair<uint32_t, uint32_t>> &patches,
                    long truncate)
{
    for (const auto &p : patches)
        bytes.replace(p.first, 4, rsctest::le32(p.second));
    if (truncate >= 0)
        bytes.resize((size_t)truncate);
    return bytes;
}

// Rewrites a file of the same size in place: truncating it each time costs
// more than everything else the loop does.
void overwrite(const std::string &path, const std::string &bytes)
{
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.write(bytes.data(), (std::streamsize)bytes.size());
    ASSERT_TRUE((bool)f) << path;
}

// Uses everything a file offers; what matters is that it ends.
void exercise(uint32_t h)
{
    for (uint32_t type : {(uint32_t)RSC_TYPE_STRLIST, (uint32_t)RSC_TYPE_RTCONFIG, kType,
                          (uint32_t)RSC_TYPE_ALIAS}) {
        int32_t count = 0;
        if (qtkResource_queryClass(&count, h, type, RSC_QC_COUNT, nullptr) != 0)
            continue;
        for (int32_t n = 0; n < count && n < 40; n++) {
            int32_t id = 0;
            if (qtkResource_queryClass(&id, h, type, RSC_QC_ID, &n) != 0)
                continue;
            void *p = qtkResource_load(h, type, id);
            if (p == nullptr)
                continue;
            uint32_t size = 0;
            ASSERT_EQ(0, qtkResource_query(&size, p, RSC_Q_SIZE));
            // Every byte the query promises is readable (the sanitizer
            // build checks the copy).
            std::string bytes(static_cast<const char *>(p), size);
            EXPECT_EQ(size, bytes.size());
            EXPECT_EQ(0, qtkResource_free(p));
        }
    }
    for (int32_t num : {1, 5, 9, 30, 2001})
        EXPECT_LT(rsctest::fetch(h, 1, num).size(), 4096u);
    int32_t v = 0, n = 0;
    for (const char *alias : {"ONE", "TWO", "X"}) {
        qtkResource_queryClassByAlias(&v, h, RSC_TYPE_RTCONFIG, RSC_QC_COUNT, nullptr, alias);
        qtkResource_queryClassByAlias(&v, h, RSC_TYPE_RTCONFIG, RSC_QC_ID, &n, alias);
        void *p = qtkResource_loadByAlias(h, RSC_TYPE_RTCONFIG, 1, alias);
        if (p != nullptr)
            qtkResource_free(p);
    }
}

} // namespace

TEST(HostileResourceFile, CorruptDirectoryIsRefusedOrAnsweredConsistently)
{
    rsctest::ManagerGuard g;
    TempDir d;
    // Header 340 bytes; type list at 340; id entries at 364 (id 1) and 396
    // (id 2); data at 428 ("abcd") and 432; 436 bytes in all.
    std::string base = testutil::readFile(rsctest::make(
        d, "base", "form plain\ndata TEST 1 alias ONE\ntext \"abcd\"\nend\n"
                   "data TEST 2\ntext \"efgh\"\nend\n"));
    ASSERT_EQ(436u, base.size());
    const std::string kLoaded = "abcd";
    struct hostile {
        const char *what;
        std::vector<std::pair<uint32_t, uint32_t>> patches;
        long truncate;
        int openRc;
        std::string load;       // bytes of TEST 1, or the error
    } cases[] = {
        {"bad signature", {{72, 0}}, -1, RSC_ERR_FILE, ""},
        {"header cut short", {}, 100, RSC_ERR_FILE, ""},
        {"type list past the end", {{76, 436}}, -1, RSC_ERR_FILE, ""},
        {"type list count huge", {{80, 0xFFFFFFFF}}, -1, RSC_ERR_FILE, ""},
        {"type list reaching into id entries", {{80, 2}}, -1, RSC_ERR_FILE, ""},
        {"id entries past the end", {{348, 3}}, -1, RSC_ERR_FILE, ""},
        {"id entry count huge", {{348, 0x08000000}}, -1, RSC_ERR_FILE, ""},
        {"id table offset huge", {{352, 0xFFFFFFF0}}, -1, RSC_ERR_FILE, ""},
        {"data past the end", {{372, 434}}, -1, RSC_ERR_FILE, ""},
        {"data size huge", {{376, 0xFFFFFFFF}}, -1, RSC_ERR_FILE, ""},
        {"data offset and size wrap 32 bits", {{372, 0xFFFFFFFF}, {376, 2}}, -1, RSC_ERR_FILE, ""},
        {"ids decrease", {{400, 0}}, -1, RSC_ERR_FILE, ""},
        {"file cut inside the data", {}, 430, RSC_ERR_FILE, ""},
        {"deleted type with garbage", {{340, 1}, {352, 0xFFFFFFFF}}, -1, 0, "<error -908>"},
        {"deleted entry", {{364, 1}}, -1, 0, "<error -912>"},
        {"data of another platform", {{84, 3}}, -1, 0, "<error -901>"},
        {"native platform id", {{84, 10}}, -1, 0, kLoaded},
        {"unterminated alias", {{380, 0x41414141}, {384, 0x41414141}, {388, 0x41414141}, {392, 0x41414141}},
         -1, 0, kLoaded},
    };
    for (const hostile &c : cases) {
        std::string path = d.file("case.rsc");
        testutil::writeFile(path, patched(base, c.patches, c.truncate));
        uint32_t h = 77;
        ASSERT_EQ(c.openRc, qtkResource_openFile(&h, path.c_str(), 0)) << c.what;
        if (c.openRc != 0) {
            EXPECT_EQ(0u, h) << c.what;
            EXPECT_EQ(0, rscStats.numFileHandles) << c.what;
            continue;
        }
        EXPECT_EQ(c.load, rsctest::loadBytes(h, kType, 1)) << c.what;
        qtkResource_closeFile(h);
    }

    // Sixteen alias characters are read without a terminator, never past it.
    testutil::writeFile(d.file("case.rsc"), patched(base, cases[17].patches, -1));
    uint32_t h = rsctest::open(d.file("case.rsc"));
    EXPECT_EQ(kLoaded.size(), rsctest::loadBytes(0, kType, 1).size());
    void *p = qtkResource_loadByAlias(h, kType, 1, "AAAAAAAAAAAAAAAA");
    ASSERT_NE(nullptr, p);
    qtkResource_free(p);
}

TEST(HostileResourceFile, CorruptStringListMembersAreErrorsWithAnEmptyBuffer)
{
    rsctest::ManagerGuard g;
    TempDir d;
    // The list lies at 396: counts, then member 5 at 404 (nInfo, number,
    // length 5 at 412, "five") and member 9 at 424 (length at 432).
    std::string base = testutil::readFile(
        rsctest::make(d, "base", "messages str# 1\n5 0 \"five\"\n9 0 \"nine\"\nend\n"));
    ASSERT_EQ(444u, base.size());
    struct hostile {
        const char *what;
        std::vector<std::pair<uint32_t, uint32_t>> patches;
        int rc;
    } cases[] = {
        {"intact", {}, 0},
        {"no info values", {{404, 0}}, RSC_ERR_FILE},
        {"info count huge", {{404, 0x40000000}}, RSC_ERR_FILE},
        {"text length zero", {{412, 0}}, RSC_ERR_FILE},
        {"text length huge", {{412, 0xFFFFFFFF}}, RSC_ERR_FILE},
        {"text without its zero", {{412, 4}}, RSC_ERR_FILE},
        {"header runs into the text", {{424, 2}}, RSC_ERR_FILE},
        {"fewer members declared", {{400, 1}}, RSC_ERR_NO_RESOURCE},
        {"list shorter than its header", {{364 + 12, 4}}, RSC_ERR_FILE},
    };
    for (const hostile &c : cases) {
        std::string path = d.file("case.rsc");
        testutil::writeFile(path, patched(base, c.patches, -1));
        uint32_t h = rsctest::open(path);
        int rc = 0;
        std::string text = rsctest::fetch(h, 1, 9, &rc);
        EXPECT_EQ(c.rc, rc) << c.what;
        EXPECT_EQ(c.rc == 0 ? "nine" : "", text) << c.what;
        qtkResource_closeFile(h);
    }
}

TEST(HostileResourceFile, RandomByteFlipsNeverCrashOrHang)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string src = "form native\nmessages str# 1\n";
    for (int i = 1; i <= 30; i++)
        src += std::to_string(i) + " 0 \"message number " + std::to_string(i) + "\"\n";
    src += "end\n"
           "data rtCf 1 alias ONE\nword 1 2 3\nend\n"
           "data rtCf 1 alias TWO\nword 4\nend\n"
           "data rtCf -1\nword 5 6\nend\n"
           "data TEST 3 deleted\ntext \"gone\"\nend\n"
           "data TEST 4\ntext \"kept\"\nend\n";
    std::string base = testutil::readFile(rsctest::make(d, "base", src));
    ASSERT_GT(base.size(), 400u);

    std::mt19937 rng(testutil::testSeed());
    std::string path = d.file("flip.rsc");
    testutil::writeFile(path, base);
    int opened = 0;
    for (int iter = 0; iter < 3000; iter++) {
        std::string bytes = base;
        int flips = 1 + (int)(rng() % 2);
        for (int f = 0; f < flips; f++) {
            // Mostly the directory and data after the header's reserved part.
            size_t pos = rng() % 4 == 0 ? rng() % 128 : 340 + rng() % (bytes.size() - 340);
            bytes[pos] = (char)(bytes[pos] ^ (char)(1 + rng() % 255));
        }
        overwrite(path, bytes);
        uint32_t h = 0;
        int rc = qtkResource_openFile(&h, path.c_str(), 0);
        if (rc != 0) {
            ASSERT_EQ(RSC_ERR_FILE, rc) << "iteration " << iter;
            ASSERT_EQ(0, rscStats.numFileHandles);
            continue;
        }
        opened++;
        exercise(h);
        qtkResource_closeFile(h);
        ASSERT_EQ(0, rscStats.numResourcesLoaded) << "iteration " << iter;
        ASSERT_EQ(0, rscStats.numFilesOpen) << "iteration " << iter;
        ASSERT_EQ(0, rscStats.numRscIdTreesInReadCache) << "iteration " << iter;
    }
    // Many flips land in data or padding and leave a usable file.
    EXPECT_GT(opened, 300);
}

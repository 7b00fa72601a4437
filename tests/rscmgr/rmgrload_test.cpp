// Loading resources: every generated resource reads back, id ranges and the
// id-tree cache, shared loads and their counts, search order over open
// files, questions about loaded resources and types, and aliases.
#include <cstdlib>
#include <cstring>

#include "tests/rscmgr/rsctest.h"
#include "util/byteorder.h"

using testutil::TempDir;

namespace {

const uint32_t kType = 0x54455354;    // "TEST"

std::vector<uint32_t> rangeSizes(uint32_t h, uint32_t type)
{
    std::vector<uint32_t> out;
    memtypelistentry *m = rmgr_findType(rmgr_handleEntry(h)->llP, type);
    if (m != nullptr)
        for (const rscidrange *r : m->rangeTree)
            out.push_back(r->numOrigEntries);
    return out;
}

std::string payload(int id) { return "payload of " + std::to_string(id); }

std::string dataBlock(uint32_t type, int id, const std::string &extra = std::string())
{
    char t[5] = {(char)(type >> 24), (char)(type >> 16), (char)(type >> 8), (char)type, 0};
    return std::string("data ") + t + " " + std::to_string(id) + extra + "\ntext \"" + payload(id) +
           "\"\nend\n";
}

// Both forms keep aliases differently: inline in the id entries (plain) or
// in `Alia` string lists (native). Every alias test runs on both.
class AliasForms : public testing::TestWithParam<const char *> {};

} // namespace

TEST(ResourceRoundTrip, EveryGeneratedResourceReadsBack)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string src = "form native\n"
                      "data rtCf -2147483648\nbyte 1 2 3\nend\n"
                      "data rtCf 2147483647 alias LAST\nword -1 0x80000000\ncstring \"x\\ty\"\nend\n"
                      "data rtCf 0\nend\n"
                      "strings strL 9\n1 2 \"two infos\"\n-5 \"negative\"\nend\n";
    for (int i = 0; i < 40; i++)
        src += dataBlock(kType, i * 3 - 50, i % 4 == 0 ? " alias A" + std::to_string(i) : "");
    uint32_t h = rsctest::open(rsctest::make(d, "all", src));

    EXPECT_EQ(std::string("\x01\x02\x03", 3), rsctest::loadBytes(h, RSC_TYPE_RTCONFIG, INT32_MIN));
    EXPECT_EQ(std::string("\xff\xff\xff\xff\x00\x00\x00\x80x\ty\0", 12),
              rsctest::loadBytes(h, RSC_TYPE_RTCONFIG, INT32_MAX));
    EXPECT_EQ("", rsctest::loadBytes(h, RSC_TYPE_RTCONFIG, 0));
    using rsctest::le32;
    std::string list = le32(2) + le32(2) + le32(2) + le32(1) + le32(2) + le32(10) +
                       std::string("two infos\0\0\0", 12) + le32(1) + le32((uint32_t)-5) + le32(9) +
                       std::string("negative\0\0\0\0", 12);
    EXPECT_EQ(testutil::hex(list), testutil::hex(rsctest::loadBytes(h, RSC_TYPE_STRLIST_LONG, 9)));
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(payload(i * 3 - 50), rsctest::loadBytes(h, kType, i * 3 - 50));
        if (i % 4 == 0) {
            void *p = qtkResource_loadByAlias(h, kType, i * 3 - 50, ("A" + std::to_string(i)).c_str());
            ASSERT_NE(nullptr, p);
            const char *alias = nullptr;
            EXPECT_EQ(0, qtkResource_query(&alias, p, RSC_Q_ALIAS));
            EXPECT_STREQ(("A" + std::to_string(i)).c_str(), alias);
            qtkResource_free(p);
        }
    }
    int32_t count = 0;
    EXPECT_EQ(0, qtkResource_queryClass(&count, h, kType, RSC_QC_COUNT, nullptr));
    EXPECT_EQ(40, count);
}

TEST(ResourceRanges, DistinctIdsAreCutBeforeTheLastIdChangeOfEachChunk)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string src = "form plain\n";
    for (int i = 0; i < 300; i++)
        src += dataBlock(kType, 2 * i);
    uint32_t h = rsctest::open(rsctest::make(d, "r300", src));
    EXPECT_EQ((std::vector<uint32_t>{127, 127, 46}), rangeSizes(h, kType));
    for (int i = 0; i < 300; i += 7)
        EXPECT_EQ(payload(2 * i), rsctest::loadBytes(h, kType, 2 * i));
    for (int id : {1, 253, 255, 599, -1, 1000}) {
        EXPECT_EQ(nullptr, qtkResource_load(h, kType, id)) << id;
        EXPECT_EQ(RSC_ERR_NO_RESOURCE, qtkErrno);
    }
    int32_t hi = 0, lo = 0;
    EXPECT_EQ(0, qtkResource_queryClass(&hi, h, kType, RSC_QC_HIGHEST, nullptr));
    EXPECT_EQ(0, qtkResource_queryClass(&lo, h, kType, RSC_QC_LOWEST, nullptr));
    EXPECT_EQ(598, hi);
    EXPECT_EQ(0, lo);
}

TEST(ResourceRanges, EntriesSharingOneIdStayInOneRange)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string src = "form native\n";
    for (int i = 0; i < 200; i++)
        src += "data TEST 7 alias a" + std::to_string(i) + "\ncstring \"" + std::to_string(i) + "\"\nend\n";
    for (int i = 0; i < 100; i++)
        src += dataBlock(kType, 100 + i);
    uint32_t h = rsctest::open(rsctest::make(d, "same", src));
    // The first chunk of 128 holds one id, so 256 are read and cut before
    // the last id change among them.
    EXPECT_EQ((std::vector<uint32_t>{255, 45}), rangeSizes(h, kType));
    for (int i : {0, 127, 128, 199}) {
        void *p = qtkResource_loadByAlias(h, kType, 7, ("a" + std::to_string(i)).c_str());
        ASSERT_NE(nullptr, p) << i;
        EXPECT_STREQ(std::to_string(i).c_str(), (const char *)p);
        qtkResource_free(p);
    }
    EXPECT_EQ(nullptr, qtkResource_loadByAlias(h, kType, 7, "a200"));
    EXPECT_EQ(payload(150), rsctest::loadBytes(h, kType, 150));
}

TEST(ResourceRanges, TheEightyFirstIdTreeUnloadsTheOldest)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string src = "form plain\n";
    for (uint32_t t = 0; t < 81; t++)
        src += dataBlock(0x41410000 + (('A' + t / 26) << 8) + 'A' + t % 26, 5);
    uint32_t h = rsctest::open(rsctest::make(d, "many", src));
    auto type = [](uint32_t t) { return 0x41410000 + (('A' + t / 26) << 8) + 'A' + t % 26; };
    for (uint32_t t = 0; t < 80; t++)
        ASSERT_EQ(payload(5), rsctest::loadBytes(h, type(t), 5));
    EXPECT_EQ(80, rscStats.numRscIdTreesInReadCache);
    EXPECT_TRUE(rmgr_idTreeLoaded(h, type(0), 5));
    ASSERT_EQ(payload(5), rsctest::loadBytes(h, type(80), 5));
    EXPECT_FALSE(rmgr_idTreeLoaded(h, type(0), 5));
    EXPECT_TRUE(rmgr_idTreeLoaded(h, type(1), 5));
    EXPECT_EQ(payload(5), rsctest::loadBytes(h, type(0), 5));
    EXPECT_TRUE(rmgr_idTreeLoaded(h, type(0), 5));
    EXPECT_FALSE(rmgr_idTreeLoaded(h, type(1), 5));
    EXPECT_EQ(80, rscStats.numRscIdTreesInReadCache);
}

TEST(ResourceLoad, LoadsAreSharedAndCountedUntilTheLastFree)
{
    rsctest::ManagerGuard g;
    TempDir d;
    uint32_t h = rsctest::open(rsctest::make(d, "f", dataBlock(kType, 1) + dataBlock(kType, 2)));
    void *a = qtkResource_load(h, kType, 1);
    void *b = qtkResource_load(h, kType, 1);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, b);
    EXPECT_EQ(1, rscStats.numResourcesLoaded);
    EXPECT_EQ(0, qtkResource_free(a));
    int32_t id = 0;
    EXPECT_EQ(0, qtkResource_query(&id, a, RSC_Q_ID));
    EXPECT_EQ(1, id);
    EXPECT_EQ(0, qtkResource_free(a));
    EXPECT_EQ(RSC_ERR_NOT_LOADED, qtkResource_query(&id, a, RSC_Q_ID));
    EXPECT_EQ(RSC_ERR_NOT_LOADED, qtkResource_free(a));

    // Only pointers the manager handed out are accepted.
    void *c = qtkResource_load(h, kType, 2);
    ASSERT_NE(nullptr, c);
    int local = 0;
    void *heap = std::malloc(16);
    for (void *foreign : {(void *)&local, heap, (void *)((char *)c + 1), (void *)nullptr}) {
        EXPECT_EQ(RSC_ERR_NOT_LOADED, qtkResource_free(foreign));
        EXPECT_EQ(RSC_ERR_NOT_LOADED, qtkResource_query(&id, foreign, RSC_Q_ID));
    }
    std::free(heap);
    // Closing the handle gives back every load made through it.
    qtkResource_load(h, kType, 2);
    qtkResource_closeFile(h);
    EXPECT_EQ(0, rscStats.numResourcesLoaded);
    EXPECT_EQ(RSC_ERR_NOT_LOADED, qtkResource_free(c));
}

TEST(ResourceLoad, QueriesDescribeTheLoadedResource)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string path = rsctest::make(d, "f", "form native\n" + dataBlock(kType, 3, " alias Q"));
    uint32_t h = rsctest::open(path);
    void *p = qtkResource_loadByAlias(h, kType, 3, "Q");
    ASSERT_NE(nullptr, p);
    uint32_t u = 0;
    int32_t i = 0;
    const char *s = nullptr;
    EXPECT_EQ(0, qtkResource_query(&u, p, RSC_Q_SIZE));
    EXPECT_EQ(payload(3).size(), u);
    EXPECT_EQ(0, qtkResource_query(&u, p, RSC_Q_FILESIZE));
    EXPECT_EQ(payload(3).size(), u);
    EXPECT_EQ(0, qtkResource_query(&u, p, RSC_Q_TYPE));
    EXPECT_EQ(kType, u);
    EXPECT_EQ(0, qtkResource_query(&u, p, RSC_Q_HANDLE));
    EXPECT_EQ(h, u);
    EXPECT_EQ(0, qtkResource_query(&i, p, RSC_Q_PLATFORM));
    EXPECT_EQ(10, i);
    int32_t props[9];
    EXPECT_EQ(0, qtkResource_query(props, p, RSC_Q_DATAPROPS));
    EXPECT_EQ(8, props[5]);
    EXPECT_EQ(0, qtkResource_query(&s, p, RSC_Q_FILENAME));
    EXPECT_EQ(path, s);
    EXPECT_EQ(RSC_ERR_BAD_QUERY, qtkResource_query(&i, p, 6));
    EXPECT_EQ(RSC_ERR_NULL_RESULT, qtkResource_query(nullptr, p, RSC_Q_SIZE));
    qtkResource_free(p);

    rscdirectaccess da;
    ASSERT_EQ(0, qtkResource_directLoad(0, kType, 3, &da));
    EXPECT_EQ(h, da.rfHandle);
    EXPECT_EQ(payload(3).size(), da.rscSize);
    std::string bytes = testutil::readFile(path);
    EXPECT_EQ(payload(3), bytes.substr(da.filePos, da.rscSize));
}

TEST(ResourceSearchOrder, HandleZeroTakesOverridesThenNewestEnabledFile)
{
    rsctest::ManagerGuard g;
    TempDir d;
    auto file = [&](const char *name, const char *text) {
        return rsctest::make(d, name, std::string("data rtCf 1\ntext \"") + text + "\"\nend\n");
    };
    std::string a = file("a", "A"), b = file("b", "B"), c = file("c", "C"), e = file("e", "E");
    rsctest::open(a);
    uint32_t hb = rsctest::open(b);
    EXPECT_EQ("B", rsctest::loadBytes(0, RSC_TYPE_RTCONFIG, 1));
    rsctest::open(c, RSC_OPEN_OVERRIDE);
    rsctest::open(e, RSC_OPEN_DISABLED);
    EXPECT_EQ("C", rsctest::loadBytes(0, RSC_TYPE_RTCONFIG, 1));
    uint32_t h = 0;
    EXPECT_EQ(RSC_ERR_ALREADY_OPEN, qtkResource_openFile(&h, c.c_str(), RSC_OPEN_OVERRIDE));
    int32_t count = 0, n = 3;
    EXPECT_EQ(0, qtkResource_queryClass(&count, 0, RSC_TYPE_RTCONFIG, RSC_QC_COUNT, nullptr));
    EXPECT_EQ(3, count);
    char name[RSC_MAX_PATH + 1];
    n = 1;
    EXPECT_EQ(0, qtkResource_queryClass(name, 0, RSC_TYPE_RTCONFIG, RSC_QC_FILENAME, &n));
    EXPECT_EQ(b, name);
    EXPECT_EQ(0, qtkResource_queryClass(&h, 0, RSC_TYPE_RTCONFIG, RSC_QC_HANDLE, &n));
    EXPECT_EQ(hb, h);
    n = 3;
    EXPECT_EQ(RSC_ERR_NO_RESOURCE_ID, qtkResource_queryClass(&h, 0, RSC_TYPE_RTCONFIG, RSC_QC_ID, &n));
    EXPECT_EQ(nullptr, qtkResource_load(0, RSC_TYPE_RTCONFIG, 2));
    EXPECT_EQ(RSC_ERR_NO_FILE, qtkErrno);
}

TEST(ResourceQueryClass, AnswersAboutOneTypeSkipDeletedEntries)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string src = "form plain\n" + dataBlock(kType, 4, " alias FOUR") + dataBlock(kType, 9) +
                      dataBlock(kType, 6, " deleted") + dataBlock(kType, -3);
    uint32_t h = rsctest::open(rsctest::make(d, "q", src));
    int32_t v = 0, n = 0;
    char text[RSC_MAX_ALIAS + 1];
    EXPECT_EQ(0, qtkResource_queryClass(&v, h, kType, RSC_QC_COUNT, nullptr));
    EXPECT_EQ(3, v);
    std::vector<int32_t> ids;
    for (n = 0; qtkResource_queryClass(&v, h, kType, RSC_QC_ID, &n) == 0; n++)
        ids.push_back(v);
    EXPECT_EQ((std::vector<int32_t>{-3, 4, 9}), ids);
    n = 1;
    EXPECT_EQ(0, qtkResource_queryClass(text, h, kType, RSC_QC_ALIAS, &n));
    EXPECT_STREQ("FOUR", text);
    n = 0;
    EXPECT_EQ(0, qtkResource_queryClass(text, h, kType, RSC_QC_ALIAS, &n));
    EXPECT_STREQ("", text);
    for (auto [id, want] : std::vector<std::pair<int32_t, int32_t>>{{4, 1}, {6, 0}, {5, 0}, {-3, 1}}) {
        EXPECT_EQ(0, qtkResource_queryClass(&v, h, kType, RSC_QC_EXISTS, &id));
        EXPECT_EQ(want, v) << id;
    }
    EXPECT_EQ(nullptr, qtkResource_load(h, kType, 6));
    EXPECT_EQ(RSC_ERR_NO_RESOURCE, qtkErrno);
    EXPECT_EQ(RSC_ERR_NO_TYPE, qtkResource_queryClass(&v, h, RSC_TYPE_STRLIST, RSC_QC_COUNT, nullptr));
    EXPECT_EQ(RSC_ERR_BAD_QUERY, qtkResource_queryClass(&v, h, kType, 13, &n));
    EXPECT_EQ(RSC_ERR_NULL_RESULT, qtkResource_queryClass(nullptr, h, kType, RSC_QC_COUNT, nullptr));
    EXPECT_EQ(RSC_ERR_BAD_HANDLE, qtkResource_queryClass(&v, h + 1, kType, RSC_QC_COUNT, nullptr));
    EXPECT_EQ(RSC_ERR_BAD_HANDLE, qtkResource_queryClass(&v, 0, kType, RSC_QC_HIGHEST, nullptr));
}

TEST_P(AliasForms, SharedAliasIsCountedAndEnumeratedInIdOrder)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string src = std::string("form ") + GetParam() + "\n" + dataBlock(kType, 30, " alias X") +
                      dataBlock(kType, 10, " alias X") + dataBlock(kType, 20, " alias Y") +
                      dataBlock(kType, 25);
    uint32_t h = rsctest::open(rsctest::make(d, "alias", src));
    int32_t v = 0, n = 0;
    EXPECT_EQ(0, qtkResource_queryClassByAlias(&v, h, kType, RSC_QC_COUNT, nullptr, "X"));
    EXPECT_EQ(2, v);
    EXPECT_EQ(0, qtkResource_queryClassByAlias(&v, 0, kType, RSC_QC_COUNT, nullptr, "x"));
    EXPECT_EQ(0, v);
    n = 1;
    EXPECT_EQ(0, qtkResource_queryClassByAlias(&v, h, kType, RSC_QC_ID, &n, "X"));
    EXPECT_EQ(30, v);
    n = 2;
    EXPECT_EQ(RSC_ERR_NO_RESOURCE, qtkResource_queryClassByAlias(&v, h, kType, RSC_QC_ID, &n, "X"));
    n = 0;
    EXPECT_EQ(0, qtkResource_queryClassByAlias(&v, 0, kType, RSC_QC_ID, &n, "Y"));
    EXPECT_EQ(20, v);
    // An empty alias asks about the type as a whole.
    EXPECT_EQ(0, qtkResource_queryClassByAlias(&v, h, kType, RSC_QC_ID, &n, ""));
    EXPECT_EQ(10, v);
    EXPECT_EQ(RSC_ERR_BAD_QUERY, qtkResource_queryClassByAlias(&v, h, kType, RSC_QC_HANDLE, &n, "X"));
    EXPECT_EQ(RSC_ERR_NULL_RESULT, qtkResource_queryClassByAlias(nullptr, h, kType, RSC_QC_ID, &n, "X"));
    EXPECT_EQ(nullptr, qtkResource_loadByAlias(h, kType, 10, "Y"));
    EXPECT_EQ(payload(10), std::string((const char *)qtkResource_loadByAlias(h, kType, 10, "X"), 13));
}

INSTANTIATE_TEST_SUITE_P(ResourceAliases, AliasForms, testing::Values("plain", "native"));

TEST(ResourceRuntimeConfig, IdMinusOneIsAnOrdinaryId)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string other = rsctest::make(d, "other", "data rtCf -5\ntext \"minus five\"\nend\n"
                                                  "data rtCf 3\ntext \"three\"\nend\n");
    rsctest::open(other);
    EXPECT_EQ(nullptr, qtkResource_load(0, RSC_TYPE_RTCONFIG, -1));
    EXPECT_EQ(RSC_ERR_NO_FILE, qtkErrno);

    // The generated host fixture holds id -1 among aliased configurations.
    uint32_t host = rsctest::open(testutil::binaryDir() + "/tests/data/rtcf/sjis/plathost.rsc");
    void *p = qtkResource_load(0, RSC_TYPE_RTCONFIG, -1);
    ASSERT_NE(nullptr, p);
    int32_t id = 0;
    uint32_t h = 0;
    EXPECT_EQ(0, qtkResource_query(&id, p, RSC_Q_ID));
    EXPECT_EQ(0, qtkResource_query(&h, p, RSC_Q_HANDLE));
    EXPECT_EQ(-1, id);
    EXPECT_EQ(host, h);
    EXPECT_EQ(2u, util_getLe32((const unsigned char *)p + 28));    // nMBRanges
    qtkResource_free(p);

    int32_t n = 0;
    for (auto [alias, want] : std::vector<std::pair<const char *, int32_t>>{
             {"SJIS", 1}, {"NOCLASS", 2}, {"SINGLE", 3}, {"OFF", 4}, {"ONEPOS", 5}}) {
        EXPECT_EQ(0, qtkResource_queryClassByAlias(&id, 0, RSC_TYPE_RTCONFIG, RSC_QC_ID, &n, alias));
        EXPECT_EQ(want, id) << alias;
    }
    // With an empty alias the first configuration in search order answers.
    EXPECT_EQ(0, qtkResource_queryClassByAlias(&id, 0, RSC_TYPE_RTCONFIG, RSC_QC_ID, &n, ""));
    EXPECT_EQ(-1, id);
}

TEST(ResourceLoad, RestrictedOpenReadsOnlyTheListedTypes)
{
    rsctest::ManagerGuard g;
    TempDir d;
    std::string path = rsctest::make(d, "r", "form native\n" + dataBlock(kType, 1, " alias A") +
                                                 dataBlock(RSC_TYPE_RTCONFIG, 2));
    uint32_t h = 0;
    const uint32_t types[] = {kType};
    ASSERT_EQ(0, qtkResource_openFileRestricted(&h, path.c_str(), types, 1));
    EXPECT_EQ(payload(1), std::string((const char *)qtkResource_loadByAlias(h, kType, 1, "A"), payload(1).size()));
    EXPECT_EQ(nullptr, qtkResource_load(h, RSC_TYPE_RTCONFIG, 2));
    EXPECT_EQ(RSC_ERR_NO_RESOURCE, qtkErrno);
    EXPECT_EQ(RSC_ERR_BAD_ARGUMENT, qtkResource_openFileRestricted(&h, path.c_str(), nullptr, 1));
}

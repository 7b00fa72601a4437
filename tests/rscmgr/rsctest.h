// Resource-manager test helpers: resource files made by the generator from
// source text, and a guard that closes every handle a test left open.
#ifndef CATALOGR_TESTS_RSCTEST_H
#define CATALOGR_TESTS_RSCTEST_H

#include <string>

#include <gtest/gtest.h>

#include "rscmgr/rmgrint.h"
#include "tests/testutil.h"

namespace rsctest {

inline std::string le32(uint32_t v)
{
    unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                          (unsigned char)(v >> 24)};
    return std::string((const char *)b, 4);
}

inline std::string rscgen() { return testutil::binaryDir() + "/buildtime/rscgen"; }

// Runs the generator on `source`; the result of the run and the file name.
inline testutil::ProcResult generate(const testutil::TempDir &d, const std::string &name,
                                     const std::string &source, std::string *outPath)
{
    std::string src = d.file(name + ".rsrc");
    *outPath = d.file(name + ".rsc");
    testutil::writeFile(src, source);
    return testutil::runProgram({rscgen(), "-o", *outPath, src}, d.path);
}

// Generates a file that must come out; the test fails otherwise.
inline std::string make(const testutil::TempDir &d, const std::string &name,
                        const std::string &source)
{
    std::string path;
    testutil::ProcResult r = generate(d, name, source, &path);
    EXPECT_EQ(0, r.exitStatus) << r.err;
    return path;
}

inline uint32_t open(const std::string &path, uint32_t attr = 0)
{
    uint32_t h = 0;
    EXPECT_EQ(0, qtkResource_openFile(&h, path.c_str(), attr)) << path;
    return h;
}

inline std::string loadBytes(uint32_t h, uint32_t type, int32_t id)
{
    void *p = qtkResource_load(h, type, id);
    if (p == nullptr)
        return "<error " + std::to_string(qtkErrno) + ">";
    uint32_t size = 0;
    qtkResource_query(&size, p, RSC_Q_SIZE);
    std::string s((const char *)p, size);
    qtkResource_free(p);
    return s;
}

inline std::string fetch(uint32_t h, int32_t list, int32_t num, int *rc = nullptr)
{
    char buf[4096];
    int r = qtkResource_loadFromStringList(buf, sizeof buf, h, list, num);
    if (rc != nullptr)
        *rc = r;
    return buf;
}

// Closes whatever a test left open, so that every test starts empty.
struct ManagerGuard {
    ~ManagerGuard()
    {
        for (uint32_t h = 1; h < rscFileTable.size(); h++)
            while (rmgr_handleEntry(h) != nullptr)
                qtkResource_closeFile(h);
        EXPECT_EQ(0, rscStats.numResourcesLoaded);
        EXPECT_EQ(0, rscStats.numFilesOpen);
    }
};

} // namespace rsctest

#endif

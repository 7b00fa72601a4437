// Damaged tables: bytes flipped at random in the header, descriptors,
// records and memo file of a small table written by another program. Every
// open, read, memo fetch, write, append and pack must end in a result
// (success or an error code), never in a crash, a hang or a read outside
// the file; the sanitizer build checks the last.
#include <chrono>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "xbase/memo4.h"

namespace {

// Opens the damaged copy and exercises every record and field of it.
void exercise(d4test::Engine &e, const std::string &dbf, std::mt19937 &rng)
{
    e.c4.auto_open = 0;
    e.c4.open_error = 0;
    e.c4.lock_attempts = 1;
    DATA4 *d = d4open(&e.c4, dbf.c_str());
    if (d == nullptr)
        return;
    long count = d4reccount(d);
    int steps = 0;
    for (int rc = d4top(d); rc == 0 && steps < 200; rc = d4skip(d, 1), steps++) {
        for (int j = 1; j <= d4num_fields(d); j++) {
            FIELD4 *f = d4field_j(d, j);
            (void)f4str(f);
            (void)f4double(f);
            if (f->memo != nullptr) {
                (void)f4memo_len(f);
                (void)f4memo_ptr(f);
            }
        }
    }
    if (count > 0 && rng() % 2 == 0 && d4go(d, 1 + long(rng() % (unsigned long)count)) == 0) {
        FIELD4 *f = d4field_j(d, 1);
        if (f != nullptr) {
            if (f->memo != nullptr)
                f4memo_assign(f, "replacement memo text");
            else
                f4assign(f, "X");
        }
        (void)d4flush(d);
    }
    if (rng() % 4 == 0 && d4append_start(d, 0) == 0) {
        d4blank(d);
        (void)d4append(d);
    }
    if (rng() % 8 == 0)
        (void)d4pack(d);
    d4close(d);
    e4set(&e.c4, 0);
}

} // namespace

TEST(DataFileHostile, FlippedBytesGiveResultsNeverCrashes)
{
    std::string samples = testutil::dataDir() + "/samples";
    std::string dbfBytes = testutil::readFile(samples + "/hb_memo.dbf");
    std::string fptBytes = testutil::readFile(samples + "/hb_memo.fpt");
    ASSERT_FALSE(dbfBytes.empty());
    ASSERT_FALSE(fptBytes.empty());
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int rounds = 0;
    for (; rounds < 600 && std::chrono::steady_clock::now() < deadline; rounds++) {
        d4test::Engine e;
        std::string dbf = dbfBytes, fpt = fptBytes;
        // Mostly the header and descriptors (the first 290 bytes), where a
        // wrong count or length does the most harm; sometimes anywhere.
        int flips = 1 + int(rng() % 3);
        for (int i = 0; i < flips; i++) {
            size_t where = rng() % 3 == 0 ? rng() % dbf.size() : rng() % 300;
            dbf[where] = char(rng() % 256);
        }
        if (rng() % 2 == 0) {
            size_t where = rng() % 3 == 0 ? rng() % 8 : rng() % fpt.size();
            fpt[where] = char(rng() % 256);
        }
        if (rng() % 10 == 0)
            dbf.resize(rng() % dbf.size());
        testutil::writeFile(e.path("t.dbf"), dbf);
        testutil::writeFile(e.path("t.fpt"), fpt);
        exercise(e, e.path("t.dbf"), rng);
        ASSERT_FALSE(HasFatalFailure()) << "seed " << seed << " round " << rounds;
    }
    EXPECT_GT(rounds, 50) << "too few rounds ran in the time allowed";
}

TEST(DataFileHostile, CorruptHeadersAreRefusedWithTheFileName)
{
    std::string good = testutil::readFile(testutil::dataDir() + "/samples/py_db3.dbf");
    ASSERT_GE(good.size(), 161u);
    struct Case {
        const char *what;
        size_t off;
        std::string bytes;
    } cases[] = {
        {"header length 0", 8, std::string("\x00\x00", 2)},
        {"header length 32", 8, std::string("\x20\x00", 2)},
        {"header length past the end", 8, std::string("\xff\xff", 2)},
        {"header length inside a descriptor", 8, std::string("\x30\x00", 2)},
    };
    for (const Case &c : cases) {
        d4test::Engine e;
        std::string bad = good;
        bad.replace(c.off, c.bytes.size(), c.bytes);
        testutil::writeFile(e.path("bad.dbf"), bad);
        e.c4.open_error = 0;
        DATA4 *d = d4open(&e.c4, e.path("bad.dbf").c_str());
        if (d != nullptr) {
            // A header that still frames whole descriptors may open; its
            // records must then read without harm.
            for (int rc = d4top(d); rc == 0; rc = d4skip(d, 1)) {
            }
            d4close(d);
            continue;
        }
        EXPECT_EQ(e4data, d4test::lastErrorCode()) << c.what;
        EXPECT_NE(std::string::npos, d4test::lastError().find("bad.dbf")) << c.what;
    }
}

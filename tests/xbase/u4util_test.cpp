// Shared utilities: bounded copy, the one-second wait, the header date,
// buffer growth, and byte-order reversal.
#include "xbase/u4util.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "xbase/e4error.h"
#include "xbase/mem4.h"

namespace {

struct CallsGuard {
    ~CallsGuard()
    {
        platformG = platformDefaultCalls;
        u4alloc_fail_after(-1);
    }
};

// A clock that the fake sleep advances: each sleep adds its length.
int64_t fakeNowMs = 0;
int sleepCalls = 0;
int64_t fakeTime() { return fakeNowMs / 1000; }
void fakeSleep(int ms)
{
    sleepCalls++;
    fakeNowMs += ms;
}
int64_t frozenTime() { return 42; }

} // namespace

TEST(BoundedCopy, CopiesAtMostLenMinusOneAndTerminates)
{
    const struct {
        const char *from;
        unsigned len;
        const char *want;
    } rows[] = {
        {"ABCDEFGHIJKLMNOPQRST", 12, "ABCDEFGHIJK"},
        {"abc", 12, "abc"},
        {"abc", 4, "abc"},
        {"abc", 3, "ab"},
        {"abc", 1, ""},
        {"", 5, ""},
    };
    for (const auto &r : rows) {
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        unsigned n = u4ncpy(buf, r.from, r.len);
        EXPECT_STREQ(r.want, buf) << r.from << " / " << r.len;
        EXPECT_EQ(std::strlen(r.want), n);
        EXPECT_EQ('#', buf[std::strlen(r.want) + 1]) << "nothing written past the terminator";
    }
    char guard = '#';
    EXPECT_EQ(0u, u4ncpy(&guard, "abc", 0));
    EXPECT_EQ('#', guard) << "a length of 0 writes nothing";
}

TEST(DelaySecond, SleepsInSlicesUntilTheSecondChanges)
{
    CallsGuard guard;
    platformG.time = fakeTime;
    platformG.sleepMs = fakeSleep;
    fakeNowMs = 5 * 1000 + 930;
    sleepCalls = 0;
    u4delay_sec();
    EXPECT_EQ(6, fakeTime());
    EXPECT_GE(sleepCalls, 1);
    EXPECT_LE(sleepCalls, 5) << "the wait ends as soon as the second changes";

    // A clock that never moves does not hold the caller much past a second.
    platformG.time = frozenTime;
    fakeNowMs = 0;
    u4delay_sec();
    EXPECT_GE(fakeNowMs, 1000);
    EXPECT_LE(fakeNowMs, 1200);
}

TEST(DelaySecond, RealClockTicks)
{
    int64_t before = platform_time();
    u4delay_sec();
    EXPECT_GT(platform_time(), before);
}

TEST(HeaderDate, YearsSince1900MonthDay)
{
    CallsGuard guard;
    platformG.localTime = [](int64_t, int f[6]) {
        f[0] = 2001, f[1] = 3, f[2] = 1, f[3] = f[4] = f[5] = 0;
        return 0;
    };
    char d[3];
    u4yymmdd(d);
    EXPECT_EQ(101, (unsigned char)d[0]);
    EXPECT_EQ(3, d[1]);
    EXPECT_EQ(1, d[2]);
}

TEST(BufferGrowth, KeepsContentsAndReportsExhaustion)
{
    CallsGuard guard;
    CODE4 c4{};
    char *buf = nullptr;
    unsigned len = 0;
    ASSERT_EQ(0, u4alloc_again(&c4, &buf, &len, 4));
    EXPECT_EQ(4u, len);
    std::memcpy(buf, "abcd", 4);
    char *before = buf;
    EXPECT_EQ(0, u4alloc_again(&c4, &buf, &len, 3));
    EXPECT_EQ(before, buf) << "a large enough buffer is left alone";
    ASSERT_EQ(0, u4alloc_again(&c4, &buf, &len, 10));
    EXPECT_EQ(10u, len);
    EXPECT_EQ(std::string("abcd\0\0\0\0\0\0", 10), std::string(buf, 10));

    e4clearErrorState();
    u4alloc_fail_after(0);
    EXPECT_EQ(e4memory, u4alloc_again(&c4, &buf, &len, 100));
    EXPECT_EQ(10u, len);
    EXPECT_EQ(std::string("abcd", 4), std::string(buf, 4)) << "the old buffer survives";
    int code = 0;
    e4getErrorInfo(&code, nullptr, 0);
    EXPECT_EQ(e4memory, code);
    u4alloc_fail_after(-1);
    u4free(buf);
}

TEST(ByteOrder, Reverse)
{
    EXPECT_EQ(0x78563412u, x4reverse_long(0x12345678u));
    EXPECT_EQ(0x3412u, x4reverse_short(0x1234u));
    EXPECT_EQ(0x12345678u, x4reverse_long(x4reverse_long(0x12345678u)));
    int a = 0, b = 0;
    EXPECT_EQ(1, u4ptr_equal(&a, &a));
    EXPECT_EQ(0, u4ptr_equal(&a, &b));
}

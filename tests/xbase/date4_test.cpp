// Tests of dates: day numbers, the "CCYYMMDD" text, pictures with month
// names, and today's date and time from the platform clock.
#include "xbase/date4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "codeset/codeset.h"
#include "platform/platform.h"

namespace {

std::string assigned(long day)
{
    char buf[12];
    memset(buf, '#', sizeof buf);
    date4assign(buf + 2, day);
    EXPECT_EQ(std::string(buf, 2), "##");
    EXPECT_EQ(std::string(buf + 10, 2), "##");
    return std::string(buf + 2, 8);
}

std::string formatted(const char *date, const char *picture)
{
    std::string pic(picture);
    std::string out(pic.size() + 8, '#');
    date4format(date, &out[0], &pic[0]);
    EXPECT_EQ(out[pic.size()], '\0') << picture;
    EXPECT_EQ(out.substr(pic.size() + 1), std::string(7, '#')) << picture;
    return out.substr(0, pic.size());
}

std::string initialised(const char *data, const char *picture)
{
    std::string pic(picture);
    // The data in a block of exactly its size, so that reading past its
    // terminator is caught by the address checker.
    size_t n = strlen(data) + 1;
    std::unique_ptr<char[]> copy(new char[n]);
    memcpy(copy.get(), data, n);
    char out[10];
    memset(out, '#', sizeof out);
    date4init(out, copy.get(), &pic[0]);
    EXPECT_EQ(std::string(out + 8, 2), "##");
    return std::string(out, 8);
}

TEST(DateDayNumber, EveryDayOfTheCalendarRoundTrips)
{
    long first = date4long("00010101");
    long last = date4long("99991231");
    ASSERT_EQ(first, 1721426L);
    ASSERT_EQ(last, c4ytoj(10000) + DATE4_JULIAN_OFFSET);
    std::string prev;
    int prevDow = 0;
    for (long day = first; day <= last; day++) {
        std::string text = assigned(day);
        ASSERT_EQ(date4long(text.c_str()), day) << text;
        ASSERT_TRUE(prev.empty() || text > prev) << prev << " then " << text;
        int dow = date4dow(text.c_str());
        ASSERT_TRUE(dow >= 1 && dow <= 7) << text;
        ASSERT_TRUE(prevDow == 0 || dow == prevDow % 7 + 1) << text;
        prev = text;
        prevDow = dow;
    }
    EXPECT_EQ(prev, "99991231");
}

TEST(DateDayNumber, KnownDays)
{
    EXPECT_EQ(date4long("20000101"), 2451545L);
    EXPECT_EQ(date4long("19961231"), 2450449L);
    EXPECT_EQ(date4long("19700101"), 2440588L);
    EXPECT_EQ(assigned(2451545L), "20000101");
    EXPECT_EQ(assigned(2451604L), "20000229");
    EXPECT_EQ(assigned(2451605L), "20000301");
}

struct ValidityCase {
    const char *date;
    bool valid;
};

TEST(DateDayNumber, RejectsImpossibleDates)
{
    const ValidityCase cases[] = {
        {"20000229", true},  {"19000229", false}, {"19960229", true},  {"19970229", false},
        {"19960230", false}, {"19961301", false}, {"19960001", false}, {"19960100", false},
        {"19960431", false}, {"19960430", true},  {"00000101", false}, {"ABCDEFGH", false},
        {"1996-1-1", false},
    };
    for (const ValidityCase &c : cases) {
        SCOPED_TRACE(c.date);
        long day = date4long(c.date);
        if (c.valid) {
            EXPECT_GT(day, 0);
            EXPECT_EQ(assigned(day), c.date);
        } else {
            EXPECT_EQ(day, -1);
            EXPECT_EQ(date4dow(c.date), 0);
            EXPECT_STREQ(date4cdow(c.date), "");
        }
    }
}

TEST(DateDayNumber, BlankAndOutOfRangeDaysAreBlank)
{
    EXPECT_EQ(date4long("        "), 0);
    EXPECT_EQ(date4dow("        "), 0);
    EXPECT_EQ(date4format_mdx("        "), 1e100);
    for (long day : {0L, -5L, 1721425L, c4ytoj(10000) + DATE4_JULIAN_OFFSET + 1, 99999999L}) {
        SCOPED_TRACE(day);
        EXPECT_EQ(assigned(day), "        ");
    }
    double d = 0;
    EXPECT_EQ(date4format_mdx2("19961231", &d), 0);
    EXPECT_EQ(d, 2450449.0);
}

TEST(DateParts, YearMonthDayAndNames)
{
    EXPECT_EQ(date4year("19961231"), 1996);
    EXPECT_EQ(date4month("19961231"), 12);
    EXPECT_EQ(date4day("19961231"), 31);
    EXPECT_EQ(date4dow("19961231"), 3);
    EXPECT_STREQ(date4cdow("19961231"), "Tuesday");
    EXPECT_STREQ(date4cdow("19961229"), "Sunday");
    EXPECT_STREQ(date4cdow("19961228"), "Saturday");
    EXPECT_STREQ(date4cmonth("19961231"), "December");
    EXPECT_STREQ(date4cmonth("19960931"), "September");
    EXPECT_STREQ(date4cmonth("1996  31"), "");
    EXPECT_STREQ(date4cmonth("19961331"), "");
    EXPECT_STREQ(date4cmonth("1996-131"), "");
}

TEST(DateParts, MonthTableEntriesPadToNineCharacters)
{
    for (int m = 0; m <= 12; m++) {
        size_t n = strlen(month_of_year[m]);
        for (size_t i = n + 1; i < 9; i++)
            EXPECT_EQ(month_of_year[m][i], ' ') << m;
    }
}

struct MonthDayCase {
    int year, dayOfYear, month, day, result;
};

TEST(DateParts, DayOfYearConversions)
{
    const MonthDayCase cases[] = {
        {2000, 60, 2, 29, 0}, {1999, 60, 3, 1, 0},   {1999, 59, 2, 28, 0}, {2000, 61, 3, 1, 0},
        {1999, 1, 1, 1, 0},   {1999, 365, 12, 31, 0}, {2000, 366, 12, 31, 0},
        {1999, 366, 0, 0, -1}, {2000, 367, 0, 0, -1}, {2000, 0, 0, 0, -1},
    };
    for (const MonthDayCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.year << " day " << c.dayOfYear);
        int month = -7, day = -7;
        EXPECT_EQ(c4mon_dy(c.year, c.dayOfYear, &month, &day), c.result);
        EXPECT_EQ(month, c.month);
        EXPECT_EQ(day, c.day);
        if (c.result == 0) {
            EXPECT_EQ(c4Julian(c.year, c.month, c.day), c.dayOfYear);
        }
    }
    EXPECT_EQ(c4Julian(-1, 1, 1), -1);
    EXPECT_EQ(c4Julian(1999, 2, 29), -1);
    EXPECT_EQ(c4Julian(1999, 13, 1), -1);
    EXPECT_EQ(c4ytoj(1), 0);
    EXPECT_EQ(c4ytoj(2), 365);
    EXPECT_EQ(c4ytoj(5) - c4ytoj(4), 366);
}

struct PictureCase {
    const char *date;
    const char *picture;
    const char *text;
    bool readsBack;   // date4init of the text gives the date again
};

TEST(DatePicture, FormatsAndReadsBack)
{
    mbstr_initialize(0);
    const PictureCase cases[] = {
        {"19961231", "MM/DD/YY", "12/31/96", true},
        {"19961231", "DD MMM CCYY", "31 Dec 1996", true},
        {"19961231", "MMMMMMMMM DD, CCYY", "December  31, 1996", true},
        {"19961231", "MM/DD/YYYY", "12/31/96YY", true},
        {"19961231", "CCYYMMDD", "19961231", true},
        {"19961231", "mm/dd/ccyy", "12/31/1996", true},
        {"20050501", "MMMMMMMMM", "May      ", false},
        {"20050501", "MMMMMMMMMMMM CCYY", "May          2005", true},
        {"20050901", "MMMMMMMMMMMM", "September   ", false},
        {"20050901", "MMMM", "Sept", false},
        {"20050301", "YY", "05", false},
        {"        ", "MM/DD/YY", "  /  /  ", true},
        {"        ", "DD MMM CCYY", "           ", true},
        {"19960300", "DD MMM", "00 Mar", false},
    };
    for (const PictureCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.date << " as " << c.picture);
        EXPECT_EQ(formatted(c.date, c.picture), c.text);
        if (c.readsBack) {
            EXPECT_EQ(initialised(c.text, c.picture), c.date);
        }
    }
}

TEST(DatePicture, ReadingFillsDefaultsAndRejectsUnknownMonths)
{
    mbstr_initialize(0);
    EXPECT_EQ(initialised("96", "YY"), "19960101");
    EXPECT_EQ(initialised("07/04", "MM/DD"), "19010704");
    EXPECT_EQ(initialised("31 DEC 1996", "dd mmm ccyy"), "19961231");
    EXPECT_EQ(initialised("31 de  1996", "DD MMM CCYY"), "19961231");
    EXPECT_EQ(initialised("01 J   2001", "DD MMM CCYY"), "20010101");
    // Unknown or missing month names leave month 00: an invalid date.
    EXPECT_EQ(initialised("31 Xyz 1996", "DD MMM CCYY"), "19960031");
    EXPECT_EQ(initialised("31     1996", "DD MMM CCYY"), "19960031");
    EXPECT_EQ(date4long(initialised("31 Xyz 1996", "DD MMM CCYY").c_str()), -1);
    // Data shorter than the picture: nothing is read past its end.
    EXPECT_EQ(initialised("12/31", "MM/DD/YY"), "19001231");
    EXPECT_EQ(initialised("31 D", "DD MMM CCYY"), "00001231");
    EXPECT_EQ(initialised("", "MM/DD/YY"), "        ");
}

// A fixed clock through the platform layer.
struct FixedClock {
    FixedClock()
    {
        platformG.time = [] { return (int64_t)983452000; };
        platformG.localTime = [](int64_t, int f[6]) {
            const int fixed[6] = {2001, 3, 1, 7, 5, 9};
            memcpy(f, fixed, sizeof fixed);
            return 0;
        };
    }
    ~FixedClock()
    {
        platformG.time = platformDefaultCalls.time;
        platformG.localTime = platformDefaultCalls.localTime;
    }
};

TEST(DateClock, TodayAndTimeComeFromThePlatformClock)
{
    FixedClock clock;
    char date[10], time[10];
    memset(date, '#', sizeof date);
    memset(time, '#', sizeof time);
    date4today(date);
    date4time_now(time);
    EXPECT_EQ(std::string(date, 10), "20010301##");
    EXPECT_EQ(std::string(time, 10), "07:05:09##");
}

TEST(DateClock, FailingClockGivesBlanks)
{
    FixedClock clock;
    platformG.localTime = [](int64_t, int *) { return -1; };
    char date[8], time[8];
    date4today(date);
    date4time_now(time);
    EXPECT_EQ(std::string(date, 8), "        ");
    EXPECT_EQ(std::string(time, 8), "        ");
}

} // namespace

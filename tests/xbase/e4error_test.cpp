// Error reports: the text left in the last-error slot, its 511-character
// cap, copying it out, the context's pending code, and the exit statuses.
#include "xbase/e4error.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string slot()
{
    char buf[E4_ERROR_BUFFER_LEN];
    e4getErrorInfo(nullptr, buf, sizeof buf);
    return buf;
}

int slotCode()
{
    int code = 12345;
    e4getErrorInfo(&code, nullptr, 0);
    return code;
}

} // namespace

TEST(ErrorReport, FormatsCodeTextAndDescriptionsWithBlanks)
{
    CODE4 c4;
    std::memset(&c4, 0, sizeof c4);
    c4.error_code = 70;
    EXPECT_EQ(-60, e4describe(&c4, -60, "File Name:", "A.DBF", nullptr));
    EXPECT_EQ("Xbase -60: Opening File File Name: A.DBF ", slot());
    EXPECT_EQ(-60, slotCode());
    EXPECT_EQ(70, c4.error_code) << "a report leaves the pending code alone";

    EXPECT_EQ(-920, e4(nullptr, -920, nullptr));
    EXPECT_EQ("Xbase -920: Out of Memory ", slot());

    // The third description has no blank after it.
    e4describe(&c4, -120, "a", "b", "c");
    EXPECT_EQ("Xbase -120: Writing to File a b c", slot());
}

TEST(ErrorReport, UnknownCodeHasNoTableText)
{
    EXPECT_EQ(nullptr, e4text(-9999));
    EXPECT_EQ(nullptr, e4text(0));
    EXPECT_STREQ("Unexpected Parameter", e4text(-930));
    e4describe(nullptr, -9999, "one", "two", nullptr);
    EXPECT_EQ("Xbase -9999: one two ", slot());
}

TEST(ErrorReport, EveryTableRowHasItsOwnCode)
{
    int rows = 0;
    for (const error_data_st *e = e4error_data; e->error_num != 0; e++, rows++) {
        EXPECT_LT(e->error_num, 0);
        EXPECT_EQ(e->error_data, e4text(e->error_num)) << "duplicate code " << e->error_num;
    }
    EXPECT_EQ(63, rows);
}

TEST(ErrorReport, MessageIsCappedAt511Characters)
{
    std::string long1(300, 'x'), long2(300, 'y');
    e4describe(nullptr, -60, long1.c_str(), long2.c_str(), "zzz");
    std::string s = slot();
    ASSERT_EQ(511u, s.size());
    std::string head = "Xbase -60: Opening File " + long1 + " ";
    EXPECT_EQ(head, s.substr(0, head.size()));
    EXPECT_EQ(std::string(511 - head.size(), 'y'), s.substr(head.size()));

    // A piece that ends exactly at the cap gets no blank after it.
    std::string exact(511 - std::strlen("Xbase -1: "), 'q');
    e4(nullptr, -1, exact.c_str());
    EXPECT_EQ("Xbase -1: " + exact, slot());
}

TEST(ErrorReport, CopyOutCutsAndTerminates)
{
    e4describe(nullptr, -60, "File Name:", "A.DBF", nullptr);
    char buf[10];
    std::memset(buf, '#', sizeof buf);
    int code = 0;
    e4getErrorInfo(&code, buf, sizeof buf);
    EXPECT_EQ(-60, code);
    EXPECT_STREQ("Xbase -60", buf);

    // A length of 0 writes nothing at all.
    char guard[2] = {'#', '#'};
    e4getErrorInfo(nullptr, guard, 0);
    EXPECT_EQ('#', guard[0]);
    EXPECT_EQ('#', guard[1]);

    e4clearErrorState();
    EXPECT_EQ("", slot());
    EXPECT_EQ(0, slotCode());
}

TEST(ErrorPendingCode, SetReturnsPreviousAndNullContextAnswersMinusOne)
{
    CODE4 c4;
    std::memset(&c4, 0, sizeof c4);
    EXPECT_EQ(0, e4set(&c4, -920));
    EXPECT_EQ(-920, e4code(&c4));
    EXPECT_EQ(-920, e4set(&c4, 0));
    EXPECT_EQ(-1, e4code(nullptr));
    EXPECT_EQ(-1, e4set(nullptr, 5));
}

TEST(ErrorExit, StatusMapping)
{
    const struct {
        int status, exit;
    } rows[] = {{0, 0}, {1, 1}, {70, 70}, {255, 255}, {256, 1}, {0x8000, 1},
                {70000, 1}, {-1, 255}, {-920, 255}};
    for (const auto &r : rows)
        EXPECT_EQ(r.exit, e4exit_status(r.status)) << r.status;
}

TEST(ErrorExitDeathTest, EndsTheProcessWithMappedStatus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CODE4 c4;
    std::memset(&c4, 0, sizeof c4);
    c4.error_code = -60;
    EXPECT_EXIT(e4exit(&c4), testing::ExitedWithCode(255), "");
    EXPECT_EXIT(e4exit(nullptr), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(e4exit_test(&c4), testing::ExitedWithCode(255), "");
    EXPECT_EXIT(e4severe(-950, "broken"), testing::ExitedWithCode(1),
                "Xbase -950: Unexpected Result broken");
    c4.error_code = 70;
    e4exit_test(&c4); // a positive code is no reason to end
    SUCCEED();
}

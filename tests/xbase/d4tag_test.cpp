// Tests of a tag's key read through its table: the key's text for the
// record in the buffer, whatever tag of the table is asked, and refusal of
// a tag the table does not own.
#include "tests/xbase/d4test.h"

#include "xbase/xbase.h"

using namespace d4test;

TEST(TableTagKey, IsTheExpressionsTextForTheRecordInTheBuffer)
{
    Engine e;
    const TAG4INFO tags[] = {{"NAME", "NAME", nullptr, 0, 0},
                             {"UPQTY", "UPPER(NAME)+STR(QTY,5,2)", nullptr, 0, 0},
                             {"BACK", "NAME+'/'", "OK", 0, 1},
                             {nullptr, nullptr, nullptr, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("t").c_str(), smallFields(), tags);
    DATA4 *other = d4create(&e.c4, e.path("o").c_str(), smallFields(), tags);
    ASSERT_TRUE(d != nullptr && other != nullptr) << lastError();
    appendNames(d, {"alpha", "Beta"});
    const struct {
        long rec;
        const char *tag;
        std::string want;
    } cases[] = {
        {1, "NAME", "alpha     "}, {1, "UPQTY", "ALPHA      1.00"}, {1, "BACK", "alpha     /"},
        {2, "NAME", "Beta      "}, {2, "UPQTY", "BETA       2.00"}, {2, "BACK", "Beta      /"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(0, d4go(d, c.rec));
        char *text = nullptr;
        int len = d4tag_key(d, d4tag(d, c.tag), &text);
        ASSERT_GE(len, 0) << c.tag << " " << lastError();
        EXPECT_EQ(c.want, std::string(text, (size_t)len)) << c.tag << " record " << c.rec;
    }
    // The buffer, not the file: a field changed and not yet written.
    f4assign(d4field(d, "NAME"), "gamma");
    char *text = nullptr;
    ASSERT_EQ(10, d4tag_key(d, d4tag(d, "NAME"), &text));
    EXPECT_EQ("gamma     ", std::string(text, 10));
    // A tag of another table, or none, has no key here.
    EXPECT_EQ(-1, d4tag_key(d, d4tag(other, "NAME"), &text));
    EXPECT_EQ(-1, d4tag_key(d, nullptr, &text));
    EXPECT_EQ(0, d4close_all(&e.c4));
}

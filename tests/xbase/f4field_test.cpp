// Tests of field access: lookup by name and number, text and number
// assignment in place, reading values back, dates and the shared buffer.
#include "xbase/f4field.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codeset/codeset.h"
#include "tests/xbase/d4test.h"
#include "xbase/d4data.h"
#include "xbase/date4.h"
#include "xbase/e4error.h"
#include "xbase/mem4.h"

namespace {

struct FieldDef {
    const char *name;
    int type;
    unsigned len;
    int dec;
};

// A table held in memory only: a context, the field array and a record
// buffer filled with '#' so that writes outside a field show.
struct MemTable {
    CODE4 c4;
    DATA4 data;
    std::vector<FIELD4> fields;
    std::vector<char> record;

    explicit MemTable(std::vector<FieldDef> defs)
    {
        mbstr_initialize(0);
        memset(&c4, 0, sizeof c4);
        c4.field_name_error = 1;
        memset(&data, 0, sizeof data);
        data.code_base = &c4;
        int offset = 1;
        for (const FieldDef &d : defs) {
            FIELD4 f;
            memset(&f, 0, sizeof f);
            strcpy(f.name, d.name);
            f.type = d.type;
            f.len = d.len;
            f.dec = d.dec;
            f.offset = offset;
            f.data = &data;
            offset += (int)d.len;
            fields.push_back(f);
        }
        record.assign((size_t)offset + 1, '#');
        data.record = record.data();
        data.record_width = (unsigned)offset;
        data.fields = fields.data();
        data.n_fields = (int)fields.size();
    }
    ~MemTable() { u4free(c4.field_buffer); }

    FIELD4 *f(int j) { return &fields[(size_t)j - 1]; }
    std::string value(int j) { return std::string(f4ptr(f(j)), f(j)->len); }
    std::string all() { return std::string(record.begin(), record.end()); }
};

TEST(FieldLookup, ByNameIgnoresCaseAndTrailingBlanks)
{
    MemTable t({{"ID", 'N', 4, 0}, {"NAME", 'C', 10, 0}, {"PRICE", 'F', 8, 2}});
    EXPECT_EQ(d4field_number(&t.data, "name "), 2);
    EXPECT_EQ(d4field_number(&t.data, "Price"), 3);
    EXPECT_EQ(d4field(&t.data, "id"), t.f(1));
    EXPECT_EQ(d4field_number(&t.data, ("NAME" + std::string(300, ' ')).c_str()), 2);
    EXPECT_EQ(d4field_j(&t.data, 3), t.f(3));
    EXPECT_EQ(f4type(t.f(3)), 'N');
    EXPECT_STREQ(f4name(t.f(2)), "NAME");
    EXPECT_EQ(f4len(t.f(3)), 8u);
    EXPECT_EQ(f4decimals(t.f(3)), 2);
    EXPECT_EQ(f4data(t.f(1)), &t.data);

    EXPECT_EQ(d4field_number(nullptr, "NAME"), 0);
    EXPECT_EQ(d4field_j(nullptr, 1), nullptr);
    EXPECT_EQ(d4field_j(&t.data, 0), nullptr);
    EXPECT_EQ(d4field_j(&t.data, 4), nullptr);
}

TEST(FieldLookup, UnknownNameIsReportedOnlyWhenAsked)
{
    MemTable t({{"NAME", 'C', 10, 0}});
    int code = 0;
    char msg[E4_ERROR_BUFFER_LEN];
    e4clearErrorState();
    t.c4.field_name_error = 0;
    EXPECT_EQ(d4field_number(&t.data, "NOPE"), -1);
    EXPECT_EQ(d4field(&t.data, "NAMEX"), nullptr);
    e4getErrorInfo(&code, msg, sizeof msg);
    EXPECT_EQ(code, 0);

    t.c4.field_name_error = 1;
    EXPECT_EQ(d4field_number(&t.data, "nope"), -1);
    e4getErrorInfo(&code, msg, sizeof msg);
    EXPECT_EQ(code, -210);
    EXPECT_STREQ(msg, "Xbase -210: Unrecognized Field Name nope ");
    EXPECT_EQ(t.c4.error_code, 0);

    // Text past what a name can hold does not match by its prefix.
    std::string padded = "NAME" + std::string(252, ' ') + "X";
    EXPECT_EQ(d4field_number(&t.data, padded.c_str()), -1);
    EXPECT_EQ(d4field_number(&t.data, nullptr), -1);
}

TEST(FieldText, AssignPadsOrCutsWithinTheField)
{
    MemTable t({{"A", 'C', 5, 0}, {"B", 'C', 3, 0}});
    f4assign(t.f(1), "ABC");
    EXPECT_EQ(t.all(), "#ABC  ####");
    EXPECT_EQ(t.data.record_changed, 1);
    f4assign(t.f(1), "ABCDEFG");
    EXPECT_EQ(t.all(), "#ABCDE####");
    f4assign_n(t.f(2), "xy\0z", 4);
    EXPECT_EQ(t.all(), std::string("#ABCDExy\0#", 10));
    f4blank(t.f(2));
    EXPECT_EQ(t.all(), "#ABCDE   #");
    f4assign(t.f(1), "");
    EXPECT_EQ(t.all(), "#" + std::string(8, ' ') + "#");
}

TEST(FieldText, CopiesOutBoundedAndTerminated)
{
    MemTable t({{"A", 'C', 5, 0}});
    f4assign(t.f(1), "HELLO");
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(f4ncpy(t.f(1), buf, 0), 0u);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(f4ncpy(t.f(1), buf, 3), 2u);
    EXPECT_STREQ(buf, "HE");
    EXPECT_EQ(f4ncpy(t.f(1), buf, sizeof buf), 5u);
    EXPECT_STREQ(buf, "HELLO");

    EXPECT_STREQ(f4str(t.f(1)), "HELLO");
    EXPECT_EQ(t.c4.buf_len, 6u);
}

TEST(FieldText, StrIsEmptyWhenTheSharedBufferCannotGrow)
{
    MemTable t({{"A", 'C', 5, 0}});
    f4assign(t.f(1), "HELLO");
    e4clearErrorState();
    u4alloc_fail_after(0);
    char *s = f4str(t.f(1));
    u4alloc_fail_after(-1);
    EXPECT_STREQ(s, "");
    int code = 0;
    e4getErrorInfo(&code, nullptr, 0);
    EXPECT_EQ(code, -920);
    EXPECT_STREQ(f4str(t.f(1)), "HELLO");
}

struct AssignCase {
    int type;
    unsigned len;
    int dec;
    double value;
    bool asLong;
    const char *want;
};

TEST(FieldNumber, AssignRightJustifiesWithinTheWidth)
{
    const AssignCase cases[] = {
        {'N', 3, 0, -7, true, " -7"},
        {'N', 3, 0, -100, true, "***"},
        {'N', 6, 2, 5, true, "  5.00"},
        {'N', 3, 2, 5, true, "***"},
        {'F', 8, 3, -2.5, false, "  -2.500"},
        {'N', 4, 0, 12.6, false, "  13"},
        {'M', 10, 0, 12, true, "        12"},
    };
    for (const AssignCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " in " << (char)c.type << c.len << "." << c.dec);
        MemTable t({{"X", c.type, c.len, c.dec}});
        if (c.asLong)
            f4assign_long(t.f(1), (long)c.value);
        else
            f4assign_double(t.f(1), c.value);
        EXPECT_EQ(t.all(), "#" + std::string(c.want) + "#");
    }
}

TEST(FieldNumber, ReadsTheTextBack)
{
    MemTable t({{"I", 'N', 4, 0}, {"D", 'N', 8, 2}, {"M", 'M', 10, 0}});
    f4assign_int(t.f(1), -42);
    EXPECT_EQ(t.value(1), " -42");
    EXPECT_EQ(f4int(t.f(1)), -42);
    EXPECT_EQ(f4long(t.f(1)), -42);
    f4assign_int(t.f(2), 7);
    EXPECT_EQ(t.value(2), "    7.00");
    f4assign_double(t.f(2), 1234.567);
    EXPECT_EQ(f4double(t.f(2)), 1234.57);
    double d = 0;
    EXPECT_EQ(f4double2(t.f(2), &d), 0);
    EXPECT_EQ(d, 1234.57);
    f4blank(t.f(3));
    EXPECT_EQ(f4long(t.f(3)), 0);
    f4assign_long(t.f(3), 4711);
    EXPECT_EQ(f4long(t.f(3)), 4711);
}

TEST(FieldNumber, PendingErrorStopsAssignmentsAndIntReads)
{
    MemTable t({{"I", 'N', 4, 0}, {"D", 'D', 8, 0}});
    f4assign_int(t.f(1), 5);
    t.c4.error_code = -920;
    f4assign_int(t.f(1), 6);
    f4assign_long(t.f(1), 7);
    f4assign_double(t.f(1), 8);
    f4assign_long(t.f(2), 2450449L);
    EXPECT_EQ(t.value(1), "   5");
    EXPECT_EQ(t.value(2), "########");
    EXPECT_EQ(f4int(t.f(1)), -1);
}

TEST(FieldDate, DayNumbersRoundTrip)
{
    MemTable t({{"D", 'D', 8, 0}});
    long day = date4long("19961231");
    f4assign_long(t.f(1), day);
    EXPECT_EQ(t.value(1), "19961231");
    EXPECT_EQ(f4long(t.f(1)), day);
    EXPECT_EQ(f4double(t.f(1)), (double)day);
    f4assign_double(t.f(1), (double)day + 1.9);   // truncated to the day
    EXPECT_EQ(t.value(1), "19970101");
    // f4assign_int has no date case: the number is written as text.
    f4assign_int(t.f(1), 42);
    EXPECT_EQ(t.value(1), "      42");

    for (double bad : {0.0, -3.0, std::nan(""), 1e300, 99999999.0}) {
        SCOPED_TRACE(bad);
        f4assign_long(t.f(1), day);
        f4assign_double(t.f(1), bad);
        EXPECT_EQ(t.all(), "#        #");
        EXPECT_EQ(f4long(t.f(1)), 0);
    }
}

TEST(FieldDate, DamagedWidthNeverReachesPastTheField)
{
    MemTable t({{"D", 'D', 3, 0}, {"N", 'C', 5, 0}});
    f4assign(t.f(2), "12311");
    f4assign_long(t.f(1), date4long("19961231"));
    EXPECT_EQ(t.all(), "#19912311#");
    EXPECT_EQ(f4long(t.f(1)), -1);
}

// Values assigned through a real table come back after reopening, and a
// reader written by others parses the stored number and date text to the
// same values.
TEST(FieldTable, AssignedValuesSurviveTheFileAndOtherReaders)
{
    d4test::Engine e;
    const FIELD4INFO defs[] = {{"NAME", 'C', 6, 0},  {"QTY", 'N', 4, 0}, {"PRICE", 'N', 8, 2},
                               {"RATE", 'F', 10, 4}, {"DAY", 'D', 8, 0}, {nullptr, 0, 0, 0}};
    DATA4 *d = d4create(&e.c4, e.path("vals").c_str(), defs, nullptr);
    ASSERT_NE(d, nullptr) << d4test::lastError();
    ASSERT_EQ(d4append_start(d, 0), 0);
    d4blank(d);
    f4assign(d4field(d, "NAME"), "ABCDEFGH");
    f4assign_long(d4field(d, "QTY"), -7);
    f4assign_double(d4field(d, "PRICE"), 3.14159);
    f4assign_double(d4field(d, "RATE"), -2.5);
    f4assign_long(d4field(d, "DAY"), date4long("19961231"));
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(d4append_start(d, 0), 0);
    d4blank(d);
    f4assign(d4field(d, "NAME"), "x");
    f4assign_int(d4field(d, "QTY"), 1234);
    f4assign_double(d4field(d, "PRICE"), 0.005);
    f4assign_double(d4field(d, "RATE"), -0.00001);
    f4assign_double(d4field(d, "DAY"), 2451604.5);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(d4close(d), 0);

    d = d4open(&e.c4, e.path("VALS.DBF").c_str());
    ASSERT_NE(d, nullptr) << d4test::lastError();
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_STREQ(f4str(d4field(d, "NAME")), "ABCDEF");
    EXPECT_EQ(f4long(d4field(d, "QTY")), -7);
    EXPECT_EQ(f4double(d4field(d, "PRICE")), 3.14);
    EXPECT_STREQ(f4str(d4field(d, "RATE")), "   -2.5000");
    EXPECT_EQ(f4long(d4field(d, "DAY")), date4long("19961231"));
    ASSERT_EQ(d4go(d, 2), 0);
    EXPECT_STREQ(f4str(d4field(d, "PRICE")), "    0.01");
    EXPECT_STREQ(f4str(d4field(d, "RATE")), "    0.0000");
    EXPECT_STREQ(f4str(d4field(d, "DAY")), "20000229");
    ASSERT_EQ(d4close(d), 0);
    d4init_undo(&e.c4);   // releases the shared field buffer

    const char *script = "import sys, dbfread\n"
                         "for r in dbfread.DBF(sys.argv[1]):\n"
                         "    print('|'.join(str(v) for v in r.values()))\n";
    auto res = testutil::runProgram({"/usr/bin/python3", "-c", script, e.path("VALS.DBF")},
                                    e.dir.path);
    if (res.exitStatus != 0 && res.err.find("No module named") != std::string::npos)
        GTEST_SKIP() << "python3-dbfread is not installed";
    ASSERT_EQ(res.exitStatus, 0) << res.err;
    EXPECT_EQ(res.out, "ABCDEF|-7|3.14|-2.5|1996-12-31\n"
                       "x|1234|0.01|0.0|2000-02-29\n");
}

} // namespace

// Tests of the shared conversions: number to fixed-width text, decimal text
// to number, picture rearrangement, trimming and case changes.
#include "xbase/c4conv.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cfloat>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codeset/codeset.h"
#include "tests/testutil.h"

namespace {

// Runs a writer into a buffer fenced by guard bytes and returns exactly the
// `width` characters written; fails the test when a guard byte changed.
template <typename Fn>
std::string fenced(int width, Fn write)
{
    std::string buf(width + 8, '#');
    write(&buf[4]);
    EXPECT_EQ(buf.substr(0, 4), "####");
    EXPECT_EQ(buf.substr(4 + width), "####");
    return buf.substr(4, width);
}

std::string dtoa(double v, int len, int dec)
{
    return fenced(len, [&](char *p) { c4dtoa45(v, p, len, dec); });
}

std::string ltoa(long v, int num)
{
    return fenced(num < 0 ? -num : num, [&](char *p) { c4ltoa45(v, p, num); });
}

struct DtoaCase {
    double value;
    int len;
    int dec;
    const char *want;
};

TEST(NumberToText, FixedWidthRoundingAndOverflow)
{
    const double inf = std::numeric_limits<double>::infinity();
    const DtoaCase cases[] = {
        {3.14159, 6, 2, "  3.14"},
        {-2.5, 6, 2, " -2.50"},
        {123456.0, 5, 0, "*****"},
        {0.05, 5, 2, " 0.05"},
        {0.5, 4, 2, "0.50"},
        {9.995, 4, 2, "9.99"},        // the stored double lies below 9.995
        {999.995, 6, 2, "******"},    // rounds up to 1000.00: one digit too many
        {0.005, 4, 2, "0.01"},
        {0.000001, 8, 6, "0.000001"},
        {0.0123, 6, 3, " 0.012"},
        {-0.0123, 6, 3, "-0.012"},
        {-7, 3, 0, " -7"},
        {-99, 3, 0, "-99"},
        {-100, 3, 0, "***"},
        {2.5, 1, 0, "3"},             // halves go away from zero
        {0, 5, 0, "    0"},
        {1e300, 10, 2, "**********"},
        {inf, 5, 0, "*****"},
        {-inf, 5, 0, "*****"},
        {std::nan(""), 5, 1, "*****"},
        // Points and signs where the integer part has no room.
        {0.5, 3, 2, ".50"},
        {-0.5, 4, 2, "-.50"},
        {-0.5, 3, 2, "***"},
        {5, 3, 2, "***"},
        // More than 15 decimals: 15 are written and the point moves left.
        {1.5, 20, 18, "   1.500000000000000"},
    };
    for (const DtoaCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " in " << c.len << "." << c.dec);
        EXPECT_EQ(dtoa(c.value, c.len, c.dec), c.want);
    }
}

TEST(NumberToText, ExactHalvesGoAwayFromZeroOthersKeepTheirBinaryValue)
{
    const double big = 1e15 + 0.5;          // exactly representable
    const double quarter = 0x1p50 + 0.25;   // a tie at one decimal with the coarsest step there
    const DtoaCase cases[] = {
        {2.5, 3, 0, "  3"},       {2.5, 5, 1, "  2.5"},     {-2.5, 3, 0, " -3"},
        {-2.5, 2, 0, "-3"},       {0.125, 5, 2, " 0.13"},   {0.125, 4, 1, " 0.1"},
        {-0.125, 5, 2, "-0.13"},  {-0.125, 3, 2, "***"},    {742.5, 4, 0, " 743"},
        {742.5, 6, 1, " 742.5"},  {-742.5, 4, 0, "-743"},   {0.5, 1, 0, "1"},
        {-0.5, 2, 0, "-1"},       {9.5, 1, 0, "*"},         {9.5, 2, 0, "10"},
        {99.875, 6, 2, " 99.88"}, {big, 16, 0, "1000000000000001"},
        {-big, 17, 0, "-1000000000000001"},               {big, 18, 1, "1000000000000000.5"},
        {quarter, 18, 1, "1125899906842624.3"},
        // Stored just below the tie: its binary value decides.
        {-564.15, 6, 1, "-564.1"}, {-564.15, 7, 2, "-564.15"}, {0.15, 3, 1, "0.1"},
        {1.005, 4, 2, "1.00"},
    };
    for (const DtoaCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " in " << c.len << "." << c.dec);
        EXPECT_EQ(dtoa(c.value, c.len, c.dec), c.want);
    }
}

TEST(NumberToText, NegativeZeroIsStoredAsZero)
{
    EXPECT_EQ(dtoa(-0.001, 5, 2), " 0.00");
    EXPECT_EQ(dtoa(-0.0, 4, 1), " 0.0");
    EXPECT_EQ(dtoa(-0.4, 3, 0), "  0");
    EXPECT_EQ(dtoa(-0.004, 4, 2), "0.00");
}

// The model of the rounding: the value's whole decimal expansion (every
// double has one of at most 1074 decimals) cut to `dec` decimals, one more
// in the last place when the cut part is more than half or exactly half,
// and a sign only when a digit other than zero is left.
std::string roundedModel(double v, int dec)
{
    std::vector<char> exact(DBL_MAX_10_EXP + 1100);
    snprintf(exact.data(), exact.size(), "%.1074f", std::fabs(v));
    std::string s = exact.data();
    size_t cut = s.find('.') + 1 + (size_t)dec;
    std::string rest = s.substr(cut);
    std::string r = s.substr(0, dec > 0 ? cut : cut - 1);
    if (rest[0] >= '5') {
        int i = (int)r.size() - 1;
        for (; i >= 0 && (r[i] == '9' || r[i] == '.'); i--)
            if (r[i] == '9')
                r[i] = '0';
        if (i < 0)
            r.insert(0, "1");
        else
            r[(size_t)i]++;
    }
    bool negative = v < 0 && r.find_first_not_of("0.") != std::string::npos;
    return (negative ? "-" : "") + r;
}

// Wherever the model's text has exactly the field's width, the field text
// must be the same; elsewhere it must be asterisks or a narrower layout,
// never a wider one. Every seventh value is a whole number, every fifth an
// exact tie at the decimals asked for.
TEST(NumberToText, AgreesWithTheExactDecimalExpansionWhereItFits)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> lenDist(1, 20), decDist(0, 15), expDist(-8, 12), bitsDist(1, 52);
    std::uniform_real_distribution<double> mant(-10.0, 10.0);
    int compared = 0, ties = 0;
    for (int i = 0; i < 20000; i++) {
        int len = lenDist(rng);
        int dec = decDist(rng) % (len > 1 ? len : 1);
        double v = mant(rng) * std::pow(10.0, expDist(rng));
        if (i % 7 == 0)
            v = std::round(v);
        if (i % 5 == 0) {
            // An odd multiple of 2^-(dec + 1) is halfway between two
            // numbers of dec decimals.
            uint64_t bits = (uint64_t)rng() << 32 | rng();
            uint64_t odd = (bits & ((1ull << bitsDist(rng)) - 1)) | 1;
            v = std::ldexp((double)odd, -(dec + 1)) * (rng() % 2 ? -1 : 1);
        }
        std::string model = roundedModel(v, dec);
        if (i % 5 == 0 && (int)model.size() <= len)
            ties++;
        std::string w = std::string(len > (int)model.size() ? len - model.size() : 0, ' ') + model;
        std::string got = dtoa(v, len, dec);
        if ((int)w.size() == len) {
            ASSERT_EQ(got, w) << v << " in " << len << "." << dec;
            compared++;
        } else if (got != std::string(len, '*')) {
            // Too wide only by the zero before the point: that zero goes.
            std::string t = w.substr(w.find_first_not_of(' '));
            size_t zero = t.find("0.");
            ASSERT_TRUE(zero == 0 || (zero == 1 && t[0] == '-')) << v << " in " << len << "." << dec;
            t.erase(zero, 1);
            ASSERT_EQ(got, t) << v << " in " << len << "." << dec;
        }
    }
    EXPECT_GT(compared, 5000);
    EXPECT_GT(ties, 1000);
}

struct LtoaCase {
    long value;
    int num;
    const char *want;
};

TEST(IntegerToText, RightAlignedZeroFilledAndOverflow)
{
    const LtoaCase cases[] = {
        {42, 5, "   42"},
        {-42, 5, "  -42"},
        {42, -4, "0042"},
        {123456, 5, "*****"},
        {42, -2, "42"},
        {7, -2, "07"},
        {-1, -2, "**"},               // zero-filled text has no room for a sign
        {-42, -5, "*****"},
        {0, 3, "  0"},
        {0, -3, "000"},
        {-7, 3, " -7"},
        {-100, 3, "***"},
        {-99, 3, "-99"},
        {LONG_MAX, 19, "9223372036854775807"},
        {LONG_MIN, 20, "-9223372036854775808"},
        {LONG_MIN, 19, "*******************"},
    };
    for (const LtoaCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " width " << c.num);
        EXPECT_EQ(ltoa(c.value, c.num), c.want);
    }
    char untouched = '#';
    c4ltoa45(5, &untouched, 0);
    EXPECT_EQ(untouched, '#');
}

struct AtodCase {
    const char *text;
    int len;        // -1: the text's length
    double want;
};

TEST(TextToNumber, ReadsDecimalTextOnly)
{
    const AtodCase cases[] = {
        {"  12.5", -1, 12.5},
        {"-3", -1, -3},
        {"+4.25e2", -1, 425},
        {"1.5E-2", -1, 0.015},
        {".5", -1, 0.5},
        {"5.", -1, 5},
        {"1e", -1, 1},
        {"1e+", -1, 1},
        {"12abc", -1, 12},
        {"1 2", -1, 1},
        {"123456", 3, 123},
        {"", -1, 0},
        {"   ", -1, 0},
        {"-", -1, 0},
        {".", -1, 0},
        {"0x1A", -1, 0},
        {"  0x1A", -1, 0},
        {"inf", -1, 0},
        {"-infinity", -1, 0},
        {"nan", -1, 0},
        {"NAN(1)", -1, 0},
        {"1e400", -1, HUGE_VAL},
    };
    for (const AtodCase &c : cases) {
        SCOPED_TRACE(c.text);
        int len = c.len < 0 ? (int)strlen(c.text) : c.len;
        EXPECT_EQ(c4atod(c.text, len), c.want);
        double r = -99;
        EXPECT_EQ(c4atod2(c.text, len, &r), 0);
        EXPECT_EQ(r, c.want);
    }
}

TEST(TextToNumber, ShortDecimalsReadAsTheStandardConversionReadsThem)
{
    // Texts of up to 17 digits: those of at most 15 take the short way,
    // the rest the standard conversion; both must give its double.
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    for (int i = 0; i < 50000; i++) {
        std::string t(rng() % 3, ' ');
        if (rng() % 3 == 0)
            t += rng() % 2 ? '-' : '+';
        int digits = 1 + (int)(rng() % 17);
        int point = (int)(rng() % (digits + 2)) - 1;    // -1: no point
        for (int d = 0; d < digits; d++) {
            if (d == point)
                t += '.';
            t += (char)('0' + (rng() % 4 == 0 ? 0 : rng() % 10));
        }
        if (point == digits)
            t += '.';
        double want = std::strtod(t.c_str(), nullptr);
        if (want == 0.0)
            want = 0.0;
        double got = c4atod(t.c_str(), (int)t.size());
        ASSERT_EQ(0, std::memcmp(&got, &want, sizeof got)) << '"' << t << "\" " << got << " vs " << want;
    }
}

TEST(TextToNumber, NeverGivesNegativeZero)
{
    for (const char *t : {"-0", "-0.000", "-0e5", "-1e-400", "-.0"}) {
        SCOPED_TRACE(t);
        double v = c4atod(t, (int)strlen(t));
        EXPECT_EQ(v, 0.0);
        EXPECT_FALSE(std::signbit(v));
    }
}

TEST(TextToNumber, LengthLimitCountsFromTheFirstNonBlank)
{
    // A right-aligned value in a field wider than the limits.
    std::string wide = std::string(55, ' ') + "12345";
    EXPECT_EQ(c4atod(wide.c_str(), (int)wide.size()), 12345.0);
    EXPECT_EQ(c4atol(wide.c_str(), (int)wide.size()), 12345L);
    std::string wider = std::string(200, ' ') + "-678";
    EXPECT_EQ(c4atol(wider.c_str(), (int)wider.size()), -678L);

    // Beyond the limit the rest of the digits are not read.
    std::string longFloat = "1" + std::string(60, '0');
    EXPECT_EQ(c4atod(longFloat.c_str(), (int)longFloat.size()), 1e48);
    std::string longInt = std::string(126, '0') + "12";
    EXPECT_EQ(c4atol(longInt.c_str(), (int)longInt.size()), 1L);

    // Reading stops at a terminator inside the length.
    const char stopped[] = "12\0" "34";
    EXPECT_EQ(c4atod(stopped, 5), 12.0);
    EXPECT_EQ(c4atol(stopped, 5), 12L);
}

TEST(TextToNumber, IntegersSaturateAndStopAtTheFirstNonDigit)
{
    EXPECT_EQ(c4atol("  -42", 5), -42L);
    EXPECT_EQ(c4atol("+7", 2), 7L);
    EXPECT_EQ(c4atol("12.9", 4), 12L);
    EXPECT_EQ(c4atol("0x10", 4), 0L);
    EXPECT_EQ(c4atol("-", 1), 0L);
    EXPECT_EQ(c4atol("99999999999999999999", 20), LONG_MAX);
    EXPECT_EQ(c4atol("-99999999999999999999", 21), LONG_MIN);
    EXPECT_EQ(c4atol("-9223372036854775808", 20), LONG_MIN);
    EXPECT_EQ(c4atoi("99999999999", 11), INT_MAX);
    EXPECT_EQ(c4atoi("-99999999999", 12), INT_MIN);
    EXPECT_EQ(c4atoi(" 1996", 5), 1996);
    EXPECT_EQ(c4atoi("19961231", 4), 1996);
}

struct EncodeCase {
    const char *picture;
    const char *want;
};

TEST(PictureEncode, RearrangesDateCharacters)
{
    const EncodeCase cases[] = {
        {"MM/DD/YY", "12/31/96"},
        {"CCYYMMDD", "19961231"},
        {"MM/DD/YYYY", "12/31/96YY"},   // a four-digit year needs CCYY
        {"DD.MM.CCYY", "31.12.1996"},
        {"Y", "9"},
        {"", ""},
        {"xyz", "xyz"},
    };
    for (const EncodeCase &c : cases) {
        SCOPED_TRACE(c.picture);
        char out[32];
        memset(out, '#', sizeof out);
        c4encode(out, "19961231", c.picture, "CCYYMMDD");
        EXPECT_STREQ(out, c.want);
    }
}

TEST(Trim, CutsToLengthThenDropsTrailingBlanks)
{
    char a[] = "abc   ";
    c4trim_n(a, 10);
    EXPECT_STREQ(a, "abc");
    char b[] = "abcdef";
    c4trim_n(b, 4);
    EXPECT_STREQ(b, "abc");
    char c[] = "a  b";
    c4trim_n(c, 3);
    EXPECT_STREQ(c, "a");
    char d[] = "    ";
    c4trim_n(d, 5);
    EXPECT_STREQ(d, "");
    char e[] = "ab  ";
    c4trim_n(e, 0);
    EXPECT_STREQ(e, "ab  ");
    char f[] = " x";
    c4trim_n(f, 3);
    EXPECT_STREQ(f, " x");
}

TEST(CaseChange, UpperThroughCodeSetLowerSingleByte)
{
    mbstr_initialize(0);
    char up[] = "Name_1 x";
    c4upper(up);
    EXPECT_STREQ(up, "NAME_1 X");
    char low[] = "ABC-Z\xC4\xE4" "z";
    c4lower(low);
    EXPECT_STREQ(low, "abc-z\xC4\xE4" "z");
}

} // namespace

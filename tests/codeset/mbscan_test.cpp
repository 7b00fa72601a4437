// Tests of multibyte scanning: character boundaries, the string functions
// over whole characters, case folding, character classes, and the switch of
// the string table between single-byte and code-set functions.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codeset/codeset.h"
#include "tests/codeset/codeset_fixture.h"
#include "tests/testutil.h"

namespace {

using testutil::ScopedCodeSet;
using testutil::ScopedNoCodeSet;

// Offset of a found pointer, -1 for null.
long at(const char *base, const char *p) { return p == nullptr ? -1 : (long)(p - base); }

TEST(CodeSetBoundaries, ShiftJisCharacterLengthsAndValidity)
{
    ScopedCodeSet cs(1);
    struct Case {
        std::vector<unsigned char> bytes;   // without the terminator
        int nBytes;
        int valid;
    } cases[] = {
        {{0x81, 0x40}, 2, 1},
        {{0xFC, 0xFC}, 2, 1},
        {{0xE0, 0x80}, 2, 1},
        {{0x81, 0x7F}, 1, 0},     // not a trail byte: a partial character
        {{0x81, 0x20}, 1, 0},
        {{0x81}, 1, 0},           // a lead byte before the terminator
        {{0xA1, 0x40}, 1, 1},     // a half-width single byte
        {{'A', 0x81}, 1, 1},
        {{0x7F}, 1, 1},
    };
    for (const Case &c : cases) {
        // Exactly sized: reading past the terminator shows under the sanitizer.
        std::vector<char> s(c.bytes.begin(), c.bytes.end());
        s.push_back(0);
        EXPECT_EQ(c.nBytes, codeSet_getCharacterNBytes(s.data())) << testutil::hex(s.data());
        EXPECT_EQ(c.valid, codeSet_isValidChar(s.data())) << testutil::hex(s.data());
    }
    EXPECT_EQ(0, codeSet_getCharacterNBytes(nullptr));
    EXPECT_EQ(0, codeSet_isValidChar(nullptr));

    EXPECT_EQ(1, codeSet_isMultiByteChar(0x81, 0));
    EXPECT_EQ(1, codeSet_isMultiByteChar((char)0xE0, 0));   // a negative char is its byte
    EXPECT_EQ(0, codeSet_isMultiByteChar(0x40, 0));
    EXPECT_EQ(1, codeSet_isMultiByteChar(0x40, 1));
    EXPECT_EQ(0, codeSet_isMultiByteChar(0x81, 2));
    EXPECT_EQ(0, codeSet_isMultiByteChar(0x81, -1));
}

TEST(CodeSetBoundaries, CountsAndIndexesWholeCharacters)
{
    ScopedCodeSet cs(1);
    const char s[] = "a\x82\xA0" "b\x81";
    EXPECT_EQ(4, codeSet_getNChars(s));
    EXPECT_EQ(0, codeSet_getNChars(nullptr));
    long want[] = {0, 1, 3, 4, 5};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(want[i], at(s, codeSet_charIndexToByteP(s, i))) << i;
    EXPECT_EQ(nullptr, codeSet_charIndexToByteP(s, 5));
    EXPECT_EQ(nullptr, codeSet_charIndexToByteP(s, -1));
    EXPECT_EQ(nullptr, codeSet_charIndexToByteP(nullptr, 0));
}

TEST(CodeSetBoundaries, WithoutConfigurationEveryByteIsACharacter)
{
    ScopedNoCodeSet none(1);
    const char s[] = "\x81\x40z";
    EXPECT_EQ(1, codeSet_getCharacterNBytes(s));
    EXPECT_EQ(1, codeSet_isValidChar(s));
    EXPECT_EQ(1, codeSet_isValidChar("\x81"));
    EXPECT_EQ(3, codeSet_getNChars(s));
    EXPECT_EQ(0, codeSet_isMultiByteChar(0x81, 0));
    EXPECT_EQ(2, at(s, codeSet_charIndexToByteP(s, 2)));
}

// Trail bytes that equal '\', ']' or an ASCII letter are part of their
// character; the same bytes in single-byte mode are split one by one, which
// shows that the table was switched.
TEST(CodeSetStrings, TrailBytesAreNeverSeparatorsOrFolded)
{
    const char s[] = "\x81\\x\\\x81]\x81/";
    // offsets:        0  1 2 3 4  5 6  7
    {
        ScopedCodeSet cs(1);
        EXPECT_EQ(3, at(s, qtkstrchr(s, '\\')));
        EXPECT_EQ(3, at(s, qtkstrrchr(s, '\\')));
        EXPECT_EQ(0, at(s, qtkstrchr(s, 0x815C)));
        EXPECT_EQ(-1, at(s, qtkstrrchr(s, ']')));
        EXPECT_EQ(4, at(s, qtkstrrchr(s, 0x815D)));
        // '/' is never a trail byte: after a lead byte it stands alone.
        EXPECT_EQ(7, at(s, qtkstrchr(s, '/')));
        EXPECT_EQ(8, at(s, qtkstrchr(s, 0)));
        EXPECT_EQ(8, at(s, qtkstrrchr(s, 0)));
        EXPECT_EQ(2u, qtkstrcspn(s, "x"));
        EXPECT_EQ(3u, qtkstrcspn(s, "]\\"));
        EXPECT_EQ(3, at(s, qtkstrpbrk(s, "]\\")));
        EXPECT_EQ(0, at(s, qtkstrpbrk(s, "\x81\\")));
        EXPECT_EQ(3u, qtkstrspn(s, "x\x81\\"));

        char text[] = "ab\x82\x61\x82\x41" "Cd\x81";
        EXPECT_STREQ("AB\x82\x61\x82\x41" "CD\x81", qtkstrupr(text));
        EXPECT_STREQ("ab\x82\x61\x82\x41" "cd\x81", qtkstrlwr(text));
        EXPECT_NE(0, qtkstrcmpi("\x82\x61", "\x82\x41"));
        EXPECT_EQ(0, qtkstrcmpi("xY\x82\x61z", "Xy\x82\x61Z"));
    }
    {
        ScopedCodeSet cs(0);
        EXPECT_EQ(1, at(s, qtkstrchr(s, '\\')));
        EXPECT_EQ(3, at(s, qtkstrrchr(s, '\\')));
        EXPECT_EQ(5, at(s, qtkstrrchr(s, ']')));
        EXPECT_EQ(1u, qtkstrcspn(s, "]\\"));
        char text[] = "ab\x82\x61\x82\x41" "Cd";
        EXPECT_STREQ("AB\x82\x41\x82\x41" "CD", qtkstrupr(text));
        EXPECT_EQ(0, qtkstrcmpi("\x82\x61", "\x82\x41"));
    }
}

TEST(CodeSetStrings, CaseBlindComparisonOrdersAndSeesLongOperands)
{
    ScopedCodeSet cs(1);
    EXPECT_LT(codeSet_strcmpi("apple", "BANANA"), 0);
    EXPECT_GT(codeSet_strcmpi("b", "A"), 0);
    EXPECT_LT(codeSet_strcmpi("ab", "ABC"), 0);
    EXPECT_EQ(0, codeSet_strcmpi("", ""));
    EXPECT_EQ(0, codeSet_strcmpi(nullptr, ""));
    // Upper-case folding: '_' sorts after the letters.
    EXPECT_GT(codeSet_strcmpi("_", "a"), 0);
    // Differences beyond 256 bytes still count.
    std::string a(300, 'q'), b(300, 'Q');
    EXPECT_EQ(0, codeSet_strcmpi(a.c_str(), b.c_str()));
    b[290] = 'R';
    EXPECT_LT(codeSet_strcmpi(a.c_str(), b.c_str()), 0);
    // Each side keeps its own character boundaries.
    EXPECT_NE(0, codeSet_strcmpi("\x82\x61", "\x61\x61"));
    EXPECT_EQ(0, codeSet_strcmpi("a\x82\x61", "A\x82\x61"));
}

std::vector<std::string> tokens(char *s, const char *delims, char *(*tok)(char *, const char *))
{
    std::vector<std::string> out;
    for (char *t = tok(s, delims); t != nullptr; t = tok(nullptr, delims))
        out.push_back(t);
    return out;
}

TEST(CodeSetStrings, StrtokSplitsOverWholeCharacters)
{
    using V = std::vector<std::string>;
    {
        ScopedCodeSet cs(1);
        char s1[] = ",a\x81\\,,b\x81\\\\c\\";
        EXPECT_EQ((V{"a\x81\\", "b\x81\\", "c"}), tokens(s1, "\\,", qtkstrtok));
        // A two-byte delimiter is stepped over whole.
        char s2[] = "x\x81\\y\x81\\";
        EXPECT_EQ((V{"x", "y"}), tokens(s2, "\x81\\", qtkstrtok));
        // Exhausted: further calls keep answering null.
        EXPECT_EQ(nullptr, qtkstrtok(nullptr, ","));
        char s3[] = ",,,";
        EXPECT_EQ(nullptr, qtkstrtok(s3, ","));
        EXPECT_EQ(nullptr, qtkstrtok(nullptr, ","));
    }
    {
        ScopedCodeSet cs(0);
        char s1[] = ",a\x81\\,,b\x81\\\\c\\";
        EXPECT_EQ((V{"a\x81", "b\x81", "c"}), tokens(s1, "\\,", qtkstrtok));
    }
}

// With no configuration the code-set functions are the single-byte ones:
// random strings (with high bytes) get the same answers from both.
TEST(CodeSetStrings, WithoutConfigurationMatchSingleByteFunctions)
{
    ScopedNoCodeSet none(1);
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    const char alphabet[] = "aAzZ09 ,;/\\._\x81\xE0\xFF\x7F";
    auto randomText = [&](size_t maxLen) {
        std::string s;
        size_t n = rng() % (maxLen + 1);
        for (size_t i = 0; i < n; i++)
            s += alphabet[rng() % (sizeof alphabet - 1)];
        return s;
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (int round = 0; round < 2000; round++) {
        std::string s = randomText(12), set = randomText(3), t = randomText(12);
        int c = (unsigned char)alphabet[rng() % sizeof alphabet];
        const char *p = s.c_str();
        SCOPED_TRACE("seed " + std::to_string(seed) + " text " + testutil::hex(s) + " set " +
                     testutil::hex(set));
        ASSERT_EQ(sb_strchr(p, c), codeSet_strchr(p, c));
        ASSERT_EQ(sb_strrchr(p, c), codeSet_strrchr(p, c));
        ASSERT_EQ(sb_strcspn(p, set.c_str()), codeSet_strcspn(p, set.c_str()));
        ASSERT_EQ(sb_strspn(p, set.c_str()), codeSet_strspn(p, set.c_str()));
        ASSERT_EQ(sb_strpbrk(p, set.c_str()), codeSet_strpbrk(p, set.c_str()));
        // Equality agrees; the order may differ only between letters and the
        // six characters between 'Z' and 'a', which fold differently.
        ASSERT_EQ(sb_strcmpi(p, t.c_str()) == 0, codeSet_strcmpi(p, t.c_str()) == 0);
        if (s.find('_') == std::string::npos && t.find('_') == std::string::npos &&
            s.find('\\') == std::string::npos && t.find('\\') == std::string::npos) {
            ASSERT_EQ(sign(sb_strcmpi(p, t.c_str())), sign(codeSet_strcmpi(p, t.c_str())));
        }
        std::string u1 = s, u2 = s;
        ASSERT_STREQ(sb_strupr(&u1[0]), codeSet_strupr(&u2[0]));
        ASSERT_STREQ(sb_strlwr(&u1[0]), codeSet_strlwr(&u2[0]));
        std::string k1 = s, k2 = s;
        ASSERT_EQ(tokens(&k1[0], set.c_str(), sb_strtok), tokens(&k2[0], set.c_str(), codeSet_strtok));
    }
}

TEST(CodeSetClasses, SingleByteFunctionsAreAsciiOnly)
{
    struct Case {
        int c;
        const char *classes;    // a alpha, d digit, x xdigit, l lower, u upper,
                                // s space, p punct, c cntrl, g graph, r print
    } cases[] = {
        {'a', "axlgr"}, {'G', "augr"}, {'7', "dxgr"}, {' ', "sr"}, {'\t', "sc"},
        {'~', "pgr"}, {0x7F, "c"}, {0, "c"}, {0xE9, ""}, {(char)0xE9, ""}, {0x1FF, ""},
    };
    for (const Case &c : cases) {
        auto has = [&](char k) { return std::strchr(c.classes, k) != nullptr ? 1 : 0; };
        int alnum = has('a') || has('d');
        SCOPED_TRACE(c.c);
        EXPECT_EQ(has('a'), !!sb_isalpha(c.c));
        EXPECT_EQ(has('d'), !!sb_isdigit(c.c));
        EXPECT_EQ(has('x'), !!sb_isxdigit(c.c));
        EXPECT_EQ(has('l'), !!sb_islower(c.c));
        EXPECT_EQ(has('u'), !!sb_isupper(c.c));
        EXPECT_EQ(has('s'), !!sb_isspace(c.c));
        EXPECT_EQ(has('p'), !!sb_ispunct(c.c));
        EXPECT_EQ(has('c'), !!sb_iscntrl(c.c));
        EXPECT_EQ(has('g'), !!sb_isgraph(c.c));
        EXPECT_EQ(has('r'), !!sb_isprint(c.c));
        EXPECT_EQ(alnum, !!sb_isalnum(c.c));
    }
}

TEST(CodeSetClasses, WithoutClassesBytesBelow0x80AnswerAsAscii)
{
    ScopedCodeSet cs(1);
    EXPECT_TRUE(qtkisdigit('5'));
    EXPECT_TRUE(qtkisalpha('q'));
    EXPECT_TRUE(qtkisupper('Q'));
    EXPECT_TRUE(qtkisspace(' '));
    EXPECT_TRUE(qtkispunct('('));
    EXPECT_TRUE(qtkisxdigit('f'));
    EXPECT_FALSE(qtkisalpha(0x82));
    EXPECT_FALSE(qtkisalpha((char)0xC1));
    EXPECT_FALSE(qtkisprint(0x8250));
    EXPECT_FALSE(qtkiscntrl(0));
}

TEST(CodeSetClasses, ConfiguredClassesCombine)
{
    ScopedCodeSet cs(1);
    char space[] = " ";
    char tab[] = "\t";
    char digits[] = "0123456789\x82\x50";     // with one full-width digit
    char punct[] = "!?";
    std::vector<encodingRange> lower = {{'a', 'z'}};
    std::vector<encodingRange> upper = {{'A', 'Z'}, {0x8260, 0x8279}};
    std::vector<encodingRange> notUpper = {{'Q', 'Q'}};
    std::vector<encodingRange> kana = {{0xA6, 0xDF}};
    std::vector<encodingRange> hex = {{'0', '9'}, {'a', 'f'}};
    csG.charClasses[0].stringP = space;
    csG.charClasses[1].stringP = tab;
    csG.charClasses[3].stringP = digits;
    csG.charClasses[4] = {nullptr, 2, hex.data(), 0, nullptr};
    csG.charClasses[5] = {nullptr, 1, lower.data(), 0, nullptr};
    csG.charClasses[6] = {nullptr, 2, upper.data(), 1, notUpper.data()};
    csG.charClasses[7].stringP = punct;
    csG.charClasses[8] = {nullptr, 1, kana.data(), 0, nullptr};

    EXPECT_TRUE(qtkisdigit('5'));
    EXPECT_TRUE(qtkisdigit(0x8250));
    EXPECT_FALSE(qtkisdigit(0x82));
    EXPECT_TRUE(qtkisupper('A'));
    EXPECT_FALSE(qtkisupper('Q'));               // excluded by an invalid range
    EXPECT_TRUE(qtkisupper(0x8265));
    EXPECT_TRUE(qtkisalpha((char)0xB1));         // class 8, given as a char
    EXPECT_TRUE(qtkisalpha('z'));
    EXPECT_FALSE(qtkisalpha('5'));
    EXPECT_TRUE(qtkisalnum('5'));
    EXPECT_TRUE(qtkisalnum(0x8260));
    EXPECT_TRUE(qtkisxdigit('c'));
    EXPECT_FALSE(qtkisxdigit('C'));
    EXPECT_TRUE(qtkisgraph('?'));
    EXPECT_FALSE(qtkisgraph(' '));
    EXPECT_TRUE(qtkisprint(' '));
    EXPECT_TRUE(qtkisspace(' '));
    EXPECT_TRUE(qtkisspace('\t'));
    EXPECT_FALSE(qtkisspace('\n'));              // in no configured class
    EXPECT_FALSE(qtkiscntrl('\n'));
    EXPECT_FALSE(qtkisdigit(0));                 // the terminator is in no class
    // A class string is scanned by characters: the trail byte of the
    // full-width digit is not a digit of its own.
    EXPECT_FALSE(qtkisdigit(0x50));
}

} // namespace

TEST(CodeSetUtf8, WholeCharactersAndCaseOfEveryLetterOfTheSameLength)
{
    testutil::ScopedNoCodeSet none(1);
    csG.utf8 = 1;
    // Each text: its character lengths, whether its first is valid, its upper
    // case. Overlong, surrogate, past U+10FFFF and cut forms are single invalid
    // bytes; dotless i and long s keep their case (capitals of other lengths).
    const struct {
        const char *text;
        std::vector<int> lengths;
        int valid;
        const char *upper;
    } cases[] = {
        {"caf\xc3\xa9", {1, 1, 1, 2}, 1, "CAF\xc3\x89"},
        {"\xe2\x82\xac\xf0\x9f\x98\x80z", {3, 4, 1}, 1, "\xe2\x82\xac\xf0\x9f\x98\x80Z"},
        {"\xc0\x80", {1, 1}, 0, "\xc0\x80"},
        {"\xed\xa0\x80", {1, 1, 1}, 0, "\xed\xa0\x80"},
        {"\xf4\x90\x80\x80", {1, 1, 1, 1}, 0, "\xf4\x90\x80\x80"},
        {"\xe2\x82", {1, 1}, 0, "\xe2\x82"},
        {"\xc4\xb1\xc5\xbf\xce\xb1", {2, 2, 2}, 1, "\xc4\xb1\xc5\xbf\xce\x91"},
    };
    for (const auto &c : cases) {
        std::vector<int> lengths;
        for (const char *p = c.text; *p != 0; p += lengths.back())
            lengths.push_back(codeSet_getCharacterNBytes(p));
        EXPECT_EQ(c.lengths, lengths) << c.text;
        EXPECT_EQ(c.valid, codeSet_isValidChar(c.text)) << c.text;
        std::string up = c.text;
        EXPECT_STREQ(c.upper, qtkstrupr(&up[0])) << c.text;
        EXPECT_EQ(0, qtkstrcmpi(c.text, c.upper)) << c.text;
    }
    std::string key = "caf\xc3\xa9";
    EXPECT_STREQ("CAF\xc3\xa9", codeSet_asciiUpper(&key[0])) << "keys fold ASCII letters only";
    EXPECT_EQ(nullptr, qtkstrchr("\xc3\xa9", 0xA9)) << "a trail byte is never a character";
    EXPECT_EQ(1, codeSet_isControl("\xc2\x85"));
}

// Tests of multibyte conversions: wide characters, JIS and Shift-JIS, EUC,
// screen-font indices, editing a text in place, and keystrokes.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "codeset/codeset.h"
#include "tests/codeset/codeset_fixture.h"
#include "tests/testutil.h"

namespace {

using testutil::ScopedCodeSet;
using testutil::ScopedNoCodeSet;

// Switches the encoding conversions on for one test.
struct ScopedTranslation {
    int saved = charTranActive;
    ScopedTranslation() { charTranActive = 1; }
    ~ScopedTranslation() { charTranActive = saved; }
};

TEST(CodeSetWide, EveryShiftJisCharacterRoundTrips)
{
    ScopedCodeSet cs(1);
    int checked = 0;
    for (int b1 = 1; b1 < 256; b1++) {
        for (int b2 = 0x40; b2 <= 0xFC; b2++) {
            bool lead = codeSet_isMultiByteChar(b1, 0);
            if (!lead && b2 != 0x40)
                continue;   // single bytes once
            if (lead && b2 == 0x7F)
                continue;   // not a trail byte
            char in[3] = {(char)b1, lead ? (char)b2 : (char)0, 0};
            uint16_t wc = 0;
            int n = codeSet_mbtowc(&wc, in, 3);
            ASSERT_EQ(lead ? 2 : 1, n) << testutil::hex(in);
            ASSERT_EQ(lead ? b1 * 256 + b2 : b1, wc);
            char out[3] = {'#', '#', '#'};
            ASSERT_EQ(n, codeSet_wctomb(out, wc)) << std::hex << wc;
            ASSERT_EQ(0, std::memcmp(in, out, (size_t)n));
            ASSERT_EQ(n, codeSet_wctomb(nullptr, wc));
            checked++;
        }
    }
    EXPECT_GT(checked, 11000);
}

TEST(CodeSetWide, InvalidAndCutCharacters)
{
    ScopedCodeSet cs(1);
    uint16_t wc = 7;
    EXPECT_EQ(-1, codeSet_mbtowc(&wc, "\x81\x20", 2));
    EXPECT_EQ(-1, codeSet_mbtowc(&wc, "\x81", 5));
    // A character cut by the limit is not a character: nothing past the
    // limit is read (one byte, no terminator).
    const char lone[1] = {(char)0x88};
    EXPECT_EQ(-1, codeSet_mbtowc(&wc, lone, 1));
    EXPECT_EQ(-1, codeSet_mblen(lone, 1));
    EXPECT_EQ(7, wc);
    EXPECT_EQ(2, codeSet_mblen("\x88\x9F", 2));
    EXPECT_EQ(1, codeSet_mblen("A", 4));
    EXPECT_EQ(0, codeSet_mblen(nullptr, 4));
    EXPECT_EQ(0, codeSet_mblen("A", 0));
    EXPECT_EQ(0, codeSet_mbtowc(&wc, nullptr, 2));
    EXPECT_EQ(0, codeSet_mbtowc(&wc, "A", 0));
    EXPECT_EQ(2, codeSet_mbtowc(nullptr, "\x88\x9F", 2));

    char out[3] = {'#', '#', '#'};
    EXPECT_EQ(0, codeSet_wctomb(out, 0));
    EXPECT_EQ(0, out[0]);
    struct Bad {
        uint16_t wc;
    } bad[] = {{0x8120}, {0x0081}, {0x4181}, {0x4100}, {0x88FD}};
    for (const Bad &b : bad) {
        out[0] = '#';
        EXPECT_EQ(-1, codeSet_wctomb(out, b.wc)) << std::hex << b.wc;
        EXPECT_EQ(0, out[0]);
    }
}

TEST(CodeSetWide, StringsStopAtTerminatorOrLimit)
{
    ScopedCodeSet cs(1);
    uint16_t w[4] = {9, 9, 9, 9};
    EXPECT_EQ(3, codeSet_mbstowcs(w, "a\x88\x9F" "b", 4));
    EXPECT_EQ(0x61, w[0]);
    EXPECT_EQ(0x889F, w[1]);
    EXPECT_EQ(0x62, w[2]);
    EXPECT_EQ(0, w[3]);
    uint16_t w2[2] = {9, 9};
    EXPECT_EQ(2, codeSet_mbstowcs(w2, "a\x88\x9F" "b", 2));   // no room for a terminator
    EXPECT_EQ(0x889F, w2[1]);
    EXPECT_EQ(3, codeSet_mbstowcs(nullptr, "a\x88\x9F" "b", 0));
    EXPECT_EQ(-1, codeSet_mbstowcs(w, "a\x81", 4));

    const uint16_t in[] = {0x61, 0x889F, 0x62, 0};
    char s[8];
    std::memset(s, '#', sizeof s);
    EXPECT_EQ(4, codeSet_wcstombs(s, in, 8));
    EXPECT_STREQ("a\x88\x9F" "b", s);
    std::memset(s, '#', sizeof s);
    // The two-byte character would overrun: it is not written in part.
    EXPECT_EQ(1, codeSet_wcstombs(s, in, 2));
    EXPECT_EQ('a', s[0]);
    EXPECT_EQ('#', s[1]);
    EXPECT_EQ(4, codeSet_wcstombs(nullptr, in, 0));
    const uint16_t badIn[] = {0x61, 0x8120, 0};
    EXPECT_EQ(-1, codeSet_wcstombs(s, badIn, 8));
}

TEST(CodeSetWide, WithoutConfigurationBytesAreCharacters)
{
    ScopedNoCodeSet none(1);
    uint16_t wc = 0;
    EXPECT_EQ(1, codeSet_mbtowc(&wc, "\x88\x9F", 2));
    EXPECT_EQ(0x88, wc);
    char out[2] = {'#', '#'};
    EXPECT_EQ(1, codeSet_wctomb(out, 0x41));
    EXPECT_EQ('A', out[0]);
    EXPECT_EQ('#', out[1]);
    uint16_t w[4];
    EXPECT_EQ(2, codeSet_mbstowcs(w, "\x88\x9F", 4));
    EXPECT_EQ(0x9F, w[1]);
}

TEST(CodeSetJis, ShiftJisArithmetic)
{
    struct Case {
        unsigned char j1, j2, s1, s2;
    } cases[] = {
        {0x30, 0x21, 0x88, 0x9F},
        {0x21, 0x21, 0x81, 0x40},   // first cell
        {0x24, 0x22, 0x82, 0xA0},
        {0x21, 0x5F, 0x81, 0x7E},   // odd row, last cell before 0x60
        {0x21, 0x60, 0x81, 0x80},   // odd row from 0x60: the gap at 0x7F is skipped
        {0x5E, 0x7E, 0x9F, 0xFC},   // last row below 0xA0
        {0x5F, 0x21, 0xE0, 0x40},   // first row above the half-width range
        {0x7E, 0x7E, 0xEF, 0xFC},
    };
    for (const Case &c : cases) {
        unsigned char a = c.j1, b = c.j2;
        codeSet_JisToShiftJis(&a, &b);
        EXPECT_EQ(c.s1, a) << std::hex << (int)c.j1 << " " << (int)c.j2;
        EXPECT_EQ(c.s2, b) << std::hex << (int)c.j1 << " " << (int)c.j2;
        codeSet_ShiftJisToJis(&a, &b);
        EXPECT_EQ(c.j1, a);
        EXPECT_EQ(c.j2, b);
    }
    // The whole 94 x 94 square goes there and back.
    for (int j1 = 0x21; j1 <= 0x7E; j1++)
        for (int j2 = 0x21; j2 <= 0x7E; j2++) {
            unsigned char a = (unsigned char)j1, b = (unsigned char)j2;
            codeSet_JisToShiftJis(&a, &b);
            ASSERT_TRUE((a >= 0x81 && a <= 0x9F) || (a >= 0xE0 && a <= 0xEF)) << j1 << " " << j2;
            ASSERT_TRUE(b >= 0x40 && b <= 0xFC && b != 0x7F) << j1 << " " << j2;
            codeSet_ShiftJisToJis(&a, &b);
            ASSERT_EQ(j1, a);
            ASSERT_EQ(j2, b);
        }
}

TEST(CodeSetEncoding, InactiveTranslationOnlyCopies)
{
    ScopedCodeSet cs(1);
    ASSERT_EQ(0, charTranActive);
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(0, codeSet_nativeToInternalEncoding(out, "\xB0\xA1z", 7));
    EXPECT_STREQ("\xB0\xA1z", out);
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(0, codeSet_internalToNativeEncoding(out, "abcdef", 3));
    EXPECT_STREQ("abc", out);
    char same[] = "keep";
    EXPECT_EQ(0, codeSet_internalToNativeEncoding(same, same, 4));
    EXPECT_STREQ("keep", same);
}

TEST(CodeSetEncoding, EucAndShiftJisConvert)
{
    ScopedCodeSet cs(1);
    ScopedTranslation on;
    char out[16];
    // EUC: a JIS pair with the high bit set, a half-width byte after 0x8E.
    EXPECT_EQ(5, codeSet_nativeToInternalEncoding(out, "A\xB0\xA1\x8E\xB1" "B", 15));
    EXPECT_STREQ("A\x88\x9F\xB1" "B", out);
    EXPECT_EQ(6, codeSet_internalToNativeEncoding(out, "A\x88\x9F\xB1" "B", 15));
    EXPECT_STREQ("A\xB0\xA1\x8E\xB1" "B", out);
    // Output is limited to nBytes; a pair that would not fit is left out.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(2, codeSet_internalToNativeEncoding(out, "\x88\x9F\xB1", 3));
    EXPECT_STREQ("\xB0\xA1", out);
    EXPECT_EQ(0, out[2]);
    // A lone 0x8E at the end reads nothing past the terminator.
    EXPECT_EQ(1, codeSet_nativeToInternalEncoding(out, "A\x8E", 15));
    EXPECT_STREQ("A", out);
    // Converting in place.
    char buf[16] = "\xB0\xA1\xB0\xA1";
    EXPECT_EQ(4, codeSet_nativeToInternalEncoding(buf, buf, 15));
    EXPECT_STREQ("\x88\x9F\x88\x9F", buf);
    EXPECT_EQ(-1, codeSet_nativeToInternalEncoding(out, "", 15));
    EXPECT_EQ(-1, codeSet_nativeToInternalEncoding(out, nullptr, 15));
    EXPECT_EQ(-1, codeSet_internalToNativeEncoding(out, "A", 0));
}

TEST(CodeSetEncoding, ScreenFontIndices)
{
    ScopedCodeSet cs(1);
    uint16_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(2, codeSet_getScreenFontIndices(out, 4, "\x88\x9F" "A", 3, 0));
    EXPECT_EQ(0x889F, out[0]);
    EXPECT_EQ(0x41, out[1]);
    EXPECT_EQ(0, out[2]);
    EXPECT_EQ(9, out[3]);

    csG.convertShiftJIS = 1;
    EXPECT_EQ(2, codeSet_getScreenFontIndices(out, 4, "\x88\x9F" "A", 3, 1));
    EXPECT_EQ(0x3021, out[0]);
    // Limits: characters, then bytes (a pair cut by the byte limit is left out).
    out[1] = 9;
    EXPECT_EQ(1, codeSet_getScreenFontIndices(out, 1, "\x88\x9F" "A", 3, 0));
    EXPECT_EQ(9, out[1]);
    EXPECT_EQ(0, codeSet_getScreenFontIndices(out, 4, "\x88\x9F", 1, 0));
    EXPECT_EQ(0, out[0]);
    // Counted bytes need no terminator: nothing past the last of them is
    // read, even when it is a lead byte (an exact-size copy shows any read).
    std::vector<char> counted = {'A', 'B', '\x88'};
    EXPECT_EQ(2, codeSet_getScreenFontIndices(out, 4, counted.data(), 3, 0));
    EXPECT_EQ(0x42, out[1]);
    EXPECT_EQ(0, out[2]);
    uint16_t design[4] = {5, 6, 7, 0};
    EXPECT_EQ(3, codeSet_getDesignFontIndices(design, 0, 0));
    EXPECT_EQ(5, design[0]);
    EXPECT_EQ(0, codeSet_getDesignFontIndices(nullptr, 0, 0));
}

TEST(CodeSetEditing, InsertAndDeleteBytes)
{
    char s[16] = "abcdef";
    EXPECT_EQ(0, codeSet_deleteSection(s, 2, 4, 0));
    EXPECT_STREQ("abef", s);
    EXPECT_EQ(0, codeSet_deleteSection(s, 1, 1, 0));
    EXPECT_STREQ("abef", s);
    EXPECT_EQ(0, codeSet_deleteSection(s, 3, 4, 0));
    EXPECT_STREQ("abe", s);
    for (auto r : {std::make_pair(-1, 2), std::make_pair(2, 1), std::make_pair(1, 4),
                   std::make_pair(9, 9)})
        EXPECT_EQ(-1, codeSet_deleteSection(s, r.first, r.second, 0));
    EXPECT_STREQ("abe", s);
    EXPECT_EQ(-1, codeSet_deleteSection(nullptr, 0, 0, 0));

    char t[16] = "abc";
    int cursor = 1, saved = 1;
    EXPECT_EQ(0, codeSet_insertCharacter(t, 'X', &cursor, &saved, 0));
    EXPECT_STREQ("aXbc", t);
    EXPECT_EQ(2, cursor);
    EXPECT_EQ(2, saved);
    cursor = 0;
    EXPECT_EQ(0, codeSet_insertCharacter(t, 'Y', &cursor, &saved, 1));
    EXPECT_STREQ("aXYbc", t);
    EXPECT_EQ(0, cursor);
    EXPECT_EQ(3, saved);
    cursor = 40;
    EXPECT_EQ(0, codeSet_insertCharacter(t, textNLCharacter, &cursor, &saved, 0));
    EXPECT_STREQ("aXY\nbc", t);
    EXPECT_EQ(4, cursor);
    EXPECT_EQ(4, saved);
    saved = 6;
    EXPECT_EQ(0, codeSet_insertCharacter(t, '!', &cursor, &saved, 0));
    EXPECT_STREQ("aXY\nbc!", t);
    saved = 8;
    EXPECT_EQ(-1, codeSet_insertCharacter(t, '?', &cursor, &saved, 0));
    saved = -1;
    EXPECT_EQ(-1, codeSet_insertCharacter(t, '?', &cursor, &saved, 0));
    EXPECT_STREQ("aXY\nbc!", t);
    EXPECT_EQ(0, isRTL('a'));
}

// Feeds `bytes` to standard input for the life of the object.
struct ScopedStdin {
    int saved;
    explicit ScopedStdin(const std::string &bytes)
    {
        testutil::TempDir t;
        testutil::writeFile(t.file("in"), bytes);
        std::fflush(stdin);
        saved = dup(0);
        int fd = open(t.file("in").c_str(), O_RDONLY);
        dup2(fd, 0);
        close(fd);
        clearerr(stdin);
    }
    ~ScopedStdin()
    {
        dup2(saved, 0);
        close(saved);
        clearerr(stdin);
    }
};

TEST(CodeSetKeystroke, LeadByteReadsItsSecondByte)
{
    ScopedCodeSet cs(1);
    char s[4] = "zz";
    EXPECT_EQ(0, codeSet_convertKeyToString(s, 'A'));
    EXPECT_STREQ("zz", s);
    EXPECT_EQ(0, codeSet_convertKeyToString(nullptr, 0x88));
    {
        ScopedStdin in(std::string("\0\0\x9F", 3));
        EXPECT_EQ(1, codeSet_convertKeyToString(s, 0x88));
        EXPECT_STREQ("\x88\x9F", s);
    }
    {
        // Input ends before a second byte: the keystroke stays single.
        ScopedStdin in(std::string("\0", 1));
        s[0] = 'z';
        EXPECT_EQ(0, codeSet_convertKeyToString(s, 0x88));
        EXPECT_EQ('z', s[0]);
    }
}

} // namespace

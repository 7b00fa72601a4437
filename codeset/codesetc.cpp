// Code-set aware text: the global code-set record, character boundaries from
// its byte ranges, string scanning over whole characters, character classes,
// wide-character packing and the JIS / Shift-JIS / EUC conversions.
//
// Invariants kept by every scan here: a character never extends past the
// terminator (a lead byte followed by it is one byte), a two-byte character
// is stepped over whole so its trail byte is never matched, case-folded or
// taken for a separator, and every byte is handled as unsigned char.
//
// UTF-8 text (csG.utf8): a character is a well-formed sequence of one to
// four bytes (no overlong forms, no surrogates, nothing past U+10FFFF); a
// byte that starts none is a character of its own, and an invalid one. Case
// changes map every letter, but only to a capital (or small letter) of the
// same byte length, so that text is changed in place and never moves.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "codeset/codeset.h"
#include "platform/platform.h"

codesetglobals csG;
int charTranActive = 0;
int textNLCharacter = 10;

namespace {

typedef const unsigned char *ubytes;

// A byte passed as a (possibly negative) char, as its unsigned value.
int byteValue(int c) { return c >= -128 && c < 0 ? (c & 0xFF) : c; }

bool inRanges(const encodingRange *r, int n, int c)
{
    if (r == nullptr)
        return false;
    for (int i = 0; i < n; i++)
        if (c >= r[i].start && c <= r[i].end)
            return true;
    return false;
}

bool inPositionRanges(int b, int pos)
{
    if (csG.mbRangeSizesP == nullptr || csG.rangesPP == nullptr)
        return false;
    return inRanges(csG.rangesPP[pos], csG.mbRangeSizesP[pos], b);
}

// Leading bytes of `s` that lie in the ranges of their byte position,
// looking at no more than `limit` bytes and never at or past the terminator.
int leadCount(ubytes s, int limit)
{
    int n = 0;
    while (n < csG.nMBRanges && n < limit && s[n] != 0 && inPositionRanges(s[n], n))
        n++;
    return n;
}

// Length of the well-formed UTF-8 character at `s` within `limit` bytes:
// 1 to 4, or 0 when the bytes there start none (or are cut by the limit).
// Nothing past a byte that breaks the form is read, so neither is anything
// past the terminator.
int utf8Length(ubytes s, int limit)
{
    unsigned b = s[0];
    if (b < 0x80)
        return 1;
    int n = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF)
        n = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        n = 3;
    else if (b >= 0xF0 && b <= 0xF4)
        n = 4;
    else
        return 0;
    if (b == 0xE0)
        lo = 0xA0;      // shorter forms exist
    else if (b == 0xED)
        hi = 0x9F;      // surrogates
    else if (b == 0xF0)
        lo = 0x90;
    else if (b == 0xF4)
        hi = 0x8F;      // past U+10FFFF
    if (n > limit)
        return 0;
    if (s[1] < lo || s[1] > hi)
        return 0;
    for (int i = 2; i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return n;
}

uint32_t utf8Decode(ubytes s, int n)
{
    static const unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t c = s[0] & kLeadMask[n];
    for (int i = 1; i < n; i++)
        c = (c << 6) | (s[i] & 0x3F);
    return c;
}

// The bytes of `c` in UTF-8 into `out` (room for 4); their number, 0 for a
// value that has no such form.
int utf8Encode(uint32_t c, unsigned char *out)
{
    if (c < 0x80) {
        out[0] = (unsigned char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (unsigned char)(0xC0 | (c >> 6));
        out[1] = (unsigned char)(0x80 | (c & 0x3F));
        return 2;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        return 0;
    if (c < 0x10000) {
        out[0] = (unsigned char)(0xE0 | (c >> 12));
        out[1] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (unsigned char)(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = (unsigned char)(0xF0 | (c >> 18));
    out[1] = (unsigned char)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
    out[3] = (unsigned char)(0x80 | (c & 0x3F));
    return 4;
}

// Bytes to step over at `s` (at least 1).
int step(const char *s)
{
    if (csG.utf8) {
        int n = utf8Length((ubytes)s, 4);
        return n > 0 ? n : 1;
    }
    if (csG.nMBRanges <= 0)
        return 1;
    int n = leadCount((ubytes)s, INT_MAX);
    return n > 0 ? n : 1;
}

// Length of the whole character at `s` within `limit` bytes, or -1 when it
// is a partial one (or is cut by the limit).
int wholeChar(ubytes s, int limit)
{
    if (csG.utf8) {
        int n = utf8Length(s, limit);
        return n > 0 ? n : -1;
    }
    if (csG.nMBRanges <= 0)
        return 1;
    int n = leadCount(s, limit);
    if (n == 0)
        return 1;
    return n == csG.nMBRanges ? n : -1;
}

// Whether the character at `p` (`n` bytes) is one of the characters of
// `set`: single-byte against single-byte members, multibyte against members
// with the same first two bytes.
bool isMember(const char *p, int n, const char *set)
{
    if (set == nullptr)
        return false;
    for (const char *m = set; *m != 0;) {
        int mn = step(m);
        if (n == 1 ? (mn == 1 && m[0] == p[0]) : (mn >= 2 && m[0] == p[0] && m[1] == p[1]))
            return true;
        m += mn;
    }
    return false;
}

// Whether the character at `p` (`n` bytes) is `c` in the form of
// codeSet_strchr.
bool isChar(const char *p, int n, int c)
{
    if (c < 256)
        return n == 1 && (unsigned char)p[0] == c;
    return n >= 2 && (unsigned char)p[0] == ((c >> 8) & 0xFF) && (unsigned char)p[1] == (c & 0xFF);
}

// How a case change treats a character.
struct caseFold {
    int (*ascii)(int);              // single bytes
    uint32_t (*wide)(uint32_t);     // UTF-8 characters; null: kept
};

const caseFold kUpper = {sb_toupper, platform_wideUpper};
const caseFold kLower = {sb_tolower, platform_wideLower};
const caseFold kAsciiUpper = {sb_toupper, nullptr};

// The `n` bytes of the character at `p`, case-changed, into `out`.
void foldChar(const char *p, int n, unsigned char *out, const caseFold &fold)
{
    std::memcpy(out, p, (size_t)n);
    if (n == 1) {
        out[0] = (unsigned char)fold.ascii(out[0]);
    } else if (csG.utf8 && fold.wide != nullptr) {
        unsigned char mapped[4];
        if (utf8Encode(fold.wide(utf8Decode(out, n)), mapped) == n)
            std::memcpy(out, mapped, (size_t)n);
    }
}

char *changeCase(char *s, const caseFold &fold)
{
    if (s == nullptr)
        return nullptr;
    for (char *p = s; *p != 0;) {
        int n = step(p);
        foldChar(p, n, (unsigned char *)p, fold);
        p += n;
    }
    return s;
}

// One side of a case-blind comparison: yields the bytes of the string as
// codeSet_strupr would leave them, one at a time.
struct foldCursor {
    const char *p;
    unsigned char folded[4];    // the current character, upper-cased
    int n;                      // its bytes
    int at;                     // the next of them to yield
};

int nextFolded(foldCursor &c)
{
    if (c.at < c.n)
        return c.folded[c.at++];
    if (*c.p == 0)
        return 0;
    c.n = step(c.p);
    foldChar(c.p, c.n, c.folded, kUpper);
    c.p += c.n;
    c.at = 1;
    return c.folded[0];
}

bool classesLoaded(void)
{
    for (const charclass &k : csG.charClasses)
        if ((k.stringP != nullptr && *k.stringP != 0) || k.nValidRanges > 0)
            return true;
    return false;
}

bool inClass(int k, int c)
{
    const charclass &cl = csG.charClasses[k];
    if (c == 0)
        return false;
    if (cl.stringP != nullptr && codeSet_strchr(cl.stringP, c) != nullptr)
        return true;
    return inRanges(cl.validRangesP, cl.nValidRanges, c) &&
           !inRanges(cl.invalidRangesP, cl.nInvalidRanges, c);
}

// The configured classes decide; without any, bytes below 0x80 follow ASCII
// (so digits and letters still parse) and others belong to no class.
int classTest(int c, bool (*configured)(int), int (*ascii)(int))
{
    c = byteValue(c);
    if (!classesLoaded())
        return c > 0 && c < 0x80 && ascii(c) ? 1 : 0;
    return configured(c) ? 1 : 0;
}

bool clAlpha(int c) { return inClass(5, c) || inClass(6, c) || inClass(8, c); }
bool clDigit(int c) { return inClass(3, c); }
bool clAlnum(int c) { return clAlpha(c) || clDigit(c); }
bool clPunct(int c) { return inClass(7, c); }
bool clGraph(int c) { return clAlnum(c) || clPunct(c); }
bool clPrint(int c) { return clGraph(c) || inClass(0, c); }
bool clSpace(int c) { return inClass(0, c) || inClass(1, c) || inClass(9, c); }
bool clCntrl(int c) { return inClass(2, c); }
bool clXdigit(int c) { return inClass(4, c); }
bool clLower(int c) { return inClass(5, c); }
bool clUpper(int c) { return inClass(6, c); }

// While no translation is active the conversions copy: at most `nBytes`
// bytes of `in`, then a terminator.
void copyText(char *out, const char *in, int nBytes)
{
    if (out == nullptr || in == nullptr || out == in)
        return;
    int n = 0;
    while (n < nBytes && in[n] != 0)
        n++;
    std::memmove(out, in, (size_t)n);
    out[n] = 0;
}

int finishConversion(char *out, const std::string &r)
{
    std::memcpy(out, r.data(), r.size());
    out[r.size()] = 0;
    return (int)r.size();
}

} // namespace

int codeSet_isMultiByteChar(int testChar, int byteNum)
{
    if (byteNum < 0 || byteNum >= csG.nMBRanges)
        return 0;
    return inPositionRanges(byteValue(testChar), byteNum) ? 1 : 0;
}

int codeSet_getCharacterNBytes(const char *s)
{
    return s == nullptr ? 0 : step(s);
}

int codeSet_isValidChar(const char *s)
{
    if (s == nullptr)
        return 0;
    if (csG.utf8)
        return utf8Length((ubytes)s, 4) > 0 ? 1 : 0;
    if (csG.nMBRanges <= 0)
        return 1;
    int n = leadCount((ubytes)s, INT_MAX);
    return n == 0 || n == csG.nMBRanges ? 1 : 0;
}

int codeSet_getNChars(const char *s)
{
    if (s == nullptr)
        return 0;
    int count = 0;
    for (const char *p = s; *p != 0; p += step(p))
        count++;
    return count;
}

char *codeSet_charIndexToByteP(const char *s, int charIndex)
{
    if (s == nullptr || charIndex < 0)
        return nullptr;
    const char *p = s;
    for (int i = 0; i < charIndex; i++) {
        if (*p == 0)
            return nullptr;
        p += step(p);
    }
    return const_cast<char *>(p);
}

char *codeSet_strlwr(char *s) { return changeCase(s, kLower); }
char *codeSet_strupr(char *s) { return changeCase(s, kUpper); }
char *codeSet_asciiUpper(char *s) { return changeCase(s, kAsciiUpper); }

int codeSet_isControl(const char *s)
{
    if (s == nullptr)
        return 0;
    unsigned char c = (unsigned char)s[0];
    if (c < 0x20 || c == 0x7F)
        return 1;
    // The second set of control characters, U+0080 to U+009F.
    return csG.utf8 && c == 0xC2 && (unsigned char)s[1] >= 0x80 && (unsigned char)s[1] <= 0x9F;
}

char *codeSet_strchr(const char *s, int c)
{
    if (s == nullptr)
        return nullptr;
    c = byteValue(c);
    const char *p = s;
    for (; *p != 0; p += step(p))
        if (isChar(p, step(p), c))
            return const_cast<char *>(p);
    return c == 0 ? const_cast<char *>(p) : nullptr;
}

char *codeSet_strrchr(const char *s, int c)
{
    if (s == nullptr)
        return nullptr;
    c = byteValue(c);
    const char *found = nullptr;
    const char *p = s;
    for (; *p != 0; p += step(p))
        if (isChar(p, step(p), c))
            found = p;
    return const_cast<char *>(c == 0 ? p : found);
}

size_t codeSet_strcspn(const char *s, const char *reject)
{
    if (s == nullptr)
        return 0;
    const char *p = s;
    for (int n; *p != 0 && !isMember(p, n = step(p), reject); p += n) {
    }
    return (size_t)(p - s);
}

size_t codeSet_strspn(const char *s, const char *accept)
{
    if (s == nullptr)
        return 0;
    const char *p = s;
    for (int n; *p != 0 && isMember(p, n = step(p), accept); p += n) {
    }
    return (size_t)(p - s);
}

char *codeSet_strpbrk(const char *s, const char *accept)
{
    if (s == nullptr)
        return nullptr;
    const char *p = s + codeSet_strcspn(s, accept);
    return *p != 0 ? const_cast<char *>(p) : nullptr;
}

namespace {
char strtokEmpty[1] = "";
char *ssave = strtokEmpty;
} // namespace

char *codeSet_strtok(char *s, const char *delims)
{
    char *p = s != nullptr ? s : ssave;
    p += codeSet_strspn(p, delims);
    if (*p == 0) {
        ssave = strtokEmpty;
        return nullptr;
    }
    char *token = p;
    p += codeSet_strcspn(p, delims);
    if (*p != 0) {
        // A delimiter of two bytes is stepped over whole.
        int n = step(p);
        *p = 0;
        ssave = p + n;
    } else {
        ssave = p;
    }
    return token;
}

int codeSet_strcmpi(const char *a, const char *b)
{
    foldCursor ca{a != nullptr ? a : "", {}, 0, 0};
    foldCursor cb{b != nullptr ? b : "", {}, 0, 0};
    for (;;) {
        int x = nextFolded(ca), y = nextFolded(cb);
        if (x != y || x == 0)
            return x - y;
    }
}

int codeSet_isalnum(int c) { return classTest(c, clAlnum, sb_isalnum); }
int codeSet_isalpha(int c) { return classTest(c, clAlpha, sb_isalpha); }
int codeSet_iscntrl(int c) { return classTest(c, clCntrl, sb_iscntrl); }
int codeSet_isdigit(int c) { return classTest(c, clDigit, sb_isdigit); }
int codeSet_isgraph(int c) { return classTest(c, clGraph, sb_isgraph); }
int codeSet_islower(int c) { return classTest(c, clLower, sb_islower); }
int codeSet_isprint(int c) { return classTest(c, clPrint, sb_isprint); }
int codeSet_ispunct(int c) { return classTest(c, clPunct, sb_ispunct); }
int codeSet_isspace(int c) { return classTest(c, clSpace, sb_isspace); }
int codeSet_isupper(int c) { return classTest(c, clUpper, sb_isupper); }
int codeSet_isxdigit(int c) { return classTest(c, clXdigit, sb_isxdigit); }

int codeSet_mblen(const char *s, int maxLen)
{
    if (s == nullptr || maxLen <= 0)
        return 0;
    return wholeChar((ubytes)s, maxLen);
}

int codeSet_mbtowc(uint16_t *wcP, const char *s, int maxLen)
{
    if (s == nullptr || maxLen <= 0)
        return 0;
    if (wcP == nullptr)
        return codeSet_mblen(s, maxLen);
    int n = wholeChar((ubytes)s, maxLen);
    // A UTF-8 character of three or four bytes has no 16-bit form.
    if (n < 0 || n > 2)
        return -1;
    unsigned v = 0;
    for (int i = 0; i < n; i++)
        v = (v << 8) | (unsigned char)s[i];
    *wcP = (uint16_t)v;
    return n;
}

int codeSet_wctomb(char *s, uint16_t wchar)
{
    if (csG.nMBRanges <= 0) {
        if (s != nullptr)
            *s = (char)(wchar & 0xFF);
        return 1;
    }
    if (wchar == 0) {
        if (s != nullptr)
            *s = 0;
        return 0;
    }
    int n = wchar > 0xFF ? 2 : 1;
    if (n > csG.nMBRanges)
        n = csG.nMBRanges;
    unsigned char bytes[3];
    for (int i = 0; i < n; i++)
        bytes[i] = (unsigned char)(wchar >> (8 * (n - 1 - i)));
    bytes[n] = 0;
    if (wholeChar(bytes, n) != n) {
        if (s != nullptr)
            *s = 0;
        return -1;
    }
    if (s != nullptr)
        std::memcpy(s, bytes, (size_t)n);
    return n;
}

int codeSet_mbstowcs(uint16_t *wcsP, const char *s, int nChars)
{
    if (s == nullptr)
        return 0;
    int count = 0;
    const char *p = s;
    while (wcsP == nullptr || count < nChars) {
        if (*p == 0) {
            if (wcsP != nullptr)
                wcsP[count] = 0;
            return count;
        }
        uint16_t w;
        int n = codeSet_mbtowc(&w, p, INT_MAX);
        if (n < 0)
            return -1;
        if (wcsP != nullptr)
            wcsP[count] = w;
        count++;
        p += n;
    }
    return count;
}

int codeSet_wcstombs(char *s, const uint16_t *wcsP, int nBytes)
{
    if (wcsP == nullptr)
        return 0;
    int count = 0;
    for (const uint16_t *w = wcsP;; w++) {
        if (*w == 0) {
            if (s != nullptr && count < nBytes)
                s[count] = 0;
            return count;
        }
        char bytes[3];
        int n = codeSet_wctomb(bytes, *w);
        if (n < 0)
            return -1;
        if (s != nullptr) {
            if (count + n > nBytes)
                return count;
            std::memcpy(s + count, bytes, (size_t)n);
        }
        count += n;
    }
}

void codeSet_JisToShiftJis(unsigned char *b1, unsigned char *b2)
{
    unsigned j1 = *b1, j2 = *b2;
    unsigned s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
    unsigned s2;
    if (j1 & 1)
        s2 = j2 + (j2 < 0x60 ? 0x1F : 0x20);
    else
        s2 = j2 + 0x7E;
    *b1 = (unsigned char)s1;
    *b2 = (unsigned char)s2;
}

void codeSet_ShiftJisToJis(unsigned char *b1, unsigned char *b2)
{
    unsigned s1 = *b1, s2 = *b2;
    unsigned adjust = s2 < 0x9F ? 1 : 0;
    unsigned rowOffset = s1 < 0xA0 ? 0x70 : 0xB0;
    unsigned cellOffset = adjust ? (s2 > 0x7F ? 0x20 : 0x1F) : 0x7E;
    *b1 = (unsigned char)(((s1 - rowOffset) << 1) - adjust);
    *b2 = (unsigned char)(s2 - cellOffset);
}

int codeSet_nativeToInternalEncoding(char *out, const char *in, int nBytes)
{
    if (!charTranActive) {
        copyText(out, in, nBytes);
        return 0;
    }
    if (out == nullptr || in == nullptr || *in == 0 || nBytes <= 0)
        return -1;
    std::string r;
    ubytes p = (ubytes)in;
    while (*p != 0) {
        if (*p == 0x8E) {
            // A half-width character: its one byte follows.
            if (p[1] == 0 || (int)r.size() + 1 > nBytes)
                break;
            r += (char)p[1];
            p += 2;
        } else if (*p >= 0xA1 && *p <= 0xF4 && p[1] >= 0xA0) {
            if ((int)r.size() + 2 > nBytes)
                break;
            unsigned char b1 = (unsigned char)(p[0] - 0x80), b2 = (unsigned char)(p[1] - 0x80);
            codeSet_JisToShiftJis(&b1, &b2);
            r += (char)b1;
            r += (char)b2;
            p += 2;
        } else {
            if ((int)r.size() + 1 > nBytes)
                break;
            r += (char)*p++;
        }
    }
    return finishConversion(out, r);
}

int codeSet_internalToNativeEncoding(char *out, const char *in, int nBytes)
{
    if (!charTranActive) {
        copyText(out, in, nBytes);
        return 0;
    }
    if (out == nullptr || in == nullptr || *in == 0 || nBytes <= 0)
        return -1;
    std::string r;
    for (const char *p = in; *p != 0;) {
        int n = step(p);
        unsigned char b1 = (unsigned char)p[0];
        if (n >= 2) {
            if ((int)r.size() + 2 > nBytes)
                break;
            unsigned char b2 = (unsigned char)p[1];
            codeSet_ShiftJisToJis(&b1, &b2);
            r += (char)(b1 + 0x80);
            r += (char)(b2 + 0x80);
        } else if (b1 >= 0xA1 && b1 <= 0xDF) {
            if ((int)r.size() + 2 > nBytes)
                break;
            r += (char)0x8E;
            r += (char)b1;
        } else {
            if ((int)r.size() + 1 > nBytes)
                break;
            r += (char)b1;
        }
        p += n;
    }
    return finishConversion(out, r);
}

int codeSet_getScreenFontIndices(uint16_t *outputP, int nChars, const char *inputP, int nBytes,
                                 int rightToLeft)
{
    (void)rightToLeft;
    if (outputP == nullptr || inputP == nullptr)
        return 0;
    int produced = 0;
    int i = 0;
    while (produced < nChars && i < nBytes && inputP[i] != 0) {
        // Only the counted bytes are looked at: a character they cut short
        // (lead bytes reaching the last of them) is left out.
        int n = csG.nMBRanges > 0 ? leadCount((ubytes)inputP + i, nBytes - i) : 0;
        if (n > 0 && n < csG.nMBRanges && i + n == nBytes)
            break;
        if (n == 0)
            n = 1;
        unsigned char b1 = (unsigned char)inputP[i];
        if (n >= 2) {
            unsigned char b2 = (unsigned char)inputP[i + 1];
            if (csG.convertShiftJIS)
                codeSet_ShiftJisToJis(&b1, &b2);
            outputP[produced] = (uint16_t)(b1 * 256 + b2);
        } else {
            outputP[produced] = b1;
        }
        produced++;
        i += n;
    }
    if (produced < nChars)
        outputP[produced] = 0;
    return produced;
}

int codeSet_getDesignFontIndices(uint16_t *wStringP, int justification, int languageId)
{
    (void)justification;
    (void)languageId;
    int n = 0;
    if (wStringP != nullptr)
        while (wStringP[n] != 0)
            n++;
    return n;
}

int codeSet_insertCharacter(char *stringP, int keystroke, int *cursorIndexP, int *savedIndexP,
                            int rightToLeft)
{
    if (stringP == nullptr || cursorIndexP == nullptr || savedIndexP == nullptr)
        return -1;
    int len = (int)std::strlen(stringP);
    int at = *savedIndexP;
    if (at < 0 || at > len)
        return -1;
    std::memmove(stringP + at + 1, stringP + at, (size_t)(len - at + 1));
    stringP[at] = (char)keystroke;
    if (rightToLeft == 0)
        (*cursorIndexP)++;
    (*savedIndexP)++;
    if (keystroke == textNLCharacter)
        *cursorIndexP = at + 1;
    return 0;
}

int codeSet_deleteSection(char *stringP, int startIndex, int endIndex, int rightToLeft)
{
    (void)rightToLeft;
    if (stringP == nullptr)
        return -1;
    int len = (int)std::strlen(stringP);
    if (startIndex < 0 || endIndex < startIndex || endIndex > len)
        return -1;
    std::memmove(stringP + startIndex, stringP + endIndex, (size_t)(len - endIndex + 1));
    return 0;
}

int isRTL(int c)
{
    (void)c;
    return 0;
}

int codeSet_convertKeyToString(char *stringP, int keystroke)
{
    if (stringP == nullptr || !codeSet_isMultiByteChar(keystroke, 0))
        return 0;
    int ch;
    do
        ch = std::getchar();
    while (ch == 0);
    // Without a second byte the keystroke stays a single byte.
    if (ch == EOF)
        return 0;
    stringP[0] = (char)byteValue(keystroke);
    stringP[1] = (char)ch;
    stringP[2] = 0;
    return 1;
}

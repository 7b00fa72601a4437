// Code sets and multibyte text: the global code-set record `csG`, the string
// function table `mbStrFuncs` every other module scans text through, the
// code-set aware string and class functions, and the runtime configuration
// that fills `csG` at start.
//
// Character classes by index: 0 isspace/isprint, 1 isspace, 2 iscntrl,
// 3 isdigit, 4 isxdigit, 5 islower/isalpha, 6 isupper/isalpha, 7 ispunct,
// 8 isalpha, 9 isspace.
#ifndef CATALOGR_CODESET_H
#define CATALOGR_CODESET_H

#include <cstddef>
#include <cstdint>

// One inclusive range of byte values (or of characters, in class ranges).
struct encodingRange {
    int32_t start;
    int32_t end;
};

struct charclass {
    char *stringP;              // zero-terminated member characters, or null
    int nValidRanges;
    encodingRange *validRangesP;
    int nInvalidRanges;
    encodingRange *invalidRangesP;
};

enum { CODESET_N_CLASSES = 10 };

struct codesetglobals {
    uint32_t version;
    int32_t encodingScheme;
    int32_t textDirection;
    int32_t convertShiftJIS;
    int nMBRanges;              // byte positions of a multibyte character; 0 single-byte
    int *mbRangeSizesP;         // nMBRanges counts
    encodingRange **rangesPP;   // nMBRanges range arrays
    charclass charClasses[CODESET_N_CLASSES];
    int utf8;                   // 1: UTF-8 text (nMBRanges is then 0)
};

// All zero at start: single-byte text, no classes.
extern codesetglobals csG;
// 0 at start and never set by this program: encoding conversions only copy.
extern int charTranActive;
// The newline character used when inserting text (10).
extern int textNLCharacter;

// The string and character-class function table, 20 slots in this order.
struct mbstrfuncs {
    char *(*strchrP)(const char *s, int c);
    int (*strcmpiP)(const char *a, const char *b);
    size_t (*strcspnP)(const char *s, const char *reject);
    char *(*strlwrP)(char *s);
    char *(*strpbrkP)(const char *s, const char *accept);
    char *(*strrchrP)(const char *s, int c);
    size_t (*strspnP)(const char *s, const char *accept);
    char *(*strtokP)(char *s, const char *delims);
    char *(*struprP)(char *s);
    int (*isalnumP)(int c);
    int (*isalphaP)(int c);
    int (*iscntrlP)(int c);
    int (*isdigitP)(int c);
    int (*isgraphP)(int c);
    int (*islowerP)(int c);
    int (*isprintP)(int c);
    int (*ispunctP)(int c);
    int (*isspaceP)(int c);
    int (*isupperP)(int c);
    int (*isxdigitP)(int c);
};

extern mbstrfuncs mbStrFuncs;

// Points every slot at the code-set functions (nonzero) or at the
// single-byte functions (0).
void mbstr_initialize(int multiByteCharsPossible);

// The single-byte functions: ASCII rules on unsigned char values, no locale.
char *sb_strchr(const char *s, int c);
int sb_strcmpi(const char *a, const char *b);
size_t sb_strcspn(const char *s, const char *reject);
char *sb_strlwr(char *s);
char *sb_strpbrk(const char *s, const char *accept);
char *sb_strrchr(const char *s, int c);
size_t sb_strspn(const char *s, const char *accept);
char *sb_strtok(char *s, const char *delims);
char *sb_strupr(char *s);
int sb_isalnum(int c);
int sb_isalpha(int c);
int sb_iscntrl(int c);
int sb_isdigit(int c);
int sb_isgraph(int c);
int sb_islower(int c);
int sb_isprint(int c);
int sb_ispunct(int c);
int sb_isspace(int c);
int sb_isupper(int c);
int sb_isxdigit(int c);
// ASCII case mapping of one byte value; other values are returned unchanged.
int sb_tolower(int c);
int sb_toupper(int c);

// Wrappers: each calls its slot of `mbStrFuncs`.
char *qtkstrchr(const char *s, int c);
int qtkstrcmpi(const char *a, const char *b);
size_t qtkstrcspn(const char *s, const char *reject);
char *qtkstrlwr(char *s);
char *qtkstrpbrk(const char *s, const char *accept);
char *qtkstrrchr(const char *s, int c);
size_t qtkstrspn(const char *s, const char *accept);
char *qtkstrtok(char *s, const char *delims);
char *qtkstrupr(char *s);
int qtkisalnum(int c);
int qtkisalpha(int c);
int qtkiscntrl(int c);
int qtkisdigit(int c);
int qtkisgraph(int c);
int qtkislower(int c);
int qtkisprint(int c);
int qtkispunct(int c);
int qtkisspace(int c);
int qtkisupper(int c);
int qtkisxdigit(int c);

// Code-set functions. A character never extends past the terminator (a
// lead byte before it is one byte); bytes are taken as unsigned char, and a
// negative `c` of -128..-1 stands for its byte. Null strings give 0 or null.
int codeSet_isMultiByteChar(int testChar, int byteNum);
int codeSet_getCharacterNBytes(const char *s);
int codeSet_isValidChar(const char *s);
int codeSet_getNChars(const char *s);
// Null for a negative index or one past the terminator's index.
char *codeSet_charIndexToByteP(const char *s, int charIndex);
// In UTF-8 text every letter changes case, to a letter of the same byte
// length (a letter whose other case is longer or shorter stays as it is).
char *codeSet_strlwr(char *s);
char *codeSet_strupr(char *s);
// Upper-cases the ASCII letters only, stepping over whole characters: the
// case change of what must not depend on the locale (index keys, the names
// of files the engine makes).
char *codeSet_asciiUpper(char *s);
// 1 when the character at `s` is a control character: a byte below 0x20 or
// 0x7F, and in UTF-8 text also U+0080 to U+009F.
int codeSet_isControl(const char *s);
// `c` below 256: a single-byte character; from 256: a character whose first
// two bytes are c's high and low byte.
char *codeSet_strchr(const char *s, int c);
char *codeSet_strrchr(const char *s, int c);
size_t codeSet_strcspn(const char *s, const char *reject);
size_t codeSet_strspn(const char *s, const char *accept);
char *codeSet_strpbrk(const char *s, const char *accept);
char *codeSet_strtok(char *s, const char *delims);
// As strcmp of both operands after codeSet_strupr, at any length.
int codeSet_strcmpi(const char *a, const char *b);
// Without any configured class, bytes below 0x80 answer as ASCII.
int codeSet_isalnum(int c);
int codeSet_isalpha(int c);
int codeSet_iscntrl(int c);
int codeSet_isdigit(int c);
int codeSet_isgraph(int c);
int codeSet_islower(int c);
int codeSet_isprint(int c);
int codeSet_ispunct(int c);
int codeSet_isspace(int c);
int codeSet_isupper(int c);
int codeSet_isxdigit(int c);
// No more than `maxLen` bytes are read; a character cut by it is invalid (-1).
int codeSet_mblen(const char *s, int maxLen);
int codeSet_mbtowc(uint16_t *wcP, const char *s, int maxLen);
// Writes up to 2 bytes, no terminator.
int codeSet_wctomb(char *s, uint16_t wchar);
int codeSet_mbstowcs(uint16_t *wcsP, const char *s, int nChars);
int codeSet_wcstombs(char *s, const uint16_t *wcsP, int nBytes);
void codeSet_JisToShiftJis(unsigned char *b1, unsigned char *b2);
void codeSet_ShiftJisToJis(unsigned char *b1, unsigned char *b2);
// EUC to Shift-JIS and back: at most `nBytes` bytes and a terminator go to
// `out` (which may be `in`); while `charTranActive` is 0 they only copy.
int codeSet_nativeToInternalEncoding(char *out, const char *in, int nBytes);
int codeSet_internalToNativeEncoding(char *out, const char *in, int nBytes);
int codeSet_getScreenFontIndices(uint16_t *outputP, int nChars, const char *inputP, int nBytes,
                                 int rightToLeft);
int codeSet_getDesignFontIndices(uint16_t *wStringP, int justification, int languageId);
// `stringP` must have room for one more byte. -1 (nothing changed) when the
// index lies outside the text.
int codeSet_insertCharacter(char *stringP, int keystroke, int *cursorIndexP, int *savedIndexP,
                            int rightToLeft);
// Removes bytes [startIndex, endIndex); -1 (nothing changed) unless
// 0 <= startIndex <= endIndex <= the text's length.
int codeSet_deleteSection(char *stringP, int startIndex, int endIndex, int rightToLeft);
int isRTL(int c);
// `stringP` holds 3 bytes. 0 without a second byte on standard input.
int codeSet_convertKeyToString(char *stringP, int keystroke);

// Runtime configuration: the `rtCf` resource of the host application's
// resource file (VX/plathost.rsc, or plathost.rsc along the resource
// search; alias chosen by VX_RTCONFIG). 32-bit little-endian words:
//
//   0  version              release, major, minor, subMinor bytes
//   4  loadCodeSetHandler   0: nothing after byte 32 is read, single-byte
//   8  codeSetHandlerName   8 bytes, not used
//   16 encodingScheme
//   20 textDirection
//   24 convertShiftJIS
//   28 nMBRanges            byte positions of a character, at most 2
//   32 nMBRanges range sets: count n, then n (start, end) pairs, each
//      within 1..255 with start <= end
//   .. optional, all ten or none: per character class a string length L,
//      L bytes of a zero-terminated member list (used when L > 1), padding
//      to a 4-byte boundary, a range set of valid and one of invalid ranges
//
// Every count and length is checked against the resource's size; a
// configuration that breaks any rule is not used (single-byte text).
enum {
    CODESET_RTCF_TYPE = 0x72744366,
    CODESET_RTCF_FIXED_SIZE = 32,
    CODESET_RTCF_NMBRANGES = 28,
    CODESET_MAX_MB_POSITIONS = 2
};
// Loads the configuration into csG: 0, or 1 when there is none, it is
// malformed, or memory ran out (csG is then empty). The flag (when given)
// is 1 exactly when two byte positions were configured.
int codeSet_initialize(int *multiByteCharsPossibleP);
// The same from configuration bytes already in memory.
int codeSet_applyConfiguration(const unsigned char *rtc, long size,
                               int *multiByteCharsPossibleP);
// With no configuration loaded: UTF-8 text when the character set of the
// environment's locale is UTF-8. 1 when it chose UTF-8, else 0 (csG is then
// left as it was).
int codeSet_initializeUtf8(void);
// Frees every array and string of csG and leaves it all zero.
void codeSet_destroy(void);
// Finds and loads the configuration; hands back a copy owned by the caller
// (released with free()) or null, and returns its size (0 with no copy).
long loadRuntimeResource(char **rtcRPP);
// `memberP` rounded up to a multiple of `sizeMember` (2, 4 or 8) counted
// from `resP` (from address 0 when `resP` is null); unchanged for 1, null
// for any other size.
void *qtkDialog_fixResourceAddress(void *resP, void *memberP, int sizeMember);

#endif

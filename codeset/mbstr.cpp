// The string function table every module scans and case-folds text through,
// its wrappers, and the single-byte functions it points at by default:
// ASCII rules on unsigned char values, independent of any locale.
#include <cstring>

#include "codeset/codeset.h"

namespace {

// A byte passed as a (possibly negative) char, as its unsigned value; other
// values are left as they are and belong to no ASCII class.
int byteValue(int c) { return c >= -128 && c < 0 ? (c & 0xFF) : c; }

char *sbStrtokSave = nullptr;

constexpr mbstrfuncs singleByteFuncs = {
    sb_strchr, sb_strcmpi, sb_strcspn, sb_strlwr, sb_strpbrk, sb_strrchr, sb_strspn,
    sb_strtok, sb_strupr, sb_isalnum, sb_isalpha, sb_iscntrl, sb_isdigit, sb_isgraph,
    sb_islower, sb_isprint, sb_ispunct, sb_isspace, sb_isupper, sb_isxdigit,
};

constexpr mbstrfuncs codeSetFuncs = {
    codeSet_strchr, codeSet_strcmpi, codeSet_strcspn, codeSet_strlwr, codeSet_strpbrk,
    codeSet_strrchr, codeSet_strspn, codeSet_strtok, codeSet_strupr, codeSet_isalnum,
    codeSet_isalpha, codeSet_iscntrl, codeSet_isdigit, codeSet_isgraph, codeSet_islower,
    codeSet_isprint, codeSet_ispunct, codeSet_isspace, codeSet_isupper, codeSet_isxdigit,
};

} // namespace

mbstrfuncs mbStrFuncs = singleByteFuncs;

void mbstr_initialize(int multiByteCharsPossible)
{
    mbStrFuncs = multiByteCharsPossible ? codeSetFuncs : singleByteFuncs;
}

// Null strings are accepted, as by the code-set functions: no match.
char *sb_strchr(const char *s, int c)
{
    return s != nullptr ? const_cast<char *>(std::strchr(s, (char)byteValue(c))) : nullptr;
}

char *sb_strrchr(const char *s, int c)
{
    return s != nullptr ? const_cast<char *>(std::strrchr(s, (char)byteValue(c))) : nullptr;
}

size_t sb_strcspn(const char *s, const char *reject)
{
    return s == nullptr ? 0 : reject == nullptr ? std::strlen(s) : std::strcspn(s, reject);
}

size_t sb_strspn(const char *s, const char *accept)
{
    return s != nullptr && accept != nullptr ? std::strspn(s, accept) : 0;
}

char *sb_strpbrk(const char *s, const char *accept)
{
    return s != nullptr && accept != nullptr ? const_cast<char *>(std::strpbrk(s, accept)) : nullptr;
}

int sb_strcmpi(const char *a, const char *b)
{
    const unsigned char *pa = (const unsigned char *)(a != nullptr ? a : "");
    const unsigned char *pb = (const unsigned char *)(b != nullptr ? b : "");
    for (;; pa++, pb++) {
        int ca = sb_tolower(*pa), cb = sb_tolower(*pb);
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

char *sb_strlwr(char *s)
{
    if (s == nullptr)
        return nullptr;
    for (unsigned char *p = (unsigned char *)s; *p != 0; p++)
        *p = (unsigned char)sb_tolower(*p);
    return s;
}

char *sb_strupr(char *s)
{
    if (s == nullptr)
        return nullptr;
    for (unsigned char *p = (unsigned char *)s; *p != 0; p++)
        *p = (unsigned char)sb_toupper(*p);
    return s;
}

// As the library's strtok, with its own saved position.
char *sb_strtok(char *s, const char *delims)
{
    char *p = s != nullptr ? s : sbStrtokSave;
    if (p == nullptr)
        return nullptr;
    if (delims == nullptr)
        delims = "";
    p += std::strspn(p, delims);
    if (*p == 0) {
        sbStrtokSave = nullptr;
        return nullptr;
    }
    char *end = p + std::strcspn(p, delims);
    if (*end != 0) {
        *end = 0;
        sbStrtokSave = end + 1;
    } else {
        sbStrtokSave = end;
    }
    return p;
}

int sb_tolower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
int sb_toupper(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

int sb_isdigit(int c) { c = byteValue(c); return c >= '0' && c <= '9'; }
int sb_islower(int c) { c = byteValue(c); return c >= 'a' && c <= 'z'; }
int sb_isupper(int c) { c = byteValue(c); return c >= 'A' && c <= 'Z'; }
int sb_isalpha(int c) { return sb_islower(c) || sb_isupper(c); }
int sb_isalnum(int c) { return sb_isalpha(c) || sb_isdigit(c); }
int sb_iscntrl(int c) { c = byteValue(c); return (c >= 0 && c < 0x20) || c == 0x7F; }
int sb_isgraph(int c) { c = byteValue(c); return c > 0x20 && c < 0x7F; }
int sb_isprint(int c) { c = byteValue(c); return c >= 0x20 && c < 0x7F; }
int sb_ispunct(int c) { return sb_isgraph(c) && !sb_isalnum(c); }
int sb_isspace(int c) { c = byteValue(c); return c == ' ' || (c >= '\t' && c <= '\r'); }

int sb_isxdigit(int c)
{
    c = byteValue(c);
    return sb_isdigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char *qtkstrchr(const char *s, int c) { return mbStrFuncs.strchrP(s, c); }
int qtkstrcmpi(const char *a, const char *b) { return mbStrFuncs.strcmpiP(a, b); }
size_t qtkstrcspn(const char *s, const char *reject) { return mbStrFuncs.strcspnP(s, reject); }
char *qtkstrlwr(char *s) { return mbStrFuncs.strlwrP(s); }
char *qtkstrpbrk(const char *s, const char *accept) { return mbStrFuncs.strpbrkP(s, accept); }
char *qtkstrrchr(const char *s, int c) { return mbStrFuncs.strrchrP(s, c); }
size_t qtkstrspn(const char *s, const char *accept) { return mbStrFuncs.strspnP(s, accept); }
char *qtkstrtok(char *s, const char *delims) { return mbStrFuncs.strtokP(s, delims); }
char *qtkstrupr(char *s) { return mbStrFuncs.struprP(s); }
int qtkisalnum(int c) { return mbStrFuncs.isalnumP(c); }
int qtkisalpha(int c) { return mbStrFuncs.isalphaP(c); }
int qtkiscntrl(int c) { return mbStrFuncs.iscntrlP(c); }
int qtkisdigit(int c) { return mbStrFuncs.isdigitP(c); }
int qtkisgraph(int c) { return mbStrFuncs.isgraphP(c); }
int qtkislower(int c) { return mbStrFuncs.islowerP(c); }
int qtkisprint(int c) { return mbStrFuncs.isprintP(c); }
int qtkispunct(int c) { return mbStrFuncs.ispunctP(c); }
int qtkisspace(int c) { return mbStrFuncs.isspaceP(c); }
int qtkisupper(int c) { return mbStrFuncs.isupperP(c); }
int qtkisxdigit(int c) { return mbStrFuncs.isxdigitP(c); }

// The engine's file-name pieces: adding or replacing an extension, cutting a
// name into directory, base name and extension, and joining a directory and
// a name. Only '/' separates directories; scans go through the code-set
// table so the second byte of a double-byte character is never taken for a
// separator; only the final component is ever upper-cased, and only its
// ASCII letters, so that the names of files never depend on the locale.
#include <cstring>
#include <string>

#include "codeset/codeset.h"
#include "xbase/u4util.h"

namespace {

// Offset of the final component (just after the last '/').
size_t baseOffset(const char *s)
{
    const char *slash = qtkstrrchr(s, '/');
    return slash == nullptr ? 0 : (size_t)(slash - s) + 1;
}

// Offset of the extension's '.' within `s` (the last '.' of the final
// component), or npos.
size_t extOffset(const char *s)
{
    size_t base = baseOffset(s);
    const char *dot = qtkstrrchr(s + base, '.');
    return dot == nullptr ? std::string::npos : (size_t)(dot - s);
}

// The longest prefix of `s` (of `n` bytes) within `limit` bytes that does
// not split a character.
size_t charBoundary(const char *s, size_t n, size_t limit)
{
    size_t at = 0;
    while (at < n) {
        int w = codeSet_getCharacterNBytes(s + at);
        size_t step = w < 1 ? 1 : (size_t)w;
        if (at + step > limit)
            break;
        at += step;
    }
    return at;
}

int copyOut(const std::string &s, char *out, int outLen)
{
    if (out == nullptr || outLen <= 0 || s.size() + 1 > (size_t)outLen)
        return -1;
    std::memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}

} // namespace

int u4name_ext(char *name, int len_result, const char *new_ext, int do_replace)
{
    if (name == nullptr)
        return -1;
    std::string s(name);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    const char *ext = new_ext == nullptr ? "" : new_ext;
    if (*ext == '.')
        ext++;
    size_t dot = extOffset(s.c_str());
    if (dot == std::string::npos || do_replace) {
        if (dot != std::string::npos)
            s.resize(dot);
        if (*ext != 0)
            s.append(".").append(ext);
    }
    size_t base = baseOffset(s.c_str());
    if (copyOut(s, name, len_result) != 0)
        return -1;
    codeSet_asciiUpper(name + base);
    return 0;
}

int u4name_piece(char *result, int len_result, const char *from, int give_path, int give_ext)
{
    if (result == nullptr || len_result <= 0)
        return -1;
    if (from == nullptr)
        from = "";
    size_t base = baseOffset(from);
    size_t dot = extOffset(from);
    size_t start = give_path ? 0 : base;
    size_t end = give_ext || dot == std::string::npos ? std::strlen(from) : dot;
    size_t n = end - start;
    int cut = 0;
    if (n > (size_t)len_result - 1) {
        n = charBoundary(from + start, n, (size_t)len_result - 1);
        cut = 1;
    }
    std::memcpy(result, from + start, n);
    result[n] = 0;
    size_t upperFrom = base - start;
    if (upperFrom < n)
        codeSet_asciiUpper(result + upperFrom);
    return cut;
}

int u4name_path(char *result, int len_result, const char *from)
{
    if (result == nullptr || len_result <= 0)
        return -1;
    std::string dir(from == nullptr ? "" : from, from == nullptr ? 0 : baseOffset(from));
    if (copyOut(dir, result, len_result) != 0) {
        result[0] = 0;
        return -1;
    }
    return (int)dir.size();
}

int u4name_ret_ext(char *result, int len_result, const char *from)
{
    if (result == nullptr || len_result <= 0 || from == nullptr)
        return 0;
    size_t dot = extOffset(from);
    if (dot == std::string::npos)
        return 0;
    size_t n = std::strlen(from + dot + 1);
    if (n > (size_t)len_result)
        n = (size_t)len_result;
    std::memcpy(result, from + dot + 1, n);
    return (int)n;
}

int u4name_make(char *buf, int buf_len, const char *, const char *default_directory,
                const char *file_name)
{
    if (buf == nullptr || buf_len <= 0 || file_name == nullptr)
        return -1;
    std::string s;
    if (file_name[0] != '/' && default_directory != nullptr && *default_directory != 0) {
        s = default_directory;
        if (s.back() != '/')
            s += '/';
    }
    s += file_name;
    if (copyOut(s, buf, buf_len) != 0) {
        buf[0] = 0;
        return -1;
    }
    return 0;
}

int u4name_companion(char *result, int len_result, const char *data_name, const char *ext)
{
    if (result == nullptr || data_name == nullptr || ext == nullptr)
        return -1;
    std::string s(data_name);
    size_t dot = extOffset(s.c_str());
    int lower = 0;
    if (dot != std::string::npos) {
        int small = 0, capital = 0;
        for (size_t i = dot + 1; i < s.size(); i++) {
            small |= s[i] >= 'a' && s[i] <= 'z';
            capital |= s[i] >= 'A' && s[i] <= 'Z';
        }
        lower = small && !capital;
        s.resize(dot);
    }
    std::string e(*ext == '.' ? ext + 1 : ext);
    for (char &c : e)
        c = (char)(lower ? sb_tolower((unsigned char)c) : sb_toupper((unsigned char)c));
    s += "." + e;
    if (copyOut(s, result, len_result) != 0) {
        if (len_result > 0)
            result[0] = 0;
        return -1;
    }
    return 0;
}

int u4name_char(unsigned char ch)
{
    if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_')
        return 1;
    return qtkisalpha(ch) || qtkisdigit(ch) ? 1 : 0;
}

// Conversions shared by fields, dates and expressions: decimal text to
// number, number to fixed-width text, picture rearrangement, trimming and
// case changes. Pure functions on caller buffers; nothing here reports.
#include "xbase/c4conv.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codeset/codeset.h"

namespace {

// Longest text, after leading blanks, that the integer and floating
// conversions look at.
const int C4ATOL_MAX_LEN = 127;
const int C4ATOD_MAX_LEN = 49;

int isBlank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// Skips leading blanks within the first `len` characters (or up to a
// terminator) and then keeps at most `limit` characters. Returns the start
// of the number text; `*n` receives how many characters may be read there.
const char *numberText(const char *str, int len, int limit, int *n)
{
    int i = 0;
    while (i < len && str[i] != '\0' && isBlank((unsigned char)str[i]))
        i++;
    int avail = 0;
    while (i + avail < len && avail < limit && str[i + avail] != '\0')
        avail++;
    *n = avail;
    return str + i;
}

// Length of the longest prefix of s[0..n) that is a decimal floating
// number: [sign] digits [. digits] [e [sign] digits], with at least one
// mantissa digit. 0 when there is none. Hexadecimal, "inf" and "nan" are
// not numbers here.
int decimalPrefix(const char *s, int n)
{
    int i = 0;
    if (i < n && (s[i] == '+' || s[i] == '-'))
        i++;
    int digits = 0;
    while (i < n && isDigit((unsigned char)s[i])) {
        i++;
        digits++;
    }
    if (i < n && s[i] == '.') {
        i++;
        while (i < n && isDigit((unsigned char)s[i])) {
            i++;
            digits++;
        }
    }
    if (digits == 0)
        return 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        int j = i + 1;
        if (j < n && (s[j] == '+' || s[j] == '-'))
            j++;
        if (j < n && isDigit((unsigned char)s[j])) {
            while (j < n && isDigit((unsigned char)s[j]))
                j++;
            i = j;
        }
    }
    return i;
}

// True when `mag` (finite, not negative) lies exactly halfway between two
// numbers of `d` decimals, that is when 2 * mag * 10^d is an odd integer.
// With mag = m * 2^q, m odd, that product is m * 5^d * 2^(q + 1 + d): odd
// exactly when q + 1 + d == 0. Decided on the bits, without rounding.
bool isExactTie(double mag, int d)
{
    if (mag == 0.0)
        return false;
    int e;
    double f = std::frexp(mag, &e);     // mag = f * 2^e, 0.5 <= f < 1
    uint64_t m = (uint64_t)std::ldexp(f, 53);
    int q = e - 53;
    while ((m & 1) == 0) {
        m >>= 1;
        q++;
    }
    return q + 1 + d == 0;
}

// Adds one unit in the last place of the unsigned decimal text in `text`
// (digits with at most one '.'); a carry out of the first digit puts a "1"
// in front. `text` has room for one more character.
void addOneInLastPlace(char *text)
{
    int i = (int)strlen(text) - 1;
    for (; i >= 0; i--) {
        if (text[i] == '.')
            continue;
        if (text[i] != '9') {
            text[i]++;
            return;
        }
        text[i] = '0';
    }
    memmove(text + 1, text, strlen(text) + 1);
    text[0] = '1';
}

// The value of plain decimal text s[0..n) ([sign] digits [. digits], no
// exponent) when it has at most 15 digits: the digits as a whole number m
// and the fraction's k digits make m / 10^k, both exact doubles, and one
// correctly rounded division gives the double nearest to the text, as the
// standard conversion does. False for anything else.
bool exactQuotient(const char *s, int n, double *v)
{
    static const double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    int i = 0;
    bool negative = s[0] == '-';
    if (s[0] == '-' || s[0] == '+')
        i++;
    uint64_t m = 0;
    int digits = 0, fraction = -1;
    for (; i < n; i++) {
        if (s[i] == '.') {
            fraction = 0;
            continue;
        }
        if (!isDigit((unsigned char)s[i]) || ++digits > 15)
            return false;
        m = m * 10 + (uint64_t)(s[i] - '0');
        if (fraction >= 0)
            fraction++;
    }
    double q = (double)m;
    if (fraction > 0)
        q /= kPow10[fraction];
    *v = negative ? -q : q;
    return true;
}

// The digits of a whole number below 10^15 with `d` zero decimals after a
// point, as "%.*f" writes it: the text of every such number is exact.
void wholeText(uint64_t whole, int d, char *text)
{
    char rev[20];
    int n = 0;
    do {
        rev[n++] = (char)('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    while (n > 0)
        *text++ = rev[--n];
    if (d > 0) {
        *text++ = '.';
        memset(text, '0', (size_t)d);
        text += d;
    }
    *text = '\0';
}

} // namespace

long c4atol(const char *str, int len_str)
{
    if (str == nullptr || len_str <= 0)
        return 0;
    int n;
    const char *s = numberText(str, len_str, C4ATOL_MAX_LEN, &n);
    int i = 0;
    int negative = 0;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        i++;
    }
    // Accumulate the magnitude towards the limit of the sign, saturating
    // there as the standard conversion does.
    unsigned long limit = negative ? (unsigned long)LONG_MAX + 1UL : (unsigned long)LONG_MAX;
    unsigned long value = 0;
    for (; i < n && isDigit((unsigned char)s[i]); i++) {
        unsigned digit = (unsigned)(s[i] - '0');
        if (value > (limit - digit) / 10) {
            value = limit;
            continue;
        }
        value = value * 10 + digit;
    }
    if (!negative)
        return (long)value;
    if (value == (unsigned long)LONG_MAX + 1UL)
        return LONG_MIN;
    return -(long)value;
}

int c4atoi(const char *str, int len_str)
{
    long v = c4atol(str, len_str);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

int c4atod2(const char *str, int len_str, double *result)
{
    double v = 0.0;
    if (str != nullptr && len_str > 0) {
        int n;
        const char *s = numberText(str, len_str, C4ATOD_MAX_LEN, &n);
        int accepted = decimalPrefix(s, n);
        if (accepted > 0 && !exactQuotient(s, accepted, &v)) {
            // The prefix is plain decimal text, so strtod reads exactly it.
            char buf[C4ATOD_MAX_LEN + 1];
            memcpy(buf, s, (size_t)accepted);
            buf[accepted] = '\0';
            v = strtod(buf, nullptr);
        }
    }
    if (v == 0.0)
        v = 0.0;    // never hand back negative zero
    if (result != nullptr)
        *result = v;
    return 0;
}

double c4atod(const char *str, int len_str)
{
    double v;
    c4atod2(str, len_str, &v);
    return v;
}

void c4ltoa45(long l_val, char *ptr, int num)
{
    if (ptr == nullptr || num == 0 || num == INT_MIN)
        return;
    int w = num < 0 ? -num : num;
    unsigned long mag = l_val < 0 ? 0UL - (unsigned long)l_val : (unsigned long)l_val;

    for (int i = w - 1; i >= 0; i--) {
        ptr[i] = (char)('0' + mag % 10);
        mag /= 10;
    }
    if (mag != 0) {
        memset(ptr, '*', (size_t)w);
        return;
    }
    if (num > 0) {
        for (int i = 0; i < w - 1 && ptr[i] == '0'; i++)
            ptr[i] = ' ';
    }
    if (l_val < 0) {
        if (ptr[0] != ' ') {
            memset(ptr, '*', (size_t)w);
            return;
        }
        int i = 0;
        while (i + 1 < w && ptr[i + 1] == ' ')
            i++;
        ptr[i] = '-';
    }
}

void c4dtoa45(double doub_val, char *out_buffer, int len, int dec)
{
    if (out_buffer == nullptr || len <= 0)
        return;
    memset(out_buffer, '0', (size_t)len);

    int d = 0;
    int p = len;
    if (dec > 0) {
        d = dec < 15 ? dec : 15;
        if (d > len - 1)
            d = len - 1;
        p = len - d - 1;
        out_buffer[p] = '.';
    }
    if (!std::isfinite(doub_val)) {
        memset(out_buffer, '*', (size_t)len);
        return;
    }

    // Fixed-point digits of the magnitude rounded to d decimals. The
    // largest double has 309 integer digits, so the text always fits. The
    // standard conversion rounds correctly but sends exact ties to the even
    // digit; they go away from zero here, as other xBase programs write them
    // (2.5 gives 3). A tie has exactly d + 1 decimals, so its text with
    // d + 1 decimals is exact and ends in the 5 that is dropped.
    char text[DBL_MAX_10_EXP + 40];
    double mag = std::fabs(doub_val);
    if (mag < 1e15 && mag == std::floor(mag)) {
        // A whole number is no tie and needs no rounding.
        wholeText((uint64_t)mag, d, text);
    } else if (isExactTie(mag, d)) {
        snprintf(text, sizeof text, "%.*f", d + 1, mag);
        size_t n = strlen(text);
        text[n - (d > 0 ? 1 : 2)] = 0;
        addOneInLastPlace(text);
    } else {
        snprintf(text, sizeof text, "%.*f", d, mag);
    }
    const char *point = strchr(text, '.');
    int intLen = point != nullptr ? (int)(point - text) : (int)strlen(text);
    const char *frac = point != nullptr ? point + 1 : text + intLen;

    // k: integer digits; digits: the significant digit string from its
    // first nonzero digit (k <= 0 means -k zeros follow the point first).
    int k;
    const char *digits;
    int nonzero = 0;
    if (intLen == 1 && text[0] == '0') {
        int z = 0;
        while (frac[z] == '0')
            z++;
        nonzero = frac[z] != '\0';
        k = nonzero ? -z : 0;
        digits = nonzero ? frac + z : frac;
    } else {
        k = intLen;
        digits = nullptr;
        nonzero = 1;
    }
    // A value that rounds to zero is stored as zero, whatever its sign.
    int negative = doub_val < 0.0 && nonzero;

    int signPos = k > 0 ? p - k - 1 : (p == 1 ? 0 : p - 2);
    if (k > p || p < 0 || (negative && signPos < 0)) {
        memset(out_buffer, '*', (size_t)len);
        return;
    }

    if (k > 0) {
        memset(out_buffer, ' ', (size_t)(p - k));
        memcpy(out_buffer + p - k, text, (size_t)k);
    } else if (p > 0) {
        memset(out_buffer, ' ', (size_t)(p - 1));
    }
    if (negative)
        out_buffer[signPos] = '-';

    if (d > 0) {
        char *to = out_buffer + p + 1;
        if (k > 0) {
            memcpy(to, frac, (size_t)d);
        } else {
            int skip = -k;
            int n = (int)strlen(digits);
            if (n > d - skip)
                n = d - skip;
            if (n > 0)
                memcpy(to + skip, digits, (size_t)n);
        }
    }
}

void c4encode(char *to, const char *from, const char *t_to, const char *t_from)
{
    if (to == nullptr || from == nullptr || t_to == nullptr || t_from == nullptr)
        return;
    size_t toLen = strlen(t_to);
    memcpy(to, t_to, toLen + 1);

    for (size_t i = 0; t_from[i] != '\0'; i++) {
        char c = t_from[i];
        const char *hit = strchr(t_to, c);
        if (hit == nullptr)
            continue;
        size_t pos = (size_t)(hit - t_to);
        to[pos] = from[i];
        // The rest of a run of c in t_from fills the run of c in t_to for
        // as long as that run lasts; the surplus is skipped.
        while (t_from[i + 1] == c) {
            i++;
            if (t_to[pos + 1] == c) {
                pos++;
                to[pos] = from[i];
            }
        }
    }
}

void c4trim_n(char *str, int n_ch)
{
    if (str == nullptr || n_ch <= 0)
        return;
    size_t n = strnlen(str, (size_t)n_ch - 1);
    if (n == (size_t)n_ch - 1)
        str[n] = '\0';
    while (n > 0 && str[n - 1] == ' ')
        str[--n] = '\0';
}

void c4upper(char *str)
{
    // Keys and field names must not depend on the code set's letters: only
    // ASCII letters change, multibyte characters are stepped over whole.
    if (str != nullptr)
        codeSet_asciiUpper(str);
}

void c4lower(char *str)
{
    if (str == nullptr)
        return;
    for (; *str != '\0'; str++) {
        if (*str >= 'A' && *str <= 'Z')
            *str = (char)(*str - 'A' + 'a');
    }
}

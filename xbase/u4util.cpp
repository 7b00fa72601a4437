// Small shared utilities: bounded copy, waiting for the next second, today's
// date as header bytes, buffer growth, file removal and renaming, and
// byte-order reversal.
#include "xbase/u4util.h"

#include <cstring>

#include "platform/platform.h"
#include "xbase/e4error.h"
#include "xbase/mem4.h"

namespace {

// The clock is polled in slices this long; the wait gives up after about a
// second even when the clock never seems to move.
const int kDelaySliceMs = 20;
const int kDelayMaxSlices = 55;

} // namespace

unsigned u4ncpy(char *to, const char *from, unsigned len)
{
    if (to == nullptr || len == 0)
        return 0;
    unsigned n = 0;
    if (from != nullptr)
        while (n + 1 < len && from[n] != 0) {
            to[n] = from[n];
            n++;
        }
    to[n] = 0;
    return n;
}

void u4delay_sec(void)
{
    int64_t start = platform_time();
    for (int i = 0; i < kDelayMaxSlices && platform_time() == start; i++)
        platform_sleepMs(kDelaySliceMs);
}

void u4yymmdd(char *yymmdd)
{
    int f[6] = {1900, 1, 1, 0, 0, 0};
    platform_localTime(platform_time(), f);
    yymmdd[0] = (char)(f[0] - 1900);
    yymmdd[1] = (char)f[1];
    yymmdd[2] = (char)f[2];
}

int u4alloc_again(CODE4 *c4, char **ptr_ptr, unsigned *was_old_len, unsigned new_len)
{
    if (*was_old_len >= new_len)
        return 0;
    char *p = static_cast<char *>(u4alloc((long)new_len));
    if (p == nullptr) {
        if (c4 != nullptr)
            e4(c4, e4memory, nullptr);
        return e4memory;
    }
    if (*ptr_ptr != nullptr) {
        std::memcpy(p, *ptr_ptr, *was_old_len);
        u4free(*ptr_ptr);
    }
    *ptr_ptr = p;
    *was_old_len = new_len;
    return 0;
}

void *u4alloc_free(CODE4 *, long n)
{
    return u4alloc(n);
}

int u4ptr_equal(const void *p1, const void *p2)
{
    return p1 == p2 ? 1 : 0;
}

int u4remove(const char *ptr)
{
    return platform_remove(ptr);
}

int u4rename(const char *old_name, const char *new_name)
{
    return platform_rename(old_name, new_name);
}

uint32_t x4reverse_long(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

uint16_t x4reverse_short(uint16_t v)
{
    return (uint16_t)((v >> 8) | (v << 8));
}

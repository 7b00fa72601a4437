// The engine context: its defaults, its release, closing every open data
// file, finding an open data file by alias, the build-options word, and
// the pauses of lock waits.
#include "xbase/code4.h"

#include <cstring>

#include "codeset/codeset.h"
#include "platform/platform.h"
#include "xbase/d4data.h"
#include "xbase/expr/expr4.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/u4util.h"

namespace {

// The longest pause of a lock wait, and the pause up to which pauses grow
// slowly.
const int kLockPauseMaxMs = 1000;
const double kLockPauseSlowMs = 50.0;

// Bytes of an alias, terminator included (the DATA4 alias field).
const unsigned kAliasLen = sizeof(DATA4::alias);

void freeBuffer(char *&buf, unsigned &len)
{
    u4free(buf);
    buf = nullptr;
    len = 0;
}

void releasePool(MEM4 *&pool)
{
    mem4release(pool);
    pool = nullptr;
}

} // namespace

void d4init(CODE4 *c4)
{
    if (c4 == nullptr)
        return;
    std::memset(c4, 0, sizeof *c4);
    c4->default_unique_error = r4unique_continue;
    std::strcpy(c4->date_format, "MM/DD/YY");
    c4->mem_size_block = 1024;
    c4->mem_size_sort_pool = 61440;
    c4->mem_size_sort_buffer = 4096;
    c4->mem_size_buffer = 0x4000;
    c4->mem_size_memo = 512;
    c4->mem_size_memo_expr = 1024;
    c4->mem_expand_block = 10;
    c4->mem_expand_data = 5;
    c4->mem_expand_index = 5;
    c4->mem_expand_tag = 10;
    c4->mem_start_data = 5;
    c4->mem_start_block = 10;
    c4->mem_start_index = 5;
    c4->mem_start_tag = 10;
    c4->auto_open = 1;
    c4->create_error = 1;
    c4->expr_error = 1;
    c4->field_name_error = 1;
    c4->go_error = 1;
    c4->open_error = 1;
    c4->relate_error = 1;
    c4->safety = 1;
    c4->skip_error = 1;
    c4->tag_name_error = 1;
    c4->lock_attempts = -1;
    c4->debug_int = 0x5281;
    c4->do_index_verify = 1;
}

CODE4 *code4alloc(int do_init)
{
    CODE4 *c4 = static_cast<CODE4 *>(u4alloc(sizeof(CODE4)));
    if (c4 != nullptr && do_init)
        d4init(c4);
    return c4;
}

int d4init_undo(CODE4 *c4)
{
    if (c4 == nullptr)
        return -1;
    // Named calculations hold expressions over the open tables: they go
    // first, and their pool is empty before it is released.
    expr4calc_reset(c4);
    d4close_all(c4);
    releasePool(c4->index_memory);
    releasePool(c4->data_memory);
    releasePool(c4->tag_memory);
    releasePool(c4->bitmap_memory);
    releasePool(c4->calc_memory);
    freeBuffer(c4->expr_work_buf, c4->expr_buf_len);
    freeBuffer(c4->field_buffer, c4->buf_len);
    freeBuffer(c4->stored_key, c4->stored_key_len);
    mem4work_release(c4);
    return c4->error_code;
}

int d4close_all(CODE4 *c4)
{
    if (c4 == nullptr)
        return -1;
    int failed = 0;
    // The next member is fetched first: closing removes the current one.
    for (void *d = l4first(&c4->data_list), *next; d != nullptr; d = next) {
        next = l4next(&c4->data_list, d);
        if (d4close(static_cast<DATA4 *>(d)) < 0)
            failed = 1;
    }
    return failed || c4->error_code < 0 ? -1 : 0;
}

DATA4 *d4data(CODE4 *c4, const char *alias)
{
    if (c4 == nullptr || alias == nullptr)
        return nullptr;
    // An alias holds at most kAliasLen - 1 characters, so a longer name is
    // compared by as many.
    char wanted[kAliasLen];
    u4ncpy(wanted, alias, sizeof wanted);
    codeSet_asciiUpper(wanted);
    for (void *d = l4first(&c4->data_list); d != nullptr; d = l4next(&c4->data_list, d)) {
        const DATA4 *data = static_cast<const DATA4 *>(d);
        if (std::strncmp(data->alias, wanted, sizeof wanted) == 0)
            return const_cast<DATA4 *>(data);
    }
    return nullptr;
}

int u4switch(void)
{
    // A fixed word kept for callers that compare it; nothing here tests
    // its bits.
    return 0xC201;
}

namespace {

// The pause after the `polls`-th attempt of a wait without end: 1 ms,
// growing by 2% each time while the wait is young (a lock that a process
// keeps taking again is let go often but briefly, and only a waiter that
// asks often meets it free), by 10% from 50 ms on: a second after some 230
// pauses (about twelve seconds of waiting) and from then on.
double pause_after(int polls)
{
    double pause = 1.0;
    for (int i = 1; i < polls && pause < kLockPauseMaxMs; i++)
        pause *= pause < kLockPauseSlowMs ? 1.02 : 1.1;
    return pause < kLockPauseMaxMs ? pause : kLockPauseMaxMs;
}

} // namespace

long code4lock_waited_ms(int polls)
{
    long waited = 0;
    for (int i = 1; i < polls; i++) {
        int pause = (int)pause_after(i);
        if (pause >= kLockPauseMaxMs)
            return waited + (long)(polls - i) * kLockPauseMaxMs;
        waited += pause;
    }
    return waited;
}

int code4lock_pause_ms(int attempts, int polls)
{
    int pause = (int)pause_after(polls);
    if (attempts < 0)
        return pause;
    long left = (long)(attempts - 1) * kLockPauseMaxMs - code4lock_waited_ms(polls);
    if (left <= 0)
        return -1;
    return left < pause ? (int)left : pause;
}

void code4lock_wait(CODE4 *c4, const char *file_name, int polls, int pause_ms)
{
    if (c4 != nullptr && c4->lock_wait_hook != nullptr)
        c4->lock_wait_hook(c4, file_name != nullptr ? file_name : "", polls);
    platform_sleepMs(pause_ms);
}

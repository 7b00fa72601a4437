// Heap blocks and memory pools. A pool hands out zeroed units carved from
// chunks; freed units go back on the pool's free list (last freed, first
// reused) and chunks return to the heap only when the pool's last user
// releases it. Pools with the same unit size are shared.
//
// Chunk layout (one heap block):
//   0            LINK4 in the pool's `chunks` list, padded to kUnitAlign
//   kChunkHead   unit 0, unit 1, ... each `unit_size` bytes
// A free unit carries its LINK4 in its own first bytes, so every unit is at
// least sizeof(LINK4) and aligned for any object a caller keeps in it.
#include "xbase/mem4.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <new>
#include <unordered_map>

#include "xbase/e4error.h"
#include "xbase/l4list.h"

namespace {

const size_t kUnitAlign = alignof(std::max_align_t) > alignof(LINK4) ? alignof(std::max_align_t)
                                                                      : alignof(LINK4);
const size_t kChunkHead = (sizeof(LINK4) + kUnitAlign - 1) / kUnitAlign * kUnitAlign;
// A chunk never asks the heap for more than this.
const uint64_t kMaxChunkBytes = (uint64_t)1 << 31;

enum { GROUP_SIZE = 10 };

// Pool records come from groups of ten.
struct MEMORY4GROUP {
    LINK4 link;
    MEM4 pools[GROUP_SIZE];
};

// Engine-wide: free pool records, pools in use, and the groups.
LIST4 avail;
LIST4 used;
LIST4 groups;

// Test hook: allocations left before the heap is made to look exhausted.
long failAfter = -1;

unsigned roundUnit(unsigned unit_size)
{
    size_t size = unit_size < sizeof(LINK4) ? sizeof(LINK4) : unit_size;
    size = (size + kUnitAlign - 1) / kUnitAlign * kUnitAlign;
    return size > UINT32_MAX ? 0 : (unsigned)size;
}

void freeChunks(MEM4 *m)
{
    for (void *c = l4pop(&m->chunks); c != nullptr; c = l4pop(&m->chunks))
        u4free(c);
    std::memset(&m->pieces, 0, sizeof m->pieces);
}

// Adds one chunk of `units` units and puts every unit on the free list.
int addChunk(MEM4 *m, int units)
{
    uint64_t bytes = (uint64_t)units * m->unit_size + kChunkHead;
    if (units <= 0 || m->unit_size == 0 || bytes > kMaxChunkBytes)
        return -1;
    char *chunk = static_cast<char *>(u4alloc((long)bytes));
    if (chunk == nullptr)
        return -1;
    l4add(&m->chunks, chunk);
    for (int i = 0; i < units; i++)
        l4add(&m->pieces, chunk + kChunkHead + (size_t)i * m->unit_size);
    return 0;
}

// Fresh work blocks are rounded up to whole pages, so that requests of
// nearly one size (entry units of different key lengths) share blocks.
const size_t kWorkGrain = 4096;

} // namespace

// What a context keeps of its work memory: blocks handed out with their
// sizes, and blocks kept for reuse by size.
struct MEM4WORK {
    std::unordered_map<void *, size_t> out;
    std::multimap<size_t, void *> kept;
    size_t kept_bytes = 0;
};

void *mem4work_alloc(CODE4 *c4, size_t n)
{
    if (!u4alloc_allowed())
        return nullptr;
    if (n == 0)
        n = 1;
    MEM4WORK *w = c4 == nullptr ? nullptr : c4->work;
    if (c4 != nullptr && w == nullptr)
        w = c4->work = new (std::nothrow) MEM4WORK;
    if (w == nullptr)
        return c4 == nullptr ? std::malloc(n) : nullptr;
    // The smallest kept block that holds `n`, unless it would waste more
    // than the request itself.
    auto it = w->kept.lower_bound(n);
    if (it != w->kept.end() && it->first <= 2 * n + kWorkGrain) {
        void *p = it->second;
        size_t size = it->first;
        // The block is listed as out before it leaves the kept ones.
        if (!e4alloc_ok([&] { w->out[p] = size; }))
            return nullptr;
        w->kept.erase(it);
        w->kept_bytes -= size;
        return p;
    }
    size_t size = n < kWorkGrain ? n : (n + kWorkGrain - 1) / kWorkGrain * kWorkGrain;
    void *p = std::malloc(size);
    if (p != nullptr && !e4alloc_ok([&] { w->out[p] = size; })) {
        std::free(p);
        return nullptr;
    }
    return p;
}

void mem4work_free(CODE4 *c4, void *ptr)
{
    if (ptr == nullptr)
        return;
    MEM4WORK *w = c4 == nullptr ? nullptr : c4->work;
    auto it = w == nullptr ? std::unordered_map<void *, size_t>::iterator() : w->out.find(ptr);
    if (w == nullptr || it == w->out.end()) {
        std::free(ptr);
        return;
    }
    size_t size = it->second;
    w->out.erase(it);
    // A block the kept ones cannot list goes back to the heap.
    if (w->kept_bytes + size > MEM4_WORK_KEEP || !e4alloc_ok([&] { w->kept.emplace(size, ptr); })) {
        std::free(ptr);
        return;
    }
    w->kept_bytes += size;
}

void mem4work_trim(CODE4 *c4, size_t keep)
{
    MEM4WORK *w = c4 == nullptr ? nullptr : c4->work;
    while (w != nullptr && w->kept_bytes > keep) {
        auto largest = std::prev(w->kept.end());
        std::free(largest->second);
        w->kept_bytes -= largest->first;
        w->kept.erase(largest);
    }
}

void mem4work_release(CODE4 *c4)
{
    if (c4 == nullptr || c4->work == nullptr)
        return;
    for (auto &k : c4->work->kept)
        std::free(k.second);
    delete c4->work;
    c4->work = nullptr;
}

void u4alloc_fail_after(long n)
{
    failAfter = n;
}

int u4alloc_allowed(void)
{
    if (failAfter == 0)
        return 0;
    if (failAfter > 0)
        failAfter--;
    return 1;
}

void *u4alloc(long n)
{
    if (n < 0 || !u4alloc_allowed())
        return nullptr;
    return std::calloc(n == 0 ? 1 : (size_t)n, 1);
}

void u4free(void *ptr)
{
    std::free(ptr);
}

void *u4alloc_er(CODE4 *c4, long n)
{
    void *p = u4alloc(n);
    if (p == nullptr && c4 != nullptr)
        e4(c4, e4memory, nullptr);
    return p;
}

MEM4 *mem4create(CODE4 *c4, int start, unsigned unit_size, int expand, int is_temp)
{
    if (c4 != nullptr && c4->error_code < 0)
        return nullptr;
    unsigned size = roundUnit(unit_size);
    if (size == 0)
        return nullptr;
    if (start < 1)
        start = 1;
    if (expand < 1)
        expand = 1;
    if (!is_temp) {
        for (void *l = l4first(&used); l != nullptr; l = l4next(&used, l)) {
            MEM4 *m = static_cast<MEM4 *>(l);
            if (m->unit_size == size && m->n_repeat > 0) {
                if (m->unit_start < start)
                    m->unit_start = start;
                if (m->unit_expand < expand)
                    m->unit_expand = expand;
                m->n_repeat++;
                return m;
            }
        }
    }
    if (avail.n_link == 0) {
        MEMORY4GROUP *g = static_cast<MEMORY4GROUP *>(u4alloc(sizeof(MEMORY4GROUP)));
        if (g == nullptr) {
            if (c4 != nullptr)
                e4set(c4, e4memory);
            return nullptr;
        }
        l4add(&groups, g);
        for (MEM4 &m : g->pools)
            l4add(&avail, &m);
    }
    MEM4 *m = static_cast<MEM4 *>(l4pop(&avail));
    std::memset(m, 0, sizeof *m);
    l4add(&used, m);
    m->unit_start = start;
    m->unit_size = size;
    m->unit_expand = expand;
    m->n_repeat = is_temp ? -1 : 1;
    m->code_base = c4;
    return m;
}

MEM4 *mem4type(int start, unsigned unit_size, int expand, int is_temp)
{
    return mem4create(nullptr, start, unit_size, expand, is_temp);
}

void *mem4alloc2(MEM4 *memory_type, CODE4 *c4)
{
    if (memory_type == nullptr || (c4 != nullptr && c4->error_code < 0))
        return nullptr;
    if (memory_type->pieces.n_link == 0) {
        int units = memory_type->chunks.n_link == 0 ? memory_type->unit_start : memory_type->unit_expand;
        if (addChunk(memory_type, units) != 0) {
            if (c4 != nullptr)
                e4set(c4, e4memory);
            return nullptr;
        }
    }
    void *unit = l4pop(&memory_type->pieces);
    std::memset(unit, 0, memory_type->unit_size);
    memory_type->n_used++;
    return unit;
}

void *mem4alloc(MEM4 *memory_type)
{
    return mem4alloc2(memory_type, nullptr);
}

void *mem4create_alloc(CODE4 *c4, MEM4 **type_ptr_ptr, int start, unsigned unit_size, int expand,
                       int is_temp)
{
    if (type_ptr_ptr == nullptr)
        return nullptr;
    if (*type_ptr_ptr == nullptr) {
        *type_ptr_ptr = mem4create(c4, start, unit_size, expand, is_temp);
        if (*type_ptr_ptr == nullptr)
            return nullptr;
    }
    return mem4alloc2(*type_ptr_ptr, c4);
}

void mem4free(MEM4 *memory_type, void *free_ptr)
{
    if (memory_type == nullptr || free_ptr == nullptr)
        return;
    l4add(&memory_type->pieces, free_ptr);
    memory_type->n_used--;
}

void mem4release(MEM4 *memory_type)
{
    // A pool released by its last user is no longer in use; releasing it
    // again must not unlink it from the free records.
    if (memory_type == nullptr || !l4seek(&used, memory_type))
        return;
    memory_type->n_repeat--;
    if (memory_type->n_repeat > 0)
        return;
    freeChunks(memory_type);
    l4remove(&used, memory_type);
    l4add(&avail, memory_type);
}

void mem4init(void)
{
    std::memset(&avail, 0, sizeof avail);
    std::memset(&used, 0, sizeof used);
    std::memset(&groups, 0, sizeof groups);
}

void mem4reset(void)
{
    for (void *l = l4first(&used); l != nullptr; l = l4next(&used, l))
        freeChunks(static_cast<MEM4 *>(l));
    for (void *g = l4pop(&groups); g != nullptr; g = l4pop(&groups))
        u4free(g);
    mem4init();
}

// Block buffers of an index's tags: every buffer a tag holds, on its path
// or among its saved buffers, found by the block it holds, and the saved
// buffers kept as a cache of recently used blocks.
//
// What the cache keeps true:
//  C1. `held` maps a block position to the one buffer that holds it; a
//      buffer is in `held` exactly while it is on a path or saved list and
//      holds a block (i4cache_hold, i4cache_forget, i4cache_drop).
//  C2. `dirty` lists the position of every saved buffer that may differ
//      from the file (its `listed` set): a buffer changed on the path is
//      listed when it is saved, and its listing ends when it is written
//      (i4cache_save, i4cache_flush). Positions of buffers given back stay
//      until the list is next compacted; they name nothing or a buffer
//      written only if changed.
//  C3. Before every descent and every block read, no more than
//      I4_CACHE_BLOCKS saved buffers (I4_CACHE_BYTES of them) are kept:
//      the least recently saved buffer of all the index's tags is written
//      back if changed and given back (i4cache_trim, called from
//      t4tag.cpp). Saving never gives a buffer back, so a caller may go on
//      using a buffer it has just saved (the new blocks of a split).
// The cache is trusted only while the index's version shows that no other
// process changed the file; i4version_check drops it otherwise.
#include <cstdint>
#include <vector>

#include "xbase/e4error.h"
#include "xbase/index/b4block.h"
#include "xbase/index/i4index.h"
#include "xbase/l4list.h"

namespace {

const long I4_CACHE_BLOCKS = (long)(I4_CACHE_BYTES / sizeof(B4BLOCK));

// Block positions to buffers: open addressing with linear probing, a slot
// is free when its position is -1, and removal shifts later entries of a
// run back so that no search ever stops early.
struct BlockTable {
    struct Slot {
        long pos;
        B4BLOCK *b4;
    };
    std::vector<Slot> slots;
    size_t count = 0;

    size_t home(long pos) const
    {
        uint64_t h = (uint64_t)(pos / 512) * 0x9E3779B97F4A7C15ULL;
        return (size_t)(h >> 16) & (slots.size() - 1);
    }
    size_t size() const { return count; }

    // The slot of `pos`, or the free slot where it would go.
    size_t probe(long pos) const
    {
        size_t mask = slots.size() - 1;
        size_t i = home(pos);
        while (slots[i].pos != -1 && slots[i].pos != pos)
            i = (i + 1) & mask;
        return i;
    }

    B4BLOCK *find(long pos) const
    {
        if (slots.empty())
            return nullptr;
        const Slot &s = slots[probe(pos)];
        return s.pos == pos ? s.b4 : nullptr;
    }

    // False when the table is full and cannot grow. A table that cannot
    // grow goes on filling past three quarters while one slot stays free.
    bool put(long pos, B4BLOCK *b4)
    {
        if ((count + 1) * 4 > slots.size() * 3) {
            std::vector<Slot> old;
            if (e4alloc_ok([&] { old.assign(slots.size() < 64 ? 128 : slots.size() * 2, Slot{-1, nullptr}); })) {
                old.swap(slots);
                count = 0;
                for (const Slot &s : old)
                    if (s.pos != -1)
                        put(s.pos, s.b4);
            } else if (count + 1 >= slots.size()) {
                return false;
            }
        }
        Slot &s = slots[probe(pos)];
        if (s.pos != pos)
            count++;
        s = Slot{pos, b4};
        return true;
    }

    void erase(long pos)
    {
        if (slots.empty())
            return;
        size_t mask = slots.size() - 1;
        size_t i = probe(pos);
        if (slots[i].pos != pos)
            return;
        for (size_t j = (i + 1) & mask; slots[j].pos != -1; j = (j + 1) & mask) {
            size_t k = home(slots[j].pos);
            // Entry j may move to the hole at i unless its home lies
            // cyclically in (i, j].
            bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
            if (!stays) {
                slots[i] = slots[j];
                i = j;
            }
        }
        slots[i] = Slot{-1, nullptr};
        count--;
    }
};

} // namespace

I4CACHE_COUNTS i4cache_counts = {};

struct I4CACHE {
    BlockTable held;
    std::vector<long> dirty;
    unsigned long saves = 0;    // buffers saved so far; stamps their saved_at
};

namespace {

I4CACHE *cache_of(INDEX4 *i4)
{
    if (i4->cache == nullptr)
        i4->cache = new (std::nothrow) I4CACHE;
    return i4->cache;
}

void unhold(I4CACHE *c, B4BLOCK *b4)
{
    if (c->held.find(b4->file_block) == b4)
        c->held.erase(b4->file_block);
}

// Takes a held buffer out of its tag's path or, being held, saved list
// (C1): the path is short, the saved list may be long.
void unlist(B4BLOCK *b4)
{
    TAG4 *t4 = b4->tag;
    l4remove(l4seek(&t4->blocks, b4) ? &t4->blocks : &t4->saved, b4);
}

// Saved buffers of every tag of the index.
long saved_count(INDEX4 *i4)
{
    long n = 0;
    for (TAG4 *t4 = i4tag_next(i4, nullptr); t4 != nullptr; t4 = i4tag_next(i4, t4))
        n += t4->saved.n_link;
    return n;
}

// The saved buffer to give back when the cache is full: the one saved
// longest ago. Each tag's saved list is in the order of saving, so it is
// the first of one of them; a tag in use thus takes the room of tags that
// are not.
B4BLOCK *victim(INDEX4 *i4)
{
    B4BLOCK *oldest = nullptr;
    for (TAG4 *t4 = i4tag_next(i4, nullptr); t4 != nullptr; t4 = i4tag_next(i4, t4)) {
        B4BLOCK *b = (B4BLOCK *)l4first(&t4->saved);
        if (b != nullptr && (oldest == nullptr || b->saved_at < oldest->saved_at))
            oldest = b;
    }
    return oldest;
}

} // namespace

B4BLOCK *i4cache_find(INDEX4 *i4, long pos)
{
    if (i4->cache == nullptr || pos < 0)
        return nullptr;
    return i4->cache->held.find(pos);
}

int i4cache_hold(INDEX4 *i4, B4BLOCK *b4, long pos)
{
    I4CACHE *c = cache_of(i4);
    if (c == nullptr)
        return e4(i4->code_base, e4memory, "i4cache_hold()");
    if (b4->file_block >= 0)
        unhold(c, b4);
    b4->file_block = pos;
    if (pos < 0)
        return 0;
    // A listed buffer that moves stays listed under its new position, or
    // is written at once when the list cannot grow.
    if (b4->listed && !e4alloc_ok([&] { c->dirty.push_back(pos); })) {
        b4->listed = 0;
        int rc = b4flush(b4);
        if (rc != 0)
            return rc;
    }
    B4BLOCK *old = c->held.find(pos);
    if (old != nullptr && old != b4) {
        // A buffer that still names the block holds an older image of it.
        c->held.erase(pos);
        unlist(old);
        b4free(old);
    }
    if (!c->held.put(pos, b4))
        return e4(i4->code_base, e4memory, "i4cache_hold()");
    return 0;
}

int i4cache_save(TAG4 *t4, B4BLOCK *b4)
{
    INDEX4 *i4 = t4->index;
    I4CACHE *c = cache_of(i4);
    if (c == nullptr || b4->file_block < 0) {
        b4free(b4);
        return c == nullptr ? e4(i4->code_base, e4memory, "i4cache_save()") : 0;
    }
    // A buffer the table cannot hold stays saved, so that it is given back
    // with the tag, and is written at once.
    int rc = i4cache_find(i4, b4->file_block) != b4 ? i4cache_hold(i4, b4, b4->file_block) : 0;
    l4add(&t4->saved, b4);
    b4->saved_at = ++c->saves;
    if (rc != 0) {
        b4flush(b4);
        return rc;
    }
    if (b4->changed && !b4->listed) {
        // Positions of buffers given back since are dropped now and then,
        // so that the list stays about as long as the cache.
        if (c->dirty.size() > 2 * c->held.size() + 64) {
            size_t keep = 0;
            for (long pos : c->dirty) {
                B4BLOCK *b = i4cache_find(i4, pos);
                if (b != nullptr && b->listed)
                    c->dirty[keep++] = pos;
            }
            c->dirty.resize(keep);
        }
        // A changed buffer the list cannot take is written at once.
        if (!e4alloc_ok([&] { c->dirty.push_back(b4->file_block); }))
            return b4flush(b4);
        b4->listed = 1;
    }
    return 0;
}

int i4cache_trim(INDEX4 *i4)
{
    I4CACHE *c = i4->cache;
    if (c == nullptr || c->held.size() <= (size_t)I4_CACHE_BLOCKS)
        return 0;
    for (long n = saved_count(i4); n > I4_CACHE_BLOCKS; n--) {
        B4BLOCK *old = victim(i4);
        if (old == nullptr)
            break;
        i4cache_counts.evictions++;
        i4cache_counts.write_backs += old->changed ? 1 : 0;
        int rc = b4flush(old);
        if (rc != 0)
            return rc;
        unhold(c, old);
        l4remove(&old->tag->saved, old);
        b4free(old);
    }
    return 0;
}

B4BLOCK *i4cache_take(TAG4 *t4, long pos)
{
    i4cache_counts.lookups++;
    B4BLOCK *b4 = i4cache_find(t4->index, pos);
    if (b4 == nullptr || b4->tag != t4 || l4seek(&t4->blocks, b4))
        return nullptr;
    i4cache_counts.hits++;
    l4remove(&t4->saved, b4);
    return b4;
}

int i4cache_forget(INDEX4 *i4, long pos)
{
    B4BLOCK *b4 = i4cache_find(i4, pos);
    if (b4 == nullptr)
        return 0;
    b4->changed = 0;
    unhold(i4->cache, b4);
    unlist(b4);
    b4free(b4);
    return 1;
}

int i4cache_flush(INDEX4 *i4, TAG4 *t4)
{
    I4CACHE *c = i4->cache;
    if (c == nullptr)
        return 0;
    int rc = 0;
    size_t keep = 0;
    for (long pos : c->dirty) {
        B4BLOCK *b4 = i4cache_find(i4, pos);
        if (b4 == nullptr || !b4->listed)
            continue;
        if (t4 != nullptr && b4->tag != t4) {
            c->dirty[keep++] = pos;
            continue;
        }
        int r = b4flush(b4);
        if (r != 0) {
            if (rc == 0)
                rc = r;
            c->dirty[keep++] = pos;
            continue;
        }
        b4->listed = 0;
    }
    c->dirty.resize(keep);
    return rc;
}

void i4cache_drop(TAG4 *t4)
{
    I4CACHE *c = t4->index->cache;
    for (LIST4 *list : {&t4->blocks, &t4->saved})
        for (B4BLOCK *b = (B4BLOCK *)l4pop(list); b != nullptr; b = (B4BLOCK *)l4pop(list)) {
            if (c != nullptr)
                unhold(c, b);
            b4free(b);
        }
}

void i4cache_release(INDEX4 *i4)
{
    delete i4->cache;
    i4->cache = nullptr;
}

// Block buffers of an index's tags: every buffer a tag holds, on its path
// or among its saved buffers, found by the block it holds, and the saved
// buffers kept as a cache of recently used blocks.
//
// What the cache keeps true:
//  C1. `held` maps a block position to the one buffer that holds it; a
//      buffer is in `held` exactly while it is on a path or saved list and
//      holds a block (i4cache_hold, i4cache_forget, i4cache_drop).
//  C2. `dirty` lists every saved buffer that may differ from the file: a
//      buffer changed on the path is listed when it is saved, and leaves
//      the list when written or given back (i4cache_save, i4cache_flush).
//  C3. Before a buffer is taken for another block, no more than
//      I4_CACHE_BLOCKS saved buffers are kept: the oldest saved buffer of
//      the tag with the most is written back if changed and given back
//      (i4cache_trim). Saving never gives a buffer back, so a caller may
//      go on using a buffer it has just saved.
// The cache is trusted only while the index's version shows that no other
// process changed the file; i4version_check drops it otherwise.
#include <unordered_map>
#include <unordered_set>

#include "xbase/e4error.h"
#include "xbase/index/b4block.h"
#include "xbase/index/i4index.h"
#include "xbase/l4list.h"

struct I4CACHE {
    std::unordered_map<long, B4BLOCK *> held;
    std::unordered_set<B4BLOCK *> dirty;
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
    auto it = c->held.find(b4->file_block);
    if (it != c->held.end() && it->second == b4)
        c->held.erase(it);
    c->dirty.erase(b4);
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
    long n = i4->tag_index != nullptr ? i4->tag_index->saved.n_link : 0;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4))
        if (t4 != i4->tag_index)
            n += t4->saved.n_link;
    return n;
}

// The saved buffer to give back when the cache is full: the oldest of the
// tag that keeps the most.
B4BLOCK *victim(INDEX4 *i4)
{
    TAG4 *most = i4->tag_index;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4))
        if (most == nullptr || t4->saved.n_link > most->saved.n_link)
            most = t4;
    return most == nullptr ? nullptr : (B4BLOCK *)l4first(&most->saved);
}

} // namespace

B4BLOCK *i4cache_find(INDEX4 *i4, long pos)
{
    if (i4->cache == nullptr || pos < 0)
        return nullptr;
    auto it = i4->cache->held.find(pos);
    return it == i4->cache->held.end() ? nullptr : it->second;
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
    auto it = c->held.find(pos);
    if (it != c->held.end() && it->second != b4) {
        // A buffer that still names the block holds an older image of it.
        B4BLOCK *old = it->second;
        c->held.erase(it);
        c->dirty.erase(old);
        unlist(old);
        b4free(old);
    }
    c->held[pos] = b4;
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
    if (i4cache_find(i4, b4->file_block) != b4)
        i4cache_hold(i4, b4, b4->file_block);
    l4add(&t4->saved, b4);
    if (b4->changed)
        c->dirty.insert(b4);
    return 0;
}

int i4cache_trim(INDEX4 *i4)
{
    I4CACHE *c = i4->cache;
    if (c == nullptr || c->held.size() <= I4_CACHE_BLOCKS)
        return 0;
    for (long n = saved_count(i4); n > I4_CACHE_BLOCKS; n--) {
        B4BLOCK *old = victim(i4);
        if (old == nullptr)
            break;
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
    I4CACHE *c = t4->index->cache;
    B4BLOCK *b4 = i4cache_find(t4->index, pos);
    if (b4 == nullptr || b4->tag != t4 || l4seek(&t4->blocks, b4))
        return nullptr;
    l4remove(&t4->saved, b4);
    c->dirty.erase(b4);
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
    for (auto it = c->dirty.begin(); it != c->dirty.end();) {
        B4BLOCK *b4 = *it;
        if (t4 != nullptr && b4->tag != t4) {
            ++it;
            continue;
        }
        int r = b4flush(b4);
        if (r != 0) {
            if (rc == 0)
                rc = r;
            ++it;
            continue;
        }
        it = c->dirty.erase(it);
    }
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

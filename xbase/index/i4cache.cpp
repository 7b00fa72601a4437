// Block buffers of an index's tags: every buffer a tag holds, on its path
// or among its saved buffers, found by the block it holds, and the saved
// buffers kept as a cache of recently used blocks.
//
// What the cache keeps true:
//  C1. `held` maps a block position to the one buffer that holds it; a
//      buffer is in `held` exactly while it is on a path or saved and holds
//      a block (i4cache_hold, i4cache_forget, i4cache_drop). Each held
//      buffer has a node of its own in `nodes` (its `cache_node`) from
//      i4cache_hold until it is given back.
//  C2. `dirty` lists the position of every saved buffer that may differ
//      from the file (its `listed` set): a buffer changed on the path is
//      listed when it is saved, and its listing ends when it is written
//      (i4cache_save, i4cache_flush). Positions of buffers given back stay
//      until the list is next compacted; they name nothing or a buffer
//      written only if changed.
//  C3. Before every descent and every block read, no more than
//      i4cache_blocks saved buffers (I4_CACHE_BYTES of them) are kept:
//      the least recently saved buffer of all the index's tags, the first
//      of the one recency order, is written back if changed and given back
//      (i4cache_trim, called from t4tag.cpp). Saving never gives a held
//      buffer back, so a caller may go on using a buffer it has just saved
//      (the new blocks of a split).
//  C4. The recency order holds the nodes of exactly the saved buffers, the
//      least recently saved first; a held buffer whose node is out of it is
//      on its tag's path. The order's links live in the nodes, apart from
//      the 512-byte images, so that taking a buffer out of it or choosing
//      the victim touches no other buffer.
// The cache is trusted only while the index's version shows that no other
// process changed the file; i4version_check drops it otherwise.
#include <cstdint>
#include <vector>

#include "xbase/e4error.h"
#include "xbase/index/b4block.h"
#include "xbase/index/i4index.h"
#include "xbase/l4list.h"

namespace {

// Block positions to buffers: open addressing with linear probing, a slot
// is free when its position is -1, and removal shifts later entries of a
// run back so that no search ever stops early. Block positions lie below
// the index's lock byte, so 32 bits hold them and a slot takes 8 bytes.
struct BlockTable {
    struct Slot {
        int32_t pos;
        int32_t node;
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

    // The node of the buffer holding `pos`, or -1.
    int find(long pos) const
    {
        if (slots.empty())
            return -1;
        const Slot &s = slots[probe(pos)];
        return s.pos == pos ? s.node : -1;
    }

    // False when the table is full and cannot grow. A table that cannot
    // grow goes on filling past three quarters while one slot stays free.
    bool put(long pos, int node)
    {
        if (pos < 0 || pos > INT32_MAX)
            return false;
        if ((count + 1) * 4 > slots.size() * 3) {
            std::vector<Slot> old;
            if (e4alloc_ok([&] { old.assign(slots.size() < 64 ? 128 : slots.size() * 2, Slot{-1, -1}); })) {
                old.swap(slots);
                count = 0;
                for (const Slot &s : old)
                    if (s.pos != -1)
                        put(s.pos, s.node);
            } else if (count + 1 >= slots.size()) {
                return false;
            }
        }
        Slot &s = slots[probe(pos)];
        if (s.pos != pos)
            count++;
        s = Slot{(int32_t)pos, node};
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
        slots[i] = Slot{-1, -1};
        count--;
    }
};

// A held buffer's node: its tag (so that a tag's buffers are found without
// reading them) and its links in the recency order, or IN_PATH.
struct Node {
    B4BLOCK *b4;        // null while the node is free
    TAG4 *tag;
    int prev;           // IN_PATH, NONE before the first, or a node
    int next;           // NONE after the last, or a node; free nodes chain here
};

const int NONE = -1;
const int IN_PATH = -2;

} // namespace

I4CACHE_COUNTS i4cache_counts = {};
// A buffer is its image and little more: what a decoded key or a search
// needs is kept once per tag, so that the cache's bytes hold blocks.
static_assert(sizeof(B4BLOCK) <= 640, "a cached block costs at most 640 bytes");
long i4cache_blocks = (long)(I4_CACHE_BYTES / sizeof(B4BLOCK));

struct I4CACHE {
    BlockTable held;
    std::vector<long> dirty;
    std::vector<Node> nodes;
    int free_node = NONE;       // first of the free nodes
    int first = NONE;           // least recently saved
    int last = NONE;            // most recently saved
    long n_saved = 0;           // nodes in the recency order
};

namespace {

I4CACHE *cache_of(INDEX4 *i4)
{
    if (i4->cache == nullptr)
        i4->cache = new (std::nothrow) I4CACHE;
    return i4->cache;
}

void order_remove(I4CACHE *c, int id)
{
    Node &n = c->nodes[(size_t)id];
    (n.prev == NONE ? c->first : c->nodes[(size_t)n.prev].next) = n.next;
    (n.next == NONE ? c->last : c->nodes[(size_t)n.next].prev) = n.prev;
    n.prev = IN_PATH;
    n.next = NONE;
    c->n_saved--;
    n.tag->saved_count--;
}

void order_append(I4CACHE *c, int id)
{
    Node &n = c->nodes[(size_t)id];
    n.prev = c->last;
    n.next = NONE;
    (c->last == NONE ? c->first : c->nodes[(size_t)c->last].next) = id;
    c->last = id;
    c->n_saved++;
    n.tag->saved_count++;
}

// A node for `b4`, out of the order; -1 when the table cannot grow.
int node_new(I4CACHE *c, B4BLOCK *b4)
{
    if (c->free_node == NONE) {
        size_t n = c->nodes.size();
        if (!e4alloc_ok([&] { c->nodes.resize(n < 64 ? 64 : n * 2); }))
            return -1;
        for (size_t k = c->nodes.size(); k-- > n;) {
            c->nodes[k] = Node{nullptr, nullptr, IN_PATH, c->free_node};
            c->free_node = (int)k;
        }
    }
    int id = c->free_node;
    Node &n = c->nodes[(size_t)id];
    c->free_node = n.next;
    n = Node{b4, b4->tag, IN_PATH, NONE};
    b4->cache_node = id;
    return id;
}

// Ends `b4`'s membership: out of the order or its tag's path, out of
// `held`, its node freed. The buffer itself is the caller's.
void unhold(I4CACHE *c, B4BLOCK *b4)
{
    int id = b4->cache_node;
    if (id < 0)
        return;
    Node &n = c->nodes[(size_t)id];
    if (n.prev != IN_PATH)
        order_remove(c, id);
    else if (b4->link.n != nullptr)
        l4remove(&b4->tag->blocks, b4);
    if (b4->file_block >= 0 && c->held.find(b4->file_block) == id)
        c->held.erase(b4->file_block);
    n = Node{nullptr, nullptr, IN_PATH, c->free_node};
    c->free_node = id;
    b4->cache_node = -1;
}

void give_back(I4CACHE *c, B4BLOCK *b4)
{
    unhold(c, b4);
    b4free(b4);
}

} // namespace

B4BLOCK *i4cache_find(INDEX4 *i4, long pos)
{
    if (i4->cache == nullptr || pos < 0)
        return nullptr;
    int id = i4->cache->held.find(pos);
    return id < 0 ? nullptr : i4->cache->nodes[(size_t)id].b4;
}

int i4cache_hold(INDEX4 *i4, B4BLOCK *b4, long pos)
{
    I4CACHE *c = cache_of(i4);
    if (c == nullptr)
        return e4(i4->code_base, e4memory, "i4cache_hold()");
    if (b4->cache_node < 0 && node_new(c, b4) < 0)
        return e4(i4->code_base, e4memory, "i4cache_hold()");
    int id = b4->cache_node;
    if (b4->file_block >= 0 && c->held.find(b4->file_block) == id)
        c->held.erase(b4->file_block);
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
    int old = c->held.find(pos);
    if (old >= 0 && old != id) {
        // A buffer that still names the block holds an older image of it.
        B4BLOCK *stale = c->nodes[(size_t)old].b4;
        c->held.erase(pos);
        give_back(c, stale);
    }
    if (!c->held.put(pos, id))
        return e4(i4->code_base, e4memory, "i4cache_hold()");
    return 0;
}

int i4cache_save(TAG4 *t4, B4BLOCK *b4)
{
    INDEX4 *i4 = t4->index;
    I4CACHE *c = cache_of(i4);
    if (c == nullptr || b4->file_block < 0) {
        if (c != nullptr)
            unhold(c, b4);
        b4free(b4);
        return c == nullptr ? e4(i4->code_base, e4memory, "i4cache_save()") : 0;
    }
    int rc = i4cache_find(i4, b4->file_block) != b4 ? i4cache_hold(i4, b4, b4->file_block) : 0;
    if (b4->cache_node < 0) {
        // No node for it: the buffer cannot be kept, so it goes to the file
        // now and is given back.
        b4flush(b4);
        b4free(b4);
        return rc != 0 ? rc : e4(i4->code_base, e4memory, "i4cache_save()");
    }
    if (c->nodes[(size_t)b4->cache_node].prev != IN_PATH)
        order_remove(c, b4->cache_node);
    order_append(c, b4->cache_node);
    // A buffer the table cannot hold stays saved, so that it is given back
    // with the tag, and is written at once.
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
    if (c == nullptr)
        return 0;
    while (c->n_saved > i4cache_blocks) {
        B4BLOCK *old = c->nodes[(size_t)c->first].b4;
        i4cache_counts.evictions++;
        i4cache_counts.write_backs += old->changed ? 1 : 0;
        int rc = b4flush(old);
        if (rc != 0)
            return rc;
        give_back(c, old);
    }
    return 0;
}

B4BLOCK *i4cache_take(TAG4 *t4, long pos)
{
    i4cache_counts.lookups++;
    I4CACHE *c = t4->index->cache;
    int id = c == nullptr || pos < 0 ? -1 : c->held.find(pos);
    if (id < 0)
        return nullptr;
    const Node &n = c->nodes[(size_t)id];
    if (n.tag != t4 || n.prev == IN_PATH)
        return nullptr;
    i4cache_counts.hits++;
    order_remove(c, id);
    return n.b4;
}

int i4cache_forget(INDEX4 *i4, long pos)
{
    B4BLOCK *b4 = i4cache_find(i4, pos);
    if (b4 == nullptr)
        return 0;
    b4->changed = 0;
    give_back(i4->cache, b4);
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

void i4cache_drop_saved(TAG4 *t4)
{
    I4CACHE *c = t4->index->cache;
    for (int id = c == nullptr ? NONE : c->first; id != NONE && t4->saved_count > 0;) {
        const Node &n = c->nodes[(size_t)id];
        int next = n.next;
        if (n.tag == t4)
            give_back(c, n.b4);
        id = next;
    }
}

void i4cache_drop(TAG4 *t4)
{
    I4CACHE *c = t4->index->cache;
    for (B4BLOCK *b = (B4BLOCK *)l4pop(&t4->blocks); b != nullptr; b = (B4BLOCK *)l4pop(&t4->blocks)) {
        if (c != nullptr)
            unhold(c, b);
        b4free(b);
    }
    i4cache_drop_saved(t4);
}

void i4cache_release(INDEX4 *i4)
{
    delete i4->cache;
    i4->cache = nullptr;
}

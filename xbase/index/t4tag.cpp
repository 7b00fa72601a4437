// Tags in use: the path from the root to the current leaf entry, top,
// bottom, skip, seek and going to a key and record, adding and removing
// keys, and keys of the record buffer. What these keep true is listed in
// t4tag.h.
#include "xbase/index/t4tag.h"

#include <cstring>
#include <vector>

#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/file4.h"
#include "xbase/index/b4block.h"
#include "xbase/l4list.h"
#include "xbase/u4util.h"

namespace {

int refused(TAG4 *t4) { return t4 == nullptr || t4->code_base->error_code < 0; }

int key_len_of(const TAG4 *t4) { return t4->header.key_len; }

// An entry's key and record number compared with another's, keys as
// unsigned bytes and record numbers unsigned: <0, 0, >0.
int entry_cmp(const unsigned char *a, unsigned long ra, const unsigned char *b, unsigned long rb,
              int len)
{
    int c = std::memcmp(a, b, (size_t)len);
    if (c != 0)
        return c;
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

// A block proved out of date: a damaged file when this process holds the
// lock (nobody else can have changed it), else 2.
int stale(INDEX4 *i4, long pos)
{
    return i4lock_test(i4) == 1 ? i4corrupt(i4, pos) : 2;
}

// Moves every block of the path to the saved buffers.
int path_clear(TAG4 *t4)
{
    int rc = 0;
    while (t4->blocks.n_link > 0) {
        int r = t4up(t4);
        if (r < 0 && rc == 0)
            rc = r;
    }
    return rc;
}

// The greatest (key, record number) of a block: its last entry.
bool block_max(B4BLOCK *b, unsigned char *key, unsigned long *rec)
{
    int n = b->header.n_keys;
    B4KEY_DATA *k = n > 0 ? b4key(b, n - 1) : nullptr;
    if (k == nullptr)
        return false;
    std::memcpy(key, k->value, (size_t)key_len_of(b->tag));
    *rec = (unsigned long)b4recno(b, n - 1);
    return true;
}

// A buffer of `t4` for block `pos`: the one that holds it already, or a
// new one read (and checked against `parent`'s current entry). 0, 2 out
// of date, or a negative error.
int block_get(TAG4 *t4, long pos, B4BLOCK *parent, B4BLOCK **out)
{
    INDEX4 *i4 = t4->index;
    B4BLOCK *b = i4cache_take(t4, pos);
    if (b != nullptr) {
        *out = b;
        return 0;
    }
    // Held by another tag, or already on this path (a loop): not the tree
    // this process knows.
    if (i4cache_find(i4, pos) != nullptr)
        return stale(i4, pos);
    int rc = i4cache_trim(i4);
    if (rc != 0)
        return rc;
    b = b4alloc(t4, -1);
    if (b == nullptr)
        return e4memory;
    rc = i4read_block(&i4->file, pos, parent, b);
    if (rc == 0)
        rc = i4cache_hold(i4, b, pos);
    if (rc != 0) {
        b4free(b);
        return rc == 1 ? stale(i4, pos) : rc;
    }
    *out = b;
    return 0;
}

// How a descent chooses the entry of each block it passes: sets key_on and
// returns the leaf's result (0 for branches), or a negative error.
typedef int (*Pick)(B4BLOCK *b, void *ctx);

int pick_first(B4BLOCK *b, void *)
{
    b4top(b);
    return 0;
}

int pick_last(B4BLOCK *b, void *)
{
    b4go(b, b->header.n_keys - 1);
    return 0;
}

struct SeekCtx {
    const unsigned char *value;
    int len;
};

int pick_seek(B4BLOCK *b, void *ctx)
{
    auto *s = static_cast<SeekCtx *>(ctx);
    return b4seek(b, (const char *)s->value, s->len);
}

struct GoCtx {
    const unsigned char *key;
    unsigned long rec;
    bool unique;
};

// In a leaf: 0 at (key, rec); 1 not there, at the entry it belongs before
// (a unique tag: at the key's entry with another record number); 2 the key
// is not in the leaf. The walk compares rebuilt keys, never the counts
// other writers stored.
int go_leaf(B4BLOCK *b, const GoCtx *g)
{
    TAG4 *t4 = b->tag;
    int kl = key_len_of(t4);
    if (b4seek_decoding(b, (const char *)g->key, kl) != 0)
        return 2;
    int first = b->key_on, n = b->header.n_keys;
    for (int i = first; i < n; i++) {
        B4KEY_DATA *k = b4key(b, i);
        if (k == nullptr)
            return i4corrupt(t4->index, b->file_block);
        int c = std::memcmp(k->value, g->key, (size_t)kl);
        unsigned long r = (unsigned long)k->num;
        if (c == 0 && r == g->rec) {
            b4go(b, i);
            return 0;
        }
        if (c != 0 || (r > g->rec && !g->unique)) {
            b4go(b, i);
            if (i > first) // past entries equal to the key: all its bytes but its padding repeat
                b->cur_dup_cnt = kl - b4calc_blanks(g->key, kl, (unsigned char)t4->p_char);
            return 1;
        }
    }
    if (g->unique) {
        b4go(b, first);
        return 1;
    }
    b4go(b, n);
    b->cur_dup_cnt = kl - b4calc_blanks(g->key, kl, (unsigned char)t4->p_char);
    return 1;
}

int pick_go(B4BLOCK *b, void *ctx)
{
    auto *g = static_cast<GoCtx *>(ctx);
    if (b4leaf(b))
        return go_leaf(b, g);
    int kl = key_len_of(b->tag);
    // A unique tag holds each key once: the key alone finds it, whatever
    // record number another entry of that key has.
    if (g->unique)
        return b4seek(b, (const char *)g->key, kl) < 0 ? -1 : 0;
    return b4r_brseek(b, (const char *)g->key, kl, (long)g->rec) < 0 ? -1 : 0;
}

// Gives the blocks of the path below `b` to the saved buffers.
int path_cut(TAG4 *t4, B4BLOCK *b)
{
    int rc = 0;
    while (t4block(t4) != b) {
        int r = t4up(t4);
        if (r < 0 && rc == 0)
            rc = r;
    }
    return rc;
}

// Descends from the root to a leaf, `pick` choosing the entry of every
// block; *leaf_rc is pick's result at the leaf. The blocks the path holds
// already are kept as long as they are the ones chosen. A block that
// proves out of date restarts the descent (i4retry; T5). 0, the lock's
// nonzero result, or a negative error (the path is then empty).
int descend(TAG4 *t4, Pick pick, void *ctx, int *leaf_rc)
{
    I4RETRY retry{};
    for (;;) {
        // Saved buffers beyond the cache's size go before anything is read;
        // none is in use between operations.
        int rc = i4cache_trim(t4->index);
        long root = rc == 0 ? t4root(t4) : rc;
        B4BLOCK *b = (B4BLOCK *)l4first(&t4->blocks);
        if (root < 0)
            rc = (int)root;
        else if (root == 0)
            rc = 2;
        else if (b != nullptr && b->file_block != root) {
            rc = path_clear(t4);
            b = nullptr;
        }
        while (rc == 0) {
            if (b == nullptr) {
                rc = t4down(t4);
                if (rc != 0)
                    break;
                b = t4block(t4);
            }
            int r = pick(b, ctx);
            if (r < 0) {
                rc = r;
                break;
            }
            if (b4leaf(b)) {
                *leaf_rc = r;
                rc = 1;
                break;
            }
            B4BLOCK *next = (B4BLOCK *)l4next(&t4->blocks, b);
            if (next != nullptr) {
                long child = b4child(b, b->key_on);
                if (child >= 0 && child == next->file_block) {
                    b = next;
                    continue;
                }
                rc = path_cut(t4, b);
            }
            b = nullptr;
        }
        if (rc == 1)
            return i4retry_end(t4->index, &retry, 0);
        if (rc == 2)
            rc = i4retry(t4->index, &retry, 0);
        if (rc != 0) {
            path_clear(t4);
            return i4retry_end(t4->index, &retry, rc < 0 || rc == r4locked ? rc : -1);
        }
    }
}

// t4go without moving off the end of a leaf: where an insertion goes.
int go_to(TAG4 *t4, const unsigned char *key, unsigned long rec)
{
    GoCtx g{key, rec, (t4->header.type_code & I4_TYPE_UNIQUE) != 0};
    int leaf_rc = 0;
    int rc = descend(t4, pick_go, &g, &leaf_rc);
    return rc < 0 ? rc : leaf_rc;
}

// The current leaf entry's (key, record number) into `seen`.
bool entry_copy(B4BLOCK *b, int i, B4KEY_DATA *seen)
{
    B4KEY_DATA *k = b4key(b, i);
    if (k == nullptr)
        return false;
    std::memcpy(seen, k, sizeof *seen);
    return true;
}

int normalize(TAG4 *t4, I4RETRY *retry);

// Moves from the current leaf to its right (forward) or left neighbour,
// positioned at the neighbour's first (last) entry: 0. The neighbour must
// link back to the leaf left and continue the order after `seen`, the
// entry last looked at; when it does not, the tag is repositioned on
// `seen` and the result is 3 when it is there again, 4 when the position
// is the entry after it. `retry` counts such repositionings over a whole
// skip (i4retry; T5). A negative error empties the path.
int cross(TAG4 *t4, bool forward, const B4KEY_DATA *seen, I4RETRY *retry)
{
    INDEX4 *i4 = t4->index;
    int kl = key_len_of(t4);
    B4BLOCK *leaf = t4block(t4);
    long here = leaf->file_block;
    long next = forward ? leaf->header.right_node : leaf->header.left_node;
    int rc = t4up(t4);
    B4BLOCK *nb = nullptr;
    if (rc == 0)
        rc = block_get(t4, next, nullptr, &nb);
    if (rc == 0) {
        l4add(&t4->blocks, nb);
        int n = nb->header.n_keys;
        B4KEY_DATA *k = n > 0 ? b4key(nb, forward ? 0 : n - 1) : nullptr;
        bool linked = b4leaf(nb) && (forward ? nb->header.left_node : nb->header.right_node) == here;
        int order = k == nullptr ? 0
                                 : entry_cmp(k->value, (unsigned long)k->num, seen->value,
                                             (unsigned long)seen->num, kl);
        if (linked && (forward ? order > 0 : order < 0)) {
            b4go(nb, forward ? 0 : n - 1);
            return 0;
        }
        rc = stale(i4, next);
    }
    if (rc == 2)
        rc = i4retry(i4, retry, 0);
    if (rc == 0)
        rc = go_to(t4, seen->value, (unsigned long)seen->num);
    if (rc < 0 || rc == r4locked) {
        path_clear(t4);
        return rc < 0 ? rc : -1;
    }
    int where = rc == 0 ? 3 : 4;
    rc = normalize(t4, retry);
    return rc < 0 ? rc : where;
}

// A position past the end of a leaf that has a right neighbour is that
// neighbour's first entry.
int normalize(TAG4 *t4, I4RETRY *retry)
{
    B4BLOCK *leaf = t4block(t4);
    if (leaf == nullptr || leaf->key_on < leaf->header.n_keys || leaf->header.right_node == -1 ||
        leaf->header.n_keys == 0)
        return 0;
    B4KEY_DATA seen;
    if (!entry_copy(leaf, leaf->header.n_keys - 1, &seen))
        return i4corrupt(t4->index, leaf->file_block);
    int rc = cross(t4, true, &seen, retry);
    return rc < 0 ? rc : 0;
}

// The path as an array, root first.
struct Path {
    B4BLOCK *at[I4_MAX_DEPTH];
    size_t n = 0;
    explicit Path(TAG4 *t4)
    {
        for (B4BLOCK *b = (B4BLOCK *)l4first(&t4->blocks); b != nullptr && n < I4_MAX_DEPTH;
             b = (B4BLOCK *)l4next(&t4->blocks, b))
            at[n++] = b;
    }
    B4BLOCK *operator[](size_t i) const { return at[i]; }
};

// Carries the greatest entry of path[level] up: each parent's current
// entry takes its child's greatest (key, record number) when they differ,
// and the change goes further up only while that entry is its block's last.
void carry_up(const Path &path, size_t level)
{
    unsigned char key[I4_MAX_KEY_LEN];
    unsigned long rec;
    for (size_t l = level; l > 0; l--) {
        B4BLOCK *parent = path[l - 1];
        if (!block_max(path[l], key, &rec))
            return;
        int kl = key_len_of(parent->tag);
        if (entry_cmp(b4key_key(parent, parent->key_on), (unsigned long)b4recno(parent, parent->key_on),
                      key, rec, kl) == 0)
            return;
        b4br_replace(parent, key, (long)rec);
        if (parent->key_on != b4lastpos(parent))
            return;
    }
}

// The blocks that stand where one block stood before an insertion split
// it: a level splits at most twice, so three. A fixed row, so that putting
// keys back after memory ran out needs none.
struct Row {
    B4BLOCK *at[3];
    size_t n = 0;
    size_t size() const { return n; }
    B4BLOCK *operator[](size_t i) const { return at[i]; }
    B4BLOCK **begin() { return at; }
    B4BLOCK **end() { return at + n; }
    void push(B4BLOCK *b) { insert(n, b); }
    void insert(size_t k, B4BLOCK *b)
    {
        if (n == 3)
            return; // a third split is refused before it is made
        for (size_t j = n++; j > k; j--)
            at[j] = at[j - 1];
        at[k] = b;
    }
};

// Splits the full block `b` for its pending entry at b->key_on; the new
// block joins the saved buffers (so that later links reach it) and `row`
// right after `b`. The block the entry goes into, or null.
B4BLOCK *split(TAG4 *t4, Row &row, B4BLOCK *b, const unsigned char *key, long rec)
{
    B4BLOCK *dest = nullptr;
    B4BLOCK *fresh = t4split(t4, b, key, rec, &dest);
    if (fresh == nullptr)
        return nullptr;
    if (i4cache_save(t4, fresh) != 0)
        return nullptr;
    for (size_t k = 0; k < row.size(); k++)
        if (row[k] == b) {
            row.insert(k + 1, fresh);
            break;
        }
    return dest;
}

// The table's record count, which a new leaf's record-number field must
// hold; 0 without a table or when the count cannot be read.
long record_base(TAG4 *t4)
{
    long count = t4->index->data != nullptr ? d4reccount(t4->index->data) : 0;
    return count > 0 ? count : 0;
}

// The largest number an empty, unformatted leaf must be made to hold for
// the entry `rec`: directory entries are header offsets, tag entries
// record numbers. Only such a leaf asks, so the count is read only then.
long leaf_base(TAG4 *t4, const B4BLOCK *b, long rec)
{
    if (b->header.n_keys != 0 || b->node_hdr.info_len != 0)
        return rec;
    if (t4->header.type_code >= I4_TYPE_DIRECTORY || t4->index->data == nullptr)
        return rec;
    return record_base(t4);
}

// Inserts the leaf entry at `b`'s position, splitting `b` (twice when the
// entry needs a block of its own). 0, or a negative error.
int insert_leaf(TAG4 *t4, Row &row, const unsigned char *key, long rec)
{
    B4BLOCK *b = row[0];
    for (int splits = 0;; splits++) {
        int rc = b4insert(b, key, rec, leaf_base(t4, b, rec), 0);
        if (rc <= 0)
            return rc;
        if (splits == 2)
            return i4corrupt(t4->index, b->file_block);
        b = split(t4, row, b, key, rec);
        if (b == nullptr)
            return -1;
    }
}

// A new root over the blocks of `row`, which replaced the old root. In a
// shared file the new root takes the old root's position, so that the
// header (and other processes) keep finding the root where it was.
int new_root(TAG4 *t4, Row &row)
{
    INDEX4 *i4 = t4->index;
    long pos = i4extend(i4);
    if (pos < 0)
        return (int)pos;
    B4BLOCK *root = b4alloc(t4, pos);
    if (root == nullptr) {
        i4shrink(i4, pos);
        return e4memory;
    }
    std::memset(root->image, 0, sizeof root->image);
    std::memset(&root->node_hdr, 0, sizeof root->node_hdr);
    root->header.node_attribute = B4_ATTR_ROOT_BRANCH;
    root->header.n_keys = 0;
    root->header.left_node = root->header.right_node = -1;
    root->changed = 1;
    if (!i4->file.is_exclusive) {
        long old_pos = row[0]->file_block;
        int rc = i4cache_hold(i4, row[0], pos);
        if (rc == 0 && row.size() > 1)
            rc = b4set_link(i4, row[1]->file_block, B4_OFF_LEFT, pos);
        if (rc != 0) {
            b4free(root);
            return rc;
        }
        root->file_block = old_pos;
    }
    unsigned char key[I4_MAX_KEY_LEN];
    unsigned long rec;
    for (B4BLOCK *b : row) {
        b4go(root, root->header.n_keys);
        if (!block_max(b, key, &rec) || b4insert(root, key, b->file_block, (long)rec, 1) != 0) {
            b4free(root);
            return i4corrupt(i4, b->file_block);
        }
    }
    t4->header.root = root->file_block;
    t4->root_write = 1;
    return i4cache_save(t4, root);
}

// Inserts (key, rec) at the current leaf position and brings every level
// above up to date: replaced greatest entries, entries for split blocks,
// and a new root when the root split. Positioned on the new entry.
int insert_at(TAG4 *t4, const unsigned char *key, long rec)
{
    Path path(t4);
    size_t level = path.n - 1;
    Row row, up;
    row.push(path[level]);
    int rc = insert_leaf(t4, row, key, rec);
    if (rc != 0)
        return rc;
    if (row.size() == 1) {
        // Only a new last entry changes the leaf's greatest key.
        if (path[level]->key_on == b4lastpos(path[level]))
            carry_up(path, level);
        return 0;
    }
    unsigned char max_key[I4_MAX_KEY_LEN];
    unsigned long max_rec;
    // row: the blocks that now stand where path[level] stood.
    while (row.size() > 1) {
        if (level == 0) {
            rc = new_root(t4, row);
            break;
        }
        B4BLOCK *parent = path[level - 1];
        up = Row();
        up.push(parent);
        if (!block_max(row[0], max_key, &max_rec))
            return i4corrupt(t4->index, row[0]->file_block);
        b4br_replace(parent, max_key, (long)max_rec);
        B4BLOCK *cur = parent;
        for (size_t k = 1; k < row.size() && rc == 0; k++) {
            if (!block_max(row[k], max_key, &max_rec))
                return i4corrupt(t4->index, row[k]->file_block);
            b4go(cur, cur->key_on + 1);
            rc = b4insert(cur, max_key, row[k]->file_block, (long)max_rec, 1);
            if (rc == 1) {
                cur = split(t4, up, cur, max_key, (long)max_rec);
                rc = cur == nullptr ? -1 : b4insert(cur, max_key, row[k]->file_block, (long)max_rec, 1);
                if (rc == 1)
                    rc = i4corrupt(t4->index, cur->file_block);
            }
        }
        if (rc != 0)
            return rc;
        row = up;
        level--;
        if (row.size() == 1)
            carry_up(path, level);
    }
    if (rc != 0)
        return rc;
    // The path no longer leads to the new entry: find it again.
    rc = go_to(t4, key, (unsigned long)rec);
    return rc < 0 ? rc : (rc == 0 ? 0 : i4corrupt(t4->index, -1));
}

// Takes the current block (not the root) out of its level and gives it to
// the free list; it leaves the path.
int remove_block(TAG4 *t4, B4BLOCK *b)
{
    INDEX4 *i4 = t4->index;
    long pos = b->file_block, left = b->header.left_node, right = b->header.right_node;
    int rc = 0;
    if (left != -1)
        rc = b4set_link(i4, left, B4_OFF_RIGHT, right);
    if (rc == 0 && right != -1)
        rc = b4set_link(i4, right, B4_OFF_LEFT, left);
    if (rc == 0)
        rc = i4shrink(i4, pos);
    return rc;
}

// Removes the current entry of the path's leaf, removing blocks that it
// empties and carrying a changed greatest entry up.
int remove_current(TAG4 *t4, const unsigned char *key, unsigned long rec)
{
    Path path(t4);
    size_t level = path.n - 1;
    bool removed_block = false;
    for (;;) {
        B4BLOCK *b = path[level];
        if (b->header.n_keys == 1 && level > 0) {
            int rc = remove_block(t4, b);
            if (rc != 0)
                return rc;
            path.n--;
            level--;
            removed_block = true;
            continue;
        }
        bool was_last = b->key_on == b4lastpos(b);
        b4remove(b);
        if (level == 0 && b->header.n_keys == 0 && !b4leaf(b)) {
            // The root lost its last child: an empty root leaf.
            b->header.node_attribute = B4_ATTR_ROOT_LEAF;
            b->header.left_node = b->header.right_node = -1;
            b4leaf_init(b, record_base(t4));
        } else if (was_last && level > 0) {
            carry_up(path, level);
        }
        break;
    }
    if (!removed_block)
        return 0;
    int rc = go_to(t4, key, rec);
    return rc < 0 ? rc : 0;
}

// `op` (add or remove) with the key of the record buffer, copied out of
// the context's stored-key buffer first.
int with_record_key(TAG4 *t4, long rec, int (*op)(TAG4 *, const char *, long))
{
    char *key = nullptr;
    int len = t4expr_key(t4, &key);
    if (len < 0)
        return len;
    unsigned char copy[I4_MAX_KEY_LEN];
    std::memcpy(copy, key, (size_t)len);
    return op(t4, (const char *)copy, rec);
}

} // namespace

// ---- The path ---------------------------------------------------------------

B4BLOCK *t4block(TAG4 *t4)
{
    return t4 == nullptr ? nullptr : (B4BLOCK *)l4last(&t4->blocks);
}

int t4down(TAG4 *t4)
{
    if (refused(t4))
        return -1;
    INDEX4 *i4 = t4->index;
    B4BLOCK *parent = t4block(t4);
    long pos;
    if (parent == nullptr) {
        pos = t4root(t4);
        if (pos <= 0)
            return pos < 0 ? (int)pos : 2;
    } else {
        if (b4leaf(parent))
            return 1;
        if (t4->blocks.n_link >= I4_MAX_DEPTH)
            return i4corrupt(i4, parent->file_block);
        pos = b4child(parent, parent->key_on);
        if (pos < 0)
            return stale(i4, parent->file_block);
    }
    B4BLOCK *b = nullptr;
    int rc = block_get(t4, pos, parent, &b);
    if (rc != 0)
        return rc;
    l4add(&t4->blocks, b);
    b4top(b);
    return 0;
}

int t4up(TAG4 *t4)
{
    B4BLOCK *b = (B4BLOCK *)l4pop(&t4->blocks);
    if (b == nullptr)
        return 1;
    int rc = i4cache_save(t4, b);
    return rc < 0 ? rc : 0;
}

int t4up_to_root(TAG4 *t4)
{
    int rc = path_clear(t4);
    return rc != 0 ? rc : t4down(t4);
}

int t4free_saved(TAG4 *t4)
{
    if (t4 == nullptr)
        return -1;
    int rc = t4update(t4);
    i4cache_drop_saved(t4);
    return rc;
}

// ---- Position -----------------------------------------------------------------

int t4rl_top(TAG4 *t4)
{
    if (refused(t4))
        return -1;
    int leaf_rc = 0;
    return descend(t4, pick_first, nullptr, &leaf_rc);
}

int t4rl_bottom(TAG4 *t4)
{
    if (refused(t4))
        return -1;
    int leaf_rc = 0;
    return descend(t4, pick_last, nullptr, &leaf_rc);
}

int t4top(TAG4 *t4)
{
    if (t4 != nullptr && t4->header.descending)
        return t4rl_bottom(t4);
    return t4rl_top(t4);
}

int t4bottom(TAG4 *t4)
{
    if (t4 != nullptr && t4->header.descending)
        return t4rl_top(t4);
    return t4rl_bottom(t4);
}

int t4go_eof(TAG4 *t4)
{
    int rc = t4rl_bottom(t4);
    if (rc == 0)
        b4go_eof(t4block(t4));
    return rc;
}

int t4eof(TAG4 *t4)
{
    B4BLOCK *b = t4block(t4);
    return b == nullptr || !b4leaf(b) || b->key_on >= b->header.n_keys ? 1 : 0;
}

namespace {

// t4skip once the path is on a leaf; `retry` counts repositionings after a
// neighbour proved out of date.
long skip_steps(TAG4 *t4, long n, I4RETRY *retry)
{
    B4BLOCK *leaf;
    long moved = 0;
    B4KEY_DATA seen;
    while (moved != n) {
        leaf = t4block(t4);
        int on = leaf->key_on, count = leaf->header.n_keys;
        long left = n - moved;
        int rc;
        if (left > 0) {
            if (on < count) {
                long avail = count - 1 - on;
                if (left <= avail) {
                    b4go(leaf, on + (int)left);
                    return n;
                }
                b4go(leaf, count - 1);
                moved += avail;
            }
            if (leaf->header.right_node == -1) {
                if (on >= count)
                    return moved; // at the end of the tag already
                break;
            }
            if (count == 0 || !entry_copy(leaf, count - 1, &seen)) {
                path_clear(t4);
                i4corrupt(t4->index, leaf->file_block);
                return moved;
            }
            rc = cross(t4, true, &seen, retry);
            // From the last entry (`seen`) the neighbour's first entry is one
            // step on; past the end of a leaf the position was that entry
            // already. Repositioned on `seen` itself, the step is not made.
            bool from_last = on < count;
            if (rc == 0 || rc == 4)
                moved += from_last ? 1 : 0;
            else if (rc == 3)
                moved += from_last ? 0 : -1;
        } else {
            long avail = on;
            if (-left <= avail) {
                b4go(leaf, on + (int)left);
                return n;
            }
            b4go(leaf, 0);
            moved -= avail;
            if (leaf->header.left_node == -1 || count == 0)
                break;
            if (!entry_copy(leaf, 0, &seen)) {
                path_clear(t4);
                i4corrupt(t4->index, leaf->file_block);
                return moved;
            }
            rc = cross(t4, false, &seen, retry);
            if (rc == 0)
                moved--;
        }
        if (rc < 0)
            return moved;
    }
    return moved;
}

} // namespace

long t4skip(TAG4 *t4, long n)
{
    if (refused(t4))
        return 0;
    B4BLOCK *leaf = t4block(t4);
    if ((leaf == nullptr || !b4leaf(leaf)) && t4rl_top(t4) != 0)
        return 0;
    I4RETRY retry{};
    long moved = skip_steps(t4, n, &retry);
    if (i4retry_end(t4->index, &retry, 0) != 0)
        path_clear(t4);
    return moved;
}

long t4dskip(TAG4 *t4, long n)
{
    if (t4 != nullptr && t4->header.descending)
        return -t4skip(t4, -n);
    return t4skip(t4, n);
}

int t4seek(TAG4 *t4, const void *value, int len)
{
    if (refused(t4))
        return -1;
    int kl = key_len_of(t4);
    len = len < 0 ? 0 : (len > kl ? kl : len);
    const unsigned char *v = (const unsigned char *)value;
    int leaf_rc = 0;
    if (!t4->header.descending) {
        SeekCtx s{v, len};
        int rc = descend(t4, pick_seek, &s, &leaf_rc);
        I4RETRY retry{};
        if (rc == 0)
            rc = i4retry_end(t4->index, &retry, normalize(t4, &retry));
        return rc != 0 ? rc : leaf_rc;
    }
    // Descending: the entry wanted is the last one (in stored order) whose
    // first len bytes are not greater than the value. The search goes past
    // them with the value raised at its last byte below 0xFF, and only up
    // to that byte: trailing 0xFF bytes (negative numbers end in them)
    // would otherwise stop it early.
    unsigned char raised[I4_MAX_KEY_LEN];
    std::memcpy(raised, v, (size_t)len);
    int p = len - 1;
    while (p >= 0 && raised[p] == 0xFF)
        p--;
    if (p < 0) {
        // Nothing is greater than the value: its place is at the top.
        SeekCtx s{v, len};
        int rc = descend(t4, pick_seek, &s, &leaf_rc);
        if (rc == 0)
            rc = t4top(t4);
        if (rc < 0)
            return rc;
        if (t4eof(t4))
            return r4eof;
        return leaf_rc == 0 ? 0 : r4after;
    }
    raised[p]++;
    SeekCtx s{raised, p + 1};
    int rc = descend(t4, pick_seek, &s, &leaf_rc);
    if (rc < 0)
        return rc;
    if (t4skip(t4, -1) != -1) {
        if (t4recno(t4) == -2)
            return -1;
        rc = t4go_eof(t4);
        return rc < 0 ? rc : r4eof;
    }
    unsigned char *k = t4key(t4);
    if (k == nullptr)
        return -1;
    return std::memcmp(k, v, (size_t)len) == 0 ? 0 : r4after;
}

int t4go(TAG4 *t4, const char *key, long rec)
{
    if (refused(t4) || key == nullptr)
        return -1;
    int rc = go_to(t4, (const unsigned char *)key, (unsigned long)rec);
    if (rc > 0) {
        I4RETRY retry{};
        int r = i4retry_end(t4->index, &retry, normalize(t4, &retry));
        if (r != 0)
            return r < 0 ? r : -1;
    }
    return rc;
}

long t4recno(TAG4 *t4)
{
    B4BLOCK *b = t4block(t4);
    if (b == nullptr)
        return -2;
    if (!b4leaf(b) || b->key_on >= b->header.n_keys)
        return -1;
    return b4recno(b, b->key_on);
}

B4KEY_DATA *t4key_data(TAG4 *t4)
{
    B4BLOCK *b = t4block(t4);
    if (b == nullptr || !b4leaf(b))
        return nullptr;
    return b4key(b, b->key_on);
}

unsigned char *t4key(TAG4 *t4)
{
    B4KEY_DATA *k = t4key_data(t4);
    return k == nullptr ? nullptr : k->value;
}

void t4descending(TAG4 *t4, int flag)
{
    if (t4 != nullptr)
        t4->header.descending = flag != 0 ? 1 : 0;
}

// ---- Keys -----------------------------------------------------------------------

int t4expr_key(TAG4 *t4, char **key)
{
    if (refused(t4) || t4->expr == nullptr)
        return -1;
    int len = expr4key(t4->expr, key);
    if (len < 0)
        return -1;
    if (len != key_len_of(t4))
        return e4describe(t4->code_base, e4index, t4->index->file.name, "Tag:", t4->alias);
    return len;
}

int t4add(TAG4 *t4, const char *key, long rec)
{
    if (refused(t4) || key == nullptr)
        return -1;
    INDEX4 *i4 = t4->index;
    int rc = go_to(t4, (const unsigned char *)key, (unsigned long)rec);
    if (rc <= 0)
        return rc;
    if ((t4->header.type_code & I4_TYPE_UNIQUE) && rc == 1) {
        // The key is there with another record number. Policies other than
        // the three known ones ignore the key, as the default does.
        if (t4->unique_error == e4unique)
            return e4describe(t4->code_base, e4unique, i4->file.name, "Tag:", t4->alias);
        return t4->unique_error == r4unique ? r4unique : r4unique_continue;
    }
    rc = i4version_step(i4);
    if (rc != 0)
        return rc;
    if (t4->filter != nullptr && !t4->has_keys) {
        const char zero = 0;
        rc = file4write(&i4->file, t4->header_offset + I4_OFF_HAS_KEYS, &zero, 1);
        if (rc != 0)
            return rc;
        t4->has_keys = 1;
    }
    rc = e4guard(t4->code_base, e4memory, [&] { return insert_at(t4, (const unsigned char *)key, rec); });
    if (rc != 0) {
        // F2: the tree in memory may be half changed.
        i4flight_fail(i4);
        path_clear(t4);
    }
    return rc;
}

int t4remove(TAG4 *t4, const char *key, long rec)
{
    if (refused(t4) || key == nullptr)
        return -1;
    int rc = go_to(t4, (const unsigned char *)key, (unsigned long)rec);
    if (rc != 0)
        return rc < 0 ? rc : r4entry;
    rc = i4version_step(t4->index);
    if (rc != 0)
        return rc;
    rc = e4guard(t4->code_base, e4memory,
                 [&] { return remove_current(t4, (const unsigned char *)key, (unsigned long)rec); });
    if (rc != 0) {
        i4flight_fail(t4->index);
        path_clear(t4);
    }
    return rc;
}

int t4add_calc(TAG4 *t4, long rec)
{
    if (refused(t4))
        return -1;
    if (t4->filter != nullptr) {
        int r = expr4true(t4->filter);
        if (r < 0)
            return -1;
        if (r == 0)
            return 0;
    }
    return with_record_key(t4, rec, t4add);
}

int t4remove_calc(TAG4 *t4, long rec)
{
    return with_record_key(t4, rec, t4remove);
}


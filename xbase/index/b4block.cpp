// B-tree blocks: the branch and leaf formats of b4block.h and the
// operations on one block.
//
// Leaf changes go through one splice (leaf_splice) that replaces a run of
// entries by re-encoded ones, so that the sizes of b4block.h hold after
// every change:
//  L1. An inserted entry and the entry after it are encoded from their
//      full keys: d = min(shared bytes, key_len - own t, key_len - the
//      previous entry's t), never from counts another entry stored (those
//      may be capped below what the keys really share) (b4insert_leaf).
//  L2. A removed entry's successor is re-encoded from its full key against
//      its new predecessor (b4remove_leaf).
//  L3. A record number that does not fit the block's record field widens
//      the field first, also in an empty block (b4insert_leaf).
//  L4. A change that does not fit leaves the block as it was and answers 1.
#include "xbase/index/b4block.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "util/byteorder.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"

namespace {

// One entry as a splice writes it: its info and its stored bytes.
struct LeafEntry {
    long rec;
    int dup;
    int trail;
    const unsigned char *bytes;
    int len;
};

int key_len_of(const B4BLOCK *b4) { return b4->tag->header.key_len; }

// The tag's work key, taken for `b4`: the buffer that held it before
// forgets its decoded entry, so that a buffer's built_on names an entry
// only while the key is its own.
B4KEY_DATA *work_key(B4BLOCK *b4)
{
    TAG4 *t4 = b4->tag;
    if (t4->built_by != b4) {
        if (t4->built_by != nullptr)
            t4->built_by->built_on = -1;
        t4->built_by = b4;
    }
    return &t4->built_key;
}

int pad_of(const B4BLOCK *b4) { return (unsigned char)b4->tag->p_char; }

int branch_entry_len(const B4BLOCK *b4) { return key_len_of(b4) + B4_BRANCH_EXTRA; }

unsigned char *branch_entry(B4BLOCK *b4, int i)
{
    return b4->image + B4_BRANCH_BODY + i * branch_entry_len(b4);
}

unsigned char *info_entry(B4BLOCK *b4, int i)
{
    return b4->image + B4_LEAF_BODY + i * b4->node_hdr.info_len;
}

unsigned long low_bits(int n)
{
    return n >= 32 ? 0xFFFFFFFFUL : (1UL << n) - 1;
}

int bit_length(unsigned long v)
{
    int n = 0;
    for (; v != 0; v >>= 1)
        n++;
    return n;
}

int min_of(int a, int b) { return a < b ? a : b; }

// Entry i's info, least significant byte first: read as one word where
// eight bytes from it lie in the image (every entry but the block's last
// few bytes), byte by byte otherwise.
uint64_t info_bits(const B4BLOCK *b4, int i)
{
    const int len = b4->node_hdr.info_len;
    const int at = B4_LEAF_BODY + i * len;
    const unsigned char *p = b4->image + at;
    if (len > 0 && len <= 8 && at + 8 <= B4_BLOCK_SIZE) {
        uint64_t v;
        std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return len == 8 ? v : v & ((uint64_t(1) << (8 * len)) - 1);
    }
    uint64_t v = 0;
    for (int k = len - 1; k >= 0; k--)
        v = (v << 8) | p[k];
    return v;
}

// Entry i's duplicate and trailing counts, from one reading of its info.
void info_counts(const B4BLOCK *b4, int i, int *dup, int *trail)
{
    const B4NODE_HEADER &nh = b4->node_hdr;
    uint64_t v = info_bits(b4, i) >> nh.rec_num_len;
    *dup = (int)(v & nh.dup_byte_cnt);
    *trail = (int)((v >> nh.dup_cnt_len) & nh.trail_byte_cnt);
}

int stored_len(const B4BLOCK *b4, int i)
{
    int d, t;
    info_counts(b4, i, &d, &t);
    return key_len_of(b4) - d - t;
}

// Image offset of entry i's stored bytes; for i = n_keys the lowest key byte.
int leaf_pos(const B4BLOCK *b4, int i)
{
    int pos = B4_BLOCK_SIZE;
    int n = b4->header.n_keys;
    for (int j = 0; j <= i && j < n; j++)
        pos -= stored_len(b4, j);
    return pos;
}

// The largest duplicate and trailing counts the block's fields can hold.
int dup_max(const B4BLOCK *b4) { return (int)low_bits(b4->node_hdr.dup_cnt_len); }
int trail_max(const B4BLOCK *b4) { return (int)low_bits(b4->node_hdr.trail_cnt_len); }

// The encoding of `key` after a key `prev` whose trailing count is
// `prev_trail` (no `prev`: the first entry), with `trail` trailing bytes.
int dup_count(const B4BLOCK *b4, const unsigned char *prev, int prev_trail,
              const unsigned char *key, int trail)
{
    if (prev == nullptr)
        return 0;
    int kl = key_len_of(b4);
    int d = b4calc_dups(prev, key, kl);
    d = min_of(d, kl - trail);
    d = min_of(d, kl - prev_trail);
    return min_of(d, dup_max(b4));
}

int trail_count(const B4BLOCK *b4, const unsigned char *key)
{
    return min_of(b4calc_blanks(key, key_len_of(b4), pad_of(b4)), trail_max(b4));
}

void zero_free_space(B4BLOCK *b4)
{
    int start = B4_LEAF_BODY + b4->header.n_keys * b4->node_hdr.info_len;
    std::memset(b4->image + start, 0, (size_t)b4->node_hdr.free_space);
}

// The lowest stored key byte: the sizes of b4block.h put it right above
// the free space, so no entry needs reading to find it.
int leaf_low(const B4BLOCK *b4)
{
    return B4_LEAF_BODY + b4->header.n_keys * b4->node_hdr.info_len + b4->node_hdr.free_space;
}

// Replaces entries [a, b) by `count` new ones; `top` is entry a-1's
// leaf_pos when the caller knows it, else -1. 0, or 1 (unchanged) when the
// block lacks the room.
int leaf_splice(B4BLOCK *b4, int a, int b, const LeafEntry *entries, int count, int top = -1)
{
    int n = b4->header.n_keys;
    int info_len = b4->node_hdr.info_len;
    if (top < 0)
        top = leaf_pos(b4, a - 1);
    int old_bytes = 0;
    for (int j = a; j < b; j++)
        old_bytes += stored_len(b4, j);
    int low = leaf_low(b4);
    int new_bytes = 0;
    for (int k = 0; k < count; k++)
        new_bytes += entries[k].len;
    int more_entries = count - (b - a);
    int grow = new_bytes - old_bytes + more_entries * info_len;
    if (grow > b4->node_hdr.free_space)
        return 1;

    // Info entries move before key bytes when the array shrinks and after
    // them when it grows, so that neither move reads what the other wrote.
    size_t tail_info = (size_t)(n - b) * (size_t)info_len;
    if (more_entries < 0)
        std::memmove(info_entry(b4, a + count), info_entry(b4, b), tail_info);
    int delta = new_bytes - old_bytes;
    std::memmove(b4->image + low - delta, b4->image + low, (size_t)(top - old_bytes - low));
    int p = top;
    for (int k = 0; k < count; k++) {
        p -= entries[k].len;
        std::memcpy(b4->image + p, entries[k].bytes, (size_t)entries[k].len);
    }
    if (more_entries >= 0)
        std::memmove(info_entry(b4, a + count), info_entry(b4, b), tail_info);
    for (int k = 0; k < count; k++)
        x4put_info(&b4->node_hdr, info_entry(b4, a + k), entries[k].rec, entries[k].trail,
                   entries[k].dup);

    b4->header.n_keys = (short)(n + more_entries);
    b4->node_hdr.free_space = (short)(b4->node_hdr.free_space - grow);
    zero_free_space(b4);
    b4->changed = 1;
    b4->built_on = -1;
    return 0;
}

// Copies entry i's full key into `out` (key_len bytes) and gives its
// record number and trailing count.
void copy_key(B4BLOCK *b4, int i, unsigned char *out, long *rec, int *trail)
{
    B4KEY_DATA *k = b4key(b4, i);
    std::memcpy(out, k->value, (size_t)key_len_of(b4));
    if (rec != nullptr)
        *rec = k->num;
    if (trail != nullptr)
        *trail = x4trail_cnt(b4, i);
}

int b4insert_leaf(B4BLOCK *b4, const unsigned char *key, long rec, long base)
{
    int kl = key_len_of(b4);
    int n = b4->header.n_keys;
    if (n == 0 && b4->node_hdr.info_len == 0)
        b4leaf_init(b4, base);
    // A widening that the insertion then finds no room after is undone.
    bool widened = (unsigned long)rec > b4->node_hdr.rec_num_mask;
    B4NODE_HEADER narrow = b4->node_hdr;
    unsigned char image[B4_BLOCK_SIZE];
    if (widened)
        std::memcpy(image, b4->image, sizeof image);
    while ((unsigned long)rec > b4->node_hdr.rec_num_mask) {
        int r = b4reindex(b4);
        if (r == 1) {
            if (b4->node_hdr.info_len != narrow.info_len) {
                b4->node_hdr = narrow;
                std::memcpy(b4->image, image, sizeof image);
            }
            return 1;
        }
        if (r < 0)
            return e4describe(b4->tag->code_base, e4index, b4->tag->index->file.name,
                              "Record number too large for the block's record field", nullptr);
    }

    int i = b4->key_on < 0 ? 0 : (b4->key_on > n ? n : b4->key_on);
    unsigned char prev[I4_MAX_KEY_LEN], next[I4_MAX_KEY_LEN];
    int prev_trail = 0;
    // Reading entry i-1's key leaves its stored bytes' offset in built_pos:
    // the top of the splice, which then reads no entry before it again.
    int top = B4_BLOCK_SIZE;
    if (i > 0) {
        copy_key(b4, i - 1, prev, nullptr, &prev_trail);
        top = b4->built_pos;
    }
    int trail = trail_count(b4, key);
    int dup = dup_count(b4, i > 0 ? prev : nullptr, prev_trail, key, trail);
    LeafEntry e[2] = {{rec, dup, trail, key + dup, kl - dup - trail}, {}};
    int count = 1;
    if (i < n) {
        long next_rec;
        int next_trail;
        copy_key(b4, i, next, &next_rec, &next_trail);
        int next_dup = dup_count(b4, key, trail, next, next_trail);
        e[1] = {next_rec, next_dup, next_trail, next + next_dup, kl - next_dup - next_trail};
        count = 2;
    }
    if (leaf_splice(b4, i, i < n ? i + 1 : i, e, count, top) != 0) {
        if (widened) {
            b4->node_hdr = narrow;
            std::memcpy(b4->image, image, sizeof image);
            b4->built_on = -1;
        }
        return 1;
    }
    // The new entry is current, and its full key is the one inserted (its
    // trailing bytes are padding), so a later read of the keys after it
    // goes on from here.
    b4->key_on = i;
    b4->cur_pos = top - e[0].len;
    B4KEY_DATA *built = work_key(b4);
    std::memcpy(built->value, key, (size_t)kl);
    built->value[kl] = 0;
    built->num = rec;
    b4->built_on = i;
    b4->built_pos = b4->cur_pos;
    b4->cur_dup_cnt = dup;
    b4->cur_trail_cnt = trail;
    return 0;
}

int b4insert_branch(B4BLOCK *b4, const unsigned char *key, long child, long rec, int new_flag)
{
    int kl = key_len_of(b4);
    int el = branch_entry_len(b4);
    int n = b4->header.n_keys;
    if ((n + 1) * el > B4_BRANCH_ROOM)
        return 1;
    int i = b4->key_on < 0 ? 0 : (b4->key_on > n ? n : b4->key_on);
    std::memmove(branch_entry(b4, i + 1), branch_entry(b4, i), (size_t)((n - i) * el));
    unsigned char *e = branch_entry(b4, i);
    std::memcpy(e, key, (size_t)kl);
    util_putBe32(e + kl, (uint32_t)rec);
    // A new entry in front of another keeps that entry's child, which then
    // routes to the new block: the way a split is entered in its parent.
    if (new_flag || i == n)
        util_putBe32(e + kl + 4, (uint32_t)child);
    else
        util_putBe32(branch_entry(b4, i + 1) + kl + 4, (uint32_t)child);
    b4->header.n_keys = (short)(n + 1);
    b4->key_on = i;
    b4->changed = 1;
    b4->built_on = -1;
    return 0;
}

int b4remove_leaf(B4BLOCK *b4)
{
    int n = b4->header.n_keys;
    int i = b4->key_on;
    int kl = key_len_of(b4);
    if (i < 0 || i >= n)
        return 0;
    if (n == 1) {
        std::memset(b4->image + B4_LEAF_BODY, 0, B4_BLOCK_SIZE - B4_LEAF_BODY);
        b4->header.n_keys = 0;
        b4->node_hdr.free_space = B4_LEAF_ROOM;
        b4->changed = 1;
        b4->built_on = -1;
        b4top(b4);
        return 0;
    }
    if (i == n - 1) {
        if (leaf_splice(b4, i, n, nullptr, 0) != 0)
            return 1;
        b4go(b4, i - 1);
        return 0;
    }
    unsigned char prev[I4_MAX_KEY_LEN], next[I4_MAX_KEY_LEN];
    int prev_trail = 0, next_trail = 0;
    long next_rec = 0;
    int top = B4_BLOCK_SIZE;
    if (i > 0) {
        copy_key(b4, i - 1, prev, nullptr, &prev_trail);
        top = b4->built_pos;
    }
    copy_key(b4, i + 1, next, &next_rec, &next_trail);
    int dup = dup_count(b4, i > 0 ? prev : nullptr, prev_trail, next, next_trail);
    LeafEntry e = {next_rec, dup, next_trail, next + dup, kl - dup - next_trail};
    if (leaf_splice(b4, i, i + 2, &e, 1, top) != 0)
        return 1;
    b4->key_on = i;
    b4->cur_pos = top - e.len;
    return 0;
}

// Bytes entry j of `old` takes when it is the first entry of a block.
int first_len(B4BLOCK *old, int j) { return key_len_of(old) - x4trail_cnt(old, j); }

// What a leaf split needs to know about the pending entry at position p.
struct Pending {
    int p;
    int n;
    int info_len;
    int widen;          // record-field widenings the pending record number needs
    int bytes_first;    // its stored bytes as a block's first entry
    int bytes_after;    // its stored bytes after entry p - 1
    int next_first;     // entry p's stored bytes after it, as a block's second entry
    int next_grow;      // entry p's growth after it, relative to its present size
};

// Bytes a half holding `count` entries uses once the pending entry joins it
// (as its first entry or not), with the widening that needs.
int with_pending(const Pending &pd, int used, int count, bool first, bool next_follows,
                 bool next_was_first, int next_first_size)
{
    int need = used + pd.widen * count + pd.info_len + pd.widen;
    need += first ? pd.bytes_first : pd.bytes_after;
    if (next_follows)
        need += next_was_first ? pd.next_first - next_first_size : pd.next_grow;
    return need;
}

// Chooses where a full leaf splits: entries [0, s) stay. Fills `to_new`
// with the side the pending entry goes to. -1 when no two-way split fits.
int choose_leaf_split(B4BLOCK *old, const Pending &pd, bool *to_new)
{
    int n = pd.n, L = pd.info_len;
    // prefix[s]: bytes of entries [0, s) as they are stored now.
    std::vector<int> prefix((size_t)n + 1, 0);
    for (int j = 0; j < n; j++)
        prefix[j + 1] = prefix[j] + stored_len(old, j);
    int best = -1, best_gap = 0;
    for (int s = 0; s <= n; s++) {
        int left = prefix[s] + s * L;
        int right = s < n ? first_len(old, s) + prefix[n] - prefix[s + 1] + (n - s) * L : 0;
        for (int side = 0; side < 2; side++) {
            bool in_new = side == 1;
            if ((!in_new && pd.p > s) || (in_new && pd.p < s))
                continue;
            int l = left, r = right;
            bool next_follows = pd.p < n;
            if (!in_new) {
                // Entry p follows only inside the old half (p < s).
                l = with_pending(pd, left, s, pd.p == 0, next_follows && pd.p < s, false, 0);
            } else {
                bool first = pd.p == s;
                r = with_pending(pd, right, n - s, first, next_follows, first,
                                 next_follows ? first_len(old, pd.p) : 0);
            }
            int count_old = s + (in_new ? 0 : 1), count_new = n - s + (in_new ? 1 : 0);
            if (count_old == 0 || count_new == 0 || l > B4_LEAF_ROOM || r > B4_LEAF_ROOM)
                continue;
            int gap = l > r ? l - r : r - l;
            if (best < 0 || gap < best_gap) {
                best = s;
                best_gap = gap;
                *to_new = in_new;
            }
        }
    }
    return best;
}

// Moves entries [s, n) of the leaf `old` into the empty `fresh`, the first
// of them stored in full, and cuts `old` to [0, s).
void move_leaf_entries(B4BLOCK *old, B4BLOCK *fresh, int s)
{
    int n = old->header.n_keys;
    int L = old->node_hdr.info_len;
    int kl = key_len_of(old);
    fresh->node_hdr = old->node_hdr;
    std::memset(fresh->image, 0, sizeof fresh->image);
    int used_new = 0;
    if (s < n) {
        unsigned char first[I4_MAX_KEY_LEN];
        long first_rec;
        int first_trail;
        copy_key(old, s, first, &first_rec, &first_trail);
        int pos_s = leaf_pos(old, s);
        int low = leaf_low(old);
        int first_bytes = kl - first_trail;
        std::memcpy(fresh->image + B4_BLOCK_SIZE - first_bytes, first, (size_t)first_bytes);
        std::memcpy(fresh->image + B4_BLOCK_SIZE - first_bytes - (pos_s - low), old->image + low,
                    (size_t)(pos_s - low));
        x4put_info(&fresh->node_hdr, fresh->image + B4_LEAF_BODY, first_rec, first_trail, 0);
        std::memcpy(fresh->image + B4_LEAF_BODY + L, info_entry(old, s + 1), (size_t)((n - s - 1) * L));
        used_new = first_bytes + (pos_s - low) + (n - s) * L;
        int old_low = leaf_pos(old, s - 1);
        std::memset(old->image + low, 0, (size_t)(old_low - low));
        std::memset(info_entry(old, s), 0, (size_t)((n - s) * L));
    }
    fresh->header.n_keys = (short)(n - s);
    fresh->node_hdr.free_space = (short)(B4_LEAF_ROOM - used_new);
    old->header.n_keys = (short)s;
    old->node_hdr.free_space = (short)(B4_LEAF_ROOM - (B4_BLOCK_SIZE - leaf_pos(old, s)) - s * L);
}

} // namespace

// ---- Buffers ------------------------------------------------------------

B4BLOCK *b4alloc(TAG4 *t4, long file_block)
{
    CODE4 *c4 = t4->code_base;
    B4BLOCK *b4 = (B4BLOCK *)mem4alloc2(t4->index->block_memory, c4);
    if (b4 == nullptr) {
        e4(c4, e4memory, "b4alloc()");
        return nullptr;
    }
    b4->tag = t4;
    b4->file_block = file_block;
    b4->built_on = -1;
    b4->cache_node = -1;
    return b4;
}

void b4free(B4BLOCK *b4)
{
    if (b4 == nullptr)
        return;
    if (b4->tag->built_by == b4)
        b4->tag->built_by = nullptr;
    mem4free(b4->tag->index->block_memory, b4);
}

void b4set_tag(B4BLOCK *b4, TAG4 *t4)
{
    if (b4->tag->built_by == b4)
        b4->tag->built_by = nullptr;
    b4->built_on = -1;
    b4->tag = t4;
}

int b4check(B4BLOCK *b4)
{
    INDEX4 *i4 = b4->tag->index;
    const unsigned char *p = b4->image;
    B4STD_HEADER &h = b4->header;
    h.node_attribute = (short)util_getLe16(p + B4_OFF_ATTRIBUTE);
    h.n_keys = (short)util_getLe16(p + B4_OFF_N_KEYS);
    h.left_node = (long)(int32_t)util_getLe32(p + B4_OFF_LEFT);
    h.right_node = (long)(int32_t)util_getLe32(p + B4_OFF_RIGHT);
    b4->built_on = -1;
    b4->key_on = 0;
    b4->changed = 0;
    std::memset(&b4->node_hdr, 0, sizeof b4->node_hdr);

    int kl = key_len_of(b4);
    int n = h.n_keys;
    long self = b4->file_block;
    if (h.node_attribute < 0 || h.node_attribute > B4_ATTR_ROOT_LEAF || n < 0 || kl < 1 ||
        kl > I4_MAX_KEY_LEN)
        return 1;
    for (long link : {h.left_node, h.right_node})
        if (link != -1 && !i4valid_block(i4, link, self))
            return 1;

    if (!b4leaf(b4)) {
        if (n > B4_BRANCH_ROOM / (kl + B4_BRANCH_EXTRA))
            return 1;
        for (int i = 0; i < n; i++)
            if (!i4valid_block(i4, (long)util_getBe32(branch_entry(b4, i) + kl + 4), self))
                return 1;
        return 0;
    }

    B4NODE_HEADER &nh = b4->node_hdr;
    unsigned free_space = util_getLe16(p + B4_OFF_FREE_SPACE);
    nh.rec_num_len = p[B4_OFF_REC_LEN];
    nh.dup_cnt_len = p[B4_OFF_DUP_LEN];
    nh.trail_cnt_len = p[B4_OFF_TRAIL_LEN];
    nh.info_len = p[B4_OFF_INFO_LEN];
    // An empty leaf whose node header was never set (all zero) is valid: the
    // first insertion gives it its field widths.
    bool fresh = n == 0 && free_space == 0 && nh.rec_num_len == 0 && nh.dup_cnt_len == 0 &&
                 nh.trail_cnt_len == 0 && nh.info_len == 0;
    if (fresh)
        return 0;
    if (nh.rec_num_len > B4_MAX_REC_BITS || nh.dup_cnt_len > B4_MAX_COUNT_BITS ||
        nh.trail_cnt_len > B4_MAX_COUNT_BITS || nh.info_len == 0 ||
        nh.rec_num_len + nh.dup_cnt_len + nh.trail_cnt_len != 8 * nh.info_len ||
        free_space > B4_LEAF_ROOM || (long)n * nh.info_len + (long)free_space > B4_LEAF_ROOM)
        return 1;
    nh.free_space = (short)free_space;
    nh.rec_num_mask = low_bits(nh.rec_num_len);
    nh.dup_byte_cnt = (unsigned char)low_bits(nh.dup_cnt_len);
    nh.trail_byte_cnt = (unsigned char)low_bits(nh.trail_cnt_len);
    long stored = 0;
    for (int i = 0; i < n; i++) {
        int d = x4dup_cnt(b4, i), t = x4trail_cnt(b4, i);
        if (d + t > kl || (i == 0 && d != 0))
            return 1;
        stored += kl - d - t;
    }
    if ((long)n * nh.info_len + stored + (long)free_space != B4_LEAF_ROOM)
        return 1;
    b4top(b4);
    return 0;
}

int b4verify(B4BLOCK *b4)
{
    return b4check(b4) != 0 ? i4corrupt(b4->tag->index, b4->file_block) : 0;
}

void b4put_header(const B4STD_HEADER *header, const B4NODE_HEADER *node_hdr, unsigned char *image)
{
    unsigned char *p = image;
    util_putLe16(p + B4_OFF_ATTRIBUTE, (uint16_t)header->node_attribute);
    util_putLe16(p + B4_OFF_N_KEYS, (uint16_t)header->n_keys);
    util_putLe32(p + B4_OFF_LEFT, (uint32_t)header->left_node);
    util_putLe32(p + B4_OFF_RIGHT, (uint32_t)header->right_node);
    if (node_hdr != nullptr) {
        const B4NODE_HEADER &nh = *node_hdr;
        util_putLe16(p + B4_OFF_FREE_SPACE, (uint16_t)nh.free_space);
        util_putLe32(p + B4_OFF_REC_MASK, (uint32_t)nh.rec_num_mask);
        p[B4_OFF_DUP_MASK] = nh.dup_byte_cnt;
        p[B4_OFF_TRAIL_MASK] = nh.trail_byte_cnt;
        p[B4_OFF_REC_LEN] = nh.rec_num_len;
        p[B4_OFF_DUP_LEN] = nh.dup_cnt_len;
        p[B4_OFF_TRAIL_LEN] = nh.trail_cnt_len;
        p[B4_OFF_INFO_LEN] = nh.info_len;
    }
}

int b4flush(B4BLOCK *b4)
{
    if (!b4->changed)
        return 0;
    unsigned char *p = b4->image;
    b4put_header(&b4->header, b4leaf(b4) ? &b4->node_hdr : nullptr, p);
    int rc = file4write(&b4->tag->index->file, b4->file_block, p, B4_BLOCK_SIZE);
    if (rc == 0)
        b4->changed = 0;
    return rc;
}

void b4leaf_init(B4BLOCK *b4, long max_rec)
{
    int bits = bit_length((unsigned long)key_len_of(b4));
    int rec_bits = bit_length(max_rec > 0 ? (unsigned long)max_rec : 0) + (8 - (2 * bits) % 8) % 8;
    if (rec_bits < B4_MIN_REC_BITS)
        rec_bits = B4_MIN_REC_BITS;
    while ((rec_bits + 2 * bits) % 8 != 0)
        rec_bits++;
    while (rec_bits > B4_MAX_REC_BITS)
        rec_bits -= 8;
    B4NODE_HEADER &nh = b4->node_hdr;
    nh.rec_num_len = (unsigned char)rec_bits;
    nh.dup_cnt_len = nh.trail_cnt_len = (unsigned char)bits;
    nh.rec_num_mask = low_bits(rec_bits);
    nh.dup_byte_cnt = nh.trail_byte_cnt = (unsigned char)low_bits(bits);
    nh.info_len = (unsigned char)((rec_bits + 2 * bits) / 8);
    nh.free_space = B4_LEAF_ROOM;
    b4->header.n_keys = 0;
    std::memset(b4->image + B4_LEAF_BODY, 0, B4_BLOCK_SIZE - B4_LEAF_BODY);
    b4->changed = 1;
    b4->built_on = -1;
    b4top(b4);
}

// ---- Position and keys -----------------------------------------------------

int b4leaf(const B4BLOCK *b4) { return b4->header.node_attribute > B4_ATTR_ROOT_BRANCH ? 1 : 0; }

int b4lastpos(const B4BLOCK *b4) { return b4->header.n_keys - 1; }

void b4top(B4BLOCK *b4)
{
    b4->key_on = 0;
    if (b4leaf(b4)) {
        b4->cur_dup_cnt = 0;
        b4->cur_pos = leaf_pos(b4, 0);
    }
}

void b4go_eof(B4BLOCK *b4)
{
    b4go(b4, b4->header.n_keys);
}

void b4go(B4BLOCK *b4, int i)
{
    int n = b4->header.n_keys;
    i = i < 0 ? 0 : (i > n ? n : i);
    if (b4leaf(b4)) {
        // One entry on from a known position: its bytes lie below.
        if (i == b4->key_on + 1 && b4->key_on >= 0 && i < n)
            b4->cur_pos -= stored_len(b4, i);
        else if (i != b4->key_on + 1 || i != n)
            b4->cur_pos = leaf_pos(b4, i);
    }
    b4->key_on = i;
}

long b4skip(B4BLOCK *b4, long n)
{
    long count = b4->header.n_keys;
    long from = b4->key_on;
    if (!b4leaf(b4)) {
        long to = from + n;
        to = to < 0 ? 0 : (to > count ? count : to);
        b4->key_on = (int)to;
        return to - from;
    }
    if (count == 0)
        return 0;
    long moved;
    if (n >= 0 && from + n >= count) {
        moved = from < count ? count - 1 - from : 0;
        b4go(b4, (int)count);
    } else if (n < 0 && from + n < 0) {
        moved = -from;
        b4go(b4, 0);
    } else {
        moved = n;
        b4go(b4, (int)(from + n));
    }
    return moved;
}

B4KEY_DATA *b4key(B4BLOCK *b4, int i)
{
    int n = b4->header.n_keys;
    int kl = key_len_of(b4);
    if (i < 0 || i >= n)
        return nullptr;
    B4KEY_DATA *built = work_key(b4);
    if (i == b4->built_on)
        return built;
    if (!b4leaf(b4)) {
        unsigned char *e = branch_entry(b4, i);
        std::memcpy(built->value, e, (size_t)kl);
        built->value[kl] = 0;
        built->num = (long)util_getBe32(e + kl + 4);
        b4->built_on = i;
        return built;
    }
    if (b4->built_on < 0 || i < b4->built_on) {
        b4->built_on = -1;
        b4->built_pos = B4_BLOCK_SIZE;
    }
    int pad = pad_of(b4);
    int info_end = B4_LEAF_BODY + n * b4->node_hdr.info_len;
    unsigned char *v = built->value;
    // The key built holds its entry's trailing pad bytes: only those the
    // next entry pads beyond them are written (long keys are mostly pad).
    int padded = 0;
    if (b4->built_on >= 0) {
        int d;
        info_counts(b4, b4->built_on, &d, &padded);
    }
    while (b4->built_on < i) {
        int j = b4->built_on + 1;
        int d, t;
        info_counts(b4, j, &d, &t);
        int s = kl - d - t;
        if (s < 0 || b4->built_pos - s < info_end) {
            b4->built_on = -1;
            return nullptr;
        }
        b4->built_pos -= s;
        std::memcpy(v + d, b4->image + b4->built_pos, (size_t)s);
        if (t > padded)
            std::memset(v + kl - t, pad, (size_t)(t - padded));
        padded = t;
        b4->built_on = j;
    }
    v[kl] = 0;
    built->num = x4recno(b4, i);
    return built;
}

B4KEY_DATA *b4key_next(B4BLOCK *b4, int i, int *order)
{
    *order = 2;
    if (i == 0 || i != b4->built_on + 1 || b4->tag->built_by != b4 || !b4leaf(b4))
        return b4key(b4, i);
    if (i >= b4->header.n_keys)
        return nullptr;
    // One step from the entry before, whose key the work key holds: its
    // first d bytes are shared and its trailing pad is there already, so
    // the two keys are compared on the bytes between, before the stored
    // ones are copied over them.
    const B4NODE_HEADER &nh = b4->node_hdr;
    const int kl = key_len_of(b4);
    const uint64_t before = info_bits(b4, i - 1) >> nh.rec_num_len;
    const uint64_t info = info_bits(b4, i);
    const int padded = (int)((before >> nh.dup_cnt_len) & nh.trail_byte_cnt);
    const int d = (int)((info >> nh.rec_num_len) & nh.dup_byte_cnt);
    const int t = (int)((info >> (nh.rec_num_len + nh.dup_cnt_len)) & nh.trail_byte_cnt);
    const int s = kl - d - t;
    if (s < 0 || b4->built_pos - s < B4_LEAF_BODY + b4->header.n_keys * nh.info_len) {
        b4->built_on = -1;
        return nullptr;
    }
    B4KEY_DATA *built = &b4->tag->built_key;
    unsigned char *v = built->value;
    const unsigned char *stored = b4->image + b4->built_pos - s;
    const unsigned char pad = (unsigned char)pad_of(b4);
    int c = 0;
    if (s > 0)
        c = stored[0] != v[d] ? (stored[0] < v[d] ? -1 : 1) : std::memcmp(stored, v + d, (size_t)s);
    for (int j = kl - t; c == 0 && j < kl - padded; j++)
        if (v[j] != pad)
            c = pad < v[j] ? -1 : 1;
    *order = c < 0 ? -1 : c > 0 ? 1 : 0;
    b4->built_pos -= s;
    std::memcpy(v + d, stored, (size_t)s);
    if (t > padded)
        std::memset(v + kl - t, pad, (size_t)(t - padded));
    v[kl] = 0;
    built->num = (long)(info & nh.rec_num_mask);
    b4->built_on = i;
    return built;
}

unsigned char *b4key_key(B4BLOCK *b4, int i)
{
    B4KEY_DATA *k = b4key(b4, i);
    return k == nullptr ? nullptr : k->value;
}

long b4child(const B4BLOCK *b4, int i)
{
    if (i < 0 || i >= b4->header.n_keys)
        return -1;
    const unsigned char *e = b4->image + B4_BRANCH_BODY + i * branch_entry_len(b4);
    return (long)util_getBe32(e + key_len_of(b4) + 4);
}

long b4recno(B4BLOCK *b4, int i)
{
    if (i < 0 || i >= b4->header.n_keys)
        return -1;
    if (b4leaf(b4))
        return x4recno(b4, i);
    return (long)util_getBe32(branch_entry(b4, i) + key_len_of(b4));
}

// ---- Searches ---------------------------------------------------------------

namespace {

template <bool Build>
int seek_in(B4BLOCK *b4, const char *value, int len)
{
    int kl = key_len_of(b4);
    int n = b4->header.n_keys;
    const unsigned char *v = (const unsigned char *)value;
    len = len < 0 ? 0 : (len > kl ? kl : len);
    if (!b4leaf(b4)) {
        int lower = -1, upper = n - 1;
        while (lower < upper - 1) {
            int mid = (lower + upper) / 2;
            if (std::memcmp(branch_entry(b4, mid), v, (size_t)len) >= 0)
                upper = mid;
            else
                lower = mid;
        }
        b4->key_on = upper < 0 ? 0 : upper;
        if (n == 0)
            return r4after;
        return std::memcmp(branch_entry(b4, b4->key_on), v, (size_t)len) == 0 ? 0 : r4after;
    }

    // m: the value's bytes known to equal the key before entry j, the key
    // before being smaller. An entry that copies more than m bytes of that
    // key is smaller too; any other entry already equals the value on its
    // copied bytes and is compared from there, its stored bytes first and
    // then its padding. Stored counts are only ever lower bounds of the
    // shared bytes, so this holds for every encoding. With Build the keys
    // passed are rebuilt on the way, so that the one before where the
    // search stops is decoded (what a change there starts from).
    int m = 0;
    int pos = B4_BLOCK_SIZE;
    int pad = pad_of(b4);
    int info_end = B4_LEAF_BODY + n * b4->node_hdr.info_len;
    B4KEY_DATA *work = work_key(b4);
    unsigned char *built = work->value;
    b4->built_on = -1;
    int padded = 0; // trailing pad bytes the key built already holds
    auto passed = [&](int j, int d, int t, int at) {
        std::memcpy(built + d, b4->image + at, (size_t)(kl - d - t));
        if (t > padded)
            std::memset(built + kl - t, pad, (size_t)(t - padded));
        padded = t;
        b4->built_on = j;
        b4->built_pos = at;
    };
    auto keep_built = [&] {
        if (b4->built_on >= 0) {
            built[kl] = 0;
            work->num = x4recno(b4, b4->built_on);
        }
    };
    for (int j = 0; j < n; j++) {
        int d, t;
        info_counts(b4, j, &d, &t);
        if (j == 0)
            d = 0;
        int stored = kl - d - t;
        if (stored < 0 || pos - stored < info_end)
            break;
        pos -= stored;
        if (j > 0 && d > m) {
            if (Build)
                passed(j, d, t, pos);
            continue;
        }
        const unsigned char *bytes = b4->image + pos - d;
        int end = d + stored < len ? d + stored : len;
        int c = d;
        while (c < end && bytes[c] == v[c])
            c++;
        if (c == end)
            while (c < len && pad == v[c])
                c++;
        unsigned char at = c < d + stored ? bytes[c] : (unsigned char)pad;
        if (c == len || at > v[c]) {
            b4->key_on = j;
            b4->cur_pos = pos;
            b4->cur_dup_cnt = m;
            keep_built();
            if (c == len && len == kl) {
                // The entry is the value itself: its key is known.
                std::memcpy(built, v, (size_t)kl);
                built[kl] = 0;
                work->num = x4recno(b4, j);
                b4->built_on = j;
                b4->built_pos = pos;
            }
            return c == len ? 0 : r4after;
        }
        if (Build)
            passed(j, d, t, pos);
        m = c;
    }
    keep_built();
    b4go_eof(b4);
    b4->cur_dup_cnt = m;
    return r4after;
}

} // namespace

int b4seek(B4BLOCK *b4, const char *value, int len)
{
    return seek_in<false>(b4, value, len);
}

int b4seek_decoding(B4BLOCK *b4, const char *value, int len)
{
    return seek_in<true>(b4, value, len);
}

int b4r_brseek(B4BLOCK *b4, const char *value, int len, long recno)
{
    int rc = b4seek(b4, value, len);
    if (b4leaf(b4))
        return rc;
    int kl = key_len_of(b4);
    len = len < 0 ? 0 : (len > kl ? kl : len);
    while (b4->key_on < b4->header.n_keys - 1) {
        unsigned char *e = branch_entry(b4, b4->key_on);
        if (std::memcmp(e, value, (size_t)len) != 0 || util_getBe32(e + kl) >= (uint32_t)recno)
            break;
        b4->key_on++;
    }
    return rc;
}

// ---- Changes ----------------------------------------------------------------

int b4insert(B4BLOCK *b4, const void *key, long rec, long rec2, int new_flag)
{
    if (b4leaf(b4))
        return b4insert_leaf(b4, (const unsigned char *)key, rec, rec2);
    return b4insert_branch(b4, (const unsigned char *)key, rec, rec2, new_flag);
}

int b4remove(B4BLOCK *b4)
{
    if (b4leaf(b4))
        return b4remove_leaf(b4);
    int n = b4->header.n_keys;
    int i = b4->key_on;
    if (i < 0 || i >= n)
        return 0;
    int el = branch_entry_len(b4);
    std::memmove(branch_entry(b4, i), branch_entry(b4, i + 1), (size_t)((n - i - 1) * el));
    std::memset(branch_entry(b4, n - 1), 0, (size_t)el);
    b4->header.n_keys = (short)(n - 1);
    b4->changed = 1;
    b4->built_on = -1;
    return 0;
}

void b4br_replace(B4BLOCK *b4, const void *key, long rec)
{
    int kl = key_len_of(b4);
    unsigned char *e = branch_entry(b4, b4->key_on);
    std::memcpy(e, key, (size_t)kl);
    util_putBe32(e + kl, (uint32_t)rec);
    b4->changed = 1;
    b4->built_on = -1;
}

int b4reindex(B4BLOCK *b4)
{
    B4NODE_HEADER old = b4->node_hdr;
    int n = b4->header.n_keys;
    if (old.rec_num_len + 8 > B4_MAX_REC_BITS)
        return -1;
    if (old.free_space < n)
        return 1;
    B4NODE_HEADER nh = old;
    nh.rec_num_len = (unsigned char)(old.rec_num_len + 8);
    nh.rec_num_mask = low_bits(nh.rec_num_len);
    nh.info_len = (unsigned char)(old.info_len + 1);
    // Last first: each entry moves up, over entries already moved.
    for (int i = n - 1; i >= 0; i--) {
        b4->node_hdr = old;
        long rec = x4recno(b4, i);
        int d = x4dup_cnt(b4, i), t = x4trail_cnt(b4, i);
        b4->node_hdr = nh;
        x4put_info(&nh, info_entry(b4, i), rec, t, d);
    }
    nh.free_space = (short)(old.free_space - n);
    b4->node_hdr = nh;
    b4->changed = 1;
    return 0;
}

B4BLOCK *t4split(TAG4 *t4, B4BLOCK *old, const void *key, long rec, B4BLOCK **dest)
{
    INDEX4 *i4 = t4->index;
    int n = old->header.n_keys;
    int p = old->key_on < 0 ? 0 : (old->key_on > n ? n : old->key_on);
    int s = 0;
    bool to_new = false;
    bool leaf = b4leaf(old) != 0;
    if (leaf) {
        int kl = key_len_of(old);
        const unsigned char *k = (const unsigned char *)key;
        Pending pd{};
        pd.p = p;
        pd.n = n;
        pd.info_len = old->node_hdr.info_len;
        for (int bits = old->node_hdr.rec_num_len; (unsigned long)rec > low_bits(bits) && bits < B4_MAX_REC_BITS; bits += 8)
            pd.widen++;
        int trail = trail_count(old, k);
        pd.bytes_first = kl - trail;
        pd.bytes_after = pd.bytes_first;
        if (p > 0) {
            unsigned char prev[I4_MAX_KEY_LEN];
            int prev_trail;
            copy_key(old, p - 1, prev, nullptr, &prev_trail);
            pd.bytes_after = kl - dup_count(old, prev, prev_trail, k, trail) - trail;
        }
        if (p < n) {
            unsigned char next[I4_MAX_KEY_LEN];
            int next_trail;
            copy_key(old, p, next, nullptr, &next_trail);
            pd.next_first = kl - dup_count(old, k, trail, next, next_trail) - next_trail;
            pd.next_grow = pd.next_first - stored_len(old, p);
        }
        s = choose_leaf_split(old, pd, &to_new);
        if (s < 0) {
            // No two blocks hold everything: the pending entry needs a block
            // of its own. Split at it; it goes at the end of the old half,
            // which the caller splits again.
            s = p;
            to_new = false;
            int right = first_len(old, p) + (B4_BLOCK_SIZE - leaf_low(old)) -
                        (B4_BLOCK_SIZE - leaf_pos(old, p)) + (n - p) * pd.info_len;
            if (p == 0 || p == n || right > B4_LEAF_ROOM) {
                i4corrupt(i4, old->file_block);
                return nullptr;
            }
        }
    } else {
        int move = (n + 1) / 2;
        if (p > move)
            move--;
        s = n - move;
        to_new = p >= s;
    }

    long pos = i4extend(i4);
    if (pos < 0)
        return nullptr;
    B4BLOCK *fresh = b4alloc(t4, pos);
    // The old right neighbour learns of the new block first: nothing in
    // memory has changed yet when that write fails.
    long former_right = old->header.right_node;
    if (fresh == nullptr || (former_right != -1 && b4set_link(t4->index, former_right, B4_OFF_LEFT, pos) != 0)) {
        if (fresh != nullptr)
            b4free(fresh);
        i4shrink(i4, pos);
        return nullptr;
    }
    fresh->header = old->header;
    if (leaf) {
        move_leaf_entries(old, fresh, s);
        old->header.node_attribute = fresh->header.node_attribute = B4_ATTR_LEAF;
    } else {
        int el = branch_entry_len(old);
        std::memset(fresh->image, 0, sizeof fresh->image);
        std::memcpy(branch_entry(fresh, 0), branch_entry(old, s), (size_t)((n - s) * el));
        std::memset(branch_entry(old, s), 0, (size_t)((n - s) * el));
        fresh->header.n_keys = (short)(n - s);
        old->header.n_keys = (short)s;
        old->header.node_attribute = fresh->header.node_attribute = B4_ATTR_BRANCH;
    }
    fresh->header.right_node = former_right;
    fresh->header.left_node = old->file_block;
    old->header.right_node = pos;
    old->changed = fresh->changed = 1;
    old->built_on = fresh->built_on = -1;
    int keep_dup = old->cur_dup_cnt;
    b4top(old);
    b4top(fresh);
    old->cur_dup_cnt = fresh->cur_dup_cnt = keep_dup;
    *dest = to_new ? fresh : old;
    b4go(*dest, to_new ? p - s : p);
    return fresh;
}

int b4set_link(INDEX4 *i4, long pos, int field, long link)
{
    B4BLOCK *b = i4cache_find(i4, pos);
    long *held = b == nullptr ? nullptr : field == B4_OFF_LEFT ? &b->header.left_node : &b->header.right_node;
    unsigned char old[4], buf[4];
    if (held != nullptr)
        util_putLe32(old, (uint32_t)*held);
    else if (file4read_all(&i4->file, pos + field, old, sizeof old) != 0)
        return -1;
    util_putLe32(buf, (uint32_t)link);
    int rc = file4write(&i4->file, pos + field, buf, sizeof buf);
    if (rc != 0) {
        // A write that moved part of the bytes: the old ones go back.
        CODE4 *c4 = i4->code_base;
        int saved = e4set(c4, 0);
        file4write(&i4->file, pos + field, old, sizeof old);
        e4set(c4, saved);
        return rc;
    }
    if (held != nullptr)
        *held = link;
    return 0;
}

// ---- Key bytes and info entries ---------------------------------------------

namespace {

// Of eight bytes loaded as one word, how many equal bytes `diff` (their
// xor with what they are compared to, nonzero) shows first and last in
// memory order.
inline int equal_first(uint64_t diff)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_ctzll(diff) / 8;
#else
    return __builtin_clzll(diff) / 8;
#endif
}

inline int equal_last(uint64_t diff)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_clzll(diff) / 8;
#else
    return __builtin_ctzll(diff) / 8;
#endif
}

} // namespace

// Both counts go eight bytes at a time while the bytes agree; the word that
// differs gives the count within it at once (bytes shorter than a word go
// one by one).
int b4calc_blanks(const void *key, int len, int p_char)
{
    const unsigned char *k = (const unsigned char *)key;
    const uint64_t pad = 0x0101010101010101ULL * (unsigned char)p_char;
    int n = 0;
    for (uint64_t w; n + 8 <= len; n += 8) {
        std::memcpy(&w, k + len - n - 8, sizeof w);
        if (w != pad)
            return n + equal_last(w ^ pad);
    }
    while (n < len && k[len - 1 - n] == (unsigned char)p_char)
        n++;
    return n;
}

int b4calc_dups(const void *a, const void *b, int len)
{
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    int n = 0;
    for (uint64_t u, v; n + 8 <= len; n += 8) {
        std::memcpy(&u, x + n, sizeof u);
        std::memcpy(&v, y + n, sizeof v);
        if (u != v)
            return n + equal_first(u ^ v);
    }
    while (n < len && x[n] == y[n])
        n++;
    return n;
}

long x4recno(const B4BLOCK *b4, int i)
{
    return (long)(info_bits(b4, i) & b4->node_hdr.rec_num_mask);
}

int x4dup_cnt(const B4BLOCK *b4, int i)
{
    return (int)((info_bits(b4, i) >> b4->node_hdr.rec_num_len) & low_bits(b4->node_hdr.dup_cnt_len));
}

int x4trail_cnt(const B4BLOCK *b4, int i)
{
    const B4NODE_HEADER &nh = b4->node_hdr;
    return (int)((info_bits(b4, i) >> (nh.rec_num_len + nh.dup_cnt_len)) & low_bits(nh.trail_cnt_len));
}


// Building index files: every record's key read into one sort per tree,
// each tree written bottom-up from the sorted keys through one sequential
// writer, the headers last; creating an index and rebuilding one. Layout
// and invariants are in r4reindex.h.
#include "xbase/index/r4reindex.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/byteorder.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/file4.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/memo4.h"
#include "xbase/u4util.h"

namespace {

// Bytes of the reader's and the writer's buffers: the largest sequential
// transfer, so that a table is read in few calls.
const unsigned kBufferLen = FILE4_SEQ_MAX;
const unsigned long kVersionMask = 0xFFFFFFFFUL;

int bit_length(unsigned long v)
{
    int n = 0;
    for (; v != 0; v >>= 1)
        n++;
    return n;
}

bool is_compound(const INDEX4 *i4)
{
    return i4->tag_index->header.type_code >= I4_TYPE_COMPOUND;
}

// The tags whose trees a rebuild writes: a single-tag file's one tag is
// its header at offset 0.
std::vector<TAG4 *> list_tags(INDEX4 *i4)
{
    std::vector<TAG4 *> tags;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4))
        tags.push_back(t4);
    return tags;
}

// Field widths of the leaves of a tree whose record numbers reach
// `max_rec` (R4): no room for growth, unlike a leaf started by insertion.
// False when no record-number field of at most 32 bits holds `max_rec`.
bool leaf_widths(B4NODE_HEADER *nh, int key_len, long max_rec)
{
    int bits = bit_length((unsigned long)key_len);
    int needed = bit_length(max_rec > 0 ? (unsigned long)max_rec : 0);
    int rec_bits = std::max(needed, (int)B4_MIN_REC_BITS);
    while ((rec_bits + 2 * bits) % 8 != 0)
        rec_bits++;
    if (rec_bits > B4_MAX_REC_BITS)
        rec_bits -= 8;
    if (rec_bits < needed)
        return false;
    nh->rec_num_len = (unsigned char)rec_bits;
    nh->dup_cnt_len = nh->trail_cnt_len = (unsigned char)bits;
    nh->rec_num_mask = rec_bits >= 32 ? 0xFFFFFFFFUL : (1UL << rec_bits) - 1;
    nh->dup_byte_cnt = nh->trail_byte_cnt = (unsigned char)((1U << bits) - 1);
    nh->info_len = (unsigned char)((rec_bits + 2 * bits) / 8);
    nh->free_space = B4_LEAF_ROOM;
    return true;
}

// The first block at or after `pos` that no header occupies.
long block_after(const R4REINDEX *r4, long pos)
{
    auto it = std::upper_bound(r4->slots.begin(), r4->slots.end(), pos - (long)I4_HEADER_LEN);
    for (; it != r4->slots.end() && *it < pos + (long)B4_BLOCK_SIZE; ++it)
        pos = *it + I4_HEADER_LEN;
    return pos;
}

R4BLOCK_DATA empty_level()
{
    R4BLOCK_DATA b{};
    b.header.left_node = b.header.right_node = -1;
    b.written = b.written_right = -1;
    return b;
}

void header_image(const TAG4 *t4, long root, unsigned long version, unsigned char *out);

// Writes up to `pos` what lies between the blocks written: zeros, and the
// header of a tag whose slot lies there as it stands (F3 of i4flight.cpp).
int write_to(R4REINDEX *r4, long pos)
{
    while (r4->write_pos < pos) {
        auto slot = std::lower_bound(r4->slots.begin(), r4->slots.end(), r4->write_pos);
        long upto = slot != r4->slots.end() && *slot < pos ? *slot : pos;
        int rc = file4seq_write_repeat(&r4->seqwrite, upto - r4->write_pos, '\0');
        TAG4 *owner = nullptr;
        for (TAG4 *t4 = (TAG4 *)l4first(&r4->index->tags); upto < pos && t4 != nullptr;
             t4 = (TAG4 *)l4next(&r4->index->tags, t4))
            if (t4->header_offset == upto)
                owner = t4;
        if (rc == 0 && owner != nullptr) {
            unsigned char head[I4_HEADER_LEN];
            header_image(owner, owner->header.root > 0 ? owner->header.root : 0, 0, head);
            rc = file4seq_write(&r4->seqwrite, head, sizeof head);
            upto += I4_HEADER_LEN;
        } else if (rc == 0 && upto < pos) {
            rc = file4seq_write_repeat(&r4->seqwrite, I4_HEADER_LEN, '\0');
            upto += I4_HEADER_LEN;
        }
        if (rc != 0)
            return rc < 0 ? rc : -1;
        r4->write_pos = upto;
    }
    return 0;
}

// Writes the image of `level` as the level's next block, linked to the
// block written before it on the level (R3), and clears it.
int level_out(R4REINDEX *r4, int level, short attribute, bool last)
{
    R4BLOCK_DATA &b = r4->start_block[(size_t)level];
    long pos = block_after(r4, r4->lastblock + B4_BLOCK_SIZE);
    if (pos > I4_LOCK_BYTE - B4_BLOCK_SIZE)
        return e4describe(r4->code_base, e4write, "File Name:", r4->index->file.name,
                          "Index would pass the addressable size of the file");
    r4->lastblock = pos;
    if (b.written >= 0 && b.written_right != pos) {
        // The block written before on the level guessed its right link
        // wrong: mended in the writer's buffer while it is still there.
        unsigned char right[4];
        util_putLe32(right, (uint32_t)pos);
        if (!file4seq_write_mend(&r4->seqwrite, b.written + B4_OFF_RIGHT, right, sizeof right))
            r4->patches.push_back({b.written, pos});
    }
    b.header.node_attribute = attribute;
    b.header.left_node = b.written;
    b.header.right_node = last ? -1 : block_after(r4, pos + B4_BLOCK_SIZE);
    bool leaf = attribute >= B4_ATTR_LEAF;
    b4put_header(&b.header, leaf ? &r4->node_hdr : nullptr, b.image);
    int rc = write_to(r4, pos);
    if (rc == 0)
        rc = file4seq_write(&r4->seqwrite, b.image, B4_BLOCK_SIZE);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    r4->write_pos = pos + B4_BLOCK_SIZE;
    b.written = pos;
    b.written_right = b.header.right_node;
    std::memset(b.image, 0, sizeof b.image);
    b.header.n_keys = 0;
    if (leaf) {
        r4->node_hdr.free_space = B4_LEAF_ROOM;
        r4->cur_pos = B4_BLOCK_SIZE;
    }
    return 0;
}

// Appends (key, rec, child) to the image of `level`.
int branch_append(R4REINDEX *r4, int level, const unsigned char *key, long rec, long child)
{
    if ((size_t)level >= r4->start_block.size()) {
        if (level >= I4_MAX_DEPTH)
            return e4describe(r4->code_base, e4index, r4->index->file.name, "Tree too deep", nullptr);
        r4->start_block.push_back(empty_level());
    }
    R4BLOCK_DATA &b = r4->start_block[(size_t)level];
    unsigned char *e = b.image + B4_BRANCH_BODY + (size_t)b.header.n_keys * (size_t)r4->grouplen;
    std::memcpy(e, key, (size_t)r4->valuelen);
    util_putBe32(e + r4->valuelen, (uint32_t)rec);
    util_putBe32(e + r4->valuelen + 4, (uint32_t)child);
    b.header.n_keys++;
    r4->n_blocks_used = std::max(r4->n_blocks_used, level);
    return 0;
}

// A full block of `level` goes to the file; the level above gets its
// entry, and is written out in turn when that fills it.
int r4reindex_todisk(R4REINDEX *r4, int level, const unsigned char *key, long rec)
{
    int rc = level_out(r4, level, level == 0 ? B4_ATTR_LEAF : B4_ATTR_BRANCH, false);
    if (rc == 0)
        rc = branch_append(r4, level + 1, key, rec, r4->lastblock);
    if (rc == 0 && r4->start_block[(size_t)level + 1].header.n_keys >= r4->keysmax)
        rc = r4reindex_todisk(r4, level + 1, key, rec);
    return rc;
}

// Adds the next key in order to the leaf being filled.
int leaf_add(R4REINDEX *r4, const unsigned char *key, long rec)
{
    const int kl = r4->valuelen;
    B4NODE_HEADER &nh = r4->node_hdr;
    int t = b4calc_blanks(key, kl, (unsigned char)r4->tag->p_char);
    int d = 0;
    if (r4->start_block[0].header.n_keys > 0) {
        d = std::min(b4calc_dups(key, r4->last_key, kl), kl - r4->last_trail);
        d = std::min(d, kl - t);
    }
    int stored = kl - d - t;
    if (r4->start_block[0].header.n_keys > 0 && nh.free_space < nh.info_len + stored) {
        int rc = r4reindex_todisk(r4, 0, r4->last_key, r4->last_rec);
        if (rc != 0)
            return rc;
        d = 0;
        stored = kl - t;
    }
    R4BLOCK_DATA &leaf = r4->start_block[0];
    r4->cur_pos -= stored;
    std::memcpy(leaf.image + r4->cur_pos, key + d, (size_t)stored);
    x4put_info(&nh, leaf.image + B4_LEAF_BODY + (size_t)leaf.header.n_keys * nh.info_len, rec, t, d);
    leaf.header.n_keys++;
    nh.free_space = (short)(nh.free_space - nh.info_len - stored);
    // The first d bytes are the last key's already.
    std::memcpy(r4->last_key + d, key + d, (size_t)(kl - d));
    r4->last_rec = rec;
    r4->last_trail = t;
    r4->has_last = 1;
    return 0;
}

// Writes the blocks still being filled, last on their levels; the top one
// is the root.
int r4reindex_finish(R4REINDEX *r4)
{
    if (r4->n_blocks_used == 0)
        return level_out(r4, 0, B4_ATTR_ROOT_LEAF, true);
    int rc = level_out(r4, 0, B4_ATTR_LEAF, true);
    for (int level = 1; rc == 0 && level <= r4->n_blocks_used; level++) {
        rc = branch_append(r4, level, r4->last_key, r4->last_rec, r4->lastblock);
        if (rc == 0)
            rc = level_out(r4, level, level == r4->n_blocks_used ? B4_ATTR_ROOT_BRANCH : B4_ATTR_BRANCH,
                           true);
    }
    return rc;
}

// The tree on disk: the writer flushed, then the right links that were
// guessed wrong mended (R2, R3).
int tree_flush(R4REINDEX *r4)
{
    int rc = file4seq_write_flush(&r4->seqwrite);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    for (const R4PATCH &p : r4->patches) {
        unsigned char buf[4];
        util_putLe32(buf, (uint32_t)p.right);
        rc = file4write(&r4->index->file, p.block + B4_OFF_RIGHT, buf, sizeof buf);
        if (rc != 0)
            return rc < 0 ? rc : -1;
    }
    r4->patches.clear();
    return 0;
}

// A tag header (or the directory's) as a build writes it.
void header_image(const TAG4 *t4, long root, unsigned long version, unsigned char *out)
{
    const T4HEADER &h = t4->header;
    std::memset(out, 0, I4_HEADER_LEN);
    util_putLe32(out + I4_OFF_ROOT, (uint32_t)root);
    util_putLe32(out + I4_OFF_FREE_LIST, (uint32_t)h.free_list);
    util_putBe32(out + I4_OFF_VERSION, (uint32_t)version);
    util_putLe16(out + I4_OFF_KEY_LEN, (uint16_t)h.key_len);
    out[I4_OFF_TYPE] = h.type_code;
    out[I4_OFF_SIGNATURE] = h.signature;
    if (t4 == t4->index->tag_index)
        i4flight_image(t4->index, out, 0);
    if (h.type_code >= I4_TYPE_DIRECTORY) {
        util_putLe16(out + I4_OFF_FILTER_POS, 1);
        util_putLe16(out + I4_OFF_FILTER_LEN, 1);
        util_putLe16(out + I4_OFF_EXPR_LEN, 1);
        return;
    }
    util_putLe16(out + I4_OFF_DESCENDING, (uint16_t)h.descending);
    util_putLe16(out + I4_OFF_FILTER_POS, (uint16_t)h.expr_len);
    util_putLe16(out + I4_OFF_FILTER_LEN, (uint16_t)h.filter_len);
    util_putLe16(out + I4_OFF_EXPR_LEN, (uint16_t)h.expr_len);
    std::memcpy(out + I4_OFF_EXPR, expr4source(t4->expr), (size_t)h.expr_len);
    if (t4->filter != nullptr)
        std::memcpy(out + I4_OFF_EXPR + h.expr_len, expr4source(t4->filter), (size_t)h.filter_len);
}

} // namespace

// The header at offset 0 (the directory's, or a single-tag file's only
// tag's) with no root, under a new version (R1): other processes wait for
// the rebuild (S4 of i4lock.cpp).
int r4reindex_mark_damaged(INDEX4 *i4)
{
    T4HEADER &h = i4->tag_index->header;
    int rc = i4->file.is_exclusive ? 0 : i4version_step(i4);
    unsigned char head[I4_HEADER_LEN];
    header_image(i4->tag_index, 0, h.version, head);
    i4flight_image(i4, head, 1);
    if (rc == 0)
        rc = file4write(&i4->file, 0, head, sizeof head);
    if (rc == 0)
        i4->version_old = h.version & kVersionMask;
    // F3: the tags' own headers before any tree block, for mending, each
    // with the root it has (none in a new file).
    if (is_compound(i4))
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); rc == 0 && t4 != nullptr;
             t4 = (TAG4 *)l4next(&i4->tags, t4)) {
            unsigned char root[4] = {0};
            if (t4->header.root > 0)
                util_putLe32(root, (uint32_t)t4->header.root);
            else if (file4read_count(&i4->file, t4->header_offset + I4_OFF_ROOT, root, sizeof root) != sizeof root)
                std::memset(root, 0, sizeof root);
            header_image(t4, (long)(int32_t)util_getLe32(root), t4->header.version, head);
            rc = file4write(&i4->file, t4->header_offset, head, sizeof head);
        }
    return rc;
}

namespace {

// Sorts the tag names with the offsets of their headers and writes the
// directory's tree.
int write_directory(R4REINDEX *r4)
{
    INDEX4 *i4 = r4->index;
    int rc = sort4init(&r4->sort, r4->code_base, I4_DIR_KEY_LEN, 0);
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); rc == 0 && t4 != nullptr;
         t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        char name[I4_DIR_KEY_LEN];
        std::memset(name, ' ', sizeof name);
        std::memcpy(name, t4->alias, std::strlen(t4->alias));
        rc = sort4put(&r4->sort, t4->header_offset, name, nullptr);
    }
    if (rc == 0)
        rc = sort4get_init(&r4->sort);
    if (rc == 0)
        rc = r4reindex_write_keys(r4, i4->tag_index);
    return rc;
}

// Where a key that is one character field lies in the record (the key is
// then those bytes as they stand), or -1 when the key is evaluated.
long plain_field(const e4expr_st *expr)
{
    if (expr->info_n != 1 || expr->type != E4TYPE_CHAR || expr->has_trim)
        return -1;
    E4FUNC f = v4functions[expr->info[0].function_i].function_ptr;
    if (f != v4functions[E4ROW_FIELD_C].function_ptr && f != v4functions[E4ROW_FIELD_COPY].function_ptr)
        return -1;
    return expr->info[0].i1;
}

} // namespace

int r4filter_kind(const e4expr_st *filter)
{
    if (filter == nullptr)
        return R4FILTER_NONE;
    if (filter->info_n == 2 &&
        v4functions[filter->info[0].function_i].function_ptr == v4functions[E4ROW_DELETED].function_ptr &&
        v4functions[filter->info[1].function_i].function_ptr == v4functions[E4ROW_NOT].function_ptr)
        return R4FILTER_NOT_DELETED;
    return R4FILTER_EVALUATED;
}

// ---- The steps of a rebuild ----------------------------------------------------

int r4reindex_init(R4REINDEX *r4, INDEX4 *i4)
{
    CODE4 *c4 = i4->code_base;
    r4->index = i4;
    r4->data = i4->data;
    r4->code_base = c4;
    r4->sort.file.hand = -1;
    r4->sort.code_base = c4;
    r4->lastblock = I4_HEADER_LEN - B4_BLOCK_SIZE;
    TAG4 *dir = i4->tag_index;
    std::vector<TAG4 *> tags = list_tags(i4);
    if (!is_compound(i4) && (tags.size() != 1 || tags[0] != dir))
        return e4describe(c4, e4index, "Corrupt IDX FoxPro index file", i4->file.name, nullptr);
    r4->rec_count = d4reccount(r4->data);
    if (r4->rec_count < 0)
        return -1;

    r4->slots.push_back(0);
    if (is_compound(i4))
        for (TAG4 *t4 : tags)
            r4->slots.push_back(t4->header_offset);
    std::sort(r4->slots.begin(), r4->slots.end());
    for (size_t k = 1; k < r4->slots.size(); k++)
        if (r4->slots[k] % B4_BLOCK_SIZE != 0 || r4->slots[k] < r4->slots[k - 1] + I4_HEADER_LEN)
            return i4corrupt(i4, -1);

    int rc = t4free_all(dir);
    for (TAG4 *t4 : tags) {
        r4->n_tags++;
        int r = t4 == dir ? 0 : t4free_all(t4);
        if (r != 0 && rc == 0)
            rc = r;
        int key_len = expr4key_len(t4->expr);
        if (key_len < 1 || key_len > I4_MAX_KEY_LEN)
            return e4describe(c4, e4index, i4->file.name, "Key length must be 1 to 240:", t4->alias);
        t4->header.key_len = (short)key_len;
        if (rc == 0)
            rc = t4init_seek_conv(t4, expr4type(t4->expr));
        // The texts as written: each up to its first terminator.
        t4->header.expr_len = (short)(std::strlen(expr4source(t4->expr)) + 1);
        t4->header.filter_len = (short)(t4->filter != nullptr ? std::strlen(expr4source(t4->filter)) + 1 : 1);
        t4->header.filter_pos = t4->header.expr_len;
        t4->header.expr_pos = 0;
    }
    if (rc != 0)
        return rc < 0 ? rc : -1;

    r4->buffer_len = kBufferLen;
    r4->read_len = std::max(kBufferLen, r4->data->record_width);
    r4->buffer = (char *)mem4work_alloc(c4, r4->buffer_len);
    r4->read_buffer = (char *)mem4work_alloc(c4, r4->read_len);
    if (r4->buffer == nullptr || r4->read_buffer == nullptr)
        return e4(c4, e4memory, "Sorting");
    r4->write_pos = block_after(r4, I4_HEADER_LEN);
    file4seq_write_init(&r4->seqwrite, &i4->file, r4->write_pos, r4->buffer, r4->buffer_len);
    return 0;
}

int r4reindex_supply_keys(R4REINDEX *r4, TAG4 *t4)
{
    DATA4 *d4 = r4->data;
    const int key_len = t4->header.key_len;
    int rc = sort4init(&r4->sort, r4->code_base, key_len, 0);
    if (rc != 0)
        return rc;
    // At most one key per record.
    sort4expect(&r4->sort, (unsigned long)r4->rec_count);
    const long field = plain_field(t4->expr);
    const int filter = r4filter_kind(t4->filter);
    const unsigned width = d4->record_width;
    const long per_read = (long)(r4->read_len / width);
    // Whole records are read straight into the reader's buffer (no buffer
    // of the file layer between), and the record pointer stands on each in
    // turn while its key is taken; it is put back before returning.
    FILE4SEQ_READ reader;
    // The first record starts right after the header.
    file4seq_read_init(&reader, &d4->file, (long)d4->header_len, nullptr, 0);
    char *const own_record = d4->record;
    // Run through the guard so that the record pointer is put back also
    // when memory runs out on the way.
    rc = e4guard(r4->code_base, e4memory, [&] {
        for (long first = 1; rc == 0 && first <= r4->rec_count; first += per_read) {
            long count = std::min(per_read, r4->rec_count - first + 1);
            rc = file4seq_read_all(&reader, r4->read_buffer, (unsigned)(count * (long)width));
            if (rc != 0) {
                rc = rc < 0 ? rc : -1;
                break;
            }
            for (long i = 0; rc == 0 && i < count; i++) {
                char *record = r4->read_buffer + (size_t)i * width;
                d4->record = record;
                d4->rec_num = first + i;
                for (int m = 0; m < d4->n_fields_memo; m++)
                    f4memo_reset(d4->fields_memo[m].field);
                if (filter == R4FILTER_NOT_DELETED) {
                    if (record[0] == '*')
                        continue;
                    t4->has_keys = 1;
                } else if (filter == R4FILTER_EVALUATED) {
                    int keep = expr4true(t4->filter);
                    if (keep <= 0) {
                        rc = keep;
                        continue;
                    }
                    t4->has_keys = 1;
                }
                char *key = record + field;
                if (field < 0) {
                    int len = expr4key(t4->expr, &key);
                    if (len != key_len) {
                        rc = len < 0 ? -1 : i4corrupt(t4->index, -1);
                        break;
                    }
                }
                rc = sort4put(&r4->sort, first + i, key, nullptr);
            }
        }
        return rc;
    });
    d4->record = own_record;
    return rc == 0 ? sort4get_init(&r4->sort) : rc;
}

int r4reindex_write_keys(R4REINDEX *r4, TAG4 *t4)
{
    r4->tag = t4;
    r4->valuelen = t4->header.key_len;
    r4->grouplen = r4->valuelen + B4_BRANCH_EXTRA;
    r4->keysmax = B4_BRANCH_ROOM / r4->grouplen;
    r4->start_block.assign(1, empty_level());
    r4->n_blocks_used = 0;
    r4->has_last = 0;
    r4->cur_pos = B4_BLOCK_SIZE;
    // R4: the directory's record numbers are header offsets.
    bool directory = t4->header.type_code >= I4_TYPE_DIRECTORY;
    if (!leaf_widths(&r4->node_hdr, r4->valuelen, directory ? r4->slots.back() : r4->rec_count))
        return e4describe(r4->code_base, e4index, r4->index->file.name, "Too many records for the key",
                          t4->alias);
    bool unique = !directory && (t4->header.type_code & I4_TYPE_UNIQUE) != 0;

    long rec;
    char *key;
    int rc;
    while ((rc = r4->source != nullptr ? r4->source->next(r4->source->ctx, &rec, &key)
                                       : sort4get(&r4->sort, &rec, &key, nullptr)) == 0) {
        const unsigned char *k = (const unsigned char *)key;
        if (unique && r4->has_last && std::memcmp(k, r4->last_key, (size_t)r4->valuelen) == 0) {
            // The record with the lowest number keeps the key.
            if (t4->unique_error == e4unique)
                return e4describe(r4->code_base, e4unique, "Creating Tag", t4->alias, nullptr);
            if (t4->unique_error == r4unique)
                return r4unique;
            continue;
        }
        rc = leaf_add(r4, k, rec);
        if (rc != 0)
            return rc;
    }
    if (rc < 0)
        return rc;
    rc = r4reindex_finish(r4);
    if (rc == 0)
        rc = tree_flush(r4);
    if (rc == 0) {
        t4->header.root = r4->lastblock;
        t4->root_write = 0;
    }
    return rc;
}

int r4reindex_tag_headers_write(R4REINDEX *r4)
{
    INDEX4 *i4 = r4->index;
    TAG4 *dir = i4->tag_index;
    long eof = std::max(r4->lastblock + (long)B4_BLOCK_SIZE, r4->slots.back() + (long)I4_HEADER_LEN);
    int rc = write_to(r4, eof);
    if (rc == 0)
        rc = file4seq_write_flush(&r4->seqwrite);
    if (rc == 0)
        rc = file4len_set(&i4->file, eof);
    dir->header.free_list = 0;
    unsigned char head[I4_HEADER_LEN];
    if (is_compound(i4))
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); rc == 0 && t4 != nullptr;
             t4 = (TAG4 *)l4next(&i4->tags, t4)) {
            header_image(t4, t4->header.root, t4->header.version, head);
            rc = file4write(&i4->file, t4->header_offset, head, sizeof head);
        }
    if (rc != 0)
        return rc < 0 ? rc : -1;
    // R5: the header at offset 0 last; until it is written the file reads
    // as damaged.
    header_image(dir, dir->header.root, dir->header.version, head);
    rc = file4write(&i4->file, 0, head, sizeof head);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    i4->eof = eof;
    i4->version_old = dir->header.version & kVersionMask;
    return 0;
}

void r4reindex_free(R4REINDEX *r4)
{
    sort4free(&r4->sort);
    mem4work_free(r4->code_base, r4->buffer);
    mem4work_free(r4->code_base, r4->read_buffer);
    mem4work_trim(r4->code_base, MEM4_WORK_AFTER);
    r4->buffer = r4->read_buffer = nullptr;
    r4->start_block.clear();
    r4->patches.clear();
}

// ---- Rebuilding, creating ----------------------------------------------------------

namespace {

// The table's memo entries set aside while a rebuild reads every record
// through them, and put back afterwards: a record being written or
// appended keeps its texts, and its current record number.
struct RecordKept {
    DATA4 *d4;
    long rec_num;
    std::vector<F4MEMO> memos;
    explicit RecordKept(DATA4 *d) : d4(d), rec_num(d->rec_num)
    {
        for (int i = 0; i < d4->n_fields_memo; i++) {
            F4MEMO &m = d4->fields_memo[i];
            memos.push_back(m);
            m.contents = f4memo_null_char;
            m.len = m.len_max = 0;
            m.status = 1;
            m.is_changed = 0;
        }
    }
    ~RecordKept()
    {
        for (int i = 0; i < d4->n_fields_memo; i++) {
            f4memo_free(d4->fields_memo[i].field);
            d4->fields_memo[i] = memos[(size_t)i];
        }
        d4->rec_num = rec_num;
    }
    RecordKept(const RecordKept &) = delete;
    RecordKept &operator=(const RecordKept &) = delete;
};

} // namespace

int r4rebuild(INDEX4 *i4, const R4SOURCE *from)
{
    DATA4 *d4 = i4->data;
    // The records kept back, and their count, are on disk before a tree
    // that names them can be called whole (A11 of d4record.cpp).
    if (d4 != nullptr && d4write_behind(d4) != 0)
        return -1;
    RecordKept kept(d4);
    R4REINDEX r4{};
    bool started = false;
    // Through the guard, so that the work memory goes back however the
    // build stops.
    int rc = e4guard(i4->code_base, e4memory, [&] {
        int r = r4reindex_init(&r4, i4);
        if (r == 0) {
            started = true;
            r = r4reindex_mark_damaged(i4);
        }
        if (r == 0 && is_compound(i4))
            r = write_directory(&r4);
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); r == 0 && t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
            r = from != nullptr ? from->start(from->ctx, &r4, t4) : 1;
            r4.source = r == 0 ? from : nullptr;
            if (r == 1)
                r = r4reindex_supply_keys(&r4, t4);
            if (r == 0)
                r = r4reindex_write_keys(&r4, t4);
            r4.source = nullptr;
            sort4free(&r4.sort);
        }
        return r == 0 ? r4reindex_tag_headers_write(&r4) : r;
    });
    r4reindex_free(&r4);
    if (rc != 0 && started) {
        // R1: nothing of the tree read before the failure is trusted.
        i4->tag_index->header.root = 0;
        for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4))
            t4->header.root = -1;
    }
    return rc;
}

int i4reindex(INDEX4 *i4)
{
    if (i4 == nullptr || i4->tag_index == nullptr || i4->data == nullptr)
        return -1;
    if (i4->code_base->error_code < 0)
        return -1;
    // R6: a change of the current record reaches the file first, so that
    // the rebuild reads it and nothing written later takes a key back.
    DATA4 *d4 = i4->data;
    int rc = d4->rec_num > 0 && d4->record_changed ? d4update_record(d4, 0) : 0;
    if (rc == 0)
        rc = i4lock(i4);
    return rc != 0 ? rc : r4rebuild(i4);
}

// i4create; with `replace` an index file of that name is written over in
// place as a rebuild writes one: under its lock, its version followed, never
// cut short before its blocks are, so that other processes that have it
// open meet the rebuild's mark, or blocks that do not check, and read
// again (S1, S3 and S4 of i4lock.cpp).
INDEX4 *r4create_index(DATA4 *d4, const char *file_name, const TAG4INFO *tag_data, int replace)
{
    if (d4 == nullptr || d4->code_base == nullptr || d4->code_base->error_code < 0)
        return nullptr;
    CODE4 *c4 = d4->code_base;
    c4->error_code = 0;
    if (d4lock_file(d4) != 0)
        return nullptr;
    // The production index is named after the table, path kept.
    std::vector<char> name;
    INDEX4 *i4 = i4alloc(d4, file_name, &name, nullptr);
    if (i4 == nullptr)
        return nullptr;
    int rc = name.empty() ? -1 : 1;
    if (rc > 0 && replace) {
        int open_error = c4->open_error;
        c4->open_error = 0;
        rc = file4open(&i4->file, c4, name.data(), 1);
        c4->open_error = open_error;
        if (rc > 0)
            c4->error_code = 0; // not there: made new
    }
    if (rc > 0)
        rc = file4create(&i4->file, c4, name.data(), 1);
    if (rc != 0) {
        int soft = rc > 0 ? c4->error_code : 0;
        i4close(i4);
        if (soft > 0)
            c4->error_code = soft;
        return nullptr;
    }
    l4add(&d4->indexes, i4);
    i4->block_memory = mem4create(c4, (int)c4->mem_start_block, sizeof(B4BLOCK), c4->mem_expand_block, 0);
    TAG4 *dir = i4tag_alloc(c4);
    if (i4->block_memory == nullptr || dir == nullptr) {
        if (dir != nullptr)
            l4add(&i4->tags, dir);
        else
            e4(c4, e4memory, nullptr);
        i4close(i4);
        return nullptr;
    }
    i4->tag_index = dir;
    dir->index = i4;
    dir->header.root = -1;
    dir->header.key_len = I4_DIR_KEY_LEN;
    dir->header.type_code = I4_TYPE_DIRECTORY | I4_TYPE_COMPOUND | I4_TYPE_COMPACT;
    u4name_piece(dir->alias, (int)sizeof dir->alias, i4->file.name, 0, 0);
    t4init_seek_conv(dir, E4TYPE_CHAR);

    long offset = I4_HEADER_LEN;
    for (const TAG4INFO *info = tag_data; rc == 0 && info != nullptr && info->name != nullptr;
         info++, offset += I4_HEADER_LEN) {
        TAG4 *t4 = i4tag_alloc(c4);
        if (t4 == nullptr) {
            rc = e4memory;
            break;
        }
        // Listed first, so that closing the index releases it whatever
        // happens next.
        l4add(&i4->tags, t4);
        rc = t4init_info(t4, i4, info);
        t4->header_offset = offset;
        if (rc == 0 && c4->error_code < 0)
            rc = -1;
    }
    int built = rc == 0 ? i4reindex(i4) : 0;
    if (rc == 0)
        rc = built;
    if (rc == 0 && file_name == nullptr) {
        unsigned char flags = 0;
        rc = file4read_all(&d4->file, D4_OFF_HAS_MDX, &flags, 1);
        flags |= D4_HAS_MDX_BIT;
        if (rc == 0)
            rc = file4write(&d4->file, D4_OFF_HAS_MDX, &flags, 1);
        if (rc == 0)
            d4->has_mdx = 1;
    }
    if (rc != 0) {
        i4close(i4);
        // What stopped the build stays pending in the context: a refused
        // unique key, or the build's own error code.
        if (built == r4unique || built < 0)
            c4->error_code = built;
        return nullptr;
    }
    return i4;
}

INDEX4 *i4create(DATA4 *d4, const char *file_name, const TAG4INFO *tag_data)
{
    return e4guard(d4 == nullptr ? nullptr : d4->code_base, nullptr,
                   [&] { return r4create_index(d4, file_name, tag_data, 0); });
}

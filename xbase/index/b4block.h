// B-tree blocks of a compound index: the 512-byte branch and leaf images,
// their in-memory buffer, and every operation on one block (reading keys
// back, searching, skipping, inserting, removing, widening the record-number
// field, splitting).
//
// Common block header (little-endian):
//    0 2  node attribute: 0 branch, 1 root branch, 2 leaf, 3 root leaf
//    2 2  number of entries
//    4 4  left neighbour on the same level, -1 none
//    8 4  right neighbour on the same level, -1 none
//
// Branch entry i at 12 + i * (key_len + 8); at most 500 / (key_len + 8):
//    0        key_len  greatest key of the child's subtree, in full
//    key_len  4        record number of that key, big-endian
//    +4       4        block pointer of the child, big-endian
//
// Leaf node header and body (little-endian):
//   12 2  free space between the info array and the key bytes
//   14 4  record-number mask (low R bits)
//   18 1  duplicate-count mask (low D bits)   19 1  trailing-count mask (low T bits)
//   20 1  R   21 1  D   22 1  T   23 1  info length = (R + D + T) / 8
//   24 .. info entries, entry 0 first: an info-length little-endian integer,
//         bits 0..R-1 record number, then D bits duplicate count d, then T
//         bits trailing count t
//   ..    free space (zero)
//   ..511 stored key bytes: entry 0's at the very end, each next entry's
//         directly below; entry i stores key_len - d - t bytes. Its key is
//         d bytes of entry i-1's key, the stored bytes, t padding bytes.
//
// What the operations keep true of a leaf buffer: info array + stored bytes
// + free space = 488; every entry's d + t <= key_len and entry 0's d = 0;
// d never exceeds the bytes the entry really shares with the key before it;
// keys ascend. A buffer read from the file is trusted only after
// b4verify, which checks exactly these sizes and every block pointer.
#ifndef CATALOGR_B4BLOCK_H
#define CATALOGR_B4BLOCK_H

#include "xbase/index/i4index.h"

enum {
    B4_BLOCK_SIZE = 512,
    B4_OFF_ATTRIBUTE = 0,
    B4_OFF_N_KEYS = 2,
    B4_OFF_LEFT = 4,
    B4_OFF_RIGHT = 8,
    B4_BRANCH_BODY = 12,        // first branch entry
    B4_BRANCH_ROOM = 500,       // bytes for branch entries
    B4_BRANCH_EXTRA = 8,        // record number and child after each branch key
    B4_OFF_FREE_SPACE = 12,
    B4_OFF_REC_MASK = 14,
    B4_OFF_DUP_MASK = 18,
    B4_OFF_TRAIL_MASK = 19,
    B4_OFF_REC_LEN = 20,
    B4_OFF_DUP_LEN = 21,
    B4_OFF_TRAIL_LEN = 22,
    B4_OFF_INFO_LEN = 23,
    B4_LEAF_BODY = 24,          // first info entry
    B4_LEAF_ROOM = 488,         // info array + free space + key bytes
    B4_MAX_REC_BITS = 32,
    B4_MAX_COUNT_BITS = 8,
    B4_MIN_REC_BITS = 12,
    B4_ATTR_BRANCH = 0,
    B4_ATTR_ROOT_BRANCH = 1,
    B4_ATTR_LEAF = 2,
    B4_ATTR_ROOT_LEAF = 3
};

// Bytes 0-11 of every block.
struct B4STD_HEADER {
    short node_attribute;
    short n_keys;
    long left_node;
    long right_node;
};

// Bytes 12-23 of a leaf (branch entries use those bytes).
struct B4NODE_HEADER {
    short free_space;
    unsigned long rec_num_mask;
    unsigned char dup_byte_cnt;
    unsigned char trail_byte_cnt;
    unsigned char rec_num_len;
    unsigned char dup_cnt_len;
    unsigned char trail_cnt_len;
    unsigned char info_len;
};

// The key record (i4index.h) fits the context's saved key.
static_assert(sizeof(B4KEY_DATA) <= sizeof(CODE4::saved_key),
              "the context's saved key holds one key with its record number");

// One block in memory. `header` (and `node_hdr` in a leaf) are the decoded
// first 24 bytes and are what the operations change; they are put back into
// `image` when the block is written. The rest of `image` is the block body.
struct B4BLOCK {
    LINK4 link;
    TAG4 *tag;
    int changed;
    long file_block;    // -1 while the buffer holds no block
    int key_on;         // current entry; n_keys = past the last
    int cur_trail_cnt;  // trailing count of the entry last inserted
    int cur_dup_cnt;    // bytes the last searched value shares with the entry before key_on
    int cur_pos;        // leaf: image offset of entry key_on's stored bytes
    // The entry whose key is in the tag's work key (TAG4::built_key), or
    // -1: always -1 while another buffer is the tag's `built_by`, so that
    // one key per tag serves all its buffers, not one in each buffer.
    int built_on;
    int built_pos;      // image offset of entry built_on's stored bytes
    B4STD_HEADER header;
    B4NODE_HEADER node_hdr;
    unsigned char image[B4_BLOCK_SIZE];
    int listed;         // among the index's changed saved buffers (i4cache.cpp)
    int cache_node;     // its node in the index's cache while held, -1 none (i4cache.cpp)
};

// Buffers.
B4BLOCK *b4alloc(TAG4 *t4, long file_block);
void b4free(B4BLOCK *b4);
// Makes a buffer that is on no path and not saved a buffer of `t4`: it
// gives up its old tag's work key first, so that no tag names a buffer
// of another.
void b4set_tag(B4BLOCK *b4, TAG4 *t4);
// Decodes the header from the image, then checks it: 0, or 1 when the
// block breaks the format (nothing reported).
int b4check(B4BLOCK *b4);
// b4check, reporting a block that breaks the format as -310 with the file
// name and the block's offset.
int b4verify(B4BLOCK *b4);
int b4flush(B4BLOCK *b4);
// Encodes the common header, and a leaf's node header when `node_hdr` is
// given, into the first bytes of a block image.
void b4put_header(const B4STD_HEADER *header, const B4NODE_HEADER *node_hdr, unsigned char *image);
// An empty leaf whose field widths suit record numbers up to `max_rec`.
void b4leaf_init(B4BLOCK *b4, long max_rec);

// Position and keys.
int b4leaf(const B4BLOCK *b4);
int b4lastpos(const B4BLOCK *b4);
void b4top(B4BLOCK *b4);
void b4go_eof(B4BLOCK *b4);
void b4go(B4BLOCK *b4, int i);
long b4skip(B4BLOCK *b4, long n);
// Entry i's full key and record number (branch: child pointer); null when
// there is no entry i. Valid until the block changes or another key of the
// tag is read or searched for: every buffer of a tag decodes into the
// tag's one work key.
B4KEY_DATA *b4key(B4BLOCK *b4, int i);
// As b4key, for a walk through a leaf: entry i decoded over entry i - 1
// when the work key holds that one, with `*order` -1, 0 or 1 as entry i's
// key is smaller than, equal to or greater than entry i - 1's; 2 when the
// entry was decoded some other way (the first of the leaf, or the work key
// held another entry).
B4KEY_DATA *b4key_next(B4BLOCK *b4, int i, int *order);
unsigned char *b4key_key(B4BLOCK *b4, int i);
// Branch entry i's child block, read without decoding its key (the tag's
// work key stays where it is); -1 when there is no entry i.
long b4child(const B4BLOCK *b4, int i);
long b4recno(B4BLOCK *b4, int i);

// Searches: 0 found, 2 not found; key_on is the first entry not smaller.
int b4seek(B4BLOCK *b4, const char *value, int len);
// b4seek that, in a leaf, also leaves the key before the entry found
// decoded, so that a change there reads no key again.
int b4seek_decoding(B4BLOCK *b4, const char *value, int len);
int b4r_brseek(B4BLOCK *b4, const char *value, int len, long recno);

// Changes. Insertion and removal answer 0, or 1 when the block lacks room
// (it is then unchanged). In a leaf, `rec2` is the largest record number
// the leaf must be able to hold when it is empty and not yet formatted
// (b4leaf_init); in a branch, the entry's record number.
int b4insert(B4BLOCK *b4, const void *key, long rec, long rec2, int new_flag);
int b4remove(B4BLOCK *b4);
void b4br_replace(B4BLOCK *b4, const void *key, long rec);
int b4reindex(B4BLOCK *b4);

// Splits the full block `old` for a pending entry at old->key_on (for a
// leaf, `key` and `rec`) and returns the new right-hand neighbour, or null.
// `*dest` is then the block the pending entry belongs in, at its key_on.
// A leaf is split by bytes so that the pending entry fits whenever two
// blocks can hold everything; when it cannot, `*dest` is `old` with the
// pending entry at its end, and splitting `*dest` again gives the pending
// entry a block of its own.
B4BLOCK *t4split(TAG4 *t4, B4BLOCK *old, const void *key, long rec, B4BLOCK **dest);

// Writes `link` into the left (B4_OFF_LEFT) or right (B4_OFF_RIGHT)
// neighbour field of block `pos`, in the file at once and then in the
// buffer that holds the block. A write that fails leaves the buffer as it
// was and puts the field's old bytes back in the file (as far as the file
// takes them).
int b4set_link(INDEX4 *i4, long pos, int field, long link);

// Key bytes.
int t4cdx_cmp(const void *stored, const void *value, unsigned len);
int b4calc_blanks(const void *key, int len, int p_char);
int b4calc_dups(const void *a, const void *b, int len);

// Leaf info entries.
long x4recno(const B4BLOCK *b4, int i);
int x4dup_cnt(const B4BLOCK *b4, int i);
int x4trail_cnt(const B4BLOCK *b4, int i);
// Packs record number, then duplicate and trailing counts, least
// significant byte first. Inline: the tree writer packs one per key.
inline void x4put_info(const B4NODE_HEADER *node_hdr, unsigned char *buffer, long rec, int trail, int dup)
{
    auto low_bits = [](int n) { return n >= 32 ? 0xFFFFFFFFUL : (1UL << n) - 1; };
    uint64_t v = (uint64_t)((unsigned long)rec & node_hdr->rec_num_mask);
    v |= (uint64_t)((unsigned)dup & low_bits(node_hdr->dup_cnt_len)) << node_hdr->rec_num_len;
    v |= (uint64_t)((unsigned)trail & low_bits(node_hdr->trail_cnt_len))
         << (node_hdr->rec_num_len + node_hdr->dup_cnt_len);
    for (int k = 0; k < node_hdr->info_len; k++) {
        buffer[k] = (unsigned char)(v & 0xFF);
        v >>= 8;
    }
}

#endif

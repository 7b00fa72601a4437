// Building whole index files from the data file: the tag directory and
// every tag's B-tree written bottom-up from keys sorted in advance, the tag
// headers last. Creating an index (i4create) and rebuilding one
// (i4reindex); d4reindex (d4tag.h), which packing uses, rebuilds every
// index of a table through these.
//
// File after a build (block formats in b4block.h, headers in i4index.h):
//   0         directory header (1024 bytes); the tag's own header in a
//             single-tag file
//   slots     every tag's header (1024 bytes) at its header offset: a tag
//             keeps the offset it has, a new index puts the i-th tag of its
//             list at 1024 * i
//   the rest  the directory's tree, then each tag's tree in list order, in
//             the 512-byte blocks no header occupies, ascending; the file
//             ends after the last block or header, the free list is empty
//
// A rebuild keeps true:
//  R1. From its first write until its last, the header at offset 0 names
//      no root (0) and lists the tags, whose headers are written first: a
//      rebuild that stops part way leaves an index that the next holder of
//      its lock rebuilds (i4mend), or reports as damaged (-310) when it
//      cannot, never a partial index read as whole (mark_damaged,
//      r4reindex_tag_headers_write). A pack marks its indexes so before the
//      first record moves (d4reindex_mark).
//  R2. The record reader and the index writer have buffers of their own,
//      and the writer is flushed after every tree and before any header is
//      written (tree_flush, r4reindex_tag_headers_write).
//  R3. Every tree's blocks are written once, in ascending file order, each
//      level from its first block to its last; a block's left link is the
//      block written before it on its level, its right link the one after
//      (a guess proved wrong is mended in the writer's buffer while the
//      block is still there, else once the tree is on disk), and the
//      ends of every level link to -1 (level_out, r4reindex_finish).
//  R4. Leaf record-number fields are wide enough for the largest number the
//      tree holds: the table's record count, or for the directory the
//      largest header offset (leaf_widths).
//  R5. Tag headers are written after every tree, the header at offset 0
//      last of all (r4reindex_tag_headers_write).
//  R6. A rebuild asked for (i4reindex, d4reindex, and so i4create and
//      d4pack) first writes back a changed current record; every rebuild
//      leaves the table's current record number and memo entries as they
//      were (r4rebuild), so that one made inside a write or an append
//      (a repair) takes nothing from it.
#ifndef CATALOGR_R4REINDEX_H
#define CATALOGR_R4REINDEX_H

#include <vector>

#include "xbase/index/b4block.h"
#include "xbase/index/i4index.h"
#include "xbase/index/s4sort.h"

struct R4REINDEX;

// Where a rebuild takes a tag's keys from other than the records (a pack
// takes them from the tags it had, r4retag.cpp). `start` readies the tag
// (the rebuild under way is `r4`): 0 to take its keys from `next`, 1 to
// read the records for it as always, or a negative result. `next` gives
// the tag's entries in the order a sort of the records gives (key, then
// record number): 0 with the next one, 1 at the end, or a negative result.
struct R4SOURCE {
    int (*start)(void *ctx, const R4REINDEX *r4, TAG4 *t4);
    int (*next)(void *ctx, long *rec, char **key);
    void *ctx;
};

enum { R4FILTER_NONE, R4FILTER_NOT_DELETED, R4FILTER_EVALUATED };
// What a tag's filter asks: nothing; ".NOT. DELETED()", the filter of most
// tags, read from the deletion flag; or an evaluation.
int r4filter_kind(const e4expr_st *filter);

// One level's block while a tree is written.
struct R4BLOCK_DATA {
    B4STD_HEADER header;
    unsigned char image[B4_BLOCK_SIZE];
    long written;       // the level's last block written, -1 none
    long written_right; // the right link that block was written with
};

// A right link written as a guess and mended after the tree is on disk.
struct R4PATCH {
    long block;
    long right;
};

struct R4REINDEX {
    TAG4 *tag;                  // tree being written (the directory too)
    INDEX4 *index;
    int n_tags;                 // tags, the directory not counted
    int cur_pos;                // lowest used key byte of the leaf being filled
    B4NODE_HEADER node_hdr;     // field widths and free space of that leaf
    int n_blocks_used;          // highest level that has an entry
    int grouplen;               // branch entry: key_len + 8
    int valuelen;               // key_len
    int keysmax;                // branch entries per block
    long lastblock;             // last block handed out
    SORT4 sort;
    const R4SOURCE *source;     // the keys of the tree being written; null: the sort
    FILE4SEQ_WRITE seqwrite;    // on the index file
    char *buffer;               // the writer's buffer
    unsigned buffer_len;
    std::vector<R4BLOCK_DATA> start_block;  // one image per level, leaves first
    DATA4 *data;
    CODE4 *code_base;
    // The reader's own buffer, never the writer's.
    char *read_buffer;
    unsigned read_len;
    long rec_count;             // records read for every tag
    long write_pos;             // where the writer's next byte goes
    std::vector<long> slots;    // header offsets, ascending, 0 first
    std::vector<R4PATCH> patches;
    unsigned char last_key[I4_MAX_KEY_LEN];
    long last_rec;
    int last_trail;
    int has_last;               // the tree has at least one entry
};

// Rebuilds the index from the data file, a changed current record written
// back first (R6): 0; 20 when a unique tag met a duplicate under policy
// 20; a lock's or the write-back's nonzero result; or a negative error.
// Anything other than 0 after the first write leaves the index marked
// damaged (R1).
int i4reindex(INDEX4 *i4);
// The rebuild itself, under the index lock this process holds: nothing is
// written back, and the current record is left as it was (R6). With
// `from`, each tag's keys come from it where its `start` says so.
int r4rebuild(INDEX4 *i4, const R4SOURCE *from = nullptr);

// i4create; with `replace` an index file of that name is written over in
// place as a rebuild writes one (under its lock, its version followed).
INDEX4 *r4create_index(DATA4 *d4, const char *file_name, const TAG4INFO *tag_data, int replace);
// The header at offset 0 with no root, under a new version, the tags'
// own headers before any tree block (R1).
int r4reindex_mark_damaged(INDEX4 *i4);

// The steps of a rebuild.
int r4reindex_init(R4REINDEX *r4, INDEX4 *i4);
int r4reindex_supply_keys(R4REINDEX *r4, TAG4 *t4);
int r4reindex_write_keys(R4REINDEX *r4, TAG4 *t4);
int r4reindex_tag_headers_write(R4REINDEX *r4);
void r4reindex_free(R4REINDEX *r4);

#endif

// Tags in use: the path of block buffers from a tag's root to its current
// leaf entry; top, bottom, skip, seek and going to a key and record; adding
// and removing keys with splits carried up to the root and emptied blocks
// given back to the free list; keys computed from records; and the checker
// of a whole tree.
//
// What the tag operations keep true:
//  T1. A tag's path is empty or runs from its root to a leaf, each block's
//      current entry leading to the next block; every operation that
//      changes the tree ends positioned on a leaf entry or with an empty
//      path (t4add, t4remove).
//  T2. Every branch entry holds the greatest (key, record number) of its
//      child: a change of a block's greatest entry replaces the parent's
//      entry for it, and goes further up only while that entry was its
//      block's last (carry_up, insert_at, remove_current).
//  T3. Keys ascend in (key, record number) order along each level and
//      sibling links are symmetric; a split block's new neighbour, and the
//      neighbours of a block given back to the free list, are linked before
//      anything refers to them (t4split, remove_block).
//  T4. A (key, record number) is in a tag at most once; a unique tag holds
//      a key at most once (t4add).
//  T5. A block read without the index lock that proves out of date (or a
//      neighbour that does not link back or continue the order) drops what
//      the index cached and repositions from the root, under the lock once
//      quick tries are used up (i4retry); under the lock it is a damaged
//      file (-310).
#ifndef CATALOGR_T4TAG_H
#define CATALOGR_T4TAG_H

#include <unordered_set>

#include "xbase/index/i4index.h"

// ---- The path ---------------------------------------------------------------

// The current block (last of the path), or null when the path is empty.
B4BLOCK *t4block(TAG4 *t4);
// 0 went one level down, 1 already at a leaf, 2 the block read proved out
// of date, or a negative error.
int t4down(TAG4 *t4);
// 0 went up (the block joins the saved buffers), 1 the path was empty.
int t4up(TAG4 *t4);
// Empties the path and reads the root: the result of t4down.
int t4up_to_root(TAG4 *t4);
// t4update, then gives back every saved buffer of the tag.
int t4free_saved(TAG4 *t4);

// ---- Position -----------------------------------------------------------------

// First / last entry in the tag's order, and in stored (ascending) order.
int t4top(TAG4 *t4);
int t4bottom(TAG4 *t4);
int t4rl_top(TAG4 *t4);
int t4rl_bottom(TAG4 *t4);
// Past the last entry in stored order.
int t4go_eof(TAG4 *t4);
int t4eof(TAG4 *t4);
// Moves n entries in stored order and returns how many it moved (negative
// backward); a move past either end stops on the entry at that end. After
// a failure the path is empty (t4recno -2).
long t4skip(TAG4 *t4, long n);
// The same in the tag's order.
long t4dskip(TAG4 *t4, long n);
// 0 at the first entry (in the tag's order) whose first `len` bytes equal
// `value`, 2 at the first one after it, 3 past the end (descending tags),
// or a negative error. An ascending tag answers 2 past its last entry.
int t4seek(TAG4 *t4, const void *value, int len);
// Positions at (key, record number) in stored order: 0 present, 1 not
// present (positioned where it belongs; in a unique tag also: the key is
// present with another record number), 2 the key is not present at all.
int t4go(TAG4 *t4, const char *key, long rec);
// Record number of the current entry; -1 at end of file, -2 with an empty
// path.
long t4recno(TAG4 *t4);
// The current key bytes, or null.
unsigned char *t4key(TAG4 *t4);
B4KEY_DATA *t4key_data(TAG4 *t4);
void t4descending(TAG4 *t4, int flag);

// ---- Keys -----------------------------------------------------------------------

// The key of the record buffer in the context's stored-key buffer: its
// length, or a negative error.
int t4expr_key(TAG4 *t4, char **key);
// 0 added (also when already present), 20 or 25 refused by the unique
// policy, -340 reported, or a negative error.
int t4add(TAG4 *t4, const char *key, long rec);
// 0 removed, 5 not in the tag, or a negative error.
int t4remove(TAG4 *t4, const char *key, long rec);
// The same with the key of the record buffer; t4add_calc adds nothing (0)
// when the record does not pass the tag's filter.
int t4add_calc(TAG4 *t4, long rec);
int t4remove_calc(TAG4 *t4, long rec);

// ---- Checking a tree --------------------------------------------------------------

// The first problem a check found: the block's offset (-1 for the file as
// a whole) and what is wrong.
struct T4PROBLEM {
    long block;
    char text[160];
};

// Checks every tree of the index (the directory's too) and its free list:
// branch entries equal their child's greatest (key, record number); keys
// ascend in (key, record number) order across each level; sibling links
// are symmetric and end in -1 at both ends of a level; no block is used
// twice; the free list has no cycle and lies inside the file. 0 sound, 1
// with the first problem in `*problem`, or a negative error (the file
// could not be read). Changes of this process are written back first.
int i4check(INDEX4 *i4, T4PROBLEM *problem);
// The same for one tag's tree alone.
int t4check(TAG4 *t4, T4PROBLEM *problem);

// A check of an index run one tree at a time: t4check_start, then
// t4check_tree for any of the trees, then t4check_free_list. Together they
// check what i4check does, and `visit` (when set) sees every leaf entry of
// each tree in ascending (key, record number) order, with the block that
// holds it, once the entry's order is checked; its nonzero result ends the
// tree's check with that result. Entries seen before a tree's problem was
// found are not proof of anything.
struct T4CHECK {
    INDEX4 *i4;
    T4PROBLEM *problem;             // the first problem of the last call
    std::unordered_set<long> used;  // header and tree blocks seen so far
    long file_len;
    int (*visit)(void *ctx, const B4KEY_DATA *entry, long block);
    void *ctx;
    std::vector<unsigned char> ahead;   // blocks read ahead, from ahead_pos
    long ahead_pos, ahead_len;
    long last_read;                     // the block read last
};
// 0, or a negative error. Every tag header of the index counts as used.
int t4check_start(T4CHECK *ck, INDEX4 *i4, T4PROBLEM *problem);
// 0 sound, 1 with the problem, the visitor's result, or a negative error.
int t4check_tree(T4CHECK *ck, TAG4 *t4);
// After the trees: the free list has no cycle, lies inside the file and
// holds no block a checked tree uses. 0, 1 or a negative error.
int t4check_free_list(T4CHECK *ck);

#endif

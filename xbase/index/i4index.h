// Compound index files (CDX) and their tags: opening an index with its
// table, the tag directory, tag headers and their compiled expressions,
// block allocation and the free list, the version counter that tells other
// processes their cached blocks are stale, writing back and closing, and
// finding an index's tags. The block format is b4block.h.
//
// Tag header (1024 bytes at the tag's header offset; little-endian except
// `version`, which is big-endian):
//    0 4  root block pointer
//    4 4  free list head (only in the header at offset 0)
//    8 4  version counter (only in the header at offset 0)
//   12 2  key length
//   14 1  type code: 0x01 unique, 0x08 filter, 0x20 compact, 0x40 compound,
//         0x80 tag directory
//   15 1  signature
//  502 2  descending
//  504 2  filter position   506 2  filter length (with NUL)
//  508 2  expression position   510 2  expression length (with NUL)
//  512 .. key expression text, then the filter text
//
// What an open index keeps true:
//  1. Every tag's key length is 1-240 and the directory's is 10; expression
//     and filter lengths are each at least 1, at most 512 together, and each
//     text ends with its terminator (t4init).
//  2. The tag list is ordered by header offset; every header offset is a
//     multiple of 512, at least 1024, named once, and holds a tag, not a
//     directory (i4open).
//  3. No block is trusted before b4check has checked it; every block
//     pointer followed is a multiple of 512 inside the file, not the block
//     itself (i4valid_block), and every walk is bounded by the file's block
//     count, descents also by I4_MAX_DEPTH (i4tag_walk).
//  4. The free list is empty when its head is not a valid block pointer
//     (i4extend).
//  5. A locked phase that changed the file ends with a version (32-bit,
//     wrapping) that the file never showed during the phase; write-back
//     puts blocks and roots on disk before the header (i4lock.cpp,
//     i4update). While a change, a rebuild or a pack is under way the
//     header says so, and a file whose marks outlived their maker is
//     mended before it is read as whole (i4flight.cpp).
//  6. At most one buffer of the index holds a given block, and every buffer
//     a tag holds (on its path or among its saved buffers) is known to the
//     index by the block's position (i4cache.cpp). Cached blocks and roots
//     are kept only while the version counter shows that no other process
//     changed the file (i4lock.cpp lists the rules of sharing).
#ifndef CATALOGR_I4INDEX_H
#define CATALOGR_I4INDEX_H

#include <cstdint>
#include <vector>

#include "xbase/x4types.h"

struct B4BLOCK;
struct I4CACHE;

// The byte whose lock stands for the whole index file.
enum : long { I4_LOCK_BYTE = 0x7FFFFFFEL };

enum {
    I4_MAX_KEY_LEN = 240,       // longest key of any tag
    I4_DIR_KEY_LEN = 10,        // the directory's keys: tag names
    I4_HEADER_LEN = 1024,
    I4_OFF_ROOT = 0,
    I4_OFF_FREE_LIST = 4,
    I4_OFF_VERSION = 8,
    I4_OFF_KEY_LEN = 12,
    I4_OFF_TYPE = 14,
    I4_OFF_SIGNATURE = 15,
    I4_HEAD_LEN = 36,           // bytes 0-35: the fields above and the marks below
    // Marks of what is under way, in the header at offset 0 (i4flight.cpp):
    I4_OFF_FLIGHT = 16,         // I4_FLIGHT_MAGIC while a change of the trees is under way
    I4_OFF_FLIGHT_REC = 20,     // the record it is made for
    I4_OFF_PACK = 24,           // I4_PACK_MAGIC while a pack moves the table's records
    I4_OFF_PACK_WRITE = 28,     // the pack's next slot to write
    I4_OFF_PACK_READ = 32,      // its next slot to read
    I4_OFF_TAGS = 36,           // I4_TAGS_MAGIC while a rebuild is under way, then
    I4_OFF_TAGS_N = 40,         // the number of tags
    I4_OFF_TAGS_LIST = 42,      // and per tag its name (10 bytes) and header offset
    I4_TAG_NOTE_LEN = 14,
    I4_MAX_TAG_NOTES = (502 - I4_OFF_TAGS_LIST) / I4_TAG_NOTE_LEN,
    I4_OFF_HAS_KEYS = 254,      // a zero byte written when a filtered tag gets keys
    I4_OFF_DESCENDING = 502,
    I4_OFF_FILTER_POS = 504,
    I4_OFF_FILTER_LEN = 506,
    I4_OFF_EXPR_POS = 508,
    I4_OFF_EXPR_LEN = 510,
    I4_TAIL_LEN = 10,           // bytes 502-511
    I4_OFF_EXPR = 512,
    I4_EXPR_AREA = 512,         // key expression and filter texts together
    I4_EXPR_MAX = 255,          // longest expression or filter text a new tag may have
    I4_TYPE_UNIQUE = 0x01,
    I4_TYPE_FILTER = 0x08,
    I4_TYPE_COMPACT = 0x20,
    I4_TYPE_COMPOUND = 0x40,
    I4_TYPE_DIRECTORY = 0x80,
    I4_FIRST_BLOCK = 1024,      // no block pointer lies below the first header
    I4_MAX_DEPTH = 32,          // deepest descent from a root
    I4_MAX_RETRIES = 3          // reads after a block proved out of date
};

// Memory the saved buffers of one index may take: as many buffers as fit
// in it are kept (i4cache_blocks). Sized so that a process
// appending to one large table stays well under 100 MB in all.
const unsigned long I4_CACHE_BYTES = 64UL << 20;
// The saved buffers each index keeps: as many as I4_CACHE_BYTES holds. A
// test lowers it to make every few operations give buffers back.
extern long i4cache_blocks;

// A full key with its record number (in a branch, the child pointer). The
// key bytes are followed by a terminator; the record is sized for the
// longest key, so a saved copy never needs arithmetic on sizes.
struct B4KEY_DATA {
    long num;
    unsigned char value[I4_MAX_KEY_LEN + 1];
};

// A tag header (the table above) as this process last read or wrote it.
// The fields of the header at offset 0 that other processes change (free
// list, version) are trusted only while the index's lock is held, or the
// file is open exclusively (i4head_take brings them up to date).
struct T4HEADER {
    // The tree's root block (byte offset); -1 while not known, and then
    // read from the file by t4root. Dropped to -1 whenever cached blocks
    // are (i4drop).
    long root;
    // Head of the list of freed blocks (byte offset; not a valid block
    // pointer: empty). Used only in the header at offset 0.
    long free_list;
    // The change counter, 32 bits kept in a long. Used only in the header
    // at offset 0; other tags keep what their header held and write it back.
    unsigned long version;
    short key_len;              // bytes of every key: 1-240, the directory's 10
    unsigned char type_code;    // I4_TYPE_* flags, as read or made
    unsigned char signature;    // as read, written back unchanged; 0 for a tag made here
    short descending;           // nonzero: keys are in descending order
    // Where the filter text starts after byte 512, as read; never read
    // after that: headers are written with expr_len here.
    short filter_pos;
    short filter_len;           // bytes of the filter text with its terminator; 1 without a filter
    // Where the key text starts after byte 512, as read; never read after
    // that: the text is always taken from byte 512 and written there.
    short expr_pos;
    short expr_len;             // bytes of the key expression text with its terminator
};

struct INDEX4 {
    LINK4 link;         // membership in the table's `indexes`
    FILE4 file;         // the CDX file
    DATA4 *data;        // the table the index belongs to
    CODE4 *code_base;   // the table's context
    LIST4 tags;         // in header-offset order; `selected` is the selected tag
    char alias[11];     // unused
    TAG4 *tag_index;    // the directory (for a single-tag file, the tag itself)
    // The file's length in bytes, where the next block goes when the free
    // list is empty (rounded up to a block). Taken again under every lock
    // and when the version shows another process changed the file; without
    // the lock it may lag behind a file that grew (i4valid_block looks).
    long eof;
    MEM4 *block_memory; // pool of the tags' block buffers (B4BLOCK)
    int file_locked;    // 1 while this process holds the index's lock byte (I4_LOCK_BYTE)
    // The version last read or written (32 bits): cached blocks and roots
    // are kept while the file shows it.
    unsigned long version_old;
    I4CACHE *cache;     // buffers of the tags by block position (i4cache.cpp)
    int changed;        // this locked phase changed the file (i4version_step)
    int head_changed;   // the free list changed since the header was written
    int flight;         // the file bears this process's mark of a change under way
    int flight_disk;    // what the file's mark is, as far as this process wrote or read it
    long flight_rec;    // the record the mark names
    int failed;         // a change of this phase did not go through (the mark stays)
    long pack_write;    // the journal of a pack under way (0: none): next slot to write
    long pack_read;     // and next slot to read
};

typedef int (*t4cmp_func)(const void *a, const void *b, unsigned len);
typedef void (*t4stok_func)(char *out, const char *text, int len);
typedef void (*t4dtok_func)(char *out, double d);

struct TAG4 {
    LINK4 link;         // membership in the index's `tags`
    e4expr_st *expr;    // the compiled key expression; null for the directory
    e4expr_st *filter;  // the compiled filter, or null when the tag has none
    // What a key already in a unique tag does: r4unique_continue leaves the
    // entry out, r4unique refuses with 20, e4unique reports -340 (from the
    // tag's definition, else the context's default_unique_error).
    int unique_error;
    INDEX4 *index;      // the index file the tag lives in
    t4cmp_func cmp;     // set to t4cdx_cmp; never called (the block search compares keys itself)
    // Search values to key form for the key's type (t4init_seek_conv):
    // text to key, and a number or date to key (null for character and
    // logical keys).
    t4stok_func stok;
    t4dtok_func dtok;
    CODE4 *code_base;   // the index's context
    char alias[11];     // the tag's name, upper-case, at most 10 characters and a terminator
    // 1 once this process knows the filtered tag's header has its "has keys"
    // byte (I4_OFF_HAS_KEYS) zeroed: set when a key is added or a rebuild
    // gives the tag keys; 0 after each open, so the first add writes it again.
    char has_keys;
    LIST4 blocks;       // the path from the root (first) to the current block
    FILE4 file;         // unused (the tag reads and writes through index->file)
    int file_locked;    // unused (the index holds the lock)
    T4HEADER header;    // the tag's header as last read or written
    long header_offset; // byte offset of the tag's header in the file: 0 for the directory
    int root_write;     // 1: header.root changed and goes to the file at the next t4update
    int key_dec;        // unused
    long saved_count;   // buffers off the path, kept for reuse (i4cache.cpp)
    // The work key of the tag's buffers: the key of entry `built_on` of
    // the buffer `built_by` (null: none) (b4block.cpp).
    B4KEY_DATA built_key;
    B4BLOCK *built_by;
    int debug_int;      // unused
    // The byte that pads keys and that trailing-byte compression drops:
    // a blank for character keys, 0 for the others.
    char p_char;
};

// ---- Index files --------------------------------------------------------

INDEX4 *i4open(DATA4 *d4, const char *name);
INDEX4 *i4create(DATA4 *d4, const char *file_name, const TAG4INFO *tag_data);
int i4close(INDEX4 *i4);
int i4flush(INDEX4 *i4);
int i4update(INDEX4 *i4);
int i4update_header(INDEX4 *i4);
// Writes every changed block and root of the index, not its header; a
// failure leaves the change mark (F2 of i4flight.cpp).
int i4write_blocks(INDEX4 *i4);
int i4version_check(INDEX4 *i4, int do_unlock, int update_version);
int t4version_check(TAG4 *t4, int do_unlock, int update_version);
int i4is_production(INDEX4 *i4);
// A data file's, index file's or tag's name in the form tags are compared
// in: at most 10 characters, trailing blanks removed, upper case.
void i4tag_name(char *out, const char *name);
TAG4 *i4tag(INDEX4 *i4, const char *name);
// A cleared tag record from the context's pool (its context set), or null
// after a -920 report.
TAG4 *i4tag_alloc(CODE4 *c4);
// A cleared index record of the table from the context's pool (null after
// a -920 report naming `where`), and its file's name: `name` exactly as
// given when it has an extension, else with "CDX" added and its final
// component upper-cased; for a null name the table's production index
// (u4name_companion). The name is left empty when it does not fit.
INDEX4 *i4alloc(DATA4 *d4, const char *name, std::vector<char> *file_name, const char *where);
// Reads the directory's header and the tags into the index: from the
// directory, or while the header names no root from the note of the
// rebuild under way (F3 of i4flight.cpp). 0, or the first failure.
int i4tags_load(INDEX4 *i4);
// Gives back the tags that i4tags_load read, but the directory's record.
void i4forget_tags(INDEX4 *i4);
// Every tree of the index in turn: the directory first (unless it is the
// file's only tag), then the tags in list order; null starts and ends.
TAG4 *i4tag_next(INDEX4 *i4, TAG4 *t4);

// ---- Sharing the file with other processes (i4lock.cpp) ---------------------

int i4lock(INDEX4 *i4);
int i4unlock(INDEX4 *i4);
int i4lock_test(INDEX4 *i4);
// The index changes under this process's lock: its version becomes the one
// last read or written plus 1 (32 bits, wrapping), the phase is marked as
// one that changed the file, and the file's mark of a change under way is
// written if it is not there yet (i4flight_begin). 0, or the mark's failed
// write (the change must not be made).
int i4version_step(INDEX4 *i4);
// The marks an index header bears (i4flight.cpp), and the words that mark
// them in it ("CHG!", "PAK!", "TAG!" little-endian: nothing another
// program leaves in bytes it writes as zero).
enum { I4_MARK_REBUILD = 1, I4_MARK_CHANGE = 2, I4_MARK_PACK = 4 };
constexpr uint32_t I4_FLIGHT_MAGIC = 0x21474843UL, I4_PACK_MAGIC = 0x214B4150UL, I4_TAGS_MAGIC = 0x21474154UL;
// The I4_HEAD_LEN bytes at offset 0 into `head`: 0, the marks they bear
// (a header not all there, of a file being made, counts as a rebuild's),
// or a negative error.
int i4head_read(INDEX4 *i4, unsigned char *head);
// Takes `head` (from i4head_read) as what the file now is: its free list,
// and its version; a version other than version_old drops every cached
// block and root first and takes the file's length again.
void i4head_take(INDEX4 *i4, const unsigned char *head);
// Forgets every cached block and root of the index, writing nothing.
void i4drop(INDEX4 *i4);

// ---- What is under way (i4flight.cpp) ------------------------------------------

// Writes the mark of a change under way, naming the table's current
// record, unless the file bears it already. 0, or the write's failure.
int i4flight_begin(INDEX4 *i4);
// A change of this phase did not go through: the mark stays when the lock
// is let go, and what the phase has in memory is dropped unwritten.
void i4flight_fail(INDEX4 *i4);
// The same where the file's mark is not known (a header write failed, or
// the tags may not describe what the data file holds): the mark is written
// again at once. 0, or the write's failure.
int i4flight_mark(INDEX4 *i4);
// The marks of the header at offset 0 for a header image `head` (1024
// bytes) that a rebuild writes: the change mark when it is on, the pack's
// journal when one is under way, and with `rebuilding` the list of tags.
void i4flight_image(INDEX4 *i4, unsigned char *head, int rebuilding);
// Notes in the header where a pack under way has got to (slots before
// `write` hold the packed records, slots from `read` on the records as
// they were); 0, 0 ends the note in memory only. 0 or the write's failure.
int i4pack_note(INDEX4 *i4, long write, long read);
// The header `head` bears `marks` while this process holds the lock (or
// has the file exclusively): their maker is gone. Finishes a pack, rebuilds
// the index from the table, and so leaves the file without marks: 0; 50
// when a pack cannot be finished yet because another process holds a lock
// of the table; or -310 reported with the file name when the index cannot
// be repaired (a file open read-only among them).
int i4mend(INDEX4 *i4, const unsigned char *head, int marks);
// A change is marked and this process does not hold the lock: its writer is
// at work, or gone. The lock is taken if it is free (which mends the file,
// as every lock does) and let go again. 0, or a failure.
int i4flight_check(INDEX4 *i4);

// A read made without the lock met something another process may be
// changing: a block that does not check or proves out of date, or the mark
// of a rebuild. Such a read is tried again, never taken as damage.
struct I4RETRY {
    int attempts;   // reads tried again so far
    int took;       // the lock was taken for the reads (i4retry_end lets it go)
};
// Before the next try: up to I4_MAX_RETRIES tries after a short wait with
// everything cached dropped (the rebuild mark goes to the next step at
// once); then the lock is waited for and taken, so that the next try reads
// what nobody changes, where the same finding is damage. 0 to try again,
// or the lock's nonzero result.
int i4retry(INDEX4 *i4, I4RETRY *r, int marked);
// Lets go of a lock i4retry took; `rc` is passed on, or the release's
// failure when `rc` is 0.
int i4retry_end(INDEX4 *i4, I4RETRY *r, int rc);

// ---- Blocks of the file ---------------------------------------------------

// A block pointer for a new block: the free list's head, or the file's end.
long i4extend(INDEX4 *i4);
// Puts the block at `pos` on the free list.
int i4shrink(INDEX4 *i4, long pos);
// 1 when `pos` may point at a block: a multiple of 512, at least 1024,
// inside the file, and not `self`.
int i4valid_block(INDEX4 *i4, long pos, long self);
// Reports -310 with the file name (and the block's offset when `block` is
// not -1); returns -310.
int i4corrupt(INDEX4 *i4, long block);
// Reads and checks the block at `pos` into `b4`: 0, 1 when it proves out of
// date (empty but not the root, its last record number differs from the
// parent's current entry, or it does not check while the version shows
// that another process changed the file), or a negative error.
int i4read_block(FILE4 *file, long pos, B4BLOCK *parent, B4BLOCK *b4);
// Calls `visit` with every entry of the tag in stored (ascending) order,
// reading the leaves from the leftmost one along their right links with a
// buffer of its own; the tag's path is left alone. A block that proves out
// of date restarts the walk (visit gets null first: forget what was seen),
// at most I4_MAX_RETRIES times. 0 at the end, the visitor's nonzero result,
// or a negative error.
int i4tag_walk(TAG4 *t4, int (*visit)(void *ctx, const B4KEY_DATA *entry), void *ctx);

// ---- Block buffers of the index's tags (i4cache.cpp) ------------------------
//
// A tag's buffers are its path (`blocks`) and its saved buffers (counted by
// `saved_count`), which the index keeps in one order of use for all its
// tags. The index knows each buffer by the block it holds, keeps the saved
// buffers within I4_CACHE_BYTES, and writes a changed saved buffer back
// before it lets it go.

// What the buffers of every index of the process did since it started (or
// since a caller last cleared the record): plain counters for benchmarks.
// A lookup that finds nothing is a miss: the block is read from the file.
struct I4CACHE_COUNTS {
    unsigned long long lookups;     // a tag looked for a block among its saved buffers
    unsigned long long hits;        // ... and found it there
    unsigned long long evictions;   // saved buffers given back to keep the cache's size
    unsigned long long write_backs; // ... of them, written to the file first
};

extern I4CACHE_COUNTS i4cache_counts;

// The buffer of any tag of the index that holds block `pos`, or null.
B4BLOCK *i4cache_find(INDEX4 *i4, long pos);
// Makes `b4` (a buffer of a path or saved list) the holder of block `pos`;
// a buffer that held `pos` before is given back. 0, or -920.
int i4cache_hold(INDEX4 *i4, B4BLOCK *b4, long pos);
// `b4` leaves its tag's path (or is new) and joins the saved buffers, most
// recently used last; it stays valid until the next i4cache_trim. A buffer
// that holds no block is given back. 0, or -920.
int i4cache_save(TAG4 *t4, B4BLOCK *b4);
// Before another buffer is taken: gives back the least recently used saved
// buffers beyond I4_CACHE_BYTES, writing changed ones first. 0, or a
// write's negative result.
int i4cache_trim(INDEX4 *i4);
// The saved buffer of `t4` holding block `pos`, taken out of the saved
// list (it stays known by its block); null when there is none.
B4BLOCK *i4cache_take(TAG4 *t4, long pos);
// Gives back the buffer holding block `pos` without writing it (the block
// was freed); it leaves whichever list it is in. 1 when there was one.
int i4cache_forget(INDEX4 *i4, long pos);
// Writes every changed saved buffer of `t4` (of every tag when null).
int i4cache_flush(INDEX4 *i4, TAG4 *t4);
// Gives back every buffer of `t4`, path and saved, without writing them.
void i4cache_drop(TAG4 *t4);
// Gives back the saved buffers of `t4` without writing them.
void i4cache_drop_saved(TAG4 *t4);
// Releases what the index keeps for its buffers (at close).
void i4cache_release(INDEX4 *i4);

// ---- Tags (t4open.cpp) -------------------------------------------------

// Reads the tag header at `file_pos` and compiles its expressions.
int t4init(TAG4 *t4, INDEX4 *i4, long file_pos, const char *name);
// Sets up a tag to be created from `info`: name, flags, compiled key and
// filter, key length (1-240) and expression lengths (at most 255 characters
// each). 0, or a negative error after its report.
int t4init_info(TAG4 *t4, INDEX4 *i4, const TAG4INFO *info);
int t4init_seek_conv(TAG4 *t4, int type);
int t4type(TAG4 *t4);
// The tag's root block pointer, read from its header when not known; 0
// when the header names no block of the file while this process does not
// hold the lock (another process may be rebuilding it), or a negative
// error.
long t4root(TAG4 *t4);
// Writes every changed block of the path and the saved list, then the root
// pointer when it changed.
int t4update(TAG4 *t4);
// t4update, then gives back every buffer of the tag.
int t4free_all(TAG4 *t4);

// Search values to key form (the zeroed buffer holds key_len bytes).
void t4no_change_str(char *out, const char *text, int len);
void t4str_to_fox(char *out, const char *text, int len);
void t4dtstr_to_fox(char *out, const char *text, int len);
void t4str_to_log(char *out, const char *text, int len);

#endif

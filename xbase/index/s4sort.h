// The general sort of fixed-size entries used to build indexes: entries are
// quicksorted in memory, spilled as sorted runs to a work file when memory
// runs out, and merged when they are read back.
//
// Entry (tot_len = sort_len + 4 + info_len bytes), in memory and in the
// work file alike:
//    0         sort_len  key
//    sort_len  4         record number, native byte order
//    sort_len+4 info_len information
// Order: the key by `cmp` (default memcmp: unsigned bytes), then the record
// number as a signed 32-bit value, smaller first.
//
// Work file (TEMPnnnn.TMP in the current directory, deleted when the sort
// ends): the runs one after another, run i at i * spool_disk_len; every run
// but the last holds exactly pointers_init entries, the last run the rest.
//
// Runs held in memory: with a pool of at least SORT4_HOLD_MIN_POOL bytes
// (the default) and the default order, a full run stays in memory instead
// of going to the work file, as long as the sort's memory stays within
// SORT4_HOLD_BUDGET. When every run could be held, no work file is made and
// all entries are sorted at once; when a later run cannot be held, the held
// runs go to the work file first, each sorted on its own, so that the file
// holds exactly the runs it would have held had none been kept.
//
// Life of a sort:
//   sort4init -> sort4put ... -> sort4get_init -> sort4get ... (1 = done)
// The last sort4get (result 1) frees the sort; sort4free frees it at any
// point, and may be called again on any SORT4 that sort4init has seen.
// After a failure the sort has already released its memory and work file,
// and every later call answers with that failure: nothing is ever handed
// out as if the sort were complete.
//
// Caveats for callers:
// - The work file's name lives in the SORT4 (file_name_buf): a SORT4 is
//   never copied or moved while it is in use.
// - The key and information pointers sort4get gives stay valid only until
//   the next call on the sort.
// - The work file is bounded by the 32-bit offsets of the file layer: a
//   sort that needs more than 2 GB there fails with the write error.
#ifndef CATALOGR_S4SORT_H
#define CATALOGR_S4SORT_H

#include <cstddef>
#include <cstdint>

#include "xbase/x4types.h"

// Key comparison: negative, 0 or positive as memcmp.
typedef int (*S4CMP)(const void *a, const void *b, size_t len);

// The link at the front of every memory unit, as the spill arithmetic
// counts it: a unit of mem_size_sort_pool bytes holds
// (mem_size_sort_pool - SORT4_UNIT_LINK) / tot_len entries.
enum { SORT4_UNIT_LINK = 8 };
// The pointer array is halved after a failed allocation down to this size.
enum { SORT4_MIN_POINTERS = 256 };
// Runs are held in memory only with a pool of at least this many bytes (a
// smaller pool asks for a small sort: its runs go to the work file as they
// fill), and only while the sort's units, slot pointers and the sort keys
// of every entry held stay within the budget.
enum { SORT4_HOLD_MIN_POOL = 61440 };
const unsigned long SORT4_HOLD_BUDGET = 48UL << 20;

// One run during the merge.
struct S4SPOOL {
    char *ptr;          // read buffer (a window of spool_mem_len bytes)
    unsigned pos;       // offset of the current entry in the buffer
    unsigned len;       // bytes in the buffer
    long disk;          // file offset of the next unread byte; -1 when the
                        // rest of the run is in the buffer
    unsigned spool_i;   // the run's number
    uint64_t prefix;    // the current entry's first key bytes (default order)
};

// A slot with its first eight key bytes as one number of the same order
// (zeros after a shorter key), for sorting slots without reaching into them.
struct S4KEYED {
    uint64_t prefix;
    char *entry;
};

// Where a sort stands; a negative `status` is the failure it ended with.
enum { SORT4_CLEAR = 0, SORT4_FILLING = 1, SORT4_READING = 2, SORT4_DONE = 3 };

struct SORT4 {
    CODE4 *code_base;
    FILE4 file;                 // the work file; closed until the first run
    char file_name_buf[14];
    FILE4SEQ_WRITE seqwrite;
    char *seqwrite_buffer;      // mem_size_sort_buffer bytes
    S4SPOOL **spool_pointer;    // the runs as a tournament: [0] comes first
    unsigned spools_n;          // runs still active in the merge
    unsigned spools_max;        // runs closed: written to the work file or held
    char **pointers;            // one pointer per entry slot
    unsigned pointers_i;        // next slot handed out when reading from memory
    unsigned pointers_used;     // slots filled
    unsigned pointers_init;     // slots with memory behind them
    unsigned pointers_max;      // capacity of `pointers`
    LIST4 pool;                 // memory units holding entries
    unsigned unit_len;          // bytes of one unit: its link and pool_entries entries
    unsigned pool_n;            // units in `pool`
    unsigned pool_entries;      // entries that fit in one unit
    unsigned sort_len, info_offset, info_len, tot_len;
    long spool_disk_len;        // bytes of one full run in the work file
    unsigned spool_mem_len;     // bytes of one run's read window
    long is_mem_avail;          // more units may still be requested
    S4CMP cmp;
    // Records of the runs during the merge (spool_pointer ranks them).
    S4SPOOL *spools;
    // Bytes written to the work file: the end of the last run.
    long spill_len;
    // pointers_max slots with their first key bytes, while the slots are
    // filled in the default order; null without room for them (the slots
    // are then sorted as they stand).
    S4KEYED *keyed;
    int status;
    // Full runs held in memory (never alongside runs in the work file): the
    // pointer arrays of their slots, in the order the runs were closed.
    char ***held;
    unsigned held_n, held_max;
    // Entries sorted in `keyed` and handed out from there (all runs held);
    // 0 when entries read from memory are handed out from `pointers`.
    unsigned keyed_n;
    // Entries kept where they stand (sort4expect): flat_n of flat_max slots
    // of flat_slot bytes, one after another; null when entries go to the
    // slots of the units above.
    char *flat;
    size_t flat_n, flat_max;
    unsigned flat_slot;
};

// 0, or -920 "Out of Memory" with "Sorting" (the sort is then clear);
// -1 while the context has an error pending; -930 for negative lengths.
int sort4init(SORT4 *s4, CODE4 *c4, int sort_len, int info_len);
// Says, before the first sort4put, that at most `n` entries will come. In
// the default order, with a pool of at least SORT4_HOLD_MIN_POOL bytes,
// entries of at most 40 bytes and `n` of them within SORT4_HOLD_BUDGET, the
// entries are then kept in one array and sorted where they stand, and read
// back from one end of it to the other. Otherwise, or without memory for
// the array, nothing changes; entries beyond `n` take the usual way, with
// those already put.
void sort4expect(SORT4 *s4, unsigned long n);
// Copies one entry (key of sort_len bytes, info of info_len bytes; `info`
// may be null when info_len is 0). 0, or the failure of writing a run.
int sort4put(SORT4 *s4, long rec, const void *key, const void *info);
// Called once after the last sort4put. 0 or a negative failure.
int sort4get_init(SORT4 *s4);
// 0 with the next entry, 1 when none is left (the sort has then freed
// itself), or a negative failure. `key` and `info` may be null.
int sort4get(SORT4 *s4, long *rec, char **key, char **info);
// Releases everything. 0, or -1 when closing the work file failed.
int sort4free(SORT4 *s4);
// Sorts `n` entry pointers in place by key (`cmp` over sort_len bytes),
// then by the record number that follows the key.
void s4quick(char **pointers, unsigned n, S4CMP cmp, unsigned sort_len);

#endif

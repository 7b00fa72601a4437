// Data files: the file format, open, create and close; record navigation,
// write-back, append, flush, delete and pack; and the locks that
// coordinate several processes sharing one table.
//
// Header (32 bytes, little-endian):
//   0  1  version: 0x03, or 0xF5 with memo fields (bit 7: a memo file exists)
//   1  3  date of last update: years since 1900, month, day
//   4  4  record count (signed)
//   8  2  header length: 32 + 32 * fields + 1
//  10  2  record length: 1 + sum of field widths
//  12 16  zero
//  28  1  flags: bit 0x01 a production index exists (other programs set
//         other bits; they are kept)
//  29  3  zero
// Field descriptor (32 bytes each, then 0x0D):
//   0 11  name, upper case, zero-padded
//  11  1  type letter
//  12  4  zero
//  16  1  width (C: low byte)
//  17  1  decimals (N, F); C: high byte of the width
//  18 13  zero
//  31  1  tag flag
// Records follow the header: a deletion flag (' ' or '*') and the fields.
#ifndef CATALOGR_D4DATA_H
#define CATALOGR_D4DATA_H

#include "xbase/x4types.h"

// Header and descriptor layout.
enum {
    D4_HEADER_LEN = 32,
    D4_FIELD_LEN = 32,
    D4_VERSION_PLAIN = 0x03,
    D4_VERSION_MEMO = 0xF5,
    D4_VERSION_MEMO_BIT = 0x80,
    D4_OFF_VERSION = 0,
    D4_OFF_NUM_RECS = 4,
    D4_OFF_HEADER_LEN = 8,
    D4_OFF_RECORD_LEN = 10,
    D4_OFF_HAS_MDX = 28,
    D4_HAS_MDX_BIT = 0x01,
    D4_FIELD_OFF_TYPE = 11,
    D4_FIELD_OFF_LEN = 16,
    D4_FIELD_OFF_DEC = 17,
    D4_HEADER_END = 0x0D,
    D4_FILE_END = 0x1A
};

// Lock bytes shared with every program that uses the same files.
enum : long {
    D4_LOCK_RECORD_BASE = 0x40000000L,     // + header_len + (r - 1) * width
    D4_LOCK_APPEND = 0x7FFFFFFEL,          // also index and memo file locks
    D4_LOCK_PRODUCTION_BASE = 0x7FFFFFFEL, // - r, with a production index
    D4_LOCK_FILE_START = 0x40000000L,
    D4_LOCK_FILE_LEN = 0x3FFFFFFFL
};

// Data file format, open, create, close.
DATA4 *d4open(CODE4 *c4, const char *name);
// Opens a data file for its header and field descriptors only: neither
// its production index nor its memo file is opened (nor needs to exist), so
// its memo fields cannot be read.
DATA4 *d4open_fields(CODE4 *c4, const char *name);
// A name given with an extension is created exactly as given; without one
// it gets ".DBF" and its final component is upper-cased. The memo and
// production index files take the case of the data file's extension
// (u4name_companion).
DATA4 *d4create(CODE4 *c4, const char *name, const FIELD4INFO *field_data,
                const TAG4INFO *tag_info);
int d4close(DATA4 *data);
long d4reccount(DATA4 *data);
int d4update_header(DATA4 *data, int do_time_stamp, int do_count);
const char *d4alias(DATA4 *data);
void d4alias_set(DATA4 *data, char *new_alias);
int d4num_fields(DATA4 *data);

// The data file's bytes as they stand, for callers that keep their own
// copy of a part of it (a journal): the file4 calls on the table's file,
// with their results. The caller holds the lock that keeps other writers
// out. A write or a length change makes the table forget what it knew of
// its records (their count, where the file ends), so that it reads them
// again at their next use.
long d4file_len(DATA4 *data);
int d4file_len_set(DATA4 *data, long new_len);
int d4file_read(DATA4 *data, long pos, void *ptr, unsigned len);
int d4file_write(DATA4 *data, long pos, const void *ptr, unsigned len);

// Navigation.
int d4go(DATA4 *data, long rec);
int d4go_data(DATA4 *data, long rec);
int d4go_eof(DATA4 *data);
int d4top(DATA4 *data);
int d4bottom(DATA4 *data);
int d4skip(DATA4 *data, long n);
int d4bof(DATA4 *data);
int d4eof(DATA4 *data);
long d4recno(DATA4 *data);
char *d4record(DATA4 *data);
unsigned d4record_width(DATA4 *data);
long d4record_position(DATA4 *data, long rec);
// The largest record number whose bytes lie below 2 GB, the most that the
// format's 32-bit offsets reach.
long d4record_max(DATA4 *data);
// 0 when `rec` is at most d4record_max; otherwise reports -930 with the
// file's name and returns -1. Every operation on a record number refuses
// such numbers before it computes a position or a lock byte; numbers below
// 1 keep each operation's own rule.
int d4record_check(DATA4 *data, long rec);
int d4read(DATA4 *data, long rec_num, char *ptr);
int d4read_old(DATA4 *data, long rec_num);
// Records d4read has read from data files since the process started (or
// since a caller last cleared it): a plain counter for benchmarks.
extern unsigned long long d4read_count;

// The record buffer.
void d4blank(DATA4 *data);
void d4delete(DATA4 *data);
void d4recall(DATA4 *data);
int d4deleted(DATA4 *data);
int d4changed(DATA4 *data, int flag);

// Update.
int d4append_start(DATA4 *data, int use_memo_entries);
int d4append_blank(DATA4 *data);
int d4append(DATA4 *data);
int d4append_data(DATA4 *data);
int d4write(DATA4 *data, long rec);
int d4write_keys(DATA4 *data, long rec);
int d4write_data(DATA4 *data, long rec);
// Makes the memo block numbers in the record buffer those of the record on
// disk, since another process may have moved a text; once per record lock
// (memo_validated). Takes the record's lock with d4lock (which first
// releases other record and index locks when this one is not held) and
// keeps it for the caller. 0 at once when already done or when the record
// is not yet on disk; -1 for a null data file or a failed read; or
// d4lock's code.
int d4validate_memo_ids(DATA4 *data);
int d4update_record(DATA4 *data, int do_unlock);
int d4update(DATA4 *data);
int d4flush(DATA4 *data);
int d4flush_data(DATA4 *data);
int d4flush_files(CODE4 *c4);
// Writes what a table open exclusively keeps back: the records appended
// (its file's run), then the header's count and date. 0, or -1 after a
// report; records that could not be written are then no longer counted, and
// the indexes are mended over what the file holds.
int d4write_behind(DATA4 *data);
int d4pack(DATA4 *data);
int d4pack_data(DATA4 *data);
// Finishes a pack that stopped part way, from the note its production
// index kept (slots before `w` packed, slots from `r` on as they were), as
// the holder of the index lock that finds the note does before anything
// else (i4mend). Takes the whole-file lock for the duration unless it is
// held, keeping the table's own locks: 0; 50 when another process holds a
// lock of the data file; -310 reported when this table holds record or
// append locks too (waiting could then wait for ever); or a failure.
int d4pack_finish(DATA4 *data, long w, long r);

// Locking.
int d4lock(DATA4 *data, long rec);
int d4lock_group(DATA4 *data, const long *recs, int n_recs);
int d4lock_append(DATA4 *data);
int d4lock_file(DATA4 *data);
int d4lock_index(DATA4 *data);
int d4lock_all(DATA4 *data);
int d4lock_test(DATA4 *data, long rec);
int d4lock_test_append(DATA4 *data);
int d4lock_test_file(DATA4 *data);
int d4lock_test_index(DATA4 *data);
int d4unlock(DATA4 *data);
int d4unlock_data(DATA4 *data);
int d4unlock_file(DATA4 *data);
int d4unlock_append(DATA4 *data);
int d4unlock_records(DATA4 *data);
int d4unlock_index(DATA4 *data);
int d4unlock_files(CODE4 *c4);
// The byte locked for record `rec` (depends on the production index flag).
long d4lock_record_offset(DATA4 *data, long rec);
// The whole-file lock, asked for once, over the record and append locks
// this table holds, which it keeps: 0 (`*took` set when it was not held
// before), 50, or a failure.
int d4lock_file_over(DATA4 *data, int *took);
// Lets go of a lock d4lock_file_over took, all but the bytes of the
// table's own record and append locks.
int d4unlock_file_over(DATA4 *data);

#endif

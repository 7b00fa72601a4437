// Memo files (FPT): a sequence of fixed-size blocks; each memo text takes a
// run of blocks and the record holds the number of its first block.
// All numbers are big-endian.
//
// File header (block 0, the first 512 bytes):
//   0 4  next_block: first block past the last allocated entry
//   4 2  reserved (0)
//   6 2  block_size
//   8 .. zero up to byte 512
// Entry at block number * block_size:
//   0 4  type (1: text)
//   4 4  length of the text
//   8 .. the text, no terminator
#ifndef CATALOGR_MEMO4_H
#define CATALOGR_MEMO4_H

#include "xbase/x4types.h"

enum {
    MEMO4_HEADER_LEN = 8,
    MEMO4_OFF_NEXT_BLOCK = 0,
    MEMO4_OFF_BLOCK_SIZE = 6,
    MEMO4_FILE_START = 512,
    MEMO4_ENTRY_HEADER_LEN = 8,
    MEMO4_ENTRY_OFF_TYPE = 0,
    MEMO4_ENTRY_OFF_LEN = 4,
    MEMO4_TYPE_TEXT = 1
};
// The lock byte, and the last byte the format's signed 32-bit offsets
// address: a memo file never grows past it.
enum : long { MEMO4_LOCK_BYTE = 0x7FFFFFFEL, MEMO4_FILE_MAX = 0x7FFFFFFFL };

// The shared empty text of memo caches without a buffer.
extern char f4memo_null_char[1];

// Creates an empty memo file with the context's mem_size_memo as block size
// (1-65535, else -930). The caller closes it; on failure it is closed.
int memo4file_create(MEMO4FILE *m4file, CODE4 *c4, DATA4 *d4, const char *name);
// Opens a memo file with the data file's context. Results: 0; -60 when the
// file cannot be opened, always reported with its name ("File Name:", name)
// even with open_error off, since the data file's header promised it (the
// context's error_code then stays 70 as file4open left it); -70 when the
// header cannot be read; -200 for a block size of 0; -1 while the context's
// error_code is negative. On failure the file is closed.
int memo4file_open(MEMO4FILE *f4memo, DATA4 *d4, const char *name);
int memo4file_lock(MEMO4FILE *m4file);
int memo4file_unlock(MEMO4FILE *m4file);
// Reads an entry into a caller's buffer of *len_ptr bytes (plus one for a
// terminator), replacing it by a heap buffer (u4alloc) when it is too small.
// An entry whose header or text lies outside the file fails with -1 (-70
// reported with the file name) and allocates nothing.
int memo4file_read(MEMO4FILE *m4file, long memo_id, char **ptr_ptr, unsigned *len_ptr);
int memo4file_read_part(MEMO4FILE *m4file, long memo_id, char **ptr_ptr, unsigned *len_ptr,
                        unsigned long offset, unsigned read_max);
// Stores a text in place when it fits the old entry's blocks and the bytes
// already in the file, else in new blocks taken at the end of the file
// under the memo file lock. An old entry that is not there in full (a
// damaged reference) counts as having no room; a read that fails is an
// error. A failed write leaves the old text readable under the old block
// number. A file that would pass 2147483647 bytes is refused (-120
// reported) and nothing is written.
int memo4file_write(MEMO4FILE *m4file, long *memo_id_ptr, const char *ptr, unsigned ptr_len);
int memo4file_dump(MEMO4FILE *m4file, long memo_id, const char *ptr, unsigned len);

char *f4memo_ptr(FIELD4 *field);
char *f4memo_str(FIELD4 *field);
unsigned f4memo_len(FIELD4 *field);
unsigned f4memo_ncpy(FIELD4 *field, char *mem, unsigned len);
int f4memo_assign(FIELD4 *field, const char *text);
int f4memo_assign_n(FIELD4 *field, const char *ptr, unsigned len);
int f4memo_set_len(FIELD4 *field, unsigned len);
int f4memo_read(FIELD4 *field);
int f4memo_read_low(FIELD4 *field);
int f4memo_write(FIELD4 *field);
int f4memo_update(FIELD4 *field);
void f4memo_reset(FIELD4 *field);
void f4memo_free(FIELD4 *field);
int f4memo_flush(FIELD4 *field);
int d4validate_memo_ids(DATA4 *data);

#endif

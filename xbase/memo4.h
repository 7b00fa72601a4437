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

// The shared empty text of memo caches without a buffer: it is never
// freed and never written but for its terminator.
extern char f4memo_null_char[1];

// ---- The memo file ----------------------------------------------------------
//
// Block numbers (`memo_id`) count blocks of the file's block size from the
// start of the file; 0 (or less) names no entry. Lengths are bytes of text
// without the entry header. While the context's error_code is negative the
// calls that open, read or write refuse with -1 and touch nothing.

// Creates an empty memo file with the context's mem_size_memo as block size
// (1-65535, else -930 reported and no file made): the header names the
// first block past it as the next free one, and the file is 512 bytes long.
// `d4` (may be null) is recorded as the file's data file. 0 with the file
// open and unlocked; the caller closes it. -1 for a null record, context
// or name (nothing reported) or when file4create fails; a failed write's
// code; on failure the file is closed.
int memo4file_create(MEMO4FILE *m4file, CODE4 *c4, DATA4 *d4, const char *name);
// Opens a memo file with the data file's context. Results: 0; -60 when the
// file cannot be opened, always reported with its name ("File Name:", name)
// even with open_error off, since the data file's header promised it (the
// context's error_code then stays 70 as file4open left it); -70 when the
// header cannot be read; -200 for a block size of 0; -1 while the context's
// error_code is negative, or for a null record, data file or name. On
// failure the file is closed. The file is left unlocked.
int memo4file_open(MEMO4FILE *f4memo, DATA4 *d4, const char *name);
// Takes the memo file lock (one byte at MEMO4_LOCK_BYTE), which guards the
// header's next free block. It waits as long as it takes, whatever the
// context's lock_attempts says, because taking blocks must not fail for
// contention. 0 at once when this record holds it already; -1 for a null
// or closed file; otherwise file4lock's result.
int memo4file_lock(MEMO4FILE *m4file);
// Releases the memo file lock. 0 when it was not held; otherwise
// file4unlock's result, and the lock counts as held until that succeeds.
int memo4file_unlock(MEMO4FILE *m4file);
// Reads an entry into a caller's buffer of *len_ptr bytes (plus one for a
// terminator), replacing it by a heap buffer (u4alloc) when it is too small.
// An entry whose header or text lies outside the file fails with -1 (-70
// reported with the file name) and allocates nothing.
// `*ptr_ptr` may be null; a buffer with *len_ptr > 0 must come from u4alloc,
// for it is freed when replaced. On success *len_ptr is the text's length
// (no longer the capacity) and the text is not terminated: the owner adds
// the terminator in the byte it keeps for it. A memo_id of 0 or less reads
// an empty text and leaves the buffer alone. Results: 0; -1 for a null
// argument, a closed file, a damaged entry or a failed read; -920 when the
// buffer cannot be allocated (reported). No lock is taken: the caller
// reads a block number it trusts, such as one of a record it holds locked.
int memo4file_read(MEMO4FILE *m4file, long memo_id, char **ptr_ptr, unsigned *len_ptr);
// The same for a part of the text: at most `read_max` bytes starting
// `offset` bytes into it (none when the text is shorter). The whole entry
// must still lie inside the file.
int memo4file_read_part(MEMO4FILE *m4file, long memo_id, char **ptr_ptr, unsigned *len_ptr,
                        unsigned long offset, unsigned read_max);
// Stores a text in place when it fits the old entry's blocks and the bytes
// already in the file, else in new blocks taken at the end of the file
// under the memo file lock. An old entry that is not there in full (a
// damaged reference) counts as having no room; a read that fails is an
// error. A failed write leaves the old text readable under the old block
// number. A file that would pass 2147483647 bytes is refused (-120
// reported) and nothing is written.
// `*memo_id_ptr` names the old entry (0: none) and receives the entry's
// block number, which changes only when the text moved; an empty text
// (`ptr_len` 0; `ptr` may then be null) gives 0 and abandons the old
// blocks. The memo file lock is taken and released here when it was not
// held; a rewrite in place takes no lock, so the caller must hold the
// record whose field names the old entry. Results: 0; -1 for a null
// argument or a closed file; -120; -920 when the rewrite's buffer cannot
// be allocated; otherwise the code (or -1) of the read, write or lock that
// failed.
int memo4file_write(MEMO4FILE *m4file, long *memo_id_ptr, const char *ptr, unsigned ptr_len);
// Writes one entry (header, then `len` bytes of text) at block `memo_id`,
// without looking at what is there: the caller has taken those blocks or
// owns them. `ptr` may be null only when `len` is 0. -1 for a null record
// or `ptr`, a block size of 0, a block outside the format's 32-bit offsets
// or an entry that would pass them (nothing reported, nothing written), and
// for a failed write (reported by file4, and the header may be written
// without its text).
int memo4file_dump(MEMO4FILE *m4file, long memo_id, const char *ptr, unsigned len);

// ---- Memo field caches ------------------------------------------------------
//
// Each memo field of an open data file has a cache (F4MEMO) holding the
// text of the current record. It is stale (status 1) after a move or a
// reset, and then read on demand from the block number in the record
// buffer; an assigned text is kept (is_changed) until the record is
// written. The text is always followed by a zero byte. f4memo_ptr, _str,
// _len, _ncpy, _assign and _assign_n also take a field without a cache
// (not a memo field) and then act on its bytes in the record as the f4
// calls do; the others refuse it with -1 or do nothing. A null field gives
// -1, null or 0. Pointers handed out stay valid until the cache is next
// assigned, read, reset or freed.

// The field's text, terminated, read first when the cache is stale; null
// when that read fails. Without a cache: the field's bytes in the record,
// not terminated.
char *f4memo_ptr(FIELD4 *field);
// The same, except that a field without a cache gives f4str's terminated
// copy in the context's field buffer.
char *f4memo_str(FIELD4 *field);
// Bytes of the field's text (read first when stale); 0 when the read fails.
unsigned f4memo_len(FIELD4 *field);
// Copies at most len - 1 bytes of the text and a terminator into `mem`
// (`len` bytes); returns the bytes of text copied. For a memo field: with
// `len` 0 or a null `mem`, or while the context's error_code is negative,
// nothing is written and 0 returned; a positive error_code is cleared to 0
// first; a read that fails copies an empty text. Otherwise f4ncpy.
unsigned f4memo_ncpy(FIELD4 *field, char *mem, unsigned len);
// Assigns a terminated text (null: the empty text); f4memo_assign_n's
// results.
int f4memo_assign(FIELD4 *field, const char *text);
// Assigns `len` bytes from `ptr` (null only when `len` is 0) to the cache
// and marks the field and the record changed; the memo file is written
// with the record. 0; -1 for a null field or `ptr`; -920 when the cache
// cannot grow (f4memo_set_len).
int f4memo_assign_n(FIELD4 *field, const char *ptr, unsigned len);
// Makes the cache `len` bytes long, terminated, and marks the field and the
// record changed. The text is kept when the buffer already holds `len`
// bytes; a larger one is a fresh buffer whose bytes the caller fills. -1
// for a field without a cache; -920 (reported) for ~0u or a failed
// allocation, which leaves the cache empty and stale.
int f4memo_set_len(FIELD4 *field, unsigned len);
// Reads the current record's text into the cache and makes it current,
// dropping an assigned text not yet written. When the context's read_lock is set the block numbers are
// first made those on disk (d4validate_memo_ids, which takes the record
// lock). With no current record (rec_num < 0) the text is empty. 0; -1 for
// a field without a cache, a pending error or a failed read; or
// d4validate_memo_ids' code.
int f4memo_read(FIELD4 *field);
// Reads the text of the block number in the record buffer into the cache,
// as it stands: no lock, no validation, the status left alone. On failure
// the text is empty and the read's code is returned.
int f4memo_read_low(FIELD4 *field);
// Stores the cache's text in the memo file and puts the entry's block
// number (blank for an empty text) into the record buffer; writing the
// record is the caller's. First makes the record's block numbers those on
// disk, taking the record lock (d4validate_memo_ids). 0 with the field no
// longer changed; -1 for a field without a cache or a pending error; or
// the code of the validation or of memo4file_write, the field then still
// changed and its block number in the record buffer not replaced.
int f4memo_write(FIELD4 *field);
// f4memo_write when the field holds an assigned text not yet written,
// else 0. -1 for a null field or data file, or a pending error.
int f4memo_update(FIELD4 *field);
// Makes the cache stale and drops an assigned text not yet written, since
// it no longer belongs to the current record; the buffer is kept.
void f4memo_reset(FIELD4 *field);
// Frees the cache's buffer; the cache is then empty and stale.
void f4memo_free(FIELD4 *field);
// d4flush of the field's data file: writes the current record when it
// changed (every field, memo texts first) and flushes the data, memo and
// index files. -1 for a null field or data file.
int f4memo_flush(FIELD4 *field);

#endif

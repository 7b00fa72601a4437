// The file layer: every engine file (data, memo, index, work file) is
// reached through a FILE4. No current position: every read, write and
// lock names its byte offset. Sequential readers and writers move data
// front to back through a caller's buffer in 1024-aligned transfers.
#ifndef CATALOGR_FILE4_H
#define CATALOGR_FILE4_H

#include "xbase/x4types.h"

// Largest usable sequential buffer, and the alignment of sequential
// transfers in the file.
enum { FILE4_SEQ_MAX = 64512, FILE4_SEQ_ALIGN = 1024 };
// Offsets are 32-bit by format: no write may end past this offset, and no
// lock range either (the highest lock byte is 0x7FFFFFFE).
enum { FILE4_MAX_END = 0x7FFFFFFF };
// Most bytes a write-behind run keeps, and most bytes of the old file it
// may cover (a run only grows at the file's end).
enum { FILE4_RUN_MAX = 65536, FILE4_RUN_TAIL_MAX = 1024 };
// Pieces kept for reads: 4 KB each, 10 MB at most per file (within the
// memory the engine may take beside a full block cache).
enum { FILE4_PIECE_LEN = 4096, FILE4_PIECES = 2560 };
// "TEMPnnnn.TMP" and its terminator: a caller's `buf` for file4temp holds
// at least this many bytes.
enum { FILE4_TEMP_NAME_LEN = 13 };

// Caveats for callers:
// - Opening keeps the caller's name, or with `do_alloc` a copy of the name
//   actually opened (the final component matched without case); files that
//   belong beside it are looked for beside that name.
// - Share modes do not exist: `exclusive` makes the engine take no locks
//   but cannot keep other processes out. Locks belong to one open file, so
//   two opens of one file in a process exclude each other.
// - While the context's error_code is negative nearly every call refuses
//   at once with -1 (0 for the reads that return counts).

int file4open(FILE4 *file, CODE4 *code_base, const char *name, int do_alloc);
int file4create(FILE4 *file, CODE4 *code_base, const char *name, int do_alloc);
// 0, the close report's -10, or -1 while an error is pending afterwards.
int file4close(FILE4 *file);
int file4open_test(FILE4 *file);
unsigned file4read(FILE4 *file, long pos, void *ptr, unsigned ptr_len);
// The same read, telling a failure from the file's end: the bytes read
// (fewer only where the file ends), or the negative code of the report.
long file4read_count(FILE4 *file, long pos, void *ptr, unsigned ptr_len);
int file4read_all(FILE4 *file, long pos, void *ptr, unsigned ptr_len);
int file4read_error(FILE4 *file);
// 0, or the report's code; with `file_flush` on, the commit's result.
int file4write(FILE4 *file, long pos, const void *ptr, unsigned ptr_len);
// Write-behind, for a file nobody else looks at (open exclusively): a write
// that continues the run, or starts one at the file's end, only fills the
// run; the run reaches the file (in one write) when it is full, before any
// other access of the file that its bytes could change (a read reaching
// into it, any write, the length, a length change, a commit, the close), or
// at file4write_behind_flush. So the file receives every byte in the order
// written. Any other write goes through at once, like file4write. 0, or
// the code of the report of a failed write (of this write or of the run).
int file4write_behind(FILE4 *file, long pos, const void *ptr, unsigned ptr_len);
// Writes the run: 0, or -1 after a report. A run that cannot be written
// (even in part) is put back as before it (the length and the bytes it
// covered) and dropped, and `run_lost` is set. A pending error code is
// kept, and does not stop the write.
int file4write_behind_flush(FILE4 *file);
// The most bytes a run gathers before it is written, at most FILE4_RUN_MAX
// (its value); tests lower it so that runs fill after a few writes.
extern unsigned file4run_max;
// The same read as file4read_count, served in a file open exclusively from
// aligned pieces of FILE4_PIECE_LEN bytes kept from earlier reads (the
// file's first FILE4_PIECES pieces; reads past them go to the file). Every write
// and length change through this record drops the pieces it touches; a
// write through another open of the same file is not seen.
long file4read_kept(FILE4 *file, long pos, void *ptr, unsigned ptr_len);
long file4len(FILE4 *file);
// Refused only while an error (a negative code) is pending; a soft outcome
// such as a missing file's 70 never stops a length change. A refusal or a
// failure is reported with the file's name.
int file4len_set(FILE4 *file, long new_len);
int file4flush(FILE4 *file);
int file4low_flush(FILE4 *file, int do_free);
int file4refresh(FILE4 *file);
int file4lock(FILE4 *file, long pos_start, long num_bytes);
int file4unlock(FILE4 *file, long pos_start, long num_bytes);
// A new TEMPnnnn.TMP in the current directory (nnnn: the clock's seconds),
// made with O_EXCL whatever `safety` says. The current second's name is
// tried first; only when a name exists is the next second waited for and
// its name tried.
int file4temp(FILE4 *file, CODE4 *code_base, char *buf, int auto_remove);
// Gives `keep` the contents of `from` and closes and deletes `from`. With
// `keep` exclusive the work file is renamed over keep's file in one step
// (no moment without the file). Otherwise the contents are copied into a
// new file beside keep's, committed, and renamed over it; `from` is
// deleted only after that, and a failure leaves both files as they were
// (and `from` open). Either way keep's file is a new file afterwards:
// locks held through keep's old handle are gone, and other processes go on
// reading the old contents until they open the file again.
int file4replace(FILE4 *keep, FILE4 *from);

int file4seq_read_init(FILE4SEQ_READ *seq_read, FILE4 *file, long start_pos, void *buffer,
                       unsigned buffer_len);
unsigned file4seq_read(FILE4SEQ_READ *seq_read, void *ptr, unsigned len);
int file4seq_read_all(FILE4SEQ_READ *seq_read, void *ptr, unsigned len);
int file4seq_write_init(FILE4SEQ_WRITE *seq_write, FILE4 *file, long start_offset, void *ptr,
                        unsigned ptr_len);
int file4seq_write(FILE4SEQ_WRITE *seq_write, const void *buffer, unsigned ptr_len);
int file4seq_write_flush(FILE4SEQ_WRITE *seq_write);
int file4seq_write_repeat(FILE4SEQ_WRITE *seq_write, long num_repeat, char ch);
// Changes `len` bytes at file offset `offset` among those written but still
// held in the buffer, so that they reach the file as changed: 1; 0 (nothing
// changed) when they are not all held there.
int file4seq_write_mend(FILE4SEQ_WRITE *seq_write, long offset, const void *bytes, unsigned len);

// The usable size of a sequential buffer of `len` bytes: capped at 64512 and
// rounded down to a multiple of 1024; 0 (unbuffered) below 1024.
unsigned file4seq_usable(unsigned long len);

#endif

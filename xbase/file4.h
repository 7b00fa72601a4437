// The file layer: every engine file (data, memo, index, work file) is
// reached through a FILE4. No current position: every read, write and
// lock names its byte offset. Sequential readers and writers move data
// front to back through a caller's buffer in 1024-aligned transfers.
#ifndef CATALOGR_FILE4_H
#define CATALOGR_FILE4_H

#include "xbase/x4types.h"

// Largest usable sequential buffer: bits 10-15 of a length.
enum { FILE4_SEQ_MAX = 64512, FILE4_SEQ_ALIGN = 1024 };

int file4open(FILE4 *file, CODE4 *code_base, const char *name, int do_alloc);
int file4create(FILE4 *file, CODE4 *code_base, const char *name, int do_alloc);
int file4close(FILE4 *file);
int file4open_test(FILE4 *file);
unsigned file4read(FILE4 *file, long pos, void *ptr, unsigned ptr_len);
int file4read_all(FILE4 *file, long pos, void *ptr, unsigned ptr_len);
int file4read_error(FILE4 *file);
int file4write(FILE4 *file, long pos, const void *ptr, unsigned ptr_len);
long file4len(FILE4 *file);
int file4len_set(FILE4 *file, long new_len);
int file4flush(FILE4 *file);
int file4low_flush(FILE4 *file, int do_free);
int file4refresh(FILE4 *file);
int file4lock(FILE4 *file, long pos_start, long num_bytes);
int file4unlock(FILE4 *file, long pos_start, long num_bytes);
int file4temp(FILE4 *file, CODE4 *code_base, char *buf, int auto_remove);
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

// The usable size of a sequential buffer of `len` bytes: capped at 64512 and
// rounded down to a multiple of 1024; 0 (unbuffered) below 1024.
unsigned file4seq_usable(unsigned long len);

#endif

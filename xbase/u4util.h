// Small shared utilities: bounded copy, one-second delay, today's date for
// headers, buffer growth, file removal and renaming, the engine's
// file-name pieces, and byte-order reversal.
#ifndef CATALOGR_U4UTIL_H
#define CATALOGR_U4UTIL_H

#include <cstdint>

#include "xbase/x4types.h"

unsigned u4ncpy(char *to, const char *from, unsigned len);
void u4delay_sec(void);
void u4yymmdd(char *yymmdd);
int u4alloc_again(CODE4 *c4, char **ptr_ptr, unsigned *was_old_len, unsigned new_len);
void *u4alloc_free(CODE4 *c4, long n);
int u4ptr_equal(const void *p1, const void *p2);
int u4remove(const char *ptr);
int u4rename(const char *old_name, const char *new_name);

// File names. Only '/' separates directories; only the final component is
// ever upper-cased.
int u4name_ext(char *name, int len_result, const char *new_ext, int do_replace);
int u4name_piece(char *result, int len_result, const char *from, int give_path, int give_ext);
int u4name_path(char *result, int len_result, const char *from);
int u4name_ret_ext(char *result, int len_result, const char *from);
int u4name_make(char *buf, int buf_len, const char *default_drive, const char *default_directory,
                const char *file_name);
int u4name_char(unsigned char ch);

uint32_t x4reverse_long(uint32_t v);
uint16_t x4reverse_short(uint16_t v);

#endif

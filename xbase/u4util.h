// Small shared utilities: bounded copy, one-second delay, today's date for
// headers, buffer growth, file removal and renaming, the engine's
// file-name pieces, and byte-order reversal.
#ifndef CATALOGR_U4UTIL_H
#define CATALOGR_U4UTIL_H

#include <cstdint>

#include "xbase/x4types.h"

// Copies at most len - 1 characters and terminates; a length of 0 writes
// nothing. Returns the characters copied.
unsigned u4ncpy(char *to, const char *from, unsigned len);
// Sleeps in short slices until the calendar second changes (about one
// second at most).
void u4delay_sec(void);
void u4yymmdd(char *yymmdd);
int u4alloc_again(CODE4 *c4, char **ptr_ptr, unsigned *was_old_len, unsigned new_len);
void *u4alloc_free(CODE4 *c4, long n);
int u4ptr_equal(const void *p1, const void *p2);
int u4remove(const char *ptr);
int u4rename(const char *old_name, const char *new_name);

// File names. Only '/' separates directories; the extension is the part
// after the last '.' of the final component; only the final component is
// ever upper-cased, and only its ASCII letters. `len_result` / `buf_len`
// are buffer sizes, terminator included.

// Removes trailing blanks, adds `new_ext` (a leading '.' skipped) when the
// name has no extension or `do_replace` is set, and upper-cases the final
// component. 0, or -1 with `name` unchanged when the result does not fit.
int u4name_ext(char *name, int len_result, const char *new_ext, int do_replace);
// The name from its start (`give_path`) or from its final component, up to
// its end (`give_ext`) or to the extension's '.', with the final component
// upper-cased. A piece longer than the buffer is cut at a character
// boundary (a table's alias is such a cut piece): 0 whole, 1 cut.
int u4name_piece(char *result, int len_result, const char *from, int give_path, int give_ext);
// The directory with its final '/' (empty when there is none); its length,
// or -1 with an empty result when it does not fit.
int u4name_path(char *result, int len_result, const char *from);
// The extension's characters, at most `len_result`, not terminated; their
// number.
int u4name_ret_ext(char *result, int len_result, const char *from);
// `default_directory` joined with `file_name` by one '/', unless the name is
// absolute. There are no drives: `default_drive` is ignored. 0, or -1 with
// an empty result when it does not fit.
int u4name_make(char *buf, int buf_len, const char *default_drive, const char *default_directory,
                const char *file_name);
// The name of a file that belongs beside the data file `data_name` (its
// memo or production index file): the same name with the extension `ext`
// (a leading '.' skipped) in the case of the data file's own extension,
// lower case when that has small letters and no capitals, else upper case
// (also when it has no extension). t.dbf gives t.fpt, T.DBF gives T.FPT.
// 0, or -1 with an empty result when it does not fit.
int u4name_companion(char *result, int len_result, const char *data_name, const char *ext);
// 1 for a letter, digit or '_' (the code set's letters and digits too).
int u4name_char(unsigned char ch);

uint32_t x4reverse_long(uint32_t v);
uint16_t x4reverse_short(uint16_t v);

#endif

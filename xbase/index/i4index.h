// Compound index files (CDX) and their tags, as the data-file layer sees
// them: opening the production index with its table, creating it, closing,
// flushing and locking, the selected tag, and the tag operations record
// navigation and key maintenance call.
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
#ifndef CATALOGR_I4INDEX_H
#define CATALOGR_I4INDEX_H

#include <cstdint>

#include "xbase/x4types.h"

// The byte whose lock stands for the whole index file.
enum : long { I4_LOCK_BYTE = 0x7FFFFFFEL };

struct T4HEADER {
    long root;
    long free_list;
    unsigned long version;
    short key_len;
    unsigned char type_code;
    unsigned char signature;
    short descending;
    short filter_pos;
    short filter_len;
    short expr_pos;
    short expr_len;
};

struct INDEX4 {
    LINK4 link;
    FILE4 file;
    DATA4 *data;
    CODE4 *code_base;
    LIST4 tags;
    char alias[11];
    TAG4 *tag_index;
    long eof;
    MEM4 *block_memory;
    int file_locked;
    unsigned long version_old;
};

typedef int (*t4cmp_func)(const void *a, const void *b, unsigned len);
typedef void (*t4stok_func)(char *out, const char *text, int len);
typedef void (*t4dtok_func)(char *out, double d);

struct TAG4 {
    LINK4 link;
    e4expr_st *expr;
    e4expr_st *filter;
    int unique_error;
    INDEX4 *index;
    t4cmp_func cmp;
    t4stok_func stok;
    t4dtok_func dtok;
    CODE4 *code_base;
    char alias[11];
    char has_keys;
    LIST4 blocks;
    FILE4 file;
    int file_locked;
    T4HEADER header;
    long header_offset;
    int root_write;
    int key_dec;
    LIST4 saved;
    int debug_int;
    char p_char;
};

struct TAG4INFO {
    const char *name;       // null ends a list
    const char *expression;
    const char *filter;
    int unique;
    unsigned descending;
};

INDEX4 *i4open(DATA4 *d4, const char *name);
INDEX4 *i4create(DATA4 *d4, const char *file_name, const TAG4INFO *tag_data);
int i4close(INDEX4 *i4);
int i4flush(INDEX4 *i4);
int i4update(INDEX4 *i4);
int i4version_check(INDEX4 *i4, int do_unlock, int update_version);
int t4version_check(TAG4 *t4, int do_unlock, int update_version);
int i4lock(INDEX4 *i4);
int i4unlock(INDEX4 *i4);
int i4lock_test(INDEX4 *i4);

TAG4 *d4tag_selected(DATA4 *d4);
int d4reindex(DATA4 *d4);

int t4top(TAG4 *t4);
int t4bottom(TAG4 *t4);
long t4skip(TAG4 *t4, long n);
int t4go(TAG4 *t4, const char *key, long rec);
int t4eof(TAG4 *t4);
long t4recno(TAG4 *t4);
int t4expr_key(TAG4 *t4, char **key);
int t4add(TAG4 *t4, const char *key, long rec);
int t4remove(TAG4 *t4, const char *key, long rec);
int t4add_calc(TAG4 *t4, long rec);
int t4remove_calc(TAG4 *t4, long rec);

#endif

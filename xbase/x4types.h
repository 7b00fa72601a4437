// The engine's shared records: the context `CODE4`, lists and pools, open
// files, data files and their fields, memo files and memo caches. Index and
// expression records live with their modules (index/i4index.h,
// expr/expr4.h); only pointers to them appear here.
//
// Fields follow the documented order. Integers held in memory may be
// `long`; every integer that reaches a file is written byte by byte in the
// format's byte order by the module that owns that format.
#ifndef CATALOGR_X4TYPES_H
#define CATALOGR_X4TYPES_H

#include <cstddef>
#include <cstdint>

struct CODE4;
struct DATA4;
struct INDEX4;
struct TAG4;
struct e4expr_st;
struct B4BLOCK;
struct FILE4PIECES;

// ---- Lists ----------------------------------------------------------------

// The link every listed record begins with.
struct l4link_st {
    l4link_st *n;
    l4link_st *p;
};
typedef l4link_st LINK4;

// Intrusive circular doubly linked list: the last member's `n` is the
// first member and the first member's `p` the last.
struct LIST4 {
    LINK4 *last_node;   // null when empty
    void *selected;     // a member the owner marks as current, or null
    int n_link;
};

// ---- Memory pools ---------------------------------------------------------

struct MEM4 {
    LINK4 link;         // membership in the engine-wide list of pools in use
    LIST4 chunks;
    LIST4 pieces;       // free units, each linked through its own first bytes
    CODE4 *code_base;
    int unit_start;
    unsigned unit_size;
    int unit_expand;
    int n_repeat;       // users sharing the pool; -1 for a private pool
    int n_used;
};

// ---- Files ----------------------------------------------------------------

// An open file. file4close clears the record but keeps `code_base`, so
// calls on a closed file still find their context.
struct FILE4 {
    // The file's path: this record's copy (of the path the platform
    // resolved at open, of the name given at create) when `do_alloc_free`
    // is 1, else the caller's own string; null while closed.
    char *name;
    CODE4 *code_base;   // the context: its settings and error code; set even while closed
    int hand;           // platform descriptor; -1 while not open
    char is_temp;       // 1: the file is removed when closed (work files)
    // 1: opened or made while the context's `exclusive` was on. No lock
    // bytes are taken and what is known of the file is kept between calls;
    // nothing keeps other processes out.
    char is_exclusive;
    // 1: opened read-only (asked for, or write access refused), or a table
    // whose stored record length disagrees with its fields; writes fail.
    char is_read_only;
    char do_alloc_free; // 1: `name` is this record's copy, freed at close
    char write_buffer;  // unused
    char file_created;  // set to 1 by every open and create; never read
    // 1 once a write-behind run could not be written: the file was put back
    // as it was before the run. Cleared by the file's owner, which then
    // takes what it knows of the file's contents from the file again.
    char run_lost;
    // The write-behind run (file4write_behind): run_len bytes bound for
    // the file at run_pos, not yet written, in a buffer of
    // FILE4_RUN_MAX + FILE4_RUN_TAIL_MAX bytes; null until first needed.
    // A run lies at the file's end: run_old_len is the file's length when
    // it began, and the buffer's last run_tail_len bytes are the bytes the
    // file held from run_pos to there, which a failed run puts back.
    char *run;
    long run_pos;
    long run_old_len;
    unsigned run_len;
    unsigned run_tail_len;
    // Pieces of the file kept for reads (file4read_kept); null until the
    // first such read of a file open exclusively.
    FILE4PIECES *pieces;
};

struct FILE4SEQ_READ {
    FILE4 *file;
    long pos;
    char *buffer;
    unsigned next_read_len;
    unsigned total;
    unsigned working;
    unsigned avail;
};

struct FILE4SEQ_WRITE {
    FILE4 *file;
    long pos;
    char *buffer;
    unsigned total;
    unsigned working;
    unsigned avail;
};

// ---- Memo files -----------------------------------------------------------

struct MEMO4FILE {
    FILE4 file;         // the FPT file; `file.hand` is -1 when the table has none open
    // Bytes per block, from the header at open (the context's
    // mem_size_memo at create); 1-65535 but kept in a short: read it
    // through memo4 helpers as unsigned.
    short block_size;
    DATA4 *data;        // the table the memo file belongs to; set at open and create, never read
    // 1 while this process holds the memo file's lock byte (memo4file_lock):
    // only then is the header's next free block trusted.
    int file_lock;
};

struct FIELD4;

struct F4MEMO {
    int is_changed;
    int status;         // 1: contents must be read before use
    char *contents;     // always followed by a zero byte
    unsigned len;
    unsigned len_max;   // allocated capacity (buffer holds len_max + 1); 0 none
    FIELD4 *field;
};
typedef F4MEMO F4MEMO_st;

// ---- Data files -----------------------------------------------------------

struct FIELD4 {
    char name[11];
    unsigned len;
    int dec;
    int type;           // upper-case type letter
    int offset;         // position of the first byte in the record; first field at 1
    DATA4 *data;
    F4MEMO *memo;       // memo types only
};

struct FIELD4INFO {
    const char *name;   // null ends a list
    int type;
    unsigned len;
    unsigned dec;
};

struct TAG4INFO {
    const char *name;       // null ends a list
    const char *expression;
    const char *filter;
    int unique;
    unsigned descending;
};

// An open table. Lock state and cached counts follow the rules listed at
// the head of d4lock.cpp.
struct DATA4 {
    LINK4 link;         // membership in the context's `data_list`
    char version;       // header byte 0, as read; D4_VERSION_MEMO_BIT says a memo file belongs
    // Date of the last change (header bytes 1-3: years since 1900, month,
    // day); made today's when the header is written with a time stamp.
    char yy, mm, dd;
    // Records in the file, from the header; -1 when not known, and then
    // read again from the file by d4reccount. Kept only while this table
    // holds the append byte or the whole-file lock, or has the file
    // exclusively: otherwise another process may append meanwhile.
    long num_recs;
    unsigned short header_len;  // bytes before the first record (header and field descriptors)
    // The current record's image: record_width bytes and one more, which
    // holds 0 (the end mark only while an append writes it). While a
    // rebuild computes keys it points into the rebuild's read buffer.
    char *record;
    // The image of record rec_num_old as the file holds it, same size; the
    // write-back compares with it and takes old keys from it.
    char *record_old;
    unsigned record_width;      // bytes per record: the deletion flag and every field
    // 1: `record` was changed since it was read; it is written back before
    // the table moves, appends or closes.
    int record_changed;
    // The current record: 1 to num_recs; num_recs + 1 at the end of file
    // (eof_flag); 0 while a record being appended has no number yet; -1
    // when there is none (after open, a failed read or a pack).
    long rec_num;
    // The record that `record_old` holds, or -1 when it holds none.
    // Trusted only while that record's lock is held: every release of
    // record or file locks sets it to -1.
    long rec_num_old;
    FILE4 file;                 // the DBF file
    // The name other tables and expressions use for this one: by default
    // the file name without path or extension, upper-cased; at most 10
    // characters and a terminator.
    char alias[11];
    // 1: the memo block numbers in `record` are those on disk, because the
    // record was read or checked under its lock (d4go,
    // d4validate_memo_ids); cleared with rec_num_old.
    char memo_validated;
    CODE4 *code_base;           // the context that opened the table
    // Nonzero when the header flags a production index (byte 28,
    // D4_HAS_MDX_BIT): opened with the table, and record locks then use
    // the bytes counted down from D4_LOCK_PRODUCTION_BASE.
    char has_mdx;
    FIELD4 *fields;             // the n_fields fields in record order
    int n_fields;               // fields in `fields`
    F4MEMO *fields_memo;        // the memo caches of the memo fields, in field order; null if none
    int n_fields_memo;          // memo fields in `fields_memo`, 0 or more
    long locked_record;         // storage of `locks` while it holds one slot
    // Records this table has locked: the first num_locked of n_locks slots
    // (&locked_record, or an allocated array when n_locks > 1).
    long *locks;
    int n_locks;                // slots in `locks`
    int num_locked;             // slots in use: the records locked now
    int file_lock;              // 1 while this table holds the whole-file lock
    int append_lock;            // 1 while this table holds the append byte
    // 1 once a record was written or appended since the header was last
    // written: closing then writes the header's date.
    int file_changed;
    LIST4 indexes;              // the open index files (INDEX4) of the table, in open order
    // bof_flag: a move went before the first record (or the table is
    // empty); eof_flag: past the last one, rec_num then being num_recs + 1.
    int bof_flag, eof_flag;
    short block_size;           // unused (the memo file keeps its own)
    MEMO4FILE memo_file;        // `memo_file.file.hand` is -1 when the table has no memo file open
    // A count of records the file was seen to hold (the last header count
    // read, or the count this process's pack left): tag moves take index
    // entries up to it as naming records that exist, without reading the
    // count again. Nothing lowers it when another process packs the table.
    long minCount;
    long count;                 // unused
    // Length of the file while this process knows that it ends with the
    // end mark right after record num_recs, which only an exclusive open
    // can know between appends; 0 when it is not known.
    long known_end;
    // 1 while the header's count (and date) in memory are newer than the
    // file's: a table open exclusively writes them once, after the records
    // they count (d4write_behind).
    int header_behind;
};

// ---- The engine context ---------------------------------------------------

// The engine's context: settings (set by d4init to their defaults,
// then by the caller), the pending error, pools and work buffers shared by
// every table it opens.
struct CODE4 {
    unsigned hWnd;              // unused
    unsigned hInst;             // unused
    LIST4 data_list;            // the open tables (DATA4), in open order
    // What a unique tag read from a file does with a key already there:
    // r4unique_continue (the default) leaves the entry out and succeeds,
    // r4unique refuses the change with 20, e4unique reports -340. A tag
    // takes it when it is read (TAG4 unique_error).
    int default_unique_error;
    // The date picture of DTOC() and CTOD() ("MM/DD/YY" by default), taken
    // into an expression when it compiles.
    char date_format[20];
    unsigned mem_size_block;    // unused (set to 1024)
    unsigned mem_size_sort_pool;    // bytes the sort may hold in memory before it spills runs
    unsigned mem_size_sort_buffer;  // bytes of the sort's write buffer for its runs
    unsigned mem_size_buffer;   // bytes of the buffers of a pack's reads and of copying a file
    unsigned mem_size_memo;     // block size, in bytes, of memo files created from now on
    unsigned mem_size_memo_expr;    // length a memo field takes in an expression, in bytes
    // Pools of records (mem4create): units in each further chunk
    // (mem_expand_*) and in the first chunk (mem_start_*), for index blocks,
    // tables, index files and tags.
    int mem_expand_block;
    int mem_expand_data;
    int mem_expand_index;
    int mem_expand_tag;
    unsigned mem_start_data;
    unsigned mem_start_block;
    unsigned mem_start_index;
    unsigned mem_start_tag;
    unsigned mem_start_buffer;  // unused
    unsigned long mem_start_max;    // unused
    int auto_open;              // 1: a table whose header flags a production index opens it too
    int create_error;           // 1: a file that cannot be made is reported (else 60, r4no_create)
    int off_error;              // unused
    // 1: files opened or created from now on are taken as this process's
    // alone (FILE4 is_exclusive).
    int exclusive;
    int file_flush;             // 1: every write is followed by a flush to the disk
    int expr_error;             // 1: an expression that does not compile is reported
    int field_name_error;       // 1: looking up a field that is not there is reported
    int go_error;               // 1: going to a missing record is reported (else 5, r4entry)
    int open_error;             // 1: a file that cannot be opened is reported (else 70, r4no_open)
    int optimize;               // unused
    // 1: a record is read under its own lock, which is kept; memo reads
    // then check the record's block numbers against the disk.
    int read_lock;
    int read_only;              // 1: files are opened for reading only
    int relate_error;           // unused (set to 1)
    int safety;                 // 1: creating a file refuses to replace one that exists
    int skip_error;             // 1: a skip without a current record is reported
    // 1: naming a tag that is not there is reported.
    int tag_name_error;
    // How long a lock wait lasts: -1 without end, 0 and 1 one attempt,
    // N > 1 about N - 1 seconds (code4lock_pause_ms).
    int lock_attempts;
    // Called, when set, each time a lock wait is about to pause: `file_name`
    // is the file whose lock another process holds and `polls` the number
    // of attempts of this wait that found it held (1 before the first
    // pause); code4lock_waited_ms(polls) is how long the wait has lasted.
    // The engine only calls it.
    void (*lock_wait_hook)(CODE4 *c4, const char *file_name, int polls);
    MEM4 *index_memory;         // pool of INDEX4 records
    MEM4 *data_memory;          // pool of DATA4 records
    MEM4 *tag_memory;           // pool of TAG4 records
    MEM4 *calc_memory;          // pool of named calculations (expr4calc.cpp)
    MEM4 *bitmap_memory;        // unused: never allocated, released by d4init_undo
    LIST4 calc_list;            // the named calculations, in creation order
    MEM4 *total_memory;         // unused: never allocated (a total would be freed to it)
    LIST4 total_list;           // unused
    LIST4 font_list;            // unused
    int num_reports;            // unused
    int s4cr2;                  // unused
    // The pending error: negative after a reported error (engine calls
    // then refuse until it is cleared, e4set), or the last call's soft
    // result code (r4no_open, r4no_create, ...); 0 when clear.
    int error_code;
    int debug_int;              // set to 0x5281 by d4init; never read by the engine
    short pageno;               // what PAGENO() returns; never set, so 0
    // f4str's result: a copy of the field with a terminator, valid until
    // the next f4str; buf_len bytes allocated.
    char *field_buffer;
    unsigned buf_len;
    // Work memory of expressions: the compiler's entries while parsing, and
    // the evaluation stack; expr_buf_len bytes, grown as needed.
    char *expr_work_buf;
    unsigned expr_buf_len;
    // The last key an expression made (expr4key), valid until the next
    // one; stored_key_len bytes allocated, sized when an expression compiles.
    char *stored_key;
    unsigned stored_key_len;
    int bitmap_disable;         // unused
    // 1 (the default): a block read is also checked against its parent's
    // entry and the root, so that a block another process changed is read
    // again instead of trusted.
    int do_index_verify;
    // A key with its record number (index/b4block.h's B4KEY_DATA: a long,
    // then up to 240 key bytes and a terminator), sized for this machine's long.
    // Holds the selected tag's entry while i4version_check drops stale
    // blocks, so that the tag finds its place again.
    alignas(long) char saved_key[256];
    // Work memory kept between sorts and rebuilds (mem4.h), or null.
    struct MEM4WORK *work;
};

// ---- Result codes ---------------------------------------------------------

enum {
    r4success = 0,
    r4found = 1,
    r4after = 2,
    r4eof = 3,
    r4bof = 4,
    r4entry = 5,
    r4unique = 20,
    r4unique_continue = 25,
    r4locked = 50,
    r4no_create = 60,
    r4no_open = 70,
    r4no_tag = 80
};

#endif

// The xBase expression language of tag keys and filters: the compiled form,
// the function table shared by parser and evaluator, the parser, the
// resolution pass that fixes types and the work-buffer layout, evaluation,
// the index key forms and named calculations.
//
// A compiled expression (`e4expr_st`) is one allocation:
//   the e4expr_st record | info_n E4INFO entries | 512 bytes of constants |
//   the source text and its terminator
// Entries are in postfix order; each names one row of `v4functions` (the row
// numbers are part of the compiled form) and carries its result length and
// its result position in the context's work buffer.
//
// Number key form (`t4dbl_to_fox`), 8 bytes, compared as unsigned bytes:
//   the IEEE double most significant byte first; for values >= 0 the first
//   byte gets 0x80 added, for values < 0 every byte is complemented.
//   Negative zero and NaN are keyed as 0.
#ifndef CATALOGR_EXPR4_H
#define CATALOGR_EXPR4_H

#include <cstdint>

#include "xbase/x4types.h"

// ---- The function table ---------------------------------------------------

typedef void (*E4FUNC)(void);

struct E4FUNCTIONS {
    E4FUNC function_ptr;    // the evaluator routine
    const char *name;       // upper case, as written; null for rows only the resolution pass picks
    short code;             // rows with one code are typed variants of one name; -1 ends the table
    signed char name_len;
    signed char priority;   // binding strength of an infix operator; 0 otherwise
    char return_type;       // 0 for the named-calculation row: its type is the calculation's
    signed char num_parms;  // -1: two or more, all of the first type
    char type[3];
};

// The table, in row order, ended by a row whose code is -1. Rows of one
// code stand together, so the resolution pass finds a typed variant by
// stepping forward from the row the parser chose.
extern const E4FUNCTIONS v4functions[];
// Points *fptr (not null) at v4functions; always 0.
int expr4functions(const E4FUNCTIONS **fptr);

// Rows the parser and the resolution pass refer to by number.
enum {
    E4ROW_FIELD_C = 0,       // character field read in place
    E4ROW_FIELD_COPY = 1,    // character field copied into the work buffer
    E4ROW_FIELD_LOG = 2,
    E4ROW_FIELD_DATE_D = 3,  // date field as a day number
    E4ROW_FIELD_D = 4,       // date field read in place
    E4ROW_FIELD_NUM_D = 5,   // numeric field as a double
    E4ROW_FIELD_N = 6,       // numeric field read in place
    E4ROW_FIELD_MEMO = 7,
    E4ROW_CONST_NUM = 8,
    E4ROW_CONST_CHAR = 9,
    E4ROW_FIRST_DOT = 10,    // .TRUE. .T. .FALSE. .F. .NOT.
    E4ROW_NOT = 14,
    E4ROW_FIRST_OPERATOR = 15,
    E4ROW_CONCAT = 17,
    E4ROW_CONCAT_TRIM = 18,
    E4ROW_ADD_NUM_DATE = 20,  // number + date
    E4ROW_CONCAT_TWO = 22,
    E4ROW_SUB_DATES = 24,     // date - date
    E4ROW_EQUAL_NUM = 28,
    E4ROW_EQUAL_DATE = 29,
    E4ROW_NOT_EQUAL_ALT = 31, // "<>", also written "!="
    E4ROW_NOT_EQUAL_NUM = 32,
    E4ROW_NOT_EQUAL_DATE = 33,
    E4ROW_GREATER_CHAR = 41,
    E4ROW_LESS_CHAR = 44,
    E4ROW_CONTAIN = 51,
    E4ROW_LAST_OPERATOR = 51,
    E4ROW_FIRST_FUNCTION = 52,
    E4ROW_DEL = 52,
    E4ROW_STR = 53,
    E4ROW_SUBSTR = 54,
    E4ROW_TIME = 55,
    E4ROW_UPPER = 56,
    E4ROW_DTOS = 57,
    E4ROW_DTOS_DOUB = 58,
    E4ROW_DTOC = 59,
    E4ROW_DTOC_DOUB = 60,
    E4ROW_TRIM = 61,
    E4ROW_LTRIM = 62,
    E4ROW_LEFT = 63,
    E4ROW_IIF = 64,
    E4ROW_CTOD = 69,
    E4ROW_DATE = 70,
    E4ROW_DELETED = 77,
    E4ROW_RECCOUNT = 78,
    E4ROW_RECNO = 79,
    E4ROW_CALC = 81,
    E4ROW_CALC_TOTAL = 82,
    E4ROW_PAGENO = 83,
    E4ROW_END = 84
};

// ---- Compiled expressions -------------------------------------------------

struct E4INFO_st {
    FIELD4 *field_ptr;
    void *p1;           // by row: &DATA4::record, the DATA4, a 0/1 flag (null/non-null), a calculation
    int len;            // bytes of this entry's result
    int num_entries;    // entries of the sub-tree ending here, this one included
    int num_parms;
    int result_pos;     // offset of the result in the work buffer
    int i1;             // by row: field offset, constant offset, start, decimals, compared bytes
    int function_i;     // row of v4functions
    E4FUNC function;
    int align_offset;   // always 0
};
typedef E4INFO_st E4INFO;

struct e4expr_st {
    E4INFO *info;
    int info_n;
    char *source;
    char *constants;
    int len;
    int type;
    DATA4 *data;
    CODE4 *code_base;
    int len_eval;       // work-buffer bytes evaluation needs
    int num_parms;      // not used; 0
    char has_trim;      // TRIM or LTRIM may leave zero bytes at the end of a character key
};

// Value type codes.
enum {
    E4TYPE_CHAR = 'C',
    E4TYPE_DATE_RAW = 'D',   // a date field's 8 characters CCYYMMDD
    E4TYPE_NUM_RAW = 'N',    // a numeric field's text
    E4TYPE_LOG = 'L',        // 4-byte int 1 or 0
    E4TYPE_DATE = 'd',       // 8-byte double day number, 0 blank
    E4TYPE_NUM = 'n'         // 8-byte double
};

// Sizes that bound compilation and evaluation.
enum {
    E4_CONSTANTS_LEN = 512,   // the constants area of every compiled expression
    E4_OP_STACK_LEN = 128,    // operator stack of the parser: 32 ints
    E4_MAX_PENDING = 19,      // values pending at once in the resolution pass
    E4_STACK_SLOTS = 21,      // value stack of one evaluation
    E4_WORK_MAX = 65536,      // largest work buffer (and entry array) one expression may need
    E4_GROW_ENTRIES = 50,
    E4_NAME_MAX = 10          // field and alias names
};
static_assert(E4_MAX_PENDING < E4_STACK_SLOTS,
              "evaluation mirrors the resolution pass, so its stack must hold every pending value");

// ---- Parser state ---------------------------------------------------------

struct S4STACK {
    char *ptr;
    unsigned pos;       // bytes in use
    unsigned len;       // capacity in bytes
    int do_extend;      // grow by 256 bytes on overflow (heap buffers only)
    CODE4 *code_base;
};

struct S4SCAN {
    const char *ptr;
    int pos;
    int len;
};

struct E4PARSE {
    e4expr_st expr;
    S4STACK constants;
    S4SCAN scan;
    S4STACK op;
    CODE4 *code_base;
};

// Operator-stack markers and operator-reader answers.
enum {
    E4_EMPTY = -3,          // top of an empty stack
    E4_NO_OPERATOR = -2,    // end of text, ")" or ","
    E4_MARK_BRACKET = -5,   // "(" or the start of an argument list
    E4_MARK_NARY = -6       // one more operand of the n-ary operator above
};

// The compiling calls below fail with -1 (or null). A fault of the text is
// reported (its code and mostly the source text) only when the context's
// `expr_error` is set, so a caller probing a text can stay silent; a
// failed allocation is reported as allocations are, and an unknown field
// as d4field reports it.

// Compiles `expr_ptr` (terminated; copied, so it need not outlive the call)
// over the fields of `d4` and, through "alias." or "alias->", of the
// context's other open data files, and over its named calculations. The
// result is one u4alloc block the caller owns and frees with expr4free; it
// points at `d4`, the fields and the calculations it uses, so it must not
// outlive them. Null for a null argument or context, while the context's
// error_code is negative, and on any failure of the text. Compilation
// works in the context's shared work buffer and may grow it and the key
// buffer, so a value an earlier evaluation left there is gone afterwards.
e4expr_st *expr4parse(DATA4 *d4, const char *expr_ptr);
// Frees a compiled expression; null is allowed. An expression handed to a
// named calculation belongs to it and is freed with it.
void expr4free(e4expr_st *expr);

// Parses one expression from the scanner's position up to the end of the
// text, a ")" or a ",", which it leaves unread, appending its entries in
// postfix order. An operator waits on the operator stack until one of
// equal or lower priority (the function table's) arrives or the expression
// ends, and a run of one n-ary operator becomes one entry. 0, or -1.
int expr4parse_expr(E4PARSE *p4);
// Parses one operand at the scanner's position, after spaces: a bracketed
// expression, .T. .F. .TRUE. .FALSE., a negation (.NOT. or "!") of the
// operand that follows, a text in '', "" or [], a number, a function call,
// or a field, plain or after an alias. 0, or -1 (also, unreported, while
// the context's error_code is negative).
int expr4parse_value(E4PARSE *p4);
// Parses the call of the function (or, when no function has that name,
// the named calculation) whose name is the `f_len` bytes at `start_ptr`,
// with the scanner on its "(", through its ")". The constant arguments of
// STR (length, decimals), SUBSTR (start, length) and LEFT (length) are
// folded into the call's own entry. 0, or -1 for an unknown name, a
// missing ")" or ",", a folded argument that is not a number constant, or
// a wrong number of arguments.
int expr4parse_function(E4PARSE *p4, const char *start_ptr, int f_len);
// Skips blanks and control characters and reads an infix operator:
// *op_return gets its row, or E4_NO_OPERATOR at the end of the text, a ")"
// or a "," (which stay unread); "!=" reads as "<>". 0, or -1 for an
// unknown operator (*op_return then untouched).
int e4get_operator(E4PARSE *p4, int *op_return);
// The first row from `start_i` to `end_i` whose name matches `str`, letters
// compared without case (names are ASCII): over exactly `str_len`
// characters, or, with `str_len` -1, as a prefix of `str` (operators and
// dotted words, which need no delimiter). Only the first 8 characters of
// `str` are looked at, so `str` must be readable up to 8 characters or its
// terminator. -1 when none matches.
int e4lookup(const char *str, int str_len, int start_i, int end_i);
// Moves the operator on top of the operator stack into an entry, counting
// each E4_MARK_NARY below it as one more operand. -1 when the top is a
// marker rather than an operator (nothing reported) or the entry cannot be
// added.
int op_to_expr(E4PARSE *p4);
// Appends a zeroed entry for row `i_functions`, with the row's number of
// parameters (2 for an n-ary row) and routine. Entries live in the
// context's work buffer while compiling; it grows 50 entries at a time,
// keeping room for 5 more, so `expr->info` is re-pointed and an entry
// pointer held from before is void. Null when the entries would pass
// E4_WORK_MAX (e4too_large) or the buffer cannot grow.
E4INFO *e4function_add(e4expr_st *expr, int i_functions);
// Drops the last entry; nothing when there is none.
void e4function_pop(e4expr_st *expr);
// Appends an entry for the constant row `i_functions` and copies the
// `cons_len` bytes at `cons_ptr` into the constants area; the entry's i1 is
// their offset there and its len their length. -1 (-920) for more bytes
// than the constants area holds, or when the entry cannot be added.
int e4add_constant(E4PARSE *p4, int i_functions, const void *cons_ptr, unsigned cons_len);
// The resolution pass over the whole postfix entries (e4massage.cpp):
// picks each entry's typed row, fixes its result length and work-buffer
// position, and sets the expression's len, type and len_eval, growing the
// work buffer and the key buffer to what evaluation will need. 0, or -1
// for a wrong number of parameters, entries that do not leave exactly one
// value, operand types no row takes, IIF
// branches of unequal length, more pending values than E4_MAX_PENDING,
// anything that would pass E4_WORK_MAX, or a failed allocation.
int e4massage(E4PARSE *p4);
// Reports a compilation failure when the context's `expr_error` asks for
// reports; returns -1 either way. A null context reports nothing.
int e4parse_error(CODE4 *c4, int err_code, const char *d1, const char *d2, const char *d3);
// The same for an expression whose entries, result or work area would pass
// E4_WORK_MAX: -920 with "Expression too large" and the source text.
int e4too_large(CODE4 *c4, const char *source);

// The parser's stacks: bytes from `ptr` up to `pos`. A stack with
// do_extend grows in 256-byte steps (through u4alloc_again, so its buffer
// is a heap one); a fixed stack refuses to pass `len`.
// Pushes the bytes of `i`; s4stack_push_str's results.
int s4stack_push_int(S4STACK *s4, int i);
// Appends `len` bytes from `ptr`. 0; -1 for a negative `len`, a full fixed
// stack (-920) or a growth that fails.
int s4stack_push_str(S4STACK *s4, const void *ptr, int len);
// Removes and returns the int on top; E4_EMPTY, removing nothing, when
// fewer bytes than an int remain.
int s4stack_pop(S4STACK *s4);
// The int on top, left there; E4_EMPTY when there is none.
int s4stack_cur(S4STACK *s4);
// Starts a scan of the terminated text `p`, which is not copied and must
// outlive the scan; a text longer than INT_MAX is scanned to INT_MAX.
void s4scan_init(S4SCAN *s4, const char *p);
// The current character as an unsigned char, stepping past it; 0 at the
// end, where the position stays.
int s4scan_char(S4SCAN *s4);
// Steps over characters whose codes lie from `start_char` to `end_char`,
// both included; returns how many.
int s4scan_range(S4SCAN *s4, int start_char, int end_char);
// Steps up to the next `search_char`, leaving it unread, or to the end;
// returns how many characters were passed.
int s4scan_search(S4SCAN *s4, char search_char);

// ---- Evaluation and key forms ---------------------------------------------

// Registers of the evaluation under way; set only inside expr4vary (a
// named calculation's routine saves and restores them around its own
// evaluation). They are process-wide: one evaluation runs at a time in a
// process, so threads must not evaluate at once.
extern char *expr4buf;        // the context's work buffer
extern char **expr4;          // next free slot of the value stack
extern E4INFO *expr4info_ptr; // the entry whose routine runs
extern char *expr4constants;  // the constants area of the expression
extern e4expr_st *expr4ptr;   // the expression being evaluated

// Points expr4buf at the context's work buffer (not null); always 0.
int expr4start(CODE4 *c4);
// Clears every register; the context is not looked at.
void expr4stop(CODE4 *c4);

// Evaluation reads the record buffers of the data files as they stand: it
// positions nothing and locks no record itself, so the caller reads and
// locks the record it means first. A memo field is read through its cache,
// as f4memo_ptr reads it (with the context's read_lock set, a stale cache
// takes the record's lock). A value
// handed out lies in the context's work buffer, or in a record buffer for
// a field read in place, and holds until the next evaluation or
// compilation in the context or until that record buffer changes.

// Evaluates `expr`; *result_ptr gets the value in the form of
// expr->type (E4TYPE_*), expr->len bytes, not necessarily terminated.
// Returns expr->len; -1 for a null expression or context, while the
// context's error_code is negative, or when the work buffer cannot grow to
// what the expression needs (*result_ptr then untouched).
int expr4vary(e4expr_st *expr, char **result_ptr);
// A logical expression's value: 1 or 0. -950 (reported) when the
// expression is not logical; -1 for a null expression or context, a
// pending error or a failed evaluation.
int expr4true(e4expr_st *expr);
// Evaluates `expr` and converts the value to the key form a tag stores
// (expr4key_convert); *ptr_ptr gets the key. Returns the key's length; -1
// as expr4vary or expr4key_convert fail.
int expr4key(e4expr_st *expr, char **ptr_ptr);
// Converts the value of type `type` and `len` bytes at *ptr_ptr to key
// form in the context's key buffer (stored_key), terminated after the key,
// and re-points *ptr_ptr there: dates and numbers the 8-byte number key,
// logicals "T" or "F", characters their bytes, with trailing zero bytes
// blanked when the expression has TRIM or LTRIM. `expr` (not null) gives
// the context. Returns the key's length (expr4key_len's); -1 for a
// negative `len`, when the key buffer would have to grow while the value
// lies in it (nothing reported), or when it cannot grow.
int expr4key_convert(e4expr_st *expr, char **ptr_ptr, int len, int type);
// The length of the expression's keys without evaluating it: 8 for dates
// and numbers, 1 for logicals, expr->len for characters. `expr` not null.
int expr4key_len(e4expr_st *expr);
// Evaluates `expr` as a number: character and numeric text read as a
// number, a date as its day number, a computed number as it is; a logical
// gives 0.0, and so does a failed evaluation, which the caller cannot tell
// from a zero.
double expr4double(e4expr_st *expr);
// The result length in bytes fixed by compilation; `expr` not null.
int expr4len(e4expr_st *expr);
// The result type code (E4TYPE_*) fixed by compilation; `expr` not null.
int expr4type(e4expr_st *expr);
// The source text as compiled; "" for a null expression.
const char *expr4source(e4expr_st *expr);

// Writes the 8-byte key of `d` (the number key form above, not
// terminated) at `result`; also builds search keys for number and date tags.
void t4dbl_to_fox(char *result, double d);

// ---- Named calculations ---------------------------------------------------

enum {
    total4lowest = 1,
    total4highest = 2,
    total4count = 3,
    total4average = 4,
    total4sum = 5
};

// What a calculation's total exposes to expressions; report totals fill it.
struct TOTAL4 {
    int total_type;
    double low;
    double high;
    double total;
    long count;
};

enum { EXPR4CALC_NAME_LEN = 20 };

struct EXPR4CALC {
    LINK4 link;
    e4expr_st *expr;
    TOTAL4 *total;
    char name[EXPR4CALC_NAME_LEN];
    int cur_result_pos;
};

// Expressions compiled after a calculation is created call it by pointer
// (E4ROW_CALC) or read its total (E4ROW_CALC_TOTAL), so they must be freed
// before it is deleted; expressions compiled before do not see it.

// Keeps the compiled `expr` under `name` (letters upper-cased, cut to 19
// characters) in the context's list, taking ownership of `expr`: it is
// freed with the calculation. A calculation that is a bare numeric field
// computes a double (expr4calc_massage). Null for a null argument or when
// the record cannot be allocated. Names are not checked against earlier
// ones; lookup finds the earliest.
EXPR4CALC *expr4calc_create(CODE4 *c4, e4expr_st *expr, const char *name);
// The earliest calculation whose name is the first `name_len` characters of
// `name` (fewer when a terminator comes first), compared upper-cased and
// cut as expr4calc_create cuts; null when none, or for a null argument.
EXPR4CALC *expr4calc_lookup(CODE4 *c4, const char *name, unsigned name_len);
// Unlinks the calculation and frees its total (into the context's total
// pool, when there is one), its expression and the record; null is
// allowed.
void expr4calc_delete(EXPR4CALC *calc);
// Deletes every calculation of the context; null is allowed. The context's
// release does this before it closes the data files the expressions read.
void expr4calc_reset(CODE4 *c4);
// Moves every entry of the calculation's expression so that its result
// lands at `new_result_pos` in the work buffer: the calling expression's
// routine does this before evaluating it in place of its own entry.
void expr4calc_result_pos(EXPR4CALC *calc, int new_result_pos);
// Turns a calculation that is a bare numeric field into one computing a
// double (8 bytes, at least 9 of work area), growing the key and work
// buffers to match; any other calculation is left as it is. 0, or -1 when
// a buffer cannot grow (reported).
int expr4calc_massage(EXPR4CALC *calc);
// Compiles the text of *expr_on again with every whole name `old_name`
// (letters compared without case, no name character joined on either side)
// replaced by `new_name`; on success the old expression is freed and
// *expr_on replaced. 0 also when no name matched or `old_name` is empty;
// -1 for a null argument or when the new text does not compile, *expr_on
// then kept.
int expr4calc_name_change(e4expr_st **expr_on, const char *old_name, const char *new_name);

#endif

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

extern const E4FUNCTIONS v4functions[];
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
    E4ROW_DELETED = 77,
    E4ROW_RECCOUNT = 78,
    E4ROW_RECNO = 79,
    E4ROW_CALC = 81,
    E4ROW_CALC_TOTAL = 82,
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

e4expr_st *expr4parse(DATA4 *d4, const char *expr_ptr);
void expr4free(e4expr_st *expr);

int expr4parse_expr(E4PARSE *p4);
int expr4parse_value(E4PARSE *p4);
int expr4parse_function(E4PARSE *p4, const char *start_ptr, int f_len);
int e4get_operator(E4PARSE *p4, int *op_return);
int e4lookup(const char *str, int str_len, int start_i, int end_i);
int op_to_expr(E4PARSE *p4);
E4INFO *e4function_add(e4expr_st *expr, int i_functions);
void e4function_pop(e4expr_st *expr);
int e4add_constant(E4PARSE *p4, int i_functions, const void *cons_ptr, unsigned cons_len);
int e4massage(E4PARSE *p4);
// Reports a compilation failure when the context's `expr_error` asks for
// reports; returns -1 either way.
int e4parse_error(CODE4 *c4, int err_code, const char *d1, const char *d2, const char *d3);
// The same for an expression whose entries, result or work area would pass
// E4_WORK_MAX: -920 with "Expression too large" and the source text.
int e4too_large(CODE4 *c4, const char *source);

int s4stack_push_int(S4STACK *s4, int i);
int s4stack_push_str(S4STACK *s4, const void *ptr, int len);
int s4stack_pop(S4STACK *s4);
int s4stack_cur(S4STACK *s4);
void s4scan_init(S4SCAN *s4, const char *p);
int s4scan_char(S4SCAN *s4);
int s4scan_range(S4SCAN *s4, int start_char, int end_char);
int s4scan_search(S4SCAN *s4, char search_char);

// ---- Evaluation and key forms ---------------------------------------------

// Registers of the evaluation under way; set only inside expr4vary.
extern char *expr4buf;
extern char **expr4;
extern E4INFO *expr4info_ptr;
extern char *expr4constants;
extern e4expr_st *expr4ptr;

int expr4start(CODE4 *c4);
void expr4stop(CODE4 *c4);

int expr4vary(e4expr_st *expr, char **result_ptr);
int expr4true(e4expr_st *expr);
int expr4key(e4expr_st *expr, char **ptr_ptr);
int expr4key_convert(e4expr_st *expr, char **ptr_ptr, int len, int type);
int expr4key_len(e4expr_st *expr);
double expr4double(e4expr_st *expr);
int expr4len(e4expr_st *expr);
int expr4type(e4expr_st *expr);
const char *expr4source(e4expr_st *expr);

// The 8-byte key of a number; also builds search keys for number and date tags.
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

EXPR4CALC *expr4calc_create(CODE4 *c4, e4expr_st *expr, const char *name);
EXPR4CALC *expr4calc_lookup(CODE4 *c4, const char *name, unsigned name_len);
void expr4calc_delete(EXPR4CALC *calc);
void expr4calc_reset(CODE4 *c4);
void expr4calc_result_pos(EXPR4CALC *calc, int new_result_pos);
int expr4calc_massage(EXPR4CALC *calc);
int expr4calc_name_change(e4expr_st **expr_on, const char *old_name, const char *new_name);

#endif

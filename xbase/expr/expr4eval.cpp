// Expression evaluation: the function table with one routine per row, the
// straight pass over a compiled expression, and the key forms that index
// tags store (character bytes, "T"/"F", and the ordered 8-byte number key).
#include <cmath>
#include <cstring>

#include "xbase/c4conv.h"
#include "xbase/d4data.h"
#include "xbase/date4.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/memo4.h"
#include "xbase/u4util.h"

char *expr4buf = nullptr;
char **expr4 = nullptr;
E4INFO *expr4info_ptr = nullptr;
char *expr4constants = nullptr;
e4expr_st *expr4ptr = nullptr;

namespace {

// Values in the work buffer sit at any byte offset, so numbers and logicals
// are moved with memcpy, never through a typed pointer.
double get_d(const char *p)
{
    double d;
    memcpy(&d, p, sizeof(d));
    return d;
}

void put_d(char *p, double d)
{
    memcpy(p, &d, sizeof(d));
}

int get_i(const char *p)
{
    int32_t i;
    memcpy(&i, p, sizeof(i));
    return i;
}

void put_i(char *p, int v)
{
    int32_t i = v;
    memcpy(p, &i, sizeof(i));
}

char *result()
{
    return expr4buf + expr4info_ptr->result_pos;
}

// The first of n parameters on the value stack.
char **parms(int n)
{
    return expr4 - n;
}

// Replaces n parameters by the value at r.
void leave(int n, char *r)
{
    expr4 -= n;
    *expr4++ = r;
}

char *record()
{
    return *static_cast<char **>(expr4info_ptr->p1);
}

// Length of the single parameter: its sub-tree ends just before this entry.
int parm_len()
{
    return expr4info_ptr[-1].len;
}

// A day number as the whole number date4assign takes; what no date can be
// (NaN, infinities, beyond the long range) is the blank date.
long day_number(double d)
{
    if (!(d > 0.0 && d < 1e15))
        return 0;
    return (long)d;
}

// ---- Readers --------------------------------------------------------------

void e4field_add()
{
    *expr4++ = record() + expr4info_ptr->i1;
}

void e4field_copy()
{
    char *r = result();
    memcpy(r, record() + expr4info_ptr->i1, (size_t)expr4info_ptr->len);
    *expr4++ = r;
}

void e4field_log()
{
    char c = record()[expr4info_ptr->i1];
    char *r = result();
    put_i(r, c == 'Y' || c == 'y' || c == 'T' || c == 't');
    *expr4++ = r;
}

void e4field_date_d()
{
    char *r = result();
    put_d(r, (double)date4long(record() + expr4info_ptr->i1));
    *expr4++ = r;
}

void e4field_num_d()
{
    char *r = result();
    put_d(r, c4atod(record() + expr4info_ptr->i1, (int)expr4info_ptr->field_ptr->len));
    *expr4++ = r;
}

void e4field_memo()
{
    char *r = result();
    size_t len = (size_t)expr4info_ptr->len;
    FIELD4 *field = expr4info_ptr->field_ptr;
    unsigned memo_len = f4memo_len(field);
    const char *memo = f4memo_ptr(field);
    size_t n = 0;
    if (expr4ptr->code_base->error_code >= 0 && memo != nullptr) {
        n = memo_len < len ? memo_len : len;
        memcpy(r, memo, n);
    }
    memset(r + n, 0, len - n);
    *expr4++ = r;
}

void e4copy_constant()
{
    char *r = result();
    memcpy(r, expr4constants + expr4info_ptr->i1, (size_t)expr4info_ptr->len);
    *expr4++ = r;
}

void expr4true_function()
{
    char *r = result();
    put_i(r, 1);
    *expr4++ = r;
}

void e4false()
{
    char *r = result();
    put_i(r, 0);
    *expr4++ = r;
}

// ---- Logical operators ----------------------------------------------------

void e4not()
{
    char *r = result();
    put_i(r, get_i(parms(1)[0]) == 0);
    leave(1, r);
}

void e4or()
{
    int n = expr4info_ptr->num_parms;
    char **p = parms(n);
    int v = 0;
    for (int i = 0; i < n; i++)
        if (get_i(p[i]) != 0)
            v = 1;
    char *r = result();
    put_i(r, v);
    leave(n, r);
}

void e4and()
{
    int n = expr4info_ptr->num_parms;
    char **p = parms(n);
    int v = 1;
    for (int i = 0; i < n; i++)
        if (get_i(p[i]) == 0)
            v = 0;
    char *r = result();
    put_i(r, v);
    leave(n, r);
}

// ---- Concatenation --------------------------------------------------------

// The operands already lie side by side at the result position.
void e4parm_remove()
{
    leave(2, result());
}

// Moves the fill at the end of the first operand behind the second.
void concat_fill(char fill)
{
    char *r = result();
    int l1 = expr4info_ptr->i1;
    int l = expr4info_ptr->len;
    int k = l1;
    while (k > 0 && r[k - 1] == fill)
        k--;
    if (k < l1) {
        memmove(r + k, r + l1, (size_t)(l - l1));
        memset(r + l - (l1 - k), fill, (size_t)(l1 - k));
    }
    leave(2, r);
}

void e4concat_trim()
{
    concat_fill('\0');
}

void e4concat_two()
{
    concat_fill(' ');
}

// ---- Arithmetic -----------------------------------------------------------

void arith(double v)
{
    char *r = result();
    put_d(r, v);
    leave(2, r);
}

void e4add()
{
    char **p = parms(2);
    arith(get_d(p[0]) + get_d(p[1]));
}

void e4add_date()
{
    char **p = parms(2);
    double a = get_d(p[0]), b = get_d(p[1]);
    double date = expr4info_ptr->function_i == E4ROW_ADD_NUM_DATE ? b : a;
    arith(date == 0.0 ? 0.0 : a + b);
}

void e4sub()
{
    char **p = parms(2);
    arith(get_d(p[0]) - get_d(p[1]));
}

// Date minus date is 0 when either is blank; date minus a number stays
// blank when the date is.
void e4sub_date()
{
    char **p = parms(2);
    double a = get_d(p[0]), b = get_d(p[1]);
    bool blank = a == 0.0 || (expr4info_ptr->function_i == E4ROW_SUB_DATES && b == 0.0);
    arith(blank ? 0.0 : a - b);
}

void e4multiply()
{
    char **p = parms(2);
    arith(get_d(p[0]) * get_d(p[1]));
}

void e4divide()
{
    char **p = parms(2);
    double b = get_d(p[1]);
    arith(b == 0.0 ? 0.0 : get_d(p[0]) / b);
}

void e4power()
{
    char **p = parms(2);
    arith(pow(get_d(p[0]), get_d(p[1])));
}

// ---- Comparisons ----------------------------------------------------------

void logical(int v)
{
    char *r = result();
    put_i(r, v);
    leave(2, r);
}

int compare()
{
    char **p = parms(2);
    return memcmp(p[0], p[1], (size_t)expr4info_ptr->i1);
}

void e4equal()
{
    logical(compare() == 0);
}

void e4not_equal()
{
    logical(compare() != 0);
}

void e4greater_eq()
{
    logical(compare() >= 0);
}

void e4less_eq()
{
    logical(compare() <= 0);
}

void e4greater()
{
    int c = compare();
    logical(c > 0 ? 1 : c < 0 ? 0 : expr4info_ptr->p1 != nullptr);
}

void e4less()
{
    int c = compare();
    logical(c < 0 ? 1 : c > 0 ? 0 : expr4info_ptr->p1 != nullptr);
}

// Numbers and dates compare as values, so that 0 equals -0.
void e4equal_doub()
{
    char **p = parms(2);
    logical(get_d(p[0]) == get_d(p[1]));
}

void e4not_equal_doub()
{
    char **p = parms(2);
    logical(!(get_d(p[0]) == get_d(p[1])));
}

void e4greater_eq_doub()
{
    char **p = parms(2);
    logical(get_d(p[0]) >= get_d(p[1]));
}

void e4less_eq_doub()
{
    char **p = parms(2);
    logical(get_d(p[0]) <= get_d(p[1]));
}

void e4greater_doub()
{
    char **p = parms(2);
    logical(!(get_d(p[0]) <= get_d(p[1])));
}

void e4less_doub()
{
    char **p = parms(2);
    logical(!(get_d(p[0]) >= get_d(p[1])));
}

// The first operand as a run of bytes inside the second.
void e4contain()
{
    const E4INFO *second = expr4info_ptr - 1;
    long l2 = second->len;
    long l1 = (second - second->num_entries)->len;
    char **p = parms(2);
    const char *a = p[0], *b = p[1];
    int found = 0;
    if (l1 > 0)
        for (long start = 0; start + l1 <= l2 && !found; start++)
            found = b[start] == a[0] && memcmp(b + start, a, (size_t)l1) == 0;
    logical(found);
}

// ---- Functions ------------------------------------------------------------

void e4del()
{
    char *r = result();
    r[0] = record()[0];
    *expr4++ = r;
}

void e4str()
{
    char *r = result();
    double d = get_d(parms(1)[0]);
    c4dtoa45(d, r, expr4info_ptr->len, expr4info_ptr->i1);
    leave(1, r);
}

void e4substr()
{
    char *r = result();
    memmove(r, parms(1)[0] + expr4info_ptr->i1, (size_t)expr4info_ptr->len);
    leave(1, r);
}

void e4time()
{
    char *r = result();
    date4time_now(r);
    *expr4++ = r;
}

void e4upper()
{
    char *r = result();
    char *p = parms(1)[0];
    if (p != r)
        memmove(r, p, (size_t)expr4info_ptr->len);
    r[expr4info_ptr->len] = '\0';
    c4upper(r);
    leave(1, r);
}

void e4copy_parm()
{
    char *r = result();
    memmove(r, parms(1)[0], 8);
    leave(1, r);
}

void e4dtos_doub()
{
    char *r = result();
    long day = day_number(get_d(parms(1)[0]));
    date4assign(r, day);
    leave(1, r);
}

void e4dtoc()
{
    char *r = result();
    char date[8];
    memcpy(date, parms(1)[0], sizeof(date));
    date4format(date, r, expr4constants + expr4info_ptr->i1);
    leave(1, r);
}

void e4dtoc_doub()
{
    char *r = result();
    char date[8];
    date4assign(date, day_number(get_d(parms(1)[0])));
    date4format(date, r, expr4constants + expr4info_ptr->i1);
    leave(1, r);
}

void e4trim()
{
    char *r = result();
    char *p = parms(1)[0];
    if (p != r)
        memmove(r, p, (size_t)expr4info_ptr->len);
    c4trim_n(r, expr4info_ptr->len + 1);
    leave(1, r);
}

void e4ltrim()
{
    char *r = result();
    const char *p = parms(1)[0];
    int len = expr4info_ptr->len;
    int k = 0;
    while (k < len && (p[k] == ' ' || p[k] == '\0'))
        k++;
    memmove(r, p + k, (size_t)(len - k));
    memset(r + len - k, 0, (size_t)k);
    leave(1, r);
}

void e4iif()
{
    char **p = parms(3);
    char *r = result();
    memmove(r, get_i(p[0]) != 0 ? p[1] : p[2], (size_t)expr4info_ptr->len);
    leave(3, r);
}

void day_result(long day)
{
    char *r = result();
    put_d(r, (double)day);
    leave(1, r);
}

void e4stod()
{
    char date[8];
    int n = parm_len() < 8 ? parm_len() : 8;
    memset(date, ' ', sizeof(date));
    memcpy(date, parms(1)[0], (size_t)n);
    day_result(date4long(date));
}

void e4ctod()
{
    // The picture decides how far the text is read; the text is padded to it.
    enum { kMax = sizeof(((CODE4 *)nullptr)->date_format) };
    char *picture = expr4constants + expr4info_ptr->i1;
    char text[kMax];
    size_t pic_len = strnlen(picture, kMax - 1);
    size_t n = (size_t)parm_len() < pic_len ? (size_t)parm_len() : pic_len;
    memset(text, ' ', pic_len);
    memcpy(text, parms(1)[0], n);
    text[pic_len] = '\0';
    char date[8];
    date4init(date, text, picture);
    day_result(date4long(date));
}

void e4date()
{
    char date[8];
    date4today(date);
    char *r = result();
    put_d(r, (double)date4long(date));
    *expr4++ = r;
}

void number_result(int n_parms, double v)
{
    char *r = result();
    put_d(r, v);
    leave(n_parms, r);
}

void e4day()
{
    number_result(1, date4day(parms(1)[0]));
}

void e4month()
{
    number_result(1, date4month(parms(1)[0]));
}

void e4year()
{
    number_result(1, date4year(parms(1)[0]));
}

// A day number as CCYYMMDD; the blank date gives blanks, whose parts are 0.
void date_of(char *date)
{
    date4assign(date, day_number(get_d(parms(1)[0])));
}

void e4day_doub()
{
    char date[8];
    date_of(date);
    number_result(1, date4day(date));
}

void e4month_doub()
{
    char date[8];
    date_of(date);
    number_result(1, date4month(date));
}

void e4year_doub()
{
    char date[8];
    date_of(date);
    number_result(1, date4year(date));
}

void e4deleted()
{
    char *r = result();
    put_i(r, record()[0] == '*');
    *expr4++ = r;
}

void e4reccount()
{
    number_result(0, (double)d4reccount(static_cast<DATA4 *>(expr4info_ptr->p1)));
}

void e4recno()
{
    number_result(0, (double)d4recno(static_cast<DATA4 *>(expr4info_ptr->p1)));
}

void e4val()
{
    number_result(1, c4atod(parms(1)[0], parm_len()));
}

void e4pageno()
{
    number_result(0, (double)expr4ptr->code_base->pageno);
}

// A named calculation runs its own expression at this entry's position
// with its own value stack, then the outer registers come back.
void e4calc_function()
{
    EXPR4CALC *calc = static_cast<EXPR4CALC *>(expr4info_ptr->p1);
    char *saved_buf = expr4buf;
    char **saved_stack = expr4;
    E4INFO *saved_info = expr4info_ptr;
    char *saved_constants = expr4constants;
    e4expr_st *saved_expr = expr4ptr;

    expr4calc_result_pos(calc, saved_info->result_pos);
    char *value = nullptr;
    int len = expr4vary(calc->expr, &value);

    expr4buf = saved_buf;
    expr4 = saved_stack;
    expr4info_ptr = saved_info;
    expr4constants = saved_constants;
    expr4ptr = saved_expr;

    // The value may lie in a record; consumers expect it at this position.
    char *r = result();
    if (len < 0 || value == nullptr)
        memset(r, 0, (size_t)expr4info_ptr->len);
    else if (value != r)
        memmove(r, value, (size_t)expr4info_ptr->len);
    *expr4++ = r;
}

void e4calc_total()
{
    const TOTAL4 *t = static_cast<const TOTAL4 *>(expr4info_ptr->p1);
    double v = 0.0;
    if (t != nullptr) {
        switch (t->total_type) {
        case total4lowest: v = t->low; break;
        case total4highest: v = t->high; break;
        case total4count: v = (double)t->count; break;
        case total4average: v = t->count == 0 ? 0.0 : t->total / (double)t->count; break;
        default: v = t->total; break;
        }
    }
    number_result(0, v);
}

} // namespace

// ---- The function table ---------------------------------------------------

extern const E4FUNCTIONS v4functions[];
constexpr E4FUNCTIONS v4functions[] = {
    /*  0 */ {e4field_add, nullptr, 0, 0, 0, 'C', 0, {0, 0, 0}},
    /*  1 */ {e4field_copy, nullptr, 1, 0, 0, 'C', 0, {0, 0, 0}},
    /*  2 */ {e4field_log, nullptr, 2, 0, 0, 'L', 0, {0, 0, 0}},
    /*  3 */ {e4field_date_d, nullptr, 3, 0, 0, 'd', 0, {0, 0, 0}},
    /*  4 */ {e4field_add, nullptr, 4, 0, 0, 'D', 0, {0, 0, 0}},
    /*  5 */ {e4field_num_d, nullptr, 5, 0, 0, 'n', 0, {0, 0, 0}},
    /*  6 */ {e4field_add, nullptr, 6, 0, 0, 'N', 0, {0, 0, 0}},
    /*  7 */ {e4field_memo, nullptr, 7, 0, 0, 'C', 0, {0, 0, 0}},
    /*  8 */ {e4copy_constant, nullptr, 8, 0, 0, 'n', 0, {0, 0, 0}},
    /*  9 */ {e4copy_constant, nullptr, 9, 0, 0, 'C', 0, {0, 0, 0}},
    /* 10 */ {expr4true_function, ".TRUE.", 14, 6, 0, 'L', 0, {0, 0, 0}},
    /* 11 */ {expr4true_function, ".T.", 14, 3, 0, 'L', 0, {0, 0, 0}},
    /* 12 */ {e4false, ".FALSE.", 16, 7, 0, 'L', 0, {0, 0, 0}},
    /* 13 */ {e4false, ".F.", 16, 3, 0, 'L', 0, {0, 0, 0}},
    /* 14 */ {e4not, ".NOT.", 18, 5, 5, 'L', 1, {'L', 0, 0}},
    /* 15 */ {e4or, ".OR.", 20, 4, 3, 'L', -1, {'L', 0, 0}},
    /* 16 */ {e4and, ".AND.", 22, 5, 4, 'L', -1, {'L', 0, 0}},
    /* 17 */ {e4parm_remove, "+", 25, 1, 7, 'C', 2, {'C', 'C', 0}},
    /* 18 */ {e4concat_trim, nullptr, 25, 0, 7, 'C', 2, {'C', 'C', 0}},
    /* 19 */ {e4add, nullptr, 25, 0, 7, 'n', 2, {'n', 'n', 0}},
    /* 20 */ {e4add_date, nullptr, 25, 0, 7, 'd', 2, {'n', 'd', 0}},
    /* 21 */ {e4add_date, nullptr, 25, 0, 7, 'd', 2, {'d', 'n', 0}},
    /* 22 */ {e4concat_two, "-", 30, 1, 7, 'C', 2, {'C', 'C', 0}},
    /* 23 */ {e4sub, nullptr, 30, 0, 7, 'n', 2, {'n', 'n', 0}},
    /* 24 */ {e4sub_date, nullptr, 30, 0, 7, 'n', 2, {'d', 'd', 0}},
    /* 25 */ {e4sub_date, nullptr, 30, 0, 7, 'd', 2, {'d', 'n', 0}},
    /* 26 */ {e4equal, "=", 40, 1, 6, 'L', 2, {'C', 'C', 0}},
    /* 27 */ {e4equal, nullptr, 40, 0, 6, 'L', 2, {'L', 'L', 0}},
    /* 28 */ {e4equal_doub, nullptr, 40, 0, 6, 'L', 2, {'n', 'n', 0}},
    /* 29 */ {e4equal_doub, nullptr, 40, 0, 6, 'L', 2, {'d', 'd', 0}},
    /* 30 */ {e4not_equal, "#", 50, 1, 6, 'L', 2, {'C', 'C', 0}},
    /* 31 */ {e4not_equal, "<>", 50, 2, 6, 'L', 2, {'C', 'C', 0}},
    /* 32 */ {e4not_equal_doub, nullptr, 50, 0, 6, 'L', 2, {'n', 'n', 0}},
    /* 33 */ {e4not_equal_doub, nullptr, 50, 0, 6, 'L', 2, {'d', 'd', 0}},
    /* 34 */ {e4not_equal, nullptr, 50, 0, 6, 'L', 2, {'L', 'L', 0}},
    /* 35 */ {e4greater_eq, ">=", 60, 2, 6, 'L', 2, {'C', 'C', 0}},
    /* 36 */ {e4greater_eq_doub, nullptr, 60, 0, 6, 'L', 2, {'n', 'n', 0}},
    /* 37 */ {e4greater_eq_doub, nullptr, 60, 0, 6, 'L', 2, {'d', 'd', 0}},
    /* 38 */ {e4less_eq, "<=", 70, 2, 6, 'L', 2, {'C', 'C', 0}},
    /* 39 */ {e4less_eq_doub, nullptr, 70, 0, 6, 'L', 2, {'n', 'n', 0}},
    /* 40 */ {e4less_eq_doub, nullptr, 70, 0, 6, 'L', 2, {'d', 'd', 0}},
    /* 41 */ {e4greater, ">", 80, 1, 6, 'L', 2, {'C', 'C', 0}},
    /* 42 */ {e4greater_doub, nullptr, 80, 0, 6, 'L', 2, {'n', 'n', 0}},
    /* 43 */ {e4greater_doub, nullptr, 80, 0, 6, 'L', 2, {'d', 'd', 0}},
    /* 44 */ {e4less, "<", 90, 1, 6, 'L', 2, {'C', 'C', 0}},
    /* 45 */ {e4less_doub, nullptr, 90, 0, 6, 'L', 2, {'n', 'n', 0}},
    /* 46 */ {e4less_doub, nullptr, 90, 0, 6, 'L', 2, {'d', 'd', 0}},
    /* 47 */ {e4power, "^", 100, 1, 9, 'n', 2, {'n', 'n', 0}},
    /* 48 */ {e4power, "**", 100, 2, 9, 'n', 2, {'n', 'n', 0}},
    /* 49 */ {e4multiply, "*", 102, 1, 8, 'n', 2, {'n', 'n', 0}},
    /* 50 */ {e4divide, "/", 105, 1, 8, 'n', 2, {'n', 'n', 0}},
    /* 51 */ {e4contain, "$", 110, 1, 6, 'L', 2, {'C', 'C', 0}},
    /* 52 */ {e4del, "DEL", 130, 3, 0, 'C', 0, {0, 0, 0}},
    /* 53 */ {e4str, "STR", 140, 3, 0, 'C', 1, {'n', 0, 0}},
    /* 54 */ {e4substr, "SUBSTR", 150, 6, 0, 'C', 1, {'C', 0, 0}},
    /* 55 */ {e4time, "TIME", 160, 4, 0, 'C', 0, {0, 0, 0}},
    /* 56 */ {e4upper, "UPPER", 170, 5, 0, 'C', 1, {'C', 0, 0}},
    /* 57 */ {e4copy_parm, "DTOS", 180, 4, 0, 'C', 1, {'D', 0, 0}},
    /* 58 */ {e4dtos_doub, nullptr, 180, 0, 0, 'C', 1, {'d', 0, 0}},
    /* 59 */ {e4dtoc, "DTOC", 200, 4, 0, 'C', 1, {'D', 0, 0}},
    /* 60 */ {e4dtoc_doub, nullptr, 200, 0, 0, 'C', 1, {'d', 0, 0}},
    /* 61 */ {e4trim, "TRIM", 220, 4, 0, 'C', 1, {'C', 0, 0}},
    /* 62 */ {e4ltrim, "LTRIM", 230, 5, 0, 'C', 1, {'C', 0, 0}},
    /* 63 */ {e4substr, "LEFT", 240, 4, 0, 'C', 1, {'C', 0, 0}},
    /* 64 */ {e4iif, "IIF", 250, 3, 0, 'C', 3, {'L', 'C', 'C'}},
    /* 65 */ {e4iif, nullptr, 250, 0, 0, 'n', 3, {'L', 'n', 'n'}},
    /* 66 */ {e4iif, nullptr, 250, 0, 0, 'd', 3, {'L', 'd', 'd'}},
    /* 67 */ {e4iif, nullptr, 250, 0, 0, 'L', 3, {'L', 'L', 'L'}},
    /* 68 */ {e4stod, "STOD", 260, 4, 0, 'd', 1, {'C', 0, 0}},
    /* 69 */ {e4ctod, "CTOD", 270, 4, 0, 'd', 1, {'C', 0, 0}},
    /* 70 */ {e4date, "DATE", 280, 4, 0, 'd', 0, {0, 0, 0}},
    /* 71 */ {e4day, "DAY", 290, 3, 0, 'n', 1, {'D', 0, 0}},
    /* 72 */ {e4day_doub, nullptr, 290, 0, 0, 'n', 1, {'d', 0, 0}},
    /* 73 */ {e4month, "MONTH", 310, 5, 0, 'n', 1, {'D', 0, 0}},
    /* 74 */ {e4month_doub, nullptr, 310, 0, 0, 'n', 1, {'d', 0, 0}},
    /* 75 */ {e4year, "YEAR", 340, 4, 0, 'n', 1, {'D', 0, 0}},
    /* 76 */ {e4year_doub, nullptr, 340, 0, 0, 'n', 1, {'d', 0, 0}},
    /* 77 */ {e4deleted, "DELETED", 350, 7, 0, 'L', 0, {0, 0, 0}},
    /* 78 */ {e4reccount, "RECCOUNT", 360, 8, 0, 'n', 0, {0, 0, 0}},
    /* 79 */ {e4recno, "RECNO", 370, 5, 0, 'n', 0, {0, 0, 0}},
    /* 80 */ {e4val, "VAL", 380, 3, 0, 'n', 1, {'C', 0, 0}},
    /* 81 */ {e4calc_function, nullptr, 390, 0, 0, 0, 0, {0, 0, 0}},
    /* 82 */ {e4calc_total, nullptr, 400, 0, 0, 'n', 0, {0, 0, 0}},
    /* 83 */ {e4pageno, "PAGENO", 410, 6, 0, 'n', 0, {0, 0, 0}},
    /* 84 */ {nullptr, nullptr, -1, 0, 0, 0, 0, {0, 0, 0}},
};

namespace {

// The rows named in the code must be the rows of the table.
constexpr bool row_is(int row, short code, const char *name)
{
    const E4FUNCTIONS &f = v4functions[row];
    if (f.code != code)
        return false;
    if (name == nullptr)
        return f.name == nullptr;
    for (int i = 0; name[i] != '\0' || f.name[i] != '\0'; i++)
        if (name[i] != f.name[i])
            return false;
    return true;
}
static_assert(sizeof(v4functions) / sizeof(v4functions[0]) == E4ROW_END + 1, "table rows");
static_assert(row_is(E4ROW_NOT, 18, ".NOT.") && row_is(E4ROW_FIRST_OPERATOR, 20, ".OR."), "rows");
static_assert(row_is(E4ROW_CONCAT, 25, "+") && row_is(E4ROW_CONCAT_TWO, 30, "-"), "rows");
static_assert(row_is(E4ROW_NOT_EQUAL_ALT, 50, "<>") && row_is(E4ROW_CONTAIN, 110, "$"), "rows");
static_assert(row_is(E4ROW_GREATER_CHAR, 80, ">") && row_is(E4ROW_LESS_CHAR, 90, "<"), "rows");
static_assert(row_is(E4ROW_DEL, 130, "DEL") && row_is(E4ROW_STR, 140, "STR"), "rows");
static_assert(row_is(E4ROW_SUBSTR, 150, "SUBSTR") && row_is(E4ROW_LEFT, 240, "LEFT"), "rows");
static_assert(row_is(E4ROW_DTOC, 200, "DTOC") && row_is(E4ROW_CTOD, 270, "CTOD"), "rows");
static_assert(row_is(E4ROW_TRIM, 220, "TRIM") && row_is(E4ROW_IIF, 250, "IIF"), "rows");
static_assert(row_is(E4ROW_DELETED, 350, "DELETED") && row_is(E4ROW_RECNO, 370, "RECNO"), "rows");
static_assert(row_is(E4ROW_TIME, 160, "TIME") && row_is(E4ROW_DATE, 280, "DATE"), "rows");
static_assert(row_is(E4ROW_RECCOUNT, 360, "RECCOUNT") && row_is(E4ROW_PAGENO, 410, "PAGENO"), "rows");
static_assert(row_is(E4ROW_CALC, 390, nullptr) && row_is(E4ROW_END, -1, nullptr), "rows");

} // namespace

int expr4functions(const E4FUNCTIONS **fptr)
{
    *fptr = v4functions;
    return 0;
}

// ---- Evaluation -----------------------------------------------------------

int expr4start(CODE4 *c4)
{
    expr4buf = c4->expr_work_buf;
    return 0;
}

void expr4stop(CODE4 *)
{
    expr4buf = nullptr;
    expr4 = nullptr;
    expr4info_ptr = nullptr;
    expr4constants = nullptr;
    expr4ptr = nullptr;
}

int expr4vary(e4expr_st *expr, char **result_ptr)
{
    if (expr == nullptr || expr->code_base == nullptr)
        return -1;
    CODE4 *c4 = expr->code_base;
    if (c4->error_code < 0)
        return -1;
    // Compilation sized the shared buffer; only a context released and
    // initialised again since then can hold a smaller one.
    if (c4->expr_buf_len < (unsigned)expr->len_eval &&
        u4alloc_again(c4, &c4->expr_work_buf, &c4->expr_buf_len, (unsigned)expr->len_eval) < 0)
        return -1;

    char *stack[E4_STACK_SLOTS];
    expr4start(c4);
    expr4 = stack;
    expr4constants = expr->constants;
    expr4ptr = expr;
    for (int i = 0; i < expr->info_n; i++) {
        expr4info_ptr = &expr->info[i];
        expr4info_ptr->function();
    }
    *result_ptr = stack[0];
    expr4stop(c4);
    return expr->len;
}

int expr4true(e4expr_st *expr)
{
    if (expr == nullptr || expr->code_base == nullptr || expr->code_base->error_code < 0)
        return -1;
    if (expr->type != E4TYPE_LOG)
        return e4describe(expr->code_base, e4result, "expr4true()", "Expecting logical result.", nullptr);
    char *p;
    if (expr4vary(expr, &p) < 0)
        return -1;
    return get_i(p);
}

void t4dbl_to_fox(char *result, double d)
{
    // -0 would key as eight zero bytes, below every negative number.
    if (d == 0.0 || std::isnan(d))
        d = 0.0;
    uint64_t bits;
    memcpy(&bits, &d, sizeof(bits));
    for (int i = 0; i < 8; i++)
        result[i] = (char)(unsigned char)(bits >> (56 - 8 * i));
    if (d >= 0.0) {
        result[0] = (char)(unsigned char)((unsigned char)result[0] + 0x80);
    } else {
        for (int i = 0; i < 8; i++)
            result[i] = (char)~(unsigned char)result[i];
    }
}

int expr4key_convert(e4expr_st *expr, char **ptr_ptr, int len, int type)
{
    CODE4 *c4 = expr->code_base;
    const char *value = *ptr_ptr;
    if (len < 0)
        return -1;
    bool number = type == E4TYPE_DATE_RAW || type == E4TYPE_NUM_RAW || type == E4TYPE_DATE ||
                  type == E4TYPE_NUM;
    int key_len = number ? 8 : type == E4TYPE_LOG ? 1 : len;
    if (c4->stored_key_len < (unsigned)key_len + 1) {
        // Only a caller converting a value no compiled expression sized for
        // gets here; the value must not lie in the buffer being replaced.
        if (value >= c4->stored_key && value < c4->stored_key + c4->stored_key_len)
            return -1;
        if (u4alloc_again(c4, &c4->stored_key, &c4->stored_key_len, (unsigned)key_len + 1) < 0)
            return -1;
    }
    char *key = c4->stored_key;

    switch (type) {
    case E4TYPE_DATE_RAW:
        t4dbl_to_fox(key, (double)date4long(value));
        break;
    case E4TYPE_NUM_RAW:
        t4dbl_to_fox(key, c4atod(value, len));
        break;
    case E4TYPE_DATE:
    case E4TYPE_NUM:
        t4dbl_to_fox(key, get_d(value));
        break;
    case E4TYPE_LOG:
        key[0] = get_i(value) == 1 ? 'T' : 'F';
        break;
    default:
        memmove(key, value, (size_t)len);
        if (type == E4TYPE_CHAR && expr->has_trim)
            for (int i = len - 1; i >= 0 && key[i] == '\0'; i--)
                key[i] = ' ';
        break;
    }
    key[key_len] = '\0';
    *ptr_ptr = key;
    return key_len;
}

int expr4key(e4expr_st *expr, char **ptr_ptr)
{
    if (expr == nullptr || expr->code_base == nullptr || expr->code_base->error_code < 0)
        return -1;
    int len = expr4vary(expr, ptr_ptr);
    if (len < 0)
        return -1;
    return expr4key_convert(expr, ptr_ptr, len, expr->type);
}

int expr4key_len(e4expr_st *expr)
{
    switch (expr->type) {
    case E4TYPE_DATE_RAW:
    case E4TYPE_NUM_RAW:
    case E4TYPE_NUM:
        return 8;
    case E4TYPE_LOG:
        return 1;
    default:
        return expr->len;
    }
}

double expr4double(e4expr_st *expr)
{
    char *p;
    int len = expr4vary(expr, &p);
    if (len < 0)
        return 0.0;
    switch (expr->type) {
    case E4TYPE_CHAR:
    case E4TYPE_NUM_RAW:
        return c4atod(p, len);
    case E4TYPE_DATE_RAW:
        return (double)date4long(p);
    case E4TYPE_DATE:
    case E4TYPE_NUM:
        return get_d(p);
    default:
        return 0.0;
    }
}

int expr4len(e4expr_st *expr)
{
    return expr->len;
}

int expr4type(e4expr_st *expr)
{
    return expr->type;
}

const char *expr4source(e4expr_st *expr)
{
    return expr != nullptr && expr->source != nullptr ? expr->source : "";
}

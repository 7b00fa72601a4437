// The expression parser: a scanner and an operator-precedence parser, driven
// by the priorities of the function table, that turn a key or filter text
// into postfix entries, then pack entries, constants and source into one block.
#include <climits>
#include <cstring>

#include "xbase/c4conv.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"
#include "xbase/mem4.h"
#include "xbase/u4util.h"

// Reports a failure of the compilation when the context asks for reports;
// the compilation fails either way.
int e4parse_error(CODE4 *c4, int err_code, const char *d1, const char *d2, const char *d3)
{
    if (c4 != nullptr && c4->expr_error)
        e4describe(c4, err_code, d1, d2, d3);
    return -1;
}

int e4too_large(CODE4 *c4, const char *source)
{
    return e4parse_error(c4, e4memory, "Expression too large", source, nullptr);
}

// ---- Stacks ---------------------------------------------------------------

int s4stack_push_str(S4STACK *s4, const void *ptr, int len)
{
    if (len < 0)
        return -1;
    unsigned long long need = (unsigned long long)s4->pos + (unsigned)len;
    if (need > s4->len) {
        if (!s4->do_extend || need > UINT_MAX - 256)
            return e4parse_error(s4->code_base, e4memory, nullptr, nullptr, nullptr);
        unsigned new_len = s4->len;
        while (new_len < need)
            new_len += 256;
        if (u4alloc_again(s4->code_base, &s4->ptr, &s4->len, new_len) < 0)
            return -1;
    }
    if (len > 0)
        memcpy(s4->ptr + s4->pos, ptr, (size_t)len);
    s4->pos += (unsigned)len;
    return 0;
}

int s4stack_push_int(S4STACK *s4, int i)
{
    return s4stack_push_str(s4, &i, (int)sizeof(i));
}

int s4stack_cur(S4STACK *s4)
{
    if (s4->pos < sizeof(int))
        return E4_EMPTY;
    int i;
    memcpy(&i, s4->ptr + s4->pos - sizeof(int), sizeof(int));
    return i;
}

int s4stack_pop(S4STACK *s4)
{
    int i = s4stack_cur(s4);
    if (i != E4_EMPTY)
        s4->pos -= (unsigned)sizeof(int);
    return i;
}

// ---- Scanner --------------------------------------------------------------

void s4scan_init(S4SCAN *s4, const char *p)
{
    s4->ptr = p;
    s4->pos = 0;
    size_t n = strlen(p);
    s4->len = n > (size_t)INT_MAX ? INT_MAX : (int)n;
}

// The current character (0 at the end) and a step past it.
int s4scan_char(S4SCAN *s4)
{
    if (s4->pos >= s4->len)
        return 0;
    return (unsigned char)s4->ptr[s4->pos++];
}

// Steps over characters from start_char to end_char; returns how many.
int s4scan_range(S4SCAN *s4, int start_char, int end_char)
{
    int n = 0;
    while (s4->pos < s4->len) {
        int c = (unsigned char)s4->ptr[s4->pos];
        if (c < start_char || c > end_char)
            break;
        s4->pos++;
        n++;
    }
    return n;
}

// Steps up to the next search_char (or the end); returns how many were passed.
int s4scan_search(S4SCAN *s4, char search_char)
{
    int n = 0;
    while (s4->pos < s4->len && s4->ptr[s4->pos] != search_char) {
        s4->pos++;
        n++;
    }
    return n;
}

static int cur(const E4PARSE *p4)
{
    const S4SCAN &s = p4->scan;
    return s.pos < s.len ? (unsigned char)s.ptr[s.pos] : 0;
}

static int peek(const E4PARSE *p4, int ahead)
{
    const S4SCAN &s = p4->scan;
    return s.pos + ahead < s.len ? (unsigned char)s.ptr[s.pos + ahead] : 0;
}

static int src_error(E4PARSE *p4, int err_code)
{
    return e4parse_error(p4->code_base, err_code, p4->expr.source, nullptr, nullptr);
}

static int ascii_upper(int c)
{
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

static int is_letter(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static int is_digit(int c)
{
    return c >= '0' && c <= '9';
}

// ---- Table lookup and entries ---------------------------------------------

int e4lookup(const char *str, int str_len, int start_i, int end_i)
{
    // Names are ASCII, so ASCII folding is exactly case-insensitive matching.
    char buf[9] = {0};
    for (int i = 0; i < 8 && str[i] != '\0'; i++)
        buf[i] = (char)ascii_upper((unsigned char)str[i]);

    for (int i = start_i; i <= end_i; i++) {
        const E4FUNCTIONS &f = v4functions[i];
        if (f.code < 0)
            break;
        if (f.name == nullptr || f.name_len <= 0)
            continue;
        if (f.name[0] != buf[0])
            continue;
        if (str_len >= 0 && str_len != f.name_len)
            continue;
        if (memcmp(buf, f.name, (size_t)f.name_len) == 0)
            return i;
    }
    return -1;
}

E4INFO *e4function_add(e4expr_st *expr, int i_functions)
{
    CODE4 *c4 = expr->code_base;
    size_t need = ((size_t)expr->info_n + 5) * sizeof(E4INFO);
    if (need > c4->expr_buf_len) {
        size_t new_len = ((size_t)expr->info_n + E4_GROW_ENTRIES) * sizeof(E4INFO);
        if (new_len > (size_t)E4_WORK_MAX) {
            e4too_large(c4, expr->source);
            return nullptr;
        }
        if (u4alloc_again(c4, &c4->expr_work_buf, &c4->expr_buf_len, (unsigned)new_len) < 0)
            return nullptr;
    }
    expr->info = reinterpret_cast<E4INFO *>(c4->expr_work_buf);
    E4INFO *info = &expr->info[expr->info_n];
    memset(info, 0, sizeof(*info));
    const E4FUNCTIONS &f = v4functions[i_functions];
    info->function_i = i_functions;
    info->num_parms = f.num_parms < 0 ? 2 : f.num_parms;
    info->function = f.function_ptr;
    expr->info_n++;
    return info;
}

void e4function_pop(e4expr_st *expr)
{
    if (expr->info_n > 0)
        expr->info_n--;
}

int e4add_constant(E4PARSE *p4, int i_functions, const void *cons_ptr, unsigned cons_len)
{
    if (cons_len > (unsigned)E4_CONSTANTS_LEN)
        return e4parse_error(p4->code_base, e4memory, nullptr, nullptr, nullptr);
    E4INFO *info = e4function_add(&p4->expr, i_functions);
    if (info == nullptr)
        return -1;
    info->i1 = (int)p4->constants.pos;
    info->len = (int)cons_len;
    return s4stack_push_str(&p4->constants, cons_ptr, (int)cons_len);
}

int op_to_expr(E4PARSE *p4)
{
    int row = s4stack_pop(&p4->op);
    if (row < 0)
        return -1;
    E4INFO *info = e4function_add(&p4->expr, row);
    if (info == nullptr)
        return -1;
    while (s4stack_cur(&p4->op) == E4_MARK_NARY) {
        s4stack_pop(&p4->op);
        info->num_parms++;
    }
    return 0;
}

// ---- Operators ------------------------------------------------------------

int e4get_operator(E4PARSE *p4, int *op_return)
{
    s4scan_range(&p4->scan, 1, ' ');
    int c = cur(p4);
    if (c == 0 || c == ')' || c == ',') {
        *op_return = E4_NO_OPERATOR;
        return 0;
    }
    // Other writers store "!=" for "<>".
    if (c == '!' && peek(p4, 1) == '=') {
        p4->scan.pos += 2;
        *op_return = E4ROW_NOT_EQUAL_ALT;
        return 0;
    }
    int row = e4lookup(p4->scan.ptr + p4->scan.pos, -1, E4ROW_FIRST_OPERATOR, E4ROW_LAST_OPERATOR);
    if (row < 0)
        return src_error(p4, e4unrec_operator);
    p4->scan.pos += v4functions[row].name_len;
    *op_return = row;
    return 0;
}

int expr4parse_expr(E4PARSE *p4)
{
    if (expr4parse_value(p4) < 0)
        return -1;
    for (;;) {
        int op;
        if (e4get_operator(p4, &op) < 0)
            return -1;
        if (op == E4_NO_OPERATOR) {
            while (s4stack_cur(&p4->op) >= 0)
                if (op_to_expr(p4) < 0)
                    return -1;
            return 0;
        }
        for (;;) {
            int top = s4stack_cur(&p4->op);
            if (top < 0 || v4functions[top].priority < v4functions[op].priority)
                break;
            if (top == op && v4functions[op].num_parms < 0) {
                // A run of one n-ary operator becomes one entry.
                s4stack_pop(&p4->op);
                if (s4stack_push_int(&p4->op, E4_MARK_NARY) < 0)
                    return -1;
                break;
            }
            if (op_to_expr(p4) < 0)
                return -1;
        }
        if (s4stack_push_int(&p4->op, op) < 0)
            return -1;
        if (expr4parse_value(p4) < 0)
            return -1;
    }
}

// ---- Operands -------------------------------------------------------------

// A "." that begins ".AND.", ".OR." or ".NOT." ends a number.
static int begins_logical(const char *p, int avail)
{
    static const char *const ops[] = {".AND.", ".OR.", ".NOT."};
    for (const char *op : ops) {
        int n = (int)strlen(op);
        if (n > avail)
            continue;
        int i = 0;
        while (i < n && ascii_upper((unsigned char)p[i]) == op[i])
            i++;
        if (i == n)
            return 1;
    }
    return 0;
}

// Copies a name of at most `max` characters, terminated.
static void name_copy(char *to, const char *from, int len, int max)
{
    int n = len < max ? len : max;
    memcpy(to, from, (size_t)n);
    to[n] = '\0';
}

static int parse_field(E4PARSE *p4, DATA4 *owner, const char *name, int len)
{
    if (len <= 0 || len > E4_NAME_MAX)
        return src_error(p4, e4unrec_value);
    char buf[E4_NAME_MAX + 1];
    name_copy(buf, name, len, E4_NAME_MAX);
    FIELD4 *field = d4field(owner, buf);
    if (field == nullptr)
        return -1;

    int row;
    switch (field->type) {
    case 'C': row = E4ROW_FIELD_C; break;
    case 'D':
        // Every date routine reads 8 characters; a narrower field (only a
        // damaged descriptor makes one) would be read past its end.
        if (field->len < 8)
            return src_error(p4, e4type_sub);
        row = E4ROW_FIELD_D;
        break;
    case 'F':
    case 'N': row = E4ROW_FIELD_N; break;
    case 'L': row = E4ROW_FIELD_LOG; break;
    case 'M': row = E4ROW_FIELD_MEMO; break;
    default:
        return e4parse_error(p4->code_base, e4type_sub, "Unknown field type", nullptr, nullptr);
    }
    E4INFO *info = e4function_add(&p4->expr, row);
    if (info == nullptr)
        return -1;
    info->field_ptr = field;
    info->p1 = &owner->record;
    info->i1 = field->offset;
    return 0;
}

// A name: a function call, an aliased field, or a field of the expression's
// own data file.
static int parse_name(E4PARSE *p4)
{
    if (!u4name_char((unsigned char)cur(p4)))
        return src_error(p4, e4unrec_value);
    const char *start = p4->scan.ptr + p4->scan.pos;
    int start_pos = p4->scan.pos;
    while (p4->scan.pos < p4->scan.len && u4name_char((unsigned char)cur(p4)))
        p4->scan.pos++;
    int len = p4->scan.pos - start_pos;
    s4scan_range(&p4->scan, 1, ' ');

    if (cur(p4) == '(')
        return expr4parse_function(p4, start, len);

    char alias[E4_NAME_MAX + 1];
    name_copy(alias, start, len, E4_NAME_MAX);
    DATA4 *owner = p4->expr.data;
    int aliased = 0;
    if (cur(p4) == '.') {
        DATA4 *d = d4data(p4->code_base, alias);
        if (d != nullptr) {
            owner = d;
            p4->scan.pos++;
            aliased = 1;
        }
    } else if (cur(p4) == '-' && peek(p4, 1) == '>') {
        DATA4 *d = d4data(p4->code_base, alias);
        if (d == nullptr)
            return e4parse_error(p4->code_base, e4data_name, alias, p4->expr.source, nullptr);
        owner = d;
        p4->scan.pos += 2;
        aliased = 1;
    }
    if (!aliased)
        return parse_field(p4, owner, start, len);

    const char *field = p4->scan.ptr + p4->scan.pos;
    int field_start = p4->scan.pos;
    while (p4->scan.pos < p4->scan.len && u4name_char((unsigned char)cur(p4)))
        p4->scan.pos++;
    return parse_field(p4, owner, field, p4->scan.pos - field_start);
}

static int parse_number(E4PARSE *p4)
{
    const char *t = p4->scan.ptr;
    int start = p4->scan.pos;
    int end = start + 1;
    while (end < p4->scan.len && (is_digit((unsigned char)t[end]) || t[end] == '.')) {
        if (t[end] == '.' && begins_logical(t + end, p4->scan.len - end))
            break;
        end++;
    }
    if (end < p4->scan.len && is_letter((unsigned char)t[end]))
        return parse_name(p4);
    double d = c4atod(t + start, end - start);
    p4->scan.pos = end;
    return e4add_constant(p4, E4ROW_CONST_NUM, &d, sizeof(d));
}

static int parse_string(E4PARSE *p4)
{
    int open = cur(p4);
    char close = open == '[' ? ']' : (char)open;
    p4->scan.pos++;
    int start = p4->scan.pos;
    s4scan_search(&p4->scan, close);
    if (p4->scan.pos >= p4->scan.len)
        return src_error(p4, e4unterminated);
    int len = p4->scan.pos - start;
    p4->scan.pos++;
    return e4add_constant(p4, E4ROW_CONST_CHAR, p4->scan.ptr + start, (unsigned)len);
}

// The prefix negation waits on the operator stack like an operator of its
// priority, so that it covers the comparison that follows its operand.
static int parse_not(E4PARSE *p4)
{
    if (expr4parse_value(p4) < 0)
        return -1;
    return s4stack_push_int(&p4->op, E4ROW_NOT);
}

int expr4parse_value(E4PARSE *p4)
{
    if (p4->code_base->error_code < 0)
        return -1;
    s4scan_range(&p4->scan, ' ', ' ');
    int c = cur(p4);

    if (c == '(') {
        p4->scan.pos++;
        if (s4stack_push_int(&p4->op, E4_MARK_BRACKET) < 0)
            return -1;
        if (expr4parse_expr(p4) < 0)
            return -1;
        s4scan_range(&p4->scan, 1, ' ');
        if (cur(p4) != ')')
            return src_error(p4, e4right_missing);
        p4->scan.pos++;
        s4stack_pop(&p4->op);
        return 0;
    }
    if (c == '.') {
        int row = e4lookup(p4->scan.ptr + p4->scan.pos, -1, E4ROW_FIRST_DOT, E4ROW_NOT);
        if (row >= 0) {
            p4->scan.pos += v4functions[row].name_len;
            if (row == E4ROW_NOT)
                return parse_not(p4);
            return e4function_add(&p4->expr, row) != nullptr ? 0 : -1;
        }
    }
    // Other writers store "!" for ".NOT.".
    if (c == '!') {
        p4->scan.pos++;
        return parse_not(p4);
    }
    if (c == '\'' || c == '"' || c == '[')
        return parse_string(p4);
    if (is_digit(c) || c == '-' || c == '+' || c == '.')
        return parse_number(p4);
    return parse_name(p4);
}

// ---- Function calls -------------------------------------------------------

// Takes the last argument, which must be a numeric constant, out of the
// entries; it becomes part of the function's own entry. The value is
// truncated toward zero; one beyond what an int holds is held at INT_MIN or
// INT_MAX, which the folding rules treat exactly as the value itself (a
// negative length, a start before the first character, a length or start
// past any operand, a result too large to compile).
static int fold_constant(E4PARSE *p4, int *value)
{
    e4expr_st *expr = &p4->expr;
    if (expr->info_n <= 0 || expr->info[expr->info_n - 1].function_i != E4ROW_CONST_NUM)
        return src_error(p4, e4not_constant);
    double d;
    memcpy(&d, p4->constants.ptr + expr->info[expr->info_n - 1].i1, sizeof(d));
    if (d >= (double)INT_MAX)
        *value = INT_MAX;
    else if (d <= (double)INT_MIN)
        *value = INT_MIN;
    else if (d == d)
        *value = (int)d;
    else
        *value = 0;
    e4function_pop(expr);
    return 0;
}

int expr4parse_function(E4PARSE *p4, const char *start_ptr, int f_len)
{
    CODE4 *c4 = p4->code_base;
    int row = e4lookup(start_ptr, f_len, E4ROW_FIRST_FUNCTION, E4ROW_END);
    EXPR4CALC *calc = nullptr;
    if (row < 0) {
        calc = expr4calc_lookup(c4, start_ptr, (unsigned)f_len);
        if (calc == nullptr)
            return src_error(p4, e4unrec_function);
        row = calc->total != nullptr ? E4ROW_CALC_TOTAL : E4ROW_CALC;
    }

    if (s4stack_push_int(&p4->op, E4_MARK_BRACKET) < 0)
        return -1;
    p4->scan.pos++;

    int n_args = 0;
    for (;;) {
        if (p4->scan.pos >= p4->scan.len)
            return src_error(p4, e4right_missing);
        if (cur(p4) == ')') {
            p4->scan.pos++;
            break;
        }
        if (expr4parse_expr(p4) < 0)
            return -1;
        n_args++;
        s4scan_range(&p4->scan, 1, ' ');
        // A text that ends after an argument still lacks its ")".
        if (p4->scan.pos >= p4->scan.len)
            return src_error(p4, e4right_missing);
        int c = cur(p4);
        if (c == ')') {
            p4->scan.pos++;
            break;
        }
        if (c == ',') {
            p4->scan.pos++;
            continue;
        }
        return src_error(p4, e4comma_expected);
    }
    s4stack_pop(&p4->op);

    int i1 = 0, len = 0;
    if (row == E4ROW_STR) {
        int dec = 0;
        len = 10;
        if (n_args == 3) {
            if (fold_constant(p4, &dec) < 0)
                return -1;
            n_args--;
        }
        if (n_args == 2) {
            if (fold_constant(p4, &len) < 0)
                return -1;
            n_args--;
        }
        if (len < 0)
            len = 10;
        if ((long long)dec + 1 >= len)
            dec = len - 2;
        if (dec < 0)
            dec = 0;
        i1 = dec;
    } else if (row == E4ROW_SUBSTR || row == E4ROW_LEFT) {
        // Without a length SUBSTR takes the rest of its operand: the
        // resolution pass lowers the length to what is there.
        len = INT_MAX;
        if ((row == E4ROW_SUBSTR && n_args == 3) || (row == E4ROW_LEFT && n_args == 2)) {
            if (fold_constant(p4, &len) < 0)
                return -1;
            n_args--;
        }
        if (row == E4ROW_SUBSTR && n_args == 2) {
            int start;
            if (fold_constant(p4, &start) < 0)
                return -1;
            n_args--;
            i1 = start > INT_MIN ? start - 1 : INT_MIN;
        }
    }

    if (c4->error_code < 0)
        return -1;
    const E4FUNCTIONS &f = v4functions[row];
    if (f.num_parms >= 0 && f.num_parms != n_args)
        return e4parse_error(c4, e4num_parms, p4->expr.source, "Function",
                             calc != nullptr ? calc->name : f.name);

    E4INFO *info = e4function_add(&p4->expr, row);
    if (info == nullptr)
        return -1;
    info->i1 = i1;
    info->len = len;
    info->num_parms = n_args;
    if (calc != nullptr)
        info->p1 = calc->total != nullptr ? static_cast<void *>(calc->total) : static_cast<void *>(calc);
    return 0;
}

// ---- Compiling ------------------------------------------------------------

e4expr_st *expr4parse(DATA4 *d4, const char *expr_ptr)
{
    if (d4 == nullptr || expr_ptr == nullptr || d4->code_base == nullptr)
        return nullptr;
    CODE4 *c4 = d4->code_base;
    if (c4->error_code < 0)
        return nullptr;

    if (c4->expr_work_buf != nullptr)
        memset(c4->expr_work_buf, 0, c4->expr_buf_len);

    // Both stacks live here and never grow.
    int op_store[E4_OP_STACK_LEN / sizeof(int)];
    char const_store[E4_CONSTANTS_LEN];
    memset(const_store, 0, sizeof(const_store));

    E4PARSE p4;
    memset(&p4, 0, sizeof(p4));
    p4.code_base = c4;
    p4.op = {reinterpret_cast<char *>(op_store), 0, (unsigned)sizeof(op_store), 0, c4};
    p4.constants = {const_store, 0, (unsigned)sizeof(const_store), 0, c4};
    s4scan_init(&p4.scan, expr_ptr);
    p4.expr.data = d4;
    p4.expr.code_base = c4;
    // The caller's text serves the reports until the block holds its copy.
    p4.expr.source = const_cast<char *>(expr_ptr);
    p4.expr.info = reinterpret_cast<E4INFO *>(c4->expr_work_buf);

    if (expr4parse_expr(&p4) < 0)
        return nullptr;
    if (s4stack_cur(&p4.op) != E4_EMPTY) {
        src_error(&p4, e4complete);
        return nullptr;
    }
    if (e4massage(&p4) < 0)
        return nullptr;

    size_t src_len = (size_t)p4.scan.len;
    size_t info_bytes = (size_t)p4.expr.info_n * sizeof(E4INFO);
    size_t total = sizeof(e4expr_st) + info_bytes + E4_CONSTANTS_LEN + src_len + 1;
    char *block = static_cast<char *>(u4alloc_free(c4, (long)total));
    if (block == nullptr) {
        e4parse_error(c4, e4memory, nullptr, nullptr, nullptr);
        return nullptr;
    }
    e4expr_st *expr = reinterpret_cast<e4expr_st *>(block);
    *expr = p4.expr;
    expr->info = reinterpret_cast<E4INFO *>(block + sizeof(e4expr_st));
    expr->constants = block + sizeof(e4expr_st) + info_bytes;
    expr->source = expr->constants + E4_CONSTANTS_LEN;
    if (info_bytes > 0)
        memcpy(expr->info, c4->expr_work_buf, info_bytes);
    memcpy(expr->constants, const_store, E4_CONSTANTS_LEN);
    memcpy(expr->source, expr_ptr, src_len);
    expr->source[src_len] = '\0';
    return expr;
}

void expr4free(e4expr_st *expr)
{
    if (expr != nullptr)
        u4free(expr);
}

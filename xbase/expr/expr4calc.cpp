// Named calculations: compiled expressions kept under a name in the
// context, which other expressions call like functions without arguments.
#include <cstring>
#include <string>

#include "xbase/expr/expr4.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/u4util.h"

namespace {

// At most 19 characters, upper-cased by the ASCII rule names follow.
void calc_name(char *to, const char *from, size_t len)
{
    size_t n = 0;
    for (; n < len && n < EXPR4CALC_NAME_LEN - 1 && from[n] != '\0'; n++) {
        char c = from[n];
        to[n] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
    }
    to[n] = '\0';
}

} // namespace

EXPR4CALC *expr4calc_create(CODE4 *c4, e4expr_st *expr, const char *name)
{
    if (c4 == nullptr || expr == nullptr || name == nullptr)
        return nullptr;
    EXPR4CALC *calc = static_cast<EXPR4CALC *>(
        mem4create_alloc(c4, &c4->calc_memory, 5, sizeof(EXPR4CALC), 5, 0));
    if (calc == nullptr)
        return nullptr;
    memset(calc, 0, sizeof(*calc));
    l4add(&c4->calc_list, calc);
    calc->expr = expr;
    calc_name(calc->name, name, strlen(name));
    // A calculation whose buffers could not grow would overrun them when
    // called: it is not created, and the expression stays the caller's.
    if (expr4calc_massage(calc) < 0) {
        l4remove(&c4->calc_list, calc);
        mem4free(c4->calc_memory, calc);
        return nullptr;
    }
    return calc;
}

// A bare numeric field computes as a number, so that callers get a double.
int expr4calc_massage(EXPR4CALC *calc)
{
    e4expr_st *expr = calc->expr;
    if (expr->type != E4TYPE_NUM_RAW || expr->info_n != 1)
        return 0;
    E4INFO *info = &expr->info[0];
    info->function_i = E4ROW_FIELD_NUM_D;
    info->function = v4functions[E4ROW_FIELD_NUM_D].function_ptr;
    info->len = 8;
    expr->type = E4TYPE_NUM;
    expr->len = 8;
    // The double needs 8 bytes even where the field is narrower.
    if (expr->len_eval < 9)
        expr->len_eval = 9;
    CODE4 *c4 = expr->code_base;
    if (u4alloc_again(c4, &c4->stored_key, &c4->stored_key_len, 9) < 0)
        return -1;
    return u4alloc_again(c4, &c4->expr_work_buf, &c4->expr_buf_len, (unsigned)expr->len_eval) < 0 ? -1 : 0;
}

EXPR4CALC *expr4calc_lookup(CODE4 *c4, const char *name, unsigned name_len)
{
    if (c4 == nullptr || name == nullptr)
        return nullptr;
    char want[EXPR4CALC_NAME_LEN];
    calc_name(want, name, name_len);
    for (EXPR4CALC *calc = static_cast<EXPR4CALC *>(l4first(&c4->calc_list)); calc != nullptr;
         calc = static_cast<EXPR4CALC *>(l4next(&c4->calc_list, calc)))
        if (strcmp(calc->name, want) == 0)
            return calc;
    return nullptr;
}

void expr4calc_delete(EXPR4CALC *calc)
{
    if (calc == nullptr)
        return;
    CODE4 *c4 = calc->expr->code_base;
    l4remove(&c4->calc_list, calc);
    // Totals come from report code, which owns their pool.
    if (calc->total != nullptr && c4->total_memory != nullptr)
        mem4free(c4->total_memory, calc->total);
    expr4free(calc->expr);
    mem4free(c4->calc_memory, calc);
}

void expr4calc_reset(CODE4 *c4)
{
    if (c4 == nullptr)
        return;
    for (void *p = l4first(&c4->calc_list); p != nullptr; p = l4first(&c4->calc_list))
        expr4calc_delete(static_cast<EXPR4CALC *>(p));
}

void expr4calc_result_pos(EXPR4CALC *calc, int new_result_pos)
{
    int diff = new_result_pos - calc->cur_result_pos;
    if (diff == 0)
        return;
    e4expr_st *expr = calc->expr;
    for (int i = 0; i < expr->info_n; i++)
        expr->info[i].result_pos += diff;
    calc->cur_result_pos = new_result_pos;
}

int expr4calc_name_change(e4expr_st **expr_on, const char *old_name, const char *new_name)
{
    if (expr_on == nullptr || *expr_on == nullptr || old_name == nullptr || new_name == nullptr)
        return -1;
    e4expr_st *old_expr = *expr_on;
    const std::string src = old_expr->source;
    const size_t old_len = strlen(old_name);
    if (old_len == 0)
        return 0;

    std::string out;
    bool changed = false;
    size_t i = 0;
    while (i < src.size()) {
        // Text in quotes or brackets is a constant, never a name: copied as
        // it stands (to the end when it is not closed).
        if (src[i] == '\'' || src[i] == '"' || src[i] == '[') {
            const size_t close = src.find(src[i] == '[' ? ']' : src[i], i + 1);
            const size_t end = close == std::string::npos ? src.size() : close + 1;
            out.append(src, i, end - i);
            i = end;
            continue;
        }
        bool match = i + old_len <= src.size();
        for (size_t j = 0; match && j < old_len; j++) {
            char a = src[i + j], b = old_name[j];
            if (a >= 'a' && a <= 'z')
                a = (char)(a - 'a' + 'A');
            if (b >= 'a' && b <= 'z')
                b = (char)(b - 'a' + 'A');
            match = a == b;
        }
        // Only whole names: no name character joined on either side.
        if (match && i > 0 && u4name_char((unsigned char)src[i - 1]))
            match = false;
        if (match && i + old_len < src.size() && u4name_char((unsigned char)src[i + old_len]))
            match = false;
        if (match) {
            out += new_name;
            i += old_len;
            changed = true;
        } else {
            out += src[i++];
        }
    }
    if (!changed)
        return 0;
    e4expr_st *new_expr = expr4parse(old_expr->data, out.c_str());
    if (new_expr == nullptr)
        return -1;
    expr4free(old_expr);
    *expr_on = new_expr;
    return 0;
}

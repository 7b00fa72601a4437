// The resolution pass: picks the typed variant of every operator and
// function, converts raw date and number fields where computed values are
// expected, and fixes each entry's result length and work-buffer position.
//
// Invariants this pass establishes for evaluation, and their keepers:
//  1. Every entry's parameters are the values its row's types name, so no
//     routine tests a type (choose_row).
//  2. A value starts where the previous pending value ended (raw date and
//     numeric fields keep an 8-byte slot), so concatenated operands lie side
//     by side and a routine may write its result over its first operand
//     (place_result).
//  3. Every byte any routine writes, including a terminator after its
//     result, lies below len_eval, which is at most E4_WORK_MAX
//     (size_result gives each result its length, place_result bounds it,
//     e4massage sets len_eval).
//  4. At most E4_MAX_PENDING values are pending at once, which bounds the
//     evaluation stack (place_result).
//
// e4massage walks the entries in postfix order, keeping the values still
// pending as a stack; for each entry it runs the three jobs in turn.
#include <cstring>

#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"
#include "xbase/u4util.h"

namespace {

struct Pending {
    char type;
    long long len;
    long long pos;
    int num_entries;
    int info_i;     // the entry that produced the value
};

bool in_place_rework(int row)
{
    switch (row) {
    case E4ROW_FIELD_MEMO:
    case E4ROW_CONCAT:
    case E4ROW_CONCAT_TWO:
    case E4ROW_SUBSTR:
    case E4ROW_UPPER:
    case E4ROW_TRIM:
    case E4ROW_LTRIM:
    case E4ROW_LEFT:
        return true;
    default:
        return false;
    }
}

// Rows after which character values may end in zero bytes.
bool leaves_zero_fill(int row)
{
    return row == E4ROW_FIELD_MEMO || row == E4ROW_TRIM || row == E4ROW_LTRIM || row == E4ROW_CALC;
}

// The date picture, terminated, goes into the constants area.
int push_picture(E4PARSE *p4, E4INFO *info)
{
    const char *pic = p4->code_base->date_format;
    size_t n = strnlen(pic, sizeof(p4->code_base->date_format) - 1);
    char copy[sizeof(p4->code_base->date_format)];
    memcpy(copy, pic, n);
    copy[n] = '\0';
    info->i1 = (int)p4->constants.pos;
    if (s4stack_push_str(&p4->constants, copy, (int)n + 1) < 0)
        return -1;
    return (int)n;
}

// Job 1, the row: moves `row` to the first row of the entry's code whose
// parameter types are those of the n pending values `parm`, converting a
// raw date or numeric field read in place to its computed form where that
// is what the row takes (invariant 1); the converted double fills the
// 8-byte slot the raw field kept, and `max_end` covers it. A character
// field that a routine working in place takes is copied into the work
// buffer instead of read in the record, so the record is never written; a
// concatenation after a value that may end in zero bytes trims them. The
// chosen row is left in `row` and in the entry.
// -1 (e4type_sub reported) when no row of the code fits.
int choose_row(CODE4 *c4, e4expr_st *expr, const char *src, E4INFO *info, Pending *parm, int n, int &row,
               bool &zero_fill_seen, long long &max_end)
{
    const int start_code = v4functions[row].code;

    // The first row of the code whose parameter types fit wins; raw date
    // and numeric fields convert where a computed value is expected.
    for (;;) {
        const E4FUNCTIONS &f = v4functions[row];
        bool fits = true;
        for (int j = 0; j < n && fits; j++) {
            if (f.num_parms >= 0 && j >= 3) {
                fits = false;
                break;
            }
            char expected = f.type[f.num_parms < 0 ? 0 : j];
            Pending &v = parm[j];
            if (v.type == expected)
                continue;
            // Only a field read in place converts: a named calculation's
            // date text has no field for the converting routine to read.
            int to_row = -1;
            int from_row = expr->info[v.info_i].function_i;
            if (v.type == E4TYPE_DATE_RAW && expected == E4TYPE_DATE && from_row == E4ROW_FIELD_D)
                to_row = E4ROW_FIELD_DATE_D;
            else if (v.type == E4TYPE_NUM_RAW && expected == E4TYPE_NUM && from_row == E4ROW_FIELD_N)
                to_row = E4ROW_FIELD_NUM_D;
            if (to_row < 0) {
                fits = false;
                break;
            }
            // The entry keeps the field's width, which its routine reads.
            expr->info[v.info_i].function_i = to_row;
            v.type = expected;
            v.len = 8;
            // The converted double fills the 8-byte slot the raw field kept.
            if (v.pos + 8 > max_end)
                max_end = v.pos + 8;
        }
        if (fits)
            break;
        row++;
        if (v4functions[row].code != start_code)
            return e4parse_error(c4, e4type_sub, src, nullptr, nullptr);
    }

    if (in_place_rework(row))
        for (int j = 0; j < n; j++)
            if (expr->info[parm[j].info_i].function_i == E4ROW_FIELD_C)
                expr->info[parm[j].info_i].function_i = E4ROW_FIELD_COPY;
    if (row == E4ROW_CONCAT && zero_fill_seen)
        row = E4ROW_CONCAT_TRIM;
    if (leaves_zero_fill(row))
        zero_fill_seen = true;
    info->function_i = row;
    return 0;
}

// Job 2, the result: `length` becomes the bytes of the entry's result of
// `type` (a negative length counts as 0), and the entry gets the operands
// its routine reads and that are fixed at compilation: a start, a count of
// compared bytes, a date picture in the constants area, the record or the
// table. -1 for IIF branches of unequal length (e4length_err reported), a
// constants area that cannot take the picture, or a type no row yields.
int size_result(E4PARSE *p4, CODE4 *c4, e4expr_st *expr, const char *src, E4INFO *info, int row,
                const Pending *parm, int n, int type, const EXPR4CALC *calc, long long &length)
{
    switch (type) {
    case E4TYPE_CHAR:
        switch (row) {
        case E4ROW_FIELD_C:
        case E4ROW_FIELD_COPY:
            length = f4len(info->field_ptr);
            break;
        case E4ROW_FIELD_MEMO:
            length = c4->mem_size_memo_expr;
            break;
        case E4ROW_CONCAT:
        case E4ROW_CONCAT_TRIM:
        case E4ROW_CONCAT_TWO:
            length = parm[0].len + parm[1].len;
            info->i1 = (int)parm[0].len;
            break;
        case E4ROW_DEL:
            length = 1;
            info->p1 = &expr->data->record;
            break;
        case E4ROW_SUBSTR:
        case E4ROW_LEFT: {
            long long start = info->i1;
            if (start > parm[0].len)
                start = parm[0].len;
            if (start < 0)
                start = 0;
            info->i1 = (int)start;
            length = info->len;
            if (length > parm[0].len - start)
                length = parm[0].len - start;
            break;
        }
        case E4ROW_TIME:
        case E4ROW_DTOS:
        case E4ROW_DTOS_DOUB:
            length = 8;
            break;
        case E4ROW_UPPER:
        case E4ROW_TRIM:
        case E4ROW_LTRIM:
            length = parm[0].len;
            if (row != E4ROW_UPPER)
                expr->has_trim = 1;
            break;
        case E4ROW_DTOC:
        case E4ROW_DTOC_DOUB:
            length = push_picture(p4, info);
            if (length < 0)
                return -1;
            break;
        case E4ROW_IIF:
            if (parm[1].len != parm[2].len)
                return e4parse_error(c4, e4length_err, src, nullptr, nullptr);
            length = parm[1].len;
            break;
        case E4ROW_CALC:
            length = calc->expr->len;
            break;
        default:
            length = info->len;
            break;
        }
        break;
    case E4TYPE_DATE_RAW:
        length = 8;
        break;
    case E4TYPE_NUM_RAW:
        length = f4len(info->field_ptr);
        break;
    case E4TYPE_DATE:
    case E4TYPE_NUM:
        length = 8;
        if (row == E4ROW_CTOD && push_picture(p4, info) < 0)
            return -1;
        if (row == E4ROW_RECCOUNT || row == E4ROW_RECNO)
            info->p1 = expr->data;
        break;
    case E4TYPE_LOG:
        length = 4;
        if (row == E4ROW_DELETED) {
            info->p1 = &expr->data->record;
        } else if (row != E4ROW_FIELD_LOG && n >= 2) {
            info->i1 = (int)(parm[0].len < parm[1].len ? parm[0].len : parm[1].len);
            // Equal common prefixes: the longer operand is the greater.
            static char flag;
            if (row == E4ROW_GREATER_CHAR)
                info->p1 = parm[0].len > parm[1].len ? &flag : nullptr;
            else if (row == E4ROW_LESS_CHAR)
                info->p1 = parm[0].len < parm[1].len ? &flag : nullptr;
        }
        break;
    default:
        return -1;
    }
    if (length < 0)
        length = 0;
    return 0;
}

// Job 3, the place: pops the n operands and pushes the entry's result,
// which starts where its first operand started (a leaf at the first free
// byte), so invariants 2 and 4 hold; refuses a result that, with its
// terminator, would pass E4_WORK_MAX (invariant 3); grows the context's
// key buffer to hold the result. -1 with e4too_large, e4overflow or a
// failed allocation reported, and -1 while the context's error_code is
// negative.
int place_result(CODE4 *c4, const char *src, E4INFO *info, int k, int n, const Pending *parm, Pending *st,
                 int &depth, int type, long long length, const EXPR4CALC *calc, long long &next_free,
                 long long &max_end)
{
    depth -= n;
    long long pos = n > 0 ? parm[0].pos : next_free;
    long long end = pos + length;
    long long slot_end = end;
    if ((type == E4TYPE_NUM_RAW || type == E4TYPE_DATE_RAW) && length < 8)
        slot_end = pos + 8;
    long long need = end;
    if (calc != nullptr && pos + calc->expr->len_eval > need)
        need = pos + calc->expr->len_eval;
    // One byte past every value is written as a terminator (invariant 3).
    if (slot_end + 1 > E4_WORK_MAX || need + 1 > E4_WORK_MAX)
        return e4too_large(c4, src);

    bool eight = type == E4TYPE_DATE_RAW || type == E4TYPE_NUM_RAW || type == E4TYPE_NUM;
    unsigned key_need = (unsigned)(eight ? 8 : length) + 1;
    if (u4alloc_again(c4, &c4->stored_key, &c4->stored_key_len, key_need) < 0)
        return -1;
    if (c4->error_code < 0)
        return -1;

    info->align_offset = 0;
    info->result_pos = (int)pos;
    info->len = (int)length;
    next_free = slot_end;
    if (need > max_end)
        max_end = need;

    int entries = 1;
    for (int j = 0; j < n; j++)
        entries += parm[j].num_entries;
    info->num_entries = entries;

    if (depth >= E4_MAX_PENDING)
        return e4parse_error(c4, e4overflow, nullptr, nullptr, nullptr);
    st[depth++] = Pending{(char)type, length, pos, entries, k};
    return 0;
}

} // namespace

int e4massage(E4PARSE *p4)
{
    CODE4 *c4 = p4->code_base;
    e4expr_st *expr = &p4->expr;
    const char *src = expr->source;

    Pending st[E4_MAX_PENDING];
    int depth = 0;
    bool zero_fill_seen = false;
    long long next_free = 0;
    long long max_end = 0;

    for (int k = 0; k < expr->info_n; k++) {
        E4INFO *info = &expr->info[k];
        int row = info->function_i;
        const int declared = v4functions[row].num_parms;
        if (declared > 0 && declared != info->num_parms)
            return e4parse_error(c4, e4num_parms, src, nullptr, nullptr);
        const int n = info->num_parms;
        if (n < 0 || n > depth)
            return e4parse_error(c4, e4result, nullptr, nullptr, nullptr);
        Pending *parm = &st[depth - n];

        if (choose_row(c4, expr, src, info, parm, n, row, zero_fill_seen, max_end) < 0)
            return -1;

        const EXPR4CALC *calc = row == E4ROW_CALC ? static_cast<const EXPR4CALC *>(info->p1) : nullptr;
        int type = v4functions[row].return_type;
        if (calc != nullptr)
            type = calc->expr->type;

        long long length = 0;
        if (size_result(p4, c4, expr, src, info, row, parm, n, type, calc, length) < 0)
            return -1;
        if (place_result(c4, src, info, k, n, parm, st, depth, type, length, calc, next_free, max_end) < 0)
            return -1;
    }

    if (depth != 1)
        return e4parse_error(c4, e4result, nullptr, nullptr, nullptr);

    for (int k = 0; k < expr->info_n; k++)
        expr->info[k].function = v4functions[expr->info[k].function_i].function_ptr;
    expr->len_eval = (int)max_end + 1;
    if ((unsigned)expr->len_eval > c4->expr_buf_len) {
        if (u4alloc_again(c4, &c4->expr_work_buf, &c4->expr_buf_len, (unsigned)expr->len_eval) < 0)
            return -1;
        expr->info = reinterpret_cast<E4INFO *>(c4->expr_work_buf);
    }
    expr->len = (int)st[0].len;
    expr->type = st[0].type;
    return 0;
}

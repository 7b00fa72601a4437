// Field access: finding fields by name and number, and reading and
// assigning values in place in the current record buffer. Every routine
// keeps to the field's `len` bytes at `offset`; nothing writes past them.
#include "xbase/f4field.h"

#include <cmath>
#include <cstring>

#include "xbase/c4conv.h"
#include "xbase/date4.h"
#include "xbase/e4error.h"
#include "xbase/u4util.h"

namespace {

// Longest field name text that lookup considers, terminator excluded.
const size_t F4NAME_BUF_LEN = 256;
const unsigned F4DATE_LEN = 8;

CODE4 *fieldContext(FIELD4 *field)
{
    return field->data != nullptr ? field->data->code_base : nullptr;
}

int errorPending(FIELD4 *field)
{
    CODE4 *c4 = fieldContext(field);
    return c4 != nullptr && c4->error_code < 0;
}

// The value of a D field as eight date characters: a field of another
// width (from a damaged file) is cut or blank-padded, so that the date
// routines never read outside it.
void dateOfField(FIELD4 *field, char date[F4DATE_LEN])
{
    unsigned n = field->len < F4DATE_LEN ? field->len : F4DATE_LEN;
    memcpy(date, f4ptr(field), n);
    memset(date + n, ' ', F4DATE_LEN - n);
}

void assignDay(FIELD4 *field, long day)
{
    char date[F4DATE_LEN];
    date4assign(date, day);
    f4assign_n(field, date, F4DATE_LEN);
}

} // namespace

int d4field_number(DATA4 *data, const char *field_name)
{
    if (data == nullptr)
        return 0;
    if (field_name != nullptr) {
        // A name only matches by its text without trailing blanks; one too
        // long for the lookup buffer cannot be a field name.
        size_t n = strlen(field_name);
        while (n > 0 && field_name[n - 1] == ' ')
            n--;
        if (n < F4NAME_BUF_LEN) {
            char buf[F4NAME_BUF_LEN];
            memcpy(buf, field_name, n);
            buf[n] = '\0';
            c4upper(buf);
            for (int i = 0; i < data->n_fields; i++) {
                if (strcmp(buf, data->fields[i].name) == 0)
                    return i + 1;
            }
        }
    }
    CODE4 *c4 = data->code_base;
    if (c4 != nullptr && c4->field_name_error)
        e4(c4, e4field_name, field_name);
    return -1;
}

FIELD4 *d4field(DATA4 *data, const char *name)
{
    int j = d4field_number(data, name);
    if (j < 1)
        return nullptr;
    return data->fields + (j - 1);
}

FIELD4 *d4field_j(DATA4 *data, int j_field)
{
    if (data == nullptr || j_field < 1 || j_field > data->n_fields)
        return nullptr;
    return data->fields + (j_field - 1);
}

const char *f4name(FIELD4 *field)
{
    return field->name;
}

int f4type(FIELD4 *field)
{
    return field->type == 'F' ? 'N' : field->type;
}

unsigned f4len(FIELD4 *field)
{
    return field->len;
}

int f4decimals(FIELD4 *field)
{
    return field->dec;
}

DATA4 *f4data(FIELD4 *field)
{
    return field->data;
}

char *f4ptr(FIELD4 *field)
{
    return field->data->record + field->offset;
}

char *f4assign_ptr(FIELD4 *field)
{
    field->data->record_changed = 1;
    return f4ptr(field);
}

void f4assign(FIELD4 *field, const char *str)
{
    f4assign_n(field, str, str != nullptr ? (unsigned)strlen(str) : 0);
}

void f4assign_n(FIELD4 *field, const char *ptr, unsigned ptr_len)
{
    char *to = f4assign_ptr(field);
    unsigned n = ptr_len < field->len ? ptr_len : field->len;
    if (n > 0)
        memcpy(to, ptr, n);
    memset(to + n, ' ', field->len - n);
}

void f4blank(FIELD4 *field)
{
    memset(f4assign_ptr(field), ' ', field->len);
}

unsigned f4ncpy(FIELD4 *field, char *mem_ptr, unsigned mem_len)
{
    if (mem_len == 0)
        return 0;
    unsigned n = mem_len - 1 < field->len ? mem_len - 1 : field->len;
    memcpy(mem_ptr, f4ptr(field), n);
    mem_ptr[n] = '\0';
    return n;
}

char *f4str(FIELD4 *field)
{
    // Handed out when the shared buffer cannot hold the value (its growth
    // has then been reported): an empty string, refreshed on every use.
    static char empty[1];
    empty[0] = '\0';

    CODE4 *c4 = fieldContext(field);
    if (c4 == nullptr)
        return empty;
    if (u4alloc_again(c4, &c4->field_buffer, &c4->buf_len, field->len + 1) != 0)
        return empty;
    memcpy(c4->field_buffer, f4ptr(field), field->len);
    c4->field_buffer[field->len] = '\0';
    return c4->field_buffer;
}

int f4int(FIELD4 *field)
{
    if (errorPending(field))
        return -1;
    return c4atoi(f4ptr(field), (int)field->len);
}

long f4long(FIELD4 *field)
{
    if (field->type == 'D') {
        char date[F4DATE_LEN];
        dateOfField(field, date);
        return date4long(date);
    }
    return c4atol(f4ptr(field), (int)field->len);
}

double f4double(FIELD4 *field)
{
    if (field->type == 'D') {
        char date[F4DATE_LEN];
        dateOfField(field, date);
        return (double)date4long(date);
    }
    return c4atod(f4ptr(field), (int)field->len);
}

int f4double2(FIELD4 *field, double *result)
{
    *result = f4double(field);
    return 0;
}

void f4assign_int(FIELD4 *field, int i_value)
{
    if (errorPending(field))
        return;
    if (field->dec > 0) {
        f4assign_double(field, (double)i_value);
        return;
    }
    c4ltoa45(i_value, f4assign_ptr(field), (int)field->len);
}

void f4assign_long(FIELD4 *field, long l_value)
{
    if (errorPending(field))
        return;
    if (field->type == 'D') {
        assignDay(field, l_value);
        return;
    }
    if (field->dec > 0) {
        f4assign_double(field, (double)l_value);
        return;
    }
    c4ltoa45(l_value, f4assign_ptr(field), (int)field->len);
}

void f4assign_double(FIELD4 *field, double d_value)
{
    if (errorPending(field))
        return;
    if (field->type == 'D') {
        // Anything that is no day number at all (NaN, infinities, values
        // far outside the calendar) is the empty date.
        long day = 0;
        if (d_value >= 1.0 && d_value < 1e9)
            day = (long)d_value;
        assignDay(field, day);
        return;
    }
    c4dtoa45(d_value, f4assign_ptr(field), (int)field->len, field->dec);
}

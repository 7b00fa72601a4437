// Field access: finding fields by name and number, and reading and
// assigning values in place in the current record buffer, where every value
// is fixed-width text exactly in its file form.
//
// Numbers are read with the decimal text conversions of c4conv.h; D fields
// read and take Julian day numbers. Memo fields (M, G, B) hold their
// block number here as a ten-character number. Assignments mark the record
// changed and never write outside the field.
#ifndef CATALOGR_F4FIELD_H
#define CATALOGR_F4FIELD_H

#include "xbase/x4types.h"

// Lookup by name ignores trailing blanks and case; an unknown name is
// reported as -210 when the context's field_name_error is on.
FIELD4 *d4field(DATA4 *data, const char *name);
// Null for a null table or a number outside 1 to the number of fields.
FIELD4 *d4field_j(DATA4 *data, int j_field);
// 1-based number; 0 for a null table; -1 for an unknown name.
int d4field_number(DATA4 *data, const char *field_name);

const char *f4name(FIELD4 *field);
// The type letter, with "N" for an F field.
int f4type(FIELD4 *field);
unsigned f4len(FIELD4 *field);
int f4decimals(FIELD4 *field);
DATA4 *f4data(FIELD4 *field);
char *f4ptr(FIELD4 *field);
char *f4assign_ptr(FIELD4 *field);

void f4assign(FIELD4 *field, const char *str);
void f4assign_n(FIELD4 *field, const char *ptr, unsigned ptr_len);
void f4blank(FIELD4 *field);
unsigned f4ncpy(FIELD4 *field, char *mem_ptr, unsigned mem_len);
// The value, terminated, in the context's shared field buffer (valid until
// the next use of that buffer). When the buffer cannot grow (reported as
// -920) the result is an empty string.
char *f4str(FIELD4 *field);

// f4int gives -1 while the context's error_code is negative; the
// assignments do nothing then.
int f4int(FIELD4 *field);
long f4long(FIELD4 *field);
double f4double(FIELD4 *field);
int f4double2(FIELD4 *field, double *result);
void f4assign_int(FIELD4 *field, int i_value);
void f4assign_long(FIELD4 *field, long l_value);
void f4assign_double(FIELD4 *field, double d_value);

#endif

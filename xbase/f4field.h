// Field access: finding fields by name and number, and reading and
// assigning values in place in the current record buffer, where every value
// is fixed-width text exactly in its file form.
#ifndef CATALOGR_F4FIELD_H
#define CATALOGR_F4FIELD_H

#include "xbase/x4types.h"

FIELD4 *d4field(DATA4 *data, const char *name);
FIELD4 *d4field_j(DATA4 *data, int j_field);
int d4field_number(DATA4 *data, const char *field_name);

const char *f4name(FIELD4 *field);
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
char *f4str(FIELD4 *field);

int f4int(FIELD4 *field);
long f4long(FIELD4 *field);
double f4double(FIELD4 *field);
int f4double2(FIELD4 *field, double *result);
void f4assign_int(FIELD4 *field, int i_value);
void f4assign_long(FIELD4 *field, long l_value);
void f4assign_double(FIELD4 *field, double d_value);

#endif

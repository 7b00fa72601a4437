// Tag positioning and key maintenance: top, bottom, skip, seek, go, and
// adding and removing keys. Not built yet: every call refuses, so a table
// whose index is open can be read in record order but not changed or
// walked in tag order.
#include "xbase/index/i4index.h"

#include "xbase/e4error.h"

int t4top(TAG4 *) { return e4not_index; }
int t4bottom(TAG4 *) { return e4not_index; }
long t4skip(TAG4 *, long) { return 0; }
int t4go(TAG4 *, const char *, long) { return e4not_index; }
int t4eof(TAG4 *) { return 1; }
long t4recno(TAG4 *) { return -2; }
int t4expr_key(TAG4 *, char **) { return e4not_index; }
int t4add(TAG4 *, const char *, long) { return e4not_index; }
int t4remove(TAG4 *, const char *, long) { return e4not_index; }
int t4add_calc(TAG4 *, long) { return e4not_index; }
int t4remove_calc(TAG4 *, long) { return e4not_index; }

// Compound index support is not built yet. A table whose header names a
// production index opens only with auto_open off; creating a table with tags
// fails with "Function unsupported". Calls that walk a table's open indexes
// find none, since no INDEX4 can exist.
#include "xbase/index/i4index.h"

#include "xbase/e4error.h"

static const char *const kNoIndex = "Compound index files are not supported yet";

INDEX4 *i4open(DATA4 *d4, const char *)
{
    if (d4 != nullptr)
        e4describe(d4->code_base, e4not_index, kNoIndex, nullptr, nullptr);
    return nullptr;
}

INDEX4 *i4create(DATA4 *d4, const char *, const TAG4INFO *)
{
    if (d4 != nullptr)
        e4describe(d4->code_base, e4not_index, kNoIndex, nullptr, nullptr);
    return nullptr;
}

int i4close(INDEX4 *) { return e4not_index; }
int i4flush(INDEX4 *) { return e4not_index; }
int i4update(INDEX4 *) { return e4not_index; }
int i4version_check(INDEX4 *, int, int) { return e4not_index; }
int t4version_check(TAG4 *, int, int) { return e4not_index; }

TAG4 *d4tag_selected(DATA4 *) { return nullptr; }

int d4reindex(DATA4 *d4) { return d4 == nullptr ? -1 : (d4->indexes.n_link == 0 ? 0 : e4not_index); }

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

// Fuzz target: a data file, optionally followed by the separator
// "--FPT--" and the bytes of its memo file. The table is opened without its
// index and without open reports; every record is walked and every field
// read, memo texts included, forwards and then a few steps backwards; each
// field is also read through an expression of its name, as a key would.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "codeset/codeset.h"
#include "fuzz/fuzzutil.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"
#include "xbase/memo4.h"

namespace {

const char kSeparator[] = "--FPT--";
const size_t kSeparatorLen = sizeof kSeparator - 1;

enum { MAX_EXPRS = 32 };

// Sums every byte it is given, so that no read is idle work.
volatile unsigned g_sink;

// Each field's name compiled as an expression, so that keys read damaged
// fields and memo texts the way an index would.
struct FieldExprs {
    e4expr_st *e[MAX_EXPRS];
    int n;
};

void compileFields(DATA4 *d, FieldExprs *x)
{
    x->n = 0;
    for (int j = 1; j <= d4num_fields(d) && x->n < MAX_EXPRS; j++) {
        e4expr_st *e = expr4parse(d, f4name(d4field_j(d, j)));
        if (e != nullptr)
            x->e[x->n++] = e;
    }
}

void freeFields(FieldExprs *x)
{
    for (int i = 0; i < x->n; i++)
        expr4free(x->e[i]);
    x->n = 0;
}

// Lookup upper-cases the name asked for and drops its trailing blanks, then
// compares it with the stored name as it stands: only a stored name that
// those steps leave unchanged can be found by itself.
bool lookupName(const char *name)
{
    size_t n = std::strlen(name);
    if (n == 0 || name[n - 1] == ' ')
        return false;
    for (size_t i = 0; i < n; i++)
        if ((name[i] >= 'a' && name[i] <= 'z') || (unsigned char)name[i] >= 0x80)
            return false;
    return true;
}

void readRecord(DATA4 *d, const FieldExprs *x)
{
    unsigned sum = (unsigned)d4deleted(d) + (unsigned)d4recno(d);
    int n = d4num_fields(d);
    for (int j = 1; j <= n; j++) {
        FIELD4 *f = d4field_j(d, j);
        fuzz::require(f != nullptr, "d4field_j gave no field for a number in range");
        const char *s = f4str(f);
        fuzz::require(s != nullptr && std::strlen(s) <= f4len(f),
                      "f4str gave more characters than the field holds");
        sum += (unsigned)std::strlen(s);
        sum += fuzz::bitsOf(f4double(f));
        sum += (unsigned)f4long(f);
        int t = f4type(f);
        if (t == 'M' || t == 'G' || t == 'B') {
            // A text that cannot be read is null with length 0.
            const char *m = f4memo_ptr(f);
            unsigned len = f4memo_len(f);
            fuzz::require(m != nullptr || len == 0, "an unread memo text has a length");
            if (m != nullptr && len > 0)
                sum += (unsigned char)m[0] + (unsigned char)m[len - 1];
            const char *ms = f4memo_str(f);
            if (ms != nullptr)
                sum += (unsigned char)ms[0];
        }
        if (lookupName(f4name(f)))
            fuzz::require(d4field(d, f4name(f)) != nullptr, "a field's own name does not find a field");
    }
    for (int i = 0; i < x->n; i++) {
        char *key = nullptr;
        int len = expr4key(x->e[i], &key);
        if (len > 0)
            sum += (unsigned char)key[0] + (unsigned char)key[len - 1];
    }
    g_sink = g_sink + sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mbstr_initialize(0);
    fuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t dbfLen = fuzz::firstPart(data, size, kSeparator);
    const uint8_t *sep = dbfLen < size ? data + dbfLen : nullptr;
    std::string dbf = fuzz::scratchFile("fuzz.dbf");
    std::string fpt = fuzz::scratchFile("fuzz.fpt");
    fuzz::writeWhole(dbf, data, dbfLen);
    if (sep != nullptr)
        fuzz::writeWhole(fpt, sep + kSeparatorLen, size - dbfLen - kSeparatorLen);
    else
        unlink(fpt.c_str());

    CODE4 c4;
    d4init(&c4);
    c4.auto_open = 0;
    c4.open_error = 0;
    e4clearErrorState();
    DATA4 *d = d4open(&c4, dbf.c_str());
    if (d != nullptr) {
        c4.expr_error = 0;
        FieldExprs exprs;
        compileFields(d, &exprs);
        // A forward walk visits the counted records and any whole records
        // the file holds beyond the count, never more.
        long count = d4reccount(d);
        long whole = dbfLen > d->header_len
                         ? (long)((dbfLen - d->header_len) / d4record_width(d))
                         : 0;
        long most = count > whole ? count : whole;
        long walked = 0;
        int rc = d4top(d);
        while (rc == 0 && !d4eof(d)) {
            readRecord(d, &exprs);
            walked++;
            fuzz::require(walked <= most, "d4skip walked past the records the file holds");
            rc = d4skip(d, 1);
        }
        rc = d4bottom(d);
        for (int i = 0; i < 3 && rc == 0 && !d4bof(d) && !d4eof(d); i++) {
            readRecord(d, &exprs);
            rc = d4skip(d, -1);
        }
        freeFields(&exprs);
        d4close(d);
    }
    fuzz::require(c4.data_list.n_link == 0, "a data file stayed in the context's list");
    d4init_undo(&c4);
    return 0;
}

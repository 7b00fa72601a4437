// Fuzz target: a data file, optionally followed by the separator
// "--FPT--" and the bytes of its memo file. The table is opened without its
// index and without open reports; every record is walked and every field
// read, memo texts included, forwards and then a few steps backwards.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "codeset/codeset.h"
#include "fuzz/fuzzutil.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/f4field.h"
#include "xbase/memo4.h"

namespace {

const char kSeparator[] = "--FPT--";
const size_t kSeparatorLen = sizeof kSeparator - 1;

// Sums every byte it is given, so that no read is idle work.
volatile unsigned g_sink;

void readRecord(DATA4 *d)
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
            const char *m = f4memo_ptr(f);
            unsigned len = f4memo_len(f);
            fuzz::require(m != nullptr, "f4memo_ptr gave null");
            if (len > 0)
                sum += (unsigned char)m[0] + (unsigned char)m[len - 1];
            const char *ms = f4memo_str(f);
            fuzz::require(ms != nullptr, "f4memo_str gave null");
        }
        fuzz::require(d4field(d, f4name(f)) != nullptr || f4name(f)[0] == '\0',
                      "a field's own name does not find a field");
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
    const uint8_t *sep = (const uint8_t *)memmem(data, size, kSeparator, kSeparatorLen);
    size_t dbfLen = sep != nullptr ? (size_t)(sep - data) : size;
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
        long count = d4reccount(d);
        long walked = 0;
        int rc = d4top(d);
        while (rc == 0 && !d4eof(d)) {
            readRecord(d);
            walked++;
            fuzz::require(count < 0 || walked <= count, "d4skip walked past the record count");
            rc = d4skip(d, 1);
        }
        rc = d4bottom(d);
        for (int i = 0; i < 3 && rc == 0 && !d4bof(d) && !d4eof(d); i++) {
            readRecord(d);
            rc = d4skip(d, -1);
        }
        d4close(d);
    }
    fuzz::require(c4.data_list.n_link == 0, "a data file stayed in the context's list");
    d4init_undo(&c4);
    return 0;
}

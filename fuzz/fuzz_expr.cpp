// Fuzz target: the text of an expression. It is compiled against a small
// table made once per process (character, numeric, float, date, logical and
// memo fields, three records, one deleted; two named calculations) and,
// when it compiles, evaluated on every record with expr4vary and expr4key
// (and expr4true when logical), then freed.
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

enum { MAX_TEXT = 4096, RECORDS = 3 };

const FIELD4INFO kFields[] = {{"NAME", 'C', 12, 0},    {"CREATOR", 'C', 8, 0},
                              {"QTY", 'N', 8, 2},      {"POSITION", 'N', 4, 0},
                              {"RATE", 'F', 10, 3},    {"DAY", 'D', 8, 0},
                              {"OK", 'L', 1, 0},       {"NOTE", 'M', 10, 0},
                              {"WIDE", 'C', 300, 0},   {nullptr, 0, 0, 0}};

struct RecordValues {
    const char *name;
    const char *creator;
    double qty;
    long position;
    double rate;
    const char *day;
    const char *ok;
    const char *note;
    bool deleted;
};

const RecordValues kRecords[RECORDS] = {
    {"ALPHA", "PUBLIC", 12.5, 1, 0.125, "20240229", "T", "first memo text", false},
    {"beta gamma", "DBA", -3.75, 42, -1000.5, "        ", "F", "", true},
    {"", "", 0, 9999, 1e6, "19000101", "?", "a longer memo text, with more words in it", false},
};

CODE4 g_c4;
DATA4 *g_data;
volatile unsigned g_sink;

void makeTable()
{
    d4init(&g_c4);
    g_data = d4create(&g_c4, fuzz::scratchFile("exprtab").c_str(), kFields, nullptr);
    fuzz::require(g_data != nullptr, "creating the table failed");
    for (const RecordValues &r : kRecords) {
        fuzz::require(d4append_start(g_data, 0) == 0, "d4append_start failed");
        d4blank(g_data);
        f4assign(d4field(g_data, "NAME"), r.name);
        f4assign(d4field(g_data, "CREATOR"), r.creator);
        f4assign_double(d4field(g_data, "QTY"), r.qty);
        f4assign_long(d4field(g_data, "POSITION"), r.position);
        f4assign_double(d4field(g_data, "RATE"), r.rate);
        f4assign_n(d4field(g_data, "DAY"), r.day, 8);
        f4assign(d4field(g_data, "OK"), r.ok);
        f4assign(d4field(g_data, "WIDE"), r.name);
        fuzz::require(f4memo_assign(d4field(g_data, "NOTE"), r.note) == 0, "f4memo_assign failed");
        if (r.deleted)
            d4delete(g_data);
        fuzz::require(d4append(g_data) == 0, "d4append failed");
    }
    fuzz::require(d4flush(g_data) == 0, "d4flush failed");

    // Named calculations, called like functions: TWICE() and LABEL().
    const char *const calcs[][2] = {{"TWICE", "QTY*2"}, {"LABEL", "TRIM(NAME)+'!'"}};
    for (const auto &c : calcs) {
        e4expr_st *e = expr4parse(g_data, c[1]);
        fuzz::require(e != nullptr && expr4calc_create(&g_c4, e, c[0]) != nullptr,
                      "creating a named calculation failed");
    }
}

void evaluate(e4expr_st *e)
{
    int type = expr4type(e);
    for (long rec = 1; rec <= RECORDS; rec++) {
        fuzz::require(d4go(g_data, rec) == 0, "d4go on the fixed table failed");
        char *p = nullptr;
        int got = expr4vary(e, &p);
        if (got >= 0) {
            fuzz::require(p != nullptr || got == 0, "expr4vary gave no result");
            unsigned sum = 0;
            for (int i = 0; i < got; i++)
                sum += (unsigned char)p[i];
            g_sink = g_sink + sum;
        }
        char *key = nullptr;
        int klen = expr4key(e, &key);
        if (klen >= 0) {
            fuzz::require(key != nullptr || klen == 0, "expr4key gave no key");
            fuzz::require(klen <= expr4key_len(e) || type == E4TYPE_CHAR,
                          "expr4key gave a longer key than expr4key_len");
            if (klen > 0)
                g_sink = g_sink + (unsigned char)key[klen - 1];
        }
        if (type == E4TYPE_LOG)
            g_sink = g_sink + (unsigned)expr4true(e);
        g_sink = g_sink + fuzz::bitsOf(expr4double(e));
    }
    g_sink = g_sink + (unsigned)std::strlen(expr4source(e));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mbstr_initialize(0);
    makeTable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > MAX_TEXT)
        return 0;
    std::string text((const char *)data, size);
    e4clearErrorState();
    e4expr_st *e = expr4parse(g_data, text.c_str());
    if (e != nullptr) {
        evaluate(e);
        expr4free(e);
    }
    // A failure that leaves the context refusing all work would make every
    // later input meaningless; it is a finding of its own.
    fuzz::require(g_c4.error_code >= 0, "the context's error code turned negative");
    g_c4.error_code = 0;
    return 0;
}

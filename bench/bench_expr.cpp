// Expressions benchmark: compiles the dictionary's column key and filter and
// a few numeric and date keys over a real table shaped like the columns
// table, then evaluates each over a cycle of record images held in memory.
// Usage: bench_expr [EVALUATIONS]   (default 1000000)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/date4.h"
#include "xbase/expr/expr4.h"
#include "xbase/f4field.h"

namespace {

// The dictionary's columns table with a date field added for date keys.
const FIELD4INFO kFields[] = {{"TABLE", 'C', 30, 0},   {"COLUMN", 'C', 10, 0},
                              {"CREATOR", 'C', 8, 0},  {"TYPE", 'C', 15, 0},
                              {"WIDTH", 'N', 3, 0},    {"DECIMALS", 'N', 2, 0},
                              {"POSITION", 'N', 4, 0}, {"NULLSOK", 'L', 1, 0},
                              {"MADE", 'D', 8, 0},     {nullptr, 0, 0, 0}};

enum { RECORDS = 64 };

// Where each run's result bytes go, so that no evaluation is idle work.
volatile unsigned long g_sink;

enum Mode { VARY, KEY, TRUE_ };

struct Case {
    const char *source;
    Mode mode;
};

// The dictionary's key and filter first, then numeric and date keys.
const Case kCases[] = {
    {"CREATOR+TABLE+STR(POSITION)", VARY},
    {"CREATOR+TABLE+STR(POSITION)", KEY},
    {".NOT. DELETED()", VARY},
    {".NOT. DELETED()", TRUE_},
    {"POSITION", KEY},
    {"WIDTH*100+DECIMALS", KEY},
    {"MADE", KEY},
    {"DTOS(MADE)+UPPER(COLUMN)", KEY},
    {"MADE+POSITION > CTOD(\"01/01/24\") .AND. NULLSOK", VARY},
};

const char *const kModeNames[] = {"expr4vary", "expr4key", "expr4true"};

} // namespace

int main(int argc, char **argv)
{
    long n = bench::countArg(argc, argv, 1000000, "[EVALUATIONS]");
    mbstr_initialize(0);
    bench::ScratchDir dir;
    CODE4 c4;
    d4init(&c4);
    DATA4 *d = d4create(&c4, dir.file("columns").c_str(), kFields, nullptr);
    bench::check(d != nullptr, "d4create");

    const long firstDay = date4long("20231215");
    for (long i = 1; i <= RECORDS; i++) {
        bench::check(d4append_start(d, 0) == 0, "d4append_start");
        d4blank(d);
        char buf[32];
        std::snprintf(buf, sizeof buf, "TABLE%03ld", i % 7);
        f4assign(d4field(d, "TABLE"), buf);
        std::snprintf(buf, sizeof buf, "col%ld", i);
        f4assign(d4field(d, "COLUMN"), buf);
        f4assign(d4field(d, "CREATOR"), "PUBLIC");
        f4assign(d4field(d, "TYPE"), "C");
        f4assign_long(d4field(d, "WIDTH"), 10 + i);
        f4assign_long(d4field(d, "DECIMALS"), i % 4);
        f4assign_long(d4field(d, "POSITION"), i);
        f4assign(d4field(d, "NULLSOK"), i % 3 ? "T" : "F");
        f4assign_long(d4field(d, "MADE"), firstDay + i);
        if (i % 5 == 0)
            d4delete(d);
        bench::check(d4append(d) == 0, "d4append");
    }

    // The record images, so that the timed loops measure evaluation and
    // not reading: each evaluation sees the next record's bytes.
    const unsigned width = d4record_width(d);
    std::vector<char> images((size_t)width * RECORDS);
    for (long i = 1; i <= RECORDS; i++) {
        bench::check(d4go(d, i) == 0, "d4go");
        std::memcpy(&images[(size_t)width * (size_t)(i - 1)], d4record(d), width);
    }
    char *record = d4record(d);

    std::printf("expressions over a %u-byte record, %d records cycled (%ld evaluations each)\n",
                width, RECORDS, n);
    for (const Case &c : kCases) {
        // Compilation, timed on a tenth of the evaluations.
        long compiles = n / 10 > 0 ? n / 10 : 1;
        double t0 = bench::now();
        for (long i = 0; i < compiles; i++) {
            e4expr_st *e = expr4parse(d, c.source);
            bench::check(e != nullptr, c.source);
            expr4free(e);
        }
        double t1 = bench::now();
        std::printf(" %s\n", c.source);
        bench::report("compile (expr4parse, expr4free)", compiles, t1 - t0, "compiles");

        e4expr_st *e = expr4parse(d, c.source);
        bench::check(e != nullptr, c.source);
        unsigned long check = 0;
        t0 = bench::now();
        for (long i = 0; i < n; i++) {
            std::memcpy(record, &images[(size_t)width * (size_t)(i % RECORDS)], width);
            char *result = nullptr;
            int len;
            if (c.mode == TRUE_) {
                len = expr4true(e);
                check += (unsigned long)len;
            } else {
                len = c.mode == KEY ? expr4key(e, &result) : expr4vary(e, &result);
                if (len <= 0 || result == nullptr)
                    bench::check(false, c.source);
                check += (unsigned char)result[len - 1];
            }
            if (len < 0)
                bench::check(false, c.source);
        }
        t1 = bench::now();
        g_sink = check;
        char what[80];
        std::snprintf(what, sizeof what, "%s (type %c, %d bytes)", kModeNames[c.mode],
                      expr4type(e), c.mode == KEY ? expr4key_len(e) : expr4len(e));
        bench::report(what, n, t1 - t0, "evals");
        expr4free(e);
    }

    bench::check(d4close(d) == 0, "d4close");
    d4init_undo(&c4);
    return 0;
}

// Records benchmark: appends, reads back, deletes every third record of and
// packs a table of C, N, D and L fields, with and without a memo field, in
// shared mode (locks taken) and in exclusive mode (no locks).
// Usage: bench_records [RECORDS]   (default 100000)
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/benchutil.h"
#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/date4.h"
#include "xbase/f4field.h"
#include "xbase/memo4.h"

namespace {

const FIELD4INFO kPlainFields[] = {{"NAME", 'C', 20, 0},
                                   {"QTY", 'N', 12, 2},
                                   {"DAY", 'D', 8, 0},
                                   {"OK", 'L', 1, 0},
                                   {nullptr, 0, 0, 0}};

const FIELD4INFO kMemoFields[] = {{"NAME", 'C', 20, 0},
                                  {"QTY", 'N', 12, 2},
                                  {"DAY", 'D', 8, 0},
                                  {"OK", 'L', 1, 0},
                                  {"NOTE", 'M', 10, 0},
                                  {nullptr, 0, 0, 0}};

struct Config {
    const char *label;
    bool memo;
    int exclusive;
};

// The memo text of record `i`: 16 to 215 bytes, so that some entries take
// one 512-byte block and none takes more.
unsigned memoLen(long i) { return 16 + (unsigned)(i % 200); }

void runTable(const Config &cfg, long n)
{
    bench::ScratchDir dir;
    CODE4 c4;
    d4init(&c4);
    c4.exclusive = cfg.exclusive;
    std::printf("%s (%ld records)\n", cfg.label, n);

    std::string base = dir.file(cfg.memo ? "benchm" : "bench");
    DATA4 *d = d4create(&c4, base.c_str(), cfg.memo ? kMemoFields : kPlainFields, nullptr);
    bench::check(d != nullptr, "d4create");
    FIELD4 *name = d4field(d, "NAME");
    FIELD4 *qty = d4field(d, "QTY");
    FIELD4 *day = d4field(d, "DAY");
    FIELD4 *ok = d4field(d, "OK");
    FIELD4 *note = cfg.memo ? d4field(d, "NOTE") : nullptr;
    bench::check(name && qty && day && ok && (!cfg.memo || note), "d4field");

    const long firstDay = date4long("20240101");
    char text[256];
    std::memset(text, 'm', sizeof text);

    double t0 = bench::now();
    for (long i = 1; i <= n; i++) {
        bench::check(d4append_start(d, 0) == 0, "d4append_start");
        d4blank(d);
        char buf[32];
        std::snprintf(buf, sizeof buf, "NAME%07ld", i);
        f4assign(name, buf);
        f4assign_double(qty, (double)i * 0.25);
        f4assign_long(day, firstDay + i % 3650);
        f4assign(ok, i % 2 ? "T" : "F");
        if (note != nullptr)
            bench::check(f4memo_assign_n(note, text, memoLen(i)) == 0, "f4memo_assign_n");
        bench::check(d4append(d) == 0, "d4append");
    }
    bench::check(d4flush(d) == 0, "d4flush");
    double t1 = bench::now();
    bench::report("append", n, t1 - t0, "records");

    // Every value is used, so that no read can be skipped, and checked
    // against what was written.
    long seen = 0, trues = 0;
    double qtySum = 0, daySum = 0;
    unsigned long nameBytes = 0, memoBytes = 0, memoWant = 0;
    t0 = bench::now();
    int rc = d4top(d);
    while (rc == 0 && !d4eof(d)) {
        seen++;
        nameBytes += std::strlen(f4str(name));
        qtySum += f4double(qty);
        daySum += (double)f4long(day);
        trues += *f4ptr(ok) == 'T';
        if (note != nullptr) {
            bench::check(f4memo_ptr(note) != nullptr, "f4memo_ptr");
            memoBytes += f4memo_len(note);
            memoWant += memoLen(seen);
        }
        rc = d4skip(d, 1);
    }
    t1 = bench::now();
    bench::check(rc == 0 || rc == r4eof, "d4skip");
    bench::check(seen == n && trues == (n + 1) / 2 && nameBytes == 20ul * (unsigned long)n &&
                     qtySum == 0.125 * (double)n * (double)(n + 1) && daySum > 0 &&
                     memoBytes == memoWant,
                 "the values read back differ from those written");
    bench::report("read (d4top/d4skip, every field)", n, t1 - t0, "records");

    // The names the engine gave the files (it upper-cases what it creates).
    const std::string dbfName = d->file.name;
    const std::string fptName = cfg.memo ? d->memo_file.file.name : "";
    long long dbfBefore = bench::fileSize(dbfName);
    long long fptBefore = cfg.memo ? bench::fileSize(fptName) : 0;

    long deleted = 0;
    t0 = bench::now();
    for (long r = 3; r <= n; r += 3) {
        bench::check(d4go(d, r) == 0, "d4go");
        d4delete(d);
        deleted++;
    }
    bench::check(d4flush(d) == 0, "d4flush");
    t1 = bench::now();
    bench::report("delete every third (d4go)", deleted, t1 - t0, "records");

    t0 = bench::now();
    bench::check(d4pack(d) == 0, "d4pack");
    t1 = bench::now();
    bench::check(d4reccount(d) == n - deleted, "pack kept a wrong number of records");
    bench::report("pack (records scanned)", n, t1 - t0, "records");
    bench::check(d4close(d) == 0, "d4close");
    d4init_undo(&c4);

    std::printf("  file sizes: .dbf %lld bytes before pack, %lld after", dbfBefore,
                bench::fileSize(dbfName));
    if (cfg.memo)
        std::printf("; .fpt %lld bytes", fptBefore);
    std::printf("\n\n");
}

} // namespace

int main(int argc, char **argv)
{
    long n = bench::countArg(argc, argv, 100000, "[RECORDS]");
    mbstr_initialize(0);
    const Config configs[] = {
        {"C/N/D/L table, shared (locks taken)", false, 0},
        {"C/N/D/L table, exclusive (no locks)", false, 1},
        {"C/N/D/L/M table, shared (locks taken)", true, 0},
        {"C/N/D/L/M table, exclusive (no locks)", true, 1},
    };
    for (const Config &cfg : configs)
        runTable(cfg, n);
    return 0;
}

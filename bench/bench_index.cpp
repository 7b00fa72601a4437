// Index benchmark: a table of five C fields (widths 15, 15, 15, 14, 14) with
// one tag per field, each filtered ".NOT. DELETED()", created with its tags
// empty; records appended one by one with the index open (every key added
// as it comes), then d4seek on the first tag, 90% of the values present.
// Exclusive (no locks) or shared (locks taken per append); each run in a
// process of its own, the same records every run. The field texts are
// random letters, made in batches while the clock is stopped. Prints one
// table per mode: the median, least and greatest of the runs, processor
// time, peak memory, and system calls and block buffer misses per append
// and per seek.
// Usage: bench_index [RECORDS] [exclusive|shared|both] [RUNS]
//        (default 1000000, both, 3)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "bench/fivetags.h"
#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/f4field.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"

namespace {

using namespace fivetags;

const int kRowLen = kFieldBytes;     // the five texts, one after the other
const long kBatch = 65536;           // records whose texts are made at once
const long kSeeks = 100000;

// What one run measured.
struct Run {
    bench::Sample append, seek;
    long found;
    long peakKb;         // before the tree check, whose tables are not the engine's
    long long indexBytes;
    int sound;           // the tree check passed
};

void randomText(std::mt19937_64 &rng, char *out, int len)
{
    for (int i = 0; i < len; i++)
        out[i] = char('A' + rng() % 26);
}

void run(bool exclusive, long n, Run &r)
{
    bench::ScratchDir dir;
    CODE4 c4;
    d4init(&c4);

    DATA4 *d = d4create(&c4, dir.file("bench").c_str(), kFields, kTags);
    bench::check(d != nullptr, "d4create with five empty tags");
    std::string path = d->file.name;
    d4close(d);
    c4.exclusive = exclusive ? 1 : 0;
    d = d4open(&c4, path.c_str());
    bench::check(d != nullptr && d->indexes.n_link == 1, "d4open with its index");
    FIELD4 *fields[kFieldCount];
    for (int f = 0; f < kFieldCount; f++)
        fields[f] = d4field(d, kFields[f].name);

    // Which records' first texts the seeks look for, chosen before any text
    // is made; their texts are kept as they go by.
    std::mt19937_64 rng(exclusive ? 1 : 2);
    const long present = kSeeks * 9 / 10;
    std::vector<long> wanted((size_t)present);
    for (long &w : wanted)
        w = (long)(rng() % (unsigned long)n);
    std::vector<long> order(wanted);
    std::sort(order.begin(), order.end());
    std::vector<std::string> seeks;
    seeks.reserve((size_t)kSeeks);
    size_t next_wanted = 0;

    std::vector<char> batch((size_t)(kBatch * kRowLen));
    char value[16];
    r.append = bench::Sample{};
    for (long start = 0; start < n; start += kBatch) {
        long m = std::min(kBatch, n - start);
        randomText(rng, batch.data(), (int)(m * kRowLen));
        for (; next_wanted < order.size() && order[next_wanted] < start + m; next_wanted++)
            seeks.emplace_back(batch.data() + (order[next_wanted] - start) * kRowLen, 15);
        bench::Sample t0 = bench::sample();
        for (long i = 0; i < m; i++) {
            const char *row = batch.data() + i * kRowLen;
            bench::check(d4append_start(d, 0) == 0, "d4append_start");
            for (int f = 0; f < kFieldCount; f++) {
                std::memcpy(value, row, (size_t)kWidths[f]);
                value[kWidths[f]] = '\0';
                row += kWidths[f];
                f4assign(fields[f], value);
            }
            bench::check(d4append(d) == 0, "d4append");
        }
        if (start + m >= n)
            bench::check(d4flush(d) == 0, "d4flush");
        bench::add(r.append, bench::since(t0));
    }

    while ((long)seeks.size() < kSeeks) {
        randomText(rng, value, 15);
        seeks.emplace_back(value, 15);
    }
    std::shuffle(seeks.begin(), seeks.end(), rng);
    d4tag_select(d, d4tag(d, "F1"));
    r.found = 0;
    bench::Sample t0 = bench::sample();
    for (const std::string &s : seeks) {
        int rc = d4seek(d, s.c_str());
        bench::check(rc == 0 || rc == r4after || rc == r4eof, "d4seek");
        r.found += rc == 0 ? 1 : 0;
    }
    r.seek = bench::since(t0);
    r.peakKb = bench::peakKb();
    T4PROBLEM problem{};
    r.sound = i4check((INDEX4 *)l4first(&d->indexes), &problem) == 0;
    if (!r.sound)
        std::fprintf(stderr, "tree check: %s\n", problem.text);
    bench::check(d4close(d) == 0, "d4close");
    r.indexBytes = bench::fileSize(path.substr(0, path.size() - 4) + ".CDX");
}

void report(bool exclusive, long n, int runs)
{
    std::vector<Run> all;
    for (int i = 0; i < runs; i++)
        all.push_back(bench::inChild<Run>([&](Run &r) { run(exclusive, n, r); }));
    std::vector<double> peak;
    for (const Run &r : all)
        peak.push_back(r.peakKb / 1024.0);
    const Run &m = all[bench::medianRun(all, [](const Run &r) { return r.append.wall; })];
    // The targets are for this workload at a million records, exclusive.
    bool goal = exclusive && n == 1000000;
    std::printf("\nbench_index: %s, %ld records appended one by one with 5 tags, then %ld seeks "
                "on F1 (90%% present); %d runs\n\n",
                exclusive ? "exclusive" : "shared", n, kSeeks, runs);
    bench::Table t;
    t.add({"figure", "median", "least", "most", "target"});
    bench::timeRows(t, "append, 5 tags (s)", all, m, [](const Run &r) { return r.append; }, "%.2f",
                    goal ? "≤ 13" : "");
    bench::timeRows(t, "seeks (s)", all, m, [](const Run &r) { return r.seek; }, "%.3f", goal ? "≤ 0.26" : "");
    t.figure("peak resident memory (MB)", peak, "%.1f", goal ? "≤ 96" : "");
    bench::callRows(t, "per append", m.append, (double)n);
    bench::callRows(t, "per seek", m.seek, (double)kSeeks);
    t.add({"values found, of the seeks", bench::format("%ld of %ld", m.found, kSeeks), "", "", ""});
    t.add({"index file (MB)", bench::format("%.1f", (double)m.indexBytes / 1048576.0), "", "", ""});
    bool sound = true;
    for (const Run &r : all)
        sound = sound && r.sound;
    t.add({"tree check, every run", sound ? "sound" : "FAILED", "", "", ""});
    t.print();
}

} // namespace

int main(int argc, char **argv)
{
    mbstr_initialize(0);
    const char *usage = "[RECORDS] [exclusive|shared|both] [RUNS]";
    long n = bench::countAt(argc, argv, 1, 1000000, usage);
    std::string mode = argc > 2 ? argv[2] : "both";
    long runs = bench::countAt(argc, argv, 3, 3, usage);
    if (argc > 4 || (mode != "exclusive" && mode != "shared" && mode != "both"))
        bench::usageExit(argv, usage);
    for (bool exclusive : {true, false})
        if (mode == "both" || mode == (exclusive ? "exclusive" : "shared"))
            report(exclusive, n, (int)runs);
    return 0;
}

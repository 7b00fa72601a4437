// Index build benchmark: a table of five character fields (widths 15, 15,
// 15, 14, 14; 74-byte records) gets its production index of five tags, one
// per field, each filtered ".NOT. DELETED()", built over the records already
// there; then every tenth record is deleted and the table packed, which
// rebuilds the five tags. The table is written once; each run works on a
// copy of it in a process of its own. Prints one table: each phase's
// seconds (median, least and greatest of the runs), processor time, system
// calls, peak memory, and a plain std::sort of the same keys (the floor).
// Usage: bench_rebuild [RECORDS] [RUNS]   (default 1000000, 3)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "bench/fivetags.h"
#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/f4field.h"
#include "xbase/index/i4index.h"

namespace {

using namespace fivetags;

// Seconds of processor time this process has used: on a machine shared
// with other work, the figure that load does not inflate.
double cpuNow() { return (double)std::clock() / CLOCKS_PER_SEC; }

struct Entry {
    char key[15];
    int32_t rec;
};

// The floor: each tag's keys of the live records sorted in one array by
// (key, record number), the arrays made before the clock starts.
double floorSort(long n, bool skipTenth, double *cpu)
{
    double total = 0;
    *cpu = 0;
    std::vector<char> rec(kFieldBytes);
    for (int f = 0, at = 0; f < kFieldCount; at += kWidths[f], f++) {
        std::vector<Entry> v;
        v.reserve((size_t)n);
        long kept = 0;
        for (long i = 1; i <= n; i++) {
            if (skipTenth && i % 10 == 0)
                continue;
            recordFields(i, rec.data());
            Entry e{};
            std::memcpy(e.key, rec.data() + at, (size_t)kWidths[f]);
            e.rec = (int32_t)++kept;
            v.push_back(e);
        }
        size_t len = (size_t)kWidths[f];
        double t0 = bench::now(), c0 = cpuNow();
        std::sort(v.begin(), v.end(), [len](const Entry &a, const Entry &b) {
            int c = std::memcmp(a.key, b.key, len);
            return c != 0 ? c < 0 : a.rec < b.rec;
        });
        total += bench::now() - t0;
        *cpu += cpuNow() - c0;
    }
    return total;
}

// What one run measured.
struct Run {
    bench::Sample build, pack;
    long kept;
    long peakKb;
    long long indexBytes;
};

// Builds the five tags over a copy of the table at `base`, deletes every
// tenth record (not measured) and packs the table.
void run(const std::string &base, long n, Run &r)
{
    std::string copy = base + "RUN";
    std::error_code ec;
    std::filesystem::copy_file(base + ".DBF", copy + ".DBF",
                               std::filesystem::copy_options::overwrite_existing, ec);
    bench::check(!ec, "copying the table");
    std::remove((copy + ".CDX").c_str());
    CODE4 c4;
    d4init(&c4);
    DATA4 *d = d4open(&c4, copy.c_str());
    bench::check(d != nullptr, "d4open");
    bench::Sample t0 = bench::sample();
    bench::check(i4create(d, nullptr, kTags) != nullptr, "i4create");
    r.build = bench::since(t0);
    bench::check(d4close(d) == 0, "d4close");
    r.indexBytes = bench::fileSize(copy + ".CDX");

    c4.auto_open = 0;
    d = d4open(&c4, copy.c_str());
    bench::check(d != nullptr, "d4open");
    for (long i = 10; i <= n; i += 10) {
        bench::check(d4go(d, i) == 0, "d4go");
        d4delete(d);
    }
    bench::check(d4close(d) == 0, "d4close");
    c4.auto_open = 1;
    d = d4open(&c4, copy.c_str());
    bench::check(d != nullptr, "d4open");
    t0 = bench::sample();
    bench::check(d4pack(d) == 0, "d4pack");
    r.pack = bench::since(t0);
    r.kept = d4reccount(d);
    bench::check(d4close(d) == 0, "d4close");
    r.peakKb = bench::peakKb();
    d4init_undo(&c4);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<long> args = bench::countArgs(argc, argv, {1000000, 3}, "[RECORDS] [RUNS]");
    long n = args[0], runs = args[1];
    bench::ScratchDir dir;
    // Work files of the sort are made in the current directory.
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    mbstr_initialize(0);
    std::string base = dir.file("BENCH");

    double t0 = bench::now();
    {
        CODE4 c4;
        d4init(&c4);
        c4.exclusive = 1;
        DATA4 *d = d4create(&c4, base.c_str(), kFields, nullptr);
        bench::check(d != nullptr, "d4create");
        std::vector<char> rec(kFieldBytes);
        for (long i = 1; i <= n; i++) {
            bench::check(d4append_start(d, 0) == 0, "d4append_start");
            recordFields(i, rec.data());
            std::memcpy(d4record(d) + 1, rec.data(), kFieldBytes);
            bench::check(d4append(d) == 0, "d4append");
        }
        bench::check(d4close(d) == 0, "d4close");
        d4init_undo(&c4);
    }
    double written = bench::now() - t0;

    std::vector<Run> all;
    for (long i = 0; i < runs; i++)
        all.push_back(bench::inChild<Run>([&](Run &r) { run(base, n, r); }));
    std::vector<double> peak;
    for (const Run &r : all)
        peak.push_back(r.peakKb / 1024.0);
    const Run &m = all[bench::medianRun(all, [](const Run &r) { return r.build.wall + r.pack.wall; })];
    bool goal = n == 1000000;
    std::printf("\nbench_rebuild: %ld records of five C fields (74 bytes), five tags filtered "
                "\".NOT. DELETED()\",\ndefault pool sizes; %ld runs (the table written once in "
                "%.1f s, %lld bytes, not timed)\n\n",
                n, runs, written, bench::fileSize(base + ".DBF"));
    bench::Table t;
    t.add({"figure", "median", "least", "most", "target"});
    bench::timeRows(t, "build the five tags (s)", all, m, [](const Run &r) { return r.build; }, "%.3f",
                    goal ? "≤ 0.55" : "");
    bench::callRows(t, "in the build", m.build, 1);
    bench::timeRows(t, "pack, every tenth record deleted (s)", all, m, [](const Run &r) { return r.pack; },
                    "%.3f", goal ? "≤ 0.45" : "");
    bench::callRows(t, "in the pack", m.pack, 1);
    t.figure("peak resident memory (MB)", peak, "%.1f", goal ? "≤ 96" : "");
    t.add({"records after the pack", bench::format("%ld", m.kept), "", "", ""});
    t.add({"index file after the build (MB)", bench::format("%.1f", (double)m.indexBytes / 1048576.0),
           "", "", ""});
    // The floor, once: the sort of the keys alone, clock / processor time.
    double cpu = 0, secs = floorSort(n, false, &cpu);
    t.add({"floor: std::sort of the build's keys (s)", bench::format("%.3f / %.3f", secs, cpu), "", "", ""});
    secs = floorSort(n, true, &cpu);
    t.add({"floor: std::sort of the pack's keys (s)", bench::format("%.3f / %.3f", secs, cpu), "", "", ""});
    t.print();
    std::filesystem::current_path(home);
    return 0;
}

// Index build benchmark: a table of five character fields (widths 15, 15,
// 15, 14, 14; 74-byte records) gets its production index of five tags, one
// per field, each filtered ".NOT. DELETED()", built over the records already
// there; then every tenth record is deleted and the table packed, which
// rebuilds the five tags. Prints each phase's seconds, a plain std::sort of
// the same keys (the floor) and the peak resident memory.
// Usage: bench_rebuild [RECORDS]   (default 1000000)
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

} // namespace

int main(int argc, char **argv)
{
    long n = bench::countArg(argc, argv, 1000000, "[RECORDS]");
    bench::ScratchDir dir;
    // Work files of the sort are made in the current directory.
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    mbstr_initialize(0);
    CODE4 c4;
    d4init(&c4);
    std::string base = dir.file("BENCH");

    std::printf("index build: %ld records of five C fields (74 bytes), five tags filtered "
                "\".NOT. DELETED()\", default pool sizes\n", n);
    double t0 = bench::now();
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
    c4.exclusive = 0;
    std::printf("  (table written in %.3f s, %lld bytes; not timed)\n", bench::now() - t0,
                bench::fileSize(base + ".DBF"));
    long baseKb = bench::statusKb("VmHWM");

    // Build: the index file does not exist; the table is opened and its
    // production index created over the records there.
    std::remove((base + ".CDX").c_str());
    d = d4open(&c4, base.c_str());
    bench::check(d != nullptr, "d4open");
    t0 = bench::now();
    double c0 = cpuNow();
    bench::check(i4create(d, nullptr, kTags) != nullptr, "i4create");
    double build = bench::now() - t0, buildCpu = cpuNow() - c0;
    bench::check(d4close(d) == 0, "d4close");
    long buildKb = bench::statusKb("VmHWM");
    std::printf("  %-48s %10ld in %8.3f s   (target 0.7 s; processor %.3f s)\n", "build the five tags",
                n, build, buildCpu);
    std::printf("  %-48s %10lld bytes\n", "  index file", bench::fileSize(base + ".CDX"));

    // Every tenth record deleted, the index left alone (not timed).
    c4.auto_open = 0;
    d = d4open(&c4, base.c_str());
    bench::check(d != nullptr, "d4open");
    for (long i = 10; i <= n; i += 10) {
        bench::check(d4go(d, i) == 0, "d4go");
        d4delete(d);
    }
    bench::check(d4close(d) == 0, "d4close");
    c4.auto_open = 1;
    d = d4open(&c4, base.c_str());
    bench::check(d != nullptr, "d4open");
    t0 = bench::now();
    c0 = cpuNow();
    bench::check(d4pack(d) == 0, "d4pack");
    double pack = bench::now() - t0, packCpu = cpuNow() - c0;
    long kept = d4reccount(d);
    bench::check(d4close(d) == 0, "d4close");
    long packKb = bench::statusKb("VmHWM");
    std::printf("  %-48s %10ld in %8.3f s   (target 1.1 s; processor %.3f s)\n",
                "pack, rebuilding the five tags", kept, pack, packCpu);

    std::printf("floor: std::sort of the same keys, one array per tag\n");
    double cpu = 0, secs = floorSort(n, false, &cpu);
    std::printf("  %-48s %10ld in %8.3f s   (processor %.3f s)\n", "keys of the build", n * kFieldCount,
                secs, cpu);
    secs = floorSort(n, true, &cpu);
    std::printf("  %-48s %10ld in %8.3f s   (processor %.3f s)\n", "keys of the pack", kept * kFieldCount,
                secs, cpu);
    std::printf("peak resident memory: %ld kB after writing the table, %ld kB after the build,\n"
                "  %ld kB after the pack (goal 65536 kB); %ld kB after the floor\n",
                baseKb, buildKb, packKb, bench::statusKb("VmHWM"));
    d4init_undo(&c4);
    std::filesystem::current_path(home);
    return 0;
}

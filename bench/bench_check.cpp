// Check benchmark: the five-tag table of the index build (fivetags.h) gets
// its production index; the index is then rebuilt through the engine, and
// checked by the built xbcheck, run as users run it (every tag's keys
// against the records, the trees and the free list). Prints the seconds and
// processor seconds of both and xbcheck's peak resident memory.
// Usage: bench_check [RECORDS]   (default 1000000)
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
#include "xbase/index/i4index.h"
#include "xbase/index/r4reindex.h"
#include "xbase/l4list.h"

#ifndef CATALOGR_XBCHECK
#error "CATALOGR_XBCHECK names the built program"
#endif

namespace {

double cpuNow() { return (double)std::clock() / CLOCKS_PER_SEC; }

} // namespace

int main(int argc, char **argv)
{
    long n = bench::countArg(argc, argv, 1000000, "[RECORDS]");
    bench::ScratchDir dir;
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    mbstr_initialize(0);
    CODE4 c4;
    d4init(&c4);
    std::string base = dir.file("BENCH");

    std::printf("check: %ld records of five C fields (74 bytes), five tags filtered \".NOT. DELETED()\"\n", n);
    c4.exclusive = 1;
    DATA4 *d = d4create(&c4, base.c_str(), fivetags::kFields, nullptr);
    bench::check(d != nullptr, "d4create");
    std::vector<char> rec(fivetags::kFieldBytes);
    for (long i = 1; i <= n; i++) {
        bench::check(d4append_start(d, 0) == 0, "d4append_start");
        fivetags::recordFields(i, rec.data());
        std::memcpy(d4record(d) + 1, rec.data(), fivetags::kFieldBytes);
        bench::check(d4append(d) == 0, "d4append");
    }
    bench::check(i4create(d, nullptr, fivetags::kTags) != nullptr, "i4create");
    bench::check(d4close(d) == 0, "d4close");
    c4.exclusive = 0;
    std::printf("  (table and index written; not timed: %lld + %lld bytes)\n", bench::fileSize(base + ".DBF"),
                bench::fileSize(base + ".CDX"));

    d = d4open(&c4, base.c_str());
    bench::check(d != nullptr, "d4open");
    double t0 = bench::now(), c0 = cpuNow();
    bench::check(i4reindex((INDEX4 *)l4first(&d->indexes)) == 0, "i4reindex");
    double rebuild = bench::now() - t0, rebuildCpu = cpuNow() - c0;
    bench::check(d4close(d) == 0, "d4close");
    std::printf("  %-48s %10ld in %8.3f s   (processor %.3f s)\n", "rebuild the five tags", n, rebuild, rebuildCpu);

    double cpu = 0;
    long kb = 0;
    t0 = bench::now();
    int status = bench::runProgram(dir.path, {CATALOGR_XBCHECK, "BENCH.DBF"}, &cpu, &kb);
    double check = bench::now() - t0;
    if (status != 0) {
        std::fprintf(stderr, "benchmark failed: xbcheck exited with %d\n", status);
        return 1;
    }
    std::printf("  %-48s %10ld in %8.3f s   (processor %.3f s)\n", "xbcheck: keys, trees and free list", n, check,
                cpu);
    std::printf("  check / rebuild: %.2f on the clock, %.2f in processor time; xbcheck's peak resident "
                "memory %ld kB\n",
                rebuild > 0 ? check / rebuild : 0.0, rebuildCpu > 0 ? cpu / rebuildCpu : 0.0, kb);
    d4init_undo(&c4);
    std::filesystem::current_path(home);
    return 0;
}

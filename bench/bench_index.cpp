// Index benchmark: a table of five C fields (widths 15, 15, 15, 14, 14) with
// one tag per field, each filtered ".NOT. DELETED()", created with its tags
// empty; records appended one by one with the index open (every key added
// as it comes), then d4seek on the first tag, 90% of the values present.
// Exclusive (no locks) and shared (locks taken per append), each in a
// process of its own. The field texts are random letters, made in batches
// while the clock is stopped.
// Usage: bench_index [RECORDS] [exclusive|shared]   (default 1000000, both)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/f4field.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"

namespace {

const FIELD4INFO kFields[] = {{"F1", 'C', 15, 0}, {"F2", 'C', 15, 0}, {"F3", 'C', 15, 0},
                             {"F4", 'C', 14, 0}, {"F5", 'C', 14, 0}, {nullptr, 0, 0, 0}};
const int kWidths[] = {15, 15, 15, 14, 14};
const int kFieldCount = 5;
const int kRowLen = 73;              // the five texts, one after the other
const long kBatch = 65536;           // records whose texts are made at once
const long kSeeks = 100000;

void randomText(std::mt19937_64 &rng, char *out, int len)
{
    for (int i = 0; i < len; i++)
        out[i] = char('A' + rng() % 26);
}

long peakKb()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

void run(bool exclusive, long n)
{
    bench::ScratchDir dir;
    CODE4 c4;
    d4init(&c4);
    std::printf("%s (%ld records, 5 tags)\n", exclusive ? "exclusive" : "shared", n);

    const char *names[kFieldCount] = {"F1", "F2", "F3", "F4", "F5"};
    TAG4INFO tags[kFieldCount + 1] = {};
    for (int f = 0; f < kFieldCount; f++)
        tags[f] = {names[f], names[f], ".NOT. DELETED()", 0, 0};
    DATA4 *d = d4create(&c4, dir.file("bench").c_str(), kFields, tags);
    bench::check(d != nullptr, "d4create with five empty tags");
    std::string path = d->file.name;
    d4close(d);
    c4.exclusive = exclusive ? 1 : 0;
    d = d4open(&c4, path.c_str());
    bench::check(d != nullptr && d->indexes.n_link == 1, "d4open with its index");
    FIELD4 *fields[kFieldCount];
    for (int f = 0; f < kFieldCount; f++)
        fields[f] = d4field(d, names[f]);

    // Which records' first texts the seeks look for, chosen before any text
    // is made; their texts are kept as they go by.
    std::mt19937_64 rng(exclusive ? 1 : 2);
    const long present = kSeeks * 9 / 10;
    std::vector<long> wanted((size_t)present);
    for (long &r : wanted)
        r = (long)(rng() % (unsigned long)n);
    std::vector<long> order(wanted);
    std::sort(order.begin(), order.end());
    std::vector<std::string> seeks;
    seeks.reserve((size_t)kSeeks);
    size_t next_wanted = 0;

    std::vector<char> batch((size_t)(kBatch * kRowLen));
    char value[16];
    double appending = 0;
    for (long start = 0; start < n; start += kBatch) {
        long m = std::min(kBatch, n - start);
        randomText(rng, batch.data(), (int)(m * kRowLen));
        for (; next_wanted < order.size() && order[next_wanted] < start + m; next_wanted++)
            seeks.emplace_back(batch.data() + (order[next_wanted] - start) * kRowLen, 15);
        double t0 = bench::now();
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
        appending += bench::now() - t0;
    }
    bench::report("append with 5 tags", n, appending, "records");

    while ((long)seeks.size() < kSeeks) {
        randomText(rng, value, 15);
        seeks.emplace_back(value, 15);
    }
    std::shuffle(seeks.begin(), seeks.end(), rng);
    d4tag_select(d, d4tag(d, "F1"));
    long found = 0;
    double t0 = bench::now();
    for (const std::string &s : seeks) {
        int rc = d4seek(d, s.c_str());
        bench::check(rc == 0 || rc == r4after || rc == r4eof, "d4seek");
        found += rc == 0 ? 1 : 0;
    }
    double seeking = bench::now() - t0;
    bench::report("d4seek on the first tag", kSeeks, seeking, "seeks");
    std::printf("  %-48s %10ld of %ld\n", "values found", found, kSeeks);

    std::printf("  %-48s %10ld KB\n", "peak resident memory so far", peakKb());
    // Not timed, and after the figure above: the checker's own tables are
    // not the engine's working memory.
    T4PROBLEM problem{};
    int rc = i4check((INDEX4 *)l4first(&d->indexes), &problem);
    std::printf("  %-48s %s\n", "tree check", rc == 0 ? "sound" : problem.text);
    bench::check(d4close(d) == 0, "d4close");
    std::printf("  %-48s %10lld bytes\n", "index file", bench::fileSize(path.substr(0, path.size() - 4) + ".CDX"));
}

} // namespace

int main(int argc, char **argv)
{
    mbstr_initialize(0);
    const char *usage = "[RECORDS] [exclusive|shared]";
    long n = bench::countArg(argc > 2 ? 2 : argc, argv, 1000000, usage);
    std::string mode = argc > 2 ? argv[2] : "";
    if (!mode.empty() && mode != "exclusive" && mode != "shared") {
        std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
        return 2;
    }
    // Each mode in a process of its own, so that its peak memory is its own.
    for (bool exclusive : {true, false}) {
        if (mode == (exclusive ? "shared" : "exclusive"))
            continue;
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            run(exclusive, n);
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
    }
    return 0;
}

// Dictionary benchmark: the built program, run as users run it, creates a
// dictionary (INIT), registers tables of 20 fields each from one script
// (TA), then removes a tenth of them from another (TD); it prints the
// directives per second of each phase and the dictionary's file sizes.
// Usage: bench_dictionary [TABLES]   (default 1000; TD removes a tenth)
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"

#ifndef CATALOGR_PROGRAM
#error "CATALOGR_PROGRAM names the built program"
#endif

namespace {

const char *const kDictionaryFiles[] = {"SQLTABLE.DBF", "SQLTABLE.CDX", "SQLCOLMN.DBF",
                                        "SQLCOLMN.CDX", "SQLINDEX.DBF", "SQLINDEX.CDX"};

// One timed run of the program, reported as `count` directives; ends the
// benchmark when the program fails.
void timedRun(const std::string &dir, const std::string &arg, const char *label, long count)
{
    double cpu = 0, t0 = bench::now();
    long kb = 0;
    int status = bench::runProgram(dir, {CATALOGR_PROGRAM, arg}, &cpu, &kb);
    double t1 = bench::now();
    if (status != 0) {
        std::fprintf(stderr, "benchmark failed: %s exited with %d\n", label, status);
        std::exit(1);
    }
    bench::report(label, count, t1 - t0, "directives");
    std::printf("  %-48s %10ld in %8.3f s = %12.0f directives/s of processor time\n", "",
                count, cpu, cpu > 0 ? (double)count / cpu : 0.0);
}

void printSizes(const bench::ScratchDir &dir, const char *when)
{
    std::printf("  dictionary files %s:", when);
    for (const char *f : kDictionaryFiles)
        std::printf(" %s %lld", f, bench::fileSize(dir.file(f)));
    std::printf(" bytes\n");
}

// A data file of 20 fields of every kind the dictionary records.
void makeDataFile(CODE4 *c4, const std::string &path)
{
    static const FIELD4INFO fields[] = {
        {"NAME", 'C', 30, 0},  {"CITY", 'C', 20, 0},   {"STREET", 'C', 40, 0},
        {"ZIP", 'C', 8, 0},    {"AMOUNT", 'N', 12, 2}, {"QTY", 'N', 6, 0},
        {"PRICE", 'N', 10, 3}, {"RATE", 'F', 9, 4},    {"BORN", 'D', 8, 0},
        {"SINCE", 'D', 8, 0},  {"ACTIVE", 'L', 1, 0},  {"VIP", 'L', 1, 0},
        {"CODE", 'C', 4, 0},   {"REGION", 'C', 12, 0}, {"PHONE", 'C', 16, 0},
        {"EMAIL", 'C', 60, 0}, {"LIMIT", 'N', 14, 2},  {"COUNT", 'N', 5, 0},
        {"NOTE", 'C', 100, 0}, {"KIND", 'C', 1, 0},    {nullptr, 0, 0, 0}};
    DATA4 *d = d4create(c4, path.c_str(), fields, nullptr);
    bench::check(d != nullptr, "d4create");
    bench::check(d4close(d) == 0, "d4close");
}

} // namespace

int main(int argc, char **argv)
{
    long tables = bench::countArg(argc, argv, 1000, "[TABLES]");
    long removals = tables / 10 > 0 ? tables / 10 : 1;
    mbstr_initialize(0);
    bench::ScratchDir dir;
    std::printf("dictionary directives through the built program (%ld tables of 20 fields, "
                "%ld removed)\n",
                tables, removals);

    // The data files and the scripts are made before any clock starts.
    CODE4 c4;
    d4init(&c4);
    std::string registrations, removalScript;
    std::vector<std::string> names;
    for (long i = 0; i < tables; i++) {
        char file[32], table[48];
        std::snprintf(file, sizeof file, "t%05ld", i);
        std::snprintf(table, sizeof table, "CUSTOMER_TABLE_%05ld", i);
        makeDataFile(&c4, dir.file(file));
        registrations += std::string("-TA ") + file + ".dbf " + table + "\n";
        names.push_back(table);
    }
    d4init_undo(&c4);
    std::mt19937 rng(12345);
    std::shuffle(names.begin(), names.end(), rng);
    for (long i = 0; i < removals; i++)
        removalScript += "-TD " + names[(size_t)i] + "\n";
    FILE *f = std::fopen(dir.file("ta.txt").c_str(), "w");
    bench::check(f != nullptr && std::fputs(registrations.c_str(), f) >= 0 && std::fclose(f) == 0,
                 "writing the TA script");
    f = std::fopen(dir.file("td.txt").c_str(), "w");
    bench::check(f != nullptr && std::fputs(removalScript.c_str(), f) >= 0 && std::fclose(f) == 0,
                 "writing the TD script");

    timedRun(dir.path, "-INIT", "INIT", 1);
    printSizes(dir, "after INIT");
    timedRun(dir.path, "-Sta.txt", "TA (one script)", tables);
    printSizes(dir, "after TA");
    timedRun(dir.path, "-Std.txt", "TD (one script)", removals);
    printSizes(dir, "after TD");
    return 0;
}

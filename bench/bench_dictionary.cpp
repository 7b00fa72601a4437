// Dictionary benchmark: the built program, run as users run it, creates a
// dictionary (INIT), registers tables of 20 fields each from one script
// (TA), then removes a tenth of them from another (TD); each run starts
// from no dictionary, over the same data files. Prints one table: the
// directives per second of each phase (median, least and greatest of the
// runs), the program's processor time, read and write calls and peak
// memory, and the dictionary's file sizes.
// Usage: bench_dictionary [TABLES] [RUNS]   (default 1000, 3; TD removes a tenth)
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

// What one run of the program used: the clock, processor time, peak memory,
// and its read and write calls as the system counts them.
struct ProgramRun {
    double wall, cpu;
    long peakKb;
    bench::ProgramCalls calls;
};

// Runs the program in `dir` with one argument; ends the benchmark when it
// fails.
ProgramRun runProgram(const std::string &dir, const std::string &arg)
{
    ProgramRun r{};
    double t0 = bench::now();
    int status = bench::runProgram(dir, {CATALOGR_PROGRAM, arg}, &r.cpu, &r.peakKb, &r.calls);
    r.wall = bench::now() - t0;
    if (status != 0) {
        std::fprintf(stderr, "benchmark failed: catalogr %s exited with %d\n", arg.c_str(), status);
        std::exit(1);
    }
    return r;
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

// The rows of one phase of `count` directives.
void phaseRows(bench::Table &t, const char *label, const std::vector<ProgramRun> &runs, long count,
               const std::string &target)
{
    std::vector<double> rate, cpu;
    for (const ProgramRun &r : runs) {
        rate.push_back(r.wall > 0 ? (double)count / r.wall : 0.0);
        cpu.push_back(r.cpu);
    }
    const ProgramRun &m = runs[bench::medianRun(runs, [](const ProgramRun &r) { return r.wall; })];
    t.figure(bench::format("%s, %ld directives (directives/s)", label, count), rate, "%.0f", target);
    t.figure("  processor time, user + system (s)", cpu, "%.3f", "");
    t.add({"  of which system (s), median run", bench::format("%.3f", m.calls.sys), "", "", ""});
    t.perOp("  read / write calls per directive", {(double)m.calls.reads, (double)m.calls.writes}, (double)count);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<long> args = bench::countArgs(argc, argv, {1000, 3}, "[TABLES] [RUNS]");
    long tables = args[0], runs = args[1];
    long removals = tables / 10 > 0 ? tables / 10 : 1;
    mbstr_initialize(0);
    bench::ScratchDir dir;

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

    std::vector<ProgramRun> init, ta, td;
    std::string sizes;
    for (long i = 0; i < runs; i++) {
        for (const char *name : kDictionaryFiles)
            std::remove(dir.file(name).c_str());
        init.push_back(runProgram(dir.path, "-INIT"));
        ta.push_back(runProgram(dir.path, "-Sta.txt"));
        td.push_back(runProgram(dir.path, "-Std.txt"));
    }
    for (const char *table : {"SQLTABLE", "SQLCOLMN", "SQLINDEX"})
        sizes += bench::format("%s%s %.0f / %.0f", sizes.empty() ? "" : ", ", table,
                               bench::fileSize(dir.file(std::string(table) + ".DBF")) / 1024.0,
                               bench::fileSize(dir.file(std::string(table) + ".CDX")) / 1024.0);

    std::printf("\nbench_dictionary: the built program registers %ld tables of 20 fields from "
                "one script (TA),\nthen removes %ld of them from another (TD); %ld runs\n\n",
                tables, removals, runs);
    bench::Table t;
    t.add({"figure", "median", "least", "most", "target"});
    phaseRows(t, "TD", td, removals, tables == 1000 ? "≥ 200" : "");
    phaseRows(t, "TA", ta, tables, "");
    std::vector<double> initTimes, peak;
    for (size_t i = 0; i < init.size(); i++) {
        initTimes.push_back(init[i].wall);
        peak.push_back(std::max({init[i].peakKb, ta[i].peakKb, td[i].peakKb}) / 1024.0);
    }
    t.figure("INIT (s)", initTimes, "%.3f", "");
    t.figure("peak resident memory of the program (MB)", peak, "%.1f", "≤ 96");
    t.add({"data / index files after TD (KB)", sizes, "", "", ""});
    t.print();
    return 0;
}

// Shared-use benchmark: processes that append to one table at once, each
// with an engine and an open of its own, every append under the table's
// locks (the append byte, then the index) with lock_attempts -1. A table of
// five C fields with one tag each, the keys random letters. Prints the
// appends each process made in the time given and the smallest share of
// all appends any process made: how fairly the waiting processes take
// turns at the locks.
// Usage: bench_shared [SECONDS]   (default 5; four appenders)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/f4field.h"
#include "xbase/index/i4index.h"

namespace {

const int kAppenders = 4;
const FIELD4INFO kFields[] = {{"F1", 'C', 12, 0}, {"F2", 'C', 12, 0}, {"F3", 'C', 12, 0},
                             {"F4", 'C', 12, 0}, {"F5", 'C', 12, 0}, {nullptr, 0, 0, 0}};
const char *const kNames[] = {"F1", "F2", "F3", "F4", "F5"};

// Appends until `seconds` have passed; writes the count to `out`.
int appender(const std::string &path, int id, double seconds, int out)
{
    mbstr_initialize(0);
    CODE4 c4;
    d4init(&c4);
    DATA4 *d = d4open(&c4, path.c_str());
    bench::check(d != nullptr, "d4open");
    std::mt19937_64 rng((uint64_t)id + 1);
    long appends = 0;
    double end = bench::now() + seconds;
    while (bench::now() < end) {
        bench::check(d4append_start(d, 0) == 0, "d4append_start");
        d4blank(d);
        for (const char *name : kNames) {
            char text[13];
            for (int i = 0; i < 12; i++)
                text[i] = char('A' + rng() % 26);
            text[12] = 0;
            f4assign(d4field(d, name), text);
        }
        bench::check(d4append(d) == 0, "d4append");
        appends++;
    }
    bench::check(d4close(d) == 0, "d4close");
    d4init_undo(&c4);
    return write(out, &appends, sizeof appends) == (ssize_t)sizeof appends ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = (double)bench::countArg(argc, argv, 5, "[SECONDS]");
    bench::ScratchDir dir;
    CODE4 c4;
    d4init(&c4);
    TAG4INFO tags[6] = {};
    for (int f = 0; f < 5; f++)
        tags[f] = {kNames[f], kNames[f], nullptr, 0, 0};
    DATA4 *d = d4create(&c4, dir.file("shared").c_str(), kFields, tags);
    bench::check(d != nullptr, "d4create with five tags");
    std::string path = d->file.name;
    d4close(d);
    d4init_undo(&c4);

    std::printf("%d processes appending to one table with five tags for %.0f s\n", kAppenders, seconds);
    std::vector<int> pipes;
    std::vector<pid_t> pids;
    for (int id = 0; id < kAppenders; id++) {
        int fds[2];
        bench::check(pipe(fds) == 0, "pipe");
        pid_t pid = fork();
        if (pid == 0)
            _exit(appender(path, id, seconds, fds[1]));
        close(fds[1]);
        pipes.push_back(fds[0]);
        pids.push_back(pid);
    }
    std::vector<long> counts;
    long total = 0;
    for (int id = 0; id < kAppenders; id++) {
        long n = -1;
        int status = 0;
        bench::check(read(pipes[(size_t)id], &n, sizeof n) == (ssize_t)sizeof n, "an appender's count");
        waitpid(pids[(size_t)id], &status, 0);
        bench::check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "an appender");
        counts.push_back(n);
        total += n;
    }
    long least = total;
    for (int id = 0; id < kAppenders; id++) {
        std::string label = "appends of process " + std::to_string(id + 1);
        bench::report(label.c_str(), counts[(size_t)id], seconds, "appends");
        least = counts[(size_t)id] < least ? counts[(size_t)id] : least;
    }
    bench::report("appends of all processes", total, seconds, "appends");
    std::printf("  smallest share of the appends: %.1f%% (an even share: %.1f%%)\n",
                total > 0 ? 100.0 * (double)least / (double)total : 0.0, 100.0 / kAppenders);
    return 0;
}

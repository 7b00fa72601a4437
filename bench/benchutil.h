// Helpers shared by the benchmark programs: a scratch directory removed on
// exit, a monotonic clock, file sizes, argument parsing, the one line
// format every figure is printed in, and for the benchmarks of `make bench`
// samples of time and system calls, runs in child processes, medians and
// the table they print.
#ifndef CATALOGR_BENCH_BENCHUTIL_H
#define CATALOGR_BENCH_BENCHUTIL_H

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "platform/platform.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/index/i4index.h"

namespace bench {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the benchmark ends; kept, and named on standard
// error, when CATALOGR_BENCH_KEEP is set (to look at the files, or to run a
// profiler on the same work).
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path base = fs::temp_directory_path(ec);
        if (ec)
            base = "/tmp";
        std::random_device rd;
        for (int tries = 0; tries < 100; tries++) {
            fs::path p = base / ("catalogr-bench-" + std::to_string(rd()));
            if (fs::create_directory(p, ec)) {
                path = p.string();
                return;
            }
        }
        std::fprintf(stderr, "cannot make a scratch directory under %s\n", base.c_str());
        std::exit(2);
    }
    ~ScratchDir()
    {
        if (std::getenv("CATALOGR_BENCH_KEEP") != nullptr) {
            std::fprintf(stderr, "kept %s\n", path.c_str());
            return;
        }
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline double now()
{
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// Bytes of a file, -1 when it is not there.
inline long long fileSize(const std::string &path)
{
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : (long long)size;
}

// Ends the program with its usage line.
[[noreturn]] inline void usageExit(char **argv, const char *usage)
{
    std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
    std::exit(2);
}

// The number argument `argv[i]` as a positive count, `fallback` when there
// are fewer arguments; a malformed one ends the program with `usage`.
inline long countAt(int argc, char **argv, int i, long fallback, const char *usage)
{
    if (argc <= i)
        return fallback;
    char *end = nullptr;
    long n = std::strtol(argv[i], &end, 10);
    if (end == argv[i] || *end != '\0' || n <= 0)
        usageExit(argv, usage);
    return n;
}

// Every argument as a positive count, the fallback in its place for each
// one left out; more arguments than fallbacks end the program with `usage`.
inline std::vector<long> countArgs(int argc, char **argv, const std::vector<long> &fallbacks, const char *usage)
{
    if (argc > (int)fallbacks.size() + 1)
        usageExit(argv, usage);
    std::vector<long> counts;
    for (size_t i = 0; i < fallbacks.size(); i++)
        counts.push_back(countAt(argc, argv, (int)i + 1, fallbacks[i], usage));
    return counts;
}

// The first argument as a positive count, or `fallback` without one.
inline long countArg(int argc, char **argv, long fallback, const char *usage)
{
    return countArgs(argc, argv, {fallback}, usage)[0];
}

// One figure: "<label>  <count> in <seconds> s  = <rate> <unit>/s".
inline void report(const char *label, long count, double seconds, const char *unit)
{
    double rate = seconds > 0 ? (double)count / seconds : 0.0;
    std::printf("  %-48s %10ld in %8.3f s = %12.0f %s/s\n", label, count, seconds, rate, unit);
}

// A well-mixed 64-bit number from `x`: random-looking data that every run
// makes alike.
inline uint64_t splitmix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Kilobytes of a line of /proc/self/status ("VmHWM": the peak resident
// memory, "VmRSS": the present one), -1 without.
inline long statusKb(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t len = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
            return std::atol(line.c_str() + len + 1);
    return -1;
}

inline double seconds(const timeval &t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

// What the system counted of a program's run besides its processor time:
// the seconds of it spent in the system, and its read and write calls
// (/proc/PID/io, read after it exited and before it is reaped).
struct ProgramCalls {
    double sys;
    long long reads, writes;
};

// A figure "name: value" of /proc/PID/io, -1 without.
inline long long ioFigure(pid_t pid, const char *name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string line;
    size_t len = std::strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':')
            return std::atoll(line.c_str() + len + 1);
    return -1;
}

// Runs a built program (`argv`, the program first) in `dir`, as users run
// it, with standard output discarded and VX_XBDDPATH unset: its exit
// status (-1 when it did not end normally), the processor seconds it used
// (on a machine shared with other work this is steadier than the time on
// the clock), its peak resident memory in kB, and in `calls` (when given)
// what the system counted.
inline int runProgram(const std::string &dir, const std::vector<std::string> &argv, double *cpu, long *kb,
                      ProgramCalls *calls = nullptr)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
        unsetenv("VX_XBDDPATH");
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    siginfo_t info{};
    if (calls != nullptr && pid > 0 && waitid(P_PID, (id_t)pid, &info, WEXITED | WNOWAIT) == 0) {
        calls->reads = ioFigure(pid, "syscr");
        calls->writes = ioFigure(pid, "syscw");
    }
    int st = 0;
    struct rusage use {};
    if (pid < 0 || wait4(pid, &st, 0, &use) != pid || !WIFEXITED(st))
        return -1;
    *cpu = seconds(use.ru_utime) + seconds(use.ru_stime);
    *kb = use.ru_maxrss;
    if (calls != nullptr)
        calls->sys = seconds(use.ru_stime);
    return WEXITSTATUS(st);
}

// Ends the program when a call failed, with the engine's last report: a
// figure from a run that did not do its work would be worthless.
inline void check(bool ok, const char *what)
{
    if (!ok) {
        char last[E4_ERROR_BUFFER_LEN] = "";
        e4getErrorInfo(nullptr, last, sizeof last);
        std::fprintf(stderr, "benchmark failed: %s\n%s\n", what, last);
        std::exit(1);
    }
}

// ---- Samples, runs and tables of `make bench` ------------------------------

// What the process did up to a moment, or between two: the clock, its
// processor time in user and system mode, and the counters of the
// platform's system calls, of the index block buffers and of record reads.
struct Sample {
    double wall, user, sys;
    platform_counts calls;
    I4CACHE_COUNTS blocks;
    unsigned long long records;
};

inline Sample sample()
{
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return Sample{now(), seconds(ru.ru_utime), seconds(ru.ru_stime), platformCountsG, i4cache_counts,
                  d4read_count};
}

// Adds (`sign` 1) or takes away (-1) `b` from `a`, figure by figure.
inline void combine(Sample &a, const Sample &b, int sign)
{
    // Both counter records hold 64-bit counters and nothing else.
    auto each = [sign](auto &to, const auto &from) {
        static_assert(sizeof to % sizeof(uint64_t) == 0, "counters only");
        uint64_t *t = (uint64_t *)&to;
        const uint64_t *f = (const uint64_t *)&from;
        for (size_t i = 0; i < sizeof to / sizeof *t; i++)
            t[i] = sign > 0 ? t[i] + f[i] : t[i] - f[i];
    };
    each(a.calls, b.calls);
    each(a.blocks, b.blocks);
    a.wall += sign * b.wall;
    a.user += sign * b.user;
    a.sys += sign * b.sys;
    a.records = sign > 0 ? a.records + b.records : a.records - b.records;
}

// Everything done since `start`.
inline Sample since(const Sample &start)
{
    Sample s = sample();
    combine(s, start, -1);
    return s;
}

inline void add(Sample &total, const Sample &part) { combine(total, part, 1); }

// Peak resident memory of this process in kilobytes.
inline long peakKb()
{
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Runs `work(result)` in a child process, so that its memory, peak included,
// is its own, and gives back the record it filled (plain data). Ends the
// benchmark when the child fails.
template <typename R, typename F>
R inChild(F work)
{
    static_assert(std::is_trivially_copyable<R>::value, "the result crosses a pipe");
    R result{};
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        work(result);
        const char *p = (const char *)&result;
        for (size_t done = 0; done < sizeof result;) {
            ssize_t w = write(fds[1], p + done, sizeof result - done);
            if (w <= 0)
                _exit(1);
            done += (size_t)w;
        }
        _exit(0);
    }
    close(fds[1]);
    size_t got = 0;
    char *p = (char *)&result;
    while (pid > 0 && got < sizeof result) {
        ssize_t r = read(fds[0], p + got, sizeof result - got);
        if (r <= 0)
            break;
        got += (size_t)r;
    }
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got != sizeof result) {
        std::fprintf(stderr, "benchmark failed: a run did not finish\n");
        std::exit(1);
    }
    return result;
}

// The median of `v` (the mean of the middle two of an even count), its
// least and its greatest value.
struct Spread {
    double median, least, most;
};

inline Spread spread(std::vector<double> v)
{
    if (v.empty())
        return Spread{0, 0, 0};
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    double median = v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
    return Spread{median, v.front(), v.back()};
}

// The index of the run whose `key` is the median (the lower middle one of
// an even count): the run whose counters a table shows.
template <typename R, typename K>
size_t medianRun(const std::vector<R> &runs, K key)
{
    std::vector<size_t> order(runs.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(runs[a]) < key(runs[b]); });
    return order.empty() ? 0 : order[(order.size() - 1) / 2];
}

inline std::string format(const char *fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// A table in Markdown, printed with its columns aligned: the first row is
// the heading.
struct Table {
    std::vector<std::vector<std::string>> rows;

    void add(std::vector<std::string> row) { rows.push_back(std::move(row)); }

    // A figure of several runs: its median, least and greatest value with
    // `fmt`, and the target.
    void figure(const std::string &label, const std::vector<double> &v, const char *fmt,
                const std::string &target)
    {
        Spread s = spread(v);
        add({label, format(fmt, s.median), format(fmt, s.least), format(fmt, s.most), target});
    }

    // A row of counters: `values` per operation (whole when `ops` is 1),
    // joined by " / ".
    void perOp(const std::string &label, std::initializer_list<double> values, double ops)
    {
        std::string cell;
        for (double v : values)
            cell += (cell.empty() ? "" : " / ") + format(ops == 1 ? "%.0f" : "%.2f", ops > 0 ? v / ops : 0.0);
        add({label, cell, "", "", ""});
    }

    void print() const
    {
        std::vector<size_t> width;
        for (const auto &row : rows)
            for (size_t i = 0; i < row.size(); i++) {
                // Characters, not bytes: the targets carry a multibyte sign.
                size_t len = 0;
                for (unsigned char ch : row[i])
                    len += (ch & 0xC0) != 0x80;
                if (width.size() <= i)
                    width.push_back(0);
                width[i] = std::max(width[i], len);
            }
        for (size_t r = 0; r < rows.size(); r++) {
            std::string line = "|";
            for (size_t i = 0; i < rows[r].size(); i++) {
                size_t len = 0;
                for (unsigned char ch : rows[r][i])
                    len += (ch & 0xC0) != 0x80;
                line += " " + rows[r][i] + std::string(width[i] - len, ' ') + " |";
            }
            std::printf("%s\n", line.c_str());
            if (r == 0) {
                line = "|";
                for (size_t w : width)
                    line += std::string(w + 2, '-') + "|";
                std::printf("%s\n", line.c_str());
            }
        }
        std::fflush(stdout);
    }
};

// The rows of system calls and block buffers of one phase, per operation
// (`ops` of them, named `per`; 1 for the whole phase), from the sample of
// the median run.
inline void callRows(Table &t, const std::string &per, const Sample &s, double ops)
{
    const platform_counts &c = s.calls;
    t.perOp("reads / writes " + per, {(double)c.reads, (double)c.writes}, ops);
    t.perOp("KB read / written " + per, {c.readBytes / 1024.0, c.writeBytes / 1024.0}, ops);
    t.perOp("lengths / length changes / syncs " + per,
            {(double)c.lengths, (double)c.lengthChanges, (double)c.syncs}, ops);
    t.perOp("locks / unlocks / lock tests " + per,
            {(double)c.locks, (double)c.unlocks, (double)c.lockTests}, ops);
    t.perOp("opens / names / sleeps " + per, {(double)c.opens, (double)c.names, (double)c.sleeps}, ops);
    t.perOp("block lookups / misses / write-backs " + per,
            {(double)s.blocks.lookups, (double)(s.blocks.lookups - s.blocks.hits),
             (double)s.blocks.write_backs},
            ops);
    t.perOp("records read " + per, {(double)s.records}, ops);
}

// The rows of a timed phase of `runs`, `phase` giving a run's sample of
// it: its clock seconds and processor time (median, least and greatest,
// with `fmt`) and the system's part of that in the median run `m`.
template <typename R, typename F>
void timeRows(Table &t, const std::string &label, const std::vector<R> &runs, const R &m, F phase,
              const char *fmt, const std::string &target)
{
    std::vector<double> wall, cpu;
    for (const R &r : runs) {
        wall.push_back(phase(r).wall);
        cpu.push_back(phase(r).user + phase(r).sys);
    }
    t.figure(label, wall, fmt, target);
    t.figure("  processor time, user + system (s)", cpu, fmt, "");
    t.add({"  of which system (s), median run", format(fmt, phase(m).sys), "", "", ""});
}

} // namespace bench

#endif

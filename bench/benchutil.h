// Helpers shared by the benchmark programs: a scratch directory removed on
// exit, a monotonic clock, file sizes, argument parsing and the one line
// format every figure is printed in.
#ifndef CATALOGR_BENCH_BENCHUTIL_H
#define CATALOGR_BENCH_BENCHUTIL_H

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "xbase/e4error.h"

namespace bench {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the benchmark ends.
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

// The first argument as a positive count, or `fallback` without one. A
// malformed count ends the program with a usage line.
inline long countArg(int argc, char **argv, long fallback, const char *usage)
{
    if (argc < 2)
        return fallback;
    char *end = nullptr;
    long n = std::strtol(argv[1], &end, 10);
    if (argc > 2 || end == argv[1] || *end != '\0' || n <= 0) {
        std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
        std::exit(2);
    }
    return n;
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

// Runs a built program (`argv`, the program first) in `dir`, as users run
// it, with standard output discarded and VX_XBDDPATH unset: its exit
// status (-1 when it did not end normally), the processor seconds it used
// (on a machine shared with other work this is steadier than the time on
// the clock) and its peak resident memory in kB.
inline int runProgram(const std::string &dir, const std::vector<std::string> &argv, double *cpu, long *kb)
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
    int st = 0;
    struct rusage use {};
    if (pid < 0 || wait4(pid, &st, 0, &use) != pid || !WIFEXITED(st))
        return -1;
    *cpu = (double)(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           (double)(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    *kb = use.ru_maxrss;
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

} // namespace bench

#endif

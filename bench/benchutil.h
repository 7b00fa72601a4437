// Helpers shared by the benchmark programs: a scratch directory removed on
// exit, a monotonic clock, file sizes, argument parsing and the one line
// format every figure is printed in.
#ifndef CATALOGR_BENCH_BENCHUTIL_H
#define CATALOGR_BENCH_BENCHUTIL_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "xbase/e4error.h"

namespace bench {

// A directory made with mkdtemp under $TMPDIR (or /tmp) and removed with
// the files in it; benchmarks make no subdirectories.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                           "/catalogr-bench-XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        path = tmpl;
    }
    ~ScratchDir()
    {
        DIR *d = opendir(path.c_str());
        if (d != nullptr) {
            while (struct dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    unlink(file(e->d_name).c_str());
            closedir(d);
        }
        rmdir(path.c_str());
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
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
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

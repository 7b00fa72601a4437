// Helpers shared by the fuzz targets: one scratch directory per process,
// removed at exit, and whole-file writes into it.
#ifndef CATALOGR_FUZZ_FUZZUTIL_H
#define CATALOGR_FUZZ_FUZZUTIL_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace fuzz {

inline std::string &scratchPath()
{
    static std::string path;
    return path;
}

inline void removeScratch()
{
    const std::string &path = scratchPath();
    if (path.empty())
        return;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                unlink((path + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(path.c_str());
}

// The process's scratch directory, made on first use under $TMPDIR (or
// /tmp). Targets make no subdirectories in it.
inline const std::string &scratchDir()
{
    std::string &path = scratchPath();
    if (path.empty()) {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                           "/catalogr-fuzz-XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = tmpl;
        std::atexit(removeScratch);
    }
    return path;
}

inline std::string scratchFile(const std::string &name) { return scratchDir() + "/" + name; }

// Replaces the file with exactly `len` bytes; the harness cannot go on
// without it, so a failure ends the run.
inline void writeWhole(const std::string &path, const uint8_t *data, size_t len)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n <= 0) {
            std::perror(path.c_str());
            std::abort();
        }
        done += (size_t)n;
    }
    close(fd);
}

// The bits of a double, for sums: converting a double outside the range of
// an integer type would itself be undefined.
inline unsigned bitsOf(double d)
{
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return (unsigned)(b ^ (b >> 32));
}

// Bytes of the first of two files an input carries, joined by `sep`: all
// of it when the separator is absent.
inline size_t firstPart(const uint8_t *data, size_t size, const char *sep)
{
    const void *at = memmem(data, size, sep, std::strlen(sep));
    return at != nullptr ? (size_t)((const uint8_t *)at - data) : size;
}

// Ends the run with a message when the engine broke a promise the harness
// can check; libFuzzer records the input.
inline void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz target: %s\n", what);
        std::abort();
    }
}

} // namespace fuzz

#endif

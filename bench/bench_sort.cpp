// Benchmark of the index-build sort: random 15-byte keys with their record
// numbers put and read back at the default pool sizes, the same with many
// equal keys, a plain std::sort of the same entries as the floor, and the
// peak resident memory.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "xbase/code4.h"
#include "xbase/index/s4sort.h"

namespace {

const int kKeyLen = 15;

// Keys as a character tag holds them: 15 letters and digits. With
// `distinct` > 0 every key is one of that many.
std::vector<char> makeKeys(long n, unsigned distinct)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::vector<char> keys((size_t)n * kKeyLen);
    for (long i = 0; i < n; i++) {
        uint64_t id = distinct ? bench::splitmix((uint64_t)i) % distinct : (uint64_t)i;
        uint64_t a = bench::splitmix(id * 2 + 1), b = bench::splitmix(id * 2 + 2);
        char *k = &keys[(size_t)i * kKeyLen];
        for (int j = 0; j < kKeyLen; j++) {
            uint64_t &r = j < 8 ? a : b;
            k[j] = alphabet[r % 36];
            r /= 36;
        }
    }
    return keys;
}

// Puts every key with record numbers 1..n, reads them all back, and checks
// the order (untimed) on a second pass.
void sortOnce(const char *title, const std::vector<char> &keys, long n)
{
    CODE4 c4;
    d4init(&c4);
    SORT4 s4;
    std::printf("%s\n", title);
    for (int pass = 0; pass < 2; pass++) {
        bool timed = pass == 0;
        double t0 = bench::now(), create = 0;
        bench::check(sort4init(&s4, &c4, kKeyLen, 0) == 0, "sort4init");
        for (long i = 0; i < n; i++) {
            const char *key = &keys[(size_t)i * kKeyLen];
            if (s4.spools_max == 0) {
                double p0 = bench::now();
                bench::check(sort4put(&s4, i + 1, key, nullptr) == 0, "sort4put");
                if (s4.spools_max != 0)
                    create = bench::now() - p0;
            } else if (sort4put(&s4, i + 1, key, nullptr) != 0) {
                bench::check(false, "sort4put");
            }
        }
        double t1 = bench::now();
        bench::check(sort4get_init(&s4) == 0, "sort4get_init");
        unsigned runs = s4.spools_max;
        long workBytes = s4.spill_len;
        double t2 = bench::now();
        long rec, count = 0;
        char *key, *info;
        char prev[kKeyLen];
        long prevRec = 0;
        uint64_t recSum = 0;
        int rc;
        while ((rc = sort4get(&s4, &rec, &key, &info)) == 0) {
            if (!timed) {
                int c = count ? std::memcmp(prev, key, kKeyLen) : -1;
                bench::check(c < 0 || (c == 0 && prevRec < rec), "entries out of order");
                std::memcpy(prev, key, kKeyLen);
                prevRec = rec;
            }
            recSum += (uint64_t)rec;
            count++;
        }
        double t3 = bench::now();
        bench::check(rc == 1 && count == n && recSum == (uint64_t)n * (n + 1) / 2,
                     "every entry read back once");
        if (!timed) {
            std::printf("  order checked: %ld entries in (key, record number) order\n", count);
            continue;
        }
        bench::report("sort4put", n, t1 - t0, "entries");
        std::printf("  %-48s %10s    %8.3f s\n", "  of which making the work file", "", create);
        std::printf("  %-48s %10s    %8.3f s\n", "sort4get_init (last run, first windows)", "",
                    t2 - t1);
        bench::report("sort4get (merge)", n, t3 - t2, "entries");
        bench::report("sort4put + sort4get in all", n, t3 - t0, "entries");
        bench::report("  less making the work file", n, t3 - t0 - create, "entries");
        std::printf("  runs %u, work file %ld bytes\n", runs, workBytes);
    }
}

struct FloorEntry {
    char key[kKeyLen];
    int32_t rec;
};

void floorSort(const char *title, const std::vector<char> &keys, long n)
{
    std::vector<FloorEntry> v((size_t)n);
    for (long i = 0; i < n; i++) {
        std::memcpy(v[(size_t)i].key, &keys[(size_t)i * kKeyLen], kKeyLen);
        v[(size_t)i].rec = (int32_t)(i + 1);
    }
    double t0 = bench::now();
    std::sort(v.begin(), v.end(), [](const FloorEntry &a, const FloorEntry &b) {
        int c = std::memcmp(a.key, b.key, kKeyLen);
        return c != 0 ? c < 0 : a.rec < b.rec;
    });
    bench::report(title, n, bench::now() - t0, "entries");
}

} // namespace

int main(int argc, char **argv)
{
    long n = bench::countArg(argc, argv, 1000000, "[ENTRIES]");
    bench::ScratchDir dir;
    std::filesystem::path home = std::filesystem::current_path();
    // The work file is made in the current directory.
    std::filesystem::current_path(dir.path);

    std::vector<char> randomKeys = makeKeys(n, 0);
    std::vector<char> equalKeys = makeKeys(n, 1000);
    long baseKb = bench::statusKb("VmRSS");
    std::printf("sort of %ld entries: 15-byte key + record number, default pool sizes\n", n);
    sortOnce("random keys", randomKeys, n);
    sortOnce("1000 distinct keys (many equal)", equalKeys, n);
    long sortPeakKb = bench::statusKb("VmHWM");
    std::printf("floor: std::sort of the same entries in one array\n");
    floorSort("std::sort, random keys", randomKeys, n);
    floorSort("std::sort, 1000 distinct keys", equalKeys, n);
    std::printf("peak resident memory: %ld kB through the sorts (%ld kB of it the keys and the\n"
                "  program before them), %ld kB after the std::sort floor\n",
                sortPeakKb, baseKb, bench::statusKb("VmHWM"));
    std::filesystem::current_path(home);
    return 0;
}

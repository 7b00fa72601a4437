// Resource-file benchmark: the generator writes a message list of many
// members, then members are fetched by number, at random and in order, and
// files are opened, fetched from once and closed.
// Usage: bench_rsc [FETCHES] [MESSAGES]   (defaults 1000000 and 5000)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/benchutil.h"
#include "rscmgr/rscmgr.h"

#ifndef CATALOGR_RSCGEN
#error "CATALOGR_RSCGEN must name the resource-file generator"
#endif

namespace {

enum { LIST_ID = 1 };

// The text of message `num`: 20 to 119 characters that name the number.
std::string messageText(long num)
{
    char head[32];
    std::snprintf(head, sizeof head, "message %ld:", num);
    std::string s = head;
    size_t want = (size_t)(20 + num % 100);
    if (s.size() < want)
        s.append(want - s.size(), 'x');
    return s;
}

void generate(const bench::ScratchDir &dir, long messages, const std::string &out)
{
    std::string src = dir.file("bench.rsrc");
    FILE *fp = std::fopen(src.c_str(), "w");
    bench::check(fp != nullptr, "writing the generator's source");
    std::fprintf(fp, "form native\nmessages str# %d\n", LIST_ID);
    for (long i = 1; i <= messages; i++)
        std::fprintf(fp, "%ld 0 \"%s\"\n", i, messageText(i).c_str());
    std::fprintf(fp, "end\n");
    bench::check(std::fclose(fp) == 0, "writing the generator's source");

    std::string cmd = std::string("'") + CATALOGR_RSCGEN + "' -o '" + out + "' '" + src + "'";
    bench::check(std::system(cmd.c_str()) == 0, "running " CATALOGR_RSCGEN);
}

// A small generator of its own (xorshift), so that every run fetches the
// same sequence.
uint32_t nextRandom(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

long argAt(int argc, char **argv, int i, long fallback)
{
    if (argc <= i)
        return fallback;
    char *end = nullptr;
    long n = std::strtol(argv[i], &end, 10);
    if (argc > 3 || end == argv[i] || *end != '\0' || n <= 0) {
        std::fprintf(stderr, "usage: %s [FETCHES] [MESSAGES]\n", argv[0]);
        std::exit(2);
    }
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    long fetches = argAt(argc, argv, 1, 1000000);
    long messages = argAt(argc, argv, 2, 5000);
    bench::ScratchDir dir;
    std::string file = dir.file("bench.rsc");
    generate(dir, messages, file);
    std::printf("string list of %ld messages, %lld-byte resource file\n", messages,
                bench::fileSize(file));

    uint32_t h = 0;
    bench::check(qtkResource_openFile(&h, file.c_str(), 0) == 0, "qtkResource_openFile");
    char buf[256];
    // Every member once, untimed, so that the timed loops fetch known texts.
    for (long i = 1; i <= messages; i++) {
        bench::check(qtkResource_loadFromStringList(buf, sizeof buf, h, LIST_ID, (int32_t)i) == 0 &&
                         messageText(i) == buf,
                     "a member's text differs from the generator's source");
    }

    uint32_t state = 0x9E3779B9u;
    double t0 = bench::now();
    for (long i = 0; i < fetches; i++) {
        int32_t num = (int32_t)(nextRandom(&state) % (uint32_t)messages) + 1;
        bench::check(qtkResource_loadFromStringList(buf, sizeof buf, h, LIST_ID, num) == 0,
                     "qtkResource_loadFromStringList");
    }
    double t1 = bench::now();
    bench::report("fetch random member", fetches, t1 - t0, "fetches");

    t0 = bench::now();
    for (long i = 0; i < fetches; i++) {
        int32_t num = (int32_t)(i % messages) + 1;
        bench::check(qtkResource_loadFromStringList(buf, sizeof buf, h, LIST_ID, num) == 0,
                     "qtkResource_loadFromStringList");
    }
    t1 = bench::now();
    bench::report("fetch members in order", fetches, t1 - t0, "fetches");

    // The whole list as one resource, loaded and freed.
    long loads = fetches / 100 > 0 ? fetches / 100 : 1;
    t0 = bench::now();
    for (long i = 0; i < loads; i++) {
        void *p = qtkResource_load(h, RSC_TYPE_STRLIST, LIST_ID);
        bench::check(p != nullptr && qtkResource_free(p) == 0, "qtkResource_load");
    }
    t1 = bench::now();
    bench::report("load and free the whole list", loads, t1 - t0, "loads");
    bench::check(qtkResource_closeFile(h) == 0, "qtkResource_closeFile");

    long opens = fetches / 1000 > 0 ? fetches / 1000 : 1;
    t0 = bench::now();
    for (long i = 0; i < opens; i++) {
        bench::check(qtkResource_openFile(&h, file.c_str(), 0) == 0, "qtkResource_openFile");
        int32_t num = (int32_t)(nextRandom(&state) % (uint32_t)messages) + 1;
        bench::check(qtkResource_loadFromStringList(buf, sizeof buf, h, LIST_ID, num) == 0,
                     "qtkResource_loadFromStringList");
        bench::check(qtkResource_closeFile(h) == 0, "qtkResource_closeFile");
    }
    t1 = bench::now();
    bench::report("open, fetch one member, close", opens, t1 - t0, "files");
    return 0;
}

// A writer of a compound index whose tags are all empty, for tests and
// benchmarks that need a table with tags before the engine can create
// indexes itself: the directory header, a tag header at 1024 x i for the
// i-th tag, the directory's root leaf listing the tags by name, and one
// empty root leaf per tag, then the production-index flag in the table's
// header. The bytes are laid out here by hand, independently of the
// engine's block code.
#ifndef CATALOGR_TESTS_EMPTYCDX_H
#define CATALOGR_TESTS_EMPTYCDX_H

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "xbase/d4data.h"
#include "xbase/expr/expr4.h"

namespace emptycdx {

struct Tag {
    std::string name;
    std::string expression;
    std::string filter;     // empty: none
    bool unique = false;
    bool descending = false;
};

inline void putLe16(std::string &b, size_t off, unsigned v)
{
    b[off] = char(v & 0xFF);
    b[off + 1] = char((v >> 8) & 0xFF);
}

inline void putLe32(std::string &b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[off + i] = char((v >> (8 * i)) & 0xFF);
}

inline int bitLength(unsigned long v)
{
    int n = 0;
    for (; v != 0; v >>= 1)
        n++;
    return n;
}

// The node header of a leaf for keys of `key_len` bytes and record numbers
// up to `max_rec`, as a full rebuild sizes it; returns the info length and
// the widths.
inline int leafHeader(std::string &b, size_t at, int key_len, unsigned long max_rec, int *r_bits,
                      int *t_bits)
{
    int t = bitLength((unsigned long)key_len);
    int r = std::max(12, bitLength(max_rec));
    while ((r + 2 * t) % 8 != 0)
        r++;
    int info = (r + 2 * t) / 8;
    putLe16(b, at + 12, 488);
    putLe32(b, at + 14, r >= 32 ? 0xFFFFFFFFu : (uint32_t(1) << r) - 1);
    b[at + 18] = b[at + 19] = char((1 << t) - 1);
    b[at + 20] = char(r);
    b[at + 21] = b[at + 22] = char(t);
    b[at + 23] = char(info);
    *r_bits = r;
    *t_bits = t;
    return info;
}

// Writes `dbf_path`'s production index with `tags` (in this order) and
// sets the table's production flag. The table must be closed. "" on
// success, else what went wrong.
inline std::string write(CODE4 *c4, const std::string &dbf_path, const std::vector<Tag> &tags)
{
    int saved_open = c4->auto_open;
    c4->auto_open = 0;
    DATA4 *d = d4open(c4, dbf_path.c_str());
    c4->auto_open = saved_open;
    if (d == nullptr)
        return "cannot open " + dbf_path;
    long count = d4reccount(d);
    std::vector<int> key_lens;
    for (const Tag &t : tags) {
        e4expr_st *e = expr4parse(d, t.expression.c_str());
        if (e == nullptr) {
            d4close(d);
            return "cannot parse " + t.expression;
        }
        key_lens.push_back(expr4key_len(e));
        expr4free(e);
    }
    d4close(d);

    const size_t n = tags.size();
    const size_t dir_leaf = (n + 1) * 1024;
    std::string img(dir_leaf + 512 * (n + 1), '\0');
    // The directory's header.
    putLe32(img, 0, uint32_t(dir_leaf));
    putLe16(img, 12, 10);
    img[14] = char(0xE0);
    putLe16(img, 504, 1);
    putLe16(img, 506, 1);
    putLe16(img, 510, 1);
    // Tag headers and their empty root leaves.
    for (size_t i = 0; i < n; i++) {
        const Tag &t = tags[i];
        size_t h = 1024 * (i + 1), leaf = dir_leaf + 512 * (i + 1);
        putLe32(img, h, uint32_t(leaf));
        putLe16(img, h + 12, unsigned(key_lens[i]));
        img[h + 14] = char(0x60 | (t.unique ? 0x01 : 0) | (t.filter.empty() ? 0 : 0x08));
        unsigned expr_len = unsigned(t.expression.size() + 1);
        unsigned filter_len = unsigned(t.filter.empty() ? 1 : t.filter.size() + 1);
        putLe16(img, h + 502, t.descending ? 1 : 0);
        putLe16(img, h + 504, expr_len);
        putLe16(img, h + 506, filter_len);
        putLe16(img, h + 510, expr_len);
        std::memcpy(&img[h + 512], t.expression.c_str(), expr_len);
        if (!t.filter.empty())
            std::memcpy(&img[h + 512 + expr_len], t.filter.c_str(), filter_len);
        putLe16(img, leaf, 3);
        putLe32(img, leaf + 4, 0xFFFFFFFFu);
        putLe32(img, leaf + 8, 0xFFFFFFFFu);
        int r, tb;
        leafHeader(img, leaf, key_lens[i], (unsigned long)std::max(count, 0L), &r, &tb);
    }
    // The directory's root leaf: tag names, blank-padded to 10, in name
    // order, each with its header's offset as the record number.
    std::vector<std::pair<std::string, uint32_t>> names;
    for (size_t i = 0; i < n; i++) {
        std::string name = tags[i].name.substr(0, 10);
        for (char &c : name)
            c = char(std::toupper((unsigned char)c));
        name.resize(10, ' ');
        names.emplace_back(name, uint32_t(1024 * (i + 1)));
    }
    std::sort(names.begin(), names.end());
    putLe16(img, dir_leaf, 3);
    putLe16(img, dir_leaf + 2, unsigned(n));
    putLe32(img, dir_leaf + 4, 0xFFFFFFFFu);
    putLe32(img, dir_leaf + 8, 0xFFFFFFFFu);
    int r, t;
    int info = leafHeader(img, dir_leaf, 10, 1024 * n, &r, &t);
    size_t low = dir_leaf + 512;
    int used = 0, prev_trail = 10;
    std::string prev(10, ' ');
    for (size_t i = 0; i < n; i++) {
        const std::string &k = names[i].first;
        int trail = 0;
        while (trail < 10 && k[9 - size_t(trail)] == ' ')
            trail++;
        int dup = 0;
        while (i > 0 && dup < 10 && k[size_t(dup)] == prev[size_t(dup)])
            dup++;
        dup = std::min({dup, 10 - trail, 10 - prev_trail});
        int stored = 10 - dup - trail;
        low -= size_t(stored);
        std::memcpy(&img[low], k.data() + dup, size_t(stored));
        uint64_t v = names[i].second | (uint64_t(dup) << r) | (uint64_t(trail) << (r + t));
        for (int b = 0; b < info; b++)
            img[dir_leaf + 24 + i * size_t(info) + size_t(b)] = char((v >> (8 * b)) & 0xFF);
        used += info + stored;
        prev = k;
        prev_trail = trail;
    }
    putLe16(img, dir_leaf + 12, unsigned(488 - used));

    bool upper = dbf_path.size() >= 4 && dbf_path.compare(dbf_path.size() - 4, 4, ".DBF") == 0;
    std::string cdx = dbf_path.substr(0, dbf_path.size() - 4) + (upper ? ".CDX" : ".cdx");
    {
        std::ofstream out(cdx, std::ios::binary | std::ios::trunc);
        out.write(img.data(), std::streamsize(img.size()));
        if (!out)
            return "cannot write " + cdx;
    }
    std::fstream dbf(dbf_path, std::ios::binary | std::ios::in | std::ios::out);
    char flag = 0;
    dbf.seekg(28);
    dbf.get(flag);
    dbf.seekp(28);
    dbf.put(char(flag | 0x01));
    return dbf ? "" : "cannot set the production flag of " + dbf_path;
}

} // namespace emptycdx

#endif

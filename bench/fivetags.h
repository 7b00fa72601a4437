// The table of the index benchmarks: five character fields (widths 15, 15,
// 15, 14, 14; 74-byte records), one tag per field filtered
// ".NOT. DELETED()", and the same record contents on every run.
#ifndef CATALOGR_BENCH_FIVETAGS_H
#define CATALOGR_BENCH_FIVETAGS_H

#include <cstdint>

#include "bench/benchutil.h"
#include "xbase/index/i4index.h"
#include "xbase/x4types.h"

namespace fivetags {

const FIELD4INFO kFields[] = {{"F1", 'C', 15, 0}, {"F2", 'C', 15, 0}, {"F3", 'C', 15, 0},
                              {"F4", 'C', 14, 0}, {"F5", 'C', 14, 0}, {nullptr, 0, 0, 0}};
const TAG4INFO kTags[] = {{"F1", "F1", ".NOT. DELETED()", 0, 0}, {"F2", "F2", ".NOT. DELETED()", 0, 0},
                          {"F3", "F3", ".NOT. DELETED()", 0, 0}, {"F4", "F4", ".NOT. DELETED()", 0, 0},
                          {"F5", "F5", ".NOT. DELETED()", 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};
const int kWidths[] = {15, 15, 15, 14, 14};
const int kFieldCount = 5;
const int kFieldBytes = 73; // a record less its deletion flag

// The fields of record `rec`, blank-padded: 6 to the full width of upper-
// case letters, the same for every run.
inline void recordFields(long rec, char *out)
{
    for (int f = 0, at = 0; f < kFieldCount; at += kWidths[f], f++) {
        uint64_t r = bench::splitmix((uint64_t)rec * 8 + (uint64_t)f);
        int len = 6 + (int)(r % (uint64_t)(kWidths[f] - 5));
        r /= 16;
        for (int i = 0; i < kWidths[f]; i++) {
            out[at + i] = i < len ? (char)('A' + r % 26) : ' ';
            r = i % 8 == 7 ? bench::splitmix(r) : r / 26;
        }
    }
}

} // namespace fivetags

#endif

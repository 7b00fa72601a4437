// Test helper: puts a multibyte configuration into the global code-set record
// and points the string table at the code-set or single-byte functions for
// one test, restoring both afterwards.
#ifndef CATALOGR_TESTS_CODESET_FIXTURE_H
#define CATALOGR_TESTS_CODESET_FIXTURE_H

#include <vector>

#include "codeset/codeset.h"

namespace testutil {

// Shift-JIS: lead bytes 0x81-0x9F and 0xE0-0xFC, trail bytes 0x40-0x7E and
// 0x80-0xFC.
inline std::vector<encodingRange> sjisLead() { return {{0x81, 0x9F}, {0xE0, 0xFC}}; }
inline std::vector<encodingRange> sjisTrail() { return {{0x40, 0x7E}, {0x80, 0xFC}}; }

struct ScopedCodeSet {
    codesetglobals savedCs;
    mbstrfuncs savedFuncs;
    std::vector<encodingRange> lead, trail;
    encodingRange *ranges[2];
    int sizes[2];

    // Two byte positions with the given ranges; the table points at the
    // code-set functions when `multiByte` is set, else at the single-byte ones.
    ScopedCodeSet(std::vector<encodingRange> leadRanges, std::vector<encodingRange> trailRanges,
                  int multiByte)
        : savedCs(csG), savedFuncs(mbStrFuncs), lead(leadRanges), trail(trailRanges)
    {
        ranges[0] = lead.data();
        ranges[1] = trail.data();
        sizes[0] = (int)lead.size();
        sizes[1] = (int)trail.size();
        csG = codesetglobals();
        csG.nMBRanges = 2;
        csG.mbRangeSizesP = sizes;
        csG.rangesPP = ranges;
        mbstr_initialize(multiByte);
    }
    explicit ScopedCodeSet(int multiByte) : ScopedCodeSet(sjisLead(), sjisTrail(), multiByte) {}
    ~ScopedCodeSet()
    {
        csG = savedCs;
        mbStrFuncs = savedFuncs;
    }
    ScopedCodeSet(const ScopedCodeSet &) = delete;
    ScopedCodeSet &operator=(const ScopedCodeSet &) = delete;
};

// No configuration at all (every character one byte), for one test.
struct ScopedNoCodeSet {
    codesetglobals savedCs;
    mbstrfuncs savedFuncs;
    explicit ScopedNoCodeSet(int multiByte) : savedCs(csG), savedFuncs(mbStrFuncs)
    {
        csG = codesetglobals();
        mbstr_initialize(multiByte);
    }
    ~ScopedNoCodeSet()
    {
        csG = savedCs;
        mbStrFuncs = savedFuncs;
    }
    ScopedNoCodeSet(const ScopedNoCodeSet &) = delete;
    ScopedNoCodeSet &operator=(const ScopedNoCodeSet &) = delete;
};

} // namespace testutil

#endif

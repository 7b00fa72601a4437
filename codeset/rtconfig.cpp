// Runtime code-set configuration: finds the host application's resource
// file, loads its `rtCf` resource and fills the code-set record csG, or
// leaves csG empty (single-byte text). The layout is in codeset.h.
#include "codeset/codeset.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "rscmgr/rscmgr.h"
#include "util/byteorder.h"

namespace {

const char kHostFile[] = "plathost.rsc";
// A VX tree whose name starts like this keeps the host file in "source".
const char kSourceTreePrefix[] = "/vorn";
const char kSourceSubdir[] = "/source/";

// Bytes of the configuration still to be read; every read is checked
// against them.
struct rtcReader {
    const unsigned char *base;
    uint64_t size;
    uint64_t pos;
};

uint64_t remaining(const rtcReader *r) { return r->size - r->pos; }

int readWord(rtcReader *r, uint32_t *out)
{
    if (remaining(r) < 4)
        return -1;
    const unsigned char *p = r->base + r->pos;
    *out = util_getLe32(p);
    r->pos += 4;
    return 0;
}

// One range set: a count, then that many (start, end) pairs. Byte ranges
// of a multibyte character must lie within 1..255 with start <= end.
int readRangeSet(rtcReader *r, int byteRanges, int *countOut, encodingRange **rangesOut)
{
    uint32_t count = 0;
    if (readWord(r, &count) != 0 || count > remaining(r) / 8)
        return -1;
    *countOut = 0;
    *rangesOut = nullptr;
    if (count == 0)
        return 0;
    encodingRange *ranges = (encodingRange *)std::calloc(count, sizeof(encodingRange));
    if (ranges == nullptr)
        return -1;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t start = 0, end = 0;
        readWord(r, &start);
        readWord(r, &end);
        if (byteRanges && (start < 1 || end > 255 || start > end)) {
            std::free(ranges);
            return -1;
        }
        ranges[i].start = (int32_t)start;
        ranges[i].end = (int32_t)end;
    }
    *countOut = (int)count;
    *rangesOut = ranges;
    return 0;
}

// One character class: member string, padding, valid and invalid ranges.
int readClass(rtcReader *r, charclass *cc)
{
    uint32_t len = 0;
    if (readWord(r, &len) != 0 || len > remaining(r))
        return -1;
    if (len > 1) {
        const unsigned char *s = r->base + r->pos;
        const void *zero = std::memchr(s, 0, len);
        if (zero == nullptr)
            return -1;
        size_t n = (size_t)((const unsigned char *)zero - s);
        cc->stringP = (char *)std::malloc(n + 1);
        if (cc->stringP == nullptr)
            return -1;
        std::memcpy(cc->stringP, s, n + 1);
    }
    unsigned char *base = const_cast<unsigned char *>(r->base);
    unsigned char *next = (unsigned char *)qtkDialog_fixResourceAddress(base, base + r->pos + len, 4);
    uint64_t pos = (uint64_t)(next - base);
    if (pos > r->size)
        return -1;
    r->pos = pos;
    if (readRangeSet(r, 0, &cc->nValidRanges, &cc->validRangesP) != 0)
        return -1;
    return readRangeSet(r, 0, &cc->nInvalidRanges, &cc->invalidRangesP);
}

void destroyRecord(codesetglobals *cs)
{
    if (cs->rangesPP != nullptr)
        for (int i = 0; i < cs->nMBRanges; i++)
            std::free(cs->rangesPP[i]);
    std::free(cs->rangesPP);
    std::free(cs->mbRangeSizesP);
    for (charclass &cc : cs->charClasses) {
        std::free(cc.stringP);
        std::free(cc.validRangesP);
        std::free(cc.invalidRangesP);
    }
    std::memset(cs, 0, sizeof *cs);
}

// Parses the whole configuration into `cs`, which starts empty. 0, or -1
// when a rule is broken or memory runs out (`cs` then holds what was read
// so far and must be destroyed).
int parseConfiguration(rtcReader *r, codesetglobals *cs)
{
    uint32_t version, loadHandler, unused, encoding, direction, shiftJis, nPositions;
    if (readWord(r, &version) != 0 || readWord(r, &loadHandler) != 0 ||
        readWord(r, &unused) != 0 || readWord(r, &unused) != 0 || readWord(r, &encoding) != 0 ||
        readWord(r, &direction) != 0 || readWord(r, &shiftJis) != 0 ||
        readWord(r, &nPositions) != 0)
        return -1;
    cs->version = version;
    cs->encodingScheme = (int32_t)encoding;
    cs->textDirection = (int32_t)direction;
    cs->convertShiftJIS = (int32_t)shiftJis;
    if (loadHandler == 0)
        return 0;
    if (nPositions > CODESET_MAX_MB_POSITIONS)
        return -1;

    if (nPositions > 0) {
        cs->mbRangeSizesP = (int *)std::calloc(nPositions, sizeof(int));
        cs->rangesPP = (encodingRange **)std::calloc(nPositions, sizeof(encodingRange *));
        if (cs->mbRangeSizesP == nullptr || cs->rangesPP == nullptr)
            return -1;
        // Counted as filled one by one so that a failure frees exactly
        // what was read.
        for (uint32_t i = 0; i < nPositions; i++) {
            cs->nMBRanges = (int)i + 1;
            if (readRangeSet(r, 1, &cs->mbRangeSizesP[i], &cs->rangesPP[i]) != 0)
                return -1;
        }
    }

    if (remaining(r) > 0)
        for (charclass &cc : cs->charClasses)
            if (readClass(r, &cc) != 0)
                return -1;
    return 0;
}

// Opens the host resource file: VX/plathost.rsc, or plathost.rsc along the
// resource search when VX is unset, or VX/source/plathost.rsc for a VX
// tree that keeps it there.
int openHostFile(uint32_t *handle)
{
    const char *vx = platform_getenv("VX");
    if (vx == nullptr)
        return qtkResource_openFile(handle, kHostFile, 0);
    std::string root = vx;
    if (qtkResource_openFile(handle, (root + "/" + kHostFile).c_str(), 0) == 0)
        return 0;
    std::string lower = root.substr(0, sizeof kSourceTreePrefix - 1);
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    if (lower != kSourceTreePrefix)
        return RSC_ERR_FILE;
    return qtkResource_openFile(handle, (root + kSourceSubdir + kHostFile).c_str(), 0);
}

} // namespace

void *qtkDialog_fixResourceAddress(void *resP, void *memberP, int sizeMember)
{
    if (sizeMember == 1)
        return memberP;
    if (sizeMember != 2 && sizeMember != 4 && sizeMember != 8)
        return nullptr;
    uintptr_t origin = (uintptr_t)resP;
    uintptr_t offset = (uintptr_t)memberP - origin;
    uintptr_t rounded = (offset + (uintptr_t)sizeMember - 1) & ~((uintptr_t)sizeMember - 1);
    return (void *)(origin + rounded);
}

long loadRuntimeResource(char **rtcRPP)
{
    if (rtcRPP == nullptr)
        return 0;
    *rtcRPP = nullptr;
    uint32_t handle = 0;
    if (openHostFile(&handle) != 0)
        return 0;

    // Id -1 is an ordinary id: without a matching alias only a resource
    // stored under -1 is taken.
    int32_t id = -1;
    const char *alias = platform_getenv("VX_RTCONFIG");
    if (alias != nullptr) {
        int32_t n = 0, found = 0;
        if (qtkResource_queryClassByAlias(&found, handle, CODESET_RTCF_TYPE, RSC_QC_ID, &n,
                                          alias) == 0)
            id = found;
    }

    long size = 0;
    void *rsc = qtkResource_load(handle, CODESET_RTCF_TYPE, id);
    if (rsc != nullptr) {
        int32_t rscSize = 0;
        if (qtkResource_query(&rscSize, rsc, RSC_Q_SIZE) == 0 && rscSize > 0) {
            char *copy = (char *)std::malloc((size_t)rscSize);
            if (copy != nullptr) {
                std::memcpy(copy, rsc, (size_t)rscSize);
                *rtcRPP = copy;
                size = rscSize;
            }
        }
        qtkResource_free(rsc);
    }
    qtkResource_closeFile(handle);
    return size;
}

int codeSet_applyConfiguration(const unsigned char *rtc, long size, int *multiByteCharsPossibleP)
{
    if (multiByteCharsPossibleP != nullptr)
        *multiByteCharsPossibleP = 0;
    codeSet_destroy();
    if (rtc == nullptr || size <= 0)
        return 1;
    rtcReader r = {rtc, (uint64_t)size, 0};
    codesetglobals cs;
    std::memset(&cs, 0, sizeof cs);
    if (parseConfiguration(&r, &cs) != 0) {
        destroyRecord(&cs);
        return 1;
    }
    csG = cs;
    if (multiByteCharsPossibleP != nullptr)
        *multiByteCharsPossibleP = csG.nMBRanges >= 2 ? 1 : 0;
    return 0;
}

int codeSet_initialize(int *multiByteCharsPossibleP)
{
    char *rtc = nullptr;
    long size = loadRuntimeResource(&rtc);
    int rc = codeSet_applyConfiguration((const unsigned char *)rtc, size, multiByteCharsPossibleP);
    std::free(rtc);
    return rc;
}

int codeSet_initializeUtf8(void)
{
    if (csG.nMBRanges > 0 || !platform_localeIsUtf8())
        return 0;
    csG.utf8 = 1;
    return 1;
}

void codeSet_destroy(void) { destroyRecord(&csG); }

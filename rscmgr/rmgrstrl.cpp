// String lists: fetching one member's text by number without loading the
// whole list. A list is cut, on first use, into pieces of whole members of
// at most 2048 bytes; one piece per list stays loaded.
//
// Invariants kept here:
//  1. Every member walked has at least one info value, its header and text
//     lie inside the bytes left, its text length is at least 1 and the text
//     ends with a zero; every step advances, so no walk can loop.
//  2. The pieces of a list are in file order, each made of whole members; a
//     list with a member too big for a piece is one piece holding it all.
//  3. A fetched text never overruns the caller's buffer and is terminated.
#include "rscmgr/rmgrint.h"

#include <algorithm>
#include <cstring>

#include "util/byteorder.h"

namespace {

enum { MEMBER_OK = 0, MEMBER_SHORT = 1, MEMBER_BAD = 2 };

struct member {
    uint32_t nInfo;
    const unsigned char *infoP;
    uint32_t textLen;
    const char *text;
    uint64_t exactSize;     // header and text
    uint64_t paddedSize;    // rounded up to a multiple of 4
};

// Parses the member at `p` with `left` bytes available: MEMBER_SHORT when
// it runs past them, MEMBER_BAD when it breaks the layout.
int parseMember(const unsigned char *p, size_t left, member *m)
{
    if (left < 4)
        return MEMBER_SHORT;
    m->nInfo = util_getLe32(p);
    if (m->nInfo < 1)
        return MEMBER_BAD;
    uint64_t head = 4 + 4 * (uint64_t)m->nInfo + 4;
    if (head > left)
        return MEMBER_SHORT;
    m->infoP = p + 4;
    m->textLen = util_getLe32(p + head - 4);
    if (m->textLen < 1)
        return MEMBER_BAD;
    m->exactSize = head + m->textLen;
    if (m->exactSize > left)
        return MEMBER_SHORT;
    m->text = (const char *)(p + head);
    if (m->text[m->textLen - 1] != '\0')
        return MEMBER_BAD;
    m->paddedSize = (m->exactSize + 3) & ~(uint64_t)3;
    return MEMBER_OK;
}

int32_t firstInfo(const member &m)
{
    return (int32_t)util_getLe32(m.infoP);
}

struct findctx {
    int32_t wanted;
    const char *text;
};

int findMember(void *vctx, const int32_t *info, uint32_t, const char *text, uint32_t)
{
    findctx *c = (findctx *)vctx;
    if (c->wanted < info[0])
        return 1;   // members ascend: it is not there
    if (c->wanted == info[0]) {
        c->text = text;
        return 1;
    }
    return 0;
}

struct boundsctx {
    int n;
    int32_t first;
    int32_t last;
};

int noteBounds(void *vctx, const int32_t *info, uint32_t, const char *, uint32_t)
{
    boundsctx *c = (boundsctx *)vctx;
    if (c->n++ == 0)
        c->first = info[0];
    c->last = info[0];
    return 0;
}

// Cuts a list into pieces; `pieces` receives them in order (none for an
// empty list).
int cutList(LowLevelFileInfo *ll, uint32_t typeId, int32_t rscId, uint32_t dataOffset,
            uint32_t dataSize, std::vector<subrscrec> *pieces)
{
    if (dataSize < RSC_STRLIST_HEADER_SIZE)
        return RSC_ERR_FILE;
    unsigned char head[RSC_STRLIST_HEADER_SIZE];
    if (rmgr_read(ll, dataOffset, head, sizeof head) != 0)
        return RSC_ERR_FILE;
    uint32_t nMembers = util_getLe32(head + 4);
    uint64_t start = (uint64_t)dataOffset + RSC_STRLIST_HEADER_SIZE;
    uint64_t total = dataSize - RSC_STRLIST_HEADER_SIZE;
    uint64_t pos = 0;
    uint32_t count = 0;
    bool whole = false;
    std::vector<unsigned char> block(RSC_PIECE_SIZE);
    while (pos < total && count < nMembers) {
        size_t blk = (size_t)std::min<uint64_t>(RSC_PIECE_SIZE, total - pos);
        if (rmgr_read(ll, start + pos, block.data(), blk) != 0)
            return RSC_ERR_FILE;
        bool atEnd = pos + blk == total;
        size_t off = 0;
        subrscrec piece{typeId, rscId, 0, (uint32_t)(start + pos), 0, 0, {}, 0};
        int n = 0;
        while (off < blk && count < nMembers) {
            member m;
            int r = parseMember(block.data() + off, blk - off, &m);
            if (r == MEMBER_OK && m.paddedSize > blk - off && !atEnd)
                r = MEMBER_SHORT;   // its padding lies in the next block
            if (r == MEMBER_BAD || (r == MEMBER_SHORT && atEnd))
                return RSC_ERR_FILE;
            if (r == MEMBER_SHORT)
                break;
            if (n++ == 0)
                piece.firstRecId = firstInfo(m);
            piece.lastRecId = firstInfo(m);
            off += (size_t)std::min<uint64_t>(m.paddedSize, blk - off);
            count++;
        }
        if (n == 0) {
            whole = true;   // a member bigger than a piece
            break;
        }
        piece.subRscSize = (uint32_t)off;
        pieces->push_back(piece);
        pos += off;
    }
    if (!whole)
        return 0;

    pieces->clear();
    std::vector<unsigned char> all((size_t)total);
    if (rmgr_read(ll, start, all.data(), all.size()) != 0)
        return RSC_ERR_FILE;
    boundsctx b{0, 0, 0};
    if (rmgr_walkStringList(all.data(), all.size(), nMembers, noteBounds, &b, nullptr) != 0)
        return RSC_ERR_FILE;
    if (b.n > 0)
        pieces->push_back(subrscrec{typeId, rscId, (uint32_t)total, (uint32_t)start, b.first, b.last,
                                    {}, 0});
    return 0;
}

// The loaded piece of list (typeId, rscId) that covers member `stringNum`.
int resource_loadSubRsc(subrscrec **pieceP, LowLevelFileInfo *ll, uint32_t typeId, int32_t rscId,
                        int32_t stringNum)
{
    bool haveList = false;
    for (const subrscrec &s : ll->subRscList)
        haveList = haveList || (s.typeId == typeId && s.parentRscId == rscId);
    if (!haveList) {
        memrscidentry e;
        int rc = resource_getRscEntry(&e, ll, typeId, rscId, nullptr);
        if (rc != 0)
            return rc;
        std::vector<subrscrec> pieces;
        rc = cutList(ll, typeId, rscId, e.fileOffset, e.fileSize, &pieces);
        if (rc != 0)
            return rc;
        ll->subRscList.insert(ll->subRscList.end(), pieces.begin(), pieces.end());
    }
    subrscrec *want = nullptr;
    for (subrscrec &s : ll->subRscList)
        if (s.typeId == typeId && s.parentRscId == rscId && s.firstRecId <= stringNum &&
            stringNum <= s.lastRecId && want == nullptr)
            want = &s;
    if (want == nullptr)
        return RSC_ERR_NO_RESOURCE;
    if (!want->loaded) {
        for (subrscrec &s : ll->subRscList)
            if (s.typeId == typeId && s.parentRscId == rscId && s.loaded) {
                std::vector<unsigned char>().swap(s.memOffset);
                s.loaded = 0;
            }
        want->memOffset.resize(want->subRscSize);
        if (rmgr_read(ll, want->fileOffset, want->memOffset.data(), want->subRscSize) != 0) {
            std::vector<unsigned char>().swap(want->memOffset);
            return RSC_ERR_FILE;
        }
        want->loaded = 1;
    }
    *pieceP = want;
    return 0;
}

} // namespace

int rmgr_walkStringList(const unsigned char *p, size_t n, uint32_t maxMembers,
                        int (*visit)(void *ctx, const int32_t *info, uint32_t nInfo,
                                     const char *text, uint32_t textLen),
                        void *ctx, size_t *usedP)
{
    size_t off = 0;
    uint32_t count = 0;
    std::vector<int32_t> info;
    int rc = 0;
    while (off < n && count < maxMembers) {
        member m;
        if (parseMember(p + off, n - off, &m) != MEMBER_OK) {
            rc = RSC_ERR_FILE;
            break;
        }
        info.resize(m.nInfo);
        for (uint32_t i = 0; i < m.nInfo; i++)
            info[i] = (int32_t)util_getLe32(m.infoP + 4 * (size_t)i);
        // The padding of the last member may be missing.
        off += (size_t)std::min<uint64_t>(m.paddedSize, n - off);
        count++;
        if (visit(ctx, info.data(), m.nInfo, m.text, m.textLen))
            break;
    }
    if (usedP != nullptr)
        *usedP = off;
    return rc;
}

void rmgr_freeSubRscs(LowLevelFileInfo *ll)
{
    std::vector<subrscrec>().swap(ll->subRscList);
}

int qtkResource_loadFromStringList(char *pString, size_t bufLen, uint32_t rfHandle,
                                   int32_t listId, int32_t stringNum)
{
    if (pString == nullptr || bufLen == 0)
        return RSC_ERR_BAD_ARGUMENT;
    pString[0] = '\0';
    if (rfHandle == 0 &&
        rmgr_findHandleHolding(&rfHandle, RSC_TYPE_STRLIST, listId, nullptr) != 0)
        return RSC_ERR_NO_FILE;
    rscfiledescr *fd = rmgr_handleEntry(rfHandle);
    if (fd == nullptr)
        return RSC_ERR_BAD_HANDLE;
    // Lists written on another platform would need converting; refused.
    if (rmgr_needsConversion(fd))
        return RSC_ERR_FILE;
    subrscrec *piece = nullptr;
    int rc = resource_loadSubRsc(&piece, fd->llP, RSC_TYPE_STRLIST, listId, stringNum);
    if (rc != 0)
        return rc == RSC_ERR_NO_TYPE ? RSC_ERR_NO_RESOURCE : rc;
    findctx c{stringNum, nullptr};
    if (rmgr_walkStringList(piece->memOffset.data(), piece->memOffset.size(), UINT32_MAX,
                            findMember, &c, nullptr) != 0)
        return RSC_ERR_FILE;
    if (c.text == nullptr)
        return RSC_ERR_NO_MEMBER;
    size_t len = std::strlen(c.text);
    if (len > bufLen - 1)
        len = bufLen - 1;
    std::memcpy(pString, c.text, len);
    pString[len] = '\0';
    return 0;
}

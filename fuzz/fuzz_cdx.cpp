// Fuzz target: a data file, the separator "--CDX--", and the bytes of its
// compound index. The table is opened without its production index, the
// index is opened by name, and every tag (the directory too) is walked
// through the block layer in stored order; each tag's root block is read
// and searched for the keys the walk met; the index is locked, a block is
// taken from the free list and given back, and everything is closed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "codeset/codeset.h"
#include "fuzz/fuzzutil.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/e4error.h"
#include "xbase/index/b4block.h"
#include "xbase/index/i4index.h"
#include "xbase/l4list.h"

namespace {

const char kSeparator[] = "--CDX--";
const size_t kSeparatorLen = sizeof kSeparator - 1;

volatile unsigned g_sink;

struct Walk {
    long entries;
    long most;          // no walk can meet more entries than the file's blocks hold
    unsigned sum;
    unsigned char first[I4_MAX_KEY_LEN + 1];
    bool have_first;
};

int visit(void *ctx, const B4KEY_DATA *entry)
{
    Walk *w = static_cast<Walk *>(ctx);
    if (entry == nullptr) {
        w->entries = 0;
        w->have_first = false;
        return 0;
    }
    w->entries++;
    fuzz::require(w->entries <= w->most, "a tag walk met more entries than the file's blocks hold");
    w->sum += (unsigned)entry->num + entry->value[0];
    if (!w->have_first) {
        std::memcpy(w->first, entry->value, sizeof w->first);
        w->have_first = true;
    }
    return 0;
}

// Walks one tag and searches its root block for the first key met.
void exercise(TAG4 *t4)
{
    INDEX4 *i4 = t4->index;
    Walk w{};
    w.most = (i4->eof / B4_BLOCK_SIZE + 1) * B4_LEAF_ROOM;
    int rc = i4tag_walk(t4, visit, &w);
    fuzz::require(rc <= 0, "a tag walk gave a positive result without a visitor asking for it");
    long root = t4root(t4);
    if (root <= 0)
        return;
    B4BLOCK *b4 = b4alloc(t4, -1);
    if (b4 == nullptr)
        return;
    if (i4read_block(&i4->file, root, nullptr, b4) == 0) {
        const char *value = w.have_first ? (const char *)w.first : "";
        int len = w.have_first ? t4->header.key_len : 0;
        int found = b4seek(b4, value, len);
        fuzz::require(found == 0 || found == r4after, "a block search gave an unknown result");
        fuzz::require(b4->key_on >= 0 && b4->key_on <= b4->header.n_keys,
                      "a block search left its position outside the block");
        w.sum += (unsigned)b4recno(b4, b4->key_on < b4->header.n_keys ? b4->key_on : 0);
    }
    b4free(b4);
    g_sink = g_sink + w.sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mbstr_initialize(0);
    fuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t dbfLen = fuzz::firstPart(data, size, kSeparator);
    if (dbfLen == size)
        return 0;
    std::string dbf = fuzz::scratchFile("fuzz.dbf");
    std::string cdx = fuzz::scratchFile("fuzz.cdx");
    fuzz::writeWhole(dbf, data, dbfLen);
    fuzz::writeWhole(cdx, data + dbfLen + kSeparatorLen, size - dbfLen - kSeparatorLen);

    CODE4 c4;
    d4init(&c4);
    c4.auto_open = 0;
    c4.open_error = 0;
    c4.expr_error = 0;
    c4.lock_attempts = 1;
    e4clearErrorState();
    DATA4 *d = d4open(&c4, dbf.c_str());
    if (d != nullptr) {
        INDEX4 *i4 = i4open(d, cdx.c_str());
        if (i4 != nullptr) {
            int n = 0;
            for (TAG4 *t4 = d4tag_next(d, nullptr); t4 != nullptr; t4 = d4tag_next(d, t4)) {
                fuzz::require(++n <= i4->tags.n_link, "d4tag_next met more tags than the index has");
                exercise(t4);
                fuzz::require(i4tag(i4, t4->alias) != nullptr, "a tag's own name does not find a tag");
            }
            if (i4->tag_index != nullptr && !l4seek(&i4->tags, i4->tag_index))
                exercise(i4->tag_index);
            if (i4lock(i4) == 0) {
                long pos = i4extend(i4);
                fuzz::require(pos < 0 || pos % B4_BLOCK_SIZE == 0, "a new block is not on a block boundary");
                if (pos > 0)
                    i4shrink(i4, pos);
                i4unlock(i4);
            }
        }
        d4close(d);
    }
    fuzz::require(c4.data_list.n_link == 0, "a data file stayed in the context's list");
    fuzz::require(c4.index_memory == nullptr || c4.index_memory->n_used == 0,
                  "an index record stayed in use after its table closed");
    fuzz::require(c4.tag_memory == nullptr || c4.tag_memory->n_used == 0,
                  "a tag record stayed in use after its table closed");
    d4init_undo(&c4);
    return 0;
}

// Rebuilding a table's indexes after a pack from the tags they had before
// it. What it keeps true is in r4retag.h.
#include "xbase/index/r4retag.h"

#include <cstdint>
#include <cstring>
#include <algorithm>

#include "util/byteorder.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/file4.h"
#include "xbase/index/b4block.h"
#include "xbase/index/r4reindex.h"
#include "xbase/l4list.h"

namespace {

// T2: an expression whose value depends on nothing but the record's own
// bytes (and so is the same for a record before and after it moves).
bool of_the_record(const e4expr_st *expr)
{
    static const int apart[] = {E4ROW_RECNO, E4ROW_RECCOUNT, E4ROW_TIME, E4ROW_DATE, E4ROW_PAGENO, E4ROW_CALC};
    for (int i = 0; i < expr->info_n; i++)
        for (int row : apart)
            if (v4functions[expr->info[i].function_i].code == v4functions[row].code)
                return false;
    return true;
}

// The records the pack removed, 64 to a word, with the count of those
// before the word: a record's new number is its old one less the removed
// records before it. Small enough to stay in the processor's cache while
// a tag's entries name records in no order.
struct Removed {
    uint64_t bits;
    unsigned long before;
};

// One walk over the old tags of a held index, a tag at a time.
struct Walk {
    R4RETAG_INDEX *held = nullptr;
    long count = 0;                     // records before the pack
    const std::vector<Removed> *removed = nullptr;
    const R4REINDEX *r4 = nullptr;      // the rebuild writing over the old blocks
    std::vector<unsigned char> run;     // old blocks read ahead (T3)
    long run_pos = 0, run_len = 0;
    std::vector<uint64_t> seen;         // the records the tag walked so far named
    long live = 0;                      // records the pack kept
    TAG4 *tag = nullptr;
    B4BLOCK *b4 = nullptr;
    int next_entry = 0;
    long steps = 0;
    bool every_live = false;
    long live_seen = 0;
    unsigned char last[I4_MAX_KEY_LEN] = {};
    long last_rec = 0;
    bool stale = false;                 // T3: the index is rebuilt from the records
};

// The old block at `pos` into the walk's buffer, from the run read ahead,
// or with a new run read from it on (T3): 0; 1 when there is no such block
// in the old file, the writer has passed it, or it does not check; or a
// failed read's negative result.
int load(Walk *w, long pos)
{
    if (pos < I4_FIRST_BLOCK || pos % B4_BLOCK_SIZE != 0 || pos + B4_BLOCK_SIZE > w->held->eof)
        return 1;
    if (pos < w->run_pos || pos + B4_BLOCK_SIZE > w->run_pos + w->run_len) {
        if (pos < w->r4->write_pos)
            return 1;
        w->run_len = 0;
        long want = std::min((long)w->run.size(), w->held->eof - pos);
        long got = file4read_count(&w->held->index->file, pos, w->run.data(), (unsigned)want);
        if (got < 0)
            return (int)got;
        if (got < B4_BLOCK_SIZE)
            return 1;
        w->run_pos = pos;
        w->run_len = got;
    }
    std::memcpy(w->b4->image, w->run.data() + (pos - w->run_pos), B4_BLOCK_SIZE);
    w->b4->file_block = pos;
    return b4check(w->b4) != 0 ? 1 : 0;
}

int stop(Walk *w)
{
    w->stale = true;
    return -1;
}

int walk_start(void *ctx, const R4REINDEX *r4, TAG4 *t4)
{
    Walk *w = (Walk *)ctx;
    const T4HEADER &h = t4->header;
    // The tag's header as it was held.
    const unsigned char *head = nullptr;
    size_t n = 0;
    for (TAG4 *t = (TAG4 *)l4first(&t4->index->tags); t != nullptr; t = (TAG4 *)l4next(&t4->index->tags, t), n++)
        if (t == t4 && (n + 1) * I4_HEADER_LEN <= w->held->heads.size())
            head = w->held->heads.data() + n * I4_HEADER_LEN;
    if (head == nullptr || (h.type_code & I4_TYPE_UNIQUE) != 0 || !of_the_record(t4->expr) ||
        (t4->filter != nullptr && !of_the_record(t4->filter)))
        return 1;
    // The header as the tag is defined (the texts as a rebuild writes them).
    const char *text = expr4source(t4->expr);
    if (util_getLe16(head + I4_OFF_KEY_LEN) != (unsigned)h.key_len || head[I4_OFF_TYPE] != h.type_code ||
        std::strlen(text) + 1 != (size_t)h.expr_len || std::memcmp(head + I4_OFF_EXPR, text, (size_t)h.expr_len) != 0)
        return 1;
    if (w->b4 == nullptr) {
        w->b4 = b4alloc(t4, -1);
        if (w->b4 == nullptr)
            return -1;
    }
    if (w->run.empty())
        w->run.resize(FILE4_SEQ_MAX);
    b4set_tag(w->b4, t4);
    w->tag = t4;
    w->r4 = r4;
    // Down the leftmost branch to the first leaf.
    long pos = (long)(int32_t)util_getLe32(head + I4_OFF_ROOT);
    for (int depth = 0;; depth++) {
        int rc = depth > I4_MAX_DEPTH ? 1 : load(w, pos);
        if (rc != 0)
            return rc < 0 ? rc : stop(w);
        if (b4leaf(w->b4))
            break;
        pos = b4child(w->b4, 0);
        if (pos < 0)
            return stop(w);
    }
    w->next_entry = 0;
    w->steps = 0;
    // No filter, or ".NOT. DELETED()": the tag holds every live record.
    w->every_live = r4filter_kind(t4->filter) != R4FILTER_EVALUATED;
    w->seen.assign((size_t)(w->count >> 6) + 1, 0);
    w->live_seen = 0;
    w->last_rec = 0;
    return 0;
}

int walk_next(void *ctx, long *rec, char **key)
{
    Walk *w = (Walk *)ctx;
    B4BLOCK *b4 = w->b4;
    const int kl = w->tag->header.key_len;
    for (;;) {
        if (w->next_entry >= b4->header.n_keys) {
            long right = b4->header.right_node, here = b4->file_block;
            // The leaf's last key, which the next leaf's first is compared with.
            if (b4->header.n_keys > 0) {
                if (b4->built_on != b4->header.n_keys - 1 || w->tag->built_by != b4)
                    return stop(w);
                std::memcpy(w->last, w->tag->built_key.value, (size_t)kl);
            }
            if (right == -1)
                return w->every_live && w->live_seen != w->live ? stop(w) : 1;
            int rc = ++w->steps > w->held->eof / B4_BLOCK_SIZE ? 1 : load(w, right);
            if (rc < 0)
                return rc;
            if (rc != 0 || !b4leaf(b4) || b4->header.left_node != here)
                return stop(w);
            w->next_entry = 0;
            continue;
        }
        // The entries of a leaf are decoded one after another, each compared
        // with the one before as it is; the first with the last key of the
        // leaf before.
        const int entry = w->next_entry++;
        int order;
        B4KEY_DATA *k = b4key_next(b4, entry, &order);
        if (k == nullptr || k->num < 1 || k->num > w->count)
            return stop(w);
        if (order == 2) {
            if (entry != 0)
                return stop(w);
            order = w->last_rec == 0 ? 1 : std::memcmp(k->value, w->last, (size_t)kl);
        }
        const size_t word = (size_t)k->num >> 6;
        const uint64_t bit = uint64_t(1) << (k->num & 63);
        if ((w->seen[word] & bit) != 0)
            return stop(w);
        // Stored order is the sort's: by key, then by record number.
        if (order < 0 || (order == 0 && k->num < w->last_rec))
            return stop(w);
        w->last_rec = k->num;
        w->seen[word] |= bit;
        const Removed &gone = (*w->removed)[word];
        if ((gone.bits & bit) != 0)
            continue;
        w->live_seen++;
        if (w->tag->filter != nullptr)
            w->tag->has_keys = 1;
        const uint64_t below = gone.bits & (bit - 1);
        *rec = k->num - (long)gone.before - (below == 0 ? 0 : __builtin_popcountll(below));
        *key = (char *)k->value;
        return 0;
    }
}

// T1 for one index: 0 when it is held (its tags' headers read), 1 when
// not, or a failed write-back or read.
int hold_index(R4RETAG *rt, INDEX4 *i4)
{
    if (i4->tag_index == nullptr || i4->tag_index->header.type_code < I4_TYPE_COMPOUND)
        return 1;
    int rc = i4lock(i4);
    if (rc == 0)
        rc = i4write_blocks(i4);
    if (rc != 0)
        return rc < 0 ? rc : 1;
    if (i4->failed || i4->pack_write != 0)
        return 1;
    unsigned char head[I4_OFF_TAGS + 4];
    rc = file4read_all(&i4->file, 0, head, sizeof head);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    if (util_getLe32(head + I4_OFF_ROOT) == 0 || util_getLe32(head + I4_OFF_PACK) == I4_PACK_MAGIC ||
        util_getLe32(head + I4_OFF_TAGS) == I4_TAGS_MAGIC ||
        (util_getLe32(head + I4_OFF_FLIGHT) == I4_FLIGHT_MAGIC && !i4->flight))
        return 1;
    R4RETAG_INDEX held{i4, file4len(&i4->file), {}};
    if (held.eof < 0)
        return -1;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        held.heads.resize(held.heads.size() + I4_HEADER_LEN);
        rc = file4read_all(&i4->file, t4->header_offset, held.heads.data() + held.heads.size() - I4_HEADER_LEN,
                           I4_HEADER_LEN);
        if (rc != 0)
            return rc < 0 ? rc : -1;
    }
    rt->indexes.push_back(std::move(held));
    return 0;
}

} // namespace

int r4retag_hold(R4RETAG *rt, DATA4 *d4, long count)
{
    rt->data = d4;
    rt->indexes.clear();
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d4->indexes); i4 != nullptr; i4 = (INDEX4 *)l4next(&d4->indexes, i4)) {
        int rc = hold_index(rt, i4);
        if (rc < 0) {
            rt->indexes.clear();
            return rc;
        }
    }
    rt->count = count;
    if (!rt->indexes.empty())
        rt->gone.assign((size_t)count + 1, 0);
    return 0;
}

int r4retag_reindex(R4RETAG *rt)
{
    DATA4 *d4 = rt->data;
    int rc = 0;
    std::vector<Removed> removed((size_t)(rt->count >> 6) + 1, Removed{0, 0});
    unsigned long n = 0;
    for (long r = 1; r <= rt->count; r++) {
        Removed &word = removed[(size_t)r >> 6];
        if ((r & 63) == 0)
            word.before = n;
        if (rt->gone[(size_t)r]) {
            word.bits |= uint64_t(1) << (r & 63);
            n++;
        }
    }
    const long live = rt->count - (long)n;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d4->indexes); i4 != nullptr; i4 = (INDEX4 *)l4next(&d4->indexes, i4)) {
        R4RETAG_INDEX *held = nullptr;
        for (R4RETAG_INDEX &h : rt->indexes)
            if (h.index == i4)
                held = &h;
        int r = i4->code_base->error_code < 0 ? -1 : i4lock(i4);
        if (r == 0 && held != nullptr) {
            Walk w;
            w.held = held;
            w.count = rt->count;
            w.removed = &removed;
            w.live = live;
            R4SOURCE from{walk_start, walk_next, &w};
            r = r4rebuild(i4, &from);
            if (w.b4 != nullptr)
                b4free(w.b4);
            if (w.stale && i4->code_base->error_code >= 0)
                r = r4rebuild(i4);
        } else if (r == 0) {
            r = r4rebuild(i4);
        }
        if (r != 0 && rc == 0)
            rc = r;
    }
    return rc;
}

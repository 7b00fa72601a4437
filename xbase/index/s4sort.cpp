// The sort of fixed-size entries: slots filled from pooled memory units,
// sorted runs held in memory or written to a work file when the slots are
// full, and the merge of the runs through one read window per run.
//
// Invariants kept here:
//  1. pointers_used <= pointers_init <= pointers_max: a new memory unit adds
//     at most the slots still free in the pointer array (add_memory).
//  2. Every run in the work file but the last holds spool_disk_len bytes;
//     the last ends at spill_len. A read that brings fewer bytes than the
//     run still owes is -70 with the work file's name, never the end of the
//     run (spool_load).
//  3. spool_pointer is a tournament over the runs: [0] is the run whose
//     current entry comes first, [1 .. spools_max) the losers of the
//     matches on the way (tournament); only [0] ever moves, and its
//     matches are played again when it does (spool_next).
//  4. A failure releases everything and stays in `status`; every later
//     call answers with it (fail).
//  5. Held runs and runs in the work file never exist together: the first
//     run that goes to the file takes every held run there before it, so
//     the file's runs are the runs in the order they were closed (spill,
//     write_held). A held run is whole: the units of the next run are
//     taken before a run is held (hold).
//  6. Entries kept where they stand (flat) and entries in slots never exist
//     together: the first entry that cannot be kept so moves every kept one
//     to the slots, in the order they were put (unflatten).
#include "xbase/index/s4sort.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "util/byteorder.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"

namespace {

const unsigned kRecLen = 4;
// The real link at the front of a unit; the unit's entry area follows it.
const size_t kLink = sizeof(LINK4);
const int kStackRanges = 32;
// How many entries ahead of the one handed out are fetched into the cache.
const unsigned kAhead = 16;

// ---- Order of entries -----------------------------------------------------

int32_t rec_of(const char *entry, unsigned sort_len)
{
    int32_t rec;
    std::memcpy(&rec, entry + sort_len, kRecLen);
    return rec;
}

// Eight key bytes as one number whose order is theirs.
inline uint64_t load_be64(const unsigned char *p)
{
    return (uint64_t)util_getBe32(p) << 32 | util_getBe32(p + 4);
}

// memcmp's order (unsigned bytes), eight bytes at a time. A tail shorter
// than a word is compared as the last word of the key: its leading bytes
// overlap bytes already found equal, so they cannot change the answer.
inline int bytes_cmp(const char *a0, const char *b0, unsigned len)
{
    const unsigned char *a = reinterpret_cast<const unsigned char *>(a0);
    const unsigned char *b = reinterpret_cast<const unsigned char *>(b0);
    if (len >= 8) {
        unsigned i = 0;
        for (; i + 8 <= len; i += 8) {
            uint64_t x = load_be64(a + i), y = load_be64(b + i);
            if (x != y)
                return x < y ? -1 : 1;
        }
        if (i < len) {
            uint64_t x = load_be64(a + len - 8), y = load_be64(b + len - 8);
            if (x != y)
                return x < y ? -1 : 1;
        }
        return 0;
    }
    if (len >= 4) {
        uint32_t x = util_getBe32(a), y = util_getBe32(b);
        if (x == y) {
            x = util_getBe32(a + len - 4);
            y = util_getBe32(b + len - 4);
        }
        return x == y ? 0 : (x < y ? -1 : 1);
    }
    for (unsigned i = 0; i < len; i++)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return 0;
}

// The default order: memcmp's, without a call through a pointer.
struct BytesOrder {
    unsigned len;
    int keys(const char *a, const char *b) const
    {
        // Most comparisons end in the first eight bytes: those inline.
        if (len >= 8) {
            uint64_t x = load_be64(reinterpret_cast<const unsigned char *>(a));
            uint64_t y = load_be64(reinterpret_cast<const unsigned char *>(b));
            if (x != y)
                return x < y ? -1 : 1;
            return bytes_cmp(a + 8, b + 8, len - 8);
        }
        return bytes_cmp(a, b, len);
    }
};

// A caller's comparison.
struct CallOrder {
    S4CMP cmp;
    unsigned len;
    int keys(const char *a, const char *b) const { return cmp(a, b, len); }
};

// Whether entry `a` comes after entry `b`: a greater key, or an equal key
// and a greater record number.
template <class Order>
inline bool after(const Order &o, const char *a, const char *b)
{
    int c = o.keys(a, b);
    if (c != 0)
        return c > 0;
    return rec_of(a, o.len) > rec_of(b, o.len);
}

// Eight key bytes from `off` as one number whose order is theirs; bytes
// past the key's end count as zeros, so equal numbers mean equal bytes
// [off, min(off + 8, len)).
inline uint64_t prefix_at(const char *entry, unsigned off, unsigned len)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(entry) + off;
    if (off + 8 <= len)
        return load_be64(p);
    uint64_t v = 0;
    for (unsigned i = 0; i < 8; i++)
        v = v << 8 | (off + i < len ? p[i] : 0);
    return v;
}

inline uint64_t prefix_of(const char *entry, unsigned len)
{
    return prefix_at(entry, 0, len);
}

// Slots with key bytes [off, off + 8) beside them, among slots whose keys
// agree on their first `off` bytes: most comparisons end at the prefix,
// without reaching into the entries.
struct KeyedAfter {
    unsigned len;
    unsigned off;
    bool operator()(const S4KEYED &a, const S4KEYED &b) const
    {
        if (a.prefix != b.prefix)
            return a.prefix > b.prefix;
        if (len > off + 8) {
            int c = bytes_cmp(a.entry + off + 8, b.entry + off + 8, len - off - 8);
            if (c != 0)
                return c > 0;
        }
        return rec_of(a.entry, len) > rec_of(b.entry, len);
    }
};

// Sorts n elements of p by `after(a, b)`: a comes after b.
template <class T, class After>
void quick(T *p, unsigned n, const After &after)
{
    if (n < 2)
        return;
    // The larger side waits on the stack while the smaller one is sorted,
    // so at most log2(n) < 32 ranges ever wait.
    struct Range {
        ptrdiff_t lo, hi;
    } stack[kStackRanges];
    int waiting = 0;
    ptrdiff_t lo = 0, hi = (ptrdiff_t)n - 1;
    for (;;) {
        while (hi > lo) {
            if (hi - lo == 1) {
                if (after(p[lo], p[hi]))
                    std::swap(p[lo], p[hi]);
                break;
            }
            // Median of three to the front, leaving p[mid] <= p[lo] <= p[hi]:
            // p[hi] stops the scan from the left, the pivot the one from
            // the right.
            ptrdiff_t mid = lo + (hi - lo) / 2;
            if (after(p[mid], p[hi]))
                std::swap(p[mid], p[hi]);
            if (after(p[mid], p[lo]))
                std::swap(p[mid], p[lo]);
            else if (after(p[lo], p[hi]))
                std::swap(p[lo], p[hi]);
            if (hi - lo == 2) {
                std::swap(p[lo], p[mid]);
                break;
            }
            T pivot = p[lo];
            ptrdiff_t i = lo, j = hi + 1;
            for (;;) {
                do
                    i++;
                while (after(pivot, p[i]));
                do
                    j--;
                while (after(p[j], pivot));
                if (i >= j)
                    break;
                std::swap(p[i], p[j]);
            }
            std::swap(p[lo], p[j]);
            if (j - lo > hi - j) {
                stack[waiting++] = {lo, j - 1};
                lo = j + 1;
            } else {
                stack[waiting++] = {j + 1, hi};
                hi = j - 1;
            }
        }
        if (waiting == 0)
            return;
        waiting--;
        lo = stack[waiting].lo;
        hi = stack[waiting].hi;
    }
}

// ---- Sorting slots in the default order ------------------------------------
//
// A most-significant-byte-first radix sort over the slots' prefixes: the
// slots are distributed in place by one key byte at a time, each bucket
// then by the next byte; a byte all slots share costs one counting pass;
// small buckets are finished by comparing. The order is exactly `after`'s:
// key bytes unsigned, then the record number.

const size_t kInsertionMax = 24;
const size_t kCompareMax = 256;
// The longest slot, in four-byte words, that entries are sorted in where
// they stand.
const unsigned kFlatWordsMax = 10;
// Slots sorted where they stand are distributed by bytes down to this many;
// fewer are sorted by comparing.
const size_t kFlatSmall = 16;

void insertion(S4KEYED *a, size_t n, const KeyedAfter &after)
{
    for (size_t i = 1; i < n; i++) {
        S4KEYED v = a[i];
        size_t j = i;
        for (; j > 0 && after(a[j - 1], v); j--)
            a[j] = a[j - 1];
        a[j] = v;
    }
}

// Slots whose keys are all equal, by record number.
void by_record(S4KEYED *a, size_t n, unsigned len)
{
    quick(a, (unsigned)n, [len](const S4KEYED &x, const S4KEYED &y) {
        return rec_of(x.entry, len) > rec_of(y.entry, len);
    });
}

inline unsigned digit(const S4KEYED &k, int shift)
{
    return (unsigned)(k.prefix >> shift) & 0xFF;
}

// Whether no element of a[0, n) comes after the next one.
template <class T, class After>
bool in_order(const T *a, size_t n, const After &after)
{
    for (size_t i = 1; i < n; i++)
        if (after(a[i - 1], a[i]))
            return false;
    return true;
}

// Sorts a[0, n): their keys agree on bytes [0, off) and on the prefix
// bytes above `shift`; the prefixes hold bytes [off, off + 8).
void radix(S4KEYED *a, size_t n, unsigned off, int shift, unsigned len)
{
    // Slots that already stand in order (keys put in key order) stay.
    if (in_order(a, n, KeyedAfter{len, off}))
        return;
    unsigned count[256];
    for (;;) {
        // Byte `at` of the key is the next to distribute by.
        unsigned at = off + (unsigned)(56 - shift) / 8;
        if (at >= len) {
            by_record(a, n, len);
            return;
        }
        if (n <= kInsertionMax) {
            insertion(a, n, KeyedAfter{len, off});
            return;
        }
        // Below a few hundred slots a pass over 256 buckets costs more
        // than comparing.
        if (n <= kCompareMax) {
            quick(a, (unsigned)n, KeyedAfter{len, off});
            return;
        }
        std::memset(count, 0, sizeof count);
        for (size_t k = 0; k < n; k++)
            count[digit(a[k], shift)]++;
        if (count[digit(a[0], shift)] != n)
            break;
        // One bucket holds them all: on to the next byte.
        if (shift > 0) {
            shift -= 8;
        } else {
            off += 8;
            shift = 56;
            for (size_t k = 0; k < n; k++)
                a[k].prefix = prefix_at(a[k].entry, off, len);
        }
    }
    // Each slot goes straight to its bucket, the one found there moving on
    // in turn, until every bucket holds only its own.
    unsigned next[256], end[256];
    unsigned sum = 0;
    for (unsigned b = 0; b < 256; b++) {
        next[b] = sum;
        sum += count[b];
        end[b] = sum;
    }
    for (unsigned b = 0; b < 256; b++)
        while (next[b] < end[b]) {
            S4KEYED v = a[next[b]];
            for (unsigned d = digit(v, shift); d != b; d = digit(v, shift))
                std::swap(v, a[next[d]++]);
            a[next[b]++] = v;
        }
    for (unsigned b = 0, from = 0; b < 256; from = end[b], b++) {
        size_t m = end[b] - from;
        if (m < 2)
            continue;
        S4KEYED *bucket = a + from;
        if (shift > 0) {
            radix(bucket, m, off, shift - 8, len);
        } else {
            for (size_t i = 0; i < m; i++)
                bucket[i].prefix = prefix_at(bucket[i].entry, off + 8, len);
            radix(bucket, m, off + 8, 56, len);
        }
    }
}

// How many leading bytes `entry`'s key shares with `first`, at most `off`.
inline unsigned shared(const char *first, const char *entry, unsigned off)
{
    if (std::memcmp(first, entry, off) == 0)
        return off;
    unsigned j = 0;
    while (first[j] == entry[j])
        j++;
    return j;
}

// Sorts slots a[0, n) whose `entry` is set (the prefixes are made here).
void keyed_sort(S4KEYED *a, size_t n, unsigned len)
{
    if (n < 2)
        return;
    // Bytes every key shares decide nothing: the prefixes start after them.
    unsigned off = len;
    for (size_t i = 1; i < n && off > 0; i++)
        off = shared(a[0].entry, a[i].entry, off);
    for (size_t i = 0; i < n; i++)
        a[i].prefix = prefix_at(a[i].entry, off, len);
    radix(a, n, off, 56, len);
}

// The same for entries that lie in `runs` arrays of slot pointers of
// `run` entries each and `last` more: the first byte is distributed on the
// way into `a` (in slot order, so a bucket keeps the order of its
// entries), each bucket then sorted in place.
void keyed_sort_runs(S4KEYED *a, char ***runs, unsigned n_runs, unsigned run, char **last,
                     unsigned n_last, unsigned len)
{
    auto each = [&](auto &&f) {
        for (unsigned r = 0; r <= n_runs; r++) {
            char **slots = r < n_runs ? runs[r] : last;
            unsigned n = r < n_runs ? run : n_last;
            for (unsigned j = 0; j < n; j++)
                f(slots[j]);
        }
    };
    const char *first = n_runs > 0 ? runs[0][0] : last[0];
    unsigned off = len;
    each([&](const char *e) { off = off > 0 ? shared(first, e, off) : 0; });
    if (off >= len) {
        size_t k = 0;
        each([&](char *e) { a[k++] = {0, e}; });
        by_record(a, k, len);
        return;
    }
    unsigned count[256] = {};
    each([&](const char *e) { count[(unsigned char)e[off]]++; });
    unsigned next[256], sum = 0;
    for (unsigned b = 0; b < 256; b++) {
        next[b] = sum;
        sum += count[b];
    }
    each([&](char *e) { a[next[(unsigned char)e[off]]++] = {prefix_at(e, off, len), e}; });
    for (unsigned b = 0, from = 0; b < 256; from += count[b], b++)
        if (count[b] > 1)
            radix(a + from, count[b], off, 48, len);
}

// ---- Sorting entries where they stand ---------------------------------------
//
// When the caller has said how many entries at most will come and they fit
// the budget, the entries lie one after another in one array, each in a
// slot of W four-byte words (its key, record number and information at the
// offsets of the entry layout, the rest of the slot unused). They are
// sorted there by the same radix order, moving whole slots: nothing is
// reached through a pointer, and the sorted entries are handed out from one
// end to the other.

template <unsigned W>
struct Slot {
    uint32_t w[W];
};

template <unsigned W>
inline const char *bytes_of(const Slot<W> &s)
{
    return reinterpret_cast<const char *>(s.w);
}

// Whether slot a comes after slot b, among slots whose keys agree on their
// first `off` bytes.
template <unsigned W>
struct SlotAfter {
    unsigned len;
    unsigned off;
    bool operator()(const Slot<W> &a, const Slot<W> &b) const
    {
        int c = bytes_cmp(bytes_of(a) + off, bytes_of(b) + off, len - off);
        if (c != 0)
            return c > 0;
        return rec_of(bytes_of(a), len) > rec_of(bytes_of(b), len);
    }
};

// A few slots (at most kFlatSmall) sorted by their keys' bytes from `off`
// through a keyed array, the slots then put in that order.
template <unsigned W>
[[gnu::noinline]] void flat_small(Slot<W> *a, size_t n, unsigned off, unsigned len)
{
    S4KEYED keyed[kFlatSmall];
    Slot<W> sorted[kFlatSmall];
    for (size_t i = 0; i < n; i++)
        keyed[i] = {prefix_at(bytes_of(a[i]), off, len), reinterpret_cast<char *>(a[i].w)};
    radix(keyed, n, off, 56, len);
    for (size_t i = 0; i < n; i++)
        std::memcpy(&sorted[i], keyed[i].entry, sizeof sorted[i]);
    std::memcpy(a, sorted, n * sizeof *a);
}

template <unsigned W>
void flat_radix(Slot<W> *a, size_t n, unsigned off, unsigned len)
{
    SlotAfter<W> after{len, off};
    if (in_order(a, n, after))
        return;
    unsigned count[256];
    // Only the byte values present, [lo, hi], are gone through.
    unsigned lo, hi;
    for (;;) {
        if (off >= len) {
            // Equal keys, by record number.
            after.off = len;
            quick(a, (unsigned)n, after);
            return;
        }
        if (n <= kFlatSmall) {
            flat_small(a, n, off, len);
            return;
        }
        std::memset(count, 0, sizeof count);
        lo = 255;
        hi = 0;
        for (size_t k = 0; k < n; k++) {
            unsigned d = (unsigned char)bytes_of(a[k])[off];
            count[d]++;
            lo = d < lo ? d : lo;
            hi = d > hi ? d : hi;
        }
        if (lo != hi)
            break;
        off++;
    }
    unsigned next[256], end[256];
    unsigned sum = 0;
    for (unsigned b = lo; b <= hi; b++) {
        next[b] = sum;
        sum += count[b];
        end[b] = sum;
    }
    for (unsigned b = lo; b <= hi; b++)
        while (next[b] < end[b]) {
            Slot<W> v = a[next[b]];
            for (unsigned d = (unsigned char)bytes_of(v)[off]; d != b; d = (unsigned char)bytes_of(v)[off])
                std::swap(v, a[next[d]++]);
            a[next[b]++] = v;
        }
    for (unsigned b = lo, from = 0; b <= hi; from = end[b], b++)
        if (end[b] - from > 1)
            flat_radix(a + from, end[b] - from, off + 1, len);
}

// The slot size of an entry of `tot_len` bytes, in four-byte words; 0
// when its entries are too long to be moved whole.
unsigned flat_words(unsigned tot_len)
{
    unsigned w = (tot_len + 3) / 4;
    return w > kFlatWordsMax ? 0 : w < 2 ? 2 : w;
}

template <unsigned W>
void flat_sort_by(char *base, size_t n, unsigned words, unsigned len)
{
    if (words == W)
        flat_radix(reinterpret_cast<Slot<W> *>(base), n, 0, len);
    else if constexpr (W < kFlatWordsMax)
        flat_sort_by<W + 1>(base, n, words, len);
}

// ---- Releasing and failing ------------------------------------------------

// Frees memory and closes (and so deletes) the work file, keeping the
// context and the status. -1 when the close failed.
int release(SORT4 *s4)
{
    int rc = 0;
    if (file4open_test(&s4->file) && file4close(&s4->file) != 0)
        rc = -1;
    CODE4 *c4 = s4->code_base;
    mem4work_free(c4, s4->seqwrite_buffer);
    mem4work_free(c4, s4->pointers);
    mem4work_free(c4, s4->keyed);
    mem4work_free(c4, s4->flat);
    u4free(s4->spool_pointer);
    u4free(s4->spools);
    for (unsigned i = 0; i < s4->held_n; i++)
        mem4work_free(c4, s4->held[i]);
    u4free(s4->held);
    for (void *unit = l4pop(&s4->pool); unit != nullptr; unit = l4pop(&s4->pool))
        mem4work_free(c4, unit);
    int status = s4->status;
    std::memset(s4, 0, sizeof *s4);
    s4->file.hand = -1;
    s4->code_base = c4;
    s4->status = status;
    return rc;
}

int fail(SORT4 *s4, int rc)
{
    release(s4);
    s4->status = rc < 0 ? rc : -1;
    return s4->status;
}

int out_of_memory(SORT4 *s4)
{
    return fail(s4, e4(s4->code_base, e4memory, "Sorting"));
}

// A call the sort's state does not allow: a failed sort repeats its
// failure, a finished one has no entry left, anything else is misuse.
int refuse(SORT4 *s4, int done_result)
{
    if (s4->status < 0)
        return s4->status;
    if (s4->status == SORT4_DONE && done_result != 0)
        return done_result;
    return e4describe(s4->code_base, e4parm, "Sorting", "Sort used out of order", nullptr);
}

// ---- Filling --------------------------------------------------------------

void give_slots(SORT4 *s4, char *area, unsigned count)
{
    for (unsigned i = 0; i < count; i++)
        s4->pointers[s4->pointers_init++] = area + (size_t)i * s4->tot_len;
}

// Whether a run has gone to the work file.
bool spools_on_file(const SORT4 *s4)
{
    return s4->spools_max > s4->held_n;
}

// Gives memory to more slots: a new unit while units can be had (never
// more slots than the pointer array has left), else the unused tail of the
// pointer array itself, which then shrinks to what remains of it.
void add_memory(SORT4 *s4)
{
    char *unit = static_cast<char *>(mem4work_alloc(s4->code_base, s4->unit_len));
    if (unit != nullptr) {
        l4add(&s4->pool, unit);
        s4->pool_n++;
        unsigned room = s4->pointers_max - s4->pointers_init;
        give_slots(s4, unit + kLink, s4->pool_entries < room ? s4->pool_entries : room);
        return;
    }
    s4->is_mem_avail = 0;
    // Each slot made from the tail costs its pointer and its entry; the
    // first pointer of the tail is kept free.
    const size_t ptr = sizeof(char *);
    size_t tail = (size_t)(s4->pointers_max - s4->pointers_used) * ptr;
    unsigned more = (unsigned)((tail - ptr) / (s4->tot_len + ptr));
    s4->pointers_max = s4->pointers_used + more;
    give_slots(s4, reinterpret_cast<char *>(s4->pointers + s4->pointers_max), more);
}

// Puts `n` slot pointers in order: in the default order with their key
// bytes beside them when there is room for that, else by s4quick.
void sort_slots(SORT4 *s4, char **slots, unsigned n)
{
    if (s4->cmp != std::memcmp || s4->keyed == nullptr) {
        s4quick(slots, n, s4->cmp, s4->sort_len);
        return;
    }
    for (unsigned i = 0; i < n; i++)
        s4->keyed[i].entry = slots[i];
    keyed_sort(s4->keyed, n, s4->sort_len);
    for (unsigned i = 0; i < n; i++)
        slots[i] = s4->keyed[i].entry;
}

// Sorts `n` slots and appends them to the work file as the next run.
int write_run(SORT4 *s4, char **slots, unsigned n)
{
    sort_slots(s4, slots, n);
    if (!file4open_test(&s4->file)) {
        int rc = file4temp(&s4->file, s4->code_base, s4->file_name_buf, 1);
        if (rc != 0)
            return rc < 0 ? rc : -1;
        file4seq_write_init(&s4->seqwrite, &s4->file, 0, s4->seqwrite_buffer,
                            s4->code_base->mem_size_sort_buffer);
    }
    for (unsigned i = 0; i < n; i++) {
        int rc = file4seq_write(&s4->seqwrite, slots[i], s4->tot_len);
        if (rc != 0)
            return rc < 0 ? rc : -1;
    }
    s4->spill_len += (long)n * (long)s4->tot_len;
    return 0;
}

// The runs held so far go to the work file, in the order they were closed.
int write_held(SORT4 *s4)
{
    unsigned run = (unsigned)(s4->spool_disk_len / s4->tot_len);
    for (unsigned i = 0; i < s4->held_n; i++) {
        int rc = write_run(s4, s4->held[i], run);
        if (rc != 0)
            return rc;
        mem4work_free(s4->code_base, s4->held[i]);
        s4->held[i] = nullptr;
    }
    s4->held_n = 0;
    return 0;
}

// Closes the filled slots as one run.
void close_run(SORT4 *s4)
{
    if (s4->spools_max == 0)
        s4->spool_disk_len = (long)s4->pointers_used * (long)s4->tot_len;
    s4->spools_max++;
}

// Sorts the filled slots and appends them to the work file as one run,
// after the runs held so far.
int spill(SORT4 *s4)
{
    int rc = write_held(s4);
    if (rc == 0)
        rc = write_run(s4, s4->pointers, s4->pointers_used);
    if (rc != 0)
        return rc;
    close_run(s4);
    s4->pointers_used = 0;
    return 0;
}

// Keeps the full slots in memory as a run: they move to the held runs, and
// a new pointer array gets new units for a whole run. False, with nothing
// changed, when the run may not or cannot be held.
bool hold(SORT4 *s4)
{
    CODE4 *c4 = s4->code_base;
    const unsigned run = s4->pointers_used;
    if (s4->cmp != std::memcmp || c4->mem_size_sort_pool < SORT4_HOLD_MIN_POOL || !s4->is_mem_avail ||
        run != s4->pointers_max || spools_on_file(s4))
        return false;
    // Everything the sort holds with one more run: its units, a pointer per
    // slot, and the sort key of every entry when they are sorted at once.
    const uint64_t per_run = (run + s4->pool_entries - 1) / s4->pool_entries;
    const uint64_t unit = kLink + (uint64_t)s4->pool_entries * s4->tot_len;
    const uint64_t entries = (uint64_t)(s4->held_n + 2) * run;
    const uint64_t bytes = (s4->pool_n + per_run) * unit + entries * (sizeof(char *) + sizeof(S4KEYED));
    if (bytes > SORT4_HOLD_BUDGET)
        return false;
    if (s4->held_n == s4->held_max) {
        unsigned max = s4->held_max == 0 ? 16 : s4->held_max * 2;
        char ***more = static_cast<char ***>(u4alloc((long)(max * sizeof(char **))));
        if (more == nullptr)
            return false;
        if (s4->held_n > 0)
            std::memcpy(more, s4->held, s4->held_n * sizeof(char **));
        u4free(s4->held);
        s4->held = more;
        s4->held_max = max;
    }
    char **fresh = static_cast<char **>(mem4work_alloc(c4, (size_t)run * sizeof(char *)));
    if (fresh == nullptr)
        return false;
    // Every unit of the next run is taken now, so that the run is whole.
    char *units[64];
    unsigned got = 0;
    for (; got < per_run && got < 64; got++) {
        units[got] = static_cast<char *>(mem4work_alloc(c4, s4->unit_len));
        if (units[got] == nullptr)
            break;
    }
    if (got < per_run) {
        for (unsigned i = 0; i < got; i++)
            mem4work_free(c4, units[i]);
        mem4work_free(c4, fresh);
        return false;
    }
    close_run(s4);
    s4->held[s4->held_n++] = s4->pointers;
    s4->pointers = fresh;
    s4->pointers_used = s4->pointers_init = 0;
    for (unsigned i = 0; i < got; i++) {
        l4add(&s4->pool, units[i]);
        s4->pool_n++;
        unsigned room = s4->pointers_max - s4->pointers_init;
        give_slots(s4, units[i] + kLink, s4->pool_entries < room ? s4->pool_entries : room);
    }
    return true;
}

// With every run held: all entries sorted at once into one keyed array,
// the last (partly filled) run closed too. False, with nothing changed,
// when there is no memory for that (the runs then go to the work file).
bool sort_held(SORT4 *s4)
{
    const unsigned run = (unsigned)(s4->spool_disk_len / s4->tot_len);
    const size_t n = (size_t)s4->held_n * run + s4->pointers_used;
    if (n > UINT32_MAX)
        return false;
    mem4work_free(s4->code_base, s4->keyed);
    s4->keyed = static_cast<S4KEYED *>(mem4work_alloc(s4->code_base, n * sizeof(S4KEYED)));
    if (s4->keyed == nullptr)
        return false;
    keyed_sort_runs(s4->keyed, s4->held, s4->held_n, run, s4->pointers, s4->pointers_used, s4->sort_len);
    for (unsigned i = 0; i < s4->held_n; i++) {
        mem4work_free(s4->code_base, s4->held[i]);
        s4->held[i] = nullptr;
    }
    s4->held_n = 0;
    if (s4->pointers_used > 0)
        close_run(s4);
    s4->keyed_n = (unsigned)n;
    return true;
}

// Writes one entry into the slot at `e`.
void put_entry(SORT4 *s4, char *e, long rec, const void *key, const void *info)
{
    std::memcpy(e, key, s4->sort_len);
    int32_t r = (int32_t)rec;
    std::memcpy(e + s4->sort_len, &r, kRecLen);
    if (s4->info_len > 0)
        std::memcpy(e + s4->info_offset, info, s4->info_len);
}

// The entries kept where they stand go the usual way, in the order they
// were put, and so do all later ones.
int unflatten(SORT4 *s4)
{
    char *flat = s4->flat;
    const size_t n = s4->flat_n;
    s4->flat = nullptr;
    s4->flat_n = s4->flat_max = 0;
    int rc = 0;
    for (size_t i = 0; rc == 0 && i < n; i++) {
        const char *e = flat + i * s4->flat_slot;
        rc = sort4put(s4, rec_of(e, s4->sort_len), e, e + s4->info_offset);
    }
    mem4work_free(s4->code_base, flat);
    return rc;
}

// ---- Merging --------------------------------------------------------------

const char *current(const S4SPOOL *sp)
{
    return sp->ptr + sp->pos;
}

// Fills the run's window with its next bytes: exactly what the run still
// owes, up to the window's size.
int spool_load(SORT4 *s4, S4SPOOL *sp)
{
    long run_end = (long)(sp->spool_i + 1) * s4->spool_disk_len;
    if (run_end > s4->spill_len)
        run_end = s4->spill_len;
    long owed = run_end - sp->disk;
    if (owed <= 0)
        return file4read_error(&s4->file);
    unsigned want = owed < (long)s4->spool_mem_len ? (unsigned)owed : s4->spool_mem_len;
    int rc = file4read_all(&s4->file, sp->disk, sp->ptr, want);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    sp->disk += want;
    if (sp->disk >= run_end)
        sp->disk = -1;
    sp->pos = 0;
    sp->len = want;
    return 0;
}

// A run that has not been loaded yet comes before every other (the first
// sort4get loads it), a run that is used up after every other.
int run_state(const S4SPOOL *sp)
{
    if (sp->pos < sp->len)
        return 0;
    return sp->disk < 0 ? 1 : sp->len == 0 ? -1 : 0;
}

// The first key bytes of the run's current entry, for the default order;
// 0 for a caller's order, whose comparison then decides every match.
void spool_prefix(const SORT4 *s4, S4SPOOL *sp)
{
    sp->prefix = s4->cmp == std::memcmp && sp->pos < sp->len ? prefix_of(current(sp), s4->sort_len) : 0;
}

// Whether run a's current entry comes before run b's.
template <class Order>
inline bool run_before(const Order &o, const S4SPOOL *a, const S4SPOOL *b)
{
    int sa = run_state(a), sb = run_state(b);
    if (sa != 0 || sb != 0)
        return sa < sb;
    if (a->prefix != b->prefix)
        return a->prefix < b->prefix;
    return after(o, current(b), current(a));
}

// Moves the winning run one entry on and plays its matches again on the
// way up; the tournament's new winner goes to the front.
template <class Order>
int spool_next(SORT4 *s4, const Order &o)
{
    S4SPOOL **tree = s4->spool_pointer;
    S4SPOOL *sp = tree[0];
    sp->pos += s4->tot_len;
    if (sp->pos >= sp->len) {
        if (sp->disk < 0) {
            sp->pos = sp->len;
            s4->spools_n--;
        } else {
            int rc = spool_load(s4, sp);
            if (rc != 0)
                return rc;
        }
    }
    spool_prefix(s4, sp);
    for (unsigned x = (s4->spools_max + sp->spool_i) / 2; x >= 1; x /= 2)
        if (run_before(o, tree[x], sp))
            std::swap(tree[x], sp);
    tree[0] = sp;
    return 0;
}

int spool_advance(SORT4 *s4)
{
    if (s4->cmp == std::memcmp)
        return spool_next(s4, BytesOrder{s4->sort_len});
    return spool_next(s4, CallOrder{s4->cmp, s4->sort_len});
}

// The first tournament: run i stands at leaf runs + i of a tree whose node
// x has children 2x and 2x + 1; each node keeps the loser of its match and
// hands the winner up.
template <class Order>
int tournament(SORT4 *s4, const Order &o)
{
    size_t runs = s4->spools_max;
    S4SPOOL **winner = static_cast<S4SPOOL **>(u4alloc((long)(2 * runs * sizeof(S4SPOOL *))));
    if (winner == nullptr)
        return e4memory;
    for (size_t i = 0; i < runs; i++)
        winner[runs + i] = &s4->spools[i];
    for (size_t x = runs - 1; x >= 1; x--) {
        S4SPOOL *a = winner[2 * x], *b = winner[2 * x + 1];
        if (run_before(o, b, a))
            std::swap(a, b);
        winner[x] = a;
        s4->spool_pointer[x] = b;
    }
    s4->spool_pointer[0] = winner[1];
    u4free(winner);
    return 0;
}

int add_unit(SORT4 *s4)
{
    void *unit = mem4work_alloc(s4->code_base, s4->unit_len);
    if (unit == nullptr)
        return -1;
    l4add(&s4->pool, unit);
    s4->pool_n++;
    return 0;
}

// Shares the memory units out as one read window per run and loads every
// run but the last, which the first sort4get loads.
int merge_init(SORT4 *s4)
{
    size_t runs = s4->spools_max;
    s4->spools = static_cast<S4SPOOL *>(u4alloc((long)(runs * sizeof(S4SPOOL))));
    s4->spool_pointer = static_cast<S4SPOOL **>(u4alloc((long)(runs * sizeof(S4SPOOL *))));
    if (s4->spools == nullptr || s4->spool_pointer == nullptr)
        return e4memory;
    // Every unit came from the filling; with none (all slots lived in the
    // pointer array) units of fewer entries are tried.
    while (s4->pool_n == 0 && add_unit(s4) != 0) {
        s4->pool_entries /= 2;
        if (s4->pool_entries == 0)
            return e4memory;
        s4->unit_len = (unsigned)(kLink + (size_t)s4->pool_entries * s4->tot_len);
    }
    // Every run needs a window of at least one entry: more units are asked
    // for when the runs outnumber the entries the units hold.
    size_t needed = (runs + s4->pool_entries - 1) / s4->pool_entries;
    while (s4->pool_n < needed)
        if (add_unit(s4) != 0)
            return e4memory;
    unsigned per_unit = (unsigned)((runs + s4->pool_n - 1) / s4->pool_n);
    unsigned entries = s4->pool_entries / per_unit;
    s4->spool_mem_len = entries * s4->tot_len;

    char *unit = static_cast<char *>(l4first(&s4->pool));
    unsigned in_unit = 0;
    for (unsigned i = 0; i < s4->spools_max; i++) {
        if (in_unit == per_unit) {
            unit = static_cast<char *>(l4next(&s4->pool, unit));
            in_unit = 0;
        }
        S4SPOOL *sp = &s4->spools[i];
        sp->ptr = unit + kLink + (size_t)in_unit++ * s4->spool_mem_len;
        sp->pos = 0;
        sp->len = 0;
        sp->disk = (long)i * s4->spool_disk_len;
        sp->spool_i = i;
        s4->spools_n++;
        if (i + 1 < s4->spools_max) {
            int rc = spool_load(s4, sp);
            if (rc != 0)
                return rc;
            spool_prefix(s4, sp);
        }
    }
    if (s4->cmp == std::memcmp)
        return tournament(s4, BytesOrder{s4->sort_len});
    return tournament(s4, CallOrder{s4->cmp, s4->sort_len});
}

} // namespace

// ---- Interface ------------------------------------------------------------

int sort4init(SORT4 *s4, CODE4 *c4, int sort_len, int info_len)
{
    if (s4 == nullptr)
        return -1;
    std::memset(s4, 0, sizeof *s4);
    s4->file.hand = -1;
    s4->code_base = c4;
    if (c4 == nullptr || c4->error_code < 0)
        return -1;
    if (sort_len < 0 || info_len < 0 || (int64_t)sort_len + kRecLen + info_len > INT32_MAX)
        return e4describe(c4, e4parm, "Sorting", "Entry length", nullptr);
    s4->sort_len = (unsigned)sort_len;
    s4->info_offset = s4->sort_len + kRecLen;
    s4->info_len = (unsigned)info_len;
    s4->tot_len = s4->info_offset + s4->info_len;
    s4->cmp = std::memcmp;
    s4->is_mem_avail = 1;

    // A unit always holds at least one entry, and the pointer array at
    // least one slot, however small the pool setting: the sort then runs
    // slowly instead of never making room.
    uint64_t pool = c4->mem_size_sort_pool;
    uint64_t area = pool > SORT4_UNIT_LINK ? pool - SORT4_UNIT_LINK : 0;
    s4->pool_entries = area / s4->tot_len > 0 ? (unsigned)(area / s4->tot_len) : 1;
    s4->pointers_max = pool / 4 > 0 ? (unsigned)(pool / 4) : 1;

    uint64_t unit_size = kLink + (uint64_t)s4->pool_entries * s4->tot_len;
    s4->seqwrite_buffer = static_cast<char *>(mem4work_alloc(c4, c4->mem_size_sort_buffer));
    for (;;) {
        size_t bytes = (size_t)s4->pointers_max * sizeof(char *);
        s4->pointers = static_cast<char **>(mem4work_alloc(c4, bytes));
        if (s4->pointers != nullptr || s4->pointers_max / 2 < SORT4_MIN_POINTERS)
            break;
        s4->pointers_max /= 2;
    }
    if (s4->pointers != nullptr)
        s4->keyed = static_cast<S4KEYED *>(mem4work_alloc(c4, (size_t)s4->pointers_max * sizeof(S4KEYED)));
    if (unit_size <= UINT32_MAX)
        s4->unit_len = (unsigned)unit_size;
    if (s4->seqwrite_buffer == nullptr || s4->pointers == nullptr || s4->unit_len == 0)
        return out_of_memory(s4);
    s4->status = SORT4_FILLING;
    return 0;
}

void sort4expect(SORT4 *s4, unsigned long n)
{
    if (s4 == nullptr || s4->status != SORT4_FILLING || s4->flat != nullptr || s4->pointers_used > 0 ||
        s4->spools_max > 0)
        return;
    const unsigned words = flat_words(s4->tot_len);
    if (words == 0 || s4->cmp != std::memcmp || s4->code_base->mem_size_sort_pool < SORT4_HOLD_MIN_POOL ||
        n == 0 || n > SORT4_HOLD_BUDGET / (4 * words))
        return;
    s4->flat = static_cast<char *>(mem4work_alloc(s4->code_base, (size_t)n * 4 * words));
    s4->flat_n = 0;
    s4->flat_max = s4->flat != nullptr ? n : 0;
    s4->flat_slot = 4 * words;
}

namespace {

// sort4put of any entry but one more of those kept where they stand.
[[gnu::noinline]] int put_next(SORT4 *s4, long rec, const void *key, const void *info)
{
    if (s4->status != SORT4_FILLING)
        return refuse(s4, 0);
    if (s4->flat != nullptr) {
        int rc = unflatten(s4);
        if (rc != 0)
            return rc;
    }
    if (s4->pointers_used == s4->pointers_init) {
        if (s4->pointers_used < s4->pointers_max && s4->is_mem_avail)
            add_memory(s4);
        if (s4->pointers_init == 0)
            return out_of_memory(s4);
        if (s4->pointers_used == s4->pointers_init && !hold(s4)) {
            int rc = spill(s4);
            if (rc != 0)
                return fail(s4, rc);
        }
    }
    put_entry(s4, s4->pointers[s4->pointers_used++], rec, key, info);
    return 0;
}

} // namespace

int sort4put(SORT4 *s4, long rec, const void *key, const void *info)
{
    if (s4 == nullptr)
        return -1;
    if (s4->flat != nullptr && s4->status == SORT4_FILLING && s4->flat_n < s4->flat_max) {
        put_entry(s4, s4->flat + s4->flat_n++ * s4->flat_slot, rec, key, info);
        return 0;
    }
    return put_next(s4, rec, key, info);
}

int sort4get_init(SORT4 *s4)
{
    if (s4 == nullptr)
        return -1;
    if (s4->status != SORT4_FILLING)
        return refuse(s4, 0);
    if (s4->flat != nullptr && s4->cmp != std::memcmp) {
        int rc = unflatten(s4);
        if (rc != 0)
            return rc;
    }
    if (s4->flat != nullptr) {
        flat_sort_by<2>(s4->flat, s4->flat_n, s4->flat_slot / 4, s4->sort_len);
        mem4work_free(s4->code_base, s4->seqwrite_buffer);
        s4->seqwrite_buffer = nullptr;
        s4->pointers_i = 0;
        s4->status = SORT4_READING;
        return 0;
    }
    if (s4->spools_max == 0 || (s4->held_n > 0 && sort_held(s4))) {
        if (s4->keyed_n == 0)
            sort_slots(s4, s4->pointers, s4->pointers_used);
        mem4work_free(s4->code_base, s4->seqwrite_buffer);
        s4->seqwrite_buffer = nullptr;
        s4->pointers_i = 0;
        s4->status = SORT4_READING;
        return 0;
    }
    int rc = write_held(s4);
    if (rc == 0 && s4->pointers_used > 0)
        rc = spill(s4);
    if (rc == 0)
        rc = file4seq_write_flush(&s4->seqwrite);
    if (rc != 0)
        return fail(s4, rc < 0 ? rc : -1);
    mem4work_free(s4->code_base, s4->seqwrite_buffer);
    s4->seqwrite_buffer = nullptr;
    mem4work_free(s4->code_base, s4->pointers);
    s4->pointers = nullptr;
    mem4work_free(s4->code_base, s4->keyed);
    s4->keyed = nullptr;
    rc = merge_init(s4);
    if (rc == e4memory)
        return out_of_memory(s4);
    if (rc != 0)
        return fail(s4, rc);
    s4->status = SORT4_READING;
    return 0;
}

namespace {

// sort4get of any entry but the next of those kept where they stand.
[[gnu::noinline]] int get_next(SORT4 *s4, long *rec, char **key, char **info)
{
    if (s4->status != SORT4_READING)
        return refuse(s4, 1);
    const char *e;
    if (s4->flat != nullptr) {
        e = nullptr;
    } else if (s4->keyed_n > 0) {
        // Entries handed out in order lie anywhere in the units: the ones a
        // few calls ahead are fetched while this one is used.
        if (s4->pointers_i + kAhead < s4->keyed_n)
            __builtin_prefetch(s4->keyed[s4->pointers_i + kAhead].entry);
        e = s4->pointers_i < s4->keyed_n ? s4->keyed[s4->pointers_i++].entry : nullptr;
    } else if (s4->spools_max == 0) {
        e = s4->pointers_i < s4->pointers_used ? s4->pointers[s4->pointers_i++] : nullptr;
    } else {
        int rc = spool_advance(s4);
        if (rc != 0)
            return fail(s4, rc);
        e = run_state(s4->spool_pointer[0]) == 0 ? current(s4->spool_pointer[0]) : nullptr;
    }
    if (e == nullptr) {
        release(s4);
        s4->status = SORT4_DONE;
        return 1;
    }
    if (rec != nullptr)
        *rec = rec_of(e, s4->sort_len);
    if (key != nullptr)
        *key = const_cast<char *>(e);
    if (info != nullptr)
        *info = const_cast<char *>(e) + s4->info_offset;
    return 0;
}

} // namespace

int sort4get(SORT4 *s4, long *rec, char **key, char **info)
{
    if (s4 == nullptr)
        return -1;
    // Entries kept where they stand, while any is left: the next slot.
    if (s4->flat != nullptr && s4->status == SORT4_READING && s4->pointers_i < s4->flat_n) {
        char *e = s4->flat + (size_t)s4->pointers_i++ * s4->flat_slot;
        if (rec != nullptr)
            *rec = rec_of(e, s4->sort_len);
        if (key != nullptr)
            *key = e;
        if (info != nullptr)
            *info = e + s4->info_offset;
        return 0;
    }
    return get_next(s4, rec, key, info);
}

int sort4free(SORT4 *s4)
{
    if (s4 == nullptr)
        return 0;
    int rc = release(s4);
    s4->status = SORT4_CLEAR;
    return rc;
}

void s4quick(char **pointers, unsigned n, S4CMP cmp, unsigned sort_len)
{
    if (cmp == std::memcmp) {
        BytesOrder o{sort_len};
        quick(pointers, n, [&o](const char *a, const char *b) { return after(o, a, b); });
    } else {
        CallOrder o{cmp, sort_len};
        quick(pointers, n, [&o](const char *a, const char *b) { return after(o, a, b); });
    }
}

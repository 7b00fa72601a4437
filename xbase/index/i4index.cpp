// Compound index files: opening (the tag directory and the tags it
// lists), block allocation and the free list, the version counter,
// write-back and closing, tag lookup; each tag's own header is read in
// t4open.cpp. Layouts and the invariants kept are in i4index.h.
#include "xbase/index/i4index.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "util/byteorder.h"
#include "xbase/c4conv.h"
#include "xbase/date4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/file4.h"
#include "xbase/index/b4block.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/u4util.h"

// A data file's, index file's or tag's name in the form tags are compared
// in: at most 10 characters, trailing blanks removed, upper case.
void i4tag_name(char *out, const char *name)
{
    size_t n = 0;
    while (name != nullptr && n < I4_DIR_KEY_LEN && name[n] != '\0')
        n++;
    if (n > 0)
        std::memcpy(out, name, n);
    while (n > 0 && out[n - 1] == ' ')
        n--;
    out[n] = '\0';
    c4upper(out);
}

namespace {

// Gives back everything a tag holds and the tag itself.
int tag_release(TAG4 *t4)
{
    int rc = t4free_all(t4);
    expr4free(t4->expr);
    expr4free(t4->filter);
    mem4free(t4->code_base->tag_memory, t4);
    return rc;
}

TAG4 *tag_alloc(CODE4 *c4)
{
    TAG4 *t4 = (TAG4 *)mem4create_alloc(c4, &c4->tag_memory, (int)c4->mem_start_tag, sizeof(TAG4),
                                        c4->mem_expand_tag, 0);
    if (t4 == nullptr)
        e4(c4, e4memory, "i4open()");
    else
        t4->code_base = c4;
    return t4;
}

// Closes what an open or a close has of the index; the first failure is
// the result, but everything is released.
int index_release(INDEX4 *i4)
{
    CODE4 *c4 = i4->code_base;
    int rc = 0;
    for (TAG4 *t4 = (TAG4 *)l4pop(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4pop(&i4->tags)) {
        if (t4 == i4->tag_index)
            i4->tag_index = nullptr;
        int r = tag_release(t4);
        if (r != 0 && rc == 0)
            rc = r;
    }
    if (i4->tag_index != nullptr) {
        int r = tag_release(i4->tag_index);
        if (r != 0 && rc == 0)
            rc = r;
        i4->tag_index = nullptr;
    }
    i4cache_release(i4);
    mem4release(i4->block_memory);
    i4->block_memory = nullptr;
    DATA4 *d4 = i4->data;
    if (d4 != nullptr && l4seek(&d4->indexes, i4)) {
        if (d4->indexes.selected == i4)
            d4->indexes.selected = nullptr;
        l4remove(&d4->indexes, i4);
    }
    if (file4open_test(&i4->file)) {
        int r = file4close(&i4->file);
        if (r != 0 && rc == 0)
            rc = r;
    }
    mem4free(c4->index_memory, i4);
    return rc;
}

// Keys of the tag directory as they are collected: the name and the header
// offset it stands for.
struct DirEntry {
    std::string name;
    long offset;
};

int collect_dir_entry(void *ctx, const B4KEY_DATA *entry)
{
    auto *entries = static_cast<std::vector<DirEntry> *>(ctx);
    if (entry == nullptr) {
        entries->clear();
        return 0;
    }
    entries->push_back({std::string((const char *)entry->value, I4_DIR_KEY_LEN), entry->num});
    return 0;
}

// Opens the tag whose header is at `offset` and adds it to the index's
// list: 0, or a failure (a header that is a directory's is damage).
int add_tag(INDEX4 *i4, long offset, const char *name)
{
    TAG4 *t4 = tag_alloc(i4->code_base);
    if (t4 == nullptr)
        return e4memory;
    int rc = t4init(t4, i4, offset, name);
    if (rc == 0 && t4->header.type_code >= I4_TYPE_DIRECTORY)
        rc = i4corrupt(i4, -1);
    if (rc != 0) {
        tag_release(t4);
        return rc < 0 ? rc : -1;
    }
    l4add(&i4->tags, t4);
    return 0;
}

// Reads the directory's entries and opens a tag for each, in header-offset
// order, so that a rebuild writing header i at 1024 * i keeps every tag at
// its place.
int open_directory_tags(INDEX4 *i4)
{
    std::vector<DirEntry> entries;
    int rc = i4tag_walk(i4->tag_index, collect_dir_entry, &entries);
    if (rc != 0)
        return rc < 0 ? rc : i4corrupt(i4, -1);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const DirEntry &a, const DirEntry &b) { return a.offset < b.offset; });
    for (size_t k = 0; k < entries.size(); k++) {
        long off = entries[k].offset;
        if (off < I4_FIRST_BLOCK || off % B4_BLOCK_SIZE != 0 ||
            (k > 0 && entries[k - 1].offset == off))
            return i4corrupt(i4, -1);
    }
    for (const DirEntry &e : entries)
        if ((rc = add_tag(i4, e.offset, e.name.c_str())) != 0)
            return rc;
    return 0;
}

int walk_once(TAG4 *t4, B4BLOCK *a, B4BLOCK *b, int (*visit)(void *, const B4KEY_DATA *), void *ctx)
{
    INDEX4 *i4 = t4->index;
    long pos = t4root(t4);
    if (pos <= 0)
        return pos < 0 ? (int)pos : 1;
    B4BLOCK *parent = nullptr, *cur = a;
    int rc = i4read_block(&i4->file, pos, nullptr, cur);
    for (int depth = 0; rc == 0 && !b4leaf(cur); depth++) {
        if (depth >= I4_MAX_DEPTH)
            return i4corrupt(i4, cur->file_block);
        if (cur->header.n_keys == 0)
            return 1;
        b4top(cur);
        long child = b4child(cur, 0);
        parent = cur;
        cur = cur == a ? b : a;
        rc = i4read_block(&i4->file, child, parent, cur);
    }
    if (rc != 0)
        return rc;
    long max_blocks = i4->eof / B4_BLOCK_SIZE;
    for (long steps = 0;; steps++) {
        if (steps > max_blocks)
            return i4corrupt(i4, cur->file_block);
        for (int i = 0; i < cur->header.n_keys; i++) {
            B4KEY_DATA *k = b4key(cur, i);
            if (k == nullptr)
                return i4corrupt(i4, cur->file_block);
            int r = visit(ctx, k);
            if (r != 0)
                return r;
        }
        long next = cur->header.right_node;
        if (next == -1)
            return 0;
        long here = cur->file_block;
        rc = i4read_block(&i4->file, next, nullptr, cur);
        if (rc != 0)
            return rc;
        // A neighbour that does not link back belongs to another version
        // of the tree.
        if (!b4leaf(cur) || cur->header.left_node != here)
            return 1;
    }
}

// The free list's head changed: the header must reach the file, and other
// processes must learn of the change.
int free_list_set(INDEX4 *i4, long head)
{
    T4HEADER &h = i4->tag_index->header;
    if (h.free_list == head)
        return 0;
    int rc = i4version_step(i4);
    if (rc != 0)
        return rc;
    h.free_list = head;
    i4->head_changed = 1;
    return 0;
}

// The tags a rebuild that stopped part way noted in the header (F3 of
// i4flight.cpp), opened from their headers: 0, or -310 when there is no
// such note or it does not hold.
int noted_tags(INDEX4 *i4)
{
    unsigned char note[I4_OFF_DESCENDING];
    int rc = file4read_all(&i4->file, 0, note, sizeof note);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    unsigned n = util_getLe16(note + I4_OFF_TAGS_N);
    if (util_getLe32(note + I4_OFF_TAGS) != I4_TAGS_MAGIC || n > I4_MAX_TAG_NOTES)
        return i4corrupt(i4, -1);
    for (unsigned k = 0; k < n; k++) {
        const unsigned char *at = note + I4_OFF_TAGS_LIST + k * I4_TAG_NOTE_LEN;
        long off = (long)util_getLe32(at + I4_DIR_KEY_LEN);
        if (off < I4_FIRST_BLOCK || off % B4_BLOCK_SIZE != 0)
            return i4corrupt(i4, -1);
        rc = add_tag(i4, off, std::string((const char *)at, I4_DIR_KEY_LEN).c_str());
        if (rc != 0)
            return rc;
    }
    return 0;
}

// Reads the directory's header and the tags into the index: 0; the marks
// of the header (a rebuild's or a pack's: nothing read; a change's alone:
// the tags read); or the first failure.
int read_tags(INDEX4 *i4)
{
    unsigned char head[I4_HEAD_LEN];
    int marks = i4head_read(i4, head);
    if (marks > 0 && i4->file_locked)
        marks &= ~I4_MARK_CHANGE; // this phase's own: the lock mended the rest
    if (marks < 0 || (marks & ~I4_MARK_CHANGE) != 0)
        return marks;
    int rc = i4tags_load(i4);
    return rc != 0 ? rc : marks;
}

} // namespace

int i4tags_load(INDEX4 *i4)
{
    TAG4 *dir = i4->tag_index;
    int rc = t4init(dir, i4, 0, "");
    if (rc == 0 && dir->header.root < 0)
        rc = i4corrupt(i4, -1);
    if (rc != 0)
        return rc;
    i4->version_old = dir->header.version;
    if (dir->header.type_code >= I4_TYPE_COMPOUND)
        return dir->header.root > 0 ? open_directory_tags(i4) : noted_tags(i4);
    // A single-tag file's one tag is named after the file.
    char file_piece[I4_DIR_KEY_LEN + 1];
    u4name_piece(file_piece, sizeof file_piece, i4->file.name, 0, 0);
    i4tag_name(dir->alias, file_piece);
    l4add(&i4->tags, dir);
    return 0;
}

// Gives back what read_tags read, but the directory's record.
void i4forget_tags(INDEX4 *i4)
{
    TAG4 *dir = i4->tag_index;
    for (TAG4 *t4 = (TAG4 *)l4pop(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4pop(&i4->tags))
        if (t4 != dir)
            tag_release(t4);
    expr4free(dir->expr);
    expr4free(dir->filter);
    dir->expr = dir->filter = nullptr;
}

namespace {

// Reads the tags. Without the lock another process may rebuild the index
// while they are read (S3, S4 of i4lock.cpp): a reading that meets a mark
// or fails is made again under the lock, which mends what a process that
// stopped part way left; there a failure is the file's, and the report of
// the first reading goes. A file open exclusively is mended at once.
int open_tags(INDEX4 *i4, I4RETRY *r)
{
    int before = 0;
    e4getErrorInfo(&before, nullptr, 0);
    int rc = read_tags(i4);
    if (rc == I4_MARK_CHANGE)
        return i4flight_check(i4);
    if (rc == 0 || rc == e4memory)
        return rc;
    bool exclusive = i4lock_test(i4) == 1;
    if (exclusive && rc < 0)
        return rc;
    unsigned char head[I4_HEAD_LEN];
    i4forget_tags(i4);
    if (exclusive && (rc = i4head_read(i4, head)) > 0)
        rc = i4mend(i4, head, rc);
    else if (!exclusive)
        rc = i4retry(i4, r, 1);
    if (rc == 0)
        rc = read_tags(i4);
    if (rc > 0) // marks that the mending did not take away
        rc = i4corrupt(i4, -1);
    if (rc == 0 && before == 0)
        e4clearErrorState();
    return rc;
}

} // namespace

// ---- Opening, writing back, closing ----------------------------------------

static INDEX4 *i4open_work(DATA4 *d4, const char *name);
INDEX4 *i4open(DATA4 *d4, const char *name)
{
    return e4guard(d4 == nullptr ? nullptr : d4->code_base, nullptr, [&] { return i4open_work(d4, name); });
}

static INDEX4 *i4open_work(DATA4 *d4, const char *name)
{
    if (d4 == nullptr || d4->code_base == nullptr || d4->code_base->error_code < 0)
        return nullptr;
    CODE4 *c4 = d4->code_base;
    std::vector<char> file_name;
    INDEX4 *i4 = i4alloc(d4, name, &file_name, "i4open()");
    if (i4 == nullptr)
        return nullptr;
    int rc = file_name.empty() ? -1 : file4open(&i4->file, c4, file_name.data(), 1);
    if (rc > 0 && name == nullptr) {
        // The table's header promised this index: even with open_error off
        // the caller must learn which file is missing.
        e4describe(c4, e4open, "File Name:", file_name.data(), nullptr);
    }
    if (rc != 0) {
        index_release(i4);
        return nullptr;
    }
    l4add(&d4->indexes, i4);
    i4->eof = file4len(&i4->file);

    TAG4 *dir = tag_alloc(c4);
    if (dir == nullptr) {
        index_release(i4);
        return nullptr;
    }
    i4->tag_index = dir;
    dir->index = i4;
    dir->code_base = c4;
    rc = i4->eof < 0 ? -1 : 0;
    if (rc == 0) {
        i4->block_memory = mem4create(c4, (int)c4->mem_start_block, sizeof(B4BLOCK),
                                      c4->mem_expand_block, 0);
        void *probe = mem4alloc2(i4->block_memory, c4);
        if (probe == nullptr)
            rc = e4(c4, e4memory, "i4open()");
        mem4free(i4->block_memory, probe);
    }
    I4RETRY retry{};
    if (rc == 0)
        rc = open_tags(i4, &retry);
    rc = i4retry_end(i4, &retry, rc);
    if (rc != 0) {
        index_release(i4);
        return nullptr;
    }
    return i4;
}

static int i4close_work(INDEX4 *i4);
int i4close(INDEX4 *i4)
{
    return e4guard(i4 == nullptr ? nullptr : i4->code_base, e4memory, [&] { return i4close_work(i4); });
}

static int i4close_work(INDEX4 *i4)
{
    if (i4 == nullptr)
        return -1;
    CODE4 *c4 = i4->code_base;
    int saved_attempts = c4->lock_attempts;
    c4->lock_attempts = -1;
    // The table's changed record was written back by its closing (d4close)
    // before any of its indexes closes.
    int rc = i4update(i4);
    int r = i4unlock(i4);
    if (r != 0 && rc == 0)
        rc = r;
    r = index_release(i4);
    if (r != 0 && rc == 0)
        rc = r;
    c4->lock_attempts = saved_attempts;
    return rc;
}

int i4flush(INDEX4 *i4)
{
    if (i4 == nullptr)
        return -1;
    int rc = i4update(i4);
    int r = file4flush(&i4->file);
    return rc != 0 ? rc : r;
}

int i4update(INDEX4 *i4)
{
    if (i4 == nullptr)
        return -1;
    if (i4lock_test(i4) != 1)
        return 0;
    // The records the trees name, and the count, reach the data file first
    // (A11 of d4record.cpp).
    int behind = i4->data != nullptr ? d4write_behind(i4->data) : 0;
    int rc = i4write_blocks(i4);
    // F1: a file open exclusively ends its phase with each write-back,
    // unless a block, or the records it names, could not be written (F2).
    if (i4->file.is_exclusive && !i4->failed && behind == 0)
        i4->flight = i4->changed = 0;
    // The header last: another process that sees the new version finds
    // the blocks it describes already written.
    int r = i4update_header(i4);
    return rc != 0 ? rc : behind != 0 ? -1 : r;
}

int i4write_blocks(INDEX4 *i4)
{
    // The roots in memory stay: they are what this process wrote, and a
    // change by another process moves the version, which drops them.
    int rc = 0;
    // Walked in place, not copied: writing back must not need memory.
    for (TAG4 *t4 = i4tag_next(i4, nullptr); t4 != nullptr; t4 = i4tag_next(i4, t4)) {
        int r = t4update(t4);
        if (r != 0 && rc == 0)
            rc = r;
    }
    if (rc != 0)
        i4flight_fail(i4); // F2
    return rc;
}

int i4update_header(INDEX4 *i4)
{
    if (i4 == nullptr || i4->tag_index == nullptr)
        return -1;
    T4HEADER &h = i4->tag_index->header;
    if ((h.version & 0xFFFFFFFFUL) == i4->version_old && !i4->head_changed && i4->flight == i4->flight_disk)
        return 0;
    // The free list, the version and the change mark (with the bytes
    // between as the file has them): the root is written with the
    // directory's blocks, and the in-memory root may be unknown (-1).
    unsigned char buf[I4_OFF_PACK - I4_OFF_FREE_LIST];
    util_putLe32(buf, (uint32_t)h.free_list);
    util_putBe32(buf + 4, (uint32_t)h.version);
    util_putLe16(buf + I4_OFF_KEY_LEN - I4_OFF_FREE_LIST, (uint16_t)h.key_len);
    buf[I4_OFF_TYPE - I4_OFF_FREE_LIST] = h.type_code;
    buf[I4_OFF_SIGNATURE - I4_OFF_FREE_LIST] = h.signature;
    unsigned char mark[I4_HEAD_LEN] = {0};
    i4flight_image(i4, mark, 0);
    std::memcpy(buf + I4_OFF_FLIGHT - I4_OFF_FREE_LIST, mark + I4_OFF_FLIGHT, I4_OFF_PACK - I4_OFF_FLIGHT);
    int rc = file4write(&i4->file, I4_OFF_FREE_LIST, buf, sizeof buf);
    if (rc == 0) {
        i4->version_old = h.version & 0xFFFFFFFFUL;
        i4->head_changed = 0;
        i4->flight_disk = i4->flight;
    } else {
        // The bytes may have reached the file all the same.
        i4flight_mark(i4);
    }
    return rc;
}

int i4version_check(INDEX4 *i4, int do_unlock, int)
{
    if (i4 == nullptr || i4->tag_index == nullptr)
        return -1;
    if (i4lock_test(i4) == 1)
        return 0;
    CODE4 *c4 = i4->code_base;
    unsigned char head[I4_HEAD_LEN];
    int rc = i4head_read(i4, head);
    if (rc == I4_MARK_CHANGE) {
        // Its writer at work, or gone: then the lock mends the file (S4).
        rc = i4flight_check(i4);
        if (rc == 0 && (rc = i4head_read(i4, head)) > 0)
            rc &= ~I4_MARK_CHANGE;
    }
    if (rc < 0)
        return rc;
    if (rc == 0 && util_getBe32(head + I4_OFF_VERSION) == i4->version_old)
        return 0;

    // The selected tag of the table keeps its place across the drop.
    TAG4 *keep = nullptr;
    bool keep_eof = false;
    B4KEY_DATA *saved = reinterpret_cast<B4KEY_DATA *>(c4->saved_key);
    if (do_unlock && i4->data != nullptr) {
        // The table's selected tag, when it is one of this index.
        TAG4 *sel = i4->data->indexes.selected == i4 ? (TAG4 *)i4->tags.selected : nullptr;
        B4BLOCK *cur = sel != nullptr ? t4block(sel) : nullptr;
        if (cur != nullptr && b4leaf(cur) && cur->header.n_keys > 0) {
            keep = sel;
            keep_eof = t4eof(sel) != 0;
            if (!keep_eof) {
                B4KEY_DATA *k = t4key_data(sel);
                if (k == nullptr)
                    keep = nullptr;
                else
                    std::memcpy(saved, k, sizeof *saved);
            }
        }
    }
    if (rc == 0) {
        // Another process changed the index: nothing cached of it is
        // current, not even the root pointers. What is read from now on
        // belongs to the stored version.
        i4head_take(i4, head);
    } else {
        // Being rebuilt: wait for it as for the lock, which brings the
        // cache up to date when it is granted.
        I4RETRY retry{};
        rc = i4retry_end(i4, &retry, i4retry(i4, &retry, 1));
        if (rc != 0)
            return rc;
    }
    if (keep != nullptr) {
        int r = keep_eof ? t4go_eof(keep) : t4go(keep, (const char *)saved->value, saved->num);
        if (r < 0)
            return r;
    }
    return 0;
}

int i4is_production(INDEX4 *i4)
{
    if (i4 == nullptr || i4->data == nullptr || !i4->data->has_mdx || i4->file.name == nullptr)
        return 0;
    // The index's final name piece equals the table's, whatever its length
    // (the alias is cut to 10 characters and may have been renamed).
    std::vector<char> a(std::strlen(i4->file.name) + 1), b(std::strlen(i4->data->file.name) + 1);
    u4name_piece(a.data(), (int)a.size(), i4->file.name, 0, 0);
    u4name_piece(b.data(), (int)b.size(), i4->data->file.name, 0, 0);
    return std::strcmp(a.data(), b.data()) == 0 ? 1 : 0;
}

TAG4 *i4tag(INDEX4 *i4, const char *name)
{
    if (i4 == nullptr || name == nullptr)
        return nullptr;
    char wanted[I4_DIR_KEY_LEN + 1];
    i4tag_name(wanted, name);
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4))
        if (std::strcmp(t4->alias, wanted) == 0)
            return t4;
    if (i4->code_base->tag_name_error)
        e4describe(i4->code_base, e4tag_name, name, nullptr, nullptr);
    return nullptr;
}

TAG4 *i4tag_next(INDEX4 *i4, TAG4 *t4)
{
    if (i4 == nullptr)
        return nullptr;
    bool dir_apart = i4->tag_index != nullptr && i4->tag_index->header.type_code >= I4_TYPE_COMPOUND;
    if (t4 == nullptr && dir_apart)
        return i4->tag_index;
    if (t4 == i4->tag_index && dir_apart)
        t4 = nullptr;
    return (TAG4 *)l4next(&i4->tags, t4);
}

// ---- Blocks of the file -------------------------------------------------------

int i4valid_block(INDEX4 *i4, long pos, long self)
{
    if (pos < I4_FIRST_BLOCK || pos % B4_BLOCK_SIZE != 0 || pos == self)
        return 0;
    if (pos + B4_BLOCK_SIZE <= i4->eof)
        return 1;
    // Unlocked, the file may have grown under another process since its
    // length was taken; locked, eof already covers everything.
    if (i4lock_test(i4) == 1)
        return 0;
    long len = file4len(&i4->file);
    if (len > i4->eof)
        i4->eof = len;
    return pos + B4_BLOCK_SIZE <= i4->eof ? 1 : 0;
}

int i4corrupt(INDEX4 *i4, long block)
{
    char where[24] = "";
    if (block != -1)
        std::snprintf(where, sizeof where, "%ld", block);
    return e4describe(i4->code_base, e4index, i4->file.name, block != -1 ? "Block:" : nullptr,
                      block != -1 ? where : nullptr);
}

long i4extend(INDEX4 *i4)
{
    if (i4 == nullptr || i4->tag_index == nullptr)
        return -1;
    long head = i4->tag_index->header.free_list;
    if (i4valid_block(i4, head, -1)) {
        unsigned char buf[4];
        if (file4read(&i4->file, head, buf, sizeof buf) == sizeof buf) {
            long next = (long)(int32_t)util_getLe32(buf);
            int rc = free_list_set(i4, i4valid_block(i4, next, head) ? next : 0);
            return rc != 0 ? rc : head;
        }
    }
    int rc = free_list_set(i4, 0);
    if (rc != 0)
        return rc;
    long pos = (i4->eof + B4_BLOCK_SIZE - 1) / B4_BLOCK_SIZE * B4_BLOCK_SIZE;
    if (pos < I4_FIRST_BLOCK)
        pos = I4_FIRST_BLOCK;
    if (pos + B4_BLOCK_SIZE > I4_LOCK_BYTE)
        return e4describe(i4->code_base, e4write, "File Name:", i4->file.name,
                          "Index would pass the addressable size of the file");
    i4->eof = pos + B4_BLOCK_SIZE;
    return pos;
}

int i4shrink(INDEX4 *i4, long pos)
{
    if (i4 == nullptr || i4->tag_index == nullptr || !i4valid_block(i4, pos, -1))
        return -1;
    T4HEADER &h = i4->tag_index->header;
    // The whole block is written: one taken from the end of the file and
    // freed before it was ever written must still lie inside the file.
    unsigned char buf[B4_BLOCK_SIZE] = {0};
    util_putLe32(buf, (uint32_t)h.free_list);
    int rc = file4write(&i4->file, pos, buf, sizeof buf);
    if (rc == 0)
        rc = free_list_set(i4, pos);
    if (rc != 0)
        return rc;
    // No buffer may write the block back over the free-list link or over
    // the block's next owner.
    i4cache_forget(i4, pos);
    return 0;
}

int i4read_block(FILE4 *file, long pos, B4BLOCK *parent, B4BLOCK *b4)
{
    TAG4 *t4 = b4->tag;
    INDEX4 *i4 = t4->index;
    CODE4 *c4 = t4->code_base;
    b4->file_block = -1;
    b4->changed = 0;
    // Without the lock, whatever does not check may be a block being
    // written or given back, or one of a file a rebuild has cut: out of
    // date, never damage (S3 of i4lock.cpp).
    bool locked = i4lock_test(i4) == 1;
    if (!i4valid_block(i4, pos, -1))
        return locked ? i4corrupt(i4, pos) : 1;
    long got = file4read_count(file, pos, b4->image, B4_BLOCK_SIZE);
    if (got < 0)
        return (int)got;
    if (got < B4_BLOCK_SIZE)
        return locked ? file4read_error(file) : 1;
    b4->file_block = pos;
    int rc = locked ? b4verify(b4) : b4check(b4);
    if (rc != 0)
        return locked ? rc : 1;
    if (!c4->do_index_verify)
        return 0;
    int n = b4->header.n_keys;
    if (n == 0 && pos != t4->header.root)
        return 1;
    if (parent != nullptr && n > 0 && b4recno(b4, n - 1) != b4recno(parent, parent->key_on)) {
        // Locked, nobody else can have changed the file.
        if (locked)
            return e4describe(c4, e4index, i4->file.name, "Corrupt index file", nullptr);
        return 1;
    }
    return 0;
}

int i4tag_walk(TAG4 *t4, int (*visit)(void *ctx, const B4KEY_DATA *entry), void *ctx)
{
    if (t4 == nullptr || visit == nullptr || t4->code_base->error_code < 0)
        return -1;
    // The walk reads the file: what this process changed must be there.
    if (i4lock_test(t4->index) == 1 && t4update(t4) != 0)
        return -1;
    B4BLOCK *a = b4alloc(t4, -1);
    B4BLOCK *b = a == nullptr ? nullptr : b4alloc(t4, -1);
    if (b == nullptr) {
        if (a != nullptr)
            b4free(a);
        return e4memory;
    }
    INDEX4 *i4 = t4->index;
    I4RETRY retry{};
    int rc = walk_once(t4, a, b, visit, ctx);
    while (rc == 1) {
        if (i4lock_test(i4) == 1) {
            rc = i4corrupt(i4, -1);
            break;
        }
        visit(ctx, nullptr);
        rc = i4retry(i4, &retry, 0);
        if (rc == 0)
            rc = walk_once(t4, a, b, visit, ctx);
    }
    b4free(a);
    b4free(b);
    return i4retry_end(i4, &retry, rc);
}

// ---- Tags of a data file ------------------------------------------------------

TAG4 *i4tag_alloc(CODE4 *c4)
{
    return tag_alloc(c4);
}

INDEX4 *i4alloc(DATA4 *d4, const char *name, std::vector<char> *file_name, const char *where)
{
    CODE4 *c4 = d4->code_base;
    INDEX4 *i4 = (INDEX4 *)mem4create_alloc(c4, &c4->index_memory, (int)c4->mem_start_index,
                                            sizeof(INDEX4), c4->mem_expand_index, 0);
    if (i4 == nullptr) {
        e4(c4, e4memory, where);
        return nullptr;
    }
    i4->data = d4;
    i4->code_base = c4;
    i4->file.hand = -1;
    const char *from = name != nullptr ? name : d4->file.name;
    file_name->assign(std::strlen(from) + 8, '\0');
    std::memcpy(file_name->data(), from, std::strlen(from));
    int rc = 0;
    char ext[2];
    if (name == nullptr)
        // The production index sits beside the data file, its extension in
        // the case of the data file's.
        rc = u4name_companion(file_name->data(), (int)file_name->size(), from, "CDX");
    else if (u4name_ret_ext(ext, 1, name) == 0)
        // A name given with its extension is used exactly as given.
        rc = u4name_ext(file_name->data(), (int)file_name->size(), "CDX", 0);
    if (rc != 0)
        file_name->clear();
    return i4;
}

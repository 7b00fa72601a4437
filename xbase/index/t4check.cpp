// The tree checker: reads every tree of an index level by level, and its
// free list, and names the first block that breaks a rule of the format
// (the rules are listed at i4check in t4tag.h); a caller may look at each
// tree's leaf entries, in order, as they are checked. It reads the file
// only and changes nothing but the last-error slot, so that a checking
// tool can run it over any index.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "util/byteorder.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/index/b4block.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"

namespace {

// A block to visit on the next level: its position and, below a branch,
// the (key, record number) the parent's entry says is its greatest.
struct Child {
    long pos;
    bool has_parent;
    std::string key;
    unsigned long rec;
};

// What a check has found so far; the public T4CHECK is this record.
typedef T4CHECK Checker;

int found(Checker &ck, long block, const char *fmt, ...)
{
    if (ck.problem != nullptr) {
        ck.problem->block = block;
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(ck.problem->text, sizeof ck.problem->text, fmt, ap);
        va_end(ap);
    }
    return 1;
}

// Marks block `pos` as used; 1 (with the problem) when it already was.
int use(Checker &ck, long pos, const char *what)
{
    if (!ck.used.insert(pos).second)
        return found(ck, pos, "%s: block %ld is used twice", what, pos);
    return 0;
}

int entry_order(const unsigned char *a, unsigned long ra, const std::string &b, unsigned long rb, int len)
{
    int c = std::memcmp(a, b.data(), (size_t)len);
    if (c != 0)
        return c;
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

// Bytes read ahead at once when blocks are read in file order.
const long kAhead = 64 * B4_BLOCK_SIZE;

// Reads block `pos` (inside the file). A level written by a rebuild lies in
// ascending file order, so a read of the block after the one read last
// fills the read-ahead window from there; others read the block alone.
int read_block(Checker &ck, long pos, unsigned char *image)
{
    if (pos < ck.ahead_pos || pos + B4_BLOCK_SIZE > ck.ahead_pos + ck.ahead_len) {
        long len = pos == ck.last_read + B4_BLOCK_SIZE ? std::min(kAhead, ck.file_len - pos) : (long)B4_BLOCK_SIZE;
        ck.ahead.resize((size_t)kAhead);
        ck.ahead_len = 0;
        int rc = file4read_all(&ck.i4->file, pos, ck.ahead.data(), (unsigned)len);
        if (rc != 0)
            return rc < 0 ? rc : -1;
        ck.ahead_pos = pos;
        ck.ahead_len = len;
    }
    std::memcpy(image, ck.ahead.data() + (pos - ck.ahead_pos), B4_BLOCK_SIZE);
    ck.last_read = pos;
    return 0;
}

// Reads block `pos` of `t4` into `b` and checks its format. 0, 1 a
// problem, negative when the file could not be read.
int read_checked(Checker &ck, TAG4 *t4, long pos, B4BLOCK *b)
{
    if (pos < I4_FIRST_BLOCK || pos % B4_BLOCK_SIZE != 0 || pos + B4_BLOCK_SIZE > ck.file_len)
        return found(ck, pos, "tag %s: block pointer %ld lies outside the file's blocks", t4->alias, pos);
    b->file_block = pos;
    int rc = read_block(ck, pos, b->image);
    if (rc != 0)
        return rc;
    if (b4verify(b) != 0)
        return found(ck, pos, "tag %s: block %ld breaks the block format", t4->alias, pos);
    return 0;
}

// One level of a tree, left to right: every block once, links, order, and
// the parent entries' greatest keys. Fills `next` with the level below.
int check_level(Checker &ck, TAG4 *t4, B4BLOCK *b, const std::vector<Child> &level, int depth,
                std::vector<Child> &next)
{
    int kl = t4->header.key_len;
    long prev_pos = -1, prev_right = -1;
    bool have_prev = false, level_leaf = false;
    std::string prev_key;
    unsigned long prev_rec = 0;
    for (size_t idx = 0; idx < level.size(); idx++) {
        const Child &c = level[idx];
        if (use(ck, c.pos, t4->alias))
            return 1;
        int rc = read_checked(ck, t4, c.pos, b);
        if (rc != 0)
            return rc;
        const B4STD_HEADER &h = b->header;
        bool leaf = b4leaf(b) != 0;
        bool root_attr = h.node_attribute == B4_ATTR_ROOT_BRANCH || h.node_attribute == B4_ATTR_ROOT_LEAF;
        if (root_attr != (depth == 0))
            return found(ck, c.pos, "tag %s: block %ld has attribute %d at depth %d", t4->alias, c.pos,
                             h.node_attribute, depth);
        if (idx == 0)
            level_leaf = leaf;
        else if (leaf != level_leaf)
            return found(ck, c.pos, "tag %s: block %ld mixes leaves and branches on one level", t4->alias,
                             c.pos);
        if (h.n_keys == 0 && !(depth == 0 && leaf))
            return found(ck, c.pos, "tag %s: block %ld is empty", t4->alias, c.pos);
        if (h.left_node != prev_pos)
            return found(ck, c.pos, "tag %s: block %ld links left to %ld, not to %ld", t4->alias, c.pos,
                             h.left_node, prev_pos);
        if (idx > 0 && prev_right != c.pos)
            return found(ck, prev_pos, "tag %s: block %ld links right to %ld, not to %ld", t4->alias,
                             prev_pos, prev_right, c.pos);
        for (int i = 0; i < h.n_keys; i++) {
            B4KEY_DATA *k = b4key(b, i);
            if (k == nullptr)
                return found(ck, c.pos, "tag %s: entry %d of block %ld cannot be rebuilt", t4->alias, i,
                                 c.pos);
            unsigned long rec = (unsigned long)b4recno(b, i);
            if (have_prev && entry_order(k->value, rec, prev_key, prev_rec, kl) <= 0)
                return found(ck, c.pos, "tag %s: entry %d of block %ld does not ascend", t4->alias, i,
                                 c.pos);
            have_prev = true;
            prev_key.assign((const char *)k->value, (size_t)kl);
            prev_rec = rec;
            if (!leaf)
                next.push_back({k->num, true, prev_key, rec});
            else if (ck.visit != nullptr && (rc = ck.visit(ck.ctx, k, c.pos)) != 0)
                return rc;
        }
        if (c.has_parent && (h.n_keys == 0 || entry_order((const unsigned char *)c.key.data(), c.rec,
                                                           prev_key, prev_rec, kl) != 0))
            return found(ck, c.pos, "tag %s: the parent's entry for block %ld is not its greatest entry",
                             t4->alias, c.pos);
        prev_pos = c.pos;
        prev_right = h.right_node;
    }
    if (prev_right != -1)
        return found(ck, prev_pos, "tag %s: the last block %ld of a level links right to %ld", t4->alias,
                          prev_pos, prev_right);
    return 0;
}

int check_tree(Checker &ck, TAG4 *t4)
{
    unsigned char buf[4];
    int rc = file4read_all(&ck.i4->file, t4->header_offset + I4_OFF_ROOT, buf, sizeof buf);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    long root = (long)(int32_t)util_getLe32(buf);
    B4BLOCK *b = b4alloc(t4, -1);
    if (b == nullptr)
        return e4memory;
    std::vector<Child> level{{root, false, std::string(), 0}}, next;
    rc = 0;
    for (int depth = 0; rc == 0 && !level.empty(); depth++) {
        if (depth >= I4_MAX_DEPTH) {
            rc = found(ck, level[0].pos, "tag %s: deeper than %d levels", t4->alias, I4_MAX_DEPTH);
            break;
        }
        next.clear();
        rc = check_level(ck, t4, b, level, depth, next);
        level.swap(next);
    }
    b4free(b);
    return rc;
}

// The free list: inside the file, no cycle, no block that a tree uses.
int check_free_list(Checker &ck)
{
    unsigned char buf[4];
    int rc = file4read_all(&ck.i4->file, I4_OFF_FREE_LIST, buf, sizeof buf);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    long pos = (long)(int32_t)util_getLe32(buf);
    for (long n = 0; pos != 0 && pos != -1; n++) {
        if (pos < I4_FIRST_BLOCK || pos % B4_BLOCK_SIZE != 0 || pos + B4_BLOCK_SIZE > ck.file_len)
            return found(ck, pos, "free list: block pointer %ld lies outside the file's blocks", pos);
        if (ck.used.count(pos) != 0)
            return found(ck, pos, "free list: block %ld is %s", pos,
                             n > 0 ? "in use or listed twice" : "in use");
        ck.used.insert(pos);
        rc = file4read_all(&ck.i4->file, pos, buf, sizeof buf);
        if (rc != 0)
            return rc < 0 ? rc : -1;
        pos = (long)(int32_t)util_getLe32(buf);
    }
    return 0;
}

// Writes back what this process changed, so that the file is what is
// checked; and takes the file's length.
int prepare(Checker &ck)
{
    if (i4lock_test(ck.i4) == 1) {
        int rc = i4update(ck.i4);
        if (rc != 0)
            return rc;
    }
    ck.file_len = file4len(&ck.i4->file);
    ck.ahead_len = 0;
    ck.last_read = -1;
    if (ck.file_len > 0)
        ck.used.reserve((size_t)(ck.file_len / B4_BLOCK_SIZE));
    if (ck.problem != nullptr) {
        ck.problem->block = -1;
        ck.problem->text[0] = '\0';
    }
    return ck.file_len < 0 ? -1 : 0;
}

void use_header(Checker &ck, long offset)
{
    ck.used.insert(offset);
    ck.used.insert(offset + B4_BLOCK_SIZE);
}

} // namespace

int t4check_start(T4CHECK *ck, INDEX4 *i4, T4PROBLEM *problem)
{
    if (ck == nullptr || i4 == nullptr || i4->tag_index == nullptr)
        return -1;
    ck->i4 = i4;
    ck->problem = problem;
    ck->used.clear();
    int rc = prepare(*ck);
    if (rc != 0)
        return rc;
    for (TAG4 *t4 = i4tag_next(i4, nullptr); t4 != nullptr; t4 = i4tag_next(i4, t4))
        use_header(*ck, t4->header_offset);
    return 0;
}

int t4check_tree(T4CHECK *ck, TAG4 *t4)
{
    if (ck == nullptr || t4 == nullptr || t4->index != ck->i4)
        return -1;
    return check_tree(*ck, t4);
}

int t4check_free_list(T4CHECK *ck) { return ck == nullptr ? -1 : check_free_list(*ck); }

int t4check(TAG4 *t4, T4PROBLEM *problem)
{
    if (t4 == nullptr)
        return -1;
    Checker ck{};
    ck.i4 = t4->index;
    ck.problem = problem;
    int rc = prepare(ck);
    if (rc != 0)
        return rc;
    use_header(ck, t4->header_offset);
    return check_tree(ck, t4);
}

static int i4check_work(INDEX4 *i4, T4PROBLEM *problem);
int i4check(INDEX4 *i4, T4PROBLEM *problem)
{
    return e4guard(i4 == nullptr ? nullptr : i4->code_base, e4memory, [&] { return i4check_work(i4, problem); });
}

static int i4check_work(INDEX4 *i4, T4PROBLEM *problem)
{
    Checker ck{};
    int rc = t4check_start(&ck, i4, problem);
    for (TAG4 *t4 = rc == 0 ? i4tag_next(i4, nullptr) : nullptr; t4 != nullptr; t4 = i4tag_next(i4, t4)) {
        rc = check_tree(ck, t4);
        if (rc != 0)
            return rc;
    }
    return rc != 0 ? rc : check_free_list(ck);
}

// Helpers shared by the index tests: a bare index file with one tag of any
// key length for building blocks in memory, leaf contents as (key, record)
// pairs, and a sample table copied into a fresh directory.
#ifndef CATALOGR_TESTS_INDEXTEST_H
#define CATALOGR_TESTS_INDEXTEST_H

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tests/xbase/d4test.h"
#include "xbase/file4.h"
#include "xbase/index/b4block.h"
#include "xbase/index/i4index.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"

namespace indextest {

typedef std::vector<std::pair<std::string, long>> Entries;

// An index file with a directory header and one tag, not tied to a table:
// blocks of the tag are built in memory and written to the file.
struct Rig {
    d4test::Engine e;
    INDEX4 i4{};
    TAG4 dir{};
    TAG4 tag{};
    std::vector<B4BLOCK *> copies; // buffers that read a block back, outside the tag's lists

    Rig(int key_len, char pad)
    {
        i4.code_base = &e.c4;
        i4.file.hand = -1;
        if (file4create(&i4.file, &e.c4, e.path("RIG.CDX").c_str(), 1) != 0) {
            ADD_FAILURE() << "cannot create the index file";
            return;
        }
        std::string header(I4_HEADER_LEN, '\0');
        file4write(&i4.file, 0, header.data(), (unsigned)header.size());
        i4.eof = I4_HEADER_LEN;
        i4.file_locked = 1;
        i4.tag_index = &dir;
        i4.block_memory = mem4create(&e.c4, 8, sizeof(B4BLOCK), 8, 0);
        for (TAG4 *t : {&dir, &tag}) {
            t->index = &i4;
            t->code_base = &e.c4;
            t->header.root = -1;
        }
        dir.header.type_code = I4_TYPE_DIRECTORY | I4_TYPE_COMPOUND | I4_TYPE_COMPACT;
        dir.header.key_len = I4_DIR_KEY_LEN;
        tag.header.type_code = I4_TYPE_COMPOUND | I4_TYPE_COMPACT;
        tag.header.key_len = (short)key_len;
        tag.p_char = pad;
    }

    ~Rig()
    {
        t4free_all(&tag);
        for (B4BLOCK *b : copies)
            b4free(b);
        i4cache_release(&i4);
        mem4release(i4.block_memory);
        file4close(&i4.file);
    }

    // A new empty leaf (or branch) of the tag, listed in its saved buffers.
    B4BLOCK *block(bool leaf, long max_rec = 1)
    {
        B4BLOCK *b = b4alloc(&tag, i4extend(&i4));
        b->header.node_attribute = leaf ? B4_ATTR_LEAF : B4_ATTR_BRANCH;
        b->header.left_node = b->header.right_node = -1;
        if (leaf)
            b4leaf_init(b, max_rec);
        b->changed = 1;
        i4cache_save(&tag, b);
        return b;
    }

    // A block as the file holds it after writing `b`: the result of reading
    // and checking it, and the buffer.
    int reread(B4BLOCK *b, B4BLOCK **out)
    {
        b->changed = 1;
        if (b4flush(b) != 0)
            return -1;
        *out = b4alloc(&tag, -1);
        copies.push_back(*out);
        tag.header.root = b->file_block;
        return i4read_block(&i4.file, b->file_block, nullptr, *out);
    }
};

// Every entry of a block: key bytes and record number (child in a branch).
inline Entries entries(B4BLOCK *b)
{
    Entries out;
    int kl = b->tag->header.key_len;
    for (int i = 0; i < b->header.n_keys; i++) {
        B4KEY_DATA *k = b4key(b, i);
        if (k == nullptr) {
            ADD_FAILURE() << "entry " << i << " cannot be rebuilt";
            break;
        }
        out.emplace_back(std::string((const char *)k->value, (size_t)kl), k->num);
    }
    return out;
}

// The tests/data/samples table `base` with its index (and memo file)
// copied into `dir`; "" when the samples are absent.
inline std::string copySample(const testutil::TempDir &dir, const std::string &base)
{
    std::string from = testutil::dataDir() + "/samples";
    if (!testutil::fileExists(from + "/" + base + ".cdx"))
        return "";
    for (const char *ext : {".dbf", ".cdx", ".fpt"})
        if (testutil::fileExists(from + "/" + base + ext))
            testutil::copyFile(from + "/" + base + ext, dir.file(base + ext));
    return dir.file(base + ".dbf");
}

// Every entry of a tag in stored order, or the walk's failure.
struct Walked {
    int rc = 0;
    size_t key_len = 0;
    Entries keys;
};

inline Walked walk(TAG4 *t4)
{
    Walked w;
    w.key_len = (size_t)t4->header.key_len;
    auto visit = [](void *ctx, const B4KEY_DATA *k) -> int {
        Walked *out = static_cast<Walked *>(ctx);
        if (k == nullptr)
            out->keys.clear();
        else
            out->keys.emplace_back(std::string((const char *)k->value, out->key_len), k->num);
        return 0;
    };
    w.rc = i4tag_walk(t4, visit, &w);
    return w;
}

// One tag of a table made for a test.
struct TagDef {
    std::string name, expression, filter; // filter "" for none
    bool unique = false;                  // under the default policy
    bool descending = false;
};

// The tag definitions as the engine takes them (pointing into `tags`),
// ended by a null name.
inline std::vector<TAG4INFO> tagInfo(CODE4 *c4, const std::vector<TagDef> &tags)
{
    std::vector<TAG4INFO> info;
    for (const TagDef &t : tags)
        info.push_back({t.name.c_str(), t.expression.c_str(), t.filter.empty() ? nullptr : t.filter.c_str(),
                        t.unique ? c4->default_unique_error : 0, t.descending ? 1u : 0u});
    info.push_back({nullptr, nullptr, nullptr, 0, 0});
    return info;
}

// A table `base` in e's directory with `fields` and a production index of
// `tags`, created empty; the path of its data file, "" after a failure.
inline std::string makeTable(d4test::Engine &e, const std::string &base, const FIELD4INFO *fields,
                             const std::vector<TagDef> &tags)
{
    std::vector<TAG4INFO> info = tagInfo(&e.c4, tags);
    DATA4 *d = d4create(&e.c4, e.path(base).c_str(), fields, info.data());
    if (d == nullptr) {
        ADD_FAILURE() << "cannot create " << base << ": " << d4test::lastError();
        return "";
    }
    std::string path = d->file.name;
    d4close(d);
    return path;
}

// Every entry of a tag in its own order (backward: from its bottom), as
// positioning and skipping reach them.
inline Entries walkOrder(TAG4 *t4, bool forward, size_t limit = 1000000)
{
    Entries out;
    int rc = forward ? t4top(t4) : t4bottom(t4);
    if (rc != 0) {
        ADD_FAILURE() << "cannot position tag " << t4->alias << ": " << d4test::lastError();
        return out;
    }
    size_t kl = (size_t)t4->header.key_len;
    while (!t4eof(t4) && out.size() <= limit) {
        out.emplace_back(std::string((const char *)t4key(t4), kl), t4recno(t4));
        if (t4dskip(t4, forward ? 1 : -1) == 0)
            break;
    }
    return out;
}

// The first problem the tree checker finds in the table's indexes, or "".
inline std::string checkIndexes(DATA4 *d)
{
    for (INDEX4 *i4 = (INDEX4 *)l4first(&d->indexes); i4 != nullptr;
         i4 = (INDEX4 *)l4next(&d->indexes, i4)) {
        T4PROBLEM p{};
        int rc = i4check(i4, &p);
        if (rc < 0)
            return "the check could not read the index: " + d4test::lastError();
        if (rc != 0)
            return std::string(p.text) + " (block " + std::to_string(p.block) + ")";
    }
    return "";
}

} // namespace indextest

#endif

// What an index file says is under way, so that a process killed part way,
// or a change that failed part way, never leaves an index that reads as
// whole: the marks in the header at offset 0, and mending a file whose
// marks outlived their maker.
//
// The marks, in header bytes that other programs write as zero and never
// read (offsets in i4index.h):
//   16  I4_FLIGHT_MAGIC while a change of the trees is under way, and at 20
//       the record it is made for
//   24  I4_PACK_MAGIC while a pack moves the table's records (production
//       index only), and at 28 and 32 the slot it writes next and the slot
//       it reads next
//   36  I4_TAGS_MAGIC while a rebuild is under way (the header then names
//       no root), and at 40 the number of tags, from 42 each tag's name
//       (10 bytes, blank-padded) and header offset
//
// What the marks keep true:
//  F1. Before the first change of a locked phase reaches the file (in a
//      file open exclusively: the first since it was last written back),
//      the change mark does (i4flight_begin, from i4version_step). It goes
//      only with the header write that ends the phase, when every change
//      went through and the records the trees describe are on disk: the
//      lock let go (i4unlock; d4append and d4write hold it until their
//      record is written), or the write-back of a file open exclusively
//      (i4update). One place writes it, one takes it away, however the
//      blocks between are written.
//  F2. A change that did not go through leaves the mark: the lock is let
//      go with the phase's blocks dropped unwritten (i4flight_fail).
//  F3. A rebuild names no root, and lists its tags, from its first write
//      to its last, and writes every tag header before any tree block, so
//      that mending finds the tags without the directory (r4reindex.cpp).
//  F4. A pack notes in its production index, before each run of records it
//      moves, that slots before w hold the records packed so far and slots
//      from r on the records as they were; a run goes only into the slots
//      between (d4pack.cpp).
//  F5. Whoever holds the lock and finds a mark finds its maker gone (byte
//      locks end with their process): before anything else it finishes the
//      pack, rebuilds the index from the table and so takes every mark away
//      (i4mend). A process without the lock that finds a change marked takes
//      the lock if it is free (i4flight_check); one that finds a rebuild or
//      a pack marked waits for the lock (i4lock.cpp, S4). An index that
//      cannot be mended is -310 with its name, never read as whole.
#include "xbase/index/i4index.h"

#include <cstring>

#include "util/byteorder.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/index/r4reindex.h"
#include "xbase/l4list.h"

namespace {

bool is_compound(const INDEX4 *i4)
{
    return i4->tag_index->header.type_code >= I4_TYPE_COMPOUND;
}

// Rebuilds the index for mending: a unique tag keeps the first record of
// each key, whatever policy this process gave it, since the table may hold
// keys twice that the tag was never meant to.
int rebuild_keeping_first(INDEX4 *i4)
{
    std::vector<int> policies;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        policies.push_back(t4->unique_error);
        t4->unique_error = r4unique_continue;
    }
    int rc = r4rebuild(i4);
    size_t k = 0;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4))
        t4->unique_error = policies[k++];
    return rc;
}

} // namespace

int i4head_read(INDEX4 *i4, unsigned char *head)
{
    long got = file4read_count(&i4->file, 0, head, I4_HEAD_LEN);
    if (got < 0)
        return (int)got;
    if (got < I4_HEAD_LEN)
        return I4_MARK_REBUILD;
    int marks = util_getLe32(head + I4_OFF_ROOT) == 0 ? I4_MARK_REBUILD : 0;
    if (util_getLe32(head + I4_OFF_FLIGHT) == I4_FLIGHT_MAGIC)
        marks |= I4_MARK_CHANGE;
    if (util_getLe32(head + I4_OFF_PACK) == I4_PACK_MAGIC)
        marks |= I4_MARK_PACK;
    return marks;
}

namespace {

// Writes the change mark: 0, or the write's failure (the mark may or may
// not have reached the file).
int mark_write(INDEX4 *i4)
{
    unsigned char mark[I4_HEAD_LEN] = {0};
    int on = i4->flight;
    i4->flight = 1;
    i4flight_image(i4, mark, 0);
    i4->flight = on;
    int rc = file4write(&i4->file, I4_OFF_FLIGHT, mark + I4_OFF_FLIGHT, I4_OFF_PACK - I4_OFF_FLIGHT);
    if (rc == 0)
        i4->flight = i4->flight_disk = 1;
    return rc;
}

} // namespace

int i4flight_begin(INDEX4 *i4)
{
    if (i4->flight)
        return 0;
    i4->flight_rec = i4->data != nullptr ? i4->data->rec_num : 0;
    return mark_write(i4);
}

void i4flight_fail(INDEX4 *i4)
{
    if (i4 == nullptr)
        return;
    // The mark stays on the file, or reaches it with the next header write.
    i4->failed = 1;
    i4->flight = 1;
}

int i4flight_mark(INDEX4 *i4)
{
    i4flight_fail(i4);
    CODE4 *c4 = i4->code_base;
    int saved = e4set(c4, 0);
    int rc = mark_write(i4);
    e4set(c4, saved);
    return rc;
}

void i4flight_image(INDEX4 *i4, unsigned char *head, int rebuilding)
{
    if (i4->flight) {
        util_putLe32(head + I4_OFF_FLIGHT, I4_FLIGHT_MAGIC);
        util_putLe32(head + I4_OFF_FLIGHT_REC, (uint32_t)i4->flight_rec);
    }
    if (i4->pack_write > 0) {
        util_putLe32(head + I4_OFF_PACK, I4_PACK_MAGIC);
        util_putLe32(head + I4_OFF_PACK_WRITE, (uint32_t)i4->pack_write);
        util_putLe32(head + I4_OFF_PACK_READ, (uint32_t)i4->pack_read);
    }
    if (!rebuilding || !is_compound(i4) || i4->tags.n_link > I4_MAX_TAG_NOTES)
        return;
    // F3: a list too long for the header is not written, and such an index
    // cannot be mended without its directory.
    util_putLe32(head + I4_OFF_TAGS, I4_TAGS_MAGIC);
    util_putLe16(head + I4_OFF_TAGS_N, (uint16_t)i4->tags.n_link);
    unsigned char *at = head + I4_OFF_TAGS_LIST;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        std::memset(at, ' ', I4_DIR_KEY_LEN);
        std::memcpy(at, t4->alias, std::strlen(t4->alias));
        util_putLe32(at + I4_DIR_KEY_LEN, (uint32_t)t4->header_offset);
        at += I4_TAG_NOTE_LEN;
    }
}

int i4pack_note(INDEX4 *i4, long write, long read)
{
    i4->pack_write = write;
    i4->pack_read = read;
    if (write <= 0)
        return 0;
    unsigned char mark[I4_HEAD_LEN] = {0};
    i4flight_image(i4, mark, 0);
    return file4write(&i4->file, I4_OFF_PACK, mark + I4_OFF_PACK, I4_HEAD_LEN - I4_OFF_PACK);
}

int i4mend(INDEX4 *i4, const unsigned char *head, int marks)
{
    CODE4 *c4 = i4->code_base;
    const char *what = (marks & I4_MARK_PACK)      ? "A pack of the table stopped part way"
                       : (marks & I4_MARK_REBUILD) ? "The index was left part way through a rebuild"
                                                   : "The index was left part way through a change";
    if (i4->file.is_read_only || i4->data == nullptr || i4->tag_index == nullptr)
        return e4describe(c4, e4index, i4->file.name, what, nullptr);
    bool loaded = i4->tags.n_link > 0;
    int rc = loaded ? 0 : i4tags_load(i4);
    if (rc == 0 && (marks & I4_MARK_PACK)) {
        i4->pack_write = (long)util_getLe32(head + I4_OFF_PACK_WRITE);
        i4->pack_read = (long)util_getLe32(head + I4_OFF_PACK_READ);
        rc = d4pack_finish(i4->data, i4->pack_write, i4->pack_read);
        if (rc == 0)
            i4->pack_write = i4->pack_read = 0;
    }
    if (rc == 0)
        rc = rebuild_keeping_first(i4);
    if (!loaded)
        i4forget_tags(i4);
    if (rc == 0 || rc == r4locked)
        return rc;
    return e4describe(c4, e4index, i4->file.name, what, "and could not be mended");
}

int i4flight_check(INDEX4 *i4)
{
    // A file open read-only can neither tell whether the writer is at work
    // nor mend the file; its reads check blocks as ever.
    if (i4->file.is_read_only || i4->file_locked)
        return 0;
    if (i4->file.is_exclusive) {
        unsigned char head[I4_HEAD_LEN];
        int rc = i4head_read(i4, head);
        return rc > 0 ? i4mend(i4, head, rc) : rc;
    }
    CODE4 *c4 = i4->code_base;
    int attempts = c4->lock_attempts;
    c4->lock_attempts = 1;
    int rc = i4lock(i4);
    c4->lock_attempts = attempts;
    if (rc == r4locked)
        return 0;
    return rc != 0 ? rc : i4unlock(i4);
}

// Memo files and memo field caches: creating, opening and locking an FPT
// file, reading and storing entries in runs of blocks, and the per-field
// cache through which records read and change their memo texts.
//
// Invariants kept here:
//  1. New blocks are taken only under the memo file lock, from a header read
//     under that lock, and never below the end of the file, so no two
//     entries (of this or another process) share a block.
//  2. A rewrite in place never passes the old entry's blocks.
//  3. Every entry position and length read from the file is checked against
//     the file's length (64-bit arithmetic) before anything is allocated or
//     read; a reference past the end is an error, never another entry.
//  4. The file never grows past the 32-bit offsets of the format.
//  5. A rewrite in place never grows the file: only bytes already on disk
//     are overwritten, so a full disk cannot fail it half way
//     (memo4file_write).
//  6. A failed rewrite in place puts the old bytes back, and a text that
//     moves is written before anyone is told its new block number, so a
//     failed write leaves the old text readable under the old reference
//     (entry_rewrite, memo4file_write, f4memo_write).
#include "xbase/memo4.h"

#include <cstdint>
#include <cstring>

#include "util/byteorder.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/f4field.h"
#include "xbase/file4.h"
#include "xbase/mem4.h"

char f4memo_null_char[1] = {0};

namespace {

// The block size is a 16-bit unsigned number; the record keeps it in a short.
unsigned block_size_of(const MEMO4FILE *m4file)
{
    return (unsigned short)m4file->block_size;
}

// The first block that may hold an entry: the header owns the first 512
// bytes (with odd block sizes, the blocks that start before byte 512).
int64_t first_block_of(unsigned block_size)
{
    return block_size > MEMO4_FILE_START ? 1 : MEMO4_FILE_START / block_size;
}

CODE4 *code_of(MEMO4FILE *m4file)
{
    return m4file->file.code_base;
}

// Byte position of block `memo_id`, or -1 when it lies outside what the
// format can address.
int64_t block_pos(unsigned block_size, long memo_id)
{
    if (memo_id <= 0 || (int64_t)memo_id > MEMO4_FILE_MAX / (int64_t)block_size)
        return -1;
    return (int64_t)memo_id * block_size;
}

// Reads the length of the entry at block `memo_id`. Returns 0 with the
// length when a whole entry header and all its text lie inside the file,
// 1 when they do not (nothing reported), or -1 after a reported failure.
int entry_len_get(MEMO4FILE *m4file, long memo_id, uint32_t *num_chars)
{
    int64_t pos = block_pos(block_size_of(m4file), memo_id);
    // The blocks of the header are never an entry: a damaged reference to
    // one must not be read as text or rewritten over the header.
    if (pos < 0 || memo_id < first_block_of(block_size_of(m4file)))
        return 1;
    long file_len = file4len(&m4file->file);
    if (file_len < 0)
        return -1;
    if (pos + MEMO4_ENTRY_HEADER_LEN > (int64_t)file_len)
        return 1;
    unsigned char header[MEMO4_ENTRY_HEADER_LEN];
    long got = file4read_count(&m4file->file, (long)pos, header, sizeof header);
    if (got < 0)
        return -1;
    if (got != (long)sizeof header)
        return 1;
    uint32_t n = util_getBe32(header + MEMO4_ENTRY_OFF_LEN);
    if (pos + MEMO4_ENTRY_HEADER_LEN + (int64_t)n > (int64_t)file_len)
        return 1;
    *num_chars = n;
    return 0;
}

// Takes `blocks_needed` new blocks at the end of the file and returns the
// first of them in `*memo_id`. Runs under the memo file lock.
int blocks_take(MEMO4FILE *m4file, int64_t blocks_needed, long *memo_id)
{
    CODE4 *c4 = code_of(m4file);
    unsigned block_size = block_size_of(m4file);
    int was_locked = m4file->file_lock;
    int rc = memo4file_lock(m4file);
    if (rc != 0)
        return rc;

    unsigned char header[MEMO4_HEADER_LEN];
    long got = file4read_count(&m4file->file, 0, header, sizeof header);
    long file_len = 0;
    int64_t start = 0, next = 0;
    if (got < 0) {
        rc = -1;
        goto done;
    }
    if (got != (long)sizeof header) {
        rc = file4read_error(&m4file->file);
        goto done;
    }
    file_len = file4len(&m4file->file);
    if (file_len < 0) {
        rc = -1;
        goto done;
    }
    // A header that points below the header area or below data already in
    // the file would hand out blocks that are in use: go past both.
    start = util_getBe32(header + MEMO4_OFF_NEXT_BLOCK);
    if (start < first_block_of(block_size))
        start = first_block_of(block_size);
    if (start * block_size < (int64_t)file_len)
        start = ((int64_t)file_len + block_size - 1) / block_size;
    next = start + blocks_needed;
    if (next * block_size > MEMO4_FILE_MAX) {
        rc = e4describe(c4, e4write, "File Name:", m4file->file.name,
                        "Memo file would exceed 2147483647 bytes");
        goto done;
    }
    util_putBe32(header + MEMO4_OFF_NEXT_BLOCK, (uint32_t)next);
    if (file4write(&m4file->file, MEMO4_OFF_NEXT_BLOCK, header, 4) != 0) {
        rc = -1;
        goto done;
    }
    *memo_id = (long)start;

done:
    if (!was_locked) {
        int rc_unlock = memo4file_unlock(m4file);
        if (rc == 0 && rc_unlock != 0)
            rc = rc_unlock;
    }
    return rc;
}

// Rewrites the entry at `memo_id` in place with the new text, header and
// text in one write. The bytes it covers are read first and put back when
// the write fails, so a failed rewrite leaves the old text (6); what cannot
// be put back is reported.
int entry_rewrite(MEMO4FILE *m4file, long memo_id, const char *ptr, unsigned len)
{
    CODE4 *c4 = code_of(m4file);
    long pos = (long)block_pos(block_size_of(m4file), memo_id);
    unsigned total = MEMO4_ENTRY_HEADER_LEN + len;
    char *fresh = (char *)u4alloc_er(c4, (long)total * 2);
    if (fresh == nullptr)
        return e4memory;
    char *old = fresh + total;
    int rc = file4read_all(&m4file->file, pos, old, total);
    if (rc == 0) {
        util_putBe32((unsigned char *)fresh + MEMO4_ENTRY_OFF_TYPE, MEMO4_TYPE_TEXT);
        util_putBe32((unsigned char *)fresh + MEMO4_ENTRY_OFF_LEN, len);
        std::memcpy(fresh + MEMO4_ENTRY_HEADER_LEN, ptr, len);
        rc = file4write(&m4file->file, pos, fresh, total);
        if (rc != 0) {
            int saved = e4set(c4, 0);
            if (file4write(&m4file->file, pos, old, total) != 0)
                e4describe(c4, e4write, "File Name:", m4file->file.name,
                           "A memo text rewritten in place could not be restored");
            if (saved != 0)
                e4set(c4, saved);
            rc = -1;
        }
    }
    u4free(fresh);
    return rc;
}

F4MEMO *memo_of(FIELD4 *field)
{
    return field == nullptr ? nullptr : field->memo;
}

// Points `contents` at the text and terminates it; a cache without a
// buffer shows the shared empty text.
void contents_terminate(F4MEMO *memo)
{
    if (memo->len_max == 0 || memo->contents == nullptr || memo->contents == f4memo_null_char) {
        memo->contents = f4memo_null_char;
        memo->len = 0;
        return;
    }
    memo->contents[memo->len] = 0;
}

// The text for reading on demand, or null when it cannot be read.
F4MEMO *memo_current(FIELD4 *field)
{
    F4MEMO *memo = field->memo;
    if (memo->status == 1 && f4memo_read(field) != 0)
        return nullptr;
    return memo;
}

} // namespace

// ---- Memo file ------------------------------------------------------------

int memo4file_create(MEMO4FILE *m4file, CODE4 *c4, DATA4 *d4, const char *name)
{
    if (m4file == nullptr || c4 == nullptr || name == nullptr)
        return -1;
    std::memset(m4file, 0, sizeof *m4file);
    m4file->file.hand = -1;
    m4file->data = d4;
    unsigned block_size = c4->mem_size_memo;
    // The header holds the block size in 16 bits, and a size of 0 could
    // never hold an entry.
    if (block_size == 0 || block_size > 0xFFFF)
        return e4describe(c4, e4parm, "memo4file_create()", "Memo Block Size", nullptr);
    m4file->block_size = (short)block_size;

    unsigned char header[MEMO4_HEADER_LEN] = {0};
    util_putBe32(header + MEMO4_OFF_NEXT_BLOCK, (uint32_t)first_block_of(block_size));
    util_putBe16(header + MEMO4_OFF_BLOCK_SIZE, (uint16_t)block_size);

    if (file4create(&m4file->file, c4, name, 1) != 0)
        return -1;
    int rc = file4write(&m4file->file, 0, header, sizeof header);
    if (rc == 0)
        rc = file4len_set(&m4file->file, MEMO4_FILE_START);
    // Callers that see a failure do not close the file.
    if (rc != 0)
        file4close(&m4file->file);
    return rc;
}

int memo4file_open(MEMO4FILE *m4file, DATA4 *d4, const char *name)
{
    if (m4file == nullptr || d4 == nullptr || d4->code_base == nullptr || name == nullptr)
        return -1;
    CODE4 *c4 = d4->code_base;
    std::memset(m4file, 0, sizeof *m4file);
    m4file->file.hand = -1;
    m4file->data = d4;
    if (c4->error_code < 0)
        return -1;

    int rc = file4open(&m4file->file, c4, name, 1);
    if (rc > 0) {
        // The data file's header promised this memo file. Even with
        // open_error off the caller must learn which file is missing.
        return e4describe(c4, e4open, "File Name:", name, nullptr);
    }
    if (rc < 0)
        return rc;

    unsigned char header[MEMO4_HEADER_LEN];
    rc = file4read_all(&m4file->file, 0, header, sizeof header);
    if (rc != 0) {
        file4close(&m4file->file);
        return rc < 0 ? rc : -1;
    }
    unsigned block_size = util_getBe16(header + MEMO4_OFF_BLOCK_SIZE);
    if (block_size == 0) {
        rc = e4describe(c4, e4data, "File Name:", name, nullptr);
        file4close(&m4file->file);
        return rc;
    }
    m4file->block_size = (short)block_size;
    return 0;
}

int memo4file_lock(MEMO4FILE *m4file)
{
    if (m4file == nullptr)
        return -1;
    if (m4file->file_lock)
        return 0;
    if (m4file->file.hand < 0 || m4file->file.code_base == nullptr)
        return -1;
    CODE4 *c4 = m4file->file.code_base;
    // Block allocation must not fail for contention: wait for the lock.
    int old_attempts = c4->lock_attempts;
    c4->lock_attempts = -1;
    int rc = file4lock(&m4file->file, MEMO4_LOCK_BYTE, 1);
    c4->lock_attempts = old_attempts;
    if (rc == 0)
        m4file->file_lock = 1;
    return rc;
}

int memo4file_unlock(MEMO4FILE *m4file)
{
    if (m4file == nullptr || !m4file->file_lock)
        return 0;
    int rc = file4unlock(&m4file->file, MEMO4_LOCK_BYTE, 1);
    if (rc == 0)
        m4file->file_lock = 0;
    return rc;
}

int memo4file_read(MEMO4FILE *m4file, long memo_id, char **ptr_ptr, unsigned *len_ptr)
{
    return memo4file_read_part(m4file, memo_id, ptr_ptr, len_ptr, 0, ~0u);
}

int memo4file_read_part(MEMO4FILE *m4file, long memo_id, char **ptr_ptr, unsigned *len_ptr,
                        unsigned long offset, unsigned read_max)
{
    if (m4file == nullptr || ptr_ptr == nullptr || len_ptr == nullptr)
        return -1;
    if (memo_id <= 0) {
        *len_ptr = 0;
        return 0;
    }
    CODE4 *c4 = code_of(m4file);
    if (c4 == nullptr || m4file->file.hand < 0 || block_size_of(m4file) == 0)
        return -1;
    if (c4->error_code < 0)
        return -1;

    uint32_t num_chars = 0;
    int rc = entry_len_get(m4file, memo_id, &num_chars);
    if (rc < 0)
        return -1;
    if (rc > 0) {
        file4read_error(&m4file->file);
        return -1;
    }
    uint64_t avail = offset >= num_chars ? 0 : num_chars - offset;
    if (avail > read_max)
        avail = read_max;
    // The buffer needs one byte more for the terminator its owner adds.
    if (avail >= 0xFFFFFFFFu)
        return e4describe(c4, e4memory, "Memo Entry", m4file->file.name, nullptr);

    if (avail > 0 && (*len_ptr < avail || *ptr_ptr == nullptr)) {
        char *fresh = (char *)u4alloc_er(c4, (long)avail + 1);
        if (fresh == nullptr)
            return e4memory;
        if (*len_ptr > 0 && *ptr_ptr != nullptr)
            u4free(*ptr_ptr);
        *ptr_ptr = fresh;
    }
    *len_ptr = (unsigned)avail;
    if (avail == 0)
        return 0;
    int64_t pos = (int64_t)memo_id * block_size_of(m4file) + MEMO4_ENTRY_HEADER_LEN + offset;
    if (file4read_all(&m4file->file, (long)pos, *ptr_ptr, (unsigned)avail) != 0)
        return -1;
    return 0;
}

int memo4file_write(MEMO4FILE *m4file, long *memo_id_ptr, const char *ptr, unsigned ptr_len)
{
    if (m4file == nullptr || memo_id_ptr == nullptr)
        return -1;
    CODE4 *c4 = code_of(m4file);
    if (c4 == nullptr || c4->error_code < 0)
        return -1;
    if (ptr_len == 0) {
        // The old entry's blocks are abandoned; nothing is written.
        *memo_id_ptr = 0;
        return 0;
    }
    if (ptr == nullptr || m4file->file.hand < 0 || block_size_of(m4file) == 0)
        return -1;
    unsigned block_size = block_size_of(m4file);
    int64_t blocks_needed =
        ((int64_t)ptr_len + MEMO4_ENTRY_HEADER_LEN + block_size - 1) / block_size;

    // The old entry's room, in whole blocks of text without its header:
    // sometimes a text moves although it would still fit, but it never
    // passes the old entry's blocks (2). Nor does it pass the file's end: a
    // text that would grow the file goes to new blocks, so that a full disk
    // never costs the old text (5). An old entry that is not there in full
    // (a damaged reference) has no room, so the text goes to new blocks; a
    // read that fails is an error.
    int64_t capacity = 0;
    long memo_id = *memo_id_ptr;
    if (memo_id > 0) {
        uint32_t old_len = 0;
        int rc = entry_len_get(m4file, memo_id, &old_len);
        if (rc < 0)
            return -1;
        long file_len = rc == 0 ? file4len(&m4file->file) : 0;
        if (file_len < 0)
            return -1;
        int64_t end = block_pos(block_size, memo_id) + MEMO4_ENTRY_HEADER_LEN + ptr_len;
        if (rc == 0 && end <= (int64_t)file_len)
            capacity = ((int64_t)old_len + block_size - 1) / block_size;
    }

    if (memo_id > 0 && blocks_needed <= capacity) {
        int rc = entry_rewrite(m4file, memo_id, ptr, ptr_len);
        if (rc != 0)
            return rc;
        *memo_id_ptr = memo_id;
        return 0;
    }
    int rc = blocks_take(m4file, blocks_needed, &memo_id);
    if (rc != 0)
        return rc;
    if (memo4file_dump(m4file, memo_id, ptr, ptr_len) != 0)
        return -1;
    *memo_id_ptr = memo_id;
    return 0;
}

int memo4file_dump(MEMO4FILE *m4file, long memo_id, const char *ptr, unsigned len)
{
    if (m4file == nullptr || (ptr == nullptr && len > 0) || block_size_of(m4file) == 0)
        return -1;
    int64_t pos = block_pos(block_size_of(m4file), memo_id);
    if (pos < 0 || pos + MEMO4_ENTRY_HEADER_LEN + (int64_t)len > MEMO4_FILE_MAX)
        return -1;
    unsigned char header[MEMO4_ENTRY_HEADER_LEN];
    util_putBe32(header + MEMO4_ENTRY_OFF_TYPE, MEMO4_TYPE_TEXT);
    util_putBe32(header + MEMO4_ENTRY_OFF_LEN, len);
    if (file4write(&m4file->file, (long)pos, header, sizeof header) != 0)
        return -1;
    if (len > 0 &&
        file4write(&m4file->file, (long)(pos + MEMO4_ENTRY_HEADER_LEN), ptr, len) != 0)
        return -1;
    return 0;
}

// ---- Memo field caches ----------------------------------------------------

char *f4memo_ptr(FIELD4 *field)
{
    if (memo_of(field) == nullptr)
        return field == nullptr ? nullptr : f4ptr(field);
    F4MEMO *memo = memo_current(field);
    return memo == nullptr ? nullptr : memo->contents;
}

char *f4memo_str(FIELD4 *field)
{
    if (memo_of(field) == nullptr)
        return field == nullptr ? nullptr : f4str(field);
    F4MEMO *memo = memo_current(field);
    return memo == nullptr ? nullptr : memo->contents;
}

unsigned f4memo_len(FIELD4 *field)
{
    if (memo_of(field) == nullptr)
        return field == nullptr ? 0 : f4len(field);
    F4MEMO *memo = memo_current(field);
    return memo == nullptr ? 0 : memo->len;
}

unsigned f4memo_ncpy(FIELD4 *field, char *mem, unsigned len)
{
    if (memo_of(field) == nullptr)
        return field == nullptr ? 0 : f4ncpy(field, mem, len);
    if (len == 0 || mem == nullptr)
        return 0;
    CODE4 *c4 = field->data->code_base;
    if (c4->error_code < 0)
        return 0;
    c4->error_code = 0;
    F4MEMO *memo = memo_current(field);
    unsigned n = 0;
    if (memo != nullptr) {
        n = memo->len < len - 1 ? memo->len : len - 1;
        std::memcpy(mem, memo->contents, n);
    }
    mem[n] = 0;
    return n;
}

int f4memo_assign(FIELD4 *field, const char *text)
{
    if (text == nullptr)
        text = "";
    if (memo_of(field) == nullptr) {
        if (field == nullptr)
            return -1;
        f4assign(field, text);
        return 0;
    }
    return f4memo_assign_n(field, text, (unsigned)std::strlen(text));
}

int f4memo_assign_n(FIELD4 *field, const char *ptr, unsigned len)
{
    if (ptr == nullptr && len > 0)
        return -1;
    if (memo_of(field) == nullptr) {
        if (field == nullptr)
            return -1;
        f4assign_n(field, ptr, len);
        return 0;
    }
    int rc = f4memo_set_len(field, len);
    if (rc != 0)
        return rc;
    if (len > 0)
        std::memcpy(field->memo->contents, ptr, len);
    return 0;
}

int f4memo_set_len(FIELD4 *field, unsigned len)
{
    F4MEMO *memo = memo_of(field);
    if (memo == nullptr)
        return -1;
    CODE4 *c4 = field->data->code_base;
    if (memo->len_max < len) {
        if (len == ~0u)
            return e4describe(c4, e4memory, "Memo Entry", nullptr, nullptr);
        if (memo->len_max > 0)
            u4free(memo->contents);
        memo->contents = (char *)u4alloc_er(c4, (long)len + 1);
        if (memo->contents == nullptr) {
            memo->contents = f4memo_null_char;
            memo->len_max = 0;
            memo->len = 0;
            memo->status = 1;
            return e4memory;
        }
        memo->len_max = len;
    }
    memo->len = len;
    contents_terminate(memo);
    memo->status = 0;
    memo->is_changed = 1;
    field->data->record_changed = 1;
    return 0;
}

int f4memo_read(FIELD4 *field)
{
    F4MEMO *memo = memo_of(field);
    if (memo == nullptr)
        return -1;
    DATA4 *data = field->data;
    if (data->code_base->error_code < 0)
        return -1;
    memo->is_changed = 0;
    if (data->rec_num < 0) {
        memo->len = 0;
        contents_terminate(memo);
        memo->status = 0;
        return 0;
    }
    if (data->code_base->read_lock) {
        int rc = d4validate_memo_ids(data);
        if (rc != 0)
            return rc;
    }
    if (f4memo_read_low(field) != 0)
        return -1;
    memo->status = 0;
    return 0;
}

int f4memo_read_low(FIELD4 *field)
{
    F4MEMO *memo = memo_of(field);
    if (memo == nullptr)
        return -1;
    if (memo->contents == nullptr)
        memo->contents = f4memo_null_char;
    // The buffer is offered with its whole capacity; a read that needs more
    // replaces it and reports the new size through the length.
    unsigned len = memo->len_max;
    char *buf = memo->len_max > 0 ? memo->contents : nullptr;
    int rc = memo4file_read(&field->data->memo_file, f4long(field), &buf, &len);
    if (buf != nullptr && buf != memo->contents) {
        memo->contents = buf;
        memo->len_max = len;
    }
    memo->len = rc == 0 ? len : 0;
    contents_terminate(memo);
    return rc;
}

int f4memo_write(FIELD4 *field)
{
    F4MEMO *memo = memo_of(field);
    if (memo == nullptr)
        return -1;
    DATA4 *data = field->data;
    if (data->code_base->error_code < 0)
        return -1;
    int rc = d4validate_memo_ids(data);
    if (rc != 0)
        return rc;
    long old_id = f4long(field);
    long memo_id = old_id;
    rc = memo4file_write(&data->memo_file, &memo_id, memo->contents, memo->len);
    if (rc != 0)
        return rc;
    if (memo_id != old_id) {
        if (memo_id == 0)
            f4assign(field, " ");
        else
            f4assign_long(field, memo_id);
    }
    memo->is_changed = 0;
    return 0;
}

int f4memo_update(FIELD4 *field)
{
    if (field == nullptr || field->data == nullptr)
        return -1;
    if (field->data->code_base->error_code < 0)
        return -1;
    F4MEMO *memo = memo_of(field);
    if (memo != nullptr && memo->is_changed == 1)
        return f4memo_write(field);
    return 0;
}

void f4memo_reset(FIELD4 *field)
{
    F4MEMO *memo = memo_of(field);
    if (memo == nullptr)
        return;
    // The cache no longer belongs to the current record: a text assigned
    // and not written is abandoned, so that a later write of another record
    // cannot store it (or its emptied length) under that record's memo.
    memo->len = 0;
    memo->status = 1;
    memo->is_changed = 0;
}

void f4memo_free(FIELD4 *field)
{
    F4MEMO *memo = memo_of(field);
    if (memo == nullptr)
        return;
    if (memo->len_max > 0 && memo->contents != f4memo_null_char)
        u4free(memo->contents);
    memo->contents = f4memo_null_char;
    memo->len = 0;
    memo->len_max = 0;
    memo->status = 1;
    memo->is_changed = 0;
}

int f4memo_flush(FIELD4 *field)
{
    if (field == nullptr || field->data == nullptr)
        return -1;
    return d4flush(field->data);
}

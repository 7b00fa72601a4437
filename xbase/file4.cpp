// The file layer on the platform layer: open and create with the context's
// settings, positioned reads and writes within the formats' 32-bit offsets,
// write-behind at the end of a file open exclusively, length, commit,
// byte-range locks retried while the caller allows, work files, replacing a
// file's contents, and the sequential reader and writer.
//
// Write-behind keeps true:
//  B1. The file receives every byte in the order the caller wrote it: the
//      run only gathers writes that follow one another at the file's end,
//      and is written before any other write and before any read, length
//      or commit that its bytes could change (flush_before).
//  B2. A run that cannot be written leaves the file as it was before the
//      run began, and says so (`run_lost`): the caller never finds part of
//      a run on disk that it was told is missing (file4write_behind_flush).
//
// Pieces kept for reads keep true:
//  K1. A kept piece holds what the file holds there: every write through
//      this record drops the pieces it covers before it writes, every
//      length change and every putting back of a run drops them all
//      (drop_pieces), and a read first has the run written (B1).
#include "xbase/file4.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/mem4.h"
#include "xbase/u4util.h"

// The pieces kept for reads: slot i holds piece number held[i] - 1 (0:
// none), whose first len[i] bytes the file had (fewer only where it ended).
struct FILE4PIECES {
    long held[FILE4_PIECES];
    unsigned len[FILE4_PIECES];
    char *bytes; // FILE4_PIECES * FILE4_PIECE_LEN, touched only where used
};

namespace {

// A read may reach up to 2^31; a write must end at FILE4_MAX_END or before.
const int64_t kMaxReadEnd = (int64_t)1 << 31;
// Room for the name actually opened: the caller's name with its final
// component matched without case is never longer, but the platform may
// answer with a longer spelling of the directory part.
const size_t kResolvedExtra = 4097;
const int kTempTries = 100;
const unsigned kRepeatBlock = 512;
const unsigned kCopyStep = 2048;
const unsigned kCopyFallback = 100;

int pending(const FILE4 *f)
{
    return f->code_base != nullptr && f->code_base->error_code < 0;
}

const char *nameOf(const FILE4 *f)
{
    return f->name != nullptr ? f->name : "Unknown Name";
}

void clearRecord(FILE4 *file, CODE4 *c4)
{
    std::memset(file, 0, sizeof *file);
    file->code_base = c4;
    file->hand = -1;
}

// The soft or reported outcome of an open that failed.
int openFailed(CODE4 *c4, const char *name)
{
    if (c4->open_error)
        return e4describe(c4, e4open, "File Name:", name, nullptr);
    c4->error_code = r4no_open;
    return r4no_open;
}

char *copyName(const char *name)
{
    size_t n = std::strlen(name) + 1;
    char *copy = static_cast<char *>(u4alloc((long)n));
    if (copy != nullptr)
        std::memcpy(copy, name, n);
    return copy;
}

// K1: the pieces that [pos, pos + len) covers, or all of them (len < 0),
// no longer count.
void drop_pieces(FILE4 *file, int64_t pos, int64_t len)
{
    FILE4PIECES *k = file->pieces;
    if (k == nullptr)
        return;
    if (len < 0 || len / FILE4_PIECE_LEN >= FILE4_PIECES) {
        std::memset(k->held, 0, sizeof k->held);
        return;
    }
    for (int64_t p = pos / FILE4_PIECE_LEN; p <= (pos + len - 1) / FILE4_PIECE_LEN; p++)
        if (k->held[p % FILE4_PIECES] == p + 1)
            k->held[p % FILE4_PIECES] = 0;
}

void free_pieces(FILE4 *file)
{
    if (file->pieces != nullptr)
        u4free(file->pieces->bytes);
    u4free(file->pieces);
    file->pieces = nullptr;
}

// B1: the run reaches the file before an access of [pos, pos + len), or of
// the whole file (len 0), could see the bytes it changes. 0, or -1 after a
// report.
int flush_before(FILE4 *file, int64_t pos, int64_t len)
{
    if (file->run_len == 0 || (len > 0 && pos + len <= file->run_pos))
        return 0;
    return file4write_behind_flush(file);
}

// Reads at `pos` after checking the range; the count read, or -1 after a
// report.
int64_t readAt(FILE4 *file, int64_t pos, void *ptr, unsigned len)
{
    if (flush_before(file, pos, len) != 0)
        return -1;
    if (file->hand < 0 || pos < 0 || pos + (int64_t)len > kMaxReadEnd) {
        file4read_error(file);
        return -1;
    }
    int64_t n = platform_read(file->hand, pos, ptr, len);
    if (n < 0) {
        file4read_error(file);
        return -1;
    }
    return n;
}

// A byte range that locks can address: inside the formats' offsets, and
// never empty (an empty range would mean "to the end and beyond").
int lockRangeValid(long pos_start, long num_bytes)
{
    return pos_start >= 0 && num_bytes > 0 && (int64_t)pos_start + num_bytes <= FILE4_MAX_END;
}

unsigned firstFill(unsigned total, long start)
{
    unsigned rem = start > 0 ? (unsigned)(start % FILE4_SEQ_ALIGN) : 0;
    return total > rem ? total - rem : total;
}

// Opens `keep` again under its own name, on whatever file now bears it,
// keeping its own flags and the context's pending code. Its old handle is
// closed first without deleting anything. A failed open leaves it closed.
int reopenKept(FILE4 *keep)
{
    CODE4 *c4 = keep->code_base;
    char *name = keep->name;
    char isTemp = keep->is_temp, doAllocFree = keep->do_alloc_free, isExcl = keep->is_exclusive;
    keep->is_temp = keep->do_alloc_free = 0;
    int rc = file4close(keep) != 0 ? -1 : 0;
    int saved = c4->error_code;
    int opened = file4open(keep, c4, name, 0);
    c4->error_code = saved;
    if (opened != 0) {
        if (doAllocFree)
            u4free(name);
        return -1;
    }
    keep->is_temp = isTemp;
    keep->do_alloc_free = doAllocFree;
    keep->is_exclusive = isExcl;
    return rc;
}

// Renames the file `fromName` over keep's file: 0, or -1 after a report
// with nothing changed.
int renameOver(FILE4 *keep, const char *fromName)
{
    if (u4rename(fromName, keep->name) == 0)
        return 0;
    e4describe(keep->code_base, e4rename, fromName, keep->name, nullptr);
    return -1;
}

// Exclusive files: the work file takes the kept file's place by renaming,
// which replaces the old contents in one step. The work file is disposed of
// in every case.
int replaceByRename(FILE4 *keep, FILE4 *from)
{
    char *fromName = from->name;
    char fromAlloc = from->do_alloc_free;
    from->is_temp = from->do_alloc_free = 0;
    int rc = file4close(from) != 0 ? -1 : renameOver(keep, fromName);
    if (rc == 0)
        rc = reopenKept(keep);
    else
        u4remove(fromName);
    if (fromAlloc)
        u4free(fromName);
    return rc;
}

// A new, empty work file in keep's directory (so that a rename can put it
// in keep's place), named like the other work files. 0, or -1 after a
// report. The context's pending soft code is kept.
int createBeside(FILE4 *work, FILE4 *keep, std::string *workName)
{
    CODE4 *c4 = keep->code_base;
    std::string dir = keep->name;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    int saved = c4->error_code;
    int oldCreateError = c4->create_error, oldSafety = c4->safety;
    c4->create_error = 0;
    c4->safety = 1;
    int64_t first = platform_time();
    int rc = -1;
    for (int i = 0; i < kTempTries && rc != 0; i++) {
        char name[FILE4_TEMP_NAME_LEN];
        long num = (long)((first + i) % 10000);
        if (num < 0)
            num += 10000;
        std::snprintf(name, sizeof name, "TEMP%04ld.TMP", num);
        *workName = dir + name;
        rc = file4create(work, c4, workName->c_str(), 1);
        if (rc < 0 || (rc > 0 && platform_exists(workName->c_str()) != 0))
            break;
    }
    c4->create_error = oldCreateError;
    c4->safety = oldSafety;
    c4->error_code = saved;
    if (rc == 0)
        return 0;
    e4describe(c4, e4create, "Temporary Working File", workName->c_str(), nullptr);
    return -1;
}

// Shared files: the contents are copied into a work file beside keep's,
// committed and renamed over it. Until the rename both files are as they
// were; `from` is deleted only once keep's file holds its contents.
int replaceByCopy(FILE4 *keep, FILE4 *from)
{
    CODE4 *c4 = keep->code_base;
    long len = file4len(from);
    if (len < 0)
        return -1;
    unsigned size = c4->mem_size_buffer;
    char *buf = nullptr;
    while (size >= kCopyStep && (buf = static_cast<char *>(u4alloc((long)size))) == nullptr)
        size -= kCopyStep;
    if (buf == nullptr) {
        size = kCopyFallback;
        buf = static_cast<char *>(u4alloc_er(c4, (long)size));
        if (buf == nullptr)
            return -1;
    }
    FILE4 work;
    std::string workName;
    if (createBeside(&work, keep, &workName) != 0) {
        u4free(buf);
        return -1;
    }
    int rc = 0;
    for (long pos = 0; pos < len;) {
        unsigned n = len - pos < (long)size ? (unsigned)(len - pos) : size;
        if (file4read_all(from, pos, buf, n) != 0 || file4write(&work, pos, buf, n) != 0) {
            rc = -1;
            break;
        }
        pos += n;
    }
    u4free(buf);
    if (rc == 0 && file4flush(&work) != 0)
        rc = -1;
    if (file4close(&work) != 0)
        rc = -1;
    if (rc == 0)
        rc = renameOver(keep, workName.c_str());
    if (rc != 0) {
        u4remove(workName.c_str());
        return -1;
    }
    // Keep's file holds the contents now, whether or not it opens again.
    rc = reopenKept(keep);
    from->is_temp = 1;
    file4close(from);
    return rc;
}

} // namespace

unsigned file4seq_usable(unsigned long len)
{
    if (len < FILE4_SEQ_ALIGN)
        return 0;
    if (len > FILE4_SEQ_MAX)
        len = FILE4_SEQ_MAX;
    return (unsigned)(len - len % FILE4_SEQ_ALIGN);
}

int file4open(FILE4 *file, CODE4 *code_base, const char *name, int do_alloc)
{
    if (file == nullptr || code_base == nullptr)
        return -1;
    clearRecord(file, code_base);
    if (code_base->error_code < 0)
        return -1;
    code_base->error_code = 0;
    if (name == nullptr || *name == 0)
        return openFailed(code_base, name == nullptr ? "" : name);

    std::vector<char> resolved(std::strlen(name) + kResolvedExtra);
    int fd = -1, readOnly = 0;
    if (platform_openFile(name, code_base->read_only, &fd, &readOnly, resolved.data(), resolved.size()) != 0)
        return openFailed(code_base, name);
    file->hand = fd;
    file->is_read_only = readOnly ? 1 : 0;
    if (do_alloc) {
        // The name actually opened: memo and index files are looked for
        // beside it.
        file->name = copyName(resolved.data());
        if (file->name == nullptr) {
            platform_close(fd);
            file->hand = -1;
            return e4(code_base, e4memory, nullptr);
        }
        file->do_alloc_free = 1;
    } else {
        file->name = const_cast<char *>(name);
    }
    file->is_exclusive = code_base->exclusive ? 1 : 0;
    file->file_created = 1;
    return 0;
}

int file4create(FILE4 *file, CODE4 *code_base, const char *name, int do_alloc)
{
    if (file == nullptr || code_base == nullptr)
        return -1;
    clearRecord(file, code_base);
    if (code_base->error_code < 0)
        return -1;
    code_base->error_code = 0;
    int fd = -1;
    if (name == nullptr || *name == 0 || platform_createFile(name, code_base->safety, &fd) != 0) {
        if (code_base->create_error)
            return e4describe(code_base, e4create, "File Name:", name == nullptr ? "" : name, nullptr);
        code_base->error_code = r4no_create;
        return r4no_create;
    }
    file->hand = fd;
    if (do_alloc) {
        file->name = copyName(name);
        if (file->name == nullptr) {
            platform_close(fd);
            file->hand = -1;
            // Only a file this call made is taken away again.
            if (code_base->safety)
                platform_remove(name);
            return e4(code_base, e4memory, nullptr);
        }
        file->do_alloc_free = 1;
    } else {
        file->name = const_cast<char *>(name);
    }
    file->is_exclusive = code_base->exclusive ? 1 : 0;
    file->file_created = 1;
    return 0;
}

int file4close(FILE4 *file)
{
    if (file == nullptr)
        return 0;
    CODE4 *c4 = file->code_base;
    int rc = 0;
    if (file->hand >= 0) {
        if (file4write_behind_flush(file) != 0)
            rc = -1;
        u4free(file->run);
        free_pieces(file);
        if (platform_close(file->hand) != 0)
            rc = e4(c4, e4close, nameOf(file));
        if (file->is_temp && file->name != nullptr)
            platform_remove(file->name);
        if (file->do_alloc_free)
            u4free(file->name);
        // The context stays, so calls on the closed file still find it.
        clearRecord(file, c4);
    }
    if (rc != 0)
        return rc;
    return c4 != nullptr && c4->error_code < 0 ? -1 : 0;
}

int file4open_test(FILE4 *file)
{
    return file != nullptr && file->hand >= 0 ? 1 : 0;
}

unsigned file4read(FILE4 *file, long pos, void *ptr, unsigned ptr_len)
{
    long n = file4read_count(file, pos, ptr, ptr_len);
    return n < 0 ? 0 : (unsigned)n;
}

long file4read_count(FILE4 *file, long pos, void *ptr, unsigned ptr_len)
{
    if (file == nullptr || pending(file))
        return -1;
    int64_t n = readAt(file, pos, ptr, ptr_len);
    return n < 0 ? (long)e4read : (long)n;
}

int file4read_all(FILE4 *file, long pos, void *ptr, unsigned ptr_len)
{
    long n = file4read_count(file, pos, ptr, ptr_len);
    if (n < 0)
        return (int)n;
    if (n != (long)ptr_len)
        return file4read_error(file);
    return 0;
}

int file4read_error(FILE4 *file)
{
    return e4describe(file->code_base, e4read, "File Name:", nameOf(file), nullptr);
}

int file4write(FILE4 *file, long pos, const void *ptr, unsigned ptr_len)
{
    if (file == nullptr || pending(file))
        return -1;
    CODE4 *c4 = file->code_base;
    if (file->is_read_only)
        return e4(c4, e4parm, "Attempt to write to a read-only file");
    if (flush_before(file, 0, 0) != 0)
        return -1;
    drop_pieces(file, pos, ptr_len);
    // The formats address at most FILE4_MAX_END bytes: a write that would
    // pass that writes nothing.
    if (file->hand < 0 || pos < 0 || (int64_t)pos + ptr_len > FILE4_MAX_END)
        return e4(c4, e4write, nameOf(file));
    int64_t done = platform_write(file->hand, pos, ptr, ptr_len);
    if (done != (int64_t)ptr_len)
        return e4describe(c4, e4write, nameOf(file), platform_errorText((int)done), nullptr);
    if (c4 != nullptr && c4->file_flush)
        return file4flush(file);
    return 0;
}

unsigned file4run_max = FILE4_RUN_MAX;

int file4write_behind(FILE4 *file, long pos, const void *ptr, unsigned ptr_len)
{
    if (file == nullptr || pending(file))
        return -1;
    int64_t end = (int64_t)pos + ptr_len;
    unsigned cap = file4run_max < (unsigned)FILE4_RUN_MAX ? file4run_max : (unsigned)FILE4_RUN_MAX;
    // A context that asks for every write on the disk gets none kept back.
    bool commits = file->code_base != nullptr && file->code_base->file_flush;
    if (!file->is_exclusive || commits || file->is_read_only || file->hand < 0 || pos < 0 ||
        ptr_len > cap || end > FILE4_MAX_END)
        return file4write(file, pos, ptr, ptr_len);
    if (file->run_len > 0 && pos >= file->run_pos && pos <= file->run_pos + (long)file->run_len &&
        end <= (int64_t)file->run_pos + cap) {
        std::memcpy(file->run + (pos - file->run_pos), ptr, ptr_len);
        if (end > file->run_pos + (int64_t)file->run_len)
            file->run_len = (unsigned)(end - file->run_pos);
        return 0;
    }
    long len = file4len(file); // writes the run there was
    if (len < 0)
        return -1;
    // A run only begins at the file's end, so that a failed one is put back
    // from a few saved bytes.
    if (len - pos > FILE4_RUN_TAIL_MAX)
        return file4write(file, pos, ptr, ptr_len);
    if (file->run == nullptr)
        file->run = static_cast<char *>(u4alloc(FILE4_RUN_MAX + FILE4_RUN_TAIL_MAX));
    if (file->run == nullptr)
        return file4write(file, pos, ptr, ptr_len);
    unsigned tail = len > pos ? (unsigned)(len - pos) : 0;
    if (tail > 0 && file4read_all(file, pos, file->run + FILE4_RUN_MAX, tail) != 0)
        return -1;
    file->run_pos = pos;
    file->run_old_len = len;
    file->run_tail_len = tail;
    std::memcpy(file->run, ptr, ptr_len);
    file->run_len = ptr_len;
    return 0;
}

int file4write_behind_flush(FILE4 *file)
{
    if (file == nullptr || file->run_len == 0)
        return 0;
    CODE4 *c4 = file->code_base;
    int saved = c4 != nullptr ? e4set(c4, 0) : 0;
    unsigned n = file->run_len;
    file->run_len = 0; // the write below must not flush it again
    int rc = file4write(file, file->run_pos, file->run, n);
    if (rc != 0) {
        // B2: the file as it was before the run, from what the run saved.
        drop_pieces(file, 0, -1);
        int put = platform_setLength(file->hand, file->run_old_len);
        if (put == 0 && file->run_tail_len > 0 &&
            platform_write(file->hand, file->run_pos, file->run + FILE4_RUN_MAX, file->run_tail_len) !=
                (int64_t)file->run_tail_len)
            put = -1;
        if (put != 0)
            e4describe(c4, e4write, "File Name:", nameOf(file),
                       "Data kept back could not be written, nor the file put back as it was");
        file->run_lost = 1;
        return -1;
    }
    if (c4 != nullptr && saved != 0)
        e4set(c4, saved);
    return 0;
}

long file4read_kept(FILE4 *file, long pos, void *ptr, unsigned ptr_len)
{
    if (file == nullptr || pending(file))
        return -1;
    // Only the file's first FILE4_PIECES pieces are kept, each in a slot of
    // its own: past them a piece would only push another out, and reading
    // 4 KB for a record that is not read again costs more than the record.
    if ((int64_t)pos + ptr_len > (int64_t)FILE4_PIECES * FILE4_PIECE_LEN)
        return file4read_count(file, pos, ptr, ptr_len);
    if (file->is_exclusive && file->pieces == nullptr && pos >= 0 && ptr_len > 0) {
        file->pieces = static_cast<FILE4PIECES *>(u4alloc(sizeof(FILE4PIECES)));
        if (file->pieces != nullptr)
            file->pieces->bytes = static_cast<char *>(u4alloc((long)FILE4_PIECES * FILE4_PIECE_LEN));
        if (file->pieces != nullptr && file->pieces->bytes == nullptr)
            free_pieces(file);
    }
    FILE4PIECES *k = file->pieces;
    if (k == nullptr || !file->is_exclusive || pos < 0 || ptr_len == 0 || ptr_len > FILE4_PIECE_LEN ||
        (int64_t)pos + ptr_len > kMaxReadEnd)
        return file4read_count(file, pos, ptr, ptr_len);
    if (flush_before(file, pos, ptr_len) != 0)
        return e4read;
    char *out = static_cast<char *>(ptr);
    unsigned done = 0;
    while (done < ptr_len) {
        long p = (pos + (long)done) / FILE4_PIECE_LEN;
        unsigned off = (unsigned)((pos + (long)done) % FILE4_PIECE_LEN);
        long slot = p % FILE4_PIECES;
        char *piece = k->bytes + slot * FILE4_PIECE_LEN;
        if (k->held[slot] != p + 1) {
            k->held[slot] = 0;
            int64_t n = readAt(file, (int64_t)p * FILE4_PIECE_LEN, piece, FILE4_PIECE_LEN);
            if (n < 0)
                return e4read;
            k->held[slot] = p + 1;
            k->len[slot] = (unsigned)n;
        }
        if (off >= k->len[slot])
            break;
        unsigned take = std::min(ptr_len - done, k->len[slot] - off);
        std::memcpy(out + done, piece + off, take);
        done += take;
        if (k->len[slot] < FILE4_PIECE_LEN)
            break; // the file ends in this piece
    }
    return (long)done;
}

long file4len(FILE4 *file)
{
    if (file == nullptr)
        return -1;
    int64_t len = 0;
    if (flush_before(file, 0, 0) != 0)
        return -1;
    if (platform_length(file->hand, &len) != 0)
        return e4(file->code_base, e4len, nameOf(file));
    return (long)len;
}

int file4len_set(FILE4 *file, long new_len)
{
    if (file == nullptr)
        return -1;
    CODE4 *c4 = file->code_base;
    if (c4 == nullptr || c4->error_code < 0)
        return -1;
    if (file->is_read_only)
        return e4describe(c4, e4parm, "Attempt to change file length of a read-only file",
                          "File Name:", nameOf(file));
    if (flush_before(file, 0, 0) != 0)
        return -1;
    drop_pieces(file, 0, -1);
    int rc = new_len < 0 || new_len > FILE4_MAX_END ? -1 : platform_setLength(file->hand, new_len);
    if (rc != 0) {
        e4describe(c4, e4len_set, "File Name:", nameOf(file), platform_errorText(rc));
        return -1;
    }
    return 0;
}

int file4flush(FILE4 *file)
{
    return file4low_flush(file, 1);
}

int file4low_flush(FILE4 *file, int)
{
    if (file == nullptr)
        return -1;
    CODE4 *c4 = file->code_base;
    int saved = c4 != nullptr ? e4set(c4, 0) : 0;
    int rc = file4write_behind_flush(file);
    int synced = file->hand >= 0 ? platform_sync(file->hand) : 0;
    if (synced != 0 && rc == 0)
        rc = e4describe(c4, e4opt_flush, nameOf(file), platform_errorText(synced), nullptr);
    if (c4 != nullptr && saved != 0)
        e4set(c4, saved);
    return rc;
}

int file4refresh(FILE4 *)
{
    return 0;
}

int file4lock(FILE4 *file, long pos_start, long num_bytes)
{
    if (file == nullptr || file->code_base == nullptr || pending(file))
        return -1;
    if (file->is_read_only || file->is_exclusive)
        return 0;
    CODE4 *c4 = file->code_base;
    if (!lockRangeValid(pos_start, num_bytes))
        return e4(c4, e4lock, nameOf(file));
    for (int polls = 1;; polls++) {
        int r = platform_lock(file->hand, pos_start, num_bytes);
        if (r == PLATFORM_LOCK_GRANTED || r == PLATFORM_LOCK_INVALID)
            return 0;
        if (r != PLATFORM_LOCK_HELD)
            return e4(c4, e4lock, nameOf(file));
        int pause = code4lock_pause_ms(c4->lock_attempts, polls);
        if (pause < 0)
            return r4locked;
        code4lock_wait(c4, nameOf(file), polls, pause);
    }
}

int file4unlock(FILE4 *file, long pos_start, long num_bytes)
{
    if (file == nullptr)
        return -1;
    if (file->is_read_only || file->is_exclusive)
        return 0;
    if (!lockRangeValid(pos_start, num_bytes))
        return e4(file->code_base, e4unlock, nameOf(file));
    int r = platform_unlock(file->hand, pos_start, num_bytes);
    if (r == PLATFORM_LOCK_GRANTED || r == PLATFORM_LOCK_INVALID)
        return 0;
    return e4(file->code_base, e4unlock, nameOf(file));
}

int file4temp(FILE4 *file, CODE4 *code_base, char *buf, int auto_remove)
{
    if (file == nullptr || code_base == nullptr)
        return -1;
    if (code_base->error_code < 0) {
        clearRecord(file, code_base);
        return -1;
    }
    char local[FILE4_TEMP_NAME_LEN];
    char *name = buf != nullptr ? buf : local;
    for (int i = 0; i < kTempTries; i++) {
        // The current second's name first: O_EXCL already makes a name
        // unique, so only a name that is taken costs the wait for the next.
        if (i > 0)
            u4delay_sec();
        long num = (long)(platform_time() % 10000);
        if (num < 0)
            num += 10000;
        std::snprintf(name, FILE4_TEMP_NAME_LEN, "TEMP%04ld.TMP", num);
        // A work file never replaces an existing file, whatever `safety`
        // says: another process may be using that name.
        int oldCreateError = code_base->create_error;
        int oldExclusive = code_base->exclusive;
        int oldSafety = code_base->safety;
        code_base->create_error = 0;
        code_base->exclusive = 1;
        code_base->safety = 1;
        int rc = file4create(file, code_base, name, buf == nullptr);
        code_base->create_error = oldCreateError;
        code_base->exclusive = oldExclusive;
        code_base->safety = oldSafety;
        if (rc < 0)
            return -1;
        if (rc == 0) {
            file->is_temp = auto_remove ? 1 : 0;
            return 0;
        }
        // The soft code was this call's own device, not the caller's.
        code_base->error_code = 0;
        if (platform_exists(name) != 0)
            return e4describe(code_base, e4create, "File Name:", name, nullptr);
    }
    return e4(code_base, e4create, "Temporary Working File");
}

int file4replace(FILE4 *keep, FILE4 *from)
{
    if (keep == nullptr || from == nullptr || keep->code_base == nullptr)
        return -1;
    if (keep->is_read_only || from->is_read_only)
        return e4(from->code_base, e4parm, "Attempt to replace to a read-only file");
    // Nothing is half done while an error is pending.
    if (keep->code_base->error_code < 0)
        return -1;
    if (keep->is_exclusive)
        return replaceByRename(keep, from);
    return replaceByCopy(keep, from);
}

int file4seq_read_init(FILE4SEQ_READ *seq_read, FILE4 *file, long start_pos, void *buffer,
                       unsigned buffer_len)
{
    if (seq_read == nullptr)
        return -1;
    std::memset(seq_read, 0, sizeof *seq_read);
    seq_read->file = file;
    seq_read->pos = start_pos;
    unsigned total = buffer == nullptr ? 0 : file4seq_usable(buffer_len);
    if (total > 0) {
        seq_read->buffer = static_cast<char *>(buffer);
        seq_read->total = total;
        seq_read->next_read_len = firstFill(total, start_pos);
    }
    return 0;
}

unsigned file4seq_read(FILE4SEQ_READ *seq_read, void *ptr, unsigned len)
{
    if (seq_read == nullptr || seq_read->file == nullptr || pending(seq_read->file))
        return 0;
    FILE4SEQ_READ *s = seq_read;
    if (s->buffer == nullptr) {
        unsigned n = file4read(s->file, s->pos, ptr, len);
        s->pos += n;
        return n;
    }
    char *out = static_cast<char *>(ptr);
    unsigned done = 0;
    while (done < len) {
        if (s->avail == 0) {
            int64_t want = s->next_read_len;
            if (s->pos >= 0 && s->pos + want > kMaxReadEnd)
                want = s->pos < kMaxReadEnd ? kMaxReadEnd - s->pos : 0;
            int64_t n = readAt(s->file, s->pos, s->buffer, (unsigned)want);
            if (n < 0)
                return 0;
            s->working = s->avail = (unsigned)n;
            s->pos += (long)n;
            s->next_read_len = s->total;
            if (n == 0)
                break; // end of file: every fill either delivers or ends the read
        }
        unsigned take = s->avail < len - done ? s->avail : len - done;
        std::memcpy(out + done, s->buffer + (s->working - s->avail), take);
        s->avail -= take;
        done += take;
    }
    return pending(s->file) ? 0 : done;
}

int file4seq_read_all(FILE4SEQ_READ *seq_read, void *ptr, unsigned len)
{
    if (seq_read == nullptr || seq_read->file == nullptr || pending(seq_read->file))
        return -1;
    if (file4seq_read(seq_read, ptr, len) != len)
        return pending(seq_read->file) ? -1 : file4read_error(seq_read->file);
    return 0;
}

int file4seq_write_init(FILE4SEQ_WRITE *seq_write, FILE4 *file, long start_offset, void *ptr,
                        unsigned ptr_len)
{
    if (seq_write == nullptr)
        return -1;
    std::memset(seq_write, 0, sizeof *seq_write);
    seq_write->file = file;
    seq_write->pos = start_offset;
    unsigned total = ptr == nullptr ? 0 : file4seq_usable(ptr_len);
    if (total > 0) {
        seq_write->buffer = static_cast<char *>(ptr);
        seq_write->total = total;
        seq_write->working = seq_write->avail = firstFill(total, start_offset);
    }
    return 0;
}

int file4seq_write(FILE4SEQ_WRITE *seq_write, const void *buffer, unsigned ptr_len)
{
    if (seq_write == nullptr || seq_write->file == nullptr || pending(seq_write->file))
        return -1;
    FILE4SEQ_WRITE *s = seq_write;
    if (s->buffer == nullptr) {
        int rc = file4write(s->file, s->pos, buffer, ptr_len);
        s->pos += ptr_len;
        return rc;
    }
    const char *in = static_cast<const char *>(buffer);
    while (ptr_len > 0) {
        if (s->avail == 0 && file4seq_write_flush(s) != 0)
            return -1;
        unsigned take = s->avail < ptr_len ? s->avail : ptr_len;
        std::memcpy(s->buffer + (s->working - s->avail), in, take);
        s->avail -= take;
        in += take;
        ptr_len -= take;
    }
    return 0;
}

int file4seq_write_flush(FILE4SEQ_WRITE *seq_write)
{
    if (seq_write == nullptr || seq_write->buffer == nullptr)
        return 0;
    FILE4SEQ_WRITE *s = seq_write;
    unsigned n = s->working - s->avail;
    if (n > 0) {
        int rc = file4write(s->file, s->pos, s->buffer, n);
        if (rc != 0)
            return rc;
        s->pos += n;
    }
    s->working = s->avail = s->total;
    return 0;
}

int file4seq_write_mend(FILE4SEQ_WRITE *seq_write, long offset, const void *bytes, unsigned len)
{
    if (seq_write == nullptr || seq_write->buffer == nullptr)
        return 0;
    FILE4SEQ_WRITE *s = seq_write;
    long held = long(s->working - s->avail);
    if (offset < s->pos || offset + long(len) > s->pos + held)
        return 0;
    std::memcpy(s->buffer + (offset - s->pos), bytes, len);
    return 1;
}

int file4seq_write_repeat(FILE4SEQ_WRITE *seq_write, long num_repeat, char ch)
{
    if (num_repeat < 0)
        return -1;
    char block[kRepeatBlock];
    std::memset(block, ch, sizeof block);
    for (; num_repeat > (long)kRepeatBlock; num_repeat -= kRepeatBlock) {
        int rc = file4seq_write(seq_write, block, kRepeatBlock);
        if (rc != 0)
            return rc;
    }
    return num_repeat > 0 ? file4seq_write(seq_write, block, (unsigned)num_repeat) : 0;
}

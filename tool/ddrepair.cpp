// What keeps the dictionary whole whatever happens to a directive: its
// indexes are rebuilt from their data files when they are damaged, left
// marked as being rebuilt, or missing; and every change a directive makes
// is all or nothing, through a journal.
//
// What it keeps true:
//  J1. Before a directive changes a dictionary table it writes the journal
//      (CATALOGR.JNL in the dictionary's directory): for each table it may
//      change, the data file's length and the bytes the change may
//      overwrite (TA: the header and the end mark, as it only appends; TD:
//      the header and the file from the first record its pack may move on,
//      as a pack leaves every record before the first deleted one where it
//      is; without the rows it is going to remove, the whole file). The
//      journal is written under another name and renamed, so it is there
//      whole or not at all.
//  J2. The journal is removed only once every change of the directive is
//      in its files (d4update of each table), so while it is there the
//      change may be half done, and once it is gone the change is whole.
//  J3. Whoever holds the dictionary's locks and finds the journal puts the
//      data files back as the journal says and rebuilds the index of each
//      one that changed, before anything else; then removes the journal.
//      A directive that fails does the same at once; one killed leaves it
//      to the next. Putting back writes only bytes that differ, so it is
//      done again safely when it is itself cut short.
//  J4. Only the holder of a data file's lock removes or makes its index,
//      and it makes it again only when the index still does not open under
//      that lock (another process may have repaired it meanwhile), or when
//      a search through it found it damaged.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tool/dddict.h"
#include "tool/ddmain.h"
#include "xbase/xbase.h"

namespace {

const char *const kJournal = dddict_journal;
const char kJournalNew[] = "CATALOGR.JNW";
const char kJournalHead[] = "CATALOGR JOURNAL 1\n";
// Bytes of a data file's header that an append changes: the date and the
// record count.
const long kAppendHead = 32;

std::string inDir(const char *name)
{
    std::string path;
    ddmain_inCurrentDir(&path, name);
    return path;
}

bool journalPresent() { return platform_exists(inDir(kJournal).c_str()) == 0; }

const dddict_table *schemaOf(const std::string &baseName)
{
    for (const dddict_table &t : dddict_tables)
        if (baseName == t.name)
            return &t;
    return nullptr;
}

std::string upperName(const char *baseName)
{
    std::string s = baseName;
    for (char &c : s)
        c = (char)std::toupper((unsigned char)c);
    return s;
}

// The last report of the engine, by its code.
int lastReport()
{
    int code = 0;
    e4getErrorInfo(&code, nullptr, 0);
    return code;
}

// A failed write, commit or length change: the system's reason on
// standard error (the engine's report names the file).
void putWriteFailure()
{
    int code = platform_lastWriteFailure();
    if (code != 0)
        ddmain_putReason(std::string("writing failed: ") + std::strerror(-code));
    platform_forgetWriteFailure();
}

// The data file of dictionary table `table`, opened without its index and
// under its file lock (the lock every directive takes first), or null.
DATA4 *openDataLocked(const dddict_table &table)
{
    std::string path;
    if (ddmain_inCurrentDir(&path, table.name) != 0)
        return nullptr;
    // A repair starts afresh: what stopped the directive before it is not
    // this open's concern.
    code_base.error_code = 0;
    DATA4 *data = d4open_fields(&code_base, path.c_str());
    if (data != nullptr && d4lock_file(data) != 0) {
        d4close(data);
        return nullptr;
    }
    return data;
}

// One region of a data file as the journal keeps it.
struct region {
    long offset;
    std::string bytes;
};
struct image {
    std::string table;  // base name
    long length;        // of the data file
    std::vector<region> regions;
};

std::string readBytes(DATA4 *data, long offset, long length, bool *ok)
{
    std::string bytes((size_t)length, '\0');
    *ok = length == 0 || d4file_read(data, offset, &bytes[0], (unsigned)length) == 0;
    return bytes;
}

// Reads a number and the blank or newline after it.
bool number(const std::string &s, size_t *at, long *value, char end)
{
    size_t stop = s.find(end, *at);
    if (stop == std::string::npos || stop == *at || stop - *at > 12)
        return false;
    std::string digits = s.substr(*at, stop - *at);
    if (digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stol(digits);
    *at = stop + 1;
    return true;
}

bool parse(const std::string &s, std::vector<image> *images)
{
    size_t at = std::strlen(kJournalHead);
    if (s.compare(0, at, kJournalHead) != 0)
        return false;
    while (s.compare(at, 4, "END\n") != 0) {
        if (s.compare(at, 6, "TABLE ") != 0)
            return false;
        at += 6;
        size_t blank = s.find(' ', at);
        image im;
        long count = 0;
        if (blank == std::string::npos)
            return false;
        im.table = s.substr(at, blank - at);
        at = blank + 1;
        if (schemaOf(im.table) == nullptr || !number(s, &at, &im.length, ' ') ||
            !number(s, &at, &count, '\n'))
            return false;
        for (long i = 0; i < count; i++) {
            region r;
            long len = 0;
            if (!number(s, &at, &r.offset, ' ') || !number(s, &at, &len, '\n') ||
                (size_t)len > s.size() - at)
                return false;
            r.bytes = s.substr(at, (size_t)len);
            at += (size_t)len;
            im.regions.push_back(r);
        }
        images->push_back(im);
    }
    return at + 4 == s.size();
}

// Writes `size` bytes of `text` as the journal: under another name, then
// renamed (J1).
int writeJournal(const char *text, size_t size)
{
    const std::string fresh = inDir(kJournalNew), path = inDir(kJournal);
    int fd = -1;
    int rc = platform_createFile(fresh.c_str(), 0, &fd);
    if (rc == 0) {
        if (platform_write(fd, 0, text, size) != (int64_t)size)
            rc = -1;
        if (platform_close(fd) != 0)
            rc = -1;
        if (rc == 0)
            rc = platform_rename(fresh.c_str(), path.c_str());
        if (rc != 0)
            platform_remove(fresh.c_str());
    }
    if (rc != 0) {
        // The system's reason: of the write, or of the create or rename.
        int why = platform_lastWriteFailure() != 0 ? platform_lastWriteFailure()
                  : rc < -1 && rc > PLATFORM_NOT_FOUND ? rc
                                                       : 0;
        platform_forgetWriteFailure();
        ddmain_putReason("cannot write the journal " + path +
                         (why < 0 ? std::string(" (") + std::strerror(-why) + ")" : "") +
                         "; nothing was changed");
        return DDMAIN_FAILURE;
    }
    return 0;
}

int readJournal(std::vector<image> *images)
{
    const std::string path = inDir(kJournal);
    int fd = -1, readOnly = 0;
    if (platform_openFile(path.c_str(), 1, &fd, &readOnly, nullptr, 0) != 0)
        return DDMAIN_FAILURE;
    int64_t len = 0;
    std::string text;
    bool ok = platform_length(fd, &len) == 0 && len >= 0 && len < (int64_t)1 << 30;
    if (ok) {
        text.resize((size_t)len);
        ok = len == 0 || platform_read(fd, 0, &text[0], (size_t)len) == len;
    }
    platform_close(fd);
    if (!ok || !parse(text, images)) {
        ddmain_putReason("the journal " + path +
                         " is damaged; move it away once the dictionary has been checked "
                         "(xbcheck --dictionary)");
        return DDMAIN_FAILURE;
    }
    return 0;
}

// Puts one data file back as `im` says (J3); `*changed` tells whether a
// byte had to be written. 0, or 0x8000.
int putBack(DATA4 *data, const image &im, bool *changed)
{
    *changed = false;
    long len = d4file_len(data);
    if (len < 0)
        return DDMAIN_FAILURE;
    for (const region &r : im.regions) {
        long have = std::min((long)r.bytes.size(), std::max(0L, len - r.offset));
        bool ok = true;
        std::string now = readBytes(data, r.offset, have, &ok);
        if (!ok)
            return DDMAIN_FAILURE;
        if (now.size() == r.bytes.size() && now == r.bytes)
            continue;
        if (d4file_write(data, r.offset, r.bytes.data(), (unsigned)r.bytes.size()) != 0)
            return DDMAIN_FAILURE;
        *changed = true;
    }
    if (d4file_len(data) != im.length) {
        if (d4file_len_set(data, im.length) != 0)
            return DDMAIN_FAILURE;
        *changed = true;
    }
    return 0;
}

// The change the running directive may make (ddmain_changing).
struct pendingChange {
    DATA4 *const *tables = nullptr;
    int count = 0;
    int journal = DDDICT_NO_JOURNAL;
    const long *firstRows = nullptr;  // ddmain_changingRows
    bool written = false;
};
pendingChange pending;

} // namespace

int ddmain_rebuildIndex(DATA4 *data, const dddict_table &table, int say)
{
    // The index file in whatever case it has; it is made again in the case
    // the engine gives it.
    std::string old;
    bool present = ddmain_dictionaryFile(&old, table.name, "CDX");
    // Only what this process may write is made again: a table it cannot
    // change keeps its index as it is.
    int fd = -1, readOnly = data->file.is_read_only;
    if (present && !readOnly && platform_openFile(old.c_str(), 0, &fd, &readOnly, nullptr, 0) == 0)
        platform_close(fd);
    if (readOnly) {
        ddmain_putReason("the index of " + std::string(data->file.name) +
                         " needs rebuilding, which only a user who may write the table can do");
        return DDMAIN_FAILURE;
    }
    if (present && platform_remove(old.c_str()) != 0) {
        ddmain_putReason("cannot remove the damaged index " + old);
        return DDMAIN_FAILURE;
    }
    code_base.error_code = 0;
    INDEX4 *index = d4index_create(data, table.tags);
    if (index == nullptr) {
        putWriteFailure();
        code_base.error_code = 0;
        return DDMAIN_FAILURE;
    }
    if (say)
        ddmain_putReason("rebuilt the index " + std::string(d4index_file(data, index)->name) +
                         " from " + data->file.name);
    return 0;
}

int ddmain_repairIndex(const char *baseName, int force)
{
    const dddict_table *table = schemaOf(baseName);
    DATA4 *data = table != nullptr ? openDataLocked(*table) : nullptr;
    if (data == nullptr)
        return DDMAIN_FAILURE;
    int rc = 0;
    // J4: under the lock the index may turn out sound: someone repaired it.
    bool sound = !force && data->has_mdx && d4index_open(data) != nullptr;
    code_base.error_code = 0;
    if (!sound) {
        e4clearErrorState();
        rc = ddmain_rebuildIndex(data, *table, 1);
    }
    if (d4close(data) != 0 && rc == 0)
        rc = DDMAIN_FAILURE;
    return rc;
}

int ddmain_recoverDictionary(int quiet)
{
    if (!journalPresent())
        return 0;
    std::vector<DATA4 *> locked;
    for (const char *name : {ddmain_sqltable, ddmain_sqlcolmn}) {
        DATA4 *data = openDataLocked(*schemaOf(name));
        if (data == nullptr) {
            ddmain_putReason("cannot open the dictionary to undo the directive that did not "
                             "finish (journal " + inDir(kJournal) + ")");
            return ddmain_closeAll(DDMAIN_FAILURE);
        }
        locked.push_back(data);
    }
    // Someone else may have undone it while this process waited.
    std::vector<image> images;
    if (!journalPresent())
        return ddmain_closeAll(0);
    if (readJournal(&images) != 0)
        return ddmain_closeAll(DDMAIN_FAILURE);
    int rc = 0;
    bool any = false;
    for (const image &im : images) {
        DATA4 *data = locked[im.table == ddmain_sqltable ? 0 : 1];
        bool changed = false;
        rc = putBack(data, im, &changed);
        if (rc == 0 && changed)
            rc = ddmain_rebuildIndex(data, *schemaOf(im.table), 0);
        any = any || changed;
        if (rc != 0)
            break;
    }
    if (rc == 0 && platform_remove(inDir(kJournal).c_str()) != 0)
        rc = DDMAIN_FAILURE;
    if (rc != 0) {
        putWriteFailure();
        ddmain_putReason("could not undo the directive that did not finish; the next one "
                         "tries again (journal " + inDir(kJournal) + ")");
    } else if (any && !quiet) {
        ddmain_putReason("undid the changes of a directive that did not finish");
    }
    return ddmain_closeAll(rc);
}

int ddmain_removeJournal(void)
{
    platform_remove(inDir(kJournalNew).c_str());
    int rc = platform_remove(inDir(kJournal).c_str());
    return rc == 0 || rc == -ENOENT ? 0 : DDMAIN_FAILURE;
}

namespace {

// Why dictionary table `name` did not open, when its index is at fault
// and can be made again: the data file opens by itself, and the index
// file is missing or the engine found it damaged.
bool indexAtFault(const char *name)
{
    std::string dbf, cdx;
    if (!ddmain_dictionaryFile(&dbf, name, "DBF"))
        return false;
    int report = lastReport();
    bool missing = !ddmain_dictionaryFile(&cdx, name, "CDX");
    if (!missing && (report >= 0 || report == e4open || report == e4memory))
        return false;
    DATA4 *data = d4open_fields(&code_base, dbf.c_str());
    if (data == nullptr)
        return false;
    d4close(data);
    return true;
}

// 1 when every index `data` has open is still the file its name leads to:
// another process may have rebuilt one (J4) while this one waited for the
// lock, and the old file, gone from the directory, must not be used.
bool indexesCurrent(DATA4 *data)
{
    for (INDEX4 *i4 = d4index_next(data, nullptr); i4 != nullptr; i4 = d4index_next(data, i4)) {
        const FILE4 *file = d4index_file(data, i4);
        uint64_t dev = 0, ino = 0, nameDev = 1, nameIno = 1;
        if (platform_openFileId(file->hand, &dev, &ino) != 0 ||
            platform_fileId(file->name, &nameDev, &nameIno) != 0 || dev != nameDev ||
            ino != nameIno)
            return false;
    }
    return true;
}

} // namespace

int ddmain_openDictionaryLocked(const char *const *names, int count, DATA4 **tables)
{
    // Each round either ends with the tables open and locked, or repairs
    // something and starts again; a fault that comes back is left to fail.
    for (int round = 0; round < 2 * count + 2; round++) {
        if (ddmain_recoverDictionary(0) != 0)
            return DDMAIN_FAILURE;
        platform_forgetFailure();
        e4clearErrorState();
        int failed = -1;
        for (int i = 0; i < count; i++) {
            tables[i] = ddmain_openDictionary(names[i]);
            if (tables[i] == nullptr && failed < 0)
                failed = i;
        }
        if (failed >= 0) {
            if (!indexAtFault(names[failed]))
                return DDMAIN_OPEN_FAILED;
            ddmain_closeAll(0);
            e4clearErrorState();
            if (ddmain_repairIndex(names[failed], 0) != 0)
                return DDMAIN_FAILURE;
            continue;
        }
        int rc = 0;
        for (int i = 0; rc == 0 && i < count; i++) {
            rc = d4lock_all(tables[i]);
            // The index was left marked as being rebuilt.
            if (rc != 0 && lastReport() == e4index) {
                ddmain_closeAll(0);
                e4clearErrorState();
                if (ddmain_repairIndex(names[i], 0) != 0)
                    return DDMAIN_FAILURE;
                rc = -1;
                break;
            }
            if (rc != 0)
                return DDMAIN_FAILURE;
        }
        if (rc != 0)
            continue;
        // A directive killed since the check above left its journal; or an
        // index was made again while this process waited for its lock.
        bool current = true;
        for (int i = 0; i < count; i++)
            current = current && indexesCurrent(tables[i]);
        if (current && !journalPresent())
            return 0;
        ddmain_closeAll(0);
    }
    return DDMAIN_FAILURE;
}

namespace {

// The first record a pack of `data` may move or mark: the first one marked
// deleted, among those before `first` (the lowest the directive is going to
// mark, 0 for none) and the count + 1, where anything past the count lies.
// Records before it stay where they are, byte for byte. -1 when the file
// cannot be read.
long firstMoved(DATA4 *data, long first)
{
    long count = d4reccount(data);
    if (count < 0)
        return -1;
    long upto = first > 0 && first <= count ? first : count + 1;
    const long width = (long)d4record_width(data), per = std::max(1L, 65536 / width);
    std::vector<char> piece((size_t)(per * width));
    long len = d4file_len(data);
    for (long rec = 1; rec < upto; rec += per) {
        long at = d4record_position(data, rec);
        long got = std::min({per, upto - rec, (len - at) / width});
        if (got <= 0)
            break;
        if (d4file_read(data, at, piece.data(), (unsigned)(got * width)) != 0)
            return -1;
        for (long k = 0; k < got; k++)
            if (piece[(size_t)(k * width)] == '*')
                return rec + k;
    }
    return upto;
}

// What the journal keeps of one data file: two regions at most.
struct plan {
    std::string table;
    long length;
    long offset[2], size[2];
    int regions;
};

std::string tableLine(const plan &p)
{
    return "TABLE " + p.table + " " + std::to_string(p.length) + " " +
           std::to_string(p.regions) + "\n";
}

std::string regionLine(const plan &p, int r)
{
    return std::to_string(p.offset[r]) + " " + std::to_string(p.size[r]) + "\n";
}

} // namespace

int ddmain_beginChange(DATA4 *const *tables, int count, int whole, const long *firstRows)
{
    std::vector<plan> plans;
    size_t total = std::strlen(kJournalHead) + 4;
    for (int i = 0; i < count; i++) {
        plan p;
        p.table = tables[i]->alias;
        for (char &c : p.table)
            c = (char)std::tolower((unsigned char)c);
        p.length = d4file_len(tables[i]);
        if (schemaOf(p.table) == nullptr || p.length < 0)
            return DDMAIN_FAILURE;
        // TA only appends: the header and the end mark it overwrites. TD
        // marks rows and packs: the header and everything from the first
        // record the pack may move on.
        long head = std::min(kAppendHead, p.length), from = p.length - 1;
        if (whole) {
            long first = firstRows != nullptr ? firstMoved(tables[i], firstRows[i]) : 0;
            if (first < 0)
                return DDMAIN_FAILURE;
            from = first == 0 ? head
                              : std::min(p.length, std::max(head, d4record_position(tables[i], first)));
        }
        p.offset[0] = 0;
        p.size[0] = head;
        p.offset[1] = from;
        p.size[1] = p.length - from;
        p.regions = from >= head && from < p.length ? 2 : 1;
        total += tableLine(p).size();
        for (int r = 0; r < p.regions; r++)
            total += regionLine(p, r).size() + (size_t)p.size[r];
        plans.push_back(p);
    }
    // The text is made in place: the files' bytes are read straight into it.
    std::unique_ptr<char[]> text(new char[total]);
    size_t at = 0;
    auto put = [&](const std::string &s) {
        std::memcpy(text.get() + at, s.data(), s.size());
        at += s.size();
    };
    put(kJournalHead);
    for (size_t i = 0; i < plans.size(); i++) {
        const plan &p = plans[i];
        put(tableLine(p));
        for (int r = 0; r < p.regions; r++) {
            put(regionLine(p, r));
            if (p.size[r] > 0 &&
                d4file_read(tables[i], p.offset[r], text.get() + at, (unsigned)p.size[r]) != 0)
                return DDMAIN_FAILURE;
            at += (size_t)p.size[r];
        }
    }
    put("END\n");
    return writeJournal(text.get(), at);
}

int ddmain_changing(void)
{
    if (pending.journal == DDDICT_NO_JOURNAL || pending.written)
        return 0;
    int rc = ddmain_beginChange(pending.tables, pending.count, pending.journal == DDDICT_WHOLE,
                                pending.firstRows);
    pending.written = rc == 0;
    return rc;
}

int ddmain_changingRows(const long *firstRows)
{
    pending.firstRows = firstRows;
    return ddmain_changing();
}

int ddmain_endChange(DATA4 *const *tables, int count, int status)
{
    for (int i = 0; status == 0 && i < count; i++)
        if (d4update(tables[i]) != 0)
            status = DDMAIN_FAILURE;
    if (status == 0 && ddmain_removeJournal() != 0)
        status = DDMAIN_FAILURE;
    if (status == 0) {
        // Every change is in the files; what the close still writes (the
        // index's version, the header's date) failing is said, not undone.
        status = ddmain_closeAll(0);
        if (status != 0)
            putWriteFailure();
        return status;
    }
    // J3 at once: what the directive changed goes back.
    putWriteFailure();
    ddmain_putEngineReport();
    ddmain_closeAll(status);
    ddmain_recoverDictionary(1);
    return status;
}

int ddmain_runOnDictionary(const char *const *names, int count, int openMessage, int journal,
                           const std::function<int(DATA4 *const *)> &body)
{
    platform_forgetWriteFailure();
    for (int round = 0;; round++) {
        DATA4 *tables[DDDICT_TABLES] = {};
        int rc = ddmain_openDictionaryLocked(names, count, tables);
        if (rc == DDMAIN_OPEN_FAILED) {
            ddmain_putError(openMessage);
            ddmain_explainDictionary(names, count);
            return ddmain_closeAll(DDMAIN_FAILURE);
        }
        if (rc != 0)
            return ddmain_closeAll(DDMAIN_FAILURE);
        pending = pendingChange();
        pending.tables = tables;
        pending.count = count;
        pending.journal = journal;
        int status = body(tables);
        const bool journaled = pending.written;
        pending = pendingChange();
        // A search or a change that met a damaged tree: once, the index it
        // names (every index when it names none) is rebuilt and the
        // directive runs again from the start.
        // A table this process cannot write fails on its own account.
        bool damaged = status != 0 && lastReport() == e4index;
        for (int i = 0; i < count; i++)
            damaged = damaged && !tables[i]->file.is_read_only;
        char report[E4_ERROR_BUFFER_LEN] = "";
        e4getErrorInfo(nullptr, report, sizeof report);
        if (damaged && !journaled)
            ddmain_putEngineReport();
        if (journaled)
            status = ddmain_endChange(tables, count, damaged ? DDMAIN_FAILURE : status);
        else
            status = ddmain_closeAll(status);
        if (status != 0 && !journaled)
            putWriteFailure();
        if (!damaged || round > 0)
            return status;
        // Closing may have met the damage again; it has been said.
        e4clearErrorState();
        int named = 0;
        for (int i = 0; i < count; i++)
            named += std::strstr(report, ("/" + upperName(names[i]) + ".").c_str()) != nullptr;
        for (int i = 0; i < count; i++)
            if ((named == 0 || std::strstr(report, ("/" + upperName(names[i]) + ".").c_str())) &&
                ddmain_repairIndex(names[i], 1) != 0)
                return DDMAIN_FAILURE;
    }
}

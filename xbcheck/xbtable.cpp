// A table's data file as stored: its header, field descriptors and record
// count against the file's length, read byte by byte before the engine is
// trusted with it; the memo references of its records; and the listing of
// its records. Layouts: xbase/d4data.h (data file), xbase/memo4.h (memo).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "platform/platform.h"
#include "util/byteorder.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/mem4.h"
#include "xbase/memo4.h"
#include "xbase/u4util.h"
#include "xbcheck/xbcheck.h"

namespace {

// Text of a memo entry that --records shows before it cuts.
const unsigned kMemoShown = 40;

bool isMemo(char type) { return type == 'M' || type == 'G' || type == 'B'; }

// Width and decimals as the engine reads them (xbase/d4data.cpp).
void fieldWidth(const unsigned char *desc, char type, unsigned *width, unsigned *decimals)
{
    unsigned lo = desc[D4_FIELD_OFF_LEN], hi = desc[D4_FIELD_OFF_DEC];
    *decimals = 0;
    if (type == 'N' || type == 'F') {
        *width = lo;
        *decimals = hi;
    } else if (type == 'L' || type == 'D' || isMemo(type)) {
        *width = lo;
    } else {
        *width = lo + 256 * hi;
    }
}

// What is wrong with one field's descriptor, or "".
std::string fieldProblem(const xbcheckfield &f)
{
    std::string name = xbcheck_shown(f.name.data(), f.name.size(), true);
    unsigned want = f.type == 'D' ? 8 : f.type == 'L' ? 1 : isMemo(f.type) ? 10 : 0;
    if (f.name.empty())
        return "the field at offset " + std::to_string(f.offset) + " has no name";
    for (char c : f.name)
        if ((unsigned char)c <= ' ' || c == 0x7F)
            return "field " + name + " has a name with control characters or blanks";
    if ((unsigned char)f.type <= ' ' || (unsigned char)f.type >= 0x7F)
        return "field " + name + " has no type letter (byte " + std::to_string((unsigned char)f.type) + ")";
    if (f.width == 0)
        return "field " + name + " is 0 bytes wide";
    if (want != 0 && f.width != want)
        return "field " + name + " of type " + std::string(1, f.type) + " is " + std::to_string(f.width) +
               " bytes wide, not " + std::to_string(want);
    if ((f.type == 'N' || f.type == 'F') && f.decimals >= f.width && f.decimals > 0)
        return "field " + name + " has " + std::to_string(f.decimals) + " decimals in a width of " +
               std::to_string(f.width);
    return std::string();
}

// The descriptors: well formed, each name once, widths adding up to the
// record length. Fills h->fields.
void checkDescriptors(const unsigned char *area, long len, xbchecktable *t)
{
    xbcheckheader &h = t->header;
    std::set<std::string> names;
    unsigned offset = 1;
    long pos = 0;
    for (; pos < len && area[pos] != D4_HEADER_END; pos += D4_FIELD_LEN) {
        if (pos + D4_FIELD_LEN > len) {
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                         "the last field descriptor is cut off by the end of the header");
            return;
        }
        const unsigned char *d = area + pos;
        xbcheckfield f;
        size_t n = 0;
        while (n < 11 && d[n] != 0)
            n++;
        f.name.assign((const char *)d, std::min<size_t>(n, 10));
        f.type = (char)std::toupper(d[D4_FIELD_OFF_TYPE]);
        fieldWidth(d, f.type, &f.width, &f.decimals);
        f.offset = offset;
        offset += f.width;
        std::string why = fieldProblem(f);
        if (why.empty() && !names.insert(f.name).second)
            why = "field " + xbcheck_shown(f.name.data(), f.name.size(), true) + " is described twice";
        if (!why.empty())
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1, why);
        h.fields.push_back(f);
    }
    if (pos >= len)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                     "the field descriptors have no terminator (0x0D) inside the header");
    if (h.fields.empty())
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1, "the table has no fields");
    if ((long)offset != h.recordLen)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                     "the header gives records of " + std::to_string(h.recordLen) +
                         " bytes, the fields add up to " + std::to_string(offset));
}

// The record count against the file's length, and the memo file the
// version byte promises.
void checkExtent(xbchecktable *t)
{
    xbcheckheader &h = t->header;
    bool memoFields = std::any_of(h.fields.begin(), h.fields.end(), [](const xbcheckfield &f) { return isMemo(f.type); });
    if (memoFields && !(h.version & D4_VERSION_MEMO_BIT))
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                     "the table has memo fields, but its version byte names no memo file");
    if (h.version & D4_VERSION_MEMO_BIT) {
        std::string memo = xbcheck_sibling(t->file, "fpt");
        std::vector<char> found(memo.size() + 256);
        if (platform_resolveName(memo.c_str(), found.data(), found.size()) != 0)
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1, "its memo file " + memo + " is missing");
    }
    if (h.records < 0) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                     "the record count " + std::to_string(h.records) + " is negative");
        return;
    }
    if (h.recordLen <= 0)
        return;
    long long end = (long long)h.headerLen + (long long)h.records * h.recordLen;
    long held = (h.fileLen - h.headerLen) / h.recordLen;
    if (h.fileLen < end)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                     "the record count " + std::to_string(h.records) + " is larger than the file holds (" +
                         std::to_string(held) + " records)");
    else if (h.fileLen > end + 1)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                     "the file holds " + std::to_string(h.fileLen - end) + " bytes past its last record " +
                         std::to_string(h.records));
}

// Calls `fn` with each record the file holds, from the first, read in
// large pieces. 0, the first nonzero result of `fn`, or a negative error.
template <typename Fn> int scanRecords(xbchecktable *t, Fn fn)
{
    DATA4 *d4 = t->data;
    const unsigned width = d4->record_width;
    long count = std::min(t->header.records, (t->header.fileLen - (long)d4->header_len) / (long)width);
    long perRead = std::max(1L, (long)FILE4_SEQ_MAX / (long)width);
    std::vector<char> buf((size_t)(perRead * width));
    FILE4SEQ_READ reader;
    file4seq_read_init(&reader, &d4->file, d4record_position(d4, 1), nullptr, 0);
    for (long first = 1; first <= count; first += perRead) {
        long n = std::min(perRead, count - first + 1);
        int rc = file4seq_read_all(&reader, buf.data(), (unsigned)(n * (long)width));
        if (rc != 0)
            return rc < 0 ? rc : -1;
        for (long i = 0; i < n; i++) {
            rc = fn(first + i, buf.data() + (size_t)i * width);
            if (rc != 0)
                return rc;
        }
    }
    return 0;
}

// A memo field's block number: 0 for none, -1 when the text is no number.
long memoBlock(const char *text, unsigned len)
{
    unsigned i = 0;
    while (i < len && text[i] == ' ')
        i++;
    if (i == len)
        return 0;
    long block = 0;
    for (; i < len && text[i] != ' '; i++) {
        if (text[i] < '0' || text[i] > '9' || block > 0x7FFFFFFL)
            return -1;
        block = block * 10 + (text[i] - '0');
    }
    for (; i < len; i++)
        if (text[i] != ' ')
            return -1;
    return block;
}

std::string trimmed(const char *p, unsigned len, bool left)
{
    std::string s(p, len);
    s.erase(s.find_last_not_of(' ') + 1);
    if (left)
        s.erase(0, s.find_first_not_of(' '));
    return s;
}

} // namespace

std::string xbcheck_sibling(const std::string &file, const char *ext)
{
    size_t slash = file.rfind('/');
    size_t dot = file.rfind('.');
    std::string base = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                           ? file.substr(0, dot) : file;
    std::string old = base.size() < file.size() ? file.substr(base.size() + 1) : "";
    bool lower = std::any_of(old.begin(), old.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    std::string e = ext;
    for (char &c : e)
        c = (char)(lower ? std::tolower(c) : std::toupper(c));
    return base + "." + e;
}

int xbcheck_openTable(xbcheckrun *run, const char *name, xbchecktable *t)
{
    CODE4 *c4 = run->c4;
    std::vector<char> path(std::strlen(name) + 8);
    std::memcpy(path.data(), name, std::strlen(name) + 1);
    std::vector<char> found(path.size() + 4096);
    if (u4name_ext(path.data(), (int)path.size(), "DBF", 0) != 0 ||
        platform_resolveName(path.data(), found.data(), found.size()) != 0) {
        xbcheck_complain(xbcheck_shown(name, std::strlen(name), false) + ": no such file");
        return XBCHECK_USAGE;
    }
    if (!platform_isRegularFile(found.data())) {
        xbcheck_complain(xbcheck_shown(name, std::strlen(name), false) + ": not a regular file");
        return XBCHECK_USAGE;
    }
    FILE4 file;
    e4clearErrorState();
    if (file4open(&file, c4, found.data(), 1) != 0) {
        xbcheck_complain(xbcheck_shown(name, std::strlen(name), false) + ": cannot be opened" + xbcheck_lastReport());
        c4->error_code = 0;
        return XBCHECK_USAGE;
    }
    t->file = file.name;
    xbcheckheader &h = t->header;
    h.fileLen = file4len(&file);
    unsigned char head[D4_HEADER_LEN];
    std::vector<unsigned char> area;
    if (h.fileLen < D4_HEADER_LEN) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                     "the file is " + std::to_string(h.fileLen) + " bytes long, shorter than a table header");
    } else if (file4read_all(&file, 0, head, sizeof head) == 0) {
        h.version = head[D4_OFF_VERSION];
        h.yy = head[1];
        h.mm = head[2];
        h.dd = head[3];
        h.records = (long)(int32_t)util_getLe32(head + D4_OFF_NUM_RECS);
        h.headerLen = util_getLe16(head + D4_OFF_HEADER_LEN);
        h.recordLen = util_getLe16(head + D4_OFF_RECORD_LEN);
        h.production = head[D4_OFF_HAS_MDX] & D4_HAS_MDX_BIT;
        if (h.headerLen <= D4_HEADER_LEN)
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                         "the header length " + std::to_string(h.headerLen) + " is too short for a table");
        else if (h.headerLen > h.fileLen)
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1,
                         "the file ends inside its header (" + std::to_string(h.fileLen) + " of " +
                             std::to_string(h.headerLen) + " bytes)");
        else {
            area.resize((size_t)(h.headerLen - D4_HEADER_LEN));
            if (file4read_all(&file, D4_HEADER_LEN, area.data(), (unsigned)area.size()) == 0) {
                h.valid = true;
                checkDescriptors(area.data(), (long)area.size(), t);
                checkExtent(t);
            }
        }
    }
    file4close(&file);
    c4->error_code = 0;
    if (!h.valid)
        return 1;
    size_t before = t->notes.size();
    e4clearErrorState();
    t->data = d4open(c4, t->file.c_str());
    if (t->data == nullptr) {
        if (t->notes.size() == before)
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1, "the table does not open" + xbcheck_lastReport());
        c4->error_code = 0;
        return 1;
    }
    return t->notes.size() == before ? 0 : 1;
}

void xbcheck_checkMemos(xbcheckrun *run, xbchecktable *t)
{
    DATA4 *d4 = t->data;
    if (d4 == nullptr || d4->n_fields_memo == 0 || d4->memo_file.file.hand < 0)
        return;
    FILE4 *mf = &d4->memo_file.file;
    const std::string memo = mf->name;
    const long size = (long)(unsigned short)d4->memo_file.block_size;
    const long len = file4len(mf);
    unsigned char head[MEMO4_HEADER_LEN];
    if (size <= 0 || len < 0 || file4read_all(mf, 0, head, sizeof head) != 0)
        return;
    const long next = (long)util_getBe32(head + MEMO4_OFF_NEXT_BLOCK);
    const long first = (MEMO4_FILE_START + size - 1) / size;
    std::map<long, std::string> owners;  // block -> "record R field F"
    long lines = 0, more = 0;
    int rc = scanRecords(t, [&](long rec, const char *record) {
        for (int m = 0; m < d4->n_fields_memo; m++) {
            FIELD4 *f = d4->fields_memo[m].field;
            std::string where = "record " + std::to_string(rec) + " field " + f->name;
            long block = memoBlock(record + f->offset, f->len);
            std::string why;
            if (block < 0) {
                why = "the memo reference " + xbcheck_shown(record + f->offset, f->len, true) +
                      " is not a block number";
            } else if (block == 0) {
                continue;
            } else if (block < first) {
                why = "memo block " + std::to_string(block) + " lies inside the memo file's header";
            } else if ((long long)block * size + MEMO4_ENTRY_HEADER_LEN > len) {
                why = "memo block " + std::to_string(block) + " lies past the end of the memo file (" +
                      std::to_string(len) + " bytes)";
            } else if (block >= next) {
                why = "memo block " + std::to_string(block) + " lies past the memo file's next free block " +
                      std::to_string(next);
            } else {
                unsigned char entry[MEMO4_ENTRY_HEADER_LEN];
                long at = block * size;
                if (file4read_all(mf, at, entry, sizeof entry) != 0)
                    return -1;
                long type = (long)util_getBe32(entry + MEMO4_ENTRY_OFF_TYPE);
                long long chars = util_getBe32(entry + MEMO4_ENTRY_OFF_LEN);
                auto owner = owners.emplace(block, where);
                if (type > 2)
                    why = "memo block " + std::to_string(block) + " holds no memo entry (type " +
                          std::to_string(type) + ")";
                else if (at + MEMO4_ENTRY_HEADER_LEN + chars > len)
                    why = "the memo entry at block " + std::to_string(block) + " claims " +
                          std::to_string(chars) + " bytes, past the end of the memo file";
                else if (!owner.second)
                    why = "memo block " + std::to_string(block) + " is also the memo of " + owner.first->second;
            }
            if (why.empty())
                continue;
            if (lines++ < XBCHECK_LINES_MAX)
                xbcheck_note(&t->notes, XBCHECK_PROBLEM, memo, -1, where + ": " + why);
            else
                more++;
        }
        return 0;
    });
    if (rc < 0)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, memo, -1, "the records cannot be read" + xbcheck_lastReport());
    if (more > 0)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, memo, -1,
                     std::to_string(more) + " more memo references are damaged");
    run->c4->error_code = 0;
}

std::vector<std::string> xbcheck_values(xbchecktable *t, const char *record)
{
    DATA4 *d4 = t->data;
    std::vector<std::string> values;
    for (int j = 0; j < d4->n_fields; j++) {
        FIELD4 *f = d4->fields + j;
        const char *p = record + f->offset;
        if (f->memo == nullptr) {
            values.push_back(trimmed(p, f->len, f->type == 'N' || f->type == 'F'));
            continue;
        }
        long block = memoBlock(p, f->len);
        char *text = nullptr;
        unsigned got = 0;
        std::string v;
        if (block > 0 && d4->memo_file.file.hand >= 0 &&
            memo4file_read_part(&d4->memo_file, block, &text, &got, 0, kMemoShown + 1) == 0) {
            v.assign(text != nullptr ? text : "", got > kMemoShown ? kMemoShown : got);
            if (got > kMemoShown)
                v += "...";
        } else if (block != 0) {
            v = "(memo unreadable)";
        }
        u4free(text);
        d4->code_base->error_code = 0;
        values.push_back(v);
    }
    return values;
}

void xbcheck_listRecords(xbcheckrun *run, xbchecktable *t)
{
    if (t->data == nullptr)
        return;
    xbcheck_beginRecords(&run->out, t);
    scanRecords(t, [&](long rec, const char *record) {
        xbcheck_putRecord(&run->out, t, rec, record[0] == '*', xbcheck_values(t, record));
        return 0;
    });
    run->c4->error_code = 0;
    xbcheck_endRecords(&run->out);
}

void xbcheck_closeTable(xbchecktable *t)
{
    if (t->data != nullptr) {
        CODE4 *c4 = t->data->code_base;
        d4close(t->data);
        c4->error_code = 0;
    }
    t->data = nullptr;
    t->index = nullptr;
}

long xbcheck_recordCount(xbcheckrun *run, const std::string &file, long *fileLen)
{
    FILE4 f;
    unsigned char count[4];
    *fileLen = -1;
    if (file4open(&f, run->c4, file.c_str(), 0) != 0) {
        run->c4->error_code = 0;
        return -1;
    }
    *fileLen = file4len(&f);
    long n = file4read_all(&f, D4_OFF_NUM_RECS, count, sizeof count) == 0 ? (long)(int32_t)util_getLe32(count) : -1;
    file4close(&f);
    run->c4->error_code = 0;
    return n;
}

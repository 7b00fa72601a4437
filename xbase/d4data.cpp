// Data files: bringing a table into use (open, create) and out of it
// (close), the cached record count and the rewrite of the header's first
// bytes. The byte layout of header and descriptors is in d4data.h.
//
// What an open keeps true of every DATA4 it hands out:
//  1. header_len > 32 and header_len <= the file's length; the descriptor
//     area (header_len - 32 bytes) holds every descriptor it names.
//  2. record_width is 1 + the sum of the field widths computed here (never
//     the header's stored record length, and never the displacement bytes
//     other writers leave in the descriptors), and it is at most 65535.
//  3. When the header's record length disagrees with the fields, the table
//     is read-only: no record is ever written with a width other programs
//     would not read back.
//  4. record and record_old have record_width + 1 bytes; the spare byte
//     carries the end-of-file mark of an append.
#include "xbase/d4data.h"

#include <cstring>
#include <string>
#include <vector>

#include "util/byteorder.h"
#include "xbase/c4conv.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/index/i4index.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/memo4.h"
#include "xbase/u4util.h"

namespace {

// Widths the format can hold.
enum {
    MAX_RECORD_LEN = 65535,     // a record length of this or more is refused
    MAX_HEADER_LEN = 65535,     // likewise the header length (2046 fields)
    MAX_NUM_WIDTH = 255,        // N and F keep width and decimals in one byte each
    MAX_CHAR_WIDTH = 65535,     // C keeps its width in two bytes
    FIXED_DATE = 8,
    FIXED_LOGICAL = 1,
    FIXED_MEMO = 10,
    NAME_LEN = 10,              // field names
    CREATE_BUFFER = 2048
};

int is_memo_type(int type) { return type == 'M' || type == 'G' || type == 'B'; }

int upper_letter(int c)
{
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

// Offset of the extension's '.' in the final component, or npos.
size_t extension_dot(const std::string &name)
{
    size_t slash = name.rfind('/');
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string::npos;
    return dot;
}

// The caller's name without trailing blanks, with ".DBF" added when its
// final component has no extension. The case stays as given: the platform
// matches the final component case-insensitively.
std::string data_file_name(const char *name)
{
    std::string s = name;
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    if (extension_dot(s) == std::string::npos)
        s += ".DBF";
    return s;
}

// The memo or index file that belongs beside the data file `name`.
std::string companion_name(const std::string &name, const char *ext)
{
    std::vector<char> buf(name.size() + 8, 0);
    if (u4name_companion(buf.data(), int(buf.size()), name.c_str(), ext) != 0)
        return std::string();
    return buf.data();
}

// Width and decimals of a descriptor as read: N and F keep decimals in byte
// 17; C and unknown letters keep the width's high byte there.
void field_width(const unsigned char *desc, int type, unsigned *len, int *dec)
{
    unsigned lo = desc[D4_FIELD_OFF_LEN];
    unsigned hi = desc[D4_FIELD_OFF_DEC];
    *dec = 0;
    if (type == 'N' || type == 'F') {
        *len = lo;
        *dec = int(hi);
    } else if (type == 'L' || type == 'D' || is_memo_type(type)) {
        *len = lo;
    } else {
        *len = lo + 256 * hi;
    }
}

// Reads header and descriptors into `data` and sets up fields, memo
// entries and record buffers. 0, or a negative code after its report.
int read_structure(DATA4 *data)
{
    CODE4 *c4 = data->code_base;
    const char *fname = data->file.name;
    unsigned char head[D4_HEADER_LEN];
    if (file4read_all(&data->file, 0, head, sizeof head) != 0)
        return e4data;
    data->version = char(head[D4_OFF_VERSION]);
    data->yy = char(head[1]);
    data->mm = char(head[2]);
    data->dd = char(head[3]);
    data->num_recs = -1;    // always read from the file: others may append
    data->header_len = util_getLe16(head + D4_OFF_HEADER_LEN);
    data->has_mdx = char(head[D4_OFF_HAS_MDX] & D4_HAS_MDX_BIT);
    unsigned stored_record_len = util_getLe16(head + D4_OFF_RECORD_LEN);

    long file_len = file4len(&data->file);
    if (file_len < 0)
        return int(file_len);
    if (data->header_len <= D4_HEADER_LEN || long(data->header_len) > file_len)
        return e4(c4, e4data, fname);

    unsigned area_len = data->header_len - D4_HEADER_LEN;
    std::vector<unsigned char> area;
    try {
        area.resize(area_len);
    } catch (...) {
        return e4(c4, e4memory, nullptr);
    }
    if (file4read_all(&data->file, D4_HEADER_LEN, area.data(), area_len) != 0)
        return e4(c4, e4data, nullptr);

    // A descriptor list ends at 0x0D or with the area; a last step that
    // starts inside the area but does not fit in it is not a descriptor.
    unsigned n = 0;
    for (unsigned pos = 0; pos < area_len && area[pos] != D4_HEADER_END; pos += D4_FIELD_LEN)
        n++;
    if (n > area_len / D4_FIELD_LEN)
        return e4(c4, e4data, fname);

    data->n_fields = int(n);
    if (n > 0) {
        data->fields = (FIELD4 *)u4alloc_er(c4, long(sizeof(FIELD4)) * long(n));
        if (data->fields == nullptr)
            return e4memory;
    }
    unsigned long width = 1;
    int n_memo = 0;
    for (unsigned i = 0; i < n; i++) {
        const unsigned char *desc = area.data() + i * D4_FIELD_LEN;
        FIELD4 *f = data->fields + i;
        unsigned name_len = 0;
        while (name_len < NAME_LEN && desc[name_len] != 0)
            name_len++;
        std::memcpy(f->name, desc, name_len);
        f->name[name_len] = 0;
        f->type = upper_letter(desc[D4_FIELD_OFF_TYPE]);
        field_width(desc, f->type, &f->len, &f->dec);
        f->offset = int(width);
        f->data = data;
        width += f->len;
        if (is_memo_type(f->type))
            n_memo++;
    }
    if (width > MAX_RECORD_LEN)
        return e4(c4, e4data, fname);
    data->record_width = unsigned(width);

    if (n_memo > 0) {
        data->fields_memo = (F4MEMO *)u4alloc_er(c4, long(sizeof(F4MEMO)) * n_memo);
        if (data->fields_memo == nullptr)
            return e4memory;
        data->n_fields_memo = n_memo;
        int j = 0;
        for (unsigned i = 0; i < n; i++) {
            FIELD4 *f = data->fields + i;
            if (!is_memo_type(f->type))
                continue;
            F4MEMO *m = data->fields_memo + j++;
            m->status = 1;
            m->contents = f4memo_null_char;
            m->field = f;
            f->memo = m;
        }
    }

    if (stored_record_len != data->record_width) {
        e4(c4, e4data, fname);
        data->file.is_read_only = 1;
    }

    data->record = (char *)u4alloc_er(c4, long(data->record_width) + 1);
    data->record_old = (char *)u4alloc_er(c4, long(data->record_width) + 1);
    if (data->record == nullptr || data->record_old == nullptr)
        return e4memory;
    std::memset(data->record, ' ', data->record_width);
    std::memset(data->record_old, ' ', data->record_width);
    data->rec_num = -1;
    data->rec_num_old = -1;
    return 0;
}

// Checks the field definitions and adds up the record length.
// 0, or the code of the report.
int create_layout(CODE4 *c4, const char *fname, const FIELD4INFO *fields, int *n_fields,
                  unsigned long *record_len, int *has_memo)
{
    *n_fields = 0;
    *record_len = 1;
    *has_memo = 0;
    for (const FIELD4INFO *fi = fields; fi->name != nullptr; fi++) {
        int type = upper_letter(fi->type);
        (*n_fields)++;
        switch (type) {
        case 'C':
            if (fi->len > MAX_CHAR_WIDTH)
                return e4describe(c4, e4record_len, "Field:", fi->name, fname);
            *record_len += fi->len;
            break;
        case 'N':
        case 'F':
            if (fi->len > MAX_NUM_WIDTH || fi->dec > fi->len)
                return e4describe(c4, e4record_len, "Field:", fi->name, fname);
            *record_len += fi->len;
            break;
        case 'D':
            *record_len += FIXED_DATE;
            break;
        case 'L':
            *record_len += FIXED_LOGICAL;
            break;
        case 'M':
        case 'G':
        case 'B':
            *record_len += FIXED_MEMO;
            *has_memo = 1;
            break;
        default:
            break;
        }
        if (*record_len >= MAX_RECORD_LEN)
            return e4(c4, e4record_len, fname);
    }
    if (32UL * (unsigned long)*n_fields + 34 >= MAX_HEADER_LEN)
        return e4describe(c4, e4create, "Too Many Fields", fname, nullptr);
    return 0;
}

// One field descriptor as this engine writes it.
void make_descriptor(unsigned char *desc, const FIELD4INFO *fi)
{
    std::memset(desc, 0, D4_FIELD_LEN);
    char name[NAME_LEN + 1];
    u4ncpy(name, fi->name, sizeof name);
    size_t len = std::strlen(name);
    while (len > 0 && name[len - 1] == ' ')
        name[--len] = 0;
    c4upper(name);
    std::memcpy(desc, name, len);
    int type = upper_letter(fi->type);
    desc[D4_FIELD_OFF_TYPE] = (unsigned char)type;
    unsigned width = 0, dec = 0;
    switch (type) {
    case 'C': width = fi->len; break;
    case 'N':
    case 'F': width = fi->len; dec = fi->dec; break;
    case 'D': width = FIXED_DATE; break;
    case 'L': width = FIXED_LOGICAL; break;
    case 'M':
    case 'G':
    case 'B': width = FIXED_MEMO; break;
    default: break;
    }
    desc[D4_FIELD_OFF_LEN] = (unsigned char)(width & 0xFF);
    desc[D4_FIELD_OFF_DEC] = (unsigned char)(type == 'C' ? (width >> 8) & 0xFF : dec);
}

// The files of open_data: 0, or what stopped the open.
int open_files(CODE4 *c4, DATA4 *data, const char *name, int companions)
{
    std::string full = data_file_name(name);
    if (file4open(&data->file, c4, full.c_str(), 1) != 0)
        return -1;
    l4add(&c4->data_list, data);
    // The alias: final component without extension, upper-cased, cut to
    // what the alias field holds.
    u4name_piece(data->alias, int(sizeof data->alias), full.c_str(), 0, 0);

    if (read_structure(data) != 0)
        return -1;
    if (!companions)
        return 0;
    if (data->has_mdx && c4->auto_open) {
        if (i4open(data, nullptr) == nullptr)
            return -1;
    }
    if ((unsigned char)data->version & D4_VERSION_MEMO_BIT) {
        // Beside the file actually opened, whatever case its name has.
        std::string memo_name = companion_name(data->file.name, "FPT");
        if (memo4file_open(&data->memo_file, data, memo_name.c_str()) < 0)
            return -1;
    }
    return 0;
}

// Opens a data file; with `companions` also its production index (when
// auto_open is on) and its memo file.
DATA4 *open_data(CODE4 *c4, const char *name, int companions)
{
    if (c4 == nullptr || name == nullptr || c4->error_code < 0)
        return nullptr;
    DATA4 *data = (DATA4 *)mem4create_alloc(c4, &c4->data_memory, int(c4->mem_start_data),
                                            sizeof(DATA4), c4->mem_expand_data, 0);
    if (data == nullptr) {
        e4(c4, e4memory, nullptr);
        return nullptr;
    }
    data->code_base = c4;
    data->locks = &data->locked_record;
    data->n_locks = 1;
    data->file.hand = -1;
    data->memo_file.file.hand = -1;
    data->rec_num = -1;
    data->rec_num_old = -1;
    data->num_recs = -1;
    // Through the guard, so that a table half open is closed however the
    // open stops.
    if (e4guard(c4, e4memory, [&] { return open_files(c4, data, name, companions); }) != 0) {
        d4close(data);
        return nullptr;
    }
    return data;
}

} // namespace

DATA4 *d4open(CODE4 *c4, const char *name)
{
    return e4guard(c4, nullptr, [&] { return open_data(c4, name, 1); });
}

DATA4 *d4open_fields(CODE4 *c4, const char *name)
{
    return e4guard(c4, nullptr, [&] { return open_data(c4, name, 0); });
}

static DATA4 *create_data(CODE4 *c4, const char *name, const FIELD4INFO *field_data,
                          const TAG4INFO *tag_info);
DATA4 *d4create(CODE4 *c4, const char *name, const FIELD4INFO *field_data, const TAG4INFO *tag_info)
{
    return e4guard(c4, nullptr, [&] { return create_data(c4, name, field_data, tag_info); });
}

static DATA4 *create_data(CODE4 *c4, const char *name, const FIELD4INFO *field_data,
                          const TAG4INFO *tag_info)
{
    if (c4 == nullptr || name == nullptr || field_data == nullptr || c4->error_code < 0)
        return nullptr;

    std::string given = name;
    while (!given.empty() && given.back() == ' ')
        given.pop_back();
    // A name given with its extension is created exactly as given; one
    // without gets the engine's upper-case name (final component only).
    std::string fname = given;
    if (extension_dot(given) == std::string::npos) {
        std::vector<char> buf(given.size() + 8, 0);
        std::memcpy(buf.data(), given.c_str(), given.size());
        if (u4name_ext(buf.data(), int(buf.size()), "DBF", 0) < 0)
            return nullptr;
        fname = buf.data();
    }

    int n_fields = 0, has_memo = 0;
    unsigned long record_len = 0;
    if (create_layout(c4, fname.c_str(), field_data, &n_fields, &record_len, &has_memo) != 0)
        return nullptr;

    FILE4 file;
    if (file4create(&file, c4, fname.c_str(), 1) != 0)
        return nullptr;

    unsigned char head[D4_HEADER_LEN] = {};
    head[D4_OFF_VERSION] = has_memo ? D4_VERSION_MEMO : D4_VERSION_PLAIN;
    char ymd[3];
    u4yymmdd(ymd);
    std::memcpy(head + 1, ymd, 3);
    util_putLe32(head + D4_OFF_NUM_RECS, 0);
    util_putLe16(head + D4_OFF_HEADER_LEN, uint16_t(D4_HEADER_LEN + D4_FIELD_LEN * n_fields + 1));
    util_putLe16(head + D4_OFF_RECORD_LEN, uint16_t(record_len));

    char wbuf[CREATE_BUFFER];
    FILE4SEQ_WRITE seq;
    file4seq_write_init(&seq, &file, 0, wbuf, sizeof wbuf);
    int rc = file4seq_write(&seq, head, sizeof head);
    for (const FIELD4INFO *fi = field_data; rc == 0 && fi->name != nullptr; fi++) {
        unsigned char desc[D4_FIELD_LEN];
        make_descriptor(desc, fi);
        rc = file4seq_write(&seq, desc, sizeof desc);
    }
    const unsigned char tail[2] = {D4_HEADER_END, D4_FILE_END};
    if (file4seq_write(&seq, tail, sizeof tail) != 0)
        rc = -1;
    if (file4seq_write_flush(&seq) != 0)
        rc = -1;
    file4close(&file);
    if (rc != 0)
        return nullptr;

    if (has_memo) {
        // An unusable memo file makes the open below fail.
        MEMO4FILE memo;
        std::memset(&memo, 0, sizeof memo);
        memo.file.hand = -1;
        std::string memo_name = companion_name(fname, "FPT");
        if (memo4file_create(&memo, c4, nullptr, memo_name.c_str()) == 0)
            file4close(&memo.file);
    }

    // The name created, so that an older file differing only in case is
    // never opened in its place.
    DATA4 *data = d4open(c4, fname.c_str());
    if (data == nullptr)
        return nullptr;
    if (tag_info != nullptr && i4create(data, nullptr, tag_info) == nullptr) {
        d4close(data);
        return nullptr;
    }
    return data;
}

static int d4close_work(DATA4 *data);
int d4close(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4close_work(data); });
}

static int d4close_work(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    CODE4 *c4 = data->code_base;
    int rc = e4set(c4, 0);
    if (rc == e4unique)
        data->record_changed = 0;

    int was_open = file4open_test(&data->file);
    if (was_open) {
        if (data->record != nullptr) {
            int r = d4update(data);
            if (r != 0) {
                rc = r;
                if (r == e4unique)
                    data->record_changed = 0;
            }
            if (d4write_behind(data) != 0)
                rc = -1;
            if (data->file_changed && d4update_header(data, 1, 0) != 0)
                rc = -1;
        }
        int r = d4unlock(data);
        if (r != 0)
            rc = r;
    }

    INDEX4 *next = nullptr;
    for (INDEX4 *i4 = (INDEX4 *)l4first(&data->indexes); i4 != nullptr; i4 = next) {
        next = (INDEX4 *)l4next(&data->indexes, i4);
        int r = i4close(i4);
        if (r != 0)
            rc = r;
    }

    if (was_open) {
        l4remove(&c4->data_list, data);
        if (file4close(&data->file) != 0)
            rc = -1;
    }

    u4free(data->record);
    u4free(data->record_old);
    for (int i = 0; i < data->n_fields_memo; i++)
        if (data->fields_memo[i].field != nullptr)
            f4memo_free(data->fields_memo[i].field);
    u4free(data->fields_memo);
    u4free(data->fields);
    if (data->memo_file.file.hand >= 0 && file4close(&data->memo_file.file) != 0)
        rc = -1;
    if (data->n_locks > 1)
        u4free(data->locks);
    mem4free(c4->data_memory, data);

    e4set(c4, rc);
    return rc;
}

long d4reccount(DATA4 *data)
{
    if (data == nullptr || data->code_base->error_code < 0)
        return -1;
    // A count kept while a run of records was lost is taken from the file.
    if (data->file.run_lost && d4write_behind(data) != 0 && data->code_base->error_code < 0)
        return -1;
    if (data->num_recs >= 0)
        return data->num_recs;
    unsigned char buf[4];
    if (file4read(&data->file, D4_OFF_NUM_RECS, buf, sizeof buf) != sizeof buf)
        return -1;
    long count = long(int32_t(util_getLe32(buf)));
    if (count < 0)
        return -1;
    data->minCount = count;
    // Nobody else can add records while this table holds the append byte
    // (a file lock covers it too), or while it has the file to itself.
    if (data->append_lock || data->file_lock || data->file.is_exclusive)
        data->num_recs = count;
    return count;
}

int d4update_header(DATA4 *data, int do_time_stamp, int do_count)
{
    if (data == nullptr)
        return -1;
    // A count that was never read must not reach the file as -1.
    if (do_count && data->num_recs < 0)
        return -1;
    unsigned char buf[10];
    if (do_time_stamp) {
        char ymd[3];
        u4yymmdd(ymd);
        data->yy = ymd[0];
        data->mm = ymd[1];
        data->dd = ymd[2];
    }
    buf[0] = (unsigned char)data->version;
    buf[1] = (unsigned char)data->yy;
    buf[2] = (unsigned char)data->mm;
    buf[3] = (unsigned char)data->dd;
    util_putLe32(buf + 4, uint32_t(data->num_recs));
    util_putLe16(buf + 8, data->header_len);

    int rc = 0;
    if (do_time_stamp && do_count)
        rc = file4write(&data->file, 0, buf, 10);
    else if (do_time_stamp)
        rc = file4write(&data->file, 0, buf, 4);
    else if (do_count)
        rc = file4write(&data->file, D4_OFF_NUM_RECS, buf + 4, 6);
    if (rc != 0)
        return -1;
    data->file_changed = 0;
    if (do_count)
        data->header_behind = 0;
    return 0;
}

const char *d4alias(DATA4 *data) { return data == nullptr ? nullptr : data->alias; }

void d4alias_set(DATA4 *data, char *new_alias)
{
    if (data == nullptr || new_alias == nullptr)
        return;
    c4upper(new_alias);
    u4ncpy(data->alias, new_alias, sizeof data->alias);
}

int d4num_fields(DATA4 *data) { return data == nullptr ? -1 : data->n_fields; }

long d4file_len(DATA4 *data) { return data == nullptr ? -1 : file4len(&data->file); }

int d4file_read(DATA4 *data, long pos, void *ptr, unsigned len)
{
    return data == nullptr ? -1 : file4read_all(&data->file, pos, ptr, len);
}

namespace {

// What the table knew of the file from before a change made beside it.
int forget_records(DATA4 *data, int rc)
{
    data->num_recs = -1;
    data->known_end = 0;
    return rc;
}

} // namespace

int d4file_write(DATA4 *data, long pos, const void *ptr, unsigned len)
{
    return data == nullptr ? -1 : forget_records(data, file4write(&data->file, pos, ptr, len));
}

int d4file_len_set(DATA4 *data, long new_len)
{
    return data == nullptr ? -1 : forget_records(data, file4len_set(&data->file, new_len));
}

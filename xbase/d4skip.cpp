// Records of a data file read and moved through: the position of a
// record, reading it, going to a record, top, bottom, skip and the end of
// file in record order or in the order of the selected tag (d4tag.cpp),
// and the record buffer.
//
// Reading keeps true:
//  R1. Only bytes missing at the file's end make a missing record; a read
//      that fails is an error that every caller passes on, and it leaves
//      no current record and no old image behind (d4read, d4go_data,
//      d4read_old).
//  R2. No record number past d4record_max reaches a position or a lock
//      byte: every operation refuses it (d4record_check).
//  R3. A lock taken only to read a record that turns out not to exist is
//      given back at once, since every appender must lock exactly the
//      record after the last one (d4go).
#include "xbase/d4data.h"

#include <climits>
#include <cstring>

#include "xbase/d4tag.h"
#include "xbase/e4error.h"
#include "xbase/file4.h"
#include "xbase/index/i4index.h"

namespace {

// No byte at or past this offset can be reached through 32-bit offsets.
const long MAX_RECORD_END = 0x80000000L;

int refused(DATA4 *data) { return data == nullptr || data->code_base->error_code < 0; }

} // namespace

// ---- Position ---------------------------------------------------------------

long d4record_position(DATA4 *data, long rec)
{
    return long(data->header_len) + long(data->record_width) * (rec - 1);
}

long d4record_max(DATA4 *data)
{
    return (MAX_RECORD_END - long(data->header_len)) / long(data->record_width);
}

int d4record_check(DATA4 *data, long rec)
{
    if (rec <= d4record_max(data))
        return 0;
    e4describe(data->code_base, e4parm, "File Name:", data->file.name,
               "Record number beyond what the file's offsets reach");
    return -1;
}

unsigned long long d4read_count = 0;

int d4read(DATA4 *data, long rec_num, char *ptr)
{
    if (refused(data) || ptr == nullptr)
        return -1;
    if (rec_num <= 0)
        return r4entry;
    if (d4record_check(data, rec_num) != 0)
        return -1;
    // Only bytes missing at the file's end make a missing record; a read
    // that fails is an error.
    d4read_count++;
    long got = file4read_kept(&data->file, d4record_position(data, rec_num), ptr,
                              data->record_width);
    if (got < 0)
        return -1;
    return got < long(data->record_width) ? r4entry : 0;
}

int d4read_old(DATA4 *data, long rec_num)
{
    if (refused(data))
        return -1;
    if (rec_num <= 0) {
        data->rec_num_old = rec_num;
        std::memset(data->record_old, ' ', data->record_width);
        return 0;
    }
    if (rec_num == data->rec_num_old)
        return 0;
    int rc = d4read(data, rec_num, data->record_old);
    if (rc < 0) {
        // Whatever the failed read left in the buffer is no image.
        data->rec_num_old = -1;
        return -1;
    }
    if (rc == r4entry)
        std::memset(data->record_old, ' ', data->record_width);
    data->rec_num_old = rec_num;
    return 0;
}

static int d4go_data_work(DATA4 *data, long rec);
int d4go_data(DATA4 *data, long rec)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4go_data_work(data, rec); });
}

static int d4go_data_work(DATA4 *data, long rec)
{
    if (refused(data))
        return -1;
    int rc = rec > 0 ? d4read(data, rec, data->record) : r4entry;
    if (rc == 0) {
        data->rec_num = rec;
        return 0;
    }
    // A failed read leaves no current record either: the buffer may hold
    // part of the record and must never be written back.
    std::memset(data->record, ' ', data->record_width);
    data->rec_num = -1;
    if (rc < 0)
        return rc;
    if (data->code_base->go_error)
        return e4describe(data->code_base, e4read, "File Name:", data->file.name, nullptr);
    return r4entry;
}

static int d4go_work(DATA4 *data, long rec);
int d4go(DATA4 *data, long rec)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4go_work(data, rec); });
}

static int d4go_work(DATA4 *data, long rec)
{
    if (refused(data) || d4record_check(data, rec) != 0)
        return -1;
    int rc = d4update_record(data, 0);
    if (rc != 0)
        return rc;
    int locked_to_read = 0;
    if (!d4lock_test(data, rec)) {
        rc = d4unlock_data(data);
        if (rc != 0)
            return rc;
        if (rec > 0 && data->code_base->read_lock) {
            rc = d4lock(data, rec);
            if (rc != 0)
                return rc;
            locked_to_read = 1;
        }
    }
    rc = d4go_data(data, rec);
    if (rc != 0) {
        // A lock taken only to read a record that is not there would stop
        // every appender, who must lock exactly that record.
        if (locked_to_read)
            d4unlock_records(data);
        return rc;
    }
    data->bof_flag = 0;
    data->eof_flag = 0;
    // A record read under its lock is what the disk holds until released.
    if (d4lock_test(data, rec) == 1) {
        std::memcpy(data->record_old, data->record, data->record_width);
        data->rec_num_old = rec;
        data->memo_validated = 1;
    } else {
        data->memo_validated = 0;
    }
    return 0;
}

int d4go_eof(DATA4 *data)
{
    if (refused(data))
        return -1;
    int rc = d4update_record(data, 1);
    if (rc != 0)
        return rc;
    long count = d4reccount(data);
    if (count < 0)
        return -1;
    data->rec_num = count + 1;
    data->eof_flag = 1;
    if (data->rec_num == 1)
        data->bof_flag = 1;
    std::memset(data->record, ' ', data->record_width);
    return r4eof;
}

static int d4top_work(DATA4 *data);
int d4top(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4top_work(data); });
}

static int d4top_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    TAG4 *t4 = d4tag_selected(data);
    if (t4 != nullptr)
        return d4tag_end(data, t4, 1);
    CODE4 *c4 = data->code_base;
    int saved = c4->go_error;
    c4->go_error = 0;
    int rc = d4go(data, 1);
    c4->go_error = saved;
    if (rc <= 0)
        return rc;
    long count = d4reccount(data);
    if (count > 0)
        return d4go(data, 1);
    if (count < 0)
        return -1;
    data->bof_flag = 1;
    return d4go_eof(data);
}

static int d4bottom_work(DATA4 *data);
int d4bottom(DATA4 *data)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4bottom_work(data); });
}

static int d4bottom_work(DATA4 *data)
{
    if (refused(data))
        return -1;
    TAG4 *t4 = d4tag_selected(data);
    if (t4 != nullptr)
        return d4tag_end(data, t4, 0);
    long count = d4reccount(data);
    if (count > 0)
        return d4go(data, count);
    if (count < 0)
        return -1;
    data->bof_flag = 1;
    return d4go_eof(data);
}

static int d4skip_work(DATA4 *data, long n);
int d4skip(DATA4 *data, long n)
{
    return e4guard(data == nullptr ? nullptr : data->code_base, e4memory, [&] { return d4skip_work(data, n); });
}

static int d4skip_work(DATA4 *data, long n)
{
    if (data == nullptr)
        return 0;
    CODE4 *c4 = data->code_base;
    if (c4->error_code < 0)
        return -1;
    if (data->rec_num < 1) {
        if (c4->skip_error == 1)
            e4describe(c4, e4info, "Skip must be made from valid record number", nullptr,
                       nullptr);
        return -1;
    }
    TAG4 *t4 = d4tag_selected(data);
    if (t4 != nullptr)
        return d4tag_skip(data, t4, n);

    data->bof_flag = 0;
    // Saturated: a huge forward skip ends past the last record.
    long target = n > 0 && data->rec_num > LONG_MAX - n ? LONG_MAX : data->rec_num + n;
    // A target no file can hold is past the last record: it is not tried.
    if (target > 0 && target <= d4record_max(data)) {
        int saved = c4->go_error;
        c4->go_error = 0;
        int rc = d4go(data, target);
        c4->go_error = saved;
        if (rc != r4entry)
            return rc;
    }
    long count = d4reccount(data);
    if (count > 0 && target <= count) {
        if (target < 1) {
            int eof_was = data->eof_flag;
            int rc = d4go(data, 1);
            if (rc != 0)
                return rc;
            data->bof_flag = 1;
            data->eof_flag = eof_was;
            return r4bof;
        }
        return d4go(data, target);
    }
    if (count < 0)
        return -1;
    if (count == 0) {
        int rc = d4go_eof(data);
        if (rc != r4eof)
            return rc;
        data->bof_flag = 1;
    }
    if (n < 0) {
        data->bof_flag = 1;
        return r4bof;
    }
    return d4go_eof(data);
}

int d4bof(DATA4 *data)
{
    if (refused(data))
        return -1;
    return data->bof_flag;
}

int d4eof(DATA4 *data)
{
    if (refused(data))
        return -1;
    return data->eof_flag;
}

long d4recno(DATA4 *data) { return data == nullptr ? -1 : data->rec_num; }
char *d4record(DATA4 *data) { return data == nullptr ? nullptr : data->record; }
unsigned d4record_width(DATA4 *data) { return data == nullptr ? 0 : data->record_width; }

// ---- The record buffer ------------------------------------------------------

void d4blank(DATA4 *data)
{
    if (data == nullptr)
        return;
    std::memset(data->record, ' ', data->record_width);
    data->record_changed = 1;
}

void d4delete(DATA4 *data)
{
    if (data == nullptr || data->record[0] == '*')
        return;
    data->record[0] = '*';
    data->record_changed = 1;
}

void d4recall(DATA4 *data)
{
    if (data == nullptr || data->record[0] == ' ')
        return;
    data->record[0] = ' ';
    data->record_changed = 1;
}

int d4deleted(DATA4 *data)
{
    if (data == nullptr)
        return -1;
    return data->record[0] != ' ' ? 1 : 0;
}

int d4changed(DATA4 *data, int flag)
{
    if (data == nullptr)
        return -1;
    int was = data->record_changed;
    if (flag >= 0)
        data->record_changed = flag > 0 ? 1 : 0;
    return was;
}

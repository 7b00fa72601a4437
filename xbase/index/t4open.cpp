// Tags opened: a tag's header read and checked and its expressions
// compiled, or a new tag set up from its description; its search-value
// conversions and key comparison; its root, version check, write-back and
// release. Declared in i4index.h (and t4cdx_cmp in b4block.h).
#include "xbase/index/i4index.h"

#include <cstring>

#include "util/byteorder.h"
#include "xbase/c4conv.h"
#include "xbase/date4.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/file4.h"
#include "xbase/index/b4block.h"
#include "xbase/l4list.h"
#include "xbase/u4util.h"

int t4version_check(TAG4 *t4, int do_unlock, int update_version)
{
    return t4 == nullptr ? -1 : i4version_check(t4->index, do_unlock, update_version);
}

int t4init(TAG4 *t4, INDEX4 *i4, long file_pos, const char *name)
{
    CODE4 *c4 = i4->code_base;
    t4->index = i4;
    t4->code_base = c4;
    t4->unique_error = c4->default_unique_error;
    t4->header_offset = file_pos;
    t4->header.root = -1;
    t4->cmp = t4cdx_cmp;
    i4tag_name(t4->alias, name);

    unsigned char head[I4_HEAD_LEN], tail[I4_TAIL_LEN];
    int rc = file4read_all(&i4->file, file_pos, head, sizeof head);
    if (rc == 0)
        rc = file4read_all(&i4->file, file_pos + I4_OFF_DESCENDING, tail, sizeof tail);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    T4HEADER &h = t4->header;
    h.root = (long)(int32_t)util_getLe32(head + I4_OFF_ROOT);
    h.free_list = (long)(int32_t)util_getLe32(head + I4_OFF_FREE_LIST);
    h.version = util_getBe32(head + I4_OFF_VERSION);
    unsigned key_len = util_getLe16(head + I4_OFF_KEY_LEN);
    h.type_code = head[I4_OFF_TYPE];
    h.signature = head[I4_OFF_SIGNATURE];
    h.descending = (short)util_getLe16(tail);
    h.filter_pos = (short)util_getLe16(tail + 2);
    unsigned filter_len = util_getLe16(tail + 4);
    h.expr_pos = (short)util_getLe16(tail + 6);
    unsigned expr_len = util_getLe16(tail + 8);

    // Every header is of the compact format; the header at 0 of a compound
    // file is its directory.
    if (h.type_code < I4_TYPE_COMPACT ||
        (file_pos == 0 && (h.type_code & (I4_TYPE_COMPOUND | I4_TYPE_DIRECTORY)) == I4_TYPE_COMPOUND))
        return i4corrupt(i4, -1);
    if (h.type_code >= I4_TYPE_DIRECTORY) {
        if (key_len != I4_DIR_KEY_LEN)
            return i4corrupt(i4, -1);
        h.key_len = (short)key_len;
        return t4init_seek_conv(t4, E4TYPE_CHAR);
    }
    if (key_len < 1 || key_len > I4_MAX_KEY_LEN || expr_len < 1 || filter_len < 1 ||
        expr_len + filter_len > I4_EXPR_AREA)
        return i4corrupt(i4, -1);
    h.key_len = (short)key_len;
    h.expr_len = (short)expr_len;
    h.filter_len = (short)filter_len;

    char area[I4_EXPR_AREA];
    rc = file4read_all(&i4->file, file_pos + I4_OFF_EXPR, area, expr_len + filter_len);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    bool filtered = (h.type_code & I4_TYPE_FILTER) != 0;
    if (area[expr_len - 1] != '\0' || (filtered && area[expr_len + filter_len - 1] != '\0'))
        return i4corrupt(i4, -1);

    t4->expr = expr4parse(i4->data, area);
    if (t4->expr == nullptr)
        return c4->expr_error ? -1 : e4describe(c4, e4index, i4->file.name, "Tag:", t4->alias);
    if (expr4key_len(t4->expr) != (int)key_len)
        return i4corrupt(i4, -1);
    rc = t4init_seek_conv(t4, expr4type(t4->expr));
    if (rc != 0)
        return rc;
    if (filtered) {
        t4->filter = expr4parse(i4->data, area + expr_len);
        if (t4->filter == nullptr)
            return c4->expr_error ? -1 : e4describe(c4, e4index, i4->file.name, "Tag:", t4->alias);
        if (expr4type(t4->filter) != E4TYPE_LOG)
            return e4describe(c4, e4index, "Filter should be Logical", i4->file.name, nullptr);
    }
    return 0;
}

int t4init_info(TAG4 *t4, INDEX4 *i4, const TAG4INFO *info)
{
    CODE4 *c4 = i4->code_base;
    t4->index = i4;
    t4->code_base = c4;
    t4->header.root = -1;
    t4->cmp = t4cdx_cmp;
    t4->unique_error = info->unique != 0 ? info->unique : c4->default_unique_error;
    i4tag_name(t4->alias, info->name);
    T4HEADER &h = t4->header;
    h.type_code = I4_TYPE_COMPACT | I4_TYPE_COMPOUND | (info->unique != 0 ? I4_TYPE_UNIQUE : 0);
    h.descending = info->descending != 0 ? 1 : 0;

    const char *expr = info->expression != nullptr ? info->expression : "";
    const char *filter = info->filter != nullptr ? info->filter : "";
    if (std::strlen(expr) > I4_EXPR_MAX || std::strlen(filter) > I4_EXPR_MAX)
        return e4describe(c4, e4index, "expression source length > max allowable chars for index",
                          t4->alias, nullptr);
    h.expr_pos = 0;
    h.expr_len = (short)(std::strlen(expr) + 1);
    h.filter_len = (short)(std::strlen(filter) + 1);
    h.filter_pos = h.expr_len;
    t4->expr = expr4parse(i4->data, expr);
    if (t4->expr == nullptr)
        return -1;
    int key_len = expr4key_len(t4->expr);
    if (key_len < 1 || key_len > I4_MAX_KEY_LEN)
        return e4describe(c4, e4index, i4->file.name, "Key length must be 1 to 240:", t4->alias);
    h.key_len = (short)key_len;
    int rc = t4init_seek_conv(t4, expr4type(t4->expr));
    if (rc != 0)
        return rc;
    if (*filter != '\0') {
        h.type_code |= I4_TYPE_FILTER;
        t4->filter = expr4parse(i4->data, filter);
        if (t4->filter == nullptr)
            return -1;
        if (expr4type(t4->filter) != E4TYPE_LOG)
            return e4describe(c4, e4index, "Filter should be Logical", i4->file.name, nullptr);
    }
    return 0;
}

int t4init_seek_conv(TAG4 *t4, int type)
{
    // How search values become keys, by the key expression's type.
    static const struct {
        int type;
        t4stok_func stok;
        t4dtok_func dtok;
        char p_char;
    } conv[] = {
        {E4TYPE_CHAR, t4no_change_str, nullptr, ' '}, {E4TYPE_DATE_RAW, t4dtstr_to_fox, t4dbl_to_fox, 0},
        {E4TYPE_DATE, t4dtstr_to_fox, t4dbl_to_fox, 0}, {E4TYPE_NUM_RAW, t4str_to_fox, t4dbl_to_fox, 0},
        {E4TYPE_NUM, t4str_to_fox, t4dbl_to_fox, 0},  {E4TYPE_LOG, t4str_to_log, nullptr, 0},
    };
    t4->cmp = t4cdx_cmp;
    for (const auto &c : conv)
        if (c.type == type) {
            t4->stok = c.stok;
            t4->dtok = c.dtok;
            t4->p_char = c.p_char;
            return 0;
        }
    return e4describe(t4->code_base, e4info, "Invalid key type in index file", nullptr, nullptr);
}

int t4type(TAG4 *t4)
{
    return t4 == nullptr || t4->expr == nullptr ? -1 : expr4type(t4->expr);
}

long t4root(TAG4 *t4)
{
    INDEX4 *i4 = t4->index;
    if (t4->header.root <= 0) {
        unsigned char buf[4];
        int rc = file4read_all(&i4->file, t4->header_offset + I4_OFF_ROOT, buf, sizeof buf);
        if (rc != 0)
            return rc < 0 ? rc : -1;
        t4->header.root = (long)(int32_t)util_getLe32(buf);
    }
    if (!i4valid_block(i4, t4->header.root, -1)) {
        t4->header.root = -1;
        // Without the lock the header may belong to a rebuild under way.
        return i4lock_test(i4) == 1 ? i4corrupt(i4, -1) : 0;
    }
    return t4->header.root;
}

int t4update(TAG4 *t4)
{
    if (t4 == nullptr)
        return -1;
    int rc = i4cache_flush(t4->index, t4);
    for (B4BLOCK *b = (B4BLOCK *)l4first(&t4->blocks); b != nullptr; b = (B4BLOCK *)l4next(&t4->blocks, b)) {
        int r = b4flush(b);
        if (r != 0 && rc == 0)
            rc = r;
    }
    if (t4->root_write) {
        unsigned char buf[4];
        util_putLe32(buf, (uint32_t)t4->header.root);
        int r = file4write(&t4->index->file, t4->header_offset + I4_OFF_ROOT, buf, sizeof buf);
        if (r == 0)
            t4->root_write = 0;
        else if (rc == 0)
            rc = r;
    }
    return rc;
}

int t4free_all(TAG4 *t4)
{
    if (t4 == nullptr)
        return -1;
    int rc = t4update(t4);
    i4cache_drop(t4);
    return rc;
}

void t4no_change_str(char *out, const char *text, int len)
{
    if (len > 0)
        std::memcpy(out, text, (size_t)len);
}

void t4str_to_fox(char *out, const char *text, int len)
{
    t4dbl_to_fox(out, c4atod(text, len));
}

void t4dtstr_to_fox(char *out, const char *text, int len)
{
    // Date text is CCYYMMDD; shorter text is blank-padded first.
    char date[8];
    std::memset(date, ' ', sizeof date);
    if (len > 0)
        std::memcpy(date, text, (size_t)(len < 8 ? len : 8));
    t4dbl_to_fox(out, (double)date4long(date));
}

void t4str_to_log(char *out, const char *text, int len)
{
    out[0] = 'F';
    for (int i = 0; i < len; i++) {
        char c = text[i];
        if (c == 'F' || c == 'N' || c == 'f' || c == 'n')
            return;
        if (c == 'T' || c == 'Y' || c == 't' || c == 'y') {
            out[0] = 'T';
            return;
        }
    }
}

int t4cdx_cmp(const void *stored, const void *value, unsigned len)
{
    const unsigned char *a = (const unsigned char *)stored;
    const unsigned char *b = (const unsigned char *)value;
    for (unsigned i = 0; i < len; i++) {
        if (a[i] != b[i])
            return a[i] < b[i] ? (int)i : -1;
    }
    return (int)len;
}

// Test helpers for expressions: a table held only in memory (fields, one
// record buffer, an alias in the context's list) and readable renderings
// of results and keys.
#ifndef CATALOGR_TESTS_EXPRTEST_H
#define CATALOGR_TESTS_EXPRTEST_H

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/xbase/sampledump.h"
#include "xbase/code4.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/l4list.h"

namespace exprtest {

struct FieldDef {
    const char *name;
    int type;
    unsigned len;
    int dec;
};

// A table without a file: enough for the parser to find fields and for the
// evaluator to read the current record.
struct MemTable {
    CODE4 cb;
    DATA4 data;
    std::vector<FIELD4> fields;
    std::vector<char> rec;

    MemTable(const std::vector<FieldDef> &defs, const char *alias = "TEST")
    {
        d4init(&cb);
        memset(&data, 0, sizeof(data));
        data.code_base = &cb;
        int offset = 1;
        for (const FieldDef &d : defs) {
            FIELD4 f;
            memset(&f, 0, sizeof(f));
            snprintf(f.name, sizeof(f.name), "%s", d.name);
            f.type = d.type;
            f.len = d.len;
            f.dec = d.dec;
            f.offset = offset;
            f.data = &data;
            offset += (int)d.len;
            fields.push_back(f);
        }
        rec.assign((size_t)offset, ' ');
        data.record = rec.data();
        data.record_width = (unsigned)offset;
        data.fields = fields.data();
        data.n_fields = (int)fields.size();
        data.num_recs = 1;
        data.rec_num = 1;
        snprintf(data.alias, sizeof(data.alias), "%s", alias);
        l4add(&cb.data_list, &data);
    }
    ~MemTable()
    {
        expr4calc_reset(&cb);
        l4remove(&cb.data_list, &data);
        d4init_undo(&cb);
    }
    MemTable(const MemTable &) = delete;
    MemTable &operator=(const MemTable &) = delete;

    // Stores a value as the file holds it: left-justified text, blank-padded.
    void set(const char *name, const std::string &value)
    {
        for (FIELD4 &f : fields)
            if (strcmp(f.name, name) == 0) {
                memset(&rec[(size_t)f.offset], ' ', f.len);
                memcpy(&rec[(size_t)f.offset], value.data(), value.size() < f.len ? value.size() : f.len);
                return;
            }
        ADD_FAILURE() << "no field " << name;
    }
};

// The error code the last report left, 0 when none was made.
inline int lastError()
{
    int code = 0;
    e4getErrorInfo(&code, nullptr, 0);
    return code;
}

using sampledump::keyToDouble;
using sampledump::number;

// A value as text: characters as they are, logicals as T or F, numbers
// and day numbers in shortest decimal form.
inline std::string render(e4expr_st *e, const char *p, int len)
{
    switch (expr4type(e)) {
    case 'L': {
        int32_t v;
        memcpy(&v, p, sizeof(v));
        return v ? "T" : "F";
    }
    case 'n':
    case 'd': {
        double d;
        memcpy(&d, p, sizeof(d));
        return number(d);
    }
    default:
        return std::string(p, (size_t)len);
    }
}

} // namespace exprtest

#endif

// Values that must never be read from outside their own bytes: date fields
// narrower than a date, and named calculations whose value is a date text.
#include <string>

#include <gtest/gtest.h>

#include "tests/xbase/expr/exprtest.h"

using exprtest::MemTable;

TEST(ExprFieldWidth, DateFieldNarrowerThanADateIsRefused)
{
    // A damaged descriptor can give a date field fewer than 8 bytes; every
    // date routine reads 8, which would run past the record.
    MemTable t({{"A", 'C', 4, 0}, {"BORN", 'D', 3, 0}});
    for (const char *text : {"BORN", "DTOS(BORN)", "BORN + 1", "YEAR(BORN)"}) {
        SCOPED_TRACE(text);
        e4clearErrorState();
        EXPECT_EQ(nullptr, expr4parse(&t.data, text));
        EXPECT_EQ(e4type_sub, exprtest::lastError());
    }
}

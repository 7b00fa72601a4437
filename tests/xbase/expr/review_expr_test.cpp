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

TEST(ExprCalc, DateCalculationIsUsedAsItsTextOnly)
{
    MemTable t({{"BORN", 'D', 8, 0}, {"A", 'C', 4, 0}});
    t.set("BORN", "19961231");
    e4expr_st *inner = expr4parse(&t.data, "BORN");
    ASSERT_NE(nullptr, inner);
    ASSERT_NE(nullptr, expr4calc_create(&t.cb, inner, "BD"));

    e4expr_st *e = expr4parse(&t.data, "DTOS(BD()) + A");
    ASSERT_NE(nullptr, e);
    char *p;
    ASSERT_EQ(12, expr4vary(e, &p));
    EXPECT_EQ("19961231    ", std::string(p, 12));
    expr4free(e);

    // Only a date field can be turned into a day number in place; the
    // calculation's entry has no field to read.
    for (const char *text : {"BD() + 1", "BD() = BORN", "DTOS(BD() - 1)"}) {
        SCOPED_TRACE(text);
        e4clearErrorState();
        EXPECT_EQ(nullptr, expr4parse(&t.data, text));
        EXPECT_EQ(e4type_sub, exprtest::lastError());
    }
}

TEST(ExprCalc, ReleasingTheContextDeletesEveryCalculation)
{
    exprtest::MemTable t({{"POSITION", 'N', 4, 0}});
    e4expr_st *inner = expr4parse(&t.data, "POSITION");
    ASSERT_NE(nullptr, inner);
    ASSERT_NE(nullptr, expr4calc_create(&t.cb, inner, "P"));
    ASSERT_EQ(1, t.cb.calc_list.n_link);
    // The calculation's expression and unit go with the context; the list
    // never points into a released pool (the sanitizer build checks both).
    // The table lives in memory only: it leaves the list of files to close.
    l4remove(&t.cb.data_list, &t.data);
    d4init_undo(&t.cb);
    EXPECT_EQ(0, t.cb.calc_list.n_link);
    EXPECT_EQ(nullptr, t.cb.calc_memory);
    EXPECT_EQ(nullptr, expr4calc_lookup(&t.cb, "P", 1));
    l4add(&t.cb.data_list, &t.data);
}

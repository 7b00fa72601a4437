// Expressions over a table in memory: what each text compiles to (result
// type, length, value), how malformed texts fail, and the compiled layout
// that evaluation relies on.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/xbase/expr/exprtest.h"
#include "xbase/date4.h"
#include "xbase/mem4.h"

using exprtest::MemTable;

namespace {

const std::vector<exprtest::FieldDef> kFields = {
    {"CREATOR", 'C', 8, 0}, {"TABLE", 'C', 30, 0}, {"POSITION", 'N', 4, 0},
    {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 8, 0},   {"HIRED", 'D', 8, 0},
    {"ACTIVE", 'L', 1, 0},  {"A", 'C', 4, 0},       {"B", 'C', 2, 0},
    {"NAME", 'C', 10, 0},   {"RATE", 'F', 9, 3},    {"WIDE", 'C', 40000, 0},
};

struct Table : MemTable {
    Table() : MemTable(kFields)
    {
        set("CREATOR", "DBA");
        set("TABLE", "EMP");
        set("POSITION", "   7");
        set("AMOUNT", "    -12.50");
        set("BORN", "19961231");
        set("HIRED", "");
        set("ACTIVE", "T");
        set("A", "AB");
        set("B", "CD");
        set("NAME", "brown");
        set("RATE", "   -0.864");
        data.rec_num = 5;
        data.num_recs = 9;
    }
};

struct Case {
    const char *text;
    char type;
    int len;
    std::string value;
};

std::string blanks(int n)
{
    return std::string((size_t)n, ' ');
}

} // namespace

TEST(ExprEvaluate, ResultTypeLengthAndValueOfEachExpression)
{
    const std::string zero2("\0\0", 2);
    const Case cases[] = {
        // The dictionary's own keys and filter.
        {"CREATOR+TABLE", 'C', 38, "DBA" + blanks(5) + "EMP" + blanks(27)},
        {"CREATOR+TABLE+STR(POSITION)", 'C', 48, "DBA" + blanks(5) + "EMP" + blanks(27) + blanks(9) + "7"},
        {".NOT. DELETED()", 'L', 4, "T"},
        {".not. deleted()", 'L', 4, "T"},
        // Keys and filters as other writers store them.
        {"! Deleted()", 'L', 4, "T"},
        {"DToS( BORN ) + NAME", 'C', 18, "19961231brown     "},
        {"Str( POSITION, 5 ) + Upper( NAME )", 'C', 15, "    7BROWN     "},
        {"POSITION != 8", 'L', 4, "T"},
        // Grouping and priorities.
        {"10-4-3", 'n', 8, "3"},
        {"2^3^2", 'n', 8, "64"},
        {"2**3", 'n', 8, "8"},
        {"2+3*4", 'n', 8, "14"},
        {"(2+3)*4", 'n', 8, "20"},
        {"5/0", 'n', 8, "0"},
        {"-5 + POSITION", 'n', 8, "2"},
        {"VAL('12.5') * 2", 'n', 8, "25"},
        {"AMOUNT + 1", 'n', 8, "-11.5"},
        {"RATE", 'N', 9, "   -0.864"},
        // Character operators.
        {"A+B", 'C', 6, "AB  CD"},
        {"A-B", 'C', 6, "ABCD  "},
        {"A-B-A", 'C', 10, "ABCDAB    "},
        {"TRIM(A)+B", 'C', 6, "ABCD" + zero2},
        {"LTRIM('  X')", 'C', 3, std::string("X\0\0", 3)},
        {"UPPER(NAME)", 'C', 10, "BROWN     "},
        {"'a' + [b] + \"c\"", 'C', 3, "abc"},
        {"STR(AMOUNT,8,1)", 'C', 8, "   -12.5"},
        {"STR(POSITION,5,2)", 'C', 5, " 7.00"},
        {"STR(POSITION,3,2)", 'C', 3, "7.0"},
        {"SUBSTR(TABLE,2,2)", 'C', 2, "MP"},
        {"SUBSTR(A,0,3)", 'C', 3, "AB "},
        {"SUBSTR(TABLE,50,5)", 'C', 0, ""},
        {"SUBSTR(CREATOR,3)", 'C', 6, "A     "},
        {"LEFT(CREATOR,2)", 'C', 2, "DB"},
        {"LEFT(CREATOR,50)", 'C', 8, "DBA     "},
        {"DEL()", 'C', 1, " "},
        // Comparisons and containment on characters.
        {"'AB' < 'ABC'", 'L', 4, "T"},
        {"'AB' > 'ABC'", 'L', 4, "F"},
        {"'AB' >= 'ABC'", 'L', 4, "T"},
        {"'AB' = 'ABC'", 'L', 4, "T"},
        {"'ABC' = 'AB'", 'L', 4, "T"},
        {"'AB' <> 'AB'", 'L', 4, "F"},
        {"'B' > 'ABC'", 'L', 4, "T"},
        {"'BC' $ 'ABCD'", 'L', 4, "T"},
        {"'X' $ 'ABCD'", 'L', 4, "F"},
        {"'' $ 'ABCD'", 'L', 4, "F"},
        {"'ABCDE' $ 'ABCD'", 'L', 4, "F"},
        {"NAME $ 'brown     '", 'L', 4, "T"},
        // Logical operators and IIF.
        {"ACTIVE .AND. POSITION = 7 .AND. .T.", 'L', 4, "T"},
        {"ACTIVE.AND..F. .OR. CREATOR = 'DBA'", 'L', 4, "T"},
        {".NOT. ACTIVE .OR. .F.", 'L', 4, "F"},
        {"IIF(ACTIVE, 'YES', 'NO ')", 'C', 3, "YES"},
        {"IIF(POSITION > 10, 1, 2)", 'n', 8, "2"},
        // Dates, with blank dates staying blank.
        {"DTOS(BORN)", 'C', 8, "19961231"},
        {"DTOS(BORN+1)", 'C', 8, "19970101"},
        {"DTOS(HIRED+3)", 'C', 8, blanks(8)},
        {"3 + HIRED", 'd', 8, "0"},
        {"BORN - HIRED", 'n', 8, "0"},
        {"HIRED - BORN", 'n', 8, "0"},
        {"BORN - STOD('19961201')", 'n', 8, "30"},
        {"BORN - 1 > STOD('1996')", 'L', 4, "T"},
        {"YEAR(BORN)", 'n', 8, "1996"},
        {"MONTH(BORN+1)", 'n', 8, "1"},
        {"DAY(BORN)", 'n', 8, "31"},
        {"DTOC(BORN)", 'C', 8, "12/31/96"},
        {"CTOD('12/31/96') = BORN", 'L', 4, "T"},
        {"CTOD('12/31/92') - BORN", 'n', 8, "-1461"},
        // Record functions and field references.
        {"RECNO()", 'n', 8, "5"},
        {"RECCOUNT()", 'n', 8, "9"},
        {"TEST.CREATOR", 'C', 8, "DBA     "},
        {"test->TABLE", 'C', 30, "EMP" + blanks(27)},
        {"CREATOR) whatever follows", 'C', 8, "DBA     "},
    };
    Table t;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        e4expr_st *e = expr4parse(&t.data, c.text);
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(c.type, expr4type(e));
        EXPECT_EQ(c.len, expr4len(e));
        char *p = nullptr;
        ASSERT_EQ(c.len, expr4vary(e, &p));
        EXPECT_EQ(c.value, exprtest::render(e, p, c.len));
        EXPECT_STREQ(c.text, expr4source(e));
        expr4free(e);
    }
}

TEST(ExprParse, ConstantArgumentsFoldForEveryIntOversizedAndUnfinishedTextsAreRefused)
{
    std::string sum600 = "QTY";
    for (int i = 1; i < 600; i++)
        sum600 += "+QTY";
    const struct {
        std::string text;
        int code;  // 0: compiles to the type, length and value given
        char type;
        int len;
        std::string value;
    } cases[] = {
        {"STR(QTY,-1)", 0, 'C', 10, "         5"},
        {"STR(QTY,5,-2)", 0, 'C', 5, "    5"},
        {"STR(AMOUNT,10,20)", 0, 'C', 10, "1.25000000"},
        {"STR(QTY,-99999999999)", 0, 'C', 10, "         5"},
        {"SUBSTR(NAME,-2,3)", 0, 'C', 3, "ZHA"},
        {"SUBSTR(NAME,-99999999999,2)", 0, 'C', 2, "ZH"},
        {"SUBSTR(NAME,1,70000)", 0, 'C', 10, "ZHANG     "},
        {"LEFT(NAME,70000)", 0, 'C', 10, "ZHANG     "},
        {"LEFT(NAME,99999999999)", 0, 'C', 10, "ZHANG     "},
        {"SUBSTR(NAME,70000,2)", 0, 'C', 0, ""},
        {"SUBSTR(NAME,3,-1)", 0, 'C', 0, ""},
        {"LEFT(NAME,-3)+'X'", 0, 'C', 1, "X"},
        {"LEFT(STR(QTY,70000),3)", e4memory, 0, 0, ""},
        {sum600, e4memory, 0, 0, ""},
        {"UPPER(NAME", e4right_missing, 0, 0, ""},
        {"STR(QTY,5", e4right_missing, 0, 0, ""},
    };
    MemTable t({{"NAME", 'C', 10, 0}, {"QTY", 'N', 5, 0}, {"AMOUNT", 'N', 10, 2}});
    t.set("NAME", "ZHANG");
    t.set("QTY", "    5");
    t.set("AMOUNT", "      1.25");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        e4clearErrorState();
        e4expr_st *e = expr4parse(&t.data, c.text.c_str());
        EXPECT_EQ(c.code, exprtest::lastError());
        if (c.code != 0) {
            EXPECT_EQ(nullptr, e);
            if (c.code == e4memory) {
                // The report names the cause and the text, cut to the slot.
                std::string want = "Xbase -920: Out of Memory Expression too large " + c.text;
                want = want.substr(0, E4_ERROR_BUFFER_LEN - 1);
                char msg[E4_ERROR_BUFFER_LEN];
                e4getErrorInfo(nullptr, msg, sizeof(msg));
                EXPECT_EQ(want, std::string(msg).substr(0, want.size()));
            }
            continue;
        }
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(c.type, expr4type(e));
        char *p = nullptr;
        ASSERT_EQ(c.len, expr4vary(e, &p));
        EXPECT_EQ(c.value, std::string(p, (size_t)c.len));
        expr4free(e);
    }
}

TEST(ExprParse, MalformedTextsFailWithTheirCode)
{
    std::string chain19 = "ACTIVE", chain20, nested33(33, '('), longStrings;
    for (int i = 1; i < 19; i++)
        chain19 += " .AND. ACTIVE";
    chain20 = chain19 + " .AND. ACTIVE";
    nested33 += "1";
    nested33 += std::string(33, ')');
    for (int i = 0; i < 6; i++)
        longStrings += (i ? "+'" : "'") + std::string(90, 'x') + "'";
    std::string manyEntries = "TABLE";
    for (int i = 0; i < 1500; i++)
        manyEntries += "+TABLE";

    const struct {
        std::string text;
        int code;
    } cases[] = {
        {"UPPER(A", e4right_missing},
        {"WIDE+WIDE", e4memory},
        {manyEntries, e4memory},
        {"NOALIAS->A", e4data_name},
        {"IIF(ACTIVE,'AB','ABC')", e4length_err},
        {"STR(POSITION,POSITION)", e4not_constant},
        {"SUBSTR(A,POSITION,2)", e4not_constant},
        {"SUBSTR(A,1+1,2)", e4not_constant},
        {"LEFT(A,1e5)", e4field_name},   // 1e5 is read as a name
        {"UPPER(A,B)", e4num_parms},
        {"DATE(1)", e4num_parms},
        {chain20, e4overflow},
        {"(A", e4right_missing},
        {"UPPER(A,", e4right_missing},
        {"UPPER(", e4right_missing},
        {"POSITION = 'A'", e4type_sub},
        {"UPPER(POSITION)", e4type_sub},
        {"ACTIVE + 1", e4type_sub},
        {"SUBS(A,1,2)", e4unrec_function},
        {"A B", e4unrec_operator},
        {"A ! B", e4unrec_operator},
        {"DATE( )", e4unrec_value},
        {"-A", e4unrec_value},
        {"", e4unrec_value},
        {"A = ", e4unrec_value},
        {"ABCDEFGHIJK", e4unrec_value},
        {"'ABC", e4unterminated},
        {"[ABC'", e4unterminated},
        {nested33, e4memory},
        {longStrings, e4memory},
        {"NOSUCH", e4field_name},
    };
    Table t;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        e4clearErrorState();
        EXPECT_EQ(nullptr, expr4parse(&t.data, c.text.c_str()));
        EXPECT_EQ(c.code, exprtest::lastError());
    }
    // The limits themselves compile.
    e4expr_st *e = expr4parse(&t.data, chain19.c_str());
    EXPECT_NE(nullptr, e);
    expr4free(e);
    e = expr4parse(&t.data, nested33.substr(1, nested33.size() - 2).c_str());
    EXPECT_NE(nullptr, e);
    expr4free(e);
}

TEST(ExprParse, FailuresAreSilentWhenReportsAreOffAndRefusedAfterAPendingError)
{
    Table t;
    t.cb.expr_error = 0;
    e4clearErrorState();
    EXPECT_EQ(nullptr, expr4parse(&t.data, "A +"));
    EXPECT_EQ(0, exprtest::lastError());
    t.cb.expr_error = 1;
    e4set(&t.cb, e4memory);
    EXPECT_EQ(nullptr, expr4parse(&t.data, "A"));
    e4set(&t.cb, 0);
}

TEST(ExprParse, NothingIsLeftAllocatedWhenMemoryRunsOut)
{
    // Every allocation of the compilation in turn fails; the sanitizer
    // build's leak check sees anything left behind.
    for (long n = 0; n < 6; n++) {
        Table t;
        u4alloc_fail_after(n);
        e4expr_st *e = expr4parse(&t.data, "UPPER(CREATOR)+TABLE+STR(POSITION)");
        u4alloc_fail_after(-1);
        if (e != nullptr) {
            char *p;
            EXPECT_EQ(48, expr4vary(e, &p));
        }
        expr4free(e);
    }
}

namespace {

struct Layout {
    std::vector<int> rows, pos, lens;
};

Layout layout(e4expr_st *e)
{
    Layout l;
    for (int i = 0; i < e->info_n; i++) {
        l.rows.push_back(e->info[i].function_i);
        l.pos.push_back(e->info[i].result_pos);
        l.lens.push_back(e->info[i].len);
    }
    return l;
}

} // namespace

TEST(ExprCompile, DictionaryKeyHasTheDocumentedLayout)
{
    Table t;
    e4expr_st *e = expr4parse(&t.data, "CREATOR+TABLE+STR(POSITION)");
    ASSERT_NE(nullptr, e);
    Layout l = layout(e);
    EXPECT_EQ((std::vector<int>{1, 1, 17, 5, 53, 17}), l.rows);
    EXPECT_EQ((std::vector<int>{0, 8, 0, 38, 38, 0}), l.pos);
    EXPECT_EQ((std::vector<int>{8, 30, 38, 4, 10, 48}), l.lens);
    EXPECT_EQ(8, e->info[2].i1);
    EXPECT_EQ(38, e->info[5].i1);
    EXPECT_EQ(0, e->info[4].i1);
    EXPECT_EQ(49, e->len_eval);
    EXPECT_EQ(48, expr4key_len(e));
    EXPECT_EQ(0, e->has_trim);
    expr4free(e);

    e = expr4parse(&t.data, ".NOT. DELETED()");
    ASSERT_NE(nullptr, e);
    l = layout(e);
    EXPECT_EQ((std::vector<int>{77, 14}), l.rows);
    EXPECT_EQ((std::vector<int>{0, 0}), l.pos);
    EXPECT_EQ((std::vector<int>{4, 4}), l.lens);
    EXPECT_EQ(1, expr4key_len(e));
    expr4free(e);
}

TEST(ExprCompile, VariantsConversionsAndCopiesFollowTheOperandTypes)
{
    const struct {
        const char *text;
        std::vector<int> rows;
    } cases[] = {
        {"POSITION > 3", {5, 8, 42}},
        {"DTOS(BORN)", {4, 57}},
        {"DTOS(DATE())", {70, 58}},
        {"YEAR(DATE())", {70, 76}},
        {"BORN + 1", {3, 8, 21}},
        {"1 + BORN", {8, 3, 20}},
        {"IIF(ACTIVE,1,2)", {2, 8, 8, 65}},
        {"UPPER(A)", {1, 56}},
        {"A+B", {1, 1, 17}},
        {"A=B", {0, 0, 26}},
        {"A!=B", {0, 0, 31}},
        {".NOT. A = B", {0, 0, 26, 14}},
        {"SUBSTR(A,3,2)", {1, 54}},
        {"LEFT(TABLE,5)", {1, 63}},
        {"TRIM(A)+B", {1, 61, 1, 18}},
        {"A+TRIM(B)", {1, 1, 61, 18}},
        {"TRIM(A)+B+A", {1, 61, 1, 18, 1, 18}},
        {".T. .AND. .FALSE. .AND. ACTIVE", {11, 12, 2, 16}},
        {".TRUE. .AND. .F. .OR. ACTIVE", {10, 13, 16, 2, 15}},
    };
    Table t;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        e4expr_st *e = expr4parse(&t.data, c.text);
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(c.rows, layout(e).rows);
        expr4free(e);
    }

    e4expr_st *e = expr4parse(&t.data, ".T. .AND. .FALSE. .AND. ACTIVE");
    EXPECT_EQ(3, e->info[3].num_parms);
    EXPECT_EQ(4, e->info[3].num_entries);
    expr4free(e);
    e = expr4parse(&t.data, "SUBSTR(A,3,2)");
    EXPECT_EQ(2, e->info[1].i1);
    EXPECT_EQ(2, e->info[1].len);
    expr4free(e);
    e = expr4parse(&t.data, "STR(POSITION,5,2)");
    EXPECT_EQ(2, e->info[1].i1);
    expr4free(e);
    e = expr4parse(&t.data, "TRIM(A)+B");
    EXPECT_EQ(1, e->has_trim);
    expr4free(e);
}

TEST(ExprCompile, ConvertedNumberFieldGetsItsWholeSlot)
{
    // The field is the second operand and the last value; its 8-byte double
    // must still lie inside the work area evaluation uses.
    Table t;
    e4expr_st *e = expr4parse(&t.data, "3 < POSITION");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(8, e->info[1].result_pos);
    EXPECT_GE(e->len_eval, 8 + 8 + 1);
    EXPECT_EQ(1, expr4true(e));
    expr4free(e);
}

TEST(ExprEvaluate, NumbersCompareAsValues)
{
    Table t;
    t.set("AMOUNT", "0.00");
    e4expr_st *e = expr4parse(&t.data, "AMOUNT * -1 = 0 .AND. .NOT. AMOUNT * -1 # 0");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(1, expr4true(e));
    expr4free(e);
}

TEST(ExprEvaluate, TrueOnlyForLogicalResults)
{
    Table t;
    e4expr_st *e = expr4parse(&t.data, "CREATOR");
    e4clearErrorState();
    EXPECT_EQ(e4result, expr4true(e));
    char msg[E4_ERROR_BUFFER_LEN];
    e4getErrorInfo(nullptr, msg, sizeof(msg));
    EXPECT_NE(nullptr, strstr(msg, "Unexpected Result expr4true() Expecting logical result."));
    expr4free(e);

    e = expr4parse(&t.data, "DELETED()");
    t.rec[0] = '*';
    EXPECT_EQ(1, expr4true(e));
    t.rec[0] = ' ';
    EXPECT_EQ(0, expr4true(e));
    e4set(&t.cb, e4memory);
    EXPECT_EQ(-1, expr4true(e));
    char *p;
    EXPECT_EQ(-1, expr4vary(e, &p));
    EXPECT_EQ(-1, expr4key(e, &p));
    e4set(&t.cb, 0);
    expr4free(e);
}

TEST(ExprEvaluate, UpperStopsAtAZeroByte)
{
    Table t;
    e4expr_st *e = expr4parse(&t.data, "UPPER(TRIM('ab ') + 'cd')");
    ASSERT_NE(nullptr, e);
    char *p;
    ASSERT_EQ(5, expr4vary(e, &p));
    EXPECT_EQ(std::string("ABCD\0", 5), std::string(p, 5));
    expr4free(e);
}

TEST(ExprCalc, NamedCalculationIsCalledLikeAFunction)
{
    Table t;
    e4expr_st *inner = expr4parse(&t.data, "POSITION");
    ASSERT_NE(nullptr, inner);
    EXPR4CALC *calc = expr4calc_create(&t.cb, inner, "double_me");
    ASSERT_NE(nullptr, calc);
    EXPECT_EQ('n', expr4type(inner));
    EXPECT_EQ(calc, expr4calc_lookup(&t.cb, "DOUBLE_ME", 9));

    e4expr_st *e = expr4parse(&t.data, "STR(double_me() * 2, 4) + CREATOR");
    ASSERT_NE(nullptr, e);
    char *p;
    ASSERT_EQ(12, expr4vary(e, &p));
    EXPECT_EQ("  14DBA     ", std::string(p, 12));

    // Renaming rewrites the text, leaving names that only contain the old
    // one alone, and recompiles it.
    e4expr_st *other = expr4parse(&t.data, "AMOUNT");
    ASSERT_NE(nullptr, expr4calc_create(&t.cb, other, "OTHER"));
    EXPECT_EQ(0, expr4calc_name_change(&e, "DOUBLE_ME", "Other"));
    EXPECT_STREQ("STR(Other() * 2, 4) + CREATOR", expr4source(e));
    ASSERT_EQ(12, expr4vary(e, &p));
    EXPECT_EQ(" -25DBA     ", std::string(p, 12));
    EXPECT_EQ(0, expr4calc_name_change(&e, "CREAT", "X"));
    EXPECT_STREQ("STR(Other() * 2, 4) + CREATOR", expr4source(e));
    expr4free(e);
    // Constants keep their text, in every kind of quotes.
    e = expr4parse(&t.data, "STR(Other(),4)+'Other'+\"OTHER\"+[other]");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(0, expr4calc_name_change(&e, "OTHER", "Double_me"));
    EXPECT_STREQ("STR(Double_me(),4)+'Other'+\"OTHER\"+[other]", expr4source(e));
    expr4free(e);
    e4clearErrorState();
    EXPECT_EQ(nullptr, expr4parse(&t.data, "double_me + 1")) << "without brackets it is a field name";
    EXPECT_EQ(e4field_name, exprtest::lastError());
    expr4calc_reset(&t.cb);
    EXPECT_EQ(nullptr, expr4calc_lookup(&t.cb, "DOUBLE_ME", 9));
}

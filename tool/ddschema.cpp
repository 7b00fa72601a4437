// The dictionary's table layouts and tags, and the base names of its
// tables.
#include "tool/ddschema.h"

// The layouts are the contract with the SQL layer that reads the
// dictionary: names, types, widths, order, tags and expressions are fixed.
const FIELD4INFO table_info[] = {
    {"TABLE", 'C', 30, 0},
    {"FILENAME", 'C', 254, 0},
    {"MDXFILE", 'C', 254, 0},
    {"CREATOR", 'C', 8, 0},
    {"COLCOUNT", 'N', 3, 0},
    {nullptr, 0, 0, 0},
};

const TAG4INFO table_tags[] = {
    {"TABLE", "TABLE", ".NOT. DELETED()", 0, 0},
    {"CREATOR", "CREATOR", ".NOT. DELETED()", 0, 0},
    {"CRTB", "CREATOR+TABLE", ".NOT. DELETED()", 0, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const FIELD4INFO column_info[] = {
    {"TABLE", 'C', 30, 0},
    {"COLUMN", 'C', 10, 0},
    {"CREATOR", 'C', 8, 0},
    {"TYPE", 'C', 15, 0},
    {"WIDTH", 'N', 3, 0},
    {"DECIMALS", 'N', 2, 0},
    {"POSITION", 'N', 4, 0},
    {"NULLSOK", 'L', 1, 0},
    {nullptr, 0, 0, 0},
};

const TAG4INFO column_tags[] = {
    {"CTABLE", "TABLE", ".NOT. DELETED()", 0, 0},
    {"CCOLUMN", "COLUMN", ".NOT. DELETED()", 0, 0},
    {"CCRTB", "CREATOR+TABLE", ".NOT. DELETED()", 0, 0},
    {"CRTBCL", "CREATOR+TABLE+COLUMN", ".NOT. DELETED()", 0, 0},
    {"CRTBPS", "CREATOR+TABLE+STR(POSITION)", ".NOT. DELETED()", 0, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const FIELD4INFO index_info[] = {
    {"OWNER", 'C', 8, 0},
    {"NAME", 'C', 30, 0},
    {"FILENAME", 'C', 254, 0},
    {"TABLEOWNER", 'C', 8, 0},
    {"TABLE", 'C', 30, 0},
    {"ASC", 'C', 1, 0},
    {"UNIQUE", 'C', 1, 0},
    {"EXPR", 'C', 220, 0},
    {nullptr, 0, 0, 0},
};

const TAG4INFO index_tags[] = {
    {"OWNTBNM", "OWNER+TABLE+NAME", ".NOT. DELETED()", 0, 0},
    {"OWNTB", "OWNER+TABLE", ".NOT. DELETED()", 0, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const char *const ddmain_sqltable = "sqltable";
const char *const ddmain_sqlcolmn = "sqlcolmn";
const char *const ddmain_sqlindex = "sqlindex";
const char *const dddict_journal = "CATALOGR.JNL";

const dddict_table dddict_tables[DDDICT_TABLES] = {
    {ddmain_sqlindex, index_info, index_tags},
    {ddmain_sqltable, table_info, table_tags},
    {ddmain_sqlcolmn, column_info, column_tags},
};

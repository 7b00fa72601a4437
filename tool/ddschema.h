// The data dictionary's schema: the layouts and tags of its three tables,
// their base names, and what their fields can hold. Shared by the program
// that writes the dictionary and the one that checks it.
//
// sqltable (one row per table), record length 550:
//   TABLE C 30 | FILENAME C 254 | MDXFILE C 254 | CREATOR C 8 | COLCOUNT N 3
//   tags TABLE "TABLE", CREATOR "CREATOR", CRTB "CREATOR+TABLE"
// sqlcolmn (one row per column), record length 74:
//   TABLE C 30 | COLUMN C 10 | CREATOR C 8 | TYPE C 15 | WIDTH N 3 |
//   DECIMALS N 2 | POSITION N 4 | NULLSOK L 1
//   tags CTABLE "TABLE", CCOLUMN "COLUMN", CCRTB "CREATOR+TABLE",
//        CRTBCL "CREATOR+TABLE+COLUMN", CRTBPS "CREATOR+TABLE+STR(POSITION)"
// sqlindex (one row per index, written by the SQL layer), record length 553:
//   OWNER C 8 | NAME C 30 | FILENAME C 254 | TABLEOWNER C 8 | TABLE C 30 |
//   ASC C 1 | UNIQUE C 1 | EXPR C 220
//   tags OWNTBNM "OWNER+TABLE+NAME", OWNTB "OWNER+TABLE"
// Every tag is filtered ".NOT. DELETED()", so a row marked deleted is out of
// every search before the table is packed.
#ifndef CATALOGR_DDSCHEMA_H
#define CATALOGR_DDSCHEMA_H

#include "xbase/xbase.h"

extern const FIELD4INFO table_info[];
extern const TAG4INFO table_tags[];
extern const FIELD4INFO column_info[];
extern const TAG4INFO column_tags[];
extern const FIELD4INFO index_info[];
extern const TAG4INFO index_tags[];

// Base names of the dictionary tables in currentDir.
extern const char *const ddmain_sqltable;
extern const char *const ddmain_sqlcolmn;
extern const char *const ddmain_sqlindex;

// The journal of a directive under way, beside the dictionary's tables:
// while it is there a change may be half done (tool/ddrepair.cpp).
extern const char *const dddict_journal;

// The dictionary's tables, in the order INIT looks for and creates them.
struct dddict_table {
    const char *name;
    const FIELD4INFO *fields;
    const TAG4INFO *tags;
};
enum { DDDICT_TABLES = 3 };
extern const dddict_table dddict_tables[DDDICT_TABLES];

// What the dictionary's fields can hold.
enum {
    DDDICT_CREATOR_LEN = 8,     // CREATOR, the first part of CRTB and CCRTB keys
    DDDICT_TABLE_LEN = 30,      // TABLE, the second part
    DDDICT_FILENAME_LEN = 254,  // FILENAME of sqltable
    DDDICT_MDXFILE_LEN = 254,   // MDXFILE of sqltable
    DDDICT_COUNT_MAX = 999,     // COLCOUNT N 3: fields of one table
    DDDICT_WIDTH_MAX = 999,     // WIDTH N 3
    DDDICT_DECIMALS_MAX = 99    // DECIMALS N 2
};

#endif

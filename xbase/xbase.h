// The engine as its callers see it: the one header a program that works
// with tables includes. It brings the context and its errors, tables (open,
// create, close, navigation, append, write-back, delete, pack, locks),
// fields, and the tags of a table (select, seek, top/bottom/skip in a
// tag's order, a tag's key for the current record, the table's index
// files opened, made and made again), with the records these calls take.
//
// Everything it brings is the table's floor: the trees, blocks, cache and
// sort of the index, the expression language and the engine's files,
// pools and lists stay behind it, so a caller cannot come to depend on
// them. Records such as DATA4 and FILE4 are visible, for the fields that
// name a table's file; INDEX4 and TAG4 are handles only.
#ifndef CATALOGR_XBASE_H
#define CATALOGR_XBASE_H

#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/e4error.h"
#include "xbase/f4field.h"
#include "xbase/x4types.h"

#endif

// A table through its tags: the tags of a data file and the one selected
// to order it, top, bottom and skip in that tag's order, the seek of a data
// file in its default tag, and the rebuild of every index of a table. The
// trees, blocks and the bottom-up writer these work through are the
// index's (xbase/index/).
#ifndef CATALOGR_D4TAG_H
#define CATALOGR_D4TAG_H

#include "xbase/index/i4index.h"

// ---- Tags of a data file ---------------------------------------------------

INDEX4 *d4index(DATA4 *d4, const char *name);
TAG4 *d4tag(DATA4 *d4, const char *name);
TAG4 *d4tag_default(DATA4 *d4);
TAG4 *d4tag_next(DATA4 *d4, TAG4 *tag);
TAG4 *d4tag_prev(DATA4 *d4, TAG4 *tag);
void d4tag_select(DATA4 *d4, TAG4 *tag);
TAG4 *d4tag_selected(DATA4 *d4);
int d4free_blocks(DATA4 *d4);
int d4reindex(DATA4 *d4);
// Marks every index of the table as being rebuilt: each reads as damaged
// (-310) until a rebuild of it ends well. 0, or the first failure.
int d4reindex_mark(DATA4 *d4);
// Makes the production index of the table `name` (opened as d4open does,
// by `c4`) again from nothing, with the tags `tag_data` (a list ended by a
// null name, as i4create takes): for a table whose index is missing,
// damaged beyond what opening mends, or not the one it should have. The
// table is opened without its index and locked whole for the duration
// (waiting as `lock_attempts` says); an index file of that name is
// written over in place under its lock, as a rebuild writes it, so that
// other processes that have it open wait for it and go on with the new
// file (which must then list the tags they know, in the same order); the
// new index is built from every record, the table's header flagged as
// having it, and the table closed again. Call it with
// the table not open in this process (closing it lets go of this
// process's locks of the file). 0 when the index is made; 50 when the
// table stays locked by another process; 20 when a unique tag with policy
// 20 meets a key twice; otherwise a negative code with the report in the
// last-error slot (the table that does not open, a unique tag with policy
// -340 that meets a key twice, the index that cannot be written: what was
// written of it reads as a rebuild that stopped). The context's error code
// is left clear, unless it was negative before the call.
int d4index_remake(CODE4 *c4, const char *name, const TAG4INFO *tag_data);

// ---- Seeking from a data file -------------------------------------------------------

// Seek in the data file's default tag: 0 found, 2 after, 3 end of file, 50
// locked, 80 no tag, or a negative error.
int d4seek(DATA4 *d4, const char *text);
int d4seek_n(DATA4 *d4, const char *text, int len);
int d4seek_double(DATA4 *d4, double value);

// ---- Top, bottom and skip in a tag's order ----------------------------------

// The first record in the order of `t4` (top) or the last one (bottom),
// stepping over entries that name records past the file's end: d4top and
// d4bottom with `t4` selected.
int d4tag_end(DATA4 *data, TAG4 *t4, int top);
// d4skip with `t4` selected.
int d4tag_skip(DATA4 *data, TAG4 *t4, long n);

#endif

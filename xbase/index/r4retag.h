// Rebuilding a table's indexes after a pack from the tags they had before
// it, instead of from the records: each tag's entries walked in their
// stored order, those of the records the pack removed dropped, the others
// renumbered (new = old - records removed before it), and handed to the
// rebuild's tree writer (R4SOURCE of r4reindex.h). Renumbering keeps the
// order, so the writer gets what a sort of the packed records would give,
// and writes the same bytes.
//
// A rebuild from the old tags keeps true:
//  T1. An index is held only while it can be trusted: under its lock,
//      with this process's changes written back, none failed, and its
//      header bearing no mark but this process's own change mark (no
//      rebuild, no pack, no change by a process now gone); and the table's
//      file holds exactly the records its count says (d4pack sees to it,
//      its records kept back written first). Its tags' headers are read
//      then, before the pack marks the file.
//  T2. A tag whose entries may differ from what the records give after
//      the pack is read from the records as always: a unique tag (the
//      record kept for a key may be one the pack removes), a key or filter
//      that uses the record number, the record count, the time or a named
//      calculation, or a tag whose header no longer matches its definition.
//  T3. The new trees are written over the old ones, from the front of the
//      file: an old block is read only while it lies at or after the
//      writer's next byte (what lies there is as it was), in runs of up to
//      FILE4_SEQ_MAX bytes kept until the walk leaves them. A walk that
//      needs a block the writer has passed, or meets anything a sound tag
//      would not hold (a block that does not check, a broken chain of
//      leaves, entries out of order, a record number out of range or met
//      twice, and for a tag that must hold every live record, one
//      missing), stops, and the index is then rebuilt from the records over
//      whatever the walk wrote.
//  T4. A pack that stopped part way leaves the renumbering unknown: the
//      indexes are then rebuilt from the records (d4pack).
#ifndef CATALOGR_R4RETAG_H
#define CATALOGR_R4RETAG_H

#include <vector>

#include "xbase/index/i4index.h"

struct R4RETAG_INDEX {
    INDEX4 *index;
    long eof;                          // the file's length when it was held
    std::vector<unsigned char> heads;  // its tags' headers then, in list order
};

struct R4RETAG {
    DATA4 *data = nullptr;
    long count = 0;                     // the table's records before the pack
    std::vector<char> gone;             // per slot 0 .. count: set by the pack for each record it removes
    std::vector<R4RETAG_INDEX> indexes; // the indexes held; empty: none
};

// Before a pack marks the table's indexes, under the whole table's lock,
// with the table's file holding exactly its `count` records: holds every
// index that can be trusted (T1). 0 (holding nothing is no failure), or
// the negative result of a failed write-back or read, with nothing held.
int r4retag_hold(R4RETAG *rt, DATA4 *d4, long count);
// After a pack that went through (every flag of `gone` set by it), still
// under the whole table's lock: every index of the table rebuilt, the held
// ones from their old tags (T2, T3), the others from the records; like
// d4reindex, every index even after one fails. 0, or the first failure.
int r4retag_reindex(R4RETAG *rt);

#endif

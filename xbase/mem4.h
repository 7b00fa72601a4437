// Heap blocks and memory pools: pools hand out fixed-size zeroed units from
// larger chunks, keep freed units for reuse, and are shared by every user
// asking for the same unit size.
#ifndef CATALOGR_MEM4_H
#define CATALOGR_MEM4_H

#include <cstddef>

#include "xbase/x4types.h"

// Zeroed heap blocks; null for a negative size or an exhausted heap.
void *u4alloc(long n);
void u4free(void *ptr);
void *u4alloc_er(CODE4 *c4, long n);

// Units are at least sizeof(LINK4) and rounded up to the strictest
// fundamental alignment; `unit_size` holds the rounded size, and pools are
// shared by that size. Start and expand counts below 1 count as 1.
MEM4 *mem4create(CODE4 *c4, int start, unsigned unit_size, int expand, int is_temp);
MEM4 *mem4type(int start, unsigned unit_size, int expand, int is_temp);
void *mem4alloc2(MEM4 *memory_type, CODE4 *c4);
void *mem4alloc(MEM4 *memory_type);
void *mem4create_alloc(CODE4 *c4, MEM4 **type_ptr_ptr, int start, unsigned unit_size, int expand,
                       int is_temp);
void mem4free(MEM4 *memory_type, void *free_ptr);
void mem4release(MEM4 *memory_type);
void mem4init(void);
void mem4reset(void);

// Work memory of a context: the large buffers of sorts and rebuilds (slot
// arrays, entry units, read and write buffers). A block given back is kept
// by the context, up to MEM4_WORK_KEEP bytes in all, and handed out again
// for a request it can hold with little waste, so that one rebuild after
// another neither asks the heap again nor touches fresh pages; the kept
// blocks go at d4init_undo (mem4work_release). Blocks are not zeroed. With
// a null context they come from the heap and go back to it. The test hook
// of u4alloc_fail_after counts every block handed out.
const unsigned long MEM4_WORK_KEEP = 64UL << 20;
// What a finished rebuild leaves kept (mem4work_trim): the work of a small
// table's rebuild (a few MB) stays whole for the next one, while a large
// rebuild leaves little beside an index's block cache.
const unsigned long MEM4_WORK_AFTER = 8UL << 20;
// At least `n` bytes, or null (nothing reported).
void *mem4work_alloc(CODE4 *c4, size_t n);
// Gives back a block of mem4work_alloc (null is ignored).
void mem4work_free(CODE4 *c4, void *ptr);
// Frees kept blocks, the largest first, until at most `keep` bytes are kept.
void mem4work_trim(CODE4 *c4, size_t keep);
// Frees every kept block.
void mem4work_release(CODE4 *c4);

// Test hook: after `n` more heap allocations every allocation fails as if
// the heap were exhausted; a negative `n` ends the failures.
void u4alloc_fail_after(long n);
// The hook's verdict on one more allocation (counting it): 0 when it is to
// fail. The pools, u4alloc and the work memory ask it; a test's replacement
// of operator new asks it too, so that one count covers both kinds.
int u4alloc_allowed(void);

#endif

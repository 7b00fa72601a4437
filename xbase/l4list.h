// Intrusive circular doubly linked lists: records carry their own links
// (a LINK4 as their first member), so adding and removing never allocate.
#ifndef CATALOGR_L4LIST_H
#define CATALOGR_L4LIST_H

#include "xbase/x4types.h"

void l4add(LIST4 *list, void *item);
void l4add_after(LIST4 *list, void *anchor, void *item);
void l4add_before(LIST4 *list, void *anchor, void *item);
void *l4first(const LIST4 *list);
void *l4last(const LIST4 *list);
void *l4next(const LIST4 *list, const void *link);
void *l4prev(const LIST4 *list, const void *link);
void l4remove(LIST4 *list, void *item);
void *l4pop(LIST4 *list);
int l4seek(const LIST4 *list, const void *item);

#endif

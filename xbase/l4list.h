// Intrusive circular doubly linked lists: records carry their own links
// (a LINK4 as their first member), so adding and removing never allocate.
//
// What every call keeps true: the members form one ring through `n` and
// `p`; `last_node` is a member or null (empty), and `last_node->n` is the
// first member; `n_link` counts the members; `selected` names a member or
// is null. An `item` or `anchor` is a pointer to a record whose first
// member is its LINK4; the list never owns its members and frees nothing.
// Nothing here locks or checks membership; the list's owner serialises
// the calls.
#ifndef CATALOGR_L4LIST_H
#define CATALOGR_L4LIST_H

#include "xbase/x4types.h"

// Appends `item` (not null, in no list) after the last member; it becomes
// the last member.
void l4add(LIST4 *list, void *item);
// Links `item` (not null, in no list) just after `anchor`, a member of
// `list`; after the last member it becomes the new last. On an empty list
// `anchor` is not looked at and `item` becomes the only member.
void l4add_after(LIST4 *list, void *anchor, void *item);
// Links `item` (not null, in no list) just before `anchor`, a member of
// `list`; before the first member it becomes the new first, and the last
// member stays last. On an empty list `anchor` is not looked at.
void l4add_before(LIST4 *list, void *anchor, void *item);
// The first member, or null when the list is empty.
void *l4first(const LIST4 *list);
// The last member, or null when the list is empty.
void *l4last(const LIST4 *list);
// The member after `link` (a member, or null for "before the first", which
// gives the first); null after the last member, so a walk ends there.
void *l4next(const LIST4 *list, const void *link);
// The member before `link` (a member, or null for "past the last", which
// gives the last); null before the first member.
void *l4prev(const LIST4 *list, const void *link);
// Unlinks `item`, which must be a member of `list`, and nulls its links;
// null or an empty list does nothing. When `item` was `selected`, the
// member before it (for the first member, the last) becomes selected, or
// null when it was the only one. Membership is not checked: removing a
// record that is not in the list corrupts both.
void l4remove(LIST4 *list, void *item);
// Unlinks and returns the last member, or returns null on an empty list.
void *l4pop(LIST4 *list);
// 1 when `item` is a member of `list`, else 0; walks the whole list.
int l4seek(const LIST4 *list, const void *item);

#endif

// Intrusive circular doubly linked lists. `last_node->n` is the first
// member; `selected` always names a member or is null.
#include "xbase/l4list.h"

namespace {

LINK4 *asLink(const void *item) { return static_cast<LINK4 *>(const_cast<void *>(item)); }

// Makes `item` the only member of an empty list.
void addFirst(LIST4 *list, LINK4 *item)
{
    item->n = item;
    item->p = item;
    list->last_node = item;
    list->n_link = 1;
}

// Links `item` between `before` and `before->n`.
void linkAfter(LINK4 *before, LINK4 *item)
{
    item->p = before;
    item->n = before->n;
    before->n->p = item;
    before->n = item;
}

} // namespace

void l4add(LIST4 *list, void *item)
{
    l4add_after(list, list->last_node, item);
}

void l4add_after(LIST4 *list, void *anchor, void *item)
{
    if (list->last_node == nullptr) {
        addFirst(list, asLink(item));
        return;
    }
    LINK4 *a = asLink(anchor);
    linkAfter(a, asLink(item));
    if (a == list->last_node)
        list->last_node = asLink(item);
    list->n_link++;
}

void l4add_before(LIST4 *list, void *anchor, void *item)
{
    if (list->last_node == nullptr) {
        addFirst(list, asLink(item));
        return;
    }
    // Inserting before the first member makes a new first; last stays.
    linkAfter(asLink(anchor)->p, asLink(item));
    list->n_link++;
}

void *l4first(const LIST4 *list)
{
    return list->last_node == nullptr ? nullptr : list->last_node->n;
}

void *l4last(const LIST4 *list)
{
    return list->last_node;
}

void *l4next(const LIST4 *list, const void *link)
{
    if (link == nullptr)
        return l4first(list);
    if (link == list->last_node)
        return nullptr;
    return asLink(link)->n;
}

void *l4prev(const LIST4 *list, const void *link)
{
    if (link == nullptr)
        return list->last_node;
    if (list->last_node == nullptr || link == list->last_node->n)
        return nullptr;
    return asLink(link)->p;
}

void l4remove(LIST4 *list, void *item)
{
    if (item == nullptr || list->last_node == nullptr)
        return;
    LINK4 *l = asLink(item);
    int only = l->n == l;
    if (list->selected == item)
        list->selected = only ? nullptr : l->p;
    if (only) {
        list->last_node = nullptr;
    } else {
        l->p->n = l->n;
        l->n->p = l->p;
        if (list->last_node == l)
            list->last_node = l->p;
    }
    l->n = nullptr;
    l->p = nullptr;
    list->n_link--;
}

void *l4pop(LIST4 *list)
{
    void *last = list->last_node;
    l4remove(list, last);
    return last;
}

int l4seek(const LIST4 *list, const void *item)
{
    for (void *l = l4first(list); l != nullptr; l = l4next(list, l))
        if (l == item)
            return 1;
    return 0;
}

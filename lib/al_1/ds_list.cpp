/*
 * ds_list.cpp: ordered lists of untyped elements (dsList*). The tool keeps
 * its table names and company numbers in them; the list owns its nodes,
 * the caller owns the elements unless it calls destroyListAndElements.
 */
#include "ds_list.h"

#include <memory>
#include <new>
#include <vector>

#include "al_mem.h"

struct DsList {
    std::vector<void *> elements;
    std::size_t cursor = 0; /* index of the next element dsListNext returns */
};

DsList *dsListCreate(void)
{
    try {
        return std::make_unique<DsList>().release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int dsListAppend(DsList *list, void *element)
{
    if (list == nullptr)
        return -1;
    try {
        list->elements.push_back(element);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

void *dsListFirst(DsList *list)
{
    if (list == nullptr || list->elements.empty())
        return nullptr;
    list->cursor = 1;
    return list->elements[0];
}

void *dsListNext(DsList *list)
{
    if (list == nullptr || list->cursor >= list->elements.size())
        return nullptr;
    return list->elements[list->cursor++];
}

int dsListCount(const DsList *list)
{
    return list == nullptr ? 0 : static_cast<int>(list->elements.size());
}

void dsListDestroy(DsList *list)
{
    std::unique_ptr<DsList> owned(list);
}

void destroyListAndElements(DsList *list)
{
    if (list == nullptr)
        return;
    for (void *element : list->elements)
        mal_free(element);
    dsListDestroy(list);
}

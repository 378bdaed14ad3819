/*
 * ds_list.h: ordered lists of untyped elements. The list owns its nodes,
 * not the elements; destroyListAndElements frees both (elements with
 * mal_free). Implemented in lib/al_1.
 */
#ifndef DS_LIST_H
#define DS_LIST_H

struct DsList;

/* A new empty list; null when memory runs out. */
DsList *dsListCreate(void);
/* Appends an element at the end: 0, or -1 when memory runs out. */
int dsListAppend(DsList *list, void *element);
/*
 * Iteration: dsListFirst resets the list's cursor and returns the first
 * element, dsListNext the following one; null at the end.
 */
void *dsListFirst(DsList *list);
void *dsListNext(DsList *list);
/* Number of elements. */
int dsListCount(const DsList *list);
/* Destroys the list (not its elements); null is ignored. */
void dsListDestroy(DsList *list);
/* Frees every element with mal_free, then destroys the list. */
void destroyListAndElements(DsList *list);

#endif

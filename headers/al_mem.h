/*
 * al_mem.h: the runtime allocator through which the layer, the API and the
 * tool take their dynamic memory. Implemented in lib/al_1.
 */
#ifndef AL_MEM_H
#define AL_MEM_H

#include <cstddef>

/* Allocates size bytes; null when memory runs out. */
void *mal_allocater(size_t size);
/* Frees memory from mal_allocater or mal_strsave; null is ignored. */
void mal_free(void *ptr);
/* A copy of text; null when memory runs out. */
char *mal_strsave(const char *text);

#endif

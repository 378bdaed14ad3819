/*
 * al_mem.h: the runtime allocator through which the layer, the API and the
 * tool take their dynamic memory: groups of OS blocks, chunks with headers
 * that can be freed, numbered groups released as a whole, the memory report.
 * Implemented in lib/al_1/al_mem.cpp. Single-threaded.
 */
#ifndef AL_MEM_H
#define AL_MEM_H

#include <cstddef>

/* Allocation flags of mal_allocater. One group bit chooses the group; when
 * several are set the first of MAL_GROUP, MAL_ID, MAL_GENERAL, MAL_PERM
 * wins, and none means the general group. */
#define MAL_PERM 0x01    /* the permanent group */
#define MAL_GENERAL 0x02 /* the general group */
#define MAL_ID 0x04      /* the numbered group named by the id argument */
#define MAL_GROUP 0x08   /* the group passed as a record */
#define MAL_HEADER 0x10  /* with header: can be freed and reallocated */
#define MAL_ZERO 0x20    /* zero-filled */

/* Flags of ordinary allocations and of string copies that may be freed. */
#define MAL_ORDINARY 0x32
#define MAL_STRING 0x12

/* Ids of the two built-in groups (numbered groups have ids from 1 on). */
#define MAL_PERM_ID (-2L)
#define MAL_GENERAL_ID (-1L)

/* The record of a group (owned by the allocator). */
struct mal_group;

/*
 * Allocates size bytes, 8-byte aligned, in the group chosen by flags (see
 * above; id names the numbered group for MAL_ID, group the record for
 * MAL_GROUP). The memory belongs to the group: with MAL_HEADER it can be
 * given back with mal_free or resized with mal_realloc, without it only
 * with its whole group. Null for a size of 0 without header, a negative
 * size (a size_t above PTRDIFF_MAX), an unknown id or a null record; a
 * size of 0 with header gives a chunk without usable bytes. Never null for
 * lack of memory: exhausting memory reports and aborts the process.
 */
void *mal_allocater(size_t size, int flags = MAL_ORDINARY, long id = 0,
                    mal_group *group = nullptr);

/*
 * Frees memory allocated with MAL_HEADER; null is ignored. Memory that is
 * not a live chunk with header (misaligned, unknown group, broken links,
 * already freed) is reported on standard error ("<file>: <line> bad mem
 * 0x<address> id <group> in free.") with the memory report, and the
 * process is aborted.
 */
void mal_free(void *ptr);

/* As mal_free, naming the caller's source file and line in the report. */
void mal_free_at(void *ptr, const char *file, int line);

/*
 * Resizes a chunk with header to size bytes and returns it (possibly
 * moved; the contents up to the smaller size are kept, new bytes are
 * zero). Null ptr allocates size bytes in the general group (zeroed,
 * with header). A negative size aborts ("allocate negative"); a bad ptr
 * aborts as in mal_free.
 */
void *mal_realloc(void *ptr, size_t size);

/*
 * A copy of the NUL-terminated text in memory allocated with flags (and
 * id); by default a chunk of the general group that may be freed. Null for
 * a null text or where mal_allocater gives null.
 */
char *mal_strsave(const char *text, int flags = MAL_STRING, long id = 0);

/* A copy of length bytes of mem, as mal_strsave; null for a null mem or
 * where mal_allocater gives null (length 0 without header). */
void *mal_memsave(const void *mem, size_t length, int flags = MAL_STRING,
                  long id = 0);

/*
 * Adds a numbered group. id 0 takes the next unused number; block_size is
 * the size of its OS blocks, 0 (or negative) for 4096, otherwise rounded up
 * to a multiple of 1024. Returns the id, or 0 when the requested id is in
 * use, negative or above 2^31-1.
 */
long mal_reserve_id(long id, long block_size);

/* Frees every chunk of a numbered group and the group itself, returning
 * its OS blocks for reuse by every group. 0, or -1 for an id that is not a
 * numbered group. */
int mal_free_id(long id);

/* Empties a numbered group (every chunk is freed); the group keeps its
 * first OS block as free space. 0, or -1 for an id that is not a numbered
 * group. */
int mal_reset_id(long id);

/* The record of the group with this id (built-in or numbered), for
 * MAL_GROUP; null when there is none. */
mal_group *mal_get_group(long id);

/* Merges the adjacent free chunks of every group. */
void mal_collect_garbage(void);

/* Receives each line of the memory report besides standard error. */
typedef void (*mal_report_hook)(const char *text);

/* Installs the report hook (null removes it); returns the previous one. */
mal_report_hook set_alloc_error_hook(mal_report_hook hook);

/* Writes the totals line of the memory report:
 * "total %dK current %dK free %dK sbrk(0) 0x%p\n". */
void malloc_totals(void);

/*
 * Writes the memory report, headed by where (may be null): per group its
 * blocks, used and free chunks; the process-wide free blocks; the totals.
 * flags bit 0x01 lists every block and chunk as well.
 */
void m_help(const char *where, int flags);

#endif

/*
 * al_mem.cpp: the runtime allocator: groups of OS blocks carved from one
 * reserved address range, chunks with 16-byte headers on per-group used and
 * free lists (best fit, splitting, collection), numbered groups, bad-free
 * detection and the memory report.
 */
#include "al_mem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "al_log.h"

#if defined(__SANITIZE_ADDRESS__)
#define MAL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAL_ASAN 1
#endif
#endif

#ifdef MAL_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

/* Header in front of every chunk that can be freed. next and prev link the
 * chunk into its group's used list (or, while free, its free list); they
 * hold positions in the arena in 8-byte units, 0 for none, so that the
 * header keeps 16 bytes on 64-bit hosts. */
struct MalChunk {
    std::int32_t gid;
    std::uint32_t size; /* including the header; bit 0 set while free */
    std::uint32_t next;
    std::uint32_t prev;
};
static_assert(sizeof(MalChunk) == 16);

/* Head of an OS block owned by a group; the group's blocks are chained
 * newest first. Free OS blocks carry the same head in the process-wide
 * free-block list, ordered by address. */
struct MalBlock {
    MalBlock *next;
    std::size_t size; /* including this head */
};
static_assert(sizeof(MalBlock) == 16);

struct mal_group {
    std::int32_t id;
    char *space;            /* free space at the tail of the current block */
    std::size_t space_size;
    MalBlock *current;      /* the block holding the free space, or null */
    MalBlock *blocks;       /* every OS block of the group, newest first */
    std::size_t block_size;
    MalChunk *used;         /* used chunks, newest first */
    MalChunk *free_list;    /* free chunks */
    std::size_t free_bytes; /* the sizes of the free chunks added up */
    int freed;              /* chunks freed since the last collection */
    mal_group *next;
};

namespace {

constexpr const char *kFile = "lib/al_1/al_mem.cpp";
constexpr std::size_t kHeader = sizeof(MalChunk);
constexpr std::size_t kBlockHead = sizeof(MalBlock);
constexpr std::size_t kDefaultBlock = 4096;
constexpr std::size_t kKilo = 1024;
constexpr std::uint32_t kFreeBit = 1;
/* Largest chunk the 32-bit size of the header can hold. */
constexpr std::size_t kMaxChunk = UINT32_MAX & ~std::size_t{7};
/* Address range reserved once and committed as the break moves up: 16 GiB
 * is 2^31 units of 8 bytes, so every position fits the header links. */
constexpr std::size_t kArenaSize = std::size_t{16} << 30;
/* The range is made usable in steps of this size (a multiple of every
 * page size in use), which keeps mprotect calls and leak-checker root
 * regions few. */
constexpr std::size_t kCommitStep = std::size_t{256} << 10;
constexpr std::size_t kLocalTable = 5120;
constexpr int kCollectAfter = 6;
/* Chunks counted or listed per list in the report at most. */
constexpr int kReportMax = 1000000;

/* ---- process state ------------------------------------------------------ */

constinit mal_group g_perm = {static_cast<std::int32_t>(MAL_PERM_ID),
                              nullptr, 0, nullptr, nullptr, kDefaultBlock,
                              nullptr, nullptr, 0, 0, nullptr};
constinit mal_group g_general = {static_cast<std::int32_t>(MAL_GENERAL_ID),
                                 nullptr, 0, nullptr, nullptr, kDefaultBlock,
                                 nullptr, nullptr, 0, 0, &g_perm};
/* Every group: the general, the permanent, then the numbered ones. */
constinit mal_group *g_groups = &g_general;
constinit mal_group *g_cache = &g_general;
constinit mal_group *g_spare = nullptr; /* records of removed groups */
constinit long g_next_id = 1;

constinit char *g_arena = nullptr;
constinit char *g_brk = nullptr;    /* end of the memory taken so far */
constinit char *g_commit = nullptr; /* end of the readable, writable part */
constinit MalBlock *g_free_blocks = nullptr;
constinit std::size_t g_free_total = 0;
constinit bool g_first_time = true;
constinit bool g_dying = false;
constinit mal_report_hook g_hook = nullptr;

/* ---- sanitizer support -------------------------------------------------- */

/* Free chunks (past their header), the free space and free OS blocks (past
 * their head) are poisoned, so that a use after free is caught in tests. */
void poison(const void *p, std::size_t n)
{
#ifdef MAL_ASAN
    if (n > 0)
        ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

void unpoison(const void *p, std::size_t n)
{
#ifdef MAL_ASAN
    if (n > 0)
        ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

bool poisoned(const void *p, std::size_t n)
{
#ifdef MAL_ASAN
    return __asan_region_is_poisoned(const_cast<void *>(p), n) != nullptr;
#else
    (void)p;
    (void)n;
    return false;
#endif
}

/* Committed memory is a root for the leak checker: pointers to malloc'd
 * memory kept in chunks keep that memory reachable. */
void register_root(const void *p, std::size_t n)
{
#ifdef MAL_ASAN
    __lsan_register_root_region(p, n);
#else
    (void)p;
    (void)n;
#endif
}

/* ---- helpers ------------------------------------------------------------ */

constexpr std::size_t round_up(std::size_t n, std::size_t unit)
{
    return (n + unit - 1) / unit * unit;
}

char *bytes(void *p)
{
    return static_cast<char *>(p);
}

std::uint32_t to_unit(const MalChunk *c)
{
    if (c == nullptr)
        return 0;
    return static_cast<std::uint32_t>(
        (reinterpret_cast<const char *>(c) - g_arena) / 8 + 1);
}

MalChunk *from_unit(std::uint32_t u)
{
    if (u == 0)
        return nullptr;
    return reinterpret_cast<MalChunk *>(g_arena +
                                        (std::size_t{u} - 1) * 8);
}

bool in_arena(std::uintptr_t p, std::size_t n)
{
    auto lo = reinterpret_cast<std::uintptr_t>(g_arena);
    auto hi = reinterpret_cast<std::uintptr_t>(g_brk);
    return g_arena != nullptr && p >= lo && p <= hi && n <= hi - p;
}

std::size_t chunk_size(const MalChunk *c)
{
    return c->size & ~std::size_t{kFreeBit};
}

/* Writes one report line to standard error and to the report hook. */
void AllocWriteLog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void AllocWriteLog(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    std::size_t len = std::min(static_cast<std::size_t>(n), sizeof line - 1);
    ssize_t w = ::write(2, line, len);
    (void)w;
    if (g_hook != nullptr)
        g_hook(line);
}

/* Writes straight to descriptor 2 (no allocation, no stream). */
void write_fd2(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void write_fd2(const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n > 0) {
        ssize_t w = ::write(
            2, line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
        (void)w;
    }
}

[[noreturn]] void out_of_memory(std::size_t size, const void *brk_ret)
{
    int saved = errno;
    write_fd2("sbrk errno: %d size %d first_time %d brk_ret 0x%lx\n\r", saved,
              static_cast<int>(std::min<std::size_t>(size, INT_MAX)),
              g_first_time ? 1 : 0,
              static_cast<unsigned long>(
                  reinterpret_cast<std::uintptr_t>(brk_ret)));
    write_fd2("sbrk errno: most possible no more space\n\r");
    if (!g_dying) {
        g_dying = true;
        log_mesg(kFile, __LINE__, "memory", 0, "No more memory available!\n");
    }
    std::abort();
}

[[noreturn]] void negative_size()
{
    write_fd2("allocate negative\n\r");
    std::abort();
}

bool negative(std::size_t size)
{
    return static_cast<std::ptrdiff_t>(size) < 0;
}

/* ---- OS blocks ---------------------------------------------------------- */

/* Moves the break up by n bytes (a multiple of 1024); null with errno. */
char *os_take(std::size_t n)
{
    if (g_arena == nullptr) {
        void *p = ::mmap(nullptr, kArenaSize, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        g_arena = bytes(p);
        g_brk = g_arena;
        g_commit = g_arena;
    }
    if (n > static_cast<std::size_t>(g_arena + kArenaSize - g_brk)) {
        errno = ENOMEM;
        return nullptr;
    }
    char *p = g_brk;
    if (p + n > g_commit) {
        std::size_t upto = round_up(static_cast<std::size_t>(p + n - g_arena),
                                    kCommitStep);
        upto = std::min(upto, kArenaSize);
        std::size_t grow = static_cast<std::size_t>(g_arena + upto - g_commit);
        if (::mprotect(g_commit, grow, PROT_READ | PROT_WRITE) != 0)
            return nullptr;
        register_root(g_commit, grow);
        g_commit += grow;
    }
    g_brk = p + n;
    g_first_time = false;
    return p;
}

/* Puts a block into the free-block list, merging it with its neighbours. */
void free_block_insert(char *p, std::size_t size)
{
    unpoison(p, kBlockHead);
    poison(p + kBlockHead, size - kBlockHead);
    auto *blk = reinterpret_cast<MalBlock *>(p);
    blk->size = size;
    g_free_total += size;
    MalBlock *prev = nullptr;
    MalBlock *next = g_free_blocks;
    while (next != nullptr && next < blk) {
        prev = next;
        next = next->next;
    }
    blk->next = next;
    if (next != nullptr && p + size == reinterpret_cast<char *>(next)) {
        blk->size += next->size;
        blk->next = next->next;
        poison(next, kBlockHead);
    }
    if (prev != nullptr &&
        reinterpret_cast<char *>(prev) + prev->size == p) {
        prev->size += blk->size;
        prev->next = blk->next;
        poison(blk, kBlockHead);
    } else if (prev != nullptr) {
        prev->next = blk;
    } else {
        g_free_blocks = blk;
    }
}

/* Takes n bytes at the start of the free block *link (which must have
 * them); the rest stays in the list. */
char *free_block_take(MalBlock **link, std::size_t n)
{
    MalBlock *blk = *link;
    char *p = reinterpret_cast<char *>(blk);
    if (blk->size > n) {
        auto *rest = reinterpret_cast<MalBlock *>(p + n);
        unpoison(rest, kBlockHead);
        rest->size = blk->size - n;
        rest->next = blk->next;
        *link = rest;
    } else {
        *link = blk->next;
    }
    g_free_total -= n;
    poison(p, kBlockHead);
    return p;
}

/* ---- chunk lists -------------------------------------------------------- */

void list_push(MalChunk **head, MalChunk *c)
{
    c->prev = 0;
    c->next = to_unit(*head);
    if (*head != nullptr)
        (*head)->prev = to_unit(c);
    *head = c;
}

void list_unlink(MalChunk **head, MalChunk *c)
{
    MalChunk *prev = from_unit(c->prev);
    MalChunk *next = from_unit(c->next);
    if (prev != nullptr)
        prev->next = c->next;
    else
        *head = next;
    if (next != nullptr)
        next->prev = c->prev;
}

/* Makes a chunk header unusable once its memory is merged elsewhere. */
void wipe(MalChunk *c)
{
    *c = MalChunk{0, 0, 0, 0};
    poison(c, kHeader);
}

/* ---- groups ------------------------------------------------------------- */

mal_group *find_group(long id)
{
    if (g_cache != nullptr && g_cache->id == id)
        return g_cache;
    for (mal_group *g = g_groups; g != nullptr; g = g->next) {
        if (g->id == id) {
            g_cache = g;
            return g;
        }
    }
    return nullptr;
}

bool numbered(const mal_group *g)
{
    return g != nullptr && g->id > 0;
}

/* When the free space covers its whole block, the block goes back to the
 * free-block list. */
void release_if_empty(mal_group *g)
{
    MalBlock *cur = g->current;
    if (cur == nullptr ||
        g->space != reinterpret_cast<char *>(cur) + kBlockHead ||
        g->space_size != cur->size - kBlockHead)
        return;
    for (MalBlock **link = &g->blocks; *link != nullptr;
         link = &(*link)->next) {
        if (*link == cur) {
            *link = cur->next;
            break;
        }
    }
    g->current = nullptr;
    g->space = nullptr;
    g->space_size = 0;
    free_block_insert(reinterpret_cast<char *>(cur), cur->size);
}

/* Gives a free chunk to the group's free space when it ends where the
 * space begins; true when it did. */
bool merge_into_space(mal_group *g, MalChunk *c, std::size_t size)
{
    if (g->space == nullptr || bytes(c) + size != g->space)
        return false;
    wipe(c);
    poison(c, size);
    g->space = bytes(c);
    g->space_size += size;
    release_if_empty(g);
    return true;
}

/* Two neighbouring free chunks can become one when the size still fits
 * the header. */
bool fits_one_chunk(std::size_t a, std::size_t b)
{
    return a + b <= kMaxChunk;
}

/* Returns an unlinked chunk to its group: into the free space when it
 * borders it, else at the head of the free list, merged with the former
 * head when the two are adjacent (and into the space when the merged
 * chunk borders it). */
void release_chunk(mal_group *g, MalChunk *c)
{
    std::size_t size = chunk_size(c);
    if (merge_into_space(g, c, size))
        return;
    poison(bytes(c) + kHeader, size - kHeader);
    g->freed++;
    MalChunk *head = g->free_list;
    if (head != nullptr && fits_one_chunk(chunk_size(head), size)) {
        std::size_t hsize = chunk_size(head);
        if (bytes(head) + hsize == bytes(c)) {
            list_unlink(&g->free_list, head);
            g->free_bytes -= hsize;
            wipe(c);
            c = head;
            size += hsize;
        } else if (bytes(c) + size == bytes(head)) {
            list_unlink(&g->free_list, head);
            g->free_bytes -= hsize;
            wipe(head);
            size += hsize;
        }
        if (merge_into_space(g, c, size))
            return;
    }
    c->size = static_cast<std::uint32_t>(size | kFreeBit);
    g->free_bytes += size;
    list_push(&g->free_list, c);
}

/* Turns the rest of the free space into a free chunk (when a header and
 * some bytes fit), before the group moves to a new block. */
void retire_space(mal_group *g)
{
    if (g->space_size >= kHeader + 8 && g->space_size <= kMaxChunk) {
        auto *c = reinterpret_cast<MalChunk *>(g->space);
        unpoison(c, kHeader);
        c->gid = g->id;
        c->size = static_cast<std::uint32_t>(g->space_size | kFreeBit);
        g->free_bytes += g->space_size;
        list_push(&g->free_list, c);
    }
    g->space = nullptr;
    g->space_size = 0;
    g->current = nullptr;
}

/* Extends the current block by the free block directly behind it, if the
 * free-block list holds one that gives enough room for n bytes. */
bool append_following(mal_group *g, std::size_t n)
{
    MalBlock *cur = g->current;
    if (cur == nullptr)
        return false;
    char *end = reinterpret_cast<char *>(cur) + cur->size;
    MalBlock **link = &g_free_blocks;
    while (*link != nullptr && reinterpret_cast<char *>(*link) < end)
        link = &(*link)->next;
    if (*link == nullptr || reinterpret_cast<char *>(*link) != end)
        return false;
    std::size_t shortfall = n - g->space_size;
    std::size_t take = round_up(shortfall, kKilo);
    std::size_t avail = (*link)->size;
    if (avail >= take + 2 * kKilo)
        take += kKilo;
    else if (avail >= shortfall)
        take = avail;
    else
        return false;
    char *p = free_block_take(link, take);
    poison(p, take);
    cur->size += take;
    g->space_size += take;
    return true;
}

/* Makes a new OS block (of the group's block size, or more for a larger
 * request) the current block of the group. */
void new_block(mal_group *g, std::size_t n)
{
    std::size_t size = g->block_size;
    if (n > size - kBlockHead) {
        if (n > kArenaSize) {
            errno = ENOMEM;
            out_of_memory(n, reinterpret_cast<void *>(-1));
        }
        size = round_up(n + kBlockHead, kKilo);
    }
    char *p = nullptr;
    for (MalBlock **link = &g_free_blocks; *link != nullptr;
         link = &(*link)->next) {
        if ((*link)->size >= size) {
            /* a rest too small for any block stays with this one */
            if ((*link)->size - size < kKilo)
                size = (*link)->size;
            p = free_block_take(link, size);
            break;
        }
    }
    if (p == nullptr) {
        p = os_take(size);
        if (p == nullptr)
            out_of_memory(size, reinterpret_cast<void *>(-1));
    }
    retire_space(g);
    unpoison(p, kBlockHead);
    poison(p + kBlockHead, size - kBlockHead);
    auto *blk = reinterpret_cast<MalBlock *>(p);
    blk->size = size;
    blk->next = g->blocks;
    g->blocks = blk;
    g->current = blk;
    g->space = p + kBlockHead;
    g->space_size = size - kBlockHead;
}

/* Carves n bytes (a multiple of 8) from the group's free space. */
char *carve(mal_group *g, std::size_t n)
{
    if (g->space_size < n && !append_following(g, n))
        new_block(g, n);
    char *p = g->space;
    g->space += n;
    g->space_size -= n;
    unpoison(p, n);
    return p;
}

/* Merges adjacent free chunks of a group; only when enough chunks were
 * freed since the last time, unless forced. */
bool collect(mal_group *g, bool force)
{
    if (!force && g->freed < kCollectAfter)
        return false;
    std::array<MalChunk *, kLocalTable> local;
    std::vector<MalChunk *> more;
    std::size_t count = 0;
    for (MalChunk *c = g->free_list; c != nullptr; c = from_unit(c->next))
        count++;
    MalChunk **table = local.data();
    if (count > kLocalTable) {
        more.resize(count);
        table = more.data();
    }
    std::size_t k = 0;
    for (MalChunk *c = g->free_list; c != nullptr; c = from_unit(c->next))
        table[k++] = c;
    std::sort(table, table + count);
    std::size_t runs = 0;
    for (std::size_t i = 0; i < count; i++) {
        MalChunk *c = table[i];
        if (runs > 0) {
            MalChunk *last = table[runs - 1];
            if (bytes(last) + chunk_size(last) == bytes(c) &&
                fits_one_chunk(chunk_size(last), chunk_size(c))) {
                last->size = static_cast<std::uint32_t>(
                    (chunk_size(last) + chunk_size(c)) | kFreeBit);
                wipe(c);
                continue;
            }
        }
        table[runs++] = c;
    }
    g->free_list = nullptr;
    g->free_bytes = 0;
    g->freed = 0;
    for (std::size_t i = runs; i-- > 0;) {
        MalChunk *c = table[i];
        std::size_t size = chunk_size(c);
        if (merge_into_space(g, c, size))
            continue;
        g->free_bytes += size;
        list_push(&g->free_list, c);
    }
    return true;
}

/* Smallest free chunk of at least need bytes; stops early at one of at
 * most need + 16 bytes. */
MalChunk *best_fit(mal_group *g, std::size_t need)
{
    MalChunk *best = nullptr;
    for (MalChunk *c = g->free_list; c != nullptr; c = from_unit(c->next)) {
        std::size_t size = chunk_size(c);
        if (size < need)
            continue;
        if (best == nullptr || size < chunk_size(best))
            best = c;
        if (size <= need + 16)
            break;
    }
    return best;
}

void *alloc_with_header(mal_group *g, std::size_t size, bool zero)
{
    std::size_t need = round_up(size, 8) + kHeader;
    if (need > kMaxChunk) {
        errno = ENOMEM;
        out_of_memory(need, reinterpret_cast<void *>(-1));
    }
    MalChunk *c = best_fit(g, need);
    if (c == nullptr && g->free_bytes > need + g->block_size &&
        collect(g, false))
        c = best_fit(g, need);
    if (c != nullptr) {
        list_unlink(&g->free_list, c);
        std::size_t have = chunk_size(c);
        g->free_bytes -= have;
        c->size = static_cast<std::uint32_t>(have);
        if (have > need + 32) {
            auto *tail = reinterpret_cast<MalChunk *>(bytes(c) + need);
            unpoison(tail, kHeader);
            tail->gid = g->id;
            tail->size = static_cast<std::uint32_t>((have - need) | kFreeBit);
            g->free_bytes += have - need;
            list_push(&g->free_list, tail);
            c->size = static_cast<std::uint32_t>(need);
        }
    } else {
        c = reinterpret_cast<MalChunk *>(carve(g, need));
        c->size = static_cast<std::uint32_t>(need);
    }
    c->gid = g->id;
    list_push(&g->used, c);
    char *mem = bytes(c) + kHeader;
    unpoison(mem, chunk_size(c) - kHeader);
    if (zero)
        std::memset(mem, 0, chunk_size(c) - kHeader);
    return mem;
}

mal_group *choose_group(int flags, long id, mal_group *group)
{
    if (flags & MAL_GROUP)
        return group;
    if (flags & MAL_ID)
        return numbered(find_group(id)) ? find_group(id) : nullptr;
    if (flags & MAL_GENERAL)
        return &g_general;
    if (flags & MAL_PERM)
        return &g_perm;
    return &g_general;
}

/* Reads the group id of a header for the report, where that is safe. */
long header_gid(std::uintptr_t p)
{
    if (p % 8 != 0 || p < kHeader || !in_arena(p - kHeader, kHeader) ||
        poisoned(reinterpret_cast<void *>(p - kHeader), sizeof(std::int32_t)))
        return 0;
    std::int32_t gid = 0;
    std::memcpy(&gid, reinterpret_cast<void *>(p - kHeader), sizeof gid);
    return gid;
}

/* A linked chunk in the arena with an unpoisoned header, or null. */
MalChunk *linked_chunk(std::uint32_t unit)
{
    MalChunk *c = from_unit(unit);
    if (!in_arena(reinterpret_cast<std::uintptr_t>(c), kHeader) ||
        poisoned(c, kHeader))
        return nullptr;
    return c;
}

/* The next chunk of a list for the report, which must survive a damaged
 * list: null at the end or at a link that leads nowhere sensible. */
MalChunk *report_next(const MalChunk *c)
{
    return c->next == 0 ? nullptr : linked_chunk(c->next);
}

/* The live chunk in front of ptr with its group, or null. */
MalChunk *live_chunk(void *ptr, mal_group **gout)
{
    auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if (p % 8 != 0 || p < kHeader || !in_arena(p - kHeader, kHeader))
        return nullptr;
    auto *c = reinterpret_cast<MalChunk *>(p - kHeader);
    if (poisoned(c, kHeader) || (c->size & kFreeBit) != 0 ||
        c->size < kHeader || c->size % 8 != 0 ||
        !in_arena(reinterpret_cast<std::uintptr_t>(c), c->size))
        return nullptr;
    mal_group *g = find_group(c->gid);
    if (g == nullptr)
        return nullptr;
    std::uint32_t self = to_unit(c);
    if (c->prev == 0) {
        if (g->used != c)
            return nullptr;
    } else {
        MalChunk *prev = linked_chunk(c->prev);
        if (prev == nullptr || prev->next != self)
            return nullptr;
    }
    if (c->next != 0) {
        MalChunk *next = linked_chunk(c->next);
        if (next == nullptr || next->prev != self)
            return nullptr;
    }
    *gout = g;
    return c;
}

[[noreturn]] void bad_free(void *ptr, const char *file, int line)
{
    std::string_view path = file != nullptr ? file : "?";
    std::size_t slash = path.rfind('/');
    std::string base(slash == std::string_view::npos ? path
                                                     : path.substr(slash + 1));
    AllocWriteLog("%s: %d bad mem 0x%lx id %ld in free.\n", base.c_str(),
                  line,
                  static_cast<unsigned long>(
                      reinterpret_cast<std::uintptr_t>(ptr)),
                  header_gid(reinterpret_cast<std::uintptr_t>(ptr)));
    m_help("bad free", 0);
    std::abort();
}

long kilo(std::size_t n)
{
    return static_cast<long>(n / kKilo);
}

unsigned long addr(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p));
}

} // namespace

/* ---- interface ---------------------------------------------------------- */

void *mal_allocater(size_t size, int flags, long id, mal_group *group)
{
    if (negative(size))
        return nullptr;
    bool header = (flags & MAL_HEADER) != 0;
    if (!header && size == 0)
        return nullptr;
    mal_group *g = choose_group(flags, id, group);
    if (g == nullptr)
        return nullptr;
    if (header)
        return alloc_with_header(g, size, (flags & MAL_ZERO) != 0);
    std::size_t n = round_up(size, 8);
    char *p = carve(g, n);
    if (flags & MAL_ZERO)
        std::memset(p, 0, n);
    return p;
}

void mal_free_at(void *ptr, const char *file, int line)
{
    if (ptr == nullptr)
        return;
    mal_group *g = nullptr;
    MalChunk *c = live_chunk(ptr, &g);
    if (c == nullptr)
        bad_free(ptr, file, line);
    list_unlink(&g->used, c);
    release_chunk(g, c);
}

void mal_free(void *ptr)
{
    mal_free_at(ptr, kFile, __LINE__);
}

void *mal_realloc(void *ptr, size_t size)
{
    if (negative(size))
        negative_size();
    if (ptr == nullptr)
        return mal_allocater(size, MAL_ORDINARY);
    mal_group *g = nullptr;
    MalChunk *c = live_chunk(ptr, &g);
    if (c == nullptr)
        bad_free(ptr, kFile, __LINE__);
    std::size_t need = round_up(size, 8) + kHeader;
    std::size_t have = chunk_size(c);
    if (need <= have) {
        if (have - need > 48) {
            auto *tail = reinterpret_cast<MalChunk *>(bytes(c) + need);
            tail->gid = g->id;
            tail->size = static_cast<std::uint32_t>(have - need);
            c->size = static_cast<std::uint32_t>(need);
            release_chunk(g, tail);
        }
        return ptr;
    }
    void *moved = alloc_with_header(g, size, true);
    std::memcpy(moved, ptr, have - kHeader);
    list_unlink(&g->used, c);
    release_chunk(g, c);
    return moved;
}

char *mal_strsave(const char *text, int flags, long id)
{
    if (text == nullptr)
        return nullptr;
    return static_cast<char *>(mal_memsave(text, std::strlen(text) + 1,
                                           flags, id));
}

void *mal_memsave(const void *mem, size_t length, int flags, long id)
{
    if (mem == nullptr)
        return nullptr;
    if (negative(length))
        negative_size();
    void *copy = mal_allocater(length, flags, id);
    if (copy != nullptr && length > 0)
        std::memcpy(copy, mem, length);
    return copy;
}

long mal_reserve_id(long id, long block_size)
{
    if (id < 0 || id > INT32_MAX)
        return 0;
    if (id == 0) {
        do {
            id = g_next_id;
            g_next_id = g_next_id >= INT32_MAX ? 1 : g_next_id + 1;
        } while (find_group(id) != nullptr);
    } else if (find_group(id) != nullptr) {
        return 0;
    }
    std::size_t bs = kDefaultBlock;
    if (block_size > 0)
        bs = round_up(std::min<std::size_t>(static_cast<std::size_t>(block_size),
                                            std::size_t{1} << 30),
                      kKilo);
    mal_group *rec = g_spare;
    if (rec != nullptr)
        g_spare = rec->next;
    else
        rec = reinterpret_cast<mal_group *>(carve(&g_perm, round_up(sizeof(mal_group), 8)));
    *rec = mal_group{static_cast<std::int32_t>(id), nullptr, 0, nullptr,
                     nullptr, bs, nullptr, nullptr, 0, 0, nullptr};
    mal_group **link = &g_groups;
    while (*link != nullptr)
        link = &(*link)->next;
    *link = rec;
    return id;
}

int mal_free_id(long id)
{
    mal_group *g = find_group(id);
    if (!numbered(g))
        return -1;
    collect(&g_general, false);
    for (MalBlock *b = g->blocks; b != nullptr;) {
        MalBlock *next = b->next;
        free_block_insert(reinterpret_cast<char *>(b), b->size);
        b = next;
    }
    for (mal_group **link = &g_groups; *link != nullptr;
         link = &(*link)->next) {
        if (*link == g) {
            *link = g->next;
            break;
        }
    }
    if (g_cache == g)
        g_cache = &g_general;
    *g = mal_group{};
    g->next = g_spare;
    g_spare = g;
    return 0;
}

int mal_reset_id(long id)
{
    mal_group *g = find_group(id);
    if (!numbered(g))
        return -1;
    MalBlock *first = nullptr;
    for (MalBlock *b = g->blocks; b != nullptr;) {
        MalBlock *next = b->next;
        if (next == nullptr)
            first = b;
        else
            free_block_insert(reinterpret_cast<char *>(b), b->size);
        b = next;
    }
    g->used = nullptr;
    g->free_list = nullptr;
    g->free_bytes = 0;
    g->freed = 0;
    g->blocks = first;
    g->current = first;
    g->space = nullptr;
    g->space_size = 0;
    if (first != nullptr) {
        g->space = reinterpret_cast<char *>(first) + kBlockHead;
        g->space_size = first->size - kBlockHead;
        poison(g->space, g->space_size);
    }
    return 0;
}

mal_group *mal_get_group(long id)
{
    return find_group(id);
}

void mal_collect_garbage(void)
{
    for (mal_group *g = g_groups; g != nullptr; g = g->next)
        collect(g, true);
}

mal_report_hook set_alloc_error_hook(mal_report_hook hook)
{
    mal_report_hook old = g_hook;
    g_hook = hook;
    return old;
}

void malloc_totals(void)
{
    std::size_t total = g_arena != nullptr ? static_cast<std::size_t>(g_brk - g_arena) : 0;
    AllocWriteLog("total %dK current %dK free %dK sbrk(0) 0x%lx\n",
                  static_cast<int>(kilo(total)),
                  static_cast<int>(kilo(total - g_free_total)),
                  static_cast<int>(kilo(g_free_total)), addr(g_brk));
}

void m_help(const char *where, int flags)
{
    bool all = (flags & 0x01) != 0;
    AllocWriteLog("memory report: %s\n", where != nullptr ? where : "");
    for (mal_group *g = g_groups; g != nullptr; g = g->next) {
        int nblocks = 0;
        std::size_t held = 0;
        for (MalBlock *b = g->blocks; b != nullptr; b = b->next) {
            nblocks++;
            held += b->size;
        }
        int nused = 0;
        std::size_t used = 0;
        for (MalChunk *c = g->used; c != nullptr && nused < kReportMax;
             c = report_next(c)) {
            nused++;
            used += chunk_size(c);
        }
        int nfree = 0;
        for (MalChunk *c = g->free_list; c != nullptr && nfree < kReportMax;
             c = report_next(c))
            nfree++;
        AllocWriteLog("group %ld: block size %ldK, %d blocks %ldK, space %ld\n",
                      static_cast<long>(g->id), kilo(g->block_size), nblocks,
                      kilo(held), static_cast<long>(g->space_size));
        AllocWriteLog("  used %d chunks %ld bytes, free %d chunks %ld bytes\n",
                      nused, static_cast<long>(used), nfree,
                      static_cast<long>(g->free_bytes));
        if (!all)
            continue;
        for (MalBlock *b = g->blocks; b != nullptr; b = b->next)
            AllocWriteLog("  block 0x%lx size %ld\n", addr(b),
                          static_cast<long>(b->size));
        int n = 0;
        for (MalChunk *c = g->used; c != nullptr && n++ < kReportMax;
             c = report_next(c))
            AllocWriteLog("  used 0x%lx size %ld\n", addr(c),
                          static_cast<long>(chunk_size(c)));
        n = 0;
        for (MalChunk *c = g->free_list; c != nullptr && n++ < kReportMax;
             c = report_next(c))
            AllocWriteLog("  free 0x%lx size %ld\n", addr(c),
                          static_cast<long>(chunk_size(c)));
    }
    int nfb = 0;
    for (MalBlock *b = g_free_blocks; b != nullptr; b = b->next)
        nfb++;
    AllocWriteLog("free blocks %d, %ldK\n", nfb, kilo(g_free_total));
    if (all)
        for (MalBlock *b = g_free_blocks; b != nullptr; b = b->next)
            AllocWriteLog("  free block 0x%lx size %ld\n", addr(b),
                          static_cast<long>(b->size));
    malloc_totals();
}

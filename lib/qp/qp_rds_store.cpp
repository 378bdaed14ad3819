/*
 * qp_rds_store.cpp: the byte store of row data sets: 8192-byte pages from a
 * process-wide free list, a page table that overflows into a file in the
 * temporary directory (or grows), and that file's reads and writes.
 */
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_stream.h"
#include "qp_rds_internal.h"

namespace qp {

const char *const kSrcStore = "lib/qp/qp_rds_store.cpp";

namespace {

constexpr long kPage = RDS_PAGE_SIZE;
/* Read window over the overflow file. */
constexpr long kWindow = 4 * RDS_PAGE_SIZE;
/* Names tried before an existing-file streak counts as a failure. */
constexpr int kMaxNameTries = 10000;

/* Free pages, linked through their first bytes. */
struct FreePage {
    FreePage *next;
};
FreePage *g_free_pages = nullptr;

/* Counts up across the process; the suffix of overflow file names. */
unsigned g_overflow_counter = 0;

unsigned char *page_get()
{
    if (g_free_pages != nullptr) {
        FreePage *p = g_free_pages;
        g_free_pages = p->next;
        return reinterpret_cast<unsigned char *>(p);
    }
    return static_cast<unsigned char *>(
        mal_allocater(kPage, MAL_GENERAL | MAL_HEADER));
}

void page_put(unsigned char *page)
{
    auto *p = reinterpret_cast<FreePage *>(page);
    p->next = g_free_pages;
    g_free_pages = p;
}

/* Makes the page table cover page pg (RDS_GROW): grows by 1.3 at least. */
bool grow_table(RDS *set, long pg)
{
    long n = set->page_table;
    while (n <= pg)
        n = std::max(n + 1, n * 13 / 10);
    void *p = mal_realloc(set->pages, static_cast<size_t>(n) * sizeof(unsigned char *));
    set->pages = static_cast<unsigned char **>(p);
    set->page_table = n;
    return true;
}

int open_overflow(RDS *set)
{
    std::string dir = get_tse_tmp();
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    char name[1200];
    for (int tries = 0;; tries++) {
        std::snprintf(name, sizeof name, "%s/qp%06d.%x", dir.c_str(),
                      static_cast<int>(getpid()), g_overflow_counter++);
        std::string path = std::string("{nolog}") + name;
        STREAM *sp = sopen(path.c_str(), "x+");
        if (sp != nullptr) {
            set->ovf = sp;
            set->ovf_name = static_cast<char *>(mal_strsave(name, MAL_ID | MAL_HEADER, set->pool));
            set->ovf_high = 0;
            set->ovf_pos = 0;
            set->win_start = 0;
            set->win_len = 0;
            return 0;
        }
        int err = errno;
        if (err == EEXIST && tries < kMaxNameTries)
            continue;
        log_mesg(kSrcStore, __LINE__, "rds", 0, "Can't create overflow-file <%s>, errno %d",
                 name, err);
        log_mesg(kSrcStore, __LINE__, "rds", 0, "Can't open %s (error %d)", name, err);
        qp_errno = QP_ERR_OVERFLOW_OPEN;
        errno = err;
        return -1;
    }
}

int overflow_write(RDS *set, long off, const unsigned char *src, long n)
{
    if (set->ovf == nullptr && open_overflow(set) < 0)
        return -1;
    if (off > set->ovf_high) {
        log_mesg(kSrcStore, __LINE__, "rds", 0, "W: Part of overflow skipped (tot %d offset %d)\n",
                 static_cast<int>(set->ovf_high), static_cast<int>(off));
        return -1;
    }
    if (set->ovf_pos != off) {
        if (sseek(set->ovf, off, 0) != off) {
            int err = errno;
            log_mesg(kSrcStore, __LINE__, "rds", 0, "sflush error %d", err);
            set->ovf_pos = -1;
            return -1;
        }
    }
    if (swrite_blok(src, static_cast<int>(n), set->ovf) != n) {
        int err = errno;
        log_mesg(kSrcStore, __LINE__, "rds", 0, "swrite error %d", err);
        set->ovf_pos = -1;
        return -1;
    }
    set->ovf_pos = off + n;
    set->ovf_high = std::max(set->ovf_high, off + n);
    /* Keep the read window in step with what was written over it. */
    long lo = std::max(off, set->win_start);
    long hi = std::min(off + n, set->win_start + set->win_len);
    if (lo < hi)
        std::memcpy(set->ovf_win + (lo - set->win_start), src + (lo - off),
                    static_cast<size_t>(hi - lo));
    return 0;
}

/* Reads from the file itself (after flushing what is unwritten). */
int overflow_fill(RDS *set, long off, unsigned char *dst, long n)
{
    if (sflush(set->ovf) < 0) {
        int err = errno;
        log_mesg(kSrcStore, __LINE__, "rds", 0, "sflush error %d", err);
        return -1;
    }
    set->ovf_pos = -1;
    if (sseek(set->ovf, off, 0) != off) {
        int err = errno;
        log_mesg(kSrcStore, __LINE__, "rds", 0, "sread error %d", err);
        return -1;
    }
    int got = sread_blok(dst, static_cast<int>(n), set->ovf);
    if (got != n) {
        int err = errno;
        log_mesg(kSrcStore, __LINE__, "rds", 0, "sread error %d", err);
        return -1;
    }
    return 0;
}

int overflow_read(RDS *set, long off, unsigned char *dst, long n)
{
    if (set->ovf == nullptr || off + n > set->ovf_high) {
        log_mesg(kSrcStore, __LINE__, "rds", 0, "R: Part of overflow skipped (tot %d offset %d)\n",
                 static_cast<int>(set->ovf_high), static_cast<int>(off));
        return -1;
    }
    if (off >= set->win_start && off + n <= set->win_start + set->win_len) {
        std::memcpy(dst, set->ovf_win + (off - set->win_start), static_cast<size_t>(n));
        return 0;
    }
    if (n > kWindow)
        return overflow_fill(set, off, dst, n);
    if (set->ovf_win == nullptr)
        set->ovf_win = static_cast<unsigned char *>(set_alloc(set->pool, kWindow));
    long len = std::min(kWindow, set->ovf_high - off);
    set->win_len = 0;
    if (overflow_fill(set, off, set->ovf_win, len) < 0)
        return -1;
    set->win_start = off;
    set->win_len = len;
    std::memcpy(dst, set->ovf_win, static_cast<size_t>(n));
    return 0;
}

} // namespace

int store_write(RDS *set, long pos, const unsigned char *src, long n)
{
    while (n > 0) {
        long pg = pos / kPage;
        if (pg >= set->page_table) {
            if (!(set->flags & RDS_GROW)) {
                if (overflow_write(set, pos - set->page_table * kPage, src, n) < 0)
                    return -1;
                set->high = std::max(set->high, pos + n);
                return 0;
            }
            grow_table(set, pg);
        }
        if (set->pages[pg] == nullptr)
            set->pages[pg] = page_get();
        long off = pos % kPage;
        long k = std::min(n, kPage - off);
        std::memcpy(set->pages[pg] + off, src, static_cast<size_t>(k));
        pos += k;
        src += k;
        n -= k;
        set->high = std::max(set->high, pos);
    }
    return 0;
}

int store_read(RDS *set, long pos, unsigned char *dst, long n)
{
    if (pos < 0 || n < 0) {
        illegal_condition(kSrcStore, __LINE__);
        return -1;
    }
    if (pos + n > set->high) {
        long base = set->page_table * kPage;
        if (!(set->flags & RDS_GROW) && pos + n > base)
            log_mesg(kSrcStore, __LINE__, "rds", 0,
                     "R: Part of overflow skipped (tot %d offset %d)\n",
                     static_cast<int>(set->ovf_high), static_cast<int>(std::max(pos - base, 0L)));
        else
            illegal_condition(kSrcStore, __LINE__);
        return -1;
    }
    while (n > 0) {
        long pg = pos / kPage;
        if (pg >= set->page_table)
            return overflow_read(set, pos - set->page_table * kPage, dst, n);
        long off = pos % kPage;
        long k = std::min(n, kPage - off);
        if (set->pages[pg] == nullptr) {
            illegal_condition(kSrcStore, __LINE__);
            return -1;
        }
        std::memcpy(dst, set->pages[pg] + off, static_cast<size_t>(k));
        pos += k;
        dst += k;
        n -= k;
    }
    return 0;
}

void store_release(RDS *set)
{
    for (long i = 0; i < set->page_table; i++) {
        if (set->pages[i] != nullptr) {
            page_put(set->pages[i]);
            set->pages[i] = nullptr;
        }
    }
    if (set->ovf != nullptr) {
        sclose(set->ovf);
        set->ovf = nullptr;
        if (set->ovf_name != nullptr)
            unlink(set->ovf_name);
    }
    if (set->ovf_name != nullptr) {
        mal_free(set->ovf_name);
        set->ovf_name = nullptr;
    }
    if (set->ovf_win != nullptr) {
        mal_free(set->ovf_win);
        set->ovf_win = nullptr;
    }
    set->ovf_high = 0;
    set->ovf_pos = -1;
    set->win_start = 0;
    set->win_len = 0;
    set->high = 0;
}

void store_free_pages(void)
{
    while (g_free_pages != nullptr) {
        FreePage *p = g_free_pages;
        g_free_pages = p->next;
        mal_free(p);
    }
}

long store_pages_in_use(const RDS *set)
{
    long n = 0;
    for (long i = 0; i < set->page_table; i++)
        if (set->pages[i] != nullptr)
            n++;
    return n;
}

} // namespace qp

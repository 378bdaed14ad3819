/*
 * al_mem_test.cpp: tests of the runtime allocator: chunk headers in memory,
 * best fit and splitting, collection, reallocation, groups and ids, a
 * randomized run against a shadow model, the memory report and bad frees.
 */
#include "al_mem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_ASAN 1
#endif
#endif
#ifdef TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

/* The header fields in front of a chunk, read from the bytes in memory. */
struct Header {
    std::int32_t gid;
    std::uint32_t size;
};

Header header(const void *mem)
{
    Header h{};
    const char *p = static_cast<const char *>(mem) - 16;
    std::memcpy(&h.gid, p, 4);
    std::memcpy(&h.size, p + 4, 4);
    return h;
}

std::uintptr_t addr(const void *p)
{
    return reinterpret_cast<std::uintptr_t>(p);
}

char *alloc_in(long id, std::size_t size, int extra = 0)
{
    return static_cast<char *>(
        mal_allocater(size, MAL_ID | MAL_HEADER | extra, id));
}

/* Collects the lines the report hook receives while it is installed. */
std::vector<std::string> g_lines;
void capture(const char *text)
{
    g_lines.emplace_back(text);
}

template <typename F> std::vector<std::string> report_of(F &&fn)
{
    g_lines.clear();
    mal_report_hook old = set_alloc_error_hook(capture);
    fn();
    set_alloc_error_hook(old);
    return g_lines;
}

/* The totals line as numbers: total, current and free K. */
struct Totals {
    long total, current, free;
};

Totals totals()
{
    auto lines = report_of([] { malloc_totals(); });
    Totals t{-1, -1, -1};
    if (lines.size() == 1)
        std::sscanf(lines[0].c_str(), "total %ldK current %ldK free %ldK",
                    &t.total, &t.current, &t.free);
    return t;
}

/*
 * Runs body in a freshly started copy of the test program (the allocator's
 * state is process-wide): body returns "" when all is well, else what went
 * wrong, which the child prints.
 */
template <typename F> void in_fresh_process(F &&body)
{
    std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string problem = body();
            if (!problem.empty()) {
                std::fprintf(stderr, "%s\n", problem.c_str());
                std::_Exit(1);
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}

/* ---- allocation --------------------------------------------------------- */

TEST(MalAllocate, ZeroBytesWithoutHeaderIsNull)
{
    EXPECT_EQ(mal_allocater(0, MAL_GENERAL), nullptr);
    EXPECT_EQ(mal_allocater(0, MAL_PERM | MAL_ZERO), nullptr);
}

TEST(MalAllocate, NegativeSizeIsNull)
{
    EXPECT_EQ(mal_allocater(static_cast<size_t>(-1), MAL_ORDINARY), nullptr);
    EXPECT_EQ(mal_allocater(static_cast<size_t>(-8), MAL_GENERAL), nullptr);
}

TEST(MalAllocate, OneByteIsEightZeroedBytesInATwentyFourByteChunk)
{
    long id = mal_reserve_id(0, 0);
    ASSERT_GT(id, 0);
    /* Dirty memory first, so that the zeroing is seen on reused bytes; the
     * first chunk keeps the block from going back to the free blocks. */
    alloc_in(id, 8);
    char *dirty = alloc_in(id, 8);
    std::memset(dirty, 0xAA, 8);
    mal_free(dirty);
    char *p = alloc_in(id, 1, MAL_ZERO);
    EXPECT_EQ(p, dirty) << "the freed chunk went back to the free space";
    EXPECT_EQ(addr(p) % 8, 0u);
    EXPECT_EQ(header(p).size, 24u);
    EXPECT_EQ(header(p).gid, id);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(p[i], 0) << i;
    mal_free(p);

    char *q = static_cast<char *>(mal_allocater(1, MAL_ORDINARY));
    EXPECT_EQ(header(q).size, 24u);
    EXPECT_EQ(header(q).gid, MAL_GENERAL_ID);
    mal_free(q);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalAllocate, ZeroBytesWithHeaderIsAChunkWithoutUsableBytes)
{
    void *p = mal_allocater(0, MAL_ORDINARY);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(header(p).size, 16u);
    mal_free(p);
}

TEST(MalAllocate, SizesAreRoundedToEightAndMemoryIsAligned)
{
    for (std::size_t size : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 100u, 1000u}) {
        void *p = mal_allocater(size, MAL_ORDINARY);
        EXPECT_EQ(addr(p) % 8, 0u) << size;
        EXPECT_EQ(header(p).size, (size + 7) / 8 * 8 + 16) << size;
        mal_free(p);
    }
    /* Without header: consecutive carves are 8 bytes apart for 1..8. */
    long id = mal_reserve_id(0, 0);
    char *a = static_cast<char *>(mal_allocater(3, MAL_ID, id));
    char *b = static_cast<char *>(mal_allocater(9, MAL_ID, id));
    char *c = static_cast<char *>(mal_allocater(1, MAL_ID | MAL_ZERO, id));
    EXPECT_EQ(b - a, 8);
    EXPECT_EQ(c - b, 16);
    EXPECT_EQ(*c, 0);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalAllocate, GroupIsChosenByFlagsIdOrRecord)
{
    long id = mal_reserve_id(0, 0);
    mal_group *g = mal_get_group(id);
    ASSERT_NE(g, nullptr);
    void *by_record = mal_allocater(10, MAL_GROUP | MAL_HEADER, 0, g);
    EXPECT_EQ(header(by_record).gid, id);
    void *by_id = mal_allocater(10, MAL_ID | MAL_HEADER, id);
    EXPECT_EQ(header(by_id).gid, id);
    void *perm = mal_allocater(10, MAL_PERM | MAL_HEADER);
    EXPECT_EQ(header(perm).gid, MAL_PERM_ID);
    void *plain = mal_allocater(10, MAL_HEADER);
    EXPECT_EQ(header(plain).gid, MAL_GENERAL_ID);
    EXPECT_EQ(mal_get_group(MAL_PERM_ID) != nullptr, true);
    EXPECT_EQ(mal_allocater(10, MAL_GROUP | MAL_HEADER, 0, nullptr), nullptr);
    EXPECT_EQ(mal_allocater(10, MAL_ID | MAL_HEADER, 987654321), nullptr);
    mal_free(by_record);
    mal_free(by_id);
    mal_free(perm);
    mal_free(plain);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalAllocate, CopiesOfTextsAndMemory)
{
    char *s = mal_strsave("hello");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "hello");
    EXPECT_EQ(header(s).size, 24u);
    EXPECT_EQ(header(s).gid, MAL_GENERAL_ID);
    mal_free(s);
    EXPECT_EQ(mal_strsave(nullptr), nullptr);

    const unsigned char raw[5] = {0, 1, 0, 2, 0};
    auto *m = static_cast<unsigned char *>(mal_memsave(raw, 5));
    EXPECT_EQ(std::memcmp(m, raw, 5), 0);
    mal_free(m);
    void *empty = mal_memsave(raw, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(header(empty).size, 16u);
    mal_free(empty);
    EXPECT_EQ(mal_memsave(raw, 0, MAL_GENERAL), nullptr);
    EXPECT_EQ(mal_memsave(nullptr, 3), nullptr);

    long id = mal_reserve_id(0, 0);
    char *in_group = mal_strsave("abc", MAL_ID | MAL_HEADER, id);
    EXPECT_EQ(header(in_group).gid, id);
    const char *perm = mal_strsave("forever", MAL_PERM);
    EXPECT_STREQ(perm, "forever");
    EXPECT_EQ(mal_free_id(id), 0);
}

/* ---- free lists --------------------------------------------------------- */

TEST(MalFreeList, BestFitTakesTheSmallestChunkThatIsLargeEnough)
{
    long id = mal_reserve_id(0, 0);
    char *big = alloc_in(id, 200);
    alloc_in(id, 8); /* guards keep the chunks apart */
    char *fit = alloc_in(id, 104);
    alloc_in(id, 8);
    char *small = alloc_in(id, 48);
    alloc_in(id, 8);
    mal_free(fit);
    mal_free(small);
    mal_free(big); /* the list is now big, small, fit */
    char *p = alloc_in(id, 96); /* needs 112: fit (120) is the best */
    EXPECT_EQ(p, fit);
    EXPECT_EQ(header(p).size, 120u) << "8 bytes over: not split";
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalFreeList, SearchStopsAtAChunkAtMostSixteenBytesLarger)
{
    long id = mal_reserve_id(0, 0);
    char *exact = alloc_in(id, 96); /* chunk 112 */
    alloc_in(id, 8);
    char *near = alloc_in(id, 112); /* chunk 128 = need + 16 */
    alloc_in(id, 8);
    mal_free(exact);
    mal_free(near); /* near is searched first */
    char *p = alloc_in(id, 96);
    EXPECT_EQ(p, near) << "the exact fit behind it is not looked at";
    EXPECT_EQ(header(p).size, 128u);
    EXPECT_EQ(alloc_in(id, 96), exact);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalFreeList, LargerChunkIsSplitAndTheTailServesTheNextRequest)
{
    long id = mal_reserve_id(0, 0);
    char *big = alloc_in(id, 184); /* chunk 200 */
    alloc_in(id, 8);
    mal_free(big);
    char *p = alloc_in(id, 96); /* needs 112; 200 > 112 + 32 */
    EXPECT_EQ(p, big);
    EXPECT_EQ(header(p).size, 112u);
    char *tail = alloc_in(id, 72); /* needs 88: exactly the tail */
    EXPECT_EQ(tail, big + 112);
    EXPECT_EQ(header(tail).size, 88u);
    EXPECT_EQ(header(tail).gid, id);

    /* Not more than 32 bytes over: the whole chunk is used. */
    char *whole = alloc_in(id, 184);
    alloc_in(id, 8);
    mal_free(whole);
    char *q = alloc_in(id, 160); /* needs 176; 200 <= 208 */
    EXPECT_EQ(q, whole);
    EXPECT_EQ(header(q).size, 200u);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalFreeList, AdjacentHeadIsMergedAndAChunkBeforeTheSpaceJoinsIt)
{
    long id = mal_reserve_id(0, 0);
    char *a = alloc_in(id, 48); /* chunk 64 */
    char *b = alloc_in(id, 48);
    char *guard = alloc_in(id, 8);
    mal_free(a);
    mal_free(b); /* b follows the head a: merged into a */
    char *p = alloc_in(id, 112); /* needs 128 = the merged chunk */
    EXPECT_EQ(p, a);
    EXPECT_EQ(header(p).size, 128u);

    /* The newest chunk borders the free space: freeing gives it back. */
    mal_free(guard);
    EXPECT_EQ(alloc_in(id, 8), guard);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalFreeList, CollectionMergesScatteredFreeChunksForALargerRequest)
{
    long id = mal_reserve_id(0, 1024);
    /* One large block, whose space is given back by shrinking the chunk. */
    char *start = alloc_in(id, 1984);
    ASSERT_EQ(mal_realloc(start, 0), start);
    std::vector<char *> chunks;
    for (int i = 0; i < 20; i++)
        chunks.push_back(alloc_in(id, 64)); /* chunk 80 each */
    for (int i = 1; i < 20; i++)
        ASSERT_EQ(chunks[i] - chunks[i - 1], 80);
    alloc_in(id, 8); /* guard */
    for (int i = 0; i < 20; i += 2)
        mal_free(chunks[i]);
    for (int i = 1; i < 20; i += 2)
        mal_free(chunks[i]);
    /* No single chunk holds 160 bytes; the 1600 free bytes exceed 160 plus
     * the block size, so the list is collected into one chunk. */
    char *p = alloc_in(id, 144);
    EXPECT_EQ(p, chunks[0]);
    EXPECT_EQ(header(p).size, 160u);
    char *rest = alloc_in(id, 1600 - 160 - 16);
    EXPECT_EQ(rest, chunks[0] + 160) << "the split tail is the rest of the run";
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalFreeList, CollectGarbageLeavesOneFreeChunkPerRun)
{
    long id = mal_reserve_id(0, 0);
    std::vector<char *> chunks;
    for (int i = 0; i < 8; i++)
        chunks.push_back(alloc_in(id, 24)); /* chunk 40 */
    alloc_in(id, 8);
    for (int i : {0, 2, 4, 6, 1, 3}) /* run 0..4 and 6 alone */
        mal_free(chunks[i]);
    auto group_lines = [&] {
        std::vector<std::string> out;
        auto lines = report_of([] { m_help("collect", 0); });
        std::string head = "group " + std::to_string(id) + ":";
        for (std::size_t i = 0; i + 1 < lines.size(); i++)
            if (lines[i].rfind(head, 0) == 0)
                out.push_back(lines[i + 1]);
        return out;
    };
    EXPECT_EQ(group_lines(),
              std::vector<std::string>{
                  "  used 3 chunks 104 bytes, free 6 chunks 240 bytes\n"});
    mal_collect_garbage();
    EXPECT_EQ(group_lines(),
              std::vector<std::string>{
                  "  used 3 chunks 104 bytes, free 2 chunks 240 bytes\n"});
    EXPECT_EQ(alloc_in(id, 184), chunks[0]) << "the run 0..4 is one chunk";
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalFreeList, CollectionOfMoreChunksThanTheLocalTableHolds)
{
    long id = mal_reserve_id(0, 300 * 1024);
    std::vector<char *> chunks;
    for (int i = 0; i < 12000; i++)
        chunks.push_back(alloc_in(id, 8)); /* chunk 24 */
    ASSERT_EQ(chunks.back() - chunks.front(), 11999 * 24) << "one block";
    for (int i = 0; i < 11999; i += 2)
        mal_free(chunks[i]);
    for (int i = 1; i < 11999; i += 2)
        mal_free(chunks[i]); /* 11999 separate free chunks */
    mal_collect_garbage();
    char *p = alloc_in(id, 11999 * 24 - 16);
    EXPECT_EQ(p, chunks[0]) << "every free chunk merged into one";
    EXPECT_EQ(header(p).size, 11999u * 24);
    EXPECT_EQ(mal_free_id(id), 0);
}

/* ---- reallocation ------------------------------------------------------- */

TEST(MalRealloc, ShrinkingSplitsOffTheTailOnlyWhenMoreThanFortyEightBytesAreLeft)
{
    long id = mal_reserve_id(0, 0);
    char *p = alloc_in(id, 100); /* chunk 120 */
    alloc_in(id, 8);
    EXPECT_EQ(mal_realloc(p, 90), p);
    EXPECT_EQ(header(p).size, 120u) << "8 bytes would be left";
    EXPECT_EQ(mal_realloc(p, 40), p);
    EXPECT_EQ(header(p).size, 56u);
    char *tail = alloc_in(id, 48); /* needs 64: the split tail */
    EXPECT_EQ(tail, p + 56);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalRealloc, GrowingMovesAndKeepsTheContentsWithZeroedNewBytes)
{
    long id = mal_reserve_id(0, 0);
    char *p = alloc_in(id, 16);
    std::memcpy(p, "0123456789abcdef", 16);
    alloc_in(id, 8);
    char *q = static_cast<char *>(mal_realloc(p, 64));
    ASSERT_NE(q, p);
    EXPECT_EQ(header(q).gid, id) << "same group";
    EXPECT_EQ(std::memcmp(q, "0123456789abcdef", 16), 0);
    for (int i = 16; i < 64; i++)
        EXPECT_EQ(q[i], 0) << i;
    EXPECT_EQ(alloc_in(id, 16), p) << "the old chunk was freed";

    char *fresh = static_cast<char *>(mal_realloc(nullptr, 10));
    EXPECT_EQ(header(fresh).gid, MAL_GENERAL_ID);
    EXPECT_EQ(header(fresh).size, 32u);
    mal_free(fresh);
    EXPECT_EQ(mal_free_id(id), 0);
}

/* ---- randomized run against a shadow model ------------------------------ */

TEST(MalRandom, AllocateFreeReallocKeepContentsAndNeverOverlap)
{
    std::mt19937 rng(20261205);
    long ids[3] = {MAL_GENERAL_ID, mal_reserve_id(0, 0), mal_reserve_id(0, 2048)};
    struct Live {
        std::size_t size;
        unsigned char fill;
        long gid;
    };
    std::map<char *, Live> live;
    auto check = [&](char *p, const Live &l) {
        for (std::size_t i = 0; i < l.size; i++)
            if (static_cast<unsigned char>(p[i]) != l.fill)
                return false;
        return true;
    };
    auto verify_all = [&] {
        std::uintptr_t end = 0;
        for (auto &[p, l] : live) {
            ASSERT_TRUE(check(p, l)) << "contents changed at " << (void *)p;
            Header h = header(p);
            ASSERT_EQ(h.gid, l.gid);
            ASSERT_GE(h.size, (l.size + 7) / 8 * 8 + 16);
            ASSERT_GE(addr(p) - 16, end) << "chunks overlap";
            end = addr(p) - 16 + h.size;
        }
    };
    unsigned char next_fill = 1;
    for (int step = 0; step < 6000; step++) {
        int op = static_cast<int>(rng() % 10);
        if (op < 5 || live.empty()) {
            std::size_t size = rng() % 4 == 0 ? rng() % 5000 : rng() % 300;
            long gid = ids[rng() % 3];
            int flags = MAL_HEADER | (rng() % 2 ? MAL_ZERO : 0) |
                        (gid == MAL_GENERAL_ID ? MAL_GENERAL : MAL_ID);
            char *p = static_cast<char *>(mal_allocater(size, flags, gid));
            ASSERT_NE(p, nullptr);
            ASSERT_EQ(addr(p) % 8, 0u);
            if (flags & MAL_ZERO) {
                for (std::size_t i = 0; i < size; i++)
                    ASSERT_EQ(p[i], 0);
            }
            Live l{size, next_fill++, gid};
            if (next_fill == 0)
                next_fill = 1;
            std::memset(p, l.fill, size);
            ASSERT_TRUE(live.emplace(p, l).second) << "address handed out twice";
        } else {
            auto it = live.begin();
            std::advance(it, static_cast<long>(rng() % live.size()));
            char *p = it->first;
            Live l = it->second;
            ASSERT_TRUE(check(p, l));
            live.erase(it);
            if (op < 8) {
                mal_free(p);
            } else {
                std::size_t size = rng() % 600;
                char *q = static_cast<char *>(mal_realloc(p, size));
                ASSERT_EQ(addr(q) % 8, 0u);
                ASSERT_EQ(header(q).gid, l.gid);
                std::size_t kept = std::min(size, l.size);
                for (std::size_t i = 0; i < kept; i++)
                    ASSERT_EQ(static_cast<unsigned char>(q[i]), l.fill);
                std::memset(q, l.fill, size);
                live.emplace(q, Live{size, l.fill, l.gid});
            }
        }
        if (step % 250 == 0)
            verify_all();
        if (step == 3000) /* dropping a group in between */
            for (auto it = live.begin(); it != live.end();)
                it = it->second.gid == ids[2] ? live.erase(it) : std::next(it);
        if (step == 3000) {
            ASSERT_EQ(mal_reset_id(ids[2]), 0);
        }
        if (HasFatalFailure())
            return;
    }
    verify_all();
    for (auto &[p, l] : live)
        if (l.gid == MAL_GENERAL_ID)
            mal_free(p);
    EXPECT_EQ(mal_free_id(ids[1]), 0);
    EXPECT_EQ(mal_free_id(ids[2]), 0);
}

/* ---- groups and ids ----------------------------------------------------- */

TEST(MalIds, ReserveTakesTheNextUnusedNumberOrTheOneAskedFor)
{
    long a = mal_reserve_id(0, 0);
    long b = mal_reserve_id(0, 0);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, a);
    EXPECT_EQ(mal_reserve_id(a, 0), 0) << "in use";
    EXPECT_EQ(mal_reserve_id(-5, 0), 0);
    EXPECT_EQ(mal_reserve_id(MAL_GENERAL_ID, 0), 0);
    EXPECT_EQ(mal_reserve_id(0x80000000L, 0), 0);
    EXPECT_EQ(mal_reserve_id(770077, 0), 770077);
    EXPECT_EQ(mal_reserve_id(770077, 0), 0);
    EXPECT_EQ(mal_free_id(770077), 0);
    EXPECT_EQ(mal_free_id(770077), -1) << "gone";
    EXPECT_EQ(mal_reserve_id(770077, 0), 770077) << "free again";
    EXPECT_EQ(mal_get_group(770077) != nullptr, true);
    for (long id : {a, b, 770077L})
        EXPECT_EQ(mal_free_id(id), 0);
    EXPECT_EQ(mal_get_group(a), nullptr);
    EXPECT_EQ(mal_free_id(MAL_GENERAL_ID), -1);
    EXPECT_EQ(mal_free_id(MAL_PERM_ID), -1);
    EXPECT_EQ(mal_reset_id(MAL_GENERAL_ID), -1);
    EXPECT_EQ(mal_reset_id(12345678), -1);
}

TEST(MalIds, BlockSizeIsRoundedToKilobytes)
{
    long a = mal_reserve_id(0, 1500);
    long b = mal_reserve_id(0, 0);
    long c = mal_reserve_id(0, 1024);
    auto lines = report_of([] { m_help("sizes", 0); });
    auto block_size_of = [&](long id) {
        for (long k = 1; k <= 8; k++) {
            std::string want = "group " + std::to_string(id) + ": block size " +
                               std::to_string(k) + "K, 0 blocks 0K, space 0\n";
            if (std::find(lines.begin(), lines.end(), want) != lines.end())
                return k;
        }
        return -1L;
    };
    EXPECT_EQ(block_size_of(a), 2);
    EXPECT_EQ(block_size_of(b), 4);
    EXPECT_EQ(block_size_of(c), 1);
    for (long id : {a, b, c})
        EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalIds, FreedGroupMemoryIsReusedByOtherGroups)
{
    in_fresh_process([]() -> std::string {
        long a = mal_reserve_id(0, 8192);
        for (int i = 0; i < 40; i++)
            alloc_in(a, 1000);
        mal_allocater(30000, MAL_ID, a); /* a larger block as well */
        Totals before = totals();
        if (mal_free_id(a) != 0)
            return "mal_free_id failed";
        Totals freed = totals();
        if (freed.total != before.total || freed.free <= before.free + 60)
            return "blocks not returned: free " + std::to_string(before.free) +
                   "K -> " + std::to_string(freed.free) + "K";
        if (alloc_in(a, 8) != nullptr)
            return "allocation in a freed group";
        long b = mal_reserve_id(0, 8192);
        for (int i = 0; i < 40; i++)
            alloc_in(b, 1000);
        mal_allocater(30000, MAL_ID, b);
        Totals after = totals();
        if (after.total != before.total)
            return "new memory taken: total " + std::to_string(before.total) +
                   "K -> " + std::to_string(after.total) + "K";
        if (after.free != before.free)
            return "free " + std::to_string(after.free) + "K, expected " +
                   std::to_string(before.free) + "K";
        return "";
    });
}

TEST(MalIds, ResetKeepsTheFirstBlockAsFreeSpace)
{
    in_fresh_process([]() -> std::string {
        long id = mal_reserve_id(0, 2048);
        char *first = alloc_in(id, 100);
        for (int i = 0; i < 20; i++)
            alloc_in(id, 500);
        Totals before = totals();
        if (mal_reset_id(id) != 0)
            return "reset failed";
        Totals after = totals();
        if (after.total != before.total || after.free <= before.free)
            return "the other blocks were not returned";
        char *again = alloc_in(id, 100);
        if (again != first)
            return "the first block does not start the free space again";
        auto lines = report_of([] { m_help(nullptr, 0); });
        std::string want = "group " + std::to_string(id) +
                           ": block size 2K, 1 blocks 2K, space " +
                           std::to_string(2048 - 16 - 120) + "\n";
        if (std::find(lines.begin(), lines.end(), want) == lines.end())
            return "no line " + want;
        return "";
    });
}

TEST(MalIds, FreeBlockRightBehindTheCurrentBlockIsAppended)
{
    in_fresh_process([]() -> std::string {
        long a = mal_reserve_id(0, 1024);
        long t = mal_reserve_id(0, 8192);
        mal_allocater(8, MAL_ID, a); /* block of 1K */
        mal_allocater(8, MAL_ID, t); /* block of 8K right behind it */
        if (mal_free_id(t) != 0)
            return "free_id";
        auto group_and_free = [a] {
            auto lines = report_of([] { m_help("append", 0); });
            std::string out;
            for (auto &l : lines)
                if (l.rfind("group " + std::to_string(a) + ":", 0) == 0 ||
                    l.rfind("free blocks", 0) == 0)
                    out += l;
            return out;
        };
        std::string g = "group " + std::to_string(a) + ": block size 1K, 1 blocks ";
        /* 500 bytes short: 1K rounded plus 1K more, the rest stays free. */
        mal_allocater(1500, MAL_ID, a);
        std::string want = g + "3K, space 1544\nfree blocks 1, 6K\n";
        if (group_and_free() != want)
            return "after the first append:\n" + group_and_free();
        /* 5000 short: 5K + 1K would leave less than 2K, so all 6K go. */
        mal_allocater(1544 + 5000, MAL_ID, a);
        want = g + "9K, space 1144\nfree blocks 0, 0K\n";
        if (group_and_free() != want)
            return "after the second append:\n" + group_and_free();
        Totals tt = totals();
        if (tt.total != 4 + 1 + 8 || tt.free != 0)
            return "totals " + std::to_string(tt.total) + "K";
        return "";
    });
}

/* ---- the memory report -------------------------------------------------- */

TEST(MalReport, TotalsLineFormatAndArithmetic)
{
    void *p = mal_allocater(8, MAL_ORDINARY); /* memory is taken by now */
    auto lines = report_of([] { malloc_totals(); });
    ASSERT_EQ(lines.size(), 1u);
    long total = -1, current = -1, free = -1;
    unsigned long brk = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(),
                          "total %ldK current %ldK free %ldK sbrk(0) 0x%lx",
                          &total, &current, &free, &brk),
              4)
        << lines[0];
    char again[128];
    std::snprintf(again, sizeof again,
                  "total %ldK current %ldK free %ldK sbrk(0) 0x%lx\n", total,
                  current, free, brk);
    EXPECT_EQ(lines[0], again);
    EXPECT_NE(brk, 0u);
    EXPECT_GE(total, 4);
    mal_free(p);
    EXPECT_LE(current + free, total);
    EXPECT_GE(current + free + 1, total);
}

TEST(MalReport, ListsGroupsBlocksChunksAndTotalsExactly)
{
    in_fresh_process([]() -> std::string {
        long id = mal_reserve_id(0, 2048);
        char *a = alloc_in(id, 100);  /* 120 */
        char *b = alloc_in(id, 40);   /* 56 */
        alloc_in(id, 8);              /* 24 */
        mal_free(b);                  /* one free chunk of 56 */
        (void)a;
        auto lines = report_of([] { m_help("test", 1); });
        char block[64], used1[64], used2[64], freed[64];
        std::snprintf(block, sizeof block, "  block 0x%lx size 2048\n",
                      static_cast<unsigned long>(addr(a) - 32));
        std::snprintf(used1, sizeof used1, "  used 0x%lx size 24\n",
                      static_cast<unsigned long>(addr(b) + 40));
        std::snprintf(used2, sizeof used2, "  used 0x%lx size 120\n",
                      static_cast<unsigned long>(addr(a) - 16));
        std::snprintf(freed, sizeof freed, "  free 0x%lx size 56\n",
                      static_cast<unsigned long>(addr(b) - 16));
        std::string g = "group " + std::to_string(id) + ": ";
        std::vector<std::string> want = {
            g + "block size 2K, 1 blocks 2K, space 1832\n",
            "  used 2 chunks 144 bytes, free 1 chunks 56 bytes\n",
            block, used1, used2, freed};
        auto at = std::find(lines.begin(), lines.end(), want[0]);
        if (lines.empty() || lines[0] != "memory report: test\n")
            return "no heading";
        if (at == lines.end() || lines.end() - at < 6 ||
            !std::equal(want.begin(), want.end(), at)) {
            std::string all;
            for (auto &l : lines)
                all += l;
            return "report:\n" + all;
        }
        int nfb = -1;
        long kfb = -1;
        const std::string &fbl = lines[lines.size() - 2];
        if (std::sscanf(fbl.c_str(), "free blocks %d, %ldK", &nfb, &kfb) != 2 ||
            fbl != "free blocks " + std::to_string(nfb) + ", " +
                       std::to_string(kfb) + "K\n")
            return "free-block line: " + fbl;
        if (lines.back().rfind("total ", 0) != 0)
            return "no totals at the end";
        return "";
    });
}

/* ---- failures ----------------------------------------------------------- */

using ::testing::KilledBySignal;

TEST(MalBadFree, MisalignedPointerAbortsWithTheReport)
{
    char *p = static_cast<char *>(mal_allocater(32, MAL_ORDINARY));
    char expect[128];
    std::snprintf(expect, sizeof expect,
                  "^caller\\.cpp: 77 bad mem 0x%lx id 0 in free\\.\n"
                  "memory report: bad free\n.*total [0-9]+K",
                  static_cast<unsigned long>(addr(p + 4)));
    EXPECT_EXIT(mal_free_at(p + 4, "lib/x/caller.cpp", 77),
                KilledBySignal(SIGABRT), expect);
    mal_free(p);
}

TEST(MalBadFree, UnknownGroupInTheHeaderAborts)
{
    auto *p = static_cast<std::int32_t *>(mal_allocater(64, MAL_ORDINARY));
    p[0] = 4242; /* a header naming no group inside the chunk */
    p[1] = 32;
    void *fake = p + 4;
    char expect[96];
    std::snprintf(expect, sizeof expect, "^here\\.cpp: 5 bad mem 0x%lx id 4242 in free\\.\n",
                  static_cast<unsigned long>(addr(fake)));
    EXPECT_EXIT(mal_free_at(fake, "here.cpp", 5), KilledBySignal(SIGABRT),
                expect);
    mal_free(p);
}

TEST(MalBadFree, DoubleFreeAndBrokenLinksAbort)
{
    long id = mal_reserve_id(0, 0);
    char *a = alloc_in(id, 40);
    char *b = alloc_in(id, 40);
    alloc_in(id, 8);
    mal_free(a); /* on the free list, header intact */
    char expect[96];
    std::snprintf(expect, sizeof expect, "^t\\.cpp: 1 bad mem 0x%lx id %ld in free\\.\n",
                  static_cast<unsigned long>(addr(a)), id);
    EXPECT_EXIT(mal_free_at(a, "t.cpp", 1), KilledBySignal(SIGABRT), expect);

    /* b's header still names its group but its links are broken. */
    std::uint32_t bogus = 12345;
    std::memcpy(b - 8, &bogus, 4);
    std::snprintf(expect, sizeof expect, "^t\\.cpp: 2 bad mem 0x%lx id %ld in free\\.\n",
                  static_cast<unsigned long>(addr(b)), id);
    EXPECT_EXIT(mal_free_at(b, "t.cpp", 2), KilledBySignal(SIGABRT), expect);
    EXPECT_EQ(mal_free_id(id), 0);
}

TEST(MalBadFree, MemoryFromElsewhereAndHeaderlessMemoryAbort)
{
    alignas(16) char stack[64] = {};
    EXPECT_EXIT(mal_free_at(stack + 16, "s.cpp", 3), KilledBySignal(SIGABRT),
                "^s\\.cpp: 3 bad mem 0x[0-9a-f]+ id 0 in free\\.\n");
    EXPECT_EXIT(mal_free(stack + 16), KilledBySignal(SIGABRT),
                "^al_mem\\.cpp: [0-9]+ bad mem 0x[0-9a-f]+ id 0 in free\\.\n");
    EXPECT_EXIT(mal_realloc(stack + 16, 8), KilledBySignal(SIGABRT),
                "bad mem 0x[0-9a-f]+ id 0 in free\\.\n");
    mal_free(nullptr); /* ignored */
}

TEST(MalFailure, NegativeReallocationAborts)
{
    void *p = mal_allocater(8, MAL_ORDINARY);
    EXPECT_EXIT(mal_realloc(p, static_cast<size_t>(-8)), KilledBySignal(SIGABRT),
                "^allocate negative\n\r$");
    EXPECT_EXIT(mal_memsave(p, static_cast<size_t>(-1)), KilledBySignal(SIGABRT),
                "^allocate negative\n\r$");
    mal_free(p);
}

TEST(MalFailure, ExhaustedMemoryReportsAndAborts)
{
    EXPECT_EXIT(mal_allocater(std::size_t{1} << 36, MAL_GENERAL),
                KilledBySignal(SIGABRT),
                "^sbrk errno: 12 size 2147483647 first_time [01] brk_ret "
                "0xffffffffffffffff\n\rsbrk errno: most possible no more space\n\r");
}

#ifdef TEST_ASAN
/* Stores a fresh malloc'd block's address at slot, keeping no other copy. */
__attribute__((noinline)) void store_malloced(void **slot)
{
    *slot = std::malloc(100);
}

/* Overwrites the stack below the caller, where copies may linger. */
__attribute__((noinline)) void scrub_stack()
{
    volatile char junk[4096];
    for (char &c : const_cast<char(&)[4096]>(junk))
        c = 0;
}

TEST(MalLeakCheck, MallocdBlockReferencedOnlyFromAllocatorMemoryIsNoLeak)
{
    in_fresh_process([]() -> std::string {
        void **kept = static_cast<void **>(mal_allocater(64, MAL_ORDINARY));
        store_malloced(kept + 3);
        scrub_stack();
        if (__lsan_do_recoverable_leak_check() != 0)
            return "a block kept in allocator memory was reported as leaked";
        /* The control: the same in a mapping the leak checker does not
         * know about is reported. */
        void *raw = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        store_malloced(static_cast<void **>(raw) + 3);
        scrub_stack();
        if (__lsan_do_recoverable_leak_check() == 0)
            return "the control leak was not found";
        return "";
    });
}

TEST(MalPoison, UseAfterFreeIsCaughtBySanitizer)
{
    long id = mal_reserve_id(0, 0);
    char *a = alloc_in(id, 64);
    alloc_in(id, 8);
    mal_free(a);
    EXPECT_DEATH(
        {
            volatile char c = a[8];
            (void)c;
        },
        "use-after-poison");
    char *b = alloc_in(id, 64);
    EXPECT_EQ(b, a);
    b[8] = 1; /* handed out again: usable */
    EXPECT_EQ(mal_free_id(id), 0);
}
#endif

} // namespace

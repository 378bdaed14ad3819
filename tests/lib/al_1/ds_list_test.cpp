/* Ordered lists: order, iteration and ownership of elements. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "al_mem.h"
#include "ds_list.h"

namespace {

std::vector<std::string> walk(DsList *list)
{
    std::vector<std::string> seen;
    for (void *e = dsListFirst(list); e != nullptr; e = dsListNext(list))
        seen.emplace_back(static_cast<const char *>(e));
    return seen;
}

TEST(DsList, KeepsElementsInAppendOrderWithDuplicates)
{
    DsList *list = dsListCreate();
    ASSERT_NE(list, nullptr);
    for (const char *name : {"b", "a", "b", "c"})
        ASSERT_EQ(dsListAppend(list, mal_strsave(name)), 0);
    EXPECT_EQ(dsListCount(list), 4);
    EXPECT_EQ(walk(list), (std::vector<std::string>{"b", "a", "b", "c"}));
    destroyListAndElements(list);
}

TEST(DsList, FirstRestartsTheWalk)
{
    DsList *list = dsListCreate();
    dsListAppend(list, mal_strsave("x"));
    dsListAppend(list, mal_strsave("y"));
    EXPECT_STREQ(static_cast<char *>(dsListFirst(list)), "x");
    EXPECT_STREQ(static_cast<char *>(dsListNext(list)), "y");
    EXPECT_EQ(dsListNext(list), nullptr);
    EXPECT_EQ(dsListNext(list), nullptr);
    EXPECT_STREQ(static_cast<char *>(dsListFirst(list)), "x");
    destroyListAndElements(list);
}

TEST(DsList, EmptyAndNullListsAreHarmless)
{
    DsList *list = dsListCreate();
    EXPECT_EQ(dsListCount(list), 0);
    EXPECT_EQ(dsListFirst(list), nullptr);
    EXPECT_EQ(dsListNext(list), nullptr);
    dsListDestroy(list);
    EXPECT_EQ(dsListCount(nullptr), 0);
    EXPECT_EQ(dsListFirst(nullptr), nullptr);
    EXPECT_EQ(dsListAppend(nullptr, nullptr), -1);
    dsListDestroy(nullptr);
    destroyListAndElements(nullptr);
}

TEST(DsList, DestroyLeavesElementsToTheCaller)
{
    int values[3] = {1, 2, 3};
    DsList *list = dsListCreate();
    for (int &v : values)
        dsListAppend(list, &v);
    dsListDestroy(list); /* must not free the stack elements */
    EXPECT_EQ(values[2], 3);
}

} // namespace

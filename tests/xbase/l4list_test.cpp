// Intrusive lists: ends and counts, insertion next to an anchor, the
// selected member across removals, walks that remove as they go, and a
// randomised comparison against a plain sequence.
#include "xbase/l4list.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"

namespace {

struct Item {
    LINK4 link;
    int value;
};

struct ListFixture : testing::Test {
    LIST4 list;
    Item items[8];
    void SetUp() override
    {
        std::memset(&list, 0, sizeof list);
        for (int i = 0; i < 8; i++)
            items[i] = Item{{nullptr, nullptr}, i};
    }
    // Values first to last, checked against the walk last to first.
    std::vector<int> values()
    {
        std::vector<int> fwd, back;
        for (void *p = l4first(&list); p; p = l4next(&list, p))
            fwd.push_back(static_cast<Item *>(p)->value);
        for (void *p = l4prev(&list, nullptr); p; p = l4prev(&list, p))
            back.push_back(static_cast<Item *>(p)->value);
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(fwd, back);
        EXPECT_EQ((int)fwd.size(), list.n_link);
        return fwd;
    }
};

} // namespace

TEST_F(ListFixture, OneMemberIsFirstAndLastAndRemovalEmpties)
{
    l4add(&list, &items[0]);
    EXPECT_EQ(&items[0], l4first(&list));
    EXPECT_EQ(&items[0], l4last(&list));
    EXPECT_EQ(nullptr, l4next(&list, &items[0]));
    EXPECT_EQ(nullptr, l4prev(&list, &items[0]));
    EXPECT_EQ(1, l4seek(&list, &items[0]));
    l4remove(&list, &items[0]);
    EXPECT_EQ(nullptr, l4first(&list));
    EXPECT_EQ(0, list.n_link);
    EXPECT_EQ(0, l4seek(&list, &items[0]));
}

TEST_F(ListFixture, PopOnEmptyGivesNoneAndRemovingNullDoesNothing)
{
    EXPECT_EQ(nullptr, l4pop(&list));
    EXPECT_EQ(0, list.n_link);
    l4remove(&list, nullptr);
    l4add(&list, &items[1]);
    l4add(&list, &items[2]);
    l4remove(&list, nullptr);
    EXPECT_EQ((std::vector<int>{1, 2}), values());
    EXPECT_EQ(&items[2], l4pop(&list));
    EXPECT_EQ(&items[1], l4pop(&list));
    EXPECT_EQ(nullptr, l4pop(&list));
}

TEST_F(ListFixture, InsertNextToAnchor)
{
    l4add_before(&list, &items[7], &items[3]); // anchor ignored when empty
    l4add_after(&list, &items[3], &items[5]);  // after the last: new last
    EXPECT_EQ(&items[5], l4last(&list));
    l4add_before(&list, &items[3], &items[1]); // before the first: new first
    EXPECT_EQ(&items[1], l4first(&list));
    EXPECT_EQ(&items[5], l4last(&list));
    l4add_after(&list, &items[3], &items[4]);
    l4add_before(&list, &items[3], &items[2]);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), values());
}

TEST_F(ListFixture, SelectedMovesToPreviousOnRemoval)
{
    for (int i = 0; i < 3; i++)
        l4add(&list, &items[i]);
    list.selected = &items[1];
    l4remove(&list, &items[1]);
    EXPECT_EQ(&items[0], list.selected);
    // The first member's previous is the last one (the list is circular).
    l4remove(&list, &items[0]);
    EXPECT_EQ(&items[2], list.selected);
    l4remove(&list, &items[2]);
    EXPECT_EQ(nullptr, list.selected);
    // Removing another member leaves the selection alone.
    l4add(&list, &items[3]);
    l4add(&list, &items[4]);
    list.selected = &items[4];
    l4remove(&list, &items[3]);
    EXPECT_EQ(&items[4], list.selected);
}

TEST_F(ListFixture, WalkThatRemovesEveryOtherMember)
{
    for (int i = 0; i < 8; i++)
        l4add(&list, &items[i]);
    for (void *p = l4first(&list), *next; p; p = next) {
        next = l4next(&list, p);
        if (static_cast<Item *>(p)->value % 2 == 0)
            l4remove(&list, p);
    }
    EXPECT_EQ((std::vector<int>{1, 3, 5, 7}), values());
    for (void *p = l4first(&list), *next; p; p = next) {
        next = l4next(&list, p);
        l4remove(&list, p);
    }
    EXPECT_EQ(0, list.n_link);
    EXPECT_EQ(nullptr, l4last(&list));
}

TEST_F(ListFixture, RandomOperationsMatchASequence)
{
    unsigned seed = testutil::testSeed();
    std::mt19937 rng(seed);
    std::vector<int> model;
    for (int step = 0; step < 2000; step++) {
        int v = (int)(rng() % 8);
        bool member = std::find(model.begin(), model.end(), v) != model.end();
        ASSERT_EQ(member ? 1 : 0, l4seek(&list, &items[v])) << "seed " << seed;
        if (member) {
            if (rng() % 3 == 0) {
                void *p = l4pop(&list);
                ASSERT_EQ(&items[model.back()], p) << "seed " << seed;
                model.pop_back();
            } else {
                l4remove(&list, &items[v]);
                model.erase(std::find(model.begin(), model.end(), v));
            }
        } else if (model.empty() || rng() % 3 == 0) {
            l4add(&list, &items[v]);
            model.push_back(v);
        } else {
            int anchor = model[rng() % model.size()];
            auto at = std::find(model.begin(), model.end(), anchor);
            if (rng() % 2) {
                l4add_after(&list, &items[anchor], &items[v]);
                model.insert(at + 1, v);
            } else {
                l4add_before(&list, &items[anchor], &items[v]);
                model.insert(at, v);
            }
        }
        ASSERT_EQ(model, values()) << "seed " << seed << " step " << step;
    }
}

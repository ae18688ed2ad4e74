// The chained-block list grows by blocks of the first one's capacity, each filled before the
// next is chained, and nothing stored ever moves.
#include <gtest/gtest.h>

#include "veskArrayList.h"

TEST(ArrayList, GrowsByFullBlocksAndNothingStoredMoves) {
    ArrayList* l = initArrayList(10, 4);
    void* stored[25];
    for (int i = 0; i < 25; i++) {
        arrayListAddEnd(l, &i);
        stored[i] = arrayListDataPointer(l, i);
    }
    EXPECT_EQ(l->next->next->filled, 5); // after two full blocks
    for (int i = 0; i < 25; i++)
        EXPECT_EQ(arrayListDataPointer(l, i), stored[i]);
    freeArrayList(l);
}

// The chained-block list: growth with stable addresses, unique adds, clearing, removal
// across blocks, the int-list file form and the sum test.
#include <gtest/gtest.h>

#include <cstring>

#include "veskArrayList.h"

static ArrayList* ints(int n, const int* values = nullptr) {
    ArrayList* l = initArrayList(10, 4);
    for (int i = 0; i < n; i++)
        arrayListAddEnd(l, values ? values + i : &i);
    return l;
}

TEST(ArrayList, BlocksUniqueClearRemoveSaveAndSum) {
    ArrayList* l = initArrayList(10, 12);
    void* at[25];
    for (int i = 0; i < 25; i++) {
        int v[3] = {i, -i, i * 7};
        arrayListAddEnd(l, v);
        at[i] = arrayListDataPointer(l, i);
    }
    ASSERT_TRUE(l->filled == 10 && l->next && l->next->next && l->next->next->filled == 5);
    for (int i = 0; i < 25; i++) // still where it was stored
        EXPECT_TRUE(arrayListDataPointer(l, i) == at[i] && static_cast<int*>(at[i])[2] == i * 7);
    int first[3] = {3, -3, 21}, second[3] = {11, -11, 77}, fresh[3] = {11, -11, 78};
    EXPECT_TRUE(arrayListAddUnique(l, first) == 0 && arrayListAddUnique(l, second) == 0 &&
                arrayListContain(l, second) == 1 && arrayListGetLength(l) == 25);
    EXPECT_TRUE(arrayListAddUnique(l, fresh) == 1 &&
                memcmp(arrayListDataPointer(l, 25), fresh, 12) == 0);
    unsigned char* storage = l->data;
    arrayListClear(l); // releases the blocks behind the head, keeps the head and its storage
    EXPECT_TRUE(arrayListGetLength(l) == 0 && l->next == nullptr && l->data == storage);
    freeArrayList(l);
    const int values[5] = {7, -1, 3, 4, 77};
    l = ints(15);
    arrayListRemove(l, 3);
    arrayListAddEnd(l, values + 4); // to the last block, not into the hole
    EXPECT_EQ(l->filled, 9);
    for (int i = 0; i < 15; i++) // element 9 is the first of the second block
        EXPECT_EQ(arrayListGetInt(l, i), i < 3 ? i : i < 14 ? i + 1 : 77) << i;
    for (int i = 0; i < 6; i++) // empties the second block, which is released
        removeArrayListEnd(l);
    EXPECT_TRUE(l->next == nullptr && arrayListGetLength(l) == 9);
    freeArrayList(l);
    ArrayList *pair = ints(2, values), *sum = ints(2, values + 2);
    unsigned char bytes[13], want[12] = {2, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    FILE* f = tmpfile();
    saveArrayListInt(pair, f);
    rewind(f);
    EXPECT_TRUE(fread(bytes, 1, 13, f) == 12 && memcmp(bytes, want, 12) == 0);
    EXPECT_TRUE(isArrayListSumGreater(sum, 6) == 1 && isArrayListSumGreater(sum, 7) == 0);
    fclose(f);
    freeArrayList(pair);
    freeArrayList(sum);
}

// The chained-block list: growth with stable addresses, removal across blocks, the
// int-list file form and the sum test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "veskArrayList.h"

TEST(ArrayList, EmptyListAnswersNothing) {
    ArrayList* l = initArrayList(10, 4);
    EXPECT_EQ(arrayListGetLength(l), 0);
    EXPECT_EQ(arrayListGetInt(l, 0), 0);
    EXPECT_EQ(arrayListGetPointer(l, 0), nullptr);
    EXPECT_EQ(arrayListDataPointer(l, 0), nullptr);
    EXPECT_EQ(arrayListGetLength(nullptr), 0);
    EXPECT_EQ(sizeOfArrayList(nullptr), 0);
    EXPECT_EQ(arrayListAddUnique(nullptr, &l), 0);
    EXPECT_EQ(arrayListContain(nullptr, &l), 0);
    freeArrayList(l);
}

TEST(ArrayList, GrowsByBlocksOfTenWithStableAddresses) {
    ArrayList* l = initArrayList(10, 12);
    std::vector<void*> addresses;
    for (int i = 0; i < 25; i++) {
        int v[3] = {i, -i, i * 7};
        arrayListAddEnd(l, v);
        addresses.push_back(arrayListDataPointer(l, i));
    }
    ASSERT_NE(l->next, nullptr);
    EXPECT_EQ(l->filled, 10);
    EXPECT_EQ(l->next->numElements, 10);
    EXPECT_EQ(l->next->next->filled, 5);
    for (int i = 0; i < 25; i++) {
        EXPECT_EQ(arrayListDataPointer(l, i), addresses[size_t(i)]);
        int* v = static_cast<int*>(arrayListDataPointer(l, i));
        EXPECT_EQ(v[2], i * 7);
    }
    EXPECT_EQ(arrayListDataPointer(l, 25), nullptr);
    freeArrayList(l);
}

TEST(ArrayList, RemoveInFirstBlockKeepsLaterBlocks) {
    ArrayList* l = initArrayList(10, 4);
    for (int i = 0; i < 15; i++)
        arrayListAddEnd(l, &i);
    arrayListRemove(l, 3);
    EXPECT_EQ(l->filled, 9);
    EXPECT_EQ(arrayListGetInt(l, 3), 4);
    EXPECT_EQ(arrayListGetInt(l, 8), 9);
    EXPECT_EQ(arrayListGetInt(l, 9), 10); // first element of the second block
    EXPECT_EQ(arrayListGetLength(l), 14);
    arrayListRemove(l, 99); // beyond the end: nothing
    EXPECT_EQ(arrayListGetLength(l), 14);
    // After the hole, appending still goes to the last block.
    int x = 77;
    arrayListAddEnd(l, &x);
    EXPECT_EQ(arrayListGetInt(l, 14), 77);
    EXPECT_EQ(l->filled, 9);
    freeArrayList(l);
}

TEST(ArrayList, RemoveEndReleasesEmptiedBlockButNeverTheHead) {
    ArrayList* l = initArrayList(10, 4);
    for (int i = 0; i < 11; i++)
        arrayListAddEnd(l, &i);
    ASSERT_NE(l->next, nullptr);
    removeArrayListEnd(l);
    EXPECT_EQ(l->next, nullptr);
    EXPECT_EQ(arrayListGetLength(l), 10);
    for (int i = 0; i < 12; i++)
        removeArrayListEnd(l);
    EXPECT_EQ(arrayListGetLength(l), 0);
    EXPECT_EQ(l->numElements, 10);
    freeArrayList(l);
}

TEST(ArrayList, AddUniqueAndContain) {
    ArrayList* l = initArrayList(10, 12);
    for (int i = 0; i < 12; i++) {
        int v[3] = {i, 1, 2};
        EXPECT_EQ(arrayListAddUnique(l, v), 1);
    }
    int again[3] = {3, 1, 2};
    EXPECT_EQ(arrayListAddUnique(l, again), 0);
    int late[3] = {11, 1, 2}; // lives in the second block
    EXPECT_EQ(arrayListAddUnique(l, late), 0);
    EXPECT_EQ(arrayListContain(l, late), 1);
    EXPECT_EQ(arrayListGetLength(l), 12);
    int fresh[3] = {3, 1, 3};
    EXPECT_EQ(arrayListContain(l, fresh), 0);
    EXPECT_EQ(arrayListAddUnique(l, fresh), 1);
    EXPECT_EQ(memcmp(arrayListDataPointer(l, 12), fresh, 12), 0);
    freeArrayList(l);
}

TEST(ArrayList, PointerListOperations) {
    ArrayList* l = initArrayList(10, 8);
    static int objects[12];
    for (int i = 0; i < 12; i++)
        arrayListAddEndPointer(l, &objects[i]);
    EXPECT_EQ(arrayListGetPointer(l, 11), &objects[11]);
    EXPECT_EQ(arrayListGetEndPointer(l), &objects[11]);
    EXPECT_EQ(arrayListSwitchPointer(l, 10, &objects[0]), &objects[10]);
    EXPECT_EQ(arrayListGetPointer(l, 10), &objects[0]);
    EXPECT_EQ(arrayListSwitchPointer(l, 12, &objects[0]), nullptr);
    freeArrayList(l);
}

TEST(ArrayList, IntListFileForm) {
    ArrayList* l = initArrayList(10, 4);
    int a = 7, b = -1;
    arrayListAddEnd(l, &a);
    arrayListAddEnd(l, &b);
    FILE* f = tmpfile();
    saveArrayListInt(l, f);
    saveArrayListInt(nullptr, f);
    EXPECT_EQ(ftell(f), 16);
    rewind(f);
    unsigned char bytes[16];
    ASSERT_EQ(fread(bytes, 1, 16, f), 16u);
    const unsigned char expected[16] = {2, 0, 0, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(bytes, expected, 16), 0);
    rewind(f);
    ArrayList* back = initArrayList(10, 4);
    int first = 5;
    arrayListAddEnd(back, &first);
    loadArrayListInt(back, f); // appends to what is there
    EXPECT_EQ(arrayListGetLength(back), 3);
    EXPECT_EQ(arrayListGetInt(back, 1), 7);
    EXPECT_EQ(arrayListGetInt(back, 2), -1);
    fclose(f);
    freeArrayList(l);
    freeArrayList(back);
}

TEST(ArrayList, SumGreater) {
    ArrayList* l = initArrayList(10, 4);
    EXPECT_EQ(isArrayListSumGreater(l, 0), 0);
    int a = 3, b = 4;
    arrayListAddEnd(l, &a);
    arrayListAddEnd(l, &b);
    EXPECT_EQ(isArrayListSumGreater(l, 6), 1);
    EXPECT_EQ(isArrayListSumGreater(l, 7), 0);
    freeArrayList(l);
}

TEST(ArrayList, ClearKeepsHeadAndItsStorage) {
    ArrayList* l = initArrayList(10, 4);
    for (int i = 0; i < 23; i++)
        arrayListAddEnd(l, &i);
    unsigned char* storage = l->data;
    arrayListClear(l);
    EXPECT_EQ(arrayListGetLength(l), 0);
    EXPECT_EQ(l->next, nullptr);
    EXPECT_EQ(l->data, storage);
    freeArrayList(l);
}

TEST(ArrayList, DebugDumps) {
    ArrayList* l = initArrayList(10, 4);
    int a = 0x1f05, b = -2;
    arrayListAddEnd(l, &a);
    arrayListAddEnd(l, &b);
    testing::internal::CaptureStdout();
    arrayListDisplay(l);
    arrayListDisplayInt(l);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Display ArrayList\n[2]: [ 00 00 1f 05 ] [ ff ff ff fe ] \n"
                   "Display ArrayList\n[2]: [ 7941 ] [ -2 ] \n");
    freeArrayList(l);
}

// The small library's operations that no program of the server calls yet: the debugging
// dumps, the int-list file form and the running sum, against text and bytes written by hand.
#include <gtest/gtest.h>

#include <cstdio>

#include "veskArrayList.h"

TEST(library, IntListDumpFileFormAndSumAsSpecified) {
    ArrayList* ints = initArrayList(2, 4); // blocks of two: 7, -1 | 300
    for (int32_t v : {7, -1, 300})
        arrayListAddEnd(ints, &v);
    testing::internal::CaptureStdout();
    arrayListDisplayInt(ints);
    arrayListDisplay(ints);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Display ArrayList\n[2]: [ 7 ] [ -1 ] \n[1]: [ 300 ] \n"
              "Display ArrayList\n[2]: [ 00 00 00 07 ] [ ff ff ff ff ] \n[1]: [ 00 00 01 2c ] \n");
    FILE* f = tmpfile();
    saveArrayListInt(ints, f);
    rewind(f);
    unsigned char file[16];
    ASSERT_EQ(fread(file, 1, 16, f), 16u);
    const unsigned char expected[16] = {3,    0,    0,    0,    7,  0, 0, 0,
                                        0xff, 0xff, 0xff, 0xff, 44, 1, 0, 0};
    EXPECT_EQ(memcmp(file, expected, 16), 0);
    ArrayList* back = initArrayList(2, 4);
    rewind(f);
    loadArrayListInt(back, f);
    EXPECT_EQ(arrayListGetInt(back, 2), 300);
    EXPECT_EQ(sizeOfArrayList(back), 3);
    EXPECT_TRUE(isArrayListSumGreater(ints, 305) && !isArrayListSumGreater(ints, 306)); // 306
    fclose(f);
    freeArrayList(ints);
    freeArrayList(back);
}

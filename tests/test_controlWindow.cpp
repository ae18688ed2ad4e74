// Control-window widgets on SDL's software renderer (no display): the log box ring, its
// wrapping, drawing order, and the button hit test. Also the tick clock's pacing.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>
#include <cstring>
#include <string>

#include "testUtil.h"
#include "veskButtonArray.h"
#include "veskServer.h"
#include "veskTextBox.h"

namespace {

struct softwareWindow : testing::Test {
    SDL_Surface* surface = nullptr;
    SDL_Renderer* renderer = nullptr;
    TTF_Font* font = nullptr;
    SDL_Color black = {0, 0, 0, 1}; // alpha 1, as the server's colour records
    quietTrace quiet;

    void SetUp() override {
        ASSERT_EQ(TTF_Init(), 0);
        surface = SDL_CreateRGBSurfaceWithFormat(0, 1000, 600, 32, SDL_PIXELFORMAT_RGB888);
        renderer = SDL_CreateSoftwareRenderer(surface);
        ASSERT_NE(renderer, nullptr);
        font = TTF_OpenFont("res/UbuntuMono-R.ttf", 20);
        ASSERT_NE(font, nullptr) << "run scripts/setup to install the font";
    }
    void TearDown() override {
        TTF_CloseFont(font);
        SDL_DestroyRenderer(renderer);
        SDL_FreeSurface(surface);
    }
    void add(textBox* box, const char* text) {
        txtBoxAddString(box, text, int(strlen(text)), font, &black, renderer);
    }
    // Rightmost dark column in the given pixel row band, or -1.
    int inkRight(int x0, int y0, int w, int h) {
        int right = -1;
        const uint32_t* px = static_cast<const uint32_t*>(surface->pixels);
        int pitch = surface->pitch / 4;
        for (int y = y0; y < y0 + h; y++)
            for (int x = x0; x < x0 + w; x++)
                if ((px[y * pitch + x] & 0xFF) < 100 && x > right) right = x;
        return right;
    }
    void clear() {
        SDL_SetRenderDrawColor(renderer, 255, 255, 255, 255);
        SDL_RenderClear(renderer);
    }
};

TEST_F(softwareWindow, RingKeepsTwentyNineRowsNewestOnTop) {
    textBox* box = initTextBox(258, 4, 738, 592, 12, 20);
    ASSERT_EQ(box->numRows, 29);
    ASSERT_EQ(box->numCols, 61);
    for (int i = 1; i <= 30; i++)
        add(box, std::string(size_t(i), 'x').c_str());
    EXPECT_EQ(box->topLine, 1);
    EXPECT_EQ(box->textureWs[0], 30); // the 30th entry replaced the first
    clear();
    txtBoxRender(box, renderer);
    // Row k from the top holds the entry of 30 - k characters.
    for (int k = 0; k < 29; k++) {
        int right = inkRight(258, 4 + 20 * k + 4, 738, 12);
        EXPECT_GT(right, 258 + 12 * (29 - k) - 1) << "row " << k;
        EXPECT_LT(right, 258 + 12 * (30 - k)) << "row " << k;
    }
    txtBoxFree(box);
}

TEST_F(softwareWindow, WrapsAtSpacesThenHardInReadingOrder) {
    textBox* box = initTextBox(0, 0, 72, 200, 12, 20); // 6 columns, 10 rows
    add(box, "old");
    char text[] = "abcde fghi jklmnopq rs";
    char copy[sizeof text];
    memcpy(copy, text, sizeof text);
    txtBoxAddString(box, text, int(strlen(text)), font, &black, renderer);
    EXPECT_STREQ(text, copy); // the caller's text is unchanged
    // Top-down: "abcde", "fghi" (split spaces dropped), "jklmno" (a word longer than a
    // row is cut at the row width), "pq rs", then the older entry.
    int expected[] = {5, 4, 6, 5, 3};
    ASSERT_EQ(box->topLine, 5);
    for (int k = 0; k < 5; k++) {
        int slot = (box->topLine - 1 - k + box->numRows) % box->numRows;
        EXPECT_EQ(box->textureWs[slot], expected[k]) << "row " << k;
        EXPECT_NE(box->textures[slot], nullptr);
    }
    txtBoxFree(box);
}

TEST_F(softwareWindow, EntryOfExactlyOneRowDoesNotWrap) {
    textBox* box = initTextBox(0, 0, 72, 200, 12, 20);
    add(box, "abcdef");
    EXPECT_EQ(box->topLine, 1);
    add(box, "abcdefg"); // one more: no row is ever wider than the box
    EXPECT_EQ(box->topLine, 3);
    EXPECT_EQ(box->textureWs[2], 6);
    EXPECT_EQ(box->textureWs[1], 1);
    txtBoxFree(box);
}

TEST_F(softwareWindow, SpacelessRunsAndTinyRingsStayInBounds) {
    textBox* box = initTextBox(0, 0, 24, 40, 12, 20); // 2 columns, 2 rows
    std::string word(255, 'w');
    add(box, word.c_str());
    add(box, "  a  b   ");
    add(box, "");
    EXPECT_LT(box->topLine, box->numRows);
    txtBoxFree(box);
}

TEST_F(softwareWindow, LabelIsDrawnBlackAndCentred) {
    buttonArray* ba = initButtonArray(0, 262, 250, 12, 20, 334, 4, 1, 1);
    buttArSetText(ba, renderer, "Start", 0, 0, &black, font);
    buttArSetText(ba, renderer, "Start", 0, 0, &black, font); // replaces the first texture
    clear();
    buttArRender(ba, renderer);
    int right = inkRight(0, 262 + 4 + (334 - 20) / 2, 250, 20);
    EXPECT_GT(right, 4 + (242 - 60) / 2 + 48);
    EXPECT_LT(right, 4 + (242 - 60) / 2 + 60);
    buttArFree(ba);
}

TEST(buttonArray, HitTestCountsMarginsAndGapsAsMisses) {
    buttonArray* ba = initButtonArray(0, 262, 250, 12, 20, 334, 4, 1, 1);
    EXPECT_EQ(buttArClick(ba, 120, 420), 0);
    EXPECT_EQ(buttArClick(ba, 2, 420), -1); // left margin
    EXPECT_EQ(buttArClick(ba, 4, 420), -1); // offset equal to the gap counts as gap
    EXPECT_EQ(buttArClick(ba, 5, 420), 0);
    EXPECT_EQ(buttArClick(ba, 245, 420), 0);  // last column of the button
    EXPECT_EQ(buttArClick(ba, 250, 420), -1); // beyond the only column
    EXPECT_EQ(buttArClick(ba, 120, 266), -1); // top gap
    EXPECT_EQ(buttArClick(ba, 120, 267), 0);
    EXPECT_EQ(buttArClick(ba, 120, 100), -1); // the logo above
    EXPECT_EQ(buttArClick(ba, -3, 420), -1);
    buttArFree(ba);
    buttonArray* grid = initButtonArray(10, 10, 310, 12, 20, 40, 10, 3, 2); // bw 90
    EXPECT_EQ(buttArClick(grid, 10 + 100 + 50, 10 + 50 + 20), 1 + 3 * 1);
    EXPECT_EQ(buttArClick(grid, 10 + 100 + 5, 10 + 20), -1); // inside the gap
    EXPECT_EQ(buttArClick(grid, 10 + 250, 10 + 30), 2);
    EXPECT_EQ(buttArClick(grid, 10 + 250, 10 + 130), -1); // third row does not exist
    freeButtonArray(grid);
}

// --- tick clock -----------------------------------------------------------------------

struct tickClock : testing::Test {
    void SetUp() override {
        nextTick = 0;
        lastSec = 0;
        ticksThisSecond = 0;
        mpt = 50;
    }
};

TEST_F(tickClock, FirstPassTicksAndStartUpIsCaughtUp) {
    EXPECT_EQ(tickDue(0), 1);
    nextTick = 0;
    int ticks = 0;
    while (tickDue(700))
        ticks++;
    EXPECT_EQ(ticks, 15); // nextTick 0, 50, ..., 700
    EXPECT_EQ(nextTick, 750u);
    EXPECT_EQ(tickDue(749), 0);
    EXPECT_EQ(tickDue(750), 1);
}

TEST_F(tickClock, ReportsOnlyOffRatesAfterTheFirstTwoSeconds) {
    auto secondWith = [](uint32_t ticks, uint32_t now) {
        lastSec = now - 1001;
        nextTick = now;
        ticksThisSecond = ticks - 1;
        testing::internal::CaptureStdout();
        tickDue(now);
        return testing::internal::GetCapturedStdout();
    };
    for (uint32_t n : {19u, 20u, 21u})
        EXPECT_EQ(secondWith(n, 5000), "") << n;
    EXPECT_EQ(secondWith(18, 5000),
              "Ticks this second: 18\nSDL_GetTicks(): 5000\nnextTick: 5050\n");
    EXPECT_NE(secondWith(22, 5000), "");
    EXPECT_EQ(secondWith(3, 1500), ""); // still starting up
    EXPECT_EQ(secondWith(3, 2000), "");
    EXPECT_EQ(ticksThisSecond, 0u);
    EXPECT_EQ(lastSec, 2000u);
}

TEST_F(tickClock, ClockWrapStillTicksInOrder) {
    nextTick = 0xFFFFFFF0u;
    EXPECT_EQ(tickDue(0xFFFFFFEFu), 0);
    EXPECT_EQ(tickDue(0xFFFFFFF0u), 1);
    EXPECT_EQ(nextTick, 0x22u);
}

} // namespace

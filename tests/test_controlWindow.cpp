// Control-window widgets on SDL's software renderer (no display): the log box ring, its
// wrapping and drawing order, the button hit test; and the tick clock's pacing.
#include <gtest/gtest.h>

#include <cstring>

#include "testUtil.h"
#include "veskButtonArray.h"
#include "veskServer.h"
#include "veskTextBox.h"

// The log box with the real font (the ring, drawing order by pixels, wrapping, tiny boxes),
// then the Start/Stop button's hit test.
TEST(controlWindow, LogBoxAndButton) {
    quietTrace quiet;
    // An RGB888 surface, renderer and font kept for the whole run (still reachable at exit).
    static SDL_Surface* surface = SDL_CreateRGBSurface(0, 1000, 600, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    static SDL_Renderer* ren = SDL_CreateSoftwareRenderer(surface);
    static TTF_Font* font = TTF_Init() == 0 ? TTF_OpenFont("res/UbuntuMono-R.ttf", 20) : nullptr;
    ASSERT_TRUE(ren && font) << "scripts/setup installs the font";
    const SDL_Color ink = {0, 0, 0, 1}; // alpha 1, as the server's colour records
    auto add = [&](auto b, auto s) { txtBoxAddString(b, s, int(strlen(s)), font, &ink, ren); };
    textBox* box = initTextBox(258, 4, 738, 592, 12, 20); // 29 rows
    for (int i = 1; i <= 30; i++)
        add(box, std::string(size_t(i), 'x').c_str());
    EXPECT_TRUE(box->topLine == 1 && box->textureWs[0] == 30); // the 30th replaced the first
    SDL_FillRect(surface, nullptr, 0xFFFFFF);
    txtBoxRender(box, ren);
    const uint32_t* px = static_cast<const uint32_t*>(surface->pixels);
    for (int k = 0; k < 29; k++) { // row k from the top holds the entry of 30 - k characters
        int right = -1;            // the rightmost dark column in the glyphs' band
        for (int i = 0; i < 738 * 12; i++) // column by column
            if ((px[(8 + 20 * k + i % 12) * surface->pitch / 4 + 258 + i / 12] & 0xFF) < 100)
                right = 258 + i / 12;
        EXPECT_TRUE(right >= 258 + 12 * (29 - k) && right < 258 + 12 * (30 - k)) << k;
    }
    txtBoxFree(box);
    box = initTextBox(0, 0, 72, 200, 12, 20); // 6 columns, 10 rows
    std::string copy = "abcde fghi jklmnopq rs", text = copy;
    for (const char* entry : {"old", "abcdef", text.c_str(), "abcdefg"})
        add(box, entry);
    EXPECT_EQ(text, copy); // the caller's text is unchanged
    // Top-down: "abcdef" "g"; "abcde" "fghi" (split spaces dropped) "jklmno" (a word longer
    // than a row is cut at the row width) "pq rs"; "abcdef" (exactly one row); "old".
    // Slots bottom-up, so reversed: the ring's next slot (8) is still empty.
    ASSERT_EQ(box->topLine, 8);
    EXPECT_EQ(std::vector<int>(box->textureWs, box->textureWs + 9),
              std::vector<int>({3, 6, 5, 6, 4, 5, 1, 6, 0}));
    txtBoxFree(box);
    box = initTextBox(0, 0, 72, 200, 12, 20);
    add(box, "aaaaaa  bbbbbb c"); // a double space at the split point: an empty row
    ASSERT_EQ(box->topLine, 4);   // top-down "aaaaaa", "", "bbbbbb", "c"
    EXPECT_EQ(std::vector<int>(box->textureWs, box->textureWs + 4), std::vector<int>({1, 6, 0, 6}));
    txtBoxFree(box);
    box = initTextBox(0, 0, 24, 40, 12, 20); // 2 columns, 2 rows: stays in bounds
    for (std::string entry : {std::string(255, 'w'), std::string("  a  b   "), std::string()})
        add(box, entry.c_str());
    EXPECT_LT(box->topLine, box->numRows);
    txtBoxFree(box);
    buttonArray* b = initButtonArray(0, 262, 250, 12, 20, 334, 4, 1, 1);
    // x, y, button: inside, the left margin, an offset equal to the gap (still gap), just
    // past it, the button's last column, beyond the only column, the top gap and just below
    // it, the logo above, left of the window.
    const int hits[][3] = {{120, 420, 0},  {2, 420, -1},   {4, 420, -1},   {5, 420, 0},
                           {245, 420, 0},  {250, 420, -1}, {120, 266, -1}, {120, 267, 0},
                           {120, 100, -1}, {-3, 420, -1}};
    for (const auto& h : hits)
        EXPECT_EQ(buttArClick(b, h[0], h[1]), h[2]) << h[0] << ", " << h[1];
    buttArFree(b);
}

TEST(tickClock, CatchesUpAndReportsOffRates) {
    nextTick = lastSec = ticksThisSecond = 0;
    for (int i = 0; i < 15; i++) // the first pass ticks at once; a 700 ms start-up catches up
        ASSERT_EQ(tickDue(700), 1) << i;
    EXPECT_TRUE(tickDue(700) == 0 && nextTick == 750u && tickDue(749) == 0 && tickDue(750) == 1);
    auto secondWith = [](uint32_t ticks, uint32_t now) {
        lastSec = now - 1001, nextTick = now, ticksThisSecond = ticks - 1;
        testing::internal::CaptureStdout();
        tickDue(now);
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(secondWith(19, 5000) + secondWith(20, 5000) + secondWith(21, 5000), "");
    for (uint32_t n : {18u, 22u})
        EXPECT_EQ(secondWith(n, 5000), "Ticks this second: " + std::to_string(n) +
                                           "\nSDL_GetTicks(): 5000\nnextTick: 5050\n");
    EXPECT_TRUE(secondWith(3, 1500) == "" && secondWith(3, 2000) == ""); // still starting up
    EXPECT_TRUE(ticksThisSecond == 0u && lastSec == 2000u);
}

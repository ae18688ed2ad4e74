// The log box on SDL's software renderer (no display): its ring and its wrapping.
#include <gtest/gtest.h>

#include <cstring>

#include "testUtil.h"
#include "server.h"
#include "veskTextBox.h"

namespace {

// A renderer and font kept for the whole run (still reachable at exit).
SDL_Renderer* renderer =
    SDL_CreateSoftwareRenderer(SDL_CreateRGBSurface(0, 1000, 600, 32, 0xFF0000, 0xFF00, 0xFF, 0));
TTF_Font* font = TTF_Init() == 0 ? TTF_OpenFont(windowFont().c_str(), 20) : nullptr;

void add(textBox* box, const char* text) {
    const SDL_Color ink = {0, 0, 0, 1}; // alpha 1, as the server's colour records
    txtBoxAddString(box, text, int(strlen(text)), font, &ink, renderer);
}

std::vector<int> widths(const textBox* box, int slots) {
    return std::vector<int>(box->textureWs, box->textureWs + slots);
}

} // namespace

TEST(controlWindow, LogBoxKeepsTheNewestOnTopAndWrapsAtSpaces) {
    quietTrace quiet;
    ASSERT_TRUE(renderer && font) << "scripts/setup installs the font";
    textBox* box = initTextBox(258, 4, 738, 592, 12, 20); // 29 rows
    for (int i = 1; i <= 30; i++)
        add(box, std::string(size_t(i), 'x').c_str());
    EXPECT_EQ(box->topLine, 1);
    EXPECT_EQ(box->textureWs[0], 30); // the 30th replaced the first
    EXPECT_EQ(box->textureWs[1], 2);  // and the second is now the oldest
    txtBoxFree(box);
    box = initTextBox(0, 0, 72, 200, 12, 20); // 6 columns, 10 rows
    std::string copy = "abcde fghi jklmnopq rs";
    std::string text = copy;
    for (const char* entry : {"old", "abcdef", text.c_str(), "abcdefg"})
        add(box, entry);
    EXPECT_EQ(text, copy); // the caller's text is unchanged
    // Top-down: "abcdef" "g"; "abcde" "fghi" (split spaces dropped) "jklmno" (a word longer
    // than a row is cut at the row width) "pq rs"; "abcdef" (exactly one row); "old".
    // Slots bottom-up, so reversed: the ring's next slot (8) is still empty.
    EXPECT_EQ(box->topLine, 8);
    EXPECT_EQ(widths(box, 9), std::vector<int>({3, 6, 5, 6, 4, 5, 1, 6, 0}));
    txtBoxFree(box);
}

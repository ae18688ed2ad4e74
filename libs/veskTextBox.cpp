// Log box ring: adding an entry renders its lines once, drawing only copies textures.
// A wrapped entry's segments are sunk below each other so the entry reads top-down.
#include "veskTextBox.h"

#include <cstdlib>
#include <string>

#include "veskTrace.h"

textBox* initTextBox(int x, int y, int width, int height, int fontW, int fontH) {
    textBox* tb = static_cast<textBox*>(calloc(1, sizeof(textBox)));
    tb->x = x;
    tb->y = y;
    tb->width = width;
    tb->height = height;
    // A font that failed to open measures 0; keep the divisions defined.
    tb->fontW = fontW > 0 ? fontW : 1;
    tb->fontH = fontH > 0 ? fontH : 1;
    tb->numRows = height / tb->fontH;
    if (tb->numRows < 1) tb->numRows = 1;
    tb->numCols = width / tb->fontW;
    if (tb->numCols < 1) tb->numCols = 1;
    tb->topLine = 0;
    tb->textures = static_cast<SDL_Texture**>(calloc(size_t(tb->numRows), sizeof(SDL_Texture*)));
    tb->textureWs = static_cast<int*>(calloc(size_t(tb->numRows), sizeof(int)));
    return tb;
}

SDL_Texture* renderTextTexture(const char* text, int len, TTF_Font* font, const SDL_Color* color,
                               SDL_Renderer* renderer) {
    if (!font || !renderer || len <= 0) return nullptr;
    std::string line(text, size_t(len));
    SDL_Color opaque = {color->r, color->g, color->b, 255};
    SDL_Surface* surface = TTF_RenderUTF8_Blended(font, line.c_str(), opaque);
    if (!surface) return nullptr;
    SDL_Texture* texture = SDL_CreateTextureFromSurface(renderer, surface);
    SDL_FreeSurface(surface);
    return texture;
}

static void advance(textBox* tb) {
    tb->topLine = (tb->topLine + 1) % tb->numRows;
}

static int wrapSlot(textBox* tb, int i) {
    return ((i % tb->numRows) + tb->numRows) % tb->numRows;
}

// Puts a segment of a wrapped entry into the ring below the entry's earlier segments.
// An entry with more segments than the ring has rows keeps its first rows - 1 segments
// and its last one (the control window's entries never come near that).
static void placeSegment(textBox* tb, SDL_Texture* texture, int width, int segments) {
    int shifts = segments < tb->numRows - 1 ? segments : tb->numRows - 1;
    if (segments > 0) traceLine("notEq");
    int last = tb->topLine;
    for (int k = 0; k < shifts; k++) {
        int index = wrapSlot(tb, tb->topLine - k);
        last = wrapSlot(tb, index - 1);
        tracef("tb->topLine: %d\n", tb->topLine);
        tracef("last: %d\n", last);
        tb->textures[index] = tb->textures[last];
        tb->textureWs[index] = tb->textureWs[last];
    }
    tb->textures[last] = texture;
    tb->textureWs[last] = width;
}

static void freeSlot(textBox* tb) {
    if (tb->textures[tb->topLine]) SDL_DestroyTexture(tb->textures[tb->topLine]);
    tb->textures[tb->topLine] = nullptr;
}

void txtBoxAddString(textBox* tb, const char* str, int len, TTF_Font* font, const SDL_Color* color,
                     SDL_Renderer* renderer) {
    if (len < 0) len = 0;
    if (len <= tb->numCols) {
        SDL_Texture* texture = renderTextTexture(str, len, font, color, renderer);
        freeSlot(tb);
        tb->textures[tb->topLine] = texture;
        tb->textureWs[tb->topLine] = len;
        advance(tb);
        return;
    }
    traceLine("lineTooLong");
    int pos = 0;
    int lastSpace = -1;
    int segments = 0;
    // Places the segment that starts at pos: up to the last space in it (a space right at
    // pos, as after a double space, gives an empty row), or, for a word longer than a row,
    // the first numCols characters.
    auto split = [&]() {
        bool atSpace = lastSpace >= pos;
        int end = atSpace ? lastSpace : pos + tb->numCols;
        SDL_Texture* texture = renderTextTexture(str + pos, end - pos, font, color, renderer);
        freeSlot(tb);
        placeSegment(tb, texture, end - pos, segments);
        advance(tb);
        pos = atSpace ? lastSpace + 1 : end;
        segments++;
    };
    for (int i = 0; i < len; i++) {
        if (i - pos > tb->numCols) {
            traceLine("its past");
            split();
        }
        if (str[i] == ' ') {
            lastSpace = i;
            traceLine("spaceSet");
        }
    }
    traceLine("whileOver");
    // The rest can still be one character wider than a row.
    if (len - pos > tb->numCols) split();
    if (pos < len) {
        tracef("moreToWrite: %.*s\n", len - pos, str + pos);
        SDL_Texture* texture = renderTextTexture(str + pos, len - pos, font, color, renderer);
        freeSlot(tb);
        placeSegment(tb, texture, len - pos, segments);
        advance(tb);
    }
}

void txtBoxRender(textBox* tb, SDL_Renderer* renderer) {
    SDL_Rect dst = {tb->x, tb->y, 0, tb->fontH};
    auto draw = [&](int slot) {
        if (tb->textures[slot]) {
            SDL_Rect src = {0, 0, tb->fontW * tb->textureWs[slot], tb->fontH};
            dst.w = src.w;
            SDL_RenderCopy(renderer, tb->textures[slot], &src, &dst);
        }
        dst.y += tb->fontH;
    };
    for (int slot = tb->topLine - 1; slot >= 0; slot--)
        draw(slot);
    for (int slot = tb->numRows - 1; slot >= tb->topLine; slot--)
        draw(slot);
}

void txtBoxFree(textBox* tb) {
    if (!tb) return;
    for (int i = 0; i < tb->numRows; i++) {
        if (tb->textures[i]) {
            tracef("freeTex: %d\n", i);
            SDL_DestroyTexture(tb->textures[i]);
        }
    }
    free(tb->textures);
    free(tb->textureWs);
    free(tb);
}

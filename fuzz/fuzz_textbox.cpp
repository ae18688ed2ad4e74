// Fuzz target for the log box: wrapping entries of any length and any bytes into boxes of
// any size, down to a single cell, then drawing them on SDL's software renderer.
//
// Input: a columns byte and a rows byte (below 128: 1 to 3; otherwise up to 70 columns and
// 30 rows), a byte of spare pixels, then entries, each a two-byte big-endian length (taken
// modulo 400) and its bytes; a short last entry takes what is left.
#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>
#include <cstdint>
#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "veskTextBox.h"
#include "veskTrace.h"

namespace {

constexpr int maxEntries = 12;
constexpr int maxEntryLen = 400;

SDL_Surface* surface = nullptr;
SDL_Renderer* renderer = nullptr;
TTF_Font* font = nullptr;
int fontW = 0;
const SDL_Color black = {0, 0, 0, 1};

void require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz_textbox: %s\n", what);
    abort();
}

// Textures made and destroyed by the box. The renderer keeps a list of its textures, so a
// texture the box lost would never show up as a leak; these counts show it instead.
int texturesMade = 0;
int texturesDestroyed = 0;

int boxCells(int b, int tinyMax, int largeMax) {
    return b < 128 ? 1 + b % tinyMax : 1 + b % largeMax;
}

// Every slot holds a row no wider than the box, the next slot is in the ring, and every
// texture still alive sits in exactly one slot.
void checkRing(const textBox* box) {
    require(box->topLine >= 0 && box->topLine < box->numRows, "topLine outside the ring");
    int held = 0;
    for (int i = 0; i < box->numRows; i++) {
        require(box->textureWs[i] >= 0 && box->textureWs[i] <= box->numCols,
                "a row wider than the box");
        if (!box->textures[i]) continue;
        held++;
        for (int j = 0; j < i; j++)
            require(box->textures[j] != box->textures[i], "a texture in two slots");
    }
    require(texturesMade - texturesDestroyed == held, "a texture lost from the ring");
}

} // namespace

// The box's calls reach these first; they count and pass on to SDL.
extern "C" SDL_Texture* SDL_CreateTextureFromSurface(SDL_Renderer* r, SDL_Surface* s) {
    using createFn = SDL_Texture* (*)(SDL_Renderer*, SDL_Surface*);
    static createFn real = reinterpret_cast<createFn>(dlsym(RTLD_NEXT, __func__));
    SDL_Texture* texture = real(r, s);
    if (texture) texturesMade++;
    return texture;
}

extern "C" void SDL_DestroyTexture(SDL_Texture* texture) {
    using destroyFn = void (*)(SDL_Texture*);
    static destroyFn real = reinterpret_cast<destroyFn>(dlsym(RTLD_NEXT, __func__));
    if (texture) texturesDestroyed++;
    real(texture);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    traceOn = 0;
    require(TTF_Init() == 0, "TTF_Init failed");
    surface = SDL_CreateRGBSurfaceWithFormat(0, 900, 640, 32, SDL_PIXELFORMAT_RGB888);
    renderer = SDL_CreateSoftwareRenderer(surface);
    font = TTF_OpenFont(QUARN_SOURCE_DIR "/res/UbuntuMono-R.ttf", 20);
    require(surface && renderer && font, "no software renderer or font (run scripts/setup)");
    int h = 0;
    TTF_SizeText(font, "a", &fontW, &h);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int fontH = 20;
    int cols = boxCells(data[0], 3, 70);
    int rows = boxCells(data[1], 3, 30);
    int spareW = data[2] % fontW, spareH = (data[2] >> 4) % fontH;
    textBox* box = initTextBox(4, 4, cols * fontW + spareW, rows * fontH + spareH, fontW, fontH);
    require(box->numCols == cols && box->numRows == rows, "box size");

    size_t at = 3;
    for (int e = 0; e < maxEntries && at < size; e++) {
        size_t len = 0;
        if (at + 2 <= size) len = size_t((data[at] << 8 | data[at + 1]) % maxEntryLen);
        at += 2;
        if (at > size) at = size;
        if (len > size - at) len = size - at;
        // A heap copy of exactly the entry: any read past it is caught.
        std::vector<char> text(data + at, data + at + len);
        std::vector<char> before = text;
        txtBoxAddString(box, text.data(), int(len), font, &black, renderer);
        require(text == before, "the caller's text changed");
        checkRing(box);
        at += len;
    }
    SDL_SetRenderDrawColor(renderer, 255, 255, 255, 255);
    SDL_RenderClear(renderer);
    txtBoxRender(box, renderer);
    txtBoxFree(box);
    require(texturesMade == texturesDestroyed, "a texture outlived its box");
    return 0;
}

// The scrolling log box: a ring of pre-rendered line textures, newest line on top.
// Long entries wrap at spaces (or hard at the row width when a word is too long).
#pragma once

#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>

struct textBox {
    int x, y;
    int width, height;
    int fontW, fontH;
    int numRows; // height / fontH
    int numCols; // width / fontW
    int topLine; // slot of the next line, which is also the oldest
    SDL_Texture** textures;
    int* textureWs; // characters in each slot's line
};

textBox* initTextBox(int x, int y, int width, int height, int fontW, int fontH);
void txtBoxAddString(textBox* tb, const char* str, int len, TTF_Font* font, const SDL_Color* color,
                     SDL_Renderer* renderer);
void txtBoxRender(textBox* tb, SDL_Renderer* renderer);
void txtBoxFree(textBox* tb);

// Renders `len` characters of `text` into a texture. Text is drawn opaque whatever the
// colour's alpha: the colour records keep alpha 1, which would make glyphs invisible.
SDL_Texture* renderTextTexture(const char* text, int len, TTF_Font* font, const SDL_Color* color,
                               SDL_Renderer* renderer);

// A grid of equal, text-labelled buttons with a hit test; the control window has one.
#pragma once

#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>

struct buttonArray {
    int x, y;
    int width, height; // height = rows * (buttH + edgeW)
    int fontW, fontH;
    int buttH;
    int edgeW; // gap before each button, both ways
    int cols, rows;
    SDL_Texture** textures; // labels, index col + row * cols
    int* textureWs;         // label lengths in characters
};

buttonArray* initButtonArray(int x, int y, int width, int fontW, int fontH, int buttH, int edgeW,
                             int cols, int rows);
void buttArSetText(buttonArray* ba, SDL_Renderer* renderer, const char* text, int col, int row,
                   const SDL_Color* color, TTF_Font* font);
void buttArRender(buttonArray* ba, SDL_Renderer* renderer);
void buttArRenderCursor(buttonArray* ba, SDL_Renderer* renderer, int n, int pos, int w, int h);
int buttArClick(buttonArray* ba, int px, int py);
void buttArFree(buttonArray* ba);
void freeButtonArray(buttonArray* ba);

int buttArButtonWidth(const buttonArray* ba);

// Button grid: geometry, drawing with centred labels, and the click hit test, in which
// the edgeW pixels before each button count as gap.
#include "veskButtonArray.h"

#include <cstdlib>
#include <cstring>

#include "veskTextBox.h"

buttonArray* initButtonArray(int x, int y, int width, int fontW, int fontH, int buttH, int edgeW,
                             int cols, int rows) {
    buttonArray* ba = static_cast<buttonArray*>(calloc(1, sizeof(buttonArray)));
    ba->x = x;
    ba->y = y;
    ba->width = width;
    ba->fontW = fontW;
    ba->fontH = fontH;
    ba->buttH = buttH;
    ba->edgeW = edgeW;
    ba->cols = cols > 0 ? cols : 1;
    ba->rows = rows > 0 ? rows : 1;
    ba->height = ba->rows * (buttH + edgeW);
    size_t n = size_t(ba->cols) * size_t(ba->rows);
    ba->textures = static_cast<SDL_Texture**>(calloc(n, sizeof(SDL_Texture*)));
    ba->textureWs = static_cast<int*>(calloc(n, sizeof(int)));
    return ba;
}

int buttArButtonWidth(const buttonArray* ba) {
    return (ba->width - (ba->cols + 1) * ba->edgeW) / ba->cols;
}

void buttArSetText(buttonArray* ba, SDL_Renderer* renderer, const char* text, int col, int row,
                   const SDL_Color* color, TTF_Font* font) {
    if (col < 0 || col >= ba->cols || row < 0 || row >= ba->rows) return;
    int i = col + row * ba->cols;
    int len = int(strlen(text));
    SDL_Texture* texture = renderTextTexture(text, len, font, color, renderer);
    if (ba->textures[i]) SDL_DestroyTexture(ba->textures[i]);
    ba->textures[i] = texture;
    ba->textureWs[i] = len;
}

static SDL_Rect buttonRect(const buttonArray* ba, int col, int row) {
    int bw = buttArButtonWidth(ba);
    return SDL_Rect{ba->x + ba->edgeW + col * (bw + ba->edgeW),
                    ba->y + ba->edgeW + row * (ba->buttH + ba->edgeW), bw, ba->buttH};
}

static SDL_Rect labelRect(const buttonArray* ba, int col, int row) {
    SDL_Rect button = buttonRect(ba, col, row);
    int w = ba->fontW * ba->textureWs[col + row * ba->cols];
    return SDL_Rect{button.x + (button.w - w) / 2, button.y + (ba->buttH - ba->fontH) / 2, w,
                    ba->fontH};
}

static void renderButton(buttonArray* ba, SDL_Renderer* renderer, int col, int row) {
    SDL_Rect button = buttonRect(ba, col, row);
    SDL_SetRenderDrawColor(renderer, 100, 100, 100, 1);
    SDL_RenderFillRect(renderer, &button);
    SDL_Texture* label = ba->textures[col + row * ba->cols];
    if (label) {
        SDL_Rect dst = labelRect(ba, col, row);
        SDL_Rect src = {0, 0, dst.w, dst.h};
        SDL_RenderCopy(renderer, label, &src, &dst);
    }
}

void buttArRender(buttonArray* ba, SDL_Renderer* renderer) {
    for (int row = 0; row < ba->rows; row++)
        for (int col = 0; col < ba->cols; col++)
            renderButton(ba, renderer, col, row);
}

void buttArRenderCursor(buttonArray* ba, SDL_Renderer* renderer, int n, int pos, int w, int h) {
    for (int row = 0; row < ba->rows; row++) {
        for (int col = 0; col < ba->cols; col++) {
            renderButton(ba, renderer, col, row);
            if (col + row * ba->cols != n) continue;
            SDL_Rect label = labelRect(ba, col, row);
            SDL_Rect cursor = {label.x + pos * ba->fontW, label.y + (ba->fontH - h) / 2, w, h};
            SDL_SetRenderDrawColor(renderer, 0, 0, 0, 1);
            SDL_RenderFillRect(renderer, &cursor);
        }
    }
}

int buttArClick(buttonArray* ba, int px, int py) {
    int cellW = ba->edgeW + buttArButtonWidth(ba);
    int dx = px - ba->x;
    if (cellW <= 0 || dx % cellW <= ba->edgeW || dx / cellW >= ba->cols) return -1;
    int cellH = ba->edgeW + ba->buttH;
    int dy = py - ba->y;
    if (cellH <= 0 || dy % cellH <= ba->edgeW) return -1;
    int row = dy / cellH;
    if (row < ba->rows) return dx / cellW + ba->cols * row;
    return -1;
}

void buttArFree(buttonArray* ba) {
    if (!ba) return;
    int n = ba->cols * ba->rows;
    for (int i = 0; i < n; i++)
        if (ba->textures[i]) SDL_DestroyTexture(ba->textures[i]);
    free(ba->textures);
    free(ba->textureWs);
    free(ba);
}

void freeButtonArray(buttonArray* ba) {
    buttArFree(ba);
}

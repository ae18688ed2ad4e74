// Layout and drawing of the control window: logo top left, the Start/Stop button under
// it, the log box on the right. Log entries are rendered into the box as they come.
#include "window.h"

#include <SDL2/SDL_image.h>
#include <cstdlib>

#include "veskServer.h"

SDL_Window* gWindow = nullptr;
SDL_Renderer* gRenderer = nullptr;
int edgeW = 4;
int textH = 20;
int textW = 0;
SDL_Color color = {0, 0, 0, 1};
SDL_Color backColor = {255, 255, 255, 1};
TTF_Font* font = nullptr;
SDL_Texture* theme = nullptr;
int themeW = 0, themeH = 0;
buttonArray* bc = nullptr;

SDL_Texture* loadTexture(const char* path, int* retWidth, int* retHeight) {
    SDL_Surface* image = IMG_Load(path);
    if (!image) {
        tracef("Unable to load image %s! SDL_image Error: %s\n", path, IMG_GetError());
        return nullptr;
    }
    *retWidth = image->w;
    *retHeight = image->h;
    SDL_Texture* texture = SDL_CreateTextureFromSurface(gRenderer, image);
    if (!texture) tracef("Unable to create texture from %s! SDL Error: %s\n", path, SDL_GetError());
    SDL_FreeSurface(image);
    return texture;
}

// The font at the largest point size up to `rowHeight` whose lines fit a row of that many
// pixels: a font's glyphs reach above and below its point size, and a row only shows its
// top `rowHeight` pixels, which would cut the descenders off.
static TTF_Font* openFontFitting(const char* path, int rowHeight) {
    for (int size = rowHeight; size > 4; size--) {
        TTF_Font* f = TTF_OpenFont(path, size);
        if (!f) return nullptr;
        if (TTF_FontHeight(f) <= rowHeight) return f;
        TTF_CloseFont(f);
    }
    return TTF_OpenFont(path, rowHeight);
}

static void windowLogSink(const char* text, int len) {
    txtBoxAddString(tb, text, len, font, &color, gRenderer);
}

void initUI() {
    if (TTF_Init() == -1) {
        tracef("TTF_Init: %s\n", TTF_GetError());
        exit(2);
    }
    font = openFontFitting(windowFile("UbuntuMono-R.ttf").c_str(), textH);
    if (!font) {
        tracef("TTF_OpenFont: %s\n", TTF_GetError());
    } else {
        int h = 0;
        TTF_SizeText(font, "a", &textW, &h);
    }
    tracef("textW: %d\n", textW);
    theme = loadTexture(windowFile("Quarn.png").c_str(), &themeW, &themeH);
    bc = initButtonArray(0, 2 * edgeW + themeH, themeW, textW, textH, 600 - themeH - 4 * edgeW,
                         edgeW, 1, 1);
    buttArSetText(bc, gRenderer, "Start", 0, 0, &color, font);
    tb = initTextBox(2 * edgeW + themeW, edgeW, 1000 - themeW - 3 * edgeW, 600 - 2 * edgeW, textW,
                     textH);
    logSink = windowLogSink;
    textBoxAddStr(tb, "initUI: Completed");
}

void renderUI() {
    SDL_SetRenderDrawColor(gRenderer, 255, 255, 255, 1);
    SDL_Rect all = {0, 0, 1000, 600};
    SDL_RenderFillRect(gRenderer, &all);
    SDL_Rect logo = {edgeW, edgeW, themeW, themeH};
    if (theme) SDL_RenderCopy(gRenderer, theme, nullptr, &logo);
    buttArRender(bc, gRenderer);
    txtBoxRender(tb, gRenderer);
}

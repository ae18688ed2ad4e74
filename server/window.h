// The control window: layout values, the window and renderer, the logo, the Start/Stop
// button and the log box, and the start-up, loop and event handling of window mode.
#pragma once

#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>

#include "../libs/veskButtonArray.h"
#include "../libs/veskTextBox.h"

constexpr int SCREEN_WIDTH = 1000;
constexpr int SCREEN_HEIGHT = 600;

extern SDL_Window* gWindow;
extern SDL_Renderer* gRenderer;
extern int edgeW;
extern int textH;
extern int textW;
extern SDL_Color color;
extern SDL_Color backColor;
extern TTF_Font* font;
extern SDL_Texture* theme;
extern int themeW, themeH;
extern buttonArray* bc;
extern int mouseDownLeft;

// window.cpp
SDL_Texture* loadTexture(const char* path, int* retWidth, int* retHeight);
void initUI();
void renderUI();

// core.cpp
int init();
void gLoop();
void tic();
void inputEvents(SDL_Event* event);
void handleMouse(int x, int y);
int closingGame(); // 1 when the save at exit succeeded
int runWindowed();

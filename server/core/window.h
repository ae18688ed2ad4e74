// The control window: the logo, the Start/Stop button and the log box, drawn once a tick
// by the loop of window mode. One record, `ui`, holds it while the window is open.
#pragma once

#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>

#include "veskButtonArray.h"
#include "veskTextBox.h"

struct controlWindow {
    SDL_Window* window;
    SDL_Renderer* renderer;
    TTF_Font* font;
    SDL_Texture* logo;
    int logoW, logoH;
    int textW; // a character's width in the font
    buttonArray* button;
    int mouseDownLeft;
};
extern controlWindow ui;

// Window mode: the window, the loop with its tick clock, and the save at exit; the
// process's exit status (1 when the window cannot open or the save at exit failed).
int runWindowed();

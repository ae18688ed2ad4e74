// Window mode of the process: SDL start-up, the layout and drawing of the control window
// (logo top left, the Start/Stop button under it, the log box on the right, log entries
// rendered into it as they come), the main loop with its tick clock, and the exit routine
// that saves before closing.
#include "window.h"

#include <SDL2/SDL_image.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core.h"
#include "operator/operator.h"
#include "save/save.h"
#include "world/world.h"

constexpr int screenWidth = 1000;
constexpr int screenHeight = 600;
constexpr int edgeW = 4;
constexpr int textH = 20;
constexpr SDL_Color ink = {0, 0, 0, 1};

controlWindow ui;

static SDL_Texture* loadTexture(const char* path, int* retWidth, int* retHeight) {
    SDL_Surface* image = IMG_Load(path);
    if (!image) {
        tracef("Unable to load image %s! SDL_image Error: %s\n", path, IMG_GetError());
        return nullptr;
    }
    *retWidth = image->w;
    *retHeight = image->h;
    SDL_Texture* texture = SDL_CreateTextureFromSurface(ui.renderer, image);
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
    txtBoxAddString(logging.box, text, len, ui.font, &ink, ui.renderer);
}

static int initUI() {
    if (TTF_Init() == -1) {
        tracef("TTF_Init: %s\n", TTF_GetError());
        return 0;
    }
    ui.font = openFontFitting(windowFile("UbuntuMono-R.ttf").c_str(), textH);
    if (!ui.font) {
        tracef("TTF_OpenFont: %s\n", TTF_GetError());
    } else {
        int h = 0;
        TTF_SizeText(ui.font, "a", &ui.textW, &h);
    }
    tracef("textW: %d\n", ui.textW);
    ui.logo = loadTexture(windowFile("Quarn.png").c_str(), &ui.logoW, &ui.logoH);
    ui.button = initButtonArray(0, 2 * edgeW + ui.logoH, ui.logoW, ui.textW, textH,
                                screenHeight - ui.logoH - 4 * edgeW, edgeW, 1, 1);
    buttArSetText(ui.button, ui.renderer, "Start", 0, 0, &ink, ui.font);
    logging.box = initTextBox(2 * edgeW + ui.logoW, edgeW, screenWidth - ui.logoW - 3 * edgeW,
                              screenHeight - 2 * edgeW, ui.textW, textH);
    logging.sink = windowLogSink;
    textBoxAddStr(logging.box, "initUI: Completed");
    return 1;
}

static void renderUI() {
    SDL_SetRenderDrawColor(ui.renderer, 255, 255, 255, 1);
    SDL_Rect all = {0, 0, screenWidth, screenHeight};
    SDL_RenderFillRect(ui.renderer, &all);
    SDL_Rect logo = {edgeW, edgeW, ui.logoW, ui.logoH};
    if (ui.logo) SDL_RenderCopy(ui.renderer, ui.logo, nullptr, &logo);
    buttArRender(ui.button, ui.renderer);
    txtBoxRender(logging.box, ui.renderer);
}

// Without a display SDL falls back to a video driver that shows nothing: a window there
// would wait for clicks that can never come.
static int hasDisplay() {
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver && strcmp(driver, "offscreen") != 0 && strcmp(driver, "dummy") != 0) return 1;
    fprintf(stderr,
            "quarn-server: no display to open the control window on (video driver: %s); "
            "run it with --headless for a dedicated server\n",
            driver ? driver : "none");
    return 0;
}

static int openWindow() {
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        tracef("SDL could not initialize! SDL Error: %s\n", SDL_GetError());
        return 0;
    }
    if (!hasDisplay()) return 0;
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    ui.window = SDL_CreateWindow("Quarn Incremental: Server 10", SDL_WINDOWPOS_UNDEFINED,
                                 SDL_WINDOWPOS_UNDEFINED, screenWidth, screenHeight,
                                 SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN);
    if (!ui.window) {
        tracef("Window could not be created! SDL Error: %s\n", SDL_GetError());
        return 0;
    }
    ui.renderer = SDL_CreateRenderer(ui.window, 0, SDL_RENDERER_ACCELERATED);
    return initUI();
}

static uint32_t sdlTicks() {
    return SDL_GetTicks();
}

// Shows what renderUI drew. The renderer batches its drawing, so it is flushed before
// the buffers are swapped; a renderer without OpenGL presents on its own.
static void presentFrame() {
    SDL_RendererInfo info;
    if (ui.renderer && SDL_GetRendererInfo(ui.renderer, &info) == 0 &&
        SDL_strncmp(info.name, "opengl", 6) == 0) {
        SDL_RenderFlush(ui.renderer);
        SDL_GL_SwapWindow(ui.window);
    } else if (ui.renderer) {
        SDL_RenderPresent(ui.renderer);
    }
}

static void handleMouse(int x, int y) {
    if (!ui.mouseDownLeft || buttArClick(ui.button, x, y) != 0) return;
    if (!world.servOn) {
        if (startServer()) buttArSetText(ui.button, ui.renderer, "Stop", 0, 0, &ink, ui.font);
    } else if (stopServer()) {
        buttArSetText(ui.button, ui.renderer, "Start", 0, 0, &ink, ui.font);
    }
}

static void inputEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT) {
            loop.running = 0;
        } else if (event.type == SDL_MOUSEBUTTONDOWN && event.button.button == SDL_BUTTON_LEFT) {
            int x, y;
            SDL_GetMouseState(&x, &y);
            ui.mouseDownLeft = 1;
            handleMouse(x, y);
        }
    }
}

static void windowLoop() {
    textBoxAddStr(logging.box, "gLoop: Starting");
    loop.mpt = 1000 / options.ticksPerSecond;
    loop.running = 1;
    SDL_StartTextInput();
    while (loop.running) {
        if (loop.quitRequested) loop.running = 0; // a signal or the stop command: as a close
        uint32_t now = getTicks();
        notifyWatchdog(now);
        eventStep(0); // the loop polls the clock; descriptors are looked at in passing
        if (!tickDue(now)) continue;
        inputEvents();
        if (world.servOn) serveTick();
        renderUI();
        presentFrame();
        flushOutput(); // once a tick: timely for the operator, cheap for the tick
    }
    SDL_StopTextInput();
}

// 0 when the save at exit failed; the log entry saying so is also printed, since the
// window that shows the log is about to go.
static int closeWindow() {
    int saved = quitServer();
    if (!saved) {
        char line[400];
        int n =
            snprintf(line, sizeof line, "Server: Save failed (%s) at quit\n", saves.saveFailure);
        outputText(line, size_t(std::min(n, int(sizeof line) - 1)));
    }
    SDL_DestroyRenderer(ui.renderer);
    SDL_DestroyWindow(ui.window);
    return saved;
}

static void onHangUp(int) {
    loop.quitRequested = 1;
}

int runWindowed() {
    for (const char* name : {"UbuntuMono-R.ttf", "Quarn.png"})
        if (windowFile(name).empty()) {
            fprintf(stderr, "quarn-server: the window needs %s, which is missing\n",
                    resPath(name).c_str());
            return 1;
        }
    // SDL turns SIGINT and SIGTERM into a quit; a closed terminal quits the same way.
    struct sigaction action = {};
    action.sa_handler = onHangUp;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
    if (!openWindow()) {
        traceLine("Init Failed");
        return 1;
    }
    loop.clock = sdlTicks;
    openOutput();
    windowLoop();
    int saved = closeWindow();
    closeOutput(5000);
    return saved ? 0 : 1;
}

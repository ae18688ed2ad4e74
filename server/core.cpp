// Window mode of the process: SDL start-up, the main loop with its tick clock, window
// events, the Start/Stop button, and the exit routine that saves before closing.
#include <SDL2/SDL.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "veskServer.h"
#include "window.h"

int mouseDownLeft = 0;

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

int init() {
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        tracef("SDL could not initialize! SDL Error: %s\n", SDL_GetError());
        return 0;
    }
    if (!hasDisplay()) return 0;
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    gWindow = SDL_CreateWindow("Quarn Incremental: Server 10", SDL_WINDOWPOS_UNDEFINED,
                               SDL_WINDOWPOS_UNDEFINED, SCREEN_WIDTH, SCREEN_HEIGHT,
                               SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN);
    if (!gWindow) {
        tracef("Window could not be created! SDL Error: %s\n", SDL_GetError());
        return 0;
    }
    gRenderer = SDL_CreateRenderer(gWindow, 0, SDL_RENDERER_ACCELERATED);
    initUI();
    return 1;
}

static uint32_t sdlTicks() {
    return SDL_GetTicks();
}

// Shows what renderUI drew. The renderer batches its drawing, so it is flushed before
// the buffers are swapped; a renderer without OpenGL presents on its own.
static void presentFrame() {
    SDL_RendererInfo info;
    if (gRenderer && SDL_GetRendererInfo(gRenderer, &info) == 0 &&
        SDL_strncmp(info.name, "opengl", 6) == 0) {
        SDL_RenderFlush(gRenderer);
        SDL_GL_SwapWindow(gWindow);
    } else if (gRenderer) {
        SDL_RenderPresent(gRenderer);
    }
}

void gLoop() {
    textBoxAddStr(tb, "gLoop: Starting");
    mpt = 1000 / ticksPerSecond;
    running = 1;
    SDL_StartTextInput();
    SDL_Event event;
    while (running) {
        if (quitRequested) running = 0; // a signal or the stop command: quit as a close does
        uint32_t now = getTicks();
        notifyWatchdog(now);
        eventStep(0); // the loop polls the clock; descriptors are looked at in passing
        if (!tickDue(now)) continue;
        inputEvents(&event);
        tic();
        presentFrame();
        flushOutput(); // once a tick: timely for the operator, cheap for the tick
    }
    SDL_StopTextInput();
}

void tic() {
    if (servOn) serveTick();
    renderUI();
}

void inputEvents(SDL_Event* event) {
    while (SDL_PollEvent(event)) {
        if (event->type == SDL_QUIT) {
            running = 0;
        } else if (event->type == SDL_MOUSEBUTTONDOWN) {
            int x, y;
            SDL_GetMouseState(&x, &y);
            if (event->button.button == SDL_BUTTON_LEFT) {
                mouseDownLeft = 1;
                handleMouse(x, y);
            }
        }
    }
}

void handleMouse(int x, int y) {
    if (!mouseDownLeft || buttArClick(bc, x, y) != 0) return;
    if (!servOn) {
        if (startServer()) buttArSetText(bc, gRenderer, "Stop", 0, 0, &color, font);
    } else if (stopServer()) {
        buttArSetText(bc, gRenderer, "Start", 0, 0, &color, font);
    }
}

// 0 when the save at exit failed; the log entry saying so is also printed, since the
// window that shows the log is about to go.
int closingGame() {
    int saved = quitServer();
    if (!saved) {
        char line[400];
        int n = snprintf(line, sizeof line, "Server: Save failed (%s) at quit\n", saveFailure);
        outputText(line, size_t(std::min(n, int(sizeof line) - 1)));
    }
    SDL_DestroyRenderer(gRenderer);
    SDL_DestroyWindow(gWindow);
    return saved;
}

static void onHangUp(int) {
    quitRequested = 1;
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
    if (!init()) {
        traceLine("Init Failed");
        return 1;
    }
    clockSource = sdlTicks;
    openOutput();
    gLoop();
    int saved = closingGame();
    closeOutput(5000);
    return saved ? 0 : 1;
}

// Entry point: the control window by default, or `--headless` for a dedicated server.
#include <cstring>

#include "veskServer.h"
#include "window.h"

int main(int argc, char** args) {
    for (int i = 1; i < argc; i++)
        if (strcmp(args[i], "--headless") == 0) return runHeadless();
    return runWindowed();
}

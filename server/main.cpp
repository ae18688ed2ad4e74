// Entry point: the command line, then the control window, or a dedicated server without
// one under --headless.
#include "veskServer.h"
#include "window.h"

int main(int argc, char** args) {
    int headless = 0;
    int status = parseCommandLine(argc, args, &headless);
    if (status >= 0) return status;
    return headless ? runHeadless() : runWindowed();
}

// Entry point: the command line; then an operator's command sent to a running server, or
// the server itself on its locked save folder, with its control window or, under
// --headless, as a dedicated server without one.
#include <csignal>

#include "veskServer.h"
#include "window.h"

int main(int argc, char** args) {
    commandLine line;
    int status = parseCommandLine(argc, args, &line);
    if (status >= 0) return status;
    // A closed standard output or control connection is a failed write, never the end.
    signal(SIGPIPE, SIG_IGN);
    if (line.control) return runControlClient(line.control);
    std::string why;
    if (!prepareSaveFolder(line.resGiven, &why)) {
        fprintf(stderr, "quarn-server: %s\n", why.c_str());
        return 1;
    }
    return line.headless ? runHeadless() : runWindowed();
}

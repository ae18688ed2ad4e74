// Entry point: the command line; then an operator's command sent to a running server, or
// the server itself on its locked save folder (its live page under --http), in its control
// window or, under --headless or in a build without the window, as a dedicated server.
#include <arpa/inet.h>
#include <csignal>

#include "core.h"
#include "operator/http.h"
#include "operator/operator.h"
#include "save/save.h"
#ifdef QUARN_WINDOW
#include "window.h"
#endif

int main(int argc, char** args) {
    traffic.figures.processStartMs = steadyMs(); // the live page's uptime
    commandLine line;
    int status = parseCommandLine(argc, args, &line);
    if (status >= 0) return status;
    // A closed standard output or control connection is a failed write, never the end.
    signal(SIGPIPE, SIG_IGN);
    if (line.control) return runControlClient(line.control);
    std::string why;
    if (!prepareSaveFolder(&why)) {
        fprintf(stderr, "quarn-server: %s\n", why.c_str());
        return 1;
    }
    if (line.http && !openHttp(&line.httpAddress, &why)) {
        fprintf(stderr, "quarn-server: cannot serve the live page on %s:%u: %s\n",
                inet_ntoa(line.httpAddress.sin_addr), unsigned(ntohs(line.httpAddress.sin_port)),
                why.c_str());
        return 1;
    }
#ifdef QUARN_WINDOW
    // The window's log shows the protocol at work; a host's log, only when asked.
    logging.showProtocolEntries = line.headless ? line.verbose : 1;
    status = line.headless ? runHeadless() : runWindowed();
#else
    logging.showProtocolEntries = line.verbose;
    status = runHeadless(); // built without the window: --headless or not
#endif
    closeHttp();
    return status;
}

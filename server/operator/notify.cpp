// Readiness and health for systemd, through libsystemd: READY=1 once the port is open,
// STATUS= with each status line, WATCHDOG=1 every second, STOPPING=1 at shutdown. Without
// systemd (no NOTIFY_SOCKET) every call does nothing.
#include <string>
#include <systemd/sd-daemon.h>

#include "operator.h"

void notifyReady() {
    sd_notify(0, "READY=1");
}

void notifyStatus(const char* statusLine) {
    std::string text = std::string("STATUS=") + statusLine;
    sd_notify(0, text.c_str());
}

void notifyWatchdog(uint32_t now) {
    if (now - operatorSide.lastWatchdog < 1000) return;
    operatorSide.lastWatchdog = now;
    sd_notify(0, "WATCHDOG=1");
}

void notifyStopping() {
    sd_notify(0, "STOPPING=1");
}

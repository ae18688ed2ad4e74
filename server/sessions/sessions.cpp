// The records of the accounts and of the traffic, and their one release at Stop: what the
// accounts, the limits, the access lists and the tick hold goes; the totals and figures of
// the traffic stay, as they count since the process started.
#include "sessions.h"

sessionState sessions;
trafficState traffic;

void resetReceive();

void resetSessions() {
    resetReceive();
    freeTickChanges();
    resetAccounts();
    freeArrayListPointer(sessions.profList);
    sessions.profList = nullptr;
    resetLimits();
    resetAccessLists();
}

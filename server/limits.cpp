// Per-address limits: account creations and failed logins counted per IPv4 address over a
// minute, in a table of fixed size whose records expire. The operator's own machine
// (loopback) is never limited.
#include <arpa/inet.h>

#include "veskServer.h"

int creationsPerMinute = 5;
int failedLoginsPerMinute = 10;

struct addressRecord {
    uint32_t addr;  // network order; 0 while the slot is unused
    uint32_t since; // start of the minute counted
    int creations;
    int failures;
};

// A record is looked for in a short run of slots after its hash; a new address takes the
// first free or expired slot of the run, or else the one whose minute is oldest. Memory
// stays fixed however many addresses write.
constexpr int addressSlots = 4096;
constexpr int probeRun = 8;
constexpr uint32_t minuteMs = 60000;
static addressRecord records[addressSlots];

static int isLoopback(const sockaddr_in* from) {
    return (ntohl(from->sin_addr.s_addr) >> 24) == 127;
}

// How long a slot has counted; a free slot counts as the oldest of all.
static uint32_t ageOf(const addressRecord* r, uint32_t now) {
    return r->addr == 0 ? UINT32_MAX : now - r->since;
}

// The record of the sender's address, its counts started afresh once its minute is over;
// null for loopback.
static addressRecord* recordOf(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return nullptr;
    uint32_t addr = from->sin_addr.s_addr;
    uint32_t first = addressHash(addr) % addressSlots;
    addressRecord* victim = nullptr;
    for (int i = 0; i < probeRun; i++) {
        addressRecord* r = &records[(first + uint32_t(i)) % addressSlots];
        if (r->addr == addr && addr != 0) {
            if (now - r->since >= minuteMs) *r = addressRecord{addr, now, 0, 0};
            return r;
        }
        if (!victim || ageOf(r, now) > ageOf(victim, now)) victim = r;
    }
    *victim = addressRecord{addr, now, 0, 0};
    return victim;
}

int creationAllowed(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordOf(from, now);
    return !r || r->creations < creationsPerMinute;
}

void countCreation(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordOf(from, now);
    if (r) r->creations++;
}

int loginAllowed(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordOf(from, now);
    return !r || r->failures < failedLoginsPerMinute;
}

void countFailedLogin(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordOf(from, now);
    if (r) r->failures++;
}

void forgetAddressRecords() {
    for (addressRecord& r : records)
        r = addressRecord{};
}

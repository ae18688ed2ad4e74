// Limits on what strangers can make the server do: account creations and failed logins
// counted per IPv4 address over a minute in a table of fixed size, creations counted for
// the whole server, and the password hashes a tick may spend. The operator's own machine
// (loopback) is never limited by address.
#include <arpa/inet.h>

#include "veskServer.h"

int creationsPerAddress = 5;
int failedLoginsPerAddress = 10;
int creationsPerMinute = 30;
int hashesPerTick = 5;

struct addressRecord {
    uint32_t addr;  // network order
    uint32_t since; // start of the minute counted
    int creations;
    int failures;
    int used;
};

// A record is looked for in a short run of slots after its hash. Only a count makes a
// record, in the first free or expired slot of its run; a record whose minute is running is
// never given up, so nobody's count can be flushed by writing from other addresses. An
// address that finds its run full counts in the one shared overflow record, with the same
// limits: filling the table limits newcomers together.
constexpr int addressSlots = 4096;
constexpr int probeRun = 8;
constexpr uint32_t minuteMs = 60000;
static addressRecord records[addressSlots];
static addressRecord overflow;

// Creations made from addresses other than loopback, in the current minute.
static uint32_t serverMinuteStart = 0;
static int serverCreations = 0;
static int serverCounting = 0;

static int hashesThisTick = 0;

static int isLoopback(const sockaddr_in* from) {
    return (ntohl(from->sin_addr.s_addr) >> 24) == 127;
}

static int expired(const addressRecord* r, uint32_t now) {
    return !r->used || now - r->since >= minuteMs;
}

static addressRecord* slotAt(uint32_t addr, int i) {
    return &records[(addressHash(addr) + uint32_t(i)) % addressSlots];
}

// The sender's record in its run while its minute runs; null if it has none.
static addressRecord* findRecord(uint32_t addr, uint32_t now) {
    for (int i = 0; i < probeRun; i++) {
        addressRecord* r = slotAt(addr, i);
        if (r->used && r->addr == addr) return expired(r, now) ? nullptr : r;
    }
    return nullptr;
}

static addressRecord* freeSlot(uint32_t addr, uint32_t now) {
    for (int i = 0; i < probeRun; i++)
        if (expired(slotAt(addr, i), now)) return slotAt(addr, i);
    return nullptr;
}

// The counts that apply to the sender now: its own record, none yet (null), or the
// overflow record when its run has no room for one.
static const addressRecord* countsFor(const sockaddr_in* from, uint32_t now) {
    uint32_t addr = from->sin_addr.s_addr;
    const addressRecord* r = findRecord(addr, now);
    if (r || freeSlot(addr, now)) return r;
    return expired(&overflow, now) ? nullptr : &overflow;
}

// The record a count goes to, made when needed; null for loopback.
static addressRecord* recordToCount(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return nullptr;
    uint32_t addr = from->sin_addr.s_addr;
    addressRecord* r = findRecord(addr, now);
    if (r) return r;
    r = freeSlot(addr, now);
    if (!r) r = &overflow;
    if (r == &overflow && !expired(r, now)) return r;
    *r = addressRecord{addr, now, 0, 0, 1};
    return r;
}

int creationAllowed(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return 1;
    if (serverCounting && now - serverMinuteStart < minuteMs &&
        serverCreations >= creationsPerMinute)
        return 0;
    const addressRecord* r = countsFor(from, now);
    return !r || r->creations < creationsPerAddress;
}

void countCreation(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordToCount(from, now);
    if (!r) return;
    r->creations++;
    if (!serverCounting || now - serverMinuteStart >= minuteMs) {
        serverCounting = 1;
        serverMinuteStart = now;
        serverCreations = 0;
    }
    serverCreations++;
}

int loginAllowed(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return 1;
    const addressRecord* r = countsFor(from, now);
    return !r || r->failures < failedLoginsPerAddress;
}

void countFailedLogin(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordToCount(from, now);
    if (r) r->failures++;
}

int takeHash() {
    if (hashesThisTick >= hashesPerTick) return 0;
    hashesThisTick++;
    return 1;
}

void newHashTick() {
    hashesThisTick = 0;
}

void resetLimits() {
    for (addressRecord& r : records)
        r = addressRecord{};
    overflow = addressRecord{};
    serverCounting = 0;
    serverCreations = 0;
    hashesThisTick = 0;
}

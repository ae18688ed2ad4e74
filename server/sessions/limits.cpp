// Limits on what senders can make the server do: account creations and failed logins
// counted per IPv4 address over a minute, the accounts confirmed a minute for the whole
// server, and the password hashes a tick may spend. The operator's own machine (loopback)
// is never limited by address.
#include <arpa/inet.h>
#include <sodium.h>

#include "sessions.h"

namespace {

// Only work actually spent (a creation, a password checked and found wrong) makes a record,
// and a tick spends at most hashesPerTick hashes, so a minute makes at most a few thousand
// records: the table has room for them, and a record whose minute runs is never given up,
// so nobody's count can be flushed by writing from other addresses. The hash is keyed with
// a secret made at every Start, so no sender can choose addresses that crowd one place. An
// address that finds no room in its run (only under a budget far above the default) is not
// counted and never refused for it; such senders share one hash a tick instead.
constexpr int probeRun = 32;
constexpr int uncountedHashesPerTick = 1;
static_assert(sizeof sessions.tableKey == crypto_shorthash_KEYBYTES);

int expired(const addressRecord* r, uint32_t now) {
    return !r->used || now - r->since >= minuteMs;
}

uint32_t slotOf(uint32_t addr) {
    uint64_t h;
    crypto_shorthash(reinterpret_cast<unsigned char*>(&h),
                     reinterpret_cast<const unsigned char*>(&addr), sizeof addr, sessions.tableKey);
    return uint32_t(h % addressSlots);
}

addressRecord* slotAt(uint32_t first, int i) {
    return &sessions.records[(first + uint32_t(i)) % addressSlots];
}

// The sender's record while its minute runs; null if it has none.
addressRecord* findRecord(uint32_t addr, uint32_t now) {
    uint32_t first = slotOf(addr);
    for (int i = 0; i < probeRun; i++) {
        addressRecord* r = slotAt(first, i);
        if (r->used && r->addr == addr) return expired(r, now) ? nullptr : r;
    }
    return nullptr;
}

addressRecord* freeSlot(uint32_t addr, uint32_t now) {
    uint32_t first = slotOf(addr);
    for (int i = 0; i < probeRun; i++)
        if (expired(slotAt(first, i), now)) return slotAt(first, i);
    return nullptr;
}

// The record a count goes to, made when needed; null for loopback, or when there is no room.
addressRecord* recordToCount(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return nullptr;
    uint32_t addr = from->sin_addr.s_addr;
    addressRecord* r = findRecord(addr, now);
    if (r) return r;
    r = freeSlot(addr, now);
    if (r) *r = addressRecord{addr, now, 0, 0, 1};
    return r;
}

} // namespace

int isLoopback(const sockaddr_in* from) {
    return (ntohl(from->sin_addr.s_addr) >> 24) == 127;
}

int creationAllowed(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return 1;
    if (sessions.serverCounting && now - sessions.serverMinuteStart < minuteMs &&
        sessions.serverConfirmations >= options.creationsPerMinute)
        return 0;
    const addressRecord* r = findRecord(from->sin_addr.s_addr, now);
    return !r || r->creations < options.creationsPerAddress;
}

void countCreation(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordToCount(from, now);
    if (r) r->creations++;
}

void countConfirmation(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return;
    if (!sessions.serverCounting || now - sessions.serverMinuteStart >= minuteMs) {
        sessions.serverCounting = 1;
        sessions.serverMinuteStart = now;
        sessions.serverConfirmations = 0;
    }
    sessions.serverConfirmations++;
}

int loginAllowed(const sockaddr_in* from, uint32_t now) {
    if (isLoopback(from)) return 1;
    const addressRecord* r = findRecord(from->sin_addr.s_addr, now);
    return !r || r->failures < options.failedLoginsPerAddress;
}

void countFailedLogin(const sockaddr_in* from, uint32_t now) {
    addressRecord* r = recordToCount(from, now);
    if (r) r->failures++;
}

int takeHash(const sockaddr_in* from, uint32_t now) {
    if (sessions.hashesThisTick >= options.hashesPerTick) return 0;
    uint32_t addr = from->sin_addr.s_addr;
    int uncounted = !isLoopback(from) && !findRecord(addr, now) && !freeSlot(addr, now);
    if (uncounted && sessions.uncountedThisTick >= uncountedHashesPerTick) return 0;
    sessions.uncountedThisTick += uncounted;
    sessions.hashesThisTick++;
    return 1;
}

void newHashTick() {
    sessions.hashesThisTick = 0;
    sessions.uncountedThisTick = 0;
}

void resetLimits() {
    for (addressRecord& r : sessions.records)
        r = addressRecord{};
    randombytes_buf(sessions.tableKey, sizeof sessions.tableKey);
    sessions.serverCounting = 0;
    sessions.serverConfirmations = 0;
    sessions.hashesThisTick = 0;
    sessions.uncountedThisTick = 0;
}

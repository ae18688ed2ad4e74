// The receive step of a tick: what has arrived is read in batches, with the system's own
// drops on the socket counted, and served sender by sender in turn. Datagrams from the
// address and port of a live session (handshake or game) with its key are served first,
// then the rest (wake-ups, creations, logins, anything else) with what is left of the tick's
// budget, so a flood of strangers, whatever addresses it forges, costs a player no input.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "sessions.h"

namespace {

constexpr int strangerArena = arenaSize / 2;
constexpr uint64_t sessionBit = uint64_t(1) << 48;

uint64_t endpointKey(const sockaddr_in* a) {
    return uint64_t(a->sin_addr.s_addr) << 16 | a->sin_port;
}

uint32_t keyHash(uint64_t key) {
    return addressHash(uint32_t(key ^ key >> 32));
}

// The live sessions' endpoints, with their keys, made afresh at the start of each tick's
// receiving and again after its logins, which give keys: what arrives until the next tick
// is sorted by them. The key is a copy: a session that ends meanwhile only makes its
// datagrams be judged by the key it had, and the dispatcher checks them again.
void collectSessions() {
    const std::vector<veskProfile*>& live = liveSessions();
    probeReset(&traffic.sessionSet, live.size());
    for (veskProfile* pro : live) {
        uint64_t endpoint = sessionBit | endpointKey(&pro->profAddr);
        liveKey key;
        memcpy(key.key, pro->key, keyLen);
        probeInsert(&traffic.sessionSet, endpoint, keyHash(endpoint), key);
    }
}

int keyedType(int type) {
    return type == coUpdate || type == coGameTic || type == coDisconnect;
}

// Whose share a datagram counts in: a session's, when it comes from the session's endpoint
// with the session's key; its sender address's for everything that names no session (a
// wake-up, a creation, a login); and nobody's (0) for a keyed datagram from a session's
// endpoint with another key, which only a forger sends: it is dropped.
uint64_t senderKey(const unsigned char* data, int len, const sockaddr_in* from) {
    uint64_t endpoint = sessionBit | endpointKey(from);
    const liveKey* session = probeFind(&traffic.sessionSet, endpoint, keyHash(endpoint));
    if (!session) return from->sin_addr.s_addr;
    if (!keyedType(data[0])) return from->sin_addr.s_addr;
    if (len >= sessionHeadLen && memcmp(data + 1, session->key, keyLen) == 0) return endpoint;
    return 0;
}

senderQueue* senderOf(uint64_t key) {
    int added = 0;
    int* at =
        probeInsert(&traffic.senderIndex, key, keyHash(key), int(traffic.senders.size()), &added);
    if (added) traffic.senders.push_back(senderQueue{key, -1, -1, 0});
    return &traffic.senders[size_t(*at)];
}

// Keeps one datagram, or drops it when its sender has had its share or its class has
// filled its room.
void keep(const unsigned char* data, int len, const sockaddr_in* from, socklen_t fromLen) {
    trafficState& t = traffic;
    // Byte 17 is read by the receive trace whatever the length: keep it inside the copy.
    int room = len + 1 < 18 ? 18 : len + 1;
    uint64_t key = senderKey(data, len, from);
    if (key == 0) {
        t.totals.wrongKey++;
        return;
    }
    int stranger = (key & sessionBit) == 0;
    int full = t.heldCount == heldCap || t.arenaUsed + room > arenaSize ||
               (stranger &&
                (t.strangersHeld == maxDatagramsPerTick || t.strangerBytes + room > strangerArena));
    senderQueue* q = full ? nullptr : senderOf(key);
    if (!q || q->count >= options.maxPerSenderPerTick) {
        t.totals.dropped++;
        return;
    }
    t.strangersHeld += stranger;
    t.strangerBytes += stranger ? room : 0;
    memset(t.arena + t.arenaUsed, 0, size_t(room));
    memcpy(t.arena + t.arenaUsed, data, size_t(len));
    t.held[t.heldCount] = heldDatagram{t.arenaUsed, len, -1, *from, fromLen};
    if (q->tail >= 0)
        t.held[q->tail].next = t.heldCount;
    else
        q->head = t.heldCount;
    q->tail = t.heldCount;
    q->count++;
    t.heldCount++;
    t.arenaUsed += room;
}

// The drop count the system attached to a datagram, if it did.
void noteSystemDrops(const msghdr* msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(const_cast<msghdr*>(msg), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
        uint32_t drops;
        memcpy(&drops, CMSG_DATA(c), sizeof drops);
        if (drops - traffic.systemDropsSeen < 0x80000000u) { // it only grows, and may wrap
            traffic.totals.systemDropped += drops - traffic.systemDropsSeen;
            traffic.systemDropsSeen = drops;
        }
    }
}

// Reads until nothing is waiting, or, under a flood, until twice what a tick keeps has
// been read (what cannot be kept is counted and dropped). An empty datagram is passed
// over, never taken for the end of the queue.
void drainSocket() {
    constexpr int readCap = 2 * heldCap;
    alignas(cmsghdr) unsigned char control[readBatch][CMSG_SPACE(sizeof(uint32_t))];
    iovec iov[readBatch];
    mmsghdr msgs[readBatch];
    for (int read = 0; read < readCap;) {
        int want = readCap - read < readBatch ? readCap - read : readBatch;
        for (int i = 0; i < want; i++) {
            iov[i] = iovec{traffic.batchData[i], bufSize};
            msghdr* m = &msgs[i].msg_hdr;
            *m = msghdr{};
            m->msg_name = &traffic.batchFrom[i];
            m->msg_namelen = sizeof traffic.batchFrom[i];
            m->msg_iov = &iov[i];
            m->msg_iovlen = 1;
            m->msg_control = control[i];
            m->msg_controllen = sizeof control[i];
        }
        int n = recvmmsg(traffic.mysocket, msgs, unsigned(want), MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // nothing waiting (or the socket failed: nothing to read)
        for (int i = 0; i < n; i++) {
            const msghdr* m = &msgs[i].msg_hdr;
            int len = int(msgs[i].msg_len);
            noteSystemDrops(m);
            traffic.totals.datagramsIn++;
            traffic.totals.bytesIn += len;
            if (len == 0 || m->msg_namelen < sizeof(sockaddr_in)) continue;
            if (addressBanned(traffic.batchFrom[i].sin_addr.s_addr)) { // before any work
                traffic.totals.banned++;
                continue;
            }
            keep(traffic.batchData[i], len, &traffic.batchFrom[i], m->msg_namelen);
        }
        read += n;
        if (n < want) return;
    }
}

void dispatchHeld(heldDatagram* d) {
    unsigned char* data = traffic.arena + d->at;
    int traced = beginDatagramTrace();
    tracef("received message: (%d bytes) (%02X first) (%02X postKey)\n", d->len, data[0], data[17]);
    setEntrySender(&d->from);
    ticlyIn(data, d->len, &d->from, d->fromLen);
    setEntrySender(nullptr);
    endDatagramTrace(traced);
}

int isSession(const senderQueue& q) {
    return (q.key & sessionBit) != 0;
}

// One datagram of each sender of the class in turn, in the order they were first heard
// from a place that moves on every tick (so that, when the budget runs out, it is not the
// same senders who wait every time), until the budget started at `start` is spent; 0 when
// it was.
int serveInTurn(int sessions, uint32_t start) {
    int left = 0;
    for (const senderQueue& q : traffic.senders)
        if (isSession(q) == (sessions != 0)) left += q.count;
    size_t n = traffic.senders.size();
    size_t first = n ? traffic.turn % n : 0;
    while (left > 0) {
        for (size_t k = 0; k < n; k++) {
            senderQueue* q = &traffic.senders[(first + k) % n];
            if (q->head < 0 || isSession(*q) != (sessions != 0)) continue;
            if (getTicks() - start >= uint32_t(options.receiveBudgetMs)) return 0;
            heldDatagram* d = &traffic.held[q->head];
            q->head = d->next;
            q->count--;
            left--;
            dispatchHeld(d);
        }
    }
    return 1;
}

void forgetHeld() {
    for (const senderQueue& q : traffic.senders)
        traffic.totals.dropped += q.count; // not served: the budget was spent
    probeClear(&traffic.senderIndex);
    traffic.senders.clear();
    traffic.heldCount = 0;
    traffic.strangersHeld = 0;
    traffic.arenaUsed = 0;
    traffic.strangerBytes = 0;
}

} // namespace

void readWaitingDatagrams() {
    drainSocket();
}

void receiveDatagrams() {
    newHashTick();
    traffic.turn++;
    for (veskProfile* pro : liveSessions())
        pro->picksThisTick = 0; // a new tick
    collectSessions();
    drainSocket();
    uint32_t start = getTicks();
    traffic.dispatching = 1;
    traffic.dispatchStart = start;
    if (serveInTurn(1, start)) serveInTurn(0, start);
    traffic.dispatching = 0;
    serveAccountRequests();
    collectSessions(); // a login's new key counts from its next datagram on
    forgetHeld();
    logSummaries(getTicks());
}

// What the tick keeps is forgotten, as at its end; the totals stay.
void resetReceive() {
    forgetHeld();
    traffic.systemDropsSeen = 0;
    probeClear(&traffic.sessionSet);
    traffic.dispatching = 0;
}

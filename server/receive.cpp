// The receive step of a tick: what has arrived is read in batches, with the system's own
// drops on the socket counted, and served sender by sender in turn. Datagrams from the
// address and port of a live session (handshake or game) are served first, then the rest
// (wake-ups, creations, logins, anything else) with what is left of the tick's budget, so a
// flood of strangers, whatever addresses it forges, costs a player no input.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <vector>

#include "veskServer.h"

int maxPerSenderPerTick = 512;
int receiveBudgetMs = 20;
trafficTotals traffic = {};

namespace {

// The start of this tick's dispatching, while it runs.
int dispatching = 0;
uint32_t dispatchStart = 0;

// The socket's drop count as last reported; it starts at 0 with every socket.
uint32_t systemDropsSeen = 0;

struct heldDatagram {
    int at; // offset in the arena; the datagram is followed by a 0 byte
    int len;
    int next; // the next datagram of the same sender, -1 at the end
    sockaddr_in from;
    socklen_t fromLen;
};

// A sender: a live session's address and port, or any other IPv4 address.
struct senderQueue {
    uint64_t key;
    int head, tail, count;
};

// What one tick keeps. Strangers may fill half of it at most, so that a flood never leaves
// the sessions without room.
constexpr int heldCap = 2 * maxDatagramsPerTick;
constexpr int arenaSize = 8 << 20;
constexpr int strangerArena = arenaSize / 2;
constexpr int senderSlots = 2 * heldCap; // a power of two
static_assert((senderSlots & (senderSlots - 1)) == 0);
unsigned char arena[arenaSize];
int arenaUsed = 0;
int strangerBytes = 0;
heldDatagram held[heldCap];
int heldCount = 0;
int strangersHeld = 0;
senderQueue senders[heldCap];
int senderCount = 0;
int senderSlot[senderSlots]; // index into senders + 1; 0 for free
int usedSlots[senderSlots];  // the slots to free after the tick
int usedSlotCount = 0;

constexpr uint64_t sessionBit = uint64_t(1) << 48;

uint64_t endpointKey(const sockaddr_in* a) {
    return uint64_t(a->sin_addr.s_addr) << 16 | a->sin_port;
}

// The live sessions' endpoints of this tick, with their keys: an open-addressing set,
// rebuilt each tick. The key is a copy: a session that ends meanwhile only makes its
// datagrams be judged by the key it had, and the dispatcher checks them again.
struct liveEndpoint {
    uint64_t endpoint; // 0 for a free slot (no endpoint has the session bit clear)
    unsigned char key[keyLen];
};
std::vector<liveEndpoint> sessionSet;

void collectSessions() {
    const std::vector<veskProfile*>& live = liveSessions();
    size_t size = 16;
    while (size < 2 * live.size())
        size *= 2;
    sessionSet.assign(size, liveEndpoint{});
    for (veskProfile* pro : live) {
        uint64_t endpoint = sessionBit | endpointKey(&pro->profAddr);
        size_t i = addressHash(uint32_t(endpoint ^ endpoint >> 32)) & (size - 1);
        while (sessionSet[i].endpoint != 0 && sessionSet[i].endpoint != endpoint)
            i = (i + 1) & (size - 1);
        sessionSet[i].endpoint = endpoint;
        memcpy(sessionSet[i].key, pro->key, keyLen);
        pro->picksThisTick = 0; // a new tick
    }
}

const liveEndpoint* sessionAt(const sockaddr_in* from) {
    if (sessionSet.empty()) return nullptr;
    uint64_t endpoint = sessionBit | endpointKey(from);
    size_t mask = sessionSet.size() - 1;
    for (size_t i = addressHash(uint32_t(endpoint ^ endpoint >> 32)) & mask;; i = (i + 1) & mask) {
        if (sessionSet[i].endpoint == endpoint) return &sessionSet[i];
        if (sessionSet[i].endpoint == 0) return nullptr;
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
    const liveEndpoint* session = sessionAt(from);
    if (!session) return from->sin_addr.s_addr;
    if (!keyedType(data[0])) return from->sin_addr.s_addr;
    if (len >= sessionHeadLen && memcmp(data + 1, session->key, keyLen) == 0)
        return session->endpoint;
    return 0;
}

senderQueue* senderOf(uint64_t key) {
    uint32_t h = addressHash(uint32_t(key ^ key >> 32));
    for (uint32_t i = h & (senderSlots - 1);; i = (i + 1) & (senderSlots - 1)) {
        if (senderSlot[i] == 0) {
            senders[senderCount] = senderQueue{key, -1, -1, 0};
            senderSlot[i] = ++senderCount;
            usedSlots[usedSlotCount++] = int(i);
            return &senders[senderCount - 1];
        }
        if (senders[senderSlot[i] - 1].key == key) return &senders[senderSlot[i] - 1];
    }
}

// Keeps one datagram, or drops it when its sender has had its share or its class has
// filled its room.
void keep(const unsigned char* data, int len, const sockaddr_in* from, socklen_t fromLen) {
    // Byte 17 is read by the receive trace whatever the length: keep it inside the copy.
    int room = len + 1 < 18 ? 18 : len + 1;
    uint64_t key = senderKey(data, len, from);
    if (key == 0) {
        traffic.wrongKey++;
        return;
    }
    int stranger = (key & sessionBit) == 0;
    int full = heldCount == heldCap || arenaUsed + room > arenaSize ||
               (stranger &&
                (strangersHeld == maxDatagramsPerTick || strangerBytes + room > strangerArena));
    senderQueue* q = full ? nullptr : senderOf(key);
    if (!q || q->count >= maxPerSenderPerTick) {
        traffic.dropped++;
        return;
    }
    strangersHeld += stranger;
    strangerBytes += stranger ? room : 0;
    memset(arena + arenaUsed, 0, size_t(room));
    memcpy(arena + arenaUsed, data, size_t(len));
    held[heldCount] = heldDatagram{arenaUsed, len, -1, *from, fromLen};
    if (q->tail >= 0)
        held[q->tail].next = heldCount;
    else
        q->head = heldCount;
    q->tail = heldCount;
    q->count++;
    heldCount++;
    arenaUsed += room;
}

// The drop count the system attached to a datagram, if it did.
void noteSystemDrops(const msghdr* msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(const_cast<msghdr*>(msg), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
        uint32_t drops;
        memcpy(&drops, CMSG_DATA(c), sizeof drops);
        if (drops - systemDropsSeen < 0x80000000u) { // it only grows, and may wrap
            traffic.systemDropped += drops - systemDropsSeen;
            systemDropsSeen = drops;
        }
    }
}

// Datagrams are read this many at a time.
constexpr int batchSize = 32;
unsigned char batchData[batchSize][bufSize];
sockaddr_in batchFrom[batchSize];
alignas(cmsghdr) unsigned char batchControl[batchSize][CMSG_SPACE(sizeof(uint32_t))];
iovec batchIov[batchSize];
mmsghdr batchMsgs[batchSize];

// Reads until nothing is waiting, or, under a flood, until twice what a tick keeps has
// been read (what cannot be kept is counted and dropped). An empty datagram is passed
// over, never taken for the end of the queue.
void drainSocket() {
    constexpr int readCap = 2 * heldCap;
    for (int read = 0; read < readCap;) {
        int want = readCap - read < batchSize ? readCap - read : batchSize;
        for (int i = 0; i < want; i++) {
            batchIov[i] = iovec{batchData[i], bufSize};
            msghdr* m = &batchMsgs[i].msg_hdr;
            *m = msghdr{};
            m->msg_name = &batchFrom[i];
            m->msg_namelen = sizeof batchFrom[i];
            m->msg_iov = &batchIov[i];
            m->msg_iovlen = 1;
            m->msg_control = batchControl[i];
            m->msg_controllen = sizeof batchControl[i];
        }
        int n = recvmmsg(mysocket, batchMsgs, unsigned(want), MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // nothing waiting (or the socket failed: nothing to read)
        for (int i = 0; i < n; i++) {
            const msghdr* m = &batchMsgs[i].msg_hdr;
            int len = int(batchMsgs[i].msg_len);
            noteSystemDrops(m);
            traffic.datagramsIn++;
            traffic.bytesIn += len;
            if (len == 0 || m->msg_namelen < sizeof(sockaddr_in)) continue;
            if (addressBanned(batchFrom[i].sin_addr.s_addr)) { // before any work
                traffic.banned++;
                continue;
            }
            keep(batchData[i], len, &batchFrom[i], m->msg_namelen);
        }
        read += n;
        if (n < want) return;
    }
}

void dispatchHeld(const heldDatagram* d) {
    unsigned char* data = arena + d->at;
    recvlen = d->len;
    remaddr = d->from;
    addrlen = d->fromLen;
    int traced = beginDatagramTrace();
    tracef("received message: (%d bytes) (%02X first) (%02X postKey)\n", d->len, data[0], data[17]);
    setEntrySender(&d->from);
    ticlyIn(data, d->len, &remaddr, addrlen);
    setEntrySender(nullptr);
    endDatagramTrace(traced);
}

// One datagram of each sender of the class in turn, in the order they were first heard,
// until the budget started at `start` is spent; 0 when it was.
int serveInTurn(int sessions, uint32_t start) {
    int left = 0;
    for (int s = 0; s < senderCount; s++)
        if (((senders[s].key & sessionBit) != 0) == (sessions != 0)) left += senders[s].count;
    while (left > 0) {
        for (int s = 0; s < senderCount; s++) {
            senderQueue* q = &senders[s];
            if (q->head < 0 || ((q->key & sessionBit) != 0) != (sessions != 0)) continue;
            if (getTicks() - start >= uint32_t(receiveBudgetMs)) return 0;
            const heldDatagram* d = &held[q->head];
            q->head = d->next;
            q->count--;
            left--;
            dispatchHeld(d);
        }
    }
    return 1;
}

void forgetHeld() {
    for (int i = 0; i < usedSlotCount; i++)
        senderSlot[usedSlots[i]] = 0;
    for (int s = 0; s < senderCount; s++)
        traffic.dropped += senders[s].count; // not served: the budget was spent
    usedSlotCount = 0;
    senderCount = 0;
    heldCount = 0;
    strangersHeld = 0;
    arenaUsed = 0;
    strangerBytes = 0;
}

} // namespace

int openReceive(int fd) {
    systemDropsSeen = 0;
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
}

void readWaitingDatagrams() {
    drainSocket();
}

void receiveDatagrams() {
    newHashTick();
    collectSessions();
    drainSocket();
    uint32_t start = getTicks();
    dispatching = 1;
    dispatchStart = start;
    if (serveInTurn(1, start)) serveInTurn(0, start);
    dispatching = 0;
    serveAccountRequests();
    forgetHeld();
    logSummaries(getTicks());
}

int receiveBudgetSpent() {
    return dispatching && getTicks() - dispatchStart >= uint32_t(receiveBudgetMs);
}

void resetReceive() {
    forgetHeld();
    systemDropsSeen = 0;
    sessionSet.clear();
    dispatching = 0;
}

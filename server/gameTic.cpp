// The game tick, in its fixed order: take the datagrams that have arrived and dispatch
// them, a fair share for every sender, turn held keys into motion requests, move every
// entity, let every session send, and clear the per-tick change marks that the sending
// read.
#include <cstring>
#include <sys/socket.h>

#include "tolp.h"
#include "veskServer.h"

int recvlen = 0;

static int nonZero(const float* v) {
    return !(v[0] == 0.0f && v[1] == 0.0f && v[2] == 0.0f);
}

// --- the datagrams of a tick --------------------------------------------------------
// Each tick drains what has arrived (up to a high cap, so that the kernel's queue never
// fills with one sender's datagrams and drops everybody else's), keeps them per sender
// address, and serves the senders in turn, one datagram each, within the tick's time
// budget. What is left over when the budget is spent is dropped: the drops fall on the
// heaviest senders, and one sender can never starve the others. Within one address the
// datagrams keep their order, so many players behind one address are all served.
int maxPerSenderPerTick = 512;
int receiveBudgetMs = 20;
long long droppedDatagrams = 0;

namespace {

struct heldDatagram {
    int at; // offset in the arena; the datagram is followed by a 0 byte
    int len;
    int next; // the next datagram of the same sender, -1 at the end
    sockaddr_in from;
    socklen_t fromLen;
};

struct senderQueue {
    uint32_t addr;
    int head, tail, count;
};

// Room for what one tick keeps: small game datagrams mostly, a few large ones.
constexpr int arenaSize = 4 << 20;
constexpr int senderSlots = 2 * maxDatagramsPerTick; // a power of two
static_assert((senderSlots & (senderSlots - 1)) == 0);
unsigned char arena[arenaSize];
int arenaUsed = 0;
heldDatagram held[maxDatagramsPerTick];
int heldCount = 0;
senderQueue senders[maxDatagramsPerTick];
int senderCount = 0;
int senderSlot[senderSlots]; // index into senders + 1; 0 for free
int usedSlots[senderSlots];  // the slots to free after the tick
int usedSlotCount = 0;

senderQueue* senderOf(uint32_t addr) {
    for (uint32_t i = addressHash(addr) & (senderSlots - 1);; i = (i + 1) & (senderSlots - 1)) {
        if (senderSlot[i] == 0) {
            senders[senderCount] = senderQueue{addr, -1, -1, 0};
            senderSlot[i] = ++senderCount;
            usedSlots[usedSlotCount++] = int(i);
            return &senders[senderCount - 1];
        }
        if (senders[senderSlot[i] - 1].addr == addr) return &senders[senderSlot[i] - 1];
    }
}

// Keeps one datagram received into buf, or drops it when its sender has had its share.
void keep(int len, const sockaddr_in* from, socklen_t fromLen) {
    // Byte 17 is read by the receive trace whatever the length: keep it inside the copy.
    int room = len + 1 < 18 ? 18 : len + 1;
    senderQueue* q = senderOf(from->sin_addr.s_addr);
    if (q->count >= maxPerSenderPerTick || arenaUsed + room > arenaSize) {
        droppedDatagrams++;
        return;
    }
    memset(arena + arenaUsed, 0, size_t(room));
    memcpy(arena + arenaUsed, buf, size_t(len));
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

void drainSocket() {
    for (int n = 0; n < maxDatagramsPerTick; n++) {
        sockaddr_in from = {};
        socklen_t fromLen = sizeof from;
        int len =
            int(recvfrom(mysocket, buf, bufSize, 0, reinterpret_cast<sockaddr*>(&from), &fromLen));
        if (len <= 0) return;
        keep(len, &from, fromLen);
    }
}

void dispatchHeld(const heldDatagram* d) {
    unsigned char* data = arena + d->at;
    recvlen = d->len;
    remaddr = d->from;
    addrlen = d->fromLen;
    tracef("received message: (%d bytes) (%02X first) (%02X postKey)\n", d->len, data[0], data[17]);
    ticlyIn(data, d->len, &remaddr, addrlen);
}

// One datagram of each sender in turn, in the order the senders were first heard.
void serveInTurn() {
    uint32_t start = getTicks();
    int left = heldCount;
    while (left > 0) {
        for (int s = 0; s < senderCount; s++) {
            senderQueue* q = &senders[s];
            if (q->head < 0) continue;
            if (getTicks() - start >= uint32_t(receiveBudgetMs)) {
                droppedDatagrams += left;
                return;
            }
            const heldDatagram* d = &held[q->head];
            q->head = d->next;
            left--;
            dispatchHeld(d);
        }
    }
}

void forgetHeld() {
    for (int i = 0; i < usedSlotCount; i++)
        senderSlot[usedSlots[i]] = 0;
    usedSlotCount = 0;
    senderCount = 0;
    heldCount = 0;
    arenaUsed = 0;
}

} // namespace

static void receiveAll() {
    drainSocket();
    serveInTurn();
    forgetHeld();
}

// Held keys become this tick's request: walkers at unit strength along their heading,
// free movers along their full view direction.
static void applyKeys(veskProfile* pro) {
    veskEntity* ent = profEntity(pro);
    if (!ent) return;
    veskGravity* g = ent->gravMem;
    memset(g->tempVect, 0, sizeof g->tempVect);
    g->jumping = 0;
    if (pro->stage != psGame) return; // only a player in the game walks
    for (int slot = 0; slot < numServKeyMaps; slot++) {
        if (!pro->keyMapBuf[slot]) continue;
        switch (slot) {
        case skmWalkForward:
            g->tempVect[2] += 1.0f;
            break;
        case skmWalkBackwards:
            g->tempVect[2] -= 1.0f;
            break;
        case skmStrafeLeft:
            g->tempVect[0] -= 1.0f;
            break;
        case skmStrafeRight:
            g->tempVect[0] += 1.0f;
            break;
        case skmRotateleft:
            g->rots[1] = float(double(g->rots[1]) + 0.15707963267948966);
            g->rotChanged = 1;
            break;
        case skmRotateright:
            g->rots[1] = float(double(g->rots[1]) - 0.15707963267948966);
            g->rotChanged = 1;
            break;
        case skmJump:
            g->jumping = 1;
            break;
        default:
            ent->editType = slot - skmHotBar0;
            break;
        }
    }
    if (!nonZero(g->tempVect)) return;
    float mat[16] = {};
    if (ent->ruleSet == 0) {
        yRotMatrix4(mat, g->rots[1]);
        matVect3Mult(mat, g->tempVect, g->tempVect);
        vectNormalize(g->tempVect, 3);
    } else if (ent->ruleSet == 1) {
        xRotMatrix4(mat, g->rots[0]);
        matVect3Mult(mat, g->tempVect, g->tempVect);
        yRotMatrix4(mat, g->rots[1]);
        matVect3Mult(mat, g->tempVect, g->tempVect);
    }
}

static void moveEntity(veskEntity* ent) {
    veskGravity* g = ent->gravMem;
    if (ent->ruleSet == 0) {
        g->locChanged = 0;
        if (!g->terArray[0]) return; // placed beyond the world's border: it never moves
        makeMoveVect(g);
        g->midMoveSpeed = g->curMoveSpeed;
        if (g->midMoveSpeed != 0.0f) {
            float before[3];
            memcpy(before, g->position, sizeof before);
            gravMoveStart(g, terList);
            if (!vectVectSame(before, g->position, 3)) g->locChanged = 1;
        }
    } else if (ent->ruleSet == 1) {
        if (nonZero(g->tempVect)) {
            float before[3];
            memcpy(before, g->position, sizeof before);
            for (int i = 0; i < 3; i++)
                g->position[i] += g->tempVect[i];
            g->locChanged = 1;
            if (!offChunkCheck(g)) { // the world's border: no step beyond it
                memcpy(g->position, before, sizeof before);
                g->locChanged = 0;
            }
        }
    }
}

void gameTic() {
    receiveAll();

    for (ArrayList* l = profList; l; l = l->next)
        for (int i = 0; i < l->filled; i++) {
            veskProfile* pro = reinterpret_cast<veskProfile**>(l->data)[i];
            if (pro->stage != psNotConn) applyKeys(pro);
        }

    for (ArrayList* l = entList; l; l = l->next)
        for (int i = 0; i < l->filled; i++)
            moveEntity(reinterpret_cast<veskEntity**>(l->data)[i]);

    gatherTickChanges();
    for (ArrayList* l = profList; l; l = l->next)
        for (int i = 0; i < l->filled; i++) {
            veskProfile* pro = reinterpret_cast<veskProfile**>(l->data)[i];
            if (pro->stage == psGame)
                ticlyOutGame(pro);
            else if (pro->stage != psNotConn)
                ticlyTimeOut(pro);
        }
    forgetTickChanges();

    for (ArrayList* l = entList; l; l = l->next)
        for (int i = 0; i < l->filled; i++) {
            veskGravity* g = reinterpret_cast<veskEntity**>(l->data)[i]->gravMem;
            g->locChanged = 0;
            g->rotChanged = 0;
        }

    for (ArrayList* l = terList; l; l = l->next)
        for (int i = 0; i < l->filled; i++)
            arrayListClear(reinterpret_cast<veskTerrain**>(l->data)[i]->movedVerts);
}

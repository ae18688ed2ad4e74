// The receive dispatcher: it classifies each datagram by type and length and hands it on.
// A message's length is checked before any of its fields is read: fixed-length messages
// by their exact length, the sub-messages of a game tick through a bounds-checked reader.
#include <arpa/inet.h>
#include <cmath>
#include <cstring>

#include "bytes.h"
#include "sessions.h"
#include "world/brushes.h"
#include "world/tolp.h"

static void wakeUp(sockaddr_in* from, socklen_t fromLen) {
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from->sin_addr, address, sizeof address);
    protocolEntry("Wake Up", "Wake Up: (%s)", address);
    byteWriter w = newDatagram();
    putU8(&w, soWakeup);
    if (sendDatagram(from, fromLen, &w) <= 0) traceLine("send Failed");
}

static int allFinite(const float* v, int n) {
    for (int i = 0; i < n; i++)
        if (!std::isfinite(v[i])) return 0;
    return 1;
}

// The sub-messages of a game tick, back to back from byte 17. One that does not fit in
// what is left of the datagram ends the handling; what came before stays applied.
static void gameTicSubMessages(veskProfile* pro, byteReader* r) {
    veskEntity* ent = profEntity(pro);
    if (!ent) return;
    veskGravity* g = ent->gravMem;
    while (bytesLeft(r) > 0) {
        int at = int(r->pos);
        int kind = readU8(r);
        if (kind == cosKey) {
            int32_t n = readIntBE(r);
            if (r->overread) return;
            for (int32_t i = 0; i < n; i++) {
                if (bytesLeft(r) < 5) return; // the count is never trusted
                int32_t slot = readIntBE(r);
                int action = readU8(r);
                if (slot < 0 || slot >= numServKeyMaps) continue;
                if (action == 1) pro->keyMapBuf[slot] = 1;
                if (action == 2) pro->keyMapBuf[slot] = 0;
            }
        } else if (kind == cosMouse) {
            if (bytesLeft(r) < 25) return;
            float loc[3], ray[3];
            readFloatsLE(r, loc, 3);
            readFloatsLE(r, ray, 3);
            int id = readU8(r);
            if (pro->picksThisTick >= maxPicksPerTick || receiveBudgetSpent()) {
                traffic.totals.picksIgnored++;
                continue;
            }
            pro->picksThisTick++;
            tracef("ticly Ray (%d ->\n", at);
            sayVect("loc", loc, 3);
            sayVect("ray", ray, 3);
            vectScaleTo(ray, 0.6f, 3);
            if (id == 0) terEditNew(loc, ray, g, 1, ent->editType);
            if (id == 1) terEditNew(loc, ray, g, 0, ent->editType);
        } else if (kind == cosSetRots) {
            if (bytesLeft(r) < 12) return;
            float rots[3];
            readFloatsLE(r, rots, 3);
            tracef("bufIndex: %d\n", at);
            // A non-finite angle would turn every later move of the entity into NaN.
            if (!allFinite(rots, 3)) continue;
            sayVect("preR", g->rots, 3);
            memcpy(g->rots, rots, sizeof rots);
            sayVect("postR", g->rots, 3);
            g->rotChanged = 1;
        } else {
            return;
        }
    }
}

static int sameSender(const sockaddr_in* a, const sockaddr_in* b) {
    return a->sin_family == b->sin_family && a->sin_port == b->sin_port &&
           a->sin_addr.s_addr == b->sin_addr.s_addr;
}

// The session a keyed datagram speaks for. A key counts only from the address and port
// that logged in with it: a key seen elsewhere (a guess, a capture) steers nothing.
static veskProfile* sessionOf(const unsigned char* buff, const sockaddr_in* from) {
    veskProfile* pro = keyToProf(buff + 1);
    return pro && sameSender(&pro->profAddr, from) ? pro : nullptr;
}

void ticlyIn(unsigned char* buff, int length, sockaddr_in* remaddr, socklen_t addrlen) {
    if (length < 1) return;
    byteReader r = makeReader(buff, size_t(length));
    int type = readU8(&r);
    if (type == coWakeup) {
        wakeUp(remaddr, addrlen);
    } else if (type == coNewAccount || type == coLogin) {
        // Each costs a password hash: served after the tick's other datagrams.
        if (length == (type == coNewAccount ? newAccountLen : loginLen))
            queueAccountRequest(buff, length, remaddr);
    } else if (type == coUpdate) {
        tracef("coUpdate: %d (getTic: %d)\n", coUpdate, int(getTicks()));
        if (length != sessionHeadLen) return;
        veskProfile* pro = sessionOf(buff, remaddr);
        if (!pro) return;
        protocolEntry("coReturn", "coReturn");
        pro->failCount = 0;
        pro->lastRecv = getTicks();
        protocolEntry("Update: Profile", "Update: Profile (stage: %d)", pro->stage);
        handshakeStep(pro);
    } else if (type == coGameTic) {
        if (length < sessionHeadLen) return; // no complete key
        veskProfile* pro = sessionOf(buff, remaddr);
        // Game input acts only in the game; during the handshake it would walk an entity
        // nobody sees and keep a stalled handshake from timing out.
        if (!pro || pro->stage != psGame) return;
        pro->failCount = 0;
        pro->lastRecv = getTicks();
        readBytes(&r, keyLen);
        gameTicSubMessages(pro, &r);
    } else if (type == coDisconnect) {
        if (length < sessionHeadLen) return;
        veskProfile* pro = sessionOf(buff, remaddr);
        if (pro) profDisconnect(pro);
    }
}

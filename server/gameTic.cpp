// The game tick, in its fixed order: receive at most one datagram and dispatch it, turn
// held keys into motion requests, move every entity, let every session send, and clear
// the per-tick change marks that the sending read.
#include <cstring>
#include <sys/socket.h>

#include "tolp.h"
#include "veskServer.h"

int recvlen = 0;

static int nonZero(const float* v) {
    return !(v[0] == 0.0f && v[1] == 0.0f && v[2] == 0.0f);
}

// Datagrams taken in one tick. One a tick, as the tick was first laid out, serves at most
// twenty a second for everybody together: some twenty players sending the least that
// keeps a session alive already fill it, and one client sending fast starves all others
// until their sessions time out. So the tick takes what has arrived, in arrival order,
// within a count and a time budget that keep the tick far inside its 50 ms.
int maxDatagramsPerTick = 64;
int receiveBudgetMs = 20;

static int receiveOne() {
    recvlen =
        int(recvfrom(mysocket, buf, bufSize, 0, reinterpret_cast<sockaddr*>(&remaddr), &addrlen));
    if (recvlen <= 0) return 0;
    buf[recvlen] = 0;
    tracef("received message: (%d bytes) (%02X first) (%02X postKey)\n", recvlen, buf[0], buf[17]);
    ticlyIn(buf, recvlen, &remaddr, addrlen);
    return 1;
}

static void receiveAll() {
    uint32_t start = getTicks();
    for (int n = 0; n < maxDatagramsPerTick; n++) {
        if (!receiveOne()) return;
        if (getTicks() - start >= uint32_t(receiveBudgetMs)) return;
    }
}

// Held keys become this tick's request: walkers at unit strength along their heading,
// free movers along their full view direction.
static void applyKeys(veskProfile* pro) {
    veskEntity* ent = profEntity(pro);
    if (!ent) return;
    veskGravity* g = ent->gravMem;
    memset(g->tempVect, 0, sizeof g->tempVect);
    g->jumping = 0;
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
            for (int i = 0; i < 3; i++)
                g->position[i] += g->tempVect[i];
            g->locChanged = 1;
            offChunkCheck(g);
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

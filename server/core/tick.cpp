// One serving tick, in its fixed order: take the datagrams that have arrived and dispatch
// them (the receive step), turn held keys into motion requests, move every entity, let
// every session send, clear the per-tick marks the sending read; then the housekeeping.
#include <cstring>
#include <vector>

#include "core.h"
#include "operator/operator.h"
#include "save/save.h"
#include "sessions/sessions.h"
#include "tolp.h"
#include "world/world.h"

static int nonZero(const float* v) {
    return !(v[0] == 0.0f && v[1] == 0.0f && v[2] == 0.0f);
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
            gravMoveStart(g, world.terList);
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

// Every account with a session, in list order, then the pending ones in the order they
// were made.
template <typename F> static void forEachSession(F f) {
    for (veskProfile* pro : arrayListItems<veskProfile>(sessions.profList))
        if (pro->stage != psNotConn) f(pro);
    for (veskProfile* pro : std::vector<veskProfile*>(pendingAccounts()))
        if (pro->stage != psNotConn) f(pro);
}

void gameTic() {
    receiveDatagrams();

    forEachSession(applyKeys);

    for (veskEntity* ent : arrayListItems<veskEntity>(world.entList))
        moveEntity(ent);

    gatherTickChanges();
    forEachSession([](veskProfile* pro) {
        if (pro->stage == psGame)
            ticlyOutGame(pro);
        else
            ticlyTimeOut(pro);
    });
    forgetTickChanges();

    for (veskEntity* ent : arrayListItems<veskEntity>(world.entList)) {
        ent->gravMem->locChanged = 0;
        ent->gravMem->rotChanged = 0;
    }

    clearMovedVerts();
}

// Everything a tick does counts in its time: the game tick, the operator's channels, the
// access lists' files, the save's slice, and what the event step served since the last tick.
void serveTick() {
    double t0 = steadyMs();
    gameTic();
    uint32_t now = getTicks();
    serveControl(now);
    serveAccessLists();
    serveSaves(now);
    countTick(steadyMs() - t0 + takeEventWorkMs());
}

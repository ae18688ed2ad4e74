// The session stage machine: the stop-and-wait handshake driven by acknowledgements,
// resends after a second of silence, keep-alive polls in the game, and disconnection.
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "sessions.h"

// An entry about the session's account: the system's text, then who.
static void sessionEntry(veskProfile* pro, const char* kind, const char* text) {
    char who[300];
    whoText(pro->username, &pro->profAddr, who, sizeof who);
    datagramEntry(kind, "%s (%s)", text, who);
}

static void enterStage(veskProfile* pro, int stage) {
    pro->stage = stage;
    pro->curCounter = 0;
    pro->oldCounter = 0;
}

// The entity stops where it is: no request, no held keys, no jump.
static void stopControlledEntity(veskProfile* pro) {
    veskEntity* ent = profEntity(pro);
    if (ent) {
        memset(ent->gravMem->tempVect, 0, sizeof ent->gravMem->tempVect);
        ent->gravMem->jumping = 0;
    }
    memset(pro->keyMapBuf, 0, sizeof pro->keyMapBuf);
}

void handshakeStep(veskProfile* pro) {
    switch (pro->stage) {
    case psKeyWait:
        sessionEntry(pro, "Log In: Completed", "Log In: Completed + Confirmed");
        enterStage(pro, psTerWait);
        break;
    case psTerWait:
        if (pro->curCounter < chunkCount(world.terList)) {
            pro->oldCounter = pro->curCounter;
            initSendTers(pro);
        } else {
            protocolEntry("doneSendingChunks", "doneSendingChunks");
            enterStage(pro, psEntWait);
            // Entities made meanwhile (every login makes one) would keep the stage going
            // for as long as players arrive: it sends those there are now.
            pro->entitiesToSend = entityCount(world.entList);
            sendEnts(pro);
        }
        break;
    case psEntWait:
        if (pro->curCounter < pro->entitiesToSend) {
            pro->oldCounter = pro->curCounter;
            traceLine("wait, fail, resend");
            sendEnts(pro);
        } else {
            protocolEntry("doneSendingEnts", "doneSendingEnts");
            enterStage(pro, psCapWait);
            traceLine("sendCapstone from data input");
            sendPoUpdate(pro);
        }
        break;
    case psCapWait:
        protocolEntry("doneSendingCap", "doneSendingCap");
        enterStage(pro, psGame);
        confirmAccount(pro, 0); // the key came back: the address is the player's own
        break;
    case psGame:
        protocolEntry("received poll", "received poll");
        break;
    }
}

void ticlyTimeOut(veskProfile* pro) {
    uint32_t now = getTicks();
    if (now - pro->lastRecv <= uint32_t(options.returnWaitTime)) return;
    pro->lastRecv = now;
    pro->failCount++;
    if (pro->failCount > options.returnFailMax) {
        char text[64];
        snprintf(text, sizeof text, "Connection Aborted. Stage: (%d)", pro->stage);
        sessionEntry(pro, "Connection Aborted", text);
        sendDisconnect(pro); // a client whose answers were lost learns it at once
        endSession(pro);
        // Input may already have been applied during the handshake; an entity left
        // walking with nobody to stop it would wander and grow the world for ever.
        stopControlledEntity(pro);
        return;
    }
    switch (pro->stage) {
    case psKeyWait:
        sendKey(pro);
        break;
    case psTerWait:
        pro->curCounter = pro->oldCounter;
        initSendTers(pro);
        break;
    case psEntWait:
        pro->curCounter = pro->oldCounter;
        sendEnts(pro);
        break;
    case psCapWait:
        sendPoUpdate(pro);
        protocolEntry("sendCap prof", "sendCap prof");
        break;
    }
}

void ticlyOutGame(veskProfile* pro) {
    if (!pro->confirmed) confirmAccount(pro, 0); // when the tick of its handshake had no hash left
    byteWriter w = newDatagram();
    sendEntsTicly(pro, &w);
    sendNewChunks(pro, &w);
    sendMovedVerts(pro, &w);
    if (w.pos > 1) {
        int sent = sendDatagram(&pro->profAddr, pro->addrLen, &w);
        if (sent < int(w.pos)) traceLine("send Partial");
    }
    uint32_t now = getTicks();
    if (now - pro->lastRecv > uint32_t(options.returnWaitTime) ||
        now - pro->lastSent > uint32_t(options.returnWaitTime)) {
        pro->failCount++;
        if (pro->failCount > options.returnFailMax) {
            sessionEntry(pro, "Connection Aborted", "Connection Aborted [poll]");
            sendDisconnect(pro);
            profDisconnect(pro);
        } else {
            sendPoUpdate(pro);
            protocolEntry("sendPoll prof", "sendPoll prof");
            pro->lastSent = now;
        }
    }
}

void sendPoUpdate(veskProfile* pro) {
    byteWriter w = newDatagram();
    putU8(&w, soUpdate);
    if (sendDatagram(&pro->profAddr, pro->addrLen, &w) < 1) traceLine("send Partial");
}

void sendDisconnect(veskProfile* pro) {
    byteWriter w = newDatagram();
    putU8(&w, soDisconnect);
    putBytes(&w, pro->key, keyLen); // a client believes only a disconnect with its own key
    if (sendDatagram(&pro->profAddr, pro->addrLen, &w) < 1) traceLine("send Partial");
}

void profDisconnect(veskProfile* prof) {
    endSession(prof);
    sessionEntry(prof, "Disconnected", "Disconnected");
    stopControlledEntity(prof);
}

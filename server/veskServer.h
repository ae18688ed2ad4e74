// The server's shared header: protocol enumerations and wire values, the account record,
// the process-wide state, and the functions of each server file, listed per file.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "../libs/veskArrayList.h"
#include "clock.h"
#include "log.h"
#include "veskEntity.h"
#include "veskGravity.h"
#include "veskTerrain.h"

// ---------------------------------------------------------------------------------------
// Protocol enumerations (values are the wire values)

enum clientOutput {
    coWakeup = 0,
    coNewAccount = 1,
    coLogin = 2,
    coDisconnect = 3,
    coUpdate = 4,
    coGameTic = 5,
    coNumOutputs = 6
};

enum serverOutput {
    soWakeup = 0,
    soNewGood = 1,
    soNewBad = 2,
    soLogGood = 3,
    soLogBad = 4,
    soInitTer = 5,
    soInitEnt = 6,
    soDisconnect = 7,
    soUpdate = 8,
    soTerUpdate = 9,
    soEntUpdate = 10,
    soNumOutputs = 11
};

enum clientOutSub { cosKey = 0, cosMouse = 1, cosSetRots = 2 };

enum profStage {
    psNotConn = 0,
    psKeyWait = 1,
    psTerWait = 2,
    psEntWait = 3,
    psCapWait = 4,
    psGame = 5,
    numProfStage = 6
};

enum servKeyMap {
    skmWalkForward = 0,
    skmWalkBackwards = 1,
    skmStrafeLeft = 2,
    skmStrafeRight = 3,
    skmRotateleft = 4,
    skmRotateright = 5,
    skmJump = 6,
    skmHotBar0 = 7,
    skmHotBar1 = 8,
    skmHotBar2 = 9,
    skmHotBar3 = 10,
    skmHotBar4 = 11,
    skmHotBar5 = 12,
    numServKeyMaps = 13
};

enum entSubIds { soEntLoc = 0, soEntRot = 1 };
enum terSubIds { soTerVertMove = 0, soTerVertAdd = 1, soTerFaceAdd = 2 };

// Fixed message sizes.
constexpr int keyLen = 16;
constexpr int textLen = 256; // username and password fields
constexpr int newAccountLen = 1 + 2 * textLen;
constexpr int loginLen = newAccountLen + 4;
constexpr int sessionHeadLen = 1 + keyLen; // type byte and session key
constexpr int logGoodLen = 25;
constexpr int chunkHeadLen = 16; // cx, cy, vertex count, face count
constexpr int entRecordLen = 44;
static_assert(newAccountLen == 513 && loginLen == 517 && sessionHeadLen == 17);

// ---------------------------------------------------------------------------------------
// Accounts

struct veskProfile {
    unsigned char username[textLen]; // 0-terminated unless all 256 bytes are used
    unsigned char password[textLen];
    int stage;      // profStage
    int oldCounter; // items acknowledged when the batch in flight was sent
    int curCounter; // items gone through in the current stage
    int failCount;  // time-outs since the client was last heard
    int entity;     // index in entList of the controlled entity
    int terRadius;  // view radius in chunks
    unsigned char key[keyLen];
    sockaddr_in profAddr;
    socklen_t addrLen;
    int keyMapBuf[numServKeyMaps];
    uint32_t lastRecv;
    uint32_t lastSent;
};

// ---------------------------------------------------------------------------------------
// Process-wide state

constexpr int bufSize = 12000;         // largest datagram, in either direction
extern unsigned char buf[bufSize + 1]; // one more for the 0 after a received datagram
extern int bufIndex;

extern int servPort; // 2300
extern int mysocket;
extern socklen_t addrlen;
extern sockaddr_in remaddr;
extern int recvlen;

extern ArrayList* profList; // veskProfile*
extern ArrayList* terList;  // veskTerrain*
extern ArrayList* entList;  // veskEntity*

extern const char* dirProf;
extern const char* dirWorld;
extern const char* dirEntity;
extern int spawnR;
extern int terEdge;
extern float terScale;
extern int servOn;

extern int returnWaitTime;
extern int returnFailMax;

// ---------------------------------------------------------------------------------------
// startup.cpp: opening and closing the endpoint, building and saving the world

int initServ(); // 1 when the endpoint is open, 0 when it could not be opened
void initGame();
void saveGame();    // saves accounts and world when they exist
void releaseGame(); // closes the endpoint and frees the lists
int startServer();  // Start: endpoint, then world; 1 on success
void stopServer();  // Stop: save, close, release

// tickClock.cpp: the 20-per-second clock with catch-up
extern int ticksPerSecond;
extern int mpt;
extern uint32_t nextTick;
extern uint32_t lastSec;
extern uint32_t ticksThisSecond;
extern int running;
int tickDue(uint32_t now); // 1 when a tick is due at `now` (and accounted for)

// headless.cpp
int runHeadless(); // process exit status

// gameTic.cpp
void gameTic();

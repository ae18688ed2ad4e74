// The protocol header: what every datagram between the server and its clients is made of,
// the message types and their sub-messages, the session stages, the key slots and the
// fixed sizes, with their wire values. Shared by the server and any client of it.
#pragma once

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
// Each stage's name as the operator's list and the live page show it.
inline constexpr const char* stageNames[numProfStage] = {"none",     "key",  "terrain",
                                                         "entities", "mark", "game"};

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
constexpr int bufSize = 12000; // largest datagram, in either direction
static_assert(newAccountLen == 513 && loginLen == 517 && sessionHeadLen == 17);

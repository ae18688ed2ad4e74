// The client's side of the datagrams: a builder for every message a client sends, written
// through the bounded writer, and a strict reader for every message the server sends, which
// refuses anything short, over-long, non-finite or with counts beyond the bytes present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "veskServer.h"

// --- what the server sends ---------------------------------------------------------------

// A terrain vertex as it travels: position relative to its chunk's centre, texture index.
struct wireVert {
    float loc[3];
    int32_t texi;
};
static_assert(sizeof(wireVert) == 16, "a vertex is copied whole from the wire");

// A chunk record: its coordinates, vertices and faces (three vertex indices each).
struct chunkRec {
    int32_t cx = 0, cy = 0;
    std::vector<wireVert> verts;
    std::vector<int32_t> faces;
};

// An entity record of the handshake's entity batches.
struct entRecord {
    int32_t id = 0, model = 0;
    float scale = 0, pos[3] = {}, rots[3] = {};
    int32_t cx = 0, cy = 0;
};
static_assert(entRecordLen == 4 * 11, "id, model, scale, position, angles, chunk");

// An entity update of the in-game datagram: a new place, new view angles, or both.
struct entUpdate {
    int32_t id = 0, cx = 0, cy = 0;
    bool hasLoc = false, hasRot = false;
    float pos[3] = {}, rots[3] = {};
};

// One moved vertex of a chunk update record.
struct vertMove {
    int32_t cx = 0, cy = 0, index = 0;
    wireVert vert = {};
};

// What the server streamed, appended datagram after datagram by the readers below.
struct gameStream {
    std::vector<entUpdate> ents;     // in-game entity updates
    std::vector<chunkRec> chunks;    // terrain batches and newly visible chunks
    std::vector<vertMove> moves;     // moved vertices
    std::vector<entRecord> entities; // entity batches
    int chunkUpdateRecords = 0;
};

// Empties the stream for the next datagram; what it holds keeps its room.
void clearStream(gameStream* s);

// The login's answer: the session key, the player's entity and the terrain's scale.
struct logGoodMsg {
    unsigned char key[keyLen];
    int32_t entity;
    float terScale;
};
static_assert(logGoodLen == 1 + keyLen + 4 + 4, "type, key, entity, scale");

// Each reader returns 1 when the whole datagram is well formed, else 0 with the reason in
// *why (when why is not null); what it read before the fault may be left in `out`.
int readLogGood(const unsigned char* d, size_t len, logGoodMsg* out, const char** why);
// A terrain batch of the handshake: soInitTer, a count, then that many chunks, nothing more.
int readTerBatch(const unsigned char* d, size_t len, gameStream* out, const char** why);
// An entity batch of the handshake: soInitEnt, then whole entity records to the end.
int readEntBatch(const unsigned char* d, size_t len, gameStream* out, const char** why);
// The in-game datagram: entity updates, new chunks, chunk updates; each block at most once,
// in that order, none empty.
int readGameDatagram(const unsigned char* d, size_t len, gameStream* out, const char** why);
// 1 when the datagram is a soDisconnect carrying `key`: only then may a client believe it.
int readDisconnect(const unsigned char* d, size_t len, const unsigned char* key);
// 1 when the datagram is the one byte `type` (soNewGood, soNewBad, soLogBad, soUpdate, ...).
int isBare(const unsigned char* d, size_t len, int type);

// --- what a client sends -------------------------------------------------------------------

enum keyAction { kaPress = 1, kaRelease = 2 };

struct keyChange {
    int32_t slot; // a servKeyMap
    int action;   // a keyAction
};

constexpr int keyEntryLen = 5;           // slot, action
constexpr int mouseLen = 1 + 6 * 4 + 1;  // kind, eye, ray, button
constexpr int viewAnglesLen = 1 + 3 * 4; // kind, angles
static_assert(mouseLen == 26 && viewAnglesLen == 13);

// Each returns 1 when everything fitted, else 0 (the writer's overflow flag is set).
int putWakeup(byteWriter* w);
// Names and passwords are cut at 256 bytes and padded with zeros to 256.
int putNewAccount(byteWriter* w, std::string_view name, std::string_view pass);
int putLogin(byteWriter* w, std::string_view name, std::string_view pass, int32_t radius);
// coUpdate (an acknowledgement or an answer to a poll), coGameTic or coDisconnect, with the key.
int putSessionHead(byteWriter* w, int type, const unsigned char* key);
// The sub-messages of a game tick, after its head.
int putKeyList(byteWriter* w, const keyChange* changes, int n);
int putKeyListHead(byteWriter* w, int32_t count); // a list's head alone, for lists made by hand
int putKeyEntry(byteWriter* w, int32_t slot, int action);
int putMouse(byteWriter* w, const float* eye, const float* ray, int button);
int putViewAngles(byteWriter* w, const float* rots);

// A strict reader of the in-game datagrams the server sends, as a careful client would
// read them: every count checked against the bytes present, every float finite,
// blocks of the in-game datagram in their order, nothing left over, nothing over 12000 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veskTerrain.h"

struct chunkRec {
    int cx = 0, cy = 0;
    std::vector<vertTex> verts;
    std::vector<int32_t> faces;
};

struct entUpdate {
    int id = 0, cx = 0, cy = 0;
    bool hasLoc = false, hasRot = false;
    float pos[3] = {}, rots[3] = {};
};

struct vertMove {
    int cx = 0, cy = 0, index = 0;
    vertTex vert = {};
};

struct gameStream {
    std::vector<entUpdate> ents;
    std::vector<chunkRec> chunks;
    std::vector<vertMove> moves;
    int chunkUpdateRecords = 0;
};

// False, with the reason, on the first thing a strict client would refuse.
bool parseGameDatagram(const std::vector<unsigned char>& d, gameStream* out, std::string* why);

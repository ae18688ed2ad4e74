// The world: its chunks and entities, with the indexes kept beside their lists, whether it
// is served, the version the live page follows, the chunks whose vertices brushes moved this
// tick, and the tuning of its physics. One record, `world`, made at Start and released at
// Stop (the lists; the tuning stays).
#pragma once

#include <cstdint>
#include <vector>

#include "probeTable.h"
#include "veskArrayList.h"
#include "veskEntity.h"
#include "veskGravity.h"
#include "veskTerrain.h"

// A chunk list's index: its chunks in list order, and a table by coordinates (the first
// chunk with given coordinates is the one found).
struct chunkListIndex {
    ArrayList* list; // the chunk list indexed, null when the entry is free
    ArrayList* last; // its last block known: appending starts there
    std::vector<veskTerrain*> byPosition;
    probeTable<uint64_t, veskTerrain*> byCoords;
};

// An entity list's table: its entities in list order, caught up with its end at each look-up,
// and the retired ones, to be given to new players.
struct entityTable {
    ArrayList* list;
    arrayListCursor<veskEntity> next;
    std::vector<veskEntity*> at;
    std::vector<int> retired;
};

struct worldState {
    ArrayList* terList; // veskTerrain*: the chunks
    ArrayList* entList; // veskEntity*: the entities
    int servOn;         // a Start made it, and no Stop released it yet
    // Stop and Start make a new world; what refers to the old one checks this.
    uint32_t servingGeneration;
    // Moves on whenever a chunk is made or changed: the live page asks for what is newer.
    uint32_t worldVersion;
    // A few lists at a time: the server's world, and those of the map tool and tests.
    chunkListIndex indexes[4];
    int nextEvicted;
    entityTable entities;
    // Chunks given moved vertices this tick, in the order they got them, and the chunks
    // made this tick (the world grows around walkers), for the clients that see them.
    std::vector<veskTerrain*> movedChunks;
    std::vector<veskTerrain*> madeChunks;
    // Told before a chunk's vertices change: a save under way copies the chunk as it was.
    void (*beforeChange)(veskTerrain* ter);
    gravityTuning physics;
};
extern worldState world;

// The world released: its chunks and entities freed, its indexes and marks forgotten, and
// a new generation for what still refers to it.
void resetWorld();

// Whoever is about to change a chunk's vertices says so first.
void chunkWillChange(veskTerrain* ter);
// A vertex a brush moved (or painted), for the tick's stream: added to its chunk's
// movedVerts (once only, with `unique`); clearMovedVerts empties them all at the tick's end,
// and forgets the chunks made in the tick.
void noteMovedVert(veskTerrain* ter, int32_t vert, int unique);
void clearMovedVerts();

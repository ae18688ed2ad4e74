// The world record and its release; the notes brushes leave on chunks they change: the
// version the live page follows, the hook a save under way copies chunks through, and the
// moved vertices the tick's stream reads.
#include "world.h"

worldState world = {nullptr, nullptr, 0,  0,  0,       {},
                    0,       {},      {}, {}, nullptr, gravityTuning{10.0f, 5, 1, 10, 0, 1, 0}};

void chunkWillChange(veskTerrain* ter) {
    ter->mapVersion = ++world.worldVersion;
    if (world.beforeChange) world.beforeChange(ter);
}

void noteMovedVert(veskTerrain* ter, int32_t vert, int unique) {
    if (ter->movedVerts->filled == 0 && !ter->movedVerts->next) world.movedChunks.push_back(ter);
    if (unique)
        arrayListAddUnique(ter->movedVerts, &vert);
    else
        arrayListAddEnd(ter->movedVerts, &vert);
}

void clearMovedVerts() {
    for (veskTerrain* ter : world.movedChunks)
        arrayListClear(ter->movedVerts);
    world.movedChunks.clear();
    world.madeChunks.clear();
}

void resetWorld() {
    clearMovedVerts(); // before the chunks that hold them go
    freeTerList(world.terList);
    freeEntList(world.entList);
    world.terList = world.entList = nullptr;
    world.movedChunks = std::vector<veskTerrain*>();
    world.madeChunks = std::vector<veskTerrain*>();
    world.beforeChange = nullptr;
    world.servOn = 0;
    world.servingGeneration++;
}

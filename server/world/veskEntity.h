// Entities of the world: the record, creation of an entity with the default movement
// values, and the entity list.
#pragma once

#include "veskArrayList.h"
#include "veskGravity.h"

struct veskEntity {
    int globalId;   // identifier sent to clients; equals the index in entList
    int ruleSet;    // 0 ground walker, 1 free mover, other values never move
    int modelIndex; // model the clients draw
    float scale;
    int editType; // brush chosen with the hot-bar keys
    veskGravity* gravMem;
    int retired; // its account was removed: never moved, streamed or saved again
};

// A new entity at `position` in chunk (0, 0) with the default speeds, appended to
// `entList` with globalId = its index. Not yet placed on the terrain.
veskEntity* addDefaultEntity(ArrayList* entList, int ruleSet, const float* position);

// The entity at `index` of the list, or null beyond its end, and the list's length, in
// constant time.
veskEntity* entityAt(ArrayList* entList, int index);
int entityCount(ArrayList* entList);

// An entity whose account is gone: it stays in the list, so that no other entity's index
// changes, but leaves the world until reviveEntity gives it to a new player.
void retireEntity(ArrayList* entList, veskEntity* ent);
// A retired entity of the list made anew with the default values at `position`, not placed
// yet, or null when none is retired.
veskEntity* reviveEntity(ArrayList* entList, int ruleSet, const float* position);

void freeEntList(ArrayList* entList);

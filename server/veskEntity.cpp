// Entity creation with the default movement values, and release of the entity list.
#include "veskEntity.h"

#include <cstdlib>

veskEntity* addDefaultEntity(ArrayList* entList, int ruleSet, const float* position) {
    veskEntity* ent = static_cast<veskEntity*>(calloc(1, sizeof(veskEntity)));
    veskGravity* g = static_cast<veskGravity*>(calloc(1, sizeof(veskGravity)));
    ent->globalId = arrayListGetLength(entList);
    ent->ruleSet = ruleSet;
    ent->modelIndex = 0;
    ent->scale = 2.0f;
    ent->editType = 0;
    ent->gravMem = g;
    for (int i = 0; i < 3; i++)
        g->position[i] = position[i];
    g->faceIndex = -1;
    g->typeIndex = 7;
    g->maxMoveSpeed = 2.0f;
    g->curMoveSpeed = 0.0f;
    g->addMoveSpeed = 0.4f;
    g->midMoveSpeed = 0.0f;
    g->jumping = 0;
    arrayListAddEndPointer(entList, ent);
    return ent;
}

void freeEntList(ArrayList* entList) {
    int n = arrayListGetLength(entList);
    for (int i = 0; i < n; i++) {
        veskEntity* ent = arrayListGet<veskEntity>(entList, i);
        free(ent->gravMem);
    }
    freeArrayListPointer(entList);
}

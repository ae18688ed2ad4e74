// Entity creation with the default movement values, look-up by index, and release of
// the entity list.
#include "veskEntity.h"

#include "world.h"

#include <cstdlib>
#include <vector>

// Every session finds its entity by index several times a tick; a walk along the list's
// blocks would grow with the number of entities. Entities are only ever appended, so the
// world's table of them catches up with the tail of the list on each look-up.

static void forgetTable() {
    world.entities.list = nullptr;
    world.entities.next = arrayListCursor<veskEntity>{nullptr, 0};
    world.entities.at.clear();
    world.entities.retired.clear();
}

static const std::vector<veskEntity*>& entitiesOf(ArrayList* entList) {
    if (world.entities.list != entList) {
        forgetTable();
        world.entities.list = entList;
        world.entities.next = arrayListCursor<veskEntity>{entList, 0};
    }
    while (veskEntity* ent = arrayListNext(&world.entities.next))
        world.entities.at.push_back(ent);
    return world.entities.at;
}

veskEntity* entityAt(ArrayList* entList, int index) {
    const std::vector<veskEntity*>& at = entitiesOf(entList);
    if (index < 0 || size_t(index) >= at.size()) return nullptr;
    return at[size_t(index)];
}

int entityCount(ArrayList* entList) {
    return entList ? int(entitiesOf(entList).size()) : 0;
}

// The default values of a new entity, on a zeroed record.
static void initEntity(veskEntity* ent, veskGravity* g, int ruleSet, const float* position) {
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
}

veskEntity* addDefaultEntity(ArrayList* entList, int ruleSet, const float* position) {
    veskEntity* ent = static_cast<veskEntity*>(calloc(1, sizeof(veskEntity)));
    veskGravity* g = static_cast<veskGravity*>(calloc(1, sizeof(veskGravity)));
    ent->globalId = entityCount(entList);
    initEntity(ent, g, ruleSet, position);
    arrayListAddEndPointer(entList, ent);
    return ent;
}

void retireEntity(ArrayList* entList, veskEntity* ent) {
    if (ent->retired) return;
    ent->retired = 1;
    ent->ruleSet = -1; // never moved
    ent->gravMem->locChanged = 0;
    ent->gravMem->rotChanged = 0;
    if (entityAt(entList, ent->globalId) == ent) world.entities.retired.push_back(ent->globalId);
}

veskEntity* reviveEntity(ArrayList* entList, int ruleSet, const float* position) {
    entitiesOf(entList);
    if (world.entities.retired.empty()) return nullptr;
    veskEntity* ent = world.entities.at[size_t(world.entities.retired.back())];
    world.entities.retired.pop_back();
    veskGravity* g = ent->gravMem;
    int id = ent->globalId;
    *ent = veskEntity{};
    *g = veskGravity{};
    ent->globalId = id;
    initEntity(ent, g, ruleSet, position);
    return ent;
}

void freeEntList(ArrayList* entList) {
    if (world.entities.list == entList) forgetTable();
    for (veskEntity* ent : arrayListItems<veskEntity>(entList))
        free(ent->gravMem);
    freeArrayListPointer(entList);
}

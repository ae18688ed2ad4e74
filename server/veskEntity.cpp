// Entity creation with the default movement values, look-up by index, and release of
// the entity list.
#include "veskEntity.h"

#include <cstdlib>
#include <vector>

// Every session finds its entity by index several times a tick; a walk along the list's
// blocks would grow with the number of entities. Entities are only ever appended, so a
// table of them catches up with the tail of the list on each look-up.
struct entityTable {
    ArrayList* list;
    arrayListCursor<veskEntity> next;
    std::vector<veskEntity*> at;
    std::vector<int> retired; // indices, to be given to new players
};
static entityTable table;

static void forgetTable() {
    table.list = nullptr;
    table.next = arrayListCursor<veskEntity>{nullptr, 0};
    table.at.clear();
    table.retired.clear();
}

static const std::vector<veskEntity*>& entitiesOf(ArrayList* entList) {
    if (table.list != entList) {
        forgetTable();
        table.list = entList;
        table.next = arrayListCursor<veskEntity>{entList, 0};
    }
    while (veskEntity* ent = arrayListNext(&table.next))
        table.at.push_back(ent);
    return table.at;
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
    if (entityAt(entList, ent->globalId) == ent) table.retired.push_back(ent->globalId);
}

veskEntity* reviveEntity(ArrayList* entList, int ruleSet, const float* position) {
    entitiesOf(entList);
    if (table.retired.empty()) return nullptr;
    veskEntity* ent = table.at[size_t(table.retired.back())];
    table.retired.pop_back();
    veskGravity* g = ent->gravMem;
    int id = ent->globalId;
    *ent = veskEntity{};
    *g = veskGravity{};
    ent->globalId = id;
    initEntity(ent, g, ruleSet, position);
    return ent;
}

void freeEntList(ArrayList* entList) {
    if (table.list == entList) forgetTable();
    for (veskEntity* ent : arrayListItems<veskEntity>(entList))
        free(ent->gravMem);
    freeArrayListPointer(entList);
}

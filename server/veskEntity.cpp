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
    ArrayList* lastBlock;
    int lastFilled;
    std::vector<veskEntity*> at;
};
static entityTable table;

static void forgetTable() {
    table.list = table.lastBlock = nullptr;
    table.lastFilled = 0;
    table.at.clear();
}

veskEntity* entityAt(ArrayList* entList, int index) {
    if (table.list != entList) {
        forgetTable();
        table.list = table.lastBlock = entList;
    }
    for (ArrayList* b = table.lastBlock; b; b = b->next) {
        veskEntity** ents = reinterpret_cast<veskEntity**>(b->data);
        for (int i = b == table.lastBlock ? table.lastFilled : 0; i < b->filled; i++)
            table.at.push_back(ents[i]);
        table.lastBlock = b;
        table.lastFilled = b->filled;
    }
    if (index < 0 || size_t(index) >= table.at.size()) return nullptr;
    return table.at[size_t(index)];
}

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
    if (table.list == entList) forgetTable();
    int n = arrayListGetLength(entList);
    for (int i = 0; i < n; i++) {
        veskEntity* ent = arrayListGet<veskEntity>(entList, i);
        free(ent->gravMem);
    }
    freeArrayListPointer(entList);
}

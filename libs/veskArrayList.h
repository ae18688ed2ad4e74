// The one container of the system: an ordered list of fixed-size elements kept in a
// chain of fixed-capacity blocks, so element addresses never move while the list grows.
// Used as a pointer list, an int list or a value list, by the caller's convention.
#pragma once

#include <cstdint>
#include <cstdio>

struct ArrayList {
    int32_t filled;      // elements stored in this block
    int32_t numElements; // capacity of this block
    int32_t elementSize; // bytes per element
    unsigned char* data; // numElements * elementSize bytes
    ArrayList* next;     // following block of the same list
};

ArrayList* initArrayList(int numElements, int elementSize);
void freeArrayList(ArrayList* list);
void freeArrayListPointer(ArrayList* list);

void arrayListAddEnd(ArrayList* list, const void* element);
void arrayListAddEndPointer(ArrayList* list, void* pointer);
// The same, with the walk to the end starting at `from`, any block of the list (the last one
// an owner remembers); the block that now holds the pointer, to start from next time.
ArrayList* arrayListAddEndPointerFrom(ArrayList* from, void* pointer);
void arrayListSet(ArrayList* list, int index, const void* element);
int32_t arrayListGetInt(ArrayList* list, int index);
void* arrayListGetPointer(ArrayList* list, int index);
void* arrayListDataPointer(ArrayList* list, int index);
void* arrayListSwitchPointer(ArrayList* list, int index, void* pointer);
void* arrayListGetEndPointer(ArrayList* list);

int isArrayListSumGreater(ArrayList* list, int limit);
void removeArrayListEnd(ArrayList* list);
void arrayListRemove(ArrayList* list, int index);
int sizeOfArrayList(ArrayList* list);
int arrayListGetLength(ArrayList* list);

void saveArrayListInt(ArrayList* list, FILE* file);
void loadArrayListInt(ArrayList* list, FILE* file);

int arrayListAddUnique(ArrayList* list, const void* element);
int arrayListContain(ArrayList* list, const void* element);

void arrayListDisplay(ArrayList* list);
void arrayListDisplayInt(ArrayList* list);

// Empties a list in place: blocks behind the head are released, the head is kept.
void arrayListClear(ArrayList* list);

// Where a reader of a list that only ever grows at its end has got to; zeroed to start.
struct arrayListTail {
    ArrayList* block;
    int filled;
};
// Hands each pointer appended since the tail (all of them the first time) to `visit`, in
// list order, and moves the tail to the end: indexes of such lists catch up in this way.
void arrayListFollow(ArrayList* list, arrayListTail* tail,
                     void (*visit)(void* element, void* context), void* context);

// Typed view of a pointer list element, for the callers that know what they stored.
template <typename T> inline T* arrayListGet(ArrayList* list, int index) {
    return static_cast<T*>(arrayListGetPointer(list, index));
}

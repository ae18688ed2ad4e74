// The one container of the system: an ordered list of fixed-size elements kept in a
// chain of fixed-capacity blocks, so element addresses never move while the list grows.
// Used as a pointer list, an int list or a value list, by the caller's convention.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

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

// Typed view of a pointer list element, for the callers that know what they stored.
template <typename T> inline T* arrayListGet(ArrayList* list, int index) {
    return static_cast<T*>(arrayListGetPointer(list, index));
}

// The pointers of a pointer list in list order, as T*, block by block without a look-up:
//     for (veskTerrain* ter : arrayListItems<veskTerrain>(terList))
// Elements appended while the loop runs are reached in their turn.
template <typename T> struct arrayListItems {
    ArrayList* list;
    struct iterator {
        ArrayList* block;
        int at;
        void settle() { // past the end of a block: on to the next that holds something
            while (block && at >= block->filled) {
                block = block->next;
                at = 0;
            }
        }
        T* operator*() const { return reinterpret_cast<T**>(block->data)[at]; }
        iterator& operator++() {
            at++;
            settle();
            return *this;
        }
        bool operator!=(const iterator& other) const {
            return block != other.block || at != other.at;
        }
    };
    explicit arrayListItems(ArrayList* l) : list(l) {}
    iterator begin() const {
        iterator i{list, 0};
        i.settle();
        return i;
    }
    iterator end() const { return iterator{nullptr, 0}; }
};

// The values of a value list (an int list: arrayListValues<int32_t>) in list order, copied
// out of the blocks.
template <typename T> struct arrayListValues {
    ArrayList* list;
    struct iterator {
        typename arrayListItems<T>::iterator at;
        T operator*() const {
            T v;
            memcpy(&v, at.block->data + size_t(at.at) * sizeof(T), sizeof(T));
            return v;
        }
        iterator& operator++() {
            ++at;
            return *this;
        }
        bool operator!=(const iterator& other) const { return at != other.at; }
    };
    explicit arrayListValues(ArrayList* l) : list(l) {}
    iterator begin() const { return iterator{arrayListItems<T>(list).begin()}; }
    iterator end() const { return iterator{arrayListItems<T>(list).end()}; }
};

// Where a reader of a pointer list has got to, to go on from there later: a list that grows
// at its end while the reader waits is read on through what was appended. Start it at the
// head: arrayListCursor<T>{list, 0}.
template <typename T> struct arrayListCursor {
    ArrayList* block;
    int at;
};
// The next element, or null when the reader is at the end for now.
template <typename T> inline T* arrayListNext(arrayListCursor<T>* c) {
    while (c->block && c->at >= c->block->filled && c->block->next) {
        c->block = c->block->next;
        c->at = 0;
    }
    if (!c->block || c->at >= c->block->filled) return nullptr;
    return reinterpret_cast<T**>(c->block->data)[c->at++];
}

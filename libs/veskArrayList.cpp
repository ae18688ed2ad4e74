// Chained-block list: growth appends a block of the last block's capacity, storage is
// never reallocated. Index look-ups walk the chain counting each block's `filled`.
#include "veskArrayList.h"

#include <cstdlib>
#include <cstring>

ArrayList* initArrayList(int numElements, int elementSize) {
    if (numElements < 1) numElements = 1; // a zero capacity would never make room
    ArrayList* list = static_cast<ArrayList*>(malloc(sizeof(ArrayList)));
    list->filled = 0;
    list->numElements = numElements;
    list->elementSize = elementSize;
    list->data = static_cast<unsigned char*>(malloc(size_t(numElements) * size_t(elementSize)));
    list->next = nullptr;
    return list;
}

void freeArrayList(ArrayList* list) {
    while (list) {
        ArrayList* next = list->next;
        free(list->data);
        free(list);
        list = next;
    }
}

void freeArrayListPointer(ArrayList* list) {
    while (list) {
        ArrayList* next = list->next;
        void** slots = reinterpret_cast<void**>(list->data);
        for (int i = 0; i < list->filled; i++)
            free(slots[i]);
        free(list->data);
        free(list);
        list = next;
    }
}

// The block that holds element `index`, with `index` reduced to the slot within it.
static ArrayList* locate(ArrayList* list, int* index) {
    if (*index < 0) return nullptr;
    while (list) {
        if (*index < list->filled) return list;
        *index -= list->filled;
        list = list->next;
    }
    return nullptr;
}

// The last block, with a fresh block chained behind it when it is full.
static ArrayList* roomAtEnd(ArrayList* list) {
    while (list->next)
        list = list->next;
    if (list->filled == list->numElements) {
        list->next = initArrayList(list->numElements, list->elementSize);
        list = list->next;
    }
    return list;
}

void arrayListAddEnd(ArrayList* list, const void* element) {
    ArrayList* block = roomAtEnd(list);
    memcpy(block->data + size_t(block->filled) * size_t(block->elementSize), element,
           size_t(block->elementSize));
    block->filled++;
}

void arrayListAddEndPointer(ArrayList* list, void* pointer) {
    arrayListAddEndPointerFrom(list, pointer);
}

ArrayList* arrayListAddEndPointerFrom(ArrayList* from, void* pointer) {
    ArrayList* block = roomAtEnd(from);
    reinterpret_cast<void**>(block->data)[block->filled] = pointer;
    block->filled++;
    return block;
}

void arrayListSet(ArrayList* list, int index, const void* element) {
    ArrayList* block = locate(list, &index);
    if (!block) return;
    memcpy(block->data + size_t(index) * size_t(block->elementSize), element,
           size_t(block->elementSize));
}

int32_t arrayListGetInt(ArrayList* list, int index) {
    ArrayList* block = locate(list, &index);
    if (!block) return 0;
    int32_t value;
    memcpy(&value, block->data + size_t(index) * 4, 4);
    return value;
}

void* arrayListGetPointer(ArrayList* list, int index) {
    ArrayList* block = locate(list, &index);
    if (!block) return nullptr;
    return reinterpret_cast<void**>(block->data)[index];
}

void* arrayListDataPointer(ArrayList* list, int index) {
    ArrayList* block = locate(list, &index);
    if (!block) return nullptr;
    return block->data + size_t(index) * size_t(block->elementSize);
}

void* arrayListSwitchPointer(ArrayList* list, int index, void* pointer) {
    ArrayList* block = locate(list, &index);
    if (!block) return nullptr;
    void** slots = reinterpret_cast<void**>(block->data);
    void* old = slots[index];
    slots[index] = pointer;
    return old;
}

void* arrayListGetEndPointer(ArrayList* list) {
    if (!list) return nullptr;
    while (list->next)
        list = list->next;
    if (list->filled == 0) return nullptr; // nothing sensible to return
    return reinterpret_cast<void**>(list->data)[list->filled - 1];
}

int isArrayListSumGreater(ArrayList* list, int limit) {
    // Unsigned arithmetic gives the 32-bit wrap-around without signed overflow.
    uint32_t remainder = uint32_t(limit);
    for (; list; list = list->next) {
        for (int i = 0; i < list->filled; i++) {
            int32_t value;
            memcpy(&value, list->data + size_t(i) * 4, 4);
            remainder -= uint32_t(value);
            if (int32_t(remainder) < 0) return 1;
        }
    }
    return 0;
}

void removeArrayListEnd(ArrayList* list) {
    if (!list) return;
    ArrayList* prev = nullptr;
    while (list->next) {
        prev = list;
        list = list->next;
    }
    if (list->filled == 0) return;
    list->filled--;
    if (list->filled == 0 && prev) {
        free(list->data);
        free(list);
        prev->next = nullptr;
    }
}

void arrayListRemove(ArrayList* list, int index) {
    ArrayList* block = locate(list, &index);
    if (!block) return;
    size_t size = size_t(block->elementSize);
    for (int i = index + 1; i < block->filled; i++)
        memcpy(block->data + size_t(i - 1) * size, block->data + size_t(i) * size, size);
    block->filled--;
}

int sizeOfArrayList(ArrayList* list) {
    int total = 0;
    for (; list; list = list->next)
        total += list->filled;
    return total;
}

int arrayListGetLength(ArrayList* list) {
    return sizeOfArrayList(list);
}

void saveArrayListInt(ArrayList* list, FILE* file) {
    int32_t count = sizeOfArrayList(list);
    fwrite(&count, 4, 1, file);
    for (; list; list = list->next)
        if (list->filled > 0) fwrite(list->data, 4, size_t(list->filled), file);
}

void loadArrayListInt(ArrayList* list, FILE* file) {
    int32_t count = 0;
    if (fread(&count, 4, 1, file) != 1) return;
    for (int32_t i = 0; i < count; i++) {
        int32_t value;
        if (fread(&value, 4, 1, file) != 1) return; // a short file ends the list there
        arrayListAddEnd(list, &value);
    }
}

// Searches one block from its last element down to its first.
static int blockContains(ArrayList* block, const void* element) {
    size_t size = size_t(block->elementSize);
    for (int i = block->filled - 1; i >= 0; i--)
        if (memcmp(block->data + size_t(i) * size, element, size) == 0) return 1;
    return 0;
}

int arrayListAddUnique(ArrayList* list, const void* element) {
    if (!list) return 0;
    for (ArrayList* block = list;; block = block->next) {
        if (blockContains(block, element)) return 0;
        if (block->filled < block->numElements) {
            memcpy(block->data + size_t(block->filled) * size_t(block->elementSize), element,
                   size_t(block->elementSize));
            block->filled++;
            return 1;
        }
        if (!block->next) {
            block->next = initArrayList(block->numElements, block->elementSize);
        }
    }
}

int arrayListContain(ArrayList* list, const void* element) {
    for (; list; list = list->next)
        if (blockContains(list, element)) return 1;
    return 0;
}

void arrayListDisplay(ArrayList* list) {
    puts("Display ArrayList");
    for (; list; list = list->next) {
        printf("[%d]: ", list->filled);
        for (int i = 0; i < list->filled; i++) {
            printf("[ ");
            unsigned char* element = list->data + size_t(i) * size_t(list->elementSize);
            for (int b = list->elementSize - 1; b >= 0; b--)
                printf(element[b] <= 15 ? "0%x " : "%x ", element[b]);
            printf("] ");
        }
        printf("\n");
    }
}

void arrayListDisplayInt(ArrayList* list) {
    puts("Display ArrayList");
    for (; list; list = list->next) {
        printf("[%d]: ", list->filled);
        for (int i = 0; i < list->filled; i++) {
            int32_t value;
            memcpy(&value, list->data + size_t(i) * 4, 4);
            printf("[ %d ] ", value);
        }
        printf("\n");
    }
}

void arrayListClear(ArrayList* list) {
    if (!list) return;
    if (list->next) {
        freeArrayList(list->next);
        list->next = nullptr;
    }
    list->filled = 0;
}

// A small open-addressing table: keys hashed (by the caller, with a well-mixed hash) into a
// power-of-two array of slots, looked for along the run that follows their slot, kept at
// most half full. The server's growing tables (by sender, by chunk, by session endpoint)
// are all this one; the limits keep their own fixed table of addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

template <typename Key, typename Value> struct probeTable {
    struct slot {
        Key key;
        Value value;
        uint32_t hash;
        int used;
    };
    std::vector<slot> slots; // empty, or a power of two
    size_t count;
};

// Empties the table, with room for `atLeast` keys before it must grow.
template <typename Key, typename Value> void probeReset(probeTable<Key, Value>* t, size_t atLeast) {
    size_t size = 16;
    while (size < 2 * atLeast)
        size *= 2;
    if (t->slots.size() != size)
        t->slots.assign(size, {});
    else if (t->count > 0)
        for (auto& s : t->slots)
            s.used = 0;
    t->count = 0;
}

// Empties the table, keeping its room.
template <typename Key, typename Value> void probeClear(probeTable<Key, Value>* t) {
    if (t->count > 0)
        for (auto& s : t->slots)
            s.used = 0;
    t->count = 0;
}

// The value of `key`, or null.
template <typename Key, typename Value>
Value* probeFind(probeTable<Key, Value>* t, const Key& key, uint32_t hash) {
    size_t mask = t->slots.size() - 1;
    if (t->slots.empty()) return nullptr;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        auto& s = t->slots[i];
        if (!s.used) return nullptr;
        if (s.hash == hash && s.key == key) return &s.value;
    }
}

// The value of `key`, made from `value` when the key is new (`*added` says which); the
// first value given for a key stays.
template <typename Key, typename Value>
Value* probeInsert(probeTable<Key, Value>* t, const Key& key, uint32_t hash, const Value& value,
                   int* added = nullptr) {
    if (2 * (t->count + 1) > t->slots.size()) { // grows, keeping every key
        std::vector<typename probeTable<Key, Value>::slot> old;
        old.swap(t->slots);
        probeReset(t, old.size() < 8 ? 8 : old.size());
        for (auto& s : old)
            if (s.used) probeInsert(t, s.key, s.hash, s.value);
    }
    size_t mask = t->slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        auto& s = t->slots[i];
        if (s.used && s.hash == hash && s.key == key) {
            if (added) *added = 0;
            return &s.value;
        }
        if (!s.used) {
            s = {key, value, hash, 1};
            t->count++;
            if (added) *added = 1;
            return &s.value;
        }
    }
}

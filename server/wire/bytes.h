// Bounds-checked byte access: everything from outside (datagrams, save files) is read
// through a byteReader, and everything the server writes (datagrams, save files, the live
// page's feed) through a byteWriter over a buffer of fixed size. Both flags are sticky: a
// handler reads or writes all its fields and checks once. Network integers are big-endian,
// floats and file integers little-endian (the host order of the target).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "floats and save files are copied in host order, which must be little-endian");

struct byteReader {
    const unsigned char* data;
    size_t len;
    size_t pos;
    int overread; // set by any read past the end; reads then yield zeros
};

inline byteReader makeReader(const void* data, size_t len) {
    return byteReader{static_cast<const unsigned char*>(data), len, 0, 0};
}

inline size_t bytesLeft(const byteReader* r) {
    return r->overread ? 0 : r->len - r->pos;
}

// The next n bytes, or null (and the flag set) when fewer are left.
inline const unsigned char* readBytes(byteReader* r, size_t n) {
    if (r->overread || n > r->len - r->pos) {
        r->overread = 1;
        return nullptr;
    }
    const unsigned char* p = r->data + r->pos;
    r->pos += n;
    return p;
}

inline int readU8(byteReader* r) {
    const unsigned char* p = readBytes(r, 1);
    return p ? p[0] : 0;
}

inline int32_t readIntBE(byteReader* r) {
    const unsigned char* p = readBytes(r, 4);
    if (!p) return 0;
    return int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 |
                   uint32_t(p[3]));
}

inline int32_t readIntLE(byteReader* r) {
    const unsigned char* p = readBytes(r, 4);
    int32_t v = 0;
    if (p) memcpy(&v, p, 4);
    return v;
}

inline float readFloatLE(byteReader* r) {
    const unsigned char* p = readBytes(r, 4);
    float v = 0;
    if (p) memcpy(&v, p, 4);
    return v;
}

inline void readFloatsLE(byteReader* r, float* out, int n) {
    for (int i = 0; i < n; i++)
        out[i] = readFloatLE(r);
}

// --- writing -------------------------------------------------------------------------

struct byteWriter {
    unsigned char* data;
    size_t cap;
    size_t pos;
    int overflow; // set by any write that did not fit; nothing of it was written
};

inline byteWriter makeWriter(void* data, size_t cap) {
    return byteWriter{static_cast<unsigned char*>(data), cap, 0, 0};
}

inline int hasRoom(const byteWriter* w, size_t n) {
    return !w->overflow && n <= w->cap - w->pos;
}

// Room for the next n bytes, or null (and the flag set) when they do not fit.
inline unsigned char* writeRoom(byteWriter* w, size_t n) {
    if (!hasRoom(w, n)) {
        w->overflow = 1;
        return nullptr;
    }
    unsigned char* p = w->data + w->pos;
    w->pos += n;
    return p;
}

inline void putBytes(byteWriter* w, const void* bytes, size_t n) {
    unsigned char* p = writeRoom(w, n);
    if (p && n > 0) memcpy(p, bytes, n);
}

inline void putU8(byteWriter* w, int v) {
    unsigned char* p = writeRoom(w, 1);
    if (p) p[0] = uint8_t(v);
}

inline void storeIntBE(unsigned char* p, int32_t v) {
    uint32_t u = uint32_t(v);
    p[0] = uint8_t(u >> 24);
    p[1] = uint8_t(u >> 16);
    p[2] = uint8_t(u >> 8);
    p[3] = uint8_t(u);
}

inline void putIntBE(byteWriter* w, int32_t v) {
    unsigned char* p = writeRoom(w, 4);
    if (p) storeIntBE(p, v);
}

inline void putIntLE(byteWriter* w, int32_t v) {
    putBytes(w, &v, 4);
}

inline void putU32LE(byteWriter* w, uint32_t v) {
    putBytes(w, &v, 4);
}

inline void putInt64LE(byteWriter* w, int64_t v) {
    putBytes(w, &v, 8);
}

inline void putFloatsLE(byteWriter* w, const float* v, int n) {
    putBytes(w, v, 4 * size_t(n));
}

// A writer over n more bytes at the end of a growing buffer.
inline byteWriter appendTo(std::vector<unsigned char>* bytes, size_t n) {
    bytes->resize(bytes->size() + n);
    return makeWriter(bytes->data() + bytes->size() - n, n);
}

// A big-endian count at `at`, written before what it counts was: filled in afterwards.
inline void patchIntBE(byteWriter* w, size_t at, int32_t v) {
    if (at + 4 <= w->pos) storeIntBE(w->data + at, v);
}

// Bounds-checked byte access for everything that comes from outside: datagrams and save
// files are read through a byteReader whose over-read flag is sticky, so a handler reads
// all its fields and checks once. Network integers are big-endian, floats and file
// integers little-endian (the host order of the target).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

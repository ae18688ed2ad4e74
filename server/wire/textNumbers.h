// Whole numbers and ADDRESS:PORT read strictly from text: the server's and quarn-bots'
// command lines and the live page's query use the same checks.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

// The whole text as a decimal integer within [lo, hi]: 1, or 0 when it is not one.
inline int parseWholeNumber(const char* text, long long lo, long long hi, long long* out) {
    // Decimal digits, with a minus sign at most: strtoll alone would take spaces and a plus.
    const char* digits = text[0] == '-' ? text + 1 : text;
    if (*digits < '0' || *digits > '9') return 0;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || v < lo || v > hi) return 0;
    *out = v;
    return 1;
}

inline int parseWholeNumber(const char* text, long lo, long hi, int* out) {
    long long v;
    if (!parseWholeNumber(text, (long long)lo, (long long)hi, &v)) return 0;
    *out = int(v);
    return 1;
}

// ADDRESS:PORT, an IPv4 address and a port from 1 to 65535: 1, or 0 when it is not one.
inline int parseListenAddress(const char* text, sockaddr_in* out) {
    const char* colon = strrchr(text, ':');
    char address[INET_ADDRSTRLEN] = "";
    int port = 0;
    if (!colon || size_t(colon - text) >= sizeof address) return 0;
    memcpy(address, text, size_t(colon - text));
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    if (inet_pton(AF_INET, address, &out->sin_addr) != 1) return 0;
    if (!parseWholeNumber(colon + 1, 1, 65535, &port)) return 0;
    out->sin_port = htons(uint16_t(port));
    return 1;
}

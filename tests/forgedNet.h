// A network of the test's own in which datagrams can come from any address of a test range:
// for tests and benchmarks of what forged senders can do.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <string>
#include <vector>

// A network namespace of the test's own: loopback up and the test range 198.18.0.0/15 local,
// so that any of its addresses can send and be answered. As root the namespace is made
// directly, otherwise inside a user namespace of the test's own. False, with the reason, when
// neither is allowed: the caller skips.
bool enterOwnNetwork(std::string* why);

// The address 198.18.0.0 + n of the test range, in network order.
inline uint32_t testRangeAddress(uint32_t n) {
    return htonl((198u << 24 | 18u << 16) + (n & 0x1FFFF));
}

// Sends datagrams with any source address of the test range (inside enterOwnNetwork): each
// datagram names its source, the socket is bound to none.
struct forgedSender {
    int fd = -1;
    forgedSender();
    forgedSender(const forgedSender&) = delete;
    ~forgedSender();
    // From `source` (network order) and the sender's port to the server's loopback port.
    bool send(uint32_t source, int serverPort, const std::vector<unsigned char>& d);
};

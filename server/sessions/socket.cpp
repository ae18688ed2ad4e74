// The server's UDP endpoint: opened at Start on every interface at the port, made
// non-blocking with room for a tick's bursts and the system's drops reported, closed at
// Stop; every datagram the server sends is built in the one buffer of the traffic record.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "bytes.h"
#include "sessions.h"

int initServ() {
    sockaddr_in myaddr = {};
    myaddr.sin_family = AF_INET;
    myaddr.sin_addr.s_addr = htonl(INADDR_ANY);
    myaddr.sin_port = htons(uint16_t(options.port));
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    traffic.mysocket = fd;
    tracef("mysocket: %d\n", fd);
    int bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&myaddr), sizeof myaddr) == 0;
    int err = errno;
    tracef("mysocket: %d\n", fd);
    if (!bound) {
        // Serving without the port would only look like running.
        tracef("initServ: cannot open UDP port %d: %s\n", options.port, strerror(err));
        textBoxAddf(logging.box, "Server: Start failed, UDP port %d: %s", options.port,
                    strerror(err));
        closeServ();
        return 0;
    }
    // Room for a tick's bursts of many handshakes, or of a flood, so that the queue does not
    // fill between two reads: beyond the system's cap where the server may set it.
    int rcvbuf = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // The system counts the datagrams it drops when the queue is full: attached to the next.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    traffic.systemDropsSeen = 0;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return 1;
}

void closeServ() {
    if (traffic.mysocket >= 0) {
        eventUnwatch(traffic.mysocket);
        close(traffic.mysocket);
    }
    traffic.mysocket = -1;
}

byteWriter newDatagram() {
    return makeWriter(traffic.outgoing, sizeof traffic.outgoing);
}

int sendDatagram(const sockaddr_in* addr, socklen_t len, const byteWriter* w) {
    if (w->overflow) return -1; // a datagram cut short is never sent
    int sent = int(
        sendto(traffic.mysocket, w->data, w->pos, 0, reinterpret_cast<const sockaddr*>(addr), len));
    if (sent > 0) {
        traffic.totals.datagramsOut++;
        traffic.totals.bytesOut += sent;
    }
    return sent;
}

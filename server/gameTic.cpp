// The game tick: receive at most one datagram and hand it to the dispatcher, turn held
// keys into motion requests, move every entity, let every session send, clear the marks.
#include <sys/socket.h>

#include "veskServer.h"

unsigned char buf[bufSize + 1];
int bufIndex = 0;
int recvlen = 0;

void gameTic() {
    recvlen =
        int(recvfrom(mysocket, buf, bufSize, 0, reinterpret_cast<sockaddr*>(&remaddr), &addrlen));
    if (recvlen > 0) {
        buf[recvlen] = 0;
        tracef("received message: (%d bytes) (%02X first) (%02X postKey)\n", recvlen, buf[0],
               buf[17]);
    }
}

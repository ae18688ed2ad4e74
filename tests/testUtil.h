// Shared test helpers: capturing log entries, silencing trace lines, a controllable clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Log entries added since the last clear.
extern std::vector<std::string> capturedLog;
void captureLog(); // points the log sink at capturedLog and clears it
bool logHas(const std::string& entry);

// A clock that only moves when the test says so.
extern uint32_t fakeNow;
void useFakeClock(uint32_t start);
void useRealClock();

// Scoped silence of the standard-output trace lines.
struct quietTrace {
    int saved;
    quietTrace();
    ~quietTrace();
};

// --- a server endpoint and one client on loopback, with fresh lists -------------------

#include <netinet/in.h>

struct loopback {
    int client = -1;
    sockaddr_in clientAddr = {};
    sockaddr_in serverAddr = {};
};
void openLoopback(loopback* lb);
void closeLoopback(loopback* lb);
// One datagram from the server to this client, or an empty vector after timeoutMs.
std::vector<unsigned char> clientRecv(loopback* lb, int timeoutMs = 200);
// Every datagram waiting for the client.
std::vector<std::vector<unsigned char>> clientDrain(loopback* lb, int timeoutMs = 50);
void clientSend(loopback* lb, const std::vector<unsigned char>& d);
// Hands a datagram to the dispatcher as the tick does, as if it came from the client.
void dispatch(loopback* lb, const std::vector<unsigned char>& d);

// New empty lists (and, if `radius` > 0, the spawn area of that radius around (0, 0)).
void freshLists(int radius);
void freeLists();

std::vector<unsigned char> newAccountMsg(const std::string& name, const std::string& pass);
std::vector<unsigned char> loginMsg(const std::string& name, const std::string& pass, int radius);
std::vector<unsigned char> sessionMsg(int type, const unsigned char* key);
void appendInt(std::vector<unsigned char>* d, int32_t v); // big-endian
void appendFloats(std::vector<unsigned char>* d, const float* v, int n);
int32_t beInt(const unsigned char* p);

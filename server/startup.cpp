// Start and Stop of the server: the UDP endpoint, building the world and the account and
// entity lists on Start, saving them on Stop and at exit, and releasing them after Stop.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include "veskServer.h"

int servPort = 2300;
int mysocket = -1;
socklen_t addrlen = 0;
sockaddr_in remaddr = {};

ArrayList* profList = nullptr;
ArrayList* terList = nullptr;
ArrayList* entList = nullptr;

const char* dirProf = "res/profiles";
const char* dirWorld = "res/world";
const char* dirEntity = "res/entities";
int spawnR = 11;
int terEdge = 5;
float terScale = 10.0f;
int servOn = 0;

int initServ() {
    addrlen = 16;
    sockaddr_in myaddr = {};
    myaddr.sin_family = AF_INET;
    myaddr.sin_addr.s_addr = htonl(INADDR_ANY);
    myaddr.sin_port = htons(uint16_t(servPort));

    mysocket = socket(AF_INET, SOCK_DGRAM, 0);
    tracef("mysocket: %d\n", mysocket);
    int bound =
        mysocket >= 0 && bind(mysocket, reinterpret_cast<sockaddr*>(&myaddr), sizeof myaddr) == 0;
    int err = errno;
    tracef("mysocket: %d\n", mysocket);
    if (!bound) {
        // Serving without the port would only look like running.
        tracef("initServ: cannot open UDP port %d: %s\n", servPort, strerror(err));
        textBoxAddf(tb, "Server: Start failed, UDP port %d: %s", servPort, strerror(err));
        if (mysocket >= 0) close(mysocket);
        mysocket = -1;
        return 0;
    }
    // Room for the bursts of many handshakes at once (the kernel caps the size).
    int rcvbuf = 1 << 20;
    setsockopt(mysocket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    int flags = fcntl(mysocket, F_GETFL);
    fcntl(mysocket, F_SETFL, flags | O_NONBLOCK);
    return 1;
}

// Chunks come first: entities are placed on them.
void initGame() {
    servOn = 1;
    terList = initArrayList(10, 8);
    int chunks = loadWorld(dirWorld, terList);
    tracef("Load World: %d\n", chunks);
    if (chunks == 0) embedSpawnTer(terList, spawnR, 0, 0, terScale, terEdge);

    profList = initArrayList(10, 8);
    loadProfs(dirProf, profList);

    entList = initArrayList(10, 8);
    int ents = loadEntityList(dirEntity, entList);
    tracef("entsLoaded: %d\n", ents);
    textBoxAddInt(tb, "entsLoaded (", ents);
    for (int i = 0; i < ents; i++)
        setveskGravity(arrayListGet<veskEntity>(entList, i)->gravMem, terList);
    if (ents == -1) {
        const float start[3] = {5.0f, 1.0f, 5.0f};
        veskEntity* first = addDefaultEntity(entList, 1, start);
        setveskGravity(first->gravMem, terList);
    }
}

void saveGame() {
    tracef("profList: %p\n", static_cast<void*>(profList));
    if (profList) saveProfs(dirProf, profList);
    if (terList) saveChunks(dirWorld, terList);
}

void releaseGame() {
    if (mysocket >= 0) close(mysocket);
    mysocket = -1;
    freeArrayListPointer(profList);
    freeTerList(terList);
    freeEntList(entList);
    profList = terList = entList = nullptr;
    forgetAccountIndex();
    freeTickChanges();
    servOn = 0;
}

int startServer() {
    textBoxAddStr(tb, "Server: Starting");
    // Session keys and password salts come from the system's secure generator.
    if (sodium_init() < 0) {
        textBoxAddStr(tb, "Server: Start failed, no secure random source");
        return 0;
    }
    if (!initServ()) return 0;
    initGame();
    return 1;
}

void stopServer() {
    textBoxAddStr(tb, "Server: Stopping + Saving");
    saveGame();
    releaseGame();
}

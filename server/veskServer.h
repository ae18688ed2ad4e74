// The server's shared header: protocol enumerations and wire values, the account record,
// the process-wide state, and the functions of each server file, listed per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>
#include <netinet/in.h>
#include <sys/socket.h>

#include "../libs/veskArrayList.h"
#include "clock.h"
#include "log.h"
#include "veskEntity.h"
#include "veskGravity.h"
#include "veskTerrain.h"

// ---------------------------------------------------------------------------------------
// Protocol enumerations (values are the wire values)

enum clientOutput {
    coWakeup = 0,
    coNewAccount = 1,
    coLogin = 2,
    coDisconnect = 3,
    coUpdate = 4,
    coGameTic = 5,
    coNumOutputs = 6
};

enum serverOutput {
    soWakeup = 0,
    soNewGood = 1,
    soNewBad = 2,
    soLogGood = 3,
    soLogBad = 4,
    soInitTer = 5,
    soInitEnt = 6,
    soDisconnect = 7,
    soUpdate = 8,
    soTerUpdate = 9,
    soEntUpdate = 10,
    soNumOutputs = 11
};

enum clientOutSub { cosKey = 0, cosMouse = 1, cosSetRots = 2 };

enum profStage {
    psNotConn = 0,
    psKeyWait = 1,
    psTerWait = 2,
    psEntWait = 3,
    psCapWait = 4,
    psGame = 5,
    numProfStage = 6
};
// Each stage's name as the operator's list and the live page show it.
inline constexpr const char* stageNames[numProfStage] = {"none",     "key",  "terrain",
                                                         "entities", "mark", "game"};

enum servKeyMap {
    skmWalkForward = 0,
    skmWalkBackwards = 1,
    skmStrafeLeft = 2,
    skmStrafeRight = 3,
    skmRotateleft = 4,
    skmRotateright = 5,
    skmJump = 6,
    skmHotBar0 = 7,
    skmHotBar1 = 8,
    skmHotBar2 = 9,
    skmHotBar3 = 10,
    skmHotBar4 = 11,
    skmHotBar5 = 12,
    numServKeyMaps = 13
};

enum entSubIds { soEntLoc = 0, soEntRot = 1 };
enum terSubIds { soTerVertMove = 0, soTerVertAdd = 1, soTerFaceAdd = 2 };

// Fixed message sizes.
constexpr int keyLen = 16;
constexpr int textLen = 256; // username and password fields
constexpr int newAccountLen = 1 + 2 * textLen;
constexpr int loginLen = newAccountLen + 4;
constexpr int sessionHeadLen = 1 + keyLen; // type byte and session key
constexpr int logGoodLen = 25;
constexpr int chunkHeadLen = 16; // cx, cy, vertex count, face count
constexpr int entRecordLen = 44;
static_assert(newAccountLen == 513 && loginLen == 517 && sessionHeadLen == 17);

// A chunk's record, on the wire and in the world file alike: its head, then 16 bytes a
// vertex and 12 a face.
inline long long chunkRecordLen(const veskTerrain* ter) {
    return chunkHeadLen + 16LL * ter->numVerts + 12LL * ter->numFaces;
}

// ---------------------------------------------------------------------------------------
// Accounts

// An address an account logged in from, and when (wall-clock seconds; 0: none).
struct loginHome {
    uint32_t addr; // IPv4, network order
    int64_t when;
};
constexpr int homesKept = 4; // the addresses of an account's latest logins, kept across restarts

struct veskProfile {
    unsigned char username[textLen]; // 0-terminated unless all 256 bytes are used
    unsigned char password[textLen];
    int stage;      // profStage
    int oldCounter; // items acknowledged when the batch in flight was sent
    int curCounter; // items gone through in the current stage
    int failCount;  // time-outs since the client was last heard
    int entity;     // index in entList of the controlled entity
    int terRadius;  // view radius in chunks
    unsigned char key[keyLen];
    sockaddr_in profAddr;
    socklen_t addrLen;
    int keyMapBuf[numServKeyMaps];
    uint32_t lastRecv;
    uint32_t lastSent;
    loginHome homes[homesKept]; // latest first; saved in a file of their own
    // Kept in memory only, for the limits and the operator.
    int confirmed;         // a session of it completed a handshake (or it was saved)
    uint32_t createdAt;    // millisecond clock at its creation, while it is pending
    int failedLogins;      // failed logins for this name in the minute from failedSince
    uint32_t failedSince;  // millisecond clock
    int listedLive;        // in the list of live sessions
    uint32_t sessionStart; // millisecond clock at the login
    int picksThisTick;     // terrain picks taken from its datagrams in this tick
};

// A pick costs a sweep over a thousand faces and a brush: one session's picks in a tick are
// bounded, so that no player can spend the tick of the others.
constexpr int maxPicksPerTick = 4;

// ---------------------------------------------------------------------------------------
// Process-wide state

constexpr int bufSize = 12000; // largest datagram, in either direction

extern int servPort; // 2300
extern int mysocket;
extern socklen_t addrlen;
extern sockaddr_in remaddr;
extern int recvlen;

extern ArrayList* profList; // veskProfile*
extern ArrayList* terList;  // veskTerrain*
extern ArrayList* entList;  // veskEntity*

extern const char* dirProf;
extern const char* dirWorld;
extern const char* dirEntity;
extern int spawnR;
extern int terEdge;
extern float terScale;
extern int servOn;

extern int returnWaitTime;
extern int returnFailMax;

// ---------------------------------------------------------------------------------------
// startup.cpp: opening and closing the endpoint, building and saving the world

// Saves since the process started, for the metrics.
struct saveTotals {
    long long saved, failed;
    double lastSeconds; // the last save written, from its start to its end
};
const saveTotals& savesSoFar();
// Stop and Start make a new world; what refers to the old one checks this.
extern uint32_t servingGeneration;

// Called when a save an operator asked for is written or failed, with its answer.
using saveDone = void (*)(void* context, int saved, const char* text);

extern int autosaveSeconds;            // 0: never
void setResDir(const char* dir);       // the folder of the logo, the font and the save files
std::string resPath(const char* name); // a file of that folder
int initServ();                        // 1 when the endpoint is open, 0 when it could not be opened
void initGame();
int saveGame(); // a whole save of accounts, entities and world now; 1 when it was written
// A save in the autosave's way, now (after one under way); `done` is called when it is
// written or failed, with the answer for the operator.
void requestSave(saveDone done, void* context);
void forgetSaveWaiter(void* context); // its asker has gone
void releaseGame();                   // closes the endpoint and frees the lists
int startServer();                    // Start: endpoint, then world; 1 on success
int stopServer(); // Stop: save, then close and release; 0 (still serving) if the save failed
int quitServer(); // the same at exit, releasing whatever the save did; 0 if it failed
// A dedicated server's stop: the save, and only once it is written the end of serving (1);
// 0 while it keeps serving after a failed save, to try again a few seconds later.
constexpr int stopRetrySeconds = 5;
int stopOrKeepServing(int first);
void stopWithoutSaving(); // the operator insists: a second signal
void serveTick();         // one tick while serving: the game tick, the save when due, timed

// status.cpp: the status line, logged every statusSeconds and at Stop
extern int statusSeconds;
void startStatus();      // a new interval
void logStatus();        // the figures of the interval so far, then a new one
void announceWarnings(); // to systemd at once: what a host must not miss (damaged files)
void statusLine(char* out, size_t outSize); // the same figures, the interval going on
double steadyMs();                          // the steady clock, in ms, for timing work
void countTick(double ms); // a serving tick's whole time; logs the status line when due
// The figures for Prometheus (text exposition format) and for the live page (JSON: the
// figures and the sessions, without addresses or anything secret).
void metricsText(std::string* out);
void statusJson(std::string* out);

// options.cpp: the command line
extern const char* serverVersion;
// -1 to go on; otherwise the process's exit status (0 after --help or --version, 2 for a
// bad command line, with the reason and the usage on standard error).
struct commandLine {
    int headless;
    int verbose;         // headless: the protocol's entries are logged too
    int resGiven;        // --res was given: its folder must exist
    const char* control; // --control COMMAND, or null
    int http;            // --http was given, with its address
    sockaddr_in httpAddress;
};
int parseCommandLine(int argc, char** argv, commandLine* out);
// ADDRESS:PORT, an IPv4 address and a port from 1 to 65535: 1, or 0 when it is not one.
int parseListenAddress(const char* text, sockaddr_in* out);
// The whole text as a decimal integer within [lo, hi]: 1, or 0 when it is not one.
int parseWholeNumber(const char* text, long lo, long hi, int* out);

// tickClock.cpp: the 20-per-second clock with catch-up
extern int ticksPerSecond;
extern int mpt;
extern uint32_t nextTick;
extern uint32_t lastSec;
extern uint32_t ticksThisSecond;
extern int running;
int tickDue(uint32_t now); // 1 when a tick is due at `now` (and accounted for)
// Stops of the process with a save asked for so far (signals, the stop command).
extern volatile sig_atomic_t quitRequested;
void requestQuit();

// headless.cpp
int runHeadless(); // process exit status

// output.cpp: standard output written without waiting for its reader (headless); before
// openOutput and after closeOutput, text goes to the stream as usual
void openOutput();
void outputText(const char* text, size_t len); // whole lines; dropped and counted when full
void flushOutput();                            // what the reader takes now, never waiting
void closeOutput(int waitMs);                  // at exit: waits at most that long for the reader
long long outputLinesLost();

// events.cpp: the one place that waits between ticks
using eventCallback = void (*)(int fd, short revents, void* context);
void eventWatch(int fd, short events, eventCallback ready, void* context);
void eventUnwatch(int fd);
void eventSetEvents(int fd, short events);
// The callback has more to do at once: the next step calls it without waiting.
void eventAgain(int fd);
// Waits at most timeoutMs (0: not at all) for the watched descriptors and runs the
// callbacks of the ready ones; how many were ready, -1 when the wait failed.
int eventStep(int timeoutMs);
double takeEventWorkMs(); // the callbacks' time since the last call

// saveFolder.cpp: the folder of the save files
// Makes the default folder when it is missing, checks that the folder can be written and
// locks it for this process; 0 with the reason when the server must not run on it.
int prepareSaveFolder(int givenByOption, std::string* why);

// A file the window needs: in the save folder, else where the programs are installed; ""
// when neither has it.
std::string windowFile(const char* name);

// commands.cpp: the operator's commands
struct commandAnswer {
    std::string text; // lines, each ended by a newline
    int failed;
    int waiting; // the answer comes later, through the callback (a save)
};
void runCommand(const char* line, commandAnswer* answer, saveDone later, void* context);

// control.cpp: the control socket in the save folder and the console on standard input
constexpr int commandLineMax = 1024;       // bytes of one command, newline included
int openControl();                         // listens on control.sock; 1 on success
void closeControl();                       // closes every connection and removes the socket file
void watchConsole();                       // headless: commands from standard input, a line each
void serveControl(uint32_t now);           // once a tick: connections that took too long end
int runControlClient(const char* command); // --control: the process exit status

// notify.cpp: readiness and health for systemd (nothing without it)
void notifyReady();
void notifyStatus(const char* statusLine);
void notifyWatchdog(uint32_t now); // at most once a second
void notifyStopping();

// gameTic.cpp
void gameTic();

// receive.cpp: the datagrams of a tick, players' sessions first, a fair share per sender
constexpr int maxDatagramsPerTick = 4096; // strangers' datagrams kept for one tick at most
extern int maxPerSenderPerTick;           // kept from one sender in one tick at most
extern int receiveBudgetMs;               // time a tick spends on dispatching
// Running totals since the process started.
struct trafficTotals {
    long long datagramsIn, bytesIn;   // read from the socket (empty ones included)
    long long datagramsOut, bytesOut; // sent
    long long dropped;                // ours: beyond a sender's share or the tick's budget
    long long systemDropped;          // the system's, when the socket's queue was full
    long long banned;                 // from banned addresses, dropped unread
    long long wrongKey;               // from a session's endpoint with another key: forged, dropped
    long long picksIgnored;           // beyond a session's picks in a tick, or the tick's budget
};
extern trafficTotals traffic;
int openReceive(int fd);     // sets up the socket's receiving; 1 on success
void readWaitingDatagrams(); // between ticks: keeps what has arrived for the next tick
void receiveDatagrams();     // reads, then dispatches what arrived, sessions first
// Whether the tick's time for dispatching is spent: work inside one datagram stops too.
int receiveBudgetSpent();
void resetReceive();

// protocol.cpp: sending, and the receive dispatcher
struct byteWriter;
// A writer over the one buffer every datagram is built in (bufSize bytes), empty.
byteWriter newDatagram();
// Sends what the writer holds to `addr` (nothing when it overflowed); the send call's result.
int sendDatagram(const sockaddr_in* addr, socklen_t len, const byteWriter* w);
void ticlyIn(unsigned char* buff, int length, sockaddr_in* remaddr, socklen_t addrlen);

// accounts.cpp: accounts, login and session keys
extern int maxAccounts;            // creations beyond it are refused
extern int maxViewRadius;          // a larger view radius asked at login is served at this one
extern int failedLoginsPerAccount; // a minute, before a name is checked only from home
extern long long passwordHashes;   // computed since the process started
void profCreation(unsigned char* buff, int length, sockaddr_in* remaddr, socklen_t addrlen);
void profLogin(unsigned char* buff, int length, sockaddr_in* remaddr, socklen_t addrlen);
// Creations and logins cost a password hash each, so they wait until the tick's datagrams
// are dispatched and are then served within the tick's hash budget: logins of accounts from
// the address of their last successful login first, then the rest in arrival order.
void queueAccountRequest(const unsigned char* buff, int length, const sockaddr_in* from);
void serveAccountRequests();
// Accounts in a session (any stage but psNotConn), in the order they logged in.
const std::vector<veskProfile*>& liveSessions();
// Accounts made but not confirmed yet, in the order they were made: they are not in
// profList, not saved and not counted, until one of their sessions completes a handshake.
const std::vector<veskProfile*>& pendingAccounts();
void confirmAccount(veskProfile* pro); // its session completed a handshake
int removePending(veskProfile* pro);   // the operator's remove: 1 when it was pending
// The account of that name (more than 3 characters), confirmed or pending, or null.
veskProfile* accountNamed(const unsigned char* name);
// Whether the sender's address is one the account logged in from.
int fromHome(const veskProfile* pro, const sockaddr_in* from);
void makeKey(unsigned char* buff);
int strCompare(const unsigned char* str0, const unsigned char* str1, int maxlen);
// Stores the salted hash of the sent password (up to its first 0 byte) in a 256-byte
// field; 0 when hashing failed.
int hashPassword(unsigned char* field, const unsigned char* sent);
// 1 when the sent password (up to its first 0 byte) is the one of the field. A field
// saved before passwords were hashed holds the password itself; it is compared as text
// and, when it matches, replaced by a hash.
int checkPassword(unsigned char* field, const unsigned char* sent);
// The name and key look-ups follow profList; dropped whenever the list is rebuilt.
void forgetAccountIndex();
void resetAccounts(); // the look-ups, the live sessions, the pending accounts and the requests
veskProfile* keyToProf(const unsigned char* key);
void sendKey(veskProfile* pro);
// The entity a player controls: appended like the default one, placed on the terrain.
int newPlayerEntity();
// The controlled entity of a connected account, or null when its index is not valid.
veskEntity* profEntity(veskProfile* pro);

// A well-mixed hash of an IPv4 address, for tables keyed by sender.
inline uint32_t addressHash(uint32_t addr) {
    uint32_t h = addr * 0x9E3779B1u;
    return h ^ (h >> 15);
}

// limits.cpp: account creations and failed logins per address and minute (never limited
// from loopback), accounts confirmed per minute for the whole server, password hashes per
// tick; `now` is the millisecond clock
extern int creationsPerAddress;    // a minute
extern int failedLoginsPerAddress; // a minute
extern int creationsPerMinute;     // accounts confirmed, from all addresses but loopback
extern int hashesPerTick;
int creationAllowed(const sockaddr_in* from, uint32_t now);
void countCreation(const sockaddr_in* from, uint32_t now);
void countConfirmation(const sockaddr_in* from, uint32_t now); // an account's first handshake
int loginAllowed(const sockaddr_in* from, uint32_t now);
void countFailedLogin(const sockaddr_in* from, uint32_t now); // a password checked, wrong
// 1 when the tick may spend one more password hash for this sender (and it is counted).
int takeHash(const sockaddr_in* from, uint32_t now);
void newHashTick(); // the next tick's hashes
void resetLimits(); // at Start: counts forgotten, a new secret for the table

// handshake.cpp: the stage machine, resends, polls and disconnect
void handshakeStep(veskProfile* pro);
void ticlyTimeOut(veskProfile* pro);
void ticlyOutGame(veskProfile* pro);
void sendPoUpdate(veskProfile* pro);
void profDisconnect(veskProfile* prof);

// streaming.cpp: terrain and entity messages for one client; a record that does not fit
// what is left of the writer is not written (0)
int buffChunk(byteWriter* w, veskTerrain* ter);
int buffEnt(byteWriter* w, veskEntity* ent);
void initSendTers(veskProfile* pro);
void sendEnts(veskProfile* pro);
// The blocks of a tick's in-game datagram, appended to `w`; a block that fills it sends the
// datagram so far and goes on in a fresh one.
void sendEntsTicly(veskProfile* pro, byteWriter* w);
void sendNewChunks(veskProfile* pro, byteWriter* w);
void sendMovedVerts(veskProfile* pro, byteWriter* w);
// The output step of a tick gathers the changed entities and edited chunks once; the
// three per-tick senders above read only what was gathered, and nothing after forget.
void gatherTickChanges();
void forgetTickChanges();
void freeTickChanges();
// A vertex a brush moved (or painted), for the tick's stream: added to its chunk's
// movedVerts (once only, with `unique`); clearMovedVerts empties them all at the tick's end.
void noteMovedVert(veskTerrain* ter, int32_t vert, int unique);
void clearMovedVerts();

// persistence.cpp: the profiles, world and entity files
// A failed save says which file failed and why ("<file>: <reason>").
extern char saveFailure[320];
// The records of the files, written where the writer is: a profile with the entity index
// it is saved with (516 bytes), an account's homes as the logins file holds them (its name,
// then each home's address and time: 304 bytes), a chunk (chunkRecordLen bytes), an entity
// (32 bytes).
void encodeProfileRecord(byteWriter* w, const veskProfile* pro, int32_t entity);
void encodeHomeRecord(byteWriter* w, const veskProfile* pro);
void encodeChunkRecord(byteWriter* w, const veskTerrain* ter);
void encodeEntityRecord(byteWriter* w, const veskEntity* ent);
// The unit direction a view looks in, and back: an entity's record keeps it.
void viewDirection(const float* rots, float* dir);
void rotsOfView(const float* dir, float* rots);
// A save of accounts, entities and world as they are now (profList, entList, terList),
// written by saveSome calls, at most `bytes` a call: 0 while more is to come, 1 when all
// three files were saved, -1 when the save failed (saveFailure says why) and every old
// file was kept. Dropping an unfinished save keeps the old files.
void startSave(const char* profPath, const char* entPath, const char* worldPath);
int saveSome(size_t bytes);
int saveUnderWay();
// The files a save replaced are let go of a part a call: 1 when none is left.
int tidyOldSaves(size_t bytes);
// At Start: a save committed before a stop is completed, and what an interrupted save left
// (temporary files, files a save replaced) is removed, each logged.
void recoverSaveFolder();
// Creates a file that is not there yet, never following a link, with `mode` (0600 exactly,
// or other bits as the umask leaves them): its descriptor, or -1 with errno.
int createNewFile(const char* path, mode_t mode);
void dropSave();
// Whoever is about to change a chunk's vertices says so first: a save under way copies
// the chunk as it was, and the live page's version of the world moves on.
void chunkWillChange(veskTerrain* ter);
// The damaged files set aside since forgetFilesSetAside (called at Start): "world (kept
// as res/world.bad.2)" each, for the operator's figures.
const std::vector<std::string>& filesSetAside();
void forgetFilesSetAside();
// Loading, once per Start: 1 when the profiles were read (0 when the file cannot be), the
// number of chunks read, the number of entities read (-1 when the file cannot be read).
int loadProfs(const char* dir, ArrayList* profList);
int loadWorld(const char* dir, ArrayList* chunkList);
int loadEntityList(const char* dir, ArrayList* entList);
// Loaders from bytes already in memory; `name` names the file in messages.
// The whole file; 0 when it cannot be read, with errno telling why.
int readWholeFile(const char* path, std::vector<unsigned char>* out);
int loadProfsFrom(const unsigned char* data, size_t len, const char* name, ArrayList* profList);
int loadWorldFrom(const unsigned char* data, size_t len, const char* name, ArrayList* chunkList);
int loadEntitiesFrom(const unsigned char* data, size_t len, const char* name, ArrayList* entList);
// The checks and reads behind those loaders, which neither print nor write files: a check
// gives "" for sound bytes, or why they are not; a read takes only checked bytes and
// appends what they hold, giving its count.
const char* checkWorldBytes(const unsigned char* data, size_t len);
int readWorldBytes(const unsigned char* data, size_t len, ArrayList* chunkList);
const char* checkEntityBytes(const unsigned char* data, size_t len);
int readEntityBytes(const unsigned char* data, size_t len, ArrayList* entList);
// The logins file: each account's homes, given to the accounts of profList by name; the
// accounts found.
const char* checkHomeBytes(const unsigned char* data, size_t len);
int readHomeBytes(const unsigned char* data, size_t len);
int loadHomes(const char* path);

// Writes a whole text file through a temporary file, sync and rename, with mode 0600;
// 1 when it is saved, 0 when the old file was kept (saveFailure says why).
int saveTextFile(const char* path, const std::string& text);

// bans.cpp: banned names and address ranges, and the allow-list, kept in the save folder
// as text files, line for line
void loadAccessLists(); // at Start; damaged lines are reported and kept in the file
void resetAccessLists();
int addressBanned(uint32_t addr); // network order
int nameBanned(const unsigned char* name);
int nameAllowed(const unsigned char* name); // 1 when the allow-list is off or names it
int allowListOn();
// A.B.C.D or A.B.C.D/P (P in decimal digits, 0 to 32): 1 with the range's first address
// (host order) and prefix.
int parseAddressRange(const char* text, uint32_t* addr, int* prefix);
int rangeCovers(uint32_t rangeAddr, int prefix, uint32_t addr); // addr in network order
// Text with \xNN for any byte, as names are shown: 1 with the bytes, 0 when damaged or
// longer than a name.
int unescapeText(const char* text, std::string* out);
// What a ban is about: a name, or an IPv4 range.
struct banTarget {
    int isAddress;
    std::string name; // unescaped
    uint32_t addr;    // the range's first address, host order
    int prefix;
};
// "name NAME", "address A[/P]", or (unless `explicitOnly`) either alone where it can only
// be one: text that could be meant as an address (IPv6, a range with a bad prefix) is
// refused, with why.
int parseBanTarget(const std::string& text, banTarget* out, std::string* why, int explicitOnly);
// Changes in memory, and in the lines the file is written from: 1 when something changed,
// 0 when it was so already. A file edited by hand since it was read is read again first.
int changeBan(const banTarget& t, int add);
void allowSwitch(int on);
int allowEntry(const std::string& name, int add);
std::vector<std::string> banList(); // the entries, in the file's order
std::vector<std::string> allowList();
int reloadAccessList(const char* file, std::string* why); // "bans" or "allow"
// The files are written a slice a tick: `done` is called once the file holds every change
// made so far, with `answer` (and what failed, if the write did).
void whenAccessListWritten(const char* file, const std::string& answer, saveDone done,
                           void* context);
void forgetAccessWaiter(void* context);
void serveAccessLists();    // once a tick
void writeAccessListsNow(); // at a Stop: what is left, at once

// chunkFeed.cpp: the live page's terrain, the chunks newer than a version
struct chunkFeed {
    uint32_t since, version;
    uint32_t generation; // of the world it reads
    ArrayList* list;
    arrayListCursor<veskTerrain> chunks; // where the scan of the list is
    int ended;                           // 1: no more chunks, 2: only the end record's rest is left
    std::vector<unsigned char> carry;    // a record, or the head, that did not fit a read
    size_t carryAt;
};
void startChunkFeed(chunkFeed* f, uint32_t since);
// Up to `max` bytes of the feed into `out`: how many (0: none yet, ask again), -1 at its
// end, -2 when the world it reads is gone (a Stop).
long chunkFeedRead(chunkFeed* f, unsigned char* out, size_t max);

// brushes.cpp: terrain editing
void terEditNew(float* loc, float* vec, veskGravity* gravMem, int push, int editType);

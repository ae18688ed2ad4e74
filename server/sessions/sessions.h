// Accounts and their sessions, and the traffic that drives them: the account record, the
// receive step and its fair shares, the dispatcher, creation and login with their limits,
// the handshake and the in-game stream, and who may come in (bans, the allow-list). Two
// records: `sessions` (the accounts, their look-ups, the limits and the access lists,
// released at Stop) and `traffic` (the socket, what a tick holds, and the running totals
// and figures, which live as long as the process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "log.h"
#include "loop.h"
#include "options.h"
#include "probeTable.h"
#include "veskArrayList.h"
#include "veskServer.h"
#include "world/world.h"

struct byteWriter;

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
    int entitiesToSend;    // the entity stage's: the entities there were when it began
};

// A pick costs a sweep over a thousand faces and a brush: one session's picks in a tick are
// bounded, so that no player can spend the tick of the others.
constexpr int maxPicksPerTick = 4;
constexpr uint32_t minuteMs = 60000;
constexpr int maxDatagramsPerTick = 4096; // strangers' datagrams kept for one tick at most

// The look-ups by name and by key, caught up with profList's end at each use.
struct accountIndex {
    ArrayList* list; // the account list indexed, null when nothing is
    arrayListCursor<veskProfile> next;
    int count;                                            // accounts indexed
    std::unordered_map<std::string, veskProfile*> byName; // names of more than 3 characters
    std::unordered_map<std::string, veskProfile*> byKey;  // the key of each login
};

// A creation or a login waiting for the end of the tick's dispatching.
struct accountRequest {
    unsigned char data[loginLen];
    int length;
    sockaddr_in from;
    int first; // a login from one of the addresses the account logged in from
};

// The counts of one address over a minute.
struct addressRecord {
    uint32_t addr;  // network order
    uint32_t since; // start of the minute counted
    int creations;
    int failures;
    int used;
};
constexpr int addressSlots = 16384;

// A list kept in the save folder ("bans", "allow"): its lines as last read or written, the
// file they were read from, the changes made since it was last read or written (made again
// over a hand edit), and the write under way.
struct accessWaiter {
    std::string answer;
    saveDone done;
    void* context;
};
struct accessChange {
    int kind; // a ban, the allow-list's switch, an allow-list entry
    std::string name;
    uint32_t addr;
    int prefix;
    int isAddress;
    int add; // or on
};
enum { writeLines, writeSync, writeRename, writeFolder };
// What a line of a list means: nothing (a comment, a blank or damaged line), an entry
// (a name or a range; for the allow-list a name), or the allow-list's switch (on/off).
struct lineMeaning {
    int entry; // 0, 1 an entry, 2 the switch
    int isAddress;
    std::string name; // unescaped; "on" or "off" for the switch
    uint32_t addr;    // the range's first address, host order
    int prefix;
};
struct accessFile {
    const char* name;
    std::vector<std::string> lines;
    std::vector<lineMeaning> meanings; // of each line, so that no change parses them all
    int exists;
    struct stat seen;
    uint64_t version; // of the lines; a write under way whose lines changed starts anew
    uint64_t written; // the version on disk
    std::vector<accessChange> changes;
    int replaying;
    std::vector<accessWaiter> waiting;
    FILE* out; // the temporary file being written, a slice a tick
    uint64_t writing;
    size_t nextLine;
    int step;          // of the write under way, a tick each: lines, sync, rename, folder
    std::string aside; // the file a write replaced, let go of a slice a tick
};
struct sessionState {
    ArrayList* profList; // veskProfile*: the confirmed accounts, in creation order
    accountIndex ix;
    // Accounts made but not confirmed yet, in creation order, and by name.
    std::vector<veskProfile*> pending;
    std::unordered_map<std::string, veskProfile*> pendingByName;
    uint32_t lastExpiry;
    std::vector<veskProfile*> live; // accounts in a session, in the order of their logins
    std::vector<accountRequest> requests;
    long long passwordHashes; // computed since the process started
    // The limits: counts per address, with a secret for the table's hash; the accounts
    // confirmed this minute; the hashes of this tick.
    addressRecord records[addressSlots];
    unsigned char tableKey[16];
    uint32_t serverMinuteStart;
    int serverConfirmations;
    int serverCounting;
    int hashesThisTick;
    int uncountedThisTick;
    // Who may come in.
    std::set<std::string> bannedNames;
    std::set<std::pair<uint32_t, int>> bannedRanges; // address (host order, masked), prefix
    std::unordered_set<uint32_t> rangesOfPrefix[33]; // the same, for the look-up of a sender
    std::set<std::string> allowedNames;
    int allowOn;
    accessFile files[2] = {{"bans", {}, {}, 0, {}, 0, 0, {}, 0, {}, nullptr, 0, 0, 0, {}},
                           {"allow", {}, {}, 0, {}, 0, 0, {}, 0, {}, nullptr, 0, 0, 0, {}}};
};
extern sessionState sessions;

// ---------------------------------------------------------------------------------------
// Traffic

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

// A datagram kept for the tick's dispatching, and its sender's queue.
struct heldDatagram {
    int at; // offset in the arena; the datagram is followed by a 0 byte
    int len;
    int next; // the next datagram of the same sender, -1 at the end
    sockaddr_in from;
    socklen_t fromLen;
};
struct senderQueue {
    uint64_t key; // a live session's address and port, or any other IPv4 address
    int head, tail, count;
};
// A live session's endpoint, with a copy of its key as the tick began.
struct liveKey {
    unsigned char key[keyLen];
};

// What one tick keeps: strangers may fill half of it at most, so that a flood never leaves
// the sessions without room.
constexpr int heldCap = 2 * maxDatagramsPerTick;
constexpr int arenaSize = 8 << 20;
constexpr int readBatch = 32; // datagrams read at a time

// What changed this tick, gathered once by the output step for all its clients.
struct changedEnt {
    int cx, cy;    // its chunk, for the visibility test of every client
    size_t record; // its update record in `records`, the same for every client
    int recordLen;
};
// The changed entities of one chunk: a run of byChunk.
struct chunkRun {
    int start, end;
};

// The operator's figures of the ticks: running totals for the metrics, the last whole
// second for the live page, and the status line's interval.
constexpr int tickBucketCount = 7;
struct tickFigures {
    long long ticksTotal;
    double tickSecondsTotal;
    long long ticksAtMost[tickBucketCount];
    uint32_t secondStart;
    double secondMsSum, secondMsMax;
    long secondTicks;
    double lastSecondMean, lastSecondMax;
    uint32_t intervalStart;
    double tickMsSum, tickMsMax;
    long ticks;
    long long droppedAtStart, systemDroppedAtStart, picksIgnoredAtStart;
    double processStartMs;
};

struct trafficState {
    int mysocket = -1; // the UDP endpoint, -1 when closed
    trafficTotals totals;
    tickFigures figures;
    unsigned char outgoing[bufSize]; // every datagram sent is built here, one at a time
    // The receive step: the socket's drop count as last reported, what the tick keeps, its
    // senders in the order first heard, and the live sessions' endpoints.
    uint32_t systemDropsSeen;
    unsigned char arena[arenaSize];
    int arenaUsed, strangerBytes;
    heldDatagram held[heldCap];
    int heldCount, strangersHeld;
    std::vector<senderQueue> senders;
    probeTable<uint64_t, int> senderIndex; // key -> place in senders
    probeTable<uint64_t, liveKey> sessionSet;
    unsigned char batchData[readBatch][bufSize];
    sockaddr_in batchFrom[readBatch];
    unsigned turn;   // ticks of receiving: where the senders' round begins
    int dispatching; // the tick's dispatching is under way, since dispatchStart
    uint32_t dispatchStart;
    // The in-game stream's gathering.
    std::vector<changedEnt> changedEnts;
    std::vector<unsigned char> records;
    std::vector<veskTerrain*> editedChunks;
    std::vector<int> byChunk; // indices into changedEnts, ordered by chunk
    probeTable<uint64_t, chunkRun> runs;
    std::vector<std::vector<int>> viewOffsets;       // per view radius: dx, dy pairs
    std::vector<int> seen;                           // scratch of one client
    std::vector<uint64_t> seenMask;                  // likewise, one bit per changed entity
    std::vector<int> inView;                         // scratch of a terrain batch
    std::vector<std::pair<int, veskTerrain*>> found; // scratch of the chunks newly in view
};
extern trafficState traffic;

// A name field as text: its bytes up to the first 0, at most textLen.
inline std::string nameOf(const unsigned char* name) {
    return std::string(reinterpret_cast<const char*>(name),
                       strnlen(reinterpret_cast<const char*>(name), textLen));
}

// A well-mixed hash of an IPv4 address, for tables keyed by sender: every bit of the
// address reaches the low bits a table indexes by (in network order the last octet is the
// top byte, which a multiply alone carries only upward), so that the addresses of one
// network spread over the whole table.
inline uint32_t addressHash(uint32_t addr) {
    uint32_t h = addr ^ (addr >> 16);
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    return h ^ (h >> 16);
}

// The accounts, their look-ups, the limits and the access lists released, and what the
// tick keeps forgotten; the totals and figures stay.
void resetSessions();

// ---------------------------------------------------------------------------------------
// The endpoint and the receive step (socket.cpp, receive.cpp)

int initServ(); // opens the UDP port; 1 on success, 0 (logged) when it could not be opened
void closeServ();
// A writer over the one buffer every datagram is built in (bufSize bytes), empty.
byteWriter newDatagram();
// Sends what the writer holds to `addr` (nothing when it overflowed); the send call's result.
int sendDatagram(const sockaddr_in* addr, socklen_t len, const byteWriter* w);
void readWaitingDatagrams(); // between ticks: keeps what has arrived for the next tick
void receiveDatagrams();     // reads, then dispatches what arrived, sessions first
// Whether the tick's time for dispatching is spent: work inside one datagram stops too.
inline int receiveBudgetSpent() {
    return traffic.dispatching &&
           getTicks() - traffic.dispatchStart >= uint32_t(options.receiveBudgetMs);
}

// protocol.cpp: the receive dispatcher
void ticlyIn(unsigned char* buff, int length, sockaddr_in* remaddr, socklen_t addrlen);

// ---------------------------------------------------------------------------------------
// accounts.cpp: accounts, login and session keys

void profCreation(unsigned char* buff, int length, sockaddr_in* remaddr, socklen_t addrlen);
void profLogin(unsigned char* buff, int length, sockaddr_in* remaddr, socklen_t addrlen);
// Creations and logins wait until the tick's datagrams are dispatched and are then served
// within the tick's hash budget: logins of accounts from the addresses they logged in from
// first, then the rest in arrival order.
void queueAccountRequest(const unsigned char* buff, int length, const sockaddr_in* from);
void serveAccountRequests();
// Accounts in a session (any stage but psNotConn), in the order they logged in.
const std::vector<veskProfile*>& liveSessions();
void endSession(veskProfile* pro); // back to psNotConn, out of the live list
// Accounts made but not confirmed yet, in the order they were made: they are not in
// profList, not saved and not counted, until one of their sessions completes a handshake.
const std::vector<veskProfile*>& pendingAccounts();
// Its session completed a handshake: the password is hashed and the account joins profList,
// within the tick's hashes unless `anyway` (at a Stop); else it stays pending, and the
// session's next tick in the game tries again.
void confirmAccount(veskProfile* pro, int anyway);
void confirmSessionsInGame();        // at a Stop: every account whose session is in the game
int removePending(veskProfile* pro); // the operator's remove: 1 when it was pending
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
// The entity a player controls: a walker set down on the terrain under the start point.
int newPlayerEntity();
// The controlled entity of a connected account, or null when its index is not valid.
veskEntity* profEntity(veskProfile* pro);

// limits.cpp: account creations and failed logins per address and minute (never limited
// from loopback), accounts confirmed per minute for the whole server, password hashes per
// tick; `now` is the millisecond clock
int creationAllowed(const sockaddr_in* from, uint32_t now);
void countCreation(const sockaddr_in* from, uint32_t now);
void countConfirmation(const sockaddr_in* from, uint32_t now); // an account's first handshake
int loginAllowed(const sockaddr_in* from, uint32_t now);
void countFailedLogin(const sockaddr_in* from, uint32_t now); // a password checked, wrong
// 1 when the tick may spend one more password hash for this sender (and it is counted).
int takeHash(const sockaddr_in* from, uint32_t now);
void newHashTick(); // the next tick's hashes
void resetLimits(); // at Start: counts forgotten, a new secret for the table
int isLoopback(const sockaddr_in* from);

// handshake.cpp: the stage machine, resends, polls and disconnect
void handshakeStep(veskProfile* pro);
void ticlyTimeOut(veskProfile* pro);
void ticlyOutGame(veskProfile* pro);
void sendPoUpdate(veskProfile* pro);
void profDisconnect(veskProfile* prof);
// Tells a client its session is ended by the server (a kick, a ban, a Stop): soDisconnect
// with the session's key, which no forger of the server's address knows.
void sendDisconnect(veskProfile* pro);

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

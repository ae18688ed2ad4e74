// The operator's side: the commands, their channels (the control socket in the save folder,
// the console on standard input), the figures (the status line, the metrics, the live
// page's status and its terrain feed) and systemd's notifications. One record,
// `operatorSide`, holds the channels and lives as long as the process; the figures count in
// the traffic record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "loop.h"
#include "save/save.h"
#include "sessions/sessions.h"
#include "world/world.h"

constexpr int commandLineMax = 1024; // bytes of one command, newline included

// A connection to the control socket: its command as it comes, and its answer as it goes.
struct controlClient {
    int fd;
    char in[commandLineMax];
    int inLen;
    int ran;        // its command was run (or refused)
    int waiting;    // its command is under way (a save): it is not idle
    int discarding; // what it sends is read and dropped (after a line too long)
    std::string out;
    size_t sent;
    uint32_t since;
};

struct MHD_Daemon;
struct MHD_Connection;
// A connection to the live page: whose, since when its request's head is awaited, and
// whether it has come.
struct openConnection {
    MHD_Connection* connection;
    uint32_t owner; // IPv4 address (host order), 127.0.0.0 for the machine itself
    uint32_t since; // millisecond clock: the connection, or the end of its last answer
    int headWhole;
    int shut; // shut down (late, or to make room): the library closes it next
};

struct operatorState {
    // The control socket and its clients.
    int listenFd = -1;
    std::string socketPath;
    std::vector<controlClient*> clients;
    // The console: the line it is reading.
    std::string consoleLine;
    int consoleOverlong;
    uint32_t lastWatchdog; // systemd's, at most once a second
    // The live page's HTTP server, its descriptors, its connections, and what it spent of
    // the tick whose nextTick is budgetTick.
    MHD_Daemon* httpDaemon;
    int epollFd = -1;
    int timerFd = -1;
    std::vector<openConnection*> connections;
    uint32_t budgetTick;
    double spentMs;
    // The chunk feed's faces of a chunk as generated, for those it leaves out.
    std::vector<int32_t> generatedFaces;
};
extern operatorState operatorSide;

// --- commands.cpp: the operator's commands --------------------------------------------
struct commandAnswer {
    std::string text; // lines, each ended by a newline
    int failed;
    int waiting; // the answer comes later, through the callback (a save, a list's file)
};
void runCommand(const char* line, commandAnswer* answer, saveDone later, void* context);

// --- control.cpp: the control socket and the console -----------------------------------
int openControl();                         // listens on control.sock; 1 on success
void closeControl();                       // closes every connection and removes the socket file
void watchConsole();                       // headless: commands from standard input, a line each
void serveControl(uint32_t now);           // once a tick: connections that took too long end
int runControlClient(const char* command); // --control: the process exit status
// A command line as it came from a client or the console, without its newline: "" when it
// may be run, else why not.
const char* commandLineProblem(const std::string& line, int cutOff);

// --- status.cpp: the status line, logged every statusSeconds and at Stop ---------------
void startStatus();      // a new interval
void logStatus();        // the figures of the interval so far, then a new one
void announceWarnings(); // to systemd at once: what a host must not miss (damaged files)
void statusLine(char* out, size_t outSize); // the same figures, the interval going on
void countTick(double ms); // a serving tick's whole time; logs the status line when due
// The figures for Prometheus (text exposition format) and for the live page (JSON: the
// figures and the sessions, without addresses or anything secret).
void metricsText(std::string* out);
void statusJson(std::string* out);

// --- notify.cpp: readiness and health for systemd (nothing without it) ------------------
void notifyReady();
void notifyStatus(const char* statusLine);
void notifyWatchdog(uint32_t now); // at most once a second
void notifyStopping();

// --- chunkFeed.cpp: the live page's terrain, the chunks newer than a version ------------
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

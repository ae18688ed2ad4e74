// The operator's settings: what the command line (and QUARN_RES) set, with their defaults,
// in one record that every part of the server reads; and the command line's parsing.
#pragma once

#include <netinet/in.h>
#include <string>

#include "textNumbers.h"

struct serverOptions {
    // Where it serves.
    int port = 2300;
    std::string resDir = "res"; // the save folder, and the window's logo and font
    int resGiven = 0;           // the folder was named (--res, QUARN_RES): it must exist
    // What one client, one address and everybody together may make it do.
    int maxAccounts = 10000;         // confirmed accounts
    int maxPlayers = 0;              // sessions at once (0: no limit)
    int maxViewRadius = 16;          // a larger view radius asked at login is served at this one
    int worldRadius = 128;           // chunks are made only within this hex distance of (0, 0)
    int hashesPerTick = 5;           // password hashes a tick may spend
    int creationsPerMinute = 30;     // accounts confirmed a minute, from all but loopback
    int creationsPerAddress = 5;     // accounts one address may make a minute
    int failedLoginsPerAddress = 10; // wrong passwords from one address a minute
    int failedLoginsPerAccount = 10; // a minute, before a name is checked only from home
    int maxPerSenderPerTick = 512;   // datagrams kept from one sender in one tick at most
    int receiveBudgetMs = 20;        // time a tick spends on dispatching
    // Timing.
    int ticksPerSecond = 20;
    int autosaveSeconds = 300; // 0: never
    int backupEveryHours = 0;  // 0: never
    int keepBackups = 10;      // the oldest beyond go
    int statusSeconds = 60;    // the status line's interval
    int returnWaitTime = 1000; // ms of silence before a handshake datagram is sent again
    int returnFailMax = 3;     // resends or polls without an answer before a session ends
    // The world a Start makes when it has none: the spawn area's radius, and the chunks'
    // segments a side and circumradius.
    int spawnR = 11;
    int terEdge = 5;
    float terScale = 10.0f;
};
extern serverOptions options;

inline constexpr const char* serverVersion = "quarn-server " QUARN_VERSION;

// What the command line asks for beyond the settings.
struct commandLine {
    int headless;
    int verbose;         // headless: the protocol's entries are logged too
    const char* control; // --control COMMAND, or null
    int http;            // --http was given, with its address
    sockaddr_in httpAddress;
};
// -1 to go on; otherwise the process's exit status (0 after --help or --version, 2 for a
// bad command line, with the reason and the usage on standard error).
int parseCommandLine(int argc, char** argv, commandLine* out);

void setResDir(const char* dir);       // the folder of the logo, the font and the save files
std::string resPath(const char* name); // a file of that folder

// A player's session with the server as a plain record: the account's creation, the login,
// the handshake's acknowledgements, the game and the end, driven by the datagrams that
// arrive and by the time the caller passes in (milliseconds of any steady clock).
#pragma once

#include <cstdint>
#include <string_view>

#include "clientWire.h"

enum clientStage { csCreating, csLoggingIn, csHandshake, csInGame, csEnded };

// How a session ended.
enum clientEnd {
    endNone,
    endToldToLeave, // a soDisconnect with our key: kicked, banned, or the server stopped
    endSilence,     // nothing heard for too long, or no answer to any request
    endRefused,     // every try at creating or logging in was refused
    endLeft         // we said goodbye with coDisconnect
};

// What one datagram or one passing of time did to the session.
enum clientEvent {
    evNone,
    evCreated,       // the account was made
    evCreateRefused, // refused (taken name, a limit): a login follows at once
    evLoggedIn,      // the key came: the handshake begins
    evLoginRefused,  // refused (wrong password, busy, full): tried again later
    evResent,        // an unanswered or refused request went out again
    evBatch,         // a terrain or entity batch of the handshake, acknowledged
    evInGame,        // the handshake's end mark, acknowledged
    evGameUpdate,    // an in-game datagram, read into the stream
    evPoll,          // the server's keep-alive, answered
    evEnded,         // see endedBy
    evIgnored,       // not for this stage, a stray answer, or another session's key
    evMalformed      // refused by the readers: not acknowledged, so the server sends it again
};

// The session's patience. The server itself sends a handshake datagram again after a
// second without an answer and gives up after three; it polls a player in the game about
// once a second.
struct clientTiming {
    int retryMs = 1000;            // a creation or login unanswered or refused goes again
    int maxTries = 60;             // creations and logins sent before giving up
    int handshakeSilenceMs = 5000; // handshake: nothing heard for this long ends it
    int gameSilenceMs = 5000;      // game: nothing heard for this long ends it
};

// The datagrams a step wants sent, in order: at most two (a key's acknowledgement and the
// request for the first batch), none larger than a login.
struct clientOutbox {
    int count;
    size_t len[2];
    unsigned char data[2][loginLen];
};

struct clientSession {
    int stage;   // a clientStage
    int endedBy; // a clientEnd
    unsigned char name[textLen], pass[textLen];
    size_t nameLen, passLen;
    int32_t radius;
    int create;  // creations are tried until one is made or refused for a taken name
    int created; // our creation was made (or the account is known to exist)
    clientTiming timing;
    int tries, refusals;
    int hasKey;
    logGoodMsg login; // key, entity, terrain scale
    int64_t startedAt, lastAsked, lastHeard, inGameAt;
    int batches; // handshake batches acknowledged
};

// A new session; its first request (a creation when `create` is set, else a login) is in `out`.
void clientBegin(clientSession* s, std::string_view name, std::string_view pass, int32_t radius,
                 int create, int64_t now, clientOutbox* out);
// One datagram from the server. What it carried (batches, in-game datagrams) is appended to
// `content` when it is not null; the answer to send is in `out`. Returns a clientEvent.
int clientReceive(clientSession* s, const unsigned char* d, size_t len, int64_t now,
                  clientOutbox* out, gameStream* content);
// Time passing: requests sent again, silences that end the session. Returns a clientEvent.
int clientTick(clientSession* s, int64_t now, clientOutbox* out);
// Says goodbye (coDisconnect) when the server knows the session; the session ends.
void clientLeave(clientSession* s, clientOutbox* out);
// The head of a game tick (coGameTic and the key); sub-messages follow it. 0 before a login.
int clientTicHead(const clientSession* s, byteWriter* w);

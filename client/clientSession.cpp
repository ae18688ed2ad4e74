// The session's stages and their time-outs. The handshake is the server's stop-and-wait:
// each acknowledgement asks for the next batch, and the server sends a batch again (from
// where it was) when it hears nothing for a second. So the client acknowledges each batch
// once and never on its own: an acknowledgement sent again would be taken for the next one
// and a lost batch would be skipped. Only creations and logins, which the server answers
// once, are sent again after a silence or a refusal.
#include "clientSession.h"

#include <algorithm>
#include <cstring>

namespace {

void end(clientSession* s, int how) {
    s->stage = csEnded;
    s->endedBy = how;
}

std::string_view text(const unsigned char* field, size_t len) {
    return {reinterpret_cast<const char*>(field), len};
}

// A creation or a login, as the stage asks.
void ask(clientSession* s, int64_t now, clientOutbox* out) {
    byteWriter w = makeWriter(out->data[out->count], loginLen);
    if (s->stage == csCreating)
        putNewAccount(&w, text(s->name, s->nameLen), text(s->pass, s->passLen));
    else
        putLogin(&w, text(s->name, s->nameLen), text(s->pass, s->passLen), s->radius);
    out->len[out->count++] = w.pos;
    s->tries++;
    s->lastAsked = now;
}

void acknowledge(const clientSession* s, clientOutbox* out) {
    byteWriter w = makeWriter(out->data[out->count], loginLen);
    putSessionHead(&w, coUpdate, s->login.key);
    out->len[out->count++] = w.pos;
}

// The first acknowledgement confirms the key and is not answered; the second asks for the
// first batch. Should the first be lost, the second confirms the key and the server sends
// the first batch after its second of silence.
void acknowledgeKey(const clientSession* s, clientOutbox* out) {
    acknowledge(s, out);
    acknowledge(s, out);
}

// Anyone may send a soDisconnect to a player's address: only one with the session's key
// ends the session.
int toldToLeave(clientSession* s, const unsigned char* d, size_t len) {
    if (!s->hasKey || !readDisconnect(d, len, s->login.key)) return evIgnored;
    end(s, endToldToLeave);
    return evEnded;
}

// Answers to creations and logins. Answers to a request sent twice come twice: one that does
// not fit the stage is a stray and changes nothing.
int requestAnswer(clientSession* s, const unsigned char* d, size_t len, int64_t now,
                  clientOutbox* out) {
    logGoodMsg m;
    if (d[0] == soLogGood && readLogGood(d, len, &m, nullptr)) {
        s->login = m;
        s->hasKey = 1;
        s->created = 1;
        s->stage = csHandshake;
        s->lastHeard = now;
        acknowledgeKey(s, out);
        return evLoggedIn;
    }
    if (s->stage == csCreating && (isBare(d, len, soNewGood) || isBare(d, len, soNewBad))) {
        int made = d[0] == soNewGood;
        s->created = made;
        s->refusals += !made;
        s->stage = csLoggingIn; // a refused name may be ours already: a login tells
        ask(s, now, out);
        return made ? evCreated : evCreateRefused;
    }
    if (s->stage == csLoggingIn && isBare(d, len, soLogBad)) {
        s->refusals++;
        // Unless an account was made, the next try creates it again (a limit may have refused
        // the creation); the refused creation of a taken name is answered by a login.
        if (s->create && !s->created) s->stage = csCreating;
        return evLoginRefused;
    }
    return evIgnored;
}

int handshakeDatagram(clientSession* s, const unsigned char* d, size_t len, int64_t now,
                      clientOutbox* out, gameStream* content) {
    logGoodMsg m;
    if (d[0] == soLogGood) {
        // The key again: both acknowledgements were lost.
        if (!readLogGood(d, len, &m, nullptr) || memcmp(m.key, s->login.key, keyLen) != 0)
            return evIgnored;
        s->lastHeard = now;
        acknowledgeKey(s, out);
        return evLoggedIn;
    }
    if (d[0] == soInitTer || d[0] == soInitEnt) {
        gameStream scratch;
        gameStream* into = content ? content : &scratch;
        int ok = d[0] == soInitTer ? readTerBatch(d, len, into, nullptr)
                                   : readEntBatch(d, len, into, nullptr);
        if (!ok) return evMalformed; // unacknowledged: it comes again
        s->lastHeard = now;
        s->batches++;
        acknowledge(s, out);
        return evBatch;
    }
    if (isBare(d, len, soUpdate)) {
        s->lastHeard = now;
        acknowledge(s, out); // the end mark's acknowledgement puts the session in the game
        s->stage = csInGame;
        s->inGameAt = now;
        return evInGame;
    }
    return evIgnored;
}

int gameDatagram(clientSession* s, const unsigned char* d, size_t len, int64_t now,
                 clientOutbox* out, gameStream* content) {
    if (isBare(d, len, soUpdate)) {
        // A poll; also the end mark again when its acknowledgement was lost.
        s->lastHeard = now;
        acknowledge(s, out);
        return evPoll;
    }
    if (d[0] != soEntUpdate && d[0] != soInitTer && d[0] != soTerUpdate) return evIgnored;
    gameStream scratch;
    if (!readGameDatagram(d, len, content ? content : &scratch, nullptr)) return evMalformed;
    s->lastHeard = now;
    return evGameUpdate;
}

} // namespace

void clientBegin(clientSession* s, std::string_view name, std::string_view pass, int32_t radius,
                 int create, int64_t now, clientOutbox* out) {
    *s = clientSession{};
    s->nameLen = std::min(name.size(), size_t(textLen));
    s->passLen = std::min(pass.size(), size_t(textLen));
    memcpy(s->name, name.data(), s->nameLen);
    memcpy(s->pass, pass.data(), s->passLen);
    s->radius = radius;
    s->create = create;
    s->stage = create ? csCreating : csLoggingIn;
    s->startedAt = now;
    s->lastHeard = now;
    out->count = 0;
    ask(s, now, out);
}

int clientReceive(clientSession* s, const unsigned char* d, size_t len, int64_t now,
                  clientOutbox* out, gameStream* content) {
    out->count = 0;
    if (s->stage == csEnded || len == 0) return evIgnored;
    if (d[0] == soDisconnect) return toldToLeave(s, d, len);
    if (s->stage == csCreating || s->stage == csLoggingIn)
        return requestAnswer(s, d, len, now, out);
    if (s->stage == csHandshake) return handshakeDatagram(s, d, len, now, out, content);
    return gameDatagram(s, d, len, now, out, content);
}

int clientTick(clientSession* s, int64_t now, clientOutbox* out) {
    out->count = 0;
    if (s->stage == csCreating || s->stage == csLoggingIn) {
        if (now - s->lastAsked < s->timing.retryMs) return evNone;
        if (s->tries >= s->timing.maxTries) {
            end(s, s->refusals > 0 ? endRefused : endSilence);
            return evEnded;
        }
        ask(s, now, out);
        return evResent;
    }
    int silence = s->stage == csHandshake ? s->timing.handshakeSilenceMs : s->timing.gameSilenceMs;
    if (s->stage == csEnded || now - s->lastHeard < silence) return evNone;
    end(s, endSilence);
    return evEnded;
}

void clientLeave(clientSession* s, clientOutbox* out) {
    out->count = 0;
    if (s->hasKey && (s->stage == csHandshake || s->stage == csInGame)) {
        byteWriter w = makeWriter(out->data[0], loginLen);
        putSessionHead(&w, coDisconnect, s->login.key);
        out->len[out->count++] = w.pos;
    }
    if (s->stage != csEnded) end(s, endLeft);
}

int clientTicHead(const clientSession* s, byteWriter* w) {
    return s->hasKey && putSessionHead(w, coGameTic, s->login.key);
}

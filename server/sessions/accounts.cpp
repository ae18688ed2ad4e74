// Accounts and sessions: creation, confirmation, login, the 16-byte session key that names a
// logged-in client in every later datagram, salted password hashes, the look-ups by name and
// by key, the addresses each account logs in from, and the entity each account controls.
// Text fields may fill all 256 bytes, so every use of them is bounded.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sodium.h>
#include <string>
#include <unordered_map>

#include "bytes.h"
#include "sessions.h"

static int fieldLen(const unsigned char* s, int maxlen) {
    return int(strnlen(reinterpret_cast<const char*>(s), size_t(maxlen)));
}

// Texts are equal when they agree up to and including their first 0 byte, or over maxlen
// bytes. No trace: the texts compared may be passwords or keys.
int strCompare(const unsigned char* str0, const unsigned char* str1, int maxlen) {
    for (int i = 0; i < maxlen; i++) {
        if (str0[i] != str1[i]) return 0;
        if (str0[i] == 0) return 1;
    }
    return 1;
}

// --- pending accounts ------------------------------------------------------------------
// A new account is pending until one of its sessions completes a handshake, which needs the
// key that only the sender's real address receives: forged creations never get there. A
// pending account is neither saved nor counted among the accounts, and its password is kept
// as it was sent, in memory only, until the confirmation hashes it, so a creation costs no
// hash. The pool is bounded: a pending account whose address is not proven yet (no session,
// or a session still waiting for its key to be acknowledged) gives way to a new one, oldest
// first, and one unconfirmed for ten minutes goes.

constexpr int maxPendingAccounts = 1000;
constexpr uint32_t pendingMs = 10 * 60000;

const std::vector<veskProfile*>& pendingAccounts() {
    return sessions.pending;
}

// --- look-ups by name and by key -------------------------------------------------------
// Every session datagram names its account by key and every creation and login by name;
// with thousands of accounts a scan per datagram would dominate the tick. Accounts are
// appended to profList, so the index catches up with the tail of the list on each look-up.
// Keys are indexed by their text up to and including the first 0 byte: keys that agree
// that far count as the same key when a new one is made, so no two live keys share it.

static std::string keyText(const unsigned char* key) {
    int len = fieldLen(key, keyLen);
    return std::string(reinterpret_cast<const char*>(key), size_t(len < keyLen ? len + 1 : len));
}

void forgetAccountIndex() {
    sessions.ix.byName.clear();
    sessions.ix.byKey.clear();
    sessions.ix.list = nullptr;
    sessions.ix.next = arrayListCursor<veskProfile>{nullptr, 0};
    sessions.ix.count = 0;
    for (veskProfile* pro : sessions.pending) // pending accounts are not in the list: kept by hand
        if (pro->stage != psNotConn) sessions.ix.byKey[keyText(pro->key)] = pro;
}

static void indexAccount(veskProfile* pro) {
    // The first account of a name is the one found, as a scan in list order would.
    if (fieldLen(pro->username, textLen) > 3)
        sessions.ix.byName.emplace(nameOf(pro->username), pro);
    sessions.ix.count++;
    if (pro->stage != psNotConn) sessions.ix.byKey[keyText(pro->key)] = pro;
}

static void catchUp() {
    if (sessions.ix.list != sessions.profList) {
        forgetAccountIndex();
        sessions.ix.list = sessions.profList;
        sessions.ix.next = arrayListCursor<veskProfile>{sessions.profList, 0};
    }
    while (veskProfile* pro = arrayListNext(&sessions.ix.next))
        indexAccount(pro);
}

// The connected account whose key agrees with `key` up to a 0 byte, if any.
static veskProfile* liveKeyHolder(const unsigned char* key) {
    catchUp();
    auto found = sessions.ix.byKey.find(keyText(key));
    if (found == sessions.ix.byKey.end()) return nullptr;
    veskProfile* pro = found->second;
    if (pro->stage == psNotConn || !strCompare(pro->key, key, keyLen)) return nullptr;
    return pro;
}

static void forgetKey(veskProfile* pro) {
    auto found = sessions.ix.byKey.find(keyText(pro->key));
    if (found != sessions.ix.byKey.end() && found->second == pro) sessions.ix.byKey.erase(found);
}

static void rememberKey(veskProfile* pro) {
    sessions.ix.byKey[keyText(pro->key)] = pro;
}

veskProfile* accountNamed(const unsigned char* name) {
    int len = fieldLen(name, textLen);
    char shown[1100];
    shownText(name, size_t(len), shown, sizeof shown);
    tracef("name: %s\n", shown);
    tracef("userLen: %d\n", len);
    if (len <= 3) return nullptr;
    catchUp();
    tracef("numProfs: %d\n", sessions.ix.count);
    std::string key = nameOf(name);
    auto found = sessions.ix.byName.find(key);
    if (found != sessions.ix.byName.end()) return found->second;
    auto waiting = sessions.pendingByName.find(key);
    return waiting == sessions.pendingByName.end() ? nullptr : waiting->second;
}

// --- passwords -------------------------------------------------------------------------
// The password field holds an Argon2id string: salted, and slow enough to make guessing
// from a stolen file expensive, yet cheap enough to run inside the tick (about a
// millisecond here, measured by the accounts benchmark). Fields written before hashing
// hold the password itself; they are compared as text and replaced by a hash once the
// password has been given right.
constexpr unsigned long long passOpsLimit = 6;
constexpr size_t passMemLimit = 512 * 1024;
static_assert(crypto_pwhash_STRBYTES <= textLen, "a hash string fits the password field");

static int isPasswordHash(const unsigned char* field) {
    static const char prefix[] = "$argon2id$";
    return fieldLen(field, textLen) < textLen && memcmp(field, prefix, sizeof prefix - 1) == 0;
}

int hashPassword(unsigned char* field, const unsigned char* sent) {
    char hash[crypto_pwhash_STRBYTES];
    if (sodium_init() < 0) return 0;
    sessions.passwordHashes++;
    if (crypto_pwhash_argon2id_str(hash, reinterpret_cast<const char*>(sent),
                                   size_t(fieldLen(sent, textLen)), passOpsLimit,
                                   passMemLimit) != 0)
        return 0;
    memset(field, 0, textLen);
    memcpy(field, hash, strlen(hash));
    return 1;
}

int checkPassword(unsigned char* field, const unsigned char* sent) {
    traceLine("strCompare(***, ***)");
    if (!isPasswordHash(field)) {
        if (!strCompare(field, sent, textLen)) return 0;
        hashPassword(field, sent); // kept as it was if hashing fails
        return 1;
    }
    if (sodium_init() < 0) return 0;
    sessions.passwordHashes++;
    return crypto_pwhash_argon2id_str_verify(reinterpret_cast<const char*>(field),
                                             reinterpret_cast<const char*>(sent),
                                             size_t(fieldLen(sent, textLen))) == 0;
}

// A pending account's password as it was sent: compared in constant time, up to the first
// 0 byte as every password is, and never hashed before the confirmation.
static int samePendingPassword(const unsigned char* field, const unsigned char* sent) {
    unsigned char given[textLen] = {};
    memcpy(given, sent, size_t(fieldLen(sent, textLen)));
    return sodium_memcmp(field, given, textLen) == 0;
}

// --- creation and login ----------------------------------------------------------------

static void replyByte(int type, const sockaddr_in* to, socklen_t toLen) {
    byteWriter w = newDatagram();
    putU8(&w, type);
    if (sendDatagram(to, toLen, &w) <= 0) traceLine("sendFailed");
}

// Every player walks: a ground walker set down on the terrain under the start point. The
// entity of an account that is gone is given to the next player, so that entities do not
// pile up with accounts that come and go.
int newPlayerEntity() {
    const float start[3] = {5.0f, 1.0f, 5.0f};
    veskEntity* ent = reviveEntity(world.entList, 0, start);
    if (!ent) ent = addDefaultEntity(world.entList, 0, start);
    setveskGravity(ent->gravMem, world.terList);
    return ent->globalId;
}

veskEntity* profEntity(veskProfile* pro) {
    return entityAt(world.entList, pro->entity);
}

// A refusal or a result of a creation or login: the system's text, then who it is about.
static void accountEntry(const char* text, const unsigned char* name, const sockaddr_in* from) {
    char who[300];
    whoText(name, from, who, sizeof who);
    datagramEntry(text, "%s (%s)", text, who);
}

// A name is shown in the log: no byte of it may be a control character; and a name of 3
// characters or fewer could never log in.
static int nameIsAcceptable(const unsigned char* name) {
    if (fieldLen(name, textLen) <= 3) return 0;
    for (int i = 0; i < textLen && name[i]; i++)
        if (name[i] < 0x20 || name[i] == 0x7F) return 0;
    return 1;
}

static void leaveLiveList(veskProfile* pro);

// Frees a pending account that has gone (evicted, expired, or at Stop); its entity is
// retired, to be given to the next player.
static void dropPending(veskProfile* pro) {
    sessions.pendingByName.erase(nameOf(pro->username));
    forgetKey(pro);
    leaveLiveList(pro);
    veskEntity* ent = profEntity(pro);
    if (ent && ent->globalId != 0 && !ent->retired) retireEntity(world.entList, ent);
    sodium_memzero(pro->password, textLen);
    free(pro);
}

// Whether a pending account may give way: its address is not proven yet.
static int unproven(const veskProfile* pro) {
    return pro->stage == psNotConn || pro->stage == psKeyWait;
}

// Room in the pool for one more: 0 when every pending account's address is proven.
static int makePendingRoom() {
    if (sessions.pending.size() < size_t(maxPendingAccounts)) return 1;
    auto oldest = std::find_if(sessions.pending.begin(), sessions.pending.end(), unproven);
    if (oldest == sessions.pending.end()) return 0;
    veskProfile* pro = *oldest;
    sessions.pending.erase(oldest);
    if (pro->stage != psNotConn) sendDisconnect(pro); // a session waiting for its key
    endSession(pro);
    dropPending(pro);
    return 1;
}

// Pending accounts unconfirmed for ten minutes go, unless a session proves their address.
static void expirePending(uint32_t now) {
    if (now - sessions.lastExpiry < 1000) return;
    sessions.lastExpiry = now;
    std::erase_if(sessions.pending, [now](veskProfile* pro) {
        if (now - pro->createdAt < pendingMs || !unproven(pro)) return false;
        if (pro->stage != psNotConn) sendDisconnect(pro);
        endSession(pro);
        dropPending(pro);
        return true;
    });
}

// Accounts are never removed by a client, so their number and the pace at which senders
// make them are bounded; a new account is pending until its first handshake, and has no
// entity until its first login.
void profCreation(unsigned char* buff, int, sockaddr_in* remaddr, socklen_t addrlen) {
    uint32_t now = getTicks();
    const unsigned char* name = buff + 1;
    char shown[256];
    shownField(name, textLen, shown, sizeof shown);
    datagramEntry("New Profile Creation", "New Profile Creation: (%s) (***)", shown);
    const char* refusal = nullptr;
    if (!nameIsAcceptable(name)) {
        refusal = "Profile Creation: Failed (name)";
    } else if (nameBanned(name)) {
        refusal = "Profile Creation: Refused (banned)";
    } else if (!nameAllowed(name)) {
        refusal = "Profile Creation: Refused (allow-list)";
    } else if (accountNamed(name)) {
        refusal = "Profile Creation: Username conflict.";
    } else if (sessions.ix.count >= options.maxAccounts || !creationAllowed(remaddr, now)) {
        refusal = "Profile Creation: Refused (limit)";
    } else if (!makePendingRoom()) {
        refusal = "Profile Creation: Refused (busy)";
    }
    if (refusal) {
        accountEntry(refusal, name, remaddr);
        replyByte(soNewBad, remaddr, addrlen);
        return;
    }
    veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
    const unsigned char* sent = buff + 1 + textLen;
    memcpy(pro->password, sent, size_t(fieldLen(sent, textLen)));
    pro->addrLen = addrlen;
    pro->profAddr = *remaddr;
    pro->stage = psNotConn;
    memcpy(pro->username, name, size_t(fieldLen(name, textLen)));
    pro->entity = -1;
    pro->createdAt = now;
    sessions.pending.push_back(pro);
    sessions.pendingByName[nameOf(pro->username)] = pro;
    countCreation(remaddr, now);
    accountEntry("Profile Creation: Success", pro->username, remaddr);
    replyByte(soNewGood, remaddr, addrlen);
}

void confirmAccount(veskProfile* pro, int anyway) {
    if (pro->confirmed) return;
    auto at = std::find(sessions.pending.begin(), sessions.pending.end(), pro);
    if (at == sessions.pending.end()) return;
    if (!anyway && !takeHash(&pro->profAddr, getTicks())) return; // the next tick's hashes
    unsigned char sent[textLen];
    memcpy(sent, pro->password, textLen);
    int hashed = hashPassword(pro->password, sent);
    sodium_memzero(sent, textLen);
    if (!hashed) return; // stays pending; the next handshake tries again
    sessions.pending.erase(at);
    sessions.pendingByName.erase(nameOf(pro->username));
    pro->confirmed = 1;
    arrayListAddEndPointer(sessions.profList, pro);
    countConfirmation(&pro->profAddr, getTicks());
    accountEntry("Profile Creation: Confirmed", pro->username, &pro->profAddr);
}

void confirmSessionsInGame() {
    for (veskProfile* pro : std::vector<veskProfile*>(sessions.pending))
        if (pro->stage == psGame) confirmAccount(pro, 1);
}

// Two live sessions must never steer the same entity, nor one a retired entity; a saved
// index can dangle after a restart.
static int entityUsable(veskProfile* pro) {
    if (!profEntity(pro) || profEntity(pro)->retired) return 0;
    for (veskProfile* other : liveSessions())
        if (other != pro && other->stage != psNotConn && other->entity == pro->entity) return 0;
    return 1;
}

int fromHome(const veskProfile* pro, const sockaddr_in* from) {
    for (const loginHome& h : pro->homes)
        if (h.when != 0 && h.addr == from->sin_addr.s_addr) return 1;
    return 0;
}

// A successful login's address becomes the account's latest home.
static void noteHome(veskProfile* pro, const sockaddr_in* from, int64_t when) {
    int at = homesKept - 1;
    for (int i = 0; i < homesKept; i++)
        if (pro->homes[i].when != 0 && pro->homes[i].addr == from->sin_addr.s_addr) at = i;
    for (int i = at; i > 0; i--)
        pro->homes[i] = pro->homes[i - 1];
    pro->homes[0] = loginHome{from->sin_addr.s_addr, when};
}

// After a run of failures a name is checked only from the addresses it logged in from and
// from loopback, for the rest of the minute: guesses from anywhere else cost no hash, and
// keep nobody out of an account from home.
static int accountRefuses(const veskProfile* pro, const sockaddr_in* from, uint32_t now) {
    return pro->failedLogins >= options.failedLoginsPerAccount &&
           now - pro->failedSince < minuteMs && !fromHome(pro, from) && !isLoopback(from);
}

static void countAccountFailure(veskProfile* pro, uint32_t now) {
    if (pro->failedLogins == 0 || now - pro->failedSince >= minuteMs) {
        pro->failedLogins = 0;
        pro->failedSince = now;
    }
    pro->failedLogins++;
}

static veskProfile* liveListed(veskProfile* pro);

// An address that keeps failing is answered without a check for the rest of its minute,
// and so is a name that keeps failing, so passwords cannot be guessed at the pace of the
// tick; a tick spends at most its budget of hashes. A pending account's password costs no
// hash to check.
void profLogin(unsigned char* buff, int, sockaddr_in* remaddr, socklen_t addrlen) {
    traceLine("profLogin()");
    uint32_t now = getTicks();
    const unsigned char* name = buff;
    char shown[256];
    shownField(name, textLen, shown, sizeof shown);
    datagramEntry("Profile Log In", "Profile Log In: (%s) (***)", shown);
    const char* early = nullptr;
    if (!loginAllowed(remaddr, now))
        early = "Log In: Failed (rate)";
    else if (nameBanned(name))
        early = "Log In: Failed (banned)";
    else if (!nameAllowed(name))
        early = "Log In: Failed (allow-list)";
    if (early) {
        accountEntry(early, name, remaddr);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    veskProfile* pro = accountNamed(name);
    tracef("userIndex: %d\n", pro ? 1 : -1);
    if (!pro) { // costs nothing, so it is not counted against the address
        accountEntry("Log In: Failed (username)", name, remaddr);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    const char* refusal = nullptr;
    if (pro->stage != psNotConn)
        refusal = "Log In: Failed (overload)";
    else if (options.maxPlayers > 0 && liveSessions().size() >= size_t(options.maxPlayers))
        refusal = "Log In: Failed (full)";
    else if (accountRefuses(pro, remaddr, now))
        refusal = "Log In: Failed (rate)";
    else if (pro->confirmed && !takeHash(remaddr, now))
        refusal = "Log In: Failed (busy)";
    if (refusal) {
        accountEntry(refusal, name, remaddr);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    traceLine("areSameCheck()");
    const unsigned char* sent = buff + textLen;
    int same = pro->confirmed ? checkPassword(pro->password, sent)
                              : samePendingPassword(pro->password, sent);
    tracef("areSame: %d\n", same);
    if (!same) {
        accountEntry("Log In: Failed (password)", name, remaddr);
        countFailedLogin(remaddr, now);
        countAccountFailure(pro, now);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    byteReader r = makeReader(buff + 2 * textLen, 4);
    int radius = readIntBE(&r);
    pro->terRadius = radius > options.maxViewRadius ? options.maxViewRadius : radius;
    pro->addrLen = addrlen;
    pro->profAddr = *remaddr;
    noteHome(pro, remaddr, int64_t(time(nullptr)));
    pro->sessionStart = now;
    forgetKey(pro);
    makeKey(pro->key);
    rememberKey(pro);
    if (!entityUsable(pro)) pro->entity = newPlayerEntity();
    pro->stage = psKeyWait;
    pro->curCounter = 0;
    pro->oldCounter = 0;
    pro->failCount = 0;
    pro->lastRecv = getTicks();
    memset(pro->keyMapBuf, 0, sizeof pro->keyMapBuf);
    liveListed(pro);
    sendKey(pro);
}

// --- the tick's creations and logins ---------------------------------------------------

void queueAccountRequest(const unsigned char* buff, int length, const sockaddr_in* from) {
    if (length != newAccountLen && length != loginLen) return;
    if (sessions.requests.size() >= 2 * size_t(maxDatagramsPerTick))
        return; // more than a tick keeps
    accountRequest& r = sessions.requests.emplace_back();
    memcpy(r.data, buff, size_t(length));
    r.length = length;
    r.from = *from;
    r.first = 0;
}

void serveAccountRequests() {
    expirePending(getTicks());
    int wasTraced = trace.on;
    trace.on = 0; // the look-ups that order the requests are no part of any request
    for (accountRequest& r : sessions.requests) {
        if (r.data[0] != coLogin) continue;
        veskProfile* pro = accountNamed(r.data + 1);
        r.first = pro && fromHome(pro, &r.from);
    }
    trace.on = wasTraced;
    std::stable_sort(
        sessions.requests.begin(), sessions.requests.end(),
        [](const accountRequest& a, const accountRequest& b) { return a.first > b.first; });
    for (accountRequest& r : sessions.requests) {
        setEntrySender(&r.from);
        int traced = beginDatagramTrace();
        if (r.data[0] == coNewAccount)
            profCreation(r.data, r.length, &r.from, sizeof r.from);
        else
            profLogin(r.data + 1, r.length - 1, &r.from, sizeof r.from);
        endDatagramTrace(traced);
    }
    setEntrySender(nullptr);
    sessions.requests.clear();
}

// --- live sessions ---------------------------------------------------------------------
// Kept in the order of their logins; an account leaves the list when its session ends,
// however it ends, so that looking at the list changes nothing.

static veskProfile* liveListed(veskProfile* pro) {
    if (!pro->listedLive) sessions.live.push_back(pro);
    pro->listedLive = 1;
    return pro;
}

static void leaveLiveList(veskProfile* pro) {
    if (pro->listedLive) std::erase(sessions.live, pro);
    pro->listedLive = 0;
}

const std::vector<veskProfile*>& liveSessions() {
    return sessions.live;
}

void endSession(veskProfile* pro) {
    pro->stage = psNotConn;
    leaveLiveList(pro);
}

// --- session keys ----------------------------------------------------------------------
// Keys come from the operating system's cryptographic generator: a key cannot be guessed
// from earlier keys, from the time of the start, or across restarts.

void makeKey(unsigned char* buff) {
    for (;;) {
        randombytes_buf(buff, keyLen);
        if (!liveKeyHolder(buff)) return;
        traceLine("keys AreSame");
    }
}

veskProfile* keyToProf(const unsigned char* key) {
    veskProfile* pro = liveKeyHolder(key);
    return pro && memcmp(pro->key, key, keyLen) == 0 ? pro : nullptr;
}

void sendKey(veskProfile* pro) {
    byteWriter w = newDatagram();
    putU8(&w, soLogGood);
    putBytes(&w, pro->key, keyLen);
    putIntBE(&w, pro->entity);
    putFloatsLE(&w, &options.terScale, 1);
    int sent = sendDatagram(&pro->profAddr, pro->addrLen, &w);
    if (sent < logGoodLen) traceLine("sendFailed");
    protocolEntry("keySent", "keySent (%d)", sent);
}

int removePending(veskProfile* pro) {
    auto at = std::find(sessions.pending.begin(), sessions.pending.end(), pro);
    if (at == sessions.pending.end()) return 0;
    sessions.pending.erase(at);
    dropPending(pro);
    return 1;
}

void resetAccounts() {
    std::vector<veskProfile*> all;
    all.swap(sessions.pending);
    for (veskProfile* pro : all) {
        pro->stage = psNotConn;
        sessions.pendingByName.erase(nameOf(pro->username));
        leaveLiveList(pro);
        sodium_memzero(pro->password, textLen);
        free(pro);
    }
    sessions.pendingByName.clear();
    forgetAccountIndex();
    sessions.live.clear();
    sessions.requests.clear();
    sessions.lastExpiry = 0;
}

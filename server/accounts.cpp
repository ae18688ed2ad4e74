// Accounts and sessions: creation, login, the 16-byte session key that names a logged-in
// client in every later datagram, salted password hashes, the look-ups by name and by key,
// and the entity each account controls. Text fields may fill all 256 bytes, so every use
// of them is bounded.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sodium.h>
#include <string>
#include <unordered_map>

#include "veskServer.h"

int maxAccounts = 10000;
int maxViewRadius = 16;
int failedLoginsPerAccount = 10;
long long passwordHashes = 0;

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

// --- look-ups by name and by key -------------------------------------------------------
// Every session datagram names its account by key and every creation and login by name;
// with thousands of accounts a scan per datagram would dominate the tick. Accounts are
// only ever appended, so the index catches up with the tail of the list on each look-up.
// Keys are indexed by their text up to and including the first 0 byte: keys that agree
// that far count as the same key when a new one is made, so no two live keys share it.

struct accountIndex {
    ArrayList* list; // the account list indexed, null when nothing is
    arrayListTail tail;
    int count;                                           // accounts indexed
    std::unordered_map<std::string, int> byName;         // names of more than 3 characters
    std::unordered_map<std::string, veskProfile*> byKey; // the key of each login
};

static accountIndex ix;

static std::string nameOf(const unsigned char* name) {
    return std::string(reinterpret_cast<const char*>(name), size_t(fieldLen(name, textLen)));
}

static std::string keyText(const unsigned char* key) {
    int len = fieldLen(key, keyLen);
    return std::string(reinterpret_cast<const char*>(key), size_t(len < keyLen ? len + 1 : len));
}

void forgetAccountIndex() {
    ix.byName.clear();
    ix.byKey.clear();
    ix.list = nullptr;
    ix.tail = arrayListTail{};
    ix.count = 0;
}

static void indexAccount(veskProfile* pro) {
    // The first account of a name is the one found, as a scan in list order would.
    if (fieldLen(pro->username, textLen) > 3) ix.byName.emplace(nameOf(pro->username), ix.count);
    ix.count++;
    if (pro->stage != psNotConn) ix.byKey.emplace(keyText(pro->key), pro);
}

static void catchUp() {
    if (ix.list != profList) {
        forgetAccountIndex();
        ix.list = profList;
    }
    arrayListFollow(
        profList, &ix.tail, [](void* pro, void*) { indexAccount(static_cast<veskProfile*>(pro)); },
        nullptr);
}

// The connected account whose key agrees with `key` up to a 0 byte, if any.
static veskProfile* liveKeyHolder(const unsigned char* key) {
    catchUp();
    auto found = ix.byKey.find(keyText(key));
    if (found == ix.byKey.end()) return nullptr;
    veskProfile* pro = found->second;
    if (pro->stage == psNotConn || !strCompare(pro->key, key, keyLen)) return nullptr;
    return pro;
}

static void forgetKey(veskProfile* pro) {
    auto found = ix.byKey.find(keyText(pro->key));
    if (found != ix.byKey.end() && found->second == pro) ix.byKey.erase(found);
}

static void rememberKey(veskProfile* pro) {
    ix.byKey[keyText(pro->key)] = pro;
}

int isUsernameInUse(const unsigned char* name) {
    int len = fieldLen(name, textLen);
    char shown[1100];
    shownText(name, size_t(len), shown, sizeof shown);
    tracef("name: %s\n", shown);
    tracef("userLen: %d\n", len);
    if (len <= 3) return -1;
    catchUp();
    tracef("numProfs: %d\n", ix.count);
    auto found = ix.byName.find(nameOf(name));
    return found == ix.byName.end() ? -1 : found->second;
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
    passwordHashes++;
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
    passwordHashes++;
    return crypto_pwhash_argon2id_str_verify(reinterpret_cast<const char*>(field),
                                             reinterpret_cast<const char*>(sent),
                                             size_t(fieldLen(sent, textLen))) == 0;
}

// --- creation and login ----------------------------------------------------------------

static void replyByte(int type, const sockaddr_in* to, socklen_t toLen) {
    buf[0] = uint8_t(type);
    if (sendBuf(to, toLen, 1) <= 0) traceLine("sendFailed");
    bufIndex = 0;
}

// Every player walks: a ground walker set down on the terrain under the start point.
int newPlayerEntity() {
    const float start[3] = {5.0f, 1.0f, 5.0f};
    veskEntity* ent = addDefaultEntity(entList, 0, start);
    setveskGravity(ent->gravMem, terList);
    return ent->globalId;
}

veskEntity* profEntity(veskProfile* pro) {
    return entityAt(entList, pro->entity);
}

// A refusal or a result of a creation or login: the system's text, then who it is about.
static void accountEntry(const char* text, const unsigned char* name, const sockaddr_in* from) {
    char who[300];
    whoText(name, from, who, sizeof who);
    datagramEntry(text, "%s (%s)", text, who);
}

// A name is shown in the log: no byte of it may be a control character.
static int nameIsPrintable(const unsigned char* name) {
    for (int i = 0; i < textLen && name[i]; i++)
        if (name[i] < 0x20 || name[i] == 0x7F) return 0;
    return 1;
}

// Accounts are never removed by a client, so their number and the pace at which strangers
// make them are bounded; a new account has no entity until its first login.
void profCreation(unsigned char* buff, int, sockaddr_in* remaddr, socklen_t addrlen) {
    uint32_t now = getTicks();
    const unsigned char* name = buff + 1;
    char shown[256];
    shownField(name, textLen, shown, sizeof shown);
    datagramEntry("New Profile Creation", "New Profile Creation: (%s) (***)", shown);
    const char* refusal = nullptr;
    if (!nameIsPrintable(name)) {
        refusal = "Profile Creation: Failed (name)";
    } else if (!nameAllowed(name)) {
        refusal = "Profile Creation: Refused (allow-list)";
    } else if (isUsernameInUse(name) >= 0) {
        refusal = "Profile Creation: Username conflict.";
    } else {
        catchUp();
        if (ix.count >= maxAccounts || !creationAllowed(remaddr, now))
            refusal = "Profile Creation: Refused (limit)";
        else if (!takeHash())
            refusal = "Profile Creation: Refused (busy)";
    }
    if (refusal) {
        accountEntry(refusal, name, remaddr);
        replyByte(soNewBad, remaddr, addrlen);
        return;
    }
    veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
    if (!hashPassword(pro->password, buff + 1 + textLen)) {
        free(pro);
        traceLine("profCreation: password hashing failed");
        replyByte(soNewBad, remaddr, addrlen);
        return;
    }
    pro->addrLen = addrlen;
    pro->profAddr = *remaddr;
    pro->stage = psNotConn;
    int len = fieldLen(name, textLen);
    memcpy(pro->username, name, size_t(len));
    pro->entity = -1;
    arrayListAddEndPointer(profList, pro);
    countCreation(remaddr, now);
    accountEntry("Profile Creation: Success", pro->username, remaddr);
    replyByte(soNewGood, remaddr, addrlen);
}

// Entities are not saved, so a saved index can dangle after a restart; and two live
// sessions must never steer the same entity.
static int entityUsable(veskProfile* pro) {
    if (!profEntity(pro) || profEntity(pro)->retired) return 0;
    for (ArrayList* b = profList; b; b = b->next) {
        veskProfile** pros = reinterpret_cast<veskProfile**>(b->data);
        for (int i = 0; i < b->filled; i++)
            if (pros[i] != pro && pros[i]->stage != psNotConn && pros[i]->entity == pro->entity)
                return 0;
    }
    return 1;
}

static int fromHome(const veskProfile* pro, const sockaddr_in* from) {
    return pro->hasGoodAddr && pro->goodAddr == from->sin_addr.s_addr;
}

constexpr uint32_t minuteMs = 60000;

// After a run of failures a name is checked only from the address it last logged in from,
// for the rest of the minute: guesses from anywhere else cost no hash.
static int accountRefuses(const veskProfile* pro, const sockaddr_in* from, uint32_t now) {
    return pro->failedLogins >= failedLoginsPerAccount && now - pro->failedSince < minuteMs &&
           !fromHome(pro, from);
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
// tick; a tick spends at most its budget of hashes.
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
    int index = isUsernameInUse(name);
    tracef("userIndex: %d\n", index);
    if (index < 0) {
        accountEntry("Log In: Failed (username)", name, remaddr);
        countFailedLogin(remaddr, now);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    veskProfile* pro = arrayListGet<veskProfile>(profList, index);
    const char* refusal = nullptr;
    if (pro->stage != psNotConn)
        refusal = "Log In: Failed (overload)";
    else if (accountRefuses(pro, remaddr, now))
        refusal = "Log In: Failed (rate)";
    else if (!takeHash())
        refusal = "Log In: Failed (busy)";
    if (refusal) {
        accountEntry(refusal, name, remaddr);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    traceLine("areSameCheck()");
    int same = checkPassword(pro->password, buff + textLen);
    tracef("areSame: %d\n", same);
    if (!same) {
        accountEntry("Log In: Failed (password)", name, remaddr);
        countFailedLogin(remaddr, now);
        countAccountFailure(pro, now);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    int radius = buffToInt(buff + 2 * textLen);
    pro->terRadius = radius > maxViewRadius ? maxViewRadius : radius;
    pro->addrLen = addrlen;
    pro->profAddr = *remaddr;
    pro->hasGoodAddr = 1;
    pro->goodAddr = remaddr->sin_addr.s_addr;
    pro->lastLogin = int64_t(time(nullptr));
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

struct accountRequest {
    unsigned char data[loginLen];
    int length;
    sockaddr_in from;
    int first; // a login from the address of the account's last successful one
};
static std::vector<accountRequest> requests;

void queueAccountRequest(const unsigned char* buff, int length, const sockaddr_in* from) {
    if (length != newAccountLen && length != loginLen) return;
    if (requests.size() >= 2 * size_t(maxDatagramsPerTick)) return; // more than a tick keeps
    accountRequest& r = requests.emplace_back();
    memcpy(r.data, buff, size_t(length));
    r.length = length;
    r.from = *from;
    r.first = 0;
}

void serveAccountRequests() {
    for (accountRequest& r : requests) {
        if (r.data[0] != coLogin) continue;
        int index = isUsernameInUse(r.data + 1);
        r.first = index >= 0 && fromHome(arrayListGet<veskProfile>(profList, index), &r.from);
    }
    std::stable_sort(
        requests.begin(), requests.end(),
        [](const accountRequest& a, const accountRequest& b) { return a.first > b.first; });
    for (accountRequest& r : requests) {
        setEntrySender(&r.from);
        int traced = beginDatagramTrace();
        if (r.data[0] == coNewAccount)
            profCreation(r.data, r.length, &r.from, sizeof r.from);
        else
            profLogin(r.data + 1, r.length - 1, &r.from, sizeof r.from);
        endDatagramTrace(traced);
    }
    setEntrySender(nullptr);
    requests.clear();
}

// --- live sessions ---------------------------------------------------------------------
// Kept in the order of their logins; an account leaves the list when it is next looked at
// after its session ended, however it ended.

static std::vector<veskProfile*> live;

static veskProfile* liveListed(veskProfile* pro) {
    if (!pro->listedLive) live.push_back(pro);
    pro->listedLive = 1;
    return pro;
}

const std::vector<veskProfile*>& liveSessions() {
    std::erase_if(live, [](veskProfile* pro) {
        if (pro->stage != psNotConn) return false;
        pro->listedLive = 0;
        return true;
    });
    return live;
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
    buf[0] = soLogGood;
    memcpy(buf + 1, pro->key, keyLen);
    intToBuffer(pro->entity, buf + 1 + keyLen);
    memcpy(buf + 1 + keyLen + 4, &terScale, 4);
    int sent = sendBuf(&pro->profAddr, pro->addrLen, logGoodLen);
    if (sent < logGoodLen) traceLine("sendFailed");
    protocolEntry("keySent", "keySent (%d)", sent);
    bufIndex = 0;
}

void resetAccounts() {
    forgetAccountIndex();
    live.clear();
    requests.clear();
}

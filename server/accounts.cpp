// Accounts and sessions: creation, login, the 16-byte session key that names a logged-in
// client in every later datagram, salted password hashes, the look-ups by name and by key,
// and the entity each account controls. Text fields may fill all 256 bytes, so every use
// of them is bounded.
#include <cstdlib>
#include <cstring>
#include <sodium.h>
#include <string>
#include <unordered_map>

#include "veskServer.h"

int maxAccounts = 10000;
int maxViewRadius = 16;

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
    tracef("name: %.*s\n", len, name);
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
    return crypto_pwhash_argon2id_str_verify(reinterpret_cast<const char*>(field),
                                             reinterpret_cast<const char*>(sent),
                                             size_t(fieldLen(sent, textLen))) == 0;
}

// --- creation and login ----------------------------------------------------------------

static void replyByte(int type, sockaddr_in* to, socklen_t toLen) {
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

// Accounts are never removed, so their number and the pace at which one address makes
// them are bounded; a new account has no entity until its first login.
void profCreation(unsigned char* buff, int, sockaddr_in* remaddr, socklen_t addrlen) {
    uint32_t now = getTicks();
    if (isUsernameInUse(buff + 1) >= 0) {
        textBoxAddStr(tb, "Profile Creation: Username conflict.");
        replyByte(soNewBad, remaddr, addrlen);
        return;
    }
    catchUp();
    if (ix.count >= maxAccounts || !creationAllowed(remaddr, now)) {
        textBoxAddStr(tb, "Profile Creation: Refused (limit)");
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
    int len = fieldLen(buff + 1, textLen);
    memcpy(pro->username, buff + 1, size_t(len));
    pro->entity = -1;
    arrayListAddEndPointer(profList, pro);
    countCreation(remaddr, now);
    textBoxAddStr(tb, "Profile Creation: Success");
    replyByte(soNewGood, remaddr, addrlen);
}

// Entities are not saved, so a saved index can dangle after a restart; and two live
// sessions must never steer the same entity.
static int entityUsable(veskProfile* pro) {
    if (!profEntity(pro)) return 0;
    for (ArrayList* b = profList; b; b = b->next) {
        veskProfile** pros = reinterpret_cast<veskProfile**>(b->data);
        for (int i = 0; i < b->filled; i++)
            if (pros[i] != pro && pros[i]->stage != psNotConn && pros[i]->entity == pro->entity)
                return 0;
    }
    return 1;
}

// An address that keeps failing is answered without a check for the rest of its minute,
// so passwords cannot be guessed at the pace of the tick.
void profLogin(unsigned char* buff, int, sockaddr_in* remaddr, socklen_t addrlen) {
    traceLine("profLogin()");
    uint32_t now = getTicks();
    if (!loginAllowed(remaddr, now)) {
        textBoxAddStr(tb, "Log In: Failed (rate)");
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    int index = isUsernameInUse(buff);
    tracef("userIndex: %d\n", index);
    if (index < 0) {
        textBoxAddStr(tb, "Log In: Failed (username)");
        countFailedLogin(remaddr, now);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    veskProfile* pro = arrayListGet<veskProfile>(profList, index);
    if (pro->stage != psNotConn) {
        textBoxAddStr(tb, "Log In: Failed (overload)");
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    traceLine("areSameCheck()");
    int same = checkPassword(pro->password, buff + textLen);
    tracef("areSame: %d\n", same);
    if (!same) {
        textBoxAddStr(tb, "Log In: Failed (password)");
        countFailedLogin(remaddr, now);
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    int radius = buffToInt(buff + 2 * textLen);
    pro->terRadius = radius > maxViewRadius ? maxViewRadius : radius;
    pro->addrLen = addrlen;
    pro->profAddr = *remaddr;
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
    sendKey(pro);
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
    textBoxAddInt(tb, "keySent (", sent);
    bufIndex = 0;
}

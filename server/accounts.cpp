// Accounts and sessions: creation, login, the 16-byte session key that names a logged-in
// client in every later datagram, and the entity each account controls. Text fields are
// fixed 256-byte fields that may fill all 256 bytes, so every use of them is bounded.
#include <cstdlib>
#include <cstring>

#include "veskServer.h"

static int fieldLen(const unsigned char* s, int maxlen) {
    return int(strnlen(reinterpret_cast<const char*>(s), size_t(maxlen)));
}

int strCompare(const unsigned char* str0, const unsigned char* str1, int maxlen) {
    tracef("strCompare(%.*s, %.*s)\n", fieldLen(str0, maxlen), str0, fieldLen(str1, maxlen), str1);
    for (int i = 0; i < maxlen; i++) {
        if (str0[i] != str1[i]) return 0;
        if (str0[i] == 0) return 1;
    }
    return 1;
}

int isUsernameInUse(const unsigned char* name) {
    int len = fieldLen(name, textLen);
    tracef("name: %.*s\n", len, name);
    tracef("userLen: %d\n", len);
    if (len <= 3) return -1;
    int n = arrayListGetLength(profList);
    tracef("numProfs: %d\n", n);
    for (int i = 0; i < n; i++) {
        traceLine("userNameInUse()");
        if (strCompare(arrayListGet<veskProfile>(profList, i)->username, name, textLen)) return i;
    }
    return -1;
}

// Copies a text field up to its first 0 byte and pads the rest with zeros.
static void copyField(unsigned char* to, const unsigned char* from) {
    int len = fieldLen(from, textLen);
    memcpy(to, from, size_t(len));
    memset(to + len, 0, size_t(textLen - len));
}

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
    if (pro->entity < 0 || pro->entity >= arrayListGetLength(entList)) return nullptr;
    return arrayListGet<veskEntity>(entList, pro->entity);
}

void profCreation(unsigned char* buff, int, sockaddr_in* remaddr, socklen_t addrlen) {
    if (isUsernameInUse(buff + 1) >= 0) {
        textBoxAddStr(tb, "Profile Creation: Username conflict.");
        replyByte(soNewBad, remaddr, addrlen);
        return;
    }
    veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
    pro->addrLen = addrlen;
    pro->profAddr = *remaddr;
    pro->stage = psNotConn;
    copyField(pro->username, buff + 1);
    copyField(pro->password, buff + 1 + textLen);
    pro->entity = newPlayerEntity();
    arrayListAddEndPointer(profList, pro);
    textBoxAddStr(tb, "Profile Creation: Success");
    replyByte(soNewGood, remaddr, addrlen);
}

// Entities are not saved, so a saved index can dangle after a restart; and two live
// sessions must never steer the same entity.
static int entityUsable(veskProfile* pro) {
    if (!profEntity(pro)) return 0;
    int n = arrayListGetLength(profList);
    for (int i = 0; i < n; i++) {
        veskProfile* other = arrayListGet<veskProfile>(profList, i);
        if (other != pro && other->stage != psNotConn && other->entity == pro->entity) return 0;
    }
    return 1;
}

void profLogin(unsigned char* buff, int, sockaddr_in* remaddr, socklen_t addrlen) {
    traceLine("profLogin()");
    int index = isUsernameInUse(buff);
    tracef("userIndex: %d\n", index);
    if (index < 0) {
        textBoxAddStr(tb, "Log In: Failed (username)");
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
    int same = strCompare(pro->password, buff + textLen, textLen);
    tracef("areSame: %d\n", same);
    if (!same) {
        textBoxAddStr(tb, "Log In: Failed (password)");
        replyByte(soLogBad, remaddr, addrlen);
        return;
    }
    pro->terRadius = buffToInt(buff + 2 * textLen);
    pro->addrLen = addrlen;
    pro->profAddr = *remaddr;
    makeKey(pro->key);
    if (!entityUsable(pro)) pro->entity = newPlayerEntity();
    pro->stage = psKeyWait;
    pro->curCounter = 0;
    pro->oldCounter = 0;
    pro->failCount = 0;
    pro->lastRecv = getTicks();
    memset(pro->keyMapBuf, 0, sizeof pro->keyMapBuf);
    sendKey(pro);
}

void makeKey(unsigned char* buff) {
    for (;;) {
        for (int i = 0; i < keyLen; i++)
            buff[i] = uint8_t(rand());
        int clash = 0;
        int n = arrayListGetLength(profList);
        for (int i = 0; i < n && !clash; i++) {
            veskProfile* pro = arrayListGet<veskProfile>(profList, i);
            tracef("pro->stage: %d\n", pro->stage);
            if (pro->stage > 0) {
                traceLine("makeKey");
                clash = strCompare(buff, pro->key, keyLen);
            }
        }
        if (!clash) return;
        traceLine("keys AreSame");
    }
}

veskProfile* keyToProf(const unsigned char* key) {
    for (ArrayList* block = profList; block; block = block->next) {
        veskProfile** pros = reinterpret_cast<veskProfile**>(block->data);
        for (int i = 0; i < block->filled; i++)
            if (pros[i]->stage != psNotConn && memcmp(pros[i]->key, key, keyLen) == 0)
                return pros[i];
    }
    return nullptr;
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

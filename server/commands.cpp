// The operator's commands, the same from the control socket and from standard input: a
// line in, text lines out. Each command that changes something is logged ("Admin: kick
// (alice)"); no password ever appears in an answer or an entry.
#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "veskServer.h"

namespace {

const char* helpText =
    "help                        this text\n"
    "status                      the status line now\n"
    "list                        the sessions: name, address, stage, entity, chunk, position,\n"
    "                            seconds connected\n"
    "kick NAME                   end a session as a disconnect does\n"
    "ban NAME | ADDRESS[/PREFIX] refuse a name's logins, or drop an address range's datagrams;\n"
    "                            whoever it covers is kicked\n"
    "unban NAME | ADDRESS[/PREFIX]\n"
    "bans                        what is banned\n"
    "allow on | off              only names on the allow-list may create accounts or log in\n"
    "allow add NAME | allow remove NAME | allow list\n"
    "accounts [PREFIX]           accounts: last login and its address, online, unconfirmed\n"
    "remove NAME                 delete an account that is not connected, with its entity\n"
    "password NAME NEWPASSWORD   set a new password\n"
    "save                        save now; answered when the files are written\n"
    "stop                        save and stop the server (as SIGTERM)\n"
    "Names may hold \\xNN for any byte, as the log shows them.\n";

void say(commandAnswer* a, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(commandAnswer* a, const char* format, ...) {
    char line[600];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    a->text += line;
    a->text += "\n";
}

void fail(commandAnswer* a, const std::string& why) {
    a->failed = 1;
    say(a, "error: %s", why.c_str());
}

std::string shown(const unsigned char* name) {
    char text[1100];
    shownField(name, textLen, text, sizeof text);
    return text;
}

std::string shown(const std::string& name) {
    char text[1100];
    shownText(name.data(), name.size(), text, sizeof text);
    return text;
}

void adminEntry(const char* what, const std::string& about) {
    if (about.empty())
        textBoxAddf(tb, "Admin: %s", what);
    else
        textBoxAddf(tb, "Admin: %s (%s)", what, shown(about).c_str());
}

int sameName(const veskProfile* pro, const std::string& name) {
    return strnlen(reinterpret_cast<const char*>(pro->username), textLen) == name.size() &&
           memcmp(pro->username, name.data(), name.size()) == 0;
}

// The first account of that exact name, and its place in the list (-1 for a pending
// account); null if there is none.
veskProfile* accountWithName(const std::string& name, int* index) {
    int i = 0;
    for (ArrayList* b = profList; b; b = b->next)
        for (int k = 0; k < b->filled; k++, i++) {
            veskProfile* pro = reinterpret_cast<veskProfile**>(b->data)[k];
            if (sameName(pro, name)) {
                if (index) *index = i;
                return pro;
            }
        }
    for (veskProfile* pro : pendingAccounts())
        if (sameName(pro, name)) {
            if (index) *index = -1;
            return pro;
        }
    return nullptr;
}

std::string addressOf(const sockaddr_in* a) {
    char text[40];
    whoText(nullptr, a, text, sizeof text);
    return text;
}

void listSessions(commandAnswer* a) {
    uint32_t now = getTicks();
    const std::vector<veskProfile*>& live = liveSessions();
    if (live.empty()) say(a, "no sessions");
    for (veskProfile* pro : live) {
        veskEntity* ent = profEntity(pro);
        const veskGravity* g = ent ? ent->gravMem : nullptr;
        say(a, "%s %s %s entity %d chunk (%d, %d) position (%.2f, %.2f, %.2f) %u s",
            shown(pro->username).c_str(), addressOf(&pro->profAddr).c_str(), stageNames[pro->stage],
            pro->entity, g ? g->chunkCoords[0] : 0, g ? g->chunkCoords[1] : 0,
            g ? double(g->position[0]) : 0.0, g ? double(g->position[1]) : 0.0,
            g ? double(g->position[2]) : 0.0, (now - pro->sessionStart) / 1000);
    }
}

// Ends every session the test picks; how many.
template <typename F> int kickWhere(F covered) {
    int n = 0;
    for (veskProfile* pro : std::vector<veskProfile*>(liveSessions()))
        if (covered(pro)) {
            profDisconnect(pro);
            n++;
        }
    return n;
}

void kick(const std::string& name, commandAnswer* a) {
    int n = kickWhere([&](veskProfile* pro) { return sameName(pro, name); });
    if (n == 0) return fail(a, shown(name) + " has no session");
    adminEntry("kick", name);
    say(a, "kicked %s", shown(name).c_str());
}

// A change that could not be saved still holds until the server stops: said so.
void saved(int ok, const std::string& why, commandAnswer* a) {
    if (!ok) fail(a, "changed, but not saved (" + why + "): it holds until the server stops");
}

void ban(const std::string& entry, int add, commandAnswer* a) {
    uint32_t addr;
    int prefix;
    if (looksLikeAddress(entry) && !parseAddressRange(entry.c_str(), &addr, &prefix))
        return fail(a, shown(entry) + " is not an address, nor an address/prefix (0-32)");
    if (!banEntry(entry, add))
        return fail(a, shown(entry) + (add ? " is banned already" : " is not banned"));
    adminEntry(add ? "ban" : "unban", entry);
    int kicked = 0;
    if (add && looksLikeAddress(entry))
        kicked = kickWhere([&](veskProfile* pro) {
            return rangeCovers(addr, prefix, pro->profAddr.sin_addr.s_addr);
        });
    else if (add)
        kicked = kickWhere([&](veskProfile* pro) { return sameName(pro, entry); });
    say(a, "%s %s, %d kicked", add ? "banned" : "unbanned", shown(entry).c_str(), kicked);
    std::string why;
    saved(saveBans(&why), why, a);
}

void allow(const std::string& args, commandAnswer* a) {
    std::string why;
    if (args == "list") {
        say(a, "the allow-list is %s", allowListOn() ? "on" : "off");
        for (const std::string& line : allowList())
            say(a, "%s", line.c_str());
        return;
    }
    if (args == "on" || args == "off") {
        allowSwitch(args == "on");
        adminEntry(args == "on" ? "allow on" : "allow off", "");
        say(a, "the allow-list is %s", args.c_str());
        return saved(saveAllow(&why), why, a);
    }
    int add = args.rfind("add ", 0) == 0;
    std::string name;
    if (!add && args.rfind("remove ", 0) != 0)
        return fail(a, "allow takes on, off, add NAME, remove NAME or list");
    if (!unescapeText(args.c_str() + (add ? 4 : 7), &name)) return fail(a, "a damaged name");
    if (name.size() <= 3) return fail(a, "a name of 3 characters or fewer never logs in");
    if (!allowEntry(name, add))
        return fail(a, shown(name) + (add ? " is on the allow-list already" : " is not on it"));
    adminEntry(add ? "allow add" : "allow remove", name);
    say(a, "%s %s", add ? "allowed" : "no longer allowed:", shown(name).c_str());
    saved(saveAllow(&why), why, a);
}

// An account's line: its name, its last login (time and address) and whether it is online
// or not confirmed yet.
void accountLine(const veskProfile* pro, const std::string& prefix, int* n, commandAnswer* a) {
    const char* name = reinterpret_cast<const char*>(pro->username);
    if (strncmp(name, prefix.c_str(), prefix.size()) != 0) return;
    ++*n;
    std::string when = "no login yet";
    if (pro->homes[0].when > 0) {
        char stamp[32];
        time_t t = time_t(pro->homes[0].when);
        tm utc;
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&t, &utc));
        in_addr home = {pro->homes[0].addr};
        char address[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &home, address, sizeof address);
        when = std::string("last login ") + stamp + " from " + address;
    }
    say(a, "%s %s%s%s", shown(pro->username).c_str(), when.c_str(),
        pro->stage != psNotConn ? " online" : "", pro->confirmed ? "" : " unconfirmed");
}

void accounts(const std::string& prefix, commandAnswer* a) {
    int n = 0;
    for (ArrayList* b = profList; b; b = b->next)
        for (int k = 0; k < b->filled; k++)
            accountLine(reinterpret_cast<veskProfile**>(b->data)[k], prefix, &n, a);
    for (const veskProfile* pro : pendingAccounts())
        accountLine(pro, prefix, &n, a);
    if (n == 0) say(a, "no accounts%s", prefix.empty() ? "" : " with that prefix");
}

void removeAccount(const std::string& name, commandAnswer* a) {
    liveSessions(); // accounts whose sessions ended leave the live list first
    int index = -1;
    veskProfile* pro = accountWithName(name, &index);
    if (!pro) return fail(a, "no account " + shown(name));
    if (pro->stage != psNotConn) return fail(a, shown(name) + " is connected: kick it first");
    if (!removePending(pro)) {
        veskEntity* ent = profEntity(pro);
        if (ent && ent->globalId != 0) retireEntity(entList, ent);
        arrayListRemove(profList, index);
        free(pro);
        forgetAccountIndex();
    }
    adminEntry("remove", name);
    say(a, "removed %s", shown(name).c_str());
}

void setPassword(const std::string& args, commandAnswer* a) {
    size_t space = args.find(' ');
    std::string name;
    if (space == std::string::npos || space + 1 >= args.size())
        return fail(a, "password takes NAME NEWPASSWORD");
    if (!unescapeText(args.substr(0, space).c_str(), &name)) return fail(a, "a damaged name");
    veskProfile* pro = accountWithName(name, nullptr);
    if (!pro) return fail(a, "no account " + shown(name));
    std::string password = args.substr(space + 1);
    if (password.size() >= size_t(textLen)) return fail(a, "a password has fewer than 256 bytes");
    unsigned char sent[textLen] = {};
    memcpy(sent, password.data(), password.size());
    if (!pro->confirmed) // hashed when the account is confirmed, as its first one would be
        memcpy(pro->password, sent, textLen);
    else if (!hashPassword(pro->password, sent))
        return fail(a, "the password could not be hashed");
    adminEntry("password", name);
    say(a, "new password set for %s", shown(name).c_str());
}

} // namespace

void runCommand(const char* line, commandAnswer* a, saveDone later, void* context) {
    *a = commandAnswer{};
    std::string text = line;
    size_t space = text.find(' ');
    std::string word = text.substr(0, space);
    std::string args = space == std::string::npos ? "" : text.substr(space + 1);
    std::string name;
    int nameOk = unescapeText(args.c_str(), &name);
    if (word == "help") {
        a->text = helpText;
    } else if (word == "status") {
        char status[300];
        statusLine(status, sizeof status);
        say(a, "%s", status);
    } else if (word == "list") {
        listSessions(a);
    } else if ((word == "kick" || word == "ban" || word == "unban" || word == "remove") &&
               (args.empty() || !nameOk)) {
        fail(a,
             word + " takes a name" + (word == "kick" || word == "remove" ? "" : " or an address"));
    } else if (word == "kick") {
        kick(name, a);
    } else if (word == "ban" || word == "unban") {
        ban(name, word == "ban", a);
    } else if (word == "bans") {
        std::vector<std::string> lines = banList();
        if (lines.empty()) say(a, "nothing is banned");
        for (const std::string& l : lines)
            say(a, "%s", l.c_str());
    } else if (word == "allow") {
        allow(args, a);
    } else if (word == "accounts") {
        accounts(name, a);
    } else if (word == "remove") {
        removeAccount(name, a);
    } else if (word == "password") {
        setPassword(args, a);
    } else if (word == "save") {
        adminEntry("save", "");
        requestSave(later, context);
        a->waiting = 1;
    } else if (word == "stop") {
        adminEntry("stop", "");
        say(a, "stopping");
        requestQuit();
    } else {
        char shownLine[200];
        shownText(line, strlen(line), shownLine, sizeof shownLine);
        fail(a, std::string("unknown command \"") + shownLine + "\"; try help");
    }
}

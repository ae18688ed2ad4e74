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

#include "operator.h"

namespace {

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
        textBoxAddf(logging.box, "Admin: %s", what);
    else
        textBoxAddf(logging.box, "Admin: %s (%s)", what, shown(about).c_str());
}

int sameName(const veskProfile* pro, const std::string& name) {
    return strnlen(reinterpret_cast<const char*>(pro->username), textLen) == name.size() &&
           memcmp(pro->username, name.data(), name.size()) == 0;
}

// The first account of that exact name, and its place in the list (-1 for a pending
// account); null if there is none.
veskProfile* accountWithName(const std::string& name, int* index) {
    int i = 0;
    for (veskProfile* pro : arrayListItems<veskProfile>(sessions.profList)) {
        if (sameName(pro, name)) {
            if (index) *index = i;
            return pro;
        }
        i++;
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
            sendDisconnect(pro);
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

// The list read again from its file, after an edit by hand.
void reloadList(const char* file, commandAnswer* a) {
    std::string why;
    if (!reloadAccessList(file, &why)) return fail(a, why);
    adminEntry(file[0] == 'b' ? "bans reload" : "allow reload", "");
    say(a, "%s read again from %s", file, resPath(file).c_str());
}

// A change to a list is answered once its file is written (a slice a tick); one that could
// not be written still holds until the server stops, and the answer says so.
void answerWhenWritten(const char* file, commandAnswer* a, saveDone later, void* context) {
    std::string text = a->text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    a->text.clear();
    a->waiting = 1;
    whenAccessListWritten(file, text, later, context);
}

void ban(const std::string& args, int add, commandAnswer* a, saveDone later, void* context) {
    banTarget t;
    std::string why;
    if (args.empty())
        return fail(a, std::string(add ? "ban" : "unban") +
                           " takes name NAME, address ADDRESS[/PREFIX], or either alone");
    if (!parseBanTarget(args, &t, &why, 0)) return fail(a, why);
    std::string entry = t.name;
    if (t.isAddress) {
        in_addr first = {htonl(t.addr)};
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &first, text, sizeof text);
        entry = std::string(text) + (t.prefix == 32 ? "" : "/" + std::to_string(t.prefix));
    }
    if (!changeBan(t, add))
        return fail(a, shown(entry) + (add ? " is banned already" : " is not banned"));
    adminEntry(add ? "ban" : "unban", entry);
    int kicked = 0;
    if (add && t.isAddress)
        kicked = kickWhere([&](veskProfile* pro) {
            return rangeCovers(t.addr, t.prefix, pro->profAddr.sin_addr.s_addr);
        });
    else if (add)
        kicked = kickWhere([&](veskProfile* pro) { return sameName(pro, t.name); });
    say(a, "%s %s, %d kicked", add ? "banned" : "unbanned", shown(entry).c_str(), kicked);
    answerWhenWritten("bans", a, later, context);
}

void allow(const std::string& args, commandAnswer* a, saveDone later, void* context) {
    if (args == "list") {
        say(a, "the allow-list is %s", allowListOn() ? "on" : "off");
        for (const std::string& line : allowList())
            say(a, "%s", line.c_str());
        return;
    }
    if (args == "reload") return reloadList("allow", a);
    if (args == "on" || args == "off") {
        allowSwitch(args == "on");
        adminEntry(args == "on" ? "allow on" : "allow off", "");
        say(a, "the allow-list is %s", args.c_str());
        return answerWhenWritten("allow", a, later, context);
    }
    int add = args.rfind("add ", 0) == 0;
    std::string name;
    if (!add && args.rfind("remove ", 0) != 0)
        return fail(a, "allow takes on, off, add NAME, remove NAME, list or reload");
    if (!unescapeText(args.c_str() + (add ? 4 : 7), &name)) return fail(a, "a damaged name");
    if (name.size() <= 3) return fail(a, "a name of 3 characters or fewer never logs in");
    if (!allowEntry(name, add))
        return fail(a, shown(name) + (add ? " is on the allow-list already" : " is not on it"));
    adminEntry(add ? "allow add" : "allow remove", name);
    say(a, "%s %s", add ? "allowed" : "no longer allowed:", shown(name).c_str());
    answerWhenWritten("allow", a, later, context);
}

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
    for (const veskProfile* pro : arrayListItems<veskProfile>(sessions.profList))
        accountLine(pro, prefix, &n, a);
    for (const veskProfile* pro : pendingAccounts())
        accountLine(pro, prefix, &n, a);
    if (n == 0) say(a, "no accounts%s", prefix.empty() ? "" : " with that prefix");
}

void removeAccount(const std::string& name, commandAnswer* a) {
    int index = -1;
    veskProfile* pro = accountWithName(name, &index);
    if (!pro) return fail(a, "no account " + shown(name));
    if (pro->stage != psNotConn) return fail(a, shown(name) + " is connected: kick it first");
    if (!removePending(pro)) {
        veskEntity* ent = profEntity(pro);
        if (ent && ent->globalId != 0) retireEntity(world.entList, ent);
        arrayListRemove(sessions.profList, index);
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

void showBans(const std::string& args, commandAnswer* a) {
    if (args == "reload") return reloadList("bans", a);
    if (!args.empty()) return fail(a, "bans takes nothing, or reload");
    std::vector<std::string> lines = banList();
    if (lines.empty()) say(a, "nothing is banned");
    for (const std::string& l : lines)
        say(a, "%s", l.c_str());
}

// A command's name, what it takes, what it does, and its handler; `help` is made from this.
struct command {
    const char* name;
    const char* arguments;
    const char* help;
    void (*run)(const std::string& args, commandAnswer* a, saveDone later, void* context);
};

void help(const std::string&, commandAnswer* a, saveDone, void*);

// A name given to a command: everything after it, \xNN for any byte.
int nameArgument(const char* command, const std::string& args, std::string* name,
                 commandAnswer* a) {
    if (!args.empty() && unescapeText(args.c_str(), name)) return 1;
    fail(a, std::string(command) + " takes a name");
    return 0;
}

const command commands[] = {
    {"help", "", "this text", help},
    {"status", "", "the status line now",
     [](const std::string&, commandAnswer* a, saveDone, void*) {
         char status[300];
         statusLine(status, sizeof status);
         say(a, "%s", status);
     }},
    {"list", "", "the sessions: name, address, stage, entity, chunk, position, seconds connected",
     [](const std::string&, commandAnswer* a, saveDone, void*) { listSessions(a); }},
    {"kick", "NAME", "end a session as a disconnect does",
     [](const std::string& args, commandAnswer* a, saveDone, void*) {
         std::string name;
         if (nameArgument("kick", args, &name, a)) kick(name, a);
     }},
    {"ban", "name NAME | address ADDRESS[/PREFIX]",
     "refuse a name's logins, or drop an IPv4 range's datagrams; whoever it covers is kicked "
     "(the kind may be left out where the entry can only be one)",
     [](const std::string& args, commandAnswer* a, saveDone later, void* context) {
         ban(args, 1, a, later, context);
     }},
    {"unban", "name NAME | address ADDRESS[/PREFIX]", "lift a ban",
     [](const std::string& args, commandAnswer* a, saveDone later, void* context) {
         ban(args, 0, a, later, context);
     }},
    {"bans", "[reload]", "what is banned; reload: read the bans file again after an edit",
     [](const std::string& args, commandAnswer* a, saveDone, void*) { showBans(args, a); }},
    {"allow", "on | off | add NAME | remove NAME | list | reload",
     "only names on the allow-list may create accounts or log in", allow},
    {"accounts", "[PREFIX]", "accounts: last login and its address, online, unconfirmed",
     [](const std::string& args, commandAnswer* a, saveDone, void*) {
         std::string prefix;
         if (!unescapeText(args.c_str(), &prefix)) return fail(a, "a damaged prefix");
         accounts(prefix, a);
     }},
    {"remove", "NAME", "delete an account that is not connected, with its entity",
     [](const std::string& args, commandAnswer* a, saveDone, void*) {
         std::string name;
         if (nameArgument("remove", args, &name, a)) removeAccount(name, a);
     }},
    {"password", "NAME NEWPASSWORD",
     "set a new password (quarn-server --control \"password NAME\" reads it from standard "
     "input)",
     [](const std::string& args, commandAnswer* a, saveDone, void*) { setPassword(args, a); }},
    {"save", "", "save now; answered when the files are written",
     [](const std::string&, commandAnswer* a, saveDone later, void* context) {
         adminEntry("save", "");
         requestSave(later, context);
         a->waiting = 1;
     }},
    {"backup", "", "save now, then put the save's files into backups/ in the save folder",
     [](const std::string&, commandAnswer* a, saveDone later, void* context) {
         adminEntry("backup", "");
         requestBackup(later, context);
         a->waiting = 1;
     }},
    {"stop", "", "save and stop the server (as SIGTERM)",
     [](const std::string&, commandAnswer* a, saveDone, void*) {
         adminEntry("stop", "");
         say(a, "stopping");
         requestQuit();
     }},
};

void help(const std::string&, commandAnswer* a, saveDone, void*) {
    for (const command& c : commands) {
        std::string usage = std::string(c.name) + (*c.arguments ? " " : "") + c.arguments;
        say(a, "%-27s %s", usage.c_str(), c.help);
    }
    say(a, "Names may hold \\xNN for any byte, as the log shows them.");
}

} // namespace

void runCommand(const char* line, commandAnswer* a, saveDone later, void* context) {
    *a = commandAnswer{};
    std::string text = line;
    size_t space = text.find(' ');
    std::string word = text.substr(0, space);
    std::string args = space == std::string::npos ? "" : text.substr(space + 1);
    for (const command& c : commands)
        if (word == c.name) return c.run(args, a, later, context);
    char shownLine[200];
    shownText(line, strlen(line), shownLine, sizeof shownLine);
    fail(a, std::string("unknown command \"") + shownLine + "\"; try help");
}

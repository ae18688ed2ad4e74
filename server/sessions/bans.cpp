// Who may come in: banned names and address ranges, and the allow-list with its switch.
// Both live in the save folder as text files ("bans", "allow"), an entry a line, read at
// Start and kept line for line in memory, comments and damaged lines included, so that a
// change writes the file back as it was but for that change. Files edited by hand are read
// again before a change (or with `bans reload`); a change is written a slice a tick, so
// that even a list of hundreds of thousands never holds up the game.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "files.h"
#include "sessions.h"

namespace {

// The two lists' files, in the record's order.
enum { bansFile, allowFile };

// Written each tick at most; a list of 200,000 lines (about 3 MB) takes a dozen ticks.
constexpr size_t writeSliceBytes = 256 * 1024;

uint32_t maskOf(int prefix) {
    return prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
}

// Text an operator or a file may mean as an address: only the characters of IPv4 and IPv6
// addresses, ranges and numbers (hexadecimal too) and spaces, with a digit, a dot or a colon;
// an IPv6 address with a zone (hexadecimal digits, then a colon); a number alone, in
// decimal or hexadecimal, as some tools write an IPv4 address.
int addressLike(const std::string& text) {
    if (text.empty()) return 0;
    size_t colon = text.find(':');
    if (colon != std::string::npos && text.find_first_not_of("0123456789abcdefABCDEF") >= colon)
        return 1;
    if (text.find_first_not_of("0123456789") == std::string::npos) return 1;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos)
        return 1;
    return text.find_first_of("0123456789:") != std::string::npos &&
           text.find_first_of(".:/") != std::string::npos &&
           text.find_first_not_of("0123456789abcdefABCDEFxX.:/+- \t") == std::string::npos;
}

// A name as a line of a file: escaped like every client text the server shows, and a first
// byte escaped where the name would otherwise read as an address or a comment, and a space
// at either end, so that the line reads back as the name.
std::string fileForm(const std::string& name) {
    char shown[1100];
    shownText(name.data(), name.size(), shown, sizeof shown);
    std::string line = shown;
    auto escapeFirst = [&line] {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(line[0]));
        line = hex + line.substr(1);
    };
    if (!line.empty() &&
        (line[0] == '#' || line[0] == ' ' || addressLike(line) || line == "on" || line == "off" ||
         line.starts_with("name ") || line.starts_with("address ")))
        escapeFirst();
    if (!line.empty() && line.back() == ' ') line = line.substr(0, line.size() - 1) + "\\x20";
    return line;
}

std::string rangeText(uint32_t addr, int prefix) {
    in_addr a = {htonl(addr)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + "/" + std::to_string(prefix);
}

void addRange(uint32_t addr, int prefix) {
    sessions.bannedRanges.insert({addr, prefix});
    sessions.rangesOfPrefix[prefix].insert(addr);
}

// A line's entry, with why a line means nothing, or "" for a comment or a blank line.
const char* readBanLine(const std::string& line, banTarget* t, int* entry) {
    *entry = 0;
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '#') return "";
    std::string why;
    if (!parseBanTarget(text.substr(first), t, &why, 0))
        return why == "a damaged name" ? "a \\ that is not \\xNN" : "not an IPv4 address range";
    *entry = 1;
    return "";
}

const char* readAllowLine(const std::string& line, std::string* name, int* entry) {
    *entry = 0;
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '#') return "";
    text = text.substr(first);
    if (text == "on" || text == "off") {
        *entry = 2;
        *name = text;
        return "";
    }
    if (!unescapeText(text.c_str(), name)) return "a \\ that is not \\xNN";
    if (name->size() <= 3) return "a name of 3 characters or fewer never logs in";
    *entry = 1;
    return "";
}

// The meaning of a file's lines, made afresh; damaged lines are reported and kept.
void takeLines(accessFile* f) {
    int number = 0;
    f->meanings.clear();
    for (const std::string& line : f->lines) {
        number++;
        const char* why;
        lineMeaning m = {};
        if (f == &sessions.files[bansFile]) {
            banTarget t;
            why = readBanLine(line, &t, &m.entry);
            m = lineMeaning{m.entry, t.isAddress, t.name, t.addr, t.prefix};
            if (m.entry && t.isAddress) addRange(t.addr, t.prefix);
            if (m.entry && !t.isAddress) sessions.bannedNames.insert(t.name);
        } else {
            why = readAllowLine(line, &m.name, &m.entry);
            if (m.entry == 2) sessions.allowOn = m.name == "on";
            if (m.entry == 1) sessions.allowedNames.insert(m.name);
        }
        f->meanings.push_back(m);
        if (*why) {
            char shown[200];
            shownText(line.data(), line.size(), shown, sizeof shown);
            textBoxAddf(logging.box, "Damaged line %d of %s skipped (%s): %s", number,
                        resPath(f->name).c_str(), why, shown);
        }
    }
}

void forgetMeaning(accessFile* f) {
    if (f == &sessions.files[bansFile]) {
        sessions.bannedNames.clear();
        sessions.bannedRanges.clear();
        for (auto& s : sessions.rangesOfPrefix)
            s.clear();
    } else {
        sessions.allowedNames.clear();
        sessions.allowOn = 0;
    }
}

int sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Reads the file's lines; a missing file holds none.
int readFile(accessFile* f, std::string* why) {
    std::string path = resPath(f->name);
    std::vector<unsigned char> data;
    struct stat st;
    f->lines.clear();
    f->meanings.clear();
    f->exists = 0;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return 1; // none yet: nothing listed
        *why = path + ": " + strerror(errno);
        return 0;
    }
    if (!S_ISREG(st.st_mode) || !readWholeFile(path.c_str(), &data)) {
        *why = path + ": " + (S_ISREG(st.st_mode) ? strerror(errno) : "not a file");
        return 0;
    }
    f->exists = 1;
    f->seen = st;
    std::string all(data.begin(), data.end());
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        f->lines.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return 1;
}

int reload(accessFile* f, std::string* why) {
    if (!readFile(f, why)) return 0;
    forgetMeaning(f);
    takeLines(f);
    f->version++;
    f->written = f->version; // what is in memory is what is on disk
    return 1;
}

void replayChanges(accessFile* f);

// Removes the lines whose meaning the test picks, keeping the others in their order.
template <typename F> void eraseLines(accessFile* f, F picked) {
    size_t kept = 0;
    for (size_t i = 0; i < f->lines.size(); i++) {
        if (picked(f->meanings[i])) continue;
        if (kept != i) {
            f->lines[kept] = std::move(f->lines[i]);
            f->meanings[kept] = std::move(f->meanings[i]);
        }
        kept++;
    }
    f->lines.resize(kept);
    f->meanings.resize(kept);
}

void insertLine(accessFile* f, size_t at, const std::string& line, const lineMeaning& m) {
    f->lines.insert(f->lines.begin() + long(at), line);
    f->meanings.insert(f->meanings.begin() + long(at), m);
}

// Whether the file on disk is still the one last read or written.
int unchangedOnDisk(const accessFile* f) {
    struct stat st;
    int exists = lstat(resPath(f->name).c_str(), &st) == 0;
    return exists == f->exists && (!exists || sameFile(st, f->seen));
}

// Before a change, and before a write replaces the file: a file edited by hand since it was
// read is read again, and the changes not yet written are made again over it, so that they
// are written over the edit, not instead of it.
void catchUp(accessFile* f) {
    if (f->replaying || unchangedOnDisk(f)) return;
    std::string why;
    if (!reload(f, &why)) return;
    textBoxAddf(
        logging.box,
        "Admin: %s was changed by hand; read again, with the changes not yet written made again",
        f->name);
    replayChanges(f);
}

void changed(accessFile* f, const accessChange& c) {
    f->version++;
    if (!f->replaying) f->changes.push_back(c);
}

// Everyone waiting for the file is answered: written, or still changed in memory only.
void answerWaiters(accessFile* f, int saved, const char* why) {
    if (!saved) textBoxAddf(logging.box, "Server: %s not written (%s)", f->name, why);
    std::vector<accessWaiter> now;
    now.swap(f->waiting);
    for (const accessWaiter& w : now) {
        std::string text = w.answer;
        if (!saved)
            text += std::string(text.empty() ? "" : "\n") + "error: changed, but not saved (" +
                    why + "): it holds until the server stops";
        w.done(w.context, saved, text.c_str());
    }
}

void abandonWrite(accessFile* f) {
    if (f->out) fclose(f->out);
    if (f->out || f->step != writeLines) unlink((resPath(f->name) + ".tmp").c_str());
    f->out = nullptr;
    f->step = writeLines;
}

// The file a write replaced goes a slice a tick: freeing a large file at once holds the
// system up for milliseconds.
void tidyAside(accessFile* f) {
    struct stat st;
    int fd = open(f->aside.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink == 1 &&
        size_t(st.st_size) > writeSliceBytes &&
        ftruncate(fd, st.st_size - off_t(writeSliceBytes)) == 0) {
        close(fd);
        return;
    }
    if (fd >= 0) close(fd);
    unlink(f->aside.c_str());
    f->aside.clear();
}

void writeFailed(accessFile* f, const std::string& path, int err) {
    abandonWrite(f);
    f->written = f->version; // given up until the next change
    std::string failure = path + ": " + strerror(err);
    answerWaiters(f, 0, failure.c_str());
}

// Goes on with the file's write, a step a tick so that no tick waits on the disk for long:
// the lines a slice at a time into a temporary file (its writing to the disk started after
// each), then its sync, then the rename over the file (the file it replaces kept aside, to
// be let go of in slices; a hand edit since the file was read is read first, and the write
// starts anew over it), then the sync of the folder, after which the waiters are answered.
void writeSlice(accessFile* f) {
    std::string path = resPath(f->name);
    std::string tmp = path + ".tmp";
    if (f->writing != f->version && (f->out || f->step != writeLines))
        abandonWrite(f); // changed again meanwhile
    if (f->step == writeLines) {
        if (!f->out) {
            unlink(tmp.c_str());
            int fd = createNewFile(tmp.c_str(), 0600);
            f->out = fd < 0 ? nullptr : fdopen(fd, "wb");
            if (!f->out) {
                int err = errno;
                if (fd >= 0) close(fd);
                return writeFailed(f, tmp, err);
            }
            f->writing = f->version;
            f->nextLine = 0;
        }
        size_t bytes = 0;
        while (f->nextLine < f->lines.size() && bytes < writeSliceBytes) {
            const std::string& line = f->lines[f->nextLine++];
            fwrite(line.data(), 1, line.size(), f->out);
            fputc('\n', f->out);
            bytes += line.size() + 1;
        }
        if (fflush(f->out) == 0) sync_file_range(fileno(f->out), 0, 0, SYNC_FILE_RANGE_WRITE);
        if (f->nextLine == f->lines.size()) f->step = writeSync;
        return;
    }
    if (f->step == writeSync) {
        int err = 0;
        if (ferror(f->out) || fflush(f->out) != 0 || fsync(fileno(f->out)) != 0)
            err = errno ? errno : EIO;
        if (fclose(f->out) != 0 && !err) err = errno;
        f->out = nullptr;
        if (err) return writeFailed(f, tmp, err);
        f->step = writeRename;
        return;
    }
    if (f->step == writeRename) {
        catchUp(f);
        if (f->writing != f->version) return abandonWrite(f); // over the edit, next tick
        if (!f->aside.empty()) {
            unlink(f->aside.c_str());
            f->aside.clear();
        }
        std::string aside = path + ".old";
        unlink(aside.c_str());
        if (link(path.c_str(), aside.c_str()) == 0) f->aside = aside;
        if (rename(tmp.c_str(), path.c_str()) != 0) return writeFailed(f, path, errno);
        f->step = writeFolder;
        return;
    }
    syncFolderOf(path);
    f->step = writeLines;
    f->written = f->writing;
    f->exists = lstat(path.c_str(), &f->seen) == 0;
    if (f->written == f->version) f->changes.clear();
    answerWaiters(f, 1, "");
}

accessFile* fileNamed(const char* name) {
    for (accessFile& f : sessions.files)
        if (strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

} // namespace

int parseAddressRange(const char* text, uint32_t* addr, int* prefix) {
    char part[INET_ADDRSTRLEN] = "";
    const char* slash = strchr(text, '/');
    size_t len = slash ? size_t(slash - text) : strlen(text);
    if (len == 0 || len >= sizeof part) return 0;
    memcpy(part, text, len);
    in_addr a;
    if (inet_pton(AF_INET, part, &a) != 1) return 0;
    *prefix = 32;
    if (slash) {
        const char* digits = slash + 1;
        size_t n = strlen(digits);
        // Digits only: no sign, no space, no other base, no leading zero.
        if (n == 0 || n > 2 || strspn(digits, "0123456789") != n) return 0;
        if (n == 2 && digits[0] == '0') return 0;
        *prefix = atoi(digits);
        if (*prefix > 32) return 0;
    }
    *addr = ntohl(a.s_addr) & maskOf(*prefix);
    return 1;
}

int parseBanTarget(const std::string& text, banTarget* out, std::string* why, int explicitOnly) {
    *out = banTarget{};
    std::string rest = text;
    int kind = 0; // 1 a name, 2 an address, 0 the short form
    if (rest.starts_with("name ")) {
        kind = 1;
        rest = rest.substr(5);
    } else if (rest.starts_with("address ")) {
        kind = 2;
        rest = rest.substr(8);
    } else if (explicitOnly) {
        *why = "name NAME or address ADDRESS[/PREFIX]";
        return 0;
    }
    if (kind != 1 && parseAddressRange(rest.c_str(), &out->addr, &out->prefix)) {
        out->isAddress = 1;
        return 1;
    }
    if (kind == 2 || (kind == 0 && addressLike(rest))) {
        char shown[200];
        shownText(rest.data(), rest.size(), shown, sizeof shown);
        *why = std::string(shown) +
               (rest.find(':') != std::string::npos
                    ? " is not an IPv4 address: the server speaks IPv4 only"
                    : " is not an IPv4 address, nor an address/prefix (0-32)") +
               (kind == 0 ? "; a name is given as: name NAME" : "");
        return 0;
    }
    if (rest.empty() || !unescapeText(rest.c_str(), &out->name)) {
        *why = "a damaged name";
        return 0;
    }
    return 1;
}

void loadAccessLists() {
    resetAccessLists();
    for (accessFile& f : sessions.files) {
        std::string why;
        if (!reload(&f, &why))
            textBoxAddf(logging.box, "Server: %s cannot be read (%s)", f.name, why.c_str());
    }
}

int reloadAccessList(const char* name, std::string* why) {
    accessFile* f = fileNamed(name);
    if (f->step == writeFolder) writeSlice(f); // renamed already: only its folder's sync is left
    abandonWrite(f);
    if (!f->waiting.empty()) answerWaiters(f, 0, "read again from the file before it was written");
    f->changes.clear(); // the file wins
    return reload(f, why);
}

void resetAccessLists() {
    for (accessFile& f : sessions.files) {
        abandonWrite(&f);
        if (!f.waiting.empty()) answerWaiters(&f, 0, "the server stopped before it was written");
        forgetMeaning(&f);
        f.lines.clear();
        f.meanings.clear();
        f.exists = 0;
        f.seen = {};
        f.version = f.written = 0;
        f.changes.clear();
        if (!f.aside.empty()) unlink(f.aside.c_str());
        f.aside.clear();
    }
}

int addressBanned(uint32_t addr) {
    if (sessions.bannedRanges.empty()) return 0;
    uint32_t host = ntohl(addr);
    for (int prefix = 0; prefix <= 32; prefix++)
        if (!sessions.rangesOfPrefix[prefix].empty() &&
            sessions.rangesOfPrefix[prefix].count(host & maskOf(prefix)))
            return 1;
    return 0;
}

int nameBanned(const unsigned char* name) {
    return !sessions.bannedNames.empty() && sessions.bannedNames.count(nameOf(name)) > 0;
}

int nameAllowed(const unsigned char* name) {
    return !sessions.allowOn || sessions.allowedNames.count(nameOf(name)) > 0;
}

int changeBan(const banTarget& t, int add) {
    accessFile* f = &sessions.files[bansFile];
    catchUp(f);
    if (t.isAddress) {
        int present = sessions.bannedRanges.count({t.addr, t.prefix}) > 0;
        if (present == add) return 0;
        if (add) {
            addRange(t.addr, t.prefix);
            insertLine(f, f->lines.size(), rangeText(t.addr, t.prefix),
                       lineMeaning{1, 1, "", t.addr, t.prefix});
        } else {
            sessions.bannedRanges.erase({t.addr, t.prefix});
            sessions.rangesOfPrefix[t.prefix].erase(t.addr);
            eraseLines(f, [&t](const lineMeaning& m) {
                return m.entry && m.isAddress && m.addr == t.addr && m.prefix == t.prefix;
            });
        }
    } else {
        int present = sessions.bannedNames.count(t.name) > 0;
        if (present == add) return 0;
        if (add) {
            sessions.bannedNames.insert(t.name);
            insertLine(f, f->lines.size(), fileForm(t.name), lineMeaning{1, 0, t.name, 0, 0});
        } else {
            sessions.bannedNames.erase(t.name);
            eraseLines(f, [&t](const lineMeaning& m) {
                return m.entry && !m.isAddress && m.name == t.name;
            });
        }
    }
    changed(f, accessChange{0, t.name, t.addr, t.prefix, t.isAddress, add});
    return 1;
}

std::vector<std::string> banList() {
    std::vector<std::string> entries;
    for (const lineMeaning& m : sessions.files[bansFile].meanings)
        if (m.entry)
            entries.push_back(m.isAddress ? rangeText(m.addr, m.prefix) : fileForm(m.name));
    return entries;
}

void allowSwitch(int on) {
    accessFile* f = &sessions.files[allowFile];
    catchUp(f);
    eraseLines(f, [](const lineMeaning& m) { return m.entry == 2; });
    insertLine(f, 0, on ? "on" : "off", lineMeaning{2, 0, on ? "on" : "off", 0, 0});
    sessions.allowOn = on;
    changed(f, accessChange{1, "", 0, 0, 0, on});
}

int allowEntry(const std::string& name, int add) {
    accessFile* f = &sessions.files[allowFile];
    catchUp(f);
    int present = sessions.allowedNames.count(name) > 0;
    if (present == add) return 0;
    if (add) {
        sessions.allowedNames.insert(name);
        insertLine(f, f->lines.size(), fileForm(name), lineMeaning{1, 0, name, 0, 0});
    } else {
        sessions.allowedNames.erase(name);
        eraseLines(f, [&name](const lineMeaning& m) { return m.entry == 1 && m.name == name; });
    }
    changed(f, accessChange{2, name, 0, 0, 0, add});
    return 1;
}

std::vector<std::string> allowList() {
    std::vector<std::string> entries;
    for (const lineMeaning& m : sessions.files[allowFile].meanings)
        if (m.entry == 1) entries.push_back(fileForm(m.name));
    return entries;
}

int allowListOn() {
    return sessions.allowOn;
}

int rangeCovers(uint32_t rangeAddr, int prefix, uint32_t addr) {
    return (ntohl(addr) & maskOf(prefix)) == rangeAddr;
}

void whenAccessListWritten(const char* name, const std::string& answer, saveDone done,
                           void* context) {
    accessFile* f = fileNamed(name);
    if (f->written == f->version && !f->out) return done(context, 1, answer.c_str());
    f->waiting.push_back(accessWaiter{answer, done, context});
}

void forgetAccessWaiter(void* context) {
    for (accessFile& f : sessions.files)
        std::erase_if(f.waiting, [context](const accessWaiter& w) { return w.context == context; });
}

void serveAccessLists() {
    for (accessFile& f : sessions.files) {
        if (f.written != f.version || f.out || f.step != writeLines)
            writeSlice(&f);
        else if (!f.aside.empty())
            tidyAside(&f);
    }
}

void writeAccessListsNow() {
    for (accessFile& f : sessions.files) {
        for (int slices = 0;
             (f.written != f.version || f.out || f.step != writeLines) && slices < 1000000;
             slices++)
            writeSlice(&f);
        while (!f.aside.empty())
            tidyAside(&f);
    }
}

namespace {

void replayChanges(accessFile* f) {
    f->replaying = 1;
    for (const accessChange& c : std::vector<accessChange>(f->changes)) {
        if (c.kind == 0) changeBan(banTarget{c.isAddress, c.name, c.addr, c.prefix}, c.add);
        if (c.kind == 1) allowSwitch(c.add);
        if (c.kind == 2) allowEntry(c.name, c.add);
    }
    f->replaying = 0;
}

} // namespace

// Who may come in: banned names and address ranges, and the allow-list with its switch.
// Both live in the save folder as text files ("bans", "allow"), an entry a line, written
// through a temporary file at every change and read at Start; a damaged line is reported
// and skipped, never fatal.
#include <arpa/inet.h>
#include <cstring>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "veskServer.h"

namespace {

std::set<std::string> bannedNames;
std::set<std::pair<uint32_t, int>> bannedRanges; // address (host order, masked), prefix
std::unordered_set<uint32_t> rangesOfPrefix[33]; // the same, for the look-up of a sender
std::set<std::string> allowedNames;
int allowOn = 0;

uint32_t maskOf(int prefix) {
    return prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
}

// A name as a line of a file: escaped like every client text the server shows, and a
// leading '#' or a space at either end escaped too, so the line reads back as the name.
std::string fileForm(const std::string& name) {
    char shown[1100];
    shownText(name.data(), name.size(), shown, sizeof shown);
    std::string line = shown;
    if (!line.empty() && (line[0] == '#' || line[0] == ' '))
        line = (line[0] == '#' ? "\\x23" : "\\x20") + line.substr(1);
    if (!line.empty() && line.back() == ' ') line = line.substr(0, line.size() - 1) + "\\x20";
    return line;
}

std::string rangeText(std::pair<uint32_t, int> r) {
    in_addr a = {htonl(r.first)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + "/" + std::to_string(r.second);
}

int saveLines(const char* name, const std::vector<std::string>& lines, std::string* why) {
    std::string text = "# " + std::string(name) + ": an entry a line; \\xNN is any byte\n";
    for (const std::string& l : lines)
        text += l + "\n";
    if (saveTextFile(resPath(name).c_str(), text)) return 1;
    *why = saveFailure;
    return 0;
}

void addRange(std::pair<uint32_t, int> r) {
    bannedRanges.insert(r);
    rangesOfPrefix[r.second].insert(r.first);
}

// The lines of a file, each handed to `take`, which says why a line is damaged or "" when
// it took it.
void readLines(const char* name, const char* (*take)(const std::string& line)) {
    std::vector<unsigned char> data;
    if (!readWholeFile(resPath(name).c_str(), &data)) return; // none yet: nothing listed
    std::string all(data.begin(), data.end());
    int number = 0;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(at, end - at);
        at = end + 1;
        number++;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        const char* why = take(line.substr(first));
        if (*why) {
            char shown[200];
            shownText(line.data(), line.size(), shown, sizeof shown);
            textBoxAddf(tb, "Damaged line %d of %s skipped (%s): %s", number, resPath(name).c_str(),
                        why, shown);
        }
    }
}

const char* takeBan(const std::string& line) {
    uint32_t addr;
    int prefix;
    if (looksLikeAddress(line)) {
        if (!parseAddressRange(line.c_str(), &addr, &prefix)) return "not an address range";
        addRange({addr, prefix});
        return "";
    }
    std::string name;
    if (!unescapeText(line.c_str(), &name)) return "a \\ that is not \\xNN";
    bannedNames.insert(name);
    return "";
}

const char* takeAllowed(const std::string& line) {
    if (line == "on" || line == "off") {
        allowOn = line == "on";
        return "";
    }
    std::string name;
    if (!unescapeText(line.c_str(), &name)) return "a \\ that is not \\xNN";
    if (name.size() <= 3) return "a name of 3 characters or fewer never logs in";
    allowedNames.insert(name);
    return "";
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
    if (slash && !parseWholeNumber(slash + 1, 0, 32, prefix)) return 0;
    *addr = ntohl(a.s_addr) & maskOf(*prefix);
    return 1;
}

int unescapeText(const char* text, std::string* out) {
    out->clear();
    for (const char* p = text; *p; p++) {
        if (*p != '\\') {
            out->push_back(*p);
            continue;
        }
        char hex[3] = {0, 0, 0};
        if (p[1] != 'x' || !isxdigit(static_cast<unsigned char>(p[2])) ||
            !isxdigit(static_cast<unsigned char>(p[3])))
            return 0;
        hex[0] = p[2];
        hex[1] = p[3];
        out->push_back(char(strtol(hex, nullptr, 16)));
        p += 3;
    }
    return out->size() < size_t(textLen);
}

void loadAccessLists() {
    resetAccessLists();
    readLines("bans", takeBan);
    readLines("allow", takeAllowed);
}

void resetAccessLists() {
    bannedNames.clear();
    bannedRanges.clear();
    for (auto& s : rangesOfPrefix)
        s.clear();
    allowedNames.clear();
    allowOn = 0;
}

int addressBanned(uint32_t addr) {
    if (bannedRanges.empty()) return 0;
    uint32_t host = ntohl(addr);
    for (int prefix = 0; prefix <= 32; prefix++)
        if (!rangesOfPrefix[prefix].empty() && rangesOfPrefix[prefix].count(host & maskOf(prefix)))
            return 1;
    return 0;
}

static std::string nameOf(const unsigned char* name) {
    return std::string(reinterpret_cast<const char*>(name),
                       strnlen(reinterpret_cast<const char*>(name), textLen));
}

int nameBanned(const unsigned char* name) {
    return !bannedNames.empty() && bannedNames.count(nameOf(name)) > 0;
}

int nameAllowed(const unsigned char* name) {
    return !allowOn || allowedNames.count(nameOf(name)) > 0;
}

int looksLikeAddress(const std::string& entry) {
    return !entry.empty() && entry.find_first_not_of("0123456789./") == std::string::npos;
}

int banEntry(const std::string& entry, int add) {
    uint32_t addr;
    int prefix;
    if (!looksLikeAddress(entry))
        return add ? bannedNames.insert(entry).second : bannedNames.erase(entry) > 0;
    if (!parseAddressRange(entry.c_str(), &addr, &prefix)) return 0;
    if (!add) {
        rangesOfPrefix[prefix].erase(addr);
        return bannedRanges.erase({addr, prefix}) > 0;
    }
    int changed = bannedRanges.count({addr, prefix}) == 0;
    addRange({addr, prefix});
    return changed;
}

std::vector<std::string> banList() {
    std::vector<std::string> lines;
    for (const auto& r : bannedRanges)
        lines.push_back(rangeText(r));
    for (const std::string& n : bannedNames)
        lines.push_back(fileForm(n));
    return lines;
}

int saveBans(std::string* why) {
    return saveLines("bans", banList(), why);
}

void allowSwitch(int on) {
    allowOn = on;
}

int allowEntry(const std::string& name, int add) {
    return add ? allowedNames.insert(name).second : allowedNames.erase(name) > 0;
}

std::vector<std::string> allowList() {
    std::vector<std::string> lines;
    for (const std::string& n : allowedNames)
        lines.push_back(fileForm(n));
    return lines;
}

int saveAllow(std::string* why) {
    std::vector<std::string> lines = allowList();
    lines.insert(lines.begin(), allowOn ? "on" : "off");
    return saveLines("allow", lines, why);
}

int allowListOn() {
    return allowOn;
}

int rangeCovers(uint32_t rangeAddr, int prefix, uint32_t addr) {
    return (ntohl(addr) & maskOf(prefix)) == rangeAddr;
}

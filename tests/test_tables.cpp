// Tables of cases kept as data in tests/golden, each case's answer worked out anew: how
// client text is shown in the log, what a ban's words mean, address ranges and escaped names
// as the operator types them, the live page's address.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "golden.h"
#include "server.h"

namespace {

// A column of a table, \xNN written for each byte that is not plain text.
std::string unescaped(const std::string& column) {
    std::string out;
    EXPECT_TRUE(unescapeText(column.c_str(), &out)) << column;
    return out;
}

std::string dotted(uint32_t addr, int prefix) {
    char range[40];
    snprintf(range, sizeof range, "%u.%u.%u.%u/%d", addr >> 24, addr >> 16 & 255, addr >> 8 & 255,
             addr & 255, prefix);
    return range;
}

// Printable ASCII and valid UTF-8 are shown as they are; everything else (controls, the
// backslash, C1 controls, overlong forms, surrogates, beyond U+10FFFF, cut sequences, the
// marks that turn text around) byte by byte as \xNN; never half an escape at the end.
std::string shown(const std::vector<std::string>& given) {
    std::string in = unescaped(given.at(0));
    char out[256];
    shownText(in.data(), in.size(), out, std::stoul(given.at(1)));
    return out;
}

// The short form of a ban is taken only where it can mean one thing; what could be meant
// as an address but is none (IPv6, a bad prefix, a stray space) is refused. Address ranges
// and escaped names at their boundaries.
std::string banMeaning(const std::vector<std::string>& given) {
    banTarget t;
    std::string why;
    if (!parseBanTarget(given.at(0), &t, &why, 0)) return "refused: " + why;
    char name[1024];
    shownText(t.name.data(), t.name.size(), name, sizeof name);
    return t.isAddress ? "address " + dotted(t.addr, t.prefix) : "name " + std::string(name);
}

// Where the live page listens, as --http gives it.
std::string listenAt(const std::vector<std::string>& given) {
    sockaddr_in at;
    if (!parseListenAddress(given.at(0).c_str(), &at)) return "refused";
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &at.sin_addr, address, sizeof address);
    return address + (" port " + std::to_string(ntohs(at.sin_port)));
}

} // namespace

TEST(tables, EachCaseGivesTheAnswerOfItsGoldenTable) {
    const std::pair<const char*, tableAnswer> tables[] = {{"shown-text.txt", shown},
                                                          {"ban-entries.txt", banMeaning},
                                                          {"listen-addresses.txt", listenAt}};
    for (const auto& [name, answer] : tables)
        EXPECT_EQ(goldenTableDifference(name, answer), "");
}

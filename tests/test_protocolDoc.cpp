// The protocol document checked against the server: the table of message sizes in
// docs/protocol.md against the protocol header and against every datagram of the scripted
// game in tests/golden, and every datagram the document quotes against that golden file.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

#include "veskServer.h"

namespace {

// A message as the document's table gives it, or as the protocol header makes it.
struct sizeRow {
    std::string direction;
    std::string name;
    int type;
    int length;
    bool orMore; // length is the least
};

const std::string toServer = "client → server";
const std::string toClient = "server → client";
constexpr int blockHeadLen = 5; // a block's type byte and count

const sizeRow header[] = {
    {toServer, "coWakeup", coWakeup, 1, true},
    {toServer, "coNewAccount", coNewAccount, newAccountLen, false},
    {toServer, "coLogin", coLogin, loginLen, false},
    {toServer, "coDisconnect", coDisconnect, sessionHeadLen, true},
    {toServer, "coUpdate", coUpdate, sessionHeadLen, false},
    {toServer, "coGameTic", coGameTic, sessionHeadLen, true},
    {toClient, "soWakeup", soWakeup, 1, false},
    {toClient, "soNewGood", soNewGood, 1, false},
    {toClient, "soNewBad", soNewBad, 1, false},
    {toClient, "soLogGood", soLogGood, logGoodLen, false},
    {toClient, "soLogBad", soLogBad, 1, false},
    {toClient, "soInitTer", soInitTer, blockHeadLen, true},
    {toClient, "soInitEnt", soInitEnt, 1, true},
    {toClient, "soDisconnect", soDisconnect, sessionHeadLen, false},
    {toClient, "soUpdate", soUpdate, 1, false},
    {toClient, "soTerUpdate", soTerUpdate, blockHeadLen, true},
    {toClient, "soEntUpdate", soEntUpdate, blockHeadLen, true},
};

std::string described(const sizeRow& r) {
    std::string length = std::to_string(r.length) + (r.orMore ? " or more" : "");
    return r.direction + " | " + r.name + " | " + std::to_string(r.type) + " | " + length;
}

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream f(std::string(QUARN_SOURCE_DIR) + "/" + path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);)
        lines.push_back(line);
    return lines;
}

std::string textOf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::vector<std::string> cellsOf(const std::string& row) {
    std::vector<std::string> cells;
    for (size_t at = 1, end; (end = row.find('|', at)) != std::string::npos; at = end + 1) {
        size_t first = row.find_first_not_of(' ', at);
        size_t last = row.find_last_not_of(' ', end - 1);
        cells.push_back(first < end ? row.substr(first, last - first + 1) : "");
    }
    return cells;
}

// The rows of the table under "## Message sizes".
std::vector<sizeRow> sizeTable(const std::vector<std::string>& doc) {
    std::vector<sizeRow> rows;
    int inSection = 0;
    for (const std::string& line : doc) {
        if (line.starts_with("## ")) inSection = line == "## Message sizes";
        std::vector<std::string> c = cellsOf(line);
        if (!inSection || c.size() != 4 || c[0] == "direction" || c[0].starts_with("-")) continue;
        rows.push_back(
            {c[0], c[1], atoi(c[2].c_str()), atoi(c[3].c_str()), c[3].ends_with("or more")});
    }
    return rows;
}

struct goldenDatagram {
    std::string title; // "tick 9 to mallory, 25 bytes"
    std::vector<int> bytes;
};

std::vector<goldenDatagram> goldenDatagrams(const std::vector<std::string>& golden) {
    std::vector<goldenDatagram> all;
    for (const std::string& line : golden) {
        if (line.starts_with("tick ")) {
            all.push_back({line, {}});
            continue;
        }
        std::string hex = line;
        std::erase(hex, ' ');
        for (size_t at = 0; at + 1 < hex.size(); at += 2)
            all.back().bytes.push_back(std::stoi(hex.substr(at, 2), nullptr, 16));
    }
    return all;
}

// The contents of the document's ```hex blocks.
std::vector<std::string> hexBlocks(const std::vector<std::string>& doc) {
    std::vector<std::string> blocks;
    int open = 0;
    for (const std::string& line : doc) {
        if (line.starts_with("```")) {
            open = line == "```hex";
            if (open) blocks.emplace_back();
        } else if (open) {
            blocks.back() += line + "\n";
        }
    }
    return blocks;
}

const std::vector<std::string> doc = linesOf("docs/protocol.md");
const std::vector<std::string> golden = linesOf("tests/golden/scenario-datagrams.txt");

} // namespace

TEST(protocolDoc, MessageSizeTableHasEveryMessageOfTheHeaderWithItsTypeAndLength) {
    std::vector<sizeRow> rows = sizeTable(doc);
    EXPECT_EQ(rows.size(), std::size(header)) << "rows in docs/protocol.md's Message sizes";
    for (const sizeRow& h : header) {
        auto row =
            std::find_if(rows.begin(), rows.end(), [&](auto& r) { return r.name == h.name; });
        ASSERT_NE(row, rows.end()) << "docs/protocol.md's Message sizes has no row " << h.name;
        EXPECT_EQ(described(*row), described(h)) << "row " << h.name << " of Message sizes";
    }
}

TEST(protocolDoc, EveryGoldenDatagramHasATypeAndALengthTheTableAllows) {
    std::vector<sizeRow> rows = sizeTable(doc);
    std::vector<goldenDatagram> sent = goldenDatagrams(golden);
    ASSERT_GT(sent.size(), 100u) << "tests/golden/scenario-datagrams.txt";
    for (const goldenDatagram& d : sent) {
        int length = int(d.bytes.size());
        auto row = std::find_if(rows.begin(), rows.end(), [&](auto& r) {
            return r.direction == toClient && r.type == d.bytes[0];
        });
        ASSERT_NE(row, rows.end())
            << d.title << ": no row of Message sizes has type " << d.bytes[0];
        bool allowed = row->orMore ? length >= row->length : length == row->length;
        EXPECT_TRUE(allowed && length <= bufSize)
            << d.title << ": row " << row->name << " of Message sizes says " << described(*row);
    }
}

TEST(protocolDoc, EveryQuotedDatagramIsInTheGoldenFileWordForWord) {
    std::vector<std::string> quoted = hexBlocks(doc);
    std::string goldenText = "\n" + textOf(golden);
    EXPECT_GE(quoted.size(), 8u) << "hex blocks in docs/protocol.md";
    for (const std::string& q : quoted)
        EXPECT_NE(goldenText.find("\n" + q), std::string::npos)
            << "docs/protocol.md quotes a datagram that tests/golden/scenario-datagrams.txt "
               "does not hold:\n"
            << q;
}

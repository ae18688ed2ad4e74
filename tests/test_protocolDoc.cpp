// The protocol document checked against the server: every datagram of the scripted game
// in tests/golden has a type and a length the document's table of message sizes allows, and
// every datagram the document quotes is one of them, word for word.
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>

#include "golden.h"
#include "veskServer.h"

namespace {

std::string documentText() {
    std::ifstream f(std::string(QUARN_SOURCE_DIR) + "/docs/protocol.md");
    return {std::istreambuf_iterator<char>(f), {}};
}

// The least length of a server message of `type` by the table under "## Message sizes"
// (rows "| server → client | soLogGood | 3 | 25 |", "… | 5 or more |"), -1 when it has no
// row; `orMore` when the length is the least.
int tableLength(const std::string& doc, int type, bool* orMore) {
    size_t section = doc.find("## Message sizes");
    std::string row = "| server → client | ";
    for (size_t at = doc.find(row, section); at != std::string::npos; at = doc.find(row, at + 1)) {
        size_t typeAt = doc.find("| ", at + row.size()) + 2;
        size_t lengthAt = doc.find("| ", typeAt) + 2;
        if (std::stoi(doc.substr(typeAt)) != type) continue;
        *orMore = doc.compare(doc.find_first_of(" |", lengthAt), 8, " or more") == 0;
        return std::stoi(doc.substr(lengthAt));
    }
    return -1;
}

} // namespace

TEST(protocolDoc, EveryGoldenDatagramHasATypeAndALengthTheTableAllows) {
    std::string doc = documentText();
    std::vector<goldenDatagram> sent = goldenDatagrams();
    ASSERT_GT(sent.size(), 100u) << "tests/golden/scenario-datagrams.txt";
    for (const goldenDatagram& d : sent) {
        bool orMore = false;
        int length = tableLength(doc, d.bytes[0], &orMore);
        ASSERT_GT(length, 0) << d.title << ": docs/protocol.md has no row of its type";
        size_t n = d.bytes.size();
        EXPECT_TRUE((orMore ? n >= size_t(length) : n == size_t(length)) && n <= bufSize)
            << d.title << ": docs/protocol.md's Message sizes says " << length
            << (orMore ? " or more" : "");
    }
}

TEST(protocolDoc, EveryQuotedDatagramIsInTheGoldenFileWordForWord) {
    std::string doc = documentText();
    std::ifstream f(std::string(QUARN_SOURCE_DIR) + "/tests/golden/scenario-datagrams.txt");
    std::string golden = "\n" + std::string(std::istreambuf_iterator<char>(f), {});
    int quotes = 0;
    for (size_t at = doc.find("```hex\n"); at != std::string::npos;
         at = doc.find("```hex\n", at + 1)) {
        std::string quoted = doc.substr(at + 7, doc.find("```", at + 7) - at - 7);
        quotes++;
        EXPECT_NE(golden.find("\n" + quoted), std::string::npos)
            << "docs/protocol.md quotes a datagram the golden file does not hold:\n"
            << quoted;
    }
    EXPECT_GE(quotes, 8);
}

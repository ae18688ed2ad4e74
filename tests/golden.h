// Golden files: what a test produced compared with tests/golden, and when they differ, where
// first (the tick and line of a transcript, the record and byte offset of a save file), with
// the test's own output written into the build folder to compare by hand.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The path of a golden file.
std::string goldenPath(const std::string& name);
// "" when `actual` is the golden file's content; else where they first differ. With
// QUARN_WRITE_GOLDEN set the golden file is written instead ("" too).
std::string goldenDifference(const std::string& name, const std::string& actual);

// A golden table, a case a line: tab-separated columns of what the case is given, then the
// answer. Each answer is worked out anew from the columns before it and the whole compared
// as above (lines that are empty or start with '#' stay as they are).
using tableAnswer = std::function<std::string(const std::vector<std::string>& given)>;
std::string goldenTableDifference(const std::string& name, const tableAnswer& answer);

// The scripted game's datagrams as tests/golden/scenario-datagrams.txt holds them, in order:
// "tick 9 to mallory, 25 bytes", the player's name, the bytes.
struct goldenDatagram {
    std::string title, to;
    std::vector<unsigned char> bytes;
};
std::vector<goldenDatagram> goldenDatagrams();

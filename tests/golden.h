// Golden files: what a test produced compared with tests/golden, and when they differ, where
// first (the tick and line of a transcript, the record and byte offset of a save file), with
// the test's own output written into the build folder to compare by hand.
#pragma once

#include <string>
#include <vector>

// The path of a golden file.
std::string goldenPath(const std::string& name);
// "" when `actual` is the golden file's content; else where they first differ. With
// QUARN_WRITE_GOLDEN set the golden file is written instead ("" too).
std::string goldenDifference(const std::string& name, const std::string& actual);

// The scripted game's datagrams as tests/golden/scenario-datagrams.txt holds them, in order:
// "tick 9 to mallory, 25 bytes", the player's name, the bytes.
struct goldenDatagram {
    std::string title, to;
    std::vector<unsigned char> bytes;
};
std::vector<goldenDatagram> goldenDatagrams();

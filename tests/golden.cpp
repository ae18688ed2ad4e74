// Golden files compared, and their first difference said in the terms of their content: a
// transcript's line (with the "tick" heading it falls under), a save file's record.
#include "golden.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

size_t firstDifference(const std::string& a, const std::string& b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        n++;
    return n;
}

uint32_t wordAt(const std::string& s, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= s.size()) memcpy(&v, s.data() + at, 4);
    return v;
}

// The record of a save file holding byte `at`: after a 4-byte count, fixed records, or the
// world's chunks (16-byte head, 16 bytes a vertex, 12 a face).
std::string recordOf(const std::string& name, const std::string& file, size_t at) {
    if (at < 4) return "the count";
    size_t fixed = name.ends_with("profiles")   ? 516
                   : name.ends_with("logins")   ? 304
                   : name.ends_with("entities") ? 32
                                                : 0;
    if (fixed) return "record " + std::to_string((at - 4) / fixed);
    size_t start = 4;
    for (int record = 0; start + 16 <= file.size(); record++) {
        size_t len = 16 + 16 * size_t(wordAt(file, start)) + 12 * size_t(wordAt(file, start + 4));
        if (at < start + len)
            return "chunk record " + std::to_string(record) + ", its byte " +
                   std::to_string(at - start);
        start += len;
    }
    return "past the last record";
}

// Line `line` of a transcript, with the tick heading above it.
std::string lineOf(const std::string& text, size_t at) {
    size_t lineStart = text.rfind('\n', at == 0 ? 0 : at - 1);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    size_t number = size_t(std::count(text.begin(), text.begin() + long(lineStart), '\n')) + 1;
    size_t heading = lineStart < 2 ? std::string::npos : text.rfind("\ntick ", lineStart - 2);
    std::string tick =
        heading == std::string::npos
            ? ""
            : ", under \"" + text.substr(heading + 1, text.find('\n', heading + 1) - heading - 1) +
                  "\"";
    return "line " + std::to_string(number) + tick + ": \"" +
           text.substr(lineStart, text.find('\n', lineStart) - lineStart) + "\"";
}

} // namespace

std::string goldenPath(const std::string& name) {
    return std::string(QUARN_SOURCE_DIR) + "/tests/golden/" + name;
}

std::string goldenDifference(const std::string& name, const std::string& actual) {
    if (getenv("QUARN_WRITE_GOLDEN")) {
        std::ofstream(goldenPath(name), std::ios::binary) << actual;
        return "";
    }
    std::string expected = slurp(goldenPath(name));
    if (actual == expected) return "";
    std::filesystem::create_directories(QUARN_BINARY_DIR "/golden-actual");
    std::string written = QUARN_BINARY_DIR "/golden-actual/" + name;
    std::ofstream(written, std::ios::binary) << actual;
    size_t at = firstDifference(actual, expected);
    bool text = name.ends_with(".txt");
    std::string where = text ? lineOf(actual, at) + ", golden " + lineOf(expected, at)
                             : recordOf(name, actual, at) + " (byte " + std::to_string(at) + ")";
    return "tests/golden/" + name + " differs (" + std::to_string(actual.size()) +
           " bytes, golden " + std::to_string(expected.size()) + ") first at " + where +
           "; this run's output: " + written;
}

std::string goldenTableDifference(const std::string& name, const tableAnswer& answer) {
    std::ifstream in(goldenPath(name));
    if (!in) return goldenPath(name) + " cannot be read";
    std::string actual;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            actual += line + "\n";
            continue;
        }
        std::vector<std::string> given;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            given.push_back(line.substr(start, tab - start));
        actual += line.substr(0, start) + answer(given) + "\n";
    }
    return goldenDifference(name, actual);
}

std::vector<goldenDatagram> goldenDatagrams() {
    std::ifstream in(goldenPath("scenario-datagrams.txt"));
    std::vector<goldenDatagram> all;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("tick ")) {
            size_t to = line.find(" to ") + 4;
            all.push_back({line, line.substr(to, line.find(',', to) - to), {}});
            continue;
        }
        std::erase(line, ' ');
        for (size_t i = 0; i + 1 < line.size() && !all.empty(); i += 2)
            all.back().bytes.push_back(uint8_t(std::stoi(line.substr(i, 2), nullptr, 16)));
    }
    return all;
}

// A real browser for the tests of the live page: Debian's chromium, headless, driven over
// its DevTools pipe. A page is opened, script is evaluated in it, screenshots are taken.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct browser {
    pid_t pid = -1;
    int toChrome = -1;
    int fromChrome = -1;
    std::string session; // the DevTools session of the page
    std::string profile; // its own user-data folder
    int nextId = 1;
    std::string received; // bytes read but not yet taken as messages

    browser() = default;
    browser(const browser&) = delete;
    ~browser();
    // Starts the browser with a page of width x height on `url`; false with the reason.
    bool open(const std::string& url, int width, int height, std::string* why);
    // The value of a script expression, as text ("" when it failed).
    std::string evaluate(const std::string& expression);
    // The page as 0xRRGGBB pixels, row by row; empty when it failed.
    std::vector<uint32_t> screenshot(int* width, int* height);

    // The answer to one DevTools call, as its JSON text ("" after a time-out).
    std::string call(const std::string& method, const std::string& params, bool onPage);
};

// The text of a JSON string value after "key": in `json`, unescaped; "" if there is none.
std::string jsonString(const std::string& json, const std::string& key);

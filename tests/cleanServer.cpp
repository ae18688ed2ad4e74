// Every unit test begins on a clean server and leaves one: after each test the server's own
// reset releases whatever the test made, and the settings it changed are given back.
#include <gtest/gtest.h>

#include "testUtil.h"

namespace {

struct cleanServer : testing::EmptyTestEventListener {
    serverSettings* saved = nullptr;
    void OnTestStart(const testing::TestInfo&) override { saved = saveSettings(); }
    void OnTestEnd(const testing::TestInfo&) override {
        restoreSettings(saved);
        saved = nullptr;
    }
};

// Installed before main runs the tests.
const int installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new cleanServer);
    return 1;
}();

} // namespace

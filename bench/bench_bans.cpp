// What a ban costs the tick when the list is long: the command itself, then each tick's
// slice of the file's writing, with N bans in the list (half ranges, half names).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "server.h"

namespace {

int written = 0;

void noteWritten(void*, int, const char*) {
    written = 1;
}

// Runs a command and the ticks until its file is written: the command's time, the longest
// tick's share of the writing, and how many ticks it took.
void timedChange(const char* command, double* commandMs, double* sliceMs, int* ticks) {
    commandAnswer a;
    written = 0;
    double t0 = steadyMs();
    runCommand(command, &a, noteWritten, nullptr);
    *commandMs = steadyMs() - t0;
    *sliceMs = 0;
    *ticks = 0;
    while (!written && *ticks < 100000) {
        double t = steadyMs();
        serveAccessLists();
        *sliceMs = std::max(*sliceMs, steadyMs() - t);
        ++*ticks;
    }
}

void banInALongList(benchmark::State& state) {
    int n = int(state.range(0));
    trace.on = 0;
    std::string dir = std::filesystem::temp_directory_path() / "quarn-bench-bans-XXXXXX";
    dir = mkdtemp(dir.data());
    setResDir(dir.c_str());
    {
        std::ofstream bans(dir + "/bans");
        bans << "# a long list\n";
        for (int i = 0; i < n; i++)
            if (i % 2)
                bans << "10." << (i >> 16 & 255) << "." << (i >> 8 & 255) << "." << (i & 255)
                     << "\n";
            else
                bans << "griefer" << i << "\n";
    }
    loadAccessLists();
    double commandMs = 0, sliceMs = 0, worstCommand = 0, worstSlice = 0;
    int ticks = 0;
    for (auto _ : state) {
        timedChange("ban address 192.0.2.7", &commandMs, &sliceMs, &ticks);
        worstCommand = std::max(worstCommand, commandMs);
        worstSlice = std::max(worstSlice, sliceMs);
        timedChange("unban address 192.0.2.7", &commandMs, &sliceMs, &ticks);
        worstCommand = std::max(worstCommand, commandMs);
        worstSlice = std::max(worstSlice, sliceMs);
    }
    state.counters["command_max_ms"] = worstCommand;
    state.counters["tick_share_max_ms"] = worstSlice;
    state.counters["ticks_to_write"] = ticks;
    resetAccessLists();
    setResDir("res");
    std::filesystem::remove_all(dir);
    trace.on = 1;
}

BENCHMARK(banInALongList)
    ->ArgNames({"bans"})
    ->Arg(1000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);

} // namespace

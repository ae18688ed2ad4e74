// Cost of an autosave to the tick: the accounts and the world put into memory in one tick,
// then written a slice a tick through their temporary files, synced and renamed; for the
// spawn world and a world of about 3,000 chunks, on the disk the save files would live on.
// The time is the whole save's; `maxTickMs` is the most one tick spent on it, `ticks` how
// many ticks it took.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "testUtil.h"
#include "veskServer.h"

namespace {

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void autosaveTick(benchmark::State& state) {
    int radius = int(state.range(0));
    traceOn = 0;
    freshLists(radius);
    for (int i = 0; i < 100; i++) {
        veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        snprintf(reinterpret_cast<char*>(pro->username), textLen, "player%d", i);
        arrayListAddEndPointer(profList, pro);
    }
    char folder[] = "/var/tmp/quarn-autosave-XXXXXX";
    std::string dir = mkdtemp(folder);
    std::string profiles = dir + "/profiles";
    std::string world = dir + "/world";
    double maxTick = 0;
    int ticks = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        startSlicedSave(profiles.c_str(), profList, world.c_str(), terList);
        int done = 0;
        for (ticks = 0; done == 0; ticks++) {
            done = saveNextSlice(1 << 20);
            maxTick = std::max(maxTick, msSince(t0));
            t0 = std::chrono::steady_clock::now();
        }
    }
    state.counters["chunks"] = arrayListGetLength(terList);
    state.counters["maxTickMs"] = maxTick;
    state.counters["ticks"] = ticks;
    benchmark::DoNotOptimize(system(("rm -rf " + dir).c_str()));
    freeLists();
    traceOn = 1;
}

// Radius 11 is the spawn world (331 chunks); radius 32 holds 2,977.
BENCHMARK(autosaveTick)->ArgName("radius")->Arg(11)->Arg(32)->Unit(benchmark::kMillisecond);

} // namespace

// Cost of an autosave inside the tick: the accounts and the world written through their
// temporary files, synced and renamed, for the spawn world and for a world of about
// 3,000 chunks, into a folder on the disk the server's own files would live on.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "testUtil.h"
#include "veskServer.h"

namespace {

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
    setResDir(mkdtemp(folder));
    for (auto _ : state)
        benchmark::DoNotOptimize(saveGame());
    state.counters["chunks"] = arrayListGetLength(terList);
    std::string cleanup = std::string("rm -rf ") + folder;
    benchmark::DoNotOptimize(system(cleanup.c_str()));
    setResDir("res");
    freeLists();
    traceOn = 1;
}

// Radius 11 is the spawn world (331 chunks); radius 32 holds 2,977.
BENCHMARK(autosaveTick)->ArgName("radius")->Arg(11)->Arg(32)->Unit(benchmark::kMillisecond);

} // namespace

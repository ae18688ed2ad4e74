// Cost of the password hash that account creation and login run inside the tick: hashing
// a new password, and checking a login's password against a stored hash.
#include <benchmark/benchmark.h>

#include <cstring>

#include "server.h"
#include "veskTrace.h"

namespace {

const unsigned char password[textLen] = "correct horse battery staple";

void hashNewPassword(benchmark::State& state) {
    trace.on = 0;
    unsigned char field[textLen];
    for (auto _ : state) {
        hashPassword(field, password);
        benchmark::DoNotOptimize(field);
    }
}

void checkLoginPassword(benchmark::State& state) {
    trace.on = 0;
    unsigned char field[textLen];
    hashPassword(field, password);
    for (auto _ : state)
        benchmark::DoNotOptimize(checkPassword(field, password));
}

BENCHMARK(hashNewPassword)->Unit(benchmark::kMillisecond);
BENCHMARK(checkLoginPassword)->Unit(benchmark::kMillisecond);

} // namespace

// Long randomised runs of the ground-walker physics on roughened terrain: many walkers with
// random keys and jumps keep every movement invariant, and skipping faces out of reach in
// the sweep gives bit for bit the same movement as testing them all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "test_physHelpers.h"
#include "testUtil.h"
#include "veskEntity.h"

#if defined(__SANITIZE_ADDRESS__)
static const int scaleDown = 2;
#else
static const int scaleDown = 1;
#endif

static bool soakRunning = false;
static void endedInsideASoak() {
    if (soakRunning) fputs("the process was ended during a physics soak\n", stderr), _Exit(1);
}

// Walkers over the chunks within 3 of the centre, starting in the air up to 20 high.
static std::vector<veskGravity*> addWalkers(ArrayList* ents, ArrayList* world, int count,
                                            uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0, 1);
    std::vector<veskGravity*> out;
    for (int n = 0; n < count; n++) {
        float p[3] = {12 * unit(rng) - 6, 2 + 18 * unit(rng) * unit(rng), 12 * unit(rng) - 6};
        veskGravity* g = addDefaultEntity(ents, 0, p)->gravMem;
        g->chunkCoords[0] = int(rng() % 7) - 3;
        g->chunkCoords[1] = std::abs(g->chunkCoords[0]) > 1 ? 0 : int(rng() % 3) - 1;
        g->rots[1] = 6.2831853f * unit(rng);
        setveskGravity(g, world);
        out.push_back(g);
    }
    return out;
}

// Fresh keys now and then (mostly walking), a turn or a jump once in a while; walkers far
// out are turned home so the world stays near the spawn area's size.
static void steer(veskGravity* g, int* keys, std::mt19937& rng) {
    float cx, cz;
    terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, 10.0f);
    float x = cx + g->position[0], z = cz + g->position[2];
    if (x * x + z * z > 90.0f * 90.0f && rng() % 10 == 0)
        g->rots[1] = std::atan2(x, -z), keys[0] = 1, keys[1] = 0;
    else if (rng() % 20 == 0)
        keys[0] = std::min(int(rng() % 4) - 1, 1), keys[1] = int(rng() % 3) - 1;
    if (rng() % 30 == 0) g->rots[1] += float(int(rng() % 21) - 10) * 0.15707963f;
    physInput(g, keys[0], keys[1], rng() % 60 == 0);
}

TEST(PhysSoak, RandomWalkersKeepEveryInvariant) {
    const int walkers = 200 / scaleDown, ticks = 2000 / scaleDown;
    quietTrace quiet;
    static bool hooked = std::atexit(endedInsideASoak) == 0;
    ASSERT_TRUE(hooked);
    ArrayList* world = physFlatWorld();
    int known = physRoughen(world, 0, 0x5eed, 0.6f);
    ArrayList* ents = initArrayList(10, 8);
    std::vector<veskGravity*> gs = addWalkers(ents, world, walkers, 2024);
    std::vector<int> keys(2 * walkers, 0);
    std::mt19937 rng(2025);
    long crossings = 0, landings = 0, bounded = 0, stalls = 0;
    soakRunning = true;
    for (int t = 0; t < ticks; t++) {
        for (int n = 0; n < walkers; n++) {
            veskGravity* g = gs[n];
            steer(g, &keys[2 * n], rng);
            int cx = g->chunkCoords[0], cy = g->chunkCoords[1], air = g->typeIndex == 7;
            physTick(g, world);
            ASSERT_EQ(physFault(g), "") << "tick " << t << " walker " << n;
            crossings += cx != g->chunkCoords[0] || cy != g->chunkCoords[1];
            landings += air && g->typeIndex != 7;
            bounded += g->midMoveSpeed != 0 && counter0 > maxRec;
            stalls += !air && g->typeIndex != 7 && g->curMoveSpeed > 1e-3f && !g->locChanged;
        }
        // New chunks lie 3 chunks from the walker that spawned them: nobody is on them yet.
        known = physRoughen(world, known, 0x5eed, 0.6f);
    }
    soakRunning = false;
    printf("[ soak     ] %d walkers, %d ticks: %ld chunk changes, %ld landings, %ld moves cut "
           "by the bound, %ld stalled, %d chunks\n",
           walkers, ticks, crossings, landings, bounded, stalls, known);
    EXPECT_GT(crossings, 5L * walkers * ticks / 2000);
    EXPECT_GT(landings, 10L * walkers * ticks / 2000);
    freeEntList(ents);
    freeTerList(world);
}

// Two identical worlds and walker sets under the same keys, swept with and without the cull.
// Heights up to 1.0 and falls from up to 20 units give many contacts and long steps.
TEST(PhysCull, SkippingFacesOutOfReachChangesNothing) {
    const int walkers = 40 / scaleDown, ticks = 600 / scaleDown;
    quietTrace quiet;
    ArrayList *world[2], *ents[2];
    std::vector<veskGravity*> gs[2];
    int known[2];
    for (int s = 0; s < 2; s++) {
        world[s] = physFlatWorld();
        known[s] = physRoughen(world[s], 0, 0x5eee, 1.0f);
        ents[s] = initArrayList(10, 8);
        gs[s] = addWalkers(ents[s], world[s], walkers, 77);
    }
    std::vector<int> keys(2 * walkers, 0);
    std::mt19937 rng(78);
    long faceChanges = 0;
    for (int t = 0; t < ticks; t++) {
        for (int n = 0; n < walkers; n++) {
            veskGravity *a = gs[0][n], *b = gs[1][n];
            steer(a, &keys[2 * n], rng);
            memcpy(b->tempVect, a->tempVect, sizeof a->tempVect);
            b->jumping = a->jumping, b->rots[1] = a->rots[1];
            int face = a->faceIndex;
            gravSweepCull = 1;
            physTick(a, world[0]);
            gravSweepCull = 0;
            physTick(b, world[1]);
            gravSweepCull = 1;
            // Every field bit for bit, the neighbourhood by its chunks' coordinates.
            bool same = !memcmp(a, b, offsetof(veskGravity, terArray));
            for (int k = 0; k < 7; k++)
                same = same && !memcmp(a->terArray[k]->chunkCoords, b->terArray[k]->chunkCoords, 8);
            ASSERT_TRUE(same) << "tick " << t << " walker " << n;
            faceChanges += face != a->faceIndex;
        }
        for (int s = 0; s < 2; s++)
            known[s] = physRoughen(world[s], known[s], 0x5eee, 1.0f);
    }
    EXPECT_GT(faceChanges, long(walkers) * ticks / 4);
    for (int s = 0; s < 2; s++) {
        freeEntList(ents[s]);
        freeTerList(world[s]);
    }
}

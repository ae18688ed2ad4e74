// The fixture of the dispatcher, handshake, game-tick, streaming and save-file tests:
// fresh lists, a loopback endpoint, a controllable clock and the captured log, with
// builders and readers of what a client and the server exchange.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "testUtil.h"
#include "server.h"

struct sessionTest : testing::Test {
    loopback lb;
    quietTrace quiet;
    veskProfile* pro = nullptr;
    void SetUp() override {
        captureLog();
        useFakeClock(0);
        freshLists(0);
        openLoopback(&lb);
    }
    void TearDown() override { closeLoopback(&lb); }
    bytes send(const bytes& d) { // the reply, if any
        dispatch(&lb, d);
        return clientRecv(&lb, 20);
    }
    // alice, steering an unplaced free mover at (5, 1, 5), logs in with view radius 3 to
    // a spawn area of `radius`; her login reply.
    bytes loginAlice(int radius, int stage) {
        embedSpawnTer(world.terList, radius, 0, 0, options.terScale, options.terEdge);
        pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        strcpy(reinterpret_cast<char*>(pro->username), "alice");
        const float at[3] = {5, 1, 5};
        pro->entity = addDefaultEntity(world.entList, 1, at)->globalId;
        arrayListAddEndPointer(sessions.profList, pro);
        bytes reply = send(loginMsg("alice", "", 3));
        pro->stage = stage;
        capturedLog.clear();
        return reply;
    }
    veskGravity* avatar() { return profEntity(pro)->gravMem; }
    bytes tic() { return sessionMsg(coGameTic, pro->key); }
    // Reads the in-game datagrams as a strict client, polls aside.
    gameStream parse(const datagrams& all) {
        gameStream s;
        for (const bytes& d : all)
            EXPECT_TRUE(d == bytes{soUpdate} || readGameDatagram(d.data(), d.size(), &s, nullptr));
        return s;
    }
    // One game tick after a moment for the datagrams sent to arrive; what alice got in it.
    // The clock stands still unless the test moves it.
    datagrams tick() {
        usleep(1000);
        gameTic();
        return clientDrain(&lb, 5);
    }
};

// The server as a whole: Start and Stop (the endpoint, the world and the accounts built,
// saved and released), the work of one serving tick in its fixed order, and the two ways
// of running it (the control window, headless). `resetServer` is the one release of
// everything a Start made.
#pragma once

#include <cstdint>

// startup.cpp
int startServer(); // Start: endpoint, then world; 1 on success
// The world and the accounts loaded from the save folder (a spawn area when it holds no
// world), each account given its own entity.
void initGame();
// Everything a Start made released at once, every session told first (soDisconnect): the
// control socket, the endpoint, the world, the sessions and their limits, the access lists
// (their last change written first), the log's limits and a save under way. The totals and
// figures of the process stay.
void resetServer();
int stopServer(); // Stop: save, then release; 0 (still serving) if the save failed
int quitServer(); // the same at exit, releasing whatever the save did; 0 if it failed
// A dedicated server's stop: the save, and only once it is written the end of serving (1);
// 0 while it keeps serving after a failed save, to try again a few seconds later.
constexpr int stopRetrySeconds = 5;
int stopOrKeepServing(int first);
void stopWithoutSaving(); // the operator insists: a second signal

// tick.cpp
void gameTic();   // receive, keys, movement, sending, the marks cleared
void serveTick(); // one tick while serving: the game tick, then the housekeeping; timed

// headless.cpp
int runHeadless(); // the process's exit status

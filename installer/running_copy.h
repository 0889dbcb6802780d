#pragma once

#include <chrono>

// What asking the running copies of the program to exit came to.
struct CloseOutcome {
    // Main windows that were sent the tray's "Exit" command.
    int asked = 0;
    // No copy runs any more.
    bool ended = false;
};

// Asks every running Quillforth, of this version or an older one, to exit as its tray's "Exit"
// does: on the way out it puts the adapters' DNS servers back, starts the DNS Client service again
// and saves its cache. Then waits, at most `timeout`, until no copy runs: until every asked
// process has ended and the single-instance mutex is gone. A copy that is still starting (the
// mutex exists, the window not yet) is asked as soon as its window shows.
CloseOutcome CloseRunningCopies(std::chrono::milliseconds timeout);

#pragma once

#include <chrono>

// What asking the running copies of the program to exit came to.
struct CloseOutcome {
    // Main windows that were sent the tray's "Exit" command.
    int asked = 0;
    // No copy runs any more.
    bool ended = false;
    // A copy runs in another user's session, where its window cannot be asked.
    bool otherSession = false;
};

// Asks every running Quillforth, of this version or an older one, to exit as its tray's "Exit"
// does: on the way out it puts the adapters' DNS servers back, starts the DNS Client service again
// and saves its cache. Then waits, at most `timeout`, until no copy runs: until every asked
// process has ended and the single-instance mutexes are gone. A copy that is still starting (the
// mutex exists, the window not yet) is asked as soon as its window shows. A copy of another
// session (the machine's mutex without the session's, and no window here) ends the wait at once.
CloseOutcome CloseRunningCopies(std::chrono::milliseconds timeout);

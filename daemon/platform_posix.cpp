#include <csignal>

#include "daemon/platform.h"

namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

bool PrepareDaemonProcess() {
    const sigset_t signals = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0;
}

void WaitForStopSignal() {
    const sigset_t signals = StopSignals();
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
}

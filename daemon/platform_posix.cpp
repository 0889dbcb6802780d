#include <sys/resource.h>

#include <csignal>

#include "daemon/platform.h"

namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // A closed terminal ends the daemon as a stop does: the cache is saved.
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

std::vector<std::string> DaemonArguments(int argc, char** argv) {
    return {argv + 1, argv + argc};
}

bool PrepareDaemonProcess() {
    // Each forward holds a socket for every upstream server it waits for: with every server
    // silent under a flood that is more descriptors than the usual soft limit of 1024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    const sigset_t signals = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0;
}

void WaitForStopSignal() {
    const sigset_t signals = StopSignals();
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
}

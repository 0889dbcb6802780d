#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Makes Windows take the adapters' new DNS servers at once. Since Windows 10 the DNS Client keeps
// the adapters' configuration in memory and cannot be stopped; a change of the "NameServer"
// values alone is not noticed until something tells it that adapter settings changed, and there
// is no documented call for that. "ipconfig /registerdns" makes it read them again (besides, it
// renews the machine's DHCP leases and registers its names in DNS), then "ipconfig /flushdns"
// empties its cache of answers from the old servers.

// How long one command may run before it counts as hanging and is ended.
inline constexpr std::chrono::seconds kIpconfigTimeLimit{10};

// Runs "ipconfig /registerdns", then "ipconfig /flushdns", from the system folder, hidden, each
// within kIpconfigTimeLimit. A command still running when `cancel` (an event) is signalled is
// ended and the rest is not run. Returns what went wrong, short enough for a line of the status
// box ("ipconfig /registerdns: exit code 1", "ipconfig /registerdns hung"), or empty when both
// succeeded. A failed flush is no failure while the DNS Client is not running: it has no cache.
std::string RefreshDnsClient(HANDLE cancel = nullptr);

// RefreshDnsClient on a thread of its own, so that the window's thread never waits on it. One
// thread at most, started by the first request and joined by Finish.
class CDnsClientRefresh {
public:
    CDnsClientRefresh();
    CDnsClientRefresh(const CDnsClientRefresh&) = delete;
    CDnsClientRefresh& operator=(const CDnsClientRefresh&) = delete;
    ~CDnsClientRefresh();

    // The adapters changed: a run starts now, or once the run under way has ended (requests that
    // come meanwhile make one run).
    void Request();
    // Waits at most `timeout` for the runs asked for, then ends the one still under way and the
    // thread.
    void Finish(std::chrono::milliseconds timeout);
    // What the last run that ended could not do; empty when it succeeded or none has run.
    [[nodiscard]] std::string Failure() const;

private:
    void Serve();

    // Signalled by Finish when its time is up: the command under way is ended.
    HANDLE m_cancel;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_requested = false;
    bool m_running = false;
    bool m_finishing = false;
    std::string m_failure;
    std::thread m_thread;
};

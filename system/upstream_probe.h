#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/upstream_settings.h"

// The period between two probes.
inline constexpr UINT kProbePeriodMs = 10'000;

// Checks every period which servers of the upstream list answer: each server of the list as the
// window's thread found it at the tick is asked alone for kProbeHostName (CDnsCache::
// ProbeServers, which also records the outcome in each server's state). The window that runs the
// probe names the timer and the message it uses.
//
// The lookup runs on a thread of its own and may wait for the upstream timeout once per server:
// the window's thread must never wait for it, as the proxy's workers send their notifications to
// that thread and wait for the answer. The result comes back to the window's thread through the
// done message and reaches the handler there. At most one lookup runs at a time; a tick while
// one runs does nothing.
//
// Stop (and the destructor) never wait for a lookup that is still running: the lookup is let go.
// It holds only its own copies and a state block shared with this object, so it ends on its own
// within the upstream timeout and, let go, posts nothing. A lookup that has already ended is
// joined.
//
// All members are for the window's thread.
class CUpstreamProbe {
public:
    // Called on the window's thread with the outcome of each lookup: how many of how many
    // servers answered.
    using ResultHandler = std::function<void(int answering, int servers)>;
    // Gives the servers and the wait of the upstream in use, on the window's thread.
    using TargetSource = std::function<UpstreamTarget()>;

    // `target` gives the upstream in use at each tick; `doneMessage` is posted to the window
    // when a lookup has ended; `timerId` ticks on it.
    CUpstreamProbe(TargetSource target, ResultHandler onResult, UINT doneMessage, UINT_PTR timerId);
    CUpstreamProbe(const CUpstreamProbe&) = delete;
    CUpstreamProbe& operator=(const CUpstreamProbe&) = delete;
    ~CUpstreamProbe();

    // Starts the timer on `window`, which hands its WM_TIMER and the done message to OnTimer and
    // OnMessage, and probes at once. A probe that runs keeps running; its result goes to the new
    // window.
    void Start(HWND window, UINT periodMs = kProbePeriodMs);
    // Kills the timer and lets a running lookup go (see above); a result not yet handled is
    // dropped.
    void Stop();

    // Starts one lookup now unless one is running; false when none was started.
    bool ProbeUpstream();
    [[nodiscard]] bool Probing() const { return m_lookup != nullptr; }

    // A tick of the probe's timer runs ProbeUpstream; false for any other timer.
    bool OnTimer(UINT_PTR id);
    // The done message: hands a finished lookup's result to the handler; false for other
    // messages.
    bool OnMessage(UINT message);

    // The probe lookups that have not ended yet in this process, those let go included.
    static int LookupsInFlight();

private:
    struct Lookup;
    static void Run(const std::shared_ptr<Lookup>& lookup, const UpstreamTarget& target,
                    UINT doneMessage);
    // Takes the result of the lookup when it has ended: joins its thread and calls the handler.
    void Finish();

    TargetSource m_target;
    ResultHandler m_onResult;
    const UINT m_doneMessage;
    const UINT_PTR m_timerId;
    HWND m_window = nullptr;
    std::shared_ptr<Lookup> m_lookup;
    std::thread m_thread;
};

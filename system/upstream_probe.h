#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

// The well-known host name that the probe resolves through the upstream server in use.
inline constexpr char kProbeHostName[] = "www.example.com";

// The period between two probes.
inline constexpr UINT kProbePeriodMs = 10'000;

// Checks every period whether the upstream server in use answers: one lookup of kProbeHostName
// through CurrentDnsServer(), as the window's thread found it at the tick, into a scratch entry
// that no cache sees.
//
// The lookup runs on a thread of its own and may wait for the whole upstream timeout: the
// window's thread must never wait for it, as the proxy's workers send their notifications to that
// thread and wait for the answer. The result comes back to the window's thread through
// WM_PROBE_DONE and reaches the handler there. At most one lookup runs at a time; a tick while
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
    // Called on the window's thread with the outcome of each lookup: true when at least one
    // address came back.
    using ResultHandler = std::function<void(bool answered)>;

    explicit CUpstreamProbe(ResultHandler onResult);
    CUpstreamProbe(const CUpstreamProbe&) = delete;
    CUpstreamProbe& operator=(const CUpstreamProbe&) = delete;
    ~CUpstreamProbe();

    // Starts TIMER_PROBE on `window`, which hands its WM_TIMER and WM_PROBE_DONE to OnTimer and
    // OnMessage. A probe that runs keeps running; its result goes to the new window.
    void Start(HWND window, UINT periodMs = kProbePeriodMs);
    // Kills the timer and lets a running lookup go (see above); a result not yet handled is
    // dropped.
    void Stop();

    // Starts one lookup now unless one is running; false when none was started.
    bool ProbeUpstream();
    [[nodiscard]] bool Probing() const { return m_lookup != nullptr; }

    // A tick of TIMER_PROBE runs ProbeUpstream; false for any other timer.
    bool OnTimer(UINT_PTR id);
    // WM_PROBE_DONE: hands a finished lookup's result to the handler; false for other messages.
    bool OnMessage(UINT message);

    // The probe lookups that have not ended yet in this process, those let go included.
    static int LookupsInFlight() { return s_lookupsInFlight.load(); }

private:
    struct Lookup;
    static void Run(const std::shared_ptr<Lookup>& lookup, const std::string& server);
    // Takes the result of the lookup when it has ended: joins its thread and calls the handler.
    void Finish();

    ResultHandler m_onResult;
    HWND m_window = nullptr;
    std::shared_ptr<Lookup> m_lookup;
    std::thread m_thread;

    static inline std::atomic<int> s_lookupsInFlight{0};
};

// A line of the main dialog's status box: the label padded to 20 characters, the value to 15,
// and a line break.
std::string StatusLine(std::string_view label, std::string_view value);
// The status box's lines about the upstream: the server in use and whether the last probe
// found it up.
std::string ServerStatusLines(bool serverDown);

// What the tray icon shows: an icon resource and its tooltip text.
struct TrayStatus {
    int icon = 0;
    std::string text;
};

// The tray icon's status, updated every second. A server found down makes the icon alternate
// between IDI_SERVER_DOWN and IDI_BLINK ten times, after which the down flag clears itself until
// the next failed probe sets it again; a batch resolve blinks between IDI_UPDATING and
// IDI_BLINK; otherwise the icon tells whether the proxy runs.
class CTrayWarning {
public:
    TrayStatus Update(bool& serverDown, bool updating, bool running);

private:
    bool m_blinkPhase = false;
    int m_blinkCount = 0;
};

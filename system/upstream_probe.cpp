#include "system/upstream_probe.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "core/dns_cache.h"

namespace {

// The probe lookups of this process that have not ended, those let go included.
std::atomic<int> g_lookupsInFlight{0};

}  // namespace

// What a lookup's thread and its owner share. The owner lets go by clearing `window`; the thread
// posts under the lock, so nothing reaches a window whose owner is gone. Posting never waits for
// the window's thread, so holding the lock for it is safe.
struct CUpstreamProbe::Lookup {
    std::mutex lock;
    HWND window = nullptr;
    bool ended = false;
    int answering = 0;
    int servers = 0;
};

CUpstreamProbe::CUpstreamProbe(TargetSource target, ResultHandler onResult, UINT doneMessage,
                               UINT_PTR timerId)
    : m_target(std::move(target)),
      m_onResult(std::move(onResult)),
      m_doneMessage(doneMessage),
      m_timerId(timerId) {}

int CUpstreamProbe::LookupsInFlight() {
    return g_lookupsInFlight.load();
}

CUpstreamProbe::~CUpstreamProbe() {
    Stop();
}

void CUpstreamProbe::Start(HWND window, UINT periodMs) {
    if (m_window != nullptr && m_window != window) {
        ::KillTimer(m_window, m_timerId);
    }
    m_window = window;
    if (m_lookup != nullptr) {
        const std::lock_guard guard(m_lookup->lock);
        m_lookup->window = window;
    }
    ::SetTimer(window, m_timerId, periodMs, nullptr);
    ProbeUpstream();
}

void CUpstreamProbe::Stop() {
    if (m_window != nullptr) {
        ::KillTimer(m_window, m_timerId);
        m_window = nullptr;
    }
    if (m_lookup == nullptr) {
        return;
    }
    bool ended = false;
    {
        const std::lock_guard guard(m_lookup->lock);
        m_lookup->window = nullptr;
        ended = m_lookup->ended;
    }
    if (ended) {
        m_thread.join();  // it has nothing left to do but return
    } else {
        m_thread.detach();
    }
    m_lookup.reset();
}

bool CUpstreamProbe::ProbeUpstream() {
    if (m_lookup != nullptr) {
        // Its result may be waiting behind other messages: take it now if it is there.
        Finish();
        if (m_lookup != nullptr) {
            return false;
        }
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->window = m_window;
    ++g_lookupsInFlight;
    try {
        m_thread = std::thread(Run, lookup, m_target(), m_doneMessage);
    } catch (const std::system_error&) {
        --g_lookupsInFlight;  // no thread, no probe: the next tick tries again
        return false;
    }
    m_lookup = std::move(lookup);
    return true;
}

bool CUpstreamProbe::OnTimer(UINT_PTR id) {
    if (id != m_timerId) {
        return false;
    }
    ProbeUpstream();
    return true;
}

bool CUpstreamProbe::OnMessage(UINT message) {
    if (message != m_doneMessage) {
        return false;
    }
    // A message of a lookup whose result a tick took already finds the next one still running,
    // or none; either way there is nothing to take.
    Finish();
    return true;
}

void CUpstreamProbe::Run(const std::shared_ptr<Lookup>& lookup, const UpstreamTarget& target,
                         UINT doneMessage) {
    std::vector<bool> answered;
    try {
        answered = CDnsCache::ProbeServers(target, target.Wait);
    } catch (...) {
        // Not even asked (no memory): no server was found answering.
    }
    {
        const std::lock_guard guard(lookup->lock);
        lookup->ended = true;
        lookup->answering = static_cast<int>(std::ranges::count(answered, true));
        lookup->servers = static_cast<int>(target.Servers->size());
        if (lookup->window != nullptr) {
            ::PostMessageA(lookup->window, doneMessage, 0, 0);
        }
    }
    --g_lookupsInFlight;
}

void CUpstreamProbe::Finish() {
    if (m_lookup == nullptr) {
        return;
    }
    int answering = 0;
    int servers = 0;
    {
        const std::lock_guard guard(m_lookup->lock);
        if (!m_lookup->ended) {
            return;
        }
        answering = m_lookup->answering;
        servers = m_lookup->servers;
    }
    m_thread.join();
    m_lookup.reset();
    if (m_onResult) {
        m_onResult(answering, servers);
    }
}

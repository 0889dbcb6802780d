#include "net/https_client.h"

#include <algorithm>
#include <utility>

namespace {

thread_local CHttpsWakeBatch* t_wakeBatch = nullptr;

}  // namespace

void CHttpsWaker::Wake() {
    const std::lock_guard guard(m_lock);
    if (m_wake) {
        m_wake();
    }
}

void CHttpsWaker::Disarm() {
    const std::lock_guard guard(m_lock);
    m_wake = nullptr;
}

CHttpsWakeBatch::CHttpsWakeBatch() : m_outer(std::exchange(t_wakeBatch, this)) {}

CHttpsWakeBatch::~CHttpsWakeBatch() {
    t_wakeBatch = m_outer;
    for (const std::shared_ptr<CHttpsWaker>& waker : m_wakers) {
        waker->Wake();
    }
}

bool CHttpsWakeBatch::Defer(const std::shared_ptr<CHttpsWaker>& waker) {
    if (t_wakeBatch == nullptr) {
        return false;
    }
    std::vector<std::shared_ptr<CHttpsWaker>>& wakers = t_wakeBatch->m_wakers;
    if (std::ranges::find(wakers, waker) == wakers.end()) {
        wakers.push_back(waker);
    }
    return true;
}

CDoorbells::Doorbell CDoorbells::Take() {
    {
        const std::lock_guard guard(m_lock);
        if (!m_spare.empty()) {
            Doorbell doorbell = std::move(m_spare.back());
            m_spare.pop_back();
            return doorbell;
        }
    }
    Doorbell doorbell;
    doorbell.Socket.Create(true, AddressFamily::kIpv4);
    doorbell.Socket.Bind(CSocketAddress::Loopback(AddressFamily::kIpv4, 0));
    doorbell.Port = doorbell.Socket.GetLocalPort();
    // A look at a doorbell that has not rung returns at once.
    doorbell.Socket.SetReceiveTimeout(1);
    return doorbell;
}

void CDoorbells::GiveBack(Doorbell doorbell) {
    const std::lock_guard guard(m_lock);
    if (m_spare.size() < kMostSpare) {
        m_spare.push_back(std::move(doorbell));
    }
}

CHttpsPost::CHttpsPost(std::shared_ptr<CDoorbells> doorbells, HttpsFinisher finisher)
    : m_doorbells(std::move(doorbells)), m_finisher(std::move(finisher)) {}

CHttpsPost::~CHttpsPost() {
    if (!m_doorbell) {
        return;
    }
    // A ring over loopback is queued by the time its send returns, so it is there to read: left
    // unread, it would wake the doorbell's next waiter for nothing, and rings of posts nobody
    // waited for would pile up in the socket's queue.
    if (m_rang && !m_ringRead) {
        static_cast<void>(ReadRing(m_doorbell->Socket));
    }
    m_doorbells->GiveBack(std::move(*m_doorbell));
}

CWSocket& CHttpsPost::Doorbell() {
    std::unique_lock lock(m_lock);
    if (m_doorbell) {
        return m_doorbell->Socket;
    }
    m_doorbell = m_doorbells->Take();
    CWSocket& doorbell = m_doorbell->Socket;
    if (m_finished) {
        // The client's thread found no doorbell to ring: it rings itself, for the wait to come.
        lock.unlock();
        RingFrom(doorbell);
    }
    return doorbell;
}

void CHttpsPost::RingFrom(CWSocket& ringer) {
    const std::uint8_t ring = 1;
    try {
        ringer.SendTo(&ring, sizeof ring,
                      CSocketAddress::Loopback(AddressFamily::kIpv4, m_doorbell->Port));
    } catch (const CWSocketException&) {
        return;  // the poster finds the outcome at its next look, or has gone
    }
    const std::lock_guard guard(m_lock);
    m_rang = true;
}

bool CHttpsPost::ReadRing(CWSocket& doorbell) {
    std::uint8_t ring = 0;
    CSocketAddress from;
    try {
        static_cast<void>(doorbell.ReceiveFrom(&ring, sizeof ring, from));
        return true;
    } catch (const CWSocketException&) {
        return false;  // nothing to read
    }
}

std::optional<HttpsOutcome> CHttpsPost::Take() {
    CWSocket* doorbell = nullptr;
    {
        const std::lock_guard guard(m_lock);
        doorbell = m_doorbell ? &m_doorbell->Socket : nullptr;
    }
    // With nothing to read, the outcome decides.
    const bool read = doorbell != nullptr && ReadRing(*doorbell);
    const std::lock_guard guard(m_lock);
    m_ringRead = m_ringRead || read;
    return std::exchange(m_outcome, std::nullopt);
}

void CHttpsPost::Cancel() {
    std::function<void()> wake;
    {
        const std::lock_guard guard(m_lock);
        m_cancelled = true;
        if (!m_finished) {
            wake = m_wake;
        }
    }
    if (wake) {
        wake();
    }
}

void CHttpsPost::OnCancel(std::function<void()> wake) {
    const std::lock_guard guard(m_lock);
    m_wake = std::move(wake);
}

bool CHttpsPost::Cancelled() const {
    const std::lock_guard guard(m_lock);
    return m_cancelled;
}

void CHttpsPost::MarkStarted() {
    const std::lock_guard guard(m_lock);
    if (!m_started) {
        m_started = std::chrono::steady_clock::now();
    }
}

std::optional<std::chrono::steady_clock::time_point> CHttpsPost::StartedAt() const {
    const std::lock_guard guard(m_lock);
    return m_started;
}

void CHttpsPost::MarkConnecting() {
    const std::lock_guard guard(m_lock);
    m_connecting = true;
}

bool CHttpsPost::Connecting() const {
    const std::lock_guard guard(m_lock);
    return m_connecting;
}

void CHttpsPost::Finish(HttpsOutcome outcome, CWSocket& ringer) {
    bool cancelled = false;
    {
        const std::lock_guard guard(m_lock);
        cancelled = m_cancelled;
        // A post dropped before it started (its client going) is timed from now.
        outcome.Started = m_started.value_or(std::chrono::steady_clock::now());
    }
    const FinisherVerdict verdict =
        m_finisher && !cancelled ? m_finisher(outcome) : FinisherVerdict::kLeft;
    if (verdict != FinisherVerdict::kLeft) {
        outcome.Taken = true;
        outcome.Body.clear();
    }
    bool ring = false;
    {
        const std::lock_guard guard(m_lock);
        m_outcome = std::move(outcome);
        m_finished = true;
        // Without a doorbell yet, the thread that takes one rings it itself.
        ring = m_doorbell.has_value();
    }
    if (ring) {
        RingFrom(ringer);
    }
}

std::string DnsQueryPath(std::string_view path, std::span<const std::uint8_t> query) {
    static constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text(path);
    text += path.find('?') == std::string_view::npos ? "?dns=" : "&dns=";
    for (std::size_t i = 0; i < query.size(); i += 3) {
        const std::size_t left = std::min<std::size_t>(3, query.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group = group << 8U | (j < left ? query[i + j] : 0U);
        }
        // Each byte makes a digit and a part of the next: n bytes, n + 1 digits.
        for (std::size_t j = 0; j <= left; ++j) {
            text += kDigits[group >> (18 - 6 * j) & 63U];
        }
    }
    return text;
}

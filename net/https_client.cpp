#include "net/https_client.h"

#include <utility>

CHttpsPost::CHttpsPost() {
    m_doorbell.Create(true, AddressFamily::kIpv4);
    m_doorbell.Bind(CSocketAddress::Loopback(AddressFamily::kIpv4, 0));
    m_doorbellPort = m_doorbell.GetLocalPort();
}

std::optional<HttpsOutcome> CHttpsPost::Take() {
    std::uint8_t ring = 0;
    CSocketAddress from;
    try {
        m_doorbell.SetReceiveTimeout(1);
        static_cast<void>(m_doorbell.ReceiveFrom(&ring, sizeof ring, from));
    } catch (const CWSocketException&) {
        // Nothing to read: the outcome decides.
    }
    const std::lock_guard guard(m_lock);
    return std::exchange(m_outcome, std::nullopt);
}

void CHttpsPost::Cancel() {
    std::function<void()> wake;
    {
        const std::lock_guard guard(m_lock);
        m_cancelled = true;
        wake = m_wake;
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

void CHttpsPost::Finish(HttpsOutcome outcome, CWSocket& ringer) {
    {
        const std::lock_guard guard(m_lock);
        m_outcome = std::move(outcome);
    }
    const std::uint8_t ring = 1;
    try {
        ringer.SendTo(&ring, sizeof ring,
                      CSocketAddress::Loopback(AddressFamily::kIpv4, m_doorbellPort));
    } catch (const CWSocketException&) {
        // The poster finds the outcome at its next look, or has gone.
    }
}

#include "core/client_filter.h"

#include <algorithm>
#include <utility>

bool CClientFilter::Rules::Allows(const CSocketAddress& client) const {
    return AllowAny || client.IsLoopback() ||
           std::any_of(Networks.begin(), Networks.end(),
                       [&](const NetworkPrefix& network) { return network.Contains(client); });
}

void CClientFilter::Start() {
    Stop();
    if (Current()->AllowAny) {
        return;
    }
    Refresh();
    {
        const std::lock_guard guard(m_lock);
        m_stopping = false;
    }
    m_thread = std::thread(&CClientFilter::RefreshLoop, this);
}

void CClientFilter::Stop() {
    {
        const std::lock_guard guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::shared_ptr<const CClientFilter::Rules> CClientFilter::Current() const {
    const std::lock_guard guard(m_lock);
    return m_rules;
}

void CClientFilter::Refresh() {
    // Read without the lock: it takes a few system calls.
    auto rules = std::make_shared<Rules>(Rules{false, m_source()});
    const std::lock_guard guard(m_lock);
    m_rules = std::move(rules);
}

void CClientFilter::RefreshLoop() {
    std::unique_lock lock(m_lock);
    while (!m_wake.wait_for(lock, m_refreshPeriod, [this] { return m_stopping; })) {
        lock.unlock();
        Refresh();
        lock.lock();
    }
}

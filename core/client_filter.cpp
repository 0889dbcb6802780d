#include "core/client_filter.h"

#include <algorithm>
#include <optional>
#include <utility>

bool CClientFilter::Rules::Allows(const CSocketAddress& client) const {
    return AllowAny || client.IsLoopback() ||
           std::any_of(Networks.begin(), Networks.end(),
                       [&](const NetworkPrefix& network) { return network.Contains(client); });
}

std::shared_ptr<const CClientFilter::Rules> CClientFilter::MakeRules(
    ClientScope scope, const std::vector<InterfaceAddress>& addresses) {
    auto rules = std::make_shared<Rules>();
    rules->AllowAny = scope == ClientScope::kAnyone;
    for (const InterfaceAddress& entry : addresses) {
        if (entry.Address.IsEmpty()) {
            continue;
        }
        const int whole = entry.Address.Family() == AddressFamily::kIpv4 ? 32 : 128;
        const std::optional<NetworkPrefix> prefix = NetworkPrefix::Of(
            entry.Address, scope == ClientScope::kLocalNetwork ? entry.PrefixLength : whole);
        if (prefix && std::ranges::find(rules->Networks, *prefix) == rules->Networks.end()) {
            rules->Networks.push_back(*prefix);
        }
    }
    return rules;
}

void CClientFilter::Start() {
    Stop();
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

void CClientFilter::SetScope(ClientScope scope) {
    // From the addresses read last: no system call under the lock.
    const std::lock_guard guard(m_lock);
    m_scope = scope;
    m_rules = MakeRules(scope, m_addresses);
}

std::shared_ptr<const CClientFilter::Rules> CClientFilter::Current() const {
    const std::lock_guard guard(m_lock);
    return m_rules;
}

void CClientFilter::Refresh() {
    // Read without the lock: it takes a few system calls. The rules are made under it, with the
    // scope of that moment.
    std::vector<InterfaceAddress> addresses = m_source();
    const std::lock_guard guard(m_lock);
    m_addresses = std::move(addresses);
    m_rules = MakeRules(m_scope, m_addresses);
}

void CClientFilter::RefreshLoop() {
    std::unique_lock lock(m_lock);
    while (!m_wake.wait_for(lock, m_refreshPeriod, [this] { return m_stopping; })) {
        lock.unlock();
        Refresh();
        lock.lock();
    }
}

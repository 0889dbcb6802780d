#include "core/upstream_watch.h"

#include <array>
#include <memory>

#include "core/dns_packet.h"
#include "core/upstream_exchange.h"

void CUpstreamWatch::Start() {
    {
        const std::lock_guard guard(m_lock);
        m_stopping = false;
    }
    m_thread.Reset();
    m_thread.Start([this](CThreadSet::Member& self) { Run(self); });
}

void CUpstreamWatch::Stop() {
    {
        const std::lock_guard guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.Stop();
}

void CUpstreamWatch::Run(CThreadSet::Member& self) {
    std::unique_lock lock(m_lock);
    while (!m_wake.wait_for(lock, m_period, [this] { return m_stopping; })) {
        lock.unlock();
        ProbeSilentServers(self);
        lock.lock();
    }
}

void CUpstreamWatch::ProbeSilentServers(CThreadSet::Member& self) {
    std::array<std::uint8_t, kDnsPacketSize> query{};
    const std::size_t length = CDnsQuery::Build(query, kProbeHostName, 0, kTypeA);
    const auto room = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxDnsMessage);
    const std::span<std::uint8_t> reply(room.get(), kMaxDnsMessage);
    const UpstreamTarget target = m_upstream.Target();
    for (const std::shared_ptr<CUpstreamServer>& server : *target.Servers) {
        if (!server->Silent()) {
            continue;
        }
        // The exchange records the outcome in the server's state.
        const UpstreamTarget alone{std::make_shared<const UpstreamServerList>(1, server),
                                   kProbeWait};
        try {
            static_cast<void>(
                CUpstreamExchange(alone, &self).OverUdp(std::span(query).first(length), reply));
        } catch (const CWSocketException&) {
            return;  // a stop
        }
    }
}

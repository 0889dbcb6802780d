#include "core/upstream_watch.h"

#include <algorithm>
#include <array>
#include <memory>

#include "core/dns_cache.h"
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
    KeepHttpsHostsFound(self);
    // On fixed ticks: a probe's own wait does not push the next one back.
    auto tick = std::chrono::steady_clock::now();
    std::unique_lock lock(m_lock);
    for (;;) {
        tick = std::max(tick + m_period, std::chrono::steady_clock::now());
        if (m_wake.wait_until(lock, tick, [this] { return m_stopping; })) {
            return;
        }
        lock.unlock();
        ProbeSilentServers(self);
        KeepHttpsHostsFound(self);
        lock.lock();
    }
}

void CUpstreamWatch::KeepHttpsHostsFound(CThreadSet::Member& self) {
    const UpstreamTarget target = m_upstream.Target();
    for (const std::shared_ptr<CUpstreamServer>& server : *target.Servers) {
        const std::string host(server->HttpsHost());
        if (!server->IsHttps() || server->HttpsAddressesGiven() ||
            CSocketAddress::FromText(host, 0)) {
            continue;
        }
        const std::vector<CSocketAddress> kept = server->HttpsAddresses();
        const std::vector<CSocketAddress> cached = m_handler.CachedAddresses(host);
        std::vector<CSocketAddress> found = kept.empty() ? cached : kept;
        // A silent server's host is asked again. What was found may be stale (the server
        // moved) or false (a network's resolver that gives its sign-in page's address for every
        // name until the user signs in), and kept it would leave the server silent for good,
        // this run and the next ones, which find it in the cache.
        if (found.empty() || server->Silent()) {
            std::vector<CSocketAddress> asked =
                CDnsCache::FindAddresses(target.HostLookups(), host, &self);
            if (self.Cancelled()) {
                return;
            }
            if (!asked.empty()) {
                found = std::move(asked);
            }
        }
        if (found.empty()) {
            continue;
        }
        if (found != kept) {
            server->SetFoundHttpsAddresses(found);
        }
        if (found != cached) {
            m_handler.LearnHostAddresses(host, found);
        }
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
        const UpstreamTarget alone = target.Alone(server, kProbeWait);
        try {
            static_cast<void>(
                CUpstreamExchange(alone, &self).OverUdp(std::span(query).first(length), reply));
        } catch (const CWSocketException&) {
            return;  // a stop
        }
    }
}

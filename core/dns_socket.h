#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/dns_cache.h"
#include "core/dns_forward_pool.h"
#include "core/dns_notifier.h"
#include "core/dns_observer.h"
#include "core/dns_query_handler.h"
#include "core/dns_statistics.h"
#include "core/dns_tcp_listener.h"
#include "core/dns_udp_listener.h"
#include "core/upstream_settings.h"

// How much the proxy takes on at once.
struct ProxyLimits {
    // Concurrent UDP forwards, and so forward workers; a miss beyond them is dropped.
    int MaxForwards = 512;
    // TCP connections served at once; one beyond them is closed at once.
    int MaxTcpConnections = 64;
    // How long a TCP client has to deliver its next query whole, counted from the connection or
    // from the previous reply; also the longest a reply may wait to be sent.
    std::chrono::milliseconds TcpIdleTimeout{10000};
    // Changed entries waiting for the owner; beyond them the owner is told to refresh them all.
    std::size_t MaxChangeBatch = CDnsNotifier::kMaxBatch;
};

// The local DNS proxy, on UDP and TCP of one port: it answers a query for a cached domain from
// the cache, forwards any other query unchanged to the current upstream server, relays the reply
// unchanged to the client and learns its IPv4 addresses into the cache (not those of a truncated
// reply: the TCP answer that the client asks for next is learned instead).
//
// It is made of parts, each with its own start and stop: the query handler (what becomes of a
// query, the in-flight rule, the books), the UDP and TCP listeners, the forward pool and the
// notifier; this class composes them. The owner calls RunDnsServer and StopDnsServer from one
// thread; the observer hears of changed entries and of failures (IDnsProxyObserver).
class CDnsSocket {
public:
    // Stopped, with zero statistics. `cache` and `upstream` must outlive the proxy; so must the
    // observer, if any.
    CDnsSocket(CDnsItemMap* cache, CUpstreamSettings& upstream,
               IDnsProxyObserver* observer = nullptr, ProxyLimits limits = {},
               const IClock& clock = SystemClock());
    CDnsSocket(const CDnsSocket&) = delete;
    CDnsSocket& operator=(const CDnsSocket&) = delete;
    // Stops the proxy and joins every thread it started.
    ~CDnsSocket();

    // Starts the proxy on UDP and TCP `port` of `address` (none: every local address; port 0:
    // one that the system chooses for both), stopping it first if it runs. A restart after a
    // receive failure binds the same UDP port again. False when either listening socket cannot
    // be opened, after the observer was given the text
    // "CDnsSocket::RunDnsServer - Error:%d Cause: %s\n".
    bool RunDnsServer(std::uint16_t port, std::optional<std::string> address = std::nullopt);
    // Stops serving: ends the listeners, closes every TCP connection, cancels the forwards under
    // way (their clients get no reply) and joins every thread. It never waits for the owner.
    void StopDnsServer();
    [[nodiscard]] bool IsRunning() const { return m_bRunning.load(); }

    // The user's upstream servers; the first valid one becomes current.
    bool SetDnsServers(const CLockedStringList& servers) {
        return m_resolver.SetDnsServers(servers);
    }
    [[nodiscard]] const CLockedStringList& Servers() const { return m_resolver.Servers(); }

    // The entries answered from or learned into since the last take.
    [[nodiscard]] DnsChangeBatch TakeChanges() { return m_notifier.Take(); }

    [[nodiscard]] CDnsStatistics& Statistics() { return m_statistics; }
    [[nodiscard]] const CDnsStatistics& Statistics() const { return m_statistics; }

    // What the proxy is doing now, for the owner's tests and diagnostics.
    [[nodiscard]] std::uint16_t ListeningPort() const { return m_udp.Port(); }
    [[nodiscard]] bool InFlight(std::string_view name, std::uint16_t type) const {
        return m_handler.InFlight(name, type);
    }
    [[nodiscard]] std::size_t InFlightCount() const { return m_handler.InFlightCount(); }
    [[nodiscard]] int ActiveForwards() const { return m_pool.ActiveForwards(); }
    [[nodiscard]] int WorkerThreads() const { return m_pool.WorkerThreads(); }
    [[nodiscard]] std::uint32_t RestartCount() const { return m_udp.RestartCount(); }
    [[nodiscard]] int TcpConnections() const { return m_tcp.Connections(); }
    [[nodiscard]] std::uint32_t RefusedTcpConnections() const { return m_tcp.RefusedConnections(); }

private:
    // Opens the UDP and the TCP listener on one port. On port 0 the system chooses the UDP
    // port; when TCP has that one taken, another is tried.
    void OpenListeners(std::uint16_t port, const std::optional<std::string>& address);

    CDnsStatistics m_statistics;
    CDnsNotifier m_notifier;
    CDnsCache m_resolver;
    CDnsQueryHandler m_handler;
    CDnsForwardPool m_pool;
    CDnsUdpListener m_udp;
    CDnsTcpListener m_tcp;
    std::atomic<bool> m_bRunning{false};
};

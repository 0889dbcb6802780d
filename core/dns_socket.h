#pragma once

// The proxy as the program uses it: it owns its parts (query handler, listeners, forward pool,
// client filter, notifier) and the statistics, and starts and stops them in order.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/client_filter.h"
#include "core/dns_forward_pool.h"
#include "core/dns_notifier.h"
#include "core/dns_observer.h"
#include "core/dns_query_handler.h"
#include "core/dns_statistics.h"
#include "core/dns_tcp_listener.h"
#include "core/dns_udp_listener.h"
#include "core/upstream_settings.h"
#include "core/upstream_watch.h"
#include "net/attached_networks.h"

// How the proxy serves and how much it takes on at once.
struct ProxyOptions {
    // Concurrent UDP forwards, and so forward workers; a miss beyond them is dropped.
    int MaxForwards = 512;
    // TCP connections served at once; one beyond them is closed at once.
    int MaxTcpConnections = 64;
    // How long a TCP client has to deliver its next query whole, counted from the connection or
    // from the previous reply; also the longest a reply may wait to be sent.
    std::chrono::milliseconds TcpIdleTimeout{10000};
    // Changed entries waiting for the owner; beyond them the owner is told to refresh them all.
    std::size_t MaxChangeBatch = CDnsNotifier::kMaxBatch;
    // How often the silent upstream servers are asked whether they answer again.
    std::chrono::milliseconds SilentServerProbePeriod = CUpstreamWatch::kDefaultPeriod;
    // Who is answered; SetClientScope changes it while the proxy runs.
    ClientScope Clients = ClientScope::kMachine;
    // The cache's answers as they were before the upstream's TTL was kept: the first address for
    // a day, and no renewal.
    bool OldAnswers = false;
    // Where the machine's addresses and their networks come from.
    CClientFilter::AddressSource Addresses = ::InterfaceAddresses;
};

// The local DNS proxy, on UDP and TCP of one port: it answers a question of type A or AAAA for
// a cached name from the cache, forwards any other query to the upstream servers (the preferred
// one first, the next ones after a short wait or an error reply), relays the reply to the client
// and learns the addresses it gives for its question's type (not those of a truncated reply: the
// TCP answer that the client asks for next is learned instead). It answers the machine itself
// unless told to answer its attached networks or anyone (ClientScope); a reply to another
// machine leaves from the address its query came to. While it runs, it watches the silent
// servers (CUpstreamWatch).
//
// It listens on every local IPv4 address (or the one given) and on [::1], each address and
// protocol a listener of its own. Only the IPv4 UDP listener is needed: without it the proxy
// does not start. A machine without IPv6 is served over IPv4 alone; [::1] taken by another
// program is reported and IPv4 served; a taken TCP port leaves UDP served (TcpServing says so).
//
// It is made of parts, each with its own start and stop: the query handler (what becomes of a
// query, the in-flight rule, the books), the listeners, the forward pool, the client filter and
// the notifier; this class composes them. The owner calls RunDnsServer and StopDnsServer from
// one thread; the observer hears of changed entries and of failures (IDnsProxyObserver).
class CDnsSocket {
public:
    // Stopped, with zero statistics. `cache` and `upstream` must outlive the proxy; so must the
    // observer, if any.
    CDnsSocket(CDnsItemMap* cache, CUpstreamSettings& upstream,
               IDnsProxyObserver* observer = nullptr, ProxyOptions options = {},
               const IClock& clock = SystemClock());
    CDnsSocket(const CDnsSocket&) = delete;
    CDnsSocket& operator=(const CDnsSocket&) = delete;
    // Stops the proxy and joins every thread it started.
    ~CDnsSocket();

    // Starts the proxy on `port` (0: one that the system chooses for all listeners) of the IPv4
    // `address` (none: every local IPv4 address, and then [::1] too), stopping it first if it
    // runs. False when the IPv4 UDP socket cannot be opened, after the observer was given the
    // text "CDnsSocket::RunDnsServer - Error:%d Cause: %s\n"; the same text tells of a taken
    // [::1] port, and the start goes on.
    bool RunDnsServer(std::uint16_t port, std::optional<std::string> address = std::nullopt);
    // Stops serving: ends the listeners, closes every TCP connection, cancels the forwards under
    // way (their clients get no reply) and joins every thread. It never waits for the owner.
    void StopDnsServer();
    [[nodiscard]] bool IsRunning() const { return m_running.load(); }
    // Who is answered from the next query on.
    void SetClientScope(ClientScope scope) { m_filter.SetScope(scope); }
    // Whether the IPv4 TCP listener serves (the port may be taken by another program).
    [[nodiscard]] bool TcpServing() const;

    // The entries answered from or learned into since the last take.
    [[nodiscard]] DnsChangeBatch TakeChanges() { return m_notifier.Take(); }

    [[nodiscard]] CDnsStatistics& Statistics() { return m_statistics; }
    [[nodiscard]] const CDnsStatistics& Statistics() const { return m_statistics; }

    // What the proxy is doing now, for the owner's tests and diagnostics.
    [[nodiscard]] std::uint16_t ListeningPort() const {
        return m_udp.empty() ? 0 : m_udp.front()->Port();
    }
    [[nodiscard]] bool InFlight(std::string_view name, std::uint16_t type) const {
        return m_handler.InFlight(name, type);
    }
    [[nodiscard]] std::size_t InFlightCount() const { return m_handler.InFlightCount(); }
    [[nodiscard]] int ActiveForwards() const { return m_pool.ActiveForwards(); }
    [[nodiscard]] int WorkerThreads() const { return m_pool.WorkerThreads(); }
    // Restarts of the IPv4 UDP listener after receive failures.
    [[nodiscard]] std::uint32_t RestartCount() const;
    [[nodiscard]] int TcpConnections() const;
    [[nodiscard]] std::uint32_t RefusedTcpConnections() const;
    // Listeners open now (UDP and TCP, IPv4 and IPv6).
    [[nodiscard]] std::size_t ListenerCount() const { return m_udp.size() + m_tcp.size(); }

private:
    // The IPv4 listeners on one port. On port 0 the system chooses the UDP port; when TCP has
    // that one taken, another is tried. A TCP failure on a given port is no failure of the start.
    void OpenIpv4(std::uint16_t port, const CSocketAddress& address);
    // The listeners on [::1]: none where the system has no IPv6; a taken port is reported.
    void OpenIpv6Loopback(std::uint16_t port);
    void AddTcp(const CSocketAddress& address);

    const ProxyOptions m_options;
    CUpstreamSettings& m_upstream;
    CDnsStatistics m_statistics;
    CDnsNotifier m_notifier;
    CDnsQueryHandler m_handler;
    CUpstreamWatch m_watch;
    CDnsForwardPool m_pool;
    CClientFilter m_filter;
    // The IPv4 UDP listener first.
    std::vector<std::unique_ptr<CDnsUdpListener>> m_udp;
    std::vector<std::unique_ptr<CDnsTcpListener>> m_tcp;
    std::atomic<bool> m_running{false};
};

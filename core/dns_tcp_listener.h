#pragma once

// The proxy's TCP listener: it owns one listening socket, its accepting thread and the threads of
// its connections.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/client_filter.h"
#include "core/dns_forward_pool.h"
#include "core/dns_query_handler.h"
#include "core/thread_set.h"
#include "core/upstream_settings.h"
#include "net/wsocket.h"

// One TCP listening socket (RFC 7766): an accepting thread and one thread per connection, up to
// a cap; a connection beyond it is closed at once. A connection thread reads its queries one
// after the other and answers each - from the cache, or forwarded over fresh TCP connections to
// the upstream servers (core/upstream_exchange.h) - before it reads the next. It ends when the
// client closes, sends a bad length, breaks off a message or lets the idle time-out pass, or when a
// forward fails. A TCP query is never dropped as one in flight: a program that fell back to TCP
// must get its answer. A connection from a stranger is closed at once.
//
// It has no lock of its own: the connections run in a thread set, which a stop cancels.
class CDnsTcpListener {
public:
    CDnsTcpListener(CDnsQueryHandler& handler, CDnsForwardPool& pool,
                    const CUpstreamSettings& upstream, const CClientFilter& filter,
                    int maxConnections, std::chrono::milliseconds idleTimeout)
        : m_handler(handler),
          m_pool(pool),
          m_upstream(upstream),
          m_filter(filter),
          m_idleTimeout(idleTimeout),
          m_connections(maxConnections) {}
    CDnsTcpListener(const CDnsTcpListener&) = delete;
    CDnsTcpListener& operator=(const CDnsTcpListener&) = delete;
    ~CDnsTcpListener() { Stop(); }

    // Binds and listens on the address. It binds again at once after a stop, although the
    // connections it closed still wait out their close on the port. A socket failure is thrown.
    void Open(const CSocketAddress& address);
    void Start();
    // Ends the accepting thread, closes every connection (cancelling its forward) and joins
    // every thread.
    void Stop();

    [[nodiscard]] std::uint16_t Port() const { return m_port.load(); }
    // The family of the address it listens on (set by Open).
    [[nodiscard]] AddressFamily Family() const { return m_family; }
    [[nodiscard]] int Connections() const { return m_connections.Alive(); }
    // Connections closed at once because the cap was reached.
    [[nodiscard]] std::uint32_t RefusedConnections() const { return m_refused.load(); }

private:
    void AcceptLoop();
    void Serve(CThreadSet::Member& self, CWSocket& connection);
    // Answers one query of a connection; false when the connection is to be closed.
    bool Answer(CThreadSet::Member& self, CWSocket& connection,
                std::span<const std::uint8_t> query);

    CDnsQueryHandler& m_handler;
    // Renews what answers from expired entries made due.
    CDnsForwardPool& m_pool;
    const CUpstreamSettings& m_upstream;
    const CClientFilter& m_filter;
    const std::chrono::milliseconds m_idleTimeout;
    // Opened and closed only while the accepting thread does not run; a stop closes it to
    // release the thread's wait.
    CWSocket m_listener;
    std::atomic<std::uint16_t> m_port{0};
    AddressFamily m_family = AddressFamily::kIpv4;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint32_t> m_refused{0};
    std::thread m_acceptThread;
    CThreadSet m_connections;
};

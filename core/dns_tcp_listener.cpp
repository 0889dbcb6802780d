#include "core/dns_tcp_listener.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "core/dns_tcp_framing.h"
#include "core/upstream_exchange.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the accepting thread waits after a failed accept (a connection reset before it was
// taken, no descriptor left) before it tries again, so that a lasting failure does not spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

void SetSendTimeout(CWSocket& socket, std::uint32_t milliseconds) {
    socket.SetSockOpt(socket_option::kSendTimeout, &milliseconds, sizeof milliseconds);
}

}  // namespace

void CDnsTcpListener::Open(const CSocketAddress& address) {
    try {
        m_listener.Create(false, address.Family());
        m_listener.AllowListenerRebind();
        m_listener.Bind(address);
        m_listener.Listen();
    } catch (const CWSocketException&) {
        m_listener.Close();
        throw;
    }
    m_port.store(m_listener.GetLocalPort());
    m_family = address.Family();
}

void CDnsTcpListener::Start() {
    m_stopping.store(false);
    m_connections.Reset();
    m_acceptThread = std::thread(&CDnsTcpListener::AcceptLoop, this);
}

void CDnsTcpListener::Stop() {
    m_stopping.store(true);
    // Releases the accept; the thread then sees the flag.
    m_listener.Close();
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    // Closing a connection releases its thread wherever it waits: on its client, or on the
    // upstream connection of its forward.
    m_connections.Stop();
}

// --- Accepting thread -------------------------------------------------------------------------

void CDnsTcpListener::AcceptLoop() {
    while (!m_stopping.load()) {
        CSocketAddress client;
        auto connection = std::make_shared<CWSocket>();
        try {
            *connection = m_listener.Accept(client);
        } catch (const CWSocketException&) {
            // A stop closed the listener; anything else passes after a pause.
            if (!m_stopping.load()) {
                std::this_thread::sleep_for(kAcceptRetryDelay);
            }
            continue;
        }
        if (!m_filter.Current()->Allows(client)) {
            m_handler.Refuse();
            connection->Close();
            continue;
        }
        const bool started = m_connections.Start([this, connection](CThreadSet::Member& self) {
            Serve(self, *connection);
            connection->Close();
        });
        if (!started) {
            ++m_refused;
            connection->Close();
        }
    }
}

// --- Connection threads -----------------------------------------------------------------------

void CDnsTcpListener::Serve(CThreadSet::Member& self, CWSocket& connection) {
    if (!self.Watch(connection)) {
        return;
    }
    CDnsTcpFramer framer;
    try {
        // A client that does not read its replies holds its thread no longer than one that
        // sends nothing.
        SetSendTimeout(connection, static_cast<std::uint32_t>(m_idleTimeout.count()));
        for (;;) {
            if (ReadTcpMessage(connection, framer, Clock::now() + m_idleTimeout) !=
                    TcpRead::kMessage ||
                !Answer(self, connection, framer.Message())) {
                break;
            }
            framer.Next();
        }
    } catch (const CWSocketException&) {
        // The client went, the time-out passed, or a stop closed the connection.
    }
    self.Unwatch(connection);
}

bool CDnsTcpListener::Answer(CThreadSet::Member& self, CWSocket& connection,
                             std::span<const std::uint8_t> query) {
    DnsQueryState state;
    state.Times.WallReceived = m_handler.Now();
    state.Times.Received = m_handler.SteadyNow();
    state.OverTcp = true;
    // The query is copied behind room for the length prefix: the reply from the cache is built
    // over it, as the UDP one is over the datagram; it never needs more than a datagram's room.
    std::array<std::uint8_t, kTcpLengthPrefix + kDnsPacketSize> framed{};
    const std::span<std::uint8_t> packet = std::span(framed).subspan(kTcpLengthPrefix);
    const std::size_t length = std::min(query.size(), packet.size());
    std::copy_n(query.begin(), length, packet.begin());
    std::size_t replyLength = 0;
    if (m_handler.Handle(packet, length, state, replyLength) == QueryVerdict::kAnswered) {
        PutTcpLength(std::span(framed).first<kTcpLengthPrefix>(), replyLength);
        bool sent = true;
        try {
            connection.Send(framed.data(), kTcpLengthPrefix + replyLength);
        } catch (const CWSocketException&) {
            sent = false;
        }
        m_handler.CacheReplySent(state.Times, sent, m_handler.SteadyNow());
        if (state.RenewDue) {
            m_pool.Renew(state.Question);
        }
        return sent;
    }

    m_handler.ForwardStarted(state);
    std::optional<std::vector<std::uint8_t>> reply;
    try {
        reply = CUpstreamExchange(m_upstream.TargetFor(state.HostLookup), &self).OverTcp(query);
    } catch (const CWSocketException&) {
        // A stop closed the exchange's connections.
    }
    if (!reply) {
        // Closing the connection tells the client at once that no answer will come.
        m_handler.ForwardFailed(state);
        return false;
    }
    // Learned before it goes out, so that the client's next question finds it.
    m_handler.ForwardAnswered(state, *reply);
    std::vector<std::uint8_t> framedReply(kTcpLengthPrefix + reply->size());
    PutTcpLength(std::span(framedReply).first<kTcpLengthPrefix>(), reply->size());
    std::ranges::copy(*reply, framedReply.begin() + kTcpLengthPrefix);
    try {
        connection.Send(framedReply.data(), framedReply.size());
    } catch (const CWSocketException&) {
        return false;
    }
    return true;
}

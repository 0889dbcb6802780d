#include "core/dns_tcp_listener.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "core/dns_cache.h"
#include "core/dns_tcp_framing.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the accepting thread waits after a failed accept (a connection reset before it was
// taken, no descriptor left) before it tries again, so that a lasting failure does not spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

// Whole milliseconds left until `deadline`, 0 when it has passed.
std::uint32_t MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    constexpr std::int64_t kLongest = std::numeric_limits<std::uint32_t>::max();
    return left <= 0 ? 0 : static_cast<std::uint32_t>(std::min<std::int64_t>(left, kLongest));
}

enum class TcpRead {
    kMessage,
    // The stream ended between two messages.
    kEnded,
    // A bad length, a message broken off by the end of the stream, or the deadline passed.
    kFailed,
};

// Reads one whole message into `framer`, never a byte beyond it, before `deadline`. A socket
// failure is thrown.
TcpRead ReadMessage(CWSocket& socket, CDnsTcpFramer& framer, Clock::time_point deadline) {
    for (;;) {
        const std::uint32_t left = MillisecondsLeft(deadline);
        if (left == 0) {
            return TcpRead::kFailed;
        }
        socket.SetReceiveTimeout(left);
        const std::span<std::uint8_t> space = framer.Space();
        const std::size_t received = socket.Receive(space.data(), space.size());
        if (received == 0) {
            return framer.Started() ? TcpRead::kFailed : TcpRead::kEnded;
        }
        switch (framer.Commit(received)) {
            case CDnsTcpFramer::Status::kComplete:
                return TcpRead::kMessage;
            case CDnsTcpFramer::Status::kBadLength:
                return TcpRead::kFailed;
            case CDnsTcpFramer::Status::kIncomplete:
                break;
        }
    }
}

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
            if (ReadMessage(connection, framer, Clock::now() + m_idleTimeout) !=
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
    state.Times.Received = m_handler.Now();
    // The query is copied behind room for the length prefix: the reply from the cache is built
    // over it, as the UDP one is over the datagram; it never needs more than a datagram's room.
    std::array<std::uint8_t, kTcpLengthPrefix + kDnsPacketSize> framed{};
    const std::span<std::uint8_t> packet = std::span(framed).subspan(kTcpLengthPrefix);
    const std::size_t length = std::min(query.size(), packet.size());
    std::copy_n(query.begin(), length, packet.begin());
    std::size_t replyLength = 0;
    if (m_handler.Handle(packet, length, false, state, replyLength) == QueryVerdict::kAnswered) {
        PutTcpLength(std::span(framed).first<kTcpLengthPrefix>(), replyLength);
        bool sent = true;
        try {
            connection.Send(framed.data(), kTcpLengthPrefix + replyLength);
        } catch (const CWSocketException&) {
            sent = false;
        }
        m_handler.CacheReplySent(state, sent);
        return sent;
    }

    m_handler.ForwardStarted(state);
    std::vector<std::uint8_t> reply;
    try {
        reply = ForwardOverTcp(self, query);
        connection.Send(reply.data(), reply.size());
    } catch (const CWSocketException&) {
        // No reply in time, a failed connection, or a stop. Closing the connection tells the
        // client at once that no answer will come.
        m_handler.ForwardFailed(state);
        return false;
    }
    m_handler.ForwardAnswered(state, std::span(reply).subspan(kTcpLengthPrefix));
    return true;
}

std::vector<std::uint8_t> CDnsTcpListener::ForwardOverTcp(CThreadSet::Member& self,
                                                          std::span<const std::uint8_t> query) {
    // Connecting, sending and the whole reply share one time-out.
    const auto deadline = Clock::now() + m_upstream.Wait();
    const std::string server = CanonicalServerAddress(m_upstream.CurrentDnsServer());
    const std::uint16_t port = m_upstream.DnsServerPort();

    std::vector<std::uint8_t> framedQuery(kTcpLengthPrefix + query.size());
    PutTcpLength(std::span(framedQuery).first<kTcpLengthPrefix>(), query.size());
    std::copy(query.begin(), query.end(), framedQuery.begin() + kTcpLengthPrefix);

    CWSocket upstream;
    upstream.Create(false);
    if (!self.Watch(upstream)) {
        ThrowWSocketException(socket_error::kInterrupted);
    }
    // The socket is unwatched before it is destroyed, on every way out.
    struct Unwatch {
        CThreadSet::Member& member;
        CWSocket& socket;
        ~Unwatch() { member.Unwatch(socket); }
    } unwatch{self, upstream};

    const auto requireTime = [&] {
        const std::uint32_t left = MillisecondsLeft(deadline);
        if (left == 0) {
            ThrowWSocketException(socket_error::kTimedOut);
        }
        return left;
    };
    upstream.Connect(port, server, requireTime());
    SetSendTimeout(upstream, requireTime());
    upstream.Send(framedQuery.data(), framedQuery.size());

    CDnsTcpFramer framer;
    if (ReadMessage(upstream, framer, deadline) != TcpRead::kMessage) {
        ThrowWSocketException(socket_error::kConnectionAborted);
    }
    // One query per connection: a reply with another id answers something else.
    const std::span<const std::uint8_t> reply = framer.Message();
    if (reply[0] != query[0] || reply[1] != query[1]) {
        ThrowWSocketException(socket_error::kConnectionAborted);
    }
    const std::span<const std::uint8_t> framedReply = framer.Framed();
    return {framedReply.begin(), framedReply.end()};
}

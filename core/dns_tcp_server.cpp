// The proxy's TCP side: the accepting thread, one thread per connection, and the forward of a
// miss over a fresh TCP connection to the upstream server.

#include <algorithm>
#include <limits>
#include <system_error>
#include <utility>

#include "core/dns_socket.h"
#include "core/dns_tcp_framing.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the accepting thread waits after a failed accept (a connection reset before it was
// taken, no descriptor left) before it tries again, so that a lasting failure does not spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

std::time_t Now() {
    return std::time(nullptr);
}

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

int CDnsSocket::TcpConnections() const {
    const std::lock_guard guard(m_tcpLock);
    return m_nOpenTcpConnections;
}

// --- Accepting thread -------------------------------------------------------------------------

void CDnsSocket::TcpAcceptThread() {
    for (;;) {
        std::string client;
        std::uint16_t clientPort = 0;
        CWSocket connection;
        try {
            connection = m_TcpListener.Accept(client, clientPort);
        } catch (const CWSocketException&) {
            // A stop closed the listener; anything else passes after a pause.
            std::unique_lock lock(m_tcpLock);
            if (m_tcpWake.wait_for(lock, kAcceptRetryDelay, [this] { return m_bTcpStopping; })) {
                return;
            }
            continue;
        }
        AdmitTcpConnection(std::move(connection));
    }
}

void CDnsSocket::AdmitTcpConnection(CWSocket connection) {
    std::unique_lock lock(m_tcpLock);
    // Joins the threads that have ended; they are past their last use of the lock.
    for (auto it = m_TcpConnections.begin(); it != m_TcpConnections.end();) {
        if (it->Finished) {
            it->Thread.join();
            it = m_TcpConnections.erase(it);
        } else {
            ++it;
        }
    }
    if (m_bTcpStopping) {
        return;
    }
    if (m_nOpenTcpConnections >= kMaxTcpConnections) {
        ++m_nRefusedTcp;
        lock.unlock();
        connection.Close();
        return;
    }
    TcpConnection& record = m_TcpConnections.emplace_back();
    record.Socket = std::move(connection);
    try {
        record.Thread = std::thread(&CDnsSocket::TcpConnectionThread, this, &record);
    } catch (const std::system_error&) {
        // No thread to be had: the connection is closed as one beyond the cap would be.
        m_TcpConnections.pop_back();
        ++m_nRefusedTcp;
        return;
    }
    ++m_nOpenTcpConnections;
}

void CDnsSocket::StopTcp() {
    {
        const std::lock_guard guard(m_tcpLock);
        m_bTcpStopping = true;
    }
    m_tcpWake.notify_all();
    // Releases the accept; the thread then sees the flag.
    m_TcpListener.Close();
    if (m_TcpAcceptThread.joinable()) {
        m_TcpAcceptThread.join();
    }

    // Closing a connection releases its thread wherever it waits: on its client, or on the
    // upstream connection of its forward.
    std::list<TcpConnection> connections;
    {
        const std::lock_guard guard(m_tcpLock);
        for (TcpConnection& connection : m_TcpConnections) {
            connection.Socket.Close();
            if (connection.Upstream != nullptr) {
                connection.Upstream->Close();
            }
        }
        // Moves the nodes, which the threads still point at, without copying them.
        connections.splice(connections.end(), m_TcpConnections);
    }
    for (TcpConnection& connection : connections) {
        connection.Thread.join();
    }
}

// --- Connection threads -----------------------------------------------------------------------

void CDnsSocket::TcpConnectionThread(TcpConnection* self) {
    ServeTcpConnection(*self);
    self->Socket.Close();
    const std::lock_guard guard(m_tcpLock);
    self->Finished = true;
    --m_nOpenTcpConnections;
}

void CDnsSocket::ServeTcpConnection(TcpConnection& self) {
    const std::chrono::milliseconds idle = TcpIdleTimeout();
    CDnsTcpFramer framer;
    try {
        // A client that does not read its replies holds its thread no longer than one that
        // sends nothing.
        SetSendTimeout(self.Socket, static_cast<std::uint32_t>(idle.count()));
        for (;;) {
            if (ReadMessage(self.Socket, framer, Clock::now() + idle) != TcpRead::kMessage) {
                return;
            }
            if (!AnswerTcpQuery(self, framer.Message())) {
                return;
            }
            framer.Next();
        }
    } catch (const CWSocketException&) {
        // The client went, the time-out passed, or a stop closed the connection.
    }
}

bool CDnsSocket::AnswerTcpQuery(TcpConnection& self, std::span<const std::uint8_t> query) {
    ++m_Statistics.TotalRequests;
    DnsRequest times;
    times.Received = Now();

    // A message that is no readable query goes on with the empty domain, which no entry has: it
    // is forwarded like any miss.
    std::string domain;
    std::uint16_t id = 0;
    static_cast<void>(CDnsQuery::Parse(query, domain, id));

    // The cached reply is built over a copy of the query's start, as the UDP one is over the
    // datagram; it never needs more than a datagram's room.
    std::array<std::uint8_t, kTcpLengthPrefix + kDnsPacketSize> cached{};
    const std::span<std::uint8_t> packet = std::span(cached).subspan(kTcpLengthPrefix);
    std::copy_n(query.begin(), std::min(query.size(), packet.size()), packet.begin());
    std::size_t replyLength = 0;
    if (const DnsItemPtr item = BuildCachedReply(packet, domain, id, replyLength)) {
        ++m_Statistics.CachedRequests;
        PutTcpLength(std::span(cached).first<kTcpLengthPrefix>(), replyLength);
        try {
            self.Socket.Send(cached.data(), kTcpLengthPrefix + replyLength);
        } catch (const CWSocketException&) {
            ++m_Statistics.InternalErrorRequests;
            return false;
        }
        times.CacheReplied = Now();
        m_pCache->RecordHit(*item, times.Received);
        NotifyChanged(item);
        times.Done = Now();
        m_Statistics.UpdateStatistics(&times);
        return true;
    }

    times.Forwarded = Now();
    ++m_Statistics.ForwardAttempts;
    std::vector<std::uint8_t> reply;
    try {
        reply = ForwardOverTcp(self, query);
        self.Socket.Send(reply.data(), reply.size());
    } catch (const CWSocketException&) {
        // No reply in time, a failed connection, or a stop. Closing the connection tells the
        // client at once that no answer will come.
        ++m_Statistics.InternalErrorRequests;
        return false;
    }
    times.Answered = Now();
    ++m_Statistics.ForwardRequests;
    LearnReply(std::span(reply).subspan(kTcpLengthPrefix), times.Received);
    times.Done = Now();
    m_Statistics.UpdateStatistics(&times);
    return true;
}

bool CDnsSocket::WatchTcpUpstream(TcpConnection& self, CWSocket* upstream) {
    const std::lock_guard guard(m_tcpLock);
    if (upstream != nullptr && m_bTcpStopping) {
        return false;
    }
    self.Upstream = upstream;
    return true;
}

std::vector<std::uint8_t> CDnsSocket::ForwardOverTcp(TcpConnection& self,
                                                     std::span<const std::uint8_t> query) {
    // Connecting, sending and the whole reply share one time-out.
    const auto deadline = Clock::now() + std::chrono::milliseconds(UpstreamTimeoutMs());
    const std::string server = CanonicalServerAddress(CurrentDnsServer());
    const std::uint16_t port = DnsServerPort();

    std::vector<std::uint8_t> framedQuery(kTcpLengthPrefix + query.size());
    PutTcpLength(std::span(framedQuery).first<kTcpLengthPrefix>(), query.size());
    std::copy(query.begin(), query.end(), framedQuery.begin() + kTcpLengthPrefix);

    CWSocket upstream;
    upstream.Create(false);
    if (!WatchTcpUpstream(self, &upstream)) {
        ThrowWSocketException(socket_error::kInterrupted);
    }
    // The socket is unwatched before it is destroyed, on every way out.
    struct Unwatch {
        CDnsSocket& proxy;
        TcpConnection& connection;
        ~Unwatch() { proxy.WatchTcpUpstream(connection, nullptr); }
    } unwatch{*this, self};

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
    const std::span<const std::uint8_t> framed = framer.Framed();
    return {framed.begin(), framed.end()};
}

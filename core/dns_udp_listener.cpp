#include "core/dns_udp_listener.h"

#include <algorithm>
#include <utility>

#include "core/dns_tcp_framing.h"
#include "net/https_client.h"

namespace {

// The IPv4 socket is bound to every local address ([::1] is one): each reply leaves from the
// address its query came to, for the machine's own queries too. One to 127.0.0.2 answered from
// 127.0.0.1, as the routing picks, is no reply to a connected client (glibc's).
void AskLocalAddresses(CWSocket& socket) {
    try {
        socket.ReceiveLocalAddresses(true);
    } catch (const CWSocketException&) {
        // The replies leave as the routing chooses.
    }
}

// A bound UDP socket, deaf to the port-unreachable reports that an earlier reply to a vanished
// client would otherwise turn into a failed receive.
std::shared_ptr<CWSocket> OpenSocket(const CSocketAddress& address) {
    auto socket = std::make_shared<CWSocket>();
    try {
        socket->Create(true, address.Family());
        socket->Bind(address);
        socket->DisableConnectionResetReports();
        if (address.Family() == AddressFamily::kIpv4) {
            AskLocalAddresses(*socket);
        }
    } catch (const CWSocketException&) {
        socket->Close();
        throw;
    }
    return socket;
}

}  // namespace

void CloseListeningSocket(CWSocket& socket) {
    try {
        socket.Shutdown(SocketShutdown::kBoth);
    } catch (const CWSocketException&) {
        // Closed already.
    }
    socket.Close();
}

std::string RunErrorText(const CWSocketException& e) {
    return "CDnsSocket::RunDnsServer - Error:" + std::to_string(e.GetError()) +
           " Cause: " + e.GetErrorMessage() + "\n";
}

void CDnsUdpListener::Open(const CSocketAddress& address) {
    std::shared_ptr<CWSocket> socket = OpenSocket(address);
    m_address = socket->GetLocalAddress();
    const std::lock_guard guard(m_lock);
    m_socket = std::move(socket);
}

void CDnsUdpListener::Start() {
    m_stopping.store(false);
    m_thread = std::thread([this] {
        ReceiveLoop();
        if (m_carried) {
            m_pool.HandOver(std::move(m_carried));
        }
    });
}

void CDnsUdpListener::Stop() {
    // The flag first: a restart that replaces the socket checks it under the same lock.
    m_stopping.store(true);
    if (std::shared_ptr<CWSocket> socket = Socket()) {
        CloseListeningSocket(*socket);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    const std::lock_guard guard(m_lock);
    if (m_socket) {
        CloseListeningSocket(*m_socket);
        m_socket.reset();
    }
}

std::shared_ptr<CWSocket> CDnsUdpListener::Socket() {
    const std::lock_guard guard(m_lock);
    return m_socket;
}

void CDnsUdpListener::ReceiveLoop() {
    while (!m_stopping.load()) {
        const std::shared_ptr<CWSocket> socket = Socket();
        for (std::size_t i = 0; i < m_room; ++i) {
            m_datagrams[i].Buffer = m_buffers[i];
        }
        if (m_carried) {
            WaitCarrying(*socket);
        }
        std::size_t count = 0;
        try {
            count = socket->ReceiveBatch(std::span(m_datagrams).first(m_room));
            m_room = NextRoom(m_room, count);
        } catch (const CWSocketException& e) {
            // A stop released the receive. An oversized datagram is gone with its failure;
            // anything else makes the socket start afresh on the same address.
            if (m_stopping.load() || (e.GetError() != socket_error::kMessageSize && !Restart())) {
                return;
            }
            continue;
        }
        // The misses of the batch go to each DNS-over-HTTPS server in one turn of its client.
        const CHttpsWakeBatch wakes;
        HandleBatch(socket, count);
    }
}

void CDnsUdpListener::WaitCarrying(CWSocket& socket) {
    if (!m_carriedReply) {
        m_carriedReply = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxDnsMessage);
    }
    const auto until =
        std::min(m_carried->Exchange->NextSendAt(), std::chrono::steady_clock::now() + kCarryLimit);
    while (CWSocket* upstream = m_carried->Exchange->LoneUdpSocket()) {
        const std::array<CWSocket*, 2> sockets{&socket, upstream};
        const std::optional<std::size_t> ready =
            CWSocket::WaitReadable(sockets, MillisecondsLeft(until));
        if (ready != 1u) {
            break;  // another datagram, a stop, or the wait is over
        }
        if (m_pool.FinishCarried(*m_carried, std::span(m_carriedReply.get(), kMaxDnsMessage))) {
            m_carried.reset();
            return;
        }
    }
    m_pool.HandOver(std::move(m_carried));
}

std::size_t CDnsUdpListener::NextRoom(std::size_t room, std::size_t taken) {
    if (taken == room) {
        return std::min(kBatch, room * 2);
    }
    return taken * 4 <= room ? std::max(kLeastRoom, room / 2) : room;
}

void CDnsUdpListener::ForgetLocalAddresses() {
    for (Datagram& datagram : m_datagrams) {
        datagram.Local = {};
    }
}

bool CDnsUdpListener::Restart() {
    const std::lock_guard guard(m_lock);
    if (m_stopping.load()) {
        return false;
    }
    // The new socket may tell no local addresses: none of the old one's is kept.
    ForgetLocalAddresses();
    if (m_socket) {
        CloseListeningSocket(*m_socket);
    }
    try {
        m_socket = OpenSocket(m_address);
    } catch (const CWSocketException& e) {
        // The proxy no longer serves here; its owner learns it only from this text.
        m_socket.reset();
        m_notifier.ReportError(RunErrorText(e));
        return false;
    }
    ++m_restarts;
    return true;
}

void CDnsUdpListener::HandleBatch(const std::shared_ptr<CWSocket>& socket, std::size_t count) {
    // One reading of each clock and one look at the filter's rules for the whole batch.
    const std::time_t received = m_handler.Now();
    const SteadyTime taken = m_handler.SteadyNow();
    const std::shared_ptr<const CClientFilter::Rules> rules = m_filter.Current();
    std::size_t answered = 0;
    std::size_t renewals = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Datagram& datagram = m_datagrams[i];
        if (datagram.Length == 0) {
            continue;
        }
        if (!rules->Allows(datagram.Peer)) {
            m_handler.Refuse();
            continue;
        }
        DnsQueryState state;
        state.Times.WallReceived = received;
        state.Times.Received = taken;
        if (HandleDatagram(socket, datagram, state)) {
            m_replyTimes[answered] = state.Times;
            m_replies[answered++] = datagram;
            if (state.RenewDue) {
                m_renewals[renewals++] = state.Question;
            }
        }
    }
    if (answered == 0) {
        return;
    }
    std::size_t sent = 0;
    try {
        sent = socket->SendBatch(std::span(m_replies).first(answered));
    } catch (const CWSocketException&) {
        // None went out: the clients ask again.
    }
    const SteadyTime replied = m_handler.SteadyNow();
    for (std::size_t i = 0; i < answered; ++i) {
        m_handler.CacheReplySent(m_replyTimes[i], i < sent, replied);
    }
    for (std::size_t i = 0; i < renewals; ++i) {
        m_pool.Renew(m_renewals[i]);
    }
}

bool CDnsUdpListener::HandleDatagram(const std::shared_ptr<CWSocket>& socket, Datagram& datagram,
                                     DnsQueryState& state) {
    std::size_t replyLength = 0;
    if (m_handler.Handle(datagram.Buffer, datagram.Length, state, replyLength) ==
        QueryVerdict::kAnswered) {
        datagram.Length = replyLength;
        return true;
    }
    auto request = std::make_unique<DnsRequest>();
    request->State = std::move(state);
    request->Self.Listener = socket;
    request->Self.Client = datagram.Peer;
    request->Self.Local = datagram.Local;
    request->Self.UdpSize = request->State.Question.UdpSize;
    request->Self.Edns = request->State.Question.Edns;
    std::copy_n(datagram.Buffer.begin(), std::min<std::size_t>(datagram.Length, 2),
                request->Self.Id.begin());
    const auto query = datagram.Buffer.first(datagram.Length);
    request->Packet.assign(query.begin(), query.end());
    // A query whose question cannot be read shares no forward: nothing says what it asks.
    if (request->State.QuestionRead &&
        m_handler.Lead(request->State, request->Self) != InFlightVerdict::kLead) {
        return false;
    }
    // One miss carried at a time: the one before goes to a worker.
    if (m_carried) {
        m_pool.HandOver(std::move(m_carried));
    }
    if (!m_pool.Submit(request, true)) {
        m_handler.Drop(request->State);
    } else if (request) {
        m_carried = std::move(request);
    }
    return false;
}

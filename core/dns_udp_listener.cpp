#include "core/dns_udp_listener.h"

#include <algorithm>
#include <utility>

namespace {

// A bound UDP socket, deaf to the port-unreachable reports that an earlier reply to a vanished
// client would otherwise turn into a failed receive.
std::shared_ptr<CWSocket> OpenSocket(std::uint16_t port,
                                     const std::optional<std::string>& address) {
    auto socket = std::make_shared<CWSocket>();
    try {
        socket->Create(true);
        socket->Bind(port, address ? std::optional<std::string_view>(*address) : std::nullopt);
        socket->DisableConnectionResetReports();
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

void CDnsUdpListener::Open(std::uint16_t port, std::optional<std::string> address) {
    std::shared_ptr<CWSocket> socket = OpenSocket(port, address);
    m_port.store(socket->GetLocalPort());
    m_address = std::move(address);
    const std::lock_guard guard(m_lock);
    m_socket = std::move(socket);
}

void CDnsUdpListener::Start() {
    m_stopping.store(false);
    m_thread = std::thread(&CDnsUdpListener::ReceiveLoop, this);
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
        std::string client;
        std::uint16_t clientPort = 0;
        std::size_t length = 0;
        try {
            length = socket->ReceiveFrom(m_buffer.data(), m_buffer.size(), client, clientPort);
        } catch (const CWSocketException&) {
            // A stop released the receive; anything else (an oversized datagram above all)
            // makes the socket start afresh on the same port.
            if (m_stopping.load() || !Restart()) {
                return;
            }
            continue;
        }
        if (length > 0) {
            HandleDatagram(socket, length, client, clientPort);
        }
    }
}

bool CDnsUdpListener::Restart() {
    const std::lock_guard guard(m_lock);
    if (m_stopping.load()) {
        return false;
    }
    if (m_socket) {
        CloseListeningSocket(*m_socket);
    }
    try {
        m_socket = OpenSocket(m_port.load(), m_address);
    } catch (const CWSocketException& e) {
        // The proxy no longer serves here; its owner learns it only from this text.
        m_socket.reset();
        m_notifier.ReportError(RunErrorText(e));
        return false;
    }
    ++m_restarts;
    return true;
}

void CDnsUdpListener::HandleDatagram(const std::shared_ptr<CWSocket>& socket, std::size_t length,
                                     const std::string& client, std::uint16_t clientPort) {
    DnsQueryState state;
    state.Times.Received = m_handler.Now();
    std::size_t replyLength = 0;
    switch (m_handler.Handle(m_buffer, length, true, state, replyLength)) {
        case QueryVerdict::kAnswered: {
            bool sent = true;
            try {
                socket->SendTo(m_buffer.data(), replyLength, clientPort, client);
            } catch (const CWSocketException&) {
                sent = false;
            }
            m_handler.CacheReplySent(state, sent);
            return;
        }
        case QueryVerdict::kDropped:
            return;
        case QueryVerdict::kForward:
            break;
    }
    auto request = std::make_unique<DnsRequest>();
    request->State = std::move(state);
    request->Listener = socket;
    request->ClientAddress = client;
    request->ClientPort = clientPort;
    std::copy_n(m_buffer.begin(), length, request->Packet.begin());
    request->Length = length;
    if (!m_pool.Submit(request)) {
        m_handler.Drop(request->State);
    }
}

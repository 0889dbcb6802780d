#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/dns_forward_pool.h"
#include "core/dns_notifier.h"
#include "core/dns_packet.h"
#include "core/dns_query_handler.h"
#include "net/wsocket.h"

// One UDP listening socket and its receiving thread. The thread answers cache hits itself, so a
// slow upstream never delays them, and hands misses to the forward pool. A receive failure (an
// oversized datagram above all) makes it open the socket afresh on the same address and port;
// if that fails the proxy can no longer serve there, and the owner is told.
//
// Its one lock guards the socket, which a restart replaces while forward workers may still hold
// the old one to send their replies.
class CDnsUdpListener {
public:
    CDnsUdpListener(CDnsQueryHandler& handler, CDnsForwardPool& pool, CDnsNotifier& notifier)
        : m_handler(handler), m_pool(pool), m_notifier(notifier) {}
    CDnsUdpListener(const CDnsUdpListener&) = delete;
    CDnsUdpListener& operator=(const CDnsUdpListener&) = delete;
    ~CDnsUdpListener() { Stop(); }

    // Binds `port` (0: one the system chooses) on `address` (none: every local address). A
    // socket failure is thrown.
    void Open(std::uint16_t port, std::optional<std::string> address);
    // Starts the receiving thread on the open socket.
    void Start();
    // Ends the receiving thread and closes the socket; after it returns no datagram is handled.
    void Stop();

    [[nodiscard]] std::uint16_t Port() const { return m_port.load(); }
    // How often the socket was opened afresh after a receive failure.
    [[nodiscard]] std::uint32_t RestartCount() const { return m_restarts.load(); }

private:
    void ReceiveLoop();
    void HandleDatagram(const std::shared_ptr<CWSocket>& socket, std::size_t length,
                        const std::string& client, std::uint16_t clientPort);
    bool Restart();
    [[nodiscard]] std::shared_ptr<CWSocket> Socket();

    CDnsQueryHandler& m_handler;
    CDnsForwardPool& m_pool;
    CDnsNotifier& m_notifier;
    std::mutex m_lock;
    std::shared_ptr<CWSocket> m_socket;
    // Written only while no receiving thread runs.
    std::optional<std::string> m_address;
    std::atomic<std::uint16_t> m_port{0};
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint32_t> m_restarts{0};
    std::thread m_thread;
    // Used only by the receiving thread.
    std::array<std::uint8_t, kDnsPacketSize> m_buffer{};
};

// Wakes a call blocked on the socket in another thread: on Linux the shutdown does it, under
// Windows the close.
void CloseListeningSocket(CWSocket& socket);

// The text shown when the proxy cannot listen.
std::string RunErrorText(const CWSocketException& e);

#pragma once

// The proxy's UDP listener: it owns one listening socket and the thread that receives on it.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/client_filter.h"
#include "core/dns_forward_pool.h"
#include "core/dns_notifier.h"
#include "core/dns_packet.h"
#include "core/dns_query_handler.h"
#include "net/wsocket.h"

// One UDP listening socket, on one address, and its receiving thread. The thread takes the
// datagrams that have arrived in one go (one system call on Linux), answers the cache hits
// itself - so that a slow upstream never delays them - and sends those answers in one go, then
// hands the renewals they made due to the forward pool, as it hands it the misses; a datagram from
// a stranger is dropped. The last miss that went out to a plain server over UDP stays with the
// thread, which waits for its reply together with the next queries and learns and relays it
// itself, so that a forward's reply wakes the thread that sent it, with its work at hand; the
// miss goes to a forward worker as soon as another datagram comes or kCarryLimit has passed. The
// client's address stays as the receive gave it, never turned into text; while other machines are
// answered, so does the address it came to, which the reply leaves from. An oversized datagram is
// dropped; any other receive failure makes the listener open its socket afresh on the same address
// and port, and if that fails the proxy can no longer serve there: the owner is told.
//
// Its one lock guards the socket, which a restart replaces while forward workers may still hold
// the old one to send their replies.
class CDnsUdpListener {
public:
    CDnsUdpListener(CDnsQueryHandler& handler, CDnsForwardPool& pool, CDnsNotifier& notifier,
                    const CClientFilter& filter)
        : m_handler(handler), m_pool(pool), m_notifier(notifier), m_filter(filter) {}
    CDnsUdpListener(const CDnsUdpListener&) = delete;
    CDnsUdpListener& operator=(const CDnsUdpListener&) = delete;
    ~CDnsUdpListener() { Stop(); }

    // Binds the address (port 0: one that the system chooses). A socket failure is thrown.
    void Open(const CSocketAddress& address);
    // Starts the receiving thread on the open socket.
    void Start();
    // Ends the receiving thread and closes the socket; after it returns no datagram is handled.
    void Stop();

    [[nodiscard]] std::uint16_t Port() const { return m_address.Port(); }
    // How often the socket was opened afresh after a receive failure.
    [[nodiscard]] std::uint32_t RestartCount() const { return m_restarts.load(); }

private:
    // Waits with a carried miss for its reply at most this long before a worker takes it over,
    // which then also looks whether others found its server silent meanwhile.
    static constexpr std::chrono::milliseconds kCarryLimit = CUpstreamExchange::kSilenceLook;

    void ReceiveLoop();
    // Waits until the socket has a datagram, carrying the carried miss meanwhile: its reply is
    // answered here; it goes to a worker when another datagram comes or the wait is over.
    void WaitCarrying(CWSocket& socket);
    // Handles the first `count` datagrams and sends the answers from the cache.
    void HandleBatch(const std::shared_ptr<CWSocket>& socket, std::size_t count);
    // True when the datagram's buffer now holds the reply from the cache, of Length bytes.
    bool HandleDatagram(const std::shared_ptr<CWSocket>& socket, Datagram& datagram,
                        DnsQueryState& state);
    void ForgetLocalAddresses();
    bool Restart();
    [[nodiscard]] std::shared_ptr<CWSocket> Socket();

    // Datagrams taken in one go at most, and the room a receive makes at least: readying room
    // for a datagram costs about as much as a sixth of a cached answer, so while queries come
    // one at a time a receive readies room for a few, and the room doubles while receives fill
    // it.
    static constexpr std::size_t kBatch = 32;
    static constexpr std::size_t kLeastRoom = 4;
    // The room for the next receive after `taken` datagrams filled `room`.
    static std::size_t NextRoom(std::size_t room, std::size_t taken);

    CDnsQueryHandler& m_handler;
    CDnsForwardPool& m_pool;
    CDnsNotifier& m_notifier;
    const CClientFilter& m_filter;
    std::mutex m_lock;
    std::shared_ptr<CWSocket> m_socket;
    // Written only while no receiving thread runs.
    CSocketAddress m_address;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint32_t> m_restarts{0};
    std::thread m_thread;
    // Used only by the receiving thread.
    std::array<std::array<std::uint8_t, kDnsPacketSize>, kBatch> m_buffers{};
    std::array<Datagram, kBatch> m_datagrams{};
    // The questions of a batch's answers from expired entries, renewed once the answers are out.
    std::array<DnsQuestion, kBatch> m_renewals{};
    // The answers from the cache of one batch, and their times, the only ones that outlive their
    // datagram's turn; kept here so that no batch pays for making them afresh.
    std::array<Datagram, kBatch> m_replies{};
    std::array<DnsRequestTimes, kBatch> m_replyTimes{};
    std::size_t m_room = kLeastRoom;
    // The miss whose reply this thread waits for (WaitCarrying), and room for that reply.
    std::unique_ptr<DnsRequest> m_carried;
    std::unique_ptr<std::uint8_t[]> m_carriedReply;
};

// Wakes a call blocked on the socket in another thread: on Linux the shutdown does it, under
// Windows the close.
void CloseListeningSocket(CWSocket& socket);

// The text shown when the proxy cannot listen.
std::string RunErrorText(const CWSocketException& e);

#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/dns_cache.h"
#include "core/dns_observer.h"
#include "core/dns_statistics.h"
#include "net/wsocket.h"

// One query on its way through the proxy. Times are whole seconds since 1970 (time(nullptr));
// a stage that did not happen keeps 0. The statistics are computed from them.
struct DnsRequest {
    // The listening socket as it was when the datagram arrived; the reply goes out through it.
    std::shared_ptr<CWSocket> Listener;
    // The query as received; in the forward path the upstream reply replaces it.
    std::array<std::uint8_t, kDnsPacketSize> Packet{};
    std::int32_t PacketLength = 0;
    std::string ClientAddress;
    // The question name of the query; empty for a datagram that is no readable query.
    std::string Domain;
    std::uint32_t ClientPort = 0;
    // When the receiving thread took the datagram.
    std::time_t Received = 0;
    // When the answer from the cache was sent.
    std::time_t CacheReplied = 0;
    // When the query was sent on upstream.
    std::time_t Forwarded = 0;
    // When the upstream reply was relayed to the client.
    std::time_t Answered = 0;
    // When the proxy was done with the request.
    std::time_t Done = 0;
};

// The local DNS proxy, on UDP and TCP of one port. It answers a query for a cached domain from
// the cache, forwards any other query unchanged to CurrentDnsServer() on DnsServerPort(), relays
// the reply unchanged to the client and learns its IPv4 addresses into the cache, unless the
// reply is truncated (TC): its answers may be incomplete, and the TCP answer that the client
// asks for next is learned instead. A UDP query for a domain whose forward is still under way is
// dropped; a TCP query never is, as a program that fell back to TCP must get its answer.
//
// Threads: one receiving thread takes every datagram and answers cache hits itself, so a slow
// upstream never delays them. Misses go to a pool of forward workers, made on demand up to the
// cap of concurrent forwards; a miss that arrives while every forward slot is busy is dropped.
// One accepting thread takes TCP connections and gives each its own thread, up to
// kMaxTcpConnections; a connection beyond that is closed at once. A connection thread reads its
// queries one after the other, answers each (forwarding a miss over a fresh TCP connection to
// the upstream) before it reads the next, and ends when the client closes, sends a bad length,
// breaks off a message or lets the idle time-out pass, or when a forward fails. One notification
// thread calls the observer, so serving never waits for the owner.
//
// The owner calls RunDnsServer, BeginStop, WaitStopped and StopDnsServer from one thread.
class CDnsSocket : public CDnsCache {
public:
    // Concurrent forwards at most, and so worker threads at most.
    static constexpr int kMaxForwards = 512;
    // Entries waiting to be told to the observer at most; later changes are not told.
    static constexpr std::size_t kMaxPendingNotifications = 4096;
    // A worker that finds nothing to do for this long ends.
    static constexpr std::chrono::seconds kWorkerIdleLimit{30};
    // TCP connections served at once at most.
    static constexpr int kMaxTcpConnections = 64;
    // How long a TCP client has to deliver its next query whole, counted from the connection or
    // from the previous reply; also the longest a reply may wait to be sent.
    static constexpr std::chrono::milliseconds kDefaultTcpIdleTimeout{10000};

    // Stopped, with zero statistics. `cache` must outlive the proxy; the observer, if any, must
    // outlive it or be replaced first.
    explicit CDnsSocket(CDnsItemMap* cache, IDnsProxyObserver* observer = nullptr,
                        int maxForwards = kMaxForwards);
    CDnsSocket(const CDnsSocket&) = delete;
    CDnsSocket& operator=(const CDnsSocket&) = delete;
    // Stops the proxy and joins every thread it started.
    ~CDnsSocket() override;

    void SetObserver(IDnsProxyObserver* observer) { m_pObserver.store(observer); }

    // Starts the proxy on UDP and TCP `port` of `address` (none: every local address; port 0:
    // one that the system chooses for both), stopping it first if it runs. A restart after a
    // receive failure binds the same UDP port again. False when either listening socket cannot
    // be opened, after the observer was given the text
    // "CDnsSocket::RunDnsServer - Error:%d Cause: %s\n".
    bool RunDnsServer(std::uint16_t port, std::optional<std::string> address = std::nullopt);

    // Stops serving: ends the receiving and the accepting thread, closes every TCP connection,
    // cancels the forwards under way (their clients get no reply), waits for the workers and
    // connection threads, closes the listening sockets and empties the in-flight list. Returns
    // without waiting for the notification thread, which tells the observer what is still queued
    // and ends; a thread that the observer blocks (the window's thread) calls this and then
    // WaitStopped while it goes on handling its messages.
    void BeginStop();
    // True once the proxy is stopped and its notification thread has ended; waits at most
    // `milliseconds` for that.
    bool WaitStopped(std::uint32_t milliseconds);
    [[nodiscard]] bool IsStopped() { return WaitStopped(0); }
    // BeginStop, then waits as long as the notification thread needs.
    void StopDnsServer();

    // Between a successful RunDnsServer and the next stop.
    [[nodiscard]] bool IsRunning() const { return m_bRunning.load(); }
    // The port the proxy listens on (the chosen one after a start on port 0).
    [[nodiscard]] std::uint16_t ListeningPort() const { return m_nListeningPort.load(); }
    // The domains whose forward is under way.
    [[nodiscard]] const CLockedStringList& InFlightDomains() const { return m_InFlightDomains; }
    [[nodiscard]] CDnsStatistics& Statistics() { return m_Statistics; }
    [[nodiscard]] const CDnsStatistics& Statistics() const { return m_Statistics; }
    // Forwards accepted and not finished yet.
    [[nodiscard]] int ActiveForwards() const { return m_nActiveForwards.load(); }
    // Worker threads that are alive.
    [[nodiscard]] int WorkerThreads() const;
    // How often the receiving thread has reopened the listening socket after a receive failure.
    [[nodiscard]] std::uint32_t RestartCount() const { return m_nRestarts.load(); }

    // The idle time-out of TCP connections accepted from now on (kDefaultTcpIdleTimeout unless
    // set).
    void SetTcpIdleTimeout(std::chrono::milliseconds timeout) {
        m_nTcpIdleTimeoutMs.store(timeout.count());
    }
    [[nodiscard]] std::chrono::milliseconds TcpIdleTimeout() const {
        return std::chrono::milliseconds(m_nTcpIdleTimeoutMs.load());
    }
    // TCP connections open now.
    [[nodiscard]] int TcpConnections() const;
    // TCP connections closed at once because kMaxTcpConnections were open.
    [[nodiscard]] std::uint32_t RefusedTcpConnections() const { return m_nRefusedTcp.load(); }

private:
    // One forward worker thread. Its fields are guarded by m_poolLock.
    struct Worker {
        std::thread Thread;
        // The thread has left its loop and only waits to be joined.
        bool Finished = false;
        // The socket its forward waits on, closed by a stop to cancel the wait.
        CWSocket* Upstream = nullptr;
    };

    // One TCP connection and the thread that serves it. Its fields but Socket are guarded by
    // m_tcpLock; Socket belongs to the thread, and a stop may close it.
    struct TcpConnection {
        std::thread Thread;
        CWSocket Socket;
        // The thread has ended its service and only waits to be joined.
        bool Finished = false;
        // The socket its forward waits on, closed by a stop to cancel the wait.
        CWSocket* Upstream = nullptr;
    };

    // RunDnsServer under the control lock: the failure text, or none when the proxy runs.
    std::optional<std::string> Start(std::uint16_t port, std::optional<std::string> address);
    void BeginStopLocked();
    bool WaitStoppedLocked(std::optional<std::chrono::milliseconds> limit);

    // Receiving thread.
    void DnsServerThread();
    void HandleDatagram(const std::shared_ptr<CWSocket>& listener, std::size_t length,
                        const std::string& client, std::uint16_t clientPort);
    // True when the query was answered from the cache (or failed doing so); false for a miss,
    // with the receive buffer unchanged.
    bool AnswerFromCache(CWSocket& listener, const std::string& domain, std::uint16_t id,
                         const std::string& client, std::uint16_t clientPort, std::time_t received);
    // Rewrites the query at the start of `packet` into the reply from the domain's entry and
    // gives the entry, with `length` set; none (packet unchanged) when the domain is no hit.
    DnsItemPtr BuildCachedReply(std::span<std::uint8_t> packet, const std::string& domain,
                                std::uint16_t id, std::size_t& length);
    void Dispatch(std::unique_ptr<DnsRequest> request);
    bool RestartListener();

    // Forward workers.
    void DnsRequestThread(Worker* self);
    void Forward(DnsRequest& request, Worker& self);
    // Learns the addresses of an upstream reply to a query that arrived at `received`.
    void LearnReply(std::span<const std::uint8_t> reply, std::time_t received);
    // Records the socket that `self` waits on; false (nothing recorded) when a stop has begun.
    bool WatchUpstream(Worker& self, CWSocket* upstream);

    // TCP: the accepting thread and one thread per connection (core/dns_tcp_server.cpp).
    void TcpAcceptThread();
    void AdmitTcpConnection(CWSocket connection);
    void TcpConnectionThread(TcpConnection* self);
    void ServeTcpConnection(TcpConnection& self);
    // Answers one query of a connection; false when the connection is to be closed.
    bool AnswerTcpQuery(TcpConnection& self, std::span<const std::uint8_t> query);
    // The upstream's reply to `query` over a fresh TCP connection, with its length prefix.
    std::vector<std::uint8_t> ForwardOverTcp(TcpConnection& self,
                                             std::span<const std::uint8_t> query);
    // As WatchUpstream, for a connection's forward.
    bool WatchTcpUpstream(TcpConnection& self, CWSocket* upstream);
    // Ends the TCP side: the accepting thread, then every connection.
    void StopTcp();

    // Notification thread.
    void NotificationThread();
    void NotifyChanged(const DnsItemPtr& item);
    void ReportServerError(std::string message);

    CLockedStringList m_InFlightDomains{true};
    std::atomic<std::uint16_t> m_nListeningPort{0};
    // Written only while no receiving thread runs.
    std::optional<std::string> m_ListeningAddress;
    // Replaced by the receiving thread on a restart; guarded by m_socketLock.
    std::shared_ptr<CWSocket> m_pListener;
    std::mutex m_socketLock;
    std::thread m_ReceivingThread;
    CDnsStatistics m_Statistics;

    // RunDnsServer, BeginStop and WaitStopped, one at a time.
    std::mutex m_controlLock;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStopping{false};
    std::atomic<std::uint32_t> m_nRestarts{0};

    const int m_nMaxForwards;
    std::atomic<int> m_nActiveForwards{0};
    mutable std::mutex m_poolLock;
    std::condition_variable m_poolWake;
    std::deque<std::unique_ptr<DnsRequest>> m_Queue;
    // Node addresses stay put: each worker keeps a pointer to its own.
    std::list<Worker> m_Workers;
    int m_nIdleWorkers = 0;
    bool m_bPoolStopping = false;

    // Opened and closed only while the accepting thread does not run; a stop closes it to
    // release the thread's wait.
    CWSocket m_TcpListener;
    std::thread m_TcpAcceptThread;
    mutable std::mutex m_tcpLock;
    std::condition_variable m_tcpWake;
    // Node addresses stay put: each connection thread keeps a pointer to its own.
    std::list<TcpConnection> m_TcpConnections;
    int m_nOpenTcpConnections = 0;
    bool m_bTcpStopping = false;
    std::atomic<std::int64_t> m_nTcpIdleTimeoutMs{kDefaultTcpIdleTimeout.count()};
    std::atomic<std::uint32_t> m_nRefusedTcp{0};

    std::atomic<IDnsProxyObserver*> m_pObserver;
    std::mutex m_notifyLock;
    std::condition_variable m_notifyWake;
    std::condition_variable m_notifierDone;
    std::deque<DnsItemPtr> m_PendingItems;
    std::unordered_set<const DnsItem*> m_PendingSet;
    std::deque<std::string> m_PendingErrors;
    bool m_bNotifyStopping = false;
    bool m_bNotifierDone = true;
    std::thread m_NotificationThread;
};

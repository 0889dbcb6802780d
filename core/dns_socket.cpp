#include "core/dns_socket.h"

#include <algorithm>
#include <span>
#include <system_error>
#include <utility>

namespace {

std::time_t Now() {
    return std::time(nullptr);
}

// The text shown when the proxy cannot listen.
std::string RunErrorText(int error, const std::string& cause) {
    return "CDnsSocket::RunDnsServer - Error:" + std::to_string(error) + " Cause: " + cause + "\n";
}

std::string RunErrorText(const CWSocketException& e) {
    return RunErrorText(e.GetError(), e.GetErrorMessage());
}

// Opens a listening socket: UDP, bound, and deaf to the port-unreachable reports that an
// earlier reply to a vanished client would otherwise turn into a failed receive.
void OpenListener(CWSocket& socket, std::uint16_t port, const std::optional<std::string>& address) {
    socket.Create(true);
    if (address) {
        socket.Bind(port, *address);
    } else {
        socket.Bind(port);
    }
    socket.DisableConnectionResetReports();
}

// Opens the TCP listener; it binds again at once after a stop, although the connections it
// closed still wait out their close on the port.
void OpenTcpListener(CWSocket& socket, std::uint16_t port,
                     const std::optional<std::string>& address) {
    socket.Create(false);
    socket.AllowListenerRebind();
    if (address) {
        socket.Bind(port, *address);
    } else {
        socket.Bind(port);
    }
    socket.Listen();
}

// Opens the UDP and the TCP listener on one port. On port 0 the system chooses the UDP port;
// when TCP has that one taken, another is tried.
void OpenListeners(CWSocket& udp, CWSocket& tcp, std::uint16_t port,
                   const std::optional<std::string>& address) {
    constexpr int kAttempts = 16;
    for (int attempt = 1;; ++attempt) {
        OpenListener(udp, port, address);
        try {
            OpenTcpListener(tcp, udp.GetLocalPort(), address);
            return;
        } catch (const CWSocketException& e) {
            udp.Close();
            tcp.Close();
            if (port != 0 || e.GetError() != socket_error::kAddressInUse || attempt == kAttempts) {
                throw;
            }
        }
    }
}

// Wakes a receive blocked on the socket in another thread: on Linux the shutdown does it, under
// Windows the close. The receiving side checks the stop flag before it takes that for a failure.
void CloseListener(CWSocket& socket) {
    try {
        socket.Shutdown(SocketShutdown::kBoth);
    } catch (const CWSocketException&) {
        // Closed already.
    }
    socket.Close();
}

}  // namespace

CDnsSocket::CDnsSocket(CDnsItemMap* cache, IDnsProxyObserver* observer, int maxForwards)
    : CDnsCache(cache), m_nMaxForwards(maxForwards), m_pObserver(observer) {}

CDnsSocket::~CDnsSocket() {
    StopDnsServer();
}

int CDnsSocket::WorkerThreads() const {
    const std::lock_guard guard(m_poolLock);
    int alive = 0;
    for (const Worker& worker : m_Workers) {
        alive += worker.Finished ? 0 : 1;
    }
    return alive;
}

// --- Start and stop ---------------------------------------------------------------------------

bool CDnsSocket::RunDnsServer(std::uint16_t port, std::optional<std::string> address) {
    const std::optional<std::string> failure = Start(port, std::move(address));
    if (!failure) {
        return true;
    }
    // Told with no lock held: the owner may show it in a message box that handles messages.
    if (IDnsProxyObserver* observer = m_pObserver.load()) {
        observer->OnServerError(*failure);
    }
    return false;
}

std::optional<std::string> CDnsSocket::Start(std::uint16_t port,
                                             std::optional<std::string> address) {
    const std::lock_guard control(m_controlLock);
    BeginStopLocked();
    WaitStoppedLocked(std::nullopt);

    auto listener = std::make_shared<CWSocket>();
    try {
        OpenListeners(*listener, m_TcpListener, port, address);
        m_nListeningPort.store(listener->GetLocalPort());
    } catch (const CWSocketException& e) {
        listener->Close();
        m_TcpListener.Close();
        return RunErrorText(e);
    }
    m_ListeningAddress = std::move(address);
    m_bStopping.store(false);
    {
        const std::lock_guard guard(m_poolLock);
        m_bPoolStopping = false;
    }
    {
        const std::lock_guard guard(m_tcpLock);
        m_bTcpStopping = false;
    }
    {
        const std::lock_guard guard(m_notifyLock);
        m_bNotifyStopping = false;
        m_bNotifierDone = false;
    }
    {
        const std::lock_guard guard(m_socketLock);
        m_pListener = listener;
    }
    // Running from here on, so that a failure below is undone by the ordinary stop.
    m_bRunning.store(true);
    try {
        m_NotificationThread = std::thread(&CDnsSocket::NotificationThread, this);
        m_ReceivingThread = std::thread(&CDnsSocket::DnsServerThread, this);
        m_TcpAcceptThread = std::thread(&CDnsSocket::TcpAcceptThread, this);
    } catch (const std::system_error& e) {
        BeginStopLocked();
        WaitStoppedLocked(std::nullopt);
        return RunErrorText(e.code().value(), e.what());
    }
    return std::nullopt;
}

void CDnsSocket::BeginStop() {
    const std::lock_guard control(m_controlLock);
    BeginStopLocked();
}

bool CDnsSocket::WaitStopped(std::uint32_t milliseconds) {
    const std::lock_guard control(m_controlLock);
    return WaitStoppedLocked(std::chrono::milliseconds(milliseconds));
}

void CDnsSocket::StopDnsServer() {
    const std::lock_guard control(m_controlLock);
    BeginStopLocked();
    WaitStoppedLocked(std::nullopt);
}

void CDnsSocket::BeginStopLocked() {
    if (!m_bRunning.exchange(false)) {
        return;
    }

    // The receiving thread first, so that nothing new is taken in. The flag is set before the
    // socket is fetched: a restart that replaces the socket checks it under the same lock.
    m_bStopping.store(true);
    std::shared_ptr<CWSocket> listener;
    {
        const std::lock_guard guard(m_socketLock);
        listener = m_pListener;
    }
    if (listener) {
        CloseListener(*listener);
    }
    if (m_ReceivingThread.joinable()) {
        m_ReceivingThread.join();
    }
    StopTcp();

    // Then the forwards: the queued ones are dropped, the waiting ones released by closing the
    // sockets they wait on, and every worker joined.
    std::list<Worker> workers;
    {
        const std::lock_guard guard(m_poolLock);
        m_bPoolStopping = true;
        for (std::size_t i = 0; i < m_Queue.size(); ++i) {
            ++m_Statistics.InternalErrorRequests;
            --m_nActiveForwards;
        }
        m_Queue.clear();
        for (Worker& worker : m_Workers) {
            if (worker.Upstream != nullptr) {
                worker.Upstream->Close();
            }
        }
        // Moves the nodes, which the workers still point at, without copying them.
        workers.splice(workers.end(), m_Workers);
    }
    m_poolWake.notify_all();
    for (Worker& worker : workers) {
        worker.Thread.join();
    }

    {
        const std::lock_guard guard(m_socketLock);
        if (m_pListener) {
            CloseListener(*m_pListener);
            m_pListener.reset();
        }
    }
    m_InFlightDomains.RemoveAll();

    {
        const std::lock_guard guard(m_notifyLock);
        m_bNotifyStopping = true;
    }
    m_notifyWake.notify_all();
}

bool CDnsSocket::WaitStoppedLocked(std::optional<std::chrono::milliseconds> limit) {
    if (m_bRunning.load()) {
        return false;
    }
    if (!m_NotificationThread.joinable()) {
        return true;
    }
    {
        std::unique_lock lock(m_notifyLock);
        const auto done = [this] { return m_bNotifierDone; };
        if (!limit) {
            m_notifierDone.wait(lock, done);
        } else if (!m_notifierDone.wait_for(lock, *limit, done)) {
            return false;
        }
    }
    m_NotificationThread.join();
    return true;
}

// --- Receiving thread -------------------------------------------------------------------------

void CDnsSocket::DnsServerThread() {
    while (!m_bStopping.load()) {
        std::shared_ptr<CWSocket> listener;
        {
            const std::lock_guard guard(m_socketLock);
            listener = m_pListener;
        }
        std::string client;
        std::uint16_t clientPort = 0;
        std::size_t length = 0;
        try {
            length = listener->ReceiveFrom(m_ReceiveBuffer.data(), m_ReceiveBuffer.size(), client,
                                           clientPort);
        } catch (const CWSocketException&) {
            // A stop released the receive; anything else (an oversized datagram above all)
            // makes the listening socket start afresh on the same port.
            if (m_bStopping.load() || !RestartListener()) {
                return;
            }
            continue;
        }
        if (length > 0) {
            HandleDatagram(listener, length, client, clientPort);
        }
    }
}

bool CDnsSocket::RestartListener() {
    const std::lock_guard guard(m_socketLock);
    if (m_bStopping.load()) {
        return false;
    }
    if (m_pListener) {
        CloseListener(*m_pListener);
    }
    auto fresh = std::make_shared<CWSocket>();
    try {
        OpenListener(*fresh, m_nListeningPort.load(), m_ListeningAddress);
    } catch (const CWSocketException& e) {
        // The proxy no longer serves; its owner learns it only from this text.
        fresh->Close();
        ReportServerError(RunErrorText(e));
        return false;
    }
    m_pListener = std::move(fresh);
    ++m_nRestarts;
    return true;
}

void CDnsSocket::HandleDatagram(const std::shared_ptr<CWSocket>& listener, std::size_t length,
                                const std::string& client, std::uint16_t clientPort) {
    ++m_Statistics.TotalRequests;
    const std::time_t received = Now();

    // A datagram that is no readable query (a response, a broken one) goes on with the empty
    // domain, which no entry has: it is forwarded like any miss.
    std::string domain;
    std::uint16_t id = 0;
    static_cast<void>(CDnsQuery::Parse(std::span(m_ReceiveBuffer).first(length), domain, id));

    if (m_InFlightDomains.Find(domain)) {
        ++m_Statistics.DiscardRequests;
        return;
    }
    if (AnswerFromCache(*listener, domain, id, client, clientPort, received)) {
        return;
    }
    // Only this thread adds forwards, so the check and the count cannot race.
    if (m_nActiveForwards.load() >= m_nMaxForwards) {
        ++m_Statistics.DiscardRequests;
        return;
    }
    ++m_nActiveForwards;

    auto request = std::make_unique<DnsRequest>();
    request->Listener = listener;
    std::copy_n(m_ReceiveBuffer.begin(), length, request->Packet.begin());
    request->PacketLength = static_cast<std::int32_t>(length);
    request->ClientAddress = client;
    request->ClientPort = clientPort;
    request->Domain = domain;
    request->Received = received;
    m_InFlightDomains.AddTail(std::move(domain));
    Dispatch(std::move(request));
}

bool CDnsSocket::AnswerFromCache(CWSocket& listener, const std::string& domain, std::uint16_t id,
                                 const std::string& client, std::uint16_t clientPort,
                                 std::time_t received) {
    std::size_t replyLength = 0;
    const DnsItemPtr item = BuildCachedReply(m_ReceiveBuffer, domain, id, replyLength);
    if (!item) {
        return false;
    }

    ++m_Statistics.CachedRequests;
    DnsRequest times;
    times.Received = received;
    try {
        listener.SendTo(m_ReceiveBuffer.data(), replyLength, clientPort, client);
    } catch (const CWSocketException&) {
        ++m_Statistics.InternalErrorRequests;
        return true;
    }
    times.CacheReplied = Now();
    m_pCache->RecordHit(*item, received);
    NotifyChanged(item);
    times.Done = Now();
    m_Statistics.UpdateStatistics(&times);
    return true;
}

DnsItemPtr CDnsSocket::BuildCachedReply(std::span<std::uint8_t> packet, const std::string& domain,
                                        std::uint16_t id, std::size_t& length) {
    auto cacheLock = m_pCache->Lock();
    DnsItemPtr item = m_pCache->Lookup(domain);
    if (!item) {
        return nullptr;
    }
    auto addressLock = item->Addresses.Lock();
    // An entry without an address (a domain-only line of the cache file) is a miss: its domain
    // is forwarded and the answer learned into it.
    if (item->Addresses.IsEmpty()) {
        return nullptr;
    }
    length = CDnsResponse::BuildFromCache(packet, domain, item->Addresses, id);
    return length == 0 ? nullptr : item;
}

void CDnsSocket::Dispatch(std::unique_ptr<DnsRequest> request) {
    std::unique_lock lock(m_poolLock);
    // Joins the workers that ended after idling; they are past their last use of the lock.
    for (auto it = m_Workers.begin(); it != m_Workers.end();) {
        if (it->Finished) {
            it->Thread.join();
            it = m_Workers.erase(it);
        } else {
            ++it;
        }
    }
    m_Queue.push_back(std::move(request));
    // A thread for every request that no idle worker will take. Busy and queued requests
    // together never exceed the cap, so neither do the threads.
    if (m_Queue.size() > static_cast<std::size_t>(m_nIdleWorkers)) {
        Worker& worker = m_Workers.emplace_back();
        try {
            worker.Thread = std::thread(&CDnsSocket::DnsRequestThread, this, &worker);
        } catch (const std::system_error&) {
            // No thread to be had: the request goes unanswered, as when the cap is reached.
            // It is still the last in the queue, as the lock was held throughout.
            m_Workers.pop_back();
            m_InFlightDomains.RemoveFirst(m_Queue.back()->Domain);
            m_Queue.pop_back();
            --m_nActiveForwards;
            ++m_Statistics.DiscardRequests;
            return;
        }
    }
    lock.unlock();
    m_poolWake.notify_one();
}

// --- Forward workers --------------------------------------------------------------------------

void CDnsSocket::DnsRequestThread(Worker* self) {
    std::unique_lock lock(m_poolLock);
    for (;;) {
        ++m_nIdleWorkers;
        const bool work = m_poolWake.wait_for(
            lock, kWorkerIdleLimit, [this] { return m_bPoolStopping || !m_Queue.empty(); });
        --m_nIdleWorkers;
        if (!work || m_bPoolStopping) {
            self->Finished = true;
            return;
        }
        std::unique_ptr<DnsRequest> request = std::move(m_Queue.front());
        m_Queue.pop_front();
        lock.unlock();
        Forward(*request, *self);
        request.reset();
        lock.lock();
        --m_nActiveForwards;
    }
}

bool CDnsSocket::WatchUpstream(Worker& self, CWSocket* upstream) {
    const std::lock_guard guard(m_poolLock);
    if (upstream != nullptr && m_bPoolStopping) {
        return false;
    }
    self.Upstream = upstream;
    return true;
}

void CDnsSocket::Forward(DnsRequest& request, Worker& self) {
    request.Forwarded = Now();
    ++m_Statistics.ForwardAttempts;

    const std::string server = CanonicalServerAddress(CurrentDnsServer());
    const std::uint16_t port = DnsServerPort();
    const auto queryLength = static_cast<std::size_t>(request.PacketLength);
    // A reply must carry the query's id; a datagram too short to have one gets no reply.
    const bool hasId = queryLength >= 2;
    const std::uint8_t id0 = request.Packet[0];
    const std::uint8_t id1 = request.Packet[1];
    const auto isReply = [&](std::span<const std::uint8_t> reply) {
        return hasId && reply.size() >= 2 && reply[0] == id0 && reply[1] == id1;
    };

    CWSocket upstream;
    bool relayed = false;
    try {
        upstream.Create(true);
        if (!WatchUpstream(self, &upstream)) {
            ThrowWSocketException(socket_error::kInterrupted);
        }
        upstream.SendTo(request.Packet.data(), queryLength, port, server);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(UpstreamTimeoutMs());
        const std::size_t replyLength =
            ReceiveReply(upstream, request.Packet, server, port, deadline, isReply);
        request.PacketLength = static_cast<std::int32_t>(replyLength);
        request.Listener->SendTo(request.Packet.data(), replyLength,
                                 static_cast<std::uint16_t>(request.ClientPort),
                                 request.ClientAddress);
        request.Answered = Now();
        ++m_Statistics.ForwardRequests;
        relayed = true;
    } catch (const CWSocketException&) {
        // No reply in time, a failed send, or a stop that closed the socket: the client gets
        // no reply and asks again on its own.
    }
    WatchUpstream(self, nullptr);
    upstream.Close();

    // Learned before the domain leaves the in-flight list, so that the next query hits.
    if (relayed) {
        LearnReply(std::span(request.Packet).first(static_cast<std::size_t>(request.PacketLength)),
                   request.Received);
    }
    m_InFlightDomains.RemoveFirst(request.Domain);
    if (!relayed) {
        ++m_Statistics.InternalErrorRequests;
        return;
    }
    request.Done = Now();
    m_Statistics.UpdateStatistics(&request);
}

void CDnsSocket::LearnReply(std::span<const std::uint8_t> reply, std::time_t received) {
    // A truncated reply is relayed for the client to ask again over TCP; what it holds may be
    // only part of the answer, which must not replace a complete one in the cache.
    if (IsTruncatedReply(reply)) {
        return;
    }
    std::string name;
    CLockedStringList addresses(true);
    std::uint16_t id = 0;
    std::uint32_t ttl = 0;
    if (CDnsResponse::Parse(reply, name, addresses, id, ttl) == 0) {
        return;
    }
    // A name the cache file could not hold is relayed, never learned.
    if (!IsLearnableName(name)) {
        return;
    }
    NotifyChanged(m_pCache->Learn(name, addresses, EntryTtl(ttl), received));
}

// --- Notification thread ----------------------------------------------------------------------

void CDnsSocket::NotifyChanged(const DnsItemPtr& item) {
    if (m_pObserver.load() == nullptr || !item) {
        return;
    }
    {
        const std::lock_guard guard(m_notifyLock);
        if (m_PendingItems.size() >= kMaxPendingNotifications ||
            !m_PendingSet.insert(item.get()).second) {
            return;
        }
        m_PendingItems.push_back(item);
    }
    m_notifyWake.notify_one();
}

void CDnsSocket::ReportServerError(std::string message) {
    {
        const std::lock_guard guard(m_notifyLock);
        m_PendingErrors.push_back(std::move(message));
    }
    m_notifyWake.notify_one();
}

void CDnsSocket::NotificationThread() {
    std::unique_lock lock(m_notifyLock);
    for (;;) {
        m_notifyWake.wait(lock, [this] {
            return m_bNotifyStopping || !m_PendingItems.empty() || !m_PendingErrors.empty();
        });
        if (!m_PendingErrors.empty()) {
            const std::string message = std::move(m_PendingErrors.front());
            m_PendingErrors.pop_front();
            lock.unlock();
            if (IDnsProxyObserver* observer = m_pObserver.load()) {
                try {
                    observer->OnServerError(message);
                } catch (...) {
                    // The observer's failure is its own; the proxy goes on.
                }
            }
            lock.lock();
        } else if (!m_PendingItems.empty()) {
            DnsItemPtr item = std::move(m_PendingItems.front());
            m_PendingItems.pop_front();
            // Out of the set before the call: a change made meanwhile is told again.
            m_PendingSet.erase(item.get());
            lock.unlock();
            if (IDnsProxyObserver* observer = m_pObserver.load()) {
                try {
                    observer->OnDnsItemChanged(item);
                } catch (...) {
                    // As above.
                }
            }
            item.reset();
            lock.lock();
        } else {
            break;
        }
    }
    m_bNotifierDone = true;
    m_notifierDone.notify_all();
}

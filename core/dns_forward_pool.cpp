#include "core/dns_forward_pool.h"

#include <utility>

#include "core/dns_cache.h"

bool CDnsForwardPool::Submit(std::unique_ptr<DnsRequest>& request) {
    std::unique_lock lock(m_lock);
    if (m_stopped || m_active >= m_maxForwards) {
        return false;
    }
    m_queue.push_back(std::move(request));
    // A thread for every request that no idle worker will take. Busy and queued requests
    // together never exceed the cap, so neither do the threads.
    if (m_queue.size() > static_cast<std::size_t>(m_idleWorkers) &&
        !m_workers.Start([this](CThreadSet::Member& self) { WorkerLoop(self); })) {
        // No thread to be had: the request goes back, as when the cap is reached.
        request = std::move(m_queue.back());
        m_queue.pop_back();
        return false;
    }
    ++m_active;
    lock.unlock();
    m_wake.notify_one();
    return true;
}

void CDnsForwardPool::Start() {
    m_workers.Reset();
    const std::lock_guard guard(m_lock);
    m_stopped = false;
}

void CDnsForwardPool::Stop() {
    std::deque<std::unique_ptr<DnsRequest>> dropped;
    {
        const std::lock_guard guard(m_lock);
        m_stopped = true;
        m_active -= static_cast<int>(m_queue.size());
        dropped.swap(m_queue);
    }
    m_wake.notify_all();
    for (const std::unique_ptr<DnsRequest>& request : dropped) {
        m_handler.ForwardFailed(request->State);
    }
    // Closing the upstream sockets releases the workers that wait for a reply.
    m_workers.Stop();
}

int CDnsForwardPool::ActiveForwards() const {
    const std::lock_guard guard(m_lock);
    return m_active;
}

void CDnsForwardPool::WorkerLoop(CThreadSet::Member& self) {
    std::unique_lock lock(m_lock);
    for (;;) {
        ++m_idleWorkers;
        const bool work = m_wake.wait_for(lock, kWorkerIdleLimit,
                                          [this] { return m_stopped || !m_queue.empty(); });
        --m_idleWorkers;
        if (!work || m_stopped) {
            return;
        }
        std::unique_ptr<DnsRequest> request = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        Forward(*request, self);
        request.reset();
        lock.lock();
        --m_active;
    }
}

void CDnsForwardPool::Forward(DnsRequest& request, CThreadSet::Member& self) {
    m_handler.ForwardStarted(request.State);
    const std::string server = CanonicalServerAddress(m_upstream.CurrentDnsServer());
    const std::uint16_t port = m_upstream.DnsServerPort();
    // A reply must carry the query's id; a datagram too short to have one gets no reply.
    const bool hasId = request.Length >= 2;
    const auto isReply = [&](std::span<const std::uint8_t> reply) {
        return hasId && reply.size() >= 2 && reply[0] == request.Packet[0] &&
               reply[1] == request.Packet[1];
    };

    std::array<std::uint8_t, kDnsPacketSize> reply{};
    std::size_t replyLength = 0;
    CWSocket upstream;
    try {
        upstream.Create(true);
        if (!self.Watch(upstream)) {
            ThrowWSocketException(socket_error::kInterrupted);
        }
        upstream.SendTo(request.Packet.data(), request.Length, port, server);
        replyLength =
            ReceiveUpstreamReply(upstream, reply, server, port,
                                 std::chrono::steady_clock::now() + m_upstream.Wait(), isReply);
        request.Listener->SendTo(reply.data(), replyLength, request.Client);
    } catch (const CWSocketException&) {
        // No reply in time, a failed send, or a stop that closed the socket: the client gets
        // no reply and asks again on its own.
        self.Unwatch(upstream);
        m_handler.ForwardFailed(request.State);
        return;
    }
    self.Unwatch(upstream);
    upstream.Close();
    m_handler.ForwardAnswered(request.State, std::span(reply).first(replyLength));
}

#include "core/dns_forward_pool.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/dns_padding.h"
#include "core/upstream_exchange.h"

namespace {

// Sends the reply to one waiting client with its own id, cut with TC when it is longer than the
// client takes. `reply` is the worker's own copy.
void Relay(const DnsWaiter& waiter, std::span<std::uint8_t> reply) {
    std::array<std::uint8_t, kClassicUdpSize> truncated{};
    std::span<std::uint8_t> datagram = reply;
    if (reply.size() > waiter.UdpSize) {
        datagram = std::span(truncated).first(BuildTruncatedReply(reply, truncated));
    }
    if (datagram.size() < 2) {
        return;
    }
    std::ranges::copy(waiter.Id, datagram.begin());
    try {
        const Datagram one{datagram, datagram.size(), waiter.Client, waiter.Local};
        waiter.Listener->SendBatch(std::span(&one, 1));
    } catch (const CWSocketException&) {
        // The client has gone, or the listener was closed by a stop: it asks again.
    }
}

}  // namespace

bool CDnsForwardPool::Reserve() {
    const std::lock_guard guard(m_lock);
    if (m_stopped || m_active >= m_maxForwards) {
        return false;
    }
    ++m_active;
    return true;
}

bool CDnsForwardPool::Submit(std::unique_ptr<DnsRequest>& request, bool mayCarry) {
    if (!Reserve()) {
        return false;
    }
    // Sent here, without the pool's lock: a worker takes the exchange over.
    Begin(*request);
    if (mayCarry && request->Exchange->LoneUdpSocket() != nullptr) {
        return true;
    }
    std::unique_lock lock(m_lock);
    if (!m_stopped) {
        if (request->Exchange->OnlyPosted()) {
            Park(std::move(request));
            return true;
        }
        if (Enqueue(request)) {
            lock.unlock();
            m_wake.notify_one();
            return true;
        }
    }
    --m_active;
    lock.unlock();
    if (!request->Claim->TakeOver()) {
        request.reset();  // answered already, on an HTTPS client's thread
        return true;
    }
    request->Exchange.reset();
    return false;
}

bool CDnsForwardPool::FinishCarried(DnsRequest& request, std::span<std::uint8_t> room) {
    const std::optional<std::size_t> length = request.Exchange->TakeArrived(request.Packet, room);
    if (!length) {
        return false;
    }
    // Nothing but this thread holds a carried request: no post of it is under way. Its socket
    // closes once the reply is out.
    Answer(request, room.first(*length));
    request.Exchange.reset();
    const std::lock_guard guard(m_lock);
    --m_active;
    return true;
}

void CDnsForwardPool::HandOver(std::unique_ptr<DnsRequest> request) {
    std::unique_lock lock(m_lock);
    if (!m_stopped && Enqueue(request)) {
        lock.unlock();
        m_wake.notify_one();
        return;
    }
    --m_active;
    lock.unlock();
    Fail(std::move(request));
}

void CDnsForwardPool::Begin(DnsRequest& request) {
    m_handler.ForwardStarted(request.State);
    UpstreamTarget target = m_upstream.TargetFor(request.State.HostLookup);
    const bool posts = target.HasHttps();
    request.Exchange = std::make_unique<CUpstreamExchange>(std::move(target), nullptr);
    if (posts) {
        SetPostHooks(request);
    }
    request.Exchange->Begin(request.Packet);
}

void CDnsForwardPool::SetPostHooks(DnsRequest& request) {
    // The request and its exchange outlive the hook's work: whoever else ends the forward
    // waits for that (TakeOver) before it lets them go. The client's thread never lets a request
    // go itself: that may end the last hold on the client (Retire, Unpark).
    request.Exchange->SetPostHooks(
        [this, claim = request.Claim, raw = &request](std::span<std::uint8_t> reply,
                                                      const std::function<void()>& claimed) {
            if (!claim->Claim()) {
                return FinisherVerdict::kLeft;
            }
            claimed();
            Answer(*raw, reply);
            // A worker that carries it learns from the ring that it ended.
            Retire(*claim);
            claim->Done();
            return FinisherVerdict::kTaken;
        },
        [this, claim = request.Claim] {
            const std::lock_guard guard(m_lock);
            if (claim->Posted) {
                Unpark(*claim);
            }
        });
}

bool CDnsForwardPool::Enqueue(std::unique_ptr<DnsRequest>& request) {
    m_queue.push_back(std::move(request));
    // A thread for every request that no idle worker will take. Busy and queued requests
    // together never exceed the cap, so neither do the threads.
    if (m_queue.size() <= static_cast<std::size_t>(m_idleWorkers) ||
        m_workers.Start([this](CThreadSet::Member& self) { WorkerLoop(self); })) {
        return true;
    }
    // No thread to be had: the request goes back, as when the cap is reached.
    request = std::move(m_queue.back());
    m_queue.pop_back();
    return false;
}

void CDnsForwardPool::Park(std::unique_ptr<DnsRequest> request) {
    CForwardClaim& claim = *request->Claim;
    const auto due = request->Exchange->NextSendAt();
    claim.Posted = m_posted.emplace(due, std::move(request));
    if (due < m_timerLooksAt) {
        m_postedWake.notify_one();
    }
}

void CDnsForwardPool::Unpark(CForwardClaim& claim) {
    std::unique_ptr<DnsRequest> request = std::move((*claim.Posted)->second);
    m_posted.erase(*claim.Posted);
    claim.Posted.reset();
    if (Enqueue(request)) {
        m_wake.notify_one();
        return;
    }
    --m_active;
    m_failed.push_back(std::move(request));
    m_postedWake.notify_one();
}

void CDnsForwardPool::Retire(CForwardClaim& claim) {
    const std::lock_guard guard(m_lock);
    if (!claim.Posted) {
        return;  // a worker carries it, or a stop dropped it
    }
    m_retired.push_back(std::move((*claim.Posted)->second));
    m_posted.erase(*claim.Posted);
    claim.Posted.reset();
    --m_active;
    // A timer thread that waits for a deadline lets it go then; one that waits for nothing is
    // woken by the first, and any by a full batch.
    if ((m_retired.size() == 1 && m_timerLooksAt == kNever) || m_retired.size() == kRetiredBatch) {
        m_postedWake.notify_one();
    }
}

void CDnsForwardPool::Fail(std::unique_ptr<DnsRequest> request) {
    // Claimed while the exchange still holds its servers: a reply taken meanwhile on an HTTPS
    // client's thread is counted for its server.
    if (request->Claim->TakeOver()) {
        m_handler.ForwardFailed(request->State);
    }
}

void CDnsForwardPool::Renew(const DnsQuestion& question) {
    auto request = std::make_unique<DnsRequest>();
    DnsQueryState& state = request->State;
    state.Question = question;
    state.Question.CheckingDisabled = false;
    state.Question.DnssecOk = false;
    state.QuestionRead = true;
    state.Renewal = true;
    state.Times.WallReceived = m_handler.Now();
    state.Times.Received = m_handler.SteadyNow();
    // The name was read from a query, so it fits a query of our own. It offers EDNS's room: an
    // answer longer than 512 bytes would come truncated, which is never learned, and the entry
    // would never be renewed.
    std::array<std::uint8_t, kDnsPacketSize> packet{};
    const std::size_t length =
        CDnsQuery::Build(packet, question.Name.View(), 0, question.Type, kRenewalUdpSize);
    request->Packet.assign(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(length));
    if (m_handler.LeadRenewal(state) && !Submit(request)) {
        m_handler.Drop(request->State);
    }
}

void CDnsForwardPool::Start() {
    m_workers.Reset();
    const std::lock_guard guard(m_lock);
    m_stopped = false;
    if (!m_postedTimer.joinable()) {
        m_timerLooksAt = kAwake;
        m_postedTimer = std::thread([this] { PostedLoop(); });
    }
}

void CDnsForwardPool::Stop() {
    std::vector<std::unique_ptr<DnsRequest>> dropped;
    {
        const std::lock_guard guard(m_lock);
        m_stopped = true;
        m_active -= static_cast<int>(m_queue.size() + m_posted.size());
        for (std::unique_ptr<DnsRequest>& request : m_queue) {
            dropped.push_back(std::move(request));
        }
        m_queue.clear();
        for (auto& [due, request] : m_posted) {
            request->Claim->Posted.reset();
            dropped.push_back(std::move(request));
        }
        m_posted.clear();
        // Answered or failed on their way out: Fail leaves the answered ones as they are.
        for (auto* list : {&m_failed, &m_retired}) {
            for (std::unique_ptr<DnsRequest>& request : *list) {
                dropped.push_back(std::move(request));
            }
            list->clear();
        }
    }
    m_wake.notify_all();
    m_postedWake.notify_all();
    if (m_postedTimer.joinable()) {
        m_postedTimer.join();
    }
    for (std::unique_ptr<DnsRequest>& request : dropped) {
        Fail(std::move(request));
    }
    // Closing the upstream sockets releases the workers that wait for a reply.
    m_workers.Stop();
}

void CDnsForwardPool::PostedLoop() {
    std::unique_lock lock(m_lock);
    while (!m_stopped) {
        m_timerLooksAt = kAwake;
        if (!m_failed.empty() || !m_retired.empty()) {
            std::vector<std::unique_ptr<DnsRequest>> retired;
            std::vector<std::unique_ptr<DnsRequest>> failed;
            retired.swap(m_retired);
            failed.swap(m_failed);
            lock.unlock();
            retired.clear();
            for (std::unique_ptr<DnsRequest>& request : failed) {
                Fail(std::move(request));
            }
            lock.lock();
        } else if (m_posted.empty()) {
            m_timerLooksAt = kNever;
            m_postedWake.wait(lock);
        } else if (m_posted.begin()->first <= std::chrono::steady_clock::now()) {
            Unpark(*m_posted.begin()->second->Claim);
        } else {
            m_timerLooksAt = m_posted.begin()->first;
            m_postedWake.wait_until(lock, m_timerLooksAt);
        }
    }
}

int CDnsForwardPool::ActiveForwards() const {
    const std::lock_guard guard(m_lock);
    return m_active;
}

void CDnsForwardPool::WorkerLoop(CThreadSet::Member& self) {
    // Room for the largest reply, of which only what replies fill is ever touched.
    const auto room = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxDnsMessage);
    const std::span<std::uint8_t> reply(room.get(), kMaxDnsMessage);
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
        Forward(*request, self, reply);
        request.reset();
        lock.lock();
        --m_active;
    }
}

void CDnsForwardPool::Forward(DnsRequest& request, CThreadSet::Member& self,
                              std::span<std::uint8_t> reply) {
    std::optional<std::size_t> length;
    try {
        request.Exchange->Adopt(&self);
        length = request.Exchange->OverUdp(request.Packet, reply);
    } catch (const CWSocketException&) {
        // A stop closed the exchange's sockets.
    }
    // Claimed before the exchange goes, so that a reply taken meanwhile on an HTTPS client's
    // thread still finds its server; not mine when that thread answered it.
    const bool mine = request.Claim->TakeOver();
    if (mine && length) {
        Answer(request, reply.first(*length));  // the exchange's sockets close once it is out
    }
    request.Exchange.reset();
    if (mine && !length) {
        // No reply in time from any server, or a stop: the clients ask again on their own.
        m_handler.ForwardFailed(request.State);
    }
}

void CDnsForwardPool::Answer(DnsRequest& request, std::span<std::uint8_t> answer) {
    std::vector<DnsWaiter> waiters = m_handler.ForwardAnswered(request.State, answer);
    if (waiters.empty() && !request.State.Renewal) {
        waiters.push_back(std::move(request.Self));
    }
    // Clients with EDNS first. Those without, who may have joined the forward of one with it,
    // then get the reply without its EDNS record (RFC 6891), taken out in place.
    for (const DnsWaiter& waiter : waiters) {
        if (waiter.Edns) {
            Relay(waiter, answer);
        }
    }
    if (std::ranges::all_of(waiters, &DnsWaiter::Edns)) {
        return;
    }
    answer = answer.first(RemoveReplyOpt(answer));
    for (const DnsWaiter& waiter : waiters) {
        if (!waiter.Edns) {
            Relay(waiter, answer);
        }
    }
}

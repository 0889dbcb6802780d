#pragma once

// The proxy's forward pool: it owns the queue of UDP misses on their way upstream and the worker
// threads that forward them and relay the replies.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/dns_packet.h"
#include "core/dns_query_handler.h"
#include "core/thread_set.h"
#include "core/upstream_exchange.h"
#include "core/upstream_settings.h"
#include "net/wsocket.h"

struct DnsRequest;
// Requests whose forward waits on a post alone, by when their next send is due.
using PostedRequests =
    std::multimap<std::chrono::steady_clock::time_point, std::unique_ptr<DnsRequest>>;

// Who ends a forward: the worker that carries it or, for a DNS-over-HTTPS server's reply, the
// HTTPS client's thread that got it (sparing the worker's wake-up on the reply's way). The one
// that claims it first answers or fails its clients; the other leaves them alone, and a worker
// that lost waits until the client's thread is done with the request. Shared with the finishers
// of the forward's posts, which may outlive the request.
class CForwardClaim {
public:
    bool Claim() { return !m_claimed.exchange(true); }
    // The client's thread that claimed the forward is done with its request.
    void Done() {
        m_done.store(true);
        m_done.notify_all();
    }
    // For the worker, or a stop: true when it claimed the forward; false once the client's
    // thread that claimed it is done.
    bool TakeOver() {
        if (Claim()) {
            return true;
        }
        m_done.wait(false);
        return false;
    }

    // Where the request waits among the posted ones, while it does; guarded by the pool's lock.
    std::optional<PostedRequests::iterator> Posted;

private:
    std::atomic<bool> m_claimed{false};
    std::atomic<bool> m_done{false};
};

// One UDP query on its way upstream: what the receiving thread hands to a forward worker.
struct DnsRequest {
    DnsQueryState State;
    // The client that asked, answered when no other waits with it (its question unread).
    DnsWaiter Self;
    // The query as received, in a block of its own the query's size: room for the largest query
    // inline would make each request a block so large that glibc's allocator merges every small
    // free block of its heap before it gives one, and would be zeroed for each query.
    std::vector<std::uint8_t> Packet;
    // Begun by the thread that submitted the request, carried on by a worker.
    std::unique_ptr<CUpstreamExchange> Exchange;
    std::shared_ptr<CForwardClaim> Claim = std::make_shared<CForwardClaim>();
};

// The forwards of UDP misses: a queue and worker threads made on demand, up to the cap of
// concurrent forwards. The thread that submits a request sends the query to the preferred server
// itself, so that the hand-over to a worker takes place while the server answers; a UDP
// listener's thread may keep its last miss sent to a plain server and answer it itself, handing
// it over only when it has other work (Submit's mayCarry). A forward
// whose query went to a DNS-over-HTTPS server waits without a worker: its reply is learned and
// relayed on the HTTPS client's thread, and a worker takes it over only when the post ends
// without a reply that serves or when its next send is due (a timer thread watches those).
// Each worker carries on asking the upstream servers the query through an exchange
// (core/upstream_exchange.h) and relays the reply to every client that waits for it, through the
// socket each query came in on, with each client's own id, cut with TC to what the client takes.
// A worker that finds nothing to do for kWorkerIdleLimit ends.
//
// Its one lock guards the queue and the counts; the workers run in a thread set of their own.
class CDnsForwardPool {
public:
    static constexpr std::chrono::seconds kWorkerIdleLimit{30};
    // Requests answered on an HTTPS client's thread wait for the timer thread's next look, which
    // its wait for the next parked request brings within the failover delay; so many of them wake
    // it sooner, which bounds what they hold under load (a request with its exchange and post is
    // under 2 kB). Each wake takes the CPU from the thread that answers the next replies.
    static constexpr std::size_t kRetiredBatch = 512;
    // The EDNS size a renewal offers: what crosses networks without fragments.
    static constexpr std::uint16_t kRenewalUdpSize = 1232;

    CDnsForwardPool(CDnsQueryHandler& handler, const CUpstreamSettings& upstream, int maxForwards)
        : m_handler(handler), m_upstream(upstream), m_maxForwards(maxForwards) {}
    CDnsForwardPool(const CDnsForwardPool&) = delete;
    CDnsForwardPool& operator=(const CDnsForwardPool&) = delete;
    ~CDnsForwardPool() { Stop(); }

    // Takes the request and sends its query on its way; false (request untouched) while stopped
    // or when every forward slot is busy. With `mayCarry`, a request whose query went to one plain
    // server over UDP stays with the caller (true, `request` kept), which waits for the reply
    // itself (LoneUdpSocket, then FinishCarried) and hands the request over to a worker
    // (HandOver) as soon as it has other work or the wait is over.
    bool Submit(std::unique_ptr<DnsRequest>& request, bool mayCarry = false);
    // A carried request's socket has something: true when that was a reply that served, learned
    // and relayed (the forward has ended and the request may go); false when the forward goes on.
    bool FinishCarried(DnsRequest& request, std::span<std::uint8_t> room);
    // Gives a carried request to a worker, which carries the forward on; without one (stopped, or
    // no thread to be had) its clients get nothing.
    void HandOver(std::unique_ptr<DnsRequest> request);
    // Renews a cached question behind an answer from an expired entry (its slot taken by the
    // handler): a forward with no client, asked without the CD and DO bits that the cache does
    // not keep. Never waits: called on the receiving thread.
    void Renew(const DnsQuestion& question);
    void Start();
    // Drops the queued requests and cancels the forwards under way (their clients get no reply;
    // each counts as an error), then joins every thread.
    void Stop();

    // Forwards accepted and not finished yet.
    [[nodiscard]] int ActiveForwards() const;
    [[nodiscard]] int WorkerThreads() const { return m_workers.Alive(); }

private:
    // What the timer thread's next look may be besides the end of a wait.
    static constexpr std::chrono::steady_clock::time_point kNever =
        std::chrono::steady_clock::time_point::max();
    static constexpr std::chrono::steady_clock::time_point kAwake =
        std::chrono::steady_clock::time_point::min();

    // Takes a forward slot: false while stopped or when every one is busy.
    bool Reserve();
    // Starts the request's exchange on the calling thread.
    void Begin(DnsRequest& request);
    // Lets an HTTPS client's thread answer the request, or hand it to a worker, when a post of
    // its exchange ends.
    void SetPostHooks(DnsRequest& request);
    // Hands the request to a worker, starting one when none is idle; false (request untouched)
    // when no thread is to be had. The lock is held.
    bool Enqueue(std::unique_ptr<DnsRequest>& request);
    // Keeps a request whose forward waits on a post alone until it is due. The lock is held.
    void Park(std::unique_ptr<DnsRequest> request);
    // Hands a parked request to a worker, or to the timer thread to fail it for want of one. The
    // lock is held.
    void Unpark(CForwardClaim& claim);
    // Takes a parked request that an HTTPS client's thread answered out of the pool, frees its
    // slot and leaves it to the timer thread to let go; nothing when it is not parked.
    void Retire(CForwardClaim& claim);
    // Ends a request that no thread carries: its clients get nothing, unless an HTTPS client's
    // thread answered it meanwhile.
    void Fail(std::unique_ptr<DnsRequest> request);
    void WorkerLoop(CThreadSet::Member& self);
    // The timer thread: hands each parked request to a worker when its next send is due, and
    // lets go of the requests that HTTPS clients' threads ended at each look.
    void PostedLoop();
    // `reply` is the worker's own room for a reply of any size.
    void Forward(DnsRequest& request, CThreadSet::Member& self, std::span<std::uint8_t> reply);
    // Learns the reply and relays it to every client that waits for it.
    void Answer(DnsRequest& request, std::span<std::uint8_t> answer);

    CDnsQueryHandler& m_handler;
    const CUpstreamSettings& m_upstream;
    const int m_maxForwards;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::unique_ptr<DnsRequest>> m_queue;
    PostedRequests m_posted;
    // Answered on an HTTPS client's thread, and to be failed for want of a worker: the timer
    // thread lets them go.
    std::vector<std::unique_ptr<DnsRequest>> m_retired;
    std::vector<std::unique_ptr<DnsRequest>> m_failed;
    std::condition_variable m_postedWake;
    // When the timer thread looks at the parked and retired requests next: the end of its wait,
    // kNever while it waits for a wake, kAwake while it runs (it looks before it waits again).
    // Only what cannot wait until then wakes it: on a quiet machine most misses wake it not at all.
    std::chrono::steady_clock::time_point m_timerLooksAt = kAwake;
    std::thread m_postedTimer;
    // Queued, parked and under way.
    int m_active = 0;
    int m_idleWorkers = 0;
    bool m_stopped = true;
    // Uncapped: the count of forwards caps the workers.
    CThreadSet m_workers{INT32_MAX};
};

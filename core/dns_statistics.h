#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct DnsRequest;

// A copy of the statistics block, taken under its lock.
struct DnsStatisticsSnapshot {
    std::uint32_t TotalRequests = 0;
    std::uint32_t DiscardRequests = 0;
    std::uint32_t CachedRequests = 0;
    std::uint32_t InternalErrorRequests = 0;
    std::uint32_t ForwardAttempts = 0;
    std::uint32_t ForwardRequests = 0;
    std::uint32_t TotalTimeSum = 0;
    std::uint32_t RemoteTimeSum = 0;
    std::uint32_t CachedTimeSum = 0;
    std::uint32_t ForwardTimeSum = 0;
    double SavedTime = 0.0;
    double AvgAllTime = 0.0;
    double AvgRemoteTime = 0.0;
    double AvgForwardTime = 0.0;
    double AvgCachedTime = 0.0;
};

// The proxy's request counters, time sums (whole seconds) and averages. All start at zero and
// are never reset. The counters are incremented from any thread; the sums and averages change
// only in UpdateStatistics, one request at a time under the block's lock, which readers take to
// copy the block. A reader may see a request's counter change before its sums do.
class CDnsStatistics {
public:
    CDnsStatistics() = default;
    CDnsStatistics(const CDnsStatistics&) = delete;
    CDnsStatistics& operator=(const CDnsStatistics&) = delete;

    // Every datagram of length above 0 that the receiving thread takes.
    std::atomic<std::uint32_t> TotalRequests{0};
    // Queries dropped without reply: their domain was in flight, or every forward slot was busy.
    std::atomic<std::uint32_t> DiscardRequests{0};
    // Queries answered from the cache (counted before the reply is sent).
    std::atomic<std::uint32_t> CachedRequests{0};
    // Requests that ended on a failure: no upstream reply in time, a socket failure, a forward
    // cancelled by a stop.
    std::atomic<std::uint32_t> InternalErrorRequests{0};
    // Queries forwarded upstream (cache misses).
    std::atomic<std::uint32_t> ForwardAttempts{0};
    // Upstream replies relayed to their client.
    std::atomic<std::uint32_t> ForwardRequests{0};

    // Folds the times of a finished request into the sums and recomputes the averages. Does
    // nothing without a request or when its received time is 0. A time earlier than the one it
    // is measured from (the clock was set back) adds nothing.
    void UpdateStatistics(const DnsRequest* request);

    [[nodiscard]] DnsStatisticsSnapshot Snapshot() const;

private:
    mutable std::mutex m_lock;
    std::uint32_t TotalTimeSum = 0;
    std::uint32_t RemoteTimeSum = 0;
    std::uint32_t CachedTimeSum = 0;
    std::uint32_t ForwardTimeSum = 0;
    double SavedTime = 0.0;
    double AvgAllTime = 0.0;
    double AvgRemoteTime = 0.0;
    double AvgForwardTime = 0.0;
    double AvgCachedTime = 0.0;
};

#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

// When one request passed each of its stages, in whole seconds since 1970; a stage it never
// reached keeps 0. The statistics are computed from these times.
struct DnsRequestTimes {
    // When the datagram or message was taken in.
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

// The request counters and time sums of the statistics block, declared once: the live block
// keeps each in an atomic, a snapshot in a plain number.
template <typename Count>
struct DnsStatisticsCounts {
    // Every datagram or message of length above 0 that the proxy takes in.
    Count TotalRequests{};
    // Queries dropped without reply: their question was in flight, every forward slot was busy,
    // or their sender is no client of this machine.
    Count DiscardRequests{};
    // Queries answered from the cache (counted before the reply is sent).
    Count CachedRequests{};
    // Requests that ended on a failure: no upstream reply in time, a socket failure, a forward
    // cancelled by a stop.
    Count InternalErrorRequests{};
    // Queries forwarded upstream (cache misses).
    Count ForwardAttempts{};
    // Upstream replies relayed to their client.
    Count ForwardRequests{};
    // Whole seconds, folded in by UpdateStatistics.
    Count TotalTimeSum{};
    Count RemoteTimeSum{};
    Count CachedTimeSum{};
    Count ForwardTimeSum{};
};

// A copy of the statistics block with the averages computed from it.
struct DnsStatisticsSnapshot : DnsStatisticsCounts<std::uint32_t> {
    double SavedTime = 0.0;
    double AvgAllTime = 0.0;
    double AvgRemoteTime = 0.0;
    double AvgForwardTime = 0.0;
    double AvgCachedTime = 0.0;
};

// The proxy's request counters, time sums (whole seconds) and averages. All start at zero and
// are never reset. Nothing here takes a lock, so that counting never makes one serving thread
// wait for another: the counters and sums are atomics, and each average is the sum divided by
// its counter as the latest UpdateStatistics found it, which is what the block would hold had
// every update run one after the other. A reader may see a request's counter change before its
// sums do.
class CDnsStatistics : public DnsStatisticsCounts<std::atomic<std::uint32_t>> {
public:
    CDnsStatistics() = default;
    CDnsStatistics(const CDnsStatistics&) = delete;
    CDnsStatistics& operator=(const CDnsStatistics&) = delete;

    // Folds the times of a finished request into the sums. Does nothing when its received time
    // is 0. A time earlier than the one it is measured from (the clock was set back) adds
    // nothing.
    void UpdateStatistics(const DnsRequestTimes& request);

    [[nodiscard]] DnsStatisticsSnapshot Snapshot() const;

private:
    // The counters as the latest UpdateStatistics read them: the divisors of the averages (only
    // the request counters of this block are used).
    DnsStatisticsCounts<std::atomic<std::uint32_t>> m_atLastUpdate;
};

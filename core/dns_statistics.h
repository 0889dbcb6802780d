#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>

// A moment of the monotonic clock: request stages are timed with it, so that setting the wall
// clock never makes a request look negative or days long.
using SteadyTime = std::chrono::steady_clock::time_point;

// When one request passed each of its stages. A stage it never reached keeps the clock's epoch.
struct DnsRequestTimes {
    // The wall clock, in whole seconds since 1970, when the request was taken in: the time the
    // cache keeps for hits and learned answers.
    std::time_t WallReceived = 0;
    // When the datagram or message was taken in.
    SteadyTime Received{};
    // When the answer from the cache was sent.
    SteadyTime CacheReplied{};
    // When the query was sent on upstream.
    SteadyTime Forwarded{};
    // When the upstream reply was relayed to the client.
    SteadyTime Answered{};
    // When the proxy was done with the request.
    SteadyTime Done{};
};

// The request counters and time sums of the statistics block, declared once: the live block
// keeps each in an atomic, a snapshot in a plain number. 64 bits: at a hundred thousand requests
// a second nothing wraps within a human lifetime, nor do the sums of microseconds.
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
    // Microseconds, folded in by UpdateStatistics.
    Count TotalTimeSum{};
    Count RemoteTimeSum{};
    Count CachedTimeSum{};
    Count ForwardTimeSum{};
};

// A copy of the statistics block with the averages computed from it, in seconds.
struct DnsStatisticsSnapshot : DnsStatisticsCounts<std::uint64_t> {
    double SavedTime = 0.0;
    double AvgAllTime = 0.0;
    double AvgRemoteTime = 0.0;
    double AvgForwardTime = 0.0;
    double AvgCachedTime = 0.0;
};

// What became of the queries of one minute. Failed and discarded queries got no reply, so they
// have no response time.
struct DnsMinuteFigures {
    std::uint64_t Cached = 0;
    std::uint64_t Forwarded = 0;
    std::uint64_t Failed = 0;
    std::uint64_t Discarded = 0;
    // Microseconds from taking the query in to its reply.
    std::uint64_t CachedMicros = 0;
    std::uint64_t ForwardedMicros = 0;

    bool operator==(const DnsMinuteFigures&) const = default;
};

inline constexpr int kMinutesKept = 60;
// The last hour, oldest minute first; the last is the minute under way.
using DnsLastHour = std::array<DnsMinuteFigures, kMinutesKept>;

// The proxy's request counters, time sums (microseconds) and averages, and the figures of each
// of the last sixty minutes. All start at zero and are never reset. Nothing here takes a lock, so
// that counting never makes one serving thread wait for another: the counters and sums are
// atomics, and each average is the sum divided by its counter as the latest UpdateStatistics
// found it, which is what the block would hold had every update run one after the other. A
// reader may see a request's counter change before its sums do.
//
// The minutes cost the counting nothing beyond a look at the minute: whoever counts calls
// MinuteAt first, and the first to see a new minute of the monotonic clock notes the totals at
// its start. A minute's figures are the totals at the start of the next noted minute (or now)
// less those at its own start.
class CDnsStatistics : public DnsStatisticsCounts<std::atomic<std::uint64_t>> {
public:
    CDnsStatistics() = default;
    CDnsStatistics(const CDnsStatistics&) = delete;
    CDnsStatistics& operator=(const CDnsStatistics&) = delete;

    // Folds the times of a finished request into the sums. Does nothing when it was never
    // received. A stage reached before the one it is measured from adds nothing.
    void UpdateStatistics(const DnsRequestTimes& request);

    // What is counted next happens at `now`: a new minute starts with the totals as they stand.
    // A moment of a minute already passed changes nothing.
    void MinuteAt(SteadyTime now) {
        const std::int64_t minute = MinuteOf(now);
        if (minute > m_currentMinute.load(std::memory_order_relaxed)) {
            StartMinute(minute);
        }
    }

    [[nodiscard]] DnsStatisticsSnapshot Snapshot() const;
    // The sixty minutes up to the one that holds `now`.
    [[nodiscard]] DnsLastHour LastHour(SteadyTime now) const;

private:
    // The totals at the start of a minute, and which minute: kNoMinute while none, kWriting
    // while they are being noted.
    struct MinuteStart {
        std::atomic<std::int64_t> Minute{kNoMinute};
        std::array<std::atomic<std::uint64_t>, 6> Totals{};
    };
    using Totals = std::array<std::uint64_t, 6>;
    static constexpr std::int64_t kNoMinute = INT64_MIN;
    static constexpr std::int64_t kWriting = INT64_MIN + 1;

    static std::int64_t MinuteOf(SteadyTime time) {
        return std::chrono::floor<std::chrono::minutes>(time.time_since_epoch()).count();
    }
    static std::size_t Slot(std::int64_t minute) {
        return static_cast<std::size_t>((minute % kMinutesKept + kMinutesKept) % kMinutesKept);
    }
    void StartMinute(std::int64_t minute);
    [[nodiscard]] Totals CurrentTotals() const;
    // The totals noted at the start of `minute`, unless none were (or they are being noted).
    [[nodiscard]] bool ReadStart(std::int64_t minute, Totals& totals) const;

    // The counters as the latest UpdateStatistics read them: the divisors of the averages (only
    // the request counters of this block are used).
    DnsStatisticsCounts<std::atomic<std::uint64_t>> m_atLastUpdate;
    std::atomic<std::int64_t> m_currentMinute{kNoMinute};
    std::array<MinuteStart, kMinutesKept> m_minutes{};
};

#include "core/dns_statistics.h"

namespace {

// The microseconds from `from` to `to`; 0 unless both were reached and `to` is later.
std::uint64_t MicrosBetween(SteadyTime from, SteadyTime to) {
    if (from == SteadyTime{} || to <= from) {
        return 0;
    }
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(to - from).count());
}

// A locked add costs even when it adds nothing, and a cached answer has no remote or forward time.
void Add(std::atomic<std::uint64_t>& sum, std::uint64_t micros) {
    if (micros != 0) {
        sum += micros;
    }
}

// Raises `divisor` to `value` unless a later update raised it further already: counters only
// grow, so the largest value read is the latest.
void RaiseTo(std::atomic<std::uint64_t>& divisor, std::uint64_t value) {
    std::uint64_t current = divisor.load();
    while (current < value && !divisor.compare_exchange_weak(current, value)) {
    }
}

// The average in seconds of a sum of microseconds; 0 while the divisor is.
double AverageSeconds(std::uint64_t micros, std::uint64_t divisor) {
    constexpr double kMicrosPerSecond = 1e6;
    return divisor == 0
               ? 0.0
               : static_cast<double>(micros) / kMicrosPerSecond / static_cast<double>(divisor);
}

// Where each figure of a minute stands among the totals.
enum TotalIndex { kCached, kForwarded, kFailed, kDiscarded, kCachedMicros, kForwardedMicros };

// What happened between two notes of the totals. A later note below an earlier one cannot come
// from counting; it would come from a note read while it changed, and shows as nothing.
DnsMinuteFigures Difference(const std::array<std::uint64_t, 6>& start,
                            const std::array<std::uint64_t, 6>& end) {
    std::array<std::uint64_t, 6> grown{};
    for (std::size_t i = 0; i < grown.size(); ++i) {
        grown[i] = end[i] > start[i] ? end[i] - start[i] : 0;
    }
    return {grown[kCached],    grown[kForwarded],    grown[kFailed],
            grown[kDiscarded], grown[kCachedMicros], grown[kForwardedMicros]};
}

}  // namespace

void CDnsStatistics::UpdateStatistics(const DnsRequestTimes& request) {
    if (request.Received == SteadyTime{}) {
        return;
    }
    Add(TotalTimeSum, MicrosBetween(request.Received, request.Done));
    Add(RemoteTimeSum, MicrosBetween(request.Forwarded, request.Answered));
    Add(CachedTimeSum, MicrosBetween(request.Received, request.CacheReplied));
    Add(ForwardTimeSum, MicrosBetween(request.Received, request.Answered));
    RaiseTo(m_atLastUpdate.TotalRequests, TotalRequests.load());
    RaiseTo(m_atLastUpdate.ForwardAttempts, ForwardAttempts.load());
    RaiseTo(m_atLastUpdate.ForwardRequests, ForwardRequests.load());
    RaiseTo(m_atLastUpdate.CachedRequests, CachedRequests.load());
}

DnsStatisticsSnapshot CDnsStatistics::Snapshot() const {
    DnsStatisticsSnapshot copy;
    copy.TotalRequests = TotalRequests.load();
    copy.DiscardRequests = DiscardRequests.load();
    copy.CachedRequests = CachedRequests.load();
    copy.InternalErrorRequests = InternalErrorRequests.load();
    copy.ForwardAttempts = ForwardAttempts.load();
    copy.ForwardRequests = ForwardRequests.load();
    copy.TotalTimeSum = TotalTimeSum.load();
    copy.RemoteTimeSum = RemoteTimeSum.load();
    copy.CachedTimeSum = CachedTimeSum.load();
    copy.ForwardTimeSum = ForwardTimeSum.load();

    const std::uint64_t cached = m_atLastUpdate.CachedRequests.load();
    const std::uint64_t forwarded = m_atLastUpdate.ForwardRequests.load();
    copy.AvgAllTime = AverageSeconds(copy.TotalTimeSum, m_atLastUpdate.TotalRequests.load());
    copy.AvgRemoteTime = AverageSeconds(copy.RemoteTimeSum, m_atLastUpdate.ForwardAttempts.load());
    copy.AvgForwardTime = AverageSeconds(copy.ForwardTimeSum, forwarded);
    copy.AvgCachedTime = AverageSeconds(copy.CachedTimeSum, cached);
    const double saved = (copy.AvgForwardTime - copy.AvgCachedTime) *
                         (static_cast<double>(cached) + static_cast<double>(forwarded));
    copy.SavedTime = saved < 0.0 ? 0.0 : saved;
    return copy;
}

CDnsStatistics::Totals CDnsStatistics::CurrentTotals() const {
    Totals totals{};
    totals[kCached] = CachedRequests.load();
    totals[kForwarded] = ForwardRequests.load();
    totals[kFailed] = InternalErrorRequests.load();
    totals[kDiscarded] = DiscardRequests.load();
    totals[kCachedMicros] = CachedTimeSum.load();
    totals[kForwardedMicros] = ForwardTimeSum.load();
    return totals;
}

void CDnsStatistics::StartMinute(std::int64_t minute) {
    std::int64_t current = m_currentMinute.load();
    // Only the thread that moves the minute on notes it; a thread that saw an older minute and
    // lost the race has nothing to do.
    do {
        if (minute <= current) {
            return;
        }
    } while (!m_currentMinute.compare_exchange_weak(current, minute));
    MinuteStart& start = m_minutes[Slot(minute)];
    start.Minute.store(kWriting);
    const Totals totals = CurrentTotals();
    for (std::size_t i = 0; i < totals.size(); ++i) {
        start.Totals[i].store(totals[i]);
    }
    start.Minute.store(minute);
}

bool CDnsStatistics::ReadStart(std::int64_t minute, Totals& totals) const {
    const MinuteStart& start = m_minutes[Slot(minute)];
    if (start.Minute.load() != minute) {
        return false;
    }
    for (std::size_t i = 0; i < totals.size(); ++i) {
        totals[i] = start.Totals[i].load();
    }
    // Noted afresh meanwhile (an hour later): these totals belong to another minute.
    return start.Minute.load() == minute;
}

DnsLastHour CDnsStatistics::LastHour(SteadyTime now) const {
    DnsLastHour hour{};
    const std::int64_t last = MinuteOf(now);
    // From the newest minute back: each noted minute ends where the next noted one starts, the
    // newest where the totals stand now. A minute never noted had nothing counted in it.
    Totals end = CurrentTotals();
    for (int i = kMinutesKept - 1; i >= 0; --i) {
        Totals start{};
        if (ReadStart(last - (kMinutesKept - 1 - i), start)) {
            hour[static_cast<std::size_t>(i)] = Difference(start, end);
            end = start;
        }
    }
    return hour;
}

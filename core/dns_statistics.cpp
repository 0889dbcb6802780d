#include "core/dns_statistics.h"

namespace {

// The seconds from `from` to `to`, or 0 when `to` is not later.
std::uint32_t SecondsBetween(std::time_t from, std::time_t to) {
    return to > from ? static_cast<std::uint32_t>(to - from) : 0;
}

// Raises `divisor` to `value` unless a later update raised it further already: counters only
// grow, so the largest value read is the latest.
void RaiseTo(std::atomic<std::uint32_t>& divisor, std::uint32_t value) {
    std::uint32_t current = divisor.load();
    while (current < value && !divisor.compare_exchange_weak(current, value)) {
    }
}

// An average whose divisor is still 0 stays 0.
double Average(std::uint32_t sum, std::uint32_t divisor) {
    return divisor == 0 ? 0.0 : static_cast<double>(sum) / divisor;
}

}  // namespace

void CDnsStatistics::UpdateStatistics(const DnsRequestTimes& request) {
    if (request.Received == 0) {
        return;
    }
    TotalTimeSum += SecondsBetween(request.Received, request.Done);
    if (request.Answered > request.Forwarded) {
        RemoteTimeSum += SecondsBetween(request.Forwarded, request.Answered);
    }
    if (request.CacheReplied > request.Received) {
        CachedTimeSum += SecondsBetween(request.Received, request.CacheReplied);
    }
    if (request.Answered > request.Received) {
        ForwardTimeSum += SecondsBetween(request.Received, request.Answered);
    }
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

    const std::uint32_t cached = m_atLastUpdate.CachedRequests.load();
    const std::uint32_t forwarded = m_atLastUpdate.ForwardRequests.load();
    copy.AvgAllTime = Average(copy.TotalTimeSum, m_atLastUpdate.TotalRequests.load());
    copy.AvgRemoteTime = Average(copy.RemoteTimeSum, m_atLastUpdate.ForwardAttempts.load());
    copy.AvgForwardTime = Average(copy.ForwardTimeSum, forwarded);
    copy.AvgCachedTime = Average(copy.CachedTimeSum, cached);
    const double saved = (copy.AvgForwardTime - copy.AvgCachedTime) *
                         (static_cast<double>(cached) + static_cast<double>(forwarded));
    copy.SavedTime = saved < 0.0 ? 0.0 : saved;
    return copy;
}

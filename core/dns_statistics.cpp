#include "core/dns_statistics.h"

#include <ctime>

#include "core/dns_socket.h"

namespace {

// The seconds from `from` to `to`, or 0 when `to` is not later.
std::uint32_t SecondsBetween(std::time_t from, std::time_t to) {
    return to > from ? static_cast<std::uint32_t>(to - from) : 0;
}

}  // namespace

void CDnsStatistics::UpdateStatistics(const DnsRequest* request) {
    if (request == nullptr || request->Received == 0) {
        return;
    }
    const std::lock_guard guard(m_lock);
    TotalTimeSum += SecondsBetween(request->Received, request->Done);
    if (request->Answered > request->Forwarded) {
        RemoteTimeSum += SecondsBetween(request->Forwarded, request->Answered);
    }
    if (request->CacheReplied > request->Received) {
        CachedTimeSum += SecondsBetween(request->Received, request->CacheReplied);
    }
    if (request->Answered > request->Received) {
        ForwardTimeSum += SecondsBetween(request->Received, request->Answered);
    }

    const std::uint32_t total = TotalRequests.load();
    const std::uint32_t attempts = ForwardAttempts.load();
    const std::uint32_t forwarded = ForwardRequests.load();
    const std::uint32_t cached = CachedRequests.load();
    // An average whose divisor is still 0 keeps its value.
    if (total != 0) {
        AvgAllTime = static_cast<double>(TotalTimeSum) / total;
    }
    if (attempts != 0) {
        AvgRemoteTime = static_cast<double>(RemoteTimeSum) / attempts;
    }
    if (forwarded != 0) {
        AvgForwardTime = static_cast<double>(ForwardTimeSum) / forwarded;
    }
    if (cached != 0) {
        AvgCachedTime = static_cast<double>(CachedTimeSum) / cached;
    }
    SavedTime = (AvgForwardTime - AvgCachedTime) *
                (static_cast<double>(cached) + static_cast<double>(forwarded));
    if (SavedTime < 0.0) {
        SavedTime = 0.0;
    }
}

DnsStatisticsSnapshot CDnsStatistics::Snapshot() const {
    const std::lock_guard guard(m_lock);
    DnsStatisticsSnapshot copy;
    copy.TotalRequests = TotalRequests.load();
    copy.DiscardRequests = DiscardRequests.load();
    copy.CachedRequests = CachedRequests.load();
    copy.InternalErrorRequests = InternalErrorRequests.load();
    copy.ForwardAttempts = ForwardAttempts.load();
    copy.ForwardRequests = ForwardRequests.load();
    copy.TotalTimeSum = TotalTimeSum;
    copy.RemoteTimeSum = RemoteTimeSum;
    copy.CachedTimeSum = CachedTimeSum;
    copy.ForwardTimeSum = ForwardTimeSum;
    copy.SavedTime = SavedTime;
    copy.AvgAllTime = AvgAllTime;
    copy.AvgRemoteTime = AvgRemoteTime;
    copy.AvgForwardTime = AvgForwardTime;
    copy.AvgCachedTime = AvgCachedTime;
    return copy;
}

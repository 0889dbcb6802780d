// The statistics block with requests made by hand: the counters are bumped as the proxy bumps
// them and the request times are chosen, so no test waits for the clock.

#include "core/dns_statistics.h"

#include <gtest/gtest.h>

#include "core/dns_socket.h"

namespace {

constexpr std::time_t kT = 1'700'000'000;

// Counts and folds in a request answered from the cache.
void Cached(CDnsStatistics& stats, std::time_t received, std::time_t replied) {
    DnsRequest request;
    request.Received = received;
    request.CacheReplied = replied;
    request.Done = replied;
    ++stats.TotalRequests;
    ++stats.CachedRequests;
    stats.UpdateStatistics(&request);
}

// Counts and folds in a forwarded request that was relayed.
void Forwarded(CDnsStatistics& stats, std::time_t received, std::time_t forwarded,
               std::time_t answered) {
    DnsRequest request;
    request.Received = received;
    request.Forwarded = forwarded;
    request.Answered = answered;
    request.Done = answered;
    ++stats.TotalRequests;
    ++stats.ForwardAttempts;
    ++stats.ForwardRequests;
    stats.UpdateStatistics(&request);
}

TEST(DnsStatistics, ACachedRequestWithinOneSecondAddsNoTime) {
    CDnsStatistics stats;
    Cached(stats, kT, kT);
    const DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.TotalRequests, 1u);
    EXPECT_EQ(s.CachedRequests, 1u);
    EXPECT_EQ(s.CachedTimeSum, 0u);
    EXPECT_DOUBLE_EQ(s.AvgCachedTime, 0.0);
    EXPECT_DOUBLE_EQ(s.AvgAllTime, 0.0);
    EXPECT_DOUBLE_EQ(s.SavedTime, 0.0);
}

TEST(DnsStatistics, ForwardTimesAndATimedOutForwardThatOnlyGrowsTheDivisor) {
    CDnsStatistics stats;
    Cached(stats, kT, kT);
    Forwarded(stats, kT, kT, kT + 1);
    DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.ForwardTimeSum, 1u);
    EXPECT_EQ(s.RemoteTimeSum, 1u);
    EXPECT_DOUBLE_EQ(s.AvgForwardTime, 1.0);
    EXPECT_DOUBLE_EQ(s.AvgAllTime, 0.5);
    // (AvgForwardTime - AvgCachedTime) x (cached + forwarded)
    EXPECT_DOUBLE_EQ(s.SavedTime, 2.0);

    // A forward decided in the second of its answer adds no remote time.
    Forwarded(stats, kT + 5, kT + 6, kT + 6);
    EXPECT_EQ(stats.Snapshot().RemoteTimeSum, 1u);

    // A forward that timed out is counted but folds in nothing; the next request brings the
    // lower average.
    ++stats.TotalRequests;
    ++stats.ForwardAttempts;
    ++stats.InternalErrorRequests;
    EXPECT_DOUBLE_EQ(stats.Snapshot().AvgRemoteTime, 0.5);
    Cached(stats, kT + 7, kT + 7);
    s = stats.Snapshot();
    EXPECT_EQ(s.RemoteTimeSum, 1u);
    EXPECT_DOUBLE_EQ(s.AvgRemoteTime, 1.0 / 3.0);
}

TEST(DnsStatistics, SavedTimeNeverGoesBelowZeroNorASumBackwards) {
    CDnsStatistics stats;
    Forwarded(stats, kT, kT, kT);
    Cached(stats, kT, kT + 3);
    DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_DOUBLE_EQ(s.AvgCachedTime, 3.0);
    EXPECT_DOUBLE_EQ(s.SavedTime, 0.0);

    // The clock set back a minute during a request adds nothing instead of wrapping the sum.
    Cached(stats, kT + 10, kT - 50);
    s = stats.Snapshot();
    EXPECT_EQ(s.TotalTimeSum, 3u);
    EXPECT_EQ(s.CachedTimeSum, 3u);
}

TEST(DnsStatistics, NoRequestChangesNothingAndAnAverageWithoutDivisorKeepsItsValue) {
    CDnsStatistics stats;
    stats.UpdateStatistics(nullptr);
    DnsRequest unreceived;
    unreceived.Done = kT;
    stats.UpdateStatistics(&unreceived);
    EXPECT_EQ(stats.Snapshot().TotalTimeSum, 0u);

    // Folded in before any counter moved: the sum grows, every average stays 0.
    DnsRequest early;
    early.Received = kT;
    early.Answered = kT + 4;
    early.Done = kT + 4;
    stats.UpdateStatistics(&early);
    const DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.ForwardTimeSum, 4u);
    EXPECT_DOUBLE_EQ(s.AvgForwardTime, 0.0);
    EXPECT_DOUBLE_EQ(s.AvgAllTime, 0.0);
}

}  // namespace

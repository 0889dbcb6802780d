// Requests made by hand, bumped as the proxy bumps them, at chosen times: nothing waits.

#include "core/dns_statistics.h"

#include <gtest/gtest.h>

#include "core/statistics_text.h"

namespace {

constexpr std::time_t kT = 1'700'000'000;

// Counts and folds in a request answered from the cache at `replied`, or, when `answered` is
// given, one forwarded at `replied` and relayed at `answered`.
void Fold(CDnsStatistics& stats, std::time_t received, std::time_t replied,
          std::time_t answered = 0) {
    DnsRequestTimes request;
    request.Received = received;
    ++stats.TotalRequests;
    if (answered == 0) {
        ++stats.CachedRequests;
        request.CacheReplied = request.Done = replied;
    } else {
        ++stats.ForwardAttempts;
        ++stats.ForwardRequests;
        request.Forwarded = replied;
        request.Answered = request.Done = answered;
    }
    stats.UpdateStatistics(request);
}

TEST(DnsStatistics, AveragesAndSavedTimeAndATimedOutForwardThatOnlyGrowsTheDivisor) {
    CDnsStatistics stats;
    Fold(stats, kT, kT);
    EXPECT_DOUBLE_EQ(stats.Snapshot().AvgAllTime, 0.0);
    Fold(stats, kT, kT, kT + 1);
    DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.ForwardTimeSum, 1u);
    EXPECT_EQ(s.RemoteTimeSum, 1u);
    EXPECT_DOUBLE_EQ(s.AvgForwardTime, 1.0);
    EXPECT_DOUBLE_EQ(s.AvgCachedTime, 0.0);
    EXPECT_DOUBLE_EQ(s.AvgAllTime, 0.5);
    // (AvgForwardTime - AvgCachedTime) x (cached + forwarded)
    EXPECT_DOUBLE_EQ(s.SavedTime, 2.0);

    // A forward decided in the second of its answer adds no remote time.
    Fold(stats, kT + 5, kT + 6, kT + 6);
    EXPECT_EQ(stats.Snapshot().RemoteTimeSum, 1u);

    // A forward that timed out is counted but folds in nothing; the next request brings the
    // lower average.
    ++stats.TotalRequests;
    ++stats.ForwardAttempts;
    ++stats.InternalErrorRequests;
    EXPECT_DOUBLE_EQ(stats.Snapshot().AvgRemoteTime, 0.5);
    Fold(stats, kT + 7, kT + 7);
    s = stats.Snapshot();
    EXPECT_EQ(s.RemoteTimeSum, 1u);
    EXPECT_DOUBLE_EQ(s.AvgRemoteTime, 1.0 / 3.0);
}

TEST(DnsStatistics, NothingGoesBelowZeroWrapsOrDividesByZero) {
    CDnsStatistics stats;
    DnsRequestTimes unreceived;
    unreceived.Done = kT;
    stats.UpdateStatistics(unreceived);
    EXPECT_EQ(stats.Snapshot().TotalTimeSum, 0u);

    // Folded in before any counter moved: the sum grows, every average stays 0.
    DnsRequestTimes early;
    early.Received = kT;
    early.Answered = early.Done = kT + 4;
    stats.UpdateStatistics(early);
    DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.ForwardTimeSum, 4u);
    EXPECT_DOUBLE_EQ(s.AvgForwardTime, 0.0);
    EXPECT_DOUBLE_EQ(s.AvgAllTime, 0.0);

    // Cached answers slower than forwarded ones save nothing rather than a negative time.
    CDnsStatistics slowCache;
    Fold(slowCache, kT, kT, kT);
    Fold(slowCache, kT, kT + 3);
    s = slowCache.Snapshot();
    EXPECT_DOUBLE_EQ(s.AvgCachedTime, 3.0);
    EXPECT_DOUBLE_EQ(s.SavedTime, 0.0);

    // The clock set back a minute during a request adds nothing instead of wrapping the sum.
    Fold(slowCache, kT + 10, kT - 50);
    EXPECT_EQ(slowCache.Snapshot().TotalTimeSum, 3u);
    EXPECT_EQ(slowCache.Snapshot().CachedTimeSum, 3u);
}

TEST(StatisticsText, RunTimeShowsWholeDaysThenTwoDigitFields) {
    EXPECT_EQ(FormatRunTime(0), "0 days 00:00:00");
    EXPECT_EQ(FormatRunTime(86400 + 3723), "1 days 01:02:03");
    EXPECT_EQ(FormatRunTime(400LL * 86400 + 86399), "400 days 23:59:59");
    EXPECT_EQ(FormatRunTime(-5), "0 days 00:00:00");
}

}  // namespace

// Requests made by hand, bumped as the proxy bumps them, at set moments of the monotonic clock:
// nothing waits.

#include "core/dns_statistics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/statistics_text.h"

namespace {

using std::chrono::microseconds;
using std::chrono::minutes;

// An hour after the clock's epoch, which stands for a stage never reached.
const SteadyTime kT = SteadyTime{} + std::chrono::hours(1);

// Counts and folds in a request received at `received`: answered from the cache after `cached`,
// or, when `remote` is given, forwarded after `cached` and answered by the upstream `remote`
// later, as the proxy counts them.
void Fold(CDnsStatistics& stats, SteadyTime received, microseconds cached,
          microseconds remote = microseconds(-1)) {
    DnsRequestTimes request;
    request.Received = received;
    stats.MinuteAt(received);
    ++stats.TotalRequests;
    if (remote < microseconds(0)) {
        ++stats.CachedRequests;
        request.CacheReplied = request.Done = received + cached;
    } else {
        ++stats.ForwardAttempts;
        ++stats.ForwardRequests;
        request.Forwarded = received + cached;
        request.Answered = request.Done = received + cached + remote;
    }
    stats.UpdateStatistics(request);
}

TEST(DnsStatistics, AveragesAndSavedTimeToTheMicrosecond) {
    CDnsStatistics stats;
    Fold(stats, kT, microseconds(30));
    Fold(stats, kT, microseconds(50));
    Fold(stats, kT, microseconds(40), microseconds(20'000));
    Fold(stats, kT, microseconds(60), microseconds(21'960));
    DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.CachedTimeSum, 80u);
    EXPECT_EQ(s.ForwardTimeSum, 42'060u);
    EXPECT_EQ(s.RemoteTimeSum, 41'960u);
    EXPECT_EQ(s.TotalTimeSum, 42'140u);
    EXPECT_DOUBLE_EQ(s.AvgCachedTime, 40e-6);
    EXPECT_DOUBLE_EQ(s.AvgForwardTime, 21'030e-6);
    EXPECT_DOUBLE_EQ(s.AvgRemoteTime, 20'980e-6);
    EXPECT_DOUBLE_EQ(s.AvgAllTime, 10'535e-6);
    // (AvgForwardTime - AvgCachedTime) x (cached + forwarded)
    EXPECT_DOUBLE_EQ(s.SavedTime, (21'030e-6 - 40e-6) * 4);
    const std::vector<StatisticsLine> lines = RequestStatisticsLines(s);
    EXPECT_EQ(lines[5], StatisticsLine("Saved Time(s)", "0.08"));
    EXPECT_EQ(lines[7], StatisticsLine("Avg Respond time for forward requests(s)", "0.0210"));
    EXPECT_EQ(lines[9], StatisticsLine("Avg Respond time of remote DNS server(s)", "0.0210"));

    // A forward that timed out is counted but folds in nothing; the next request brings the
    // lower average.
    ++stats.TotalRequests;
    ++stats.ForwardAttempts;
    ++stats.InternalErrorRequests;
    Fold(stats, kT, microseconds(10));
    EXPECT_DOUBLE_EQ(stats.Snapshot().AvgRemoteTime, 41'960e-6 / 3);
}

TEST(DnsStatistics, NothingGoesBelowZeroOrDividesByZero) {
    CDnsStatistics stats;
    DnsRequestTimes unreceived;
    unreceived.Done = kT;
    stats.UpdateStatistics(unreceived);
    EXPECT_EQ(stats.Snapshot().TotalTimeSum, 0u);

    // Folded in before any counter moved: the sum grows, every average stays 0.
    DnsRequestTimes early;
    early.Received = kT;
    early.Answered = early.Done = kT + microseconds(4);
    stats.UpdateStatistics(early);
    DnsStatisticsSnapshot s = stats.Snapshot();
    EXPECT_EQ(s.ForwardTimeSum, 4u);
    EXPECT_DOUBLE_EQ(s.AvgForwardTime, 0.0);
    EXPECT_DOUBLE_EQ(s.AvgAllTime, 0.0);

    // Cached answers slower than forwarded ones save nothing rather than a negative time.
    CDnsStatistics slowCache;
    Fold(slowCache, kT, microseconds(0), microseconds(0));
    Fold(slowCache, kT, microseconds(3));
    s = slowCache.Snapshot();
    EXPECT_DOUBLE_EQ(s.AvgCachedTime, 3e-6);
    EXPECT_DOUBLE_EQ(s.SavedTime, 0.0);

    // A stage stamped before the one it is measured from adds nothing instead of wrapping.
    Fold(slowCache, kT, microseconds(-50));
    EXPECT_EQ(slowCache.Snapshot().CachedTimeSum, 3u);
}

TEST(DnsStatistics, TheLastHourMinuteByMinute) {
    CDnsStatistics stats;
    const SteadyTime start = kT + std::chrono::seconds(10);
    Fold(stats, start, microseconds(30));
    Fold(stats, start, microseconds(40), microseconds(20'000));
    // Two minutes later, nothing in between.
    Fold(stats, start + minutes(2), microseconds(50));
    stats.MinuteAt(start + minutes(2));
    ++stats.InternalErrorRequests;
    ++stats.DiscardRequests;

    DnsLastHour hour = stats.LastHour(start + minutes(2));
    EXPECT_EQ(hour[57], (DnsMinuteFigures{1, 1, 0, 0, 30, 20'040}));
    EXPECT_EQ(hour[58], DnsMinuteFigures{});
    EXPECT_EQ(hour[59], (DnsMinuteFigures{1, 0, 1, 1, 50, 0}));
    // A count that comes late from a minute gone by is the current minute's.
    Fold(stats, start, microseconds(20));
    EXPECT_EQ(stats.LastHour(start + minutes(2))[59].Cached, 2u);

    // An hour on, the first minute has left the window; the minute under way, whose slot the
    // first one held, is quiet until something is counted in it.
    hour = stats.LastHour(start + minutes(60));
    EXPECT_EQ(hour[0], DnsMinuteFigures{});
    EXPECT_EQ(hour[1].Cached, 2u);
    EXPECT_EQ(hour[59], DnsMinuteFigures{});
    Fold(stats, start + minutes(61), microseconds(70));
    hour = stats.LastHour(start + minutes(61));
    EXPECT_EQ(hour[59], (DnsMinuteFigures{1, 0, 0, 0, 70, 0}));
    EXPECT_EQ(hour[0].Cached, 2u);
}

// Under TSan: minutes moved on by several counting threads while the window reads them.
TEST(DnsStatistics, CountingThreadsAndAReaderShareTheMinutes) {
    CDnsStatistics stats;
    constexpr int kPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) {
                Fold(stats, kT + std::chrono::seconds(i / 20), microseconds(5));
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            (void)stats.LastHour(kT + std::chrono::seconds(i / 2));
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::uint64_t cached = 0;
    for (const DnsMinuteFigures& minute : stats.LastHour(kT + minutes(2))) {
        cached += minute.Cached;
    }
    EXPECT_EQ(cached, 4u * kPerThread);
}

TEST(StatisticsText, RunTimeShowsWholeDaysThenTwoDigitFields) {
    EXPECT_EQ(FormatRunTime(0), "0 days 00:00:00");
    EXPECT_EQ(FormatRunTime(86400 + 3723), "1 days 01:02:03");
    EXPECT_EQ(FormatRunTime(400LL * 86400 + 86399), "400 days 23:59:59");
    EXPECT_EQ(FormatRunTime(-5), "0 days 00:00:00");
    EXPECT_EQ(FormatMilliseconds(microseconds(250)), "0.25 ms");
    EXPECT_EQ(FormatMilliseconds(microseconds(21'349)), "21.3 ms");
}

}  // namespace

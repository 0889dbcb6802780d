#include "core/statistics_text.h"

#include <gtest/gtest.h>

namespace {

TEST(StatisticsText, RunTimeShowsWholeDaysThenTwoDigitFields) {
    EXPECT_EQ(FormatRunTime(0), "0 days 00:00:00");
    EXPECT_EQ(FormatRunTime(3723), "0 days 01:02:03");
    EXPECT_EQ(FormatRunTime(86400 + 3661), "1 days 01:01:01");
    EXPECT_EQ(FormatRunTime(400LL * 86400 + 86399), "400 days 23:59:59");
    EXPECT_EQ(FormatRunTime(-5), "0 days 00:00:00");
}

TEST(StatisticsText, FixedPointRoundsToTheGivenDecimals) {
    EXPECT_EQ(FormatFixed(0.0, 2), "0.00");
    EXPECT_EQ(FormatFixed(0.0, 4), "0.0000");
    EXPECT_EQ(FormatFixed(1.0 / 3.0, 4), "0.3333");
    EXPECT_EQ(FormatFixed(2.0 / 3.0, 2), "0.67");
}

TEST(StatisticsText, RequestLinesUseTheWindowsLabelsInOrder) {
    DnsStatisticsSnapshot statistics;
    statistics.TotalRequests = 7;
    statistics.DiscardRequests = 1;
    statistics.CachedRequests = 4;
    statistics.ForwardRequests = 2;
    statistics.InternalErrorRequests = 0;
    statistics.SavedTime = 1.5;
    statistics.AvgAllTime = 0.25;
    statistics.AvgForwardTime = 1.0;
    statistics.AvgCachedTime = 0.0;
    statistics.AvgRemoteTime = 0.5;
    const std::vector<StatisticsLine> expected{
        {"Total Requests", "7"},
        {"Discard Requests", "1"},
        {"Cached Requests", "4"},
        {"Forward Requests", "2"},
        {"Internal Error Requests", "0"},
        {"Saved Time(s)", "1.50"},
        {"Avg Respond time for all requests(s)", "0.2500"},
        {"Avg Respond time for forward requests(s)", "1.0000"},
        {"Avg Respond time for cached requests(s)", "0.0000"},
        {"Avg Respond time of remote DNS server(s)", "0.5000"},
    };
    EXPECT_EQ(RequestStatisticsLines(statistics), expected);
}

}  // namespace

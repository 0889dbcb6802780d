#include "core/statistics_text.h"

#include <gtest/gtest.h>

namespace {

TEST(StatisticsText, RunTimeShowsWholeDaysThenTwoDigitFields) {
    EXPECT_EQ(FormatRunTime(0), "0 days 00:00:00");
    EXPECT_EQ(FormatRunTime(86400 + 3723), "1 days 01:02:03");
    EXPECT_EQ(FormatRunTime(400LL * 86400 + 86399), "400 days 23:59:59");
    EXPECT_EQ(FormatRunTime(-5), "0 days 00:00:00");
}

TEST(StatisticsText, EachValueStandsOnItsOwnLineWithItsDecimals) {
    DnsStatisticsSnapshot statistics;
    statistics.TotalRequests = 7;
    statistics.DiscardRequests = 1;
    statistics.CachedRequests = 4;
    statistics.ForwardRequests = 2;
    statistics.InternalErrorRequests = 3;
    statistics.SavedTime = 2.0 / 3.0;
    statistics.AvgAllTime = 0.25;
    statistics.AvgForwardTime = 1.0;
    statistics.AvgCachedTime = 1.0 / 3.0;
    statistics.AvgRemoteTime = 0.5;
    std::vector<std::string> values;
    for (const StatisticsLine& line : RequestStatisticsLines(statistics)) {
        values.push_back(line.second);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"7", "1", "4", "2", "3", "0.67", "0.2500", "1.0000",
                                                "0.3333", "0.5000"}));
}

}  // namespace

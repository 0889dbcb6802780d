#include "core/statistics_text.h"

#include <array>
#include <cstdio>

std::string FormatFixed(double value, int decimals) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
    return text.data();
}

std::string FormatRunTime(std::int64_t seconds) {
    if (seconds < 0) {
        seconds = 0;
    }
    constexpr std::int64_t kMinute = 60;
    constexpr std::int64_t kHour = 60 * kMinute;
    constexpr std::int64_t kDay = 24 * kHour;
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%lld days %02lld:%02lld:%02lld",
                  static_cast<long long>(seconds / kDay),
                  static_cast<long long>(seconds % kDay / kHour),
                  static_cast<long long>(seconds % kHour / kMinute),
                  static_cast<long long>(seconds % kMinute));
    return text.data();
}

std::string FormatMilliseconds(std::chrono::microseconds duration) {
    constexpr double kMicrosPerMilli = 1000.0;
    constexpr double kTwoDecimalsBelow = 10.0;
    const double millis = static_cast<double>(duration.count()) / kMicrosPerMilli;
    return FormatFixed(millis, millis < kTwoDecimalsBelow ? 2 : 1) + " ms";
}

std::vector<StatisticsLine> RequestStatisticsLines(const DnsStatisticsSnapshot& statistics) {
    constexpr int kSavedTimeDecimals = 2;
    constexpr int kAverageDecimals = 4;
    return {
        {"Total Requests", std::to_string(statistics.TotalRequests)},
        {"Discard Requests", std::to_string(statistics.DiscardRequests)},
        {"Cached Requests", std::to_string(statistics.CachedRequests)},
        {"Forward Requests", std::to_string(statistics.ForwardRequests)},
        {"Internal Error Requests", std::to_string(statistics.InternalErrorRequests)},
        {"Saved Time(s)", FormatFixed(statistics.SavedTime, kSavedTimeDecimals)},
        {"Avg Respond time for all requests(s)",
         FormatFixed(statistics.AvgAllTime, kAverageDecimals)},
        {"Avg Respond time for forward requests(s)",
         FormatFixed(statistics.AvgForwardTime, kAverageDecimals)},
        {"Avg Respond time for cached requests(s)",
         FormatFixed(statistics.AvgCachedTime, kAverageDecimals)},
        {"Avg Respond time of remote DNS server(s)",
         FormatFixed(statistics.AvgRemoteTime, kAverageDecimals)},
    };
}

StatisticsLine UpstreamServerLine(const UpstreamServerFigures& server) {
    std::string value = server.Answering ? "answering" : "silent";
    if (server.Encrypted) {
        value += ", encrypted";
    }
    value += ", " + std::to_string(server.Queries) + " queries, " + std::to_string(server.Answers) +
             " answers, " + std::to_string(server.Timeouts) + " time-outs, " +
             std::to_string(server.Errors) + " errors";
    if (server.Answers > 0) {
        value += ", " + FormatMilliseconds(server.RoundTripSum / server.Answers) + " round trip";
    }
    if (!server.LastFailure.empty()) {
        value += ", " + server.LastFailure;
    }
    return {server.Text, value};
}

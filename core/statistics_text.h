#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/dns_statistics.h"
#include "core/upstream_server.h"

// The proxy's statistics as the user reads them: the labels and value formats of the statistics
// window, shared by the window and the headless daemon's summary.

using StatisticsLine = std::pair<std::string, std::string>;

// The request counters and response times, in display order: "Total Requests" to
// "Avg Respond time of remote DNS server(s)", counts in decimal, the saved time with 2 decimals
// and the averages with 4, rounded.
std::vector<StatisticsLine> RequestStatisticsLines(const DnsStatisticsSnapshot& statistics);

// A value with exactly `decimals` decimals, rounded.
std::string FormatFixed(double value, int decimals);

// A duration in milliseconds, with 2 decimals below 10 ms and 1 above ("0.25 ms", "21.3 ms").
std::string FormatMilliseconds(std::chrono::microseconds duration);

// A running time as "%D days %H:%M:%S": whole days without leading zeros, then hours, minutes
// and seconds with two digits each ("0 days 01:02:03"). A negative time (the clock was set
// back) shows as 0 days 00:00:00.
std::string FormatRunTime(std::int64_t seconds);

// One upstream server as the user reads it: its text as label; as value whether it answers,
// whether it is encrypted, its counts, the average round trip of its answers and why its last
// query over HTTPS failed ("answering, encrypted, 12 queries, 11 answers, 1 time-outs, 0 errors,
// 21.3 ms round trip").
StatisticsLine UpstreamServerLine(const UpstreamServerFigures& server);

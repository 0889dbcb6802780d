#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The command line of quillforthd:
//     quillforthd [--listen PORT] [--upstream ADDRESS[:PORT]] [--cache FILE] [--allow-any-client]
struct DaemonOptions {
    std::uint16_t ListenPort = 53;
    // A dotted quad; the fixed public DNS server unless given.
    std::string UpstreamAddress;
    std::uint16_t UpstreamPort = 53;
    std::string CacheFile = "DnsItem.csv";
    // Answer every client, not only those on loopback and the machine's attached networks.
    bool AllowAnyClient = false;
};

// The options, or none with `error` set to a one-line reason. The arguments exclude the
// program's name.
std::optional<DaemonOptions> ParseDaemonOptions(const std::vector<std::string>& arguments,
                                                std::string& error);

inline constexpr const char* kDaemonUsage =
    "usage: quillforthd [--listen PORT] [--upstream ADDRESS[:PORT]] [--cache FILE] "
    "[--allow-any-client]\n";

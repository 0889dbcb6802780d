#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/client_filter.h"
#include "net/socket_address.h"

// The command line of quillforthd:
//     quillforthd [--listen PORT] [--upstream SERVER]... [--cache FILE] [--save-seconds SECONDS]
//                 [--allow-local-network] [--allow-any-client]
struct DaemonOptions {
    std::uint16_t ListenPort = 53;
    // The upstream servers in order, as CUpstreamSettings::SetServers takes them; the fixed
    // public DNS server unless one is given.
    std::vector<std::string> Upstreams;
    std::string CacheFile = "DnsItem.csv";
    // The machine itself unless told to answer its attached networks or anyone (the wider of
    // the two when both are given).
    ClientScope Clients = ClientScope::kMachine;
    // How long after a change the cache file is saved by itself, as the program does.
    unsigned SaveSeconds = 300;
};

// The options, or none with `error` set to a one-line reason. The arguments exclude the
// program's name. An upstream server that is not an address, or that is this proxy itself
// (port 53 of a loopback address or of one of `machine`'s addresses), is an error.
std::optional<DaemonOptions> ParseDaemonOptions(const std::vector<std::string>& arguments,
                                                std::span<const CSocketAddress> machine,
                                                std::string& error);

// The longest save period: a day.
inline constexpr unsigned kMaxSaveSeconds = 86400;

inline constexpr const char* kDaemonUsage =
    "usage: quillforthd [--listen PORT] [--upstream SERVER]... [--cache FILE]\n"
    "                   [--save-seconds SECONDS] [--allow-local-network] [--allow-any-client]\n"
    "  SERVER: 192.0.2.1, 192.0.2.1:5353, 2001:db8::1, [2001:db8::1]:5353, fe80::1%eth0,\n"
    "          https://dns.example/dns-query or \"https://dns.example/dns-query (192.0.2.1)\"\n";

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/upstream_settings.h"

// A test program's network: Windows Sockets started (on Windows), and a loopback socket that
// swallows whatever reaches it, at which every test's upstream points until the test points it at
// its fake upstream, so that a test which forgets to still sends nothing off the machine.
namespace qftest {

// The port of the swallowing socket on 127.0.0.1.
std::uint16_t SinkPort();

// The server text of a port of 127.0.0.1.
inline std::string LoopbackServer(std::uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

// Points the upstream at servers on these ports of 127.0.0.1, in order.
inline void PointUpstreamAt(CUpstreamSettings& upstream, std::vector<std::uint16_t> ports) {
    std::vector<std::string> servers;
    for (const std::uint16_t port : ports) {
        servers.push_back(LoopbackServer(port));
    }
    upstream.SetServers(servers);
}

// Points the upstream at the swallowing socket (again).
inline void PointUpstreamAtSink(CUpstreamSettings& upstream) {
    PointUpstreamAt(upstream, {SinkPort()});
}

// Upstream settings made pointing at the swallowing socket.
class CSinkUpstream : public CUpstreamSettings {
public:
    CSinkUpstream() { PointUpstreamAtSink(*this); }
};

}  // namespace qftest

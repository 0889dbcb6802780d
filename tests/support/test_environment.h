#pragma once

#include <cstdint>

#include "core/upstream_settings.h"

// A test program's network: Windows Sockets started (on Windows), and a loopback socket that
// swallows whatever reaches it, at which every test's upstream points until the test points it at
// its fake upstream, so that a test which forgets to still sends nothing off the machine.
namespace qftest {

// The port of the swallowing socket on 127.0.0.1.
std::uint16_t SinkPort();

// Points the upstream at the swallowing socket (again).
inline void PointUpstreamAtSink(CUpstreamSettings& upstream) {
    upstream.SetCurrentDnsServer("127.0.0.1");
    upstream.SetDnsServerPort(SinkPort());
}

// Upstream settings made pointing at the swallowing socket.
class CSinkUpstream : public CUpstreamSettings {
public:
    CSinkUpstream() { PointUpstreamAtSink(*this); }
};

}  // namespace qftest

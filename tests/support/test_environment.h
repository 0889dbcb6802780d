#pragma once

#include "core/upstream_settings.h"

// The core's test program: Windows Sockets started (on Windows), and a loopback socket that
// swallows whatever reaches it, at which every test's upstream points until the test points it at
// its fake upstream, so that a test which forgets to still sends nothing off the machine.
namespace qftest {

// Points the upstream at the swallowing socket (again).
void PointUpstreamAtSink(CUpstreamSettings& upstream);

// Upstream settings made pointing at the swallowing socket.
class CSinkUpstream : public CUpstreamSettings {
public:
    CSinkUpstream() { PointUpstreamAtSink(*this); }
};

}  // namespace qftest

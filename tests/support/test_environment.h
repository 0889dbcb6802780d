#pragma once

// The core's test program: Windows Sockets started (on Windows), and the upstream server pointed
// at a loopback socket that swallows whatever reaches it, so that a test which forgets to point
// the proxy at its fake upstream still sends nothing off the machine.
namespace qftest {

// Points the upstream at the swallowing socket again.
void PointUpstreamAtSink();

}  // namespace qftest

#pragma once

#include <vector>

#include "net/socket_address.h"

// The prefixes directly attached to this machine's interfaces that are up: for each unicast
// address of an interface, its on-link prefix (the address cut to its netmask or on-link prefix
// length), loopback and IPv6 link-local (fe80::/64) included, each prefix once. Empty when the
// system cannot tell. Reads the system each time it is called (a few system calls: call it off
// any hot path).
std::vector<NetworkPrefix> AttachedNetworks();

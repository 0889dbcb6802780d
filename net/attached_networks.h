#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "net/socket_address.h"

// The machine's own addresses and the networks they are on, read from the system each time a
// function is called (a few system calls: call them off any hot path).

// One unicast address of an interface that is up, with its on-link prefix length: the address
// cut to it is a network attached to the machine (loopback and IPv6 link-local fe80::/64 too).
struct InterfaceAddress {
    CSocketAddress Address;
    int PrefixLength = 0;
};

// Every unicast address of the interfaces that are up, loopback and IPv6 link-local included;
// empty when the system cannot tell (platform part).
std::vector<InterfaceAddress> InterfaceAddresses();

// The machine's own unicast addresses (port 0), each once.
std::vector<CSocketAddress> MachineAddresses();

// The index of the network interface of that name ("eth0"), as an IPv6 zone names it; none when
// there is no such interface (platform part).
std::optional<std::uint32_t> InterfaceIndex(std::string_view name);

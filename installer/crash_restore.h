#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/adapter_list.h"

// An adapter that was left pointing at the proxy, and the static servers it has now,
// comma-separated; empty when it has none of its own, and the system then uses those that DHCP
// gives it. None for IPv6 when the adapter has no IPv6. Not put back when no record told what it
// had: it points at a resolver of the user's on the same address, and stays.
struct RestoredAdapter {
    std::string m_name;
    bool m_putBack = false;
    std::string m_servers;
    std::optional<std::string> m_servers6;

    bool operator==(const RestoredAdapter&) const = default;
};

// The system's adapters as `system` reports them, less every adapter whose IPv4 and IPv6
// "NameServer" are both other than the proxy's address: those left at it are the ones a copy of
// the program that ended without its stop (a crash, a forced end) leaves behind.
IpHelperApi AdaptersLeftAtProxy(IpHelperApi system);

// Puts back the DNS servers of every adapter left pointing at the proxy, as the program's own
// next start does (SetSystemDns): the static values of the machine's record, byte for byte, or
// those of an older version's record. Values that point elsewhere are not touched. Returns the
// adapters that pointed at the proxy, then those of the machine's record that the system does not
// list now (unplugged, disabled) and that did.
std::vector<RestoredAdapter> RestoreAdaptersLeftAtProxy(const IpHelperApi& system);

#pragma once

#include <string>
#include <vector>

#include "system/adapter_list.h"

// An adapter whose DNS servers were put back, and the servers it has now, comma-separated; empty
// when it has none of its own, and the system then uses those that DHCP gives it.
struct RestoredAdapter {
    std::string name;
    std::string servers;
};

// The system's adapters as `system` reports them, less every adapter whose "NameServer" is not
// exactly the proxy's address: those are the ones a copy of the program that ended without its
// stop (a crash, a forced end) leaves behind.
IpHelperApi AdaptersLeftAtProxy(IpHelperApi system);

// Puts back the DNS servers of every adapter left pointing at the proxy, as the program's own
// next stop would: those of the first-run record, or none when the record has nothing for the
// adapter. Adapters that point elsewhere are not touched. Returns the adapters it wrote.
std::vector<RestoredAdapter> RestoreAdaptersLeftAtProxy(const IpHelperApi& system);

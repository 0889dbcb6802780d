#include "net/attached_networks.h"

#include <algorithm>

std::vector<CSocketAddress> MachineAddresses() {
    std::vector<CSocketAddress> addresses;
    for (InterfaceAddress& entry : InterfaceAddresses()) {
        entry.Address.SetPort(0);
        if (!entry.Address.IsEmpty() &&
            std::ranges::find(addresses, entry.Address) == addresses.end()) {
            addresses.push_back(entry.Address);
        }
    }
    return addresses;
}

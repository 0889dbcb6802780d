#include "net/attached_networks.h"

#include <algorithm>

std::vector<NetworkPrefix> AttachedNetworks() {
    std::vector<NetworkPrefix> prefixes;
    for (const InterfaceAddress& entry : InterfaceAddresses()) {
        const std::optional<NetworkPrefix> prefix =
            NetworkPrefix::Of(entry.Address, entry.PrefixLength);
        if (prefix && std::ranges::find(prefixes, *prefix) == prefixes.end()) {
            prefixes.push_back(*prefix);
        }
    }
    return prefixes;
}

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

// The attached networks from getifaddrs.

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>

#include "net/attached_networks.h"

namespace {

// A sockaddr of `size` bytes as a CSocketAddress.
CSocketAddress CopyAddress(const sockaddr& address, socklen_t size) {
    CSocketAddress copy;
    std::memcpy(copy.Storage(), &address, size);
    copy.SetLength(static_cast<int>(size));
    return copy;
}

// The number of leading one bits of a netmask.
int LeadingOnes(std::span<const std::uint8_t> mask) {
    int ones = 0;
    for (const std::uint8_t byte : mask) {
        for (int bit = 7; bit >= 0 && ((byte >> bit) & 1) != 0; --bit) {
            ++ones;
        }
        if (byte != 0xFF) {
            break;
        }
    }
    return ones;
}

// The prefix length of the netmask that goes with an address of `family`; a missing netmask
// stands for the address alone. The mask's own family field is not relied on.
int PrefixLength(const sockaddr* netmask, int family) {
    if (family == AF_INET) {
        sockaddr_in mask{};
        mask.sin_addr.s_addr = INADDR_NONE;
        if (netmask != nullptr) {
            std::memcpy(&mask, netmask, sizeof mask);
        }
        std::array<std::uint8_t, sizeof mask.sin_addr> bytes{};
        std::memcpy(bytes.data(), &mask.sin_addr, bytes.size());
        return LeadingOnes(bytes);
    }
    sockaddr_in6 mask{};
    std::ranges::fill(mask.sin6_addr.s6_addr, std::uint8_t{0xFF});
    if (netmask != nullptr) {
        std::memcpy(&mask, netmask, sizeof mask);
    }
    return LeadingOnes(mask.sin6_addr.s6_addr);
}

}  // namespace

std::vector<InterfaceAddress> InterfaceAddresses() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return {};
    }
    // Up and running, as Windows' operational status "up": the interface can carry traffic.
    constexpr unsigned kWorking = IFF_UP | IFF_RUNNING;
    std::vector<InterfaceAddress> addresses;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if ((entry->ifa_flags & kWorking) != kWorking || entry->ifa_addr == nullptr) {
            continue;
        }
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) {
            continue;
        }
        addresses.push_back(
            {CopyAddress(*entry->ifa_addr,
                         family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)),
             PrefixLength(entry->ifa_netmask, family)});
    }
    freeifaddrs(interfaces);
    return addresses;
}

std::optional<std::uint32_t> InterfaceIndex(std::string_view name) {
    const unsigned index = if_nametoindex(std::string(name).c_str());
    return index == 0 ? std::nullopt : std::optional<std::uint32_t>(index);
}

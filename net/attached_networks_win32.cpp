// The attached networks from the IP Helper's adapter list: each unicast address of an
// operational adapter with its on-link prefix length.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h before windows.h (through iphlpapi.h), which would otherwise bring in winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/attached_networks.h"

namespace {

// The list of adapters with their unicast addresses; empty when the system gives none. Sized
// again when adapters appear between the call that measures and the one that fills.
std::vector<std::uint64_t> ReadAdapters() {
    constexpr ULONG kFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    constexpr int kAttempts = 4;
    ULONG size = 16 * 1024;
    std::vector<std::uint64_t> buffer;  // 8-byte units: the list must be aligned for its pointers
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        buffer.assign((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
        size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
        const ULONG result =
            GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
        if (result == NO_ERROR) {
            return buffer;
        }
        if (result != ERROR_BUFFER_OVERFLOW) {
            break;
        }
    }
    return {};
}

CSocketAddress CopyAddress(const SOCKET_ADDRESS& address) {
    CSocketAddress copy;
    if (address.lpSockaddr == nullptr || address.iSockaddrLength <= 0) {
        return copy;
    }
    const int size = std::min(address.iSockaddrLength, CSocketAddress::kCapacity);
    std::memcpy(copy.Storage(), address.lpSockaddr, static_cast<std::size_t>(size));
    copy.SetLength(size);
    return copy;
}

}  // namespace

std::vector<InterfaceAddress> InterfaceAddresses() {
    std::vector<std::uint64_t> buffer = ReadAdapters();
    std::vector<InterfaceAddress> addresses;
    if (buffer.empty()) {
        return addresses;
    }
    for (const IP_ADAPTER_ADDRESSES* adapter =
             reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
             unicast != nullptr; unicast = unicast->Next) {
            addresses.push_back(
                {CopyAddress(unicast->Address), static_cast<int>(unicast->OnLinkPrefixLength)});
        }
    }
    return addresses;
}

std::optional<std::uint32_t> InterfaceIndex(std::string_view name) {
    const ULONG index = if_nametoindex(std::string(name).c_str());
    return index == 0 ? std::nullopt : std::optional<std::uint32_t>(index);
}

#pragma once

#include <cstddef>
#include <cstdint>

// The byte layout of sockaddr_in and sockaddr_in6 that Linux and Windows share, so that portable
// code can read and build them. The platform parts of the socket wrapper check every number here
// against the system's own structures at compile time.
namespace sockaddr_layout {

inline constexpr std::size_t kFamilyOffset = 0;  // 16 bits, host order
inline constexpr std::size_t kPortOffset = 2;    // 16 bits, network order
inline constexpr std::size_t kIpv4AddressOffset = 4;
inline constexpr std::size_t kIpv6AddressOffset = 8;
inline constexpr std::size_t kIpv6ScopeOffset = 24;  // 32 bits, host order
inline constexpr std::size_t kIpv4AddressSize = 4;
inline constexpr std::size_t kIpv6AddressSize = 16;
inline constexpr int kIpv4Size = 16;  // sizeof(sockaddr_in)
inline constexpr int kIpv6Size = 28;  // sizeof(sockaddr_in6)

inline constexpr std::uint16_t kIpv4Family = 2;  // AF_INET
#ifdef _WIN32
inline constexpr std::uint16_t kIpv6Family = 23;  // AF_INET6
#else
inline constexpr std::uint16_t kIpv6Family = 10;  // AF_INET6
#endif

}  // namespace sockaddr_layout

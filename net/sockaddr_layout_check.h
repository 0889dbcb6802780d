#pragma once

// Included by the platform parts of the socket wrapper after their system headers: the checks
// that the layout CSocketAddress reads and builds is the system's sockaddr_in and sockaddr_in6.

#include <cstddef>

#include "net/sockaddr_layout.h"
#include "net/socket_address.h"

// CSocketAddress builds and reads the system's structures through this layout.
static_assert(sizeof(sockaddr_in) == sockaddr_layout::kIpv4Size);
static_assert(sizeof(sockaddr_in6) == sockaddr_layout::kIpv6Size);
static_assert(sizeof(sockaddr_in6) <= CSocketAddress::kCapacity);
static_assert(alignof(CSocketAddress) >= alignof(sockaddr_in6));
static_assert(AF_INET == sockaddr_layout::kIpv4Family && AF_INET6 == sockaddr_layout::kIpv6Family);
static_assert(offsetof(sockaddr_in, sin_family) == sockaddr_layout::kFamilyOffset);
static_assert(offsetof(sockaddr_in6, sin6_family) == sockaddr_layout::kFamilyOffset);
static_assert(sizeof(sockaddr_in::sin_family) == 2 && sizeof(sockaddr_in6::sin6_family) == 2);
static_assert(offsetof(sockaddr_in, sin_port) == sockaddr_layout::kPortOffset);
static_assert(offsetof(sockaddr_in6, sin6_port) == sockaddr_layout::kPortOffset);
static_assert(offsetof(sockaddr_in, sin_addr) == sockaddr_layout::kIpv4AddressOffset);
static_assert(offsetof(sockaddr_in6, sin6_addr) == sockaddr_layout::kIpv6AddressOffset);
static_assert(offsetof(sockaddr_in6, sin6_scope_id) == sockaddr_layout::kIpv6ScopeOffset);

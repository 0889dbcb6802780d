#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The numeric texts of IPv4 and IPv6 addresses and their bytes in network order, read and
// written without a socket, a system call or a name lookup.

using Ipv4Bytes = std::array<std::uint8_t, 4>;
using Ipv6Bytes = std::array<std::uint8_t, 16>;

// ::ffff:0:0/96, the IPv6 form of IPv4 addresses.
inline constexpr std::array<std::uint8_t, 12> kIpv4MappedPrefix{0, 0, 0, 0, 0,    0,
                                                                0, 0, 0, 0, 0xFF, 0xFF};

// A dotted quad of four decimal parts of 1 to 3 digits without a leading zero; none for
// anything else.
std::optional<Ipv4Bytes> ParseIpv4Text(std::string_view text);
// The text forms of RFC 4291 2.2: eight groups of one to four hex digits (either case), one "::"
// for a run of at least one zero group, and a dotted quad in place of the last two groups; none
// for anything else, a zone ("%eth0") or a prefix length included.
std::optional<Ipv6Bytes> ParseIpv6Text(std::string_view text);

// "1.2.3.4".
std::string Ipv4Text(std::span<const std::uint8_t, 4> bytes);
// The RFC 5952 text: lower case, no leading zeros, the longest run of two or more zero groups
// (the first of equal runs) as "::", and an IPv4-mapped address as "::ffff:1.2.3.4".
std::string Ipv6Text(std::span<const std::uint8_t, 16> bytes);
// Whether the 16 bytes are an IPv4-mapped IPv6 address.
bool IsIpv4Mapped(std::span<const std::uint8_t> bytes);

// The RFC 5952 text of an IPv6 address text; empty when the text is none.
std::string CanonicalIpv6Text(std::string_view text);

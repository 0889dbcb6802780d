#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Conversions between IPv6 address texts and the sixteen address bytes in network order. They
// need no socket and no system call.

using Ipv6Bytes = std::array<std::uint8_t, 16>;

// Reads the text forms of RFC 4291 2.2: eight groups of one to four hex digits, one "::" for a
// run of zero groups, and a dotted quad in place of the last two groups. Letter case is free; a
// zone ("%eth0"), a prefix length or anything else makes it no address. False leaves `bytes` as
// it was.
bool TextToIpv6(std::string_view text, Ipv6Bytes& bytes);

// The RFC 5952 text: lower case, no leading zeros, the longest run of two or more zero groups
// (the first of equal runs) as "::", and an IPv4-mapped address as "::ffff:1.2.3.4".
std::string Ipv6ToText(const Ipv6Bytes& bytes);

// The RFC 5952 text of an IPv6 address text; empty when the text is none.
std::string CanonicalIpv6Text(std::string_view text);

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Conversions between dotted-quad texts and IPv4 addresses in network order, i.e. the four
// bytes in memory are the four parts of the text in order. They need no socket.

// The value every caller tests for: the text is not an address. 255.255.255.255 reads as this
// value too, so the broadcast address never counts as an address.
inline constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

// Parts are decimal digits separated by "."; a missing or empty part is 0, so "" gives
// 0.0.0.0, "10.1" gives 10.1.0.0 and "1..2" gives 1.0.2.0. Any other character, a part above
// 255 or longer than eleven characters, and more than four parts give kAddressNone.
std::uint32_t TextToAddress(std::string_view text);

// Each of the four bytes in memory order, in decimal: "%d.%d.%d.%d".
std::string AddressToText(std::uint32_t address);

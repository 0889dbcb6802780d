#include "net/ipv6_text.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "net/address_text.h"

namespace {

constexpr std::size_t kGroups = 8;
constexpr std::size_t kMaxGroupDigits = 4;

std::optional<std::uint16_t> ParseGroup(std::string_view text) {
    if (text.empty() || text.size() > kMaxGroupDigits) {
        return std::nullopt;
    }
    std::uint16_t value = 0;
    for (const char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = static_cast<std::uint16_t>(value << 4 | digit);
    }
    return value;
}

// The groups of a text without "::"; a dotted quad may stand for the last two when `quadLast`.
bool ParseGroups(std::string_view text, bool quadLast, std::vector<std::uint16_t>& groups) {
    if (text.empty()) {
        return true;
    }
    for (std::size_t start = 0;;) {
        const std::size_t colon = text.find(':', start);
        const std::string_view part = text.substr(start, colon - start);
        if (colon == std::string_view::npos && quadLast && part.find('.') != part.npos) {
            // Only a full dotted quad: TextToAddress would also take "1.2" and "".
            if (std::count(part.begin(), part.end(), '.') != 3) {
                return false;
            }
            const std::uint32_t quad = TextToAddress(part);
            if (quad == kAddressNone && part != "255.255.255.255") {
                return false;
            }
            std::array<std::uint8_t, 4> bytes{};
            std::memcpy(bytes.data(), &quad, bytes.size());
            groups.push_back(static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]));
            groups.push_back(static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]));
            return true;
        }
        const std::optional<std::uint16_t> group = ParseGroup(part);
        if (!group) {
            return false;
        }
        groups.push_back(*group);
        if (colon == std::string_view::npos) {
            return true;
        }
        start = colon + 1;
    }
}

void AppendHex(std::string& text, std::uint16_t group) {
    constexpr char kDigits[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const int digit = group >> shift & 0xF;
        if (digit != 0 || started || shift == 0) {
            text += kDigits[digit];
            started = true;
        }
    }
}

}  // namespace

bool TextToIpv6(std::string_view text, Ipv6Bytes& bytes) {
    std::vector<std::uint16_t> head;
    std::vector<std::uint16_t> tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!ParseGroups(text, true, head) || head.size() != kGroups) {
            return false;
        }
    } else {
        const std::string_view after = text.substr(gap + 2);
        if (after.find("::") != after.npos || !ParseGroups(text.substr(0, gap), false, head) ||
            !ParseGroups(after, true, tail) || head.size() + tail.size() > kGroups - 1) {
            return false;
        }
    }
    Ipv6Bytes parsed{};
    const auto put = [&](std::size_t index, std::uint16_t group) {
        parsed[2 * index] = static_cast<std::uint8_t>(group >> 8);
        parsed[2 * index + 1] = static_cast<std::uint8_t>(group);
    };
    for (std::size_t i = 0; i < head.size(); ++i) {
        put(i, head[i]);
    }
    for (std::size_t i = 0; i < tail.size(); ++i) {
        put(kGroups - tail.size() + i, tail[i]);
    }
    bytes = parsed;
    return true;
}

std::string Ipv6ToText(const Ipv6Bytes& bytes) {
    std::array<std::uint16_t, kGroups> groups{};
    for (std::size_t i = 0; i < kGroups; ++i) {
        groups[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                        groups[4] == 0 && groups[5] == 0xFFFF;
    if (mapped) {
        return "::ffff:" + std::to_string(bytes[12]) + "." + std::to_string(bytes[13]) + "." +
               std::to_string(bytes[14]) + "." + std::to_string(bytes[15]);
    }
    // The longest run of zero groups, two at least; the first of equal ones.
    std::size_t bestStart = kGroups;
    std::size_t bestLength = 1;
    for (std::size_t i = 0; i < kGroups;) {
        std::size_t end = i;
        while (end < kGroups && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    std::string text;
    for (std::size_t i = 0; i < kGroups; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        AppendHex(text, groups[i]);
    }
    return text;
}

std::string CanonicalIpv6Text(std::string_view text) {
    Ipv6Bytes bytes{};
    return TextToIpv6(text, bytes) ? Ipv6ToText(bytes) : std::string();
}

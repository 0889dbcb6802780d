#include "net/ip_text.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr std::size_t kIpv6Groups = 8;
constexpr std::size_t kMaxHexDigits = 4;
constexpr std::size_t kMaxDecimalDigits = 3;
constexpr unsigned kMaxByte = 255;

// One part of a dotted quad: 1 to 3 decimal digits without a leading zero, at most 255.
std::optional<std::uint8_t> ParseDecimalPart(std::string_view part) {
    if (part.empty() || part.size() > kMaxDecimalDigits || (part.size() > 1 && part[0] == '0')) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : part) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > kMaxByte) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace

std::optional<Ipv4Bytes> ParseIpv4Text(std::string_view text) {
    Ipv4Bytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        // The last part runs to the end; a dot in it makes it no number.
        const std::size_t end = i + 1 < bytes.size() ? text.find('.') : text.size();
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const std::optional<std::uint8_t> part = ParseDecimalPart(text.substr(0, end));
        if (!part) {
            return std::nullopt;
        }
        bytes[i] = *part;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return bytes;
}

namespace {

std::optional<std::uint16_t> ParseHexGroup(std::string_view group) {
    if (group.empty() || group.size() > kMaxHexDigits) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : group) {
        const char lower = static_cast<char>(c | 0x20);
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (lower >= 'a' && lower <= 'f') {
            digit = static_cast<unsigned>(lower - 'a' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return static_cast<std::uint16_t>(value);
}

struct Groups {
    std::array<std::uint16_t, kIpv6Groups> values{};
    std::size_t count = 0;
};

// Groups separated by single colons (none for the empty text). With `quadAllowed` the last one
// may be a dotted quad, which stands for two groups.
std::optional<Groups> ParseGroups(std::string_view text, bool quadAllowed) {
    Groups groups;
    while (!text.empty()) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && quadAllowed &&
            group.find('.') != std::string_view::npos) {
            const std::optional<Ipv4Bytes> quad = ParseIpv4Text(group);
            if (!quad || groups.count + 2 > kIpv6Groups) {
                return std::nullopt;
            }
            groups.values[groups.count++] =
                static_cast<std::uint16_t>((*quad)[0] << 8 | (*quad)[1]);
            groups.values[groups.count++] =
                static_cast<std::uint16_t>((*quad)[2] << 8 | (*quad)[3]);
            return groups;
        }
        const std::optional<std::uint16_t> value = ParseHexGroup(group);
        if (!value || groups.count == kIpv6Groups) {
            return std::nullopt;
        }
        groups.values[groups.count++] = *value;
        if (colon == std::string_view::npos) {
            break;
        }
        text.remove_prefix(colon + 1);
        // A colon at the very end leaves an empty last group.
        if (text.empty()) {
            return std::nullopt;
        }
    }
    return groups;
}

}  // namespace

std::optional<Ipv6Bytes> ParseIpv6Text(std::string_view text) {
    const std::size_t gap = text.find("::");
    std::optional<Groups> head;
    std::optional<Groups> tail = Groups{};
    if (gap == std::string_view::npos) {
        head = ParseGroups(text, true);
        if (!head || head->count != kIpv6Groups) {
            return std::nullopt;
        }
    } else {
        head = ParseGroups(text.substr(0, gap), false);
        tail = ParseGroups(text.substr(gap + 2), true);
        if (!head || !tail || head->count + tail->count >= kIpv6Groups) {
            return std::nullopt;
        }
    }
    std::array<std::uint16_t, kIpv6Groups> values{};
    std::copy_n(head->values.begin(), head->count, values.begin());
    std::copy_n(tail->values.begin(), tail->count,
                values.end() - static_cast<std::ptrdiff_t>(tail->count));
    Ipv6Bytes bytes{};
    for (std::size_t i = 0; i < kIpv6Groups; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(values[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(values[i] & 0xFF);
    }
    return bytes;
}

std::string Ipv4Text(std::span<const std::uint8_t, 4> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += '.';
        }
        text += std::to_string(byte);
    }
    return text;
}

namespace {

void AppendHex(std::string& text, std::uint16_t value) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = static_cast<unsigned>(value >> shift) & 0xFu;
        started = started || digit != 0 || shift == 0;
        if (started) {
            text += kDigits[digit];
        }
    }
}

}  // namespace

bool IsIpv4Mapped(std::span<const std::uint8_t> bytes) {
    return bytes.size() == Ipv6Bytes{}.size() &&
           std::equal(kIpv4MappedPrefix.begin(), kIpv4MappedPrefix.end(), bytes.begin());
}

std::string Ipv6Text(std::span<const std::uint8_t, 16> bytes) {
    if (IsIpv4Mapped(bytes)) {
        return "::ffff:" + Ipv4Text(bytes.subspan<kIpv4MappedPrefix.size(), 4>());
    }
    std::array<std::uint16_t, kIpv6Groups> groups{};
    for (std::size_t i = 0; i < kIpv6Groups; ++i) {
        groups[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    std::size_t gapStart = kIpv6Groups;
    std::size_t gapLength = 1;  // a single zero group is written out
    for (std::size_t start = 0; start < kIpv6Groups;) {
        std::size_t end = start;
        while (end < kIpv6Groups && groups[end] == 0) {
            ++end;
        }
        if (end - start > gapLength) {
            gapStart = start;
            gapLength = end - start;
        }
        start = end + 1;
    }
    std::string text;
    for (std::size_t i = 0; i < kIpv6Groups; ++i) {
        if (i == gapStart) {
            text += "::";
            i += gapLength - 1;
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
    const std::optional<Ipv6Bytes> bytes = ParseIpv6Text(text);
    return bytes ? Ipv6Text(*bytes) : std::string();
}

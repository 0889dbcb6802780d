#include "net/socket_address.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "net/sockaddr_layout.h"

namespace {

namespace layout = sockaddr_layout;

using Ipv4Bytes = std::array<std::uint8_t, layout::kIpv4AddressSize>;
using Ipv6Bytes = std::array<std::uint8_t, layout::kIpv6AddressSize>;

constexpr std::size_t kIpv6Groups = 8;
constexpr std::size_t kMaxHexDigits = 4;
constexpr std::size_t kMaxDecimalDigits = 3;
constexpr unsigned kMaxByte = 255;
// ::ffff:0:0/96, the IPv6 form of IPv4 addresses.
constexpr std::array<std::uint8_t, 12> kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr std::uint8_t kIpv4LoopbackNetwork = 127;

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

std::optional<Ipv4Bytes> ParseIpv4(std::string_view text) {
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
            const std::optional<Ipv4Bytes> quad = ParseIpv4(group);
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

// Eight groups, or fewer around one "::" that stands for at least one zero group.
std::optional<Ipv6Bytes> ParseIpv6(std::string_view text) {
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

std::string QuadText(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += '.';
        }
        text += std::to_string(byte);
    }
    return text;
}

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

bool IsMapped(std::span<const std::uint8_t> bytes) {
    return bytes.size() == layout::kIpv6AddressSize &&
           std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin());
}

// The shortest text: groups in lower-case hexadecimal without leading zeros, the longest run of
// two or more zero groups (the first of equal ones) as "::".
std::string Ipv6Text(std::span<const std::uint8_t> bytes) {
    if (IsMapped(bytes)) {
        return "::ffff:" + QuadText(bytes.subspan(kMappedPrefix.size()));
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

}  // namespace

std::optional<CSocketAddress> CSocketAddress::FromText(std::string_view address,
                                                       std::uint16_t port) {
    if (address.find(':') == std::string_view::npos) {
        const std::optional<Ipv4Bytes> bytes = ParseIpv4(address);
        if (!bytes) {
            return std::nullopt;
        }
        return FromBytes(AddressFamily::kIpv4, *bytes, port);
    }
    const std::optional<Ipv6Bytes> bytes = ParseIpv6(address);
    if (!bytes) {
        return std::nullopt;
    }
    return FromBytes(AddressFamily::kIpv6, *bytes, port);
}

CSocketAddress CSocketAddress::FromBytes(AddressFamily family, std::span<const std::uint8_t> bytes,
                                         std::uint16_t port) noexcept {
    const bool ipv4 = family == AddressFamily::kIpv4;
    CSocketAddress result;
    if (bytes.size() != (ipv4 ? layout::kIpv4AddressSize : layout::kIpv6AddressSize)) {
        return result;
    }
    const std::uint16_t stored = ipv4 ? layout::kIpv4Family : layout::kIpv6Family;
    std::memcpy(result.m_storage.data() + layout::kFamilyOffset, &stored, sizeof stored);
    result.m_nLength = ipv4 ? layout::kIpv4Size : layout::kIpv6Size;
    std::ranges::copy(bytes, result.m_storage.begin() +
                                 static_cast<std::ptrdiff_t>(ipv4 ? layout::kIpv4AddressOffset
                                                                  : layout::kIpv6AddressOffset));
    result.SetPort(port);
    return result;
}

CSocketAddress CSocketAddress::Any(AddressFamily family, std::uint16_t port) noexcept {
    if (family == AddressFamily::kIpv4) {
        return FromBytes(family, Ipv4Bytes{}, port);
    }
    return FromBytes(family, Ipv6Bytes{}, port);
}

CSocketAddress CSocketAddress::Loopback(AddressFamily family, std::uint16_t port) noexcept {
    if (family == AddressFamily::kIpv4) {
        return FromBytes(family, Ipv4Bytes{kIpv4LoopbackNetwork, 0, 0, 1}, port);
    }
    Ipv6Bytes bytes{};
    bytes.back() = 1;
    return FromBytes(family, bytes, port);
}

AddressFamily CSocketAddress::Family() const noexcept {
    return StoredFamily() == layout::kIpv6Family ? AddressFamily::kIpv6 : AddressFamily::kIpv4;
}

std::uint16_t CSocketAddress::Port() const noexcept {
    if (IsEmpty()) {
        return 0;
    }
    return static_cast<std::uint16_t>(m_storage[layout::kPortOffset] << 8 |
                                      m_storage[layout::kPortOffset + 1]);
}

void CSocketAddress::SetPort(std::uint16_t port) noexcept {
    if (IsEmpty()) {
        return;
    }
    m_storage[layout::kPortOffset] = static_cast<std::uint8_t>(port >> 8);
    m_storage[layout::kPortOffset + 1] = static_cast<std::uint8_t>(port & 0xFF);
}

std::string CSocketAddress::AddressText() const {
    if (IsEmpty()) {
        return {};
    }
    return Family() == AddressFamily::kIpv4 ? QuadText(AddressBytes()) : Ipv6Text(AddressBytes());
}

std::span<const std::uint8_t> CSocketAddress::AddressBytes() const noexcept {
    if (IsEmpty()) {
        return {};
    }
    if (Family() == AddressFamily::kIpv4) {
        return {m_storage.data() + layout::kIpv4AddressOffset, layout::kIpv4AddressSize};
    }
    return {m_storage.data() + layout::kIpv6AddressOffset, layout::kIpv6AddressSize};
}

bool CSocketAddress::IsIpv4Mapped() const noexcept {
    return !IsEmpty() && IsMapped(AddressBytes());
}

bool CSocketAddress::IsLoopback() const noexcept {
    if (IsEmpty()) {
        return false;
    }
    const std::span<const std::uint8_t> bytes = AddressBytes();
    if (Family() == AddressFamily::kIpv4) {
        return bytes[0] == kIpv4LoopbackNetwork;
    }
    if (IsMapped(bytes)) {
        return bytes[kMappedPrefix.size()] == kIpv4LoopbackNetwork;
    }
    return *this == Loopback(AddressFamily::kIpv6, Port());
}

bool operator==(const CSocketAddress& left, const CSocketAddress& right) noexcept {
    if (left.IsEmpty() || right.IsEmpty()) {
        return left.IsEmpty() == right.IsEmpty();
    }
    return left.Family() == right.Family() && left.Port() == right.Port() &&
           std::ranges::equal(left.AddressBytes(), right.AddressBytes());
}

void CSocketAddress::SetLength(int length) noexcept {
    const std::uint16_t family = StoredFamily();
    if (family == layout::kIpv4Family && length >= layout::kIpv4Size) {
        m_nLength = layout::kIpv4Size;
    } else if (family == layout::kIpv6Family && length >= layout::kIpv6Size) {
        m_nLength = layout::kIpv6Size;
    } else {
        m_nLength = 0;
    }
}

std::uint16_t CSocketAddress::StoredFamily() const noexcept {
    std::uint16_t family = 0;
    std::memcpy(&family, m_storage.data() + layout::kFamilyOffset, sizeof family);
    return family;
}

bool NetworkPrefix::Contains(const CSocketAddress& address) const noexcept {
    if (address.IsEmpty()) {
        return false;
    }
    std::span<const std::uint8_t> bytes = address.AddressBytes();
    AddressFamily family = address.Family();
    if (Family == AddressFamily::kIpv4 && address.IsIpv4Mapped()) {
        bytes = bytes.subspan(kMappedPrefix.size());
        family = AddressFamily::kIpv4;
    }
    const auto bits = static_cast<int>(bytes.size() * 8);
    if (family != Family || PrefixLength < 0 || PrefixLength > bits) {
        return false;
    }
    const auto whole = static_cast<std::size_t>(PrefixLength / 8);
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(whole),
                    Address.begin())) {
        return false;
    }
    const int rest = PrefixLength % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return ((bytes[whole] ^ Address[whole]) & mask) == 0;
}

std::optional<NetworkPrefix> NetworkPrefix::Of(const CSocketAddress& address, int prefixLength) {
    const std::span<const std::uint8_t> bytes = address.AddressBytes();
    if (bytes.empty() || prefixLength < 0 || prefixLength > static_cast<int>(bytes.size() * 8)) {
        return std::nullopt;
    }
    NetworkPrefix prefix;
    prefix.Family = address.Family();
    prefix.PrefixLength = prefixLength;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int kept = std::clamp(prefixLength - static_cast<int>(i * 8), 0, 8);
        prefix.Address[i] = static_cast<std::uint8_t>(bytes[i] & (0xFF00 >> kept));
    }
    return prefix;
}

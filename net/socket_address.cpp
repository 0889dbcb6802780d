#include "net/socket_address.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "net/ip_text.h"
#include "net/sockaddr_layout.h"

namespace {

namespace layout = sockaddr_layout;

constexpr std::uint8_t kIpv4LoopbackNetwork = 127;

}  // namespace

std::optional<CSocketAddress> CSocketAddress::FromText(std::string_view address,
                                                       std::uint16_t port) {
    if (address.find(':') == std::string_view::npos) {
        const std::optional<Ipv4Bytes> bytes = ParseIpv4Text(address);
        if (!bytes) {
            return std::nullopt;
        }
        return FromBytes(AddressFamily::kIpv4, *bytes, port);
    }
    const std::optional<Ipv6Bytes> bytes = ParseIpv6Text(address);
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
    result.m_length = ipv4 ? layout::kIpv4Size : layout::kIpv6Size;
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

std::uint32_t CSocketAddress::ScopeId() const noexcept {
    std::uint32_t scope = 0;
    if (!IsEmpty() && Family() == AddressFamily::kIpv6) {
        std::memcpy(&scope, m_storage.data() + layout::kIpv6ScopeOffset, sizeof scope);
    }
    return scope;
}

void CSocketAddress::SetScopeId(std::uint32_t scope) noexcept {
    if (!IsEmpty() && Family() == AddressFamily::kIpv6) {
        std::memcpy(m_storage.data() + layout::kIpv6ScopeOffset, &scope, sizeof scope);
    }
}

std::string CSocketAddress::AddressText() const {
    if (IsEmpty()) {
        return {};
    }
    const std::span<const std::uint8_t> bytes = AddressBytes();
    return Family() == AddressFamily::kIpv4 ? Ipv4Text(bytes.first<4>())
                                            : Ipv6Text(bytes.first<16>());
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
    return !IsEmpty() && ::IsIpv4Mapped(AddressBytes());
}

bool CSocketAddress::IsLoopback() const noexcept {
    if (IsEmpty()) {
        return false;
    }
    const std::span<const std::uint8_t> bytes = AddressBytes();
    if (Family() == AddressFamily::kIpv4) {
        return bytes[0] == kIpv4LoopbackNetwork;
    }
    if (::IsIpv4Mapped(bytes)) {
        return bytes[kIpv4MappedPrefix.size()] == kIpv4LoopbackNetwork;
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
        m_length = layout::kIpv4Size;
    } else if (family == layout::kIpv6Family && length >= layout::kIpv6Size) {
        m_length = layout::kIpv6Size;
    } else {
        m_length = 0;
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
        bytes = bytes.subspan(kIpv4MappedPrefix.size());
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

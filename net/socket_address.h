#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Binary IPv4 and IPv6 socket addresses and network prefixes, for code that must not turn an
// address into text and back (the proxy keeps each client's address as the receive gave it).
// No system header is needed: the bytes are laid out as the system's sockaddr_in and
// sockaddr_in6, which the socket wrapper's platform parts check at compile time.

enum class AddressFamily : std::uint8_t { kIpv4, kIpv6 };

// An IPv4 or IPv6 address with a port, held as the system's own sockaddr bytes, so that a
// receive can fill it and a send can use it without conversion. Default: empty (no family).
class CSocketAddress {
public:
    // Room for a sockaddr_in6, the larger of the two.
    static constexpr int kCapacity = 28;

    CSocketAddress() noexcept = default;

    // A numeric IPv4 text (a dotted quad of four decimal parts without leading zeros) or IPv6
    // text (hexadecimal groups, one "::", an optional dotted quad for the last 32 bits); none
    // for anything else, a scope ("%eth0") or brackets included. Never a name lookup.
    static std::optional<CSocketAddress> FromText(std::string_view address, std::uint16_t port);
    // The address of `family` from its 4 or 16 bytes in network order; empty for any other
    // number of bytes.
    static CSocketAddress FromBytes(AddressFamily family, std::span<const std::uint8_t> bytes,
                                    std::uint16_t port) noexcept;
    static CSocketAddress Any(AddressFamily family, std::uint16_t port) noexcept;  // 0.0.0.0, ::
    // 127.0.0.1, ::1
    static CSocketAddress Loopback(AddressFamily family, std::uint16_t port) noexcept;

    [[nodiscard]] bool IsEmpty() const noexcept { return m_length == 0; }
    // Meaningful only when not empty.
    [[nodiscard]] AddressFamily Family() const noexcept;
    // Host order; 0 when empty.
    [[nodiscard]] std::uint16_t Port() const noexcept;
    // Does nothing to an empty address.
    void SetPort(std::uint16_t port) noexcept;
    // The IPv6 zone (the interface index of a link-local address); 0 for none and for IPv4.
    [[nodiscard]] std::uint32_t ScopeId() const noexcept;
    // Does nothing unless the address is IPv6.
    void SetScopeId(std::uint32_t scope) noexcept;

    // "1.2.3.4", or the shortest text of an IPv6 address in lower case with the longest run of
    // two or more zero groups (the first of equal runs) written as "::"; an IPv4-mapped address
    // as "::ffff:1.2.3.4". Empty for an empty address.
    [[nodiscard]] std::string AddressText() const;
    // The 4 or 16 address bytes in network order; none when empty.
    [[nodiscard]] std::span<const std::uint8_t> AddressBytes() const noexcept;
    // 127.0.0.0/8, ::1, and ::ffff:127.0.0.0/104.
    [[nodiscard]] bool IsLoopback() const noexcept;
    // An IPv6 address of the form ::ffff:a.b.c.d.
    [[nodiscard]] bool IsIpv4Mapped() const noexcept;

    // Same family, address bytes and port (IPv6 flow and scope are not compared). Two empty
    // addresses are equal.
    friend bool operator==(const CSocketAddress& left, const CSocketAddress& right) noexcept;

    // For the platform parts: the sockaddr bytes and their used length (0 when empty), and room
    // of kCapacity bytes for the system to fill.
    [[nodiscard]] const void* Data() const noexcept { return m_storage.data(); }
    [[nodiscard]] int Length() const noexcept { return m_length; }
    void* Storage() noexcept { return m_storage.data(); }
    // Takes the length the system reported after filling Storage(). The address is empty unless
    // the bytes hold an IPv4 or IPv6 sockaddr of at least its full size.
    void SetLength(int length) noexcept;

private:
    // The sockaddr's 16-bit family field in host order.
    [[nodiscard]] std::uint16_t StoredFamily() const noexcept;

    alignas(8) std::array<std::uint8_t, kCapacity> m_storage{};
    int m_length = 0;
};

// One network prefix: the first `PrefixLength` bits of `Address` (the other bits are ignored).
struct NetworkPrefix {
    AddressFamily Family = AddressFamily::kIpv4;
    std::array<std::uint8_t, 16> Address{};  // 4 bytes used for IPv4
    int PrefixLength = 0;

    // The first `prefixLength` bits of `address`, the other bits cleared; none for an empty
    // address or a length outside 0..32 (IPv4) or 0..128 (IPv6).
    static std::optional<NetworkPrefix> Of(const CSocketAddress& address, int prefixLength);

    // Whether `address` lies in the prefix. An IPv4-mapped IPv6 address counts as its IPv4
    // address. A prefix length outside 0..32 (IPv4) or 0..128 (IPv6) contains nothing, so that
    // a damaged prefix never admits every address.
    [[nodiscard]] bool Contains(const CSocketAddress& address) const noexcept;

    friend bool operator==(const NetworkPrefix&, const NetworkPrefix&) noexcept = default;
};

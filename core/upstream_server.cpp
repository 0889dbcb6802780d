#include "core/upstream_server.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "net/address_text.h"
#include "net/attached_networks.h"
#include "net/ip_text.h"

namespace {

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || status != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// An IPv4 host as the list always took it: TextToAddress's forms, the empty text and the
// broadcast address excepted.
std::optional<CSocketAddress> ParseIpv4Host(std::string_view host, std::uint16_t port) {
    const std::uint32_t address = host.empty() ? kAddressNone : TextToAddress(host);
    if (address == kAddressNone) {
        return std::nullopt;
    }
    Ipv4Bytes bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    return CSocketAddress::FromBytes(AddressFamily::kIpv4, bytes, port);
}

// An IPv6 address with an optional "%zone": the interface's number, or its name.
std::optional<CSocketAddress> ParseIpv6Host(std::string_view host, std::uint16_t port,
                                            std::string& reason) {
    const std::size_t percent = host.find('%');
    const std::optional<Ipv6Bytes> bytes = ParseIpv6Text(host.substr(0, percent));
    if (!bytes) {
        reason = "not an IPv6 address";
        return std::nullopt;
    }
    CSocketAddress address = CSocketAddress::FromBytes(AddressFamily::kIpv6, *bytes, port);
    if (percent == std::string_view::npos) {
        return address;
    }
    const std::string_view zone = host.substr(percent + 1);
    std::uint32_t scope = 0;
    const auto [end, status] = std::from_chars(zone.data(), zone.data() + zone.size(), scope);
    if (zone.empty() || status != std::errc() || end != zone.data() + zone.size()) {
        const std::optional<std::uint32_t> index = InterfaceIndex(zone);
        if (!index) {
            reason = "no network interface " + std::string(zone);
            return std::nullopt;
        }
        scope = *index;
    }
    address.SetScopeId(scope);
    return address;
}

std::optional<CSocketAddress> ParseBracketed(std::string_view text, std::string& reason) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
        reason = "the \"[\" is not closed";
        return std::nullopt;
    }
    std::uint16_t port = kDefaultDnsServerPort;
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
        const std::optional<std::uint16_t> parsed =
            rest.front() == ':' ? ParsePort(rest.substr(1)) : std::nullopt;
        if (!parsed) {
            reason = "not a port from 1 to 65535 after the \"]\"";
            return std::nullopt;
        }
        port = *parsed;
    }
    return ParseIpv6Host(text.substr(1, close - 1), port, reason);
}

std::optional<CSocketAddress> ParseIpv4WithPort(std::string_view text, std::string& reason) {
    const std::size_t colon = text.find(':');
    std::uint16_t port = kDefaultDnsServerPort;
    if (colon != std::string_view::npos) {
        const std::optional<std::uint16_t> parsed = ParsePort(text.substr(colon + 1));
        if (!parsed) {
            reason = "not a port from 1 to 65535 after the \":\"";
            return std::nullopt;
        }
        port = *parsed;
    }
    std::optional<CSocketAddress> address = ParseIpv4Host(text.substr(0, colon), port);
    if (!address) {
        reason = "not an IPv4 address (four numbers from 0 to 255), nor an IPv6 one";
    }
    return address;
}

}  // namespace

std::optional<CSocketAddress> ParseUpstreamServer(std::string_view text, std::string& reason) {
    if (text.empty()) {
        reason = "no address";
        return std::nullopt;
    }
    if (text.front() == '[') {
        return ParseBracketed(text, reason);
    }
    // Two colons or more: an IPv6 address, whose port can only follow brackets.
    if (std::count(text.begin(), text.end(), ':') >= 2) {
        return ParseIpv6Host(text, kDefaultDnsServerPort, reason);
    }
    return ParseIpv4WithPort(text, reason);
}

bool LoopsToProxy(const CSocketAddress& address, std::span<const CSocketAddress> machine) {
    if (address.Port() != kDefaultDnsServerPort) {
        return false;
    }
    const std::span<const std::uint8_t> bytes = address.AddressBytes();
    const bool unspecified = std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0; });
    if (address.IsLoopback() || unspecified) {
        return true;
    }
    return std::ranges::any_of(machine, [&](const CSocketAddress& own) {
        return own.Family() == address.Family() && std::ranges::equal(own.AddressBytes(), bytes);
    });
}

bool CUpstreamServer::Silent() const {
    const std::lock_guard guard(m_lock);
    return m_silent;
}

std::chrono::milliseconds CUpstreamServer::FailoverDelay() const {
    const std::lock_guard guard(m_lock);
    if (m_roundTripCount == 0) {
        return kLongestFailoverDelay;
    }
    const auto kept = std::span(m_roundTrips).first(std::min(m_roundTripCount, kRoundTripsKept));
    const std::chrono::microseconds slowest = *std::ranges::max_element(kept);
    return std::clamp(std::chrono::ceil<std::chrono::milliseconds>(2 * slowest),
                      kShortestFailoverDelay, kLongestFailoverDelay);
}

void CUpstreamServer::QuerySent() {
    const std::lock_guard guard(m_lock);
    ++m_queries;
}

void CUpstreamServer::Answered(std::chrono::microseconds roundTrip, SteadyTime now) {
    const std::lock_guard guard(m_lock);
    ++m_answers;
    m_roundTrips[m_roundTripCount++ % kRoundTripsKept] = roundTrip;
    MarkAnswering(now);
}

void CUpstreamServer::ErrorReply(SteadyTime now) {
    const std::lock_guard guard(m_lock);
    ++m_errors;
    MarkAnswering(now);
}

void CUpstreamServer::Missed(SteadyTime now, bool failedSend) {
    const std::lock_guard guard(m_lock);
    ++(failedSend ? m_errors : m_timeouts);
    if (++m_missesInRow >= kMissesToSilence && !m_silent) {
        m_silent = true;
        m_since = now;
    }
}

void CUpstreamServer::MarkAnswering(SteadyTime now) {
    m_missesInRow = 0;
    if (m_silent || m_since == SteadyTime{}) {
        m_silent = false;
        m_since = now;
    }
}

UpstreamServerFigures CUpstreamServer::Figures() const {
    const std::lock_guard guard(m_lock);
    UpstreamServerFigures figures{m_text,    !m_silent, m_since,    {},
                                  m_queries, m_answers, m_timeouts, m_errors};
    const std::size_t kept = std::min(m_roundTripCount, kRoundTripsKept);
    for (std::size_t i = m_roundTripCount - kept; i < m_roundTripCount; ++i) {
        figures.RoundTrips.push_back(m_roundTrips[i % kRoundTripsKept]);
    }
    return figures;
}

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

constexpr std::string_view kHttpsScheme = "https://";
constexpr std::string_view kDefaultHttpsPath = "/dns-query";

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
           });
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

// Why `host` is no host name of letters, digits and hyphens in dot-separated labels of 1 to 63
// characters, 253 in all; empty when it is one.
std::string HostNameFault(std::string_view host) {
    if (host.empty()) {
        return "no host name or address after https://";
    }
    if (host.size() > 253) {
        return "a host name longer than 253 characters";
    }
    if (std::ranges::any_of(host, [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        return "a host name in letters other than ASCII: give its xn-- form";
    }
    std::size_t label = 0;
    for (const char c : host) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (c == '.') {
            if (label == 0) {
                return "an empty label in the host name";
            }
            label = 0;
        } else if (!letterOrDigit && c != '-') {
            return "a character a host name cannot hold: \"" + std::string(1, c) + "\"";
        } else if (++label > 63) {
            return "a label of the host name longer than 63 characters";
        }
    }
    return label == 0 ? "an empty label in the host name" : "";
}

// The addresses in parentheses: numeric IPv4 or IPv6 addresses separated by commas.
bool ParseGivenAddresses(std::string_view list, std::vector<CSocketAddress>& addresses,
                         std::string& reason) {
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string_view text = Trimmed(list.substr(start, comma - start));
        const std::optional<CSocketAddress> address = CSocketAddress::FromText(text, 0);
        if (!address) {
            reason = "not an address in the parentheses: " + std::string(text);
            return false;
        }
        addresses.push_back(*address);
        start = comma + 1;
    }
    return true;
}

// "HOST[:PORT]" with a bracketed IPv6 host.
bool ParseAuthority(std::string_view authority, HttpsTarget& target, std::string& reason) {
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        host = authority.substr(1, close == std::string_view::npos ? 0 : close - 1);
        port = close == std::string_view::npos ? "" : authority.substr(close + 1);
        if (!ParseIpv6Text(host)) {
            reason = "not an IPv6 address in the brackets";
            return false;
        }
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon);
    }
    if (!port.empty()) {
        const std::optional<std::uint16_t> number =
            port.front() == ':' ? ParsePort(port.substr(1)) : std::nullopt;
        if (!number) {
            reason = "not a port from 1 to 65535 after the host";
            return false;
        }
        target.Port = *number;
    }
    if (!authority.starts_with('[')) {
        // A name written whole, with the root's dot at its end, is the same name.
        if (host.size() > 1 && host.ends_with('.')) {
            host.remove_suffix(1);
        }
        reason = HostNameFault(host);
        if (!reason.empty()) {
            return false;
        }
    }
    target.Host = host;
    return true;
}

std::optional<UpstreamEndpoint> ParseHttpsServer(std::string_view text, std::string& reason) {
    UpstreamEndpoint endpoint;
    std::string_view rest = Trimmed(text.substr(kHttpsScheme.size()));
    if (const std::size_t open = rest.find('('); open != std::string_view::npos) {
        if (!rest.ends_with(')') ||
            !ParseGivenAddresses(rest.substr(open + 1, rest.size() - open - 2),
                                 endpoint.HttpsAddresses, reason)) {
            reason = reason.empty() ? "the \"(\" is not closed at the end" : reason;
            return std::nullopt;
        }
        rest = Trimmed(rest.substr(0, open));
    }
    const std::size_t slash = std::min(rest.find('/'), rest.size());
    HttpsTarget target;
    std::optional<std::string> path =
        ExpandedUriTemplate(slash == rest.size() ? kDefaultHttpsPath : rest.substr(slash));
    if (!path) {
        reason = "an unmatched \"{\" or \"}\" in the path";
        return std::nullopt;
    }
    // What follows a "#" never goes to the server, nor would the query's own parameter.
    if (!std::ranges::all_of(*path, [](char c) { return c > ' ' && c < 0x7F && c != '#'; })) {
        reason = "a space, a \"#\" or another character a query's path cannot hold";
        return std::nullopt;
    }
    target.Path = std::move(*path);
    if (!ParseAuthority(rest.substr(0, slash), target, reason)) {
        return std::nullopt;
    }
    endpoint.Https = std::move(target);
    return endpoint;
}

}  // namespace

std::optional<std::string> ExpandedUriTemplate(std::string_view uriTemplate) {
    std::string expanded;
    for (std::size_t at = 0; at < uriTemplate.size();) {
        const std::size_t open = std::min(uriTemplate.find('{', at), uriTemplate.size());
        const std::string_view literal = uriTemplate.substr(at, open - at);
        if (literal.find('}') != std::string_view::npos) {
            return std::nullopt;
        }
        expanded.append(literal);
        if (open == uriTemplate.size()) {
            break;
        }
        const std::size_t close = uriTemplate.find_first_of("{}", open + 1);
        if (close == std::string_view::npos || uriTemplate[close] != '}') {
            return std::nullopt;
        }
        at = close + 1;
    }
    return expanded;
}

std::optional<UpstreamEndpoint> ParseUpstreamEndpoint(std::string_view text, std::string& reason) {
    if (StartsWithIgnoringCase(text, kHttpsScheme)) {
        return ParseHttpsServer(text, reason);
    }
    if (StartsWithIgnoringCase(text, "http://")) {
        reason = "not encrypted: a DNS-over-HTTPS server's URL begins with https://";
        return std::nullopt;
    }
    std::optional<CSocketAddress> address = ParseUpstreamServer(text, reason);
    if (!address) {
        return std::nullopt;
    }
    return UpstreamEndpoint{*address, std::nullopt, {}};
}

std::optional<std::string> UpstreamServerError(std::string_view text,
                                               std::span<const CSocketAddress> machine,
                                               std::uint16_t proxyPort) {
    std::string reason;
    const std::optional<UpstreamEndpoint> endpoint = ParseUpstreamEndpoint(text, reason);
    if (!endpoint) {
        return reason;
    }
    if (endpoint->Https) {
        return std::nullopt;
    }
    // Port 53 of the machine stays refused on another port too: the list leaves such a server out.
    for (const std::uint16_t port : {kDefaultDnsServerPort, proxyPort}) {
        if (LoopsToProxy(endpoint->Address, machine, port)) {
            return "this machine itself on port " + std::to_string(port) +
                   ": the proxy would ask itself";
        }
    }
    return std::nullopt;
}

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

bool LoopsToProxy(const CSocketAddress& address, std::span<const CSocketAddress> machine,
                  std::uint16_t proxyPort) {
    if (address.Port() != proxyPort) {
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

CUpstreamServer::CUpstreamServer(std::string text, UpstreamEndpoint endpoint)
    : m_text(std::move(text)), m_endpoint(std::move(endpoint)) {
    m_figures.Text = m_text;
    m_figures.Encrypted = IsHttps();
}

bool CUpstreamServer::SameEndpoint(const UpstreamEndpoint& endpoint) const {
    if (IsHttps() || endpoint.Https) {
        return IsHttps() && endpoint.Https && m_endpoint.Https->Host == endpoint.Https->Host &&
               m_endpoint.Https->Port == endpoint.Https->Port &&
               m_endpoint.Https->Path == endpoint.Https->Path;
    }
    return m_endpoint.Address == endpoint.Address &&
           m_endpoint.Address.ScopeId() == endpoint.Address.ScopeId();
}

std::shared_ptr<CHttpsClient> CUpstreamServer::HttpsClient() {
    const std::lock_guard guard(m_lock);
    if (!m_httpsClient && IsHttps()) {
        m_httpsClient = std::make_shared<CHttpsClient>(*m_endpoint.Https);
    }
    return m_httpsClient;
}

std::vector<CSocketAddress> CUpstreamServer::HttpsAddresses() const {
    if (HttpsAddressesGiven()) {
        return m_endpoint.HttpsAddresses;
    }
    const std::lock_guard guard(m_lock);
    return m_foundHttpsAddresses;
}

bool CUpstreamServer::HttpsAddressesKnown() const {
    if (HttpsAddressesGiven()) {
        return true;
    }
    const std::lock_guard guard(m_lock);
    return !m_foundHttpsAddresses.empty();
}

void CUpstreamServer::SetFoundHttpsAddresses(std::vector<CSocketAddress> addresses) {
    const std::lock_guard guard(m_lock);
    m_foundHttpsAddresses = std::move(addresses);
}

bool CUpstreamServer::Silent() const {
    const std::lock_guard guard(m_lock);
    return !m_figures.Answering;
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

bool CUpstreamServer::HasAnswered() const {
    const std::lock_guard guard(m_lock);
    return m_roundTripCount != 0;
}

SteadyTime CUpstreamServer::LastReply() const {
    const std::lock_guard guard(m_lock);
    return m_lastReply;
}

void CUpstreamServer::QuerySent() {
    const std::lock_guard guard(m_lock);
    ++m_figures.Queries;
}

void CUpstreamServer::Answered(std::chrono::microseconds roundTrip, SteadyTime now) {
    const std::lock_guard guard(m_lock);
    ++m_figures.Answers;
    m_figures.RoundTripSum += roundTrip;
    m_roundTrips[m_roundTripCount++ % kRoundTripsKept] = roundTrip;
    MarkAnswering(now);
}

void CUpstreamServer::ErrorReply(SteadyTime now) {
    const std::lock_guard guard(m_lock);
    ++m_figures.Errors;
    MarkAnswering(now);
}

void CUpstreamServer::Missed(SteadyTime now, bool failedSend) {
    const std::lock_guard guard(m_lock);
    ++(failedSend ? m_figures.Errors : m_figures.Timeouts);
    if (++m_missesInRow >= kMissesToSilence && m_figures.Answering) {
        m_figures.Answering = false;
        m_figures.Since = now;
    }
}

void CUpstreamServer::NoteHttpsFailure(std::string why, bool certificateRejected) {
    const std::lock_guard guard(m_lock);
    m_figures.LastFailure = std::move(why);
    m_figures.CertificateRejected = certificateRejected;
}

void CUpstreamServer::MarkAnswering(SteadyTime now) {
    m_missesInRow = 0;
    m_lastReply = std::max(m_lastReply, now);
    m_figures.LastFailure.clear();
    m_figures.CertificateRejected = false;
    if (!m_figures.Answering || m_figures.Since == SteadyTime{}) {
        m_figures.Answering = true;
        m_figures.Since = now;
    }
}

UpstreamServerFigures CUpstreamServer::Figures() const {
    const std::lock_guard guard(m_lock);
    UpstreamServerFigures figures = m_figures;
    const std::size_t kept = std::min(m_roundTripCount, kRoundTripsKept);
    for (std::size_t i = m_roundTripCount - kept; i < m_roundTripCount; ++i) {
        figures.RoundTrips.push_back(m_roundTrips[i % kRoundTripsKept]);
    }
    return figures;
}

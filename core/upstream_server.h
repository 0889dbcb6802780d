#pragma once

// One upstream DNS server of the user's list: how its text reads, where it is (an address and
// port, or a DNS-over-HTTPS URL), and what the proxy knows of it (answering or silent since when,
// its last round trips, its counts, its last failure). It owns that state, its lock and, for a
// DNS-over-HTTPS server, the HTTPS client that keeps its connections; the list
// (core/upstream_settings.h) owns the servers.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/https_client.h"
#include "net/socket_address.h"

// The port of a server whose text names none.
inline constexpr std::uint16_t kDefaultDnsServerPort = 53;

// A server text as the list, the "Dns" setting and quillforthd's --upstream take it: an IPv4
// address (the short forms too: "10.1" is 10.1.0.0) with an optional ":PORT", an IPv6 address,
// bracketed when a port follows ("[2001:db8::1]:5353"), with an optional zone ("fe80::1%12", or
// an interface name where the system has one). Never a host name. Fills `reason` with why a text
// is none.
std::optional<CSocketAddress> ParseUpstreamServer(std::string_view text, std::string& reason);

// Whether a server at `address` would be the proxy itself: the proxy's port (53) of a loopback
// address, of the unspecified address or of one of `machine`'s own addresses. On another port it
// is some other program of the machine.
bool LoopsToProxy(const CSocketAddress& address, std::span<const CSocketAddress> machine,
                  std::uint16_t proxyPort = kDefaultDnsServerPort);

// Where one server of the list is: a plain DNS server's address and port, or a DNS-over-HTTPS
// server's URL with the addresses of its host when the text gives them.
struct UpstreamEndpoint {
    CSocketAddress Address;
    std::optional<HttpsTarget> Https;
    std::vector<CSocketAddress> HttpsAddresses;
};

// Every text ParseUpstreamServer takes, and a DNS-over-HTTPS server:
// "https://HOST[:PORT][/PATH] [(ADDRESS, ...)]", where HOST is a name, an IPv4 address or an IPv6
// one in brackets, PATH defaults to "/dns-query" and the addresses in parentheses say where the
// host is. PATH may be a URI template, as RFC 8484 writes a server ("/dns-query{?dns}"). Fills
// `reason` with why a text is none.
std::optional<UpstreamEndpoint> ParseUpstreamEndpoint(std::string_view text, std::string& reason);

// A URI template (RFC 6570) with each expression ("{?dns}") expanded to nothing, as one without
// values is: each query adds its own "dns" parameter. None when a brace is left unmatched.
std::optional<std::string> ExpandedUriTemplate(std::string_view uriTemplate);

// Why a text cannot be a server of the list (malformed, or the proxy itself on port 53, or on
// `proxyPort` where it listens, of one of `machine`'s addresses); none when it can.
std::optional<std::string> UpstreamServerError(std::string_view text,
                                               std::span<const CSocketAddress> machine,
                                               std::uint16_t proxyPort = kDefaultDnsServerPort);

using SteadyTime = std::chrono::steady_clock::time_point;

// What the proxy knows of one server at a moment, for the status box and the statistics.
struct UpstreamServerFigures {
    std::string Text;
    // A DNS-over-HTTPS server: what leaves for it is encrypted.
    bool Encrypted = false;
    // Not marked silent.
    bool Answering = true;
    // When the server was last found answering or silent; the epoch before anything was seen.
    SteadyTime Since{};
    // The last round trips, oldest first.
    std::vector<std::chrono::microseconds> RoundTrips;
    std::uint64_t Queries = 0;
    // Replies that serve: no error, or no such name.
    std::uint64_t Answers = 0;
    // The round trips of every answer: with Answers, their average.
    std::chrono::microseconds RoundTripSum{0};
    std::uint64_t Timeouts = 0;
    // Error replies (server failure, refused, not implemented) and failed sends.
    std::uint64_t Errors = 0;
    // Why the last query that failed over HTTPS failed ("certificate of dns.example not
    // trusted"), and whether the server's certificate was refused; cleared once the server
    // answers again.
    std::string LastFailure;
    bool CertificateRejected = false;
};

// One server and its state. A server that missed kMissesToSilence queries in a row is silent
// until it answers again; the proxy passes over it meanwhile. Every member may be called from any
// thread; one lock guards the state and is held only to read or change it.
class CUpstreamServer {
public:
    static constexpr int kMissesToSilence = 3;
    static constexpr std::size_t kRoundTripsKept = 8;
    // The failover delay without measurements, and its bounds.
    static constexpr std::chrono::milliseconds kLongestFailoverDelay{1000};
    static constexpr std::chrono::milliseconds kShortestFailoverDelay{250};

    CUpstreamServer(std::string text, UpstreamEndpoint endpoint);
    CUpstreamServer(const CUpstreamServer&) = delete;
    CUpstreamServer& operator=(const CUpstreamServer&) = delete;

    [[nodiscard]] const std::string& Text() const { return m_text; }
    // A plain server's address and port; empty for a DNS-over-HTTPS server.
    [[nodiscard]] const CSocketAddress& Address() const { return m_endpoint.Address; }
    [[nodiscard]] bool IsHttps() const { return m_endpoint.Https.has_value(); }
    // A DNS-over-HTTPS server's host; empty for a plain server.
    [[nodiscard]] std::string_view HttpsHost() const {
        return IsHttps() ? std::string_view(m_endpoint.Https->Host) : std::string_view();
    }
    // Whether both name the same server.
    [[nodiscard]] bool SameEndpoint(const UpstreamEndpoint& endpoint) const;

    // A DNS-over-HTTPS server's client, made at its first use.
    [[nodiscard]] std::shared_ptr<CHttpsClient> HttpsClient();
    // Where a DNS-over-HTTPS server's host is: the addresses its text gives, else those found
    // since (empty while none are known).
    [[nodiscard]] std::vector<CSocketAddress> HttpsAddresses() const;
    [[nodiscard]] bool HttpsAddressesGiven() const { return !m_endpoint.HttpsAddresses.empty(); }
    // Whether HttpsAddresses holds any, without copying them.
    [[nodiscard]] bool HttpsAddressesKnown() const;
    void SetFoundHttpsAddresses(std::vector<CSocketAddress> addresses);

    [[nodiscard]] bool Silent() const;
    // How long a query waits for this server before it also goes to the next one: twice its
    // slowest recent round trip, within the bounds; the longest until it has answered.
    [[nodiscard]] std::chrono::milliseconds FailoverDelay() const;
    // Whether it has answered a query: its delay is learned.
    [[nodiscard]] bool HasAnswered() const;

    // When it last replied (served or with an error); the clock's start before it ever did.
    [[nodiscard]] SteadyTime LastReply() const;

    void QuerySent();
    // A reply that serves, after `roundTrip`.
    void Answered(std::chrono::microseconds roundTrip, SteadyTime now);
    // An error reply: the server is there but did not serve this query.
    void ErrorReply(SteadyTime now);
    // No reply within its failover delay, or a send that failed: one more miss in a row.
    void Missed(SteadyTime now, bool failedSend = false);
    // Why the last query over HTTPS failed (no connection, an untrusted certificate, a status
    // other than 200, no DNS message); the failure itself counts as a failed send.
    void NoteHttpsFailure(std::string why, bool certificateRejected = false);

    [[nodiscard]] UpstreamServerFigures Figures() const;

private:
    void MarkAnswering(SteadyTime now);

    const std::string m_text;
    const UpstreamEndpoint m_endpoint;
    mutable std::mutex m_lock;
    // Under the lock from here on.
    UpstreamServerFigures m_figures;
    int m_missesInRow = 0;
    SteadyTime m_lastReply{};
    std::array<std::chrono::microseconds, kRoundTripsKept> m_roundTrips{};
    std::size_t m_roundTripCount = 0;
    std::vector<CSocketAddress> m_foundHttpsAddresses;
    std::shared_ptr<CHttpsClient> m_httpsClient;
};

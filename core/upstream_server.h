#pragma once

// One upstream DNS server of the user's list: how its text reads, where it is, and what the
// proxy knows of it (answering or silent since when, its last round trips, its counts). It owns
// that state and its lock; the list (core/upstream_settings.h) owns the servers.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket_address.h"

// The port of a server whose text names none.
inline constexpr std::uint16_t kDefaultDnsServerPort = 53;

// A server text as the list, the "Dns" setting and quillforthd's --upstream take it: an IPv4
// address (the short forms too: "10.1" is 10.1.0.0) with an optional ":PORT", an IPv6 address,
// bracketed when a port follows ("[2001:db8::1]:5353"), with an optional zone ("fe80::1%12", or
// an interface name where the system has one). Never a host name. Fills `reason` with why a text
// is none.
std::optional<CSocketAddress> ParseUpstreamServer(std::string_view text, std::string& reason);

// Whether a server at `address` would be the proxy itself: port 53 of a loopback address, of the
// unspecified address or of one of `machine`'s own addresses. On another port it is some other
// program of the machine.
bool LoopsToProxy(const CSocketAddress& address, std::span<const CSocketAddress> machine);

using SteadyTime = std::chrono::steady_clock::time_point;

// What the proxy knows of one server at a moment, for the status box and the statistics.
struct UpstreamServerFigures {
    std::string Text;
    // Not marked silent.
    bool Answering = true;
    // When the server was last found answering or silent; the epoch before anything was seen.
    SteadyTime Since{};
    // The last round trips, oldest first.
    std::vector<std::chrono::microseconds> RoundTrips;
    std::uint64_t Queries = 0;
    // Replies that serve: no error, or no such name.
    std::uint64_t Answers = 0;
    std::uint64_t Timeouts = 0;
    // Error replies (server failure, refused, not implemented) and failed sends.
    std::uint64_t Errors = 0;
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

    CUpstreamServer(std::string text, const CSocketAddress& address)
        : m_text(std::move(text)), m_address(address) {}
    CUpstreamServer(const CUpstreamServer&) = delete;
    CUpstreamServer& operator=(const CUpstreamServer&) = delete;

    [[nodiscard]] const std::string& Text() const { return m_text; }
    [[nodiscard]] const CSocketAddress& Address() const { return m_address; }

    [[nodiscard]] bool Silent() const;
    // How long a query waits for this server before it also goes to the next one: twice its
    // slowest recent round trip, within the bounds; the longest until it has answered.
    [[nodiscard]] std::chrono::milliseconds FailoverDelay() const;

    void QuerySent();
    // A reply that serves, after `roundTrip`.
    void Answered(std::chrono::microseconds roundTrip, SteadyTime now);
    // An error reply: the server is there but did not serve this query.
    void ErrorReply(SteadyTime now);
    // No reply within its failover delay, or a send that failed: one more miss in a row.
    void Missed(SteadyTime now, bool failedSend = false);

    [[nodiscard]] UpstreamServerFigures Figures() const;

private:
    void MarkAnswering(SteadyTime now);

    const std::string m_text;
    const CSocketAddress m_address;
    mutable std::mutex m_lock;
    bool m_silent = false;
    SteadyTime m_since{};
    int m_missesInRow = 0;
    std::array<std::chrono::microseconds, kRoundTripsKept> m_roundTrips{};
    std::size_t m_roundTripCount = 0;
    std::uint64_t m_queries = 0;
    std::uint64_t m_answers = 0;
    std::uint64_t m_timeouts = 0;
    std::uint64_t m_errors = 0;
};

#pragma once

// The proxy's query handler: what becomes of each query, whatever carried it. It owns the set of
// questions in flight and keeps the books: cache answers, forward decisions, learning, statistics.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/dns_item_map.h"
#include "core/dns_notifier.h"
#include "core/dns_packet.h"
#include "core/dns_statistics.h"
#include "core/upstream_settings.h"
#include "net/wsocket.h"

// Where one query stands on its way through the proxy, whatever carried it.
struct DnsQueryState {
    DnsRequestTimes Times;
    // The question as the client asked it; only a readable one is learned under.
    DnsQuestion Question;
    bool QuestionRead = false;
    // The question names a DNS-over-HTTPS server's host whose addresses are not known yet: it
    // goes only to the servers that host names may be asked of (UpstreamTarget::HostLookups).
    bool HostLookup = false;
    // The question that this query leads in flight, while it does.
    std::string InFlightKey;
    bool HoldsInFlight = false;
    // Came over TCP: the reply from the cache may take the whole buffer.
    bool OverTcp = false;
    // Set by Handle with an answer from an expired entry whose renewal is due: the caller starts
    // it (CDnsForwardPool::Renew) once the answer has gone out.
    bool RenewDue = false;
    // This is a renewal: a forward of a cached question with no client of its own.
    bool Renewal = false;
};

// A UDP client waiting for the reply to a question in flight: the one that leads its forward,
// or one that asked the same meanwhile.
struct DnsWaiter {
    // The listening socket the query came in on; the reply goes out through it.
    std::shared_ptr<CWSocket> Listener;
    CSocketAddress Client;
    // The address the query came to, which the reply leaves from; empty: as the routing chooses.
    CSocketAddress Local;
    // The client's own id, as its two bytes stand on the wire.
    std::array<std::uint8_t, 2> Id{};
    // The largest reply the client takes.
    std::size_t UdpSize = kClassicUdpSize;
    // Whether the client sent an EDNS record: a reply to one that did not goes without any.
    bool Edns = false;
    DnsRequestTimes Times;
};

enum class InFlightVerdict {
    // The question was not in flight: forward it (ForwardStarted, then ForwardAnswered or
    // ForwardFailed).
    kLead,
    // Another client's forward of the question will answer this one too.
    kJoined,
    // The same client asked the same with the same id already: dropped and counted.
    kRepeat,
};

enum class QueryVerdict {
    // The buffer holds the reply from the cache: send it, then call CacheReplySent.
    kAnswered,
    // Forward the query unchanged (over UDP through the in-flight rule, Lead).
    kForward,
};

// Decides what becomes of each query, whatever transport brought it, and keeps the books: it
// parses the question, applies the in-flight rule, answers from the cache, learns what the
// upstream answered, tells the notifier about every entry used or changed and counts everything
// in the statistics. The listeners and the forward pool move the bytes.
//
// An A or AAAA question for a cached name is answered with every address of that type the entry
// holds, in the upstream's order, with the seconds left until they expire as the TTL: nothing
// downstream keeps them longer than the upstream allowed. An expired entry is answered at once
// all the same, with a short TTL, and renewed behind the answer: its question goes upstream as a
// forward with no client waiting, whose reply is learned like any other (a failure leaves the
// entry as it is). Renewals are few at a time (kMaxRenewals), and an entry's addresses of one
// type are asked for again at most once per kRenewalInterval, counted from the last renewal
// tried, so that a burst of hits on expired names does not become a burst upstream. With the old
// answers switched on, the cache answers with its first address for a day and renews nothing.
//
// Its one lock guards the set of questions in flight; it is held only for one look-up, insert or
// erase. The cache is read and changed under the cache's own lock.
class CDnsQueryHandler {
public:
    static constexpr int kMaxRenewals = 4;
    static constexpr std::uint32_t kRenewalInterval = 60;

    CDnsQueryHandler(CDnsItemMap& cache, const CUpstreamSettings& upstream,
                     CDnsStatistics& statistics, CDnsNotifier& notifier, const IClock& clock,
                     bool oldAnswers)
        : m_cache(cache),
          m_upstream(upstream),
          m_statistics(statistics),
          m_notifier(notifier),
          m_clock(clock),
          m_oldAnswers(oldAnswers) {}
    CDnsQueryHandler(const CDnsQueryHandler&) = delete;
    CDnsQueryHandler& operator=(const CDnsQueryHandler&) = delete;

    // A query of `length` bytes at the start of `packet`, taken in at `state.Times.Received`
    // (and WallReceived);
    // the whole span is room for the reply. On kAnswered, `replyLength` is the reply's length in
    // `packet`; on kForward, `state` holds the question and its client's UDP size.
    QueryVerdict Handle(std::span<std::uint8_t> packet, std::size_t length, DnsQueryState& state,
                        std::size_t& replyLength);
    // The reply from the cache went out at `now` (or failed to).
    void CacheReplySent(DnsRequestTimes& times, bool sent, SteadyTime now);

    // The in-flight rule of UDP: one forward per question (name as asked, type, class, and the
    // CD and DO bits) at a time, whose reply answers every client that asked meanwhile.
    InFlightVerdict Lead(DnsQueryState& state, DnsWaiter waiter);
    // A query that leads is dropped after all (every forward slot is busy), and with it the
    // clients that joined it.
    void Drop(DnsQueryState& state);
    // A query from a stranger, dropped unread.
    void Refuse();

    void ForwardStarted(DnsQueryState& state);
    // The upstream's reply, about to be relayed: it is learned under the question asked, then
    // the question leaves the in-flight set (so that the next query for it hits or forwards
    // afresh), and the clients that wait for it are given back to be answered, each counted.
    // A renewal itself is no client: it is neither counted nor answered.
    std::vector<DnsWaiter> ForwardAnswered(DnsQueryState& state,
                                           std::span<const std::uint8_t> reply);
    // No reply in time, a socket failure or a stop: the clients get nothing; each is counted.
    void ForwardFailed(DnsQueryState& state);

    // The renewal `state` (Renewal set, its question read, its slot taken by the Handle that made
    // it due) leads its question in flight, with no client waiting; then it goes the way of a
    // forward (ForwardStarted, then ForwardAnswered, ForwardFailed or Drop). False when the
    // question is in flight already, whose reply will teach the cache: the renewal is given up.
    bool LeadRenewal(DnsQueryState& state);

    // The addresses the cache holds for a name (IPv4, then IPv6).
    [[nodiscard]] std::vector<CSocketAddress> CachedAddresses(std::string_view name) const;
    // Learns where a DNS-over-HTTPS server's host is, as any name is learned, so that the next
    // start knows it before the network is up.
    void LearnHostAddresses(std::string_view name, std::span<const CSocketAddress> addresses);

    // Whether a query for the name and type (class IN, no CD or DO bit) is being forwarded over
    // UDP.
    [[nodiscard]] bool InFlight(std::string_view name, std::uint16_t type) const;
    [[nodiscard]] std::size_t InFlightCount() const;
    [[nodiscard]] std::time_t Now() const { return m_clock.Now(); }
    [[nodiscard]] SteadyTime SteadyNow() const { return m_clock.Steady(); }

private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const {
            return std::hash<std::string_view>{}(key);
        }
    };

    // Rewrites the query into the reply from the name's entry and counts the hit; false (packet
    // unchanged) unless the entry holds data of the type asked. Sets state.RenewDue when the entry
    // is to be renewed.
    bool AnswerFromCache(std::span<std::uint8_t> packet, DnsQueryState& state,
                         std::size_t& replyLength);
    // Whether the renewal of expired addresses starts now: not tried within the interval, and a
    // slot free, which it takes (the attempt is recorded). The cache's lock is held.
    bool TakeRenewal(DnsFreshness& freshness, std::uint32_t now);
    // The clients a query stands for when it ends: its waiters, and itself when it is no renewal.
    [[nodiscard]] static std::uint32_t Clients(const DnsQueryState& state, std::size_t waiters);
    // Answers a question for a DNS-over-HTTPS server's host from the server's addresses, never
    // through the server itself: A and AAAA with the first address of the kind (or none), other
    // types with none. False (packet unchanged) while the addresses are not known.
    bool AnswerHttpsHost(std::span<std::uint8_t> packet, const DnsQuestion& question,
                         const CUpstreamServer& server, std::size_t& replyLength);
    // The waiters of the question this query leads; the question leaves the in-flight set.
    std::vector<DnsWaiter> ReleaseInFlight(DnsQueryState& state);
    // Learns the reply, which came at `now`, to the question asked by a query received then.
    void Learn(const DnsQuestion& asked, std::span<const std::uint8_t> reply, std::time_t received,
               std::time_t now);

    CDnsItemMap& m_cache;
    const CUpstreamSettings& m_upstream;
    CDnsStatistics& m_statistics;
    CDnsNotifier& m_notifier;
    const IClock& m_clock;
    const bool m_oldAnswers;
    std::atomic<int> m_renewals{0};
    mutable std::mutex m_inFlightLock;
    std::unordered_map<std::string, std::vector<DnsWaiter>, KeyHash, std::equal_to<>> m_inFlight;
};

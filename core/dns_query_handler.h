#pragma once

// The proxy's query handler: what becomes of each query, whatever carried it. It owns the set of
// questions in flight and keeps the books: cache answers, forward decisions, learning, statistics.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/dns_item_map.h"
#include "core/dns_notifier.h"
#include "core/dns_packet.h"
#include "core/dns_statistics.h"
#include "core/upstream_settings.h"

// Where one query stands on its way through the proxy, whatever carried it.
struct DnsQueryState {
    DnsRequestTimes Times;
    // The question (type and name) that this query marked as in flight, while it holds the mark.
    std::string InFlightKey;
    bool HoldsInFlight = false;
};

enum class QueryVerdict {
    // The buffer holds the reply from the cache: send it, then call CacheReplySent.
    kAnswered,
    // Forward the query unchanged (ForwardStarted, then ForwardAnswered or ForwardFailed).
    kForward,
    // Nothing to send; the query was counted as discarded.
    kDropped,
};

// Decides what becomes of each query, whatever transport brought it, and keeps the books: it
// parses the question, applies the in-flight rule, answers from the cache, learns what the
// upstream answered, tells the notifier about every entry used or changed and counts everything
// in the statistics. The listeners and the forward pool move the bytes.
//
// Its one lock guards the set of questions in flight; it is held only for one look-up, insert or
// erase. The cache is read and changed under the cache's own lock.
class CDnsQueryHandler {
public:
    CDnsQueryHandler(CDnsItemMap& cache, CDnsStatistics& statistics, CDnsNotifier& notifier,
                     const IClock& clock)
        : m_cache(cache), m_statistics(statistics), m_notifier(notifier), m_clock(clock) {}
    CDnsQueryHandler(const CDnsQueryHandler&) = delete;
    CDnsQueryHandler& operator=(const CDnsQueryHandler&) = delete;

    // A query of `length` bytes at the start of `packet`, taken in at `state.Times.Received`;
    // the whole span is room for the reply. With `inFlightRule` (UDP), a query whose question is
    // being forwarded already is dropped, and a forwarded one marks its question in flight until
    // the forward ends. On kAnswered, `replyLength` is the reply's length in `packet`.
    QueryVerdict Handle(std::span<std::uint8_t> packet, std::size_t length, bool inFlightRule,
                        DnsQueryState& state, std::size_t& replyLength);
    // The reply from the cache went out (or failed to).
    void CacheReplySent(DnsQueryState& state, bool sent);
    // A query to be forwarded is dropped after all: every forward slot is busy.
    void Drop(DnsQueryState& state);
    // A query from a stranger, dropped unread.
    void Refuse();

    void ForwardStarted(DnsQueryState& state);
    // The upstream's reply has been relayed to the client: it is learned, then the question
    // leaves the in-flight set, so that the next query for it hits.
    void ForwardAnswered(DnsQueryState& state, std::span<const std::uint8_t> reply);
    // No reply in time, a socket failure or a stop: the client gets nothing.
    void ForwardFailed(DnsQueryState& state);

    // Whether a query for the name and type is being forwarded over UDP.
    [[nodiscard]] bool InFlight(std::string_view name, std::uint16_t type) const;
    [[nodiscard]] std::size_t InFlightCount() const;
    [[nodiscard]] std::time_t Now() const { return m_clock.Now(); }

private:
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const {
            return std::hash<std::string_view>{}(key);
        }
    };

    // Rewrites the query into the reply from the name's entry and counts the hit; false (packet
    // unchanged) unless the entry holds data of the type asked.
    bool AnswerFromCache(std::span<std::uint8_t> packet, const DnsQuestion& question,
                         std::time_t received, std::size_t& replyLength);
    // False when the question is in flight already.
    bool MarkInFlight(DnsQueryState& state, std::string key);
    void ReleaseInFlight(DnsQueryState& state);
    void Learn(std::span<const std::uint8_t> reply, std::time_t received);

    CDnsItemMap& m_cache;
    CDnsStatistics& m_statistics;
    CDnsNotifier& m_notifier;
    const IClock& m_clock;
    mutable std::mutex m_inFlightLock;
    std::unordered_set<std::string, KeyHash, std::equal_to<>> m_inFlight;
};

#include "core/dns_query_handler.h"

#include "core/dns_packet.h"

QueryVerdict CDnsQueryHandler::Handle(std::span<std::uint8_t> packet, std::size_t length,
                                      bool inFlightRule, DnsQueryState& state,
                                      std::size_t& replyLength) {
    ++m_statistics.TotalRequests;
    // A message that is no readable query (a response, a broken one) goes on with the empty
    // domain, which no entry has: it is forwarded like any miss.
    std::string domain;
    std::uint16_t id = 0;
    static_cast<void>(CDnsQuery::Parse(packet.first(length), domain, id));

    if (AnswerFromCache(packet, domain, id, state.Times.Received, replyLength)) {
        return QueryVerdict::kAnswered;
    }
    // Only a miss looks at the questions in flight: a second one for the same question is
    // dropped, as the first one's answer will serve the client's retry.
    if (inFlightRule && !MarkInFlight(state, domain)) {
        ++m_statistics.DiscardRequests;
        return QueryVerdict::kDropped;
    }
    return QueryVerdict::kForward;
}

bool CDnsQueryHandler::AnswerFromCache(std::span<std::uint8_t> packet, const std::string& domain,
                                       std::uint16_t id, std::time_t received,
                                       std::size_t& replyLength) {
    DnsItemPtr item;
    {
        auto cacheLock = m_cache.Lock();
        item = m_cache.Lookup(domain);
        if (!item) {
            return false;
        }
        auto addressLock = item->Addresses.Lock();
        // An entry without an address (a domain-only line of the cache file) is a miss: its
        // domain is forwarded and the answer learned into it.
        if (item->Addresses.IsEmpty()) {
            return false;
        }
        replyLength = CDnsResponse::BuildFromCache(packet, domain, item->Addresses, id);
        if (replyLength == 0) {
            return false;
        }
        // The hit counts the query's arrival, whether or not the reply then reaches the client.
        m_cache.RecordHit(*item, received);
    }
    ++m_statistics.CachedRequests;
    m_notifier.Mark(item);
    return true;
}

void CDnsQueryHandler::CacheReplySent(DnsQueryState& state, bool sent) {
    if (!sent) {
        ++m_statistics.InternalErrorRequests;
        return;
    }
    // The clock is read once per datagram: a reply from the cache leaves within its second.
    state.Times.CacheReplied = state.Times.Received;
    state.Times.Done = state.Times.Received;
    m_statistics.UpdateStatistics(state.Times);
}

void CDnsQueryHandler::Drop(DnsQueryState& state) {
    ReleaseInFlight(state);
    ++m_statistics.DiscardRequests;
}

void CDnsQueryHandler::ForwardStarted(DnsQueryState& state) {
    state.Times.Forwarded = Now();
    ++m_statistics.ForwardAttempts;
}

void CDnsQueryHandler::ForwardAnswered(DnsQueryState& state, std::span<const std::uint8_t> reply) {
    state.Times.Answered = Now();
    ++m_statistics.ForwardRequests;
    Learn(reply, state.Times.Received);
    ReleaseInFlight(state);
    state.Times.Done = Now();
    m_statistics.UpdateStatistics(state.Times);
}

void CDnsQueryHandler::ForwardFailed(DnsQueryState& state) {
    ReleaseInFlight(state);
    ++m_statistics.InternalErrorRequests;
}

bool CDnsQueryHandler::InFlight(std::string_view question) const {
    const std::lock_guard guard(m_inFlightLock);
    return m_inFlight.find(question) != m_inFlight.end();
}

std::size_t CDnsQueryHandler::InFlightCount() const {
    const std::lock_guard guard(m_inFlightLock);
    return m_inFlight.size();
}

bool CDnsQueryHandler::MarkInFlight(DnsQueryState& state, const std::string& question) {
    const std::lock_guard guard(m_inFlightLock);
    if (!m_inFlight.insert(question).second) {
        return false;
    }
    state.InFlightKey = question;
    state.HoldsInFlight = true;
    return true;
}

void CDnsQueryHandler::ReleaseInFlight(DnsQueryState& state) {
    if (!state.HoldsInFlight) {
        return;
    }
    const std::lock_guard guard(m_inFlightLock);
    m_inFlight.erase(state.InFlightKey);
    state.HoldsInFlight = false;
}

void CDnsQueryHandler::Learn(std::span<const std::uint8_t> reply, std::time_t received) {
    // A truncated reply is relayed for the client to ask again over TCP; what it holds may be
    // only part of the answer, which must not replace a complete one in the cache.
    if (IsTruncatedReply(reply)) {
        return;
    }
    std::string name;
    CLockedStringList addresses(true);
    std::uint16_t id = 0;
    std::uint32_t ttl = 0;
    if (CDnsResponse::Parse(reply, name, addresses, id, ttl) == 0) {
        return;
    }
    // A name the cache file could not hold is relayed, never learned.
    if (!IsLearnableName(name)) {
        return;
    }
    m_notifier.Mark(m_cache.Learn(name, addresses, EntryTtl(ttl), received));
}

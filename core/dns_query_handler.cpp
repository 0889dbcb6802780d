#include "core/dns_query_handler.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "net/address_text.h"
#include "net/ip_text.h"

namespace {

// The in-flight key of a question: its type's and class's bytes, a byte of its CD and DO bits
// (they change the answer), then the name as it came.
std::string InFlightKey(std::string_view name, std::uint16_t type, std::uint16_t qclass,
                        bool checkingDisabled, bool dnssecOk) {
    std::string key;
    key.reserve(5 + name.size());
    key += static_cast<char>(type >> 8);
    key += static_cast<char>(type & 0xFF);
    key += static_cast<char>(qclass >> 8);
    key += static_cast<char>(qclass & 0xFF);
    key += static_cast<char>((checkingDisabled ? 1 : 0) | (dnssecOk ? 2 : 0));
    key += name;
    return key;
}

bool SameClientAndId(const DnsWaiter& left, const DnsWaiter& right) {
    return left.Client == right.Client && left.Id == right.Id;
}

// Appends an answer to the reply for each text of the list that is an address of the question's
// type (A or AAAA), in order, while they fit; with `onlyFirst`, for the first text alone. A text
// that is no IPv4 address is answered as 255.255.255.255, as it always was. The list's lock is
// held.
void AddAddresses(CCachedReply& reply, const CLockedStringList& list, std::uint16_t type,
                  bool onlyFirst) {
    for (auto text = list.Begin(); text != list.End(); ++text) {
        bool added = false;
        if (type == kTypeAaaa) {
            const std::optional<Ipv6Bytes> bytes = ParseIpv6Text(*text);
            added = bytes && reply.Add(*bytes);
        } else {
            const std::uint32_t address = TextToAddress(*text);
            std::array<std::uint8_t, sizeof address> bytes{};
            std::memcpy(bytes.data(), &address, sizeof address);
            added = reply.Add(bytes);
        }
        if (onlyFirst || (!added && type == kTypeA)) {
            return;
        }
    }
}

}  // namespace

QueryVerdict CDnsQueryHandler::Handle(std::span<std::uint8_t> packet, std::size_t length,
                                      DnsQueryState& state, std::size_t& replyLength) {
    m_statistics.MinuteAt(state.Times.Received);
    ++m_statistics.TotalRequests;
    // A message that is no readable query (a response, a broken one) goes on as a question
    // without name or type, which no entry answers: it is forwarded like any miss, and nothing
    // is learned from its reply.
    state.QuestionRead = CDnsQuery::ReadQuestion(packet.first(length), state.Question);
    if (!state.QuestionRead) {
        state.Question = DnsQuestion{};
        return QueryVerdict::kForward;
    }
    // The client's size bounds the answer from the cache as much as the forward's reply.
    CDnsQuery::ReadEdns(packet.first(length), state.Question);
    if (const std::shared_ptr<CUpstreamServer> server =
            m_upstream.HttpsServerNamed(state.Question.Name.View());
        server && state.Question.IsPlainInternetQuery()) {
        if (AnswerHttpsHost(packet, state.Question, *server, replyLength)) {
            return QueryVerdict::kAnswered;
        }
        state.HostLookup = true;
    } else if (AnswerFromCache(packet, state, replyLength)) {
        return QueryVerdict::kAnswered;
    }
    return QueryVerdict::kForward;
}

InFlightVerdict CDnsQueryHandler::Lead(DnsQueryState& state, DnsWaiter waiter) {
    const DnsQuestion& question = state.Question;
    std::string key = InFlightKey(question.Name.View(), question.Type, question.Class,
                                  question.CheckingDisabled, question.DnssecOk);
    waiter.UdpSize = question.UdpSize;
    waiter.Edns = question.Edns;
    waiter.Times = state.Times;
    waiter.Times.Forwarded = SteadyNow();
    const std::lock_guard guard(m_inFlightLock);
    const auto [entry, inserted] = m_inFlight.try_emplace(key);
    std::vector<DnsWaiter>& waiters = entry->second;
    if (inserted) {
        waiters.push_back(std::move(waiter));
        state.InFlightKey = std::move(key);
        state.HoldsInFlight = true;
        return InFlightVerdict::kLead;
    }
    // A client that asks again with the same id is retrying: its first query will be answered.
    if (std::ranges::any_of(waiters,
                            [&](const DnsWaiter& w) { return SameClientAndId(w, waiter); })) {
        ++m_statistics.DiscardRequests;
        return InFlightVerdict::kRepeat;
    }
    ++m_statistics.ForwardAttempts;
    waiters.push_back(std::move(waiter));
    return InFlightVerdict::kJoined;
}

bool CDnsQueryHandler::AnswerFromCache(std::span<std::uint8_t> packet, DnsQueryState& state,
                                       std::size_t& replyLength) {
    const DnsQuestion& question = state.Question;
    if (!question.IsPlainInternetQuery() ||
        (question.Type != kTypeA && question.Type != kTypeAaaa)) {
        return false;
    }
    const bool ipv6 = question.Type == kTypeAaaa;
    DnsItemPtr item;
    {
        auto cacheLock = m_cache.Lock();
        item = m_cache.Lookup(question.Name.View());
        // An A question needs an address (a domain-only line of the cache file is a miss, filled
        // by the forward's answer); an AAAA question needs the IPv6 list to be known, whether it
        // holds an address or says that there is none.
        if (!item || (ipv6 && !item->Ipv6Known)) {
            return false;
        }
        DnsFreshness& freshness = item->Freshness(ipv6);
        const std::uint32_t now = EntryTime(state.Times.WallReceived);
        const bool stale = !m_oldAnswers && now >= freshness.Expiry;
        const std::uint32_t ttl = m_oldAnswers ? kCachedReplyTtl
                                  : stale      ? kStaleReplyTtl
                                               : freshness.Expiry - now;
        CCachedReply reply(packet, question, ttl, state.OverTcp ? packet.size() : question.UdpSize);
        {
            const CLockedStringList& list = ipv6 ? item->Ipv6Addresses : item->Addresses;
            auto listLock = list.Lock();
            if (!ipv6 && list.IsEmpty()) {
                return false;
            }
            AddAddresses(reply, list, question.Type, m_oldAnswers);
        }
        replyLength = reply.Finish();
        if (replyLength == 0) {
            return false;
        }
        state.RenewDue = stale && TakeRenewal(freshness, now);
        // The hit counts the query's arrival, whether or not the reply then reaches the client.
        m_cache.RecordHit(*item, state.Times.WallReceived);
    }
    ++m_statistics.CachedRequests;
    m_notifier.Mark(item);
    return true;
}

bool CDnsQueryHandler::TakeRenewal(DnsFreshness& freshness, std::uint32_t now) {
    // Unsigned: a renewal recorded in the future (the clock went back) is long past.
    if (now - freshness.RenewalTried < kRenewalInterval) {
        return false;
    }
    int running = m_renewals.load();
    while (running < kMaxRenewals && !m_renewals.compare_exchange_weak(running, running + 1)) {
    }
    // Without a slot nothing is recorded: the next hit tries again.
    if (running >= kMaxRenewals) {
        return false;
    }
    freshness.RenewalTried = now;
    return true;
}

bool CDnsQueryHandler::AnswerHttpsHost(std::span<std::uint8_t> packet, const DnsQuestion& question,
                                       const CUpstreamServer& server, std::size_t& replyLength) {
    const std::vector<CSocketAddress> addresses = server.HttpsAddresses();
    if (addresses.empty()) {
        return false;
    }
    std::span<const std::uint8_t> answer;
    if (question.Type == kTypeA || question.Type == kTypeAaaa) {
        const AddressFamily family =
            question.Type == kTypeA ? AddressFamily::kIpv4 : AddressFamily::kIpv6;
        const auto first = std::ranges::find_if(
            addresses, [&](const CSocketAddress& address) { return address.Family() == family; });
        if (first != addresses.end()) {
            answer = first->AddressBytes();
        }
    }
    // Addresses found rather than given may change (the watch asks a silent server's host again):
    // a resolver's cache before the client of that server, as Windows' DNS Client is before
    // WinHTTP, keeps an answer as long as its TTL says.
    constexpr std::uint32_t kFoundAddressesTtl = 60;
    replyLength = CDnsResponse::BuildFromCache(
        packet, question, answer,
        server.HttpsAddressesGiven() ? kCachedReplyTtl : kFoundAddressesTtl);
    if (replyLength == 0) {
        return false;
    }
    ++m_statistics.CachedRequests;
    return true;
}

std::vector<CSocketAddress> CDnsQueryHandler::CachedAddresses(std::string_view name) const {
    auto cacheLock = m_cache.Lock();
    const DnsItemPtr item = m_cache.Lookup(name);
    return item ? item->SocketAddresses() : std::vector<CSocketAddress>{};
}

void CDnsQueryHandler::LearnHostAddresses(std::string_view name,
                                          std::span<const CSocketAddress> addresses) {
    // No TTL came with them; a day, as the cache answers anyway.
    constexpr std::int32_t kTtl = 86400;
    CLockedStringList ipv4(true);
    std::vector<std::string> ipv6;
    for (const CSocketAddress& address : addresses) {
        if (address.Family() == AddressFamily::kIpv4) {
            ipv4.AddTail(address.AddressText());
        } else {
            ipv6.push_back(address.AddressText());
        }
    }
    const std::time_t now = Now();
    const std::uint32_t expiry = ExpiryAfter(now, kTtl);
    if (!ipv4.IsEmpty()) {
        m_notifier.Mark(m_cache.Learn(name, ipv4, kTtl, now, expiry));
    }
    m_notifier.Mark(m_cache.LearnIpv6(name, ipv6, kTtl, now, expiry));
}

void CDnsQueryHandler::CacheReplySent(DnsRequestTimes& times, bool sent, SteadyTime now) {
    m_statistics.MinuteAt(now);
    if (!sent) {
        ++m_statistics.InternalErrorRequests;
        return;
    }
    times.CacheReplied = now;
    times.Done = now;
    m_statistics.UpdateStatistics(times);
}

bool CDnsQueryHandler::LeadRenewal(DnsQueryState& state) {
    const DnsQuestion& question = state.Question;
    std::string key = InFlightKey(question.Name.View(), question.Type, question.Class,
                                  question.CheckingDisabled, question.DnssecOk);
    {
        const std::lock_guard guard(m_inFlightLock);
        if (m_inFlight.try_emplace(key).second) {
            state.InFlightKey = std::move(key);
            state.HoldsInFlight = true;
            return true;
        }
    }
    --m_renewals;
    return false;
}

std::uint32_t CDnsQueryHandler::Clients(const DnsQueryState& state, std::size_t waiters) {
    return static_cast<std::uint32_t>(state.Renewal ? waiters : std::max<std::size_t>(1, waiters));
}

void CDnsQueryHandler::Drop(DnsQueryState& state) {
    m_statistics.MinuteAt(SteadyNow());
    m_statistics.DiscardRequests += Clients(state, ReleaseInFlight(state).size());
}

void CDnsQueryHandler::Refuse() {
    m_statistics.MinuteAt(SteadyNow());
    ++m_statistics.TotalRequests;
    ++m_statistics.DiscardRequests;
}

void CDnsQueryHandler::ForwardStarted(DnsQueryState& state) {
    state.Times.Forwarded = SteadyNow();
    if (!state.Renewal) {
        ++m_statistics.ForwardAttempts;
    }
}

std::vector<DnsWaiter> CDnsQueryHandler::ForwardAnswered(DnsQueryState& state,
                                                         std::span<const std::uint8_t> reply) {
    if (state.QuestionRead) {
        Learn(state.Question, reply, state.Times.WallReceived, Now());
    }
    std::vector<DnsWaiter> waiters = ReleaseInFlight(state);
    const SteadyTime answered = SteadyNow();
    m_statistics.MinuteAt(answered);
    const auto count = [&](DnsRequestTimes& times) {
        times.Answered = answered;
        times.Done = answered;
        ++m_statistics.ForwardRequests;
        m_statistics.UpdateStatistics(times);
    };
    if (waiters.empty() && !state.Renewal) {
        count(state.Times);  // a TCP query, which no other client shares
    }
    for (DnsWaiter& waiter : waiters) {
        count(waiter.Times);
    }
    return waiters;
}

void CDnsQueryHandler::ForwardFailed(DnsQueryState& state) {
    m_statistics.MinuteAt(SteadyNow());
    m_statistics.InternalErrorRequests += Clients(state, ReleaseInFlight(state).size());
}

bool CDnsQueryHandler::InFlight(std::string_view name, std::uint16_t type) const {
    const std::string key = InFlightKey(name, type, kClassIn, false, false);
    const std::lock_guard guard(m_inFlightLock);
    return m_inFlight.find(key) != m_inFlight.end();
}

std::size_t CDnsQueryHandler::InFlightCount() const {
    const std::lock_guard guard(m_inFlightLock);
    return m_inFlight.size();
}

std::vector<DnsWaiter> CDnsQueryHandler::ReleaseInFlight(DnsQueryState& state) {
    if (!state.HoldsInFlight) {
        return {};
    }
    state.HoldsInFlight = false;
    if (state.Renewal) {
        --m_renewals;
    }
    const std::lock_guard guard(m_inFlightLock);
    auto entry = m_inFlight.find(state.InFlightKey);
    if (entry == m_inFlight.end()) {
        return {};
    }
    std::vector<DnsWaiter> waiters = std::move(entry->second);
    m_inFlight.erase(entry);
    return waiters;
}

void CDnsQueryHandler::Learn(const DnsQuestion& asked, std::span<const std::uint8_t> reply,
                             std::time_t received, std::time_t now) {
    // A truncated reply is relayed for the client to ask again over TCP; what it holds may be
    // only part of the answer, which must not replace a complete one in the cache. An error
    // (no such name, a server failure, a refusal) teaches nothing either. A reply to a question
    // asked with checking disabled may hold what a validating upstream would have refused: it is
    // the asker's alone. The exchange took only a reply to the question asked, and it is learned
    // under that question's name as asked.
    DnsReplyFacts facts;
    if (!asked.IsPlainInternetQuery() || asked.CheckingDisabled ||
        !CDnsResponse::ReadReply(reply, facts) || facts.Truncated || facts.Rcode != kRcodeNoError ||
        facts.Class != kClassIn || facts.Type != asked.Type) {
        return;
    }
    facts.Name = asked.Name.View();
    if (!IsLearnableName(facts.Name)) {
        return;
    }
    const std::int32_t ttl = EntryTtl(facts.Ttl);
    const std::uint32_t expiry = AnswerExpiry(now, facts.MinTtl);
    if (facts.Type == kTypeA) {
        CLockedStringList addresses(true);
        for (std::string& address : facts.Addresses) {
            addresses.AddTail(std::move(address));
        }
        auto cacheLock = m_cache.Lock();
        // An answer without A records says the name has none now: a cached name forgets its
        // old ones (its A questions go upstream again), an unknown one is not made an entry.
        if (!addresses.IsEmpty() || m_cache.Lookup(facts.Name)) {
            m_notifier.Mark(m_cache.Learn(facts.Name, addresses, ttl, received, expiry));
        }
    } else if (facts.Type == kTypeAaaa) {
        // An answer without AAAA records says the name has no IPv6 address: that is learned
        // too, so that the next AAAA question for it is answered here.
        m_notifier.Mark(m_cache.LearnIpv6(facts.Name, facts.Addresses, ttl, received, expiry));
    }
    if (m_cache.TakeEvicted()) {
        m_notifier.MarkAll();
    }
}
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

// The first text of a list, converted to the bytes an answer carries (4 for A, 16 for AAAA);
// 0 when the list is empty or its first text is no address of that kind. The list's lock is held.
std::size_t FirstAddressBytes(const CLockedStringList& list, std::uint16_t type,
                              std::array<std::uint8_t, 16>& bytes) {
    if (list.Begin() == list.End()) {
        return 0;
    }
    const std::string& text = *list.Begin();
    if (type == kTypeAaaa) {
        const std::optional<Ipv6Bytes> parsed = ParseIpv6Text(text);
        if (!parsed) {
            return 0;
        }
        std::copy(parsed->begin(), parsed->end(), bytes.begin());
        return parsed->size();
    }
    // An address text that does not convert is answered as 255.255.255.255.
    const std::uint32_t address = TextToAddress(text);
    std::memcpy(bytes.data(), &address, sizeof address);
    return sizeof address;
}

}  // namespace

QueryVerdict CDnsQueryHandler::Handle(std::span<std::uint8_t> packet, std::size_t length,
                                      DnsQueryState& state, std::size_t& replyLength) {
    ++m_statistics.TotalRequests;
    // A message that is no readable query (a response, a broken one) goes on as a question
    // without name or type, which no entry answers: it is forwarded like any miss, and nothing
    // is learned from its reply.
    state.QuestionRead = CDnsQuery::ReadQuestion(packet.first(length), state.Question);
    if (!state.QuestionRead) {
        state.Question = DnsQuestion{};
        return QueryVerdict::kForward;
    }
    if (const std::shared_ptr<CUpstreamServer> server =
            m_upstream.HttpsServerNamed(state.Question.Name.View());
        server && state.Question.IsPlainInternetQuery()) {
        if (AnswerHttpsHost(packet, state.Question, *server, replyLength)) {
            return QueryVerdict::kAnswered;
        }
        state.HostLookup = true;
    } else if (AnswerFromCache(packet, state.Question, state.Times.Received, replyLength)) {
        return QueryVerdict::kAnswered;
    }
    CDnsQuery::ReadEdns(packet.first(length), state.Question);
    return QueryVerdict::kForward;
}

InFlightVerdict CDnsQueryHandler::Lead(DnsQueryState& state, DnsWaiter waiter) {
    const DnsQuestion& question = state.Question;
    std::string key = InFlightKey(question.Name.View(), question.Type, question.Class,
                                  question.CheckingDisabled, question.DnssecOk);
    waiter.UdpSize = question.UdpSize;
    waiter.Times = state.Times;
    waiter.Times.Forwarded = Now();
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

bool CDnsQueryHandler::AnswerFromCache(std::span<std::uint8_t> packet, const DnsQuestion& question,
                                       std::time_t received, std::size_t& replyLength) {
    if (!question.IsPlainInternetQuery() ||
        (question.Type != kTypeA && question.Type != kTypeAaaa)) {
        return false;
    }
    DnsItemPtr item;
    {
        auto cacheLock = m_cache.Lock();
        item = m_cache.Lookup(question.Name.View());
        // An A question needs an address (a domain-only line of the cache file is a miss, filled
        // by the forward's answer); an AAAA question needs the IPv6 list to be known, whether it
        // holds an address or says that there is none.
        if (!item || (question.Type == kTypeAaaa && !item->Ipv6Known)) {
            return false;
        }
        const CLockedStringList& list =
            question.Type == kTypeA ? item->Addresses : item->Ipv6Addresses;
        std::array<std::uint8_t, 16> address{};
        std::size_t addressLength = 0;
        {
            auto listLock = list.Lock();
            addressLength = FirstAddressBytes(list, question.Type, address);
            if (addressLength == 0 && (question.Type == kTypeA || !list.IsEmpty())) {
                return false;
            }
        }
        replyLength =
            CDnsResponse::BuildFromCache(packet, question, std::span(address).first(addressLength));
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
    replyLength = CDnsResponse::BuildFromCache(packet, question, answer);
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
    if (!ipv4.IsEmpty()) {
        m_notifier.Mark(m_cache.Learn(name, ipv4, kTtl, Now()));
    }
    m_notifier.Mark(m_cache.LearnIpv6(name, ipv6, kTtl, Now()));
}

void CDnsQueryHandler::CacheReplySent(DnsRequestTimes& times, bool sent) {
    if (!sent) {
        ++m_statistics.InternalErrorRequests;
        return;
    }
    // The clock is read once per datagram: a reply from the cache leaves within its second.
    times.CacheReplied = times.Received;
    times.Done = times.Received;
    m_statistics.UpdateStatistics(times);
}

void CDnsQueryHandler::Drop(DnsQueryState& state) {
    const std::size_t waiters = std::max<std::size_t>(1, ReleaseInFlight(state).size());
    m_statistics.DiscardRequests += static_cast<std::uint32_t>(waiters);
}

void CDnsQueryHandler::Refuse() {
    ++m_statistics.TotalRequests;
    ++m_statistics.DiscardRequests;
}

void CDnsQueryHandler::ForwardStarted(DnsQueryState& state) {
    state.Times.Forwarded = Now();
    ++m_statistics.ForwardAttempts;
}

std::vector<DnsWaiter> CDnsQueryHandler::ForwardAnswered(DnsQueryState& state,
                                                         std::span<const std::uint8_t> reply) {
    const std::time_t now = Now();
    if (state.QuestionRead) {
        Learn(state.Question, reply, state.Times.Received);
    }
    std::vector<DnsWaiter> waiters = ReleaseInFlight(state);
    const auto count = [&](DnsRequestTimes& times) {
        times.Answered = now;
        times.Done = now;
        ++m_statistics.ForwardRequests;
        m_statistics.UpdateStatistics(times);
    };
    if (waiters.empty()) {
        count(state.Times);  // a TCP query, which no other client shares
    }
    for (DnsWaiter& waiter : waiters) {
        count(waiter.Times);
    }
    return waiters;
}

void CDnsQueryHandler::ForwardFailed(DnsQueryState& state) {
    const std::size_t waiters = std::max<std::size_t>(1, ReleaseInFlight(state).size());
    m_statistics.InternalErrorRequests += static_cast<std::uint32_t>(waiters);
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
                             std::time_t received) {
    // A truncated reply is relayed for the client to ask again over TCP; what it holds may be
    // only part of the answer, which must not replace a complete one in the cache. An error
    // (no such name, a server failure, a refusal) teaches nothing either. The exchange took only
    // a reply to the question asked, and it is learned under that question's name as asked.
    DnsReplyFacts facts;
    if (!asked.IsPlainInternetQuery() || !CDnsResponse::ReadReply(reply, facts) ||
        facts.Truncated || facts.Rcode != kRcodeNoError || facts.Class != kClassIn ||
        facts.Type != asked.Type) {
        return;
    }
    facts.Name = asked.Name.View();
    if (!IsLearnableName(facts.Name)) {
        return;
    }
    const std::int32_t ttl = EntryTtl(facts.Ttl);
    if (facts.Type == kTypeA && !facts.Addresses.empty()) {
        CLockedStringList addresses(true);
        for (std::string& address : facts.Addresses) {
            addresses.AddTail(std::move(address));
        }
        m_notifier.Mark(m_cache.Learn(facts.Name, addresses, ttl, received));
    } else if (facts.Type == kTypeAaaa) {
        // An answer without AAAA records says the name has no IPv6 address: that is learned
        // too, so that the next AAAA question for it is answered here.
        m_notifier.Mark(m_cache.LearnIpv6(facts.Name, facts.Addresses, ttl, received));
    }
}

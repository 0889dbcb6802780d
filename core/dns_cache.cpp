#include "core/dns_cache.h"

#include <array>
#include <memory>
#include <optional>

#include "core/dns_item_map.h"
#include "core/dns_packet.h"
#include "core/upstream_exchange.h"

namespace {

// Asks the target one question of `type` for `domain` and reads the reply, over TCP again when
// only part of the answer came over UDP. False without a whole reply that serves within the wait,
// or on any socket failure, or when a stop of `member`'s set cancels it.
bool Ask(const UpstreamTarget& upstream, std::string_view domain, std::uint16_t type,
         DnsReplyFacts& facts, CThreadSet::Member* member) {
    std::array<std::uint8_t, kDnsPacketSize> packet{};
    const std::size_t queryLength = CDnsQuery::Build(packet, domain, 0, type);
    if (queryLength == 0) {
        return false;
    }
    const std::span<const std::uint8_t> query = std::span(packet).first(queryLength);
    const auto room = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxDnsMessage);
    const std::span<std::uint8_t> reply(room.get(), kMaxDnsMessage);
    std::optional<std::vector<std::uint8_t>> whole;
    try {
        const std::optional<std::size_t> length =
            CUpstreamExchange(upstream, member).OverUdp(query, reply);
        if (!length || !CDnsResponse::ReadReply(reply.first(*length), facts)) {
            return false;
        }
        if (!facts.Truncated) {
            return true;
        }
        whole = CUpstreamExchange(upstream, member).OverTcp(query);
    } catch (const CWSocketException&) {
        return false;
    }
    return whole && CDnsResponse::ReadReply(*whole, facts) && !facts.Truncated;
}

}  // namespace

bool CDnsCache::SetDnsServers(const CLockedStringList& servers) {
    const std::vector<std::string> texts = servers.Texts();
    return m_upstream.SetServers(texts);
}

bool CDnsCache::GetHostByName(const UpstreamTarget& upstream, std::string_view domain,
                              DnsItem& item, bool ipv6, CThreadSet::Member* member) {
    item.Addresses.RemoveAll();
    DnsReplyFacts facts;
    if (!Ask(upstream, domain, kTypeA, facts, member)) {
        return false;
    }
    if (facts.Rcode != kRcodeNoError || facts.Addresses.empty()) {
        item.Clear();
        return false;
    }
    item.Domain = domain;
    {
        auto lock = item.Addresses.Lock();
        for (std::string& address : facts.Addresses) {
            item.Addresses.AddTail(std::move(address));
        }
    }
    item.Ttl = EntryTtl(facts.Ttl);
    item.Ipv4Freshness.Expiry = AnswerExpiry(SystemClock().Now(), facts.MinTtl);
    // Only an answer renews the IPv6 addresses: without one they stay as they were.
    DnsReplyFacts facts6;
    if (ipv6 && Ask(upstream, domain, kTypeAaaa, facts6, member) && facts6.Rcode == kRcodeNoError) {
        item.Ipv6Freshness.Expiry = AnswerExpiry(SystemClock().Now(), facts6.MinTtl);
        auto lock = item.Ipv6Addresses.Lock();
        item.Ipv6Addresses.RemoveAll();
        for (std::string& address : facts6.Addresses) {
            item.Ipv6Addresses.AddTail(std::move(address));
        }
        item.Ipv6Known = true;
    }
    return true;
}

std::vector<CSocketAddress> CDnsCache::FindAddresses(const UpstreamTarget& target,
                                                     std::string_view host,
                                                     CThreadSet::Member* member) {
    DnsItem found;
    GetHostByName(target, host, found, true, member);
    return found.SocketAddresses();
}

std::vector<bool> CDnsCache::ProbeServers(const UpstreamTarget& target,
                                          std::chrono::milliseconds wait) {
    std::vector<bool> answered;
    for (const std::shared_ptr<CUpstreamServer>& server : *target.Servers) {
        const UpstreamTarget alone = target.Alone(server, wait);
        DnsReplyFacts facts;
        // No such name is an answer too: the server resolves.
        answered.push_back(Ask(alone, kProbeHostName, kTypeA, facts, nullptr) &&
                           (facts.Rcode == kRcodeNoError || facts.Rcode == kRcodeNameError));
    }
    return answered;
}

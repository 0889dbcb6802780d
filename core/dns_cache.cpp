#include "core/dns_cache.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <random>

#include "core/dns_item_map.h"
#include "core/dns_packet.h"
#include "net/address_text.h"

namespace {

// A fresh id for every resolver query, so that a blind spoofer has to guess it.
std::uint16_t RandomQueryId() {
    static std::mutex lock;
    static std::mt19937 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937(seed);
    }();
    const std::lock_guard guard(lock);
    return static_cast<std::uint16_t>(engine() & 0xFFFFu);
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringAsciiCase(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

}  // namespace

std::string CanonicalServerAddress(std::string_view server) {
    // The empty text reads as 0.0.0.0, which names no server.
    const std::uint32_t address = server.empty() ? kAddressNone : TextToAddress(server);
    return address == kAddressNone ? std::string(server) : AddressToText(address);
}

bool CDnsCache::SetDnsServers(const CLockedStringList& servers) {
    const std::vector<std::string> texts = servers.Texts();
    if (texts.empty()) {
        return false;
    }
    {
        auto lock = m_servers.Lock();
        m_servers.RemoveAll();
        for (const std::string& text : texts) {
            if (TextToAddress(text) != kAddressNone) {
                m_servers.AddTail(text);
            }
        }
    }
    const std::optional<std::string> first = m_servers.GetHead();
    m_upstream.SetCurrentDnsServer(first ? std::string_view(*first) : kFallbackDnsServer);
    return first.has_value();
}

std::size_t ReceiveUpstreamReply(CWSocket& socket, std::span<std::uint8_t> buffer,
                                 std::string_view address, std::uint16_t port,
                                 std::chrono::steady_clock::time_point deadline,
                                 const std::function<bool(std::span<const std::uint8_t>)>& accept) {
    using std::chrono::milliseconds;
    for (;;) {
        const auto left =
            std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            ThrowWSocketException(socket_error::kTimedOut);
        }
        socket.SetReceiveTimeout(static_cast<std::uint32_t>(left));
        std::string from;
        std::uint16_t fromPort = 0;
        std::size_t length = 0;
        try {
            length = socket.ReceiveFrom(buffer.data(), buffer.size(), from, fromPort);
        } catch (const CWSocketException& e) {
            // Whoever sent it, it is no reply that fits; the next datagram arrives whole.
            if (e.GetError() == socket_error::kMessageSize) {
                continue;
            }
            throw;
        }
        if (fromPort == port && from == address && accept(buffer.first(length))) {
            return length;
        }
    }
}

namespace {

// Asks the target one question of `type` for `domain` with a fresh random id and reads the
// genuine reply: from the target's server and port, with the query's id, repeating the queried
// name (in any letter case) and type. False without one within the wait, or on any socket
// failure.
bool Ask(const UpstreamTarget& upstream, std::string_view domain, std::uint16_t type,
         DnsReplyFacts& facts) {
    std::array<std::uint8_t, kDnsPacketSize> query{};
    const std::size_t queryLength = CDnsQuery::Build(query, domain, RandomQueryId(), type);
    DnsQuestion asked;
    if (queryLength == 0 || !CDnsQuery::ReadQuestion(std::span(query).first(queryLength), asked)) {
        return false;
    }
    const std::string target = CanonicalServerAddress(upstream.Server);
    const auto genuine = [&](std::span<const std::uint8_t> in) {
        return in.size() >= 2 && in[0] == query[0] && in[1] == query[1] &&
               CDnsResponse::ReadReply(in, facts) && facts.Type == type &&
               EqualIgnoringAsciiCase(facts.Name, asked.Name.View());
    };
    try {
        CWSocket socket;
        socket.Create(true);
        socket.SendTo(query.data(), queryLength, upstream.Port, target);
        std::array<std::uint8_t, kDnsPacketSize> reply{};
        ReceiveUpstreamReply(socket, reply, target, upstream.Port,
                             std::chrono::steady_clock::now() + upstream.Wait, genuine);
    } catch (const CWSocketException&) {
        return false;
    }
    return true;
}

}  // namespace

bool CDnsCache::GetHostByName(const UpstreamTarget& upstream, std::string_view domain,
                              DnsItem& item, bool ipv6) {
    item.Addresses.RemoveAll();
    DnsReplyFacts facts;
    if (!Ask(upstream, domain, kTypeA, facts)) {
        return false;
    }
    if (facts.Addresses.empty()) {
        item.Clear();
        return false;
    }
    item.Domain = facts.Name;
    {
        auto lock = item.Addresses.Lock();
        for (std::string& address : facts.Addresses) {
            item.Addresses.AddTail(std::move(address));
        }
    }
    item.Ttl = EntryTtl(facts.Ttl);
    // Only an answer renews the IPv6 addresses: without one they stay as they were.
    DnsReplyFacts facts6;
    if (ipv6 && Ask(upstream, domain, kTypeAaaa, facts6) && facts6.Rcode == kRcodeNoError) {
        auto lock = item.Ipv6Addresses.Lock();
        item.Ipv6Addresses.RemoveAll();
        for (std::string& address : facts6.Addresses) {
            item.Ipv6Addresses.AddTail(std::move(address));
        }
        item.Ipv6Known = true;
    }
    return true;
}

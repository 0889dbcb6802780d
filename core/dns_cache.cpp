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

bool CDnsCache::GetHostByName(const UpstreamTarget& upstream, std::string_view domain,
                              DnsItem& item) {
    item.Addresses.RemoveAll();

    std::array<std::uint8_t, kDnsPacketSize> query{};
    const std::size_t queryLength = CDnsQuery::Build(query, domain, RandomQueryId());
    if (queryLength == 0) {
        return false;
    }
    // The name as it stands in the question: what a genuine reply repeats.
    std::string asked;
    std::uint16_t unused = 0;
    static_cast<void>(CDnsQuery::Parse(std::span(query).first(queryLength), asked, unused));

    const std::string target = CanonicalServerAddress(upstream.Server);
    const std::uint16_t port = upstream.Port;
    std::string name;
    CLockedStringList addresses(true);
    std::uint32_t ttl = 0;
    try {
        CWSocket socket;
        socket.Create(true);
        socket.SendTo(query.data(), queryLength, port, target);
        const auto deadline = std::chrono::steady_clock::now() + upstream.Wait;
        std::array<std::uint8_t, kDnsPacketSize> reply{};
        ReceiveUpstreamReply(socket, reply, target, port, deadline,
                             [&](std::span<const std::uint8_t> in) {
                                 if (in.size() < 2 || in[0] != query[0] || in[1] != query[1]) {
                                     return false;
                                 }
                                 std::string replyName;
                                 std::uint16_t replyId = 0;
                                 std::uint32_t replyTtl = 0;
                                 CDnsResponse::Parse(in, replyName, addresses, replyId, replyTtl);
                                 if (!EqualIgnoringAsciiCase(replyName, asked)) {
                                     addresses.RemoveAll();
                                     return false;
                                 }
                                 name = std::move(replyName);
                                 ttl = replyTtl;
                                 return true;
                             });
    } catch (const CWSocketException&) {
        return false;
    }

    if (addresses.IsEmpty()) {
        item.Clear();
        return false;
    }
    item.Domain = name;
    item.Addresses.Copy(addresses);
    item.Ttl = EntryTtl(ttl);
    return true;
}

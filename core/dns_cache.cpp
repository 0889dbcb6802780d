#include "core/dns_cache.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <random>

#include "net/address_text.h"

namespace {

std::mutex g_currentDnsServerLock;
std::string& CurrentDnsServerText() {
    static std::string text(kFallbackDnsServer);
    return text;
}

std::atomic<std::uint16_t> g_dnsServerPort{kDefaultDnsServerPort};
std::atomic<std::uint32_t> g_upstreamTimeoutMs{kDefaultUpstreamTimeoutMs};

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

std::string CurrentDnsServer() {
    const std::lock_guard guard(g_currentDnsServerLock);
    return CurrentDnsServerText();
}

void SetCurrentDnsServer(std::string_view server) {
    const std::lock_guard guard(g_currentDnsServerLock);
    CurrentDnsServerText() = server;
}

std::uint16_t DnsServerPort() {
    return g_dnsServerPort.load();
}

void SetDnsServerPort(std::uint16_t port) {
    g_dnsServerPort.store(port);
}

std::uint32_t UpstreamTimeoutMs() {
    return g_upstreamTimeoutMs.load();
}

void SetUpstreamTimeoutMs(std::uint32_t milliseconds) {
    g_upstreamTimeoutMs.store(milliseconds);
}

bool IsLearnableName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameText) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == ',' || c == '|' || byte < 0x20 || byte == 0x7F;
    });
}

bool IsTruncatedReply(std::span<const std::uint8_t> message) {
    constexpr std::size_t kFlagsOffset = 2;
    constexpr std::uint8_t kTruncated = 0x02;
    return message.size() > kFlagsOffset && (message[kFlagsOffset] & kTruncated) != 0;
}

std::int32_t EntryTtl(std::uint32_t ttl) {
    constexpr auto kLargest = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(std::min(ttl, kLargest));
}

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
        auto lock = m_Servers.Lock();
        m_Servers.RemoveAll();
        for (const std::string& text : texts) {
            if (TextToAddress(text) != kAddressNone) {
                m_Servers.AddTail(text);
            }
        }
    }
    const std::optional<std::string> first = m_Servers.GetHead();
    SetCurrentDnsServer(first ? std::string_view(*first) : kFallbackDnsServer);
    return first.has_value();
}

std::size_t CDnsCache::ReceiveReply(
    CWSocket& socket, std::span<std::uint8_t> buffer, std::string_view address, std::uint16_t port,
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

bool CDnsCache::GetHostByName(std::string_view domain, DnsItem& item, std::string_view server) {
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

    const std::string target = CanonicalServerAddress(server);
    const std::uint16_t port = DnsServerPort();
    std::string name;
    CLockedStringList addresses(true);
    std::uint32_t ttl = 0;
    try {
        CWSocket socket;
        socket.Create(true);
        socket.SendTo(query.data(), queryLength, port, target);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(UpstreamTimeoutMs());
        std::array<std::uint8_t, kDnsPacketSize> reply{};
        ReceiveReply(socket, reply, target, port, deadline, [&](std::span<const std::uint8_t> in) {
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

bool CDnsCache::GetHostByName(std::string_view domain, DnsItem& item) {
    return GetHostByName(domain, item, CurrentDnsServer());
}

#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/dns_item.h"
#include "core/dns_item_map.h"
#include "core/dns_packet.h"
#include "core/locked_string_list.h"
#include "net/wsocket.h"

// The fixed public DNS server: the upstream in use at start and whenever the user's list holds
// no valid address.
inline constexpr std::string_view kFallbackDnsServer = "1.1.1.1";
// The port of every upstream server; the product never uses another.
inline constexpr std::uint16_t kDefaultDnsServerPort = 53;
// How long a forwarded query or a single resolve waits for its reply.
inline constexpr std::uint32_t kDefaultUpstreamTimeoutMs = 3000;

// The upstream server in use, a dotted quad. Readers get a copy taken under its lock, as the
// dialog's thread replaces it while the proxy's workers read it.
std::string CurrentDnsServer();
void SetCurrentDnsServer(std::string_view server);

// The port that all upstream traffic goes to; 53 unless a test or the daemon sets another.
std::uint16_t DnsServerPort();
void SetDnsServerPort(std::uint16_t port);

// How long an upstream query waits for its reply, measured from its send; 3000 ms unless a test
// shortens it.
std::uint32_t UpstreamTimeoutMs();
void SetUpstreamTimeoutMs(std::uint32_t milliseconds);

// True when a name may be learned into the cache: not empty, at most kMaxNameText characters,
// and free of the cache file's separators ("," and "|") and of control characters, which would
// break the file's lines.
bool IsLearnableName(std::string_view name);

// True when the message's header has the TC bit set: the reply was cut to fit a datagram, and
// its answers may be incomplete.
bool IsTruncatedReply(std::span<const std::uint8_t> message);

// A reply's TTL as an entry holds it: values above the signed range become its largest value.
std::int32_t EntryTtl(std::uint32_t ttl);

// The DNS server text as the system sends to it: a text that TextToAddress accepts becomes its
// canonical dotted quad (so replies can be matched against their sender); anything else stays.
std::string CanonicalServerAddress(std::string_view server);

// The upstream side of the proxy: its server list and the single-domain resolver.
class CDnsCache {
public:
    // `cache` is the cache container; not owned, it must outlive this object.
    explicit CDnsCache(CDnsItemMap* cache) : m_pCache(cache) {}
    CDnsCache(const CDnsCache&) = delete;
    CDnsCache& operator=(const CDnsCache&) = delete;
    virtual ~CDnsCache() = default;

    // Keeps the texts of `servers` that are addresses, in order and each once, and makes the
    // first of them current (the fallback server when there is none). True when one was valid.
    // An empty list changes nothing and gives false.
    bool SetDnsServers(const CLockedStringList& servers);
    [[nodiscard]] const CLockedStringList& Servers() const { return m_Servers; }

    // Sends one A query for `domain` to `server` on DnsServerPort() and fills `item` from the
    // reply: its domain becomes the reply's question name, its addresses the A records, its TTL
    // the largest TTL of the answers; true when the reply held an address. A reply without one
    // clears the entry completely. Without a reply within UpstreamTimeoutMs(), or on any socket
    // failure, the entry keeps everything but its addresses, which are emptied, and the result
    // is false. Only a reply from `server` and that port carrying the query's random id and the
    // queried name as question (in any letter case) counts; anything else is ignored.
    //
    // Fills only `item`: a caller that passes an entry of the cache holds the cache's lock.
    static bool GetHostByName(std::string_view domain, DnsItem& item, std::string_view server);
    // The same with CurrentDnsServer().
    static bool GetHostByName(std::string_view domain, DnsItem& item);

protected:
    // Receives into `buffer` until a datagram from `address` and `port` arrives that `accept`
    // takes, and returns its length. Every other datagram, and one too large for the buffer, is
    // ignored and the wait goes on; at `deadline` it throws socket_error::kTimedOut.
    static std::size_t ReceiveReply(
        CWSocket& socket, std::span<std::uint8_t> buffer, std::string_view address,
        std::uint16_t port, std::chrono::steady_clock::time_point deadline,
        const std::function<bool(std::span<const std::uint8_t>)>& accept);

    // Not owned.
    CDnsItemMap* m_pCache;
    // Used only by the proxy's receiving thread.
    std::array<std::uint8_t, kDnsPacketSize> m_ReceiveBuffer{};
    CLockedStringList m_Servers{true};
};

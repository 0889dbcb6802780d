#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/dns_item.h"
#include "core/locked_string_list.h"
#include "core/upstream_settings.h"
#include "net/wsocket.h"

// The DNS server text as the system sends to it: a text that TextToAddress accepts becomes its
// canonical dotted quad (so replies can be matched against their sender); anything else stays.
std::string CanonicalServerAddress(std::string_view server);

// Receives into `buffer` until a datagram from `address` and `port` arrives that `accept` takes,
// and returns its length. Every other datagram, and one too large for the buffer, is ignored and
// the wait goes on; at `deadline` it throws socket_error::kTimedOut.
std::size_t ReceiveUpstreamReply(CWSocket& socket, std::span<std::uint8_t> buffer,
                                 std::string_view address, std::uint16_t port,
                                 std::chrono::steady_clock::time_point deadline,
                                 const std::function<bool(std::span<const std::uint8_t>)>& accept);

// The upstream side: the user's server list and the single-domain resolver.
class CDnsCache {
public:
    // `upstream` is where queries go; not owned, it must outlive this object.
    explicit CDnsCache(CUpstreamSettings& upstream) : m_upstream(upstream) {}
    CDnsCache(const CDnsCache&) = delete;
    CDnsCache& operator=(const CDnsCache&) = delete;
    virtual ~CDnsCache() = default;

    // Keeps the texts of `servers` that are addresses, in order and each once, and makes the
    // first of them current (the fallback server when there is none). True when one was valid.
    // An empty list changes nothing and gives false.
    bool SetDnsServers(const CLockedStringList& servers);
    [[nodiscard]] const CLockedStringList& Servers() const { return m_servers; }

    // Sends one A query for `domain` to the target's server and port and fills `item` from the
    // reply: its domain becomes the reply's question name, its addresses the A records, its TTL
    // the largest TTL of the answers; true when the reply held an address. A reply without one
    // clears the entry completely. Without a reply within the target's wait, or on any socket
    // failure, the entry keeps everything but its addresses, which are emptied, and the result
    // is false. Only a reply from that server and port carrying the query's random id and the
    // queried name as question (in any letter case) counts; anything else is ignored.
    //
    // With `ipv6`, an AAAA question follows a successful A answer, and its answer (with no
    // AAAA record: the name has none) replaces the entry's IPv6 addresses and makes them known.
    //
    // Fills only `item`: a caller that passes an entry of the cache holds the cache's lock.
    static bool GetHostByName(const UpstreamTarget& target, std::string_view domain, DnsItem& item,
                              bool ipv6 = false);

private:
    CUpstreamSettings& m_upstream;
    CLockedStringList m_servers{true};
};

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/dns_item.h"
#include "core/locked_string_list.h"
#include "core/thread_set.h"
#include "core/upstream_settings.h"

// The upstream side as the program sees it: the user's server list handed to the proxy, the
// single-domain resolver and the probe of the servers.
class CDnsCache {
public:
    // `upstream` is where queries go; not owned, it must outlive this object.
    explicit CDnsCache(CUpstreamSettings& upstream) : m_upstream(upstream) {}
    CDnsCache(const CDnsCache&) = delete;
    CDnsCache& operator=(const CDnsCache&) = delete;
    virtual ~CDnsCache() = default;

    // The upstream list becomes the servers among `servers` (CUpstreamSettings::SetServers):
    // true when one was valid; an empty list changes nothing and gives false.
    bool SetDnsServers(const CLockedStringList& servers);

    // Asks the target's servers (with their failover, core/upstream_exchange.h) one A question
    // for `domain` and fills `item` from the reply: its domain becomes the name asked, its
    // addresses the A records, its TTL the largest TTL of the answers, their expiry now plus the
    // smallest; true when the reply held
    // an address. A reply without one clears the entry completely. Without a reply within the
    // target's wait, or on any socket failure, the entry keeps everything but its addresses,
    // which are emptied, and the result is false.
    //
    // With `ipv6`, an AAAA question follows a successful A answer, and its answer (with no
    // AAAA record: the name has none) replaces the entry's IPv6 addresses and makes them known.
    //
    // Fills only `item`: a caller that passes an entry of the cache holds the cache's lock.
    // A thread of a set passes itself as `member`, so that a stop of the set cancels the
    // questions instead of waiting out their wait.
    static bool GetHostByName(const UpstreamTarget& target, std::string_view domain, DnsItem& item,
                              bool ipv6 = false, CThreadSet::Member* member = nullptr);

    // Where `host` is (its A and AAAA answers), asked of the target's servers; empty when no
    // answer came (or a stop of `member`'s set cancelled the questions).
    static std::vector<CSocketAddress> FindAddresses(const UpstreamTarget& target,
                                                     std::string_view host,
                                                     CThreadSet::Member* member);

    // Asks each server of the target alone for kProbeHostName, one after the other, each within
    // `wait`; each server's state takes the outcome. Gives, in list order, whether each gave a
    // reply that serves.
    static std::vector<bool> ProbeServers(const UpstreamTarget& target,
                                          std::chrono::milliseconds wait);

private:
    CUpstreamSettings& m_upstream;
};

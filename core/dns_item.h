#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "core/locked_string_list.h"
#include "net/socket_address.h"

// A time as an entry keeps it: whole seconds since 1970 in 32 bits unsigned, as the cache file
// has always written its times (half the size of a time_t: the cache holds one per name).
// Times before 1970 become 0, times past 2106 its largest value.
std::uint32_t EntryTime(std::int64_t when);
// When something learned at `learned` for `ttl` seconds expires, as an entry keeps times.
std::uint32_t ExpiryAfter(std::time_t learned, std::uint32_t ttl);
// The longest an upstream's answer is taken as its word before it is asked again: a day, whatever
// TTL it gave, so that one wrong or forged answer with a TTL of decades is not kept for good.
inline constexpr std::uint32_t kLongestAnswerTtl = 86400;
// When an answer learned at `learned` with `ttl` expires.
std::uint32_t AnswerExpiry(std::time_t learned, std::uint32_t ttl);

// How long one kind of an entry's addresses (IPv4 or IPv6) is the upstream's word, and when the
// proxy last asked for it again. Guarded, as the entry's other scalar fields, by the cache's lock.
struct DnsFreshness {
    // When the addresses expire: the time they were learned plus the smallest TTL among the
    // records that gave them. 0 when that is not known (an older cache file): expired.
    std::uint32_t Expiry = 0;
    // When a renewal of them was last started; 0 for never.
    std::uint32_t RenewalTried = 0;
};

// One cache entry: a domain with its IPv4 and IPv6 addresses. The scalar fields are guarded by
// the lock of the container that holds the entry; each address list by its own list lock.
// The fields are ordered to leave no padding: the cache holds one per name.
class DnsItem {
public:
    DnsItem() = default;
    DnsItem(const DnsItem&) = delete;
    DnsItem& operator=(const DnsItem&) = delete;
    ~DnsItem() = default;

    // Back to a new entry's state; RowText stays as it is.
    void Clear();
    // "00/00 00:00" for an entry never hit, else the last hit in local time as "%m/%d %H:%M".
    [[nodiscard]] std::string LastHitText() const;
    // The IPv4 addresses joined by "|", as the cache file keeps them.
    [[nodiscard]] std::string AddressText() const { return Addresses.JoinList('|'); }
    // The IPv4 then the IPv6 addresses joined by "|", as the cache list shows them.
    [[nodiscard]] std::string AllAddressText() const;
    // The IPv4 then the IPv6 addresses (port 0); texts that are no address are left out.
    [[nodiscard]] std::vector<CSocketAddress> SocketAddresses() const;
    [[nodiscard]] DnsFreshness& Freshness(bool ipv6) {
        return ipv6 ? Ipv6Freshness : Ipv4Freshness;
    }

    // The entry's line in the cache list; kept here for the list, never read by the core.
    std::string RowText;
    // Exactly as received (case kept, no trailing dot); the entry's key, so it never changes
    // while a container holds the entry.
    std::string Domain;
    // Dotted quads in answer order, the order in which the proxy answers A questions.
    CLockedStringList Addresses{true};
    // RFC 5952 texts in answer order, the order in which the proxy answers AAAA questions.
    CLockedStringList Ipv6Addresses{true};
    // Arrival of the last query that hit or refreshed the entry; 0 means never.
    std::time_t LastHitDate = 0;
    // Given when the entry entered the container; finds its row in the cache list.
    std::int32_t Id = 0;
    // The largest TTL of the answers of the last upstream reply learned, in seconds.
    std::int32_t Ttl = 0;
    // Queries answered from the entry.
    std::int32_t Hits = 0;
    DnsFreshness Ipv4Freshness;
    DnsFreshness Ipv6Freshness;
    // Whether the IPv6 list is known: an AAAA answer was learned (an empty list then means the
    // name has no IPv6 address). Unknown, AAAA questions go upstream.
    bool Ipv6Known = false;
    // The entry waits in the proxy's batch of changes for the owner. Read and written only by
    // the proxy's notifier: a hit on an entry that waits already costs it no lock.
    std::atomic<bool> NotifyPending{false};
};

// "%m/%d %H:%M" of a time in local time, or "00/00 00:00" for 0.
std::string FormatLastHit(std::time_t when);

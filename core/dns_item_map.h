#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/dns_item.h"

// Entries are shared: the container holds one reference, and whoever hands an entry to another
// thread (the proxy's notification to the main window) holds another until the receiver is done
// with it. Removing an entry from the container therefore never frees it under a reader.
using DnsItemPtr = std::shared_ptr<DnsItem>;

// True when a name may be learned into the cache: not empty, at most 255 characters, and free of
// the cache file's separators ("," and "|") and of control characters, which would break the
// file's lines.
bool IsLearnableName(std::string_view name);

// A reply's TTL as an entry holds it: values above the signed range become its largest value.
std::int32_t EntryTtl(std::uint32_t ttl);

// The cache: domain -> entry, keys compared byte for byte (ab.cde and AB.cde are two entries).
// An entry's key is its own Domain (held once: a set of entries found by their Domain), so an
// entry's Domain never changes while the container holds it.
// Its re-entrant lock guards the table, the id counter and the scalar fields of every entry;
// it is always taken before an entry's address-list lock, never after.
//
// It holds at most a bound of entries: a new name learned at the bound first drops the entry hit
// least recently. Finding that entry takes a walk over the whole table, so one walk chooses the
// oldest sixteenth of the bound at once and the next new names drop those, one each: a flood of
// new names costs one walk per so many names, and the cache stays exactly at its bound.
class CDnsItemMap {
public:
    // Far above the names a person's browsing asks for in years.
    static constexpr std::size_t kDefaultMaxEntries = 200'000;

    CDnsItemMap() = default;
    CDnsItemMap(const CDnsItemMap&) = delete;
    CDnsItemMap& operator=(const CDnsItemMap&) = delete;
    virtual ~CDnsItemMap() = default;

    [[nodiscard]] std::unique_lock<std::recursive_mutex> Lock() const {
        return std::unique_lock(m_lock);
    }

    [[nodiscard]] DnsItemPtr Lookup(std::string_view domain) const;
    // Stores the entry under the domain, which becomes its Domain, replacing (and releasing) any
    // entry held there.
    void SetAt(std::string_view domain, DnsItemPtr item);
    // Empties the entry's addresses and removes it; false when no entry has that domain.
    virtual bool RemoveKey(std::string_view domain);
    // Removes every key; entries still referenced elsewhere live on until released there.
    void RemoveAll();
    [[nodiscard]] int GetCount() const;
    // Calls visit(domain, entry) for every pair in hash order, holding the lock throughout.
    void ForEach(const std::function<void(const std::string&, const DnsItemPtr&)>& visit) const;
    // Calls visit(entry) for every entry, holding the lock for at most `step` entries at a time,
    // so that a walk over a large cache never holds lookups up for long. An entry added or
    // removed between two steps may be visited or not; every other entry is visited once. When
    // the table grows between two steps, restart() is called and the walk starts over in one
    // hold of the lock. A caller that holds the lock makes it one walk.
    void ForEachInSteps(const std::function<void(const DnsItemPtr&)>& visit,
                        const std::function<void()>& restart, std::size_t step = kWalkStep) const;
    static constexpr std::size_t kWalkStep = 2048;

    // The id for a new entry; the counter grows by one.
    std::int32_t TakeNextId();
    [[nodiscard]] std::int32_t GetNextId() const;
    void ResetNextId();

    // Learns an upstream answer: finds or creates the domain's entry, replaces its addresses,
    // TTL and their expiry, and moves its last hit time forward to `seen` (never back). Hits are
    // untouched.
    DnsItemPtr Learn(std::string_view domain, const CLockedStringList& addresses, std::int32_t ttl,
                     std::time_t seen, std::uint32_t expiry);
    // The same for an AAAA answer: the IPv6 addresses replace the entry's, which become known
    // (an empty list: the name has none).
    DnsItemPtr LearnIpv6(std::string_view domain, const std::vector<std::string>& addresses,
                         std::int32_t ttl, std::time_t seen, std::uint32_t expiry);
    // Counts a query answered from the entry that arrived at `arrival`.
    void RecordHit(DnsItem& item, std::time_t arrival);

    // The bound (at least 1); a cache above it is brought down to it at once.
    void SetMaxEntries(std::size_t count);
    // Drops the entries hit least recently until the cache is within its bound: after a load,
    // which may bring more.
    void TrimToBound();
    // Whether entries were dropped to keep the bound since the last call: whoever lists the
    // entries must look at all of them again.
    [[nodiscard]] bool TakeEvicted() { return m_evicted.exchange(false); }

private:
    // The domain's entry, made with the next id when there is none (room made first at the
    // bound); the lock is held.
    DnsItemPtr FindOrCreate(std::string_view domain);
    void Refreshed(DnsItem& item, std::int32_t ttl, std::time_t seen);
    // Drops the entry hit least recently, from the batch that the last walk chose; the lock is
    // held.
    void EvictOne();
    void ChooseEvictionBatch();

    // An entry as the last walk found it. Every one in the batch is in the table: the batch is
    // dropped whenever an entry leaves the table otherwise, and its entries' last hit times tell
    // which were hit (or learned) since.
    struct EvictionCandidate {
        std::time_t LastHit;
        DnsItem* Item;
    };

    // Hash and equality of entries by their Domain, and of a domain looked up against them.
    struct DomainHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view domain) const {
            return std::hash<std::string_view>{}(domain);
        }
        std::size_t operator()(const DnsItemPtr& item) const { return (*this)(item->Domain); }
    };
    struct SameDomain {
        using is_transparent = void;
        static std::string_view DomainOf(std::string_view domain) { return domain; }
        static std::string_view DomainOf(const DnsItemPtr& item) { return item->Domain; }
        bool operator()(const auto& left, const auto& right) const {
            return DomainOf(left) == DomainOf(right);
        }
    };

    mutable std::recursive_mutex m_lock;
    std::unordered_set<DnsItemPtr, DomainHash, SameDomain> m_items;
    std::int32_t m_nextId = 0;
    std::size_t m_maxEntries = kDefaultMaxEntries;
    // The least recently hit entries at the last walk, the oldest last.
    std::vector<EvictionCandidate> m_evictionBatch;
    std::atomic<bool> m_evicted{false};
};

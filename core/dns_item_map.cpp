#include "core/dns_item_map.h"

#include <algorithm>
#include <limits>

#include "core/dns_wire_reader.h"

bool IsLearnableName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameText) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == ',' || c == '|' || byte < 0x20 || byte == 0x7F;
    });
}

std::int32_t EntryTtl(std::uint32_t ttl) {
    constexpr auto kLargest = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(std::min(ttl, kLargest));
}

DnsItemPtr CDnsItemMap::Lookup(std::string_view domain) const {
    auto lock = Lock();
    auto found = m_items.find(domain);
    return found == m_items.end() ? nullptr : *found;
}

void CDnsItemMap::SetAt(std::string_view domain, DnsItemPtr item) {
    auto lock = Lock();
    if (auto found = m_items.find(domain); found != m_items.end()) {
        m_items.erase(found);
        m_evictionBatch.clear();
    }
    if (item->Domain != domain) {
        item->Domain = domain;
    }
    m_items.insert(std::move(item));
}

bool CDnsItemMap::RemoveKey(std::string_view domain) {
    auto lock = Lock();
    auto found = m_items.find(domain);
    if (found == m_items.end()) {
        return false;
    }
    (*found)->Addresses.RemoveAll();
    m_items.erase(found);
    m_evictionBatch.clear();
    return true;
}

void CDnsItemMap::RemoveAll() {
    auto lock = Lock();
    m_items.clear();
    m_evictionBatch.clear();
}

int CDnsItemMap::GetCount() const {
    auto lock = Lock();
    return static_cast<int>(m_items.size());
}

void CDnsItemMap::ForEach(
    const std::function<void(const std::string&, const DnsItemPtr&)>& visit) const {
    auto lock = Lock();
    for (const DnsItemPtr& item : m_items) {
        visit(item->Domain, item);
    }
}

void CDnsItemMap::ForEachInSteps(const std::function<void(const DnsItemPtr&)>& visit,
                                 const std::function<void()>& restart, std::size_t step) const {
    std::size_t bucket = 0;
    std::size_t buckets = 0;
    for (bool done = false; !done;) {
        auto lock = Lock();
        if (buckets != m_items.bucket_count()) {
            // Grown between two steps: the entries moved to other buckets. The walk starts over
            // in this one hold.
            if (buckets != 0) {
                restart();
                ForEach([&](const std::string&, const DnsItemPtr& item) { visit(item); });
                return;
            }
            buckets = m_items.bucket_count();
        }
        std::size_t visited = 0;
        for (; bucket < buckets && visited < step; ++bucket) {
            for (auto it = m_items.begin(bucket); it != m_items.end(bucket); ++it) {
                visit(*it);
                ++visited;
            }
        }
        done = bucket == buckets;
    }
}

std::int32_t CDnsItemMap::TakeNextId() {
    auto lock = Lock();
    return m_nextId++;
}

std::int32_t CDnsItemMap::GetNextId() const {
    auto lock = Lock();
    return m_nextId;
}

void CDnsItemMap::ResetNextId() {
    auto lock = Lock();
    m_nextId = 0;
}

DnsItemPtr CDnsItemMap::FindOrCreate(std::string_view domain) {
    DnsItemPtr item = Lookup(domain);
    if (!item) {
        if (m_items.size() >= m_maxEntries) {
            EvictOne();
        }
        item = std::make_shared<DnsItem>();
        item->Domain = domain;
        item->Id = TakeNextId();
        m_items.insert(item);
    }
    return item;
}

void CDnsItemMap::Refreshed(DnsItem& item, std::int32_t ttl, std::time_t seen) {
    item.Ttl = ttl;
    if (seen > item.LastHitDate) {
        item.LastHitDate = seen;
    }
}

DnsItemPtr CDnsItemMap::Learn(std::string_view domain, const CLockedStringList& addresses,
                              std::int32_t ttl, std::time_t seen, std::uint32_t expiry) {
    auto lock = Lock();
    DnsItemPtr item = FindOrCreate(domain);
    item->Addresses.Copy(addresses);
    item->Ipv4Freshness.Expiry = expiry;
    Refreshed(*item, ttl, seen);
    return item;
}

DnsItemPtr CDnsItemMap::LearnIpv6(std::string_view domain,
                                  const std::vector<std::string>& addresses, std::int32_t ttl,
                                  std::time_t seen, std::uint32_t expiry) {
    auto lock = Lock();
    DnsItemPtr item = FindOrCreate(domain);
    {
        auto listLock = item->Ipv6Addresses.Lock();
        item->Ipv6Addresses.RemoveAll();
        for (const std::string& address : addresses) {
            item->Ipv6Addresses.AddTail(address);
        }
    }
    item->Ipv6Known = true;
    item->Ipv6Freshness.Expiry = expiry;
    Refreshed(*item, ttl, seen);
    return item;
}

void CDnsItemMap::RecordHit(DnsItem& item, std::time_t arrival) {
    auto lock = Lock();
    ++item.Hits;
    item.LastHitDate = arrival;
}

void CDnsItemMap::SetMaxEntries(std::size_t count) {
    auto lock = Lock();
    m_maxEntries = std::max<std::size_t>(count, 1);
    TrimToBound();
}

void CDnsItemMap::TrimToBound() {
    auto lock = Lock();
    // Entries added since the last walk may be older than the batch's.
    m_evictionBatch.clear();
    while (m_items.size() > m_maxEntries) {
        EvictOne();
    }
}

void CDnsItemMap::EvictOne() {
    for (;;) {
        if (m_evictionBatch.empty()) {
            ChooseEvictionBatch();
        }
        const EvictionCandidate candidate = m_evictionBatch.back();
        m_evictionBatch.pop_back();
        // One hit or learned since the walk is no longer among the least recent.
        if (candidate.Item->LastHitDate == candidate.LastHit) {
            m_items.erase(m_items.find(candidate.Item->Domain));
            m_evicted.store(true);
            return;
        }
    }
}

void CDnsItemMap::ChooseEvictionBatch() {
    // A sixteenth of the bound: the walk's cost spread over as many new names. A lowered bound,
    // or a large file loaded, takes its whole excess in this one walk: a walk per sixteenth of
    // the bound made trimming 200,000 entries to 1,000 take the better part of a minute.
    constexpr std::size_t kBatchShare = 16;
    std::vector<EvictionCandidate> all;
    all.reserve(m_items.size());
    for (const DnsItemPtr& item : m_items) {
        all.push_back({item->LastHitDate, item.get()});
    }
    const std::size_t excess = m_items.size() - std::min(m_items.size(), m_maxEntries);
    const auto batch = static_cast<std::ptrdiff_t>(
        std::min(all.size(), std::max({m_maxEntries / kBatchShare, excess, std::size_t{1}})));
    const auto older = [](const EvictionCandidate& a, const EvictionCandidate& b) {
        return a.LastHit < b.LastHit;
    };
    std::nth_element(all.begin(), all.begin() + batch - 1, all.end(), older);
    std::sort(all.begin(), all.begin() + batch,
              [&](const EvictionCandidate& a, const EvictionCandidate& b) { return older(b, a); });
    // A copy of the batch alone: the walk's whole list would stay allocated otherwise.
    m_evictionBatch.assign(all.begin(), all.begin() + batch);
}

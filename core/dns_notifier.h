#pragma once

// The proxy's notifier: it owns the batch of changed entries that waits for the owner, and tells
// the owner when the batch goes from empty to non-empty.

#include <cstddef>
#include <mutex>
#include <vector>

#include "core/dns_item_map.h"

class IDnsProxyObserver;

// What the owner takes from the proxy in one go: the entries answered from or learned into since
// the last take, each once, or the word that the whole list must be rebuilt from the cache.
struct DnsChangeBatch {
    std::vector<DnsItemPtr> Items;
    // More entries changed than a batch holds: the owner rebuilds every row from the cache.
    bool RefreshAll = false;
};

// Collects the changed entries for the owner, who takes them when it is ready. Serving threads
// never wait for the owner: marking an entry costs one short lock, and the observer is called
// only when the batch goes from empty to non-empty, a call that must return at once (the program
// posts one window message). A change is never lost: when the batch is full it records that the
// whole list must be refreshed.
//
// Its one lock guards the batch; the observer is called after it is released.
class CDnsNotifier {
public:
    // Entries a batch holds at most.
    static constexpr std::size_t kMaxBatch = 4096;

    explicit CDnsNotifier(IDnsProxyObserver* observer, std::size_t maxBatch = kMaxBatch)
        : m_observer(observer), m_maxBatch(maxBatch) {}
    CDnsNotifier(const CDnsNotifier&) = delete;
    CDnsNotifier& operator=(const CDnsNotifier&) = delete;

    // The entry was answered from or learned into.
    void Mark(const DnsItemPtr& item);
    // Entries left the cache (the bound dropped them): the owner must look at every row.
    void MarkAll();
    // Everything marked since the last take.
    [[nodiscard]] DnsChangeBatch Take();
    // Tells the owner that the proxy cannot serve.
    void ReportError(const std::string& message) const;

private:
    IDnsProxyObserver* const m_observer;
    const std::size_t m_maxBatch;
    std::mutex m_lock;
    DnsChangeBatch m_batch;
};

#include "core/dns_notifier.h"

#include <utility>

#include "core/dns_observer.h"

void CDnsNotifier::Mark(const DnsItemPtr& item) {
    // An entry already waiting is told once; only the first mark of a batch takes the lock.
    if (m_observer == nullptr || !item || item->NotifyPending.exchange(true)) {
        return;
    }
    bool wasEmpty = false;
    {
        const std::lock_guard guard(m_lock);
        wasEmpty = m_batch.Items.empty() && !m_batch.RefreshAll;
        if (m_batch.RefreshAll || m_batch.Items.size() >= m_maxBatch) {
            // The owner rebuilds every row: the entry need not wait in the batch.
            m_batch.RefreshAll = true;
            item->NotifyPending.store(false);
        } else {
            m_batch.Items.push_back(item);
        }
    }
    if (wasEmpty) {
        m_observer->OnCacheChanged();
    }
}

void CDnsNotifier::MarkAll() {
    if (m_observer == nullptr) {
        return;
    }
    bool wasEmpty = false;
    {
        const std::lock_guard guard(m_lock);
        wasEmpty = m_batch.Items.empty() && !m_batch.RefreshAll;
        m_batch.RefreshAll = true;
    }
    if (wasEmpty) {
        m_observer->OnCacheChanged();
    }
}

DnsChangeBatch CDnsNotifier::Take() {
    DnsChangeBatch taken;
    {
        const std::lock_guard guard(m_lock);
        // Cleared before the swap: a mark that comes meanwhile waits for the lock and lands in
        // the next batch.
        for (const DnsItemPtr& item : m_batch.Items) {
            item->NotifyPending.store(false);
        }
        std::swap(taken, m_batch);
        // Room for the next batch, so that marking rarely allocates on a serving thread.
        m_batch.Items.reserve(taken.Items.size());
    }
    return taken;
}

void CDnsNotifier::ReportError(const std::string& message) const {
    if (m_observer != nullptr) {
        m_observer->OnServerError(message);
    }
}

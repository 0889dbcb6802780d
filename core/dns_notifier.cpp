#include "core/dns_notifier.h"

#include <utility>

#include "core/dns_observer.h"

void CDnsNotifier::Mark(const DnsItemPtr& item) {
    if (m_observer == nullptr || !item) {
        return;
    }
    bool wasEmpty = false;
    {
        const std::lock_guard guard(m_lock);
        // An entry already waiting is told once; its flag is guarded by this lock.
        if (m_batch.RefreshAll || item->NotifyPending) {
            return;
        }
        wasEmpty = m_batch.Items.empty();
        if (m_batch.Items.size() >= m_maxBatch) {
            m_batch.RefreshAll = true;
        } else {
            item->NotifyPending = true;
            m_batch.Items.push_back(item);
        }
    }
    if (wasEmpty) {
        m_observer->OnCacheChanged();
    }
}

DnsChangeBatch CDnsNotifier::Take() {
    DnsChangeBatch taken;
    {
        const std::lock_guard guard(m_lock);
        std::swap(taken, m_batch);
        for (const DnsItemPtr& item : taken.Items) {
            item->NotifyPending = false;
        }
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

#include "cache/cache_saver.h"

#include <utility>

#include "cache/cache_file.h"

CCacheSaver::CCacheSaver(const CDnsItemMap& cache, std::string path,
                         std::chrono::milliseconds period, CSaveOutcome* outcome,
                         std::function<void()> beforeSave)
    : m_cache(cache),
      m_path(std::move(path)),
      m_period(period),
      m_outcome(outcome),
      m_beforeSave(std::move(beforeSave)),
      m_thread([this] { Run(); }) {}

CCacheSaver::~CCacheSaver() {
    Stop();
}

void CCacheSaver::MarkChanged() {
    std::lock_guard lock(m_lock);
    if (!m_due) {
        m_due = Clock::now() + m_period;
        m_wake.notify_one();
    }
}

void CCacheSaver::Stop() {
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CCacheSaver::Run() {
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || m_due.has_value(); });
        // Stopped with nothing due, there is no time to wait for.
        if (m_stopping) {
            return;
        }
        if (m_wake.wait_until(lock, *m_due, [this] { return m_stopping; })) {
            return;
        }
        // Changes from now on belong to the next save.
        m_due.reset();
        lock.unlock();
        if (m_beforeSave) {
            m_beforeSave();
        }
        const bool saved = SaveToFile(m_cache, m_path, m_outcome);
        lock.lock();
        if (!saved && !m_due) {
            // The changes are still only in memory: try again a period later.
            m_due = Clock::now() + m_period;
        }
    }
}

#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cache/save_outcome.h"
#include "core/dns_item_map.h"

// Saves the cache to its file by itself while it changes, on a thread of its own. The first
// change since the last save starts the period; the save at its end covers every change made
// meanwhile. So the file is written at most once a period, and a process ended by force loses
// at most the changes of the last period. Each save holds the cache's lock only while it copies
// the entries (SaveToFile), so lookups never wait for the disk. A save that fails is recorded in
// the outcome, when one is given, and tried again a period later.
class CCacheSaver {
public:
    // `beforeSave`, if any, runs on the saver's thread before each save: whoever tells the saver
    // of changes from a batch of them takes the batch there, so that the next change is told
    // again.
    CCacheSaver(const CDnsItemMap& cache, std::string path, std::chrono::milliseconds period,
                CSaveOutcome* outcome = nullptr, std::function<void()> beforeSave = {});
    CCacheSaver(const CCacheSaver&) = delete;
    CCacheSaver& operator=(const CCacheSaver&) = delete;
    ~CCacheSaver();

    // From any thread: the cache has changed since it was last saved.
    void MarkChanged();
    // Ends the thread, after the save under way if there is one. A change still waiting for its
    // period is not saved: the owner saves the cache itself when it ends.
    void Stop();

private:
    using Clock = std::chrono::steady_clock;

    void Run();

    const CDnsItemMap& m_cache;
    const std::string m_path;
    const std::chrono::milliseconds m_period;
    CSaveOutcome* const m_outcome;
    const std::function<void()> m_beforeSave;
    std::mutex m_lock;
    std::condition_variable m_wake;
    // When the next save is due; none while the file holds every change.
    std::optional<Clock::time_point> m_due;
    bool m_stopping = false;
    // Last: it starts once everything above is set up.
    std::thread m_thread;
};

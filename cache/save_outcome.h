#pragma once

#include <mutex>
#include <optional>

// The outcome of the latest save of one file, whichever thread made it: the system's error number
// (GetLastError on Windows, errno elsewhere) while the latest save failed, none once one has
// succeeded. The program shows a failure at once and clears it with the next save that works.
class CSaveOutcome {
public:
    void Record(bool saved, int error) {
        std::lock_guard lock(m_lock);
        m_failure = saved ? std::nullopt : std::optional<int>(error);
    }
    [[nodiscard]] std::optional<int> Failure() const {
        std::lock_guard lock(m_lock);
        return m_failure;
    }

private:
    mutable std::mutex m_lock;
    std::optional<int> m_failure;
};

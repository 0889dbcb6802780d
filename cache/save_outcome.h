#pragma once

#include <mutex>
#include <optional>

// The outcome of the latest save of one file, whichever thread made it: the system's error number
// (GetLastError on Windows, errno elsewhere) while the latest save failed, none once one has
// succeeded. The program shows a failure at once and clears it with the next save that works.
// A file that is there but could not be read at start is kept: the saves that come by themselves
// (by the saver, after a command, at exit) leave it as it is, so that a cache that lacks what it
// holds is not written over it; a save that the user asks for releases it first.
class CSaveOutcome {
public:
    void KeepFile(bool keep) {
        std::lock_guard lock(m_lock);
        m_fileKept = keep;
    }
    [[nodiscard]] bool FileKept() const {
        std::lock_guard lock(m_lock);
        return m_fileKept;
    }
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
    bool m_fileKept = false;
};

#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

// A re-entrant mutex of 16 bytes, for locks the cache holds one of per name (each entry's
// address lists): std::recursive_mutex takes 40 bytes on glibc, which for 10,000 names is half
// a megabyte of locks. Uncontended, lock and unlock are one atomic exchange each. A waiter sleeps
// on one of a few condition variables shared by all such mutexes (chosen by address), and the
// holder wakes the sleepers there when it lets go. (std::atomic::wait would do, but MinGW's
// libstdc++ loses its wake-ups.)
// Meets the Lockable requirements, so std::unique_lock and std::scoped_lock take it.
class CCompactRecursiveMutex {
public:
    CCompactRecursiveMutex() = default;
    CCompactRecursiveMutex(const CCompactRecursiveMutex&) = delete;
    CCompactRecursiveMutex& operator=(const CCompactRecursiveMutex&) = delete;

    void lock() {
        if (HeldHere()) {
            ++m_depth;
            return;
        }
        std::uint32_t expected = kFree;
        if (!m_state.compare_exchange_strong(expected, kLocked, std::memory_order_acquire)) {
            WaitForIt();
        }
        Take();
    }

    bool try_lock() {
        if (HeldHere()) {
            ++m_depth;
            return true;
        }
        std::uint32_t expected = kFree;
        if (!m_state.compare_exchange_strong(expected, kLocked, std::memory_order_acquire)) {
            return false;
        }
        Take();
        return true;
    }

    void unlock() {
        if (--m_depth != 0) {
            return;
        }
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        if (m_state.exchange(kFree, std::memory_order_release) == kContended) {
            WakeWaiters();
        }
    }

private:
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;  // locked, and someone may be waiting

    // Only this thread ever stores its own id here, and it clears it before letting go, so a
    // stale read on another thread never shows that thread's id.
    [[nodiscard]] bool HeldHere() const {
        return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    void Take() {
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        m_depth = 1;
    }

    // Marks the mutex contended, so that the holder wakes the waiters, and sleeps until it is
    // free.
    void WaitForIt();
    void WakeWaiters();

    std::atomic<std::uint32_t> m_state{kFree};
    std::uint32_t m_depth = 0;  // written and read only by the holder
    std::atomic<std::thread::id> m_owner{};
};

#include "core/compact_recursive_mutex.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace {

struct WaitSlot {
    std::mutex lock;
    std::condition_variable woken;
};

// A sleeper checks the state and goes to sleep under its slot's lock, and a holder that lets go
// of a contended mutex takes that lock before it wakes the slot, so no wake-up falls between the
// check and the sleep. Mutexes that share a slot wake each other's waiters now and then; those
// look again and sleep on.
WaitSlot& SlotOf(const void* mutex) {
    static std::array<WaitSlot, 16> slots;
    return slots[std::hash<const void*>{}(mutex) / alignof(std::max_align_t) % slots.size()];
}

}  // namespace

void CCompactRecursiveMutex::WaitForIt() {
    WaitSlot& slot = SlotOf(this);
    std::unique_lock guard(slot.lock);
    while (m_state.exchange(kContended, std::memory_order_acquire) != kFree) {
        slot.woken.wait(guard);
    }
}

void CCompactRecursiveMutex::WakeWaiters() {
    WaitSlot& slot = SlotOf(this);
    { const std::lock_guard guard(slot.lock); }
    slot.woken.notify_all();
}

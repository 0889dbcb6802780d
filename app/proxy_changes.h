#pragma once

#include <windows.h>

#include <functional>

// Takes the proxy's batch of changed entries on the window's thread at most once a period. The
// proxy posts one message when its batch goes from empty to non-empty; taken at once, a burst of
// hits would still cost the window a message and a take for almost every hit. So a message that
// comes within the period of the last take only arms a timer for the rest of it, and the batch
// grows meanwhile: a burst of thousands of hits costs a few messages a second, and every row is
// at most a period behind.
class CProxyChangesPump {
public:
    CProxyChangesPump(UINT_PTR timerId, UINT periodMs, std::function<void()> take)
        : m_timerId(timerId), m_periodMs(periodMs), m_take(std::move(take)) {}

    // The window that gets the message and the timer.
    void Attach(HWND window) { m_window = window; }
    // The proxy's message has come.
    void OnChangesPosted();
    // True for the pump's timer, which takes the batch.
    bool OnTimer(UINT_PTR id);

private:
    void Take();

    HWND m_window = nullptr;
    const UINT_PTR m_timerId;
    const UINT m_periodMs;
    const std::function<void()> m_take;
    ULONGLONG m_lastTake = 0;
    bool m_timerSet = false;
};

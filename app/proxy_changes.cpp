#include "app/proxy_changes.h"

void CProxyChangesPump::OnChangesPosted() {
    const ULONGLONG now = ::GetTickCount64();
    if (now - m_lastTake >= m_periodMs) {
        Take();
        return;
    }
    if (!m_timerSet) {
        m_timerSet = true;
        ::SetTimer(m_window, m_timerId, static_cast<UINT>(m_periodMs - (now - m_lastTake)),
                   nullptr);
    }
}

bool CProxyChangesPump::OnTimer(UINT_PTR id) {
    if (id != m_timerId) {
        return false;
    }
    Take();
    return true;
}

void CProxyChangesPump::Take() {
    if (m_timerSet) {
        ::KillTimer(m_window, m_timerId);
        m_timerSet = false;
    }
    m_lastTake = ::GetTickCount64();
    m_take();
}

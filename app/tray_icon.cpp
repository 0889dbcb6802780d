#include "app/tray_icon.h"

#include <algorithm>
#include <cstring>

#include "res/resource.h"

CTrayIcon::~CTrayIcon() {
    RemoveIcon();
    m_menu.reset();
    if (m_tooltip.Exists()) {
        ::DestroyWindow(m_tooltip.Hwnd());
    }
}

bool CTrayIcon::Create(HWND owner, UINT callbackMessage, std::string_view tip, HICON icon,
                       UINT id) {
    // Notification icons came with Windows 4.
    if (LOBYTE(LOWORD(::GetVersion())) < 4 || owner == nullptr || !::IsWindow(owner)) {
        m_enabled = false;
        return false;
    }
    m_data = {};
    // The layout that every shell since version 5 takes; the larger ones add nothing we use.
    m_data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    m_data.hWnd = owner;
    m_data.uID = id;
    m_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_data.uCallbackMessage = callbackMessage;
    m_data.hIcon = icon;
    const size_t length = std::min(tip.size(), kMaxTipLength);
    std::memcpy(m_data.szTip, tip.data(), length);
    m_data.szTip[length] = '\0';
    m_enabled = ::Shell_NotifyIconA(NIM_ADD, &m_data) != FALSE;

    m_menu.emplace(CMenu::Load(static_cast<int>(LOWORD(id))));
    m_tooltip.Create(owner);
    return m_enabled;
}

bool CTrayIcon::AddAgain() {
    if (m_data.hWnd == nullptr) {
        return false;
    }
    m_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    // A shell that still holds the icon refuses to add it twice; it takes the update.
    m_enabled = Submit(NIM_ADD) || Submit(NIM_MODIFY);
    return m_enabled;
}

void CTrayIcon::RemoveIcon() {
    if (m_enabled) {
        m_data.uFlags = 0;
        ::Shell_NotifyIconA(NIM_DELETE, &m_data);
        m_enabled = false;
    }
    // For good: a later "TaskbarCreated" must not bring it back.
    m_data.hWnd = nullptr;
}

bool CTrayIcon::Submit(DWORD command) {
    return ::Shell_NotifyIconA(command, &m_data) != FALSE;
}

bool CTrayIcon::SetIcon(HICON icon) {
    if (!m_enabled) {
        return false;
    }
    m_data.uFlags = NIF_ICON;
    m_data.hIcon = icon;
    return Submit(NIM_MODIFY);
}

bool CTrayIcon::SetIcon(int iconId) {
    // Icons loaded from the module are shared: the system frees them with the module.
    HICON icon = ::LoadIconA(::GetModuleHandleA(nullptr), ResourceName(LOWORD(iconId)));
    return SetIcon(icon);
}

bool CTrayIcon::SetTooltipText(std::string_view text) {
    if (!m_enabled) {
        return false;
    }
    m_tip = text;
    return Submit(NIM_MODIFY);
}

bool CTrayIcon::OnTrayNotification(WPARAM id, LPARAM event) {
    if (id != m_data.uID || !m_menu) {
        return false;
    }
    CMenu popup = m_menu->SubMenu(0);
    if (popup.Handle() == nullptr) {
        return false;
    }
    HWND owner = m_data.hWnd;
    POINT cursor{};
    ::GetCursorPos(&cursor);
    switch (LOWORD(event)) {
        case WM_RBUTTONUP:
            popup.SetDefaultItem(0);
            // The menu closes when the user clicks elsewhere only if its owner is in front.
            ::SetForegroundWindow(owner);
            popup.Track(owner, cursor);
            break;
        case WM_LBUTTONDBLCLK:
            ::SetForegroundWindow(owner);
            ::SendMessageA(owner, WM_COMMAND, static_cast<WPARAM>(popup.GetItemId(0)), 0);
            break;
        case WM_MOUSEMOVE:
            if (m_tooltip.Exists()) {
                m_tooltip.Request(m_tip, nullptr, cursor);
            }
            break;
        default:
            break;
    }
    return true;
}

std::optional<int> CCacheShareToday::Update(int day, std::uint64_t cached, std::uint64_t answered) {
    if (!m_day) {
        // The counters started with the program: its first day counts from 0.
        m_day = day;
    } else if (*m_day != day) {
        m_day = day;
        m_cachedAtStart = cached;
        m_answeredAtStart = answered;
    }
    // Counters never go back; a reading below the day's start would be a fault elsewhere.
    if (answered <= m_answeredAtStart || cached < m_cachedAtStart) {
        return std::nullopt;
    }
    const std::uint64_t today = answered - m_answeredAtStart;
    const std::uint64_t fromCache = std::min(cached - m_cachedAtStart, today);
    return static_cast<int>((fromCache * 100 + today / 2) / today);
}

std::string WithCacheShare(std::string text, std::optional<int> percent) {
    if (!percent) {
        return text;
    }
    const std::string line =
        "\n" + std::to_string(*percent) + "% of today's queries answered from the cache";
    if (text.size() + line.size() <= CTrayIcon::kMaxTipLength) {
        text += line;
    }
    return text;
}

TrayStatus CTrayWarning::Update(bool& serverDown, bool updating, bool running,
                                const TrayNotes& notes) {
    constexpr int kBlinks = 10;
    if (serverDown) {
        TrayStatus status{0, notes.warning.empty() ? "Current DNS server is down" : notes.warning};
        if (m_blinkCount >= kBlinks) {
            serverDown = false;
            status.icon = IDR_MAINFRAME;
            m_blinkPhase = false;
            m_blinkCount = 0;
        } else if (m_blinkPhase) {
            status.icon = IDI_BLINK;
            m_blinkPhase = false;
        } else {
            status.icon = IDI_SERVER_DOWN;
            m_blinkPhase = true;
            ++m_blinkCount;
        }
        return status;
    }
    if (updating) {
        TrayStatus status{m_blinkPhase ? IDI_BLINK : IDI_UPDATING, "Quillforth is updating"};
        m_blinkPhase = !m_blinkPhase;
        return status;
    }
    if (running) {
        return {IDR_MAINFRAME,
                notes.encrypted ? "Quillforth is running (encrypted)" : "Quillforth is running"};
    }
    return {IDI_STOPPED, "Quillforth was stopped"};
}

#pragma once

#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ui/balloon_tip.h"
#include "win/controls.h"

// The program's icon in the notification area. It has no window of its own: the shell sends the
// owner WM_TRAYNOTIFY, and the owner hands the events it does not handle itself to
// OnTrayNotification. The status text is shown by our own tooltip window, not by the shell, whose
// tip keeps the text given to Create. Window thread only.
class CTrayIcon {
public:
    // The tip that the shell's icon data can hold: 127 characters and the terminator.
    static constexpr size_t kMaxTipLength = 127;

    CTrayIcon() = default;
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;
    virtual ~CTrayIcon();

    // Adds the icon; its popup menu is the menu resource whose id is the icon id. False when the
    // owner is not a window or the shell refuses the icon: every other call then does nothing.
    bool Create(HWND owner, UINT callbackMessage, std::string_view tip, HICON icon, UINT id);
    // The shell lost its icons (Explorer started again and broadcast "TaskbarCreated"), or was
    // not ready when Create ran: adds the icon again, with its current image. Nothing once
    // RemoveIcon has run. The shell's result.
    bool AddAgain();
    void RemoveIcon();
    [[nodiscard]] bool Enabled() const { return m_enabled; }

    // Replace the icon: the shell's result, or false when not enabled.
    bool SetIcon(HICON icon);
    bool SetIcon(int iconId);
    // The text that our tooltip window shows: the shell's result, or false when not enabled.
    bool SetTooltipText(std::string_view text);
    [[nodiscard]] const std::string& TooltipText() const { return m_tip; }
    // The tip as the shell holds it.
    [[nodiscard]] std::string ShellTip() const { return m_data.szTip; }

    // WM_TRAYNOTIFY that the owner did not handle: false when `id` is not this icon's.
    virtual bool OnTrayNotification(WPARAM id, LPARAM event);

private:
    bool Submit(DWORD command);

    CBalloonTip m_tooltip;
    std::string m_tip;
    bool m_enabled = false;
    NOTIFYICONDATAA m_data{};
    std::optional<CMenu> m_menu;
};

// What the tray icon shows: an icon resource and its tooltip text.
struct TrayStatus {
    int icon = 0;
    std::string text;
};

// What the tray's texts say beyond the proxy's state.
struct TrayNotes {
    // Why the icon warns; that the server is down when empty.
    std::string warning;
    // The server in use is a DNS-over-HTTPS server.
    bool encrypted = false;
};

// The tray icon's status, updated every second. A server found down (or a warning of the notes)
// makes the icon alternate between IDI_SERVER_DOWN and IDI_BLINK ten times, after which the down
// flag clears itself until the next failed probe sets it again; a batch resolve blinks between
// IDI_UPDATING and IDI_BLINK; otherwise the icon tells whether the proxy runs.
class CTrayWarning {
public:
    TrayStatus Update(bool& serverDown, bool updating, bool running, const TrayNotes& notes = {});

private:
    bool m_blinkPhase = false;
    int m_blinkCount = 0;
};

// The share of the day's queries that the cache answered, among those answered from the cache,
// by the upstream or not at all (discarded ones are left out: they were asked again). The day
// starts at local midnight, or when the program started.
class CCacheShareToday {
public:
    // The proxy's totals during local day `day`: the share in whole percent, or none while
    // nothing was answered that day.
    std::optional<int> Update(int day, std::uint64_t cached, std::uint64_t answered);

private:
    std::optional<int> m_day;
    std::uint64_t m_cachedAtStart = 0;
    std::uint64_t m_answeredAtStart = 0;
};

// The tooltip text with a line for the cache's share of the day, when there is a share and the
// line fits the tooltip's 127 characters.
std::string WithCacheShare(std::string text, std::optional<int> percent);

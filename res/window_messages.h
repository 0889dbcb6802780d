// Every private window message and timer id of Quillforth. The messages lie in the WM_APP range,
// which no system control uses for its own; each says who sends it to whom and what it carries.
// Timer ids belong to one window each, so two windows may use the same number.
#pragma once

#include <windows.h>

// The shell to the main dialog, about the tray icon: wParam the icon id, lParam the mouse message.
inline constexpr UINT WM_TRAYNOTIFY = WM_APP + 5;

// The statistics window to its owner as the window goes: wParam 1 when the user closed it, 0 when
// it went with its owner (it was open at the end); lParam 0. The owner forgets the window while
// it handles the message.
inline constexpr UINT WM_INFODLG_CLOSED = WM_APP + 6;

// The batch worker and the item dialog's owner to the main dialog, always sent (never posted):
// wParam the DnsItem whose row must be refreshed, lParam 0. The sender keeps the entry alive
// until the message has been handled.
inline constexpr UINT WM_DNSITEM_CHANGED = WM_APP + 10;

// The proxy's serving threads to the main dialog, posted: lParam a heap copy of a server error
// text, which the handler shows and frees.
inline constexpr UINT WM_SERVER_ERROR = WM_APP + 16;

// The main dialog to itself, posted to tell the user something once it is up: lParam a heap copy
// of the text, which the handler shows and frees.
inline constexpr UINT WM_SHOW_NOTICE = WM_APP + 17;

// The proxy's serving threads to the main dialog, posted when entries answered from or learned
// into wait in the proxy's batch of changes (once until the batch is taken); wParam and lParam
// are 0. The handler takes the batch and brings the cache list up to date.
inline constexpr UINT WM_PROXY_CHANGES = WM_APP + 18;

// The server box to the application's main window, sent: wParam an event code (ServerListEvent),
// lParam the index of the item concerned.
inline constexpr UINT WM_SERVERLIST_CHANGED = WM_APP + 20;

// An editable list to itself, posted when its inner list has closed an editor: the outcome is
// applied once the list has finished with it.
inline constexpr UINT WM_LISTEDIT_ENDED = WM_APP + 81;

// The batch worker to the progress window, sent: wParam the progress text, a const std::string*
// that stays the sender's (the send returns only once the window has copied it, and a window that
// has gone by then leaves nothing to free); lParam the position, the rows finished. The result
// is 0.
inline constexpr UINT WM_RESOLVE_PROGRESS = WM_APP + 101;

// A probe's thread to the window that runs the probe, posted when its lookup has ended; wParam
// and lParam are 0: the result waits in the probe.
inline constexpr UINT WM_PROBE_DONE = WM_APP + 264;

// The item dialog's lookup thread to the dialog, posted when "&Resolve" has an outcome; wParam
// and lParam are 0: the outcome waits in the lookup's state.
inline constexpr UINT WM_ITEM_RESOLVED = WM_APP + 309;

// The main dialog's timers.
inline constexpr UINT_PTR TIMER_STATUS_TEXT = 104;    // the status box, every second
inline constexpr UINT_PTR TIMER_REFRESH = 105;        // the scheduled refresh of the cache
inline constexpr UINT_PTR TIMER_STATUS_ICON = 106;    // the tray icon, every second
inline constexpr UINT_PTR TIMER_HIDE_AT_START = 107;  // once, to hide the window at start
inline constexpr UINT_PTR TIMER_PROBE = 108;          // the probe of the upstream server
inline constexpr UINT_PTR TIMER_PROXY_CHANGES = 109;  // the next take of the proxy's changes

// The statistics window's refresh.
inline constexpr UINT_PTR TIMER_INFORMATION_REFRESH = 100;

// A help balloon's timers: the delay before it shows, and the check that the pointer is still
// on its control.
inline constexpr UINT_PTR TIMER_BALLOON_SHOW = 100;
inline constexpr UINT_PTR TIMER_BALLOON_WATCH = 101;

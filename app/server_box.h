#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "app/tray_icon.h"
#include "core/locked_string_list.h"
#include "system/adapter_list.h"
#include "system/upstream_probe.h"
#include "ui/editable_list_ctrl.h"

// The event codes of WM_SERVERLIST_CHANGED.
enum ServerListEvent : int {
    kServerListShown = 0,  // sent once by the main dialog when it has filled the box
    kServerAdded = 1,      // a new item received its text; lParam its index
    kServerEdited = 2,     // an item's text was changed
    kServerMovedUp = 3,    // lParam the item's new index
    kServerMovedDown = 4,  // lParam the item's new index
    kServerRemoving = 5,   // before an item is deleted; it is still in the box
};

// The main dialog's server box: an editable list whose notifications all become
// WM_SERVERLIST_CHANGED, sent to the application's main window. The user's delete always goes
// on, whatever the main window answered.
class CServerListCtrl : public CEditableListCtrl {
protected:
    bool OnBeforeRemoveItem(int index) override;
    bool OnAfterAddItem(int index) override;
    bool OnAfterRenameItem(int index) override;
    bool OnAfterMoveItemUp(int newIndex) override;
    bool OnAfterMoveItemDown(int newIndex) override;
};

// What the server list asks of the main dialog that owns it.
class IServerListOwner {
public:
    virtual ~IServerListOwner() = default;
    // Writes every setting, the "Dns" key from CServerList::DnsSetting.
    virtual void SaveSettings() = 0;
    // A probe has ended; CServerList::StatusValue tells how. The status box and the tray icon
    // follow it at their next update, or at once.
    virtual void OnServerStatusChanged() = 0;
    // Where the proxy's upstream queries go: the list of servers and the wait. Every change of
    // the box that the user makes is its new list at once.
    [[nodiscard]] virtual CUpstreamSettings& Upstream() = 0;
};

// A line of the main dialog's status box: the label padded to 20 characters, the value to 15,
// and a line break.
std::string StatusLine(std::string_view label, std::string_view value);
// What the status box shows.
struct StatusTexts {
    // The next refresh's line, or a notice in its place, which always shows.
    std::string first;
    bool notice = false;
    // The server in use, labelled "Encrypted DNS server:" when it is a DNS-over-HTTPS server,
    // else "Current DNS server:".
    std::string server;
    bool encrypted = false;
    // The servers' state.
    std::string state;
};
// Shows the status box's lines: the first, then the server in use and the servers' state, in the
// first of these layouts that the box shows whole: the server beside its label; on a line of its
// own; on a line of its own without the first line (a long IPv6 server with a port or a zone, a
// URL), or without its label when the first line is a notice.
void ShowStatusText(HWND box, const StatusTexts& texts);

// The user's ordered list of upstream DNS servers, the server box that edits it and the probe of
// every server of the list. The whole list, in order, is the proxy's list: queries go to the
// first server that answers. Owned by the main dialog, which hands it WM_SERVERLIST_CHANGED,
// WM_PROBE_DONE and the probe's timer. Window thread only; the list itself carries its lock.
class CServerList {
public:
    explicit CServerList(IServerListOwner& owner);
    CServerList(const CServerList&) = delete;
    CServerList& operator=(const CServerList&) = delete;

    // Makes the dialog's placeholder the server box, with its four buttons, keeping its
    // selection visible without the focus.
    bool AttachControl(HWND placeholder);
    [[nodiscard]] CServerListCtrl& Control() { return m_control; }
    [[nodiscard]] CLockedStringList& Servers() { return m_serverList; }

    // Builds the list when the settings are loaded, from the "Dns" setting and the adapters.
    void Load(std::string_view dnsSetting, const CAdapterList& adapters);
    // The "Dns" setting to save: the list collected from the box, without the proxy's own
    // address, joined by "|".
    std::string DnsSetting();

    // Empties `list` and appends the valid texts of the box in order (IsValidServer). An empty
    // box first receives the fixed public server.
    void CollectServerList(CLockedStringList& list);
    // Replaces the box's items by the entries of `list`.
    void FillServerListCtrl(const CLockedStringList& list);
    // Handles one WM_SERVERLIST_CHANGED: 0 when the change was refused (the user was told why),
    // 1 otherwise. Every change that the user makes becomes the proxy's list at once and is
    // saved.
    int OnServerListChanged(int event, int index);

    // Probes every server of the list now and every period from then on (see CUpstreamProbe).
    void StartProbe(HWND window, UINT periodMs = kProbePeriodMs);
    void StopProbe() { m_probe.Stop(); }
    [[nodiscard]] CUpstreamProbe& Probe() { return m_probe; }
    // The status box's "DNS server status:": "Up" or "Down" after the last probe (no server
    // answered), and how many of the list answered it; "Up" before the first probe has ended.
    [[nodiscard]] std::string StatusValue() const;
    // "Certificate of dns.example not trusted": the last failure of the first server of the list
    // whose certificate was refused; empty when none was, or since then it answered.
    [[nodiscard]] std::string CertificateNotice() const;
    // The tray icon's next status (every second). It warns while the last probe found no server
    // answering or a certificate refused, and stops for a while after ten blinks until the next
    // probe that finds so.
    TrayStatus UpdateTrayStatus(bool updating, bool running);

    // WM_SERVERLIST_CHANGED and WM_PROBE_DONE: a result when handled.
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // TIMER_PROBE: true when handled.
    bool OnTimer(UINT_PTR id) { return m_probe.OnTimer(id); }

private:
    // CollectServerList without the item at `skip` (-1: none).
    void Collect(CLockedStringList& list, int skip);
    // Whether the item's text may be a server; the user is told why not.
    bool AcceptItem(int index);
    void OnProbed(int answering, int servers);

    IServerListOwner& m_owner;
    CLockedStringList m_serverList{true};
    CServerListCtrl m_control;
    // The tray's warning: set by a probe that found no server answering or a certificate
    // refused, cleared by the next probe or by the warning itself after its blinks.
    bool m_bServerDown = false;
    TrayNotes m_trayNotes;
    // The last probe's outcome: how many of how many servers answered; 0 servers before one.
    int m_answering = 0;
    int m_probed = 0;
    CTrayWarning m_trayWarning;
    // An item that the box deletes as soon as the handler returns: settings saved meanwhile
    // must not keep it.
    int m_removing = -1;
    CUpstreamProbe m_probe;
};

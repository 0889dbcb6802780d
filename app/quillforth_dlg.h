#pragma once

#include <windows.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cache_list.h"
#include "app/information_dlg.h"
#include "app/ini_profile.h"
#include "app/resolve_job.h"
#include "app/server_box.h"
#include "app/settings.h"
#include "app/tray_icon.h"
#include "core/dns_item_map.h"
#include "core/dns_observer.h"
#include "core/dns_socket.h"
#include "system/adapter_list.h"
#include "ui/balloon_tip.h"
#include "win/dialog.h"

// The tray icon's id, which is also its menu's.
inline constexpr UINT kTrayIconId = 132;

// The main dialog: it owns the cache, the proxy, the upstream server list, the adapters, the
// settings, the tray icon and the help balloons, starts the proxy when it opens and restores the
// system's DNS configuration when it ends. Closing it only hides it; the program ends through
// "&Exit", Escape, or a start of the proxy that failed.
class CQuillforthDlg : public CDialog,
                       public IServerListOwner,
                       public IDnsProxyObserver,
                       public IInformationOwner,
                       public IResolveOwner {
public:
    explicit CQuillforthDlg(HWND parent = nullptr);
    ~CQuillforthDlg() override;

    // Takes the adapters over, makes the first server current, runs the proxy and stops the
    // system's DNS client. A proxy that cannot start is stopped again and the dialog ends.
    void StartProxy();
    // Restores the adapters, stops the proxy and restarts the DNS client if it ran before.
    void StopProxy();

    // The tray icon and its status text, from the proxy's and the upstream's state.
    void UpdateStatus();
    // The status box's three lines.
    void UpdateStatusText();
    [[nodiscard]] static std::string StatusText(const std::string& nextUpdate, bool serverDown);

    [[nodiscard]] CDnsItemMap& Cache() override { return m_cache; }

    // IServerListOwner.
    bool SetDnsServers(const CLockedStringList& servers) override;
    void SaveSettings() override;
    void OnServerStatusChanged() override;

    // IDnsProxyObserver: called from the proxy's notification thread, or from this thread for a
    // failed start.
    void OnDnsItemChanged(const DnsItemPtr& item) override;
    void OnServerError(const std::string& message) override;

    bool PreTranslateMessage(MSG& message) override;

    // IInformationOwner: what the statistics window shows of this dialog.
    [[nodiscard]] int CachedItemCount() const override { return m_cache.GetCount(); }
    [[nodiscard]] std::string LastUpdateText() const override { return m_lastUpdate; }
    [[nodiscard]] std::string NextUpdateText() const override { return m_strNextUpdate; }
    [[nodiscard]] std::time_t StartTime() const override { return m_startTime; }
    void SetInformationAlwaysOnTop(bool onTop) override;

    // Resolves the cache list's rows of `mode` on a worker behind a modal progress window and
    // saves the cache; a finished run of the refresh timer over every entry also records its
    // time as "LastUpdateTime". Returns once the run is over: false when it was refused.
    bool ResolveDomains(ResolveMode mode, bool byTimer);
    // Restarts the scheduled refresh from the hours chosen in the combo box (0: none).
    void OnUpdateHoursChanged();

    // IResolveOwner: what a batch run takes from this dialog.
    [[nodiscard]] HWND ResolveOwnerWindow() const override { return Hwnd(); }
    [[nodiscard]] std::vector<CacheRow> ResolveRows() const override;
    void OnResolveWindow(bool open, ResolveMode mode) override;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& exchange) override;
    bool OnCommand(int id, int code, HWND control) override;
    void OnCancel() override;
    void OnTimer(UINT_PTR id) override;
    bool OnClose() override;
    void OnDestroy() override;
    bool OnPaint() override;
    bool OnSysCommand(UINT command, LPARAM lParam) override;
    void OnUpdateCommand(CCommandState& state) override;
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    std::optional<LRESULT> OnNotify(NMHDR& header) override;

private:
    void LoadSettings();
    // "Delete &Outdated": asks for the hours and removes the entries not hit for longer.
    void DeleteOutdated();
    void RegisterTooltips();
    void Hide();
    void Restore();
    void Exit();
    void ShowTrayMenu();
    void SetButtons(bool running);
    // Stops the proxy while this thread keeps answering the messages that its threads send.
    void StopDnsServer();
    [[nodiscard]] std::string CacheFilePath() const;
    // "&Detail": opens the statistics window unless it is open.
    void OpenInformationWindow();
    void ShowAboutBox();

    CDnsItemMap m_cache;
    // After the cache, which it refers to.
    CCacheList m_cacheList;
    std::unique_ptr<CDnsSocket> m_dnsSocket;
    CServerList m_serverList{*this};
    CIniProfile m_profile;
    Settings m_settings;
    CAdapterList m_adapterList;
    CTrayIcon m_trayIcon;
    CBalloonTip m_toolTip;

    std::string m_lastUpdate = "00:00:00";
    std::string m_strNextUpdate = "Disabled";
    std::string m_strSearch;
    bool m_bRunning = false;
    bool m_bUpdating = false;
    bool m_bExit = false;
    bool m_visible = true;
    DWORD m_dwDnsClientState = 0;
    DWORD m_threadId = 0;
    std::time_t m_startTime = 0;
    HICON m_icon = nullptr;
    // The open statistics window, which deletes itself; null when closed.
    CInformationDlg* m_informationDlg = nullptr;
};

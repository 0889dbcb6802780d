#pragma once

#include <windows.h>

#include <ctime>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/cache_list.h"
#include "app/data_folder.h"
#include "app/information_dlg.h"
#include "app/ini_profile.h"
#include "app/proxy_changes.h"
#include "app/resolve_job.h"
#include "app/server_box.h"
#include "app/settings.h"
#include "app/tray_icon.h"
#include "cache/cache_saver.h"
#include "core/dns_item_map.h"
#include "core/dns_observer.h"
#include "core/dns_socket.h"
#include "res/window_messages.h"
#include "system/adapter_list.h"
#include "system/dns_client_refresh.h"
#include "ui/balloon_tip.h"
#include "win/dialog.h"

// The window takes the proxy's changed entries at most this often.
inline constexpr UINT kProxyChangesPeriodMs = 250;

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

    // Makes the server list the proxy's, runs the proxy, takes the adapters over and stops the
    // system's DNS client. A proxy that cannot start changes no adapter, and the dialog ends.
    void StartProxy();
    // Restores the adapters, stops the proxy and restarts the DNS client if it ran before.
    void StopProxy();
    // Gives every adapter left pointing at the proxy its own servers back and tells Windows.
    void RestoreAdapters();
    // Reads the adapters for the takeover, again while a running one is missing from the list.
    void ReadAdapters();

    // The tray icon and its status text, from the proxy's and the upstream's state.
    void UpdateStatus();
    // The status box's three lines.
    void UpdateStatusText();

    [[nodiscard]] CDnsItemMap& Cache() override { return m_cache; }

    // IServerListOwner.
    void SaveSettings() override;
    void OnServerStatusChanged() override;
    [[nodiscard]] CUpstreamSettings& Upstream() override { return m_upstream; }

    // IDnsProxyObserver: called from the proxy's serving threads, or from this thread for a
    // failed start; both only post a message.
    void OnCacheChanged() override;
    void OnServerError(const std::string& message) override;

    bool PreTranslateMessage(MSG& message) override;

    // IInformationOwner: what the statistics window shows of this dialog.
    [[nodiscard]] int CachedItemCount() const override { return m_cache.GetCount(); }
    [[nodiscard]] std::string LastUpdateText() const override { return m_lastUpdate; }
    [[nodiscard]] std::string NextUpdateText() const override { return m_strNextUpdate; }
    [[nodiscard]] std::time_t StartTime() const override { return m_startTime; }
    [[nodiscard]] std::string CurrentDnsServer() const override {
        return m_upstream.CurrentDnsServer();
    }
    [[nodiscard]] std::vector<UpstreamServerFigures> UpstreamServers() const override;
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
    [[nodiscard]] UpstreamTarget ResolveTarget() const override { return m_upstream.Target(); }
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
    // The start's parts: the system menu's About item, the tray icon and the window's icons; the
    // proxy (once the settings say whom it answers) with the cache file loaded and the list filled;
    // the message boxes of a start without administrator rights and of the last exit's failures.
    void AddMenuTrayAndIcons();
    void MakeProxyAndLoadCache();
    void PostStartNotices();
    void LoadSettings();
    // "Delete &Outdated": asks for the hours and removes the entries not hit for longer.
    void DeleteOutdated();
    void RegisterTooltips();
    void Hide();
    void Restore();
    void Exit();
    void ShowTrayMenu();
    void SetButtons(bool running);
    // The rows of the entries the proxy answered from or learned into.
    void TakeProxyChanges();
    // The first line of the status box in place of the next refresh, or none.
    [[nodiscard]] std::string StatusNotice() const;
    // A save of the settings or of the cache that failed, or none.
    [[nodiscard]] std::string SaveFailureNotice() const;
    // Where the settings and the cache are when they are not beside the executable, or none.
    [[nodiscard]] std::string DataFolderNotice() const;
    [[nodiscard]] std::string CacheFilePath() const;
    // "&Detail": opens the statistics window unless it is open.
    void OpenInformationWindow();
    void ShowAboutBox();
    // The cache changed (the proxy learned or hit an entry, or a command ran): the saver writes
    // it within its period. Commands save at once; the mark covers a save of theirs that failed.
    void NoteCacheChanged();
    // Puts the system back and saves everything, once: when the dialog is destroyed, or earlier
    // when Windows ends the session.
    void RunExitSequence();
    // WM_ENDSESSION of a session that ends.
    void OnSessionEnd();
    // A message of the stop and exit path: a message box, or, once the program is ending, a text
    // kept for the next start.
    void Tell(std::string_view text);
    // The logon task's thread, waited for a while at the exit.
    void EndAutostartThread();
    void PostNotice(std::string text);
    // Brings the logon task in line with "Start at login". At start-up on a thread of its own:
    // the window shows while the Task Scheduler, which may be starting itself, answers.
    void ApplyAutostart(bool atStartup);
    // "Start at login" clicked: applied, or refused with the reason where the task may not start
    // this copy.
    void OnStartAtLoginClicked();
    // Who the proxy answers: the machine, or its local networks too as "Answer the local
    // network" says.
    [[nodiscard]] ClientScope ChosenClientScope() const;
    void ApplyClientScope();
    // A link's address went to the clipboard: the status box says so for a while.
    void OnLinkCopied();

    // Where the settings and the cache live; first, for the members that take their paths.
    const DataFolder m_dataFolder;
    // The latest save of the cache file, by a command or by the saver.
    CSaveOutcome m_cacheSaves;
    CDnsItemMap m_cache;
    // Where the proxy, the resolves and the probe send their upstream queries.
    CUpstreamSettings m_upstream;
    // After the cache and the upstream, which it refers to.
    CCacheList m_cacheList;
    std::unique_ptr<CDnsSocket> m_dnsSocket;
    CServerList m_serverList{*this};
    CIniProfile m_profile;
    Settings m_settings;
    // The error of the latest save of the settings, while it failed.
    std::optional<unsigned long> m_settingsFailure;
    CAdapterList m_adapterList;
    CTrayIcon m_trayIcon;
    CCacheShareToday m_cacheShare;
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

    // Saves the cache by itself while it changes; from the cache's load to the exit sequence.
    std::unique_ptr<CCacheSaver> m_cacheSaver;
    // "TaskbarCreated", which Explorer broadcasts when it starts again with an empty tray.
    UINT m_taskbarCreatedMessage = 0;
    // Without administrator rights the adapters and the DNS client stay as they are.
    bool m_administrator = true;
    // Hands the proxy's changed entries to TakeProxyChanges, a few times a second at most.
    CProxyChangesPump m_proxyChanges{TIMER_PROXY_CHANGES, kProxyChangesPeriodMs,
                                     [this] { TakeProxyChanges(); }};
    // The program is ending (an exit was asked for, or Windows ends the session): no message box
    // may wait for a user.
    bool m_exiting = false;
    // What the exit sequence could not tell while the program ended.
    std::string m_heldBackNotices;
    bool m_exitSequenceDone = false;
    // The start-up's change of the logon task and its end; joined before the next one and, when
    // it ends in time, at the exit.
    std::thread m_autostartThread;
    std::future<void> m_autostartDone;
    // Tells Windows of every takeover and restore of the adapters.
    CDnsClientRefresh m_dnsClientRefresh;
    // The logon task may start this copy: standard users can change neither it nor its folder.
    bool m_logonTaskAllowed = false;
    // When a link's address last went to the clipboard; 0: never.
    std::time_t m_linkCopiedAt = 0;
};

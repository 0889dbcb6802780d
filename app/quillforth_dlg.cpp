#include "app/quillforth_dlg.h"

#include <string_view>

#include "app/about_dlg.h"
#include "app/launch.h"
#include "app/outdated_dlg.h"
#include "app/quillforth_app.h"
#include "app/registry_profile.h"
#include "cache/cache_file.h"
#include "core/dns_cache.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "system/dns_client_service.h"
#include "system/logon_task.h"
#include "system/server_list.h"
#include "system/system_dns.h"
#include "win/application.h"
#include "win/controls.h"
#include "win/data_exchange.h"
#include "win/message_box.h"
#include "win/unicode.h"

namespace {

// The DNS client's state when it was running.
constexpr DWORD kServiceRunning = SERVICE_RUNNING;
constexpr UINT kHideAtStartDelayMs = 100;
constexpr UINT kStatusPeriodMs = 1000;
constexpr UINT kMillisecondsPerHour = 3'600'000;
constexpr int kMaxRefreshHours = 24;
// How long the exit waits for the logon task's thread (the Task Scheduler may not answer) and for
// Windows to take the adapters' servers back, so that it ends within a few seconds whatever the
// system was doing.
constexpr auto kAutostartExitWait = std::chrono::seconds(1);
constexpr auto kDnsClientRefreshExitWait = std::chrono::seconds(3);

std::string TimeOfDay(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    char text[16] = {};
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

constexpr char kNoRightsMessage[] =
    "Quillforth is running without administrator rights. It cannot point the network adapters "
    "at itself or stop the DNS Client service, so lookups may pass it by.\n\nStart it with \"Run "
    "as administrator\".";
constexpr char kNoRightsStatusLine[] = "Not running as administrator";
// Another program holds TCP port 53: the proxy serves over UDP alone.
constexpr char kNoTcpStatusLine[] = "TCP on port 53 is unavailable";

constexpr char kUnreadCacheText[] =
    ". Another program may hold it, it may not be available on this computer (a cloud file "
    "offline), access to it may be denied, or it holds Unicode (UTF-16) text.\n\nQuillforth "
    "starts with an empty cache and does not overwrite that file. Start Quillforth again once "
    "the file can be read, or choose Save in the cache list to replace it with the cache "
    "Quillforth holds then.";
constexpr char kUnreadCacheStatusLine[] = "Cache not saved: its file could not be read";

constexpr char kNoLogonTaskMessage[] =
    "This copy of Quillforth cannot start at login: it is a portable copy in a folder that "
    "standard users can write to. Started at login it would run with administrator rights, and "
    "so would any program put in its place or beside it.\n\nInstall Quillforth (into Program "
    "Files) to start it at login.";
constexpr char kNoLogonTaskTooltip[] =
    "A portable copy in a writable folder cannot start at login:\ninstall Quillforth for that.";

struct Tooltip {
    int control;
    const char* text;
};
constexpr Tooltip kTooltips[] = {
    {IDC_SERVER_LIST, "The first DNS server that answers is used by quillforth."},
    {IDC_START,
     "To start DNS proxy will set system DNS servers to \"127.0.0.1\"\nand will stop DNS Client "
     "service if it is running."},
    {IDC_STOP,
     "Stop DNS proxy will restore system DNS servers \nand restart DNS Client service if it was "
     "up before."},
    {IDC_UPDATE_HOURS,
     "To update all cached DNS items automatically. \nset the value to zero will disable this "
     "feature."},
    {IDC_SEARCH, "Fill any keyword in search edit, click Go to search in Quillforth Cache."},
    {IDC_GO, "Fill any keyword in search edit, click Go to search in Quillforth Cache."},
    {IDC_NSLOOKUP, "Click this button to run \"nslookup.exe\"."},
    {IDC_DONATE,
     "If Quillforth is helpful, be kind to donate to Veltmark \nso that Quillforth might go on."},
    {IDC_ABOUT, "Know something about Quillforth or email to tell us something."},
    {IDC_DETAIL, "Show some statistics of Quillforth's performance."},
    {IDC_HIDE, "Hide this dialog and run under backgroud."},
    {IDC_STATUS, "Status information about Quillforth."},
    {IDC_ANSWER_LOCAL_NETWORK,
     "Also answer the other machines of this computer's networks, for a home or office that "
     "shares one Quillforth.\nLeave it off on a cafe's or hotel's network: strangers could "
     "read your browsing from the cache."},
};

}  // namespace

CQuillforthDlg::CQuillforthDlg(HWND parent)
    : CDialog(IDD_QUILLFORTH_DIALOG, parent),
      m_dataFolder(ChooseDataFolder(ModuleDirectory(),
                                    {ModuleBaseName() + ".ini", std::string(kCacheFileName)})),
      m_cacheList(m_cache, CacheFilePath(), m_upstream, &m_cacheSaves),
      m_profile(m_dataFolder.path + ModuleBaseName() + ".ini"),
      m_startTime(std::time(nullptr)),
      m_icon(::LoadIconA(::GetModuleHandleA(nullptr), ResourceName(IDR_MAINFRAME))) {}

CQuillforthDlg::~CQuillforthDlg() {
    // The proxy goes before the objects its notifications reach.
    m_dnsSocket.reset();
}

bool CQuillforthDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_threadId = ::GetCurrentThreadId();
    m_proxyChanges.Attach(Hwnd());
    if (CApplication* application = CApplication::Current()) {
        // The server box and the statistics window send their notices to the main window.
        application->SetMainWindow(Hwnd());
    }

    AddMenuTrayAndIcons();
    m_serverList.AttachControl(Item(IDC_SERVER_LIST));
    CComboBox hours(Item(IDC_UPDATE_HOURS));
    for (int value = 0; value <= kMaxRefreshHours; ++value) {
        hours.AddString(std::to_string(value));
    }

    // Adapters that a copy which did not stop (a crash, a forced end) left pointing at the proxy
    // get their own servers back before anything reads them.
    RestoreAdapters();
    m_logonTaskAllowed = LogonTaskAllowed();
    LoadSettings();
    m_serverList.FillServerListCtrl(m_serverList.Servers());
    OnUpdateHoursChanged();
    SaveSettings();

    MakeProxyAndLoadCache();
    m_administrator = RunsAsAdministrator();
    StartProxy();
    if (m_bExit) {
        // The proxy could not start: the dialog is ending.
        return false;
    }
    UpdateStatus();
    UpdateStatusText();
    SetTimer(TIMER_STATUS_TEXT, kStatusPeriodMs);
    SetTimer(TIMER_STATUS_ICON, kStatusPeriodMs);
    m_serverList.StartProbe(Hwnd());

    RegisterTooltips();
    ::SendMessageA(Hwnd(), WM_SERVERLIST_CHANGED, kServerListShown, 0);
    ApplyAutostart(true);
    if (m_settings.informationWindowUp) {
        OpenInformationWindow();
    }
    if (m_settings.hideAtStart) {
        SetTimer(TIMER_HIDE_AT_START, kHideAtStartDelayMs);
    }
    PostStartNotices();
    CWindow(Item(IDC_SEARCH)).Focus();
    return false;
}

void CQuillforthDlg::AddMenuTrayAndIcons() {
    char aboutText[128] = {};
    if (::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, aboutText, sizeof aboutText) > 0) {
        CMenu systemMenu = CMenu::SystemMenuOf(Hwnd());
        if (systemMenu.Handle() != nullptr) {
            systemMenu.AppendSeparator();
            systemMenu.AppendItem(IDM_ABOUTBOX, aboutText);
        }
    }

    m_trayIcon.Create(Hwnd(), WM_TRAYNOTIFY, "", m_icon, kTrayIconId);
    m_taskbarCreatedMessage = ::RegisterWindowMessageA("TaskbarCreated");
    // Explorer runs with lower rights than an elevated program, whose window would otherwise
    // never get the message.
    ::ChangeWindowMessageFilterEx(Hwnd(), m_taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
    Send(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    Send(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
}

void CQuillforthDlg::MakeProxyAndLoadCache() {
    // Made once the settings say how it answers.
    m_dnsSocket = std::make_unique<CDnsSocket>(
        &m_cache, m_upstream, this,
        ProxyOptions{.Clients = ChosenClientScope(), .OldAnswers = m_settings.oneAddressForADay});
    m_cache.SetMaxEntries(static_cast<std::size_t>(m_settings.maxCacheEntries));
    if (LoadFromFile(m_cache, CacheFilePath(), std::time(nullptr)) == CacheLoad::kUnreadable) {
        // Saved over, the file would lose what it holds.
        m_cacheSaves.KeepFile(true);
        PostNotice("Quillforth could not read its cache file " + CacheFilePath() +
                   kUnreadCacheText);
    }
    m_cacheSaver = std::make_unique<CCacheSaver>(
        m_cache, CacheFilePath(), std::chrono::seconds(m_settings.cacheSaveSeconds), &m_cacheSaves);
    m_cacheList.InitCacheList(Item(IDC_CACHE_LIST), CRegistryProfile());
}

void CQuillforthDlg::PostStartNotices() {
    if (!m_administrator) {
        std::string notice = kNoRightsMessage;
        if (m_dataFolder.local) {
            const std::string& folder = m_dataFolder.path;
            notice +=
                "\n\nIts settings and cache are in " + folder.substr(0, folder.size() - 1) + ".";
        }
        PostNotice(std::move(notice));
    }
    if (const std::optional<std::string> notice = TakeExitNotice()) {
        PostNotice("When Quillforth last exited:\n\n" + *notice);
    }
}

void CQuillforthDlg::DoDataExchange(CDataExchange& exchange) {
    exchange.Check(IDC_START_AT_LOGIN, m_settings.startAtLogin);
    exchange.Check(IDC_HIDE_AT_START, m_settings.hideAtStart);
    exchange.Check(IDC_ANSWER_LOCAL_NETWORK, m_settings.answerLocalNetwork);
    exchange.ComboIndex(IDC_UPDATE_HOURS, m_settings.updateHours);
    exchange.Text(IDC_SEARCH, m_strSearch);
}

void CQuillforthDlg::LoadSettings() {
    m_settings = ::LoadSettings(m_profile);
    // Off, and so by default, where the task may not start this copy: a task registered for it
    // earlier is deleted at start.
    m_settings.startAtLogin = m_settings.startAtLogin && m_logonTaskAllowed;
    if (const std::vector<std::string> keys = m_profile.TakeUnreadableKeys(); !keys.empty()) {
        std::string names;
        for (const std::string& key : keys) {
            names += (names.empty() ? "\"" : ", \"") + key + "\"";
        }
        PostNotice(m_profile.Path() + " holds text that is not UTF-8 in " + names +
                   ": what could not be read was replaced with \"\xEF\xBF\xBD\", and is saved so.");
    }
    m_lastUpdate = m_settings.lastUpdateTime;
    m_serverList.Load(m_settings.dns, m_adapterList);
    UpdateData(false);
}

void CQuillforthDlg::SaveSettings() {
    UpdateData(true);
    m_settings.dns = m_serverList.DnsSetting();
    m_settings.lastUpdateTime = m_lastUpdate;
    ::SaveSettings(m_profile, m_settings);
    // A failure shows at once and stays until a later save, at the next change, succeeds.
    const std::optional<unsigned long> failure = m_profile.TakeWriteFailure();
    if (failure != m_settingsFailure) {
        m_settingsFailure = failure;
        UpdateStatusText();
    }
}

void CQuillforthDlg::OnUpdateHoursChanged() {
    m_settings.updateHours = CComboBox(Item(IDC_UPDATE_HOURS)).GetCurSel();
    KillTimer(TIMER_REFRESH);
    if (m_settings.updateHours <= 0) {
        m_strNextUpdate = "Disabled";
        return;
    }
    const UINT period = static_cast<UINT>(m_settings.updateHours) * kMillisecondsPerHour;
    SetTimer(TIMER_REFRESH, period);
    m_strNextUpdate = TimeOfDay(std::time(nullptr) + std::time_t{m_settings.updateHours} * 3600);
}

bool CQuillforthDlg::ResolveDomains(ResolveMode mode, bool byTimer) {
    const std::optional<ResolveOutcome> outcome = RunResolve(*this, mode, byTimer);
    if (!outcome) {
        return false;
    }
    SaveToFile(m_cache, CacheFilePath(), &m_cacheSaves);
    // Only a completed refresh of the schedule counts as the cache's last update.
    if (!outcome->cancelled && mode == RESOLVE_ALL && byTimer) {
        m_lastUpdate = TimeOfDay(std::time(nullptr));
        SaveSettings();
    }
    return true;
}

std::vector<CacheRow> CQuillforthDlg::ResolveRows() const {
    const CListView list(Item(IDC_CACHE_LIST));
    std::vector<CacheRow> rows;
    for (int row = 0; row < m_cacheList.RowCount(); ++row) {
        CacheRow& taken = rows.emplace_back();
        taken.domain = m_cacheList.RowDomain(row);
        taken.resolved = !m_cacheList.CellText(row, kIpColumn).empty();
        taken.selected = list.GetItemState(row, LVIS_SELECTED) != 0;
    }
    return rows;
}

void CQuillforthDlg::OnResolveWindow(bool open, ResolveMode mode) {
    CWindow(Item(IDC_CACHE_LIST)).Enable(!open);
    // The tray shows "Quillforth is updating" from its next tick.
    m_bUpdating = open && mode == RESOLVE_ALL;
}

void CQuillforthDlg::DeleteOutdated() {
    COutdatedDlg dialog(Hwnd());
    dialog.m_hours = m_settings.outdatedHours;
    if (dialog.DoModal() != IDOK) {
        return;
    }
    m_settings.outdatedHours = dialog.m_hours;
    m_cacheList.DeleteCacheRow(RemoveOutdated(m_cache, dialog.m_hours, std::time(nullptr)));
    SaveSettings();
    SaveToFile(m_cache, CacheFilePath(), &m_cacheSaves);
}

std::string CQuillforthDlg::CacheFilePath() const {
    return DefaultCacheFilePath(m_dataFolder.path);
}

void CQuillforthDlg::SetButtons(bool running) {
    CWindow(Item(IDC_START)).Enable(!running);
    CWindow(Item(IDC_STOP)).Enable(running);
}

void CQuillforthDlg::StartProxy() {
    if (m_bRunning) {
        return;
    }
    UpdateData(true);
    SetButtons(true);
    m_upstream.SetServers(m_serverList.Servers().Texts());
    // Adapters that came since the last start are taken over too. Their servers, found before
    // the takeover points them at the proxy, are where a DNS-over-HTTPS server's host may be
    // asked when the list holds no plain server that knows it.
    ReadAdapters();
    m_upstream.SetBootstrapServers(AdapterServersInUse(m_adapterList));
    m_bRunning = true;
    // The port first: when another program holds it, no adapter is changed at all.
    if (!m_dnsSocket->RunDnsServer(kDefaultDnsServerPort)) {
        // The proxy has told the user why (OnServerError).
        StopProxy();
        Exit();
        return;
    }
    if (SetSystemDns(m_adapterList, true) > 0) {
        m_dnsClientRefresh.Request();
    }
    ControlDnsClientService(false, &m_dwDnsClientState,
                            [this](std::string_view text) { Tell(text); });
}

void CQuillforthDlg::StopProxy() {
    if (!m_bRunning) {
        return;
    }
    RestoreAdapters();
    m_dnsSocket->StopDnsServer();
    if (m_dwDnsClientState == kServiceRunning) {
        ControlDnsClientService(true, nullptr, [this](std::string_view text) { Tell(text); });
    }
    SetButtons(false);
    m_bRunning = false;
}

// The takeover reads the adapters once: one missing from that reading would keep its own servers
// for the whole run. A reading that lacks a running adapter is taken again, a few times.
void CQuillforthDlg::ReadAdapters() {
    constexpr int kReadings = 4;
    constexpr DWORD kPauseMs = 150;
    for (int reading = 1;; ++reading) {
        m_adapterList.Refresh();
        if (reading == kReadings || ListsEveryRunningAdapter(m_adapterList)) {
            return;
        }
        ::Sleep(kPauseMs);
    }
}

void CQuillforthDlg::RestoreAdapters() {
    if (SetSystemDns(m_adapterList, false) > 0) {
        m_dnsClientRefresh.Request();
    }
}

void CQuillforthDlg::OnServerStatusChanged() {
    // The tray icon follows at its next tick: an extra tick would shorten its blinking.
    UpdateStatusText();
}

void CQuillforthDlg::OnCacheChanged() {
    // Posted: a serving thread never waits for this one. The batch waits in the proxy, which
    // posts again only once it has been taken.
    ::PostMessageA(Hwnd(), WM_PROXY_CHANGES, 0, 0);
}

void CQuillforthDlg::TakeProxyChanges() {
    const DnsChangeBatch batch = m_dnsSocket->TakeChanges();
    if (!batch.RefreshAll && batch.Items.empty()) {
        return;
    }
    NoteCacheChanged();
    if (batch.RefreshAll) {
        m_cacheList.RefreshAllRows();
        return;
    }
    for (const DnsItemPtr& item : batch.Items) {
        m_cacheList.RefreshCacheRow(item.get());
    }
}

void CQuillforthDlg::OnServerError(const std::string& message) {
    if (::GetCurrentThreadId() == m_threadId) {
        ShowMessage(message, MB_OK | MB_ICONEXCLAMATION, Hwnd());
        return;
    }
    // A box on the proxy's notification thread would hold it, and with it the next stop.
    auto* text = new std::string(message);
    if (::PostMessageA(Hwnd(), WM_SERVER_ERROR, 0, reinterpret_cast<LPARAM>(text)) == FALSE) {
        delete text;
    }
}

std::vector<UpstreamServerFigures> CQuillforthDlg::UpstreamServers() const {
    std::vector<UpstreamServerFigures> servers;
    for (const auto& server : *m_upstream.Target().Servers) {
        servers.push_back(server->Figures());
    }
    return servers;
}

void CQuillforthDlg::UpdateStatus() {
    const TrayStatus status = m_serverList.UpdateTrayStatus(m_bUpdating, m_bRunning);
    m_trayIcon.SetIcon(status.icon);
    std::optional<int> share;
    if (m_dnsSocket) {
        const DnsStatisticsSnapshot counts = m_dnsSocket->Statistics().Snapshot();
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_s(&local, &now);
        share = m_cacheShare.Update(
            local.tm_year * 1000 + local.tm_yday, counts.CachedRequests,
            counts.CachedRequests + counts.ForwardRequests + counts.InternalErrorRequests);
    }
    m_trayIcon.SetTooltipText(WithCacheShare(status.text, share));
}

std::string CQuillforthDlg::SaveFailureNotice() const {
    if (m_settingsFailure) {
        return "Settings not saved: " + SystemErrorText(*m_settingsFailure);
    }
    if (const std::optional<int> failure = m_cacheSaves.Failure()) {
        return "Cache not saved: " + SystemErrorText(static_cast<DWORD>(*failure));
    }
    if (m_cacheSaves.FileKept()) {
        return kUnreadCacheStatusLine;
    }
    return {};
}

std::string CQuillforthDlg::DataFolderNotice() const {
    return m_dataFolder.local ? "Files in %LOCALAPPDATA%\\Quillforth" : "";
}

std::string CQuillforthDlg::StatusNotice() const {
    // A refused certificate first: it may be someone in the path, and it passes for a while.
    if (std::string refused = m_serverList.CertificateNotice(); !refused.empty()) {
        return refused;
    }
    if (std::string failure = SaveFailureNotice(); !failure.empty()) {
        return failure;
    }
    if (m_linkCopiedAt != 0 && std::time(nullptr) - m_linkCopiedAt < kLinkCopiedNoticeSeconds) {
        return kLinkCopiedNotice;
    }
    if (!m_administrator) {
        return kNoRightsStatusLine;
    }
    if (std::string failure = m_dnsClientRefresh.Failure(); !failure.empty()) {
        return failure;
    }
    if (!m_bRunning) {
        return DataFolderNotice();
    }
    if (std::string adapters = AdapterNotice(m_adapterList); !adapters.empty()) {
        return adapters;
    }
    return m_dnsSocket && !m_dnsSocket->TcpServing() ? kNoTcpStatusLine : DataFolderNotice();
}

void CQuillforthDlg::UpdateStatusText() {
    // A notice (a refused certificate, no administrator rights, ipconfig failed, an adapter not
    // pointed at the proxy, no TCP) takes the first line, in place of the next refresh's time,
    // which the statistics window shows too.
    const std::string notice = StatusNotice();
    const std::shared_ptr<CUpstreamServer> server = m_upstream.Target().Preferred();
    ShowStatusText(Item(IDC_STATUS),
                   {.first = notice.empty() ? StatusLine("Cache next update:", m_strNextUpdate)
                                            : notice + "\r\n",
                    .notice = !notice.empty(),
                    .server = server->Text(),
                    .encrypted = server->IsHttps(),
                    .state = m_serverList.StatusValue()});
}

void CQuillforthDlg::RegisterTooltips() {
    m_toolTip.Create(Hwnd());
    for (const Tooltip& tooltip : kTooltips) {
        HWND control = Item(tooltip.control);
        if (control != nullptr) {
            m_toolTip.AddTool(control, tooltip.text);
        }
    }
    if (!m_logonTaskAllowed) {
        m_toolTip.AddTool(Item(IDC_START_AT_LOGIN), kNoLogonTaskTooltip);
    }
}

bool CQuillforthDlg::PreTranslateMessage(MSG& message) {
    if (m_toolTip.Exists()) {
        m_toolTip.RelayEvent(message);
    }
    return CDialog::PreTranslateMessage(message);
}

void CQuillforthDlg::Hide() {
    // A balloon shown for a control would stay on the screen without the dialog.
    m_toolTip.Hide();
    Show(SW_HIDE);
    m_visible = false;
}

void CQuillforthDlg::Restore() {
    Show(SW_SHOWNORMAL);
    ::SetForegroundWindow(Hwnd());
    m_visible = true;
}

void CQuillforthDlg::Exit() {
    m_bExit = true;
    OnCancel();
}

bool CQuillforthDlg::OnCommand(int id, int code, HWND control) {
    switch (id) {
        case IDC_START:
        case ID_TRAY_START:
            StartProxy();
            UpdateStatus();
            return true;
        case IDC_STOP:
        case ID_TRAY_STOP:
            StopProxy();
            UpdateStatus();
            return true;
        case ID_TRAY_RESTORE:
            Restore();
            return true;
        case ID_TRAY_EXIT:
            Exit();
            return true;
        case IDC_HIDE:
            OnClose();
            return true;
        case IDC_DETAIL:
            OpenInformationWindow();
            return true;
        case IDC_ABOUT:
            ShowAboutBox();
            return true;
        case IDC_NSLOOKUP:
            RunNslookup(Hwnd());
            return true;
        case IDC_DONATE:
            if (OpenDonationPage(Hwnd()) == LinkOutcome::kCopied) {
                OnLinkCopied();
            }
            return true;
        case IDC_START_AT_LOGIN:
            if (code == BN_CLICKED) {
                OnStartAtLoginClicked();
            }
            return true;
        case IDC_ANSWER_LOCAL_NETWORK:
            if (code == BN_CLICKED) {
                SaveSettings();
                ApplyClientScope();
            }
            return true;
        case IDC_GO:
            m_strSearch = CWindow(Item(IDC_SEARCH)).GetText();
            m_cacheList.Search(m_strSearch);
            return true;
        case IDC_HIDE_AT_START:
            if (code == BN_CLICKED) {
                SaveSettings();
            }
            return true;
        case IDC_UPDATE_HOURS:
            if (code == CBN_SELCHANGE) {
                OnUpdateHoursChanged();
                UpdateStatusText();
            }
            return true;
        case ID_CACHE_RESOLVE:
            ResolveDomains(RESOLVE_SELECTED, false);
            return true;
        case ID_CACHE_RESOLVE_ALL:
            ResolveDomains(RESOLVE_ALL, false);
            return true;
        case ID_CACHE_RESOLVE_UNRESOLVED:
            ResolveDomains(RESOLVE_UNRESOLVED, false);
            return true;
        case ID_CACHE_DELETE_OUTDATED:
            DeleteOutdated();
            return true;
        default:
            if (m_cacheList.OnCommand(id)) {
                NoteCacheChanged();
                UpdateStatusText();
                return true;
            }
            return CDialog::OnCommand(id, code, control);
    }
}

void CQuillforthDlg::OnCancel() {
    // Escape ends the program as "&Exit" does, and so does the installer's request. Whatever
    // modal window is open (a batch run's progress, a message box), the adapters go back at once
    // and every modal loop ends, this dialog's too, so that the program ends within seconds; the
    // rest of the exit sequence follows once the loops have unwound.
    m_bExit = true;
    m_exiting = true;
    RestoreAdapters();
    CDialog::EndEveryModalLoop();
}

bool CQuillforthDlg::OnClose() {
    if (!m_bExit) {
        Hide();
        return true;
    }
    OnCancel();
    return true;
}

void CQuillforthDlg::OnTimer(UINT_PTR id) {
    if (m_proxyChanges.OnTimer(id)) {
        return;
    }
    switch (id) {
        case TIMER_STATUS_TEXT:
            UpdateStatusText();
            break;
        case TIMER_STATUS_ICON:
            UpdateStatus();
            break;
        case TIMER_HIDE_AT_START:
            KillTimer(TIMER_HIDE_AT_START);
            // Hidden without a tray icon (a shell that was busy at logon refused it), the
            // program could not be reached at all: the window stays.
            if (m_trayIcon.Enabled() || m_trayIcon.AddAgain()) {
                OnCommand(IDC_HIDE, BN_CLICKED, nullptr);
            }
            break;
        case TIMER_REFRESH:
            // The next period starts when this run is over, from the hours chosen by then.
            KillTimer(TIMER_REFRESH);
            ResolveDomains(RESOLVE_ALL, true);
            OnUpdateHoursChanged();
            UpdateStatusText();
            break;
        default:
            m_serverList.OnTimer(id);
            break;
    }
}

void CQuillforthDlg::ShowTrayMenu() {
    CMenu menu = CMenu::Load(IDR_TRAY);
    CMenu popup = menu.SubMenu(0);
    if (popup.Handle() == nullptr) {
        return;
    }
    constexpr int kStartPosition = 2;
    constexpr int kStopPosition = 3;
    popup.EnableItem(kStartPosition, !m_bRunning);
    popup.EnableItem(kStopPosition, m_bRunning);
    popup.SetDefaultItem(0);
    POINT cursor{};
    ::GetCursorPos(&cursor);
    popup.Track(Hwnd(), cursor);
}

void CQuillforthDlg::OnUpdateCommand(CCommandState& state) {
    if (state.Id() == ID_TRAY_START) {
        state.Enable(!m_bRunning);
    } else if (state.Id() == ID_TRAY_STOP) {
        state.Enable(m_bRunning);
    }
}

std::optional<LRESULT> CQuillforthDlg::OnNotify(NMHDR& header) {
    return m_cacheList.OnNotify(header);
}

std::optional<LRESULT> CQuillforthDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == m_taskbarCreatedMessage && message != 0) {
        m_trayIcon.AddAgain();
        return 0;
    }
    if (message == WM_CONTEXTMENU &&
        m_cacheList.OnContextMenu(reinterpret_cast<HWND>(wParam), PointFromLParam(lParam))) {
        return 0;
    }
    switch (message) {
        case WM_TRAYNOTIFY:
            if (LOWORD(lParam) == WM_RBUTTONUP) {
                ShowTrayMenu();
                return 1;
            }
            return m_trayIcon.OnTrayNotification(wParam, lParam) ? 1 : 0;
        case WM_DNSITEM_CHANGED:
            // Learning the entry may have dropped others at the cache's bound.
            if (m_cache.TakeEvicted()) {
                m_cacheList.RefreshAllRows();
            }
            m_cacheList.RefreshCacheRow(reinterpret_cast<DnsItem*>(wParam));
            NoteCacheChanged();
            return 0;
        case WM_PROXY_CHANGES:
            m_proxyChanges.OnChangesPosted();
            return 0;
        case WM_INFODLG_CLOSED:
            m_settings.informationWindowUp = wParam == 0;
            m_informationDlg = nullptr;
            return 0;
        case WM_SERVER_ERROR:
        case WM_SHOW_NOTICE: {
            std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
            ShowMessage(*text, MB_OK | MB_ICONEXCLAMATION, Hwnd());
            return 0;
        }
        case WM_QUERYDRAGICON:
            return reinterpret_cast<LRESULT>(m_icon);
        case WM_QUERYENDSESSION:
            // Nothing here needs the user: the session may end at once.
            return TRUE;
        case WM_ENDSESSION:
            if (wParam != FALSE) {
                OnSessionEnd();
            }
            return 0;
        default:
            return m_serverList.OnMessage(message, wParam, lParam);
    }
}

bool CQuillforthDlg::OnSysCommand(UINT command, LPARAM /*lParam*/) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAboutBox();
        return true;
    }
    return false;
}

void CQuillforthDlg::OpenInformationWindow() {
    if (m_informationDlg != nullptr) {
        return;
    }
    m_informationDlg =
        CInformationDlg::Open(*this, Hwnd(), *m_dnsSocket, m_settings.informationAlwaysOnTop);
    if (m_informationDlg != nullptr) {
        m_settings.informationWindowUp = true;
    }
}

void CQuillforthDlg::SetInformationAlwaysOnTop(bool onTop) {
    m_settings.informationAlwaysOnTop = onTop;
    SaveSettings();
}

void CQuillforthDlg::ShowAboutBox() {
    CAboutDlg about(Hwnd(), OpenAsDesktopUser, [this] { OnLinkCopied(); });
    about.DoModal();
}

void CQuillforthDlg::OnLinkCopied() {
    m_linkCopiedAt = std::time(nullptr);
    UpdateStatusText();
}

bool CQuillforthDlg::OnPaint() {
    if (::IsIconic(Hwnd()) == FALSE) {
        return false;
    }
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(Hwnd(), &paint);
    ::SendMessageA(Hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const RECT client = ClientRect();
    const int x = (RectWidth(client) - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (RectHeight(client) - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_icon);
    ::EndPaint(Hwnd(), &paint);
    return true;
}

void CQuillforthDlg::NoteCacheChanged() {
    if (m_cacheSaver) {
        m_cacheSaver->MarkChanged();
    }
}

void CQuillforthDlg::Tell(std::string_view text) {
    if (!m_exiting) {
        ShowMessage(text, MB_OK);
        return;
    }
    m_heldBackNotices += m_heldBackNotices.empty() ? "" : "\n";
    m_heldBackNotices += text;
}

void CQuillforthDlg::PostNotice(std::string text) {
    auto* posted = new std::string(std::move(text));
    if (::PostMessageA(Hwnd(), WM_SHOW_NOTICE, 0, reinterpret_cast<LPARAM>(posted)) == FALSE) {
        delete posted;
    }
}

void CQuillforthDlg::ApplyAutostart(bool atStartup) {
    // One change at a time, in the order they were asked for.
    if (m_autostartThread.joinable()) {
        m_autostartThread.join();
    }
    if (atStartup) {
        std::packaged_task<void()> change(
            [enable = m_settings.startAtLogin] { ::SetAutostart(enable); });
        m_autostartDone = change.get_future();
        m_autostartThread = std::thread(std::move(change));
    } else {
        ::SetAutostart(m_settings.startAtLogin);
    }
}

void CQuillforthDlg::EndAutostartThread() {
    if (!m_autostartThread.joinable()) {
        return;
    }
    if (m_autostartDone.wait_for(kAutostartExitWait) == std::future_status::ready) {
        m_autostartThread.join();
        return;
    }
    // The Task Scheduler does not answer. The thread holds nothing of the program's (its task
    // owns its setting and its result) and ends with the process.
    m_autostartThread.detach();
}

void CQuillforthDlg::OnStartAtLoginClicked() {
    UpdateData(true);
    if (m_settings.startAtLogin && !m_logonTaskAllowed) {
        m_settings.startAtLogin = false;
        ::CheckDlgButton(Hwnd(), IDC_START_AT_LOGIN, BST_UNCHECKED);
        ShowMessage(kNoLogonTaskMessage, MB_OK | MB_ICONINFORMATION, Hwnd());
        return;
    }
    ApplyAutostart(false);
}

ClientScope CQuillforthDlg::ChosenClientScope() const {
    return m_settings.answerLocalNetwork ? ClientScope::kLocalNetwork : ClientScope::kMachine;
}

void CQuillforthDlg::ApplyClientScope() {
    m_dnsSocket->SetClientScope(ChosenClientScope());
}

void CQuillforthDlg::OnSessionEnd() {
    // Windows ends the process soon after this returns, without WM_DESTROY: the adapters, the
    // DNS client and every file are put right here, within the few seconds it gives.
    RunExitSequence();
    Exit();
}

void CQuillforthDlg::RunExitSequence() {
    if (m_exitSequenceDone) {
        return;
    }
    m_exitSequenceDone = true;
    m_exiting = true;
    // The adapters go back and Windows is told before anything that can wait on another program
    // (the Task Scheduler, Explorer, the disk): once the session ends, Windows may end the
    // process at any moment.
    StopProxy();
    KillTimer(TIMER_STATUS_TEXT);
    KillTimer(TIMER_STATUS_ICON);
    KillTimer(TIMER_REFRESH);
    m_serverList.StopProbe();
    EndAutostartThread();
    m_trayIcon.RemoveIcon();
    SaveSettings();
    if (m_settingsFailure) {
        Tell("Quillforth could not save its settings to " + m_profile.Path() + ": " +
             SystemErrorText(*m_settingsFailure));
    }
    m_cacheList.SaveLayout(CRegistryProfile());
    // The saver ends first, so that the last save holds every change.
    m_cacheSaver.reset();
    // A file kept since the start was told of then.
    if (!SaveToFile(m_cache, CacheFilePath(), &m_cacheSaves) && !m_cacheSaves.FileKept()) {
        Tell("Quillforth could not save its cache to " + CacheFilePath() + ": " +
             SystemErrorText(static_cast<DWORD>(m_cacheSaves.Failure().value_or(0))));
    }
    m_dnsClientRefresh.Finish(kDnsClientRefreshExitWait);
    if (const std::string failure = m_dnsClientRefresh.Failure(); !failure.empty()) {
        Tell("Windows may still use the DNS servers it had before: " + failure + ".");
    }
    if (!m_heldBackNotices.empty()) {
        KeepExitNotice(m_heldBackNotices);
    }
}

void CQuillforthDlg::OnDestroy() {
    CDialog::OnDestroy();
    RunExitSequence();
    m_dnsSocket.reset();
    m_cache.RemoveAll();
}

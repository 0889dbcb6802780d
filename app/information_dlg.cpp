#include "app/information_dlg.h"

#include <optional>

#include "app/registry_profile.h"
#include "app/settings.h"
#include "core/dns_cache.h"
#include "core/dns_socket.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "win/controls.h"
#include "win/data_exchange.h"

namespace {

// Where the controls sit, measured from the client area's bottom edge B, in pixels.
constexpr int kCheckBoxTopFromBottom = 20;
constexpr int kCheckBoxHeight = 17;
constexpr int kCloseTopFromBottom = 24;
constexpr int kCloseHeight = 21;
constexpr int kListMargin = 4;
constexpr int kListSpaceBelow = 37;

// Moves a control to a new top and height; it keeps its left edge and width.
void PlaceVertically(HWND control, int top, int height) {
    const RECT rect = CWindow(control).RectInParent();
    ::MoveWindow(control, rect.left, top, RectWidth(rect), height, TRUE);
}

// A stored rectangle that no screen shows (a display that has gone) would hide the window.
bool IsOnSomeScreen(const RECT& rect) {
    return RectWidth(rect) > 0 && RectHeight(rect) > 0 &&
           ::MonitorFromRect(&rect, MONITOR_DEFAULTTONULL) != nullptr;
}

}  // namespace

std::vector<StatisticsLine> InformationLines(const IInformationOwner& owner,
                                             const DnsStatisticsSnapshot& statistics,
                                             std::time_t now) {
    std::vector<StatisticsLine> lines{
        {"Cached DNS item", std::to_string(owner.CachedItemCount())},
        {"Cache last update", owner.LastUpdateText()},
        {"Cache next update", owner.NextUpdateText()},
        {"Total run time", FormatRunTime(static_cast<std::int64_t>(now - owner.StartTime()))},
        {"Current DNS server", owner.CurrentDnsServer()},
    };
    for (StatisticsLine& line : RequestStatisticsLines(statistics)) {
        lines.push_back(std::move(line));
    }
    return lines;
}

CInformationDlg* CInformationDlg::Open(IInformationOwner& owner, HWND ownerWindow,
                                       const CDnsSocket& proxy, bool alwaysOnTop) {
    auto window = std::unique_ptr<CInformationDlg>(
        new CInformationDlg(owner, ownerWindow, proxy, alwaysOnTop));
    if (!window->Create()) {
        return nullptr;
    }
    window->Show(SW_SHOWNORMAL);
    // From here the window owns its object: it deletes it when it goes.
    return window.release();
}

CInformationDlg::CInformationDlg(IInformationOwner& owner, HWND ownerWindow,
                                 const CDnsSocket& proxy, bool alwaysOnTop)
    : CDialog(IDD_INFORMATION, ownerWindow),
      m_owner(owner),
      m_ownerWindow(ownerWindow),
      m_proxy(proxy),
      m_alwaysOnTop(alwaysOnTop),
      m_icon(::LoadIconA(::GetModuleHandleA(nullptr), ResourceName(IDR_MAINFRAME))) {}

bool CInformationDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    Send(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
    Send(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
    ApplyAlwaysOnTop();

    m_propertyList.Attach(Item(IDC_INFORMATION_LIST));
    RefreshStatistics();
    for (const std::unique_ptr<PropertyItem>& line : m_lines) {
        m_propertyList.AddItem(line.get());
    }
    SetTimer(TIMER_INFORMATION_REFRESH, kRefreshPeriodMs);

    RestorePosition();
    m_fixedWidth = RectWidth(WindowRect());
    // The controls stand where every later resize puts them.
    LayOutControls();
    return true;
}

void CInformationDlg::DoDataExchange(CDataExchange& exchange) {
    exchange.Check(IDC_ALWAYS_ON_TOP, m_alwaysOnTop);
}

void CInformationDlg::RefreshStatistics() {
    const DnsStatisticsSnapshot statistics = m_proxy.Statistics().Snapshot();
    for (const auto& [label, value] : InformationLines(m_owner, statistics, std::time(nullptr))) {
        SetLine(label, value, PropertyItem::kText, "");
    }
    // Every entry paints its whole row, so the list needs no erasing first (which would
    // flicker at each refresh).
    CWindow(Item(IDC_INFORMATION_LIST)).Invalidate(false);
}

void CInformationDlg::SetLine(std::string_view label, std::string_view value, int type,
                              std::string_view choices) {
    for (const std::unique_ptr<PropertyItem>& line : m_lines) {
        if (line->label == label) {
            line->value = value;
            line->type = type;
            line->choices = choices;
            return;
        }
    }
    m_lines.push_back(std::make_unique<PropertyItem>(
        PropertyItem{std::string(label), std::string(value), type, std::string(choices)}));
}

void CInformationDlg::ApplyAlwaysOnTop() {
    UpdateData(true);
    ::SetWindowPos(Hwnd(), m_alwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    m_owner.SetInformationAlwaysOnTop(m_alwaysOnTop);
}

bool CInformationDlg::OnCommand(int id, int code, HWND control) {
    if (id == IDC_ALWAYS_ON_TOP) {
        if (code == BN_CLICKED) {
            ApplyAlwaysOnTop();
        }
        return true;
    }
    return CDialog::OnCommand(id, code, control);
}

void CInformationDlg::OnOK() {
    UpdateData(true);
    CloseByUser();
}

void CInformationDlg::OnCancel() {
    CloseByUser();
}

void CInformationDlg::CloseByUser() {
    m_closedByUser = true;
    ::SendMessageA(m_ownerWindow, WM_INFODLG_CLOSED, 1, 0);
    // Destroying the window deletes this object: nothing may follow.
    EndDialog(IDOK);
}

void CInformationDlg::OnTimer(UINT_PTR id) {
    if (id == TIMER_INFORMATION_REFRESH) {
        RefreshStatistics();
    }
}

void CInformationDlg::OnSizing(UINT /*edge*/, RECT& rect) {
    rect.right = rect.left + m_fixedWidth;
}

void CInformationDlg::OnSize(UINT type, int /*width*/, int /*height*/) {
    // A minimised window has no client area to lay out.
    if (type != SIZE_MINIMIZED) {
        LayOutControls();
    }
}

void CInformationDlg::LayOutControls() const {
    HWND list = Item(IDC_INFORMATION_LIST);
    HWND checkBox = Item(IDC_ALWAYS_ON_TOP);
    HWND close = Item(IDOK);
    if (list == nullptr || checkBox == nullptr || close == nullptr) {
        return;
    }
    const int bottom = ClientRect().bottom;
    PlaceVertically(checkBox, bottom - kCheckBoxTopFromBottom, kCheckBoxHeight);
    PlaceVertically(close, bottom - kCloseTopFromBottom, kCloseHeight);
    const RECT listRect = CWindow(list).RectInParent();
    ::MoveWindow(list, kListMargin, kListMargin, listRect.right - kListMargin,
                 bottom - kListSpaceBelow, TRUE);
}

void CInformationDlg::RestorePosition() const {
    std::optional<std::vector<uint8_t>> value =
        CRegistryProfile().ReadBinary(kSettingsSection, kInformationPosEntry);
    if (!value) {
        return;
    }
    std::optional<RECT> rect = DecodeWindowRect(*value);
    if (rect && IsOnSomeScreen(*rect)) {
        Move(*rect, true);
    }
}

void CInformationDlg::SavePosition() const {
    CRegistryProfile().WriteBinary(kSettingsSection, kInformationPosEntry,
                                   EncodeWindowRect(WindowRect()));
}

void CInformationDlg::OnDestroy() {
    KillTimer(TIMER_INFORMATION_REFRESH);
    SavePosition();
    if (!m_closedByUser) {
        // Gone with its owner: the owner forgets it and keeps it marked as open, so that it
        // opens again at the next start.
        ::SendMessageA(m_ownerWindow, WM_INFODLG_CLOSED, 0, 0);
    }
}

void CInformationDlg::PostNcDestroy() {
    delete this;
}

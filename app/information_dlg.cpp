#include "app/information_dlg.h"

#include <algorithm>
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
// Between the list and the chart.
constexpr int kChartGap = 4;
// The list never shrinks below this many lines to make room for the chart.
constexpr int kFewestListLines = 3;

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
    for (const UpstreamServerFigures& server : owner.UpstreamServers()) {
        lines.push_back(UpstreamServerLine(server));
    }
    return lines;
}

std::vector<ChartMinute> ChartMinutes(const DnsLastHour& hour) {
    std::vector<ChartMinute> minutes;
    minutes.reserve(hour.size());
    for (const DnsMinuteFigures& minute : hour) {
        minutes.push_back({minute.Cached, minute.Forwarded, minute.Failed, minute.Discarded,
                           minute.CachedMicros, minute.ForwardedMicros});
    }
    return minutes;
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

    // Measured before anything is laid out: the template's own size and margin.
    const RECT window = WindowRect();
    m_minimumSize = {RectWidth(window), RectHeight(window)};
    m_closeRightMargin = ClientRect().right - CWindow(Item(IDOK)).RectInParent().right;

    m_propertyList.Attach(Item(IDC_INFORMATION_LIST));
    m_chart.Attach(Item(IDC_INFORMATION_CHART));
    RefreshStatistics();
    SetTimer(TIMER_INFORMATION_REFRESH, kRefreshPeriodMs);
    FitContents(RestorePosition());
    // The controls stand where every later resize puts them.
    LayOutControls();
    return true;
}

void CInformationDlg::DoDataExchange(CDataExchange& exchange) {
    exchange.Check(IDC_ALWAYS_ON_TOP, m_alwaysOnTop);
}

void CInformationDlg::RefreshStatistics() {
    const CDnsStatistics& statistics = m_proxy.Statistics();
    ShowLines(InformationLines(m_owner, statistics.Snapshot(), std::time(nullptr)));
    m_chart.SetMinutes(ChartMinutes(statistics.LastHour(std::chrono::steady_clock::now())));
}

void CInformationDlg::ShowLines(const std::vector<StatisticsLine>& lines) {
    const bool sameLabels = std::ranges::equal(
        lines, m_lines, [](const StatisticsLine& line, const std::unique_ptr<PropertyItem>& item) {
            return line.first == item->label;
        });
    if (!sameLabels) {
        // A server added or taken out: the list anew, and room for its lines.
        m_propertyList.Send(LB_RESETCONTENT);
        m_lines.clear();
    }
    for (const auto& [label, value] : lines) {
        SetLine(label, value, PropertyItem::kText, "");
    }
    if (!sameLabels) {
        for (const std::unique_ptr<PropertyItem>& line : m_lines) {
            m_propertyList.AddItem(line.get());
        }
        LayOutControls();
    }
    // Every entry paints its whole row, so the list needs no erasing first (which would
    // flicker at each refresh).
    m_propertyList.Invalidate(false);
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

void CInformationDlg::OnSizing(UINT edge, RECT& rect) {
    // The edge that the user drags stops at the smallest size; the opposite one stays.
    if (RectWidth(rect) < m_minimumSize.cx) {
        if (edge == WMSZ_LEFT || edge == WMSZ_TOPLEFT || edge == WMSZ_BOTTOMLEFT) {
            rect.left = rect.right - m_minimumSize.cx;
        } else {
            rect.right = rect.left + m_minimumSize.cx;
        }
    }
    if (RectHeight(rect) < m_minimumSize.cy) {
        if (edge == WMSZ_TOP || edge == WMSZ_TOPLEFT || edge == WMSZ_TOPRIGHT) {
            rect.top = rect.bottom - m_minimumSize.cy;
        } else {
            rect.bottom = rect.top + m_minimumSize.cy;
        }
    }
}

void CInformationDlg::OnSize(UINT type, int /*width*/, int /*height*/) {
    // A minimised window has no client area to lay out.
    if (type != SIZE_MINIMIZED) {
        LayOutControls();
    }
}

int CInformationDlg::ListHeightForLines() const {
    const RECT outer = m_propertyList.WindowRect();
    const RECT inner = m_propertyList.ClientRect();
    const int frame = RectHeight(outer) - RectHeight(inner);
    return static_cast<int>(m_lines.size()) * CPropertyListBox::kItemHeight + frame;
}

// The list takes the height its lines need as far as the chart keeps its smallest height; the
// chart takes the rest.
void CInformationDlg::LayOutControls() const {
    HWND list = Item(IDC_INFORMATION_LIST);
    HWND checkBox = Item(IDC_ALWAYS_ON_TOP);
    HWND close = Item(IDOK);
    HWND chart = Item(IDC_INFORMATION_CHART);
    if (list == nullptr || checkBox == nullptr || close == nullptr || chart == nullptr) {
        return;
    }
    const RECT client = ClientRect();
    const int bottom = client.bottom;
    PlaceVertically(checkBox, bottom - kCheckBoxTopFromBottom, kCheckBoxHeight);
    const int closeWidth = RectWidth(CWindow(close).RectInParent());
    ::MoveWindow(close, client.right - m_closeRightMargin - closeWidth,
                 bottom - kCloseTopFromBottom, closeWidth, kCloseHeight, TRUE);

    const int width = client.right - 2 * kListMargin;
    const int room = bottom - kListSpaceBelow - kChartGap;
    const int fewest = kFewestListLines * CPropertyListBox::kItemHeight;
    const int listHeight =
        std::max(fewest, std::min(ListHeightForLines(), room - m_chart.MinimumHeight()));
    ::MoveWindow(list, kListMargin, kListMargin, width, listHeight, TRUE);
    const int chartTop = kListMargin + listHeight + kChartGap;
    ::MoveWindow(chart, kListMargin, chartTop, width,
                 std::max(0, bottom - kListSpaceBelow + kListMargin - chartTop), TRUE);
}

void CInformationDlg::FitContents(bool restored) const {
    RECT window = WindowRect();
    window.right = window.left + std::max<int>(RectWidth(window), m_minimumSize.cx);
    window.bottom = window.top + std::max<int>(RectHeight(window), m_minimumSize.cy);
    if (!restored) {
        // Every line, and the chart half again as tall as its smallest.
        const int wanted = kListMargin + ListHeightForLines() + kChartGap +
                           m_chart.MinimumHeight() * 3 / 2 + kListSpaceBelow - kListMargin;
        window.bottom += std::max<LONG>(0, wanted - ClientRect().bottom);
    }
    Move(window, true);
}

bool CInformationDlg::RestorePosition() const {
    std::optional<std::vector<uint8_t>> value =
        CRegistryProfile().ReadBinary(kSettingsSection, kInformationPosEntry);
    if (!value) {
        return false;
    }
    std::optional<RECT> rect = DecodeWindowRect(*value);
    if (!rect || !IsOnSomeScreen(*rect)) {
        return false;
    }
    Move(*rect, true);
    return true;
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

#pragma once

#include <windows.h>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/statistics_text.h"
#include "ui/property_list_box.h"
#include "ui/statistics_chart.h"
#include "win/dialog.h"

class CDnsSocket;

// What the statistics window shows of its owner, the main dialog, and the setting it keeps
// there.
class IInformationOwner {
public:
    virtual ~IInformationOwner() = default;
    [[nodiscard]] virtual int CachedItemCount() const = 0;
    // "%H:%M:%S" of the last scheduled refresh, or "00:00:00".
    [[nodiscard]] virtual std::string LastUpdateText() const = 0;
    // "%H:%M:%S" of the next scheduled refresh, or "Disabled".
    [[nodiscard]] virtual std::string NextUpdateText() const = 0;
    // When the program started, for its running time.
    [[nodiscard]] virtual std::time_t StartTime() const = 0;
    // The upstream server in use.
    [[nodiscard]] virtual std::string CurrentDnsServer() const = 0;
    // Every server of the list, in order, with what the proxy knows of it.
    [[nodiscard]] virtual std::vector<UpstreamServerFigures> UpstreamServers() const = 0;
    // Keeps the window's "Always on top" state in the settings and saves them.
    virtual void SetInformationAlwaysOnTop(bool onTop) = 0;
};

// The statistics window's fifteen lines at `now`, in display order: the cache, its refresh
// times, the running time, the upstream server in use, then the proxy's counters and times;
// then a line for each upstream server.
std::vector<StatisticsLine> InformationLines(const IInformationOwner& owner,
                                             const DnsStatisticsSnapshot& statistics,
                                             std::time_t now);

// The last hour as the chart takes it.
std::vector<ChartMinute> ChartMinutes(const DnsLastHour& hour);

// "Quillforth Information": the proxy's statistics as label/value lines and a chart of the last
// hour below them, refreshed every two seconds, in a modeless window that can be kept on top and
// keeps its place and size across runs. It opens tall enough for every line and the chart; the
// chart takes what the window grows by. Nothing is read from the proxy while it is closed. The
// window object deletes itself when its window goes.
class CInformationDlg : public CDialog {
public:
    static constexpr UINT kRefreshPeriodMs = 2000;

    // Creates and shows the window owned by `ownerWindow`, reading the counters of `proxy`; the
    // window object, or null when the window could not be created. `owner` and `proxy` must
    // outlive the window.
    static CInformationDlg* Open(IInformationOwner& owner, HWND ownerWindow,
                                 const CDnsSocket& proxy, bool alwaysOnTop);

protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& exchange) override;
    bool OnCommand(int id, int code, HWND control) override;
    void OnOK() override;
    void OnCancel() override;
    void OnTimer(UINT_PTR id) override;
    void OnSizing(UINT edge, RECT& rect) override;
    void OnSize(UINT type, int width, int height) override;
    void OnDestroy() override;
    void PostNcDestroy() override;

private:
    CInformationDlg(IInformationOwner& owner, HWND ownerWindow, const CDnsSocket& proxy,
                    bool alwaysOnTop);

    // Recomputes every line and redraws the list.
    void RefreshStatistics();
    // Shows the lines; when their labels changed (the server list did), the list anew.
    void ShowLines(const std::vector<StatisticsLine>& lines);
    void SetLine(std::string_view label, std::string_view value, int type,
                 std::string_view choices);
    void ApplyAlwaysOnTop();
    // False when the window has no stored place that a screen shows.
    bool RestorePosition() const;
    void SavePosition() const;
    void LayOutControls() const;
    // The list's height that shows every line without scrolling.
    [[nodiscard]] int ListHeightForLines() const;
    // Grows the window to its smallest size, and to show every line and the chart when it has
    // no size of its own yet.
    void FitContents(bool restored) const;
    void CloseByUser();

    IInformationOwner& m_owner;
    HWND m_ownerWindow;
    const CDnsSocket& m_proxy;
    bool m_alwaysOnTop;
    bool m_closedByUser = false;
    std::vector<std::unique_ptr<PropertyItem>> m_lines;
    CPropertyListBox m_propertyList;
    CStatisticsChart m_chart;
    // The template's size: the smallest the window is made.
    SIZE m_minimumSize{};
    // From the Close button's right edge to the client area's.
    int m_closeRightMargin = 0;
    HICON m_icon;
};

#pragma once

#include <windows.h>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/statistics_text.h"
#include "ui/property_list_box.h"
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
    // Keeps the window's "Always on top" state in the settings and saves them.
    virtual void SetInformationAlwaysOnTop(bool onTop) = 0;
};

// The statistics window's fifteen lines at `now`, in display order: the cache, its refresh
// times, the running time, the upstream server in use, then the proxy's counters and times.
std::vector<StatisticsLine> InformationLines(const IInformationOwner& owner,
                                             const DnsStatisticsSnapshot& statistics,
                                             std::time_t now);

// "Quillforth Information": the proxy's statistics as label/value lines, refreshed every two
// seconds, in a modeless window that can be kept on top, keeps its width when resized and its
// position across runs. The window object deletes itself when its window goes.
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
    void SetLine(std::string_view label, std::string_view value, int type,
                 std::string_view choices);
    void ApplyAlwaysOnTop();
    void RestorePosition() const;
    void SavePosition() const;
    void LayOutControls() const;
    void CloseByUser();

    IInformationOwner& m_owner;
    HWND m_ownerWindow;
    const CDnsSocket& m_proxy;
    bool m_alwaysOnTop;
    bool m_closedByUser = false;
    std::vector<std::unique_ptr<PropertyItem>> m_lines;
    CPropertyListBox m_propertyList;
    // The window's width after initialisation, which resizing keeps.
    int m_fixedWidth = 0;
    HICON m_icon;
};

#include "ui/statistics_chart.h"

#include <gtest/gtest.h>

#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/dialog.h"
#include "win/unicode.h"

namespace {

// The statistics window's chart, three minutes long: two minutes ago 3 from the cache, 1 from
// the upstream and 1 failed; a quiet minute; this minute 1 from the cache and 1 discarded.
class CHost : public CDialog {
public:
    CHost() : CDialog(IDD_INFORMATION) { Create(); }
    CStatisticsChart chart;

protected:
    bool OnInitDialog() override {
        chart.Attach(Item(IDC_INFORMATION_CHART));
        chart.SetMinutes({{3, 1, 1, 0, 90, 21'300}, {}, {1, 0, 0, 1, 40, 0}});
        return true;
    }
};

HWND VisibleBalloon() {
    HWND balloon = nullptr;
    while ((balloon = ::FindWindowExA(nullptr, balloon, "QuillforthWindow", nullptr)) != nullptr) {
        if (::IsWindowVisible(balloon)) {
            return balloon;
        }
    }
    return nullptr;
}

TEST(StatisticsChart, TellsEachMinuteDrawsItsColumnsAndShowsTheHoveredOne) {
    EXPECT_EQ(AverageText(0, 0), "-");
    EXPECT_EQ(AverageText(999, 1), "999 \xC2\xB5s");
    EXPECT_EQ(AverageText(42'600, 2), "21.3 ms");

    CHost host;
    host.Show(SW_SHOWNOACTIVATE);
    HWND chart = host.chart.Hwnd();
    wchar_t text[512] = {};
    ::GetWindowTextW(chart, text, 512);
    EXPECT_EQ(ToUtf8(text),
              "Hit ratio: last hour 66.7 %, this minute 100.0 %\r\n"
              "2 minutes ago: cache 3 (30 \xC2\xB5s), upstream 1 (21.3 ms), failed 1, "
              "discarded 0\r\n"
              "This minute: cache 1 (40 \xC2\xB5s), upstream 0 (-), failed 0, discarded 1");

    // Along the columns' foot the cache's colour shows twice, the oldest and the newest minute;
    // the oldest is full height (5 of a scale of 5), with the failed red at its head.
    ::UpdateWindow(chart);
    RECT client{};
    ::GetClientRect(chart, &client);
    HDC dc = ::GetDC(chart);
    TEXTMETRICA metrics{};
    ::SelectObject(dc, host.chart.Font());
    ::GetTextMetricsA(dc, &metrics);
    const int line = metrics.tmHeight + metrics.tmExternalLeading;
    std::vector<int> starts;
    bool before = false;
    for (int x = 0; x < client.right; ++x) {
        const bool cache =
            ::GetPixel(dc, x, client.bottom - line - 2) == ::GetSysColor(COLOR_HIGHLIGHT);
        if (cache && !before) {
            starts.push_back(x);
        }
        before = cache;
    }
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(::GetPixel(dc, starts[0] + 1, line + 2), RGB(0xC8, 0x32, 0x32));
    EXPECT_EQ(::GetPixel(dc, (starts[0] + starts[1]) / 2, line + 2), ::GetSysColor(COLOR_WINDOW));
    ::ReleaseDC(chart, dc);

    // The pointer rests on the last column: after the delay the balloon tells its minute.
    host.chart.Send(WM_MOUSEMOVE, 0, MakeLParam(starts[1] + 1, client.bottom / 2));
    ASSERT_TRUE(PumpUntil([] { return VisibleBalloon() != nullptr; }, 2000));
    char shown[256] = {};
    ::GetWindowTextA(VisibleBalloon(), shown, sizeof shown);
    EXPECT_EQ(std::string(shown), MinuteText({1, 0, 0, 1, 40, 0}, 0, true));
    host.EndDialog(IDOK);
}

}  // namespace

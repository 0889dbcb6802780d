#include "ui/statistics_chart.h"

#include <gtest/gtest.h>

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

    // The oldest column is full height (5 of a scale of 5): the cache's colour at its foot, the
    // failed red at its head; the quiet one shows the background.
    ::UpdateWindow(chart);
    RECT client{};
    ::GetClientRect(chart, &client);
    HDC dc = ::GetDC(chart);
    TEXTMETRICA metrics{};
    ::SelectObject(dc, host.chart.Font());
    ::GetTextMetricsA(dc, &metrics);
    const int line = metrics.tmHeight + metrics.tmExternalLeading;
    const int plotWidth = client.right - 17 * metrics.tmAveCharWidth - 2 * metrics.tmAveCharWidth;
    const int firstX = metrics.tmAveCharWidth + plotWidth / 6;
    EXPECT_EQ(::GetPixel(dc, firstX, client.bottom - line - 2), ::GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(::GetPixel(dc, firstX, line + 2), RGB(0xC8, 0x32, 0x32));
    EXPECT_EQ(::GetPixel(dc, firstX + plotWidth / 3, line + 2), ::GetSysColor(COLOR_WINDOW));
    ::ReleaseDC(chart, dc);

    // The pointer rests on the last column: after the delay the balloon tells its minute.
    host.chart.Send(WM_MOUSEMOVE, 0, MakeLParam(firstX + 2 * plotWidth / 3, client.bottom / 2));
    ASSERT_TRUE(PumpUntil([] { return VisibleBalloon() != nullptr; }, 2000));
    char shown[256] = {};
    ::GetWindowTextA(VisibleBalloon(), shown, sizeof shown);
    EXPECT_EQ(std::string(shown), MinuteText({1, 0, 0, 1, 40, 0}, 0, true));
    host.EndDialog(IDOK);
}

}  // namespace

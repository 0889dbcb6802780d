#include "app/information_dlg.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "app/about_dlg.h"
#include "app/launch.h"
#include "app/registry_profile.h"
#include "app/settings.h"
#include "core/dns_socket.h"
#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"

namespace {

// One day, one hour, one minute and one second.
constexpr std::time_t kRunTime = 86400 + 3600 + 60 + 1;

// The main dialog as the statistics window sees it, on a window of its own.
class COwner : public CDialog, public IInformationOwner {
public:
    COwner() : CDialog(IDD_OUTDATED) { Create(); }

    std::time_t start = std::time(nullptr) - kRunTime;
    std::vector<bool> alwaysOnTop;

    [[nodiscard]] int CachedItemCount() const override { return 3; }
    [[nodiscard]] std::string LastUpdateText() const override { return "00:00:00"; }
    [[nodiscard]] std::string NextUpdateText() const override { return "Disabled"; }
    [[nodiscard]] std::time_t StartTime() const override { return start; }
    [[nodiscard]] std::string CurrentDnsServer() const override { return "192.0.2.53"; }
    [[nodiscard]] std::vector<UpstreamServerFigures> UpstreamServers() const override {
        return servers;
    }
    std::vector<UpstreamServerFigures> servers;
    void SetInformationAlwaysOnTop(bool onTop) override { alwaysOnTop.push_back(onTop); }
};

class InformationWindow : public ::testing::Test {
protected:
    CDnsItemMap cache;
    // Never started: the window only reads its statistics.
    CUpstreamSettings upstream;
    CDnsSocket proxy{&cache, upstream};
    COwner owner;
};

TEST_F(InformationWindow, ShowsFifteenLinesAllZeroBeforeAnyRequestThenEachServer) {
    const std::time_t now = std::time(nullptr);
    owner.start = now - kRunTime;
    UpstreamServerFigures server;
    server.Text = "192.0.2.53";
    server.Queries = 12;
    server.Answers = 10;
    server.Timeouts = 2;
    server.RoundTripSum = std::chrono::microseconds(213'000);
    owner.servers = {server};
    const std::vector<StatisticsLine> expected{
        {"Cached DNS item", "3"},
        {"Cache last update", "00:00:00"},
        {"Cache next update", "Disabled"},
        {"Total run time", "1 days 01:01:01"},
        {"Current DNS server", "192.0.2.53"},
        {"Total Requests", "0"},
        {"Discard Requests", "0"},
        {"Cached Requests", "0"},
        {"Forward Requests", "0"},
        {"Internal Error Requests", "0"},
        {"Saved Time(s)", "0.00"},
        {"Avg Respond time for all requests(s)", "0.0000"},
        {"Avg Respond time for forward requests(s)", "0.0000"},
        {"Avg Respond time for cached requests(s)", "0.0000"},
        {"Avg Respond time of remote DNS server(s)", "0.0000"},
        {"192.0.2.53",
         "answering, 12 queries, 10 answers, 2 time-outs, 0 errors, 21.3 ms round trip"},
    };
    EXPECT_EQ(InformationLines(owner, {}, now), expected);
}

// A saved place that no screen shows is ignored: the window opens tall enough for every line and
// the chart. Always on top follows the check box and is handed to the owner (unowned here: Wine
// keeps an owned popup in the topmost band while only topmost windows lie between it and its
// owner; Windows takes it out). Resizing stops at the template's size; the chart takes what the
// window grows by, Close keeps to the bottom right corner.
TEST_F(InformationWindow, PlaceAlwaysOnTopAndResizing) {
    owner.servers.resize(3);
    for (std::size_t i = 0; i < owner.servers.size(); ++i) {
        owner.servers[i].Text = "192.0.2." + std::to_string(i);
    }
    ASSERT_TRUE(CRegistryProfile().WriteBinary(kSettingsSection, kInformationPosEntry,
                                               EncodeWindowRect({-9000, -9000, -8500, -8700})));
    CInformationDlg* window = CInformationDlg::Open(owner, nullptr, proxy, true);
    ASSERT_NE(window, nullptr);
    const RECT start = window->WindowRect();
    EXPECT_GT(start.left, -1000);
    const auto height = [&](int id) {
        return RectHeight(CWindow(window->Item(id)).RectInParent());
    };
    EXPECT_GE(height(IDC_INFORMATION_LIST), 18 * CPropertyListBox::kItemHeight);
    const int chartHeight = height(IDC_INFORMATION_CHART);
    EXPECT_GT(chartHeight, 100);
    auto topmost = [&] {
        return (::GetWindowLongPtrA(window->Hwnd(), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    };
    EXPECT_TRUE(topmost());
    CWindow(window->Item(IDC_ALWAYS_ON_TOP)).Send(BM_CLICK);
    EXPECT_FALSE(topmost());
    EXPECT_EQ(owner.alwaysOnTop, (std::vector<bool>{true, false}));

    RECT proposed = start;
    proposed.left += 2000;  // the left edge dragged past the right one
    proposed.top -= 2000;
    window->Send(WM_SIZING, WMSZ_TOPLEFT, reinterpret_cast<LPARAM>(&proposed));
    EXPECT_EQ(proposed.right, start.right);
    EXPECT_LE(RectWidth(proposed), RectWidth(start));
    EXPECT_GT(RectWidth(proposed), 300);
    proposed = start;
    proposed.right += 60;
    proposed.bottom += 100;
    window->Send(WM_SIZING, WMSZ_BOTTOMRIGHT, reinterpret_cast<LPARAM>(&proposed));
    window->Move(proposed);
    EXPECT_EQ(RectWidth(window->WindowRect()), RectWidth(start) + 60);
    const RECT client = window->ClientRect();
    const RECT close = CWindow(window->Item(IDOK)).RectInParent();
    EXPECT_EQ(close.bottom, client.bottom - 3);
    EXPECT_GT(close.right, client.right - 20);
    EXPECT_EQ(CWindow(window->Item(IDC_INFORMATION_CHART)).RectInParent().bottom,
              client.bottom - 33);
    EXPECT_EQ(height(IDC_INFORMATION_CHART), chartHeight + 100);
    window->EndDialog(IDOK);
}

// What the clipboard holds as text.
std::string ClipboardText() {
    std::string text;
    if (::OpenClipboard(nullptr)) {
        HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
        if (const auto* wide = static_cast<const wchar_t*>(::GlobalLock(data))) {
            for (; *wide != L'\0'; ++wide) {
                text += static_cast<char>(*wide);
            }
            ::GlobalUnlock(data);
        }
        ::CloseClipboard();
    }
    return text;
}

// The links open through the desktop's shell; without one a link's address goes to the
// clipboard and the owner hears of it, so that the main window can say so.
TEST(AboutBox, LinksOpenThroughTheDesktopShellOrElseGoToTheClipboard) {
    std::vector<std::string> opened;
    bool desktopShell = true;
    int copied = 0;
    CAboutDlg about(
        nullptr,
        [&](const std::string& url) {
            opened.push_back(url);
            return desktopShell;
        },
        [&copied] { ++copied; });
    ASSERT_TRUE(about.Create());
    EXPECT_EQ(::GetFocus(), about.Item(IDOK)) << "Enter on the box just opened means OK";
    const std::string web = CWindow(about.Item(IDC_WEB_LINK)).GetText();
    EXPECT_EQ(about.MailLink().GetURL(), "mailto:support@veltmark.example");

    about.WebLink().Send(WM_LBUTTONDOWN, 0, MakeLParam(2, 2));
    EXPECT_TRUE(about.WebLink().Visited());
    desktopShell = false;
    about.MailLink().Send(WM_LBUTTONDOWN, 0, MakeLParam(2, 2));
    EXPECT_EQ(opened, (std::vector<std::string>{web, "mailto:support@veltmark.example"}));
    EXPECT_FALSE(about.MailLink().Visited());
    EXPECT_EQ(copied, 1);
    EXPECT_EQ(ClipboardText(), "mailto:support@veltmark.example");
}

}  // namespace

#include "app/tray_icon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "res/window_messages.h"
#include "tests/win/gui_test_support.h"
#include "win/dialog.h"

namespace {

// The owner of the icon: the main dialog's template, recording the commands it receives.
class COwner : public CDialog {
public:
    COwner() : CDialog(IDD_QUILLFORTH_DIALOG) { Create(); }
    std::vector<int> commands;

protected:
    bool OnCommand(int id, int, HWND) override {
        commands.push_back(id);
        return true;
    }
};

HICON AppIcon() {
    return ::LoadIconA(::GetModuleHandleA(nullptr), ResourceName(IDR_MAINFRAME));
}

// The status text goes to our own tooltip window: the shell keeps the tip of Create, cut to what
// it holds. Other icons' events are not ours; of ours only a double click sends a command.
// Without an owner window, or once removed, every call is ignored.
TEST(TrayIcon, KeepsTheShellsTipCutRestoresOnADoubleClickAndIgnoresCallsWhenGone) {
    CTrayIcon orphan;
    EXPECT_FALSE(orphan.Create(nullptr, WM_TRAYNOTIFY, "", AppIcon(), IDR_TRAY));
    EXPECT_FALSE(orphan.SetTooltipText("Quillforth is running"));

    COwner owner;
    CTrayIcon icon;
    ASSERT_TRUE(
        icon.Create(owner.Hwnd(), WM_TRAYNOTIFY, std::string(200, 'x'), AppIcon(), IDR_TRAY));
    EXPECT_EQ(icon.ShellTip(), std::string(127, 'x'));
    EXPECT_TRUE(icon.SetTooltipText("Quillforth is running"));
    EXPECT_EQ(icon.TooltipText(), "Quillforth is running");
    EXPECT_EQ(icon.ShellTip(), std::string(127, 'x'));
    EXPECT_TRUE(icon.SetIcon(IDI_SERVER_DOWN));

    EXPECT_FALSE(icon.OnTrayNotification(IDR_TRAY + 1, WM_LBUTTONDBLCLK));
    for (const LPARAM event : {WM_LBUTTONDBLCLK, WM_LBUTTONUP, WM_MOUSEMOVE}) {
        EXPECT_TRUE(icon.OnTrayNotification(IDR_TRAY, event)) << event;
    }
    PumpMessages(50);
    EXPECT_EQ(owner.commands, std::vector<int>{ID_TRAY_RESTORE});

    icon.RemoveIcon();
    EXPECT_FALSE(icon.Enabled());
    EXPECT_FALSE(icon.SetIcon(IDI_STOPPED));
}

// The first day counts from the program's start, a new day from its first reading; a share is
// rounded, and its line is left out rather than cut when the tip has no room for it.
TEST(TrayIcon, CacheShareOfTheDay) {
    CCacheShareToday share;
    struct Reading {
        int day;
        std::uint64_t cached;
        std::uint64_t answered;
        std::optional<int> percent;
    };
    const Reading readings[] = {
        {100, 0, 0, std::nullopt},  {100, 2, 3, 67}, {100, 9, 10, 90},
        {101, 9, 10, std::nullopt}, {101, 9, 14, 0}, {101, 12, 18, 38},
    };
    for (const Reading& reading : readings) {
        EXPECT_EQ(share.Update(reading.day, reading.cached, reading.answered), reading.percent)
            << reading.day << " " << reading.cached << "/" << reading.answered;
    }
    EXPECT_EQ(WithCacheShare("Quillforth is running", 38),
              "Quillforth is running\n38% of today's queries answered from the cache");
    EXPECT_EQ(WithCacheShare("Quillforth is running", std::nullopt), "Quillforth is running");
    const std::string longWarning(100, 'w');
    EXPECT_EQ(WithCacheShare(longWarning, 38), longWarning);
}

}  // namespace

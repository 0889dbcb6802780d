#include "app/tray_icon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
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

TEST(TrayIcon, WithoutAnOwnerWindowStaysDisabledAndEveryCallIsIgnored) {
    CTrayIcon icon;
    EXPECT_FALSE(icon.Create(nullptr, WM_TRAYNOTIFY, "", AppIcon(), IDR_TRAY));
    EXPECT_FALSE(icon.Enabled());
    EXPECT_FALSE(icon.SetIcon(IDI_STOPPED));
    EXPECT_FALSE(icon.SetTooltipText("Quillforth is running"));
    EXPECT_EQ(icon.TooltipText(), "") << "a disabled icon keeps no text";
    icon.RemoveIcon();
}

TEST(TrayIcon, AddsTheIconWithTheTrayMenuAndKeepsTheShellTipOfCreate) {
    COwner owner;
    CTrayIcon icon;
    ASSERT_TRUE(icon.Create(owner.Hwnd(), WM_TRAYNOTIFY, "", AppIcon(), IDR_TRAY));
    ASSERT_NE(icon.Menu(), nullptr);
    HMENU popup = ::GetSubMenu(icon.Menu(), 0);
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(::GetMenuItemCount(popup), 11);
    EXPECT_EQ(::GetMenuItemID(popup, 0), static_cast<UINT>(ID_TRAY_RESTORE));
    EXPECT_EQ(::GetMenuItemID(popup, 2), static_cast<UINT>(ID_TRAY_START));
    EXPECT_EQ(::GetMenuItemID(popup, 3), static_cast<UINT>(ID_TRAY_STOP));
    EXPECT_EQ(::GetMenuItemID(popup, 10), static_cast<UINT>(ID_TRAY_EXIT));

    // The status text goes to our own tooltip window; the shell keeps showing nothing.
    EXPECT_TRUE(icon.SetTooltipText("Quillforth is running"));
    EXPECT_EQ(icon.TooltipText(), "Quillforth is running");
    EXPECT_EQ(icon.ShellTip(), "");
    for (int id : {IDI_STOPPED, IDI_SERVER_DOWN, IDI_BLINK, IDI_UPDATING, IDR_MAINFRAME}) {
        EXPECT_TRUE(icon.SetIcon(id)) << id;
    }

    icon.RemoveIcon();
    EXPECT_FALSE(icon.Enabled());
    EXPECT_FALSE(icon.SetIcon(IDI_STOPPED)) << "a removed icon cannot be changed";
}

TEST(TrayIcon, CutsATipLongerThanTheShellHoldsTo127Characters) {
    COwner owner;
    CTrayIcon icon;
    ASSERT_TRUE(
        icon.Create(owner.Hwnd(), WM_TRAYNOTIFY, std::string(200, 'x'), AppIcon(), IDR_TRAY));
    EXPECT_EQ(icon.ShellTip(), std::string(127, 'x'));
}

TEST(TrayIcon, ADoubleClickRestoresTheOwnerAndOtherIconsEventsAreNotOurs) {
    COwner owner;
    CTrayIcon icon;
    ASSERT_TRUE(icon.Create(owner.Hwnd(), WM_TRAYNOTIFY, "", AppIcon(), IDR_TRAY));

    EXPECT_FALSE(icon.OnTrayNotification(IDR_TRAY + 1, WM_LBUTTONDBLCLK));
    EXPECT_TRUE(owner.commands.empty());

    EXPECT_TRUE(icon.OnTrayNotification(IDR_TRAY, WM_LBUTTONDBLCLK));
    EXPECT_EQ(owner.commands, std::vector<int>{ID_TRAY_RESTORE});

    // A plain click or a pointer moving over the icon sends no command.
    EXPECT_TRUE(icon.OnTrayNotification(IDR_TRAY, WM_LBUTTONUP));
    EXPECT_TRUE(icon.OnTrayNotification(IDR_TRAY, WM_MOUSEMOVE));
    PumpMessages(50);
    EXPECT_EQ(owner.commands.size(), 1u);
}

}  // namespace

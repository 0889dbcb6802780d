#include "ui/balloon_tip.h"

#include <gtest/gtest.h>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/dialog.h"

namespace {

// The main dialog with the Start button registered, relaying its messages as the program does.
class CHost : public CDialog {
public:
    CHost() : CDialog(IDD_QUILLFORTH_DIALOG) { Create(); }
    CBalloonTip balloon;

    // The pointer comes to rest on a control: the system moves it and reports the movement.
    POINT RestOn(int id) {
        RECT rect = CWindow(Item(id)).WindowRect();
        POINT centre{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
        ::SetCursorPos(centre.x, centre.y);
        ::PostMessageA(Item(id), WM_MOUSEMOVE, 0, MakeLParam(4, 4));
        return centre;
    }

protected:
    bool OnInitDialog() override {
        balloon.Create(m_hwnd);
        balloon.AddTool(Item(IDC_START),
                        "To start DNS proxy will set system DNS servers to \"127.0.0.1\"\n"
                        "and will stop DNS Client service if it is running.");
        return true;
    }
    bool PreTranslateMessage(MSG& message) override {
        balloon.RelayEvent(message);
        return false;
    }
};

TEST(BalloonTip, ShowsAfterHalfASecondWithItsTailOnThePointerAndHidesOnAClick) {
    CHost host;
    POINT pointer = host.RestOn(IDC_START);
    ULONGLONG start = ::GetTickCount64();
    PumpMessages(350);
    EXPECT_FALSE(host.balloon.IsVisible()) << "not before the delay";
    ASSERT_TRUE(PumpUntil([&] { return host.balloon.IsVisible(); }, 1000));
    EXPECT_GE(::GetTickCount64() - start, 480u);

    RECT rect = host.balloon.WindowRect();
    EXPECT_EQ(rect.right - CBalloonTip::kTipFromRight, pointer.x);
    EXPECT_EQ(rect.bottom - CBalloonTip::kTipFromBottom, pointer.y);
    // Two lines of text and the margins.
    EXPECT_GT(RectHeight(rect), 2 * 13 + 20 + CBalloonTip::kExtraHeight - 2);

    ::PostMessageA(host.Item(IDC_START), WM_LBUTTONDOWN, MK_LBUTTON, MakeLParam(4, 4));
    PumpMessages(50);
    EXPECT_FALSE(host.balloon.IsVisible());
}

TEST(BalloonTip, StaysAwayFromControlsWithoutATip) {
    CHost host;
    host.RestOn(IDC_STOP);
    PumpMessages(800);
    EXPECT_FALSE(host.balloon.IsVisible());
}

TEST(BalloonTip, HidesWhenThePointerLeavesItsAnchor) {
    CHost host;
    host.RestOn(IDC_START);
    ASSERT_TRUE(PumpUntil([&] { return host.balloon.IsVisible(); }, 1500));
    // Moved without a message reaching the dialog: the balloon's own check notices.
    RECT stop = CWindow(host.Item(IDC_STOP)).WindowRect();
    ::SetCursorPos(stop.left + 2, stop.top + 2);
    EXPECT_TRUE(PumpUntil([&] { return !host.balloon.IsVisible(); }, 1500));
}

TEST(BalloonTip, AClickBeforeTheDelayCancelsTheRequest) {
    CHost host;
    host.RestOn(IDC_START);
    PumpMessages(100);
    ::PostMessageA(host.Item(IDC_START), WM_RBUTTONDOWN, MK_RBUTTON, MakeLParam(4, 4));
    PumpMessages(900);
    EXPECT_FALSE(host.balloon.IsVisible());
}

}  // namespace

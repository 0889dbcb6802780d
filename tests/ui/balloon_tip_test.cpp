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

    // The pointer comes to rest on a control (`dx` right of its centre) and the system reports
    // the movement; the balloon ignores a report of the point it already anchors to.
    void RestOn(int id, int dx = 0) {
        RECT rect = CWindow(Item(id)).WindowRect();
        POINT at{(rect.left + rect.right) / 2 + dx, (rect.top + rect.bottom) / 2};
        ::SetCursorPos(at.x, at.y);
        ::PostMessageA(Item(id), WM_MOUSEMOVE, 0, MakeLParam(4, 4));
    }
    bool Shown() const { return balloon.IsVisible(); }

protected:
    bool OnInitDialog() override {
        balloon.Create(m_handle);
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

// None over a control without a tip, nor after a click before the delay.
TEST(BalloonTip, ShowsAfterHalfASecondAndHidesOnAClickOrWhenLeft) {
    CHost host;
    host.RestOn(IDC_STOP);
    PumpMessages(600);
    EXPECT_FALSE(host.Shown());
    host.RestOn(IDC_START, 1);
    PumpMessages(100);
    ::PostMessageA(host.Item(IDC_START), WM_RBUTTONDOWN, MK_RBUTTON, MakeLParam(4, 4));
    PumpMessages(600);
    EXPECT_FALSE(host.Shown()) << "the click cancels the waiting request";

    host.RestOn(IDC_START);
    ULONGLONG start = ::GetTickCount64();
    PumpMessages(350);
    EXPECT_FALSE(host.Shown()) << "not before the delay";
    ASSERT_TRUE(PumpUntil([&] { return host.Shown(); }, 1000));
    EXPECT_GE(::GetTickCount64() - start, 480u);

    ::PostMessageA(host.Item(IDC_START), WM_LBUTTONDOWN, MK_LBUTTON, MakeLParam(4, 4));
    PumpMessages(50);
    EXPECT_FALSE(host.Shown());

    // Moved off without a message reaching the dialog: the balloon's own check notices.
    host.RestOn(IDC_START, 3);
    ASSERT_TRUE(PumpUntil([&] { return host.Shown(); }, 1500));
    RECT stop = CWindow(host.Item(IDC_STOP)).WindowRect();
    ::SetCursorPos(stop.left + 2, stop.top + 2);
    EXPECT_TRUE(PumpUntil([&] { return !host.Shown(); }, 1500));
}

}  // namespace

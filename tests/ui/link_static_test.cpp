#include "ui/link_static.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/dialog.h"

namespace {

// The about box's template with its support address made a link, shown; the link's opener
// records each target and answers `opens`.
class CHost : public CDialog {
public:
    CHost() : CDialog(IDD_ABOUTBOX) {
        Create();
        before = CWindow(Item(IDC_MAIL_LINK)).RectInParent();
        link.AttachLink(Item(IDC_MAIL_LINK));
        Show(SW_SHOWNORMAL);
    }
    std::vector<std::string> opened;
    bool opens = false;
    CLinkStatic link{[this](const std::string& url) {
        opened.push_back(url);
        return opens;
    }};
    RECT before{};

    void Mouse(UINT message, int x) { link.Send(message, 0, MakeLParam(x, 3)); }
    [[nodiscard]] int Outside() const { return RectWidth(link.ClientRect()) + 5; }
};

TEST(LinkStatic, UnderlinedShrunkAndTippedItFollowsHoverAndClicks) {
    CHost host;
    EXPECT_EQ(host.link.GetURL(), "support@veltmark.example") << "the text is the target";
    EXPECT_NE(::GetWindowLongPtrA(host.link.Hwnd(), GWL_STYLE) & SS_NOTIFY, 0);
    LOGFONTA font{};
    ASSERT_NE(::GetObjectA(host.link.Font(), sizeof font, &font), 0);
    EXPECT_TRUE(font.lfUnderline);
    const RECT after = host.link.RectInParent();
    EXPECT_EQ(after.left, host.before.left) << "left-aligned text keeps its left edge";
    EXPECT_LT(RectWidth(after), RectWidth(host.before)) << "the control shrinks to its text";
    EXPECT_NE(host.link.Cursor(), nullptr);

    host.link.SetURL("mailto:support@veltmark.example");
    char tip[256] = {};
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = host.link.Hwnd();
    tool.uId = 1;
    tool.lpszText = tip;
    ::SendMessageA(host.link.ToolTip(), TTM_GETTEXTA, sizeof tip, reinterpret_cast<LPARAM>(&tool));
    EXPECT_STREQ(tip, "mailto:support@veltmark.example");
    EXPECT_EQ(host.link.GetText(), "support@veltmark.example") << "the shown text stays";

    // Hovering lasts until the pointer leaves or another window takes the mouse; only a click that
    // opened the target marks it visited.
    host.Mouse(WM_MOUSEMOVE, 3);
    EXPECT_EQ(::GetCapture(), host.link.Hwnd()) << "captured, it learns when the pointer leaves";
    host.Mouse(WM_MOUSEMOVE, 5);
    EXPECT_TRUE(host.link.OverLink());
    host.Mouse(WM_MOUSEMOVE, host.Outside());
    EXPECT_FALSE(host.link.OverLink());
    EXPECT_EQ(::GetCapture(), nullptr);
    host.Mouse(WM_MOUSEMOVE, 3);
    ::SetCapture(host.Hwnd());  // as a message box or a browser would
    EXPECT_FALSE(host.link.OverLink());
    ::ReleaseCapture();

    host.Mouse(WM_LBUTTONDOWN, 3);
    EXPECT_FALSE(host.link.Visited());
    host.Mouse(WM_LBUTTONDOWN, host.Outside());
    EXPECT_EQ(host.opened.size(), 1u) << "a press outside the link (while captured) is no click";
    host.opens = true;
    host.Mouse(WM_LBUTTONDOWN, 3);
    EXPECT_TRUE(host.link.Visited());
    EXPECT_EQ(host.opened.size(), 2u);

    // The keyboard reaches it with Tab and opens it with Enter or Space, not the default button.
    HWND next = ::GetNextDlgTabItem(host.Hwnd(), host.link.Hwnd(), FALSE);
    EXPECT_EQ(::GetNextDlgTabItem(host.Hwnd(), next, TRUE), host.link.Hwnd()) << "a tab stop";
    host.link.Focus();
    PressKey(host.link.Hwnd(), VK_RETURN);
    PressKey(host.link.Hwnd(), VK_SPACE);
    EXPECT_EQ(host.opened.size(), 4u);
    EXPECT_TRUE(host.Exists()) << "Enter pressed no button of the box";
}

}  // namespace

#include "ui/property_list_box.h"

#include <gtest/gtest.h>

#include <array>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

// The statistics window's list with three lines, the longest label 40 characters.
class CHost : public CDialog {
public:
    CHost() : CDialog(IDD_INFORMATION) { Create(); }
    CPropertyListBox list;
    std::array<PropertyItem, 3> items{{
        {"Cached DNS item", "12", PropertyItem::kText, ""},
        {"Avg Respond time for forward requests(s)", "0.0420", PropertyItem::kText, ""},
        {"Total Requests", "7", PropertyItem::kText, ""},
    }};

    void Mouse(UINT message, int x, int y) {
        list.Send(message, message == WM_LBUTTONUP ? 0 : MK_LBUTTON, MakeLParam(x, y));
    }
    [[nodiscard]] int Selected() const { return CListBox(list.Hwnd()).GetCurSel(); }

protected:
    bool OnInitDialog() override {
        list.Attach(Item(IDC_INFORMATION_LIST));
        for (PropertyItem& item : items) {
            list.AddItem(&item);
        }
        return true;
    }
};

// A click away from the divider selects the entry under the pointer; losing the mouse cancels a
// drag.
TEST(PropertyList, DividerFollowsTheLongestLabelAndMovesWhenDragged) {
    CHost host;
    ASSERT_EQ(host.items[1].label.size(), 40u);
    EXPECT_EQ(host.list.Divider(), 0) << "placed when first drawn";
    host.Show(SW_SHOWNORMAL);
    ::UpdateWindow(host.list.Hwnd());
    EXPECT_EQ(host.list.Divider(), 247);

    host.Mouse(WM_LBUTTONDOWN, 251, 5);  // within five pixels of the divider
    EXPECT_EQ(::GetCapture(), host.list.Hwnd());
    host.Mouse(WM_MOUSEMOVE, 200, 5);
    host.Mouse(WM_LBUTTONUP, 180, 5);
    EXPECT_EQ(host.list.Divider(), 180);
    EXPECT_EQ(::GetCapture(), nullptr);
    EXPECT_EQ(host.Selected(), -1) << "a drag selects nothing";

    host.Mouse(WM_LBUTTONDOWN, 60, 25);
    host.Mouse(WM_LBUTTONUP, 60, 25);
    EXPECT_EQ(host.list.Divider(), 180);
    EXPECT_EQ(host.Selected(), 1);
    host.Mouse(WM_LBUTTONUP, 60, 3 * CPropertyListBox::kItemHeight + 5);
    EXPECT_EQ(host.Selected(), 1) << "below the last entry there is none to select";

    host.Mouse(WM_LBUTTONDOWN, 180, 5);
    ::SetCapture(host.Hwnd());  // another window takes the mouse
    ::ReleaseCapture();
    host.Mouse(WM_LBUTTONUP, 100, 45);
    EXPECT_EQ(host.list.Divider(), 180);
    EXPECT_EQ(host.Selected(), 2);
}

}  // namespace

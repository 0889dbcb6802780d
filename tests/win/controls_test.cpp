#include "win/controls.h"

#include <gtest/gtest.h>

#include <string>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/dialog.h"

namespace {

TEST(Controls, ListViewRowsKeepLongTextsDataAndSelectionAndListBoxHitsOnlyItsEntries) {
    CDialog dialog(IDD_OUTDATED);
    ASSERT_TRUE(dialog.Create());
    CListView list(::CreateWindowExA(0, WC_LISTVIEWA, "", WS_CHILD | LVS_REPORT, 0, 0, 300, 200,
                                     dialog.Hwnd(), nullptr, nullptr, nullptr));
    list.InsertColumn(0, "ID", 50);
    list.InsertColumn(1, "Domain", 150);
    EXPECT_EQ(list.GetHeader().GetItemText(1), "Domain");
    list.InsertItem(0, "1", 111);
    list.InsertItem(1, "2", 222);
    list.InsertItem(0, "0");           // in front: the others move down
    std::string longDomain(600, 'a');  // longer than the first buffer the wrapper tries
    list.SetItemText(2, 1, longDomain);
    EXPECT_EQ(list.GetItemText(1), "1");
    EXPECT_EQ(list.GetItemText(2, 1), longDomain);
    EXPECT_EQ(list.GetItemData(2), 222);
    list.SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_TRUE(list.DeleteItem(0));
    EXPECT_EQ(list.GetNextItem(-1, LVNI_SELECTED), 1);
    EXPECT_FALSE(list.DeleteItem(5));

    // A list box finds the entry under a point, and none below the last.
    CDialog information(IDD_INFORMATION);
    ASSERT_TRUE(information.Create());
    CListBox box(information.Item(IDC_INFORMATION_LIST));
    box.AddString("first");
    box.AddString("second");
    RECT second = box.GetItemRect(1);
    EXPECT_EQ(box.ItemFromPoint({second.left + 2, second.top + 1}), 1);
    EXPECT_EQ(box.ItemFromPoint({second.left + 2, second.bottom + 200}), std::nullopt);
}

}  // namespace

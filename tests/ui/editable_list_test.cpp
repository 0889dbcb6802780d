#include "ui/editable_list_ctrl.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/dialog.h"

namespace {

using Texts = std::vector<std::string>;

// Logs every notification with the entry's index and text.
class CRecordingList : public CEditableListCtrl {
public:
    Texts log;
    bool allowRemove = true;

    [[nodiscard]] Texts Entries() const {
        Texts entries;
        for (int index = 0; index < GetCount(); ++index) {
            entries.push_back(GetItemText(index));
        }
        return entries;
    }

protected:
    bool OnBeforeRemoveItem(int index) override {
        Record("before-remove", index);
        return allowRemove;
    }
    bool OnAfterAddItem(int index) override { return Record("added", index); }
    bool OnAfterRenameItem(int index) override { return Record("edited", index); }
    bool OnAfterMoveItemUp(int index) override { return Record("moved up", index); }
    bool OnAfterMoveItemDown(int index) override { return Record("moved down", index); }

private:
    bool Record(const std::string& what, int index) {
        log.push_back(what + " " + std::to_string(index) + " " + GetItemText(index));
        return true;
    }
};

// The item dialog with its address list attached, as the program sets it up.
class CHost : public CDialog {
public:
    CHost() : CDialog(IDD_DNS_ITEM) { Create(); }
    CRecordingList list;

    // A key press that reaches the list through the dialog's message loop.
    void Press(UINT key, std::initializer_list<BYTE> modifiers = {}) {
        PressKey(list.ListHwnd(), key, modifiers);
    }
    void Type(const std::string& text, UINT key = VK_RETURN) {
        TypeInEditor(list.ListHwnd(), text, key);
    }

protected:
    bool OnInitDialog() override {
        list.AttachPlaceholder(Item(IDC_ITEM_ADDRESSES));
        list.SetStandardButtons();
        return true;
    }
};

TEST(EditableList, KeysEditTheListAndNotifyTheOwnerInOrder) {
    CHost host;
    CRecordingList& list = host.list;
    // An empty or cancelled new entry disappears without a notification.
    host.Press(VK_INSERT);
    EXPECT_EQ(list.GetCount(), 1);
    host.Type("");
    host.Press(VK_INSERT);
    host.Type("192.0.2.9", VK_ESCAPE);
    EXPECT_EQ(list.GetCount(), 0);

    // A double click on the empty space below the entries starts a new one too.
    RECT client = CWindow(list.ListHwnd()).ClientRect();
    ::PostMessageA(list.ListHwnd(), WM_LBUTTONDBLCLK, MK_LBUTTON,
                   MakeLParam(10, client.bottom - 5));
    PumpMessages(30);
    EXPECT_EQ(list.GetSelection(), 0);
    host.Type("192.0.2.1");
    host.Press(VK_INSERT);
    host.Type("192.0.2.2");
    EXPECT_EQ(list.Entries(), (Texts{"192.0.2.1", "192.0.2.2"}));

    host.Press(VK_UP, {VK_MENU});                // the second entry moves to the top
    host.Press(VK_UP, {VK_MENU});                // the first stays where it is
    host.Press(VK_DOWN, {VK_MENU, VK_CONTROL});  // modifiers must match exactly
    EXPECT_EQ(list.Entries(), (Texts{"192.0.2.2", "192.0.2.1"}));
    host.Press(VK_DOWN, {VK_MENU});
    host.Press(VK_DOWN, {VK_MENU});  // the last stays where it is
    EXPECT_EQ(list.Entries(), (Texts{"192.0.2.1", "192.0.2.2"}));

    host.Press(VK_F2);
    host.Type("192.0.2.22");
    host.Press(VK_SPACE);
    host.Type("ignored", VK_ESCAPE);  // a cancelled edit keeps the old text

    list.allowRemove = false;
    host.Press(VK_DELETE);
    EXPECT_EQ(list.GetCount(), 2);
    list.allowRemove = true;
    host.Press(VK_DELETE);
    EXPECT_EQ(list.Entries(), (Texts{"192.0.2.1"}));
    EXPECT_EQ(list.GetSelection(), 0) << "the last entry takes the removed one's place";

    EXPECT_EQ(list.log, (Texts{"added 0 192.0.2.1", "added 1 192.0.2.2", "moved up 0 192.0.2.2",
                               "moved down 1 192.0.2.2", "edited 1 192.0.2.22",
                               "before-remove 1 192.0.2.22", "before-remove 1 192.0.2.22"}));
}

// The buttons (new, delete, up, down from the right) act as their keys and tip their key names.
// Removing passes the selection on; what is not there, or asked of a list not attached yet, is
// refused.
TEST(EditableList, ButtonsAndRequestsFitTheControl) {
    CHost host;
    CRecordingList& list = host.list;
    CWindow toolbar(list.ToolbarHwnd());
    list.SetStandardButtons(CEditableListCtrl::kNewButton);  // a second call changes nothing
    ASSERT_EQ(toolbar.Send(TB_BUTTONCOUNT), 4);
    const std::pair<int, const char*> buttons[] = {{CEditableListCtrl::kDownCommand, "(Alt+Down)"},
                                                   {CEditableListCtrl::kUpCommand, "(Alt+Up)"},
                                                   {CEditableListCtrl::kDeleteCommand, "(Delete)"},
                                                   {CEditableListCtrl::kNewCommand, "(Insert)"}};
    for (int index = 0; index < 4; ++index) {
        TBBUTTON button{};
        toolbar.Send(TB_GETBUTTON, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&button));
        EXPECT_EQ(button.idCommand, buttons[index].first);
        NMTTDISPINFOA info{};
        info.hdr.hwndFrom = reinterpret_cast<HWND>(toolbar.Send(TB_GETTOOLTIPS));
        info.hdr.idFrom = static_cast<UINT_PTR>(button.idCommand);
        info.hdr.code = TTN_GETDISPINFOA;
        list.Send(WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
        ASSERT_NE(info.lpszText, nullptr);
        EXPECT_STREQ(info.lpszText, buttons[index].second);
    }

    const std::string longText(600, 'a');  // longer than the first buffer the list view tries
    list.AddItem("c", 3);
    list.AddItem(longText, 2, 0);
    list.AddItem("a", 1, 0);
    list.SelectItem(1);
    list.Send(WM_COMMAND, CEditableListCtrl::kUpCommand, reinterpret_cast<LPARAM>(toolbar.Hwnd()));
    EXPECT_EQ(list.Entries(), (Texts{longText, "a", "c"}));
    EXPECT_EQ(list.GetItemData(0), 2) << "an entry's data moves with it";
    EXPECT_TRUE(list.RemoveItem(0));
    EXPECT_EQ(list.GetItemText(list.GetSelection()), "a") << "the entry now in its place";
    EXPECT_TRUE(list.RemoveItem(1));  // not the selected one: the selection stays on "a"
    EXPECT_EQ(list.GetItemText(list.GetSelection()), "a");
    EXPECT_FALSE(list.RemoveItem(1));
    EXPECT_FALSE(list.RemoveItem(-1));

    // A button clicked while a new entry is still being edited: the typed text counts.
    host.Press(VK_INSERT);
    CWindow(CListView(list.ListHwnd()).GetEditControl()).SetText("b");
    list.Send(WM_COMMAND, CEditableListCtrl::kUpCommand, reinterpret_cast<LPARAM>(toolbar.Hwnd()));
    PumpMessages(60);
    EXPECT_EQ(list.Entries(), (Texts{"b", "a"}));

    CEditableListCtrl unattached;
    EXPECT_EQ(unattached.GetCount(), -1);
    EXPECT_EQ(unattached.AddItem("192.0.2.1"), -1);
    EXPECT_EQ(unattached.GetItemText(0), "");
    EXPECT_FALSE(unattached.RemoveItem(0));
    unattached.SetStandardButtons();
    EXPECT_EQ(unattached.ToolbarHwnd(), nullptr);
}

}  // namespace

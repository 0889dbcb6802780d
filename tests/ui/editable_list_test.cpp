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
        CHeldKeys held(modifiers);
        bool alt = ::GetKeyState(VK_MENU) < 0;
        ::PostMessageA(list.ListHwnd(), alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, alt ? (1 << 29) : 1);
        PumpMessages(30);
    }
    // Types into the open editor and ends it with Enter (or another key).
    void Type(const std::string& text, UINT key = VK_RETURN) {
        HWND editor = CListView(list.ListHwnd()).GetEditControl();
        ASSERT_NE(editor, nullptr) << "no editor is open";
        CWindow(editor).SetText(text);
        ::PostMessageA(editor, WM_KEYDOWN, key, 1);
        PumpMessages(30);
    }
    [[nodiscard]] bool Editing() const {
        return CListView(list.ListHwnd()).GetEditControl() != nullptr;
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

    host.Press(VK_INSERT);
    ASSERT_TRUE(host.Editing());
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
    ASSERT_TRUE(host.Editing());
    host.Type("ignored", VK_ESCAPE);  // a cancelled edit keeps the old text

    list.allowRemove = false;
    host.Press(VK_DELETE);
    EXPECT_EQ(list.GetCount(), 2);
    list.allowRemove = true;
    host.Press(VK_DELETE);
    EXPECT_EQ(list.Entries(), (Texts{"192.0.2.1"}));
    EXPECT_EQ(list.GetSelection(), 0) << "the last entry takes the removed one's place";

    EXPECT_EQ(list.log, (Texts{
                            "added 0 192.0.2.1",
                            "added 1 192.0.2.2",
                            "moved up 0 192.0.2.2",
                            "moved down 1 192.0.2.2",
                            "edited 1 192.0.2.22",
                            "before-remove 1 192.0.2.22",
                            "before-remove 1 192.0.2.22",
                        }));
}

TEST(EditableList, EmptyOrCancelledNewEntryDisappearsWithoutANotification) {
    CHost host;
    host.list.AddItem("192.0.2.1");
    host.Press(VK_INSERT);
    EXPECT_EQ(host.list.GetCount(), 2);
    host.Type("");
    EXPECT_EQ(host.list.Entries(), (Texts{"192.0.2.1"}));
    host.Press(VK_INSERT);
    host.Type("192.0.2.9", VK_ESCAPE);
    EXPECT_EQ(host.list.Entries(), (Texts{"192.0.2.1"}));
    EXPECT_TRUE(host.list.log.empty());
}

TEST(EditableList, MovedEntriesKeepTheirDataAndARemovedSelectionPassesOn) {
    CHost host;
    host.list.AddItem("a", 10);
    host.list.AddItem("c", 30);
    host.list.AddItem("b", 20, 1);  // inserted between them
    host.list.AddItem("d", 40);
    host.list.SelectItem(2);
    host.list.Focus();
    host.Press(VK_UP, {VK_MENU});  // "c" moves up, taking its data along
    EXPECT_EQ(host.list.Entries(), (Texts{"a", "c", "b", "d"}));
    EXPECT_EQ(host.list.GetItemData(1), 30);

    host.list.SelectItem(1);
    EXPECT_TRUE(host.list.RemoveItem(1));
    EXPECT_EQ(host.list.GetSelection(), 1);
    EXPECT_EQ(host.list.GetItemText(1), "b");
    EXPECT_TRUE(host.list.RemoveItem(0));  // not the selected one: the selection stays on "b"
    EXPECT_EQ(host.list.GetItemText(host.list.GetSelection()), "b");
    host.list.SelectItem(1);
    EXPECT_TRUE(host.list.RemoveItem(1));
    EXPECT_EQ(host.list.GetSelection(), 0);
    EXPECT_FALSE(host.list.RemoveItem(3));
    EXPECT_FALSE(host.list.RemoveItem(-1));
}

TEST(EditableList, DoubleClickOnEmptySpaceStartsANewEntry) {
    CHost host;
    RECT client = CWindow(host.list.ListHwnd()).ClientRect();
    ::PostMessageA(host.list.ListHwnd(), WM_LBUTTONDBLCLK, MK_LBUTTON,
                   MakeLParam(10, client.bottom - 5));
    PumpMessages(30);
    ASSERT_TRUE(host.Editing());
    host.Type("192.0.2.5");
    EXPECT_EQ(host.list.log, (Texts{"added 0 192.0.2.5"}));
}

TEST(EditableList, RequestsBeforeTheWindowExistsAreRefused) {
    CEditableListCtrl list;
    EXPECT_EQ(list.GetCount(), -1);
    EXPECT_EQ(list.AddItem("192.0.2.1"), -1);
    EXPECT_EQ(list.GetItemText(0), "");
    EXPECT_FALSE(list.RemoveItem(0));
    list.SetStandardButtons();
    EXPECT_EQ(list.ToolbarHwnd(), nullptr);
}

TEST(EditableList, CaptionBandHoldsTheButtonsAtItsRightEnd) {
    CHost host;
    CRecordingList& list = host.list;
    RECT client = list.ClientRect();

    HDC dc = ::GetDC(host.Hwnd());
    HGDIOBJ old = ::SelectObject(dc, host.Font());
    TEXTMETRICA metrics{};
    ::GetTextMetricsA(dc, &metrics);
    ::SelectObject(dc, old);
    ::ReleaseDC(host.Hwnd(), dc);
    int band = std::max(static_cast<int>(metrics.tmHeight * 4 / 3), 18);
    EXPECT_EQ(list.CaptionHeight(), band);

    CWindow toolbar(list.ToolbarHwnd());
    RECT tools = toolbar.RectInParent();
    EXPECT_EQ(tools.right, client.right - 1);
    EXPECT_EQ(tools.top, 1);
    EXPECT_EQ(RectHeight(tools), band - 2);
    // Laid from the right end leftwards: new, delete, up, down.
    std::vector<int> commands;
    for (int index = 0; index < 4; ++index) {
        TBBUTTON button{};
        toolbar.Send(TB_GETBUTTON, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&button));
        commands.push_back(button.idCommand);
    }
    EXPECT_EQ(commands, (std::vector<int>{
                            CEditableListCtrl::kDownCommand, CEditableListCtrl::kUpCommand,
                            CEditableListCtrl::kDeleteCommand, CEditableListCtrl::kNewCommand}));
    list.SetStandardButtons(CEditableListCtrl::kNewButton);  // a second call changes nothing
    EXPECT_EQ(toolbar.Send(TB_BUTTONCOUNT), 4);

    CListView inner(list.ListHwnd());
    EXPECT_EQ(::GetDlgCtrlID(inner.Hwnd()), CEditableListCtrl::kListId);
    RECT listRect = inner.RectInParent();
    EXPECT_EQ(listRect.top, band);
    EXPECT_EQ(listRect.bottom, client.bottom);
    EXPECT_EQ(inner.GetColumnWidth(0),
              client.right - ::GetSystemMetrics(SM_CXVSCROLL) - 2 * ::GetSystemMetrics(SM_CXEDGE));
}

TEST(EditableList, ButtonsClickLikeTheirKeysAndExplainThemselves) {
    CHost host;
    CRecordingList& list = host.list;
    list.AddItem("192.0.2.1");
    list.AddItem("192.0.2.2");
    list.SelectItem(1);
    HWND toolbar = list.ToolbarHwnd();
    ::SendMessageA(list.Hwnd(), WM_COMMAND, CEditableListCtrl::kUpCommand,
                   reinterpret_cast<LPARAM>(toolbar));
    EXPECT_EQ(list.Entries(), (Texts{"192.0.2.2", "192.0.2.1"}));

    // The tool tips ask the control for their texts.
    const std::pair<int, const char*> tips[] = {{CEditableListCtrl::kNewCommand, "(Insert)"},
                                                {CEditableListCtrl::kDeleteCommand, "(Delete)"},
                                                {CEditableListCtrl::kUpCommand, "(Alt+Up)"},
                                                {CEditableListCtrl::kDownCommand, "(Alt+Down)"}};
    for (const auto& [command, tip] : tips) {
        NMTTDISPINFOA info{};
        info.hdr.hwndFrom = reinterpret_cast<HWND>(::SendMessageA(toolbar, TB_GETTOOLTIPS, 0, 0));
        info.hdr.idFrom = static_cast<UINT_PTR>(command);
        info.hdr.code = TTN_GETDISPINFOA;
        ::SendMessageA(list.Hwnd(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
        ASSERT_NE(info.lpszText, nullptr);
        EXPECT_STREQ(info.lpszText, tip);
    }
}

TEST(EditableList, EditorSpansTheListLessTenPixels) {
    CHost host;
    host.list.AddItem("192.0.2.1");
    host.list.EditItem(0);
    HWND editor = CListView(host.list.ListHwnd()).GetEditControl();
    ASSERT_NE(editor, nullptr);
    // Typing makes the list resize its editor; the width must hold.
    CWindow(editor).SetText("a much longer text than the address that was there before");
    PumpMessages(30);
    EXPECT_EQ(RectWidth(CWindow(editor).WindowRect()),
              RectWidth(CWindow(host.list.ListHwnd()).ClientRect()) - 10);
}

}  // namespace

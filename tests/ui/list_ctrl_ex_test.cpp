#include "ui/list_ctrl_ex.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

using Texts = std::vector<std::string>;

const Texts kTitles = {"ID", "Domain", "IP", "Hits", "LastHitDate"};

// The main dialog's template with its virtual list set up as the cache list does, columns 1 to
// 4 hideable, its cells "r<row>c<logical column>". The owner's part of a header click is
// recorded.
class CListHost : public CDialog, public IListRowSource {
public:
    CListHost() : CDialog(IDD_QUILLFORTH_DIALOG) { Create(); }
    ~CListHost() override { ::DestroyWindow(Hwnd()); }

    CListCtrlEx list;
    std::vector<int> ownerClicks;

    [[nodiscard]] CListView View() const { return CListView(list.Hwnd()); }
    [[nodiscard]] CHeader Header() const { return View().GetHeader(); }

    // The header as the user sees it: the titles in their order, ":up" or ":down" on an arrow.
    [[nodiscard]] Texts Shown() const {
        std::vector<int> order(static_cast<size_t>(Header().GetItemCount()));
        Header().Send(HDM_GETORDERARRAY, order.size(), reinterpret_cast<LPARAM>(order.data()));
        Texts shown;
        for (int index : order) {
            HDITEMA item{};
            item.mask = HDI_FORMAT | HDI_IMAGE;
            Header().Send(HDM_GETITEMA, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(&item));
            const bool arrow = (item.fmt & HDF_IMAGE) != 0;
            shown.push_back(Header().GetItemText(index) +
                            (arrow ? (item.iImage == 0 ? ":up" : ":down") : ""));
        }
        return shown;
    }
    // A mouse click on a header item, as the user makes it.
    void Click(const std::string& title, bool right = false) const {
        int index = 0;
        while (Header().GetItemText(index) != title) {
            ++index;
        }
        ClickHeaderItem(Header().Hwnd(), index, right);
    }

protected:
    bool OnInitDialog() override {
        list.AttachList(Item(IDC_CACHE_LIST), this);
        for (const std::string& title : kTitles) {
            list.AddColumn(title, 60);
        }
        for (int column = 1; column < 5; ++column) {
            list.AllowHiding(column, true);
        }
        list.EnableArrows(true);
        list.EnableTint(true);
        list.SetSortKey(1);
        list.Send(LVM_SETITEMCOUNT, 3, 0);
        return true;
    }
    std::optional<LRESULT> OnNotify(NMHDR& header) override {
        if (auto handled = list.OnOwnerNotify(header)) {
            return handled;
        }
        if (header.code == LVN_COLUMNCLICK) {
            ownerClicks.push_back(reinterpret_cast<NMLISTVIEW&>(header).iSubItem);
        }
        return std::nullopt;
    }
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_CONTEXTMENU &&
            list.OnOwnerContextMenu(reinterpret_cast<HWND>(wParam), PointFromLParam(lParam))) {
            return 0;
        }
        return std::nullopt;
    }

    std::string_view CellText(int row, int column) const override {
        m_text = "r" + std::to_string(row) + "c" + std::to_string(column);
        return m_text;
    }

private:
    mutable std::string m_text;
};

// Opens the header's menu with a right click on "Hits" and, from a timer of the menu's own loop,
// records its items as "text:checked:grayed" and picks item `pick` (none: Escape).
Texts UseHeaderMenu(const CListHost& host, std::optional<int> pick) {
    static Texts items;
    static std::optional<int> chosen;
    items.clear();
    chosen = pick;
    struct Script {
        static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
            HWND window = ::FindWindowA("#32768", nullptr);
            if (window == nullptr || !::IsWindowVisible(window) || !items.empty()) {
                return;
            }
            auto menu = reinterpret_cast<HMENU>(::SendMessageA(window, MN_GETHMENU, 0, 0));
            for (UINT at = 0; at < static_cast<UINT>(::GetMenuItemCount(menu)); ++at) {
                char text[64] = {};
                ::GetMenuStringA(menu, at, text, sizeof text, MF_BYPOSITION);
                const UINT state = ::GetMenuState(menu, at, MF_BYPOSITION);
                items.push_back(std::string(text) + ((state & MF_CHECKED) ? ":checked" : ":") +
                                ((state & MF_GRAYED) ? ":grayed" : ":"));
            }
            for (int step = 0; chosen && step <= *chosen; ++step) {
                ::PostMessageA(window, WM_KEYDOWN, VK_DOWN, 1);
            }
            ::PostMessageA(window, WM_KEYDOWN, chosen ? VK_RETURN : VK_ESCAPE, 1);
        }
    };
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 30, Script::OnTimer);
    host.Click("Hits", true);
    ::KillTimer(nullptr, timer);
    return items;
}

// A hidden column leaves the screen, but every number the control exchanges with its owner
// stays the logical column's.
TEST(ListCtrlEx, HeaderClicksSortAndItsMenuHidesColumnsKeepingTheirNumbers) {
    CListHost host;
    EXPECT_EQ(host.Shown(), (Texts{"ID:up", "Domain", "IP", "Hits", "LastHitDate"}));
    for (int key : {2, -2, 2}) {
        host.Click("Domain");
        EXPECT_EQ(host.list.SortKey(), key);
        EXPECT_EQ(host.Shown()[1], key > 0 ? "Domain:up" : "Domain:down");
    }
    host.Click("LastHitDate");
    EXPECT_EQ(host.list.SortKey(), 5);
    EXPECT_EQ(host.Shown(), (Texts{"ID", "Domain", "IP", "Hits", "LastHitDate:up"}));
    // The owner saw each click after the control, as a logical column.
    EXPECT_EQ(host.ownerClicks, (std::vector<int>{1, 1, 1, 4}));

    EXPECT_EQ(UseHeaderMenu(host, std::nullopt),
              (Texts{"ID:checked:grayed",
                     "Domain:checked:", "IP:checked:", "Hits:checked:", "LastHitDate:checked:"}));
    host.View().SetColumnWidth(2, 90);
    UseHeaderMenu(host, 2);
    EXPECT_FALSE(host.list.IsColumnShown(2));
    EXPECT_EQ(host.Shown(), (Texts{"ID", "Domain", "Hits", "LastHitDate:up"}));
    EXPECT_EQ(host.View().GetItemText(1, 2), "r1c3");
    EXPECT_EQ(host.list.LogicalColumn(2), 3);
    host.Click("Hits");
    EXPECT_EQ(host.ownerClicks, (std::vector<int>{1, 1, 1, 4, 3}));
    EXPECT_EQ(host.list.SortKey(), 4);

    EXPECT_EQ(UseHeaderMenu(host, 2).at(2), "IP::");
    EXPECT_EQ(host.Shown(), (Texts{"ID", "Domain", "IP", "Hits:up", "LastHitDate"}));
    EXPECT_EQ(host.View().GetItemText(1, 2), "r1c2");
    EXPECT_EQ(host.View().GetColumnWidth(2), 90) << "the width it had before it was hidden";
}

TEST(ListCtrlEx, TheLayoutComesBackOnAnotherListAndOneThatDoesNotFitIsRefused) {
    ListLayout saved;
    {
        CListHost host;
        host.Click("Hits");
        host.Click("Hits");
        host.View().SetColumnWidth(1, 120);
        host.list.ShowColumn(4, false);
        std::vector<int> order = {0, 3, 1, 2};  // the user drags "Hits" before "Domain"
        host.View().Send(LVM_SETCOLUMNORDERARRAY, order.size(),
                         reinterpret_cast<LPARAM>(order.data()));
        saved = host.list.Layout();
        Texts columns;  // shown:width:position
        for (const ColumnLayout& column : saved.columns) {
            columns.push_back(std::to_string(column.shown) + ":" + std::to_string(column.width) +
                              ":" + std::to_string(column.position));
        }
        EXPECT_EQ(columns, (Texts{"1:60:0", "1:120:2", "1:60:3", "1:60:1", "0:60:4"}));
    }
    CListHost restored;
    EXPECT_FALSE(restored.list.ApplyLayout({2, std::vector<ColumnLayout>(4, {true, 70, 0})}));
    EXPECT_EQ(restored.list.SortKey(), 1) << "a layout of four columns changes nothing";
    ASSERT_TRUE(restored.list.ApplyLayout(saved));
    EXPECT_EQ(restored.list.SortKey(), -4);
    EXPECT_EQ(restored.Shown(), (Texts{"ID", "Hits:down", "Domain", "IP"}));
    EXPECT_EQ(restored.View().GetColumnWidth(1), 120);
    restored.list.ShowColumn(4, true);
    const Texts order{"ID", "Hits:down", "Domain", "IP", "LastHitDate"};
    EXPECT_EQ(restored.Shown(), order);

    // Two columns in one place: the widths and the key apply, the header order stays.
    EXPECT_TRUE(restored.list.ApplyLayout(
        {-3, {{true, 71, 0}, {true, 72, 1}, {true, 73, 1}, {true, 74, 3}, {true, 75, 4}}}));
    EXPECT_EQ(restored.list.SortKey(), -3);
    EXPECT_EQ(restored.View().GetColumnWidth(2), 73);
    EXPECT_EQ(restored.Shown(), (Texts{"ID", "Hits", "Domain", "IP:down", "LastHitDate"}));
}

}  // namespace

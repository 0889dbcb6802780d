#include "ui/list_ctrl_ex.h"

#include <gtest/gtest.h>

#include <functional>
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
constexpr int kRows = 3;

// Cells "r<row>c<logical column>", so that a cell shows which column it came from.
class CNamedCells : public IListRowSource {
public:
    std::string_view CellText(int row, int column) const override {
        m_text = "r" + std::to_string(row) + "c" + std::to_string(column);
        return m_text;
    }

private:
    mutable std::string m_text;
};

// The main dialog's template with its virtual list set up as the cache list does, columns 1 to
// 4 hideable. The owner's part of a header click is recorded.
class CListHost : public CDialog {
public:
    CListHost() : CDialog(IDD_QUILLFORTH_DIALOG) { Create(); }
    ~CListHost() override {
        if (Hwnd() != nullptr) {
            ::DestroyWindow(Hwnd());
        }
    }

    CListCtrlEx list;
    std::vector<int> ownerClicks;

    [[nodiscard]] CListView View() const { return CListView(list.Hwnd()); }
    [[nodiscard]] CHeader Header() const { return View().GetHeader(); }

    // The header's titles in the order the user sees them.
    [[nodiscard]] Texts ShownTitles() const {
        const int count = Header().GetItemCount();
        std::vector<int> order(static_cast<size_t>(count));
        Header().Send(HDM_GETORDERARRAY, order.size(), reinterpret_cast<LPARAM>(order.data()));
        Texts titles;
        for (int index : order) {
            titles.push_back(Header().GetItemText(index));
        }
        return titles;
    }
    [[nodiscard]] int HeaderIndex(const std::string& title) const {
        for (int index = 0; index < Header().GetItemCount(); ++index) {
            if (Header().GetItemText(index) == title) {
                return index;
            }
        }
        return -1;
    }
    // "up", "down" or "" for the arrow that the header item of `title` shows.
    [[nodiscard]] std::string Arrow(const std::string& title) const {
        HDITEMA item{};
        item.mask = HDI_FORMAT | HDI_IMAGE;
        Header().Send(HDM_GETITEMA, static_cast<WPARAM>(HeaderIndex(title)),
                      reinterpret_cast<LPARAM>(&item));
        if ((item.fmt & HDF_IMAGE) == 0) {
            return "";
        }
        return item.iImage == 0 ? "up" : "down";
    }
    [[nodiscard]] Texts Arrows() const {
        Texts arrows;
        for (const std::string& title : kTitles) {
            if (HeaderIndex(title) >= 0) {
                arrows.push_back(title + ":" + Arrow(title));
            }
        }
        return arrows;
    }
    // A mouse click on a header item, as the user makes it.
    void Click(const std::string& title, bool right = false) const {
        RECT rect{};
        Header().Send(HDM_GETITEMRECT, static_cast<WPARAM>(HeaderIndex(title)),
                      reinterpret_cast<LPARAM>(&rect));
        const LPARAM at = MakeLParam((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        if (right) {
            Header().Send(WM_RBUTTONDOWN, MK_RBUTTON, at);
            Header().Send(WM_RBUTTONUP, 0, at);
        } else {
            Header().Send(WM_LBUTTONDOWN, MK_LBUTTON, at);
            Header().Send(WM_LBUTTONUP, 0, at);
        }
        PumpMessages(20);
    }

protected:
    bool OnInitDialog() override {
        list.AttachList(Item(IDC_CACHE_LIST), &m_cells);
        for (const std::string& title : kTitles) {
            list.AddColumn(title, 60);
        }
        for (int column = 1; column < 5; ++column) {
            list.AllowHiding(column, true);
        }
        list.EnableArrows(true);
        list.EnableTint(true);
        list.SetSortKey(1);
        list.Send(LVM_SETITEMCOUNT, kRows, 0);
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

private:
    CNamedCells m_cells;
};

TEST(ListCtrlEx, HeaderClicksTurnTheSortKeyAndMoveTheArrow) {
    CListHost host;
    EXPECT_EQ(host.list.SortKey(), 1);
    EXPECT_EQ(host.Arrows(), (Texts{"ID:up", "Domain:", "IP:", "Hits:", "LastHitDate:"}));

    host.Click("Domain");
    EXPECT_EQ(host.list.SortKey(), 2);
    EXPECT_EQ(host.Arrows(), (Texts{"ID:", "Domain:up", "IP:", "Hits:", "LastHitDate:"}));
    host.Click("Domain");
    EXPECT_EQ(host.list.SortKey(), -2);
    EXPECT_EQ(host.Arrow("Domain"), "down");
    host.Click("Domain");
    EXPECT_EQ(host.list.SortKey(), 2);
    host.Click("LastHitDate");
    EXPECT_EQ(host.list.SortKey(), 5);
    EXPECT_EQ(host.Arrows(), (Texts{"ID:", "Domain:", "IP:", "Hits:", "LastHitDate:up"}));
    // The owner saw each click after the control, as a logical column.
    EXPECT_EQ(host.ownerClicks, (std::vector<int>{1, 1, 1, 4}));
}

TEST(ListCtrlEx, HiddenColumnsAreSkippedOnScreenButNotInTheColumnNumbers) {
    CListHost host;
    host.list.ShowColumn(2, false);
    EXPECT_FALSE(host.list.IsColumnShown(2));
    EXPECT_EQ(host.ShownTitles(), (Texts{"ID", "Domain", "Hits", "LastHitDate"}));
    // The list view's third column now holds the logical column 3.
    EXPECT_EQ(host.View().GetItemText(1, 2), "r1c3");
    EXPECT_EQ(host.list.LogicalColumn(2), 3);

    host.Click("Hits");
    EXPECT_EQ(host.ownerClicks, (std::vector<int>{3}));
    EXPECT_EQ(host.list.SortKey(), 4);
    EXPECT_EQ(host.Arrow("Hits"), "up");

    host.View().SetColumnWidth(1, 90);
    host.list.ShowColumn(2, true);
    EXPECT_EQ(host.ShownTitles(), kTitles);
    EXPECT_EQ(host.View().GetItemText(1, 2), "r1c2");
    EXPECT_EQ(host.View().GetColumnWidth(2), 60) << "the width it had before it was hidden";
    EXPECT_EQ(host.View().GetColumnWidth(1), 90);
    EXPECT_EQ(host.Arrow("Hits"), "up");
}

// Answers the header's context menu from a timer of its loop: records each item as
// "text:checked:grayed" and picks item `pick` with the keyboard (none: Escape).
class CHeaderMenuScript {
public:
    explicit CHeaderMenuScript(std::optional<int> pick) : m_pick(pick) {
        s_current = this;
        m_timer = ::SetTimer(nullptr, 0, 30, OnTimer);
    }
    ~CHeaderMenuScript() {
        ::KillTimer(nullptr, m_timer);
        s_current = nullptr;
    }
    Texts items;

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        CHeaderMenuScript* self = s_current;
        HWND menuWindow = ::FindWindowA("#32768", nullptr);
        if (self == nullptr || menuWindow == nullptr || !::IsWindowVisible(menuWindow) ||
            !self->items.empty()) {
            return;
        }
        auto menu = reinterpret_cast<HMENU>(::SendMessageA(menuWindow, MN_GETHMENU, 0, 0));
        for (int position = 0; position < ::GetMenuItemCount(menu); ++position) {
            char text[64] = {};
            ::GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
            const UINT state = ::GetMenuState(menu, static_cast<UINT>(position), MF_BYPOSITION);
            self->items.push_back(std::string(text) + ":" +
                                  ((state & MF_CHECKED) != 0 ? "checked" : "") + ":" +
                                  ((state & MF_GRAYED) != 0 ? "grayed" : ""));
        }
        if (!self->m_pick) {
            ::PostMessageA(menuWindow, WM_KEYDOWN, VK_ESCAPE, 1);
            return;
        }
        for (int step = 0; step <= *self->m_pick; ++step) {
            ::PostMessageA(menuWindow, WM_KEYDOWN, VK_DOWN, 1);
        }
        ::PostMessageA(menuWindow, WM_KEYDOWN, VK_RETURN, 1);
    }

    static inline CHeaderMenuScript* s_current = nullptr;
    std::optional<int> m_pick;
    UINT_PTR m_timer;
};

TEST(ListCtrlEx, TheHeadersMenuShowsAndHidesColumns) {
    CListHost host;
    {
        CHeaderMenuScript script(std::nullopt);
        host.Click("Hits", true);
        EXPECT_EQ(script.items, (Texts{"ID:checked:grayed", "Domain:checked:", "IP:checked:",
                                       "Hits:checked:", "LastHitDate:checked:"}));
    }
    EXPECT_EQ(host.ShownTitles(), kTitles);
    {
        CHeaderMenuScript script(2);
        host.Click("Hits", true);
    }
    EXPECT_EQ(host.ShownTitles(), (Texts{"ID", "Domain", "Hits", "LastHitDate"}));
    {
        CHeaderMenuScript script(2);
        host.Click("Hits", true);
        EXPECT_EQ(script.items.at(2), "IP::");
    }
    EXPECT_EQ(host.ShownTitles(), kTitles);
}

TEST(ListCtrlEx, TheLayoutComesBackOnAnotherList) {
    ListLayout saved;
    {
        CListHost host;
        host.Click("Hits");
        host.Click("Hits");
        host.View().SetColumnWidth(1, 120);
        host.list.ShowColumn(4, false);
        // The user drags "Hits" before "Domain".
        std::vector<int> order = {0, 3, 1, 2};
        host.View().Send(LVM_SETCOLUMNORDERARRAY, order.size(),
                         reinterpret_cast<LPARAM>(order.data()));
        saved = host.list.Layout();
        EXPECT_EQ(saved.sortKey, -4);
        ASSERT_EQ(saved.columns.size(), 5u);
        EXPECT_EQ(saved.columns[1].width, 120);
        EXPECT_FALSE(saved.columns[4].shown);
        EXPECT_EQ(saved.columns[4].width, 60);
        std::vector<int> positions;
        for (const ColumnLayout& column : saved.columns) {
            positions.push_back(column.position);
        }
        EXPECT_EQ(positions, (std::vector<int>{0, 2, 3, 1, 4}));
    }
    CListHost restored;
    ASSERT_TRUE(restored.list.ApplyLayout(saved));
    EXPECT_EQ(restored.list.SortKey(), -4);
    EXPECT_EQ(restored.ShownTitles(), (Texts{"ID", "Hits", "Domain", "IP"}));
    EXPECT_EQ(restored.View().GetColumnWidth(1), 120);
    EXPECT_EQ(restored.Arrow("Hits"), "down");
    restored.list.ShowColumn(4, true);
    EXPECT_EQ(restored.ShownTitles(), (Texts{"ID", "Hits", "Domain", "IP", "LastHitDate"}));
}

TEST(ListCtrlEx, ALayoutThatDoesNotFitIsNotApplied) {
    CListHost host;
    ListLayout fourColumns{2, std::vector<ColumnLayout>(4, ColumnLayout{true, 70, 0})};
    EXPECT_FALSE(host.list.ApplyLayout(fourColumns));
    EXPECT_EQ(host.list.SortKey(), 1);
    // Two columns in one place: the widths and the key apply, the header order stays.
    ListLayout twice{-3,
                     {{true, 71, 0}, {true, 72, 1}, {true, 73, 1}, {true, 74, 3}, {true, 75, 4}}};
    EXPECT_TRUE(host.list.ApplyLayout(twice));
    EXPECT_EQ(host.list.SortKey(), -3);
    EXPECT_EQ(host.View().GetColumnWidth(2), 73);
    EXPECT_EQ(host.ShownTitles(), kTitles);
}

TEST(ListCtrlEx, TheSortedColumnsCellsAreTinted) {
    // Each channel 10 % brighter, 255 from 232 up; a background that light all over goes darker.
    EXPECT_EQ(TintColour(RGB(100, 231, 232)), RGB(110, 254, 255));
    EXPECT_EQ(TintColour(RGB(240, 255, 255)), RGB(255, 255, 255));
    EXPECT_EQ(TintColour(RGB(241, 241, 241)), RGB(233, 233, 233));

    CListHost host;
    host.Show(SW_SHOW);
    PumpMessages(50);
    const COLORREF background = static_cast<COLORREF>(host.View().Send(LVM_GETBKCOLOR));
    const auto cellColour = [&](int listColumn) {
        RECT column{};
        host.Header().Send(HDM_GETITEMRECT, static_cast<WPARAM>(listColumn),
                           reinterpret_cast<LPARAM>(&column));
        RECT row{};
        row.left = LVIR_BOUNDS;
        host.View().Send(LVM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&row));
        const Pixels pixels = PrintClient(host.View().Hwnd());
        // Right of the text, inside the cell.
        return pixels.At(column.right - 4, (row.top + row.bottom) / 2);
    };
    EXPECT_EQ(cellColour(0), TintColour(background));
    EXPECT_EQ(cellColour(1), background);
    host.Click("Domain");
    EXPECT_EQ(cellColour(0), background);
    EXPECT_EQ(cellColour(1), TintColour(background));
    host.list.EnableTint(false);
    EXPECT_EQ(cellColour(1), background);
}

}  // namespace

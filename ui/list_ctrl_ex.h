#pragma once

#include <windows.h>

#include <commctrl.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/list_layout.h"
#include "win/window.h"

// Where a virtual (owner-data) list finds the texts of its cells.
class IListRowSource {
public:
    virtual ~IListRowSource() = default;
    // The text of a row's cell in a logical column; it must stay valid until the next call.
    [[nodiscard]] virtual std::string_view CellText(int row, int column) const = 0;

protected:
    IListRowSource() = default;
    IListRowSource(const IListRowSource&) = default;
    IListRowSource& operator=(const IListRowSource&) = default;
};

// A report list with a signed sort key (column + 1, negative for descending, 0 for none) shown
// as an arrow in the header, a tint on the sorted column, columns that the user hides and shows
// again from the header's context menu, and a layout that can be saved and restored.
//
// Columns are known by their logical index, the order in which they were added. A hidden column
// is removed from the list view and inserted again when it is shown; the cells keep their texts
// because a virtual list asks the row source for them. So the list view's own column numbers
// skip hidden columns: everything this class tells its owner, and every number the owner gives
// it, is a logical index.
//
// The list's notifications go to its parent, which hands them to OnOwnerNotify first, and so
// does its context menu message (a right click on the header). The list is not subclassed: under
// Wine every message to a subclassed window pays for window-property lookups in the window
// server, and the proxy's hits each send the list a message.
class CListCtrlEx : public CWindow {
public:
    CListCtrlEx() = default;
    CListCtrlEx(const CListCtrlEx&) = delete;
    CListCtrlEx& operator=(const CListCtrlEx&) = delete;
    ~CListCtrlEx();

    // Attaches to a report-view list; an LVS_OWNERDATA list takes its cells from `source`.
    bool AttachList(HWND list, const IListRowSource* source);

    // Appends a logical column, left-aligned; its index.
    int AddColumn(std::string_view title, int width);
    [[nodiscard]] int ColumnCount() const { return static_cast<int>(m_columns.size()); }
    // Lets the user hide and show a column. The first column stays in an owner-drawn list only:
    // the list view draws its first column's cells itself.
    void AllowHiding(int column, bool allow);
    void ShowColumn(int column, bool show);
    [[nodiscard]] bool IsColumnShown(int column) const;
    // The logical column of one of the list view's own column numbers, or -1.
    [[nodiscard]] int LogicalColumn(int listColumn) const;

    // The header shows an arrow on the sorted column: up for ascending, down for descending.
    void EnableArrows(bool on);
    // Tints the sorted column's cells, on displays of more than 256 colours.
    void EnableTint(bool on);
    void SetSortKey(int key);
    [[nodiscard]] int SortKey() const { return m_sortKey; }

    // The column widths and shown states, the header order and the sort key.
    [[nodiscard]] ListLayout Layout();
    // Applies a saved layout: the sort key, each column's shown state (for columns that may be
    // hidden) and width, then the header order when every column has a valid, distinct position.
    // False, changing nothing, for a layout of another number of columns or a key beyond them.
    bool ApplyLayout(const ListLayout& layout);

    // Notifications of the list to its parent: the cells of a virtual list, the tint, and a
    // header click, which this turns into the logical column and a new sort key before the
    // owner sorts. A result when the notification is handled here; none lets the owner see it.
    std::optional<LRESULT> OnOwnerNotify(NMHDR& header);
    // WM_CONTEXTMENU that reached the parent (from the list, or from the header through it) at a
    // screen point: on the header, the menu of the columns that may be hidden. True when it was
    // shown.
    bool OnOwnerContextMenu(HWND window, POINT screen);

private:
    struct Column {
        std::string title;
        bool hideable = false;
        bool shown = true;
        int width = 0;  // a hidden column's width when it is shown again
    };

    [[nodiscard]] HWND Header() const;
    // The list view's column number of a shown logical column, or -1.
    [[nodiscard]] int ListColumn(int column) const;
    [[nodiscard]] int SortedColumn() const;
    // Reads the shown columns' widths and their header order back from the list.
    void ReadHeaderState();
    void ApplyHeaderOrder();
    void UpdateArrows();
    void ShowHeaderMenu();
    void OnColumnClick(NMLISTVIEW& click);
    LRESULT OnGetDisplayInfo(NMLVDISPINFOW& info) const;
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW& draw) const;

    const IListRowSource* m_source = nullptr;
    std::vector<Column> m_columns;
    // Logical columns in header order, hidden ones at the place they had when they were shown.
    std::vector<int> m_order;
    int m_sortKey = 0;
    bool m_arrows = false;
    bool m_tint = false;
    HIMAGELIST m_arrowImages = nullptr;
};

// The tint of a sorted column over a list background: each channel 10 % brighter (channels of
// 232 and above become 255), or for a background whose channels are all 241 or more, each 8
// darker.
COLORREF TintColour(COLORREF background);

#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/registry_profile.h"
#include "cache/save_outcome.h"
#include "core/dns_item_map.h"
#include "core/upstream_settings.h"
#include "ui/list_ctrl_ex.h"

class CDnsItemDlg;

// The cache list's columns.
enum CacheColumn : int { kIdColumn, kDomainColumn, kIpColumn, kHitsColumn, kLastHitColumn };
inline constexpr int kCacheColumnCount = 5;
using RowFields = std::array<std::string_view, kCacheColumnCount>;

// The main dialog's list of cache entries (control 1000) with its commands: one row per entry,
// kept current by the proxy's notifications, sorted by a header click, searched by "&Go", and
// edited through the "RCLICK" menu and a double click. Runs on the dialog's thread.
//
// The list is virtual: its rows are this object's index of the entries, and the cells are read
// from each entry's row text when the list draws them. An index from id to row makes the
// refresh of one entry cost the same however many rows there are.
class CCacheList : public IListRowSource {
public:
    // Every save of the cache file records its outcome in `saveOutcome`, when given; while it
    // keeps the file, only the Save command writes it.
    CCacheList(CDnsItemMap& cache, std::string cacheFilePath, const CUpstreamSettings& upstream,
               CSaveOutcome* saveOutcome = nullptr);

    // Sets up the columns and styles, restores the saved layout, fills and sorts the list.
    void InitCacheList(HWND list, const CRegistryProfile& profile);
    // Writes the column layout and the sort key (when the main dialog goes).
    void SaveLayout(const CRegistryProfile& profile);

    // Replaces every row by one per cache entry, in the reverse of the cache's order, unsorted.
    void FillCacheList();
    // The WM_DNSITEM_CHANGED handler: rebuilds the entry's row text and redraws its row, or adds
    // a row at the end for an entry that has none. An entry that is no longer in the cache gets
    // no row: its row was deleted with it.
    void RefreshCacheRow(DnsItem* item);
    // RefreshCacheRow for every entry of the cache at once, keeping the rows' order and the
    // selection, and the rows of entries no longer in the cache removed: the proxy changed more
    // entries than it could list, or the cache's bound dropped some.
    void RefreshAllRows();
    // Removes the rows of these entries (those that have one) in one pass over the list; the
    // selection, the selection mark and the focus stay with the entries that remain.
    void DeleteCacheRow(const std::vector<DnsItemPtr>& entries);
    // Focuses the list and makes the row the selection mark, selected and in view; the previous
    // selection mark's row is deselected, other selected rows stay selected.
    void SelectCacheRow(int index);
    // Selects the next row after the selection mark whose domain or addresses hold the keyword,
    // wrapping around; tells the user when none does.
    void Search(std::string_view keyword);

    // A command of the "RCLICK" menu; false when it is not one handled here.
    bool OnCommand(int id);
    // Notifications of the list to the dialog; a result when handled.
    std::optional<LRESULT> OnNotify(NMHDR& header);
    // WM_CONTEXTMENU of the dialog: true when it was the list header's and has been handled.
    bool OnContextMenu(HWND window, POINT screen) {
        return m_list.OnOwnerContextMenu(window, screen);
    }

    [[nodiscard]] int RowCount() const { return static_cast<int>(m_rows.size()); }
    [[nodiscard]] std::string_view CellText(int row, int column) const override;
    // The domain of a row's entry as the cache keeps it; the list shows it converted.
    [[nodiscard]] const std::string& RowDomain(int row) const;
    [[nodiscard]] int SortKey() const { return m_nSortKey; }
    [[nodiscard]] CListCtrlEx& Control() { return m_list; }

private:
    struct Row {
        DnsItemPtr item;
        std::int32_t id = 0;
    };
    // The selected, marked and focused rows by their entries' ids, so that they can be found
    // again after the rows have been reordered or some removed.
    struct EntrySelection {
        std::vector<int> rows;
        std::vector<std::int32_t> ids;
        std::optional<std::int32_t> mark;
        int focusRow = -1;
        std::optional<std::int32_t> focus;
    };

    [[nodiscard]] HWND Owner() const;
    [[nodiscard]] RowFields Fields(int row) const;
    [[nodiscard]] int SelectionMark() const;
    [[nodiscard]] std::optional<std::int32_t> IdOfRow(int row) const;
    [[nodiscard]] EntrySelection TakeSelection() const;
    void RestoreSelection(const EntrySelection& selection) const;
    void SetRowCount(int count, DWORD flags = 0);
    // The row of an entry's id, or -1.
    [[nodiscard]] int RowOfId(std::int32_t id) const;
    void SetRowOfId(std::int32_t id, int row);
    [[nodiscard]] std::vector<int> SelectedRows() const;
    void Deselect(const std::vector<int>& rows) const;
    void IndexRows(size_t from);
    void RedrawRowIfShown(int row) const;
    void RemoveRow(int index);
    void RemoveAllRows();
    void SortRows(int key);
    void ScrollToTopRow(int row) const;
    void OnColumnClick(int column);
    void ShowContextMenu();

    void NewItem();
    void EditItem();
    void ApplyItemDialog(const CDnsItemDlg& dialog);
    void DeleteItem();
    void ClearItems();
    void ClearAllHits();
    void ClearSelectedHits();
    void SaveWithMessage();
    void Import();
    void Export();
    void SaveCache() const;
    [[nodiscard]] std::optional<std::string> AskFileName(bool open) const;

    CDnsItemMap& m_cache;
    // What the item dialog's Resolve asks.
    const CUpstreamSettings& m_upstream;
    std::string m_cacheFile;
    CSaveOutcome* m_saveOutcome;
    CListCtrlEx m_list;
    std::vector<Row> m_rows;
    // Row by id (ids are small and dense: the cache numbers its entries from 0); -1 for none.
    std::vector<int> m_rowOfId;
    int m_nSortKey = 1;
};

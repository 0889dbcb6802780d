#include "app/cache_list.h"

#include <commdlg.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <numeric>

#include "app/dns_item_dlg.h"
#include "app/domain_text.h"
#include "app/settings.h"
#include "cache/cache_file.h"
#include "net/ip_text.h"
#include "res/resource.h"
#include "win/controls.h"
#include "win/message_box.h"
#include "win/unicode.h"

namespace {

struct ColumnSpec {
    int titleId;
    int width;
};
constexpr ColumnSpec kColumns[kCacheColumnCount] = {
    {IDS_COLUMN_ID, 50},   {IDS_COLUMN_DOMAIN, 150},  {IDS_COLUMN_IP, 170},
    {IDS_COLUMN_HITS, 50}, {IDS_COLUMN_LAST_HIT, 80},
};

// Room for a path typed into the file dialogs.
constexpr size_t kFileNameBuffer = 4096;
// The TTL of addresses typed for a new entry: an hour.
constexpr std::int32_t kTypedTtl = 3600;

std::string LoadResourceString(int id) {
    char text[256] = {};
    const int length = ::LoadStringA(::GetModuleHandleA(nullptr), static_cast<UINT>(id), text,
                                     static_cast<int>(sizeof text));
    return std::string(text, static_cast<size_t>(std::max(length, 0)));
}

int ThreeWay(long long a, long long b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

long long ParseNumber(std::string_view text) {
    long long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// UTF-8 in byte order is in the order of the characters' code points.
int CompareText(std::string_view a, std::string_view b) {
    const int result = a.compare(b);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

bool Contains(std::string_view text, std::string_view keyword) {
    return text.find(keyword) != std::string_view::npos;
}

// An entry's row text "%d,%s,%s,%d,%s": id, domain as shown, the IPv4 then the IPv6 addresses
// joined by "|", hits and the last hit text. The caller holds the cache's lock.
std::string BuildRowText(const DnsItem& item) {
    std::string text = std::to_string(item.Id);
    text += ',';
    text += DisplayDomain(item.Domain);
    text += ',';
    text += item.AllAddressText();
    text += ',';
    text += std::to_string(item.Hits);
    text += ',';
    text += item.LastHitText();
    return text;
}

// The five fields of a row text. Addresses, hits and the last hit text hold no comma, so the
// fields after the domain are cut from the end: a domain with a comma in it stays whole.
RowFields SplitRowText(std::string_view text) {
    RowFields fields{};
    const size_t npos = std::string_view::npos;
    // cuts[f] is the comma that ends field f.
    std::array<size_t, kCacheColumnCount - 1> cuts{};
    cuts[0] = text.find(',');
    size_t before = text.size();
    bool whole = cuts[0] != npos;
    for (size_t field = cuts.size() - 1; whole && field >= 1; --field) {
        cuts[field] = before == 0 ? npos : text.rfind(',', before - 1);
        whole = cuts[field] != npos && cuts[field] > cuts[0];
        before = cuts[field];
    }
    if (!whole) {
        // Not a row text: its fields from the left, as far as there are commas.
        size_t start = 0;
        for (auto& field : fields) {
            const size_t end = text.find(',', start);
            field = text.substr(start, end == npos ? npos : end - start);
            if (end == npos) {
                break;
            }
            start = end + 1;
        }
        return fields;
    }
    size_t start = 0;
    for (size_t field = 0; field < cuts.size(); ++field) {
        fields[field] = text.substr(start, cuts[field] - start);
        start = cuts[field] + 1;
    }
    fields[kLastHitColumn] = text.substr(start);
    return fields;
}

// What the order of rows for a sort key (column + 1, negative for descending) looks at in one
// row, taken once per row for a sort. IDs and hits compare as numbers, the other columns as
// text, byte by byte. Equal hits go by ascending id whatever the direction; a key beyond the
// columns orders nothing.
struct RowSortKey {
    int column = -1;
    long long number = 0;
    long long id = 0;
    std::string_view text;
};

RowSortKey MakeSortKey(const RowFields& fields, int key) {
    RowSortKey sortKey;
    const long long column = std::abs(static_cast<long long>(key)) - 1;
    if (column < 0 || column >= kCacheColumnCount) {
        return sortKey;
    }
    sortKey.column = static_cast<int>(column);
    const std::string_view field = fields[static_cast<size_t>(column)];
    if (column == kIdColumn || column == kHitsColumn) {
        sortKey.number = ParseNumber(field);
        sortKey.id = ParseNumber(fields[kIdColumn]);
    } else {
        sortKey.text = field;
    }
    return sortKey;
}

// Negative when the row of `a` goes first.
int CompareSortKeys(const RowSortKey& a, const RowSortKey& b, int key) {
    int result = 0;
    switch (a.column) {
        case kIdColumn:
        case kHitsColumn:
            // Compared, not subtracted: the difference of two counts can overflow.
            result = ThreeWay(a.number, b.number);
            if (result == 0 && a.column == kHitsColumn) {
                return ThreeWay(a.id, b.id);
            }
            break;
        case kDomainColumn:
        case kIpColumn:
        case kLastHitColumn:
            result = CompareText(a.text, b.text);
            break;
        default:
            return 0;
    }
    return key < 0 ? -result : result;
}

}  // namespace

CCacheList::CCacheList(CDnsItemMap& cache, std::string cacheFilePath,
                       const CUpstreamSettings& upstream, CSaveOutcome* saveOutcome)
    : m_cache(cache),
      m_upstream(upstream),
      m_cacheFile(std::move(cacheFilePath)),
      m_saveOutcome(saveOutcome) {}

HWND CCacheList::Owner() const {
    return ::GetParent(m_list.Hwnd());
}

std::string_view CCacheList::CellText(int row, int column) const {
    if (row < 0 || row >= RowCount() || column < 0 || column >= kCacheColumnCount) {
        return {};
    }
    return Fields(row)[static_cast<size_t>(column)];
}

const std::string& CCacheList::RowDomain(int row) const {
    // An entry's domain never changes while it is in the cache.
    return m_rows[static_cast<size_t>(row)].item->Domain;
}

RowFields CCacheList::Fields(int row) const {
    // Row texts are written only on this thread, so they are read without the cache's lock.
    return SplitRowText(m_rows[static_cast<size_t>(row)].item->RowText);
}

int CCacheList::SelectionMark() const {
    const auto mark = static_cast<int>(m_list.Send(LVM_GETSELECTIONMARK));
    return mark >= 0 && mark < RowCount() ? mark : -1;
}

void CCacheList::InitCacheList(HWND list, const CRegistryProfile& profile) {
    if (!m_list.AttachList(list, this)) {
        return;
    }
    CListView(list).SetExtendedStyle(LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP |
                                     LVS_EX_LABELTIP);
    for (const ColumnSpec& column : kColumns) {
        m_list.AddColumn(LoadResourceString(column.titleId), column.width);
    }
    for (int column = kDomainColumn; column < kCacheColumnCount; ++column) {
        m_list.AllowHiding(column, true);
    }
    m_list.EnableArrows(true);
    m_list.EnableTint(true);
    m_list.SetSortKey(1);
    if (auto bytes = profile.ReadBinary(kSettingsSection, kOverviewEntry)) {
        if (auto layout = DecodeListLayout(*bytes, kCacheColumnCount)) {
            m_list.ApplyLayout(*layout);
        }
    }
    FillCacheList();
    m_nSortKey = m_list.SortKey();
    SortRows(m_nSortKey);
}

void CCacheList::SaveLayout(const CRegistryProfile& profile) {
    if (m_list.Exists()) {
        profile.WriteBinary(kSettingsSection, kOverviewEntry, EncodeListLayout(m_list.Layout()));
    }
}

void CCacheList::SetRowCount(int count, DWORD flags) {
    m_list.Send(LVM_SETITEMCOUNT, static_cast<WPARAM>(count), static_cast<LPARAM>(flags));
}

int CCacheList::RowOfId(std::int32_t id) const {
    return id >= 0 && static_cast<size_t>(id) < m_rowOfId.size()
               ? m_rowOfId[static_cast<size_t>(id)]
               : -1;
}

void CCacheList::SetRowOfId(std::int32_t id, int row) {
    if (id < 0) {
        return;
    }
    const auto at = static_cast<size_t>(id);
    if (at >= m_rowOfId.size()) {
        m_rowOfId.resize(at + 1, -1);
    }
    m_rowOfId[at] = row;
}

void CCacheList::IndexRows(size_t from) {
    if (from == 0) {
        // Sized for the ids there are now: ids of entries gone leave no room behind.
        std::int32_t largest = -1;
        for (const Row& row : m_rows) {
            largest = std::max(largest, row.id);
        }
        m_rowOfId.assign(static_cast<size_t>(largest + 1), -1);
    }
    for (size_t row = from; row < m_rows.size(); ++row) {
        SetRowOfId(m_rows[row].id, static_cast<int>(row));
    }
}

void CCacheList::FillCacheList() {
    RemoveAllRows();
    {
        auto lock = m_cache.Lock();
        m_rows.reserve(static_cast<size_t>(m_cache.GetCount()));
        m_cache.ForEach([this](const std::string&, const DnsItemPtr& item) {
            item->RowText = BuildRowText(*item);
            m_rows.push_back({item, item->Id});
        });
    }
    // Each entry's row goes in at the top, so the last entry of the cache ends up first.
    std::reverse(m_rows.begin(), m_rows.end());
    IndexRows(0);
    SetRowCount(RowCount());
    if (RowCount() > 0) {
        SelectCacheRow(0);
    }
}

void CCacheList::RemoveAllRows() {
    m_rows.clear();
    m_rowOfId.clear();
    m_list.Send(LVM_DELETEALLITEMS);
}

void CCacheList::RefreshCacheRow(DnsItem* item) {
    if (item == nullptr) {
        return;
    }
    DnsItemPtr entry;
    std::int32_t id = 0;
    {
        auto lock = m_cache.Lock();
        if (item->Domain.empty()) {
            return;
        }
        entry = m_cache.Lookup(item->Domain);
        if (entry.get() != item) {
            return;
        }
        item->RowText = BuildRowText(*item);
        id = item->Id;
    }
    if (const int found = RowOfId(id); found >= 0) {
        RedrawRowIfShown(found);
        return;
    }
    const int row = RowCount();
    m_rows.push_back({std::move(entry), id});
    SetRowOfId(id, row);
    SetRowCount(row + 1, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

void CCacheList::RefreshAllRows() {
    // Rows of entries that left the cache meanwhile (dropped by its bound) go first.
    std::vector<DnsItemPtr> gone;
    {
        auto lock = m_cache.Lock();
        for (const Row& row : m_rows) {
            if (m_cache.Lookup(row.item->Domain) != row.item) {
                gone.push_back(row.item);
            }
        }
    }
    DeleteCacheRow(gone);
    const int before = RowCount();
    {
        auto lock = m_cache.Lock();
        m_cache.ForEach([this](const std::string&, const DnsItemPtr& item) {
            item->RowText = BuildRowText(*item);
            if (RowOfId(item->Id) < 0) {
                SetRowOfId(item->Id, RowCount());
                m_rows.push_back({item, item->Id});
            }
        });
    }
    if (RowCount() != before) {
        SetRowCount(RowCount(), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    }
    m_list.Invalidate(false);
}

void CCacheList::RedrawRowIfShown(int row) const {
    // A row out of view asks for its texts when it comes into view; redrawing it would only cost
    // the proxy's hits a trip through the window system.
    const auto top = static_cast<int>(m_list.Send(LVM_GETTOPINDEX));
    const auto perPage = static_cast<int>(m_list.Send(LVM_GETCOUNTPERPAGE));
    if (row >= top && row <= top + perPage) {
        m_list.Send(LVM_REDRAWITEMS, static_cast<WPARAM>(row), row);
    }
}

void CCacheList::DeleteCacheRow(const std::vector<DnsItemPtr>& entries) {
    // One pass: removing the rows one by one would move every row below each of them, and
    // Delete Outdated on a cache of years may remove tens of thousands.
    std::vector<bool> going(m_rows.size(), false);
    size_t first = m_rows.size();
    {
        auto lock = m_cache.Lock();
        for (const DnsItemPtr& entry : entries) {
            if (const int row = RowOfId(entry->Id); row >= 0) {
                going[static_cast<size_t>(row)] = true;
                first = std::min(first, static_cast<size_t>(row));
            }
        }
    }
    if (first == m_rows.size()) {
        return;
    }
    const EntrySelection selection = TakeSelection();
    size_t kept = first;
    for (size_t row = first; row < m_rows.size(); ++row) {
        if (going[row]) {
            SetRowOfId(m_rows[row].id, -1);
        } else {
            m_rows[kept++] = std::move(m_rows[row]);
        }
    }
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(kept), m_rows.end());
    IndexRows(first);
    // The list drops the selection of the rows beyond its new end by itself.
    SetRowCount(RowCount());
    RestoreSelection(selection);
}

void CCacheList::RemoveRow(int index) {
    SetRowOfId(m_rows[static_cast<size_t>(index)].id, -1);
    m_rows.erase(m_rows.begin() + index);
    IndexRows(static_cast<size_t>(index));
    // The list moves the selection of the rows below up by one.
    m_list.Send(LVM_DELETEITEM, static_cast<WPARAM>(index));
}

std::vector<int> CCacheList::SelectedRows() const {
    CListView list(m_list.Hwnd());
    std::vector<int> rows;
    if (list.Send(LVM_GETSELECTEDCOUNT) == 0) {
        return rows;
    }
    for (int row = list.GetNextItem(-1, LVNI_SELECTED); row >= 0;
         row = list.GetNextItem(row, LVNI_SELECTED)) {
        rows.push_back(row);
    }
    return rows;
}

void CCacheList::Deselect(const std::vector<int>& rows) const {
    // Row by row: the list deselects "all rows" by visiting every one of them.
    CListView list(m_list.Hwnd());
    for (int row : rows) {
        list.SetItemState(row, 0, LVIS_SELECTED);
    }
}

std::optional<std::int32_t> CCacheList::IdOfRow(int row) const {
    return row >= 0 && row < RowCount() ? std::optional(m_rows[static_cast<size_t>(row)].id)
                                        : std::nullopt;
}

CCacheList::EntrySelection CCacheList::TakeSelection() const {
    CListView list(m_list.Hwnd());
    EntrySelection selection;
    // Every row selected stays so without visiting each of them.
    if (static_cast<int>(list.Send(LVM_GETSELECTEDCOUNT)) != RowCount()) {
        selection.rows = SelectedRows();
    }
    for (int row : selection.rows) {
        selection.ids.push_back(m_rows[static_cast<size_t>(row)].id);
    }
    selection.mark = IdOfRow(SelectionMark());
    selection.focusRow = list.GetNextItem(-1, LVNI_FOCUSED);
    selection.focus = IdOfRow(selection.focusRow);
    return selection;
}

void CCacheList::RestoreSelection(const EntrySelection& selection) const {
    CListView list(m_list.Hwnd());
    Deselect(selection.rows);
    // An entry without a row any more has nothing to select: item -1 would mean every row.
    const auto rowOf = [this](std::optional<std::int32_t> id) { return id ? RowOfId(*id) : -1; };
    for (std::int32_t id : selection.ids) {
        if (const int row = RowOfId(id); row >= 0) {
            list.SetItemState(row, LVIS_SELECTED, LVIS_SELECTED);
        }
    }
    if (const int focus = rowOf(selection.focus); focus >= 0) {
        list.SetItemState(focus, LVIS_FOCUSED, LVIS_FOCUSED);
    } else if (selection.focusRow >= 0 && selection.focusRow < RowCount()) {
        list.SetItemState(selection.focusRow, 0, LVIS_FOCUSED);
    }
    list.Send(LVM_SETSELECTIONMARK, 0, rowOf(selection.mark));
}

void CCacheList::SelectCacheRow(int index) {
    if (index < 0 || index >= RowCount()) {
        return;
    }
    CListView list(m_list.Hwnd());
    list.Focus();
    // Without a selection mark every row is deselected.
    const int mark = SelectionMark();
    Deselect(mark >= 0 ? std::vector<int>{mark} : SelectedRows());
    list.SetItemState(index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    list.Send(LVM_SETSELECTIONMARK, 0, index);
    list.EnsureVisible(index);
}

void CCacheList::Search(std::string_view keyword) {
    const int count = RowCount();
    const int origin = std::max(SelectionMark(), 0);
    for (int step = 1; step <= count; ++step) {
        const int row = (origin + step) % count;
        // A name is found by what the list shows and by the form that DNS carries.
        const RowFields fields = Fields(row);
        if (Contains(fields[kDomainColumn], keyword) || Contains(RowDomain(row), keyword) ||
            Contains(fields[kIpColumn], keyword)) {
            SelectCacheRow(row);
            return;
        }
    }
    ShowMessage("Cann't find a domain or ip address including such a keyword.", MB_OK, Owner());
}

void CCacheList::SortRows(int key) {
    // The selection stays with its entries, as in a list that sorts its own items.
    const EntrySelection selection = TakeSelection();
    const auto topRow = static_cast<int>(m_list.Send(LVM_GETTOPINDEX));

    std::vector<RowSortKey> keys;
    keys.reserve(m_rows.size());
    for (const Row& row : m_rows) {
        keys.push_back(MakeSortKey(SplitRowText(row.item->RowText), key));
    }
    std::vector<size_t> order(m_rows.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return CompareSortKeys(keys[a], keys[b], key) < 0;
    });
    std::vector<Row> sorted;
    sorted.reserve(m_rows.size());
    for (size_t from : order) {
        sorted.push_back(std::move(m_rows[from]));
    }
    m_rows = std::move(sorted);
    IndexRows(0);
    RestoreSelection(selection);
    ScrollToTopRow(topRow);
    m_list.Invalidate(false);
}

void CCacheList::ScrollToTopRow(int row) const {
    // Focusing a row scrolls it into view; a sort leaves the view where it was.
    CListView list(m_list.Hwnd());
    const auto top = static_cast<int>(list.Send(LVM_GETTOPINDEX));
    RECT bounds{};
    bounds.left = LVIR_BOUNDS;
    if (top == row || list.Send(LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&bounds)) == 0) {
        return;
    }
    list.Send(LVM_SCROLL, 0, (row - top) * RectHeight(bounds));
}

void CCacheList::OnColumnClick(int column) {
    if (column < 0 || column >= kCacheColumnCount) {
        return;
    }
    // The first click on a column sorts it ascending, each further one reverses the order.
    int key = column + 1;
    if (key == m_nSortKey) {
        key = -key;
    }
    m_nSortKey = key;
    SortRows(key);
}

std::optional<LRESULT> CCacheList::OnNotify(NMHDR& header) {
    if (auto handled = m_list.OnOwnerNotify(header)) {
        return handled;
    }
    if (header.hwndFrom != m_list.Hwnd()) {
        return std::nullopt;
    }
    switch (header.code) {
        case LVN_COLUMNCLICK:
            OnColumnClick(reinterpret_cast<NMLISTVIEW&>(header).iSubItem);
            return 0;
        case NM_RCLICK:
            ShowContextMenu();
            // Handled: no WM_CONTEXTMENU follows.
            return 1;
        case NM_DBLCLK:
            EditItem();
            return 0;
        default:
            return std::nullopt;
    }
}

void CCacheList::ShowContextMenu() {
    CMenu menu = CMenu::Load(IDR_RCLICK);
    CMenu popup = menu.SubMenu(0);
    if (popup.Handle() == nullptr) {
        return;
    }
    POINT cursor{};
    ::GetCursorPos(&cursor);
    popup.Track(Owner(), cursor);
}

bool CCacheList::OnCommand(int id) {
    switch (id) {
        case ID_CACHE_NEW:
            NewItem();
            return true;
        case ID_CACHE_SAVE:
            SaveWithMessage();
            return true;
        case ID_CACHE_DELETE:
            DeleteItem();
            return true;
        case ID_CACHE_CLEAR:
            ClearItems();
            return true;
        case ID_CACHE_CLEAR_HITS_ALL:
            ClearAllHits();
            return true;
        case ID_CACHE_CLEAR_HITS_SELECTED:
            ClearSelectedHits();
            return true;
        case ID_CACHE_IMPORT:
            Import();
            return true;
        case ID_CACHE_EXPORT:
            Export();
            return true;
        default:
            return false;
    }
}

void CCacheList::SaveCache() const {
    SaveToFile(m_cache, m_cacheFile, m_saveOutcome);
}

void CCacheList::NewItem() {
    CDnsItemDlg dialog(m_upstream, Owner());
    if (dialog.DoModal() == IDOK) {
        ApplyItemDialog(dialog);
    }
}

void CCacheList::EditItem() {
    const int mark = SelectionMark();
    if (mark < 0) {
        return;
    }
    CDnsItemDlg dialog(m_upstream, Owner());
    dialog.m_domain = RowDomain(mark);
    dialog.m_ipList.SplitUnique(Fields(mark)[kIpColumn], '|');
    {
        // The list has no TTL column: the entry's own TTL goes in, so that an edit keeps it.
        auto lock = m_cache.Lock();
        const DnsItemPtr entry = m_cache.Lookup(dialog.m_domain);
        dialog.m_ttl = entry ? static_cast<std::uint32_t>(entry->Ttl) : 0;
    }
    dialog.m_domainEditable = false;
    if (dialog.DoModal() == IDOK && dialog.m_modified) {
        ApplyItemDialog(dialog);
    }
}

void CCacheList::ApplyItemDialog(const CDnsItemDlg& dialog) {
    CLockedStringList ipv4(true);
    std::vector<std::string> ipv6;
    for (std::string& text : dialog.m_ipList.Texts()) {
        if (ParseIpv6Text(text)) {
            ipv6.push_back(std::move(text));
        } else {
            ipv4.AddTail(std::move(text));
        }
    }
    // The user's addresses are answered as given for the entry's TTL (an hour for a new entry,
    // which has none) before a renewal may replace them; the file keeps that TTL with them.
    const std::int32_t ttl = dialog.m_ttl > 0 ? static_cast<std::int32_t>(dialog.m_ttl) : kTypedTtl;
    const std::uint32_t expiry = ExpiryAfter(std::time(nullptr), static_cast<std::uint32_t>(ttl));
    DnsItemPtr entry;
    {
        // Time 0: a new entry has never been hit; a cached one keeps its last hit time and hits.
        auto lock = m_cache.Lock();
        entry = m_cache.Learn(dialog.m_domain, ipv4, ttl, 0, expiry);
        if (!ipv6.empty()) {
            m_cache.LearnIpv6(dialog.m_domain, ipv6, ttl, 0, expiry);
        } else {
            // The user's list holds no IPv6 address: whether the name has one is not known, and
            // AAAA questions go upstream again.
            entry->Ipv6Addresses.RemoveAll();
            entry->Ipv6Known = false;
        }
    }
    // A new entry at the cache's bound dropped the one hit least recently.
    if (m_cache.TakeEvicted()) {
        RefreshAllRows();
    }
    RefreshCacheRow(entry.get());
    if (RowCount() > 0) {
        CListView(m_list.Hwnd()).EnsureVisible(RowCount() - 1);
    }
    SaveCache();
}

void CCacheList::DeleteItem() {
    const int mark = SelectionMark();
    if (mark < 0) {
        return;
    }
    m_cache.RemoveKey(RowDomain(mark));
    RemoveRow(mark);
    SaveCache();
}

void CCacheList::ClearItems() {
    if (ShowMessage("Are you sure to clear all the DNS items ?", MB_YESNO | MB_ICONQUESTION,
                    Owner()) != IDYES) {
        return;
    }
    {
        auto lock = m_cache.Lock();
        m_cache.RemoveAll();
        m_cache.ResetNextId();
    }
    RemoveAllRows();
    SaveCache();
}

void CCacheList::ClearAllHits() {
    {
        auto lock = m_cache.Lock();
        m_cache.ForEach([](const std::string&, const DnsItemPtr& item) {
            item->Hits = 0;
            item->RowText = BuildRowText(*item);
        });
    }
    SaveCache();
    m_list.Invalidate(false);
}

void CCacheList::ClearSelectedHits() {
    const std::vector<int> rows = SelectedRows();
    if (rows.empty()) {
        ShowMessage("There are no items selected !", MB_OK, Owner());
        return;
    }
    for (int row : rows) {
        auto lock = m_cache.Lock();
        if (const DnsItemPtr entry = m_cache.Lookup(RowDomain(row))) {
            entry->Hits = 0;
            entry->RowText = BuildRowText(*entry);
            RedrawRowIfShown(row);
        }
    }
    SaveCache();
}

void CCacheList::SaveWithMessage() {
    // The user's own Save writes over a file that could not be read at start.
    if (m_saveOutcome != nullptr) {
        m_saveOutcome->KeepFile(false);
    }
    const bool saved = SaveToFile(m_cache, m_cacheFile, m_saveOutcome);
    ShowMessage("Save to file " + m_cacheFile + (saved ? " successfully." : " failed."), MB_OK,
                Owner());
}

std::optional<std::string> CCacheList::AskFileName(bool open) const {
    std::vector<wchar_t> name(kFileNameBuffer, L'\0');
    ToUtf16(m_cacheFile).copy(name.data(), name.size() - 1);
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = Owner();
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    dialog.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    const BOOL chosen = open ? ::GetOpenFileNameW(&dialog) : ::GetSaveFileNameW(&dialog);
    if (chosen == FALSE) {
        return std::nullopt;
    }
    std::string path;
    if (!ToUtf8Exactly(name.data(), path)) {
        // An unpaired surrogate: no UTF-8 names the file, and a replaced character another one.
        ShowMessage(
            "The file's name holds a character that Quillforth can't use (an unpaired "
            "surrogate). Choose another name.",
            MB_OK | MB_ICONEXCLAMATION, Owner());
        return std::nullopt;
    }
    return path;
}

void CCacheList::Import() {
    const std::optional<std::string> path = AskFileName(true);
    if (!path) {
        return;
    }
    if (LoadFromFile(m_cache, *path, std::time(nullptr)) != CacheLoad::kLoaded) {
        ShowMessage("Can't read the file " + *path + ".", MB_OK | MB_ICONEXCLAMATION, Owner());
        return;
    }
    SaveCache();
    FillCacheList();
}

void CCacheList::Export() {
    const std::optional<std::string> path = AskFileName(false);
    CSaveOutcome outcome;
    if (path && !SaveToFile(m_cache, *path, &outcome)) {
        ShowMessage("Export to " + *path + " failed: " +
                        SystemErrorText(static_cast<DWORD>(outcome.Failure().value_or(0))),
                    MB_OK | MB_ICONEXCLAMATION, Owner());
    }
}

#include "ui/list_ctrl_ex.h"

#include <algorithm>
#include <cstdlib>

#include "res/resource.h"
#include "win/controls.h"
#include "win/unicode.h"

namespace {

constexpr int kArrowWidth = 9;
constexpr COLORREF kArrowMask = RGB(255, 255, 255);
constexpr int kAscendingImage = 0;
constexpr int kDescendingImage = 1;
constexpr int kArrowMargin = 2;
// A saved width keeps its low 16 bits: the header's widths are 16-bit values.
constexpr int kWidthMask = 0xFFFF;

// A header arrow with its black pixels in the system's colour of grey text.
HBITMAP LoadArrow(int bitmapId) {
    COLORMAP map{RGB(0, 0, 0), ::GetSysColor(COLOR_GRAYTEXT)};
    return ::CreateMappedBitmap(::GetModuleHandleA(nullptr), bitmapId, 0, &map, 1);
}

HIMAGELIST CreateArrowImages() {
    HIMAGELIST images = ::ImageList_Create(kArrowWidth, 5, ILC_COLOR24 | ILC_MASK, 2, 0);
    if (images == nullptr) {
        return nullptr;
    }
    for (int bitmapId : {IDB_SORT_ASCENDING, IDB_SORT_DESCENDING}) {
        HBITMAP arrow = LoadArrow(bitmapId);
        const bool added =
            arrow != nullptr && ::ImageList_AddMasked(images, arrow, kArrowMask) >= 0;
        if (arrow != nullptr) {
            ::DeleteObject(arrow);
        }
        if (!added) {
            ::ImageList_Destroy(images);
            return nullptr;
        }
    }
    return images;
}

bool IsPermutation(std::vector<int> positions) {
    std::sort(positions.begin(), positions.end());
    for (size_t at = 0; at < positions.size(); ++at) {
        if (positions[at] != static_cast<int>(at)) {
            return false;
        }
    }
    return true;
}

int TintChannel(int value, bool darken) {
    if (darken) {
        return value - 8;
    }
    return value < 232 ? value + value / 10 : 255;
}

}  // namespace

COLORREF TintColour(COLORREF background) {
    const int red = GetRValue(background);
    const int green = GetGValue(background);
    const int blue = GetBValue(background);
    const bool darken = red >= 241 && green >= 241 && blue >= 241;
    return RGB(TintChannel(red, darken), TintChannel(green, darken), TintChannel(blue, darken));
}

CListCtrlEx::~CListCtrlEx() {
    if (m_arrowImages == nullptr) {
        return;
    }
    // The header may outlive this object for a moment: it must not draw a destroyed list.
    if (HWND header = Header(); header != nullptr && ::IsWindow(header)) {
        ::SendMessageA(header, HDM_SETIMAGELIST, 0, 0);
    }
    ::ImageList_Destroy(m_arrowImages);
}

bool CListCtrlEx::AttachList(HWND list, const IListRowSource* source) {
    if (m_handle != nullptr || ::IsWindow(list) == FALSE) {
        return false;
    }
    m_handle = list;
    m_source = source;
    // The cells come in the wide notification: the list shows every character of their UTF-8
    // text, whatever the process's code page.
    Send(CCM_SETUNICODEFORMAT, TRUE);
    return true;
}

HWND CListCtrlEx::Header() const {
    return m_handle == nullptr ? nullptr : reinterpret_cast<HWND>(Send(LVM_GETHEADER));
}

int CListCtrlEx::AddColumn(std::string_view title, int width) {
    const int column = ColumnCount();
    const int listColumn = static_cast<int>(
        std::count_if(m_columns.begin(), m_columns.end(), [](const Column& c) { return c.shown; }));
    CListView(Hwnd()).InsertColumn(listColumn, title, width);
    m_columns.push_back({std::string(title), false, true, width});
    m_order.push_back(column);
    return column;
}

void CListCtrlEx::AllowHiding(int column, bool allow) {
    if (column < 0 || column >= ColumnCount()) {
        return;
    }
    const bool ownerDrawn = (::GetWindowLongPtrA(m_handle, GWL_STYLE) & LVS_OWNERDRAWFIXED) != 0;
    m_columns[static_cast<size_t>(column)].hideable = allow && (column != 0 || ownerDrawn);
}

bool CListCtrlEx::IsColumnShown(int column) const {
    return column >= 0 && column < ColumnCount() && m_columns[static_cast<size_t>(column)].shown;
}

int CListCtrlEx::ListColumn(int column) const {
    if (!IsColumnShown(column)) {
        return -1;
    }
    return static_cast<int>(std::count_if(m_columns.begin(), m_columns.begin() + column,
                                          [](const Column& c) { return c.shown; }));
}

int CListCtrlEx::LogicalColumn(int listColumn) const {
    int seen = 0;
    for (int column = 0; column < ColumnCount(); ++column) {
        if (m_columns[static_cast<size_t>(column)].shown && seen++ == listColumn) {
            return column;
        }
    }
    return -1;
}

int CListCtrlEx::SortedColumn() const {
    return m_sortKey == 0 ? -1 : std::abs(m_sortKey) - 1;
}

void CListCtrlEx::ShowColumn(int column, bool show) {
    if (column < 0 || column >= ColumnCount()) {
        return;
    }
    Column& target = m_columns[static_cast<size_t>(column)];
    const auto shownCount =
        std::count_if(m_columns.begin(), m_columns.end(), [](const Column& c) { return c.shown; });
    // A list view without columns would have nothing left to click to show one again.
    if (target.shown == show || (!show && (!target.hideable || shownCount == 1))) {
        return;
    }
    ReadHeaderState();
    if (!show) {
        Send(LVM_DELETECOLUMN, static_cast<WPARAM>(ListColumn(column)));
        target.shown = false;
    } else {
        target.shown = true;
        LVCOLUMNA added{};
        added.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        added.fmt = LVCFMT_LEFT;
        added.cx = target.width;
        added.pszText = target.title.data();
        Send(LVM_INSERTCOLUMNA, static_cast<WPARAM>(ListColumn(column)),
             reinterpret_cast<LPARAM>(&added));
        ApplyHeaderOrder();
    }
    UpdateArrows();
    Invalidate();
}

void CListCtrlEx::ReadHeaderState() {
    std::vector<int> listOrder;
    for (int column = 0; column < ColumnCount(); ++column) {
        if (IsColumnShown(column)) {
            m_columns[static_cast<size_t>(column)].width =
                static_cast<int>(Send(LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(ListColumn(column))));
            listOrder.push_back(0);
        }
    }
    if (listOrder.empty() || Send(LVM_GETCOLUMNORDERARRAY, listOrder.size(),
                                  reinterpret_cast<LPARAM>(listOrder.data())) == 0) {
        return;
    }
    // The shown columns take the header's order; a hidden one keeps its place among them.
    size_t next = 0;
    for (int& slot : m_order) {
        if (IsColumnShown(slot)) {
            slot = LogicalColumn(listOrder[next++]);
        }
    }
}

void CListCtrlEx::ApplyHeaderOrder() {
    std::vector<int> listOrder;
    for (int column : m_order) {
        if (IsColumnShown(column)) {
            listOrder.push_back(ListColumn(column));
        }
    }
    Send(LVM_SETCOLUMNORDERARRAY, listOrder.size(), reinterpret_cast<LPARAM>(listOrder.data()));
}

void CListCtrlEx::EnableArrows(bool on) {
    if (on && m_arrowImages == nullptr) {
        m_arrowImages = CreateArrowImages();
        ::SendMessageA(Header(), HDM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_arrowImages));
        // The default margin around a header image (6 pixels each side) leaves a short title
        // of a narrow column no room beside its arrow.
        ::SendMessageA(Header(), HDM_SETBITMAPMARGIN, kArrowMargin, 0);
    }
    m_arrows = on && m_arrowImages != nullptr;
    UpdateArrows();
}

void CListCtrlEx::EnableTint(bool on) {
    m_tint = on;
    Invalidate();
}

void CListCtrlEx::SetSortKey(int key) {
    // A key names a column or none; one beyond the columns would name none and draw no arrow.
    if (std::abs(static_cast<long long>(key)) > ColumnCount()) {
        return;
    }
    const int previous = SortedColumn();
    m_sortKey = key;
    UpdateArrows();
    if (m_tint && SortedColumn() != previous) {
        Invalidate();
    }
}

void CListCtrlEx::UpdateArrows() {
    HWND header = Header();
    if (header == nullptr) {
        return;
    }
    for (int column = 0; column < ColumnCount(); ++column) {
        const int listColumn = ListColumn(column);
        if (listColumn < 0) {
            continue;
        }
        HDITEMA item{};
        item.mask = HDI_FORMAT;
        ::SendMessageA(header, HDM_GETITEMA, static_cast<WPARAM>(listColumn),
                       reinterpret_cast<LPARAM>(&item));
        item.fmt &= ~(HDF_IMAGE | HDF_BITMAP_ON_RIGHT);
        if (m_arrows && column == SortedColumn()) {
            item.mask |= HDI_IMAGE;
            item.fmt |= HDF_IMAGE | HDF_BITMAP_ON_RIGHT;
            item.iImage = m_sortKey > 0 ? kAscendingImage : kDescendingImage;
        }
        ::SendMessageA(header, HDM_SETITEMA, static_cast<WPARAM>(listColumn),
                       reinterpret_cast<LPARAM>(&item));
    }
}

ListLayout CListCtrlEx::Layout() {
    ReadHeaderState();
    ListLayout layout;
    layout.sortKey = m_sortKey;
    for (int column = 0; column < ColumnCount(); ++column) {
        const Column& state = m_columns[static_cast<size_t>(column)];
        const auto position = std::find(m_order.begin(), m_order.end(), column) - m_order.begin();
        layout.columns.push_back({state.shown, state.width, static_cast<int32_t>(position)});
    }
    return layout;
}

bool CListCtrlEx::ApplyLayout(const ListLayout& layout) {
    const int count = ColumnCount();
    if (static_cast<int>(layout.columns.size()) != count ||
        std::abs(static_cast<long long>(layout.sortKey)) > count) {
        return false;
    }
    SetSortKey(layout.sortKey);
    std::vector<int> positions;
    for (int column = 0; column < count; ++column) {
        const ColumnLayout& stored = layout.columns[static_cast<size_t>(column)];
        Column& state = m_columns[static_cast<size_t>(column)];
        if (stored.shown != state.shown && (state.hideable || !state.shown)) {
            ShowColumn(column, stored.shown);
        }
        state.width = stored.width & kWidthMask;
        if (state.shown) {
            Send(LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(ListColumn(column)), state.width);
        }
        if (stored.position < 0 || stored.position >= count) {
            break;
        }
        positions.push_back(stored.position);
    }
    // An order with a column missing or twice would leave a column without a place.
    if (static_cast<int>(positions.size()) == count && IsPermutation(positions)) {
        for (int column = 0; column < count; ++column) {
            m_order[static_cast<size_t>(positions[static_cast<size_t>(column)])] = column;
        }
        ApplyHeaderOrder();
    }
    return true;
}

std::optional<LRESULT> CListCtrlEx::OnOwnerNotify(NMHDR& header) {
    if (m_handle == nullptr || header.hwndFrom != m_handle) {
        return std::nullopt;
    }
    switch (header.code) {
        case LVN_GETDISPINFOW:
            return OnGetDisplayInfo(reinterpret_cast<NMLVDISPINFOW&>(header));
        case NM_CUSTOMDRAW:
            return OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW&>(header));
        case LVN_COLUMNCLICK:
            OnColumnClick(reinterpret_cast<NMLISTVIEW&>(header));
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

void CListCtrlEx::OnColumnClick(NMLISTVIEW& click) {
    const int column = LogicalColumn(click.iSubItem);
    if (column < 0) {
        return;
    }
    click.iSubItem = column;
    SetSortKey(column == SortedColumn() ? -m_sortKey : column + 1);
}

LRESULT CListCtrlEx::OnGetDisplayInfo(NMLVDISPINFOW& info) const {
    LVITEMW& item = info.item;
    if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0) {
        return 0;
    }
    std::wstring text;
    const int column = LogicalColumn(item.iSubItem);
    if (m_source != nullptr && column >= 0) {
        text = ToUtf16(m_source->CellText(item.iItem, column));
    }
    size_t length = std::min(text.size(), static_cast<size_t>(item.cchTextMax) - 1);
    // A cell cut short keeps no half of a surrogate pair.
    if (length < text.size() && length > 0 && IS_HIGH_SURROGATE(text[length - 1])) {
        --length;
    }
    std::copy_n(text.data(), length, item.pszText);
    item.pszText[length] = L'\0';
    return 0;
}

LRESULT CListCtrlEx::OnCustomDraw(NMLVCUSTOMDRAW& draw) const {
    switch (draw.nmcd.dwDrawStage) {
        case CDDS_PREPAINT: {
            HDC dc = draw.nmcd.hdc;
            const bool manyColours =
                ::GetDeviceCaps(dc, BITSPIXEL) * ::GetDeviceCaps(dc, PLANES) > 8;
            return m_tint && IsColumnShown(SortedColumn()) && manyColours ? CDRF_NOTIFYITEMDRAW
                                                                          : CDRF_DODEFAULT;
        }
        case CDDS_ITEMPREPAINT:
            return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
            COLORREF background = static_cast<COLORREF>(Send(LVM_GETBKCOLOR));
            if (background == CLR_NONE) {
                background = ::GetSysColor(COLOR_WINDOW);
            }
            // Every cell is set: a colour given to one cell would stay for the rest of its row.
            draw.clrTextBk = LogicalColumn(draw.iSubItem) == SortedColumn() ? TintColour(background)
                                                                            : background;
            return CDRF_DODEFAULT;
        }
        default:
            return CDRF_DODEFAULT;
    }
}

void CListCtrlEx::ShowHeaderMenu() {
    HMENU menu = ::CreatePopupMenu();
    if (menu == nullptr) {
        return;
    }
    for (int column = 0; column < ColumnCount(); ++column) {
        const Column& state = m_columns[static_cast<size_t>(column)];
        const auto flags = static_cast<UINT>(MF_STRING | (state.shown ? MF_CHECKED : MF_UNCHECKED) |
                                             (state.hideable ? MF_ENABLED : MF_GRAYED));
        ::AppendMenuA(menu, flags, static_cast<UINT_PTR>(column) + 1, state.title.c_str());
    }
    POINT cursor{};
    ::GetCursorPos(&cursor);
    const int chosen =
        static_cast<int>(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN,
                                          cursor.x, cursor.y, 0, m_handle, nullptr));
    ::DestroyMenu(menu);
    if (chosen > 0) {
        ShowColumn(chosen - 1, !IsColumnShown(chosen - 1));
    }
}

bool CListCtrlEx::OnOwnerContextMenu(HWND window, POINT screen) {
    const bool anyHideable =
        std::any_of(m_columns.begin(), m_columns.end(), [](const Column& c) { return c.hideable; });
    HWND header = Header();
    const RECT headerRect = CWindow(header).WindowRect();
    if (window == nullptr || (window != m_handle && window != header) || !anyHideable ||
        ::PtInRect(&headerRect, screen) == FALSE) {
        return false;
    }
    ShowHeaderMenu();
    return true;
}

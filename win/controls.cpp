#include "win/controls.h"

#include <vector>

namespace {

// Reads a text of unknown length from a control that copies at most `size` characters.
template <class Copy>
std::string ReadText(Copy copy) {
    for (size_t size = 256;; size *= 2) {
        std::vector<char> buffer(size, '\0');
        int length = copy(buffer.data(), static_cast<int>(size));
        if (length >= 0 && static_cast<size_t>(length) < size - 1) {
            return std::string(buffer.data(), static_cast<size_t>(length));
        }
    }
}

}  // namespace

int CComboBox::AddString(std::string_view text) const {
    std::string copy(text);
    return static_cast<int>(Send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(copy.c_str())));
}

int CListBox::AddString(std::string_view text) const {
    std::string copy(text);
    return static_cast<int>(Send(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(copy.c_str())));
}

RECT CListBox::GetItemRect(int index) const {
    RECT rect{};
    Send(LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rect));
    return rect;
}

std::optional<int> CListBox::ItemFromPoint(POINT point) const {
    LRESULT result = Send(LB_ITEMFROMPOINT, 0, MakeLParam(point.x, point.y));
    // The high word says the point lies outside every entry.
    if (HighWord(static_cast<WPARAM>(result)) != 0) {
        return std::nullopt;
    }
    return LowWord(static_cast<WPARAM>(result));
}

std::string CHeader::GetItemText(int index) const {
    return ReadText([&](char* buffer, int size) {
        HDITEMA item{};
        item.mask = HDI_TEXT;
        item.pszText = buffer;
        item.cchTextMax = size;
        Send(HDM_GETITEMA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
        return static_cast<int>(std::char_traits<char>::length(buffer));
    });
}

int CListView::InsertColumn(int index, std::string_view title, int width) const {
    std::string copy(title);
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = copy.data();
    return static_cast<int>(
        Send(LVM_INSERTCOLUMNA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column)));
}

int CListView::InsertItem(int index, std::string_view text, LPARAM data) const {
    std::string copy(text);
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = index;
    item.pszText = copy.data();
    item.lParam = data;
    return static_cast<int>(Send(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void CListView::SetItemText(int item, int subItem, std::string_view text) const {
    std::string copy(text);
    LVITEMA row{};
    row.iSubItem = subItem;
    row.pszText = copy.data();
    Send(LVM_SETITEMTEXTA, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&row));
}

std::string CListView::GetItemText(int item, int subItem) const {
    return ReadText([&](char* buffer, int size) {
        LVITEMA row{};
        row.iSubItem = subItem;
        row.pszText = buffer;
        row.cchTextMax = size;
        return static_cast<int>(
            Send(LVM_GETITEMTEXTA, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&row)));
    });
}

LPARAM CListView::GetItemData(int item) const {
    LVITEMA row{};
    row.mask = LVIF_PARAM;
    row.iItem = item;
    Send(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&row));
    return row.lParam;
}

void CListView::SetItemState(int item, UINT state, UINT mask) const {
    LVITEMA row{};
    row.state = state;
    row.stateMask = mask;
    Send(LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&row));
}

CImageList::~CImageList() {
    if (m_list != nullptr) {
        ::ImageList_Destroy(m_list);
    }
}

bool CImageList::LoadMasked(int bitmapId, int width, COLORREF mask) {
    HBITMAP bitmap = static_cast<HBITMAP>(
        ::LoadImageA(::GetModuleHandleA(nullptr), ResourceName(bitmapId), IMAGE_BITMAP, 0, 0, 0));
    if (bitmap == nullptr) {
        return false;
    }
    BITMAP info{};
    ::GetObjectA(bitmap, sizeof(info), &info);
    HIMAGELIST list =
        ::ImageList_Create(width, info.bmHeight, ILC_COLOR24 | ILC_MASK, info.bmWidth / width, 0);
    bool added = list != nullptr && ::ImageList_AddMasked(list, bitmap, mask) >= 0;
    ::DeleteObject(bitmap);
    if (!added) {
        if (list != nullptr) {
            ::ImageList_Destroy(list);
        }
        return false;
    }
    if (m_list != nullptr) {
        ::ImageList_Destroy(m_list);
    }
    m_list = list;
    return true;
}

int CImageList::GetCount() const {
    return m_list == nullptr ? 0 : ::ImageList_GetImageCount(m_list);
}

CMenu CMenu::Load(int menuId) {
    return CMenu(::LoadMenuA(::GetModuleHandleA(nullptr), ResourceName(menuId)), true);
}

CMenu CMenu::SystemMenuOf(HWND window) {
    return CMenu(::GetSystemMenu(window, FALSE), false);
}

CMenu::CMenu(CMenu&& other) noexcept : m_menu(other.m_menu), m_owned(other.m_owned) {
    other.m_menu = nullptr;
    other.m_owned = false;
}

CMenu::~CMenu() {
    if (m_owned && m_menu != nullptr) {
        ::DestroyMenu(m_menu);
    }
}

CMenu CMenu::SubMenu(int position) const {
    return CMenu(::GetSubMenu(m_menu, position), false);
}

int CMenu::GetItemCount() const {
    return ::GetMenuItemCount(m_menu);
}

int CMenu::GetItemId(int position) const {
    return static_cast<int>(::GetMenuItemID(m_menu, position));
}

std::string CMenu::GetItemText(int position) const {
    return ReadText([&](char* buffer, int size) {
        return ::GetMenuStringA(m_menu, static_cast<UINT>(position), buffer, size, MF_BYPOSITION);
    });
}

UINT CMenu::GetItemState(int position) const {
    MENUITEMINFOA info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_STATE;
    ::GetMenuItemInfoA(m_menu, static_cast<UINT>(position), TRUE, &info);
    return info.fState;
}

void CMenu::EnableItem(int position, bool enable) const {
    ::EnableMenuItem(m_menu, static_cast<UINT>(position),
                     MF_BYPOSITION | (enable ? MF_ENABLED : MF_GRAYED));
}

void CMenu::SetDefaultItem(int position) const {
    ::SetMenuDefaultItem(m_menu, static_cast<UINT>(position), TRUE);
}

void CMenu::AppendSeparator() const {
    ::AppendMenuA(m_menu, MF_SEPARATOR, 0, nullptr);
}

void CMenu::AppendItem(UINT id, std::string_view text) const {
    ::AppendMenuA(m_menu, MF_STRING, id, std::string(text).c_str());
}

void CMenu::Track(HWND owner, POINT point) const {
    // A menu opened for a window in the background would not close when the user clicks
    // elsewhere: the owner must be the foreground window first, and the message posted after
    // the menu lets the system finish the switch back.
    ::SetForegroundWindow(owner);
    ::TrackPopupMenu(m_menu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, point.x, point.y, 0, owner, nullptr);
    ::PostMessageA(owner, WM_NULL, 0, 0);
}

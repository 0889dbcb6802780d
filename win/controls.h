#pragma once

#include <windows.h>

#include <commctrl.h>

#include <optional>
#include <string>
#include <string_view>

#include "win/window.h"

// Thin typed wrappers of the controls that the program's dialogs use. They do not own the
// control; construct them on a control's handle where needed (`CComboBox(Item(1013))`).

class CComboBox : public CWindow {
public:
    using CWindow::CWindow;
    int AddString(std::string_view text) const;
    [[nodiscard]] int GetCount() const { return static_cast<int>(Send(CB_GETCOUNT)); }
    // -1 when nothing is selected.
    [[nodiscard]] int GetCurSel() const { return static_cast<int>(Send(CB_GETCURSEL)); }
    void SetCurSel(int index) const { Send(CB_SETCURSEL, static_cast<WPARAM>(index)); }
};

class CListBox : public CWindow {
public:
    using CWindow::CWindow;
    int AddString(std::string_view text) const;
    void SetItemData(int index, LPARAM data) const {
        Send(LB_SETITEMDATA, static_cast<WPARAM>(index), data);
    }
    [[nodiscard]] LPARAM GetItemData(int index) const {
        return Send(LB_GETITEMDATA, static_cast<WPARAM>(index));
    }
    [[nodiscard]] RECT GetItemRect(int index) const;
    // The entry whose rectangle holds a point of the client area, or none.
    [[nodiscard]] std::optional<int> ItemFromPoint(POINT point) const;
    void SetCurSel(int index) const { Send(LB_SETCURSEL, static_cast<WPARAM>(index)); }
    [[nodiscard]] int GetCurSel() const { return static_cast<int>(Send(LB_GETCURSEL)); }
};

class CHeader : public CWindow {
public:
    using CWindow::CWindow;
    [[nodiscard]] int GetItemCount() const { return static_cast<int>(Send(HDM_GETITEMCOUNT)); }
    [[nodiscard]] std::string GetItemText(int index) const;
};

class CListView : public CWindow {
public:
    using CWindow::CWindow;
    int InsertColumn(int index, std::string_view title, int width) const;
    void SetColumnWidth(int column, int width) const {
        Send(LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column), width);
    }
    [[nodiscard]] int GetColumnWidth(int column) const {
        return static_cast<int>(Send(LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column)));
    }
    void SetExtendedStyle(DWORD style) const {
        Send(LVM_SETEXTENDEDLISTVIEWSTYLE, style, static_cast<LPARAM>(style));
    }
    [[nodiscard]] CHeader GetHeader() const {
        return CHeader(reinterpret_cast<HWND>(Send(LVM_GETHEADER)));
    }

    // Inserts a row at `index` (the end when past it); its index, or -1.
    int InsertItem(int index, std::string_view text, LPARAM data = 0) const;
    void SetItemText(int item, int subItem, std::string_view text) const;
    [[nodiscard]] std::string GetItemText(int item, int subItem = 0) const;
    [[nodiscard]] LPARAM GetItemData(int item) const;
    bool DeleteItem(int item) const { return Send(LVM_DELETEITEM, static_cast<WPARAM>(item)) != 0; }
    [[nodiscard]] int GetItemCount() const { return static_cast<int>(Send(LVM_GETITEMCOUNT)); }

    // The next row after `start` (-1: from the top) with the LVNI_ flags, or -1.
    [[nodiscard]] int GetNextItem(int start, UINT flags) const {
        return static_cast<int>(
            Send(LVM_GETNEXTITEM, static_cast<WPARAM>(start), static_cast<LPARAM>(flags)));
    }
    void SetItemState(int item, UINT state, UINT mask) const;
    [[nodiscard]] UINT GetItemState(int item, UINT mask) const {
        return static_cast<UINT>(
            Send(LVM_GETITEMSTATE, static_cast<WPARAM>(item), static_cast<LPARAM>(mask)));
    }
    void EnsureVisible(int item) const {
        Send(LVM_ENSUREVISIBLE, static_cast<WPARAM>(item), FALSE);
    }
    // Opens the in-place editor on a row; the editor's handle, or null.
    HWND EditLabel(int item) const {
        return reinterpret_cast<HWND>(Send(LVM_EDITLABELA, static_cast<WPARAM>(item)));
    }
    [[nodiscard]] HWND GetEditControl() const {
        return reinterpret_cast<HWND>(Send(LVM_GETEDITCONTROL));
    }
};

class CProgressBar : public CWindow {
public:
    using CWindow::CWindow;
    void SetRange(int low, int high) const { Send(PBM_SETRANGE32, static_cast<WPARAM>(low), high); }
    [[nodiscard]] int GetUpperBound() const { return static_cast<int>(Send(PBM_GETRANGE, FALSE)); }
    void SetPos(int position) const { Send(PBM_SETPOS, static_cast<WPARAM>(position)); }
};

// An image list, owned.
class CImageList {
public:
    CImageList() = default;
    CImageList(const CImageList&) = delete;
    CImageList& operator=(const CImageList&) = delete;
    ~CImageList();

    // Images of width x height from a bitmap resource of the program, the colour `mask` drawn
    // transparent.
    bool LoadMasked(int bitmapId, int width, COLORREF mask);
    [[nodiscard]] HIMAGELIST Handle() const { return m_list; }
    [[nodiscard]] int GetCount() const;

private:
    HIMAGELIST m_list = nullptr;
};

// A menu: owned when loaded from a resource, borrowed when it is a submenu or a system menu.
class CMenu {
public:
    static CMenu Load(int menuId);
    static CMenu SystemMenuOf(HWND window);
    CMenu(CMenu&& other) noexcept;
    CMenu& operator=(CMenu&&) = delete;
    CMenu(const CMenu&) = delete;
    ~CMenu();

    [[nodiscard]] HMENU Handle() const { return m_menu; }
    [[nodiscard]] CMenu SubMenu(int position) const;
    [[nodiscard]] int GetItemCount() const;
    // The command id at a position: 0 for a separator, -1 for a submenu.
    [[nodiscard]] int GetItemId(int position) const;
    [[nodiscard]] std::string GetItemText(int position) const;
    // The MFS_ flags (grayed, checked, default) of the item at a position.
    [[nodiscard]] UINT GetItemState(int position) const;
    void EnableItem(int position, bool enable) const;
    void SetDefaultItem(int position) const;
    void AppendSeparator() const;
    void AppendItem(UINT id, std::string_view text) const;
    // Shows the menu at a screen point; its commands go to `owner`.
    void Track(HWND owner, POINT point) const;

private:
    CMenu(HMENU menu, bool owned) : m_menu(menu), m_owned(owned) {}
    HMENU m_menu;
    bool m_owned;
};

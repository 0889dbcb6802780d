#include "ui/property_list_box.h"

#include <algorithm>
#include <cstdlib>

#include "win/controls.h"

namespace {

constexpr COLORREF kLabelFill = RGB(192, 192, 192);
constexpr int kTextInset = 3;

HCURSOR SizingCursor() {
    return ::LoadCursorA(nullptr, ResourceName(32644));
}  // IDC_SIZEWE

}  // namespace

int CPropertyListBox::AddItem(PropertyItem* item) {
    CListBox list(m_handle);
    if (m_handle == nullptr || item == nullptr) {
        return -1;
    }
    int index = list.AddString(item->label);
    if (index < 0) {
        return -1;
    }
    list.SetItemData(index, reinterpret_cast<LPARAM>(item));
    m_longestLabel = std::max(m_longestLabel, item->label.size());
    return index;
}

bool CPropertyListBox::OnReflectedMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
    if (message == WM_MEASUREITEM) {
        reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight = kItemHeight;
        result = TRUE;
        return true;
    }
    if (message == WM_DRAWITEM) {
        DrawEntry(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        result = TRUE;
        return true;
    }
    return false;
}

void CPropertyListBox::DrawEntry(const DRAWITEMSTRUCT& draw) {
    if (draw.itemID == static_cast<UINT>(-1) || (draw.itemAction & ODA_DRAWENTIRE) == 0) {
        return;  // selection and focus changes are not shown
    }
    const auto* item = reinterpret_cast<const PropertyItem*>(draw.itemData);
    if (item == nullptr) {
        return;
    }
    if (m_divider == 0) {
        m_divider = 6 * static_cast<int>(m_longestLabel) + 7;
    }
    HDC dc = draw.hDC;
    RECT label{draw.rcItem.left, draw.rcItem.top, m_divider - 1, draw.rcItem.bottom};
    RECT value{m_divider, draw.rcItem.top, draw.rcItem.right, draw.rcItem.bottom};

    HBRUSH grey = ::CreateSolidBrush(kLabelFill);
    ::FillRect(dc, &label, grey);
    ::DeleteObject(grey);
    ::DrawEdge(dc, &label, EDGE_SUNKEN, BF_RIGHT | BF_BOTTOM);
    // Cleared so that a value redrawn without an erased background does not overprint the old.
    ::FillRect(dc, &value, ::GetSysColorBrush(COLOR_WINDOW));
    ::DrawEdge(dc, &value, EDGE_SUNKEN, BF_BOTTOM);

    HGDIOBJ oldFont = ::SelectObject(dc, Font());
    int oldMode = ::SetBkMode(dc, TRANSPARENT);
    COLORREF oldColour = ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    constexpr UINT kFormat = DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX;
    RECT labelText{label.left + kTextInset, label.top + kTextInset, label.right - kTextInset,
                   label.bottom};
    ::DrawTextA(dc, item->label.c_str(), static_cast<int>(item->label.size()), &labelText, kFormat);
    RECT valueText{value.left + kTextInset, value.top + kTextInset, value.right, value.bottom};
    ::DrawTextA(dc, item->value.c_str(), static_cast<int>(item->value.size()), &valueText, kFormat);
    ::SetTextColor(dc, oldColour);
    ::SetBkMode(dc, oldMode);
    ::SelectObject(dc, oldFont);
}

bool CPropertyListBox::NearDivider(int x) const {
    return m_divider != 0 && std::abs(x - m_divider) <= kDividerReach;
}

bool CPropertyListBox::PointerNearDivider() const {
    POINT pointer{};
    ::GetCursorPos(&pointer);
    ::ScreenToClient(m_handle, &pointer);
    return NearDivider(pointer.x);
}

void CPropertyListBox::StartDrag(int x) {
    ::SetCursor(SizingCursor());
    RECT confine = WindowRect();
    confine.left += kDragMargin;
    confine.right -= kDragMargin;
    ::ClipCursor(&confine);
    m_dragging = true;
    ::SetCapture(m_handle);
    m_lineX = x;
    InvertLine(m_lineX);
}

void CPropertyListBox::EndDrag(int x) {
    StopDragging();
    m_divider = x;
    Invalidate();
}

void CPropertyListBox::StopDragging() {
    // Cleared first: releasing the capture reports a capture change, which must find no drag.
    m_dragging = false;
    InvertLine(m_lineX);
    ::ClipCursor(nullptr);
    if (::GetCapture() == m_handle) {
        ::ReleaseCapture();
    }
}

// The drag line is drawn by inverting, so drawing it again at the same place erases it.
void CPropertyListBox::InvertLine(int x) const {
    HDC dc = ::GetDC(m_handle);
    RECT client = ClientRect();
    ::PatBlt(dc, x, 0, 1, client.bottom, DSTINVERT);
    ::ReleaseDC(m_handle, dc);
}

void CPropertyListBox::SelectEntryAt(POINT point) const {
    CListBox list(m_handle);
    if (std::optional<int> index = list.ItemFromPoint(point)) {
        list.SetCurSel(*index);
    }
}

LRESULT CPropertyListBox::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    POINT point = PointFromLParam(lParam);
    switch (message) {
        case WM_LBUTTONDOWN:
            ::SetFocus(m_handle);
            if (NearDivider(point.x)) {
                StartDrag(point.x);
            }
            return 0;  // the entry is selected at the release, outside a drag
        case WM_MOUSEMOVE:
            if (m_dragging) {
                InvertLine(m_lineX);
                m_lineX = point.x;
                InvertLine(m_lineX);
                return 0;
            }
            break;
        case WM_LBUTTONUP:
            if (m_dragging) {
                EndDrag(point.x);
            } else {
                SelectEntryAt(point);
            }
            return 0;
        case WM_CAPTURECHANGED:
            if (m_dragging) {
                StopDragging();  // another window took the mouse: the divider stays where it was
            }
            break;
        case WM_SETCURSOR:
            if (m_dragging || PointerNearDivider()) {
                ::SetCursor(SizingCursor());
                return TRUE;
            }
            break;
        default:
            break;
    }
    return DefaultProc(message, wParam, lParam);
}

#include "ui/link_static.h"

#include <commctrl.h>

#include <array>
#include <utility>

namespace {

constexpr int kHelpHandCursor = 106;
constexpr int kSystemHandCursor = 32649;  // IDC_HAND
constexpr UINT_PTR kToolId = 1;

// The text alignment of a static control's style, for DrawText.
UINT TextFormat(LONG_PTR style) {
    UINT format = (style & SS_NOPREFIX) != 0 ? DT_NOPREFIX : 0;
    switch (style & SS_TYPEMASK) {
        case SS_CENTER:
            format |= DT_CENTER;
            break;
        case SS_RIGHT:
            format |= DT_RIGHT;
            break;
        default:
            format |= DT_LEFT;
            break;
    }
    if ((style & SS_CENTERIMAGE) != 0) {
        format |= DT_SINGLELINE | DT_VCENTER;
    } else {
        format |= DT_WORDBREAK;
    }
    return format;
}

// The link's window rectangle in its parent shrunk (or grown) to `text`, kept where its
// alignment anchors it.
RECT FittedRect(RECT rect, SIZE text, LONG_PTR style) {
    if ((style & SS_CENTERIMAGE) != 0) {
        rect.top += (rect.bottom - rect.top - text.cy) / 2;
    }
    rect.bottom = rect.top + text.cy;
    switch (style & SS_TYPEMASK) {
        case SS_CENTER:
            rect.left += (rect.right - rect.left - text.cx) / 2;
            rect.right = rect.left + text.cx;
            break;
        case SS_RIGHT:
            rect.left = rect.right - text.cx;
            break;
        default:
            rect.right = rect.left + text.cx;
            break;
    }
    return rect;
}

std::string WindowsDirectory() {
    std::array<char, MAX_PATH> path{};
    UINT length = ::GetWindowsDirectoryA(path.data(), static_cast<UINT>(path.size()));
    return length == 0 || length >= path.size() ? std::string() : std::string(path.data(), length);
}

}  // namespace

HCURSOR LoadLinkCursor(const std::string& library, bool& owned) {
    owned = false;
    // Only its resources are wanted: mapped as data, none of its code runs.
    HMODULE module = ::LoadLibraryExA(library.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module != nullptr) {
        HCURSOR cursor = ::LoadCursorA(module, ResourceName(kHelpHandCursor));
        // A cursor of a module dies with it: keep a copy.
        HCURSOR copy = cursor != nullptr ? reinterpret_cast<HCURSOR>(::CopyIcon(cursor)) : nullptr;
        ::FreeLibrary(module);
        if (copy != nullptr) {
            owned = true;
            return copy;
        }
    }
    return ::LoadCursorA(nullptr, ResourceName(kSystemHandCursor));
}

CLinkStatic::CLinkStatic(Opener opener)
    : m_open(std::move(opener)), m_hoverColour(::GetSysColor(COLOR_HIGHLIGHT)) {}

CLinkStatic::~CLinkStatic() {
    HWND control = m_handle;
    Detach();
    if (control != nullptr && ::IsWindow(control) != FALSE) {
        // A control that outlives the link must not keep a font that is about to go.
        ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_originalFont), FALSE);
    }
    if (m_toolTip != nullptr) {
        ::DestroyWindow(m_toolTip);
    }
    if (m_font != nullptr) {
        ::DeleteObject(m_font);
    }
    if (m_ownsCursor) {
        ::DestroyCursor(m_cursor);
    }
}

bool CLinkStatic::AttachLink(HWND control) {
    if (!Attach(control)) {
        return false;
    }
    // Without SS_NOTIFY the static lets the mouse through to its parent; a tab stop lets the
    // keyboard reach it, as it reaches a link in any Windows dialog.
    ::SetWindowLongPtrA(m_handle, GWL_STYLE,
                        ::GetWindowLongPtrA(m_handle, GWL_STYLE) | SS_NOTIFY | WS_TABSTOP);
    const std::string text = GetText();
    if (m_url.empty()) {
        m_url = text;
    }
    if (text.empty()) {
        SetText(m_url);
    }
    SetUnderlinedFont();
    FitToText();
    LoadHandCursor();
    CreateToolTip();
    return true;
}

void CLinkStatic::SetURL(std::string url) {
    m_url = std::move(url);
    if (Exists()) {
        FitToText();
        UpdateToolTip();
    }
}

COLORREF CLinkStatic::TextColour() const {
    if (m_overLink) {
        return m_hoverColour;
    }
    return m_visited ? kVisitedColour : kLinkColour;
}

void CLinkStatic::SetUnderlinedFont() {
    m_originalFont = Font();
    HGDIOBJ current = m_originalFont != nullptr ? static_cast<HGDIOBJ>(m_originalFont)
                                                : ::GetStockObject(DEFAULT_GUI_FONT);
    LOGFONTA description{};
    if (::GetObjectA(current, sizeof description, &description) == 0) {
        return;
    }
    description.lfUnderline = TRUE;
    m_font = ::CreateFontIndirectA(&description);
    if (m_font != nullptr) {
        Send(WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
    }
}

void CLinkStatic::FitToText() {
    const std::string text = GetText();
    HDC dc = ::GetDC(m_handle);
    HGDIOBJ oldFont = ::SelectObject(dc, Font());
    SIZE size{};
    ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, oldFont);
    ::ReleaseDC(m_handle, dc);
    const RECT rect = FittedRect(RectInParent(), size, ::GetWindowLongPtrA(m_handle, GWL_STYLE));
    ::SetWindowPos(m_handle, nullptr, rect.left, rect.top, RectWidth(rect), RectHeight(rect),
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

void CLinkStatic::LoadHandCursor() {
    const std::string directory = WindowsDirectory();
    m_cursor = LoadLinkCursor(directory.empty() ? "" : directory + "\\winhlp32.exe", m_ownsCursor);
}

void CLinkStatic::CreateToolTip() {
    m_toolTip = ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  m_handle, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    if (m_toolTip == nullptr) {
        return;
    }
    std::string text = m_url;
    TTTOOLINFOA tool = ToolInfo(text);
    ::SendMessageA(m_toolTip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

// The tip of the whole link with `text`, which must outlive the returned value's use.
TTTOOLINFOA CLinkStatic::ToolInfo(std::string& text) const {
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = m_handle;
    tool.uId = kToolId;
    tool.rect = ClientRect();
    tool.lpszText = text.data();
    return tool;
}

void CLinkStatic::UpdateToolTip() const {
    if (m_toolTip == nullptr) {
        return;
    }
    std::string text = m_url;
    TTTOOLINFOA tool = ToolInfo(text);
    ::SendMessageA(m_toolTip, TTM_NEWTOOLRECTA, 0, reinterpret_cast<LPARAM>(&tool));
    ::SendMessageA(m_toolTip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
}

void CLinkStatic::RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam) const {
    if (m_toolTip == nullptr) {
        return;
    }
    MSG relayed{};
    relayed.hwnd = m_handle;
    relayed.message = message;
    relayed.wParam = wParam;
    relayed.lParam = lParam;
    relayed.time = static_cast<DWORD>(::GetMessageTime());
    ::SendMessageA(m_toolTip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relayed));
}

void CLinkStatic::Paint(HDC dc) const {
    // The dialog's own background under the text, as the plain static would have it.
    HWND parent = ::GetParent(m_handle);
    auto background = reinterpret_cast<HBRUSH>(::SendMessageA(parent, WM_CTLCOLORSTATIC,
                                                              reinterpret_cast<WPARAM>(dc),
                                                              reinterpret_cast<LPARAM>(m_handle)));
    RECT client = ClientRect();
    ::FillRect(dc, &client, background != nullptr ? background : ::GetSysColorBrush(COLOR_3DFACE));
    const std::string text = GetText();
    HGDIOBJ oldFont = ::SelectObject(dc, Font());
    const int oldMode = ::SetBkMode(dc, TRANSPARENT);
    const COLORREF oldColour = ::SetTextColor(dc, TextColour());
    ::DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &client,
                TextFormat(::GetWindowLongPtrA(m_handle, GWL_STYLE)));
    if (::GetFocus() == m_handle) {
        ::DrawFocusRect(dc, &client);
    }
    ::SetTextColor(dc, oldColour);
    ::SetBkMode(dc, oldMode);
    ::SelectObject(dc, oldFont);
}

void CLinkStatic::Redraw() const {
    ::RedrawWindow(m_handle, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CLinkStatic::OnMouseMove(POINT point) {
    if (!m_overLink) {
        m_overLink = true;
        Redraw();
        // Captured, the link learns when the pointer leaves it.
        ::SetCapture(m_handle);
        return;
    }
    const RECT client = ClientRect();
    if (::PtInRect(&client, point) == FALSE) {
        LeaveLink();
    }
}

void CLinkStatic::LeaveLink() {
    m_overLink = false;
    if (::GetCapture() == m_handle) {
        ::ReleaseCapture();
    }
    Redraw();
}

void CLinkStatic::Click() {
    m_visited = m_open && m_open(m_url);
    Redraw();
}

LRESULT CLinkStatic::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_MOUSEMOVE: {
            RelayToToolTip(message, wParam, lParam);
            const LRESULT result = DefaultProc(message, wParam, lParam);
            OnMouseMove(PointFromLParam(lParam));
            return result;
        }
        case WM_LBUTTONDOWN: {
            RelayToToolTip(message, wParam, lParam);
            const RECT client = ClientRect();
            const POINT point = PointFromLParam(lParam);
            // While captured, a press elsewhere reaches the link too: only its own counts.
            if (::PtInRect(&client, point) != FALSE) {
                Click();
            }
            return 0;
        }
        case WM_LBUTTONUP:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
            RelayToToolTip(message, wParam, lParam);
            break;
        case WM_CAPTURECHANGED:
            // A message box or another program took the mouse: the pointer is no longer known
            // to be over the link.
            if (m_overLink && reinterpret_cast<HWND>(lParam) != m_handle) {
                m_overLink = false;
                Redraw();
            }
            break;
        case WM_GETDLGCODE: {
            // Enter and Space open the link that has the focus, instead of pressing the
            // dialog's default button.
            const auto* key = reinterpret_cast<const MSG*>(lParam);
            const bool opens = key != nullptr && key->message == WM_KEYDOWN &&
                               (key->wParam == VK_RETURN || key->wParam == VK_SPACE);
            return opens ? DLGC_WANTMESSAGE : DLGC_STATIC;
        }
        case WM_KEYDOWN:
            if (wParam == VK_RETURN || wParam == VK_SPACE) {
                Click();
                return 0;
            }
            break;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            Redraw();
            break;
        case WM_SETCURSOR:
            if (m_cursor != nullptr) {
                ::SetCursor(m_cursor);
                return TRUE;
            }
            break;
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            HDC dc = ::BeginPaint(m_handle, &paint);
            Paint(dc);
            ::EndPaint(m_handle, &paint);
            return 0;
        }
        case WM_PRINTCLIENT:
            Paint(reinterpret_cast<HDC>(wParam));
            return 0;
        default:
            break;
    }
    return DefaultProc(message, wParam, lParam);
}

#include "ui/balloon_tip.h"

#include <algorithm>
#include <climits>

#include "res/window_messages.h"

namespace {

constexpr int kPadX = 12;  // text inset from the left and right of the body
constexpr int kPadY = 10;  // text inset from the top and bottom of the body
constexpr int kIconGap = 5;
constexpr int kCornerWidth = 12;
constexpr int kCornerHeight = 10;
constexpr int kTailBase = 10;  // the tail leaves the body this far above its bottom edge
constexpr int kTailWidth = 25;

bool operator==(POINT a, POINT b) {
    return a.x == b.x && a.y == b.y;
}

POINT PointerPosition() {
    POINT pointer{};
    ::GetCursorPos(&pointer);
    return pointer;
}

// The deepest visible window under a screen point, disabled ones included (a disabled button
// still explains itself).
HWND InnermostWindowAt(POINT point) {
    HWND window = ::WindowFromPoint(point);
    while (window != nullptr) {
        POINT local = point;
        ::ScreenToClient(window, &local);
        HWND child =
            ::ChildWindowFromPointEx(window, local, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
        if (child == nullptr || child == window) {
            break;
        }
        window = child;
    }
    return window;
}

// An icon's size as twice its hot spot, which sits at the centre of an icon.
SIZE IconSize(HICON icon) {
    ICONINFO info{};
    if (icon == nullptr || !::GetIconInfo(icon, &info)) {
        return {0, 0};
    }
    if (info.hbmMask != nullptr) {
        ::DeleteObject(info.hbmMask);
    }
    if (info.hbmColor != nullptr) {
        ::DeleteObject(info.hbmColor);
    }
    return {static_cast<LONG>(info.xHotspot * 2), static_cast<LONG>(info.yHotspot * 2)};
}

}  // namespace

bool CBalloonTip::Create(HWND parent) {
    return CCustomWindow::Create(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, WS_POPUP, parent);
}

void CBalloonTip::AddTool(HWND control, std::string text, HICON icon) {
    if (::IsWindow(control)) {
        m_tools[control] = Tool{std::move(text), icon};
    }
}

void CBalloonTip::RelayEvent(const MSG& message) {
    switch (message.message) {
        case WM_MOUSEMOVE: {
            POINT pointer = PointerPosition();
            if (pointer == m_anchor) {
                return;
            }
            auto tool = m_tools.find(InnermostWindowAt(pointer));
            if (tool != m_tools.end()) {
                Request(tool->second.text, tool->second.icon, pointer);
            } else {
                Hide();
            }
            return;
        }
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
            Hide();
            return;
        default:
            return;
    }
}

void CBalloonTip::Request(std::string text, HICON icon, POINT anchor) {
    if (m_handle == nullptr) {
        return;  // without a window the timer would become a thread timer
    }
    m_text = std::move(text);
    m_icon = icon;
    m_anchor = anchor;
    SetTimer(TIMER_BALLOON_SHOW, kDelayMilliseconds);
}

void CBalloonTip::Hide() {
    if (m_handle == nullptr) {
        return;
    }
    KillTimer(TIMER_BALLOON_SHOW);
    KillTimer(TIMER_BALLOON_WATCH);
    Show(SW_HIDE);
}

void CBalloonTip::Display() {
    // The text is the window's text too, for screen readers and other programs that read it.
    ::SetWindowTextA(m_handle, m_text.c_str());
    m_iconSize = IconSize(m_icon);
    HDC dc = ::GetDC(m_handle);
    HGDIOBJ oldFont = ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
    RECT text{};
    ::DrawTextA(dc, m_text.c_str(), static_cast<int>(m_text.size()), &text,
                DT_CALCRECT | DT_LEFT | DT_NOPREFIX);
    ::SelectObject(dc, oldFont);
    ::ReleaseDC(m_handle, dc);

    m_body = {RectWidth(text) + 2 * kPadX, RectHeight(text) + 2 * kPadY};
    if (m_icon != nullptr) {
        m_body.cx += m_iconSize.cx + kIconGap;
        m_body.cy = std::max(m_body.cy, m_iconSize.cy);
    }
    ::SetWindowRgn(m_handle, CreateShape(), FALSE);  // the window owns the region from here
    const int height = m_body.cy + kExtraHeight;
    ::SetWindowPos(m_handle, HWND_TOPMOST, m_anchor.x - (m_body.cx - kTipFromRight),
                   m_anchor.y - (height - kTipFromBottom), m_body.cx, height, SWP_NOACTIVATE);
    ::ShowWindow(m_handle, SW_SHOWNOACTIVATE);
    ::RedrawWindow(m_handle, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    SetTimer(TIMER_BALLOON_WATCH, kDelayMilliseconds);
}

// A rounded body with a tail below its right end whose tip is at (W - 12, H + 15).
HRGN CBalloonTip::CreateShape() const {
    const LONG w = m_body.cx;
    const LONG h = m_body.cy;
    const LONG tipY = h + kExtraHeight - kTipFromBottom;
    HRGN shape = ::CreateRoundRectRgn(0, 0, w, h, kCornerWidth, kCornerHeight);
    POINT tail[] = {{w - kTipFromRight, h - kTailBase},
                    {w - kTipFromRight, tipY},
                    {w - kTipFromRight - kTailWidth, h - kTailBase}};
    HRGN tailRegion = ::CreatePolygonRgn(tail, 3, WINDING);
    ::CombineRgn(shape, shape, tailRegion, RGN_OR);
    ::DeleteObject(tailRegion);
    return shape;
}

void CBalloonTip::Paint() {
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(m_handle, &paint);
    HRGN shape = CreateShape();
    ::FillRgn(dc, shape, ::GetSysColorBrush(COLOR_WINDOW));
    ::FrameRgn(dc, shape, ::GetSysColorBrush(COLOR_SCROLLBAR), 3, 3);
    ::FrameRgn(dc, shape, ::GetSysColorBrush(COLOR_WINDOWTEXT), 1, 1);
    ::DeleteObject(shape);

    int textLeft = kPadX;
    if (m_icon != nullptr) {
        ::DrawIconEx(dc, kPadX, kPadY, m_icon, m_iconSize.cx, m_iconSize.cy, 0, nullptr, DI_NORMAL);
        textLeft += m_iconSize.cx + kIconGap;
    }
    HGDIOBJ oldFont = ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    RECT text{textLeft, kPadY, m_body.cx, m_body.cy};
    ::DrawTextA(dc, m_text.c_str(), static_cast<int>(m_text.size()), &text,
                DT_LEFT | DT_TOP | DT_NOPREFIX);
    ::SelectObject(dc, oldFont);
    ::EndPaint(m_handle, &paint);
}

LRESULT CBalloonTip::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == TIMER_BALLOON_SHOW) {
                KillTimer(TIMER_BALLOON_SHOW);
                Display();
            } else if (wParam == TIMER_BALLOON_WATCH && !(PointerPosition() == m_anchor)) {
                Hide();
            }
            return 0;
        case WM_PAINT:
            Paint();
            return 0;
        case WM_ERASEBKGND:
            return TRUE;  // Paint covers the whole shape
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;  // a click on the balloon must not take the focus from the dialog
        default:
            return DefaultProc(message, wParam, lParam);
    }
}

#include "win/window.h"

#include <commctrl.h>

#include <optional>
#include <vector>

#include "win/unicode.h"

namespace {

// One subclass id for every attached object: a window is attached to one object at most.
constexpr UINT_PTR kSubclassId = 0x51F0;
// The property that leads from a window to its attached object. (The system's own lookup,
// GetWindowSubclass, is exported only by ordinal.)
constexpr char kObjectProperty[] = "Quillforth.Window";
constexpr char kCustomClassName[] = "QuillforthWindow";

ATOM RegisterCustomClass() {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ::DefWindowProcA;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.hCursor = ::LoadCursorA(nullptr, ResourceName(32512));  // IDC_ARROW
    windowClass.lpszClassName = kCustomClassName;
    return ::RegisterClassExA(&windowClass);
}

}  // namespace

void ReportHandlerFailure(const char* what) noexcept {
    ::OutputDebugStringA("Quillforth: a window message handler failed: ");
    ::OutputDebugStringA(what);
    ::OutputDebugStringA("\n");
}

std::string CWindow::GetText() const {
    int length = ::GetWindowTextLengthW(m_handle);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    int copied = ::GetWindowTextW(m_handle, buffer.data(), length + 1);
    return ToUtf8({buffer.data(), static_cast<size_t>(copied)});
}

void CWindow::SetText(std::string_view text) const {
    ::SetWindowTextW(m_handle, ToUtf16(text).c_str());
}

RECT CWindow::ClientRect() const {
    RECT rect{};
    ::GetClientRect(m_handle, &rect);
    return rect;
}

RECT CWindow::WindowRect() const {
    RECT rect{};
    ::GetWindowRect(m_handle, &rect);
    return rect;
}

RECT CWindow::RectInParent() const {
    RECT rect = WindowRect();
    ::MapWindowPoints(nullptr, ::GetParent(m_handle), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void CWindow::Move(const RECT& rect, bool repaint) const {
    ::MoveWindow(m_handle, rect.left, rect.top, RectWidth(rect), RectHeight(rect),
                 repaint ? TRUE : FALSE);
}

CSubclassedWindow::~CSubclassedWindow() {
    Detach();
}

bool CSubclassedWindow::Attach(HWND hwnd) {
    if (m_handle != nullptr || !::IsWindow(hwnd) || FromHandle(hwnd) != nullptr) {
        return false;
    }
    if (!::SetWindowSubclass(hwnd, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
        return false;
    }
    ::SetPropA(hwnd, kObjectProperty, this);
    m_handle = hwnd;
    return true;
}

void CSubclassedWindow::Detach() {
    if (m_handle != nullptr) {
        ::RemoveWindowSubclass(m_handle, SubclassProc, kSubclassId);
        ::RemovePropA(m_handle, kObjectProperty);
        m_handle = nullptr;
    }
}

CSubclassedWindow* CSubclassedWindow::FromHandle(HWND hwnd) {
    return hwnd == nullptr ? nullptr
                           : static_cast<CSubclassedWindow*>(::GetPropA(hwnd, kObjectProperty));
}

bool CSubclassedWindow::OnReflectedMessage(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

LRESULT CSubclassedWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefaultProc(message, wParam, lParam);
}

LRESULT CSubclassedWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::DefSubclassProc(m_handle, message, wParam, lParam);
}

LRESULT CALLBACK CSubclassedWindow::SubclassProc(HWND hwnd, UINT message, WPARAM wParam,
                                                 LPARAM lParam, UINT_PTR, DWORD_PTR self) {
    auto* window = reinterpret_cast<CSubclassedWindow*>(self);
    if (message == WM_NCDESTROY) {
        // The window is going: forget it before the object could use the handle again.
        window->Detach();
        return ::DefSubclassProc(hwnd, message, wParam, lParam);
    }
    std::optional<LRESULT> result =
        Guarded([&] { return std::optional<LRESULT>(window->WindowProc(message, wParam, lParam)); },
                std::optional<LRESULT>());
    return result ? *result : ::DefSubclassProc(hwnd, message, wParam, lParam);
}

CCustomWindow::~CCustomWindow() {
    Destroy();
}

bool CCustomWindow::Create(DWORD exStyle, DWORD style, HWND owner) {
    static const ATOM windowClass = RegisterCustomClass();
    if (windowClass == 0 || m_handle != nullptr) {
        return false;
    }
    HWND hwnd = ::CreateWindowExA(exStyle, kCustomClassName, "", style, 0, 0, 0, 0, owner, nullptr,
                                  ::GetModuleHandleA(nullptr), nullptr);
    if (hwnd == nullptr) {
        return false;
    }
    if (!Attach(hwnd)) {
        ::DestroyWindow(hwnd);
        return false;
    }
    return true;
}

void CCustomWindow::Destroy() {
    HWND hwnd = m_handle;
    Detach();
    if (hwnd != nullptr) {
        ::DestroyWindow(hwnd);
    }
}

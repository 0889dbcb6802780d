#pragma once

#include <windows.h>

#include <exception>
#include <string>
#include <string_view>

// Typed forms of the Win32 macros that convert message parameters; the macros' C casts trip the
// project's warnings.
inline int LowWord(WPARAM value) {
    return static_cast<int>(value & 0xFFFF);
}
inline int HighWord(WPARAM value) {
    return static_cast<int>((value >> 16) & 0xFFFF);
}
// The signed coordinates packed into a mouse message's lParam.
inline POINT PointFromLParam(LPARAM value) {
    return {static_cast<short>(value & 0xFFFF), static_cast<short>((value >> 16) & 0xFFFF)};
}
inline LPARAM MakeLParam(int low, int high) {
    return static_cast<LPARAM>((static_cast<DWORD>(high & 0xFFFF) << 16) |
                               static_cast<DWORD>(low & 0xFFFF));
}
inline LPCSTR ResourceName(int id) {
    return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id)));
}
inline int RectWidth(const RECT& rect) {
    return rect.right - rect.left;
}
inline int RectHeight(const RECT& rect) {
    return rect.bottom - rect.top;
}

// Runs a handler inside a window procedure: an exception must never travel into Windows, whose
// callers cannot unwind it. A failed handler is reported to the debugger and the procedure
// answers `fallback`, as if the message had not been handled.
void ReportHandlerFailure(const char* what) noexcept;
template <class Handler, class Result>
Result Guarded(Handler&& handler, Result fallback) noexcept {
    try {
        return handler();
    } catch (const std::exception& error) {
        ReportHandlerFailure(error.what());
    } catch (...) {
        ReportHandlerFailure("unknown exception");
    }
    return fallback;
}

// A window handle with the operations the program's windows use. It does not own the window.
class CWindow {
public:
    CWindow() = default;
    explicit CWindow(HWND hwnd) : m_handle(hwnd) {}

    [[nodiscard]] HWND Hwnd() const { return m_handle; }
    [[nodiscard]] bool Exists() const { return m_handle != nullptr && ::IsWindow(m_handle); }
    [[nodiscard]] HWND Item(int id) const { return ::GetDlgItem(m_handle, id); }
    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageA(m_handle, message, wParam, lParam);
    }

    [[nodiscard]] std::string GetText() const;
    void SetText(std::string_view text) const;
    void Enable(bool enable) const { ::EnableWindow(m_handle, enable ? TRUE : FALSE); }
    [[nodiscard]] bool IsEnabled() const { return ::IsWindowEnabled(m_handle) != FALSE; }
    void Show(int command) const { ::ShowWindow(m_handle, command); }
    [[nodiscard]] bool IsVisible() const { return ::IsWindowVisible(m_handle) != FALSE; }
    void Focus() const { ::SetFocus(m_handle); }
    void Invalidate(bool erase = true) const { ::InvalidateRect(m_handle, nullptr, erase); }

    [[nodiscard]] RECT ClientRect() const;
    // The outer rectangle in screen coordinates.
    [[nodiscard]] RECT WindowRect() const;
    // The outer rectangle in the parent's client coordinates.
    [[nodiscard]] RECT RectInParent() const;
    void Move(const RECT& rect, bool repaint = true) const;
    [[nodiscard]] HFONT Font() const { return reinterpret_cast<HFONT>(Send(WM_GETFONT)); }

    void SetTimer(UINT_PTR id, UINT milliseconds) const {
        ::SetTimer(m_handle, id, milliseconds, nullptr);
    }
    void KillTimer(UINT_PTR id) const { ::KillTimer(m_handle, id); }

protected:
    HWND m_handle = nullptr;
};

// A window whose messages pass through WindowProc first: an existing control (attached) or a
// window of our own class (CCustomWindow). The object must outlive its attachment; destroying
// the object removes the subclass before anything else.
class CSubclassedWindow : public CWindow {
public:
    CSubclassedWindow() = default;
    CSubclassedWindow(const CSubclassedWindow&) = delete;
    CSubclassedWindow& operator=(const CSubclassedWindow&) = delete;
    virtual ~CSubclassedWindow();

    // False when the window does not exist or is attached to an object already.
    bool Attach(HWND hwnd);
    void Detach();
    // The object attached to a window, or null.
    static CSubclassedWindow* FromHandle(HWND hwnd);

    // A message that the parent dialog hands back to the control it concerns (owner drawing).
    // True when handled, with the message's result in `result`.
    virtual bool OnReflectedMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) const;

private:
    static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
};

// A top-level window of the program's own plain class, owned by this object: destroying the
// object destroys the window.
class CCustomWindow : public CSubclassedWindow {
public:
    ~CCustomWindow() override;
    bool Create(DWORD exStyle, DWORD style, HWND owner);
    void Destroy();
};

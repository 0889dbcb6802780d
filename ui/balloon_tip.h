#pragma once

#include <windows.h>

#include <string>
#include <unordered_map>

#include "win/window.h"

// A help balloon: a borderless popup with a rounded outline and a tail whose tip points at the
// mouse pointer. The owner registers controls with their texts and relays every message to it;
// when the pointer rests on a registered control for half a second the balloon shows that
// control's text, and it hides when the pointer moves off or a mouse button is pressed.
class CBalloonTip : public CCustomWindow {
public:
    static constexpr UINT kDelayMilliseconds = 500;
    // The window is the body and 25 pixels more; the tail's tip lies 12 pixels left of the
    // window's right edge and 10 pixels above its bottom edge (15 below the body).
    static constexpr int kExtraHeight = 25;
    static constexpr int kTipFromRight = 12;
    static constexpr int kTipFromBottom = 10;

    // Creates the hidden popup, owned by `parent`.
    bool Create(HWND parent);
    // Registers or replaces the text (and icon) of an existing control.
    void AddTool(HWND control, std::string text, HICON icon = nullptr);
    // To be called with every message before the owner dispatches it.
    void RelayEvent(const MSG& message);
    // Shows `text` after the delay with the tail's tip at `anchor` (screen coordinates).
    void Request(std::string text, HICON icon, POINT anchor);
    // Hides the balloon and drops a request that is still waiting.
    void Hide();

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct Tool {
        std::string text;
        HICON icon;
    };

    void Display();
    [[nodiscard]] HRGN CreateShape() const;
    void Paint();

    std::unordered_map<HWND, Tool> m_tools{17};
    std::string m_text;
    HICON m_icon = nullptr;
    SIZE m_iconSize{};
    SIZE m_body{};
    // Outside every screen, so that the first pointer position always differs from it.
    POINT m_anchor{LONG_MIN, LONG_MIN};
};

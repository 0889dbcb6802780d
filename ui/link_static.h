#pragma once

#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <string>

#include "win/window.h"

// A static text control made into a hyperlink: underlined, shrunk to its text, drawn in the link
// colour until a click opened its target and in the visited colour after, in the highlight
// colour while the pointer is over it; a hand cursor and a tool tip with the target show over
// it. The control draws itself, so its dialog needs to do nothing for it.
class CLinkStatic : public CSubclassedWindow {
public:
    // Opens a target; whether that worked. It tells the user itself when it did not.
    using Opener = std::function<bool(const std::string& url)>;

    static constexpr COLORREF kLinkColour = RGB(0, 0, 238);
    static constexpr COLORREF kVisitedColour = RGB(85, 26, 139);

    explicit CLinkStatic(Opener opener);
    ~CLinkStatic() override;

    // Makes an existing static control the link. A target not set before becomes the control's
    // text; a control without text shows the target. False when the control does not exist or
    // is attached already.
    bool AttachLink(HWND control);
    void SetURL(std::string url);
    [[nodiscard]] const std::string& GetURL() const { return m_url; }

    [[nodiscard]] bool Visited() const { return m_visited; }
    [[nodiscard]] bool OverLink() const { return m_overLink; }
    [[nodiscard]] HCURSOR Cursor() const { return m_cursor; }
    [[nodiscard]] HWND ToolTip() const { return m_toolTip; }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void SetUnderlinedFont();
    void FitToText();
    void LoadHandCursor();
    // The colour that the text is drawn in now.
    [[nodiscard]] COLORREF TextColour() const;
    void CreateToolTip();
    void UpdateToolTip() const;
    [[nodiscard]] TTTOOLINFOA ToolInfo(std::string& text) const;
    void RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam) const;
    void Paint(HDC dc) const;
    void Redraw() const;
    void OnMouseMove(POINT point);
    void LeaveLink();
    void Click();

    Opener m_open;
    COLORREF m_hoverColour;
    bool m_overLink = false;
    bool m_visited = false;
    std::string m_url;
    HFONT m_font = nullptr;
    HFONT m_originalFont = nullptr;
    HCURSOR m_cursor = nullptr;
    bool m_ownsCursor = false;
    HWND m_toolTip = nullptr;
};

// The hand cursor of the help program `library` (its cursor 106), as a copy that the caller
// destroys (`owned` true); without that program or cursor, the system's hand cursor, which is
// shared (`owned` false).
HCURSOR LoadLinkCursor(const std::string& library, bool& owned);

#pragma once

#include <windows.h>

#include <string>

#include "win/window.h"

// One line of a CPropertyListBox. The list refers to the item; its owner keeps it alive for as
// long as the list shows it.
struct PropertyItem {
    enum Type { kChoice = 0, kText = 1, kColour = 2, kFont = 3, kFile = 4 };
    std::string label;
    std::string value;
    int type = kText;
    std::string choices;  // for kChoice: the choices separated by "|"
};

// A two-column label/value list drawn over an owner-drawn list box (variable height, with
// strings). The label column is grey and ends at a divider that the user can drag; until then
// the divider sits at 6 pixels per character of the longest label plus 7. The list is
// read-only: its values change only through the items.
class CPropertyListBox : public CSubclassedWindow {
public:
    static constexpr int kItemHeight = 20;

    // Appends an entry for the item; its index, or -1.
    int AddItem(PropertyItem* item);
    // The divider's x coordinate; 0 until the first entry has been drawn.
    [[nodiscard]] int Divider() const { return m_divider; }

    bool OnReflectedMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    static constexpr int kDividerReach = 5;  // pixels either side of the divider that grab it
    static constexpr int kDragMargin = 10;   // the pointer stays this far inside while dragging

    void DrawEntry(const DRAWITEMSTRUCT& draw);
    [[nodiscard]] bool NearDivider(int x) const;
    [[nodiscard]] bool PointerNearDivider() const;
    void StartDrag(int x);
    void EndDrag(int x);
    void StopDragging();
    void InvertLine(int x) const;
    void SelectEntryAt(POINT point) const;

    int m_divider = 0;
    size_t m_longestLabel = 0;
    bool m_dragging = false;
    int m_lineX = 0;
};

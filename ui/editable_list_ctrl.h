#pragma once

#include <windows.h>

#include <array>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "win/controls.h"
#include "win/window.h"

// A captioned single-column list with small tool buttons (new, delete, move up, move down) and
// in-place editing, built over a static placeholder of a dialog template: the placeholder's
// text becomes the caption. Each button has a key that acts like a click while the list has the
// focus: Insert, Delete, Alt+Up and Alt+Down; Space and F2 edit the selected entry.
//
// The owner learns of the user's changes through the notification functions, which a derived
// class overrides. Requests made before the control is attached do nothing: GetCount and
// AddItem answer -1, GetItemText an empty text, RemoveItem false.
class CEditableListCtrl : public CSubclassedWindow {
public:
    enum Button : unsigned { kNewButton = 1, kDeleteButton = 2, kUpButton = 4, kDownButton = 8 };
    static constexpr unsigned kAllButtons = 15;
    static constexpr int kListId = 1;
    // The buttons' commands, also sent by their keys.
    enum Command : int { kNewCommand = 101, kDeleteCommand, kUpCommand, kDownCommand };

    ~CEditableListCtrl() override;

    // Attaches to the placeholder and creates the caption band and the inner list.
    bool AttachPlaceholder(HWND placeholder);
    // Creates the buttons of the bit set, once; a second call does nothing.
    void SetStandardButtons(unsigned buttons = kAllButtons);
    // Keeps the selection visible while the focus is elsewhere.
    void ShowSelectionAlways();

    // Inserts an entry at `index` (-1: at the end); its index.
    int AddItem(std::string_view text, LPARAM data = 0, int index = -1);
    [[nodiscard]] int GetCount() const;
    [[nodiscard]] std::string GetItemText(int index) const;
    [[nodiscard]] LPARAM GetItemData(int index) const;
    // Deletes an entry. When it was the selected one and entries remain, the entry now at its
    // place (the last one when it was last) becomes selected.
    bool RemoveItem(int index);
    // The selected entry, or -1.
    [[nodiscard]] int GetSelection() const;
    void SelectItem(int index);
    // Opens the in-place editor on an entry.
    void EditItem(int index);
    [[nodiscard]] HWND ListHwnd() const { return m_list.Hwnd(); }
    [[nodiscard]] HWND ToolbarHwnd() const { return m_toolbar; }

protected:
    // Before the user's delete removes an entry; false keeps it.
    virtual bool OnBeforeRemoveItem(int index);
    // A new entry received its first text.
    virtual bool OnAfterAddItem(int index);
    // An existing entry's text was changed in the editor.
    virtual bool OnAfterRenameItem(int index);
    virtual bool OnAfterMoveItemUp(int newIndex);
    virtual bool OnAfterMoveItemDown(int newIndex);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct ButtonInfo {
        Button bit;
        Command command;
        int image;  // index in the button image strip
        UINT key;   // virtual key
        bool alt;   // the key needs Alt (and neither Ctrl nor Shift)
        const char* tip;
    };
    static const std::array<ButtonInfo, 4> kButtons;

    void Layout();
    void PaintCaption();
    [[nodiscard]] int ButtonSize() const;
    std::optional<LRESULT> OnNotify(NMHDR& header);
    void OnEndEdit(const NMLVDISPINFOA& info);
    void FinishEdit();
    void OnDoubleClick();
    bool OnKey(UINT key);
    void RunCommand(int command);
    void NewItem();
    void DeleteSelected();
    void MoveSelected(int step);

    static LRESULT CALLBACK ListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR id, DWORD_PTR self);
    static LRESULT CALLBACK EditorProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR self);

    CListView m_list;
    HWND m_toolbar = nullptr;
    CImageList m_images;
    unsigned m_buttons = 0;
    int m_captionHeight = 0;
    bool m_newItem = false;
    // Editors the list has closed whose outcome is still to be applied, oldest first.
    struct EndedEdit {
        int index;
        std::optional<std::string> text;  // none when cancelled
        bool wasNew;
    };
    std::deque<EndedEdit> m_endedEdits;
};

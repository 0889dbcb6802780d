#pragma once

#include <windows.h>

#include <optional>

#include "win/window.h"

class CDataExchange;

// One command item of a popup menu that is about to open; the owner decides whether it is
// enabled and checked.
class CCommandState {
public:
    CCommandState(HMENU menu, UINT position, UINT id)
        : m_menu(menu), m_position(position), m_id(id) {}
    [[nodiscard]] UINT Id() const { return m_id; }
    void Enable(bool enable) const;
    void SetCheck(bool check) const;

private:
    HMENU m_menu;
    UINT m_position;
    UINT m_id;
};

// A dialog from a resource template. One dialog procedure stores the object at WM_INITDIALOG
// and hands each message to a virtual handler; no exception leaves a handler. Modal and
// modeless dialogs differ only in how they are created and ended: DoModal runs our own message
// loop (so that PreTranslateMessage sees every message, also those of modeless windows), Create
// returns at once.
class CDialog : public CWindow {
public:
    explicit CDialog(int templateId, HWND parent = nullptr);
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;
    // Forgets the window before destroying it, so that no handler reaches a half-destroyed
    // object.
    virtual ~CDialog();

    // Shows the dialog with its owner disabled until EndDialog; returns EndDialog's result, or
    // -1 when the template could not be created.
    INT_PTR DoModal();
    // Creates the dialog modeless; false when the template could not be created.
    bool Create();
    // Ends a modal dialog with `result`; destroys a modeless one.
    void EndDialog(INT_PTR result);
    // Moves the members into the controls (false) or the controls into the members after
    // checking them (true); false when a check failed (the user has been told).
    bool UpdateData(bool saveAndValidate = true);

    // Sees each message of this dialog's window tree before it is dispatched; true when the
    // message has been handled and must not be dispatched.
    virtual bool PreTranslateMessage(MSG& message);

    // The program is ending and no window may wait for a user any more: every modal loop of this
    // thread ends as cancelled (the dialogs', the system's message boxes and dialogs, an open
    // menu), and from now on ShowMessage returns IDCANCEL without showing anything.
    static void EndEveryModalLoop();

protected:
    // Default: members into controls; true lets the system set the focus.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange& exchange);
    // Default: IDOK runs OnOK, IDCANCEL runs OnCancel. True when handled.
    virtual bool OnCommand(int id, int code, HWND control);
    // Default: controls into members, and the dialog ends with IDOK when they pass their checks.
    virtual void OnOK();
    virtual void OnCancel();
    // A result when handled.
    virtual std::optional<LRESULT> OnNotify(NMHDR& header);
    virtual void OnTimer(UINT_PTR id);
    // False lets the system turn the close box into IDCANCEL.
    virtual bool OnClose();
    virtual void OnDestroy();
    // False lets the system paint.
    virtual bool OnPaint();
    virtual void OnSize(UINT type, int width, int height);
    // Adjusts the proposed window rectangle while the user drags an edge.
    virtual void OnSizing(UINT edge, RECT& rect);
    // False lets the system handle the command.
    virtual bool OnSysCommand(UINT command, LPARAM lParam);
    // Called for each command item of a popup menu that this dialog owns, before it opens.
    virtual void OnUpdateCommand(CCommandState& state);
    // Any other message; a result when handled.
    virtual std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // The window is gone; a modeless dialog that owns itself may delete itself here.
    virtual void PostNcDestroy();

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static BOOL CALLBACK EndModalWindow(HWND window, LPARAM unused);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Answer(LRESULT result);
    bool ReflectToControl(UINT message, WPARAM wParam, LPARAM lParam);
    void UpdateMenuCommands(HMENU menu);
    void RunModalLoop();

    int m_templateId;
    HWND m_parent;
    bool m_modal = false;
    bool m_endModal = false;
    INT_PTR m_modalResult = -1;
};

// Whether EndEveryModalLoop has run.
bool ModalLoopsEnded();

// Offers a message to the program's dialog that contains its window: PreTranslateMessage, then
// the dialog keyboard (Tab, Enter, Esc, mnemonics). True when the message must not be
// dispatched. Every message loop of the program calls it.
bool PreTranslateDialogMessage(MSG& message);

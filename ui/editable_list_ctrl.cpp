#include "ui/editable_list_ctrl.h"

#include <algorithm>
#include <vector>

#include "res/resource.h"
#include "res/window_messages.h"

namespace {

constexpr int kToolbarId = 2;
constexpr int kImageSize = 12;
constexpr COLORREF kImageMask = RGB(255, 0, 255);
// A button as drawn before it is fitted into the caption band: the image and a 3-pixel frame.
constexpr int kNaturalButtonSize = kImageSize + 6;
constexpr int kCaptionInset = 5;
constexpr int kEditorShortfall = 10;  // the editor is this much narrower than the list
constexpr UINT_PTR kInnerSubclassId = 1;

bool KeyDown(int key) {
    return ::GetKeyState(key) < 0;
}

}  // namespace

const std::array<CEditableListCtrl::ButtonInfo, 4> CEditableListCtrl::kButtons = {{
    {kNewButton, kNewCommand, 0, VK_INSERT, false, "(Insert)"},
    {kDeleteButton, kDeleteCommand, 1, VK_DELETE, false, "(Delete)"},
    {kUpButton, kUpCommand, 2, VK_UP, true, "(Alt+Up)"},
    {kDownButton, kDownCommand, 3, VK_DOWN, true, "(Alt+Down)"},
}};

CEditableListCtrl::~CEditableListCtrl() {
    // The inner windows may outlive this object (a modeless owner): they must not call it.
    if (m_list.Hwnd() == nullptr) {
        return;
    }
    if (HWND editor = m_list.GetEditControl()) {
        ::RemoveWindowSubclass(editor, EditorProc, kInnerSubclassId);
    }
    ::RemoveWindowSubclass(m_list.Hwnd(), ListProc, kInnerSubclassId);
}

bool CEditableListCtrl::AttachPlaceholder(HWND placeholder) {
    if (!Attach(placeholder)) {
        return false;
    }
    ::SetWindowLongPtrA(m_handle, GWL_STYLE,
                        ::GetWindowLongPtrA(m_handle, GWL_STYLE) | WS_CLIPCHILDREN);
    // Lets the dialog's Tab key reach the inner list.
    ::SetWindowLongPtrA(m_handle, GWL_EXSTYLE,
                        ::GetWindowLongPtrA(m_handle, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
    HWND list = ::CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                                  WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT |
                                      LVS_NOCOLUMNHEADER | LVS_SINGLESEL | LVS_EDITLABELS,
                                  0, 0, 0, 0, m_handle,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)),
                                  ::GetModuleHandleA(nullptr), nullptr);
    if (list == nullptr) {
        Detach();
        return false;
    }
    m_list = CListView(list);
    m_list.Send(WM_SETFONT, reinterpret_cast<WPARAM>(CWindow(::GetParent(m_handle)).Font()));
    m_list.SetExtendedStyle(LVS_EX_FULLROWSELECT);
    m_list.InsertColumn(0, "", 0);
    ::SetWindowSubclass(list, ListProc, kInnerSubclassId, reinterpret_cast<DWORD_PTR>(this));
    Layout();
    return true;
}

void CEditableListCtrl::SetStandardButtons(unsigned buttons) {
    buttons &= kAllButtons;
    if (m_handle == nullptr || m_toolbar != nullptr || buttons == 0) {
        return;
    }
    m_toolbar = ::CreateWindowExA(
        0, TOOLBARCLASSNAMEA, "",
        WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | TBSTYLE_TRANSPARENT |
            CCS_NORESIZE | CCS_NODIVIDER | CCS_NOPARENTALIGN,
        0, 0, 0, 0, m_handle, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kToolbarId)),
        ::GetModuleHandleA(nullptr), nullptr);
    if (m_toolbar == nullptr) {
        return;
    }
    CWindow toolbar(m_toolbar);
    toolbar.Send(TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON));
    // The toolbar sizes its buttons for 16 x 15 images unless told otherwise.
    toolbar.Send(TB_SETBITMAPSIZE, 0, MakeLParam(kImageSize, kImageSize));
    m_images.LoadMasked(IDB_EDIT_LIST_BUTTONS, kImageSize, kImageMask);
    toolbar.Send(TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_images.Handle()));
    // Laid from the right end leftwards in the order new, delete, up, down.
    std::vector<TBBUTTON> row;
    for (auto button = kButtons.rbegin(); button != kButtons.rend(); ++button) {
        if ((buttons & button->bit) != 0) {
            TBBUTTON added{};
            added.iBitmap = button->image;
            added.idCommand = button->command;
            added.fsState = TBSTATE_ENABLED;
            added.fsStyle = BTNS_BUTTON;
            added.iString = -1;
            row.push_back(added);
        }
    }
    toolbar.Send(TB_ADDBUTTONSA, row.size(), reinterpret_cast<LPARAM>(row.data()));
    m_buttons = buttons;
    Layout();
}

void CEditableListCtrl::ShowSelectionAlways() {
    ::SetWindowLongPtrA(m_list.Hwnd(), GWL_STYLE,
                        ::GetWindowLongPtrA(m_list.Hwnd(), GWL_STYLE) | LVS_SHOWSELALWAYS);
}

int CEditableListCtrl::AddItem(std::string_view text, LPARAM data, int index) {
    if (!m_list.Exists()) {
        return -1;
    }
    return m_list.InsertItem(index < 0 ? m_list.GetItemCount() : index, text, data);
}

int CEditableListCtrl::GetCount() const {
    return m_list.Exists() ? m_list.GetItemCount() : -1;
}

std::string CEditableListCtrl::GetItemText(int index) const {
    return m_list.Exists() ? m_list.GetItemText(index) : std::string();
}

LPARAM CEditableListCtrl::GetItemData(int index) const {
    return m_list.Exists() ? m_list.GetItemData(index) : 0;
}

bool CEditableListCtrl::RemoveItem(int index) {
    if (!m_list.Exists() || index < 0 || index >= m_list.GetItemCount()) {
        return false;
    }
    bool wasSelected = GetSelection() == index;
    m_list.DeleteItem(index);
    int remaining = m_list.GetItemCount();
    if (wasSelected && remaining > 0) {
        SelectItem(std::min(index, remaining - 1));
    }
    return true;
}

int CEditableListCtrl::GetSelection() const {
    return m_list.Exists() ? m_list.GetNextItem(-1, LVNI_SELECTED) : -1;
}

void CEditableListCtrl::SelectItem(int index) {
    constexpr UINT kSelected = LVIS_SELECTED | LVIS_FOCUSED;
    m_list.SetItemState(index, kSelected, kSelected);
    m_list.EnsureVisible(index);
}

void CEditableListCtrl::EditItem(int index) {
    // The list opens an editor only while it has the focus; taking the focus also closes an
    // editor that is still open, keeping its text.
    m_list.Focus();
    m_list.EnsureVisible(index);
    m_list.EditLabel(index);
}

// The notifications accept everything unless the owner says otherwise.
bool CEditableListCtrl::OnBeforeRemoveItem(int) {
    return true;
}
bool CEditableListCtrl::OnAfterAddItem(int) {
    return true;
}
bool CEditableListCtrl::OnAfterRenameItem(int) {
    return true;
}
bool CEditableListCtrl::OnAfterMoveItemUp(int) {
    return true;
}
bool CEditableListCtrl::OnAfterMoveItemDown(int) {
    return true;
}

int CEditableListCtrl::ButtonSize() const {
    return m_captionHeight - 2;
}

void CEditableListCtrl::Layout() {
    RECT client = ClientRect();
    HDC dc = ::GetDC(m_handle);
    HGDIOBJ oldFont = ::SelectObject(dc, CWindow(::GetParent(m_handle)).Font());
    TEXTMETRICA metrics{};
    ::GetTextMetricsA(dc, &metrics);
    ::SelectObject(dc, oldFont);
    ::ReleaseDC(m_handle, dc);

    m_captionHeight = std::max(static_cast<int>(metrics.tmHeight * 4 / 3),
                               m_toolbar != nullptr ? kNaturalButtonSize : 0);
    if (m_toolbar != nullptr) {
        CWindow toolbar(m_toolbar);
        int size = ButtonSize();
        // The padding is what the button adds around its image; a button is never smaller.
        int padding = std::max(size - kImageSize, 0);
        toolbar.Send(TB_SETPADDING, 0, MakeLParam(padding, padding));
        toolbar.Send(TB_SETBUTTONSIZE, 0, MakeLParam(size, size));
        RECT last{};
        int count = static_cast<int>(toolbar.Send(TB_BUTTONCOUNT));
        toolbar.Send(TB_GETITEMRECT, static_cast<WPARAM>(count - 1),
                     reinterpret_cast<LPARAM>(&last));
        toolbar.Move({client.right - 1 - last.right, 1, client.right - 1, 1 + size});
    }
    m_list.Move({0, m_captionHeight, client.right, client.bottom});
    m_list.SetColumnWidth(
        0, client.right - ::GetSystemMetrics(SM_CXVSCROLL) - 2 * ::GetSystemMetrics(SM_CXEDGE));
    Invalidate(false);
}

void CEditableListCtrl::PaintCaption() {
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(m_handle, &paint);
    RECT band = ClientRect();
    band.bottom = m_captionHeight;
    ::FillRect(dc, &band, ::GetSysColorBrush(COLOR_3DFACE));
    ::DrawEdge(dc, &band, BDR_RAISEDINNER, BF_RECT);

    std::string caption = GetText();
    HGDIOBJ oldFont = ::SelectObject(dc, CWindow(::GetParent(m_handle)).Font());
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
    RECT text{band.left + kCaptionInset, band.top, band.right - kCaptionInset, band.bottom};
    ::DrawTextA(dc, caption.c_str(), static_cast<int>(caption.size()), &text,
                DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
    ::SelectObject(dc, oldFont);
    ::EndPaint(m_handle, &paint);
}

LRESULT CEditableListCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NOTIFYFORMAT:
            return NFR_ANSI;  // the inner list and the tool tips notify in 8-bit text
        case WM_NOTIFY:
            if (std::optional<LRESULT> result = OnNotify(*reinterpret_cast<NMHDR*>(lParam))) {
                return *result;
            }
            return 0;
        case WM_COMMAND:
            if (reinterpret_cast<HWND>(lParam) == m_toolbar && m_toolbar != nullptr) {
                RunCommand(LowWord(wParam));
                return 0;
            }
            break;
        case WM_LISTEDIT_ENDED:
            FinishEdit();
            return 0;
        case WM_SIZE:
            Layout();
            return 0;
        case WM_PAINT:
            PaintCaption();
            return 0;
        case WM_ERASEBKGND:
            return TRUE;  // the band is painted whole and the list covers the rest
        case WM_SETTEXT: {
            // The static control would paint its text over the band at once: store the caption
            // without it and repaint the band.
            LRESULT result = ::DefWindowProcW(m_handle, message, wParam, lParam);
            Invalidate(false);
            return result;
        }
        case WM_ENABLE:
            Invalidate(false);
            return 0;
        case WM_NCHITTEST:
            return HTCLIENT;  // a static control is transparent to the mouse; this one is not
        default:
            break;
    }
    return DefaultProc(message, wParam, lParam);
}

std::optional<LRESULT> CEditableListCtrl::OnNotify(NMHDR& header) {
    if (header.hwndFrom == m_list.Hwnd()) {
        switch (header.code) {
            case LVN_BEGINLABELEDITA:
                if (HWND editor = m_list.GetEditControl()) {
                    ::SetWindowSubclass(editor, EditorProc, kInnerSubclassId,
                                        reinterpret_cast<DWORD_PTR>(this));
                }
                return FALSE;
            case LVN_ENDLABELEDITA:
                OnEndEdit(reinterpret_cast<const NMLVDISPINFOA&>(header));
                return FALSE;  // the text is stored by FinishEdit
            case NM_DBLCLK:
                OnDoubleClick();
                return 0;
            default:
                return std::nullopt;
        }
    }
    if (header.code == TTN_GETDISPINFOA) {
        auto& info = reinterpret_cast<NMTTDISPINFOA&>(header);
        for (const ButtonInfo& button : kButtons) {
            if (static_cast<UINT_PTR>(button.command) == header.idFrom) {
                info.lpszText = const_cast<char*>(button.tip);
            }
        }
        return 0;
    }
    return std::nullopt;
}

// The list is in the middle of closing its editor: what follows from it (notifying the owner,
// who may show a message box or remove the entry, or dropping an empty new entry) waits until
// the list is done.
void CEditableListCtrl::OnEndEdit(const NMLVDISPINFOA& info) {
    EndedEdit ended{info.item.iItem, std::nullopt, m_newItem};
    if (info.item.pszText != nullptr) {
        ended.text = info.item.pszText;
    }
    m_newItem = false;
    m_endedEdits.push_back(std::move(ended));
    ::PostMessageA(m_handle, WM_LISTEDIT_ENDED, 0, 0);
}

void CEditableListCtrl::FinishEdit() {
    if (m_endedEdits.empty()) {
        return;
    }
    EndedEdit ended = std::move(m_endedEdits.front());
    m_endedEdits.pop_front();
    if (ended.index < 0 || ended.index >= GetCount()) {
        return;
    }
    if (ended.text && !ended.text->empty()) {
        m_list.SetItemText(ended.index, 0, *ended.text);
        if (ended.wasNew) {
            OnAfterAddItem(ended.index);
        } else {
            OnAfterRenameItem(ended.index);
        }
    } else if (ended.wasNew) {
        RemoveItem(ended.index);  // an empty or cancelled new entry goes without a word
    }
}

void CEditableListCtrl::OnDoubleClick() {
    int selected = GetSelection();
    if (selected >= 0) {
        EditItem(selected);
    } else if ((m_buttons & kNewButton) != 0) {
        NewItem();
    }
}

bool CEditableListCtrl::OnKey(UINT key) {
    bool ctrl = KeyDown(VK_CONTROL);
    bool alt = KeyDown(VK_MENU);
    bool shift = KeyDown(VK_SHIFT);
    for (const ButtonInfo& button : kButtons) {
        if ((m_buttons & button.bit) != 0 && key == button.key && alt == button.alt && !ctrl &&
            !shift) {
            RunCommand(button.command);
            return true;
        }
    }
    if (!ctrl && !alt && !shift && (key == VK_SPACE || key == VK_F2)) {
        int selected = GetSelection();
        if (selected >= 0) {
            EditItem(selected);
            return true;
        }
    }
    return false;
}

void CEditableListCtrl::RunCommand(int command) {
    // A button takes no focus: an entry still being edited ends first, its text stored, so that
    // the command acts on the list the user sees. Moved while its text was still the old one,
    // the entry left its editor's index behind, and the edit then overwrote another entry.
    if (m_list.GetEditControl() != nullptr) {
        m_list.Focus();
    }
    while (!m_endedEdits.empty()) {
        FinishEdit();
    }
    switch (command) {
        case kNewCommand:
            NewItem();
            break;
        case kDeleteCommand:
            DeleteSelected();
            break;
        case kUpCommand:
            MoveSelected(-1);
            break;
        case kDownCommand:
            MoveSelected(+1);
            break;
        default:
            break;
    }
}

void CEditableListCtrl::NewItem() {
    m_list.Focus();  // closes an editor that is still open before the new entry exists
    int index = AddItem("");
    if (index < 0) {
        return;
    }
    SelectItem(index);
    m_newItem = true;
    EditItem(index);
    if (m_list.GetEditControl() == nullptr) {
        m_newItem = false;  // no editor came up: the empty entry must not stay behind
        RemoveItem(index);
    }
}

void CEditableListCtrl::DeleteSelected() {
    int selected = GetSelection();
    if (selected >= 0 && OnBeforeRemoveItem(selected)) {
        RemoveItem(selected);
    }
}

void CEditableListCtrl::MoveSelected(int step) {
    int selected = GetSelection();
    int target = selected + step;
    if (selected < 0 || target < 0 || target >= GetCount()) {
        return;
    }
    std::string text = m_list.GetItemText(selected);
    LPARAM data = m_list.GetItemData(selected);
    m_list.DeleteItem(selected);
    m_list.InsertItem(target, text, data);
    SelectItem(target);
    m_list.Invalidate();
    if (step < 0) {
        OnAfterMoveItemUp(target);
    } else {
        OnAfterMoveItemDown(target);
    }
}

LRESULT CALLBACK CEditableListCtrl::ListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR, DWORD_PTR self) {
    auto* control = reinterpret_cast<CEditableListCtrl*>(self);
    switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            if (Guarded([&] { return control->OnKey(static_cast<UINT>(wParam)); }, true)) {
                return 0;
            }
            break;
        case WM_CHAR:
            if (wParam == ' ' && control->m_list.GetEditControl() != nullptr) {
                return 0;  // the space that opened the editor must not also act on the list
            }
            break;
        case WM_NCDESTROY:
            ::RemoveWindowSubclass(hwnd, ListProc, kInnerSubclassId);
            control->m_list = CListView();  // requests from now on find no window
            break;
        default:
            break;
    }
    return ::DefSubclassProc(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK CEditableListCtrl::EditorProc(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam, UINT_PTR, DWORD_PTR self) {
    auto* control = reinterpret_cast<CEditableListCtrl*>(self);
    if (message == WM_WINDOWPOSCHANGING) {
        // The list sizes its editor to the text; ours spans the list less a margin.
        auto* position = reinterpret_cast<WINDOWPOS*>(lParam);
        if ((position->flags & SWP_NOSIZE) == 0) {
            position->cx = RectWidth(control->m_list.ClientRect()) - kEditorShortfall;
        }
    } else if (message == WM_NCDESTROY) {
        ::RemoveWindowSubclass(hwnd, EditorProc, kInnerSubclassId);
    }
    return ::DefSubclassProc(hwnd, message, wParam, lParam);
}

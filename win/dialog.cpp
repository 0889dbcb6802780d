#include "win/dialog.h"

#include <string_view>
#include <unordered_map>

#include "win/data_exchange.h"

namespace {

// The dialogs whose windows exist, by window; all of them live on the user-interface thread.
std::unordered_map<HWND, CDialog*>& LiveDialogs() {
    static std::unordered_map<HWND, CDialog*> dialogs;
    return dialogs;
}

CDialog* DialogOf(HWND hwnd) {
    auto found = LiveDialogs().find(hwnd);
    return found == LiveDialogs().end() ? nullptr : found->second;
}

bool g_modalLoopsEnded = false;

}  // namespace

void CCommandState::Enable(bool enable) const {
    ::EnableMenuItem(m_menu, m_position, MF_BYPOSITION | (enable ? MF_ENABLED : MF_GRAYED));
}

void CCommandState::SetCheck(bool check) const {
    ::CheckMenuItem(m_menu, m_position, MF_BYPOSITION | (check ? MF_CHECKED : MF_UNCHECKED));
}

CDialog::CDialog(int templateId, HWND parent) : m_templateId(templateId), m_parent(parent) {}

CDialog::~CDialog() {
    if (m_handle != nullptr) {
        ::SetWindowLongPtrA(m_handle, GWLP_USERDATA, 0);
        LiveDialogs().erase(m_handle);
        HWND hwnd = m_handle;
        m_handle = nullptr;
        ::DestroyWindow(hwnd);
    }
}

INT_PTR CDialog::DoModal() {
    m_modal = true;
    m_endModal = false;
    m_modalResult = -1;
    if (!Create()) {
        m_modal = false;
        return -1;
    }
    // The owner is the top-level window: a disabled child would leave its window usable.
    HWND owner = m_parent != nullptr ? ::GetAncestor(m_parent, GA_ROOT) : nullptr;
    bool ownerDisabled = owner != nullptr && ::IsWindowEnabled(owner);
    if (ownerDisabled) {
        ::EnableWindow(owner, FALSE);
    }
    if (!m_endModal && m_handle != nullptr && !IsVisible()) {
        Show(SW_SHOWNORMAL);
    }
    RunModalLoop();
    // The owner is enabled again before the dialog goes, so that the system activates it.
    if (ownerDisabled) {
        ::EnableWindow(owner, TRUE);
    }
    if (m_handle != nullptr) {
        ::DestroyWindow(m_handle);
    }
    m_modal = false;
    return m_modalResult;
}

void CDialog::RunModalLoop() {
    MSG message{};
    while (!m_endModal) {
        BOOL got = ::GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) {
            // The quit belongs to the outer loop: leave this one and post it again.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (got == -1) {
            break;
        }
        if (!PreTranslateDialogMessage(message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    }
}

bool CDialog::Create() {
    HWND hwnd = ::CreateDialogParamA(::GetModuleHandleA(nullptr), ResourceName(m_templateId),
                                     m_parent, DialogProc, reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr;
}

void CDialog::EndDialog(INT_PTR result) {
    if (m_modal) {
        m_modalResult = result;
        m_endModal = true;
        // Wakes the modal loop when no message is waiting.
        ::PostMessageA(m_handle, WM_NULL, 0, 0);
    } else if (m_handle != nullptr) {
        ::DestroyWindow(m_handle);
    }
}

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange exchange(m_handle, saveAndValidate);
    DoDataExchange(exchange);
    return !exchange.Failed();
}

bool CDialog::PreTranslateMessage(MSG&) {
    return false;
}

void CDialog::EndEveryModalLoop() {
    g_modalLoopsEnded = true;
    ::EndMenu();
    ::EnumThreadWindows(::GetCurrentThreadId(), EndModalWindow, 0);
}

BOOL CALLBACK CDialog::EndModalWindow(HWND window, LPARAM) {
    char className[8] = {};
    if (CDialog* dialog = DialogOf(window)) {
        if (dialog->m_modal) {
            dialog->EndDialog(IDCANCEL);
        }
    } else if (::GetClassNameA(window, className, sizeof className) > 0 &&
               std::string_view(className) == "#32770") {
        // A message box or a common dialog of the system, which runs a loop of its own.
        ::EndDialog(window, IDCANCEL);
    }
    return TRUE;
}

bool ModalLoopsEnded() {
    return g_modalLoopsEnded;
}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(CDataExchange&) {}

bool CDialog::OnCommand(int id, int, HWND) {
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

void CDialog::OnOK() {
    if (UpdateData(true)) {
        EndDialog(IDOK);
    }
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

std::optional<LRESULT> CDialog::OnNotify(NMHDR&) {
    return std::nullopt;
}

void CDialog::OnTimer(UINT_PTR) {}

bool CDialog::OnClose() {
    return false;
}

void CDialog::OnDestroy() {}

bool CDialog::OnPaint() {
    return false;
}

void CDialog::OnSize(UINT, int, int) {}

void CDialog::OnSizing(UINT, RECT&) {}

bool CDialog::OnSysCommand(UINT, LPARAM) {
    return false;
}

void CDialog::OnUpdateCommand(CCommandState&) {}

std::optional<LRESULT> CDialog::OnMessage(UINT, WPARAM, LPARAM) {
    return std::nullopt;
}

void CDialog::PostNcDestroy() {}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NOTIFYFORMAT) {
        // Common controls ask this while the dialog creates them, before WM_INITDIALOG: the
        // program's code handles only the 8-bit forms of their notifications.
        ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, NFR_ANSI);
        return TRUE;
    }
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CDialog*>(lParam);
        self->m_handle = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, lParam);
        LiveDialogs()[hwnd] = self;
    }
    auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return FALSE;
    }
    INT_PTR result = Guarded([&] { return self->Dispatch(message, wParam, lParam); },
                             static_cast<INT_PTR>(FALSE));
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        LiveDialogs().erase(hwnd);
        self->m_handle = nullptr;
        self->m_endModal = true;
        Guarded(
            [&] {
                self->PostNcDestroy();
                return 0;
            },
            0);
    }
    return result;
}

INT_PTR CDialog::Answer(LRESULT result) {
    ::SetWindowLongPtrA(m_handle, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog() ? TRUE : FALSE;
        case WM_COMMAND:
            return OnCommand(LowWord(wParam), HighWord(wParam), reinterpret_cast<HWND>(lParam));
        case WM_NOTIFY: {
            std::optional<LRESULT> result = OnNotify(*reinterpret_cast<NMHDR*>(lParam));
            return result ? Answer(*result) : FALSE;
        }
        case WM_TIMER:
            OnTimer(wParam);
            return FALSE;
        case WM_CLOSE:
            return OnClose() ? TRUE : FALSE;
        case WM_DESTROY:
            OnDestroy();
            return FALSE;
        case WM_PAINT:
            return OnPaint() ? TRUE : FALSE;
        case WM_SIZE:
            OnSize(static_cast<UINT>(wParam), LowWord(static_cast<WPARAM>(lParam)),
                   HighWord(static_cast<WPARAM>(lParam)));
            return FALSE;
        case WM_SIZING:
            OnSizing(static_cast<UINT>(wParam), *reinterpret_cast<RECT*>(lParam));
            return Answer(TRUE);
        case WM_SYSCOMMAND:
            return OnSysCommand(static_cast<UINT>(wParam), lParam) ? TRUE : FALSE;
        case WM_INITMENUPOPUP:
            if (HighWord(static_cast<WPARAM>(lParam)) == 0) {  // not the system menu
                UpdateMenuCommands(reinterpret_cast<HMENU>(wParam));
            }
            return FALSE;
        case WM_DRAWITEM:
        case WM_MEASUREITEM:
            return ReflectToControl(message, wParam, lParam) ? TRUE : FALSE;
        default: {
            std::optional<LRESULT> result = OnMessage(message, wParam, lParam);
            return result ? Answer(*result) : FALSE;
        }
    }
}

// Owner-drawn controls receive their drawing messages through their parent; a control object
// attached to the child draws itself.
bool CDialog::ReflectToControl(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND control = nullptr;
    if (message == WM_DRAWITEM) {
        control = reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem;
    } else {
        control = Item(static_cast<int>(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->CtlID));
    }
    CSubclassedWindow* object = CSubclassedWindow::FromHandle(control);
    LRESULT result = 0;
    if (object == nullptr || !object->OnReflectedMessage(message, wParam, lParam, result)) {
        return false;
    }
    Answer(result);
    return true;
}

void CDialog::UpdateMenuCommands(HMENU menu) {
    int count = ::GetMenuItemCount(menu);
    for (int position = 0; position < count; ++position) {
        UINT id = ::GetMenuItemID(menu, position);
        if (id == 0 || id == static_cast<UINT>(-1)) {  // separator or submenu
            continue;
        }
        CCommandState state(menu, static_cast<UINT>(position), id);
        OnUpdateCommand(state);
    }
}

bool PreTranslateDialogMessage(MSG& message) {
    if (message.hwnd == nullptr) {
        return false;
    }
    HWND root = ::GetAncestor(message.hwnd, GA_ROOT);
    CDialog* dialog = DialogOf(root);
    if (dialog == nullptr) {
        return false;
    }
    return dialog->PreTranslateMessage(message) || ::IsDialogMessageA(root, &message) != FALSE;
}

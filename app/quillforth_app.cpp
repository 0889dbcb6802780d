#include "app/quillforth_app.h"

#include <winsock2.h>

#include "app/quillforth_dlg.h"
#include "app/registry_profile.h"
#include "res/resource.h"
#include "win/message_box.h"

CQuillforthApp::CQuillforthApp() : CApplication("Quillforth") {}

namespace {

// Creates the mutex `name` into `handle`; true when another copy holds it already (one of another
// user may also deny this one the access).
bool HeldByAnotherCopy(const char* name, HANDLE& handle) {
    handle = ::CreateMutexA(nullptr, FALSE, name);
    const DWORD error = ::GetLastError();
    return handle == nullptr ? error == ERROR_ACCESS_DENIED : error == ERROR_ALREADY_EXISTS;
}

}  // namespace

CQuillforthApp::~CQuillforthApp() {
    if (m_socketsStarted) {
        ::WSACleanup();
    }
    for (HANDLE mutex : {m_machineMutex, m_sessionMutex}) {
        if (mutex != nullptr) {
            ::CloseHandle(mutex);
        }
    }
}

bool CQuillforthApp::InitInstance() {
    // The mutexes stay open for the life of the process; the copy that finds one only says so,
    // before it touches anything. The session's first: a copy that holds the machine's holds it.
    if (HeldByAnotherCopy(kSessionInstanceMutex, m_sessionMutex)) {
        ShowMessage(kAlreadyRunningMessage, MB_OK);
        return false;
    }
    if (HeldByAnotherCopy(kMachineInstanceMutex, m_machineMutex)) {
        ShowMessage(kRunningInOtherSessionMessage, MB_OK);
        return false;
    }

    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        char text[128] = {};
        ::LoadStringA(::GetModuleHandleA(nullptr), IDS_SOCKETS_INIT_FAILED, text, sizeof text);
        ShowMessage(text, MB_OK);
        return false;
    }
    m_socketsStarted = true;
    // The per-user profile lives under HKEY_CURRENT_USER\Software\<kRegistryCompany>\<exe name>:
    // CRegistryProfile knows the root, nothing needs to be set up for it.

    CQuillforthDlg dialog;
    dialog.DoModal();
    SetMainWindow(nullptr);
    return false;
}

bool RunsAsAdministrator() {
    BYTE group[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof group;
    BOOL member = FALSE;
    // A filtered token holds the group for denying only, and CheckTokenMembership skips it.
    return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, group, &size) &&
           ::CheckTokenMembership(nullptr, group, &member) && member;
}

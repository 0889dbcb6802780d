#include "app/quillforth_app.h"

#include <winsock2.h>

#include "app/quillforth_dlg.h"
#include "app/registry_profile.h"
#include "res/resource.h"
#include "win/message_box.h"

CQuillforthApp::CQuillforthApp() : CApplication("Quillforth") {}

CQuillforthApp::~CQuillforthApp() {
    if (m_socketsStarted) {
        ::WSACleanup();
    }
    if (m_mutex != nullptr) {
        ::CloseHandle(m_mutex);
    }
}

bool CQuillforthApp::InitInstance() {
    // The mutex stays open for the life of the process; the copy that finds it only says so.
    m_mutex = ::CreateMutexA(nullptr, FALSE, kSingleInstanceMutex);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ShowMessage(kAlreadyRunningMessage, MB_OK);
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

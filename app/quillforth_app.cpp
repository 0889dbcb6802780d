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
    if (m_crashLibrary != nullptr) {
        ::FreeLibrary(m_crashLibrary);
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

    LoadCrashLibrary();

    CQuillforthDlg dialog;
    dialog.DoModal();
    SetMainWindow(nullptr);
    return false;
}

void CQuillforthApp::LoadCrashLibrary() {
    if (m_crashLibrary != nullptr) {
        return;
    }
    m_crashLibrary = ::LoadLibraryExA(kCrashLibraryName, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (m_crashLibrary == nullptr) {
        return;
    }
    using SetFlags = void(WINAPI*)(DWORD);
    FARPROC address = ::GetProcAddress(m_crashLibrary, kCrashLibraryExport);
    if (address != nullptr) {
        reinterpret_cast<SetFlags>(reinterpret_cast<void*>(address))(kCrashLibraryFlags);
    }
}

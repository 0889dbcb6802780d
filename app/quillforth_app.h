#pragma once

#include <windows.h>

#include "res/program_names.h"
#include "win/application.h"

inline constexpr char kAlreadyRunningMessage[] = "Quillforth is already running!";
// The optional crash-report library and the export that switches its handler on.
inline constexpr char kCrashLibraryName[] = "Faultsnare.dll";
inline constexpr char kCrashLibraryExport[] = "SetXCPTHLRFlags";
inline constexpr DWORD kCrashLibraryFlags = 0x1830;

// The program: one copy at a time, Windows Sockets, then the main dialog for the whole life of
// the process.
class CQuillforthApp : public CApplication {
public:
    CQuillforthApp();
    ~CQuillforthApp() override;

protected:
    bool InitInstance() override;

private:
    void LoadCrashLibrary();

    HANDLE m_mutex = nullptr;
    HMODULE m_crashLibrary = nullptr;
    bool m_socketsStarted = false;
};

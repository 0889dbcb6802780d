#pragma once

#include <windows.h>

#include "res/program_names.h"
#include "win/application.h"

inline constexpr char kAlreadyRunningMessage[] = "Quillforth is already running!";
inline constexpr char kRunningInOtherSessionMessage[] =
    "Quillforth is already running in another session";

// The program: one copy on the machine at a time, Windows Sockets, then the main dialog for the
// whole life of the process.
class CQuillforthApp : public CApplication {
public:
    CQuillforthApp();
    ~CQuillforthApp() override;

protected:
    bool InitInstance() override;

private:
    HANDLE m_sessionMutex = nullptr;
    HANDLE m_machineMutex = nullptr;
    bool m_socketsStarted = false;
};

// True when the process holds administrator rights: a member of the Administrators group whose
// token is not the filtered one that UAC gives a program started without elevation.
bool RunsAsAdministrator();

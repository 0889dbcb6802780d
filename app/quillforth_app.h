#pragma once

#include <windows.h>

#include "win/application.h"

// The name of the mutex that keeps a second copy of the program from running.
inline constexpr char kSingleInstanceMutex[] = "{4F1E2A90-7C3B-4D52-M7PA-0B9D6E3A1C74}_QUILLFORTH";
inline constexpr char kAlreadyRunningMessage[] = "Quillforth is already running!";

// The program: one copy at a time, Windows Sockets, then the main dialog for the whole life of
// the process.
class CQuillforthApp : public CApplication {
public:
    CQuillforthApp();
    ~CQuillforthApp() override;

protected:
    bool InitInstance() override;

private:
    HANDLE m_hMutex = nullptr;
    bool m_bSocketsStarted = false;
};

// True when the process holds administrator rights: a member of the Administrators group whose
// token is not the filtered one that UAC gives a program started without elevation.
bool RunsAsAdministrator();

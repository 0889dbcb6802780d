// Windows Sockets must come before windows.h, which would otherwise bring in the old version.
#include <winsock2.h>

#include <windows.h>

#include "daemon/platform.h"

namespace {

HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(g_stopEvent);
    // Windows ends the process once a handler returns from a close event; give main the time
    // to save the cache first.
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

bool PrepareDaemonProcess() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return false;
    }
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return g_stopEvent != nullptr && SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}

void WaitForStopSignal() {
    WaitForSingleObject(g_stopEvent, INFINITE);
}

// Windows Sockets must come before windows.h, which would otherwise bring in the old version.
#include <winsock2.h>

#include <windows.h>

#include <shellapi.h>

#include <algorithm>

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

std::vector<std::string> DaemonArguments(int, char**) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int index = 1; wide != nullptr && index < count; ++index) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, wide[index], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<size_t>(std::max(size, 1)), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[index], -1, text.data(), size, nullptr, nullptr);
        text.resize(text.size() - 1);  // the terminating zero
        arguments.push_back(std::move(text));
    }
    LocalFree(wide);
    return arguments;
}

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

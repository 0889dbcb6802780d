// Windows Sockets must come before windows.h, which would otherwise bring in the old version.
#include <winsock2.h>

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <thread>

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

// The end of the Windows session comes as window messages: a console program that loads the
// system's window library (the shell's command-line parser does) gets no logoff or shutdown
// event, and without this window it would be ended without its last save.
LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam != FALSE) {
                SetEvent(g_stopEvent);
                // Windows ends the process once this returns; main ends it after the save.
                Sleep(INFINITE);
            }
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// A hidden top-level window (one only for messages hears no session end) and its loop, on a
// thread that ends with the process.
bool WatchSessionEnd() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = OnSessionMessage;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QuillforthdSessionEnd";
    if (RegisterClassW(&windowClass) == 0) {
        return false;
    }
    std::thread([] {
        if (CreateWindowExW(0, L"QuillforthdSessionEnd", L"quillforthd", WS_OVERLAPPED, 0, 0, 0, 0,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr) == nullptr) {
            return;
        }
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
    }).detach();
    return true;
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
    return g_stopEvent != nullptr && SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE &&
           WatchSessionEnd();
}

void WaitForStopSignal() {
    WaitForSingleObject(g_stopEvent, INFINITE);
}

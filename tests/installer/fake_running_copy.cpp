// A running Quillforth for the setup helper's tests: the single-instance mutexes and a dialog-class
// window CAPTION until the tray's Exit command (then 0), or 60 s at most. --other-session plays a
// copy of another session: the machine's mutex alone.
//     fake_running_copy CAPTION [--ignore-exit] [--no-mutex] [--other-session]
//                       [--window-after-ms N]
#include <windows.h>

#include <cstdlib>
#include <string_view>

#include "res/program_names.h"
#include "res/resource.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        return 64;
    }
    bool obey = true;
    bool holdMutex = true;
    bool otherSession = false;
    DWORD windowDelayMs = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string_view option = argv[i];
        obey = obey && option != "--ignore-exit";
        holdMutex = holdMutex && option != "--no-mutex";
        otherSession = otherSession || option == "--other-session";
        if (option == "--window-after-ms" && i + 1 < argc) {
            windowDelayMs = static_cast<DWORD>(std::atoi(argv[++i]));
        }
    }
    HANDLE session = holdMutex && !otherSession
                         ? ::CreateMutexA(nullptr, FALSE, kSessionInstanceMutex)
                         : nullptr;
    HANDLE machine = holdMutex ? ::CreateMutexA(nullptr, FALSE, kMachineInstanceMutex) : nullptr;
    // A program that is still starting: the mutex exists, the window not yet.
    ::Sleep(windowDelayMs);
    HWND window = ::CreateWindowExA(0, "#32770", argv[1], WS_POPUP, 0, 0, 40, 40, nullptr, nullptr,
                                    ::GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
        return 3;
    }
    constexpr UINT_PTR kLifetimeTimer = 1;
    ::SetTimer(window, kLifetimeTimer, 60000, nullptr);
    int exitCode = 1;
    MSG message{};
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.wParam == kLifetimeTimer) {
            break;
        }
        if (obey && message.message == WM_COMMAND && LOWORD(message.wParam) == ID_TRAY_EXIT) {
            exitCode = 0;
            break;
        }
        ::DispatchMessageA(&message);
    }
    ::DestroyWindow(window);
    for (HANDLE mutex : {machine, session}) {
        if (mutex != nullptr) {
            ::CloseHandle(mutex);
        }
    }
    // A process ends a moment after it let go of the mutex, and holds its exe until then.
    ::Sleep(300);
    return exitCode;
}

// Plays a running Quillforth for the setup helper's tests: holds the program's single-instance
// mutex and shows a dialog-class window with the given caption until that window is sent the
// tray's Exit command; then it ends with 0.
//     fake_running_copy CAPTION [--ignore-exit] [--no-mutex] [--window-after-ms N]
// --ignore-exit keeps it running whatever it is sent; it ends by itself after 30 s in any case.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/quillforth_app.h"
#include "res/resource.h"

namespace {

constexpr UINT kLifetimeMs = 30000;
constexpr UINT_PTR kLifetimeTimer = 1;
constexpr DWORD kEndingMs = 300;

bool HasFlag(int argc, char** argv, std::string_view flag) {
    for (int i = 2; i < argc; ++i) {
        if (flag == argv[i]) {
            return true;
        }
    }
    return false;
}

DWORD WindowDelay(int argc, char** argv) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--window-after-ms") == 0) {
            return static_cast<DWORD>(std::atoi(argv[i + 1]));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 64;
    }
    HANDLE mutex = HasFlag(argc, argv, "--no-mutex")
                       ? nullptr
                       : ::CreateMutexA(nullptr, FALSE, kSingleInstanceMutex);
    // A program that is still starting: the mutex exists, the window not yet.
    ::Sleep(WindowDelay(argc, argv));
    HWND window = ::CreateWindowExA(0, "#32770", argv[1], WS_POPUP, 0, 0, 40, 40, nullptr, nullptr,
                                    ::GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
        return 3;
    }
    ::SetTimer(window, kLifetimeTimer, kLifetimeMs, nullptr);
    const bool obey = !HasFlag(argc, argv, "--ignore-exit");
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
    if (mutex != nullptr) {
        ::CloseHandle(mutex);
    }
    // A process ends a moment after it let go of the mutex, and holds its exe until then.
    ::Sleep(kEndingMs);
    return exitCode;
}

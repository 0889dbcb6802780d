#include "installer/running_copy.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#include "res/program_names.h"
#include "res/resource.h"

namespace {

using namespace std::chrono_literals;

constexpr char kDialogClass[] = "#32770";
constexpr auto kPollInterval = 100ms;

using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, decltype(&::CloseHandle)>;

bool IsMainWindow(HWND window) {
    std::array<char, sizeof kDialogClass + 1> className{};
    ::GetClassNameA(window, className.data(), static_cast<int>(className.size()));
    if (std::strcmp(className.data(), kDialogClass) != 0) {
        return false;
    }
    std::array<char, 64> caption{};
    ::GetWindowTextA(window, caption.data(), static_cast<int>(caption.size()));
    return std::string_view(caption.data()).starts_with(kMainCaptionPrefix);
}

BOOL CALLBACK CollectMainWindow(HWND window, LPARAM windows) {
    if (IsMainWindow(window)) {
        reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    }
    return TRUE;
}

// Hidden windows too: a copy that runs in the tray has its dialog hidden.
std::vector<HWND> FindMainWindows() {
    std::vector<HWND> windows;
    ::EnumWindows(CollectMainWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// A mutex lives as long as the process that created it, a little longer than its window.
bool MutexExists(const char* name) {
    HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (mutex == nullptr) {
        // One that this process may not open still exists.
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    ::CloseHandle(mutex);
    return true;
}

// Opened before the window is asked, so that a quick exit cannot be missed.
UniqueHandle OpenProcessOf(HWND window) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    return {::OpenProcess(SYNCHRONIZE, FALSE, processId), &::CloseHandle};
}

bool HasEnded(const UniqueHandle& process) {
    return !process || ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

CloseOutcome CloseRunningCopies(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<HWND> asked;
    std::vector<UniqueHandle> processes;
    CloseOutcome outcome;
    for (;;) {
        for (HWND window : FindMainWindows()) {
            if (std::ranges::find(asked, window) != asked.end()) {
                continue;
            }
            asked.push_back(window);
            processes.push_back(OpenProcessOf(window));
            ::PostMessageA(window, WM_COMMAND, ID_TRAY_EXIT, 0);
        }
        const bool sessionCopy = MutexExists(kSessionInstanceMutex);
        const bool machineCopy = MutexExists(kMachineInstanceMutex);
        // A copy of this session makes the session's mutex first and holds it while it runs.
        if (asked.empty() && machineCopy && !sessionCopy) {
            outcome.otherSession = true;
            break;
        }
        if (std::ranges::all_of(processes, HasEnded) && !sessionCopy && !machineCopy) {
            outcome.ended = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        ::Sleep(static_cast<DWORD>(kPollInterval.count()));
    }
    outcome.asked = static_cast<int>(asked.size());
    return outcome;
}

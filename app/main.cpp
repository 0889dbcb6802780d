#include <windows.h>

#include "app/quillforth_app.h"

namespace {

// The libraries that the program loads itself, and those that the system loads for it, come from
// the system folder alone: the program's folder and the current one may hold a library of anyone's
// making, and the program runs with administrator rights.
void LoadLibrariesFromTheSystemOnly() {
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    // Windows 7 has it only with its update KB2533623.
    const FARPROC found =
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    // GetProcAddress gives a generic function pointer; void (*)() converts to any other.
    if (found == nullptr || !reinterpret_cast<SetDirectories>(reinterpret_cast<void (*)()>(found))(
                                LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // At least not the current folder.
        ::SetDllDirectoryW(L"");
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    LoadLibrariesFromTheSystemOnly();
    CQuillforthApp application;
    return application.Run();
}

#include "app/data_folder.h"

#include <windows.h>

#include <shlobj.h>

#include "win/unicode.h"

namespace {

// %LOCALAPPDATA%\Quillforth\, created when missing; empty when the system can't give it.
std::string LocalDataFolder() {
    PWSTR base = nullptr;
    std::string folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &base))) {
        const std::wstring path = std::wstring(base) + L"\\Quillforth";
        if (::CreateDirectoryW(path.c_str(), nullptr) != FALSE ||
            ::GetLastError() == ERROR_ALREADY_EXISTS) {
            folder = ToUtf8(path) + "\\";
        }
    }
    ::CoTaskMemFree(base);
    return folder;
}

}  // namespace

bool CanWriteIn(const std::string& folder) {
    const std::wstring probe =
        ToUtf16(folder) + L"Quillforth-" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::CloseHandle(file);
    return true;
}

DataFolder ChooseDataFolder(const std::string& executableFolder,
                            const std::vector<std::string>& files) {
    if (CanWriteIn(executableFolder)) {
        return {executableFolder, false};
    }
    const std::string local = LocalDataFolder();
    if (local.empty()) {
        return {executableFolder, false};
    }
    for (const std::string& name : files) {
        // Refused when the local folder has the file already, or there is none to copy.
        ::CopyFileW(ToUtf16(executableFolder + name).c_str(), ToUtf16(local + name).c_str(), TRUE);
    }
    return {local, true};
}

#include <windows.h>

#include <algorithm>
#include <optional>

#include "cache/replace_file.h"

namespace {

// The wide form of a UTF-8 path; none when it is not UTF-8.
std::optional<std::wstring> WidePath(const std::string& path) {
    const int length = static_cast<int>(path.size());
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
    if (size <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, wide.data(), size);
    return wide;
}

constexpr int kReplaceAttempts = 10;
constexpr DWORD kReplaceRetryDelayMs = 100;

// The failures of a file that another program has open for the moment.
bool HeldByAnother(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

bool WriteAll(HANDLE file, std::string_view content) {
    constexpr std::size_t kChunk = 1 << 30;
    while (!content.empty()) {
        DWORD written = 0;
        const auto size = static_cast<DWORD>(std::min(content.size(), kChunk));
        if (WriteFile(file, content.data(), size, &written, nullptr) == FALSE || written == 0) {
            return false;
        }
        content.remove_prefix(written);
    }
    return true;
}

}  // namespace

// The new file's permissions are those that its folder gives new files.
bool WriteWholeFile(const std::string& path, std::string_view content,
                    const std::string& /*replacing*/, int& error) {
    const std::optional<std::wstring> wide = WidePath(path);
    if (!wide) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    HANDLE file = CreateFileW(wide->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    bool ok = WriteAll(file, content) && FlushFileBuffers(file) != FALSE;
    if (!ok) {
        error = static_cast<int>(GetLastError());
    }
    if (CloseHandle(file) == FALSE && ok) {
        ok = false;
        error = static_cast<int>(GetLastError());
    }
    if (!ok) {
        DeleteFileW(wide->c_str());
    }
    return ok;
}

bool ReplaceFileWith(const std::string& from, const std::string& to, int& error) {
    const std::optional<std::wstring> wideFrom = WidePath(from);
    const std::optional<std::wstring> wideTo = WidePath(to);
    if (!wideFrom || !wideTo) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    // A scanner, the search indexer or a backup tool may hold the old file for a moment.
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(wideFrom->c_str(), wideTo->c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE) {
            return true;
        }
        error = static_cast<int>(GetLastError());
        if (!HeldByAnother(static_cast<DWORD>(error)) || attempt == kReplaceAttempts) {
            return false;
        }
        Sleep(kReplaceRetryDelayMs);
    }
}

void RemoveFile(const std::string& path) {
    if (const std::optional<std::wstring> wide = WidePath(path)) {
        DeleteFileW(wide->c_str());
    }
}

OpenFailure WhyNotReadable(const std::string& path) {
    const std::optional<std::wstring> wide = WidePath(path);
    if (!wide) {
        return OpenFailure::kMissing;
    }
    // Opened as the C library opens a file for reading, so that the same failure comes back.
    HANDLE file = CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        // Released meanwhile.
        CloseHandle(file);
        return OpenFailure::kHeld;
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OpenFailure::kMissing;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return OpenFailure::kHeld;
        default:
            return OpenFailure::kOther;
    }
}

#include "win/unicode.h"

namespace {

// One conversion with its flags; false when the system refuses the text.
bool Widen(std::string_view utf8, DWORD flags, std::wstring& utf16) {
    const int length = static_cast<int>(utf8.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, flags, utf8.data(), length, nullptr, 0);
    if (size <= 0) {
        return false;
    }
    std::wstring converted(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, flags, utf8.data(), length, converted.data(), size);
    utf16 = std::move(converted);
    return true;
}

bool Narrow(std::wstring_view utf16, DWORD flags, std::string& utf8) {
    const int length = static_cast<int>(utf16.size());
    const int size =
        ::WideCharToMultiByte(CP_UTF8, flags, utf16.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return false;
    }
    std::string converted(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, flags, utf16.data(), length, converted.data(), size, nullptr,
                          nullptr);
    utf8 = std::move(converted);
    return true;
}

}  // namespace

std::wstring ToUtf16(std::string_view utf8) {
    std::wstring utf16;
    Widen(utf8, 0, utf16);
    return utf16;
}

std::string ToUtf8(std::wstring_view utf16) {
    std::string utf8;
    Narrow(utf16, 0, utf8);
    return utf8;
}

bool ToUtf16Exactly(std::string_view utf8, std::wstring& utf16) {
    if (utf8.empty()) {
        utf16.clear();
        return true;
    }
    return Widen(utf8, MB_ERR_INVALID_CHARS, utf16);
}

bool ToUtf8Exactly(std::wstring_view utf16, std::string& utf8) {
    if (utf16.empty()) {
        utf8.clear();
        return true;
    }
    return Narrow(utf16, WC_ERR_INVALID_CHARS, utf8);
}

std::string SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    // FORMAT_MESSAGE_IGNORE_INSERTS: there are no arguments for a text that expects some.
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string message = length != 0 && text != nullptr ? ToUtf8({text, length}) : std::string();
    if (text != nullptr) {
        ::LocalFree(text);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

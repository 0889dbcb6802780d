#include "app/ini_profile.h"

#include <windows.h>

#include <climits>
#include <utility>

#include "win/application.h"
#include "win/unicode.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsAbsolute(std::string_view path) {
    bool hasDrive = path.size() >= 2 && path[1] == ':';
    bool fromRoot = !path.empty() && (path[0] == '\\' || path[0] == '/');  // also \\server\share
    return hasDrive || fromRoot;
}

std::string CurrentDirectory() {
    DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring wide(size, L'\0');
    wide.resize(::GetCurrentDirectoryW(size, wide.data()));
    std::string directory = ToUtf8(wide);
    if (!directory.empty() && directory.back() != '\\') {
        directory += '\\';
    }
    return directory;
}

}  // namespace

int DecimalPrefix(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude >= limit) {
            magnitude = limit;  // saturated; the remaining digits cannot bring it back
        }
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

CIniProfile::CIniProfile()
    : m_path(ModuleDirectory() + ModuleBaseName() + ".ini"), m_section(ApplicationName()) {}

CIniProfile::CIniProfile(std::string_view path, bool moduleRelative)
    : m_moduleRelative(moduleRelative), m_section(ApplicationName()) {
    m_path = ResolvePath(path);
}

std::string CIniProfile::ResolvePath(std::string_view path) const {
    if (IsAbsolute(path)) {
        return std::string(path);
    }
    return (m_moduleRelative ? ModuleDirectory() : CurrentDirectory()) + std::string(path);
}

void CIniProfile::UseSection(std::string_view section) {
    if (!section.empty()) {
        m_section = section;
    }
}

std::string CIniProfile::ReadString(std::string_view key, std::string_view defaultText,
                                    std::string_view section) {
    UseSection(section);
    const std::wstring sectionText = ToUtf16(m_section);
    const std::wstring keyText = ToUtf16(key);
    const std::wstring defaultValue = ToUtf16(defaultText);
    const std::wstring path = ToUtf16(m_path);
    // The system cuts a value to the buffer and then gives one less than its size: such a
    // value is read again with twice the room, so that a long server list comes back whole.
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length = ::GetPrivateProfileStringW(
            sectionText.c_str(), keyText.c_str(), defaultValue.c_str(), value.data(),
            static_cast<DWORD>(value.size()), path.c_str());
        if (length + 1 < value.size()) {
            value.resize(length);
            break;
        }
        value.resize(value.size() * 2);
    }
    std::string text;
    if (!ToUtf8Exactly(value, text) || value.find(L'\uFFFD') != std::wstring::npos) {
        m_unreadableKeys.emplace_back(key);
        text = ToUtf8(value);
    }
    return text;
}

int CIniProfile::ReadInt(std::string_view key, int defaultValue, std::string_view section) {
    return DecimalPrefix(ReadString(key, std::to_string(defaultValue), section));
}

bool CIniProfile::ReadBool(std::string_view key, bool defaultValue, std::string_view section) {
    return ReadInt(key, defaultValue ? 1 : 0, section) != 0;
}

bool CIniProfile::WriteString(std::string_view key, std::string_view text,
                              std::string_view section) {
    UseSection(section);
    if (::WritePrivateProfileStringW(ToUtf16(m_section).c_str(), ToUtf16(key).c_str(),
                                     ToUtf16(text).c_str(), ToUtf16(m_path).c_str()) != FALSE) {
        return true;
    }
    if (!m_writeFailure) {
        m_writeFailure = ::GetLastError();
    }
    return false;
}

bool CIniProfile::WriteInt(std::string_view key, int value, std::string_view section) {
    return WriteString(key, std::to_string(value), section);
}

bool CIniProfile::WriteBool(std::string_view key, bool value, std::string_view section) {
    return WriteString(key, value ? "1" : "0", section);
}

std::optional<unsigned long> CIniProfile::TakeWriteFailure() {
    return std::exchange(m_writeFailure, std::nullopt);
}

std::vector<std::string> CIniProfile::TakeUnreadableKeys() {
    return std::exchange(m_unreadableKeys, {});
}

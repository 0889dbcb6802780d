#include "app/ini_profile.h"

#include <windows.h>

#include <climits>

#include "win/application.h"

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
    DWORD size = ::GetCurrentDirectoryA(0, nullptr);
    std::string directory(size, '\0');
    DWORD length = ::GetCurrentDirectoryA(size, directory.data());
    directory.resize(length);
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
    const std::string keyText(key);
    const std::string defaultValue(defaultText);
    // The system cuts a value to the buffer and then gives one less than its size: such a
    // value is read again with twice the room, so that a long server list comes back whole.
    std::string value(256, '\0');
    for (;;) {
        const DWORD length = ::GetPrivateProfileStringA(
            m_section.c_str(), keyText.c_str(), defaultValue.c_str(), value.data(),
            static_cast<DWORD>(value.size()), m_path.c_str());
        if (length + 1 < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(value.size() * 2);
    }
}

int CIniProfile::ReadInt(std::string_view key, int defaultValue, std::string_view section) {
    return DecimalPrefix(ReadString(key, std::to_string(defaultValue), section));
}

bool CIniProfile::ReadBool(std::string_view key, bool defaultValue, std::string_view section) {
    return ReadInt(key, defaultValue ? 1 : 0, section) != 0;
}

void CIniProfile::WriteString(std::string_view key, std::string_view text,
                              std::string_view section) {
    UseSection(section);
    // A failed write is not reported: the values stay in the program and the next save tries
    // again.
    ::WritePrivateProfileStringA(m_section.c_str(), std::string(key).c_str(),
                                 std::string(text).c_str(), m_path.c_str());
}

void CIniProfile::WriteInt(std::string_view key, int value, std::string_view section) {
    WriteString(key, std::to_string(value), section);
}

void CIniProfile::WriteBool(std::string_view key, bool value, std::string_view section) {
    WriteString(key, value ? "1" : "0", section);
}

#include "system/registry_key.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

bool CRegistryKey::Open(HKEY root, const std::string& path, REGSAM access) {
    Close();
    return ::RegOpenKeyExA(root, path.c_str(), 0, access, &m_key) == ERROR_SUCCESS;
}

bool CRegistryKey::OpenOrCreate(HKEY root, const std::string& path, REGSAM access, bool& created) {
    created = false;
    if (Open(root, path, access)) {
        return true;
    }
    created = ::RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                nullptr, &m_key, nullptr) == ERROR_SUCCESS;
    return created;
}

void CRegistryKey::Close() {
    if (m_key != nullptr) {
        ::RegCloseKey(m_key);
        m_key = nullptr;
    }
}

std::optional<std::string> CRegistryKey::ReadText(const char* name) const {
    if (m_key == nullptr) {
        return std::nullopt;
    }
    std::array<BYTE, kMaxTextBytes> buffer{};
    DWORD type = 0;
    DWORD size = kMaxTextBytes;
    if (::RegQueryValueExA(m_key, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    // A value that fills the whole buffer has no zero in it: the text ends at the byte count.
    const char* text = reinterpret_cast<const char*>(buffer.data());
    return std::string(text, ::strnlen(text, std::min<size_t>(size, kMaxTextBytes)));
}

bool CRegistryKey::WriteBytes(const char* name, DWORD type, const char* data, size_t size) const {
    return m_key != nullptr &&
           ::RegSetValueExA(m_key, name, 0, type, reinterpret_cast<const BYTE*>(data),
                            static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

bool CRegistryKey::ReadValue(const char* name, std::optional<RegistryValue>& value) const {
    if (m_key == nullptr) {
        return false;
    }
    RegistryValue read;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExA(m_key, name, nullptr, &read.m_type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        value.reset();
        return true;
    }
    // The value may grow between asking for its size and reading it: then it is asked again.
    for (int attempt = 0; attempt < 3 && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA);
         ++attempt) {
        read.m_bytes.resize(size);
        status = ::RegQueryValueExA(m_key, name, nullptr, &read.m_type,
                                    reinterpret_cast<BYTE*>(read.m_bytes.data()), &size);
        if (status == ERROR_SUCCESS) {
            read.m_bytes.resize(size);
            value = std::move(read);
            return true;
        }
    }
    return false;
}

bool CRegistryKey::WriteValue(const char* name, const RegistryValue& value) const {
    return WriteBytes(name, value.m_type, value.m_bytes.data(), value.m_bytes.size());
}

bool CRegistryKey::DeleteValue(const char* name) const {
    if (m_key == nullptr) {
        return false;
    }
    const LSTATUS status = ::RegDeleteValueA(m_key, name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

std::vector<std::string> CRegistryKey::SubkeyNames() const {
    std::vector<std::string> names;
    // A subkey's name is at most 255 characters.
    std::array<char, 256> name{};
    for (DWORD index = 0; m_key != nullptr; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        if (::RegEnumKeyExA(m_key, index, name.data(), &length, nullptr, nullptr, nullptr,
                            nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name.data(), length);
    }
    return names;
}

void CRegistryKey::Flush() const {
    if (m_key != nullptr) {
        ::RegFlushKey(m_key);
    }
}

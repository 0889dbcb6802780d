#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// A registry value exactly as it is stored: its type and its bytes, whatever zeros they hold or
// lack.
struct RegistryValue {
    DWORD m_type = REG_NONE;
    std::string m_bytes;

    bool operator==(const RegistryValue&) const = default;
};

// An open registry key, closed when it goes.
class CRegistryKey {
public:
    CRegistryKey() = default;
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;
    ~CRegistryKey() { Close(); }

    bool Open(HKEY root, const std::string& path, REGSAM access);
    // Opens the key, or creates it when it cannot be opened; `created` tells which happened.
    bool OpenOrCreate(HKEY root, const std::string& path, REGSAM access, bool& created);
    void Close();

    // A REG_SZ or REG_EXPAND_SZ value of at most `kMaxTextBytes` bytes. The text need not end
    // in a zero: the values of older versions' record are stored without one.
    [[nodiscard]] std::optional<std::string> ReadText(const char* name) const;
    // The value of any type and size, exactly as stored, or none when there is no such value.
    // False when it exists but cannot be read (or the key is not open).
    bool ReadValue(const char* name, std::optional<RegistryValue>& value) const;
    // Stores exactly `size` bytes of `data`, whatever zeros they hold or lack.
    bool WriteBytes(const char* name, DWORD type, const char* data, size_t size) const;
    bool WriteValue(const char* name, const RegistryValue& value) const;
    // True when the value is gone, also when there was none.
    bool DeleteValue(const char* name) const;
    // The names of the key's subkeys; none when it cannot be read.
    [[nodiscard]] std::vector<std::string> SubkeyNames() const;
    // Writes the key's hive to the disk now, not when the system gets to it: a change of another
    // hive that must never be on the disk without this one's comes after.
    void Flush() const;

    static constexpr DWORD kMaxTextBytes = 256;

private:
    HKEY m_key = nullptr;
};

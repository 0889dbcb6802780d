#pragma once

// The string values that the system integration reads and writes: the adapters' "NameServer"
// values under their interface keys, and the first-run record.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "system/system_dns.h"

namespace qftest {

// A string value's text, or "<none>" when there is no such value.
inline std::string RegistryText(HKEY root, const std::string& key, const std::string& name) {
    char text[1024] = {};
    DWORD size = sizeof(text);
    return ::RegGetValueA(root, key.c_str(), name.c_str(),
                          RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text,
                          &size) == ERROR_SUCCESS
               ? text
               : "<none>";
}

inline std::string InterfaceKey(const std::string& adapter) {
    return std::string(kInterfacesKey) + "\\" + adapter;
}
inline std::string NameServer(const std::string& adapter) {
    return RegistryText(HKEY_LOCAL_MACHINE, InterfaceKey(adapter), kNameServerValue);
}
// Gives the adapter a fresh interface key whose "NameServer" holds `text`.
inline void SetNameServer(const std::string& adapter, const std::string& text) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, InterfaceKey(adapter).c_str());
    ASSERT_EQ(::RegSetKeyValueA(HKEY_LOCAL_MACHINE, InterfaceKey(adapter).c_str(), kNameServerValue,
                                REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
}

// The first-run record's value `name`, and writing it as an older run could have left it.
inline std::string Recorded(const std::string& name) {
    return RegistryText(HKEY_CURRENT_USER, kDnsServersKey, name);
}
inline void Record(const std::string& name, const std::string& text) {
    ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, kDnsServersKey, name.c_str(), REG_SZ,
                                text.c_str(), static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
}

}  // namespace qftest

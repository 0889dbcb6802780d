#pragma once

// The registry values that the system integration reads and writes: the adapters' "NameServer"
// values under their IPv4 and IPv6 interface keys, and the records of them; and a machine of
// adapters set up in them.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_ip_helper.h"
#include "system/system_dns.h"

namespace qftest {

inline std::string InterfaceKey(const std::string& adapter,
                                const char* interfaces = kInterfacesKey) {
    return std::string(interfaces) + "\\" + adapter;
}

// An older version's record's value `name` ("<none>" when missing), and writing it as an older
// run could have left it.
inline std::string Recorded(const std::string& name) {
    char text[1024] = {};
    DWORD size = sizeof(text);
    return ::RegGetValueA(HKEY_CURRENT_USER, kDnsServersKey, name.c_str(), RRF_RT_REG_SZ, nullptr,
                          text, &size) == ERROR_SUCCESS
               ? text
               : "<none>";
}
inline void Record(const std::string& name, const std::string& text) {
    ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, kDnsServersKey, name.c_str(), REG_SZ,
                                text.c_str(), static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
}

// A "NameServer" byte for byte (another type than REG_SZ is named in front), or one of these.
inline const std::string kNoValue = "<no value>", kNoKey = "<no key>";

inline std::string StoredNameServer(const std::string& key) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return kNoKey;
    }
    DWORD type = 0, size = 1024;
    std::string bytes(size, '\0');
    const LSTATUS status = ::RegQueryValueExA(opened, kNameServerValue, nullptr, &type,
                                              reinterpret_cast<BYTE*>(bytes.data()), &size);
    ::RegCloseKey(opened);
    bytes.resize(size);
    return status != ERROR_SUCCESS ? kNoValue
           : type == REG_SZ        ? bytes
                                   : "type " + std::to_string(type) + ": " + bytes;
}

inline void StoreNameServer(const std::string& key, const std::string& bytes) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    HKEY created = nullptr;
    if (bytes != kNoKey &&
        ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                          &created, nullptr) == ERROR_SUCCESS) {
        if (bytes != kNoValue) {
            ::RegSetValueExA(created, kNameServerValue, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size()));
        }
        ::RegCloseKey(created);
    }
}

// An adapter as a test sets it up: the servers the system reports it uses, and the "NameServer"
// of its IPv4 and of its IPv6 interface key.
struct TestAdapter {
    std::string name;
    std::vector<std::string> inUse;
    std::string static4, static6;
};

// Gives the system these adapters too and the prefix their interface keys (it has none of its
// own).
inline void AddAdapters(FakeIpHelper& system, const std::vector<TestAdapter>& adapters) {
    for (const TestAdapter& adapter : adapters) {
        system.adapters.push_back(
            {adapter.name, static_cast<uint32_t>(system.adapters.size() + 1), adapter.inUse});
        StoreNameServer(InterfaceKey(adapter.name), adapter.static4);
        StoreNameServer(InterfaceKey(adapter.name, kInterfaces6Key), adapter.static6);
    }
}
// The same with no record.
inline void SetUpAdapters(FakeIpHelper& system, const std::vector<TestAdapter>& adapters) {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kDnsServersKey);
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMachineRecordKey);
    AddAdapters(system, adapters);
}

// The IPv4 and IPv6 "NameServer" of every adapter, in order; or those of the machine's record.
inline std::vector<std::string> StaticValues(const std::vector<TestAdapter>& adapters,
                                             bool recorded = false) {
    std::vector<std::string> values;
    for (const TestAdapter& adapter : adapters) {
        const std::string record = std::string(kMachineRecordKey) + "\\" + adapter.name + "\\";
        values.push_back(
            StoredNameServer(recorded ? record + kRecord4Subkey : InterfaceKey(adapter.name)));
        values.push_back(StoredNameServer(recorded ? record + kRecord6Subkey
                                                   : InterfaceKey(adapter.name, kInterfaces6Key)));
    }
    return values;
}

// A run of the program that takes the adapters over, then crashes.
inline void RunAndCrash(FakeIpHelper& system) {
    CAdapterList adapters(system.Api());
    SetSystemDns(adapters, true);
}

using namespace std::string_literals;

// A dual-stack machine before the program: one adapter with static servers of its own, in bytes
// that the program itself never writes (no terminating zero, separators other than its own); one
// that takes them from DHCP, without an IPv4 value and with an empty IPv6 one; one without IPv6.
inline const std::vector<TestAdapter> kDualStack{
    {"{static}", {"10.0.0.1", "10.0.0.2"}, "10.0.0.1 10.0.0.2", "fd00::1,fd00::2\0"s},
    {"{dhcp}", {"192.0.2.53"}, kNoValue, "\0"s},
    {"{no ipv6}", {"10.0.0.3"}, "10.0.0.3\0"s, kNoKey}};
inline const std::string kAtProxy4 = "127.0.0.1\0\0"s, kAtProxy6 = "::1\0\0"s;
inline const std::vector<std::string> kDualStackTakenOver{kAtProxy4, kAtProxy6, kAtProxy4,
                                                          kAtProxy6, kAtProxy4, kNoKey};

}  // namespace qftest

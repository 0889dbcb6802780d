#include "system/system_dns.h"

#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/locked_string_list.h"
#include "system/registry_key.h"

namespace {

// The text without the proxy's own address: a server list written back at a restore, or
// recorded for one, must never point the adapter at a proxy that is about to stop. Texts that
// do not name the proxy are kept exactly as they are.
std::string WithoutProxyAddress(std::string_view servers) {
    CLockedStringList list;
    list.SplitUnique(servers, kServerSeparators);
    if (!list.RemoveFirst(kProxyAddress)) {
        return std::string(servers);
    }
    return list.JoinList(',');
}

bool NamesOnlyTheProxy(std::string_view servers) {
    return !servers.empty() && WithoutProxyAddress(servers).empty();
}

// Points the adapter at the proxy. None when nothing is to be written: the adapter points at the
// proxy already and nothing of its own is known, as after a crash during a takeover.
std::optional<std::string> TakeOver(AdapterInfo& adapter) {
    if (adapter.PrimaryDns == kProxyAddress) {
        if (adapter.OtherDns.empty()) {
            return std::nullopt;
        }
        return kProxyAddress;
    }
    if (!adapter.PrimaryDns.empty()) {
        adapter.OtherDns = adapter.OtherDns.empty() ? adapter.PrimaryDns
                                                    : adapter.PrimaryDns + "," + adapter.OtherDns;
    }
    adapter.PrimaryDns = kProxyAddress;
    return kProxyAddress;
}

// Moves the adapter's servers in use back from the proxy, and gives the servers to write when its
// own static value is not known (a takeover left behind by a crash, and no record of the value):
// the first-run record's servers win over what this run knows. A record that names nothing but
// the proxy is no use and counts as none.
std::string Restore(AdapterInfo& adapter) {
    std::string saved;
    std::string servers = adapter.OtherDns;
    if (ReadSavedAdapterDns(adapter.AdapterName, saved) != 0 && !NamesOnlyTheProxy(saved)) {
        servers = WithoutProxyAddress(saved);
    }
    CLockedStringList list;
    list.SplitUnique(adapter.OtherDns.empty() ? servers : adapter.OtherDns, kServerSeparators);
    std::optional<std::string> first = list.GetHead();
    if (first) {
        list.RemoveFirst(*first);
    }
    adapter.PrimaryDns = first.value_or("");
    adapter.OtherDns = list.JoinList(',');
    return servers;
}

// What differs between an adapter's IPv4 and its IPv6 DNS servers.
struct IpVersion {
    const char* m_interfacesKey;
    const char* m_proxyAddress;
    const char* m_recordSubkey;
    StaticNameServer AdapterInfo::*m_static;
};
const IpVersion kIpv4{kInterfacesKey, kProxyAddress, kRecord4Subkey, &AdapterInfo::m_static4};
const IpVersion kIpv6{kInterfaces6Key, kProxyAddress6, kRecord6Subkey, &AdapterInfo::m_static6};

std::string InterfaceKey(const IpVersion& ip, const std::string& adapterName) {
    return std::string(ip.m_interfacesKey) + "\\" + adapterName;
}

std::string RecordKey(const IpVersion& ip, const std::string& adapterName) {
    return std::string(kDnsServersKey) + "\\" + adapterName + "\\" + ip.m_recordSubkey;
}

// Whether the value's text up to its first zero, which is what Windows reads, is the proxy's
// address.
bool NamesTheProxy(const IpVersion& ip, const RegistryValue& value) {
    if (value.m_type != REG_SZ && value.m_type != REG_EXPAND_SZ) {
        return false;
    }
    return std::string_view(value.m_bytes.c_str()) == ip.m_proxyAddress;
}

// A "NameServer" value from `path`; not known when it cannot be read or holds the proxy's address,
// which is never the adapter's own.
StaticNameServer ReadStatic(HKEY root, const std::string& path, const IpVersion& ip) {
    CRegistryKey key;
    StaticNameServer found;
    if (!key.Open(root, path, KEY_READ) || !key.ReadValue(kNameServerValue, found.m_value) ||
        (found.m_value && NamesTheProxy(ip, *found.m_value))) {
        return {};
    }
    found.m_known = true;
    return found;
}

StaticNameServer CurrentStatic(const AdapterInfo& adapter, const IpVersion& ip) {
    return ReadStatic(HKEY_LOCAL_MACHINE, InterfaceKey(ip, adapter.AdapterName), ip);
}

// Sets or deletes the adapter's "NameServer" and flushes the resolver cache, so that lookups go
// to the new servers at once.
void WriteStatic(const std::string& path, const std::optional<RegistryValue>& value) {
    CRegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, path, KEY_WRITE)) {
        return;
    }
    if (value) {
        key.WriteValue(kNameServerValue, *value);
    } else {
        key.DeleteValue(kNameServerValue);
    }
    FlushResolverCache();
}

// A server text as the program writes it: cut to its longest length, stored with its terminator
// and one more zero byte.
RegistryValue NameServerText(std::string_view servers) {
    std::string bytes(servers.substr(0, kMaxNameServerLength));
    bytes.append(2, '\0');
    return {REG_SZ, std::move(bytes)};
}

// Keeps the adapter's own static value before the takeover overwrites it. What a takeover left
// behind (the proxy's address) does not replace what an earlier takeover of this run found.
void RememberStatic(AdapterInfo& adapter, const IpVersion& ip) {
    StaticNameServer found = CurrentStatic(adapter, ip);
    if (found.m_known) {
        adapter.*ip.m_static = std::move(found);
    }
}

void TakeOverAdapter(AdapterInfo& adapter) {
    RememberStatic(adapter, kIpv4);
    if (std::optional<std::string> servers = TakeOver(adapter)) {
        WriteStatic(InterfaceKey(kIpv4, adapter.AdapterName), NameServerText(*servers));
    }
    // An adapter without IPv6 has no key to write.
    RememberStatic(adapter, kIpv6);
    WriteStatic(InterfaceKey(kIpv6, adapter.AdapterName), NameServerText(kProxyAddress6));
}

// Puts back the adapter's own static value of one IP version: the one the takeover found, else,
// after a takeover left behind by a crash, the one of the first-run record. A value that is not
// the proxy's and that this run did not find is someone else's and stays. False when nothing
// tells what the adapter's own value was.
bool RestoreStatic(const AdapterInfo& adapter, const IpVersion& ip) {
    StaticNameServer own = adapter.*ip.m_static;
    if (!own.m_known) {
        if (CurrentStatic(adapter, ip).m_known) {
            return true;
        }
        own = ReadStatic(HKEY_CURRENT_USER, RecordKey(ip, adapter.AdapterName), ip);
    }
    if (!own.m_known) {
        return false;
    }
    WriteStatic(InterfaceKey(ip, adapter.AdapterName), own.m_value);
    return true;
}

void RestoreAdapter(AdapterInfo& adapter) {
    const std::string servers = Restore(adapter);
    if (!RestoreStatic(adapter, kIpv4)) {
        WriteStatic(InterfaceKey(kIpv4, adapter.AdapterName), NameServerText(servers));
    }
    // Without a known value of its own the adapter follows DHCP again.
    if (!RestoreStatic(adapter, kIpv6)) {
        WriteStatic(InterfaceKey(kIpv6, adapter.AdapterName), std::nullopt);
    }
}

// Copies the adapter's static value of one IP version into its record, or records that it had
// none; leaves no record when the value is not known. A record taken again replaces the old one.
void RecordStatic(const AdapterInfo& adapter, const IpVersion& ip) {
    const std::string path = RecordKey(ip, adapter.AdapterName);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    const StaticNameServer found = CurrentStatic(adapter, ip);
    CRegistryKey key;
    bool created = false;
    if (!found.m_known || !key.OpenOrCreate(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS, created)) {
        return;
    }
    if (found.m_value) {
        key.WriteValue(kNameServerValue, *found.m_value);
    }
}

// What the record holds for one adapter: its servers, first server first, comma-separated. None
// when the adapter points at the proxy alone (a takeover left behind by a crash, seen by a user
// whose first run this is): the restore then falls back on what the run itself knows.
std::optional<std::string> RecordedServers(const AdapterInfo& adapter) {
    std::string servers = adapter.PrimaryDns + "," + adapter.OtherDns;
    if (servers.starts_with(',')) {
        servers.erase(0, 1);
    }
    if (servers.ends_with(',')) {
        servers.pop_back();
    }
    if (NamesOnlyTheProxy(servers)) {
        return std::nullopt;
    }
    return WithoutProxyAddress(servers);
}

// "FirstRun" reads as the decimal number 0 once a record was taken; a missing, unreadable or
// other value means that none was.
bool RecordTaken(const CRegistryKey& key) {
    std::optional<std::string> firstRun = key.ReadText(kFirstRunValue);
    if (!firstRun) {
        return false;
    }
    long value = -1;
    const std::from_chars_result parsed =
        std::from_chars(firstRun->data(), firstRun->data() + firstRun->size(), value);
    return parsed.ec == std::errc() && value == 0;
}

// The record's texts are stored with a byte count of their length, without a terminating zero.
void WriteRecordText(const CRegistryKey& key, const char* name, DWORD type,
                     const std::string& text) {
    key.WriteBytes(name, type, text.data(), text.size());
}

}  // namespace

BOOL SetSystemDns(CAdapterList& adapters, bool takeOver) {
    for (int i = 0; i < adapters.GetCount(); ++i) {
        AdapterInfo& adapter = *adapters.GetAt(i);
        if (takeOver) {
            TakeOverAdapter(adapter);
        } else {
            RestoreAdapter(adapter);
        }
    }
    return TRUE;
}

int SnapshotAdapterDns(const CAdapterList& adapters) {
    CRegistryKey key;
    bool created = false;
    if (!key.OpenOrCreate(HKEY_CURRENT_USER, kDnsServersKey, KEY_ALL_ACCESS, created)) {
        return 0;
    }
    if (!created && RecordTaken(key)) {
        return 0;
    }
    WriteRecordText(key, kFirstRunValue, REG_SZ, "0");
    for (int i = 0; i < adapters.GetCount(); ++i) {
        const AdapterInfo& adapter = *adapters.GetAt(i);
        if (std::optional<std::string> servers = RecordedServers(adapter)) {
            WriteRecordText(key, adapter.AdapterName.c_str(), REG_EXPAND_SZ, *servers);
        }
        RecordStatic(adapter, kIpv4);
        RecordStatic(adapter, kIpv6);
    }
    return 1;
}

int ReadSavedAdapterDns(const std::string& adapterName, std::string& servers) {
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, kDnsServersKey, KEY_READ)) {
        return 0;
    }
    std::optional<std::string> saved = key.ReadText(adapterName.c_str());
    if (!saved) {
        return 0;
    }
    servers = std::move(*saved);
    return 1;
}

bool PointsAtProxy(const std::string& adapterName) {
    for (const IpVersion* ip : {&kIpv4, &kIpv6}) {
        CRegistryKey key;
        std::optional<RegistryValue> value;
        if (key.Open(HKEY_LOCAL_MACHINE, InterfaceKey(*ip, adapterName), KEY_READ) &&
            key.ReadValue(kNameServerValue, value) && value && NamesTheProxy(*ip, *value)) {
            return true;
        }
    }
    return false;
}

BOOL FlushResolverCache() {
    // From the system folder by its full path, never from the current folder.
    std::array<char, MAX_PATH> folder{};
    const UINT length = ::GetSystemDirectoryA(folder.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return FALSE;
    }
    const std::string path = std::string(folder.data(), length) + "\\dnsapi.dll";
    HMODULE dnsapi = ::LoadLibraryA(path.c_str());
    if (dnsapi == nullptr) {
        return FALSE;
    }
    BOOL flushed = FALSE;
    // GetProcAddress gives a generic function pointer; void (*)() converts to any other.
    if (FARPROC proc = ::GetProcAddress(dnsapi, "DnsFlushResolverCache")) {
        auto flush = reinterpret_cast<BOOL(WINAPI*)()>(reinterpret_cast<void (*)()>(proc));
        flushed = flush() == 1 ? TRUE : FALSE;
    }
    ::FreeLibrary(dnsapi);
    return flushed;
}

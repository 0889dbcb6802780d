#include "system/system_dns.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/locked_string_list.h"
#include "system/registry_key.h"

namespace {

// What differs between an adapter's IPv4 and its IPv6 DNS servers.
struct IpVersion {
    const char* m_interfacesKey;
    const char* m_proxyAddress;
    const char* m_recordSubkey;
};
const IpVersion kIpv4{kInterfacesKey, kProxyAddress, kRecord4Subkey};
const IpVersion kIpv6{kInterfaces6Key, kProxyAddress6, kRecord6Subkey};

// An adapter's own static values of both IP versions.
struct OwnValues {
    StaticNameServer m_v4;
    StaticNameServer m_v6;
};

std::string InterfaceKey(const IpVersion& ip, const std::string& adapterName) {
    return std::string(ip.m_interfacesKey) + "\\" + adapterName;
}

// The adapter's part of a record: `recordKey` is the machine's or an older version's.
std::string RecordKey(const char* recordKey, const std::string& adapterName) {
    return std::string(recordKey) + "\\" + adapterName;
}

std::string RecordKey(const char* recordKey, const IpVersion& ip, const std::string& adapterName) {
    return RecordKey(recordKey, adapterName) + "\\" + ip.m_recordSubkey;
}

// The text of a "NameServer" up to its first zero, which is what Windows reads; none for a value
// that is not text.
std::optional<std::string_view> ValueText(const RegistryValue& value) {
    if (value.m_type != REG_SZ && value.m_type != REG_EXPAND_SZ) {
        return std::nullopt;
    }
    return std::string_view(value.m_bytes.c_str());
}

bool NamesTheProxy(const IpVersion& ip, const std::optional<RegistryValue>& value) {
    return value && ValueText(*value) == ip.m_proxyAddress;
}

bool IsLoopbackServer(std::string_view server) {
    const std::string text(server);
    in_addr v4{};
    in6_addr v6{};
    if (::InetPtonA(AF_INET, text.c_str(), &v4) == 1) {
        return v4.S_un.S_un_b.s_b1 == 127;
    }
    return ::InetPtonA(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// Whether a server of the value is a loopback address: the proxy's own, or a resolver of the
// user's on this machine.
bool NamesLoopback(const StaticNameServer& found) {
    const std::optional<std::string_view> text =
        found.m_value ? ValueText(*found.m_value) : std::nullopt;
    for (size_t start = 0; text && start < text->size();) {
        const size_t end = std::min(text->find_first_of(kServerSeparators, start), text->size());
        if (IsLoopbackServer(text->substr(start, end - start))) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// A "NameServer" value from `path`, exactly as stored; not known when the key cannot be read.
StaticNameServer ReadStatic(HKEY root, const std::string& path) {
    CRegistryKey key;
    StaticNameServer found;
    found.m_known =
        key.Open(root, path, KEY_READ) && key.ReadValue(kNameServerValue, found.m_value);
    return found;
}

StaticNameServer CurrentStatic(const AdapterInfo& adapter, const IpVersion& ip) {
    return ReadStatic(HKEY_LOCAL_MACHINE, InterfaceKey(ip, adapter.AdapterName));
}

// A recorded value; one that names the proxy is never the adapter's own and counts as not known.
StaticNameServer Recorded(HKEY root, const char* recordKey, const IpVersion& ip,
                          const std::string& adapterName) {
    StaticNameServer found = ReadStatic(root, RecordKey(recordKey, ip, adapterName));
    return NamesTheProxy(ip, found.m_value) ? StaticNameServer{} : found;
}

// Sets or deletes the adapter's "NameServer" and flushes the resolver cache, so that lookups go
// to the new servers at once. Whether the key took it.
bool WriteStatic(const std::string& path, const std::optional<RegistryValue>& value) {
    CRegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, path, KEY_WRITE)) {
        return false;
    }
    const bool written =
        value ? key.WriteValue(kNameServerValue, *value) : key.DeleteValue(kNameServerValue);
    FlushResolverCache();
    return written;
}

// A server text as the program writes it: cut to its longest length, stored with its terminator
// and one more zero byte.
RegistryValue NameServerText(std::string_view servers) {
    std::string bytes(servers.substr(0, kMaxNameServerLength));
    bytes.append(2, '\0');
    return {REG_SZ, std::move(bytes)};
}

// Records the adapter's own values in the machine's record, in place of any earlier record of
// it. False when the record could not be written in full: the adapter must not be changed then.
bool WriteRecord(const std::string& adapterName, const OwnValues& own) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, RecordKey(kMachineRecordKey, adapterName).c_str());
    for (const auto& [ip, value] : {std::pair{&kIpv4, &own.m_v4}, std::pair{&kIpv6, &own.m_v6}}) {
        CRegistryKey key;
        bool created = false;
        if (value->m_known &&
            (!key.OpenOrCreate(HKEY_LOCAL_MACHINE, RecordKey(kMachineRecordKey, *ip, adapterName),
                               KEY_WRITE, created) ||
             (value->m_value && !key.WriteValue(kNameServerValue, *value->m_value)))) {
            return false;
        }
    }
    // On the disk before the adapter names the proxy there: the record and the interface keys
    // are in two hives, which the system writes out each in its own time. A power cut between
    // them would otherwise leave the adapter at the proxy with no record of its own servers, and
    // taken for a resolver of the user's from then on.
    CRegistryKey record;
    if (record.Open(HKEY_LOCAL_MACHINE, RecordKey(kMachineRecordKey, adapterName), KEY_READ)) {
        record.Flush();
    }
    return true;
}

bool TakeOverAdapter(AdapterInfo& adapter) {
    if (adapter.m_takenOver) {
        return false;
    }
    const OwnValues own{CurrentStatic(adapter, kIpv4), CurrentStatic(adapter, kIpv6)};
    adapter.m_leftAlone = NamesLoopback(own.m_v4) || NamesLoopback(own.m_v6);
    if (!own.m_v4.m_known || adapter.m_leftAlone || !WriteRecord(adapter.AdapterName, own)) {
        return false;
    }
    adapter.m_static4 = own.m_v4;
    adapter.m_static6 = own.m_v6;
    adapter.m_takenOver = true;
    WriteStatic(InterfaceKey(kIpv4, adapter.AdapterName), NameServerText(kProxyAddress));
    // An adapter without IPv6 has no key to write.
    if (own.m_v6.m_known) {
        WriteStatic(InterfaceKey(kIpv6, adapter.AdapterName), NameServerText(kProxyAddress6));
    }
    return true;
}

// The text without the proxy's own address: an older record may name it beside the servers.
std::string WithoutProxyAddress(std::string_view servers) {
    CLockedStringList list;
    list.SplitUnique(servers, kServerSeparators);
    list.RemoveFirst(kProxyAddress);
    return list.JoinList(',');
}

// What an older version's record tells of the adapter, read as those versions read it: its static
// values, else for IPv4 the servers it used and for IPv6 none (it follows DHCP again). None when
// the record names no server of the adapter's own for IPv4.
std::optional<OwnValues> OlderRecord(const std::string& adapterName) {
    OwnValues own{Recorded(HKEY_CURRENT_USER, kDnsServersKey, kIpv4, adapterName),
                  Recorded(HKEY_CURRENT_USER, kDnsServersKey, kIpv6, adapterName)};
    std::string servers;
    if (!own.m_v4.m_known && ReadSavedAdapterDns(adapterName, servers) != 0 &&
        !WithoutProxyAddress(servers).empty()) {
        own.m_v4 = {true, NameServerText(WithoutProxyAddress(servers))};
    }
    if (!own.m_v4.m_known) {
        return std::nullopt;
    }
    if (!own.m_v6.m_known) {
        own.m_v6 = {true, std::nullopt};
    }
    return own;
}

// What the adapter's interface keys held before a takeover: what this run's takeover found, else
// the machine's record, else an older version's record.
std::optional<OwnValues> OwnValuesOf(const AdapterInfo& adapter) {
    if (adapter.m_takenOver) {
        return OwnValues{adapter.m_static4, adapter.m_static6};
    }
    CRegistryKey record;
    if (record.Open(HKEY_LOCAL_MACHINE, RecordKey(kMachineRecordKey, adapter.AdapterName),
                    KEY_READ)) {
        return OwnValues{
            Recorded(HKEY_LOCAL_MACHINE, kMachineRecordKey, kIpv4, adapter.AdapterName),
            Recorded(HKEY_LOCAL_MACHINE, kMachineRecordKey, kIpv6, adapter.AdapterName)};
    }
    return OlderRecord(adapter.AdapterName);
}

// Writes the adapter's own value of one IP version back while its interface key still names the
// proxy. Whether it wrote.
bool PutBack(const AdapterInfo& adapter, const IpVersion& ip, const StaticNameServer& own) {
    return own.m_known && NamesTheProxy(ip, CurrentStatic(adapter, ip).m_value) &&
           WriteStatic(InterfaceKey(ip, adapter.AdapterName), own.m_value);
}

bool RestoreAdapter(AdapterInfo& adapter) {
    const std::optional<OwnValues> own = OwnValuesOf(adapter);
    if (!own) {
        return false;
    }
    const bool wrote4 = PutBack(adapter, kIpv4, own->m_v4);
    const bool wrote6 = PutBack(adapter, kIpv6, own->m_v6);
    // The values put back are on the disk before their record goes, for the same reason.
    CRegistryKey interfaces;
    if ((wrote4 || wrote6) && interfaces.Open(HKEY_LOCAL_MACHINE, kInterfacesKey, KEY_READ)) {
        interfaces.Flush();
    }
    // Kept while a value could not be written back, for the next restore.
    if (!PointsAtProxy(adapter.AdapterName)) {
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                         RecordKey(kMachineRecordKey, adapter.AdapterName).c_str());
        adapter.m_takenOver = false;
    }
    return wrote4 || wrote6;
}

bool LeftAlone(const CAdapterList& adapters, const std::string& adapterName) {
    for (int i = 0; i < adapters.GetCount(); ++i) {
        if (adapters.GetAt(i)->AdapterName == adapterName) {
            return adapters.GetAt(i)->m_leftAlone;
        }
    }
    return false;
}

// "LABEL NAME", and " +N" for N more; empty without names.
std::string NamedLine(std::string_view label, const std::vector<std::string>& names) {
    if (names.empty()) {
        return {};
    }
    std::string line = std::string(label) + " " + names.front();
    return names.size() == 1 ? line : line + " +" + std::to_string(names.size() - 1);
}

}  // namespace

std::vector<std::string> RecordedAdaptersNotListed(const CAdapterList& adapters) {
    CRegistryKey record;
    std::vector<std::string> names;
    if (record.Open(HKEY_LOCAL_MACHINE, kMachineRecordKey, KEY_READ)) {
        names = record.SubkeyNames();
    }
    std::erase_if(names, [&adapters](const std::string& name) {
        for (int i = 0; i < adapters.GetCount(); ++i) {
            if (adapters.GetAt(i)->AdapterName == name) {
                return true;
            }
        }
        return false;
    });
    return names;
}

int SetSystemDns(CAdapterList& adapters, bool takeOver) {
    int changed = 0;
    for (int i = 0; i < adapters.GetCount(); ++i) {
        AdapterInfo& adapter = *adapters.GetAt(i);
        if (takeOver ? TakeOverAdapter(adapter) : RestoreAdapter(adapter)) {
            ++changed;
        }
    }
    if (!takeOver) {
        for (const std::string& name : RecordedAdaptersNotListed(adapters)) {
            AdapterInfo absent;
            absent.AdapterName = name;
            if (RestoreAdapter(absent)) {
                ++changed;
            }
        }
    }
    return changed;
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
        if (NamesTheProxy(*ip,
                          ReadStatic(HKEY_LOCAL_MACHINE, InterfaceKey(*ip, adapterName)).m_value)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> SystemFilePath(std::string_view file) {
    std::array<char, MAX_PATH> folder{};
    const UINT length = ::GetSystemDirectoryA(folder.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::nullopt;
    }
    return std::string(folder.data(), length) + "\\" + std::string(file);
}

BOOL FlushResolverCache() {
    const std::optional<std::string> path = SystemFilePath("dnsapi.dll");
    HMODULE dnsapi = path ? ::LoadLibraryA(path->c_str()) : nullptr;
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

std::string AdapterNotice(const CAdapterList& adapters) {
    std::vector<std::string> elsewhere;
    std::vector<std::string> leftAlone;
    for (const RunningAdapter& running : RunningAdapters()) {
        if (LeftAlone(adapters, running.AdapterName)) {
            leftAlone.push_back(running.FriendlyName);
        } else if (!PointsAtProxy(running.AdapterName)) {
            elsewhere.push_back(running.FriendlyName);
        }
    }
    return elsewhere.empty() ? NamedLine("Kept its own DNS:", leftAlone)
                             : NamedLine("Not pointed at proxy:", elsewhere);
}

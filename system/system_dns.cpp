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

// The adapter's servers from before the takeover: the first-run record wins over what this run
// knows, so that a takeover left behind by a crash is undone here. A record that names nothing
// but the proxy is no use and counts as none.
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

// Sets the adapter's "NameServer", cut to its longest length, and flushes the resolver cache so
// that lookups go to the new servers at once. The value is stored with its terminator and one
// more zero byte.
void WriteNameServer(const std::string& adapterName, std::string_view servers) {
    CRegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, std::string(kInterfacesKey) + "\\" + adapterName,
                  KEY_WRITE)) {
        return;
    }
    std::array<char, kMaxNameServerLength + 2> value{};
    const size_t length = servers.copy(value.data(), kMaxNameServerLength);
    key.WriteBytes(kNameServerValue, REG_SZ, value.data(), length + 2);
    FlushResolverCache();
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
        if (!takeOver) {
            WriteNameServer(adapter.AdapterName, Restore(adapter));
        } else if (std::optional<std::string> servers = TakeOver(adapter)) {
            WriteNameServer(adapter.AdapterName, *servers);
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

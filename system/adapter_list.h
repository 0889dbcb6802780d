#pragma once

// Winsock first: IP Helper declares its address structures only after it.
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/registry_key.h"

// An adapter's static "NameServer" value as it stood before the takeover, kept so that the
// restore puts back exactly that.
struct StaticNameServer {
    // False when it could not be read: an adapter without IPv6 has no IPv6 interface key.
    bool m_known = false;
    // None when the adapter had no static value: it takes its servers from DHCP.
    std::optional<RegistryValue> m_value;
};

// One network adapter as the system integration needs it: the interface name under which its
// TCP/IP settings live in the registry, and the DNS servers it uses.
struct AdapterInfo {
    // The interface identifier ("{...}"): the name of the adapter's key under the TCP/IP
    // interfaces key and of its part of the records.
    std::string AdapterName;
    uint32_t Index = 0;
    // The first DNS server in use, empty when there is none. The takeover sets it to the
    // proxy's address and the restore back.
    std::string PrimaryDns;
    // The further servers joined with ",". During a takeover it holds all of the adapter's
    // previous servers, the former first one first.
    std::string OtherDns;
    // The static values of its IPv4 and its IPv6 interface key, read and recorded by the takeover
    // before it writes the proxy's address.
    StaticNameServer m_static4;
    StaticNameServer m_static6;
    // This run's takeover changed the adapter, which does not have its own values back yet.
    bool m_takenOver = false;
    // At the last takeover the adapter's DNS named a loopback address, a resolver of the user's:
    // it was left exactly as it was.
    bool m_leftAlone = false;
};

// The two IP Helper calls the list is built from; tests stand in for the system with their own.
struct IpHelperApi {
    std::function<ULONG(PIP_ADAPTER_INFO, PULONG)> getAdaptersInfo;
    std::function<DWORD(ULONG, PIP_PER_ADAPTER_INFO, PULONG)> getPerAdapterInfo;

    // The system's own iphlpapi.
    static IpHelperApi System();
};

// The machine's network adapters in the order in which the system reports them. Built once and
// rebuilt on demand (Refresh); it does not follow adapters that come or go meanwhile.
class CAdapterList {
public:
    CAdapterList();
    explicit CAdapterList(IpHelperApi api);

    // Rebuilds the list: 1 when it was built, -1 when the system could not list the adapters
    // (the list is then empty).
    int Refresh();

    [[nodiscard]] int GetCount() const { return static_cast<int>(m_adapters.size()); }
    // The adapter at a 0-based index, or null when the index is out of range.
    [[nodiscard]] AdapterInfo* GetAt(int index);
    [[nodiscard]] const AdapterInfo* GetAt(int index) const;

private:
    [[nodiscard]] bool InRange(int index) const { return index >= 0 && index < GetCount(); }
    void ReadDnsServers(AdapterInfo& adapter) const;

    IpHelperApi m_api;
    std::vector<AdapterInfo> m_adapters;
};

// An IPv4 adapter that is up and running now: its interface name and the name its user knows it
// by ("Wi-Fi", "Ethernet 2").
struct RunningAdapter {
    std::string AdapterName;
    std::string FriendlyName;
};
// The machine's IPv4 adapters that are up and running, the loopback aside, as the system lists
// them at this moment; empty when it cannot list them.
std::vector<RunningAdapter> RunningAdapters();
// Whether the list holds every adapter that is up and running now: a list read while one came up,
// or while the system could not list them, lacks it.
bool ListsEveryRunningAdapter(const CAdapterList& adapters);

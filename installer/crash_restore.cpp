#include "installer/crash_restore.h"

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "system/registry_key.h"
#include "system/system_dns.h"

namespace {

std::string NameOf(const IP_ADAPTER_INFO& adapter) {
    return {adapter.AdapterName, ::strnlen(adapter.AdapterName, sizeof adapter.AdapterName)};
}

// The "NameServer" text under the adapter's key; none when there is no such key.
std::optional<std::string> StaticServers(const char* interfacesKey, const std::string& name) {
    CRegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, std::string(interfacesKey) + "\\" + name, KEY_READ)) {
        return std::nullopt;
    }
    return key.ReadText(kNameServerValue).value_or("");
}

// Unlinks from the chain every adapter that does not point at the proxy; ERROR_NO_DATA when
// none is left, as the system says when it has no adapters.
ULONG KeepAdaptersAtProxy(PIP_ADAPTER_INFO head) {
    std::vector<PIP_ADAPTER_INFO> kept;
    for (PIP_ADAPTER_INFO entry = head; entry != nullptr; entry = entry->Next) {
        if (PointsAtProxy(NameOf(*entry))) {
            kept.push_back(entry);
        }
    }
    if (kept.empty()) {
        return ERROR_NO_DATA;
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        kept[i]->Next = i + 1 < kept.size() ? kept[i + 1] : nullptr;
    }
    // The caller reads the chain from the start of its buffer: the first kept entry moves there.
    if (kept.front() != head) {
        *head = *kept.front();
    }
    return NO_ERROR;
}

}  // namespace

IpHelperApi AdaptersLeftAtProxy(IpHelperApi system) {
    auto adaptersInfo = [getAdaptersInfo = std::move(system.getAdaptersInfo)](
                            PIP_ADAPTER_INFO buffer, PULONG size) -> ULONG {
        const ULONG status = getAdaptersInfo(buffer, size);
        return status == NO_ERROR ? KeepAdaptersAtProxy(buffer) : status;
    };
    return {adaptersInfo, std::move(system.getPerAdapterInfo)};
}

std::vector<RestoredAdapter> RestoreAdaptersLeftAtProxy(const IpHelperApi& system) {
    CAdapterList adapters(AdaptersLeftAtProxy(system));
    std::vector<std::string> names;
    for (int i = 0; i < adapters.GetCount(); ++i) {
        names.push_back(adapters.GetAt(i)->AdapterName);
    }
    // Those of the record that the system does not list now, and that still name the proxy, are
    // put back too, and told after the others.
    for (std::string& name : RecordedAdaptersNotListed(adapters)) {
        if (PointsAtProxy(name)) {
            names.push_back(std::move(name));
        }
    }
    SetSystemDns(adapters, false);
    std::vector<RestoredAdapter> restored;
    for (const std::string& name : names) {
        restored.push_back({name, !PointsAtProxy(name),
                            StaticServers(kInterfacesKey, name).value_or(""),
                            StaticServers(kInterfaces6Key, name)});
    }
    return restored;
}

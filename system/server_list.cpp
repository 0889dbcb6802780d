#include "system/server_list.h"

#include <optional>
#include <string>
#include <vector>

#include "core/dns_cache.h"
#include "system/registry_key.h"
#include "system/system_dns.h"

ServerFault CheckServer(std::string_view text, std::span<const CSocketAddress> machine,
                        std::string& reason) {
    const std::optional<UpstreamEndpoint> endpoint = ParseUpstreamEndpoint(text, reason);
    if (!endpoint) {
        return ServerFault::kMalformed;
    }
    return !endpoint->Https && LoopsToProxy(endpoint->Address, machine) ? ServerFault::kLoopsToProxy
                                                                        : ServerFault::kNone;
}

void CollectAdapterDns(const CAdapterList& adapters, CLockedStringList& servers) {
    for (int i = 0; i < adapters.GetCount(); ++i) {
        for (const char* interfaces : {kInterfacesKey, kInterfaces6Key}) {
            CRegistryKey key;
            if (!key.Open(HKEY_LOCAL_MACHINE,
                          std::string(interfaces) + "\\" + adapters.GetAt(i)->AdapterName,
                          KEY_READ)) {
                continue;
            }
            if (std::optional<std::string> value = key.ReadText(kNameServerValue)) {
                servers.SplitUnique(*value, kServerSeparators);
            }
        }
    }
}

void BuildServerList(CLockedStringList& servers, std::string_view dnsSetting,
                     const CLockedStringList& adapterServers,
                     std::span<const CSocketAddress> machine) {
    const std::string_view saved = dnsSetting == kProxyAddress ? kFallbackDnsServer : dnsSetting;
    CLockedStringList candidates(true);
    candidates.SplitUnique(saved, '|');
    candidates.SplitUnique(adapterServers.JoinList(','), kServerSeparators);
    auto lock = servers.Lock();
    servers.RemoveAll();
    for (std::string& text : candidates.Texts()) {
        if (IsValidServer(text, machine)) {
            servers.AddTail(std::move(text));
        }
    }
}

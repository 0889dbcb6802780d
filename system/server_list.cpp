#include "system/server_list.h"

#include <optional>
#include <string>
#include <vector>

#include "core/dns_cache.h"
#include "system/doh_templates.h"
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
            CLockedStringList found(true);
            if (std::optional<std::string> value = key.ReadText(kNameServerValue)) {
                found.SplitUnique(*value, kServerSeparators);
            }
            for (const std::string& server : found.Texts()) {
                servers.AddTail(EncryptedForm(adapters.GetAt(i)->AdapterName, server));
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
    // Each whole: the DNS-over-HTTPS form of a server holds blanks and commas.
    for (std::string& text : adapterServers.Texts()) {
        candidates.AddTail(std::move(text));
    }
    auto lock = servers.Lock();
    servers.RemoveAll();
    for (std::string& text : candidates.Texts()) {
        if (IsValidServer(text, machine)) {
            servers.AddTail(std::move(text));
        }
    }
}

std::vector<std::string> AdapterServersInUse(const CAdapterList& adapters) {
    CLockedStringList servers(true);
    for (int i = 0; i < adapters.GetCount(); ++i) {
        const AdapterInfo& adapter = *adapters.GetAt(i);
        if (!adapter.PrimaryDns.empty()) {
            servers.AddTail(adapter.PrimaryDns);
        }
        servers.SplitUnique(adapter.OtherDns, ',');
    }
    return servers.Texts();
}

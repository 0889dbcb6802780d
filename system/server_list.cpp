#include "system/server_list.h"

#include <optional>
#include <string>

#include "core/dns_cache.h"
#include "net/address_text.h"
#include "system/registry_key.h"
#include "system/system_dns.h"

bool IsValidServer(std::string_view text) {
    return !text.empty() && TextToAddress(text) != kAddressNone;
}

void CollectAdapterDns(const CAdapterList& adapters, CLockedStringList& servers) {
    for (int i = 0; i < adapters.GetCount(); ++i) {
        CRegistryKey key;
        if (!key.Open(HKEY_LOCAL_MACHINE,
                      std::string(kInterfacesKey) + "\\" + adapters.GetAt(i)->AdapterName,
                      KEY_READ)) {
            continue;
        }
        if (std::optional<std::string> value = key.ReadText(kNameServerValue)) {
            servers.SplitUnique(*value, kServerSeparators);
        }
    }
}

void BuildServerList(CLockedStringList& servers, std::string_view dnsSetting,
                     const CLockedStringList& adapterServers) {
    const std::string_view saved = dnsSetting == kProxyAddress ? kFallbackDnsServer : dnsSetting;
    const std::string fromAdapters = adapterServers.JoinList(',');
    auto lock = servers.Lock();
    servers.RemoveAll();
    servers.SplitUnique(saved, '|');
    servers.SplitUnique(fromAdapters, kServerSeparators);
    servers.RemoveFirst(kProxyAddress);
    servers.RemoveFirst("");  // what "10.0.0.1||10.0.0.2" or a leading "|" leaves
}

#include "system/doh_templates.h"

#include <algorithm>
#include <optional>

#include "core/upstream_server.h"
#include "system/registry_key.h"

namespace {

std::optional<std::string> ReadTemplate(const std::string& path, const char* value) {
    CRegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ)) {
        return std::nullopt;
    }
    std::optional<std::string> text = key.ReadText(value);
    return text && !text->empty() ? text : std::nullopt;
}

}  // namespace

std::string EncryptedForm(std::string_view adapterName, const std::string& server) {
    std::string reason;
    const std::optional<CSocketAddress> address = ParseUpstreamServer(server, reason);
    // The DNS Client keeps templates for plain addresses on port 53 only.
    if (!address || address->Port() != kDefaultDnsServerPort || address->ScopeId() != 0) {
        return server;
    }
    const std::string text = address->AddressText();
    const char* family = address->Family() == AddressFamily::kIpv6 ? "\\Doh6\\" : "\\Doh\\";
    std::optional<std::string> found =
        ReadTemplate(std::string(kDohInterfacesKey) + "\\" + std::string(adapterName) + "\\" +
                         kDohInterfaceSettings + family + text,
                     kDohInterfaceTemplateValue);
    if (!found) {
        found = ReadTemplate(std::string(kDohWellKnownKey) + "\\" + text, kDohTemplateValue);
    }
    if (!found) {
        return server;
    }
    const std::optional<std::string> url = ExpandedUriTemplate(*found);
    if (!url) {
        return server;
    }
    std::string https = *url + " (" + text + ")";
    const std::optional<UpstreamEndpoint> endpoint = ParseUpstreamEndpoint(https, reason);
    return endpoint && endpoint->Https ? https : server;
}

#include "system/server_list.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/dns_cache.h"
#include "fake_ip_helper.h"
#include "registry_values.h"
#include "system/doh_templates.h"

namespace {

using Texts = std::vector<std::string>;
using qftest::kNoKey;

const std::string kFallback(kFallbackDnsServer);

// One adapter with a saved server and new ones (an IPv6 one too), one taken over by the proxy,
// one cut at spaces, one without a value, one whose value is longer than the 256 bytes read.
// What enters the list: the setting's valid servers, then the adapters' it lacks; never the
// proxy itself nor a malformed item.
TEST(ServerListLoad, SettingComesFirstThenTheAdaptersServersWithoutRepeatsOrTheProxy) {
    FakeIpHelper system;
    qftest::SetUpAdapters(system,
                          {{"{A}", {"10.0.0.2", "10.0.0.3"}, "10.0.0.2,10.0.0.3", "fd00::53"},
                           {"{B}", {"127.0.0.1"}, "127.0.0.1", "::1"},
                           {"{C}", {"10.0.0.4", "10.0.0.5"}, "10.0.0.4 10.0.0.5", kNoKey},
                           {"{D}", {}, kNoKey, kNoKey},
                           {"{E}", {"10.0.0.6"}, std::string(300, '1'), kNoKey}});
    CLockedStringList collected(true);
    CollectAdapterDns(CAdapterList(system.Api()), collected);
    EXPECT_EQ(collected.Texts(), (Texts{"10.0.0.2", "10.0.0.3", "fd00::53", "127.0.0.1", "::1",
                                        "10.0.0.4", "10.0.0.5"}));

    const std::vector<CSocketAddress> machine{*CSocketAddress::FromText("192.0.2.7", 0)};
    for (const auto& [dns, expected] : std::initializer_list<std::pair<const char*, Texts>>{
             // No INI file yet: the fixed public server.
             {"127.0.0.1", {kFallback, "10.0.0.2", "10.0.0.3", "fd00::53", "10.0.0.4", "10.0.0.5"}},
             {"10.0.0.1|10.0.0.2",
              {"10.0.0.1", "10.0.0.2", "10.0.0.3", "fd00::53", "10.0.0.4", "10.0.0.5"}},
             // Empty and malformed items, and this machine on port 53, are skipped; other ports
             // and the IPv6 forms are servers.
             {"|10.0.0.9||256.1.1.1|192.0.2.7|[::1]:53|1.2.3.4.5|[::1]:5353|[2001:db8::1]:5353|",
              {"10.0.0.9", "[::1]:5353", "[2001:db8::1]:5353", "10.0.0.2", "10.0.0.3", "fd00::53",
               "10.0.0.4", "10.0.0.5"}}}) {
        CLockedStringList servers(true);
        servers.AddTail("stale");
        BuildServerList(servers, dns, collected, machine);
        EXPECT_EQ(servers.Texts(), expected) << dns;
    }
}

// Servers that Windows' DNS Client reaches encrypted enter in their HTTPS form, the adapter's
// own template before the well-known one, a URI template's expression expanded to nothing; a
// template that is no https:// URL leaves its server plain. The forms enter the list whole.
TEST(ServerListLoad, WindowsEncryptedServersEnterInTheirHttpsForm) {
    FakeIpHelper system;
    qftest::SetUpAdapters(system, {{"{A}", {}, "192.0.2.1,192.0.2.2,192.0.2.3", "2001:db8::1"}});
    const std::string own = std::string(kDohInterfacesKey) + "\\{A}\\" + kDohInterfaceSettings;
    for (const auto& [key, value, text] : std::initializer_list<std::array<std::string, 3>>{
             {std::string(kDohWellKnownKey) + "\\192.0.2.1", kDohTemplateValue,
              "https://dns.example/dns-query{?dns}"},
             {std::string(kDohWellKnownKey) + "\\192.0.2.2", kDohTemplateValue,
              "https://well.example/q"},
             {own + "\\Doh\\192.0.2.2", kDohInterfaceTemplateValue, "https://own.example/q"},
             {std::string(kDohWellKnownKey) + "\\192.0.2.3", kDohTemplateValue,
              "http://plain.example/dns-query"},
             {own + "\\Doh6\\2001:db8::1", kDohInterfaceTemplateValue,
              "https://[2001:db8::1]/dns-query"}}) {
        ASSERT_EQ(::RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), REG_SZ,
                                    text.c_str(), static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS);
    }
    CLockedStringList collected(true);
    CollectAdapterDns(CAdapterList(system.Api()), collected);
    const Texts expected{"https://dns.example/dns-query (192.0.2.1)",
                         "https://own.example/q (192.0.2.2)", "192.0.2.3",
                         "https://[2001:db8::1]/dns-query (2001:db8::1)"};
    EXPECT_EQ(collected.Texts(), expected);
    CLockedStringList servers(true);
    BuildServerList(servers, kFallback, collected, {});
    Texts listed{kFallback};
    listed.insert(listed.end(), expected.begin(), expected.end());
    EXPECT_EQ(servers.Texts(), listed);
}

}  // namespace

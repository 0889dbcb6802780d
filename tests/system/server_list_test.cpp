#include "system/server_list.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/dns_cache.h"
#include "fake_ip_helper.h"
#include "registry_values.h"

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

}  // namespace

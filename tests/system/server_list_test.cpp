#include "system/server_list.h"

#include <gtest/gtest.h>

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

// One adapter with a saved server and a new one, one taken over by the proxy, one cut at spaces,
// one without a value, one whose value is longer than the 256 bytes read.
TEST(ServerListLoad, SettingComesFirstThenTheAdaptersServersWithoutRepeatsOrTheProxy) {
    FakeIpHelper system;
    qftest::SetUpAdapters(system, {{"{A}", {"10.0.0.2", "10.0.0.3"}, "10.0.0.2,10.0.0.3", kNoKey},
                                   {"{B}", {"127.0.0.1"}, "127.0.0.1", kNoKey},
                                   {"{C}", {"10.0.0.4", "10.0.0.5"}, "10.0.0.4 10.0.0.5", kNoKey},
                                   {"{D}", {}, kNoKey, kNoKey},
                                   {"{E}", {"10.0.0.6"}, std::string(300, '1'), kNoKey}});
    CLockedStringList collected(true);
    CollectAdapterDns(CAdapterList(system.Api()), collected);
    EXPECT_EQ(collected.Texts(),
              (Texts{"10.0.0.2", "10.0.0.3", "127.0.0.1", "10.0.0.4", "10.0.0.5"}));

    // No INI file yet ("127.0.0.1"): the fixed public server; empty texts ("||") are no servers.
    for (const auto& [dns, expected] :
         {std::pair<const char*, Texts>{
              "127.0.0.1", {kFallback, "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}},
          {"10.0.0.1|10.0.0.2", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}},
          {"|10.0.0.9||10.0.0.3|", {"10.0.0.9", "10.0.0.3", "10.0.0.2", "10.0.0.4", "10.0.0.5"}}}) {
        CLockedStringList servers(true);
        servers.AddTail("stale");
        BuildServerList(servers, dns, collected);
        EXPECT_EQ(servers.Texts(), expected) << dns;
    }
}

}  // namespace

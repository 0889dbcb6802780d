#include "system/adapter_list.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fake_ip_helper.h"

namespace {

using Servers = std::vector<std::string>;

// Name, primary and other servers of every adapter in the list.
Servers Described(const CAdapterList& list) {
    Servers described;
    for (int i = 0; i < list.GetCount(); ++i) {
        const AdapterInfo& adapter = *list.GetAt(i);
        described.push_back(adapter.AdapterName + " " + adapter.PrimaryDns + " " +
                            adapter.OtherDns);
    }
    return described;
}

TEST(AdapterList, FirstServerIsPrimaryAndTheRestAreJoinedByOneComma) {
    FakeIpHelper system;
    system.adapters = {{"{three}", 7, {"10.0.0.1", "10.0.0.2", "10.0.0.3"}},
                       {"{none}", 8, {}},
                       {"{one}", 9, {"10.0.0.4"}}};
    CAdapterList list(system.Api());
    EXPECT_EQ(Described(list),
              (Servers{"{three} 10.0.0.1 10.0.0.2,10.0.0.3", "{none}  ", "{one} 10.0.0.4 "}));
    EXPECT_EQ(list.GetAt(0)->Index, 7u);
    EXPECT_EQ(list.GetAt(3), nullptr);
    EXPECT_EQ(list.GetAt(-1), nullptr);

    // Data beyond the first buffer are read completely after one retry.
    Servers many;
    for (int i = 0; i < 300; ++i) {
        many.push_back("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    }
    system.adapters.clear();
    for (uint32_t i = 0; i < 20; ++i) {
        system.adapters.push_back({"{adapter " + std::to_string(i) + "}", i + 1, {"10.0.0.9"}});
    }
    system.adapters.back().dnsServers = many;
    CAdapterList large(system.Api());
    ASSERT_EQ(large.GetCount(), 20);
    EXPECT_EQ(large.GetAt(19)->AdapterName, "{adapter 19}");
    EXPECT_EQ(large.GetAt(19)->PrimaryDns, "10.1.0.0");
    EXPECT_TRUE(large.GetAt(19)->OtherDns.ends_with(",10.1.1.43"));
}

TEST(AdapterList, FailuresOfTheSystemGiveAnEmptyListOrEmptyServers) {
    FakeIpHelper none;
    CAdapterList empty(none.Api());
    EXPECT_EQ(empty.GetCount(), 0);
    EXPECT_EQ(empty.Refresh(), -1);

    // The adapter is listed even when its servers cannot be asked for.
    FakeIpHelper unknown;
    unknown.adapters = {{"{known}", 1, {"10.0.0.1"}}};
    IpHelperApi api = unknown.Api();
    api.getPerAdapterInfo = [](ULONG, PIP_PER_ADAPTER_INFO, PULONG) -> DWORD {
        return ERROR_NOT_SUPPORTED;
    };
    EXPECT_EQ(Described(CAdapterList(api)), Servers{"{known}  "});
}

// Wine reports the host's IPv4 name servers as every adapter's DNS servers.
TEST(AdapterList, TheMachinesAdaptersCarryTheServersTheSystemUses) {
    CAdapterList list;
    if (list.GetCount() == 0) {
        GTEST_SKIP() << "no network adapter here (a namespace with loopback only)";
    }
    std::ifstream file("Z:\\etc\\resolv.conf");
    std::string primary;
    std::string others;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (words >> keyword >> address && keyword == "nameserver" &&
            address.find(':') == std::string::npos) {
            if (primary.empty()) {
                primary = address;
            } else {
                others += (others.empty() ? "" : ",") + address;
            }
        }
    }
    ASSERT_FALSE(primary.empty());
    for (int i = 0; i < list.GetCount(); ++i) {
        const AdapterInfo& adapter = *list.GetAt(i);
        EXPECT_TRUE(adapter.AdapterName.starts_with("{")) << adapter.AdapterName;
        EXPECT_EQ(adapter.PrimaryDns, primary) << adapter.AdapterName;
        EXPECT_EQ(adapter.OtherDns, others) << adapter.AdapterName;
    }
}

}  // namespace

#include "system/adapter_list.h"

#include <gtest/gtest.h>

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

    // More adapters, and more servers for the last one, than the first buffer holds: both are
    // read completely after one retry.
    system.adapters.clear();
    for (uint32_t i = 0; i < 20; ++i) {
        system.adapters.push_back({"{adapter " + std::to_string(i) + "}", i + 1, {}});
    }
    for (int i = 0; i < 300; ++i) {
        system.adapters.back().dnsServers.push_back("10.1." + std::to_string(i / 256) + "." +
                                                    std::to_string(i % 256));
    }
    CAdapterList large(system.Api());
    ASSERT_EQ(large.GetCount(), 20);
    EXPECT_EQ(large.GetAt(19)->PrimaryDns, "10.1.0.0");
    EXPECT_TRUE(large.GetAt(19)->OtherDns.ends_with(",10.1.1.43"));

    // The system fails: no adapters, or an adapter whose servers cannot be asked for.
    system.adapters = {{"{known}", 1, {"10.0.0.1"}}};
    IpHelperApi api = system.Api();
    api.getPerAdapterInfo = [](ULONG, PIP_PER_ADAPTER_INFO, PULONG) -> DWORD {
        return ERROR_NOT_SUPPORTED;
    };
    EXPECT_EQ(Described(CAdapterList(api)), Servers{"{known}  "});
    system.adapters.clear();
    EXPECT_EQ(CAdapterList(system.Api()).Refresh(), -1);
}

}  // namespace

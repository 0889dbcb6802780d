#include "system/adapter_list.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fake_ip_helper.h"

namespace {

using Servers = std::vector<std::string>;

TEST(AdapterList, FirstServerIsPrimaryAndTheRestAreJoinedByOneComma) {
    FakeIpHelper system;
    system.adapters = {{"{three}", 7, {"10.0.0.1", "10.0.0.2", "10.0.0.3"}},
                       {"{none}", 8, {}},
                       {"{one}", 9, {"10.0.0.4"}}};
    CAdapterList list(system.Api());

    ASSERT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetAt(0)->AdapterName, "{three}");
    EXPECT_EQ(list.GetAt(0)->Index, 7u);
    EXPECT_EQ(list.GetAt(0)->PrimaryDns, "10.0.0.1");
    EXPECT_EQ(list.GetAt(0)->OtherDns, "10.0.0.2,10.0.0.3");
    EXPECT_EQ(list.GetAt(1)->PrimaryDns, "");
    EXPECT_EQ(list.GetAt(1)->OtherDns, "");
    EXPECT_EQ(list.GetAt(2)->PrimaryDns, "10.0.0.4");
    EXPECT_EQ(list.GetAt(2)->OtherDns, "");
    EXPECT_EQ(list.GetAt(3), nullptr);
    EXPECT_EQ(list.GetAt(-1), nullptr);
}

TEST(AdapterList, DataBeyondTheFirstBufferAreReadCompletelyAfterOneRetry) {
    FakeIpHelper system;
    Servers many;
    for (int i = 0; i < 300; ++i) {
        many.push_back("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    }
    for (uint32_t i = 0; i < 20; ++i) {
        system.adapters.push_back({"{adapter " + std::to_string(i) + "}", i + 1, {"10.0.0.9"}});
    }
    system.adapters.back().dnsServers = many;
    CAdapterList list(system.Api());

    ASSERT_EQ(list.GetCount(), 20);
    EXPECT_EQ(list.GetAt(19)->AdapterName, "{adapter 19}");
    EXPECT_EQ(list.GetAt(19)->PrimaryDns, "10.1.0.0");
    EXPECT_TRUE(list.GetAt(19)->OtherDns.ends_with(",10.1.1.43"));
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
    CAdapterList partial(api);
    ASSERT_EQ(partial.GetCount(), 1);
    EXPECT_EQ(partial.GetAt(0)->PrimaryDns, "");
    EXPECT_EQ(partial.GetAt(0)->OtherDns, "");
}

// The IPv4 name servers of the host, which Wine reports as every adapter's DNS servers.
Servers HostNameServers() {
    std::ifstream file("Z:\\etc\\resolv.conf");
    Servers servers;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (words >> keyword >> address && keyword == "nameserver" &&
            address.find(':') == std::string::npos) {
            servers.push_back(address);
        }
    }
    return servers;
}

TEST(AdapterList, TheMachinesAdaptersCarryTheServersTheSystemUses) {
    CAdapterList list;
    if (list.GetCount() == 0) {
        GTEST_SKIP() << "no network adapter here (a namespace with loopback only)";
    }
    Servers host = HostNameServers();
    ASSERT_FALSE(host.empty());
    std::string others;
    for (size_t i = 1; i < host.size(); ++i) {
        others += (i > 1 ? "," : "") + host[i];
    }
    for (int i = 0; i < list.GetCount(); ++i) {
        const AdapterInfo& adapter = *list.GetAt(i);
        EXPECT_TRUE(adapter.AdapterName.starts_with("{")) << adapter.AdapterName;
        EXPECT_EQ(adapter.PrimaryDns, host[0]) << adapter.AdapterName;
        EXPECT_EQ(adapter.OtherDns, others) << adapter.AdapterName;
    }
}

}  // namespace

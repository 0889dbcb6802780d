#include "system/system_dns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_ip_helper.h"
#include "registry_values.h"

namespace {

using namespace qftest;
using Texts = std::vector<std::string>;

class SystemDns : public ::testing::Test {
protected:
    void SetUp() override { SetUpAdapters(system, kDualStack); }

    FakeIpHelper system;
};

TEST_F(SystemDns, TakeoverPointsEveryAdapterAtTheProxyAndEachStopPutsBackExactlyWhatWasThere) {
    CAdapterList adapters(system.Api());
    EXPECT_EQ(SnapshotAdapterDns(adapters), 1);
    for (int cycle = 0; cycle < 2; ++cycle) {
        // Between two runs of the proxy the user gives the first adapter other servers: they are
        // what the next stop puts back, not those of the first-run record.
        if (cycle == 1) {
            StoreNameServer(InterfaceKey("{static}"), "10.0.0.9\0"s);
        }
        const Texts before = StaticValues(kDualStack);
        EXPECT_EQ(SetSystemDns(adapters, true), TRUE);
        EXPECT_EQ(StaticValues(kDualStack), kDualStackTakenOver);
        EXPECT_EQ(adapters.GetAt(0)->PrimaryDns + " " + adapters.GetAt(0)->OtherDns,
                  "127.0.0.1 10.0.0.1,10.0.0.2");

        SetSystemDns(adapters, false);
        EXPECT_EQ(StaticValues(kDualStack), before) << "the DHCP adapter has no static value";
        EXPECT_EQ(adapters.GetAt(0)->PrimaryDns + " " + adapters.GetAt(0)->OtherDns,
                  "10.0.0.1 10.0.0.2");
    }
}

// After a crash during the takeover the next run puts back the record's static values. Adapters
// with an older copy's record (servers in use only) or none get those servers, never the proxy,
// cut to 254 characters, else DHCP; an IPv6 value of their own stays.
TEST_F(SystemDns, AfterACrashTheNextRunPutsBackTheRecordOrTheServersUsed) {
    struct Case {
        std::string name, static6, record, after4, after6;
    };
    const std::string longest(254, '1');
    const std::vector<Case> cases{
        {"{older record}", "fd00::9\0"s, "10.0.0.1,10.0.0.2", "10.0.0.1,10.0.0.2\0\0"s,
         "fd00::9\0"s},
        {"{proxy and more}", kNoKey, "127.0.0.1,10.0.0.7", "10.0.0.7\0\0"s, kNoKey},
        {"{proxy alone}", kNoKey, "127.0.0.1", "\0\0"s, kNoKey},
        {"{long}", kNoKey, longest + "1", longest + "\0\0"s, kNoKey},
        {"{added later}", kAtProxy6, "", "\0\0"s, kNoValue}};
    Texts expected = StaticValues(kDualStack);
    RunAndCrash(system);
    for (FakeIpHelper::Adapter& adapter : system.adapters) {
        adapter.dnsServers = {"127.0.0.1"};
    }
    std::vector<TestAdapter> crashed;
    for (const Case& item : cases) {
        crashed.push_back({item.name, {"127.0.0.1"}, kAtProxy4, item.static6});
        expected.insert(expected.end(), {item.after4, item.after6});
        if (!item.record.empty()) {
            Record(item.name, item.record);
        }
    }
    AddAdapters(system, crashed);
    std::vector<TestAdapter> machine = kDualStack;
    machine.insert(machine.end(), crashed.begin(), crashed.end());

    CAdapterList adapters(system.Api());
    EXPECT_EQ(SnapshotAdapterDns(adapters), 0);
    SetSystemDns(adapters, true);
    EXPECT_EQ(StaticValues(kDualStack), kDualStackTakenOver);
    SetSystemDns(adapters, false);
    EXPECT_EQ(StaticValues(machine), expected);
}

TEST_F(SystemDns, FirstRunRecordIsTakenOnceAndNeverNamesTheProxy) {
    system.adapters.push_back({"{at proxy only}", 14, {"127.0.0.1"}});
    system.adapters.push_back({"{at proxy and more}", 15, {"127.0.0.1", "10.0.0.5"}});
    EXPECT_EQ(SnapshotAdapterDns(CAdapterList(system.Api())), 1);
    EXPECT_EQ((Texts{Recorded(kFirstRunValue), Recorded("{static}"), Recorded("{dhcp}"),
                     Recorded("{at proxy only}"), Recorded("{at proxy and more}")}),
              (Texts{"0", "10.0.0.1,10.0.0.2", "192.0.2.53", "<none>", "10.0.0.5"}));

    // "FirstRun" "0": a later start records nothing; any other value counts as a first run.
    system.adapters[0].dnsServers = {"10.9.9.9"};
    EXPECT_EQ(SnapshotAdapterDns(CAdapterList(system.Api())), 0);
    EXPECT_EQ(Recorded("{static}"), "10.0.0.1,10.0.0.2");
    Record(kFirstRunValue, "1");
    EXPECT_EQ(SnapshotAdapterDns(CAdapterList(system.Api())), 1);
    EXPECT_EQ(Recorded("{static}"), "10.9.9.9");
}

}  // namespace

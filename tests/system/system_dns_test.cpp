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
            StoreNameServer(InterfaceKey("{static}"), "1:10.0.0.9\\0");
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

// The crashed run's objects are dropped without a stop; the next run starts from the registry,
// where the system reports the proxy as every adapter's server.
TEST_F(SystemDns, AfterACrashTheNextRunPutsBackTheStaticValuesOfTheRecord) {
    const Texts before = StaticValues(kDualStack);
    {
        CAdapterList crashed(system.Api());
        SnapshotAdapterDns(crashed);
        SetSystemDns(crashed, true);
    }
    for (FakeIpHelper::Adapter& adapter : system.adapters) {
        adapter.dnsServers = {"127.0.0.1"};
    }
    CAdapterList adapters(system.Api());
    EXPECT_EQ(SnapshotAdapterDns(adapters), 0);
    SetSystemDns(adapters, true);
    EXPECT_EQ(StaticValues(kDualStack), kDualStackTakenOver);
    SetSystemDns(adapters, false);
    EXPECT_EQ(StaticValues(kDualStack), before);
}

// Left at the proxy by a crash, with a record of an older copy (the servers in use only) or
// none: the record's servers are written as before, never the proxy, cut to 254 characters;
// without them the adapter follows DHCP. An IPv6 value of its own stays as it was.
TEST_F(SystemDns, WithoutItsStaticRecordACrashedAdapterGetsTheServersItUsed) {
    struct Case {
        TestAdapter adapter;
        const char* record;
        Texts after;
    };
    const std::string longRecord(255, '1');
    const std::vector<Case> cases{
        {{"{older record}", {"127.0.0.1"}, kAtProxy4, "1:fd00::9\\0"},
         "10.0.0.1,10.0.0.2",
         {"1:10.0.0.1,10.0.0.2\\0\\0", "1:fd00::9\\0"}},
        {{"{proxy and more}", {"127.0.0.1"}, kAtProxy4, kNoKey},
         "127.0.0.1,10.0.0.7",
         {"1:10.0.0.7\\0\\0", kNoKey}},
        {{"{proxy alone}", {"127.0.0.1"}, kAtProxy4, kNoKey}, "127.0.0.1", {"1:\\0\\0", kNoKey}},
        {{"{long}", {"127.0.0.1"}, kAtProxy4, kNoKey},
         longRecord.c_str(),
         {"1:" + longRecord.substr(1) + "\\0\\0", kNoKey}},
        {{"{added later}", {"127.0.0.1"}, kAtProxy4, kAtProxy6}, nullptr, {"1:\\0\\0", kNoValue}}};
    std::vector<TestAdapter> machine;
    Texts expected;
    for (const Case& item : cases) {
        machine.push_back(item.adapter);
        expected.insert(expected.end(), item.after.begin(), item.after.end());
    }
    system.adapters.clear();
    SetUpAdapters(system, machine);
    Record(kFirstRunValue, "0");
    for (const Case& item : cases) {
        if (item.record != nullptr) {
            Record(item.adapter.name, item.record);
        }
    }
    CAdapterList adapters(system.Api());
    SetSystemDns(adapters, true);
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

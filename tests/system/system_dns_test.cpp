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

TEST_F(SystemDns, EachTakeoverRecordsWhatTheAdaptersHaveAndEachStopPutsBackExactlyThat) {
    CAdapterList adapters(system.Api());
    for (int cycle = 0; cycle < 2; ++cycle) {
        // Between two runs of the proxy the user gives the first adapter other servers: the next
        // takeover records them and the next stop puts them back.
        if (cycle == 1) {
            StoreNameServer(InterfaceKey("{static}"), "10.0.0.9\0"s);
        }
        const Texts before = StaticValues(kDualStack);
        EXPECT_EQ(SetSystemDns(adapters, true), 3);
        EXPECT_EQ(StaticValues(kDualStack), kDualStackTakenOver);
        EXPECT_EQ(StaticValues(kDualStack, true), before);

        EXPECT_EQ(SetSystemDns(adapters, false), 3);
        EXPECT_EQ(StaticValues(kDualStack), before) << "the DHCP adapter has no static value";
        EXPECT_EQ(StaticValues(kDualStack, true), Texts(6, kNoKey)) << "the record goes";
    }
}

// A value naming a loopback address is a resolver of the user's: the takeover and the restore
// leave such an adapter exactly as it is and record nothing of it. A value that the user changes
// while the proxy runs is the user's too, and the stop leaves it.
TEST_F(SystemDns, AdaptersAtALoopbackResolverAndValuesChangedMeanwhileStayAsTheyAre) {
    const std::vector<TestAdapter> loopback{{"{own resolver}", {}, "127.0.0.1\0"s, kNoKey},
                                            {"{among others}", {}, "10.0.0.4 127.0.0.53", kNoKey},
                                            {"{ipv6 resolver}", {}, "10.0.0.5\0"s, "::1\0"s}};
    AddAdapters(system, loopback);
    const Texts before = StaticValues(loopback);
    CAdapterList adapters(system.Api());
    EXPECT_EQ(SetSystemDns(adapters, true), 3);
    EXPECT_EQ(StaticValues(loopback), before);
    EXPECT_EQ(StaticValues(loopback, true), Texts(6, kNoKey));
    for (int i = 3; i < 6; ++i) {
        EXPECT_TRUE(adapters.GetAt(i)->m_leftAlone);
    }

    StoreNameServer(InterfaceKey("{static}"), "10.0.0.8\0"s);
    EXPECT_EQ(SetSystemDns(adapters, false), 3) << "the IPv6 value of {static} is still ours";
    EXPECT_EQ(StoredNameServer(InterfaceKey("{static}")), "10.0.0.8\0"s);
    EXPECT_EQ(StaticValues(loopback), before);
}

// A run that crashed left its takeover behind: the next run's restore puts back the machine's
// record, which the last takeover took, also of an adapter unplugged meanwhile. Adapters at the
// proxy with an older version's record (servers in use only) get those servers, never the proxy,
// cut to 254 characters, and an IPv6 DNS that follows DHCP unless it is a value of their own;
// without any record they stay.
TEST_F(SystemDns, AfterACrashTheNextRunPutsBackTheRecordOfTheLastTakeover) {
    struct Case {
        std::string name, static6, record, after4, after6;
    };
    const std::string longest(254, '1');
    const std::vector<Case> cases{
        {"{older record}", "fd00::9\0"s, "10.0.0.1,10.0.0.2", "10.0.0.1,10.0.0.2\0\0"s,
         "fd00::9\0"s},
        {"{proxy and more}", kAtProxy6, "127.0.0.1,10.0.0.7", "10.0.0.7\0\0"s, kNoValue},
        {"{proxy alone}", kNoKey, "127.0.0.1", kAtProxy4, kNoKey},
        {"{long}", kNoKey, longest + "1", longest + "\0\0"s, kNoKey},
        {"{no record}", kAtProxy6, "", kAtProxy4, kAtProxy6}};
    CAdapterList firstRun(system.Api());
    SetSystemDns(firstRun, true);
    SetSystemDns(firstRun, false);
    StoreNameServer(InterfaceKey("{static}"), "10.0.0.9\0"s);
    Texts expected = StaticValues(kDualStack);
    RunAndCrash(system);
    // Unplugged meanwhile, an adapter is not listed by the next run's system; it is put back all
    // the same, for when it comes back.
    std::erase_if(system.adapters, [](const auto& adapter) { return adapter.name == "{dhcp}"; });
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

    CAdapterList nextRun(system.Api());
    EXPECT_EQ(SetSystemDns(nextRun, false), 6);
    EXPECT_EQ(StaticValues(machine), expected);
    EXPECT_EQ(StaticValues(kDualStack, true), Texts(6, kNoKey));
}

}  // namespace

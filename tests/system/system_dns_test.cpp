#include "system/system_dns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_ip_helper.h"
#include "registry_values.h"

namespace {

using qftest::NameServer;
using qftest::Record;
using qftest::Recorded;
using qftest::SetNameServer;
using Texts = std::vector<std::string>;

const std::string kFirst = "{first}", kSecond = "{second}", kThird = "{third}";
const Texts kAtProxy{"127.0.0.1", "127.0.0.1", "127.0.0.1"};
const Texts kBefore{"10.0.0.1,10.0.0.2", "10.0.0.3", ""};

// Each test starts without a first-run record, with three adapters whose interface keys hold
// their servers from before the program (a fresh prefix has no interface keys of its own).
class SystemDns : public ::testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kDnsServersKey);
        system.adapters = {
            {kFirst, 11, {"10.0.0.1", "10.0.0.2"}}, {kSecond, 12, {"10.0.0.3"}}, {kThird, 13, {}}};
        for (size_t i = 0; i < 3; ++i) {
            SetNameServer(system.adapters[i].name, kBefore[i]);
        }
    }
    static Texts NameServers() {
        return {NameServer(kFirst), NameServer(kSecond), NameServer(kThird)};
    }

    FakeIpHelper system;
};

TEST_F(SystemDns, TakeoverPointsEveryAdapterAtTheProxyAndEachRestoreGivesItsServersBack) {
    CAdapterList adapters(system.Api());
    EXPECT_EQ(SnapshotAdapterDns(adapters), 1);
    for (int cycle = 0; cycle < 2; ++cycle) {
        EXPECT_EQ(SetSystemDns(adapters, true), TRUE);
        EXPECT_EQ(NameServers(), kAtProxy);
        EXPECT_EQ(adapters.GetAt(0)->PrimaryDns, "127.0.0.1");
        EXPECT_EQ(adapters.GetAt(0)->OtherDns, "10.0.0.1,10.0.0.2");

        SetSystemDns(adapters, false);
        EXPECT_EQ(NameServers(), kBefore);
        EXPECT_EQ(adapters.GetAt(0)->PrimaryDns, "10.0.0.1");
        EXPECT_EQ(adapters.GetAt(0)->OtherDns, "10.0.0.2");
    }
}

TEST_F(SystemDns, FirstRunRecordIsTakenOnceAndNeverNamesTheProxy) {
    system.adapters.push_back({"{at proxy only}", 14, {"127.0.0.1"}});
    system.adapters.push_back({"{at proxy and more}", 15, {"127.0.0.1", "10.0.0.5"}});
    EXPECT_EQ(SnapshotAdapterDns(CAdapterList(system.Api())), 1);
    EXPECT_EQ((Texts{Recorded("FirstRun"), Recorded(kFirst), Recorded(kSecond), Recorded(kThird),
                     Recorded("{at proxy only}"), Recorded("{at proxy and more}")}),
              (Texts{"0", "10.0.0.1,10.0.0.2", "10.0.0.3", "", "<none>", "10.0.0.5"}));

    // "FirstRun" "0": a later start records nothing; any other value counts as a first run.
    system.adapters[0].dnsServers = {"10.9.9.9"};
    EXPECT_EQ(SnapshotAdapterDns(CAdapterList(system.Api())), 0);
    EXPECT_EQ(Recorded(kFirst), "10.0.0.1,10.0.0.2");
    Record("FirstRun", "1");
    EXPECT_EQ(SnapshotAdapterDns(CAdapterList(system.Api())), 1);
    EXPECT_EQ(Recorded(kFirst), "10.9.9.9");
}

TEST_F(SystemDns, TheNextRunUndoesATakeoverLeftBehindByACrash) {
    SnapshotAdapterDns(CAdapterList(system.Api()));
    CAdapterList crashed(system.Api());
    SetSystemDns(crashed, true);

    // The next run: the system reports the proxy as the first two adapters' only server. The
    // first one's value goes, to see whether the takeover writes it.
    system.adapters[0].dnsServers = {"127.0.0.1"};
    system.adapters[1].dnsServers = {"127.0.0.1"};
    SetNameServer(kThird, "");
    ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, qftest::InterfaceKey(kFirst).c_str(), "NameServer");
    CAdapterList adapters(system.Api());
    EXPECT_EQ(SnapshotAdapterDns(adapters), 0);

    SetSystemDns(adapters, true);
    EXPECT_EQ(NameServers(), (Texts{"<none>", "127.0.0.1", "127.0.0.1"}));
    SetSystemDns(adapters, false);
    EXPECT_EQ(NameServers(), kBefore);
    EXPECT_EQ(adapters.GetAt(0)->PrimaryDns, "10.0.0.1");
    EXPECT_EQ(adapters.GetAt(0)->OtherDns, "10.0.0.2");
}

// Records such as an older program could leave (the proxy alone, or the proxy and more), and
// none at all after a crash: the restore writes what the run knows but never the proxy. Long
// texts are cut to 254 characters, and an adapter without interface key is skipped.
TEST_F(SystemDns, RestoreWithoutAUsableRecordNeverWritesTheProxy) {
    Record(kFirst, std::string(255, '1'));
    Record(kSecond, "127.0.0.1");
    Record(kThird, "127.0.0.1,10.0.0.7");
    system.adapters.push_back({"{crashed, no record}", 14, {"127.0.0.1"}});
    SetNameServer("{crashed, no record}", "127.0.0.1");
    system.adapters.push_back({"{no key}", 15, {"10.0.0.8"}});
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, qftest::InterfaceKey("{no key}").c_str());
    CAdapterList adapters(system.Api());
    SetSystemDns(adapters, true);
    SetSystemDns(adapters, false);
    EXPECT_EQ(NameServers(), (Texts{std::string(254, '1'), "10.0.0.3", "10.0.0.7"}));
    EXPECT_EQ(NameServer("{crashed, no record}"), "") << "its DHCP servers apply again";
    EXPECT_EQ(NameServer("{no key}"), "<none>");
}

}  // namespace

#include "system/system_dns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_ip_helper.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kFirst = "{0E5D1A7C-0000-4000-8000-000000000001}";
const std::string kSecond = "{0E5D1A7C-0000-4000-8000-000000000002}";
const std::string kThird = "{0E5D1A7C-0000-4000-8000-000000000003}";
const Texts kAtProxy{"127.0.0.1", "127.0.0.1", "127.0.0.1"};
const Texts kBefore{"10.0.0.1,10.0.0.2", "10.0.0.3", ""};

std::string InterfaceKey(const std::string& adapter) {
    return std::string(kInterfacesKey) + "\\" + adapter;
}

// A string value's text, or "<none>" when there is no such value.
std::string Text(HKEY root, const std::string& key, const std::string& name) {
    char text[1024] = {};
    DWORD size = sizeof(text);
    return ::RegGetValueA(root, key.c_str(), name.c_str(),
                          RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text,
                          &size) == ERROR_SUCCESS
               ? text
               : "<none>";
}
std::string Recorded(const std::string& name) {
    return Text(HKEY_CURRENT_USER, kDnsServersKey, name);
}

void Write(HKEY root, const std::string& key, const std::string& name, const std::string& text) {
    ASSERT_EQ(::RegSetKeyValueA(root, key.c_str(), name.c_str(), REG_SZ, text.c_str(),
                                static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
}
void Record(const std::string& name, const std::string& text) {
    Write(HKEY_CURRENT_USER, kDnsServersKey, name, text);
}

// Each test starts without a first-run record, with three adapters whose interface keys hold
// their servers from before the program (a fresh prefix has no interface keys of its own).
class SystemDns : public ::testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kDnsServersKey);
        system.adapters = {
            {kFirst, 11, {"10.0.0.1", "10.0.0.2"}}, {kSecond, 12, {"10.0.0.3"}}, {kThird, 13, {}}};
        for (size_t i = 0; i < 3; ++i) {
            ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, InterfaceKey(system.adapters[i].name).c_str());
            Write(HKEY_LOCAL_MACHINE, InterfaceKey(system.adapters[i].name), "NameServer",
                  kBefore[i]);
        }
    }
    static std::string NameServer(const std::string& adapter) {
        return Text(HKEY_LOCAL_MACHINE, InterfaceKey(adapter), "NameServer");
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

    std::string servers = "untouched";
    EXPECT_EQ(ReadSavedAdapterDns("{never recorded}", servers), 0);
    EXPECT_EQ(servers, "untouched");
}

TEST_F(SystemDns, TheNextRunUndoesATakeoverLeftBehindByACrash) {
    SnapshotAdapterDns(CAdapterList(system.Api()));
    CAdapterList crashed(system.Api());
    SetSystemDns(crashed, true);

    // The next run: the system reports the proxy as the first two adapters' only server. The
    // first one's value goes, to see whether the takeover writes it.
    system.adapters[0].dnsServers = {"127.0.0.1"};
    system.adapters[1].dnsServers = {"127.0.0.1"};
    Write(HKEY_LOCAL_MACHINE, InterfaceKey(kThird), "NameServer", "");
    ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, InterfaceKey(kFirst).c_str(), "NameServer");
    CAdapterList adapters(system.Api());
    EXPECT_EQ(SnapshotAdapterDns(adapters), 0);

    SetSystemDns(adapters, true);
    EXPECT_EQ(NameServers(), (Texts{"<none>", "127.0.0.1", "127.0.0.1"}));
    SetSystemDns(adapters, false);
    EXPECT_EQ(NameServers(), kBefore);
    EXPECT_EQ(adapters.GetAt(0)->PrimaryDns, "10.0.0.1");
    EXPECT_EQ(adapters.GetAt(0)->OtherDns, "10.0.0.2");
}

TEST_F(SystemDns, RestoreWithoutAUsableRecordWritesWhatTheRunKnowsButNeverTheProxy) {
    // Records such as an older program could leave: the proxy alone, or the proxy and more.
    Record(kSecond, "127.0.0.1");
    Record(kThird, "127.0.0.1,10.0.0.7");
    system.adapters.push_back({"{crashed, no record}", 14, {"127.0.0.1"}});
    Write(HKEY_LOCAL_MACHINE, InterfaceKey("{crashed, no record}"), "NameServer", "127.0.0.1");
    CAdapterList adapters(system.Api());
    SetSystemDns(adapters, true);
    SetSystemDns(adapters, false);
    EXPECT_EQ(NameServers(), (Texts{"10.0.0.1,10.0.0.2", "10.0.0.3", "10.0.0.7"}));
    EXPECT_EQ(NameServer("{crashed, no record}"), "") << "its DHCP servers apply again";
}

TEST_F(SystemDns, LongServerTextsAreCutTo254CharactersAndAnAdapterWithoutKeyIsSkipped) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, InterfaceKey(kThird).c_str());
    Record(kFirst, std::string(255, '1'));
    CAdapterList adapters(system.Api());
    SetSystemDns(adapters, true);
    SetSystemDns(adapters, false);
    EXPECT_EQ(NameServer(kFirst), std::string(254, '1'));
    EXPECT_EQ(NameServer(kThird), "<none>");
}

}  // namespace

#include "system/server_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_ip_helper.h"
#include "registry_values.h"
#include "server_list_host.h"

namespace {

using Texts = std::vector<std::string>;
using qftest::CServerListHost;
using qftest::SetNameServer;

const std::string kFallback(kFallbackDnsServer);

// Adapters as the registry of the prefix holds them: one with a saved server and a new one, one
// taken over by the proxy, one cut at spaces, one without a value, one whose value is longer
// than the 256 bytes read.
TEST(ServerListLoad, SettingComesFirstThenTheAdaptersServersWithoutRepeatsOrTheProxy) {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kDnsServersKey);
    FakeIpHelper system;
    system.adapters = {{"{A}", 1, {"10.0.0.2", "10.0.0.3"}},
                       {"{B}", 2, {"127.0.0.1"}},
                       {"{C}", 3, {"10.0.0.4", "10.0.0.5"}},
                       {"{D}", 4, {}},
                       {"{E}", 5, {"10.0.0.6"}}};
    SetNameServer("{A}", "10.0.0.2,10.0.0.3");
    SetNameServer("{B}", "127.0.0.1");
    SetNameServer("{C}", "10.0.0.4 10.0.0.5");
    SetNameServer("{E}", std::string(300, '1'));
    const CAdapterList adapters(system.Api());

    CLockedStringList collected(true);
    CollectAdapterDns(adapters, collected);
    EXPECT_EQ(collected.Texts(),
              (Texts{"10.0.0.2", "10.0.0.3", "127.0.0.1", "10.0.0.4", "10.0.0.5"}));
    EXPECT_EQ(qftest::Recorded("{A}"), "10.0.0.2,10.0.0.3") << "the first-run record is taken";

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

    // What the box shows is what is saved, without the proxy's own address.
    CServerListHost host;
    host.servers.Load("10.0.0.1", adapters);
    host.servers.FillServerListCtrl(host.servers.Servers());
    EXPECT_EQ(host.Box(), (Texts{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}));
    host.servers.Control().AddItem("127.0.0.1");
    host.servers.Control().AddItem("no address");
    EXPECT_EQ(host.servers.DnsSetting(), "10.0.0.1|10.0.0.2|10.0.0.3|10.0.0.4|10.0.0.5");
}

// Every edit is validated: a refused text is named in the message and leaves the box. Only a
// change of the first server switches the proxy at once and saves the list.
TEST(ServerListEdit, InvalidTextsAreRefusedAndOnlyANewFirstServerSwitchesAndSaves) {
    CServerListHost host;
    host.Fill({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    CMessageBoxAnswerer answerer;
    host.Edit(1, "10.0.0.x");
    host.Insert("256.1.1.1");
    host.Edit(0, "server.example");
    EXPECT_EQ(answerer.Texts(),
              (Texts{"10.0.0.x is not a valid ip address, please input again.",
                     "256.1.1.1 is not a valid ip address, please input again.",
                     "server.example is not a valid ip address, please input again."}));
    EXPECT_EQ(host.Box(), Texts{"10.0.0.3"});
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.1");

    // An added server goes to the end and is not used yet.
    host.Fill({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    host.Insert("10.1");
    EXPECT_EQ(answerer.Texts().size(), 3u);
    EXPECT_EQ(host.Box(), (Texts{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.1"}));
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.1");
    EXPECT_EQ(host.saves, 0);

    host.Move(1, VK_UP);
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.2");
    const Texts moved{"10.0.0.2", "10.0.0.1", "10.0.0.3", "10.1"};
    EXPECT_EQ(host.SavedDns(), "10.0.0.2|10.0.0.1|10.0.0.3|10.1");
    EXPECT_EQ(host.proxy.Servers().Texts(), moved);
    EXPECT_EQ(host.servers.Servers().Texts(), moved);
    EXPECT_NE(host.servers.StatusLines().find("Current DNS server: 10.0.0.2"), std::string::npos);

    // Moves below the top leave the server in use and the saved list alone.
    host.Move(2, VK_UP);
    host.Move(1, VK_DOWN);
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.2");
    EXPECT_EQ(host.saves, 1);

    host.Move(0, VK_DOWN);
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.1");
    host.Edit(0, "10.0.0.7");
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.7");
    EXPECT_EQ(host.SavedDns(), "10.0.0.7|10.0.0.2|10.0.0.3|10.1");
    EXPECT_EQ(host.saves, 3);

    // Neither the notification when the box is first shown nor an unknown one changes anything.
    EXPECT_EQ(host.Send(WM_SERVERLIST_CHANGED, kServerListShown, 0), 1);
    EXPECT_EQ(host.Send(WM_SERVERLIST_CHANGED, 9, 0), 1);
    EXPECT_EQ(host.saves, 3);
}

TEST(ServerListEdit, DeletingTheFirstServerSwitchesToTheNextAndTheOnlyOneIsKeptInUse) {
    CServerListHost host;
    host.Fill({"10.0.0.1", "10.0.0.2"});
    CMessageBoxAnswerer answerer;

    host.Delete(0);
    EXPECT_EQ(host.Box(), (Texts{"10.0.0.2"}));
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.2");
    // Saved while the box still held the deleted server: neither the file nor the list keeps it.
    EXPECT_EQ(host.SavedDns(), "10.0.0.2");
    EXPECT_EQ(host.servers.Servers().Texts(), (Texts{"10.0.0.2"}));
    EXPECT_TRUE(answerer.Texts().empty());

    host.Delete(0);
    EXPECT_EQ(answerer.Texts(), (Texts{"You must set up at least one DNS server."}));
    EXPECT_TRUE(host.Box().empty()) << "the box goes on and deletes it";
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.2");

    // A server added to the empty box is the only one, and so the one in use.
    host.Insert("10.0.0.9");
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.9");
    EXPECT_EQ(host.SavedDns(), "10.0.0.9");

    // An empty box is given the fixed public server when it is collected; a new item whose
    // editor is still open counts for nothing.
    host.servers.FillServerListCtrl(CLockedStringList());
    EXPECT_EQ(host.servers.DnsSetting(), kFallback);
    EXPECT_EQ(host.Box(), (Texts{kFallback}));
    host.Press(VK_INSERT);
    CLockedStringList collected(true);
    host.servers.CollectServerList(collected);
    EXPECT_EQ(collected.Texts(), (Texts{kFallback}));
    host.Type("", VK_ESCAPE);
}

}  // namespace

#include "app/server_box.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/ini_profile.h"
#include "app/settings.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "tests/app/app_test.h"
#include "tests/system/fake_ip_helper.h"
#include "win/application.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kFallback(kFallbackDnsServer);

class CTestApplication : public CApplication {
public:
    CTestApplication() : CApplication("Quillforth") {}

protected:
    bool InitInstance() override { return false; }
};

// A stand-in for the main dialog: the real dialog template with the real server box, a proxy
// object for SetDnsServers, the settings in an INI file of the test's own, and the forwarding of
// messages and timers that the main dialog does. It is the application's main window, where the
// server box sends its notifications.
class CServerListHost : public CDialog, public IServerListOwner {
public:
    CServerListHost() : CDialog(IDD_QUILLFORTH_DIALOG) {
        ::DeleteFileA(profile.Path().c_str());
        Create();
        application.SetMainWindow(Hwnd());
        Show(SW_SHOWNORMAL);
    }

    CTestApplication application;
    qftest::CSinkUpstream upstream;
    CDnsCache proxy{upstream};
    CIniProfile profile{TempPath("qf_server_box_test.ini")};
    Settings settings;
    CServerList servers{*this};
    int saves = 0;
    int statusChanges = 0;
    int probeMessages = 0;  // WM_PROBE_DONE as the window received it

    bool SetDnsServers(const CLockedStringList& list) override { return proxy.SetDnsServers(list); }
    void SaveSettings() override {
        settings.dns = servers.DnsSetting();
        ::SaveSettings(profile, settings);
        ++saves;
    }
    void OnServerStatusChanged() override { ++statusChanges; }
    [[nodiscard]] const CUpstreamSettings& Upstream() const override { return upstream; }

    [[nodiscard]] std::string SavedDns() { return profile.ReadString("Dns", "<none>", "Settings"); }
    [[nodiscard]] Texts Box() { return ListTexts(List()); }
    void Fill(std::initializer_list<const char*> texts) {
        CLockedStringList list(true);
        for (const char* text : texts) {
            list.AddTail(text);
        }
        servers.FillServerListCtrl(list);
        SetDnsServers(list);
    }

    // What the user does to the box, each through the dialog's message loop.
    [[nodiscard]] HWND List() { return servers.Control().ListHwnd(); }
    void Press(int index, UINT key, std::initializer_list<BYTE> modifiers = {}) {
        servers.Control().SelectItem(index);
        CWindow(List()).Focus();
        PressKey(List(), key, modifiers);
    }
    void Edit(int index, const std::string& text) {
        Press(index, VK_F2);
        TypeInEditor(List(), text);
    }
    void Insert(const std::string& text) {
        PressKey(List(), VK_INSERT);
        TypeInEditor(List(), text);
    }

protected:
    bool OnInitDialog() override {
        servers.AttachControl(Item(IDC_SERVER_LIST));
        return true;
    }
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_PROBE_DONE) {
            ++probeMessages;
        }
        return servers.OnMessage(message, wParam, lParam);
    }
    void OnTimer(UINT_PTR id) override { servers.OnTimer(id); }
};

// The loaded list shows in the box; what is saved leaves out the proxy's own address and a text
// that is no address. Every edit is validated: a refused text is named in the message and leaves
// the box. Only a change of the first server switches the proxy at once and saves the list; a
// deleted first server gives way to the next, and the only one is kept in use.
TEST(ServerBox, EditsAreValidatedAndOnlyAChangeOfTheFirstServerSwitchesAndSaves) {
    FakeIpHelper noAdapters;
    CServerListHost host;
    host.servers.Load("10.0.0.1|10.0.0.2", CAdapterList(noAdapters.Api()));
    host.servers.FillServerListCtrl(host.servers.Servers());
    EXPECT_EQ(host.Box(), (Texts{"10.0.0.1", "10.0.0.2"}));
    host.servers.Control().AddItem("127.0.0.1");
    host.servers.Control().AddItem("no address");
    EXPECT_EQ(host.servers.DnsSetting(), "10.0.0.1|10.0.0.2");

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

    host.Press(1, VK_UP, {VK_MENU});
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.2");
    const Texts moved{"10.0.0.2", "10.0.0.1", "10.0.0.3", "10.1"};
    EXPECT_EQ(host.SavedDns(), "10.0.0.2|10.0.0.1|10.0.0.3|10.1");
    EXPECT_EQ(host.proxy.Servers().Texts(), moved);
    EXPECT_EQ(host.servers.Servers().Texts(), moved);
    EXPECT_NE(host.servers.StatusLines().find("Current DNS server: 10.0.0.2"), std::string::npos);

    // Moves below the top leave the server in use and the saved list alone.
    host.Press(2, VK_UP, {VK_MENU});
    host.Press(1, VK_DOWN, {VK_MENU});
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.2");
    EXPECT_EQ(host.saves, 1);

    host.Press(0, VK_DOWN, {VK_MENU});
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.1");
    host.Edit(0, "10.0.0.7");
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.7");
    EXPECT_EQ(host.SavedDns(), "10.0.0.7|10.0.0.2|10.0.0.3|10.1");
    EXPECT_EQ(host.saves, 3);

    host.Fill({"10.0.0.1", "10.0.0.2"});
    host.Press(0, VK_DELETE);
    EXPECT_EQ(host.Box(), (Texts{"10.0.0.2"}));
    EXPECT_EQ(host.upstream.CurrentDnsServer(), "10.0.0.2");
    // Saved while the box still held the deleted server: neither the file nor the list keeps it.
    EXPECT_EQ(host.SavedDns(), "10.0.0.2");
    EXPECT_EQ(host.servers.Servers().Texts(), (Texts{"10.0.0.2"}));
    EXPECT_EQ(answerer.Texts().size(), 3u);

    host.Press(0, VK_DELETE);
    EXPECT_EQ(answerer.Texts().back(), "You must set up at least one DNS server.");
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
    PressKey(host.List(), VK_INSERT);
    CLockedStringList collected(true);
    host.servers.CollectServerList(collected);
    EXPECT_EQ(collected.Texts(), (Texts{kFallback}));
    TypeInEditor(host.List(), "", VK_ESCAPE);
}

// Every probe asks the fake upstream on loopback, never the public default.
class Probe : public UpstreamTest<CUpstreamProbe::LookupsInFlight> {
protected:
    void Answer(bool silent) {
        upstream.Answer(kProbeHostName, {.Addresses = {"192.0.2.80"}, .Silent = silent});
    }
    // Points the host's upstream at the fake, waiting `wait` for each reply.
    void PointAtFake(CServerListHost& host, std::chrono::milliseconds wait = kDefaultUpstreamWait) {
        host.upstream.SetCurrentDnsServer(qftest::kLoopback);
        host.upstream.SetDnsServerPort(upstream.Port());
        host.upstream.SetWait(wait);
    }
};

TEST_F(Probe, AnsweringServerIsUpAndASilentOneIsDownWithinOnePeriodAndTheWait) {
    constexpr int kPeriod = 500;
    Answer(false);
    CServerListHost host;
    PointAtFake(host);
    host.servers.StartProbe(host.Hwnd(), kPeriod);
    ASSERT_TRUE(PumpUntil([&] { return host.statusChanges >= 1; }, kPeriod + 5000));
    EXPECT_FALSE(host.servers.ServerDown());
    EXPECT_NE(host.servers.StatusLines().find("DNS server status:  Up"), std::string::npos);
    ASSERT_GE(upstream.QueryCount(), 1);
    EXPECT_EQ(upstream.Queries()[0].Domain, kProbeHostName);

    // The server falls silent; the full wait of 3000 ms is kept. Meanwhile another thread sends
    // the window a message every 50 ms, as the proxy's workers send their notifications.
    Answer(true);
    const Clock::time_point silent = Clock::now();
    std::atomic<int> longestSend{0};
    std::atomic<bool> senderEnded{false};
    std::jthread sender([&](const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            const Clock::time_point sent = Clock::now();
            ::SendMessageA(host.Hwnd(), WM_NULL, 0, 0);
            longestSend = std::max(longestSend.load(), MillisecondsSince(sent));
            ::Sleep(50);
        }
        senderEnded = true;
    });
    const bool down = PumpUntil([&] { return host.servers.ServerDown(); }, kPeriod + 3000 + 2000);
    const int downAfter = MillisecondsSince(silent);
    sender.request_stop();
    PumpUntil([&] { return senderEnded.load(); }, 1000);  // it may be sending right now
    ASSERT_TRUE(down);

    EXPECT_GE(downAfter, 2900) << "the probe waits for the whole timeout";
    EXPECT_LE(downAfter, kPeriod + 3000 + 500);
    EXPECT_NE(host.servers.StatusLines().find("DNS server status:  Down"), std::string::npos);
    EXPECT_EQ(host.upstream.CurrentDnsServer(), qftest::kLoopback)
        << "a failed probe switches nothing";
    EXPECT_LT(longestSend.load(), 500) << "the window's thread answered at once while it waited";
}

TEST_F(Probe, OneLookupRunsAtATimeAndLetsTheNextTickStartTheNext) {
    CServerListHost host;
    PointAtFake(host, std::chrono::milliseconds(1000));
    host.servers.StartProbe(host.Hwnd(), 100);
    PumpMessages(800);  // about seven ticks, all while the first lookup waits
    EXPECT_EQ(upstream.QueryCount(), 1);
    EXPECT_TRUE(host.servers.Probe().Probing());
    EXPECT_FALSE(host.servers.Probe().ProbeUpstream());

    ASSERT_TRUE(PumpUntil([&] { return host.statusChanges == 1; }, 1500));
    EXPECT_TRUE(host.servers.ServerDown());
    ASSERT_TRUE(PumpUntil([&] { return upstream.QueryCount() == 2; }, 1000));
    host.servers.StopProbe();
    EXPECT_EQ(host.statusChanges, 1);
}

// The owner goes while its lookup waits for a silent server: it does not wait, the lookup ends
// on its own within the timeout, and nothing reaches the window afterwards.
TEST_F(Probe, DestroyingTheProbeLetsARunningLookupGoWithoutWaitingForIt) {
    CServerListHost host;
    PointAtFake(host, std::chrono::milliseconds(1500));
    bool handled = false;
    auto probe =
        std::make_unique<CUpstreamProbe>([&] { return host.upstream.Target(); },
                                         [&](bool) { handled = true; }, WM_PROBE_DONE, TIMER_PROBE);
    probe->Start(host.Hwnd(), 50);
    ASSERT_TRUE(PumpUntil([&] { return upstream.QueryCount() == 1; }, 1000));
    EXPECT_EQ(CUpstreamProbe::LookupsInFlight(), 1);

    const Clock::time_point start = Clock::now();
    probe.reset();
    EXPECT_LT(MillisecondsSince(start), 200);

    ASSERT_TRUE(PumpUntil([] { return CUpstreamProbe::LookupsInFlight() == 0; }, 3000));
    PumpMessages(200);
    EXPECT_FALSE(handled);
    EXPECT_EQ(host.probeMessages, 0);
    EXPECT_EQ(upstream.QueryCount(), 1) << "its timer went with it";
}

TEST(TrayWarning, ClearsItselfAfterTenBlinks) {
    CTrayWarning tray;
    bool down = true;
    for (int second = 0; second < 20; ++second) {
        const TrayStatus status = tray.Update(down, false, true);
        EXPECT_EQ(status.text, "Current DNS server is down");
        EXPECT_EQ(status.icon, second % 2 == 0 ? IDI_SERVER_DOWN
                               : second < 19   ? IDI_BLINK
                                               : IDR_MAINFRAME)
            << second;
    }
    EXPECT_FALSE(down);

    EXPECT_EQ(tray.Update(down, false, true).text, "Quillforth is running");
    EXPECT_EQ(tray.Update(down, false, false).icon, IDI_STOPPED);
    EXPECT_EQ(tray.Update(down, true, true).icon, IDI_UPDATING);
    EXPECT_EQ(tray.Update(down, true, true).icon, IDI_BLINK);
}

}  // namespace

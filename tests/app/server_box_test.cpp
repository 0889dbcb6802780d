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

// A stand-in for the main dialog: the real dialog template with the real server box and status
// box, the upstream list, the settings in an INI file of the test's own, and the forwarding of
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
    CIniProfile profile{TempPath("qf_server_box_test.ini")};
    Settings settings;
    CServerList servers{*this};
    int saves = 0;
    int statusChanges = 0;
    int probeMessages = 0;  // WM_PROBE_DONE as the window received it

    void SaveSettings() override {
        settings.dns = servers.DnsSetting();
        ::SaveSettings(profile, settings);
        ++saves;
    }
    void OnServerStatusChanged() override { ++statusChanges; }
    [[nodiscard]] CUpstreamSettings& Upstream() override { return upstream; }

    [[nodiscard]] std::string SavedDns() { return profile.ReadString("Dns", "<none>", "Settings"); }
    [[nodiscard]] Texts Box() { return ListTexts(List()); }
    void Fill(std::initializer_list<const char*> texts) {
        CLockedStringList list(true);
        for (const char* text : texts) {
            list.AddTail(text);
        }
        servers.FillServerListCtrl(list);
        upstream.SetServers(list.Texts());
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
// that is no address. Every edit is checked: a refused text is named in the message, with why,
// and leaves the box. Every change of the box is at once the proxy's whole list, and saved; the
// only server cannot be deleted.
TEST(ServerBox, EditsAreCheckedAndEveryChangeIsTheProxysListAtOnce) {
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
    host.Insert("[::1");
    host.Insert("http://dns.test/dns-query");
    host.Edit(0, "127.0.0.2");
    const std::string invalid = " is not a valid ip address, please input again.\n";
    EXPECT_EQ(answerer.Texts(),
              (Texts{"10.0.0.x" + invalid +
                         "Not an IPv4 address (four numbers from 0 to 255), nor an IPv6 one.",
                     "[::1" + invalid + "The \"[\" is not closed.",
                     "http://dns.test/dns-query is not a valid DNS-over-HTTPS URL, please input "
                     "again.\nNot encrypted: a DNS-over-HTTPS server's URL begins with https://.",
                     "127.0.0.2 is this computer itself on port 53: Quillforth would ask itself.\n"
                     "Enter another DNS server, or the port of another program of this computer "
                     "(127.0.0.1:5353, say)."}));
    EXPECT_EQ(host.Box(), Texts{"10.0.0.3"});
    EXPECT_EQ(host.upstream.ServerTexts(), Texts{"10.0.0.3"}) << "the box is the proxy's list";

    // Another port of this machine is another program; an added server goes to the end.
    host.Insert("127.0.0.1:5353");
    host.Insert("[2001:db8::1]:5353");
    host.Insert("https://dns.test/dns-query (192.0.2.1, 2001:db8::1)");
    EXPECT_EQ(answerer.Texts().size(), 4u);
    const Texts added{"10.0.0.3", "127.0.0.1:5353", "[2001:db8::1]:5353",
                      "https://dns.test/dns-query (192.0.2.1, 2001:db8::1)"};
    EXPECT_EQ(host.upstream.ServerTexts(), added);
    EXPECT_EQ(host.SavedDns(),
              "10.0.0.3|127.0.0.1:5353|[2001:db8::1]:5353|https://dns.test/"
              "dns-query (192.0.2.1, 2001:db8::1)");

    host.Fill({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.1"});
    host.Press(1, VK_UP, {VK_MENU});
    const Texts moved{"10.0.0.2", "10.0.0.1", "10.0.0.3", "10.1"};
    EXPECT_EQ(host.SavedDns(), "10.0.0.2|10.0.0.1|10.0.0.3|10.1");
    EXPECT_EQ(host.upstream.ServerTexts(), moved);
    EXPECT_EQ(host.servers.Servers().Texts(), moved);
    host.Press(2, VK_UP, {VK_MENU});
    host.Press(2, VK_DOWN, {VK_MENU});
    EXPECT_EQ(host.upstream.ServerTexts(), (Texts{"10.0.0.2", "10.0.0.3", "10.1", "10.0.0.1"}));
    host.Press(1, VK_DELETE);
    const Texts left{"10.0.0.2", "10.1", "10.0.0.1"};
    EXPECT_EQ(host.upstream.ServerTexts(), left);
    // Saved while the box still held the deleted server: neither the file nor the list keeps it.
    EXPECT_EQ(host.SavedDns(), "10.0.0.2|10.1|10.0.0.1");
    EXPECT_EQ(host.servers.Servers().Texts(), left);

    host.Fill({"10.0.0.2"});
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

// The status box shows the server in use whole: beside its label while it fits, else on a line
// of its own; every line stays within the box.
TEST(StatusBox, ShowsTheServerInUseWholeHoweverLong) {
    CServerListHost host;
    const HWND box = host.Item(IDC_STATUS);
    const std::string first = StatusLine("Cache next update:", "12:00:00");
    ShowStatusText(box, {.first = first, .server = "198.18.9.2", .state = "Up, 1 of 2 answer"});
    EXPECT_EQ(CWindow(box).GetText(), first + StatusLine("Current DNS server:", "198.18.9.2") +
                                          StatusLine("DNS server status:", "Up, 1 of 2 answer"));
    for (const char* server :
         {"[2001:db8:85a3::8a2e:370:7334]:5353", "[2001:db8:85a3:1:2:8a2e:370:7334%12]:5353",
          "[2001:0db8:85a3:0000:0000:8a2e:0370:7334%4294967295]:65535"}) {
        ShowStatusText(box, {.first = first, .server = server, .state = "Up, 1 of 2 answer"});
        const std::string text = CWindow(box).GetText();
        EXPECT_NE(text.find(server), std::string::npos) << text;
        EXPECT_NE(text.find("DNS server status:"), std::string::npos) << text;
        const auto top = [&](WPARAM line) {
            const auto index = static_cast<WPARAM>(::SendMessageA(box, EM_LINEINDEX, line, 0));
            return static_cast<int>(HIWORD(::SendMessageA(box, EM_POSFROMCHAR, index, 0)));
        };
        // The last line break leaves an empty line, which shows nothing.
        const auto lines = static_cast<WPARAM>(::SendMessageA(box, EM_GETLINECOUNT, 0, 0)) - 1;
        RECT client{};
        ::GetClientRect(box, &client);
        EXPECT_LE(top(lines - 1) + top(1) - top(0), client.bottom) << server << ": " << text;
    }
}

// Every probe asks the fake upstream on loopback, never the public default.
class Probe : public UpstreamTest<CUpstreamProbe::LookupsInFlight> {
protected:
    void Answer(bool silent) {
        upstream.Answer(kProbeHostName, {.Addresses = {"192.0.2.80"}, .Silent = silent});
    }
    // Points the host's upstream at the fake and, with `silentSecond`, the swallowing socket
    // after it, waiting `wait` for each reply.
    void PointAtFake(CServerListHost& host, std::chrono::milliseconds wait, bool silentSecond) {
        std::vector<std::uint16_t> ports{upstream.Port()};
        if (silentSecond) {
            ports.push_back(qftest::SinkPort());
        }
        qftest::PointUpstreamAt(host.upstream, ports);
        host.upstream.SetWait(wait);
    }
};

// Every server of the list is asked: one that answers is enough to be up, and the tray warns only
// while none answers.
TEST_F(Probe, UpWhileOneServerAnswersDownWithinOnePeriodAndTheWaitsWhenNone) {
    constexpr int kPeriod = 500;
    constexpr int kWait = 1000;
    Answer(false);
    CServerListHost host;
    PointAtFake(host, std::chrono::milliseconds(kWait), true);
    host.servers.StartProbe(host.Hwnd(), kPeriod);
    ASSERT_TRUE(PumpUntil([&] { return host.statusChanges >= 1; }, 2 * kWait + 1000));
    EXPECT_EQ(host.servers.StatusValue(), "Up, 1 of 2 answer");
    EXPECT_EQ(host.servers.UpdateTrayStatus(false, true).text, "Quillforth is running");
    ASSERT_GE(upstream.QueryCount(), 1);
    EXPECT_EQ(upstream.Queries()[0].Domain, kProbeHostName);

    // The fake falls silent too: each server has its whole wait. Meanwhile another thread sends
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
    const bool down = PumpUntil([&] { return host.servers.StatusValue().starts_with("Down"); },
                                kPeriod + 4 * kWait + 2000);
    const int downAfter = MillisecondsSince(silent);
    sender.request_stop();
    PumpUntil([&] { return senderEnded.load(); }, 1000);  // it may be sending right now
    ASSERT_TRUE(down);
    EXPECT_GE(downAfter, 2 * kWait - 100) << "the probe waits for each server";
    EXPECT_LT(longestSend.load(), 500) << "the window's thread answered at once while it waited";
    EXPECT_EQ(host.servers.StatusValue(), "Down, 0 of 2 answer");
    EXPECT_EQ(host.upstream.ServerTexts().size(), 2u) << "a failed probe removes nothing";

    // The tray's warning pauses after its blinks; the status box still tells the truth.
    EXPECT_EQ(host.servers.UpdateTrayStatus(false, true).text, "Current DNS server is down");
    for (int second = 1; second < 20; ++second) {
        host.servers.UpdateTrayStatus(false, true);
    }
    EXPECT_EQ(host.servers.UpdateTrayStatus(false, true).text, "Quillforth is running");
    EXPECT_EQ(host.servers.StatusValue(), "Down, 0 of 2 answer");
    host.servers.StopProbe();
}

TEST_F(Probe, OneLookupRunsAtATimeAndLetsTheNextTickStartTheNext) {
    CServerListHost host;
    PointAtFake(host, std::chrono::milliseconds(1000), false);
    host.servers.StartProbe(host.Hwnd(), 100);
    PumpMessages(800);  // about seven ticks, all while the first lookup waits
    EXPECT_EQ(upstream.QueryCount(), 1);
    EXPECT_TRUE(host.servers.Probe().Probing());
    EXPECT_FALSE(host.servers.Probe().ProbeUpstream());

    ASSERT_TRUE(PumpUntil([&] { return host.statusChanges == 1; }, 1500));
    EXPECT_EQ(host.servers.StatusValue(), "Down, 0 of 1 answer");
    ASSERT_TRUE(PumpUntil([&] { return upstream.QueryCount() == 2; }, 1000));
    host.servers.StopProbe();
    EXPECT_EQ(host.statusChanges, 1);
}

// The owner goes while its lookup waits for a silent server: it does not wait, the lookup ends
// on its own within the timeout, and nothing reaches the window afterwards.
TEST_F(Probe, DestroyingTheProbeLetsARunningLookupGoWithoutWaitingForIt) {
    CServerListHost host;
    PointAtFake(host, std::chrono::milliseconds(1500), false);
    bool handled = false;
    auto probe = std::make_unique<CUpstreamProbe>([&] { return host.upstream.Target(); },
                                                  [&](int, int) { handled = true; }, WM_PROBE_DONE,
                                                  TIMER_PROBE);
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

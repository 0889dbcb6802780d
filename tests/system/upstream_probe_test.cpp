#include "system/upstream_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stop_token>
#include <thread>

#include "res/resource.h"
#include "server_list_host.h"
#include "tests/support/fake_upstream.h"
#include "tests/support/test_environment.h"

namespace {

using Clock = std::chrono::steady_clock;
using qftest::CServerListHost;

int MillisecondsSince(Clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Every probe asks the fake upstream on loopback, never the public default.
class Probe : public ::testing::Test {
protected:
    void TearDown() override {
        // A lookup that a test let go must not outlive its fake upstream.
        EXPECT_TRUE(PumpUntil([] { return CUpstreamProbe::LookupsInFlight() == 0; }, 5000));
    }
    // Points the host's upstream at the fake, waiting `wait` for each reply.
    void PointAtFake(CServerListHost& host, std::chrono::milliseconds wait = kDefaultUpstreamWait) {
        host.upstream.SetCurrentDnsServer(qftest::kLoopback);
        host.upstream.SetDnsServerPort(upstream.Port());
        host.upstream.SetWait(wait);
    }
    void Answer(bool silent) {
        upstream.Answer(kProbeHostName, {.Addresses = {"192.0.2.80"}, .Silent = silent});
    }

    qftest::FakeUpstream upstream;
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
    auto probe = std::make_unique<CUpstreamProbe>([&] { return host.upstream.Target(); },
                                                  [&](bool) { handled = true; });
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

TEST(ServerStatus, TheTrayWarningClearsItselfAfterTenBlinks) {
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

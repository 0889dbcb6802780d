// The proxy over UDP on a loopback port, with a fake upstream on loopback: what the client and
// the upstream see on the wire, what the cache learns, the counters, the observer, and starting
// and stopping under load.

#include "core/dns_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/proxy_test_support.h"

namespace {

using qftest::Addresses;
using qftest::Bytes;
using qftest::Client;
using qftest::kPatience;
using qftest::MakeQuery;
using qftest::WaitUntil;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using Texts = std::vector<std::string>;

class Proxy : public qftest::ProxyTest {
protected:
    Client client;
};

TEST_F(Proxy, AnswersACachedDomainItselfByteForByte) {
    cache.Learn("ab.cde", Addresses{"10.0.0.1", "10.0.0.2"}, 500, 0);
    Start();

    // The AD bit is kept, the OPT record dropped, and only the first address answered.
    const std::time_t before = std::time(nullptr);
    client.Send(qftest::WithOptRecord(MakeQuery("ab.cde", 0x1234, 1, 0x20)), port);
    const std::optional<Bytes> reply = client.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{0x12, 0x34, 0x81, 0xA0, 0,    1,    0, 1, 0,  0, 0,    0,    2, 'a',
                             'b',  3,    'c',  'd',  'e',  0,    0, 1, 0,  1, 0xC0, 0x0C, 0, 1,
                             0,    1,    0,    0x01, 0x51, 0x80, 0, 4, 10, 0, 0,    1}));

    // Any type asked for gets the A reply.
    client.Send(MakeQuery("ab.cde", 0x4321, 28), port);
    const std::optional<Bytes> second = client.Receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(Bytes(second->begin(), second->begin() + 2), (Bytes{0x43, 0x21}));
    EXPECT_EQ(Bytes(second->begin() + 20, second->begin() + 24), (Bytes{0, 1, 0, 1}));

    EXPECT_EQ(upstream.QueryCount(), 0);
    ASSERT_TRUE(HitsReach("ab.cde", 2));
    EXPECT_GE(cache.Lookup("ab.cde")->LastHitDate, before);
    ExpectCounters("total 2 cached 2 discarded 0 forwards 0/0 errors 0");
}

// Replies from another port or with another id come first; they are ignored.
TEST_F(Proxy, RelaysAMissUnchangedBothWaysAndLearnsTheGenuineAnswer) {
    upstream.Answer("learn.test",
                    {.Addresses = {"1.2.3.4", "5.6.7.8"}, .Ttl = 600, .SpoofFirst = true});
    Start();

    const Bytes query = qftest::WithOptRecord(MakeQuery("learn.test", 0xBEEF, 1, 0x10));
    const std::time_t before = std::time(nullptr);
    client.Send(query, port);
    const std::optional<Bytes> reply = client.Receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ(upstream.QueryCount(), 1);
    EXPECT_EQ(upstream.Queries()[0].Data, query);
    EXPECT_EQ(upstream.SpoofsSent(), 2);
    ASSERT_EQ(upstream.Replies().size(), 1u);
    EXPECT_EQ(*reply, upstream.Replies()[0]);
    ASSERT_TRUE(InFlightEmpties());
    {
        auto lock = cache.Lock();
        const DnsItemPtr item = cache.Lookup("learn.test");
        ASSERT_TRUE(item);
        EXPECT_EQ(item->Addresses.Texts(), (Texts{"1.2.3.4", "5.6.7.8"}));
        EXPECT_EQ(item->Ttl, 600);
        EXPECT_EQ(item->Hits, 0);
        EXPECT_GE(item->LastHitDate, before);
    }

    // From now on the cache answers.
    client.Send(MakeQuery("learn.test", 0x0102), port);
    ASSERT_TRUE(client.Receive());
    EXPECT_EQ(upstream.QueryCount(), 1);
    EXPECT_TRUE(HitsReach("learn.test", 1));
    ExpectCounters("total 2 cached 1 discarded 0 forwards 1/1 errors 0");
}

TEST_F(Proxy, ASecondQueryForADomainInFlightIsDroppedAndNothingIsHandledAfterAStop) {
    upstream.Answer("dup.test", {.Addresses = {"1.2.3.4"}, .Delay = milliseconds(300)});
    Start();

    client.Send(MakeQuery("dup.test", 0x0001, 1), port);
    client.Send(MakeQuery("dup.test", 0x0002, 28), port);
    const std::optional<Bytes> reply = client.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 2), (Bytes{0x00, 0x01}));
    EXPECT_EQ(upstream.QueryCount(), 1);

    // Nothing is sent after the stop, so what is not here by then never comes.
    proxy->StopDnsServer();
    EXPECT_TRUE(proxy->IsStopped());
    client.Send(MakeQuery("dup.test", 0x0003), port);
    EXPECT_FALSE(client.Receive(milliseconds(50)));
    EXPECT_EQ(Counters(), "total 2 cached 0 discarded 1 forwards 1/1 errors 0");
}

TEST_F(Proxy, ASilentUpstreamCostsOneErrorAndTheDomainIsAskedAgainLater) {
    SetUpstreamTimeoutMs(300);
    Start();

    const auto start = steady_clock::now();
    client.Send(MakeQuery("quiet.test", 0x0001), port);
    ExpectCounters("total 1 cached 0 discarded 0 forwards 1/0 errors 1");
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));
    EXPECT_TRUE(InFlightEmpties());

    client.Send(MakeQuery("quiet.test", 0x0002), port);
    ExpectCounters("total 2 cached 0 discarded 0 forwards 2/0 errors 2");
    EXPECT_EQ(upstream.QueryCount(), 2);
    EXPECT_FALSE(client.Receive(milliseconds(1)));
    EXPECT_EQ(cache.GetCount(), 0);
}

TEST_F(Proxy, AnOversizedDatagramRestartsTheListenerOnTheSamePort) {
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0);
    Start();

    client.Send(Bytes(1600, 0xAB), port);
    ASSERT_TRUE(WaitUntil([&] { return proxy->RestartCount() == 1; }));
    EXPECT_EQ(proxy->ListeningPort(), port);
    client.Send(MakeQuery("ab.cde", 0x0001), port);
    EXPECT_TRUE(client.Receive());
    EXPECT_EQ(Counters(), "total 1 cached 1 discarded 0 forwards 0/0 errors 0");
}

TEST_F(Proxy, AnEntryWithoutAddressIsForwardedAndLearnedIntoIt) {
    auto bare = std::make_shared<DnsItem>();
    bare->Domain = "bare.test";
    bare->Id = 42;
    bare->Hits = 5;
    cache.SetAt("bare.test", bare);
    upstream.Answer("bare.test", {.Addresses = {"7.7.7.7"}});
    Start();

    client.Send(MakeQuery("bare.test", 0x0001), port);
    ASSERT_TRUE(client.Receive());
    ASSERT_TRUE(InFlightEmpties());
    auto lock = cache.Lock();
    EXPECT_EQ(cache.Lookup("bare.test"), bare);
    EXPECT_EQ(bare->Addresses.Texts(), (Texts{"7.7.7.7"}));
    EXPECT_EQ(bare->Id, 42);
    EXPECT_EQ(bare->Hits, 5);
}

TEST_F(Proxy, NamesTheCacheFileCannotHoldAreRelayedButNeverLearned) {
    const Texts names{"a,b.test", "a|b.test", "tab\there.test"};
    for (const std::string& name : names) {
        upstream.Answer(name, {.Addresses = {"1.2.3.4"}});
    }
    Start();

    for (const std::string& name : names) {
        client.Send(MakeQuery(name, 0x0001), port);
        EXPECT_TRUE(client.Receive()) << name;
    }
    ASSERT_TRUE(InFlightEmpties());
    EXPECT_EQ(cache.GetCount(), 0);
    ExpectCounters("total 3 cached 0 discarded 0 forwards 3/3 errors 0");
}

TEST_F(Proxy, TheObserverHearsOfEveryLearnAndHitFromOneThreadOfItsOwn) {
    upstream.Answer("seen.test", {.Addresses = {"1.2.3.4"}});
    Start();

    client.Send(MakeQuery("seen.test", 0x0001), port);
    ASSERT_TRUE(client.Receive());
    ASSERT_TRUE(observer.WaitForItems(1));
    ASSERT_TRUE(InFlightEmpties());
    client.Send(MakeQuery("seen.test", 0x0002), port);
    ASSERT_TRUE(client.Receive());
    ASSERT_TRUE(observer.WaitForItems(2));
    proxy->StopDnsServer();
    const DnsItemPtr entry = cache.Lookup("seen.test");
    EXPECT_EQ(observer.Items(), (std::vector<DnsItemPtr>{entry, entry}));
    const std::vector<std::thread::id> threads = observer.Threads();
    EXPECT_EQ(threads.at(0), threads.at(1));
    EXPECT_NE(threads.at(0), std::this_thread::get_id());
}

// Stands for the window's thread: the call does not return until the test lets it.
class BlockingObserver : public IDnsProxyObserver {
public:
    void OnDnsItemChanged(const DnsItemPtr&) override {
        std::unique_lock lock(m_lock);
        m_inside = true;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released; });
    }
    void OnServerError(const std::string&) override {}

    bool WaitInside() {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, kPatience, [&] { return m_inside; });
    }
    void Release() {
        const std::lock_guard guard(m_lock);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_inside = false;
    bool m_released = false;
};

TEST_F(Proxy, AStopDoesNotWaitForABlockedObserverUntilAskedTo) {
    BlockingObserver blocking;
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0);
    Start();
    proxy->SetObserver(&blocking);

    // The hit is answered although the observer is stuck in its call.
    client.Send(MakeQuery("ab.cde", 0x0001), port);
    ASSERT_TRUE(client.Receive());
    ASSERT_TRUE(blocking.WaitInside());
    client.Send(MakeQuery("ab.cde", 0x0002), port);
    ASSERT_TRUE(client.Receive());

    const auto start = steady_clock::now();
    proxy->BeginStop();
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
    EXPECT_FALSE(proxy->IsRunning());
    EXPECT_FALSE(proxy->WaitStopped(20));
    blocking.Release();
    EXPECT_TRUE(proxy->WaitStopped(static_cast<std::uint32_t>(kPatience.count())));
    EXPECT_TRUE(proxy->IsStopped());
}

// Sends a query for each of `count` names that the upstream never answers, pausing every few
// until the proxy has taken them in, so that no datagram is lost to a full receive buffer.
void SendSilentQueries(Client& client, CDnsSocket& proxy, int count, std::uint16_t port) {
    const std::uint32_t before = proxy.Statistics().TotalRequests.load();
    for (int i = 0; i < count; ++i) {
        const std::string name = "silent" + std::to_string(i) + ".test";
        client.Send(MakeQuery(name, static_cast<std::uint16_t>(i)), port);
        if (i % 25 == 24 || i + 1 == count) {
            ASSERT_TRUE(WaitUntil([&] {
                return proxy.Statistics().TotalRequests.load() - before >= std::uint32_t(i) + 1;
            }));
        }
    }
}

TEST_F(Proxy, AtTheCapMissesAreDroppedButHitsStillAnswered) {
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0);
    Start(3);

    SendSilentQueries(client, *proxy, 3, port);
    ASSERT_TRUE(upstream.WaitForQueries(3, kPatience));
    EXPECT_EQ(proxy->ActiveForwards(), 3);

    client.Send(MakeQuery("onemore.test", 0x0100), port);
    client.Send(MakeQuery("ab.cde", 0x0101), port);
    EXPECT_TRUE(client.Receive());
    ExpectCounters("total 5 cached 1 discarded 1 forwards 3/0 errors 0");
    EXPECT_EQ(upstream.QueryCount(), 3);
    EXPECT_LE(proxy->WorkerThreads(), 3);
}

TEST_F(Proxy, ThreeHundredWaitingForwardsNeitherDelayAHitNorAStop) {
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0);
    const int threadsBefore = qftest::ProcessThreads();
    Start();

    SendSilentQueries(client, *proxy, 300, port);
    ASSERT_TRUE(upstream.WaitForQueries(300, milliseconds(10000)));
    EXPECT_EQ(proxy->ActiveForwards(), 300);

    const auto asked = steady_clock::now();
    client.Send(MakeQuery("ab.cde", 0x0001), port);
    ASSERT_TRUE(client.Receive());
    const auto roundTrip = steady_clock::now() - asked;
    EXPECT_LT(roundTrip, milliseconds(100));
    std::cout << "cached answer beside 300 waiting forwards: "
              << std::chrono::duration_cast<std::chrono::microseconds>(roundTrip).count()
              << " us\n";

    // The forwards would wait three seconds; the stop cancels them.
    const auto stopping = steady_clock::now();
    proxy->StopDnsServer();
    EXPECT_LT(steady_clock::now() - stopping, milliseconds(1500));
    EXPECT_EQ(proxy->WorkerThreads(), 0);
    EXPECT_EQ(proxy->ActiveForwards(), 0);
    EXPECT_TRUE(proxy->InFlightDomains().IsEmpty());
    EXPECT_EQ(Counters(), "total 301 cached 1 discarded 0 forwards 300/0 errors 300");
    if (threadsBefore != -1) {
        EXPECT_EQ(qftest::ProcessThreads(), threadsBefore);
    }
}

}  // namespace

// The proxy over TCP, on a loopback port, against a fake upstream that answers over UDP and
// TCP: the fall-back after a truncated reply, cached and forwarded answers on one connection,
// the bounds on connections and messages, and stopping with connections open.

#include <gtest/gtest.h>

#include "core/dns_socket.h"
#include "core/dns_tcp_framing.h"
#include "tests/core/proxy_test_support.h"

namespace {

using namespace qftest;  // NOLINT(google-build-using-namespace): the tests' own helpers
using std::chrono::steady_clock;

Texts NumberedAddresses(int count) {
    Texts addresses;
    for (int i = 0; i < count; ++i) {
        addresses.push_back("198.18." + std::to_string(i / 200) + "." +
                            std::to_string(i % 200 + 1));
    }
    return addresses;
}

// The framer's edges that its fuzz target, which checks every stream against a plain reading of
// it, does not reach: calls beyond the space it offers.
TEST(DnsTcpFramer, ABadLengthStopsTheFramerAndACommitTakesNoMoreThanTheSpace) {
    CDnsTcpFramer bad;
    EXPECT_EQ(bad.Feed(Bytes{0, 11, 1, 2, 3}), 2u);  // 11 bytes: shorter than a header
    EXPECT_EQ(bad.GetStatus(), CDnsTcpFramer::Status::kBadLength);
    EXPECT_TRUE(bad.Space().empty());
    EXPECT_EQ(bad.Commit(5), CDnsTcpFramer::Status::kBadLength);
    EXPECT_TRUE(bad.Message().empty());

    CDnsTcpFramer framer;
    EXPECT_EQ(framer.Feed(Bytes{0xFF, 0xFF}), 2u);
    EXPECT_EQ(framer.Space().size(), kMaxTcpMessage);
    EXPECT_EQ(framer.Commit(kMaxTcpMessage * 2), CDnsTcpFramer::Status::kComplete);
    EXPECT_EQ(framer.Message().size(), kMaxTcpMessage);
    EXPECT_EQ(framer.Framed().size(), kMaxTcpMessage + 2);
}

using TcpProxy = ProxyTest;

TEST_F(TcpProxy, AClientThatRetriesOverTcpGetsEveryAddressAndOnlyThatAnswerIsLearned) {
    const Texts all = NumberedAddresses(12);
    upstream.Answer("big.test", {.Addresses = all, .TruncateOverUdp = true});
    Start();

    // Over UDP the truncated reply is relayed unchanged, and not learned.
    const Bytes query = MakeQuery("big.test", 0x5151);
    client.Send(query, port);
    const std::optional<Bytes> truncated = client.Receive();
    ASSERT_TRUE(truncated);
    EXPECT_EQ(*truncated, upstream.Replies().at(0));
    EXPECT_EQ((*truncated)[2] & 0x02, 0x02);
    ASSERT_TRUE(InFlightEmpties());  // which it leaves after the learning step
    EXPECT_EQ(cache.GetCount(), 0);

    // The same question over TCP is forwarded over TCP, and its whole answer relayed and learned.
    TcpClient tcp(port);
    tcp.Send(query);
    const std::optional<Bytes> whole = tcp.Receive();
    EXPECT_EQ(whole, upstream.Replies().at(1));
    const std::vector<FakeUpstream::Query> asked = upstream.Queries();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_FALSE(asked[0].Tcp);
    EXPECT_TRUE(asked[1].Tcp);
    EXPECT_EQ(asked[1].Data, query);
    ASSERT_TRUE(observer.WaitForCalls(1));
    EXPECT_EQ(AddressesOf("big.test"), all);
    EXPECT_EQ(proxy->TakeChanges().Items, std::vector<DnsItemPtr>{cache.Lookup("big.test")});
    ExpectCounters("total 2 cached 0 discarded 0 forwards 2/2 errors 0");
}

// Three queries in one write: the largest query there is (a question padded to 65535 bytes,
// whose reply is larger than a datagram), then two for a cached domain, which wait for it.
TEST_F(TcpProxy, PipelinedMessagesOfAnySizeAreAnsweredInOrderFromTheUpstreamAndTheCache) {
    const Texts many = NumberedAddresses(100);
    cache.Learn("ab.cde", Addresses{"10.0.0.1", "10.0.0.2"}, 500, 0);
    upstream.Answer("many.test", {.Addresses = many, .Delay = milliseconds(200)});
    Start();

    Bytes largest = MakeQuery("many.test", 0x0B0B);
    largest.resize(kMaxTcpMessage, 0xEE);
    const Bytes cachedQuery = WithOptRecord(MakeQuery("ab.cde", 0x1234, 1, 0x20));
    Bytes stream;
    for (const Bytes& next : {largest, cachedQuery, MakeQuery("ab.cde", 0x0003)}) {
        const Bytes framed = Framed(next);
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    TcpClient tcp(port);
    tcp.SendRaw(stream);
    const std::optional<Bytes> first = tcp.Receive();
    const std::optional<Bytes> second = tcp.Receive();
    const std::optional<Bytes> third = tcp.Receive();
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(upstream.Queries().at(0).Data, largest);
    EXPECT_EQ(*first, upstream.Replies().at(0));
    EXPECT_GT(first->size(), kDnsPacketSize);
    EXPECT_EQ(Bytes(third->begin(), third->begin() + 2), (Bytes{0x00, 0x03}));

    // The cached reply is the same as over UDP.
    client.Send(cachedQuery, port);
    EXPECT_EQ(second, client.Receive());
    EXPECT_EQ(upstream.QueryCount(), 1);
    ExpectCounters("total 4 cached 3 discarded 0 forwards 1/1 errors 0");
    EXPECT_TRUE(HitsReach("ab.cde", 3));
    // The cache learns the answers that the reply reader examines.
    ASSERT_TRUE(WaitUntil([&] { return !AddressesOf("many.test").empty(); }));
    EXPECT_EQ(AddressesOf("many.test"), Texts(many.begin(), many.begin() + kMaxAnswersExamined));
}

TEST_F(TcpProxy, SixtyFourConnectionsAtMostAndIdleOnesHoldUpNobodyUntilTheyAreClosed) {
    constexpr milliseconds kIdle{1500};
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0);
    upstream.Answer("fresh.test", {.Addresses = {"1.2.3.4"}});
    Start({.TcpIdleTimeout = kIdle});

    // 63 clients that send nothing, and one that is served beside them, over TCP and UDP.
    std::vector<std::unique_ptr<TcpClient>> idle;
    for (int i = 0; i < ProxyOptions{}.MaxTcpConnections - 1; ++i) {
        idle.push_back(std::make_unique<TcpClient>(port));
    }
    TcpClient active(port);
    ASSERT_TRUE(
        WaitUntil([&] { return proxy->TcpConnections() == ProxyOptions{}.MaxTcpConnections; }));
    const auto opened = steady_clock::now();
    active.Send(MakeQuery("ab.cde", 0x0001));
    EXPECT_TRUE(active.Receive());
    active.Send(MakeQuery("fresh.test", 0x0002));
    EXPECT_TRUE(active.Receive());
    client.Send(MakeQuery("ab.cde", 0x0003), port);
    EXPECT_TRUE(client.Receive());

    // The 65th is closed at once, long before any idle time-out.
    TcpClient refused(port);
    EXPECT_TRUE(refused.WaitClosed(milliseconds(1000)));
    EXPECT_EQ(proxy->RefusedTcpConnections(), 1u);

    // The idle ones are closed after the time-out, not before; then there is room again.
    for (const auto& connection : idle) {
        ASSERT_TRUE(connection->WaitClosed(kIdle * 3));
    }
    EXPECT_GE(steady_clock::now() - opened, kIdle - milliseconds(100));
    ASSERT_TRUE(WaitUntil([&] { return proxy->TcpConnections() == 0; }));
    TcpClient later(port);
    later.Send(MakeQuery("ab.cde", 0x0004));
    EXPECT_TRUE(later.Receive());
    EXPECT_EQ(proxy->RefusedTcpConnections(), 1u);
    ExpectCounters("total 4 cached 3 discarded 0 forwards 1/1 errors 0");
}

TEST_F(TcpProxy, BadFramingClosesTheConnectionAndCountsNothing) {
    constexpr milliseconds kIdle{500};
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0);
    Start({.TcpIdleTimeout = kIdle});

    // A length shorter than a header: closed at once.
    TcpClient badLength(port);
    badLength.SendRaw(Bytes{0x00, 0x05, 1, 2, 3, 4, 5});
    EXPECT_TRUE(badLength.WaitClosed(kIdle / 2));

    // 65535 bytes announced and 10 sent: closed after the time-out.
    TcpClient shortOne(port);
    const auto sent = steady_clock::now();
    Bytes partial{0xFF, 0xFF};
    partial.resize(12, 0x42);
    shortOne.SendRaw(partial);
    EXPECT_FALSE(shortOne.WaitClosed(kIdle / 2));
    EXPECT_TRUE(shortOne.WaitClosed(kIdle * 4));
    EXPECT_GE(steady_clock::now() - sent, kIdle - milliseconds(100));

    // A client that gives up in the middle of a message.
    TcpClient(port).SendRaw(Bytes{0x00, 0x40, 0x00});

    // A query that trickles in, a byte at a time, within the time-out is answered.
    TcpClient slow(port);
    for (const std::uint8_t byte : Framed(MakeQuery("ab.cde", 0x0007))) {
        slow.SendRaw(Bytes{byte});
    }
    EXPECT_TRUE(slow.Receive());
    ASSERT_TRUE(WaitUntil([&] { return proxy->TcpConnections() <= 1; }));
    ExpectCounters("total 1 cached 1 discarded 0 forwards 0/0 errors 0");
}

// A taken UDP port fails the start with the error's text and leaves the TCP port free; a taken
// TCP port costs only TCP: the proxy serves over UDP and says that TCP is unavailable.
TEST_F(TcpProxy, ATakenUdpPortFailsTheStartATakenTcpPortOnlyTcp) {
    const std::string cause = CWSocketException(socket_error::kAddressInUse).GetErrorMessage();
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0);
    for (const bool udpTaken : {true, false}) {
        CWSocket holder;
        holder.Create(udpTaken);
        holder.Bind(0, kLoopback);
        if (!udpTaken) {
            holder.Listen();
        }
        RecordingObserver errors;
        CDnsSocket proxy2(&cache, settings, &errors);
        EXPECT_EQ(proxy2.RunDnsServer(holder.GetLocalPort(), kLoopback), !udpTaken);
        EXPECT_EQ(proxy2.IsRunning(), !udpTaken);
        EXPECT_FALSE(proxy2.TcpServing());
        if (udpTaken) {
            EXPECT_EQ(errors.Errors(),
                      (Texts{"CDnsSocket::RunDnsServer - Error:10048 Cause: " + cause + "\n"}));
            CWSocket other;
            other.Create(false);
            EXPECT_NO_THROW(other.Bind(holder.GetLocalPort(), kLoopback));
            continue;
        }
        EXPECT_TRUE(errors.Errors().empty());
        client.Send(MakeQuery("ab.cde", 0x0001), holder.GetLocalPort());
        EXPECT_TRUE(client.Receive());
    }
}

}  // namespace

// The proxy on a loopback port over UDP and TCP, with a fake upstream on loopback: what the
// client and the upstream see on the wire, what the cache learns, the counters and the observer.

#include "core/dns_socket.h"

#include <gtest/gtest.h>

#include <map>

#include "core/dns_tcp_framing.h"
#include "tests/core/proxy_test_support.h"

namespace {

using namespace qftest;  // NOLINT(google-build-using-namespace): the tests' own helpers
using std::chrono::steady_clock;

using Proxy = ProxyTest;

// Replies from another port or with another id come first and are ignored. The observer hears
// of the learn and of the hit from the serving threads, and the owner takes each change.
TEST_F(Proxy, RelaysAMissUnchangedLearnsTheGenuineAnswerAndThenAnswersItselfByteForByte) {
    upstream.Answer("learn.test",
                    {.Addresses = {"1.2.3.4", "5.6.7.8"}, .Ttl = 600, .SpoofFirst = true});
    Start();

    const Bytes query = WithOptRecord(MakeQuery("learn.test", 0xBEEF, 1, 0x20));
    client.Send(query, port);
    const std::optional<Bytes> reply = client.Receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ(upstream.QueryCount(), 1);
    // Upstream the query carries an id of the proxy's own; the client gets its own back.
    EXPECT_EQ(WithIdOf(upstream.Queries()[0].Data, query), query);
    EXPECT_NE(upstream.Queries()[0].Data, query);
    EXPECT_EQ(upstream.SpoofsSent(), 2);
    EXPECT_EQ(WithIdOf(upstream.Replies().at(0), query), *reply);
    ASSERT_TRUE(InFlightEmpties());
    const DnsItemPtr item = cache.Lookup("learn.test");
    ASSERT_TRUE(item);
    {
        auto lock = cache.Lock();
        EXPECT_EQ(item->Addresses.Texts(), (Texts{"1.2.3.4", "5.6.7.8"}));
        EXPECT_EQ(item->Ttl, 600);
        EXPECT_EQ(item->Hits, 0);
        EXPECT_EQ(item->LastHitDate, clock.now);
    }
    ASSERT_TRUE(observer.WaitForCalls(1));
    EXPECT_EQ(proxy->TakeChanges().Items, std::vector<DnsItemPtr>{item});

    // From now on the cache answers: the AD bit not claimed, the OPT record dropped, every
    // address with the seconds left of the upstream's TTL. The hit is the query's arrival.
    clock.now += 60;
    client.Send(WithOptRecord(MakeQuery("learn.test", 0x1234, 1, 0x20)), port);
    EXPECT_EQ(client.Receive(), Wire()
                                    .Header(0x12, 0x34, 0x81, 0x80, 2)
                                    .Question("learn.test")
                                    .A(540, 1, 2, 3, 4)
                                    .A(540, 5, 6, 7, 8)
                                    .Get());
    EXPECT_EQ(upstream.QueryCount(), 1);
    EXPECT_TRUE(HitsReach("learn.test", 1));
    EXPECT_EQ(cache.Lookup("learn.test")->LastHitDate, clock.now);
    ExpectCounters("total 2 cached 1 discarded 0 forwards 1/1 errors 0");
    ASSERT_TRUE(observer.WaitForCalls(2));
    EXPECT_EQ(proxy->TakeChanges().Items, std::vector<DnsItemPtr>{item});
    for (const std::thread::id thread : observer.Threads()) {
        EXPECT_NE(thread, std::this_thread::get_id());
    }
}

// What a reply from the proxy says: its smallest TTL and its addresses, "ttl a b ..."; "none"
// without a reply.
std::string Said(const std::optional<Bytes>& reply) {
    DnsReplyFacts facts;
    if (!reply || !CDnsResponse::ReadReply(*reply, facts)) {
        return "none";
    }
    std::string text = std::to_string(facts.MinTtl);
    for (const std::string& address : facts.Addresses) {
        text += " " + address;
    }
    return text;
}

class Renewals : public ProxyTest {
protected:
    std::string Ask(const char* name, bool tcp = false) {
        if (tcp) {
            TcpClient connection(port);
            connection.Send(MakeQuery(name, 0x0101));
            return Said(connection.Receive());
        }
        client.Send(MakeQuery(name, 0x0101), port);
        return Said(client.Receive());
    }
    Texts AddressesOf(const char* name) {
        const DnsItemPtr item = cache.Lookup(name);
        return item ? item->Addresses.Texts() : Texts{"gone"};
    }
    // The upstream saw this many queries, and the last one has ended.
    bool Asked(int queries) {
        return upstream.WaitForQueries(queries, kPatience) && InFlightEmpties() &&
               upstream.QueryCount() == queries;
    }
};

// The cache keeps the upstream's TTL, the smallest of the chain that gave the addresses, and an
// answer from it carries every address with the seconds left. An expired entry is answered at once
// with 30 s and renewed behind the answer, over UDP or TCP, once: the next query gets the new
// addresses (with TTL 0: expired at once). A renewal that fails (no reply, an error) changes
// nothing and is tried again at most once a minute for as long as the entry is hit; an answer
// without addresses is learned as the upstream gives it. Renewals are no client's requests.
TEST_F(Renewals, AnExpiredEntryIsAnsweredAtOnceAndRenewedBehindTheAnswer) {
    upstream.Answer("moving.test",
                    {.Addresses = {"10.0.0.1", "10.0.0.2"}, .Ttl = 20, .Cname = "edge.test"});
    settings.SetWait(milliseconds(300));
    Start();
    EXPECT_EQ(Ask("moving.test"), "20 10.0.0.1 10.0.0.2");
    ASSERT_TRUE(Asked(1));
    clock.now += 5;
    EXPECT_EQ(Ask("moving.test"), "15 10.0.0.1 10.0.0.2");

    upstream.Answer("moving.test", {.Addresses = {"10.0.0.3"}, .Ttl = 0});
    clock.now += 15;
    EXPECT_EQ(Ask("moving.test", true), "30 10.0.0.1 10.0.0.2");
    ASSERT_TRUE(Asked(2));
    EXPECT_EQ(Ask("moving.test"), "30 10.0.0.3");
    EXPECT_EQ(upstream.QueryCount(), 2);

    upstream.Answer("moving.test", {.Silent = true});
    for (int minute = 1; minute <= 3; ++minute) {
        for (int second = 20; second <= 60; second += 20) {
            clock.now += 20;
            EXPECT_EQ(Ask("moving.test"), "30 10.0.0.3") << minute << ":" << second;
        }
        ASSERT_TRUE(Asked(2 + minute));
    }
    for (const int rcode : {2, 3}) {
        upstream.Answer("moving.test", {.Addresses = {"10.0.0.9"}, .Rcode = std::uint8_t(rcode)});
        clock.now += 60;
        EXPECT_EQ(Ask("moving.test"), "30 10.0.0.3");
        ASSERT_TRUE(Asked(4 + rcode));
        EXPECT_EQ(AddressesOf("moving.test"), Texts{"10.0.0.3"}) << rcode;
    }

    upstream.Answer("moving.test", {});
    clock.now += 60;
    EXPECT_EQ(Ask("moving.test"), "30 10.0.0.3");
    ASSERT_TRUE(Asked(8));
    EXPECT_EQ(AddressesOf("moving.test"), Texts{});
    EXPECT_EQ(Ask("moving.test"), "0");  // no A any more: forwarded

    // A renewal offers EDNS's room: an answer too long for 512 bytes is renewed, not truncated.
    cache.Learn("many.test", Addresses{"10.0.0.1"}, 300, 0, 0);
    upstream.Answer("many.test", {.Addresses = NumberedAddresses(40), .Truncates = true});
    EXPECT_EQ(Ask("many.test"), "30 10.0.0.1");
    ASSERT_TRUE(Asked(10));
    EXPECT_EQ(AddressesOf("many.test"), NumberedAddresses(20));  // the first 20 answers are read

    // A TTL of decades is kept for a day. A reply to a question asked with checking disabled is
    // the asker's alone: it may hold what a validating upstream refuses to others.
    upstream.Answer("forever.test", {.Addresses = {"10.0.0.7"}, .Ttl = 0x7FFFFFFF});
    EXPECT_EQ(Ask("forever.test"), "2147483647 10.0.0.7");
    ASSERT_TRUE(Asked(11));
    EXPECT_EQ(Ask("forever.test"), "86400 10.0.0.7");
    upstream.Answer("unchecked.test", {.Addresses = {"10.0.0.8"}});
    client.Send(MakeQuery("unchecked.test", 1, 1, 0x10), port);
    EXPECT_EQ(Said(client.Receive()), "300 10.0.0.8");
    ASSERT_TRUE(Asked(12));
    EXPECT_EQ(AddressesOf("unchecked.test"), Texts{"gone"});
    ExpectCounters("total 21 cached 17 discarded 0 forwards 4/4 errors 0");
}

// A burst of 10,000 hits on 1,000 expired names is answered at once, and only the few renewals
// the proxy allows at a time go upstream: none of them ends here, the upstream being silent.
TEST_F(Renewals, ABurstOfHitsOnExpiredNamesSendsOnlyAFewRenewalsUpstream) {
    settings.SetWait(milliseconds(10000));
    const auto name = [](int i) { return "old" + std::to_string(i % 1000) + ".test"; };
    for (int i = 0; i < 1000; ++i) {
        cache.Learn(name(i), Addresses{"10.0.0.1"}, 300, 0, 0);
    }
    Start();
    int answered = 0;
    for (int i = 0; i < 10000; ++i) {
        client.Send(MakeQuery(name(i), std::uint16_t(i)), port);
        answered += Said(client.Receive()) == "30 10.0.0.1" ? 1 : 0;
    }
    EXPECT_EQ(answered, 10000);
    EXPECT_TRUE(upstream.WaitForQueries(CDnsQueryHandler::kMaxRenewals, kPatience));
    EXPECT_EQ(upstream.QueryCount(), CDnsQueryHandler::kMaxRenewals);
    ExpectCounters("total 10000 cached 10000 discarded 0 forwards 0/0 errors 0");
}

// Every address that fits the client: 512 bytes without EDNS, what its EDNS record offers, the
// whole buffer over TCP; with the old answers, the first address for a day and no renewal. A
// name learned at the cache's bound drops another, and the owner is told to look at every row.
TEST_F(Renewals, AnAnswerTakesWhatFitsTheClientOrTheOldFormAndTheBoundIsTold) {
    CLockedStringList many;
    for (const std::string& address : NumberedAddresses(60)) {
        many.AddTail(address);
    }
    cache.Learn("many.test", many, 300, 0, ExpiryAfter(clock.now, 300));
    cache.Learn("stale.test", Addresses{"10.0.0.1", "10.0.0.2"}, 300, 0, 0);
    upstream.Answer("new.test", {.Addresses = {"10.0.0.5"}});
    Start();
    const auto answers = [](const std::optional<Bytes>& reply) {
        return reply ? (*reply)[6] << 8 | (*reply)[7] : -1;
    };
    client.Send(MakeQuery("many.test", 1), port);
    EXPECT_EQ(answers(client.Receive()), (512 - 27) / 16);
    client.Send(WithOptRecord(MakeQuery("many.test", 2)), port);
    EXPECT_EQ(answers(client.Receive()), 60);
    TcpClient tcp(port);
    tcp.Send(MakeQuery("many.test", 3));
    EXPECT_EQ(answers(tcp.Receive()), 60);

    Start({.OldAnswers = true});
    EXPECT_EQ(Ask("stale.test"), "86400 10.0.0.1");
    EXPECT_EQ(upstream.QueryCount(), 0);

    cache.SetMaxEntries(2);
    EXPECT_EQ(Ask("new.test"), "300 10.0.0.5");
    ASSERT_TRUE(Asked(1));
    EXPECT_EQ(cache.GetCount(), 2);
    EXPECT_TRUE(proxy->TakeChanges().RefreshAll);
}

// A and AAAA for one name travel together; a second client's identical question over UDP while
// the first is forwarded shares its forward and its reply (without the EDNS record that only the
// first asked with), an exact repeat (same client and id) is dropped, and over TCP each question
// goes upstream. Each type is learned on its own and answered from the cache by its type, a name
// without IPv6 with no answer; other types, and queries without one question, always go upstream.
TEST_F(Proxy, QuestionsAreForwardedAndAnsweredByNameAndType) {
    upstream.Answer("dup.test",
                    {.Addresses = {"1.2.3.4"}, .Delay = milliseconds(300), .Edns = true});
    upstream.Answer("six.test", {.Addresses = {"1.2.3.5"}, .Ipv6Addresses = {"2001:db8::7"}});
    Start();

    client.Send(WithOptRecord(MakeQuery("dup.test", 0x0001, kTypeA)), port);
    client.Send(WithOptRecord(MakeQuery("dup.test", 0x0001, kTypeA)), port);
    Client other;  // a second client with the same question
    other.Send(MakeQuery("dup.test", 0x0002, kTypeA), port);
    client.Send(MakeQuery("dup.test", 0x0003, kTypeAaaa), port);
    ASSERT_TRUE(WaitUntil([&] { return proxy->InFlight("dup.test", kTypeA); }));
    TcpClient first(port);
    TcpClient second(port);
    first.Send(MakeQuery("dup.test", 0x0011));
    second.Send(MakeQuery("dup.test", 0x0012));
    EXPECT_TRUE(first.Receive() && second.Receive());
    std::map<int, int> additional;  // records by id; two workers: either may relay first
    for (int i = 0; i < 2; ++i) {
        const Bytes reply = client.Receive().value_or(Bytes(kDnsHeaderSize));
        additional[reply[1]] = reply[11];
    }
    // The AAAA question, without EDNS, gets none either, though the upstream sent one.
    EXPECT_EQ(additional, (std::map<int, int>{{1, 1}, {3, 0}}));
    const Bytes joined = other.Receive().value_or(Bytes(kDnsHeaderSize));
    EXPECT_EQ(std::pair(int{joined[1]}, int{joined[11]}), std::pair(2, 0));
    EXPECT_FALSE(client.Receive(milliseconds(50)));
    ExpectCounters("total 6 cached 0 discarded 1 forwards 5/5 errors 0");

    client.Send(MakeQuery("six.test", 0x0004, kTypeAaaa), port);
    ASSERT_TRUE(client.Receive());
    ASSERT_TRUE(InFlightEmpties());
    const struct {
        const char* name;
        std::uint16_t type;
        int answers;
    } cached[] = {{"dup.test", kTypeA, 1}, {"dup.test", kTypeAaaa, 0}, {"six.test", kTypeAaaa, 1}};
    for (const auto& [name, type, answers] : cached) {
        client.Send(MakeQuery(name, 0x0005, type), port);
        const std::optional<Bytes> reply = client.Receive();
        ASSERT_TRUE(reply) << name << type;
        EXPECT_EQ((*reply)[7], answers) << name << type;
    }
    // six.test has no A data yet, and MX is never the cache's. dup.test's AAAA answer, without
    // record or SOA, may not be kept: it was renewed behind its hit.
    client.Send(MakeQuery("six.test", 0x0006, kTypeA), port);
    client.Send(MakeQuery("dup.test", 0x0007, 15), port);
    EXPECT_TRUE(client.Receive() && client.Receive());
    // A query without a question (as an EDNS cookie's) gets the upstream's reply, which has none.
    upstream.Answer("", {});
    client.Send(Wire().Raw({0, 8, 1, 0}).U16(0).U16(0).U16(0).U16(1).Opt(1232).Get(), port);
    const Bytes bare = client.Receive().value_or(Bytes(kDnsHeaderSize));
    EXPECT_EQ(std::pair(int{bare[1]}, int{bare[2]}), std::pair(8, 0x81));
    EXPECT_TRUE(upstream.WaitForQueries(9, kPatience));
    EXPECT_EQ(upstream.QueryCount(), 9);
    ExpectCounters("total 13 cached 3 discarded 1 forwards 9/9 errors 0");

    // Nothing is sent after the stop, so what is not here by then never comes.
    proxy->StopDnsServer();
    EXPECT_FALSE(proxy->IsRunning());
    client.Send(MakeQuery("dup.test", 0x0008), port);
    EXPECT_FALSE(client.Receive(milliseconds(50)));
}

// A forward that fails costs one error and teaches nothing: a UDP client gets no reply and the
// domain leaves the in-flight list; a TCP client's connection is closed. A reply with the right
// id from the right server that repeats another question is no reply: it is neither relayed nor
// learned.
TEST_F(Proxy, AFailedForwardCostsOneErrorNoReplyOverUdpAndTheConnectionOverTcp) {
    settings.SetWait(milliseconds(300));
    upstream.Answer("other.test", {.Addresses = {"6.6.6.6"}, .ReplyQuestion = "bank.test"});
    Start();

    client.Send(MakeQuery("other.test", 0x0009), port);
    auto asked = steady_clock::now();
    client.Send(MakeQuery("quiet.test", 0x0001), port);
    ExpectCounters("total 2 cached 0 discarded 0 forwards 2/0 errors 2");
    EXPECT_GE(steady_clock::now() - asked, milliseconds(250));
    EXPECT_TRUE(InFlightEmpties());
    EXPECT_FALSE(client.Receive(milliseconds(1)));
    EXPECT_EQ(upstream.Replies().size(), 1u);

    TcpClient silent(port);
    asked = steady_clock::now();
    silent.Send(MakeQuery("quiet.test", 0x0002));
    EXPECT_TRUE(silent.WaitClosed());
    EXPECT_GE(steady_clock::now() - asked, milliseconds(250));

    // An upstream that takes no TCP connection at all: the sink has only a UDP socket.
    PointUpstreamAtSink(settings);
    TcpClient refused(port);
    refused.Send(MakeQuery("refused.test", 0x0003));
    EXPECT_TRUE(refused.WaitClosed());
    ExpectCounters("total 4 cached 0 discarded 0 forwards 4/0 errors 4");
    EXPECT_EQ(cache.GetCount(), 0);
}

// Two servers. The first refuses one question (the second answers it at once), then goes silent:
// while it is not known to be, each query waits its failover delay (a quarter second, its round
// trips being short) and is answered by the second, over UDP and TCP; after three misses in a
// row it is passed over, until the proxy's own probe finds it answering and it comes first again.
TEST_F(Proxy, FailsOverToTheNextServerAndBackWhenTheFirstAnswersAgain) {
    FakeUpstream first;
    first.Answer("warm.test", {.Addresses = {"10.0.0.1"}});
    first.Answer("refused.test", {.Rcode = 5});
    first.Answer("back.test", {.Addresses = {"10.0.0.2"}});
    for (const char* name : {"refused.test", "a.test", "b.test", "c.test", "d.test"}) {
        upstream.Answer(name, {.Addresses = {"10.0.0.3"}});
    }
    PointUpstreamAt(settings, {first.Port(), upstream.Port()});
    Start({.SilentServerProbePeriod = milliseconds(100)});
    const auto ask = [&](const char* name, bool tcp = false) {
        const auto start = steady_clock::now();
        std::optional<Bytes> reply;
        if (tcp) {
            TcpClient connection(port);
            connection.Send(MakeQuery(name, 0x0101));
            reply = connection.Receive();
        } else {
            client.Send(MakeQuery(name, 0x0101), port);
            reply = client.Receive();
        }
        EXPECT_TRUE(reply) << name;
        return steady_clock::now() - start;
    };
    ask("warm.test");
    EXPECT_LT(ask("refused.test"), milliseconds(250));
    EXPECT_GE(ask("a.test"), milliseconds(250));
    EXPECT_GE(ask("b.test", true), milliseconds(250));
    EXPECT_GE(ask("c.test"), milliseconds(250));
    EXPECT_LT(ask("d.test"), milliseconds(250));
    EXPECT_LT(ask("d.test", true), milliseconds(250));  // from the cache
    // d.test never went to it; the probe of it, now silent, may have come already.
    const auto questions = [](const FakeUpstream& server) {
        return std::ranges::count_if(server.Queries(), [](const FakeUpstream::Query& query) {
            return query.Domain != kProbeHostName;
        });
    };
    EXPECT_EQ(questions(first), questions(upstream));
    EXPECT_EQ(settings.CurrentDnsServer(), LoopbackServer(upstream.Port()));

    first.Answer(kProbeHostName, {.Addresses = {"10.0.0.4"}});
    EXPECT_TRUE(
        WaitUntil([&] { return settings.CurrentDnsServer() == LoopbackServer(first.Port()); }));
    EXPECT_LT(ask("back.test"), milliseconds(250));
    ExpectCounters("total 8 cached 1 discarded 0 forwards 7/7 errors 0");
}

// An answer larger than a datagram goes whole to a client that offers room for it, and cut to its
// question with TC to one without EDNS, which then asks over TCP.
TEST_F(Proxy, RelaysAnAnswerOfAnySizeAsTheClientTakesIt) {
    for (const char* name : {"big.test", "big2.test"}) {
        upstream.Answer(name, {.Addresses = NumberedAddresses(150)});
    }
    Start();
    client.Send(WithOptRecord(MakeQuery("big.test", 0x0001), 4096), port);
    const std::optional<Bytes> whole = client.Receive();
    ASSERT_TRUE(whole);
    EXPECT_GT(whole->size(), 3000u);
    EXPECT_EQ(WithIdOf(upstream.Replies().at(0), *whole), *whole);

    client.Send(MakeQuery("big2.test", 0x0002), port);
    EXPECT_EQ(client.Receive(), Wire().Header(0, 2, 0x83, 0x80, 0).Question("big2.test").Get());
}

// A client that asks again as soon as it has its answer finds the question released: none of
// 300 back-to-back questions is dropped, though two threads keep the processors busy.
TEST_F(Proxy, AQuestionAskedAgainRightAfterItsAnswerIsNeverDropped) {
    upstream.Answer("again.test", {});
    Start();
    std::atomic<bool> busy{true};
    std::vector<std::thread> loops;
    for (int i = 0; i < 2; ++i) {
        loops.emplace_back([&] {
            while (busy.load()) {
            }
        });
    }
    int answered = 0;
    for (std::uint16_t i = 0; i < 300; ++i) {
        client.Send(MakeQuery("again.test", i, 16), port);
        answered += client.Receive(milliseconds(500)) ? 1 : 0;
    }
    busy.store(false);
    for (std::thread& loop : loops) {
        loop.join();
    }
    EXPECT_EQ(answered, 300);
}

// An oversized datagram is dropped, and the socket with the queries queued behind it stays:
// opening it afresh would drop those too, which a stranger could repeat at will.
TEST_F(Proxy, AnOversizedDatagramIsDroppedAndTheQueriesBehindItAreAnswered) {
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0, kFresh);
    Start();

    client.Send(Bytes(1600, 0xAB), port);
    client.Send(MakeQuery("ab.cde", 0x0001), port);
    EXPECT_TRUE(client.Receive());
    EXPECT_EQ(proxy->RestartCount(), 0u);
    EXPECT_EQ(Counters(), "total 1 cached 1 discarded 0 forwards 0/0 errors 0");
}

// An entry without address is a miss whose answer is learned into it; names that would corrupt
// the cache file are relayed but never learned.
TEST_F(Proxy, EntriesWithoutAddressAreFilledAndNamesTheFileCannotHoldNeverLearned) {
    auto bare = std::make_shared<DnsItem>();
    bare->Domain = "bare.test";
    bare->Id = 42;
    bare->Hits = 5;
    cache.SetAt("bare.test", bare);
    const Texts names{"bare.test", "a,b.test", "a|b.test", "tab\there.test"};
    for (const std::string& name : names) {
        upstream.Answer(name, {.Addresses = {"7.7.7.7"}});
    }
    Start();

    for (const std::string& name : names) {
        client.Send(MakeQuery(name, 0x0001), port);
        EXPECT_TRUE(client.Receive()) << name;
    }
    ASSERT_TRUE(InFlightEmpties());
    ExpectCounters("total 4 cached 0 discarded 0 forwards 4/4 errors 0");
    auto lock = cache.Lock();
    EXPECT_EQ(cache.GetCount(), 1);
    EXPECT_EQ(cache.Lookup("bare.test"), bare);
    EXPECT_EQ(bare->Addresses.Texts(), Texts{"7.7.7.7"});
    EXPECT_EQ(bare->Id, 42);
    EXPECT_EQ(bare->Hits, 5);
}

// The owner may leave a batch untaken as long as it likes: serving goes on, a change is told once
// per batch, and a batch that overflows says that every row must be refreshed.
TEST_F(Proxy, AnUntakenBatchNeitherHoldsUpServingNorLosesAChange) {
    for (const char* name : {"a.test", "b.test", "c.test"}) {
        cache.Learn(name, Addresses{"10.0.0.1"}, 500, 0, kFresh);
    }
    Start({.MaxChangeBatch = 2});

    for (std::uint16_t id = 1; id <= 4; ++id) {
        client.Send(MakeQuery(id % 2 == 0 ? "a.test" : "b.test", id), port);
        ASSERT_TRUE(client.Receive());
    }
    EXPECT_EQ(observer.Threads().size(), 1u);
    DnsChangeBatch batch = proxy->TakeChanges();
    EXPECT_EQ(batch.Items.size(), 2u);
    EXPECT_FALSE(batch.RefreshAll);

    for (const char* name : {"a.test", "b.test", "c.test"}) {
        client.Send(MakeQuery(name, 9), port);
        ASSERT_TRUE(client.Receive());
    }
    EXPECT_EQ(observer.Threads().size(), 2u);
    batch = proxy->TakeChanges();
    EXPECT_TRUE(batch.RefreshAll);
    EXPECT_TRUE(proxy->TakeChanges().Items.empty());
}

// At the cap a further miss is dropped, while a hit beside the waiting forwards is answered at
// once. A stop cancels every forward, over UDP and TCP, closes every connection and ends every
// thread; the port binds again at once, although the closed connections wait out their close.
TEST_F(Proxy, AtTheCapMissesAreDroppedHitsAnsweredAtOnceAndAStopEndsEveryForward) {
    constexpr int kCap = 300;
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0, kFresh);
    const int threadsBefore = ProcessThreads();
    settings.SetWait(milliseconds(10000));  // none ends by itself, however slowly the 300 go out
    Start({.MaxForwards = kCap});

    // Names the upstream never answers, with a pause every few until the proxy has taken them in,
    // so that no datagram is lost to a full receive buffer.
    for (int i = 0; i < kCap; ++i) {
        client.Send(MakeQuery("silent" + std::to_string(i) + ".test", std::uint16_t(i)), port);
        if (i % 25 == 24) {
            ASSERT_TRUE(
                WaitUntil([&] { return proxy->Statistics().TotalRequests > std::uint32_t(i); }));
        }
    }
    ASSERT_TRUE(upstream.WaitForQueries(kCap, milliseconds(10000)));
    EXPECT_EQ(proxy->ActiveForwards(), kCap);
    client.Send(MakeQuery("onemore.test", 0x0100), port);
    const auto asked = steady_clock::now();
    client.Send(MakeQuery("ab.cde", 0x0001), port);
    ASSERT_TRUE(client.Receive());
    EXPECT_LT(steady_clock::now() - asked, milliseconds(100));
    ExpectCounters("total 302 cached 1 discarded 1 forwards 300/0 errors 0");
    EXPECT_EQ(upstream.QueryCount(), kCap);
    EXPECT_LE(proxy->WorkerThreads(), kCap);

    // Six connections, one of them waiting for its forward.
    std::vector<std::unique_ptr<TcpClient>> connections;
    for (int i = 0; i < 6; ++i) {
        connections.push_back(std::make_unique<TcpClient>(port));
    }
    connections[0]->Send(MakeQuery("quiet.test", 0x0002));
    ASSERT_TRUE(upstream.WaitForQueries(kCap + 1, kPatience));
    ASSERT_TRUE(WaitUntil([&] { return proxy->TcpConnections() == 6; }));

    // The forwards would wait ten seconds, and so would the idle connections.
    const auto stopping = steady_clock::now();
    proxy->StopDnsServer();
    EXPECT_LT(steady_clock::now() - stopping, milliseconds(1500));
    EXPECT_EQ(proxy->WorkerThreads(), 0);
    EXPECT_EQ(proxy->ActiveForwards(), 0);
    EXPECT_EQ(proxy->InFlightCount(), 0u);
    EXPECT_EQ(proxy->TcpConnections(), 0);
    for (const auto& connection : connections) {
        EXPECT_TRUE(connection->WaitClosed(milliseconds(1000)));
    }
    EXPECT_EQ(Counters(), "total 303 cached 1 discarded 1 forwards 301/0 errors 301");
    if (threadsBefore != -1) {
        // The fake's own connection thread ends once the proxy's side is closed.
        EXPECT_TRUE(WaitUntil([&] { return ProcessThreads() == threadsBefore; }))
            << ProcessThreads() << " threads, " << threadsBefore << " before";
    }

    ASSERT_TRUE(proxy->RunDnsServer(port, kLoopback));
    TcpClient again(port);
    again.Send(MakeQuery("ab.cde", 0x0003));
    EXPECT_TRUE(again.Receive());
    EXPECT_EQ(Counters(), "total 304 cached 2 discarded 1 forwards 301/0 errors 301");
}

// The framer's edges that its fuzz target, which checks every stream against a plain reading of
// it, does not reach: calls beyond the space it offers.
// Who is answered in each scope, from the machine's addresses: the machine itself always (by
// loopback, by its own addresses, IPv4-mapped too), the rest of its attached networks only when
// they are answered, a stranger only when anyone is; a change of scope holds at once.
TEST(ClientFilter, AnswersTheMachineItsNetworksOrAnyoneByScope) {
    const auto machine = [] {
        return std::vector<InterfaceAddress>{{*CSocketAddress::FromText("127.0.0.1", 0), 8},
                                             {*CSocketAddress::FromText("192.0.2.10", 0), 24},
                                             {*CSocketAddress::FromText("2001:db8::10", 0), 64}};
    };
    const struct {
        const char* client;
        bool machine;
        bool localNetwork;
    } kCases[] = {
        {"127.0.0.5", true, true},     {"::1", true, true},
        {"192.0.2.10", true, true},    {"::ffff:192.0.2.10", true, true},
        {"2001:db8::10", true, true},  {"192.0.2.77", false, true},
        {"2001:db8::77", false, true}, {"198.51.100.1", false, false},
    };
    CClientFilter filter(ClientScope::kAnyone, machine);
    filter.Start();
    for (const ClientScope scope :
         {ClientScope::kMachine, ClientScope::kLocalNetwork, ClientScope::kAnyone}) {
        filter.SetScope(scope);
        const std::shared_ptr<const CClientFilter::Rules> rules = filter.Current();
        for (const auto& [client, machineAnswered, networkAnswered] : kCases) {
            const bool expected =
                scope == ClientScope::kAnyone ||
                (scope == ClientScope::kMachine ? machineAnswered : networkAnswered);
            EXPECT_EQ(rules->Allows(*CSocketAddress::FromText(client, 53)), expected)
                << client << " in scope " << static_cast<int>(scope);
        }
    }
}

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

// Three queries in one write: the largest query there is (a question padded to 65535 bytes,
// whose reply is larger than a datagram), then two for a cached domain, which wait for it.
TEST_F(TcpProxy, PipelinedMessagesOfAnySizeAreAnsweredInOrderFromTheUpstreamAndTheCache) {
    const Texts many = NumberedAddresses(100);
    cache.Learn("ab.cde", Addresses{"10.0.0.1", "10.0.0.2"}, 500, 0, kFresh);
    upstream.Answer("many.test", {.Addresses = many, .Delay = milliseconds(200)});
    Start();

    Bytes largest = MakeQuery("many.test", 0x0B0B);
    largest.resize(kMaxTcpMessage, 0xEE);
    const Bytes cachedQuery = WithOptRecord(MakeQuery("ab.cde", 0x1234, 1, 0x20));
    TcpClient tcp(port);
    tcp.SendRaw(
        Wire(Framed(largest)).Raw(Framed(cachedQuery)).Raw(Framed(MakeQuery("ab.cde", 3))).Get());
    const std::optional<Bytes> first = tcp.Receive();
    const std::optional<Bytes> second = tcp.Receive();
    const std::optional<Bytes> third = tcp.Receive();
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(WithIdOf(upstream.Queries().at(0).Data, largest), largest);
    EXPECT_EQ(*first, WithIdOf(upstream.Replies().at(0), largest));
    EXPECT_GT(first->size(), kDnsPacketSize);
    EXPECT_EQ(Bytes(third->begin(), third->begin() + 2), (Bytes{0x00, 0x03}));

    // The cached reply is the same as over UDP.
    client.Send(cachedQuery, port);
    EXPECT_EQ(second, client.Receive());
    EXPECT_EQ(upstream.QueryCount(), 1);
    ExpectCounters("total 4 cached 3 discarded 0 forwards 1/1 errors 0");
    EXPECT_TRUE(HitsReach("ab.cde", 3));
}

TEST_F(TcpProxy, SixtyFourConnectionsAtMostAndIdleOnesHoldUpNobodyUntilTheyAreClosed) {
    constexpr milliseconds kIdle{1500};
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0, kFresh);
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
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0, kFresh);
    Start({.TcpIdleTimeout = kIdle});

    // A length shorter than a header: closed at once.
    TcpClient badLength(port);
    badLength.SendRaw(Bytes{0x00, 0x05, 1, 2, 3, 4, 5});
    EXPECT_TRUE(badLength.WaitClosed(kIdle / 2));

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
    cache.Learn("ab.cde", Addresses{"10.0.0.1"}, 500, 0, kFresh);
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

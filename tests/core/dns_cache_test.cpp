// The upstream server list and the single-domain resolver, against a fake upstream on loopback.

#include "core/dns_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "tests/core/proxy_test_support.h"
#include "tests/support/fake_upstream.h"
#include "tests/support/test_environment.h"

namespace {

using qftest::Addresses;
using qftest::FakeUpstream;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using Texts = std::vector<std::string>;

TEST(ServerList, KeepsTheValidAddressesInOrderFallsBackWithoutAnyAndIgnoresAnEmptyList) {
    CDnsCache dns{nullptr};
    EXPECT_TRUE(dns.SetDnsServers(Addresses{"10.0.0.1", "abc", "10.0.0.2", "10.0.0.1"}));
    EXPECT_EQ(dns.Servers().Texts(), (Texts{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(CurrentDnsServer(), "10.0.0.1");

    EXPECT_FALSE(dns.SetDnsServers(Addresses{"abc", "255.255.255.255", "1.2.3.256"}));
    EXPECT_TRUE(dns.Servers().IsEmpty());
    EXPECT_EQ(CurrentDnsServer(), kFallbackDnsServer);

    ASSERT_TRUE(dns.SetDnsServers(Addresses{"10.0.0.2"}));
    EXPECT_FALSE(dns.SetDnsServers(Addresses{}));
    EXPECT_EQ(dns.Servers().Texts(), (Texts{"10.0.0.2"}));
    EXPECT_EQ(CurrentDnsServer(), "10.0.0.2");
    qftest::PointUpstreamAtSink();
}

class Resolver : public ::testing::Test {
protected:
    void SetUp() override {
        SetCurrentDnsServer(qftest::kLoopback);
        SetDnsServerPort(upstream.Port());
        FillEntry();
    }
    void TearDown() override {
        qftest::PointUpstreamAtSink();
        SetUpstreamTimeoutMs(kDefaultUpstreamTimeoutMs);
    }

    // An entry as a caller hands it over: it has been in the cache a while.
    void FillEntry() {
        item.Id = 7;
        item.Domain = "before";
        item.Addresses.AddTail("9.9.9.9");
        item.Ttl = 5;
        item.Hits = 3;
        item.LastHitDate = 1000;
    }
    // The fields that only the cache's owner changes.
    void ExpectCountsKept() const {
        EXPECT_EQ(item.Id, 7);
        EXPECT_EQ(item.Hits, 3);
        EXPECT_EQ(item.LastHitDate, 1000);
    }

    FakeUpstream upstream;
    DnsItem item;
};

// Replies from another port or with another id come first; they are ignored.
TEST_F(Resolver, FillsTheEntryFromTheGenuineAnswerWithAFreshIdPerQuery) {
    upstream.Answer("ab.cde",
                    {.Addresses = {"1.2.3.4", "5.6.7.8"}, .Ttl = 600, .SpoofFirst = true});
    ASSERT_TRUE(CDnsCache::GetHostByName("ab.cde", item));
    EXPECT_EQ(upstream.SpoofsSent(), 2);
    EXPECT_EQ(item.Domain, "ab.cde");
    EXPECT_EQ(item.Addresses.Texts(), (Texts{"1.2.3.4", "5.6.7.8"}));
    EXPECT_EQ(item.Ttl, 600);
    ExpectCountsKept();

    // An A query with RD for the name; every query carries an id of its own.
    ASSERT_TRUE(CDnsCache::GetHostByName("ab.cde", item, qftest::kLoopback));
    ASSERT_TRUE(CDnsCache::GetHostByName("ab.cde", item, qftest::kLoopback));
    std::set<std::pair<std::uint8_t, std::uint8_t>> ids;
    for (const FakeUpstream::Query& query : upstream.Queries()) {
        ASSERT_EQ(query.Data.size(), 24u);
        EXPECT_EQ(qftest::Bytes(query.Data.begin() + 2, query.Data.end()),
                  (qftest::Bytes{0x01, 0,   0, 1,   0,   0,   0, 0, 0, 0, 2,
                                 'a',  'b', 3, 'c', 'd', 'e', 0, 0, 1, 0, 1}));
        ids.insert({query.Data[0], query.Data[1]});
    }
    EXPECT_GT(ids.size(), 1u);

    // A CNAME brings its target's addresses and the larger TTL.
    upstream.Answer("www.ab.cde",
                    {.Addresses = {"1.2.3.4"}, .Ttl = 300, .Cname = "ab.cde", .CnameTtl = 3600});
    ASSERT_TRUE(CDnsCache::GetHostByName("www.ab.cde", item));
    EXPECT_EQ(item.Domain, "www.ab.cde");
    EXPECT_EQ(item.Ttl, 3600);
}

TEST_F(Resolver, ANameErrorClearsTheEntry) {
    upstream.Answer("nowhere.test", {.Rcode = 3});
    EXPECT_FALSE(CDnsCache::GetHostByName("nowhere.test", item));
    EXPECT_EQ(item.Domain, "");
    EXPECT_TRUE(item.Addresses.IsEmpty());
    EXPECT_EQ(item.Id, 0);
    EXPECT_EQ(item.Ttl, 0);
    EXPECT_EQ(item.Hits, 0);
    EXPECT_EQ(item.LastHitDate, 0);
}

TEST_F(Resolver, ASilentServerFailsAfterThreeSecondsAndOnlyTheAddressesGo) {
    const auto start = steady_clock::now();
    EXPECT_FALSE(CDnsCache::GetHostByName("quiet.test", item));
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(2900));
    EXPECT_LT(waited, milliseconds(6000));
    EXPECT_EQ(upstream.QueryCount(), 1);
    EXPECT_TRUE(item.Addresses.IsEmpty());
    EXPECT_EQ(item.Domain, "before");
    EXPECT_EQ(item.Ttl, 5);
    ExpectCountsKept();
}

TEST_F(Resolver, TheQuestionMustBeTheQueriedNameInAnyLetterCase) {
    upstream.Answer("ab.cde", {.Addresses = {"1.2.3.4"}, .UppercaseQuestion = true});
    ASSERT_TRUE(CDnsCache::GetHostByName("ab.cde", item));
    EXPECT_EQ(item.Domain, "AB.CDE");

    // A reply about another name is no answer: the wait runs out.
    SetUpstreamTimeoutMs(300);
    FillEntry();
    upstream.Answer("x.test", {.Addresses = {"1.2.3.4"}, .ReplyQuestion = "y.test"});
    const auto start = steady_clock::now();
    EXPECT_FALSE(CDnsCache::GetHostByName("x.test", item));
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));
    EXPECT_EQ(item.Domain, "before");
    EXPECT_TRUE(item.Addresses.IsEmpty());
}

}  // namespace

// The single-domain resolver, against a fake upstream on loopback.

#include "core/dns_cache.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "core/thread_set.h"

#include "tests/core/proxy_test_support.h"

namespace {

using namespace qftest;  // NOLINT(google-build-using-namespace): the tests' own helpers
using std::chrono::steady_clock;

// The proxy tests' fake upstream and settings, and an entry to fill; no proxy runs.
class Resolver : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        FillEntry();
    }

    // An entry as a caller hands it over: it has been in the cache a while. Id, hits and last hit
    // are only the cache owner's to change.
    void FillEntry() {
        item.Id = 7;
        item.Domain = "before";
        item.Addresses.AddTail("9.9.9.9");
        item.Ttl = 5;
        item.Hits = 3;
        item.LastHitDate = 1000;
    }
    // The entry as a whole: domain, addresses, TTL, id, hits and last hit.
    [[nodiscard]] std::string Entry() const {
        return item.Domain + " " + item.AddressText() + " " + std::to_string(item.Ttl) + " " +
               std::to_string(item.Id) + " " + std::to_string(item.Hits) + " " +
               std::to_string(item.LastHitDate);
    }

    DnsItem item;
};

// Replies from another port or with another id come first; they are ignored.
TEST_F(Resolver, FillsTheEntryFromTheGenuineAnswerWithAFreshIdPerQuery) {
    upstream.Answer("ab.cde",
                    {.Addresses = {"1.2.3.4", "5.6.7.8"}, .Ttl = 600, .SpoofFirst = true});
    ASSERT_TRUE(CDnsCache::GetHostByName(settings.Target(), "ab.cde", item));
    EXPECT_EQ(upstream.SpoofsSent(), 2);
    EXPECT_EQ(Entry(), "ab.cde 1.2.3.4|5.6.7.8 600 7 3 1000");

    // An A query with RD for the name; every query carries an id of its own.
    ASSERT_TRUE(CDnsCache::GetHostByName(settings.Target(), "ab.cde", item));
    ASSERT_TRUE(CDnsCache::GetHostByName(settings.Target(), "ab.cde", item));
    std::set<std::pair<std::uint8_t, std::uint8_t>> ids;
    for (const FakeUpstream::Query& query : upstream.Queries()) {
        EXPECT_EQ(Bytes(query.Data.begin() + 2, query.Data.end()),
                  Wire().Raw({1, 0}).U16(1).U16(0).U32(0).Question("ab.cde").Get());
        ids.insert({query.Data[0], query.Data[1]});
    }
    EXPECT_GT(ids.size(), 1u);

    // A CNAME brings its target's addresses and the larger TTL; the entry is the name as asked,
    // whatever letter case the reply repeats it in.
    upstream.Answer("www.ab.cde", {.Addresses = {"1.2.3.4"},
                                   .Ttl = 300,
                                   .Cname = "ab.cde",
                                   .CnameTtl = 3600,
                                   .UppercaseQuestion = true});
    ASSERT_TRUE(CDnsCache::GetHostByName(settings.Target(), "www.ab.cde", item));
    EXPECT_EQ(Entry(), "www.ab.cde 1.2.3.4 3600 7 3 1000");

    // An answer too long for UDP, cut short with TC, is asked for again over TCP.
    upstream.Answer("many.ab.cde", {.Addresses = NumberedAddresses(40), .Truncates = true});
    ASSERT_TRUE(CDnsCache::GetHostByName(settings.Target(), "many.ab.cde", item));
    EXPECT_EQ(item.Addresses.Texts(), NumberedAddresses(20));  // the first 20 answers are read
}

// Asked for IPv6 too, the resolver follows the A answer with an AAAA question: its addresses, or
// the word that there are none, replace the entry's; without an answer they stay as they were.
TEST_F(Resolver, AskedForIpv6ItRenewsTheIpv6AddressesFromTheAaaaAnswer) {
    upstream.Answer("six.test", {.Addresses = {"1.2.3.4"}, .Ipv6Addresses = {"2001:db8::7"}});
    ASSERT_TRUE(CDnsCache::GetHostByName(settings.Target(), "six.test", item, true));
    EXPECT_EQ(item.Ipv6Addresses.Texts(), Texts{"2001:db8::7"});
    EXPECT_TRUE(item.Ipv6Known);

    upstream.Answer("six.test", {.Addresses = {"1.2.3.4"}});
    ASSERT_TRUE(CDnsCache::GetHostByName(settings.Target(), "six.test", item, true));
    EXPECT_TRUE(item.Ipv6Addresses.IsEmpty());
    EXPECT_TRUE(item.Ipv6Known);
    EXPECT_EQ(upstream.Queries().back().Data[upstream.Queries().back().Data.size() - 3], 28);

    item.Ipv6Addresses.AddTail("2001:db8::8");
    settings.SetWait(milliseconds(300));
    upstream.Answer("six.test", {.Addresses = {"1.2.3.4"}, .Silent = true});
    EXPECT_FALSE(CDnsCache::GetHostByName(settings.Target(), "six.test", item, true));
    EXPECT_EQ(item.Ipv6Addresses.Texts(), Texts{"2001:db8::8"});
}

// A name error clears the entry. Silence, and a reply that asks about another name (which is no
// answer), fail after the upstream wait; only the addresses go.
TEST_F(Resolver, AFailedLookupClearsTheEntryOnANameErrorAndOnlyItsAddressesOtherwise) {
    upstream.Answer("nowhere.test", {.Rcode = 3});
    EXPECT_FALSE(CDnsCache::GetHostByName(settings.Target(), "nowhere.test", item));
    EXPECT_EQ(Entry(), "  0 0 0 0");

    settings.SetWait(milliseconds(300));
    upstream.Answer("x.test", {.Addresses = {"1.2.3.4"}, .ReplyQuestion = "y.test"});
    for (const char* name : {"quiet.test", "x.test"}) {
        FillEntry();
        const auto start = steady_clock::now();
        EXPECT_FALSE(CDnsCache::GetHostByName(settings.Target(), name, item));
        EXPECT_GE(steady_clock::now() - start, milliseconds(250)) << name;
        EXPECT_LT(steady_clock::now() - start, milliseconds(3000)) << name;
        EXPECT_EQ(Entry(), "before  5 7 3 1000");
    }
    EXPECT_EQ(upstream.QueryCount(), 3);

    // A stop of the asking thread's set cancels the lookup (a DoH server's host, looked for by
    // the proxy's threads): stopping the proxy waited out the whole wait, the window frozen.
    settings.SetWait(milliseconds(10000));
    CThreadSet threads(1);
    std::vector<CSocketAddress> found{CSocketAddress()};
    threads.Start([&](CThreadSet::Member& self) {
        found = CDnsCache::FindAddresses(settings.Target(), "quiet.test", &self);
    });
    ASSERT_TRUE(upstream.WaitForQueries(4, kPatience));
    const auto stopping = steady_clock::now();
    threads.Stop();
    EXPECT_LT(steady_clock::now() - stopping, milliseconds(1500));
    EXPECT_TRUE(found.empty());
}

}  // namespace

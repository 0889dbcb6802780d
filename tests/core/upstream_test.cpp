// The upstream model: how server texts read, which ones would loop back to the proxy, the list
// and the state each server carries.

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "core/upstream_settings.h"
#include "net/attached_networks.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Texts = std::vector<std::string>;

// The address, port and zone a text reads as, or a DNS-over-HTTPS server's host, port, path and
// the number of addresses given; the reason when it is none.
std::string Read(std::string_view text) {
    std::string reason;
    const std::optional<UpstreamEndpoint> endpoint = ParseUpstreamEndpoint(text, reason);
    if (!endpoint) {
        return "refused: " + std::string(reason.empty() ? "NO REASON" : "why");
    }
    if (endpoint->Https) {
        return "https " + endpoint->Https->Host + " " + std::to_string(endpoint->Https->Port) +
               " " + endpoint->Https->Path + " " + std::to_string(endpoint->HttpsAddresses.size());
    }
    return endpoint->Address.AddressText() + " " + std::to_string(endpoint->Address.Port()) + " %" +
           std::to_string(endpoint->Address.ScopeId());
}

TEST(UpstreamServerText, ReadsEveryFormAndRefusesWhatIsNoAddress) {
    const std::pair<const char*, const char*> cases[] = {
        {"192.0.2.1", "192.0.2.1 53 %0"},
        {"192.0.2.1:5353", "192.0.2.1 5353 %0"},
        {"10.1", "10.1.0.0 53 %0"},
        {"2001:DB8::1", "2001:db8::1 53 %0"},
        {"[2001:db8::1]:5353", "2001:db8::1 5353 %0"},
        {"[2001:db8::1]", "2001:db8::1 53 %0"},
        {"fe80::1%12", "fe80::1 53 %12"},
        {"[fe80::1%12]:5300", "fe80::1 5300 %12"},
        {"", "refused: why"},
        {"256.1.1.1", "refused: why"},
        {"1.2.3.4.5", "refused: why"},
        {"255.255.255.255", "refused: why"},
        {"[::1", "refused: why"},
        {"[::1]5353", "refused: why"},
        {"192.0.2.1:99999", "refused: why"},
        {"192.0.2.1:0", "refused: why"},
        {"192.0.2.1:", "refused: why"},
        {"dns.example", "refused: why"},
        {"dns.example:53", "refused: why"},
        {"2001:db8::g", "refused: why"},
        {"fe80::1%no-such-interface", "refused: why"},
        {"https://dns.example/dns-query", "https dns.example 443 /dns-query 0"},
        {"HTTPS://dns.example:8443/q?x=1", "https dns.example 8443 /q?x=1 0"},
        {"https://192.0.2.1/dns-query", "https 192.0.2.1 443 /dns-query 0"},
        {"https://[2001:db8::1]:444/dns-query", "https 2001:db8::1 444 /dns-query 0"},
        {"https://dns.example (192.0.2.1, 2001:db8::1)", "https dns.example 443 /dns-query 2"},
        {"https://dns.example/dns-query{?dns}", "https dns.example 443 /dns-query 0"},
        {"https://dns.example/q{?ct}{&dns} (192.0.2.1)", "https dns.example 443 /q 1"},
        {"https://dns.example/dns-query{?dns", "refused: why"},
        {"https://dns.example/dns-query?dns}", "refused: why"},
        {"https://dns.example/dns-query#top", "refused: why"},
        {"https://", "refused: why"},
        {"http://dns.example/dns-query", "refused: why"},
        {"https://dns.example/a b", "refused: why"},
        {"https://dns.example:65536/", "refused: why"},
        {"https://dns.example/ (192.0.2.1", "refused: why"},
        {"https://dns.example/ (dns.example)", "refused: why"},
        {"https://[::1/", "refused: why"},
        {"https://dns_example/", "refused: why"},
        {"https://dns.example./dns-query", "https dns.example 443 /dns-query 0"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Read(text), expected) << text;
    }
}

TEST(UpstreamServerText, SaysWhatIsWrongWithAServersHost) {
    const std::pair<std::string, std::string> cases[] = {
        {"https:///dns-query", "no host name or address after https://"},
        {"https://dns_example/", "a character a host name cannot hold: \"_\""},
        {"https://user@dns.example/", "a character a host name cannot hold: \"@\""},
        {"https://dns.exämple/", "a host name in letters other than ASCII: give its xn-- form"},
        {"https://dns..example/", "an empty label in the host name"},
        {"https://" + std::string(64, 'a') + ".example/",
         "a label of the host name longer than 63 characters"},
    };
    for (const auto& [text, expected] : cases) {
        std::string reason;
        EXPECT_FALSE(ParseUpstreamEndpoint(text, reason)) << text;
        EXPECT_EQ(reason, expected) << text;
    }
}

TEST(UpstreamServerText, PortFiftyThreeOfTheMachineItselfLoops) {
    const CSocketAddress machine[] = {*CSocketAddress::FromText("198.18.0.1", 0),
                                      *CSocketAddress::FromText("2001:db8::5", 0)};
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true},
        {"127.3.2.1", true},
        {"::1", true},
        {"0.0.0.0", true},
        {"::", true},
        {"198.18.0.1", true},
        {"[2001:db8::5]:53", true},
        {"127.0.0.1:5353", false},
        {"198.18.0.1:5353", false},
        {"192.0.2.1", false},
        {"[::1]:5353", false},
        {"2001:db8::6", false},
    };
    for (const auto& [text, loops] : cases) {
        std::string reason;
        EXPECT_EQ(LoopsToProxy(*ParseUpstreamServer(text, reason), machine), loops) << text;
    }
    // The machine's own loopback address is among what the system reports.
    const std::vector<CSocketAddress> own = MachineAddresses();
    EXPECT_TRUE(std::ranges::any_of(own, [](const auto& a) { return a.IsLoopback(); }));
}

Texts ServerTexts(const UpstreamServerList& servers) {
    Texts texts;
    for (const auto& server : servers) {
        texts.push_back(server->Text());
    }
    return texts;
}

// The list keeps the valid servers in order, each address once, never the proxy itself; a server
// that stays keeps its state, and the first that is not silent is the one in use.
TEST(UpstreamList, KeepsTheValidServersWithTheirStateAndPrefersTheFirstThatAnswers) {
    CUpstreamSettings settings;
    EXPECT_EQ(settings.ServerTexts(), Texts{std::string(kFallbackDnsServer)});
    EXPECT_TRUE(settings.SetServers(Texts{"10.0.0.1", "abc", "[2001:db8::1]:5353", "127.0.0.1",
                                          "10.0.0.1:53", "127.0.0.1:5353", "10.0.0.2"}));
    EXPECT_EQ(settings.ServerTexts(),
              (Texts{"10.0.0.1", "[2001:db8::1]:5353", "127.0.0.1:5353", "10.0.0.2"}));
    const std::shared_ptr<CUpstreamServer> first = settings.Target().Servers->front();
    EXPECT_EQ(settings.CurrentDnsServer(), "10.0.0.1");

    const auto now = std::chrono::steady_clock::now();
    for (int i = 0; i < CUpstreamServer::kMissesToSilence; ++i) {
        EXPECT_EQ(settings.CurrentDnsServer(), "10.0.0.1");
        first->Missed(now);
    }
    EXPECT_TRUE(first->Silent());
    EXPECT_EQ(settings.CurrentDnsServer(), "[2001:db8::1]:5353");
    EXPECT_EQ(AnsweringServers(settings.Target()), 3);
    EXPECT_EQ(ServerTexts(settings.Target().PreferenceOrder()),
              (Texts{"[2001:db8::1]:5353", "127.0.0.1:5353", "10.0.0.2", "10.0.0.1"}));

    // Moved down, the silent server keeps its state; an empty list changes nothing.
    EXPECT_TRUE(settings.SetServers(Texts{"10.0.0.2", "10.0.0.1"}));
    EXPECT_FALSE(settings.SetServers(Texts{}));
    EXPECT_EQ(settings.Target().Servers->back(), first);
    EXPECT_EQ(settings.CurrentDnsServer(), "10.0.0.2");

    EXPECT_FALSE(settings.SetServers(Texts{"abc", "127.0.0.1"}));
    EXPECT_EQ(settings.ServerTexts(), Texts{std::string(kFallbackDnsServer)});
}

// A silent server answers again; error replies keep it answering; the wait before the next
// server is asked follows the server's round trips within its bounds.
TEST(UpstreamList, AServerIsSilentAfterMissesInARowAndWaitedForAsItsRoundTripsSay) {
    std::string reason;
    CUpstreamServer server("192.0.2.1", *ParseUpstreamEndpoint("192.0.2.1", reason));
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(server.FailoverDelay(), milliseconds(1000));
    server.Missed(now);
    server.Missed(now, true);
    server.ErrorReply(now);  // there after all: the misses start again
    server.Missed(now);
    server.Missed(now);
    EXPECT_FALSE(server.Silent());
    server.Missed(now + milliseconds(5));
    EXPECT_TRUE(server.Silent());
    server.Answered(microseconds(20'000), now + milliseconds(9));
    EXPECT_FALSE(server.Silent());
    EXPECT_EQ(server.FailoverDelay(), milliseconds(250));
    server.Answered(microseconds(400'000), now);
    EXPECT_EQ(server.FailoverDelay(), milliseconds(800));
    server.Answered(microseconds(900'000), now);
    EXPECT_EQ(server.FailoverDelay(), milliseconds(1000));

    const UpstreamServerFigures figures = server.Figures();
    EXPECT_TRUE(figures.Answering);
    EXPECT_EQ(figures.Since, now + milliseconds(9));
    EXPECT_EQ(figures.RoundTrips,
              (std::vector<microseconds>{microseconds(20'000), microseconds(400'000),
                                         microseconds(900'000)}));
    EXPECT_EQ(std::tie(figures.Answers, figures.Timeouts, figures.Errors),
              std::make_tuple(3u, 4u, 2u));
}

}  // namespace

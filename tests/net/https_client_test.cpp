// The HTTPS client's own parts: the query in the URL, and a client that goes while a post of its
// waits for the network. Real DNS-over-HTTPS servers answer in the end-to-end scripts.

#include "net/https_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(DnsQueryPath, CarriesTheQueryInBase64UrlWithoutPadding) {
    struct Case {
        std::string path;
        std::vector<std::uint8_t> query;
        std::string expected;
    };
    // RFC 8484's own example (www.example.com A, id 0), RFC 4648's short groups, and the two
    // digits that base64url spells its own way.
    const std::vector<std::uint8_t> example{0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x03, 0x77, 0x77, 0x77, 0x07, 0x65,
                                            0x78, 0x61, 0x6d, 0x70, 0x6c, 0x65, 0x03, 0x63, 0x6f,
                                            0x6d, 0x00, 0x00, 0x01, 0x00, 0x01};
    const Case cases[] = {
        {"/dns-query", example, "/dns-query?dns=AAABAAABAAAAAAAAA3d3dwdleGFtcGxlA2NvbQAAAQAB"},
        {"/q", {'f'}, "/q?dns=Zg"},
        {"/q", {'f', 'o'}, "/q?dns=Zm8"},
        {"/q", {'f', 'o', 'o', 'b'}, "/q?dns=Zm9vYg"},
        {"/q", {0xfb, 0xff}, "/q?dns=-_8"},
        {"/q?ct=1", {'f', 'o', 'o'}, "/q?ct=1&dns=Zm9v"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DnsQueryPath(c.path, c.query), c.expected) << c.path;
    }
}

// A server that takes the connection and never says a word holds a post for its whole time-out.
// The client's owner drops it then, from the window's thread when the user takes the server off
// the list, and must not wait for the network.
TEST(HttpsClient, GoesAtOnceWhileAPostWaitsForAServerThatNeverAnswers) {
    using std::chrono::steady_clock;
    CWSocket server;
    server.Create(false);
    server.Bind(0, "127.0.0.1");
    server.Listen();
    const std::uint16_t port = server.GetLocalPort();
    auto client = std::make_unique<CHttpsClient>(
        HttpsTarget{.Host = "127.0.0.1", .Port = port, .Path = "/dns-query"});
    const std::vector<std::uint8_t> query(17, 0);
    const auto post = client->Post("application/dns-message", query, std::chrono::seconds(20),
                                   {CSocketAddress::Loopback(AddressFamily::kIpv4, port)});
    CWSocket* const listening[] = {&server};
    ASSERT_TRUE(CWSocket::WaitReadable(listening, 10'000).has_value());
    CSocketAddress peer;
    const CWSocket connection = server.Accept(peer);
    post->Cancel();  // as its exchange does when it goes
    const auto start = steady_clock::now();
    client.reset();
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace

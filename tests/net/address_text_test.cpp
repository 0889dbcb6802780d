#include "net/address_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "net/socket_address.h"

namespace {

// Missing parts are zero; what is no address reads as the broadcast address (so that one is "no
// address" too), however long the text.
TEST(AddressText, TextsReadAsTheirPartsInNetworkOrderAndWhatIsNoAddressAsNone) {
    const std::pair<std::string, std::string> cases[] = {
        {"192.168.0.1", "192.168.0.1"},
        {"0.0.0.0", "0.0.0.0"},
        {"", "0.0.0.0"},
        {"10.1", "10.1.0.0"},
        {"1..2", "1.0.2.0"},
        {"1.2.3.", "1.2.3.0"},
        {"00000000001.2.3.4", "1.2.3.4"},  // eleven digits are read, leading zeros included
    };
    for (const auto& [text, dotted] : cases) {
        const std::uint32_t address = TextToAddress(text);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
        EXPECT_EQ(std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                      std::to_string(bytes[2]) + "." + std::to_string(bytes[3]),
                  dotted)
            << text;
        EXPECT_EQ(AddressToText(address), dotted);
    }
    EXPECT_EQ(AddressToText(kAddressNone), "255.255.255.255");
    const std::string refused[] = {
        "256.1.1.1", "1.2.3.a", "1.2.3.4 ", "-1.2.3.4", "a", "1,2,3,4", "1.2.3.4.5", "1.2.3.4.",
        ".....", "255.255.255.255", "000000000001.2.3.4",
        // Longer than any address: read no further than needed.
        "99999999999999999999999.1.1.1", std::string(100000, '7'), std::string(100000, '.')};
    for (const std::string& text : refused) {
        EXPECT_EQ(TextToAddress(text), kAddressNone) << text.substr(0, 40);
    }
}

constexpr auto kIpv4 = AddressFamily::kIpv4;
constexpr auto kIpv6 = AddressFamily::kIpv6;

CSocketAddress Parsed(const char* text, std::uint16_t port = 0) {
    return CSocketAddress::FromText(text, port).value();
}

// Every numeric text reads back as its shortest form; the rest is no address.
TEST(SocketAddress, NumericTextsReadBackInTheirShortestFormAndNothingElseReads) {
    const std::pair<const char*, const char*> readable[] = {
        {"192.0.2.1", "192.0.2.1"},
        {"255.255.255.255", "255.255.255.255"},
        {"::", "::"},
        {"::1", "::1"},
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of two equal runs
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},                 // the longest run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        {"0:0:0:0:0:FFFF:C000:0201", "::ffff:192.0.2.1"},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1"},
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
    };
    for (const auto& [text, shortest] : readable) {
        const std::optional<CSocketAddress> address = CSocketAddress::FromText(text, 53);
        ASSERT_TRUE(address) << text;
        EXPECT_EQ(address->AddressText(), shortest);
        EXPECT_EQ(address->Port(), 53);
        EXPECT_EQ(CSocketAddress::FromText(shortest, 53), address) << shortest;
    }
    const char* refused[] = {
        "", "1.2.3", "1.2.3.4.5", "01.2.3.4", "256.0.0.1", "1.2.3.-4", " 1.2.3.4", "localhost",
        // IPv6: too many groups or too few, a group too long, a zone, brackets, a quad misplaced
        ":::", "1::2::3", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7::8",
        "12345::", "::g", "1:", ":1", "::1%1", "[::1]", "1.2.3.4::", "::1.2.3",
        "1:2:3:4:5:6:7:1.2.3.4"};
    for (const char* text : refused) {
        EXPECT_FALSE(CSocketAddress::FromText(text, 53)) << text;
    }
}

TEST(SocketAddress, LoopbackAnyAndTheEmptyAddress) {
    EXPECT_EQ(CSocketAddress::Loopback(kIpv4, 7), Parsed("127.0.0.1", 7));
    EXPECT_EQ(CSocketAddress::Loopback(kIpv6, 7), Parsed("::1", 7));
    EXPECT_NE(CSocketAddress::Any(kIpv4, 7), Parsed("0.0.0.0", 8));
    EXPECT_NE(CSocketAddress::Any(kIpv4, 7), CSocketAddress::Any(kIpv6, 7));
    for (const char* text : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.5"}) {
        EXPECT_TRUE(Parsed(text).IsLoopback()) << text;
    }
    for (const char* text : {"128.0.0.1", "::2", "::", "::ffff:10.0.0.1", "::127.0.0.1"}) {
        EXPECT_FALSE(Parsed(text).IsLoopback()) << text;
    }

    const CSocketAddress empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_FALSE(empty.IsLoopback());
    EXPECT_NE(empty, CSocketAddress::Any(kIpv4, 0));

    // A sockaddr the system cut short is no address.
    CSocketAddress filled;
    std::memcpy(filled.Storage(), Parsed("::1", 9).Data(), CSocketAddress::kCapacity);
    filled.SetLength(CSocketAddress::kCapacity - 1);
    EXPECT_TRUE(filled.IsEmpty());
    filled.SetLength(CSocketAddress::kCapacity);
    EXPECT_EQ(filled, Parsed("::1", 9));
}

// The prefix as given, bits beyond its length included.
NetworkPrefix Prefix(const char* text, int length) {
    const CSocketAddress address = Parsed(text);
    NetworkPrefix prefix{address.Family(), {}, length};
    std::ranges::copy(address.AddressBytes(), prefix.Address.begin());
    return prefix;
}

TEST(NetworkPrefix, ContainsTheAddressesThatShareItsFirstBits) {
    struct Case {
        const char* prefix;
        int length;
        const char* address;
        bool contained;
    };
    const Case cases[] = {
        {"10.0.0.0", 8, "10.255.1.1", true},
        {"10.0.0.0", 8, "11.0.0.0", false},
        {"10.0.0.0", 8, "::ffff:10.1.2.3", true},  // an IPv4 client on an IPv6 socket
        {"0.0.0.0", 0, "203.0.113.9", true},
        {"0.0.0.0", 0, "::1", false},
        {"192.0.2.7", 32, "192.0.2.7", true},
        {"192.0.2.7", 32, "192.0.2.6", false},
        {"198.18.1.77", 23, "198.18.0.1", true},  // bits beyond the length do not count
        {"198.18.0.0", 23, "198.18.2.0", false},
        {"2001:db8::", 57, "2001:db8:0:7f::1", true},
        {"2001:db8::", 57, "2001:db8:0:80::1", false},
        {"fe80::", 10, "febf::1", true},
        {"fe80::", 10, "fec0::1", false},
        {"::1", 128, "::1", true},
        {"::1", 128, "::2", false},
        {"::", 0, "10.0.0.1", false},
        // A damaged length admits nothing.
        {"10.0.0.0", 33, "10.0.0.0", false},
        {"10.0.0.0", -1, "10.0.0.0", false},
        {"::", 129, "::", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Prefix(c.prefix, c.length).Contains(Parsed(c.address)), c.contained)
            << c.prefix << "/" << c.length << " " << c.address;
    }
    EXPECT_FALSE(Prefix("0.0.0.0", 0).Contains(CSocketAddress()));

    EXPECT_EQ(NetworkPrefix::Of(Parsed("198.18.1.77", 53), 23), Prefix("198.18.0.0", 23));
    EXPECT_EQ(NetworkPrefix::Of(Parsed("fe80::1:2"), 64), Prefix("fe80::", 64));
    EXPECT_FALSE(NetworkPrefix::Of(Parsed("10.0.0.1"), 33));
    EXPECT_FALSE(NetworkPrefix::Of(CSocketAddress(), 0));
}

}  // namespace

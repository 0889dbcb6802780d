#include "net/ipv6_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each text read and written back in its RFC 5952 form; "" where the text is no address.
TEST(Ipv6Text, ReadsEveryTextFormAndWritesTheCanonicalOne) {
    const struct {
        const char* text;
        const char* canonical;
    } cases[] = {
        {"2001:db8::1", "2001:db8::1"},
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},          // the longer run
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},    // the first of equal runs
        {"fe80::1:2", "fe80::1:2"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"::FFFF:c000:0201", "::ffff:192.0.2.1"},
        {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
        {"", ""},
        {":", ""},
        {":::", ""},
        {"1::2::3", ""},
        {"1:2:3:4:5:6:7", ""},
        {"1:2:3:4:5:6:7:8:9", ""},
        {"1:2:3:4:5:6:7::8", ""},
        {"12345::", ""},
        {"g::", ""},
        {"fe80::1%eth0", ""},
        {"2001:db8::/32", ""},
        {"::192.0.2", ""},
        {"::1.2.3.256", ""},
        {"1.2.3.4", ""},
        {" ::1", ""},
    };
    for (const auto& [text, canonical] : cases) {
        EXPECT_EQ(CanonicalIpv6Text(text), canonical) << text;
    }
    Ipv6Bytes bytes{};
    bytes[15] = 9;
    EXPECT_FALSE(TextToIpv6("junk", bytes));
    EXPECT_EQ(bytes[15], 9) << "a failed read leaves the bytes";
    ASSERT_TRUE(TextToIpv6("2001:db8::102:304", bytes));
    EXPECT_EQ(bytes, (Ipv6Bytes{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}));
}

}  // namespace

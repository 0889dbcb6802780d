#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/https_client.h"

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

}  // namespace

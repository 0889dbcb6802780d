#include "app/domain_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Shown: an "xn--" label that converts in Unicode, any other as it is; bytes that are not UTF-8
// (an older version's code page, a name from the wire) as \DDD.
TEST(DomainText, ShownLabelByLabel) {
    const struct {
        std::string stored;
        std::string shown;
    } cases[] = {
        {"www.example.test", "www.example.test"},
        {"xn--bcher-kva.example", "bücher.example"},
        {"www.xn--bcher-kva.xn--fiqs8s", "www.bücher.中国"},
        {"xn--.example", "xn--.example"},  // no Unicode label: shown as it is
        {"bücher.example", "bücher.example"},
        {"m\xFCnchen.xn--bcher-kva", "m\\252nchen.bücher"},
        {"\xC3\x28", "\\195("},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DisplayDomain(c.stored), c.shown) << c.stored;
    }
}

// Taken: ASCII as typed, Unicode in its ASCII form; a label too long once converted, or a
// character that names can't hold, is refused.
TEST(DomainText, TypedNamesAreTakenInTheFormDnsCarries) {
    EXPECT_EQ(WireDomain("WWW.Example.test"), "WWW.Example.test");
    EXPECT_EQ(WireDomain("bücher.example"), "xn--bcher-kva.example");
    EXPECT_EQ(WireDomain(DisplayDomain("www.xn--bcher-kva.xn--fiqs8s")),
              "www.xn--bcher-kva.xn--fiqs8s");
    EXPECT_FALSE(WireDomain(std::string(60, 'a') + "ü.example"));  // 67 bytes once converted
    EXPECT_FALSE(
        WireDomain("bad\xEF\xBF\xBD.example"));  // U+FFFD, what an unpaired surrogate became
}

}  // namespace

#include "net/address_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AddressText, TextsReadAsTheirPartsInNetworkOrderAndMissingPartsAreZero) {
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
}

TEST(AddressText, WhatIsNoAddressIsRejectedWithoutOverrunning) {
    const std::string refused[] = {"256.1.1.1", "1.2.3.a", "1.2.3.4 ", "-1.2.3.4", "a", "1,2,3,4",
                                   "1.2.3.4.5", "1.2.3.4.", ".....",
                                   // The broadcast address reads as "no address" on purpose.
                                   "255.255.255.255", "000000000001.2.3.4",
                                   "99999999999999999999999.1.1.1", std::string(100000, '7'),
                                   std::string(100000, '.')};
    for (const std::string& text : refused) {
        EXPECT_EQ(TextToAddress(text), kAddressNone) << text.substr(0, 40);
    }
}

}  // namespace

#include "net/address_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

std::array<std::uint8_t, 4> Bytes(std::uint32_t address) {
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &address, sizeof address);
    return bytes;
}

using Bytes4 = std::array<std::uint8_t, 4>;

TEST(TextToAddress, StoresThePartsInNetworkOrder) {
    EXPECT_EQ(Bytes(TextToAddress("192.168.0.1")), (Bytes4{0xC0, 0xA8, 0x00, 0x01}));
    EXPECT_EQ(Bytes(TextToAddress("0.0.0.0")), (Bytes4{0, 0, 0, 0}));
}

TEST(TextToAddress, MissingPartsAreZero) {
    EXPECT_EQ(Bytes(TextToAddress("")), (Bytes4{0, 0, 0, 0}));
    EXPECT_EQ(Bytes(TextToAddress("10.1")), (Bytes4{10, 1, 0, 0}));
    EXPECT_EQ(Bytes(TextToAddress("1..2")), (Bytes4{1, 0, 2, 0}));
    EXPECT_EQ(Bytes(TextToAddress("1.2.3.")), (Bytes4{1, 2, 3, 0}));
}

TEST(TextToAddress, RejectsWhatIsNotAnAddress) {
    for (const char* text : {"256.1.1.1", "1.2.3.a", "1.2.3.4 ", "-1.2.3.4", "a", "1,2,3,4"}) {
        EXPECT_EQ(TextToAddress(text), kAddressNone) << text;
    }
    // The broadcast address reads as "no address" on purpose.
    EXPECT_EQ(TextToAddress("255.255.255.255"), kAddressNone);
}

TEST(TextToAddress, RejectsOverlongTextsWithoutOverrunning) {
    EXPECT_EQ(TextToAddress("1.2.3.4.5"), kAddressNone);
    EXPECT_EQ(TextToAddress("1.2.3.4."), kAddressNone);
    EXPECT_EQ(TextToAddress("....."), kAddressNone);
    // Eleven digits are read (leading zeros included); a twelfth is too many.
    EXPECT_EQ(Bytes(TextToAddress("00000000001.2.3.4")), (Bytes4{1, 2, 3, 4}));
    EXPECT_EQ(TextToAddress("000000000001.2.3.4"), kAddressNone);
    EXPECT_EQ(TextToAddress("99999999999999999999999.1.1.1"), kAddressNone);
    EXPECT_EQ(TextToAddress(std::string(100000, '7')), kAddressNone);
    EXPECT_EQ(TextToAddress(std::string(100000, '.')), kAddressNone);
}

TEST(AddressToText, WritesEachByteInMemoryOrder) {
    std::uint32_t loopback = 0;
    const Bytes4 bytes{0x7F, 0x00, 0x00, 0x01};
    std::memcpy(&loopback, bytes.data(), sizeof loopback);
    EXPECT_EQ(AddressToText(loopback), "127.0.0.1");
    EXPECT_EQ(AddressToText(kAddressNone), "255.255.255.255");
}

TEST(AddressToText, RoundTripsThroughTextToAddress) {
    for (const char* text : {"198.18.0.1", "10.0.0.254", "1.0.0.0", "0.0.0.0"}) {
        EXPECT_EQ(AddressToText(TextToAddress(text)), text);
    }
}

}  // namespace

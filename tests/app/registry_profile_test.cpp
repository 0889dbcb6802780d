#include "app/registry_profile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The statistics window's place: four little-endian 32-bit numbers, read back through the
// registry; a value of another size is not a rectangle (reading 16 bytes would take garbage).
TEST(RegistryProfile, WindowRectangleRoundTripsAsSixteenLittleEndianBytes) {
    RECT rect{-1200, 40, 300, 70000};
    Bytes bytes = EncodeWindowRect(rect);
    EXPECT_EQ(bytes, (Bytes{0x50, 0xFB, 0xFF, 0xFF, 40, 0, 0, 0, 0x2C, 0x01, 0, 0, 0x70, 0x11, 0x01,
                            0x00}));
    CRegistryProfile profile;
    ASSERT_TRUE(profile.WriteBinary("Settings", kInformationPosEntry, bytes));
    EXPECT_EQ(profile.ReadBinary("Settings", kInformationPosEntry), bytes);
    EXPECT_FALSE(profile.ReadBinary("Settings", "Missing"));
    std::optional<RECT> back = DecodeWindowRect(bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(::EqualRect(&*back, &rect));
    EXPECT_FALSE(DecodeWindowRect(Bytes(15, 0)));
    EXPECT_FALSE(DecodeWindowRect(Bytes(17, 0)));
}

ListLayout CacheListLayout() {
    ListLayout layout;
    layout.sortKey = -2;  // domain, descending
    layout.columns = {{true, 50, 0}, {true, 150, 2}, {false, 170, 1}, {true, 50, 3}, {true, 80, 4}};
    return layout;
}

// [0:4) column count, [4:8) sort key, then per column [shown][width][position]. A layout of
// another list, or with an impossible sort key, is ignored.
TEST(RegistryProfile, ListLayoutRoundTripsInEightAndNinePerColumnBytesUnlessItDoesNotFit) {
    Bytes good = EncodeListLayout(CacheListLayout());
    ASSERT_EQ(good.size(), 53u);
    EXPECT_EQ(Bytes(good.begin(), good.begin() + 8), (Bytes{5, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(good.begin() + 26, good.begin() + 35), (Bytes{0, 170, 0, 0, 0, 1, 0, 0, 0}));
    std::optional<ListLayout> back = DecodeListLayout(good, 5);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sortKey, -2);
    ASSERT_EQ(back->columns.size(), 5u);
    EXPECT_FALSE(back->columns[2].shown);
    EXPECT_EQ(back->columns[2].width, 170);
    EXPECT_EQ(back->columns[1].position, 2);

    EXPECT_FALSE(DecodeListLayout(Bytes(good.begin(), good.end() - 1), 5)) << "cut short";
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(DecodeListLayout(longer, 5));
    EXPECT_FALSE(DecodeListLayout(Bytes(3, 0), 0));
    Bytes liar = good;
    liar[0] = 4;  // the size says five columns, the count says four
    EXPECT_FALSE(DecodeListLayout(liar, 4));
    EXPECT_FALSE(DecodeListLayout(liar, 5));

    ListLayout sorted = CacheListLayout();
    for (int32_t key : {6, -6, INT32_MIN, 5, -5, 0}) {
        sorted.sortKey = key;
        EXPECT_EQ(DecodeListLayout(EncodeListLayout(sorted), 5).has_value(), key > -6 && key < 6)
            << "sort key " << key;
    }
}

}  // namespace

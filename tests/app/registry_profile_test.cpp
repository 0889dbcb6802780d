#include "app/registry_profile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "win/application.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(RegistryProfile, ValuesLiveUnderTheCompanyAndTheExecutablesName) {
    CRegistryProfile profile;
    EXPECT_EQ(profile.SectionKey("Settings"),
              "Software\\Veltmark\\" + ModuleBaseName() + "\\Settings");
    ASSERT_TRUE(profile.WriteBinary("Settings", "Probe", Bytes{1, 2, 3}));

    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, profile.SectionKey("Settings").c_str(), 0,
                              KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(::RegQueryValueExA(key, "Probe", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    ::RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(profile.ReadBinary("Settings", "Probe"), (Bytes{1, 2, 3}));
    EXPECT_FALSE(profile.ReadBinary("Settings", "Missing"));
    EXPECT_FALSE(profile.ReadBinary("Nowhere", "Probe"));
}

TEST(RegistryProfile, WindowRectangleRoundTripsAsSixteenLittleEndianBytes) {
    RECT rect{-1200, 40, 300, 70000};
    Bytes bytes = EncodeWindowRect(rect);
    EXPECT_EQ(bytes, (Bytes{0x50, 0xFB, 0xFF, 0xFF, 40, 0, 0, 0, 0x2C, 0x01, 0, 0, 0x70, 0x11, 0x01,
                            0x00}));
    CRegistryProfile profile;
    ASSERT_TRUE(profile.WriteBinary("Settings", kInformationPosEntry, bytes));
    auto stored = profile.ReadBinary("Settings", kInformationPosEntry);
    ASSERT_TRUE(stored);
    std::optional<RECT> back = DecodeWindowRect(*stored);
    ASSERT_TRUE(back);
    EXPECT_TRUE(::EqualRect(&*back, &rect));

    // A value of another size is not a rectangle: reading 16 bytes from it would take garbage.
    EXPECT_FALSE(DecodeWindowRect(Bytes(15, 0)));
    EXPECT_FALSE(DecodeWindowRect(Bytes(17, 0)));
}

ListLayout CacheListLayout() {
    ListLayout layout;
    layout.sortKey = -2;  // domain, descending
    layout.columns = {{true, 50, 0}, {true, 150, 2}, {false, 170, 1}, {true, 50, 3}, {true, 80, 4}};
    return layout;
}

TEST(RegistryProfile, ListLayoutRoundTripsInNinePerColumnAndEightBytes) {
    Bytes bytes = EncodeListLayout(CacheListLayout());
    ASSERT_EQ(bytes.size(), 53u);
    // [0:4) column count, [4:8) sort key, then per column [shown][width][position].
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), (Bytes{5, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(bytes.begin() + 26, bytes.begin() + 35), (Bytes{0, 170, 0, 0, 0, 1, 0, 0, 0}));

    CRegistryProfile profile;
    ASSERT_TRUE(profile.WriteBinary("Settings", kOverviewEntry, bytes));
    auto stored = profile.ReadBinary("Settings", kOverviewEntry);
    ASSERT_TRUE(stored);
    std::optional<ListLayout> back = DecodeListLayout(*stored, 5);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sortKey, -2);
    ASSERT_EQ(back->columns.size(), 5u);
    EXPECT_FALSE(back->columns[2].shown);
    EXPECT_EQ(back->columns[2].width, 170);
    EXPECT_EQ(back->columns[1].position, 2);
}

TEST(RegistryProfile, LayoutOfAnotherListIsIgnored) {
    Bytes good = EncodeListLayout(CacheListLayout());
    EXPECT_FALSE(DecodeListLayout(good, 4)) << "saved for five columns";
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
    for (int32_t key : {6, -6, INT32_MIN}) {
        sorted.sortKey = key;
        EXPECT_FALSE(DecodeListLayout(EncodeListLayout(sorted), 5)) << "sort key " << key;
    }
    for (int32_t key : {5, -5, 0}) {
        sorted.sortKey = key;
        EXPECT_TRUE(DecodeListLayout(EncodeListLayout(sorted), 5)) << "sort key " << key;
    }
}

}  // namespace

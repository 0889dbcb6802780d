#include "app/settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/ini_profile.h"
#include "app/registry_profile.h"
#include "win/unicode.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A fresh INI file in the temporary folder, deleted afterwards.
class SettingsFile : public ::testing::Test {
protected:
    ~SettingsFile() override { ::DeleteFileA(m_path.c_str()); }

    void Write(const char* key, const std::string& value) {
        ::WritePrivateProfileStringA("Settings", key, value.c_str(), m_path.c_str());
    }
    [[nodiscard]] std::string FileText() const {
        std::ostringstream text;
        text << std::ifstream(m_path, std::ios::binary).rdbuf();
        return text.str();
    }

    const std::string m_path = [] {
        char folder[MAX_PATH] = {};
        char name[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, folder);
        ::GetTempFileNameA(folder, "qf", 0, name);
        ::DeleteFileA(name);  // the store creates it
        return std::string(name);
    }();
    CIniProfile m_profile{m_path};
};

TEST_F(SettingsFile, MissingFileGivesTheDefaultsAndSavesWriteAllNineKeys) {
    Settings settings = LoadSettings(m_profile);
    EXPECT_EQ(::GetFileAttributesA(m_path.c_str()), INVALID_FILE_ATTRIBUTES)
        << "reading creates nothing";
    SaveSettings(m_profile, settings);
    EXPECT_EQ(FileText(),
              "[Settings]\r\nDns=127.0.0.1\r\nLastUpdateTime=00:00:00\r\nStartAtLogin=1\r\n"
              "UpdateHours=1\r\nOutdatedHours=1\r\nDlgInformationUp=0\r\nHideThisDialog=0\r\n"
              "DlgInformationAlwaysOnTop=1\r\nAnswerLocalNetwork=0\r\n");

    // Every value comes back whole as it was saved, a server list of any length too; a refresh
    // switched off stays off.
    std::string servers = "192.0.2.1";
    while (servers.size() <= 1100) {
        servers += "|[2001:db8:85a3::8a2e:370:7334]:5353";
    }
    Settings saved{false, true, false, true, 0, 100, "23:59:58", servers, true};
    SaveSettings(m_profile, saved);
    EXPECT_TRUE(LoadSettings(m_profile) == saved);
}

TEST_F(SettingsFile, OddStoredValuesReadSafelyAndAreWrittenBackClean) {
    // A refresh period outside 0 to 24 reads as 1; so does one beyond 32 bits, which wrapped
    // would read as 2.
    for (const char* stored : {"25", "-1", "4294967298"}) {
        Write("UpdateHours", stored);
        EXPECT_EQ(LoadSettings(m_profile).updateHours, 1) << stored;
    }
    Write("UpdateHours", "24");
    EXPECT_EQ(LoadSettings(m_profile).updateHours, 24);
    // The cache's bound and the old answers are read; a bound below one reads as one.
    Write("MaxCacheEntries", "-5");
    Write("OneAddressForADay", "1");
    EXPECT_EQ(LoadSettings(m_profile).maxCacheEntries, 1);
    EXPECT_TRUE(LoadSettings(m_profile).oneAddressForADay);

    // Switches read their leading number.
    Write("StartAtLogin", "yes");
    EXPECT_FALSE(LoadSettings(m_profile).startAtLogin) << "text without digits reads 0";
    Write("StartAtLogin", " -3 days");
    EXPECT_TRUE(LoadSettings(m_profile).startAtLogin);
    Write("StartAtLogin", "2");
    Settings settings = LoadSettings(m_profile);
    settings.updateHours = 30;
    SaveSettings(m_profile, settings);
    EXPECT_EQ(settings.updateHours, 1);
    EXPECT_EQ(m_profile.ReadString("UpdateHours", "", "Settings"), "1");
    EXPECT_EQ(m_profile.ReadString("StartAtLogin", "", "Settings"), "1");

    // Other machines are answered only when the file says 1, nothing that merely starts like it.
    for (const char* stored : {"2", "-1", "yes", "1x", "0"}) {
        Write("AnswerLocalNetwork", stored);
        EXPECT_FALSE(LoadSettings(m_profile).answerLocalNetwork) << stored;
    }
    Write("AnswerLocalNetwork", "1");
    EXPECT_TRUE(LoadSettings(m_profile).answerLocalNetwork);

    // Values that fill the reader's first buffers exactly, with or without room for the end.
    for (const std::size_t length : {254u, 255u, 256u, 511u}) {
        Write("LastUpdateTime", std::string(length, '7'));
        EXPECT_EQ(LoadSettings(m_profile).lastUpdateTime, std::string(length, '7'));
    }
}

// The file's path and values are UTF-8, whatever the code page. A byte that is not UTF-8 (an
// older version's code page) reads as U+FFFD and its key is named; a write that fails is told.
TEST_F(SettingsFile, AnyFolderUnreadableBytesAndFailedWrites) {
    const std::string folder = m_path + "-测试 Zoë";
    const std::string file = folder + "\\Quillforth.ini";
    ::CreateDirectoryW(ToUtf16(folder).c_str(), nullptr);
    CIniProfile profile(file);
    Settings settings = LoadSettings(profile);
    settings.dns = "192.0.2.9";
    SaveSettings(profile, settings);
    EXPECT_EQ(LoadSettings(profile).dns, "192.0.2.9");
    EXPECT_EQ(profile.TakeWriteFailure(), std::nullopt);
    EXPECT_TRUE(profile.TakeUnreadableKeys().empty());

    std::ofstream(std::filesystem::path(ToUtf16(file)), std::ios::binary)
        << "[Settings]\r\nDns=192.0.2.\xFC\r\n";
    EXPECT_EQ(LoadSettings(profile).dns, "192.0.2.\xEF\xBF\xBD");
    EXPECT_EQ(profile.TakeUnreadableKeys(), std::vector<std::string>{"Dns"});

    // A folder in the file's place: the first failure is kept, and told once.
    ::DeleteFileW(ToUtf16(file).c_str());
    ::CreateDirectoryW(ToUtf16(file).c_str(), nullptr);
    SaveSettings(profile, settings);
    EXPECT_NE(profile.TakeWriteFailure(), std::nullopt);
    EXPECT_EQ(profile.TakeWriteFailure(), std::nullopt);
    ::RemoveDirectoryW(ToUtf16(file).c_str());
    ::RemoveDirectoryW(ToUtf16(folder).c_str());
}

// What the end of a session could not tell is shown at the next start, once, whole or cut
// before a character that would not fit.
TEST(ExitNotice, IsTakenOnceAndCutToWhatTheProfileHolds) {
    KeepExitNotice(std::string(300, 'x'));
    EXPECT_EQ(TakeExitNotice(), std::string(255, 'x'));
    EXPECT_EQ(TakeExitNotice(), std::nullopt);
    KeepExitNotice("C:\\测试 Zoë");
    EXPECT_EQ(TakeExitNotice(), "C:\\测试 Zoë");
    KeepExitNotice(std::string(254, 'x') + "ë");
    EXPECT_EQ(TakeExitNotice(), std::string(254, 'x'));
}

// The statistics window's place: four little-endian 32-bit numbers; a value of another size is
// not a rectangle (reading 16 bytes would take garbage).
TEST(RegistryProfile, WindowRectangleRoundTripsAsSixteenLittleEndianBytes) {
    RECT rect{-1200, 40, 300, 70000};
    Bytes bytes = EncodeWindowRect(rect);
    EXPECT_EQ(bytes, (Bytes{0x50, 0xFB, 0xFF, 0xFF, 40, 0, 0, 0, 0x2C, 0x01, 0, 0, 0x70, 0x11, 0x01,
                            0x00}));
    std::optional<RECT> back = DecodeWindowRect(bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(::EqualRect(&*back, &rect));
    EXPECT_FALSE(DecodeWindowRect(Bytes(15, 0)));
    EXPECT_FALSE(DecodeWindowRect(Bytes(17, 0)));
}

// [0:4) column count, [4:8) sort key, then per column [shown][width][position]. A layout of
// another list, or with an impossible sort key, is ignored.
TEST(RegistryProfile, ListLayoutRoundTripsInEightAndNinePerColumnBytesUnlessItDoesNotFit) {
    ListLayout layout{
        -2,  // domain, descending
        {{true, 50, 0}, {true, 150, 2}, {false, 170, 1}, {true, 50, 3}, {true, 80, 4}}};
    Bytes good = EncodeListLayout(layout);
    ASSERT_EQ(good.size(), 53u);
    EXPECT_EQ(Bytes(good.begin(), good.begin() + 8), (Bytes{5, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(good.begin() + 26, good.begin() + 35), (Bytes{0, 170, 0, 0, 0, 1, 0, 0, 0}));
    std::optional<ListLayout> back = DecodeListLayout(good, 5);
    ASSERT_TRUE(back);
    EXPECT_EQ(EncodeListLayout(*back), good) << "every field comes back";

    EXPECT_FALSE(DecodeListLayout(Bytes(good.begin(), good.end() - 1), 5)) << "cut short";
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(DecodeListLayout(longer, 5));
    EXPECT_FALSE(DecodeListLayout(Bytes(3, 0), 0));
    Bytes liar = good;
    liar[0] = 4;  // the size says five columns, the count says four
    EXPECT_FALSE(DecodeListLayout(liar, 4));
    EXPECT_FALSE(DecodeListLayout(liar, 5));

    for (int32_t key : {6, -6, INT32_MIN, 5, -5, 0}) {
        layout.sortKey = key;
        EXPECT_EQ(DecodeListLayout(EncodeListLayout(layout), 5).has_value(), key > -6 && key < 6)
            << "sort key " << key;
    }
}

}  // namespace

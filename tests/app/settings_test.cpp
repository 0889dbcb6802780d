#include "app/settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/ini_profile.h"
#include "win/application.h"

namespace {

using Lines = std::vector<std::string>;

// A fresh INI file in the temporary folder, deleted afterwards.
class SettingsFile : public ::testing::Test {
protected:
    SettingsFile() {
        char folder[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, folder);
        char name[MAX_PATH] = {};
        ::GetTempFileNameA(folder, "qf", 0, name);
        ::DeleteFileA(name);  // the store creates it
        m_path = name;
    }
    ~SettingsFile() override { ::DeleteFileA(m_path.c_str()); }

    void Write(const char* key, const std::string& value) {
        ::WritePrivateProfileStringA("Settings", key, value.c_str(), m_path.c_str());
    }
    [[nodiscard]] std::string Stored(const char* key) const {
        char value[1024] = {};
        ::GetPrivateProfileStringA("Settings", key, "<missing>", value, sizeof(value),
                                   m_path.c_str());
        return value;
    }
    [[nodiscard]] Lines FileLines() const {
        std::ifstream file(m_path);
        Lines lines;
        for (std::string line; std::getline(file, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    std::string m_path;
};

TEST_F(SettingsFile, MissingFileGivesTheDefaultsAndTheFirstSaveWritesAllEightKeys) {
    CIniProfile profile(m_path);
    Settings settings = LoadSettings(profile);
    EXPECT_TRUE(settings.startAtLogin);
    EXPECT_FALSE(settings.informationWindowUp);
    EXPECT_TRUE(settings.informationAlwaysOnTop);
    EXPECT_FALSE(settings.hideAtStart);
    EXPECT_EQ(settings.updateHours, 1);
    EXPECT_EQ(settings.outdatedHours, 1);
    EXPECT_EQ(settings.lastUpdateTime, "00:00:00");
    EXPECT_EQ(settings.dns, "127.0.0.1");
    EXPECT_EQ(::GetFileAttributesA(m_path.c_str()), INVALID_FILE_ATTRIBUTES)
        << "reading creates nothing";

    SaveSettings(profile, settings);
    EXPECT_EQ(FileLines(), (Lines{
                               "[Settings]",
                               "Dns=127.0.0.1",
                               "LastUpdateTime=00:00:00",
                               "StartAtLogin=1",
                               "UpdateHours=1",
                               "OutdatedHours=1",
                               "DlgInformationUp=0",
                               "HideThisDialog=0",
                               "DlgInformationAlwaysOnTop=1",
                           }));
}

TEST_F(SettingsFile, StoredValuesComeBackAsTheyWereSaved) {
    CIniProfile profile(m_path);
    Settings saved;
    saved.startAtLogin = false;
    saved.informationWindowUp = true;
    saved.informationAlwaysOnTop = false;
    saved.hideAtStart = true;
    saved.updateHours = 0;  // the refresh switched off stays off
    saved.outdatedHours = 100;
    saved.lastUpdateTime = "23:59:58";
    saved.dns = "192.0.2.1|198.51.100.7";
    SaveSettings(profile, saved);

    Settings loaded = LoadSettings(profile);
    EXPECT_FALSE(loaded.startAtLogin);
    EXPECT_TRUE(loaded.informationWindowUp);
    EXPECT_FALSE(loaded.informationAlwaysOnTop);
    EXPECT_TRUE(loaded.hideAtStart);
    EXPECT_EQ(loaded.updateHours, 0);
    EXPECT_EQ(loaded.outdatedHours, 100);
    EXPECT_EQ(loaded.lastUpdateTime, "23:59:58");
    EXPECT_EQ(loaded.dns, "192.0.2.1|198.51.100.7");
}

TEST_F(SettingsFile, RefreshPeriodOutsideZeroToTwentyFourBecomesOneOnLoadAndSave) {
    CIniProfile profile(m_path);
    for (const char* stored : {"25", "-1", "99999999999"}) {
        Write("UpdateHours", stored);
        EXPECT_EQ(LoadSettings(profile).updateHours, 1) << stored;
    }
    Write("UpdateHours", "24");
    EXPECT_EQ(LoadSettings(profile).updateHours, 24);

    Settings settings;
    settings.updateHours = 30;
    SaveSettings(profile, settings);
    EXPECT_EQ(settings.updateHours, 1);
    EXPECT_EQ(Stored("UpdateHours"), "1");
}

TEST_F(SettingsFile, SwitchesReadTheirLeadingNumberAndAreWrittenAsOneOrZero) {
    CIniProfile profile(m_path);
    Write("StartAtLogin", "yes");
    EXPECT_FALSE(LoadSettings(profile).startAtLogin) << "text without digits reads 0";
    Write("StartAtLogin", " -3 days");
    EXPECT_TRUE(LoadSettings(profile).startAtLogin);
    Write("StartAtLogin", "2");
    Settings settings = LoadSettings(profile);
    EXPECT_TRUE(settings.startAtLogin);
    SaveSettings(profile, settings);
    EXPECT_EQ(Stored("StartAtLogin"), "1");
}

TEST_F(SettingsFile, LongServerListIsReadBackCutTo255Characters) {
    std::string servers;
    while (servers.size() <= 300) {
        servers += "203.0.113.254|";
    }
    Write("Dns", servers);
    CIniProfile profile(m_path);
    EXPECT_EQ(LoadSettings(profile).dns, servers.substr(0, 255));
}

TEST(IniProfile, PathsResolveAgainstTheExecutableOrTheCurrentFolder) {
    EXPECT_EQ(CIniProfile().Path(), ModuleDirectory() + ModuleBaseName() + ".ini");
    EXPECT_EQ(CIniProfile("extra.ini").Path(), ModuleDirectory() + "extra.ini");

    char current[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, current);
    std::string expected = std::string(current);
    if (expected.back() != '\\') {
        expected += '\\';
    }
    EXPECT_EQ(CIniProfile("extra.ini", false).Path(), expected + "extra.ini");
    EXPECT_EQ(CIniProfile("D:\\data\\q.ini").Path(), "D:\\data\\q.ini");
    EXPECT_EQ(CIniProfile("\\\\server\\share\\q.ini").Path(), "\\\\server\\share\\q.ini");
}

TEST(IniProfile, DecimalPrefixStopsAtTheFirstOtherCharacterAndSaturates) {
    EXPECT_EQ(DecimalPrefix("17"), 17);
    EXPECT_EQ(DecimalPrefix("  \t-8x"), -8);
    EXPECT_EQ(DecimalPrefix("+3.9"), 3);
    EXPECT_EQ(DecimalPrefix("abc"), 0);
    EXPECT_EQ(DecimalPrefix("- 4"), 0);
    EXPECT_EQ(DecimalPrefix("2147483647"), 2147483647);
    EXPECT_EQ(DecimalPrefix("99999999999999999999"), 2147483647);
    EXPECT_EQ(DecimalPrefix("-99999999999999999999"), -2147483647 - 1);
}

// The Run value as the system holds it, or none.
std::optional<std::pair<DWORD, std::string>> RunValue() {
    char data[4096] = {};
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                       kAutostartValueName, RRF_RT_ANY | RRF_NOEXPAND, &type, data,
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::make_pair(type, std::string(data));
}

TEST(Autostart, RunValueIsWrittenAndDeleted) {
    ASSERT_TRUE(SetAutostart(true));
    auto value = RunValue();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->first, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(value->second, AutostartCommand(ModuleFileName()));

    ASSERT_TRUE(SetAutostart(false));
    EXPECT_FALSE(RunValue());
    EXPECT_TRUE(SetAutostart(false)) << "deleting a value that is not there is no failure";
}

TEST(Autostart, PathWithASpaceIsQuotedSoNoOtherProgramStartsInstead) {
    EXPECT_EQ(AutostartCommand("C:\\Tools\\Quillforth.exe"), "C:\\Tools\\Quillforth.exe");
    EXPECT_EQ(AutostartCommand("C:\\Program Files\\Quillforth\\Quillforth.exe"),
              "\"C:\\Program Files\\Quillforth\\Quillforth.exe\"");
}

}  // namespace

#include "app/settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/ini_profile.h"
#include "win/application.h"

namespace {

using Lines = std::vector<std::string>;

std::string TempIniPath() {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    char name[MAX_PATH] = {};
    ::GetTempFileNameA(folder, "qf", 0, name);
    ::DeleteFileA(name);  // the store creates it
    return name;
}

// A fresh INI file in the temporary folder, deleted afterwards.
class SettingsFile : public ::testing::Test {
protected:
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
    // The file's lines that are not empty.
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

    const std::string m_path = TempIniPath();
    CIniProfile m_profile{m_path};
};

TEST_F(SettingsFile, MissingFileGivesTheDefaultsAndSavesWriteAllEightKeys) {
    Settings settings = LoadSettings(m_profile);
    EXPECT_EQ(::GetFileAttributesA(m_path.c_str()), INVALID_FILE_ATTRIBUTES)
        << "reading creates nothing";
    SaveSettings(m_profile, settings);
    EXPECT_EQ(FileLines(),
              (Lines{"[Settings]", "Dns=127.0.0.1", "LastUpdateTime=00:00:00", "StartAtLogin=1",
                     "UpdateHours=1", "OutdatedHours=1", "DlgInformationUp=0", "HideThisDialog=0",
                     "DlgInformationAlwaysOnTop=1"}));

    // Every value comes back as it was saved; a refresh switched off stays off.
    Settings saved{false, true, false, true, 0, 100, "23:59:58", "192.0.2.1|198.51.100.7"};
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
    EXPECT_EQ(Stored("UpdateHours"), "1");
    EXPECT_EQ(Stored("StartAtLogin"), "1");

    std::string servers;
    while (servers.size() <= 300) {
        servers += "203.0.113.254|";
    }
    Write("Dns", servers);
    EXPECT_EQ(LoadSettings(m_profile).dns, servers.substr(0, 255));
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

// A path with a space is quoted, so that no other program ("C:\Program.exe") starts instead.
TEST(Autostart, RunValueIsWrittenQuotedAndDeleted) {
    ASSERT_TRUE(SetAutostart(true));
    EXPECT_EQ(RunValue(), std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ),
                                         AutostartCommand(ModuleFileName())));
    ASSERT_TRUE(SetAutostart(false));
    EXPECT_FALSE(RunValue());
    EXPECT_TRUE(SetAutostart(false)) << "deleting a value that is not there is no failure";

    EXPECT_EQ(AutostartCommand("C:\\Tools\\Quillforth.exe"), "C:\\Tools\\Quillforth.exe");
    EXPECT_EQ(AutostartCommand("C:\\Program Files\\Quillforth\\Quillforth.exe"),
              "\"C:\\Program Files\\Quillforth\\Quillforth.exe\"");
}

}  // namespace

#include "app/settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/ini_profile.h"

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

constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

bool LogonTaskExists() {
    char folder[MAX_PATH] = {};
    ::GetSystemDirectoryA(folder, MAX_PATH);
    return ::GetFileAttributesA((std::string(folder) + "\\Tasks\\Quillforth").c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

// Ticking "Start at login" registers the logon task (Wine keeps it as a file in the system's task
// folder), unticking deletes it; the Run value of an older copy goes either way.
TEST(Autostart, RegistersAndDeletesTheLogonTaskAndRemovesAnOldRunValue) {
    for (const bool enable : {true, false}) {
        constexpr char kOldCommand[] = "C:\\Old\\Quillforth.exe";
        ASSERT_EQ(::RegSetKeyValueA(HKEY_LOCAL_MACHINE, kRunKey, kAutostartValueName, REG_SZ,
                                    kOldCommand, sizeof kOldCommand),
                  ERROR_SUCCESS);
        EXPECT_TRUE(SetAutostart(enable));
        EXPECT_EQ(LogonTaskExists(), enable);
        EXPECT_NE(::RegGetValueA(HKEY_LOCAL_MACHINE, kRunKey, kAutostartValueName, RRF_RT_ANY,
                                 nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
    }
    EXPECT_TRUE(SetAutostart(false)) << "deleting a task that is not there is no failure";
}

// What the end of a session could not tell is shown at the next start, once.
TEST(SessionEndNotice, IsTakenOnceAndCutToWhatTheProfileHolds) {
    KeepSessionEndNotice(std::string(300, 'x'));
    EXPECT_EQ(TakeSessionEndNotice(), std::string(255, 'x'));
    EXPECT_EQ(TakeSessionEndNotice(), std::nullopt);
}

}  // namespace

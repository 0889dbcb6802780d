#pragma once

#include <string>
#include <string_view>

#include "app/ini_profile.h"

// The program's options kept in the INI file, section "Settings", with the defaults that a
// missing file or key gives.
struct Settings {
    bool startAtLogin = true;                 // "StartAtLogin": the autostart entry exists
    bool informationWindowUp = false;         // "DlgInformationUp": reopen the statistics window
    bool informationAlwaysOnTop = true;       // "DlgInformationAlwaysOnTop"
    bool hideAtStart = false;                 // "HideThisDialog"
    int updateHours = 1;                      // "UpdateHours": refresh period, 0 (off) to 24
    int outdatedHours = 1;                    // "OutdatedHours": last value of Delete Outdated
    std::string lastUpdateTime = "00:00:00";  // "LastUpdateTime": end of the last refresh
    // "Dns": the upstream servers in list order joined by "|". The server list is built from it
    // (and from the adapters) by its owner; the text is stored as that owner hands it over.
    std::string dns = "127.0.0.1";

    bool operator==(const Settings&) const = default;
};

inline constexpr char kSettingsSection[] = "Settings";
// The refresh period's range: a stored value outside it reads and saves as 1.
inline constexpr int kMaxUpdateHours = 24;

// Reads every key of section "Settings" (and makes it the profile's current section).
Settings LoadSettings(CIniProfile& profile);
// Writes every key of section "Settings", which leaves all eight keys in the file; an
// "UpdateHours" out of range is corrected in `settings` first.
void SaveSettings(CIniProfile& profile, Settings& settings);

// The value name of the autostart entry under the machine's Run key.
inline constexpr char kAutostartValueName[] = "Quillforth";
// The command line that the Run value holds for an executable: its path, in quotes when it
// holds a space.
std::string AutostartCommand(std::string_view executablePath);
// Writes (enable) or deletes the Run value of the running executable. False when the Run key
// cannot be opened (no administrative rights) or the write fails; the caller stays silent.
bool SetAutostart(bool enable);

#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/ini_profile.h"
#include "core/dns_item_map.h"

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
    // "AnswerLocalNetwork": the machines of the attached networks are answered too, not only this
    // one; only the value 1 turns it on.
    bool answerLocalNetwork = false;
    // "CacheSaveSeconds": how long after a change the cache is saved by itself. Read, never
    // written: the tests shorten it; users have no reason to.
    int cacheSaveSeconds = 300;
    // "MaxCacheEntries": the cache's bound; learning a name beyond it drops the entry hit least
    // recently. Read, never written, as the next one: for the user who wants another.
    int maxCacheEntries = static_cast<int>(CDnsItemMap::kDefaultMaxEntries);
    // "OneAddressForADay": the cache answers as it did before it kept the upstream's TTL, with
    // its first address for a day and no renewal.
    bool oneAddressForADay = false;

    bool operator==(const Settings&) const = default;
};

inline constexpr char kSettingsSection[] = "Settings";
// The refresh period's range: a stored value outside it reads and saves as 1.
inline constexpr int kMaxUpdateHours = 24;

// Reads every key of section "Settings" (and makes it the profile's current section).
Settings LoadSettings(CIniProfile& profile);
// Writes every key of section "Settings", which leaves all nine keys in the file; an
// "UpdateHours" out of range is corrected in `settings` first.
void SaveSettings(CIniProfile& profile, Settings& settings);

// The value under the machine's Run key with which older copies started at login.
inline constexpr char kAutostartValueName[] = "Quillforth";
// "Start at login": registers the logon task of the running executable (enable) or deletes it,
// and either way removes the Run value of an older copy. False when the task could not be
// registered or deleted (without administrative rights, for instance); the caller stays silent.
bool SetAutostart(bool enable);

// What the program could not tell the user while it ended (no message box waits at the exit),
// kept for the next start in the per-user profile (section "Settings", value "SessionEndNotice"),
// at most 255 characters of it.
void KeepExitNotice(std::string_view text);
// The kept text, removed from the profile; none when nothing was kept.
std::optional<std::string> TakeExitNotice();

#include "app/settings.h"

#include <windows.h>

#include <algorithm>

#include "app/registry_profile.h"
#include "system/logon_task.h"
#include "system/registry_key.h"

namespace {

constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

constexpr char kSessionEndNoticeValue[] = "SessionEndNotice";

int ValidUpdateHours(int hours) {
    return hours < 0 || hours > kMaxUpdateHours ? 1 : hours;
}

}  // namespace

Settings LoadSettings(CIniProfile& profile) {
    Settings settings;
    profile.SetSection(kSettingsSection);
    settings.startAtLogin = profile.ReadBool("StartAtLogin", true);
    settings.informationWindowUp = profile.ReadBool("DlgInformationUp", false);
    settings.informationAlwaysOnTop = profile.ReadBool("DlgInformationAlwaysOnTop", true);
    settings.hideAtStart = profile.ReadBool("HideThisDialog", false);
    settings.updateHours = ValidUpdateHours(profile.ReadInt("UpdateHours", 1));
    settings.outdatedHours = profile.ReadInt("OutdatedHours", 1);
    settings.lastUpdateTime = profile.ReadString("LastUpdateTime", "00:00:00");
    settings.dns = profile.ReadString("Dns", "127.0.0.1");
    // Strangers may ask only when the file says so plainly.
    settings.answerLocalNetwork = profile.ReadString("AnswerLocalNetwork", "0") == "1";
    settings.cacheSaveSeconds = std::max(1, profile.ReadInt("CacheSaveSeconds", 300));
    settings.maxCacheEntries = std::max(
        1, profile.ReadInt("MaxCacheEntries", static_cast<int>(CDnsItemMap::kDefaultMaxEntries)));
    settings.oneAddressForADay = profile.ReadBool("OneAddressForADay", false);
    return settings;
}

void SaveSettings(CIniProfile& profile, Settings& settings) {
    settings.updateHours = ValidUpdateHours(settings.updateHours);
    profile.SetSection(kSettingsSection);
    profile.WriteString("Dns", settings.dns);
    profile.WriteString("LastUpdateTime", settings.lastUpdateTime);
    profile.WriteBool("StartAtLogin", settings.startAtLogin);
    profile.WriteInt("UpdateHours", settings.updateHours);
    profile.WriteInt("OutdatedHours", settings.outdatedHours);
    profile.WriteBool("DlgInformationUp", settings.informationWindowUp);
    profile.WriteBool("HideThisDialog", settings.hideAtStart);
    profile.WriteBool("DlgInformationAlwaysOnTop", settings.informationAlwaysOnTop);
    profile.WriteBool("AnswerLocalNetwork", settings.answerLocalNetwork);
}

bool SetAutostart(bool enable) {
    // Without administrative rights the key does not open: the value stays for a later start.
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        ::RegDeleteValueA(key, kAutostartValueName);
        ::RegCloseKey(key);
    }
    return enable ? RegisterLogonTask() : DeleteLogonTask();
}

void KeepExitNotice(std::string_view text) {
    CRegistryKey key;
    bool created = false;
    if (key.OpenOrCreate(HKEY_CURRENT_USER, CRegistryProfile().SectionKey(kSettingsSection),
                         KEY_SET_VALUE, created)) {
        // With its terminating zero, within what a read takes.
        const std::string stored(text.substr(0, CRegistryKey::kMaxTextBytes - 1));
        key.WriteBytes(kSessionEndNoticeValue, REG_SZ, stored.c_str(), stored.size() + 1);
    }
}

std::optional<std::string> TakeExitNotice() {
    const std::string section = CRegistryProfile().SectionKey(kSettingsSection);
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, section, KEY_QUERY_VALUE)) {
        return std::nullopt;
    }
    std::optional<std::string> text = key.ReadText(kSessionEndNoticeValue);
    if (text) {
        ::RegDeleteKeyValueA(HKEY_CURRENT_USER, section.c_str(), kSessionEndNoticeValue);
    }
    return text;
}

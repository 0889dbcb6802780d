#include "app/settings.h"

#include <windows.h>

#include <algorithm>

#include "app/registry_profile.h"
#include "system/logon_task.h"
#include "win/unicode.h"

namespace {

constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

constexpr wchar_t kSessionEndNoticeValue[] = L"SessionEndNotice";
constexpr size_t kMaxExitNotice = 255;

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

// The notice holds paths and the system's texts: it goes through the wide calls, whatever the
// process's code page.
void KeepExitNotice(std::string_view text) {
    // At most 255 bytes of UTF-8, cut before a character that does not fit whole.
    size_t length = std::min(text.size(), kMaxExitNotice);
    while (length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        --length;
    }
    const std::wstring stored = ToUtf16(text.substr(0, length));
    ::RegSetKeyValueW(HKEY_CURRENT_USER,
                      ToUtf16(CRegistryProfile().SectionKey(kSettingsSection)).c_str(),
                      kSessionEndNoticeValue, REG_SZ, stored.c_str(),
                      static_cast<DWORD>((stored.size() + 1) * sizeof(wchar_t)));
}

std::optional<std::string> TakeExitNotice() {
    const std::wstring section = ToUtf16(CRegistryProfile().SectionKey(kSettingsSection));
    std::wstring text(kMaxExitNotice + 1, L'\0');
    auto size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_CURRENT_USER, section.c_str(), kSessionEndNoticeValue, RRF_RT_REG_SZ,
                       nullptr, text.data(), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, section.c_str(), kSessionEndNoticeValue);
    text.resize(size / sizeof(wchar_t));
    if (const size_t end = text.find(L'\0'); end != std::wstring::npos) {
        text.resize(end);
    }
    return ToUtf8(text);
}

#include "app/settings.h"

#include <windows.h>

#include "win/application.h"

namespace {

constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

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
}

std::string AutostartCommand(std::string_view executablePath) {
    // Unquoted, "C:\Program Files\Quillforth\Quillforth.exe" would first be tried as
    // "C:\Program.exe": whoever can place that file would be started at every login.
    if (executablePath.find(' ') == std::string_view::npos) {
        return std::string(executablePath);
    }
    return "\"" + std::string(executablePath) + "\"";
}

bool SetAutostart(bool enable) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    LSTATUS status = ERROR_SUCCESS;
    if (enable) {
        std::string command = AutostartCommand(ModuleFileName());
        status = ::RegSetValueExA(key, kAutostartValueName, 0, REG_EXPAND_SZ,
                                  reinterpret_cast<const BYTE*>(command.c_str()),
                                  static_cast<DWORD>(command.size() + 1));
    } else {
        status = ::RegDeleteValueA(key, kAutostartValueName);
        if (status == ERROR_FILE_NOT_FOUND) {
            status = ERROR_SUCCESS;  // nothing to delete is what was asked for
        }
    }
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

#include "app/launch.h"

#include <shellapi.h>

#include <array>
#include <cstring>

#include "win/message_box.h"

namespace {

// A launch result above this is success.
constexpr INT_PTR kLaunchFailedAtMost = 32;
// The longest browser command line that the ".htm" association may hold.
constexpr DWORD kMaxCommandLine = 259;

// The default value of a key under HKEY_CLASSES_ROOT, or none when it is missing, not text or
// longer than kMaxCommandLine characters.
std::optional<std::string> ClassesRootDefault(const std::string& subKey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::array<char, kMaxCommandLine + 1> text{};
    DWORD type = 0;
    // One byte short of the buffer: a stored value need not end in a terminator.
    DWORD size = kMaxCommandLine;
    const LSTATUS status = ::RegQueryValueExA(key, nullptr, nullptr, &type,
                                              reinterpret_cast<BYTE*>(text.data()), &size);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    return std::string(text.data(), ::strnlen(text.data(), size));
}

struct ErrorMessage {
    INT_PTR result;
    const char* text;
};
constexpr ErrorMessage kErrorMessages[] = {
    {0, "The operating system is out\nof memory or resources."},
    {SE_ERR_FNF, "The specified file was not found."},
    {SE_ERR_PNF, "The specified path was not found."},
    {SE_ERR_ACCESSDENIED, "The operating system denied\naccess to the specified file."},
    {SE_ERR_OOM, "There was not enough memory to complete the operation."},
    {ERROR_BAD_FORMAT, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
    {SE_ERR_SHARE, "A sharing violation occurred. "},
    {SE_ERR_ASSOCINCOMPLETE, "The filename association is\nincomplete or invalid."},
    {SE_ERR_DDETIMEOUT,
     "The DDE transaction could not\nbe completed because the request timed out."},
    {SE_ERR_DDEFAIL, "The DDE transaction failed."},
    {SE_ERR_DDEBUSY,
     "The DDE transaction could not\nbe completed because other DDE transactions\nwere being "
     "processed."},
    {SE_ERR_NOASSOC, "There is no application associated\nwith the given filename extension."},
    {SE_ERR_DLLNOTFOUND, "The specified dynamic-link library was not found."},
};

}  // namespace

INT_PTR ShellOpen(HWND owner, const std::string& file, const std::string& parameters, int show) {
    HINSTANCE result =
        ::ShellExecuteA(owner, "open", file.c_str(),
                        parameters.empty() ? nullptr : parameters.c_str(), nullptr, show);
    return reinterpret_cast<INT_PTR>(result);
}

INT_PTR GotoURL(const std::string& url, int show) {
    const INT_PTR shellResult = ShellOpen(nullptr, url, "", show);
    if (shellResult > kLaunchFailedAtMost) {
        return shellResult;
    }
    std::optional<std::string> command = HtmOpenCommand();
    if (!command) {
        return shellResult;
    }
    // WinExec reports as the shell does: above 31 on success, else the error code.
    return static_cast<INT_PTR>(
        ::WinExec(BrowserCommandLine(*command, url).c_str(), static_cast<UINT>(show)));
}

std::string BrowserCommandLine(std::string_view command, std::string_view url) {
    size_t placeholder = command.find("\"%1\"");
    if (placeholder == std::string_view::npos) {
        placeholder = command.find("%1");
    }
    std::string line(command.substr(0, placeholder));
    line += ' ';
    line += url;
    return line;
}

std::optional<std::string> HtmOpenCommand() {
    std::optional<std::string> fileType = ClassesRootDefault(".htm");
    if (!fileType) {
        return std::nullopt;
    }
    return ClassesRootDefault(*fileType + "\\shell\\open\\command");
}

std::string HyperlinkErrorText(INT_PTR result) {
    std::string text = "Unable to open hyperlink:\n\n";
    for (const ErrorMessage& message : kErrorMessages) {
        if (message.result == result) {
            return text + message.text;
        }
    }
    return text + "Unknown Error (" + std::to_string(result) + ") occurred.";
}

bool OpenHyperlink(HWND owner, const std::string& url, const UrlOpenFunction& open) {
    const INT_PTR result = open(url, SW_SHOW);
    if (result > kLaunchFailedAtMost) {
        return true;
    }
    ::MessageBeep(MB_ICONEXCLAMATION);
    ShowMessage(HyperlinkErrorText(result), MB_OK | MB_ICONEXCLAMATION, owner);
    return false;
}

std::string LaunchFailureText(std::string_view target) {
    return std::string(target) + " : File not found or Bad file!";
}

void RunNslookup(HWND owner, const ShellOpenFunction& open) {
    if (open(owner, kNslookupProgram, "", SW_SHOWNORMAL) <= kLaunchFailedAtMost) {
        ShowMessage(LaunchFailureText(kNslookupProgram), MB_OK, owner);
    }
}

void OpenDonationPage(HWND owner, const ShellOpenFunction& open) {
    // The page opens in the user's own browser, whichever that is.
    if (open(owner, kDonationPage, "", SW_SHOWNORMAL) <= kLaunchFailedAtMost) {
        ShowMessage(LaunchFailureText(kDonationPage), MB_OK, owner);
    }
}

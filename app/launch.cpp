#include "app/launch.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlobj.h>

#include <array>
#include <cstring>
#include <optional>

#include "system/com_support.h"
#include "win/message_box.h"

namespace {

std::wstring Wide(const std::string& text) {
    const int length =
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          length);
    return wide;
}

// `object`'s interface T, or null.
template <class T, class From>
ComPtr<T> Query(From& object) {
    T* found = nullptr;
    return SUCCEEDED(object.QueryInterface(IID_PPV_ARGS(&found))) ? ComPtr<T>(found) : nullptr;
}

// The view of the desktop's shell, as Explorer shows it, and the desktop's window; null when no
// shell shows a desktop.
ComPtr<IShellView> DesktopView(HWND& desktop) {
    IShellWindows* windows = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_PPV_ARGS(&windows)))) {
        return nullptr;
    }
    const ComPtr<IShellWindows> ownedWindows(windows);
    VARIANT location{};
    location.vt = VT_I4;
    location.lVal = CSIDL_DESKTOP;
    VARIANT none{};
    long window = 0;
    IDispatch* dispatch = nullptr;
    if (windows->FindWindowSW(&location, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                              &dispatch) != S_OK ||
        dispatch == nullptr) {
        return nullptr;
    }
    const ComPtr<IDispatch> ownedDispatch(dispatch);
    desktop = reinterpret_cast<HWND>(static_cast<LONG_PTR>(window));
    const ComPtr<IServiceProvider> services = Query<IServiceProvider>(*dispatch);
    IShellBrowser* browser = nullptr;
    if (!services || FAILED(services->QueryService(SID_STopLevelBrowser, IID_PPV_ARGS(&browser)))) {
        return nullptr;
    }
    const ComPtr<IShellBrowser> ownedBrowser(browser);
    IShellView* view = nullptr;
    return SUCCEEDED(browser->QueryActiveShellView(&view)) ? ComPtr<IShellView>(view) : nullptr;
}

// The shell's own automation object behind a view: it runs in the view's process.
ComPtr<IShellDispatch2> ShellOf(IShellView& view) {
    IDispatch* background = nullptr;
    if (FAILED(view.GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(&background)))) {
        return nullptr;
    }
    const ComPtr<IDispatch> ownedBackground(background);
    const ComPtr<IShellFolderViewDual> folderView = Query<IShellFolderViewDual>(*background);
    IDispatch* application = nullptr;
    if (!folderView || FAILED(folderView->get_Application(&application))) {
        return nullptr;
    }
    const ComPtr<IDispatch> ownedApplication(application);
    return Query<IShellDispatch2>(*application);
}

bool CopyToClipboard(HWND owner, const std::string& text) {
    const std::wstring wide = Wide(text);
    if (!::OpenClipboard(owner)) {
        return false;
    }
    bool copied = false;
    const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = ::EmptyClipboard() ? ::GlobalAlloc(GMEM_MOVEABLE, bytes) : nullptr;
    if (void* locked = memory != nullptr ? ::GlobalLock(memory) : nullptr) {
        std::memcpy(locked, wide.c_str(), bytes);
        ::GlobalUnlock(memory);
        // Taken by the clipboard only when it is set.
        copied = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    }
    if (!copied && memory != nullptr) {
        ::GlobalFree(memory);
    }
    ::CloseClipboard();
    return copied;
}

// The system folder, whose programs start by their full path; none when it is not known.
std::optional<std::string> SystemFolder() {
    std::array<char, MAX_PATH> folder{};
    const UINT length = ::GetSystemDirectoryA(folder.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::nullopt;
    }
    return std::string(folder.data(), length);
}

}  // namespace

bool OpenAsDesktopUser(const std::string& target) {
    const CComScope com;
    HWND desktop = nullptr;
    const ComPtr<IShellView> view = DesktopView(desktop);
    const ComPtr<IShellDispatch2> shell = view ? ShellOf(*view) : nullptr;
    if (!shell) {
        return false;
    }
    // The program that the shell starts may come to the front, as after a click of the user's.
    DWORD explorer = 0;
    ::GetWindowThreadProcessId(desktop, &explorer);
    ::AllowSetForegroundWindow(explorer);
    VARIANT none{};
    VARIANT show{};
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    return SUCCEEDED(shell->ShellExecute(MakeBstr(Wide(target)).get(), none, none, none, show));
}

LinkOutcome OpenLink(HWND owner, const std::string& url, const DesktopOpenFunction& open) {
    if (open(url)) {
        return LinkOutcome::kOpened;
    }
    return CopyToClipboard(owner, url) ? LinkOutcome::kCopied : LinkOutcome::kFailed;
}

std::string HyperlinkErrorText(std::string_view url) {
    return "Unable to open hyperlink:\n\n" + std::string(url) +
           " could be neither opened nor copied to the clipboard.";
}

bool OpenHyperlink(HWND owner, const std::string& url, const DesktopOpenFunction& open,
                   const std::function<void()>& copied) {
    const LinkOutcome outcome = OpenLink(owner, url, open);
    if (outcome == LinkOutcome::kCopied && copied) {
        copied();
    }
    if (outcome == LinkOutcome::kFailed) {
        ::MessageBeep(MB_ICONEXCLAMATION);
        ShowMessage(HyperlinkErrorText(url), MB_OK | MB_ICONEXCLAMATION, owner);
    }
    return outcome == LinkOutcome::kOpened;
}

std::string LaunchFailureText(std::string_view target) {
    return std::string(target) + " : File not found or Bad file!";
}

void RunNslookup(HWND owner) {
    bool started = false;
    if (const std::optional<std::string> folder = SystemFolder()) {
        const std::string program = *folder + "\\" + kNslookupProgram;
        std::string commandLine = "\"" + program + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        // A console program: a console of its own.
        started = ::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                   CREATE_NEW_CONSOLE, nullptr, folder->c_str(), &startup,
                                   &process) != FALSE;
        if (started) {
            ::CloseHandle(process.hThread);
            ::CloseHandle(process.hProcess);
        }
    }
    if (!started) {
        ShowMessage(LaunchFailureText(kNslookupProgram), MB_OK, owner);
    }
}

LinkOutcome OpenDonationPage(HWND owner, const DesktopOpenFunction& open) {
    const LinkOutcome outcome = OpenLink(owner, kDonationPage, open);
    if (outcome == LinkOutcome::kFailed) {
        ShowMessage(LaunchFailureText(kDonationPage), MB_OK, owner);
    }
    return outcome;
}

// Drives a window of another program under Wine from a shell script, as a user would:
//     qf_window_tool text CAPTION CONTROL       prints the control's text
//     qf_window_tool command CAPTION ID         posts WM_COMMAND ID to the window
//     qf_window_tool close CAPTION              posts WM_CLOSE to the window
//     qf_window_tool visible CAPTION            exit 0 when the window is visible
//     qf_window_tool box CAPTION                prints the text of a message box, then presses OK
//     qf_window_tool key CAPTION VK CONTROL     posts a key press to a control of the window
//     qf_window_tool post CAPTION MSG WP LP     posts a message to the window
//     qf_window_tool menu                       prints "open" when a popup menu is open and the
//                                               items it can read as "TEXT enabled|grayed",
//                                               then closes the menu
//     qf_window_tool adapters                   prints each adapter's name and DNS servers
//     qf_window_tool balloon                    prints the text of the help balloon on show
//     qf_window_tool pointer X Y                moves the mouse pointer to a screen position
// CAPTION names a dialog (window class "#32770"). Exit code 2 when no such window exists.
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

HWND FindDialog(const char* caption) {
    return ::FindWindowA("#32770", caption);
}

int Usage() {
    std::fputs(
        "usage: qf_window_tool text|command|close|visible|box|key|post CAPTION [ARGS]\n"
        "       qf_window_tool adapters|menu|balloon|pointer [X Y]\n",
        stderr);
    return 64;
}

}  // namespace

int PrintAdapters() {
    ULONG size = 0;
    ::GetAdaptersInfo(nullptr, &size);
    std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
    auto* adapters = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
    if (size == 0 || ::GetAdaptersInfo(adapters, &size) != ERROR_SUCCESS) {
        return 1;
    }
    for (PIP_ADAPTER_INFO adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        std::string servers;
        ULONG perSize = 0;
        ::GetPerAdapterInfo(adapter->Index, nullptr, &perSize);
        std::vector<std::uint64_t> perBuffer(perSize / sizeof(std::uint64_t) + 1);
        auto* info = reinterpret_cast<PIP_PER_ADAPTER_INFO>(perBuffer.data());
        if (perSize != 0 && ::GetPerAdapterInfo(adapter->Index, info, &perSize) == ERROR_SUCCESS) {
            for (PIP_ADDR_STRING server = &info->DnsServerList; server != nullptr;
                 server = server->Next) {
                if (server->IpAddress.String[0] != '\0') {
                    servers += (servers.empty() ? "" : ",") + std::string(server->IpAddress.String);
                }
            }
        }
        std::printf("%s %s\n", adapter->AdapterName, servers.c_str());
    }
    return 0;
}

int PrintOpenMenu() {
    HWND menuWindow = ::FindWindowA("#32768", nullptr);
    if (menuWindow == nullptr) {
        return 2;
    }
    std::puts("open");
    // Under Wine a menu handle is private to its process: the items can be read only where
    // menus are shared, as on Windows.
    auto menu = reinterpret_cast<HMENU>(::SendMessageA(menuWindow, MN_GETHMENU, 0, 0));
    for (int position = 0; position < ::GetMenuItemCount(menu); ++position) {
        char text[128] = {};
        ::GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
        const UINT state = ::GetMenuState(menu, static_cast<UINT>(position), MF_BYPOSITION);
        if (text[0] != '\0') {
            std::printf("%s %s\n", text, (state & MF_GRAYED) != 0 ? "grayed" : "enabled");
        }
    }
    ::PostMessageA(menuWindow, WM_KEYDOWN, VK_ESCAPE, 1);
    return 0;
}

namespace {

// The program's help balloons are popups of its own window class that carry their text.
int PrintShownBalloon() {
    HWND balloon = nullptr;
    while ((balloon = ::FindWindowExA(nullptr, balloon, "QuillforthWindow", nullptr)) != nullptr) {
        char text[1024] = {};
        if (::IsWindowVisible(balloon) && ::GetWindowTextA(balloon, text, sizeof text) > 0) {
            std::fputs(text, stdout);
            return 0;
        }
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "adapters") == 0) {
        return PrintAdapters();
    }
    if (argc == 2 && std::strcmp(argv[1], "balloon") == 0) {
        return PrintShownBalloon();
    }
    if (argc == 4 && std::strcmp(argv[1], "pointer") == 0) {
        return ::SetCursorPos(std::atoi(argv[2]), std::atoi(argv[3])) ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "menu") == 0) {
        return PrintOpenMenu();
    }
    if (argc < 3) {
        return Usage();
    }
    const std::string verb = argv[1];
    HWND window = FindDialog(argv[2]);
    if (window == nullptr) {
        return 2;
    }
    if (verb == "text" && argc == 4) {
        char text[4096] = {};
        ::GetDlgItemTextA(window, std::atoi(argv[3]), text, sizeof text);
        std::fputs(text, stdout);
        return 0;
    }
    if (verb == "command" && argc == 4) {
        return ::PostMessageA(window, WM_COMMAND, static_cast<WPARAM>(std::atoi(argv[3])), 0) ? 0
                                                                                              : 1;
    }
    if (verb == "post" && argc == 6) {
        const auto message = static_cast<UINT>(std::strtoul(argv[3], nullptr, 0));
        const auto wParam = static_cast<WPARAM>(std::strtoul(argv[4], nullptr, 0));
        const auto lParam = static_cast<LPARAM>(std::strtol(argv[5], nullptr, 0));
        return ::PostMessageA(window, message, wParam, lParam) ? 0 : 1;
    }
    if (verb == "close") {
        return ::PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (verb == "visible") {
        return ::IsWindowVisible(window) ? 0 : 1;
    }
    if (verb == "key" && argc == 5) {
        // The program's message loop hands the key to the dialog as if the user typed it.
        HWND control = ::GetDlgItem(window, std::atoi(argv[4]));
        const auto key = static_cast<WPARAM>(std::atoi(argv[3]));
        return ::PostMessageA(control != nullptr ? control : window, WM_KEYDOWN, key, 1) ? 0 : 1;
    }
    if (verb == "box") {
        // The static text of a message box has the id 0xFFFF.
        char text[4096] = {};
        ::GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        std::fputs(text, stdout);
        ::PostMessageA(window, WM_COMMAND, IDOK, 0);
        return 0;
    }
    return Usage();
}

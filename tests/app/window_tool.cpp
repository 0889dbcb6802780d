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
//     qf_window_tool lines CAPTION CONTROL      prints each line of a property list as
//                                               "LABEL<tab>VALUE"
//     qf_window_tool count CAPTION              prints how many such windows exist
//     qf_window_tool rect CAPTION               prints the window's screen rectangle "L T R B"
//     qf_window_tool move CAPTION L T R B       moves the window to a screen rectangle
//     qf_window_tool click CAPTION CONTROL      clicks a button or check box of the window
//     qf_window_tool topmost CAPTION            exit 0 when the window stays on top
//     qf_window_tool rows CAPTION LIST [N]      prints the first N (all) rows of a list view,
//                                               one line each, the cells joined by ","
//     qf_window_tool header CAPTION LIST COLUMN [right]
//                                               clicks a list view's column header; a left
//                                               click waits for the program and prints how many
//                                               milliseconds it took to handle
//     qf_window_tool waitrows CAPTION LIST N SECONDS
//                                               waits until the list view shows N rows and
//                                               prints that moment in milliseconds since 1970
//     qf_window_tool combo CAPTION CONTROL INDEX  chooses entry INDEX of a combo box as the user
//                                               does: the dialog is told of the change
//     qf_window_tool settext CAPTION CONTROL TEXT types TEXT into an edit of the window
//     qf_window_tool answer CAPTION ID          prints the text of the message box with that
//                                               caption (not another dialog of that caption),
//                                               then presses its button ID (6 Yes, 7 No)
//     qf_window_tool watch CAPTION CONTROL SECONDS
//                                               prints "MS TEXT" whenever the control's text in
//                                               the dialog (not a message box) of that caption
//                                               changes, until a message box of that caption
//                                               shows: "MS box TEXT", left open; MS in
//                                               milliseconds since 1970
// CAPTION names a dialog (window class "#32770"). Exit code 2 when no such window exists.
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ui/property_list_box.h"

namespace {

HWND FindDialog(const char* caption) {
    return ::FindWindowA("#32770", caption);
}

int Usage() {
    std::fputs(
        "usage: qf_window_tool text|command|close|visible|box|key|post|lines|count|rect|move|"
        "click|topmost|rows|header|waitrows CAPTION [ARGS]\n"
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

// The text of a std::string that lives in another process. Both programs come from the same
// compiler, whose strings hold a pointer to their characters and their length first.
std::string RemoteString(HANDLE process, const std::string* remote) {
    struct Header {
        const char* data;
        size_t size;
    };
    static_assert(sizeof(std::string) >= sizeof(Header));
    Header header{};
    SIZE_T read = 0;
    if (!::ReadProcessMemory(process, remote, &header, sizeof header, &read) ||
        header.size > 4096) {
        return "?";
    }
    std::string text(header.size, '\0');
    if (!::ReadProcessMemory(process, header.data, text.data(), text.size(), &read)) {
        return "?";
    }
    return text;
}

// A property list's entries refer to PropertyItem records of the program that shows them.
int PrintPropertyLines(HWND list) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(list, &processId);
    HANDLE process = ::OpenProcess(PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return 1;
    }
    const PropertyItem sample;
    const auto labelOffset =
        reinterpret_cast<const char*>(&sample.label) - reinterpret_cast<const char*>(&sample);
    const auto valueOffset =
        reinterpret_cast<const char*>(&sample.value) - reinterpret_cast<const char*>(&sample);
    const auto count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index) {
        const auto item = static_cast<const char*>(reinterpret_cast<void*>(
            ::SendMessageA(list, LB_GETITEMDATA, static_cast<WPARAM>(index), 0)));
        const auto* label = reinterpret_cast<const std::string*>(item + labelOffset);
        const auto* value = reinterpret_cast<const std::string*>(item + valueOffset);
        std::printf("%s\t%s\n", RemoteString(process, label).c_str(),
                    RemoteString(process, value).c_str());
    }
    ::CloseHandle(process);
    return 0;
}

int CountDialogs(const char* caption) {
    int count = 0;
    HWND window = nullptr;
    while ((window = ::FindWindowExA(nullptr, window, "#32770", caption)) != nullptr) {
        ++count;
    }
    std::printf("%d\n", count);
    return 0;
}

}  // namespace

// Memory in another process for the list view and header messages that carry a pointer: the
// system hands their lParam to the other process as it is.
class CRemoteBuffer {
public:
    CRemoteBuffer(HWND window, size_t size) {
        DWORD processId = 0;
        ::GetWindowThreadProcessId(window, &processId);
        m_process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                                  processId);
        if (m_process != nullptr) {
            m_address = static_cast<char*>(
                ::VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
        }
    }
    CRemoteBuffer(const CRemoteBuffer&) = delete;
    CRemoteBuffer& operator=(const CRemoteBuffer&) = delete;
    ~CRemoteBuffer() {
        if (m_address != nullptr) {
            ::VirtualFreeEx(m_process, m_address, 0, MEM_RELEASE);
        }
        if (m_process != nullptr) {
            ::CloseHandle(m_process);
        }
    }
    [[nodiscard]] bool Valid() const { return m_address != nullptr; }
    [[nodiscard]] char* Address(size_t offset = 0) const { return m_address + offset; }
    bool Write(const void* data, size_t size, size_t offset = 0) const {
        return ::WriteProcessMemory(m_process, m_address + offset, data, size, nullptr) != FALSE;
    }
    bool Read(void* data, size_t size, size_t offset = 0) const {
        return ::ReadProcessMemory(m_process, m_address + offset, data, size, nullptr) != FALSE;
    }

private:
    HANDLE m_process = nullptr;
    char* m_address = nullptr;
};

int PrintListRows(HWND list, long limit) {
    constexpr size_t kTextSize = 2048;
    CRemoteBuffer buffer(list, sizeof(LVITEMA) + kTextSize);
    if (list == nullptr || !buffer.Valid()) {
        return 1;
    }
    HWND header = reinterpret_cast<HWND>(::SendMessageA(list, LVM_GETHEADER, 0, 0));
    const auto columns = static_cast<int>(::SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    auto rows = static_cast<long>(::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    if (limit >= 0 && limit < rows) {
        rows = limit;
    }
    for (long row = 0; row < rows; ++row) {
        std::string line;
        for (int column = 0; column < columns; ++column) {
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = buffer.Address(sizeof(LVITEMA));
            item.cchTextMax = static_cast<int>(kTextSize);
            char text[kTextSize] = {};
            buffer.Write(&item, sizeof item);
            ::SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
                           reinterpret_cast<LPARAM>(buffer.Address()));
            buffer.Read(text, kTextSize - 1, sizeof(LVITEMA));
            line += (column == 0 ? "" : ",") + std::string(text);
        }
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

long long UnixMilliseconds() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const long long ticks = (static_cast<long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr long long kTicksTo1970 = 116'444'736'000'000'000;  // 100 ns ticks since 1601
    return (ticks - kTicksTo1970) / 10'000;
}

// The dialog may not exist yet: it is looked for again on every try.
int WaitForListRows(const char* caption, int listId, long rows, int seconds) {
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (::GetTickCount64() < end) {
        HWND list = ::GetDlgItem(FindDialog(caption), listId);
        if (list != nullptr && ::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) >= rows) {
            std::printf("%lld\n", UnixMilliseconds());
            return 0;
        }
        ::Sleep(5);
    }
    return 1;
}

int ClickListHeader(HWND list, int column, bool right) {
    HWND header = reinterpret_cast<HWND>(::SendMessageA(list, LVM_GETHEADER, 0, 0));
    CRemoteBuffer buffer(list, sizeof(RECT));
    RECT rect{};
    if (header == nullptr || !buffer.Valid() ||
        ::SendMessageA(header, HDM_GETITEMRECT, static_cast<WPARAM>(column),
                       reinterpret_cast<LPARAM>(buffer.Address())) == 0 ||
        !buffer.Read(&rect, sizeof rect)) {
        return 1;
    }
    const LPARAM at = static_cast<LPARAM>((static_cast<DWORD>((rect.top + rect.bottom) / 2) << 16) |
                                          static_cast<DWORD>((rect.left + rect.right) / 2));
    if (right) {
        // The header's menu runs until it is closed: the tool does not wait for it.
        ::PostMessageA(header, WM_RBUTTONDOWN, MK_RBUTTON, at);
        return ::PostMessageA(header, WM_RBUTTONUP, 0, at) ? 0 : 1;
    }
    ::SendMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    LARGE_INTEGER end{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    ::SendMessageA(header, WM_LBUTTONUP, 0, at);
    ::QueryPerformanceCounter(&end);
    std::printf("%lld\n", (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
    return 0;
}

int ChooseComboEntry(HWND dialog, int id, int index) {
    HWND combo = ::GetDlgItem(dialog, id);
    if (combo == nullptr ||
        ::SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0) != index) {
        return 1;
    }
    const auto command = static_cast<WPARAM>((CBN_SELCHANGE << 16) | (id & 0xFFFF));
    return ::PostMessageA(dialog, WM_COMMAND, command, reinterpret_cast<LPARAM>(combo)) ? 0 : 1;
}

// A message box is a dialog whose text has the id 0xFFFF; other dialogs may share its caption.
struct DialogSearch {
    const char* caption;
    bool messageBox;
    HWND found;
};

BOOL CALLBACK FindDialogOfKind(HWND window, LPARAM search) {
    auto* wanted = reinterpret_cast<DialogSearch*>(search);
    char className[16] = {};
    char caption[256] = {};
    ::GetClassNameA(window, className, sizeof className);
    ::GetWindowTextA(window, caption, sizeof caption);
    if (std::strcmp(className, "#32770") != 0 || std::strcmp(caption, wanted->caption) != 0 ||
        (::GetDlgItem(window, 0xFFFF) != nullptr) != wanted->messageBox) {
        return TRUE;
    }
    wanted->found = window;
    return FALSE;
}

HWND FindDialogOfKind(const char* caption, bool messageBox) {
    DialogSearch search{caption, messageBox, nullptr};
    ::EnumWindows(FindDialogOfKind, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string DialogItemText(HWND dialog, int id) {
    char text[4096] = {};
    ::GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

int AnswerMessageBox(const char* caption, int button) {
    HWND box = FindDialogOfKind(caption, true);
    if (box == nullptr) {
        return 2;
    }
    std::fputs(DialogItemText(box, 0xFFFF).c_str(), stdout);
    return ::PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(button), 0) ? 0 : 1;
}

// Polls every 10 ms, in this process, so that the times are those of the program's windows.
int WatchUntilMessageBox(const char* caption, int control, int seconds) {
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    std::optional<std::string> shown;
    while (::GetTickCount64() < end) {
        if (HWND box = FindDialogOfKind(caption, true)) {
            std::printf("%lld box %s\n", UnixMilliseconds(), DialogItemText(box, 0xFFFF).c_str());
            return 0;
        }
        if (HWND dialog = FindDialogOfKind(caption, false)) {
            std::string text = DialogItemText(dialog, control);
            if (text != shown) {
                std::printf("%lld %s\n", UnixMilliseconds(), text.c_str());
                shown = std::move(text);
            }
        }
        ::Sleep(10);
    }
    return 2;
}

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
    if (verb == "count") {
        return CountDialogs(argv[2]);
    }
    if (verb == "waitrows" && argc == 6) {
        return WaitForListRows(argv[2], std::atoi(argv[3]), std::atol(argv[4]), std::atoi(argv[5]));
    }
    if (verb == "answer" && argc == 4) {
        return AnswerMessageBox(argv[2], std::atoi(argv[3]));
    }
    if (verb == "watch" && argc == 5) {
        return WatchUntilMessageBox(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
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
    if (verb == "lines" && argc == 4) {
        return PrintPropertyLines(::GetDlgItem(window, std::atoi(argv[3])));
    }
    if (verb == "rect") {
        RECT rect{};
        ::GetWindowRect(window, &rect);
        std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
        return 0;
    }
    if (verb == "move" && argc == 7) {
        const int left = std::atoi(argv[3]);
        const int top = std::atoi(argv[4]);
        return ::SetWindowPos(window, nullptr, left, top, std::atoi(argv[5]) - left,
                              std::atoi(argv[6]) - top, SWP_NOZORDER | SWP_NOACTIVATE)
                   ? 0
                   : 1;
    }
    if (verb == "click" && argc == 4) {
        HWND control = ::GetDlgItem(window, std::atoi(argv[3]));
        return control != nullptr && ::PostMessageA(control, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (verb == "topmost") {
        return (::GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0 ? 0 : 1;
    }
    if (verb == "box") {
        // The static text of a message box has the id 0xFFFF.
        char text[4096] = {};
        ::GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        std::fputs(text, stdout);
        ::PostMessageA(window, WM_COMMAND, IDOK, 0);
        return 0;
    }
    if (verb == "combo" && argc == 5) {
        return ChooseComboEntry(window, std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (verb == "settext" && argc == 5) {
        return ::SetDlgItemTextA(window, std::atoi(argv[3]), argv[4]) ? 0 : 1;
    }
    if (verb == "rows" && (argc == 4 || argc == 5)) {
        return PrintListRows(::GetDlgItem(window, std::atoi(argv[3])),
                             argc == 5 ? std::atol(argv[4]) : -1);
    }
    if (verb == "header" && (argc == 5 || argc == 6)) {
        return ClickListHeader(::GetDlgItem(window, std::atoi(argv[3])), std::atoi(argv[4]),
                               argc == 6 && std::strcmp(argv[5], "right") == 0);
    }
    return Usage();
}

// Drives a window of another program under Wine from a shell script, as a user would. CAPTION
// names a dialog (window class "#32770"); exit code 2 when there is none, 64 for a verb or
// arguments not listed here. Moments (MS) are in milliseconds since 1970.
//   text CAPTION CONTROL           prints the control's text
//   command CAPTION ID             posts WM_COMMAND ID
//   post CAPTION MSG WP LP         posts a message
//   key CAPTION VK CONTROL         posts a key press to a control
//   click CAPTION CONTROL          clicks a button or check box
//   combo CAPTION CONTROL INDEX    chooses a combo box entry, telling the dialog as the user does
//   settext CAPTION CONTROL TEXT   types into an edit
//   visible CAPTION [topmost]      exit 0 when the window is visible (and stays on top)
//   count CAPTION                  prints how many such windows exist
//   rect CAPTION [L T [R B]]       moves the window there when given (keeping its size without
//                                  R B), then prints its screen rectangle "L T R B"
//   box CAPTION [ID]               prints the text of the message box of that caption (not of
//                                  another dialog's), then presses its button ID (1 OK, 6 Yes)
//   lines CAPTION CONTROL          prints a property list's lines as "LABEL<tab>VALUE"
//   rows CAPTION LIST [N|selected] prints the first N (all, the selected) rows of a list view,
//                                  comma-separated
//   header CAPTION LIST COLUMN [right]  clicks a column header; a left click prints how many
//                                  milliseconds the program took to handle it
//   waitrows CAPTION LIST N SECONDS  waits until the list view shows N rows; prints that moment
//   watch CAPTION CONTROL SECONDS  prints "MS TEXT" whenever the control's text in the dialog of
//                                  that caption changes, until a message box of that caption
//                                  shows: "MS box TEXT", left open
//   tray CAPTION [remove]          prints "shown" when the shell holds the dialog's tray icon,
//                                  else "none"; remove takes it out first, as an Explorer that
//                                  starts again has lost it
//   taskbarcreated                 broadcasts "TaskbarCreated", as a new Explorer does
//   menu                           prints "open" when a popup menu is open, then closes it
//   adapters                       prints the first adapter's name and DNS servers
//   balloon                        prints the text of the help balloon on show
//   pointer X Y                    moves the mouse pointer
//   checked CAPTION CONTROL        prints 1 when the check box is ticked, else 0
//   user                           prints the user who runs it, "DOMAIN\name"
//   mutex NAME SECONDS             holds the named mutex that long, once it does prints "held"
//   launched [ARGS...]             a stand-in for a program that the program under test starts
//                                  (also without a verb, as nslookup.exe): appends the name of the
//                                  process that started it and ARGS as a line to launched.txt
//                                  beside itself
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <tlhelp32.h>
#define SECURITY_WIN32
#include <security.h>

#include <algorithm>
#include <cctype>
#include <chrono>
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

int Result(bool ok) {
    return ok ? 0 : 1;
}

int PrintFirstAdapter() {
    ULONG size = 0;
    ::GetAdaptersInfo(nullptr, &size);
    std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
    auto* adapter = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
    if (size == 0 || ::GetAdaptersInfo(adapter, &size) != ERROR_SUCCESS) {
        return 1;
    }
    ULONG infoSize = 0;
    ::GetPerAdapterInfo(adapter->Index, nullptr, &infoSize);
    std::vector<std::uint64_t> infoBuffer(infoSize / sizeof(std::uint64_t) + 1);
    auto* info = reinterpret_cast<PIP_PER_ADAPTER_INFO>(infoBuffer.data());
    std::string servers;
    if (infoSize != 0 && ::GetPerAdapterInfo(adapter->Index, info, &infoSize) == ERROR_SUCCESS) {
        for (PIP_ADDR_STRING server = &info->DnsServerList; server; server = server->Next) {
            if (server->IpAddress.String[0] != '\0') {
                servers += (servers.empty() ? "" : ",") + std::string(server->IpAddress.String);
            }
        }
    }
    std::printf("%s %s\n", adapter->AdapterName, servers.c_str());
    return 0;
}

// Under Wine a menu's items are private to its process: only the menu window shows.
int CloseOpenMenu() {
    HWND menuWindow = ::FindWindowA("#32768", nullptr);
    if (menuWindow == nullptr) {
        return 2;
    }
    std::puts("open");
    return Result(::PostMessageA(menuWindow, WM_KEYDOWN, VK_ESCAPE, 1));
}

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

int CountDialogs(const char* caption) {
    int count = 0;
    for (HWND window = nullptr; (window = ::FindWindowExA(nullptr, window, "#32770", caption));) {
        ++count;
    }
    std::printf("%d\n", count);
    return 0;
}

// The memory of the process that owns a window: the list view and header messages that carry a
// pointer hand their lParam to that process as it is, in a buffer of `size` bytes there.
class CRemoteMemory {
public:
    CRemoteMemory(HWND window, size_t size) {
        DWORD processId = 0;
        ::GetWindowThreadProcessId(window, &processId);
        m_process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                                  processId);
        if (m_process != nullptr && size != 0) {
            m_address = static_cast<char*>(
                ::VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
        }
    }
    CRemoteMemory(const CRemoteMemory&) = delete;
    CRemoteMemory& operator=(const CRemoteMemory&) = delete;
    ~CRemoteMemory() {
        if (m_address != nullptr) {
            ::VirtualFreeEx(m_process, m_address, 0, MEM_RELEASE);
        }
        if (m_process != nullptr) {
            ::CloseHandle(m_process);
        }
    }
    [[nodiscard]] bool Valid() const { return m_address != nullptr; }
    [[nodiscard]] char* Address(size_t offset = 0) const { return m_address + offset; }
    bool Write(const void* data, size_t size) const {
        return ::WriteProcessMemory(m_process, m_address, data, size, nullptr) != FALSE;
    }
    bool Read(const void* remote, void* data, size_t size) const {
        return ::ReadProcessMemory(m_process, remote, data, size, nullptr) != FALSE;
    }
    // A std::string there. Both programs come from the same compiler, whose strings hold a
    // pointer to their characters and their length first.
    [[nodiscard]] std::string String(const std::string* remote) const {
        struct Header {
            const char* data;
            size_t size;
        };
        static_assert(sizeof(std::string) >= sizeof(Header));
        Header header{};
        if (!Read(remote, &header, sizeof header) || header.size > 4096) {
            return "?";
        }
        std::string text(header.size, '\0');
        return Read(header.data, text.data(), text.size()) ? text : "?";
    }

private:
    HANDLE m_process = nullptr;
    char* m_address = nullptr;
};

// A property list's entries refer to PropertyItem records of the program that shows them.
int PrintPropertyLines(HWND list) {
    const CRemoteMemory memory(list, 0);
    const auto count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index) {
        const auto* item = reinterpret_cast<const PropertyItem*>(
            ::SendMessageA(list, LB_GETITEMDATA, static_cast<WPARAM>(index), 0));
        std::printf("%s\t%s\n", memory.String(&item->label).c_str(),
                    memory.String(&item->value).c_str());
    }
    return 0;
}

// The cells as the list holds them, in UTF-16, printed in UTF-8 whatever the program's code page.
int PrintListRows(HWND list, long limit, bool selectedOnly) {
    constexpr size_t kTextSize = 2048;
    const CRemoteMemory buffer(list, sizeof(LVITEMW) + kTextSize * sizeof(wchar_t));
    if (list == nullptr || !buffer.Valid()) {
        return 1;
    }
    HWND header = reinterpret_cast<HWND>(::SendMessageA(list, LVM_GETHEADER, 0, 0));
    const auto columns = static_cast<int>(::SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    const auto count = static_cast<long>(::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    const long rows = limit >= 0 ? std::min(limit, count) : count;
    for (long row = 0; row < rows; ++row) {
        if (selectedOnly &&
            ::SendMessageA(list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) == 0) {
            continue;
        }
        std::string line;
        for (int column = 0; column < columns; ++column) {
            LVITEMW item{};
            item.iSubItem = column;
            item.pszText = reinterpret_cast<wchar_t*>(buffer.Address(sizeof(LVITEMW)));
            item.cchTextMax = static_cast<int>(kTextSize);
            wchar_t text[kTextSize] = {};
            buffer.Write(&item, sizeof item);
            ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                           reinterpret_cast<LPARAM>(buffer.Address()));
            buffer.Read(buffer.Address(sizeof(LVITEMW)), text, (kTextSize - 1) * sizeof(wchar_t));
            char utf8[kTextSize * 3] = {};
            ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
            line += (column == 0 ? "" : ",") + std::string(utf8);
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
        HWND list = ::GetDlgItem(::FindWindowA("#32770", caption), listId);
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
    const CRemoteMemory buffer(list, sizeof(RECT));
    RECT rect{};
    if (header == nullptr || !buffer.Valid() ||
        ::SendMessageA(header, HDM_GETITEMRECT, static_cast<WPARAM>(column),
                       reinterpret_cast<LPARAM>(buffer.Address())) == 0 ||
        !buffer.Read(buffer.Address(), &rect, sizeof rect)) {
        return 1;
    }
    const LPARAM at = static_cast<LPARAM>((static_cast<DWORD>((rect.top + rect.bottom) / 2) << 16) |
                                          static_cast<DWORD>((rect.left + rect.right) / 2));
    if (right) {
        // The header's menu runs until it is closed: the tool does not wait for it.
        ::PostMessageA(header, WM_RBUTTONDOWN, MK_RBUTTON, at);
        return Result(::PostMessageA(header, WM_RBUTTONUP, 0, at));
    }
    ::SendMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    const auto start = std::chrono::steady_clock::now();
    ::SendMessageA(header, WM_LBUTTONUP, 0, at);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("%lld\n", static_cast<long long>(took.count()));
    return 0;
}

int ChooseComboEntry(HWND dialog, int id, int index) {
    HWND combo = ::GetDlgItem(dialog, id);
    if (combo == nullptr ||
        ::SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0) != index) {
        return 1;
    }
    const auto command = static_cast<WPARAM>((CBN_SELCHANGE << 16) | (id & 0xFFFF));
    return Result(::PostMessageA(dialog, WM_COMMAND, command, reinterpret_cast<LPARAM>(combo)));
}

// A message box is a dialog whose text has the id 0xFFFF; other dialogs may share its caption.
HWND FindDialogOfKind(const char* caption, bool messageBox) {
    HWND window = nullptr;
    while ((window = ::FindWindowExA(nullptr, window, "#32770", caption)) != nullptr &&
           (::GetDlgItem(window, 0xFFFF) != nullptr) != messageBox) {
    }
    return window;
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
    return Result(::PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(button), 0));
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

// The shell takes a change of an icon that it holds only: a change of nothing tells which.
int PrintTrayIcon(HWND window, bool remove) {
    constexpr UINT kTrayIconId = 132;
    NOTIFYICONDATAA data{};
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = window;
    data.uID = kTrayIconId;
    if (remove) {
        ::Shell_NotifyIconA(NIM_DELETE, &data);
    }
    std::puts(::Shell_NotifyIconA(NIM_MODIFY, &data) ? "shown" : "none");
    return 0;
}

// The verbs on a dialog named by its caption; `args` follow the caption.
int RunOnDialog(const std::string& verb, HWND window, char** args, int count) {
    const auto number = [&](int index) { return std::atoi(args[index]); };
    HWND control = count > 0 ? ::GetDlgItem(window, number(0)) : nullptr;
    if (verb == "text" && count == 1) {
        std::fputs(DialogItemText(window, number(0)).c_str(), stdout);
        return 0;
    }
    if (verb == "command" && count == 1) {
        return Result(::PostMessageA(window, WM_COMMAND, static_cast<WPARAM>(number(0)), 0));
    }
    if (verb == "post" && count == 3) {
        return Result(::PostMessageA(window, static_cast<UINT>(std::strtoul(args[0], nullptr, 0)),
                                     static_cast<WPARAM>(std::strtoul(args[1], nullptr, 0)),
                                     static_cast<LPARAM>(std::strtol(args[2], nullptr, 0))));
    }
    if (verb == "key" && count == 2) {
        // The program's message loop hands the key to the dialog as if the user typed it.
        control = ::GetDlgItem(window, number(1));
        return Result(::PostMessageA(control != nullptr ? control : window, WM_KEYDOWN,
                                     static_cast<WPARAM>(number(0)), 1));
    }
    if (verb == "click" && count == 1) {
        // A static control made a link takes a press of the mouse button.
        char kind[16] = {};
        ::GetClassNameA(control, kind, sizeof kind);
        const bool button = std::strcmp(kind, "Static") != 0;
        return Result(control != nullptr &&
                      ::PostMessageA(control, button ? BM_CLICK : WM_LBUTTONDOWN, 0,
                                     button ? 0 : MAKELPARAM(1, 1)));
    }
    if (verb == "checked" && count == 1) {
        std::printf("%d\n", ::IsDlgButtonChecked(window, number(0)) == BST_CHECKED ? 1 : 0);
        return 0;
    }
    if (verb == "combo" && count == 2) {
        return ChooseComboEntry(window, number(0), number(1));
    }
    if (verb == "settext" && count == 2) {
        return Result(::SetDlgItemTextA(window, number(0), args[1]));
    }
    if (verb == "tray" && (count == 0 || (count == 1 && std::strcmp(args[0], "remove") == 0))) {
        return PrintTrayIcon(window, count == 1);
    }
    if (verb == "visible" && (count == 0 || (count == 1 && std::strcmp(args[0], "topmost") == 0))) {
        const bool topmost = (::GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        return Result(::IsWindowVisible(window) && (topmost || count == 0));
    }
    RECT rect{};
    ::GetWindowRect(window, &rect);
    if (verb == "rect" && count % 2 == 0 && count <= 4) {
        if (count > 0) {
            const int width = count == 4 ? number(2) - number(0) : rect.right - rect.left;
            const int height = count == 4 ? number(3) - number(1) : rect.bottom - rect.top;
            ::SetWindowPos(window, nullptr, number(0), number(1), width, height,
                           SWP_NOZORDER | SWP_NOACTIVATE);
            ::GetWindowRect(window, &rect);
        }
        std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
        return 0;
    }
    if (verb == "lines" && count == 1) {
        return PrintPropertyLines(control);
    }
    if (verb == "rows" && (count == 1 || count == 2)) {
        const bool selected = count == 2 && std::strcmp(args[1], "selected") == 0;
        return PrintListRows(control, count == 2 && !selected ? std::atol(args[1]) : -1, selected);
    }
    if (verb == "header" && (count == 2 || count == 3)) {
        return ClickListHeader(control, number(1),
                               count == 3 && std::strcmp(args[2], "right") == 0);
    }
    return 64;
}

// The executable of the process that started this one ("quillforth.exe"), in lower case.
std::string ParentName() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    std::string name;
    for (int pass = 0; pass < 2; ++pass) {
        for (BOOL more = ::Process32First(snapshot, &entry); more;
             more = ::Process32Next(snapshot, &entry)) {
            if (pass == 0 && entry.th32ProcessID == ::GetCurrentProcessId()) {
                parent = entry.th32ParentProcessID;
            } else if (pass == 1 && entry.th32ProcessID == parent) {
                name = entry.szExeFile;
            }
        }
    }
    ::CloseHandle(snapshot);
    std::ranges::transform(name, name.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return name;
}

int RecordLaunch(char** args, int count) {
    char path[MAX_PATH] = {};
    const std::string self(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    FILE* log =
        std::fopen((self.substr(0, self.find_last_of('\\') + 1) + "launched.txt").c_str(), "ab");
    if (log == nullptr) {
        return 1;
    }
    std::fputs(ParentName().c_str(), log);
    for (int i = 0; i < count; ++i) {
        std::fprintf(log, " %s", args[i]);
    }
    std::fputs("\n", log);
    std::fclose(log);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (argc == 1 || verb == "launched") {
        return RecordLaunch(argv + 2, std::max(argc - 2, 0));
    }
    if (verb == "adapters" && argc == 2) {
        return PrintFirstAdapter();
    }
    if (verb == "balloon" && argc == 2) {
        return PrintShownBalloon();
    }
    if (verb == "taskbarcreated" && argc == 2) {
        return Result(
            ::PostMessageA(HWND_BROADCAST, ::RegisterWindowMessageA("TaskbarCreated"), 0, 0));
    }
    if (verb == "menu" && argc == 2) {
        return CloseOpenMenu();
    }
    if (verb == "user" && argc == 2) {
        char name[256] = {};
        ULONG size = sizeof name;
        return Result(::GetUserNameExA(NameSamCompatible, name, &size) && std::puts(name) >= 0);
    }
    if (verb == "mutex" && argc == 4) {
        HANDLE mutex = ::CreateMutexA(nullptr, FALSE, argv[2]);
        std::puts(mutex != nullptr ? "held" : "not held");
        std::fflush(stdout);
        ::Sleep(static_cast<DWORD>(std::atoi(argv[3])) * 1000);
        return Result(mutex != nullptr && ::CloseHandle(mutex));
    }
    if (verb == "pointer" && argc == 4) {
        return Result(::SetCursorPos(std::atoi(argv[2]), std::atoi(argv[3])));
    }
    if (verb == "count" && argc == 3) {
        return CountDialogs(argv[2]);
    }
    if (verb == "box" && (argc == 3 || argc == 4)) {
        return AnswerMessageBox(argv[2], argc == 4 ? std::atoi(argv[3]) : IDOK);
    }
    if (verb == "waitrows" && argc == 6) {
        return WaitForListRows(argv[2], std::atoi(argv[3]), std::atol(argv[4]), std::atoi(argv[5]));
    }
    if (verb == "watch" && argc == 5) {
        return WatchUntilMessageBox(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    HWND window = argc > 2 ? ::FindWindowA("#32770", argv[2]) : nullptr;
    if (window == nullptr) {
        return argc > 2 ? 2 : 64;
    }
    const int result = RunOnDialog(verb, window, argv + 3, argc - 3);
    if (result == 64) {
        std::fputs("qf_window_tool: unknown verb or arguments; see its source\n", stderr);
    }
    return result;
}

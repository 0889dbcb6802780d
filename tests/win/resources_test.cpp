// The program's resources as the system loads them: what the code finds by id or position in
// the dialog templates and menus, the version and the manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

using Ids = std::vector<int>;
constexpr int kLabel = IDC_STATIC;

// Every template opens with its controls and their classes registered, in the tab order the
// user walks; the main dialog minimizes (to the tray) and the statistics window resizes.
TEST(Resources, EveryDialogTemplateOpensWithItsControlsInTabOrder) {
    struct Template {
        int id;
        Ids controls;
        LONG_PTR style = 0;
    };
    const Template templates[] = {
        {IDD_ABOUTBOX, {kLabel, kLabel, kLabel, IDC_WEB_LINK, IDC_MAIL_LINK, IDOK}},
        // clang-format off
        {IDD_QUILLFORTH_DIALOG,
         {IDC_START_AT_LOGIN, IDC_START, IDC_STOP, kLabel, IDC_CACHE_LIST, kLabel,
          IDC_UPDATE_HOURS, IDC_SERVER_LIST, IDC_NSLOOKUP, IDC_DONATE, IDC_ABOUT, IDC_HIDE, kLabel,
          IDC_SEARCH, IDC_GO, kLabel, IDC_STATUS, kLabel, IDC_DETAIL, IDC_HIDE_AT_START}, WS_MINIMIZEBOX},
        // clang-format on
        {IDD_DNS_ITEM,
         {kLabel, IDC_ITEM_DOMAIN, kLabel, IDC_ITEM_ADDRESSES, kLabel, IDC_ITEM_TTL, IDOK, IDCANCEL,
          IDC_RESOLVE}},
        {IDD_RESOLVE_PROGRESS,
         {IDC_PROGRESS_TEXT, IDC_PROGRESS_BAR, IDC_PROGRESS_CAPTION, IDC_PROGRESS_CANCEL}},
        {IDD_INFORMATION, {IDC_INFORMATION_LIST, IDC_ALWAYS_ON_TOP, IDOK}, WS_THICKFRAME},
        {IDD_OUTDATED, {kLabel, IDC_OUTDATED_HOURS, kLabel, kLabel, IDOK, IDCANCEL}},
    };
    for (const auto& [id, controls, style] : templates) {
        CDialog dialog(id);
        ASSERT_TRUE(dialog.Create()) << id;
        Ids children;
        for (HWND child = ::GetWindow(dialog.Hwnd(), GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            children.push_back(::GetDlgCtrlID(child));
        }
        EXPECT_EQ(children, controls) << id;
        EXPECT_EQ(::GetWindowLongPtrA(dialog.Hwnd(), GWL_STYLE) & style, style) << id;
        if (id == IDD_ABOUTBOX) {  // an icon that is there, and the version line
            HWND icon = ::GetWindow(dialog.Hwnd(), GW_CHILD);
            EXPECT_NE(::SendMessageA(icon, STM_GETICON, 0, 0), 0);
            EXPECT_EQ(CWindow(::GetWindow(icon, GW_HWNDNEXT)).GetText(),
                      "Quillforth v1.80 Build 10/01/2009");
        }
        if (id == IDD_QUILLFORTH_DIALOG) {  // Enter in the search box searches
            EXPECT_EQ(LowWord(static_cast<WPARAM>(dialog.Send(DM_GETDEFID))), IDC_GO);
        }
    }
}

Ids ItemIds(const CMenu& menu) {
    Ids ids;
    for (int position = 0; position < menu.GetItemCount(); ++position) {
        ids.push_back(menu.GetItemId(position));
    }
    return ids;
}

// The commands the code dispatches on, where it looks for them; 0 is a separator, -1 a submenu.
TEST(Resources, MenusAndStringsHoldWhatTheCodeLoads) {
    EXPECT_EQ(ItemIds(CMenu::Load(IDR_TRAY).SubMenu(0)),
              (Ids{ID_TRAY_RESTORE, 0, ID_TRAY_START, ID_TRAY_STOP, IDC_NSLOOKUP, IDC_DETAIL, 0,
                   IDC_DONATE, IDC_ABOUT, 0, ID_TRAY_EXIT}));
    const CMenu menu = CMenu::Load(IDR_RCLICK);
    const CMenu cache = menu.SubMenu(0);
    EXPECT_EQ(ItemIds(cache),
              (Ids{ID_CACHE_NEW, ID_CACHE_SAVE, ID_CACHE_DELETE, ID_CACHE_DELETE_OUTDATED,
                   ID_CACHE_CLEAR, -1, 0, ID_CACHE_RESOLVE, ID_CACHE_RESOLVE_UNRESOLVED,
                   ID_CACHE_RESOLVE_ALL, 0, ID_CACHE_IMPORT, ID_CACHE_EXPORT}));
    EXPECT_EQ(ItemIds(cache.SubMenu(5)),
              (Ids{ID_CACHE_CLEAR_HITS_ALL, ID_CACHE_CLEAR_HITS_SELECTED}));
    for (const int id : {IDS_ABOUTBOX, IDS_SOCKETS_INIT_FAILED, IDS_COLUMN_ID, IDS_COLUMN_DOMAIN,
                         IDS_COLUMN_IP, IDS_COLUMN_HITS, IDS_COLUMN_LAST_HIT}) {
        char text[128] = {};
        EXPECT_GT(::LoadStringA(nullptr, static_cast<UINT>(id), text, sizeof text), 0) << id;
    }
}

// The version resource must follow the project's version; the manifest's dependency alone
// redirects the common controls to version 6, and it makes the program per-monitor DPI aware.
TEST(Resources, VersionAndManifest) {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::vector<char> block(::GetFileVersionInfoSizeA(path, nullptr));
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwProductVersionMS, DWORD{QF_VERSION_MAJOR} << 16 | QF_VERSION_MINOR);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);

    ACTCTX_SECTION_KEYED_DATA found{};
    found.cbSize = sizeof(found);
    EXPECT_TRUE(::FindActCtxSectionStringA(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                           "comctl32.dll", &found));
    // Looked up at run time: these exist from Windows 10 1607 on.
    HMODULE user = ::GetModuleHandleA("user32.dll");
    auto getContext = reinterpret_cast<HANDLE(WINAPI*)()>(
        reinterpret_cast<void*>(::GetProcAddress(user, "GetThreadDpiAwarenessContext")));
    auto getAwareness = reinterpret_cast<int(WINAPI*)(HANDLE)>(
        reinterpret_cast<void*>(::GetProcAddress(user, "GetAwarenessFromDpiAwarenessContext")));
    if (getContext != nullptr && getAwareness != nullptr) {
        EXPECT_EQ(getAwareness(getContext()), 2) << "per-monitor aware";
    }
}

}  // namespace

// The program's resources as the system loads them: what the code finds by id or position in
// the dialog templates and menus, the version and the manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

using Ids = std::vector<int>;

// Every template opens (its controls' classes registered); the main dialog minimizes (to the
// tray) and searches on Enter, the statistics window resizes, the about box shows its icon and
// version line. Which controls a template holds the program's and the end-to-end tests prove.
TEST(Resources, EveryDialogTemplateOpens) {
    const std::pair<int, LONG_PTR> templates[] = {
        {IDD_ABOUTBOX, 0},         {IDD_QUILLFORTH_DIALOG, WS_MINIMIZEBOX}, {IDD_DNS_ITEM, 0},
        {IDD_RESOLVE_PROGRESS, 0}, {IDD_INFORMATION, WS_THICKFRAME},        {IDD_OUTDATED, 0},
    };
    for (const auto& [id, style] : templates) {
        CDialog dialog(id);
        ASSERT_TRUE(dialog.Create()) << id;
        EXPECT_NE(::GetWindow(dialog.Hwnd(), GW_CHILD), nullptr) << id;
        EXPECT_EQ(::GetWindowLongPtrA(dialog.Hwnd(), GWL_STYLE) & style, style) << id;
        if (id == IDD_ABOUTBOX) {
            HWND icon = ::GetWindow(dialog.Hwnd(), GW_CHILD);
            EXPECT_NE(::SendMessageA(icon, STM_GETICON, 0, 0), 0);
            EXPECT_EQ(CWindow(::GetWindow(icon, GW_HWNDNEXT)).GetText(),
                      "Quillforth v1.80 Build 10/01/2009");
        }
        if (id == IDD_QUILLFORTH_DIALOG) {
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
TEST(Resources, MenusHoldWhatTheCodeLoads) {
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

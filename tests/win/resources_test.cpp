// The program's resources as the system loads them: what the code finds by id or position in
// the dialog templates and menus, the images it draws, the version and the manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

using Ids = std::vector<int>;

class COpenedTemplate : public CDialog {
public:
    explicit COpenedTemplate(int id) : CDialog(id) { Create(); }
    // The controls' ids in template (tab) order.
    [[nodiscard]] Ids Children() const {
        Ids children;
        for (HWND child = ::GetWindow(m_hwnd, GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            children.push_back(::GetDlgCtrlID(child));
        }
        return children;
    }
    [[nodiscard]] LONG_PTR Style(int id = 0) const {
        return ::GetWindowLongPtrA(id == 0 ? m_hwnd : Item(id), GWL_STYLE);
    }
    [[nodiscard]] int DefaultButton() const {
        return LowWord(static_cast<WPARAM>(Send(DM_GETDEFID)));
    }
};

constexpr int kLabel = IDC_STATIC;

// Every template opens with its controls and their classes registered, in the tab order the
// user walks.
TEST(Resources, EveryDialogTemplateOpensWithItsControlsInTabOrder) {
    const std::pair<int, Ids> templates[] = {
        {IDD_ABOUTBOX, {kLabel, kLabel, kLabel, IDC_WEB_LINK, IDC_MAIL_LINK, IDOK}},
        {IDD_QUILLFORTH_DIALOG,
         {IDC_START_AT_LOGIN,
          IDC_START,
          IDC_STOP,
          kLabel,
          IDC_CACHE_LIST,
          kLabel,
          IDC_UPDATE_HOURS,
          IDC_SERVER_LIST,
          IDC_NSLOOKUP,
          IDC_DONATE,
          IDC_ABOUT,
          IDC_HIDE,
          kLabel,
          IDC_SEARCH,
          IDC_GO,
          kLabel,
          IDC_STATUS,
          kLabel,
          IDC_DETAIL,
          IDC_HIDE_AT_START}},
        {IDD_DNS_ITEM,
         {kLabel, IDC_ITEM_DOMAIN, kLabel, IDC_ITEM_ADDRESSES, kLabel, IDC_ITEM_TTL, IDOK, IDCANCEL,
          IDC_RESOLVE}},
        {IDD_RESOLVE_PROGRESS,
         {IDC_PROGRESS_TEXT, IDC_PROGRESS_BAR, IDC_PROGRESS_CAPTION, IDC_PROGRESS_CANCEL}},
        {IDD_INFORMATION, {IDC_INFORMATION_LIST, IDC_ALWAYS_ON_TOP, IDOK}},
        {IDD_OUTDATED, {kLabel, IDC_OUTDATED_HOURS, kLabel, kLabel, IDOK, IDCANCEL}},
    };
    for (const auto& [id, controls] : templates) {
        COpenedTemplate dialog(id);
        ASSERT_TRUE(dialog.Exists()) << id;
        EXPECT_EQ(dialog.Children(), controls) << id;
    }
    // The about box's icon control names a resource that is there.
    COpenedTemplate about(IDD_ABOUTBOX);
    HWND icon = ::GetWindow(about.Hwnd(), GW_CHILD);
    EXPECT_NE(::SendMessageA(icon, STM_GETICON, 0, 0), 0);
}

TEST(Resources, TemplatesCarryTheStylesTheCodeReliesOn) {
    COpenedTemplate main(IDD_QUILLFORTH_DIALOG);
    EXPECT_NE(main.Style() & WS_MINIMIZEBOX, 0);
    EXPECT_EQ(main.DefaultButton(), IDC_GO);
    EXPECT_FALSE(CWindow(main.Item(IDC_HIDE)).IsVisible());
    EXPECT_NE(main.Style(IDC_CACHE_LIST) & LVS_REPORT, 0);
    EXPECT_EQ(main.Style(IDC_UPDATE_HOURS) & CBS_DROPDOWNLIST, CBS_DROPDOWNLIST);
    EXPECT_EQ(main.Style(IDC_STATUS) & (ES_MULTILINE | ES_READONLY), ES_MULTILINE | ES_READONLY);

    COpenedTemplate item(IDD_DNS_ITEM);
    EXPECT_EQ(item.DefaultButton(), IDCANCEL) << "Enter cancels";
    EXPECT_FALSE(CWindow(item.Item(IDC_ITEM_TTL)).IsVisible());

    COpenedTemplate information(IDD_INFORMATION);
    EXPECT_NE(information.Style() & WS_THICKFRAME, 0);
    constexpr LONG_PTR kOwnerDrawn =
        LBS_OWNERDRAWVARIABLE | LBS_HASSTRINGS | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;
    EXPECT_EQ(information.Style(IDC_INFORMATION_LIST) & kOwnerDrawn, kOwnerDrawn);
}

Ids ItemIds(const CMenu& menu) {
    Ids ids;
    for (int position = 0; position < menu.GetItemCount(); ++position) {
        ids.push_back(menu.GetItemId(position));
    }
    return ids;
}

// The code finds the menus' commands by position; 0 is a separator, -1 a submenu.
TEST(Resources, MenusHoldTheTrayAndCacheCommandsWhereTheCodeLooks) {
    const CMenu tray = CMenu::Load(IDR_TRAY);
    EXPECT_EQ(ItemIds(tray.SubMenu(0)),
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

    for (const int id : {IDS_ABOUTBOX, IDS_COLUMN_ID, IDS_SOCKETS_INIT_FAILED, IDS_COLUMN_DOMAIN,
                         IDS_COLUMN_IP, IDS_COLUMN_HITS, IDS_COLUMN_LAST_HIT}) {
        char buffer[128] = {};
        EXPECT_GT(::LoadStringA(::GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer,
                                sizeof(buffer)),
                  0)
            << id;
    }
}

// The average colour of an icon drawn on white.
COLORREF AverageColour(int iconId, int size) {
    HICON icon = static_cast<HICON>(
        ::LoadImageA(::GetModuleHandleA(nullptr), ResourceName(iconId), IMAGE_ICON, size, size, 0));
    EXPECT_NE(icon, nullptr) << "icon " << iconId;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    RECT all{0, 0, size, size};
    ::FillRect(memory, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    long sum[3] = {};
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            COLORREF pixel = ::GetPixel(memory, x, y);
            sum[0] += GetRValue(pixel);
            sum[1] += GetGValue(pixel);
            sum[2] += GetBValue(pixel);
        }
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    ::DestroyIcon(icon);
    long count = size * size;
    return RGB(sum[0] / count, sum[1] / count, sum[2] / count);
}

TEST(Resources, TrayIconsLookClearlyDifferentAtBothSizes) {
    // The alternation between them is the only warning the user gets.
    const int icons[] = {IDR_MAINFRAME, IDI_UPDATING, IDI_STOPPED, IDI_SERVER_DOWN, IDI_BLINK};
    for (int size : {16, 32}) {
        std::vector<COLORREF> colours;
        for (int icon : icons) {
            colours.push_back(AverageColour(icon, size));
        }
        for (size_t a = 0; a < colours.size(); ++a) {
            for (size_t b = a + 1; b < colours.size(); ++b) {
                double distance = std::hypot(GetRValue(colours[a]) - GetRValue(colours[b]),
                                             GetGValue(colours[a]) - GetGValue(colours[b]),
                                             GetBValue(colours[a]) - GetBValue(colours[b]));
                EXPECT_GT(distance, 40.0)
                    << "icons " << icons[a] << " and " << icons[b] << " at " << size;
            }
        }
    }
}

TEST(Resources, SortArrowsAreNineByFiveAndTheButtonStripHoldsFourImages) {
    for (int id : {IDB_SORT_ASCENDING, IDB_SORT_DESCENDING}) {
        HBITMAP bitmap = static_cast<HBITMAP>(
            ::LoadImageA(::GetModuleHandleA(nullptr), ResourceName(id), IMAGE_BITMAP, 0, 0, 0));
        BITMAP arrow{};
        ::GetObjectA(bitmap, sizeof(arrow), &arrow);
        ::DeleteObject(bitmap);
        EXPECT_EQ(arrow.bmWidth, 9) << id;
        EXPECT_EQ(arrow.bmHeight, 5) << id;
    }
    CImageList buttons;
    ASSERT_TRUE(buttons.LoadMasked(IDB_EDIT_LIST_BUTTONS, 12, RGB(255, 0, 255)));
    EXPECT_EQ(buttons.GetCount(), 4);
}

// The version resource follows the project's version.
TEST(Resources, VersionIsTheProjects) {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::vector<char> block(::GetFileVersionInfoSizeA(path, nullptr));
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwProductVersionMS, DWORD{QF_VERSION_MAJOR} << 16 | QF_VERSION_MINOR);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
}

TEST(Resources, ManifestAsksForCommonControlsSixAndPerMonitorDpi) {
    // Only the manifest's dependency redirects the library to the version 6 assembly.
    ACTCTX_SECTION_KEYED_DATA found{};
    found.cbSize = sizeof(found);
    EXPECT_TRUE(::FindActCtxSectionStringA(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                           "comctl32.dll", &found));

    // Looked up at run time: these exist from Windows 10 1607 on.
    HMODULE user = ::GetModuleHandleA("user32.dll");
    using GetContext = HANDLE(WINAPI*)();
    using GetAwareness = int(WINAPI*)(HANDLE);
    auto getContext = reinterpret_cast<GetContext>(
        reinterpret_cast<void*>(::GetProcAddress(user, "GetThreadDpiAwarenessContext")));
    auto getAwareness = reinterpret_cast<GetAwareness>(
        reinterpret_cast<void*>(::GetProcAddress(user, "GetAwarenessFromDpiAwarenessContext")));
    if (getContext != nullptr && getAwareness != nullptr) {
        constexpr int kPerMonitorAware = 2;
        EXPECT_EQ(getAwareness(getContext()), kPerMonitorAware);
    }
}

}  // namespace

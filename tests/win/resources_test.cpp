// The program's resources as the system loads them: every dialog template with its controls in
// order, the menus, the strings, the icons and bitmaps, the version and the manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

struct Control {
    int id;
    std::string className;
    std::string text;
    bool operator==(const Control&) const = default;
};
using Controls = std::vector<Control>;
void PrintTo(const Control& c, std::ostream* out) {
    *out << "{" << c.id << ", " << c.className << ", \"" << c.text << "\"}";
}

class COpenedTemplate : public CDialog {
public:
    explicit COpenedTemplate(int id) : CDialog(id) { Create(); }
    [[nodiscard]] Controls Children() const {
        Controls children;
        for (HWND child = ::GetWindow(m_hwnd, GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            char className[64] = {};
            ::GetClassNameA(child, className, sizeof(className));
            std::string text = CWindow(child).GetText();
            bool isStatic = std::string(className) == "Static";
            if (isStatic && (::GetWindowLongPtrA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                // The text of an icon control names its resource; what counts is the image.
                bool shown = ::SendMessageA(child, STM_GETICON, 0, 0) != 0;
                text = shown ? "<icon>" : "<no icon>";
            }
            children.push_back({::GetDlgCtrlID(child), className, text});
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

struct Template {
    int id;
    const char* caption;
    SIZE units;
    Controls controls;  // in template (tab) order
};

TEST(Resources, EveryDialogTemplateShowsItsControlsInOrder) {
    const Template templates[] = {
        {IDD_ABOUTBOX,
         "About Quillforth",
         {235, 72},
         {{kLabel, "Static", "<icon>"},
          {kLabel, "Static", "Quillforth v1.80 Build 10/01/2009"},
          {kLabel, "Static", "Copyright (C) 2009 Veltmark"},
          {IDC_WEB_LINK, "Static", "https://veltmark.example/quillforth"},
          {IDC_MAIL_LINK, "Static", "support@veltmark.example"},
          {IDOK, "Button", "&OK"}}},
        {IDD_QUILLFORTH_DIALOG,
         "Quillforth v1.80",
         {320, 263},
         {{IDC_START_AT_LOGIN, "Button", "Start at &login"},
          {IDC_START, "Button", "&Start"},
          {IDC_STOP, "Button", "S&top"},
          {kLabel, "Static", "&DNS cache list"},
          {IDC_CACHE_LIST, "SysListView32", ""},
          {kLabel, "Static", "(&update every"},
          {IDC_UPDATE_HOURS, "ComboBox", ""},
          {IDC_SERVER_LIST, "Static", "DNS Server"},
          {IDC_NSLOOKUP, "Button", "&Nslookup"},
          {IDC_DONATE, "Button", "&Donate"},
          {IDC_ABOUT, "Button", "&About"},
          {IDC_HIDE, "Button", "&Hide"},
          {kLabel, "Static", "Searc&h"},
          {IDC_SEARCH, "Edit", ""},
          {IDC_GO, "Button", "&Go"},
          {kLabel, "Static",
           "  This program runs as a DNS proxy,which can save DNS resolution results at local "
           "network thus can speed Internet access."},
          {IDC_STATUS, "Edit", ""},
          {kLabel, "Static", "hours)"},
          {IDC_DETAIL, "Button", "&Detail"},
          {IDC_HIDE_AT_START, "Button", "Hide &this dialog when starts"}}},
        {IDD_DNS_ITEM,
         "Dns Item",
         {214, 169},
         {{kLabel, "Static", "&Domain"},
          {IDC_ITEM_DOMAIN, "Edit", ""},
          {kLabel, "Static", "&IP"},
          {IDC_ITEM_ADDRESSES, "Static", "IP"},
          {kLabel, "Static", "&TTL"},
          {IDC_ITEM_TTL, "Edit", ""},
          {IDOK, "Button", "&OK"},
          {IDCANCEL, "Button", "&Cancel"},
          {IDC_RESOLVE, "Button", "&Resolve"}}},
        {IDD_RESOLVE_PROGRESS,
         "Quillforth",
         {240, 80},
         {{IDC_PROGRESS_TEXT, "Edit", ""},
          {IDC_PROGRESS_BAR, "msctls_progress32", ""},
          {IDC_PROGRESS_CAPTION, "Edit", ""},
          {IDC_PROGRESS_CANCEL, "Button", "&Cancel"}}},
        {IDD_INFORMATION,
         "Quillforth Information",
         {246, 165},
         {{IDC_INFORMATION_LIST, "ListBox", ""},
          {IDC_ALWAYS_ON_TOP, "Button", "&Always on top"},
          {IDOK, "Button", "&Close"}}},
        {IDD_OUTDATED,
         "Outdated DNS Items",
         {220, 82},
         {{kLabel, "Static",
           "Quillforth can delete all outdated DNS items from DNS cache list which last hit time "
           "is"},
          {IDC_OUTDATED_HOURS, "Edit", ""},
          {kLabel, "Static", "hours earlier."},
          {kLabel, "Static", "Note: the value is between 1 and 100."},
          {IDOK, "Button", "OK"},
          {IDCANCEL, "Button", "Cancel"}}},
    };
    for (const Template& expected : templates) {
        COpenedTemplate dialog(expected.id);
        ASSERT_TRUE(dialog.Exists()) << expected.id;
        EXPECT_EQ(dialog.GetText(), expected.caption);
        EXPECT_EQ(dialog.Children(), expected.controls) << expected.id;
        RECT size{0, 0, expected.units.cx, expected.units.cy};
        ::MapDialogRect(dialog.Hwnd(), &size);
        RECT client = dialog.ClientRect();
        EXPECT_TRUE(::EqualRect(&client, &size)) << expected.id;
    }
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

std::vector<std::string> Items(const CMenu& menu) {
    std::vector<std::string> items;
    for (int position = 0; position < menu.GetItemCount(); ++position) {
        int id = menu.GetItemId(position);
        UINT state = menu.GetItemState(position);
        std::string item = std::to_string(id) + " " + menu.GetItemText(position);
        item += id != 0 && (state & MFS_GRAYED) != 0 ? " grayed" : "";
        item += (state & MFS_DEFAULT) != 0 ? " default" : "";
        items.push_back(item);
    }
    return items;
}

TEST(Resources, MenusHoldTheTrayAndCacheCommands) {
    CMenu tray = CMenu::Load(IDR_TRAY);
    EXPECT_EQ(tray.GetItemText(0), "TRAY");
    EXPECT_EQ(Items(tray.SubMenu(0)),
              (std::vector<std::string>{"32771 &Restore default", "0 ", "32783 &Start grayed",
                                        "32784 S&top grayed", "1016 &Nslookup", "1019 &Detail",
                                        "0 ", "1017 &Donate", "1018 &About", "0 ", "32772 &Exit"}));
    CMenu cache = CMenu::Load(IDR_RCLICK);
    EXPECT_EQ(cache.GetItemText(0), "RCLICK");
    EXPECT_EQ(
        Items(cache.SubMenu(0)),
        (std::vector<std::string>{"32773 &New", "32781 &Save", "32774 &Delete",
                                  "32785 Delete &Outdated", "32777 &Clear", "-1 Clear &Hits", "0 ",
                                  "32775 &Resolve", "32780 Resolve &Unresolved",
                                  "32776 Resolve &All", "0 ", "32778 &Import", "32779 &Export"}));
    EXPECT_EQ(Items(cache.SubMenu(0).SubMenu(5)),
              (std::vector<std::string>{"32786 &All items", "32787 &Selected items"}));
}

TEST(Resources, StringTableHoldsTheSevenTexts) {
    const std::pair<int, const char*> strings[] = {
        {IDS_ABOUTBOX, "&About Quillforth..."},
        {IDS_COLUMN_ID, "ID"},
        {IDS_SOCKETS_INIT_FAILED, "Windows sockets initialization failed."},
        {IDS_COLUMN_DOMAIN, "Domain"},
        {IDS_COLUMN_IP, "IP"},
        {IDS_COLUMN_HITS, "Hits"},
        {IDS_COLUMN_LAST_HIT, "LastHitDate"}};
    for (const auto& [id, text] : strings) {
        char buffer[128] = {};
        ::LoadStringA(::GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, sizeof(buffer));
        EXPECT_STREQ(buffer, text);
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

TEST(Resources, VersionNamesQuillforth180) {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::vector<char> block(::GetFileVersionInfoSizeA(path, nullptr));
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data()));
    char* name = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\ProductName",
                                 reinterpret_cast<void**>(&name), &length));
    EXPECT_STREQ(name, "Quillforth");
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 80u);
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

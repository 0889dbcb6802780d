#include "win/dialog.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/data_exchange.h"

namespace {

using Log = std::vector<std::string>;

// The Delete Outdated template (an edit, OK and Cancel) logging its life.
class CLoggingDialog : public CDialog {
public:
    explicit CLoggingDialog(Log& log, HWND parent = nullptr)
        : CDialog(IDD_OUTDATED, parent), m_log(log) {}

protected:
    bool OnInitDialog() override {
        m_log.push_back("init");
        return CDialog::OnInitDialog();
    }
    void OnDestroy() override { m_log.push_back("destroy"); }
    bool OnCommand(int id, int code, HWND control) override {
        if (id == 7777) {
            throw std::runtime_error("a handler failed");
        }
        return CDialog::OnCommand(id, code, control);
    }
    Log& m_log;
};

// A modal dialog runs a loop of its own: it disables its owner until it ends, lets modeless
// windows see their messages before they are dispatched and takes its keyboard (Enter presses OK,
// which reads the controls; Escape cancels).
TEST(Dialog, ModalDialogRunsItsOwnLoopOverADisabledOwner) {
    struct CWatching : CDialog {
        CWatching() : CDialog(IDD_INFORMATION) {}
        int mouseMoves = 0;
        bool PreTranslateMessage(MSG& message) override {
            mouseMoves += message.message == WM_MOUSEMOVE ? 1 : 0;
            return false;
        }
    };
    struct CHoursDialog : CLoggingDialog {
        using CLoggingDialog::CLoggingDialog;
        int hours = 1;
        void DoDataExchange(CDataExchange& exchange) override {
            exchange.Text(IDC_OUTDATED_HOURS, hours);
        }
    };
    CWatching owner;
    ASSERT_TRUE(owner.Create());
    Log log;
    const struct {
        UINT key;
        INT_PTR result;
        int hours;
    } kEndings[] = {{VK_RETURN, IDOK, 12}, {VK_ESCAPE, IDCANCEL, 1}};
    for (const auto& ending : kEndings) {
        bool ownerEnabled = true;
        CWhenWindowOpens type(IDC_OUTDATED_HOURS, "Edit", [&](HWND dialog) {
            ownerEnabled = owner.IsEnabled();
            ::PostMessageA(owner.Item(IDC_INFORMATION_LIST), WM_MOUSEMOVE, 0, 0);
            CWindow(::GetDlgItem(dialog, IDC_OUTDATED_HOURS)).SetText("12");
            ::PostMessageA(::GetDlgItem(dialog, IDC_OUTDATED_HOURS), WM_KEYDOWN, ending.key, 1);
        });
        CHoursDialog modal(log, owner.Hwnd());
        EXPECT_EQ(modal.DoModal(), ending.result);
        EXPECT_EQ(modal.hours, ending.hours);
        EXPECT_TRUE(type.Ran());
        EXPECT_FALSE(ownerEnabled);
        EXPECT_TRUE(owner.IsEnabled());
        EXPECT_EQ(modal.Hwnd(), nullptr);
    }
    EXPECT_EQ(owner.mouseMoves, 2);
    EXPECT_EQ(log, (Log{"init", "destroy", "init", "destroy"}));
}

// An exception from a handler stays inside the window procedure; the close box posts Cancel,
// which ends a modeless dialog; an object destroyed before its window gets no handler calls; a
// dialog that owns itself may delete itself once its window is gone.
TEST(Dialog, ModelessLifetimeIsSafeFromFailingHandlersAndEarlyDestruction) {
    Log log;
    CLoggingDialog dialog(log);
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.Send(WM_COMMAND, 7777), 0);
    EXPECT_TRUE(dialog.Exists());
    dialog.Send(WM_CLOSE);
    EXPECT_TRUE(PumpUntil([&] { return !dialog.Exists(); }, 500));
    EXPECT_EQ(log, (Log{"init", "destroy"}));

    HWND hwnd = nullptr;
    {
        CLoggingDialog early(log);
        ASSERT_TRUE(early.Create());
        hwnd = early.Hwnd();
    }
    EXPECT_FALSE(::IsWindow(hwnd));
    EXPECT_EQ(log, (Log{"init", "destroy", "init"}));

    struct CSelfOwned : CDialog {
        explicit CSelfOwned(bool& deleted) : CDialog(IDD_OUTDATED), m_deleted(deleted) {}
        ~CSelfOwned() override { m_deleted = true; }
        void PostNcDestroy() override { delete this; }
        bool& m_deleted;
    };
    bool deleted = false;
    auto* self = new CSelfOwned(deleted);
    ASSERT_TRUE(self->Create());
    hwnd = self->Hwnd();
    self->EndDialog(IDOK);
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(::IsWindow(hwnd));
}

void CALLBACK CloseMenu(HWND, UINT, UINT_PTR, DWORD) {
    ::EndMenu();
}

// A popup menu asks its owner for each command's state as it opens; the system menu's about item
// reaches the owner's handler, other system commands go on to the system.
TEST(Dialog, CommandStatesAndSystemCommandsReachTheOwner) {
    struct CTrayOwner : CDialog {
        CTrayOwner() : CDialog(IDD_INFORMATION) {}
        bool running = true;
        int aboutOpened = 0;
        void OnUpdateCommand(CCommandState& state) override {
            if (state.Id() == ID_TRAY_START || state.Id() == ID_TRAY_STOP) {
                state.Enable(running == (state.Id() == ID_TRAY_STOP));
            } else if (state.Id() == IDC_DETAIL) {
                state.SetCheck(true);
            }
        }
        bool OnSysCommand(UINT command, LPARAM) override {
            aboutOpened += (command & 0xFFF0) == IDM_ABOUTBOX ? 1 : 0;
            return (command & 0xFFF0) == IDM_ABOUTBOX;
        }
    };
    CTrayOwner owner;
    ASSERT_TRUE(owner.Create());
    CMenu menu = CMenu::Load(IDR_TRAY);
    CMenu tray = menu.SubMenu(0);
    tray.SetDefaultItem(5);
    EXPECT_NE(tray.GetItemState(5) & MFS_DEFAULT, 0u);
    EXPECT_EQ(tray.GetItemState(0) & MFS_DEFAULT, 0u) << "one default item at a time";
    const auto grayed = [&](int position) {
        return (tray.GetItemState(position) & MFS_GRAYED) != 0;
    };
    // The menu's own loop runs until a timer, inside it, closes the menu.
    const auto open = [&] {
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 100, CloseMenu);
        tray.Track(owner.Hwnd(), {100, 100});
        ::KillTimer(nullptr, timer);
    };
    open();
    EXPECT_TRUE(grayed(2));   // "&Start"
    EXPECT_FALSE(grayed(3));  // "S&top"
    EXPECT_NE(tray.GetItemState(5) & MFS_CHECKED, 0u);
    owner.running = false;
    open();
    EXPECT_FALSE(grayed(2));
    EXPECT_TRUE(grayed(3));

    owner.Show(SW_SHOWNORMAL);
    owner.Send(WM_SYSCOMMAND, IDM_ABOUTBOX);
    EXPECT_EQ(owner.aboutOpened, 1);
    EXPECT_FALSE(::IsIconic(owner.Hwnd()));
    owner.Send(WM_SYSCOMMAND, SC_MINIMIZE);
    EXPECT_TRUE(::IsIconic(owner.Hwnd()));
}

}  // namespace

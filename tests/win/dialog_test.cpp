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

// A modal dialog runs a loop of its own: it disables its owner until it ends, takes its keyboard
// (Enter presses OK, which reads the controls, and a value that fails its check keeps it open;
// Escape cancels) and lets modeless windows see their messages before they are dispatched.
TEST(Dialog, ModalDialogRunsItsOwnLoopOverADisabledOwner) {
    struct CWatching : CDialog {
        CWatching() : CDialog(IDD_OUTDATED) {}
        int mouseMoves = 0;
        bool PreTranslateMessage(MSG& message) override {
            mouseMoves += message.message == WM_MOUSEMOVE ? 1 : 0;
            return false;
        }
    };
    CWatching owner;
    ASSERT_TRUE(owner.Create());
    struct CHoursDialog : CLoggingDialog {
        using CLoggingDialog::CLoggingDialog;
        int hours = 1;
        bool ownerEnabled = false;
        std::vector<std::pair<std::string, UINT>> typed;  // a text, then a key
        void DoDataExchange(CDataExchange& exchange) override {
            exchange.Text(IDC_OUTDATED_HOURS, hours);
            exchange.Range(hours, 1, 100);
        }
        bool OnInitDialog() override {
            SetTimer(1, 20);
            HWND owner = ::GetWindow(m_handle, GW_OWNER);
            ::PostMessageA(::GetDlgItem(owner, IDC_OUTDATED_HOURS), WM_MOUSEMOVE, 0, 0);
            return CLoggingDialog::OnInitDialog();
        }
        void OnTimer(UINT_PTR) override {
            if (!IsEnabled() || typed.empty()) {
                return;  // a message box is open over the dialog
            }
            ownerEnabled = ownerEnabled || ::IsWindowEnabled(::GetWindow(m_handle, GW_OWNER));
            CWindow(Item(IDC_OUTDATED_HOURS)).SetText(typed.front().first);
            ::PostMessageA(Item(IDC_OUTDATED_HOURS), WM_KEYDOWN, typed.front().second, 1);
            typed.erase(typed.begin());
        }
    };
    CMessageBoxAnswerer answerer;
    Log log;
    CHoursDialog accepted(log, owner.Hwnd());
    accepted.typed = {{"0", VK_RETURN}, {"12", VK_RETURN}};
    EXPECT_EQ(accepted.DoModal(), IDOK);
    EXPECT_EQ(accepted.hours, 12);
    EXPECT_EQ(answerer.Texts(), (Log{"Please enter an integer between 1 and 100."}));
    EXPECT_FALSE(accepted.ownerEnabled);
    EXPECT_TRUE(owner.IsEnabled());
    EXPECT_EQ(owner.mouseMoves, 1);
    EXPECT_EQ(accepted.Hwnd(), nullptr);
    CHoursDialog cancelled(log, owner.Hwnd());
    cancelled.typed = {{"30", VK_ESCAPE}};
    EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
    EXPECT_EQ(cancelled.hours, 1);
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

TEST(Dialog, CommandStatesFollowTheOwnerWhenItsMenuOpens) {
    struct CTrayOwner : CDialog {
        CTrayOwner() : CDialog(IDD_OUTDATED) {}
        bool running = true;
        void OnUpdateCommand(CCommandState& state) override {
            if (state.Id() == ID_TRAY_START || state.Id() == ID_TRAY_STOP) {
                state.Enable(running == (state.Id() == ID_TRAY_STOP));
            } else if (state.Id() == IDC_DETAIL) {
                state.SetCheck(true);
            }
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
}

// The main dialog opens its about box from the system menu; other system commands go on to the
// system.
TEST(Dialog, SystemCommandsReachTheHandlerOrTheSystem) {
    struct CHandling : CDialog {
        CHandling() : CDialog(IDD_INFORMATION) {}
        int aboutOpened = 0;
        bool OnSysCommand(UINT command, LPARAM) override {
            aboutOpened += (command & 0xFFF0) == IDM_ABOUTBOX ? 1 : 0;
            return (command & 0xFFF0) == IDM_ABOUTBOX;
        }
    };
    CHandling dialog;
    ASSERT_TRUE(dialog.Create());
    dialog.Show(SW_SHOWNORMAL);
    dialog.Send(WM_SYSCOMMAND, IDM_ABOUTBOX);
    EXPECT_EQ(dialog.aboutOpened, 1);
    EXPECT_FALSE(::IsIconic(dialog.Hwnd()));
    dialog.Send(WM_SYSCOMMAND, SC_MINIMIZE);
    EXPECT_TRUE(::IsIconic(dialog.Hwnd()));
}

}  // namespace

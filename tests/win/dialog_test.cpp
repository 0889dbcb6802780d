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

// The Delete Outdated template: an edit, OK and Cancel.
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

TEST(Dialog, ModalDialogDisablesItsOwnerUntilEndDialogAndReturnsTheResult) {
    Log ownerLog;
    CLoggingDialog owner(ownerLog);
    ASSERT_TRUE(owner.Create());

    struct CTimedDialog : CLoggingDialog {
        using CLoggingDialog::CLoggingDialog;
        bool ownerEnabledWhileOpen = true;
        bool OnInitDialog() override {
            SetTimer(1, 10);
            return CLoggingDialog::OnInitDialog();
        }
        void OnTimer(UINT_PTR) override {
            KillTimer(1);
            m_log.push_back("timer");
            ownerEnabledWhileOpen = ::IsWindowEnabled(::GetWindow(m_hwnd, GW_OWNER)) != FALSE;
            EndDialog(42);
        }
    };
    Log log;
    CTimedDialog dialog(log, owner.Hwnd());
    EXPECT_EQ(dialog.DoModal(), 42);
    EXPECT_EQ(log, (Log{"init", "timer", "destroy"}));
    EXPECT_FALSE(dialog.ownerEnabledWhileOpen);
    EXPECT_TRUE(owner.IsEnabled());
    EXPECT_EQ(dialog.Hwnd(), nullptr);
}

TEST(Dialog, ModalLoopGivesTheDialogItsKeyboard) {
    // Enter presses the default button (OK), which reads the controls; a value that fails its
    // check keeps the dialog open, and Escape cancels.
    struct CHoursDialog : CDialog {
        CHoursDialog() : CDialog(IDD_OUTDATED) {}
        int hours = 1;
        // What the user types, and the key pressed after it.
        std::vector<std::pair<std::string, UINT>> steps;
        void DoDataExchange(CDataExchange& exchange) override {
            exchange.Text(IDC_OUTDATED_HOURS, hours);
            exchange.Range(hours, 1, 100);
        }
        bool OnInitDialog() override {
            CDialog::OnInitDialog();
            SetTimer(1, 20);
            return true;
        }
        void OnTimer(UINT_PTR) override {
            if (!IsEnabled() || steps.empty()) {
                return;  // a message box is open over the dialog
            }
            HWND edit = Item(IDC_OUTDATED_HOURS);
            CWindow(edit).SetText(steps.front().first);
            ::PostMessageA(edit, WM_KEYDOWN, steps.front().second, 1);
            steps.erase(steps.begin());
        }
    };
    CMessageBoxAnswerer answerer;
    CHoursDialog accepted;
    accepted.steps = {{"0", VK_RETURN}, {"12", VK_RETURN}};
    EXPECT_EQ(accepted.DoModal(), IDOK);
    EXPECT_EQ(accepted.hours, 12);
    EXPECT_EQ(answerer.Texts(), (Log{"Please enter an integer between 1 and 100."}));

    CHoursDialog cancelled;
    cancelled.steps = {{"30", VK_ESCAPE}};
    EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
    EXPECT_EQ(cancelled.hours, 1);
}

// An exception from a handler stays inside the window procedure; the close box posts Cancel,
// which ends a modeless dialog; an object destroyed before its window gets no handler calls.
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

    // A dialog that owns itself may delete itself once its window is gone.
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

TEST(Dialog, ModelessWindowSeesItsMessagesDuringAnotherDialogsModalLoop) {
    struct CWatching : CDialog {
        CWatching() : CDialog(IDD_OUTDATED) {}
        int mouseMoves = 0;
        bool PreTranslateMessage(MSG& message) override {
            mouseMoves += message.message == WM_MOUSEMOVE ? 1 : 0;
            return false;
        }
    };
    CWatching watching;
    ASSERT_TRUE(watching.Create());

    struct CModal : CDialog {
        explicit CModal(HWND target) : CDialog(IDD_OUTDATED), m_target(target) {}
        bool OnInitDialog() override {
            ::PostMessageA(m_target, WM_MOUSEMOVE, 0, MakeLParam(3, 3));
            SetTimer(1, 50);
            return true;
        }
        void OnTimer(UINT_PTR) override { EndDialog(IDOK); }
        HWND m_target;
    };
    CModal modal(watching.Item(IDC_OUTDATED_HOURS));
    modal.DoModal();
    EXPECT_EQ(watching.mouseMoves, 1);
}

void CALLBACK CloseMenu(HWND, UINT, UINT_PTR, DWORD) {
    ::EndMenu();
}

TEST(Dialog, CommandStatesFollowTheOwnerWhenItsMenuOpens) {
    struct CTrayOwner : CDialog {
        CTrayOwner() : CDialog(IDD_OUTDATED) {}
        bool running = true;
        void OnUpdateCommand(CCommandState& state) override {
            if (state.Id() == ID_TRAY_START) {
                state.Enable(!running);
            } else if (state.Id() == ID_TRAY_STOP) {
                state.Enable(running);
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
    auto grayed = [&](int position) { return (tray.GetItemState(position) & MFS_GRAYED) != 0; };
    // The menu's own loop runs until a timer, inside it, closes the menu.
    auto open = [&] {
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

TEST(Dialog, CloseSizingAndSystemCommandsReachTheirHandlers) {
    // As the main dialog hides on its close box, the statistics window keeps its width and the
    // main dialog opens its about box.
    struct CHandling : CDialog {
        CHandling() : CDialog(IDD_INFORMATION) {}
        int aboutOpened = 0;
        bool OnClose() override {
            Show(SW_HIDE);
            return true;
        }
        void OnSizing(UINT, RECT& rect) override { rect.right = rect.left + 300; }
        bool OnSysCommand(UINT command, LPARAM) override {
            aboutOpened += (command & 0xFFF0) == IDM_ABOUTBOX ? 1 : 0;
            return (command & 0xFFF0) == IDM_ABOUTBOX;
        }
    };
    CHandling dialog;
    ASSERT_TRUE(dialog.Create());
    dialog.Show(SW_SHOWNORMAL);
    dialog.Send(WM_CLOSE);
    PumpMessages(50);
    EXPECT_TRUE(dialog.Exists());
    EXPECT_FALSE(dialog.IsVisible());

    RECT proposed{10, 10, 900, 500};
    EXPECT_EQ(dialog.Send(WM_SIZING, WMSZ_RIGHT, reinterpret_cast<LPARAM>(&proposed)), TRUE);
    EXPECT_EQ(proposed.right, 310);
    dialog.Send(WM_SYSCOMMAND, IDM_ABOUTBOX);
    EXPECT_EQ(dialog.aboutOpened, 1);
    dialog.Send(WM_SYSCOMMAND, SC_MINIMIZE);  // left to the system
    EXPECT_TRUE(::IsIconic(dialog.Hwnd()));
}

}  // namespace

#include "win/application.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/dialog.h"
#include "win/message_box.h"

namespace {

using Texts = std::vector<std::string>;

TEST(Application, ModalProgramEndsWhenInitInstanceReturnsAndNamesItsMessageBoxes) {
    struct CModalProgram : CApplication {
        CModalProgram() : CApplication("Quillforth") {}
        int answer = 0;
        bool InitInstance() override {
            answer = ShowMessage("Are you sure to stop this progress ?", MB_YESNO);
            return false;
        }
    };
    CMessageBoxAnswerer answerer(IDYES);  // finds only boxes captioned with the application's name
    {
        CModalProgram program;
        EXPECT_EQ(CApplication::Current(), &program);
        EXPECT_EQ(program.Run(), 0);
        EXPECT_EQ(program.answer, IDYES);
    }
    EXPECT_EQ(answerer.Texts(), Texts{"Are you sure to stop this progress ?"});
    EXPECT_EQ(CApplication::Current(), nullptr);
    EXPECT_EQ(ApplicationName(), ModuleBaseName());
}

TEST(Application, ProgramOfModelessWindowsRunsUntilItQuits) {
    struct CQuitting : CDialog {
        CQuitting() : CDialog(IDD_OUTDATED) {}
        bool OnInitDialog() override {
            SetTimer(1, 20);
            return true;
        }
        void OnTimer(UINT_PTR) override {
            KillTimer(1);
            ::PostQuitMessage(7);
        }
    };
    struct CModelessProgram : CApplication {
        CModelessProgram() : CApplication("Quillforth") {}
        CQuitting window;
        bool InitInstance() override {
            SetMainWindow(window.Create() ? window.Hwnd() : nullptr);
            return MainWindow() != nullptr;
        }
    };
    CModelessProgram program;
    EXPECT_EQ(program.Run(), 7);
}

}  // namespace

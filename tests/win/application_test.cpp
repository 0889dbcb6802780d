#include "win/application.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/win/gui_test_support.h"
#include "win/message_box.h"

namespace {

TEST(Application, ModalProgramEndsWhenInitInstanceReturnsAndNamesItsMessageBoxes) {
    struct CModalProgram : CApplication {
        CModalProgram() : CApplication("Quillforth") {}
        int answer = 0;
        bool InitInstance() override {
            answer = ShowMessage("Are you sure to stop this progress ?", MB_YESNO);
            return false;
        }
    };
    CMessageBoxAnswerer answerer(IDYES);  // finds only boxes captioned with the program's name
    {
        CModalProgram program;
        EXPECT_EQ(CApplication::Current(), &program);
        EXPECT_EQ(program.Run(), 0);
        EXPECT_EQ(program.answer, IDYES);
    }
    EXPECT_EQ(answerer.Texts(), std::vector<std::string>{"Are you sure to stop this progress ?"});
    EXPECT_EQ(CApplication::Current(), nullptr);
    EXPECT_EQ(ApplicationName(), ModuleBaseName());
}

}  // namespace

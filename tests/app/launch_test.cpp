#include "app/launch.h"

#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/win/gui_test_support.h"

namespace {

TEST(HyperlinkError, NamesWhatTheResultCodeMeans) {
    EXPECT_EQ(HyperlinkErrorText(SE_ERR_SHARE),
              "Unable to open hyperlink:\n\nA sharing violation occurred. ");
    EXPECT_EQ(HyperlinkErrorText(4), "Unable to open hyperlink:\n\nUnknown Error (4) occurred.");
    EXPECT_EQ(HyperlinkErrorText(0),
              "Unable to open hyperlink:\n\nThe operating system is out\nof memory or resources.");
}

TEST(BrowserCommandLine, CutsTheAssociationAtItsPlaceholderAndAppendsTheUrl) {
    const std::string url = "https://veltmark.example/a";
    EXPECT_EQ(BrowserCommandLine("\"C:\\Web\\browse.exe\" -nohome \"%1\" -dropped", url),
              "\"C:\\Web\\browse.exe\" -nohome  " + url)
        << "the quoted placeholder and all after it go";
    EXPECT_EQ(BrowserCommandLine("C:\\Web\\browse.exe %1 -dropped", url),
              "C:\\Web\\browse.exe  " + url);
    EXPECT_EQ(BrowserCommandLine("C:\\Web\\browse.exe -new", url),
              "C:\\Web\\browse.exe -new " + url)
        << "without a placeholder the URL follows the whole command";
}

// The ".htm" association of this test's private prefix runs a command that writes the URL it is
// given into a file. The URL is a file that does not exist, which the shell refuses without
// asking any other program.
TEST(GotoURL, StartsTheHtmBrowserWithTheUrlWhenTheShellRefuses) {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    const std::string output = std::string(folder) + "qf-goto-url.txt";
    char system[MAX_PATH] = {};
    ::GetSystemDirectoryA(system, MAX_PATH);
    const std::string command =
        std::string(system) + "\\cmd.exe /c echo>\"" + output + "\" \"%1\" dropped";
    ASSERT_EQ(::RegSetValueA(HKEY_CLASSES_ROOT, ".htm", REG_SZ, "QfTestPage", 0), ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueA(HKEY_CLASSES_ROOT, "QfTestPage\\shell\\open\\command", REG_SZ,
                             command.c_str(), 0),
              ERROR_SUCCESS);

    const std::string url = "Z:\\qf-missing-folder\\page.qfx";
    EXPECT_GT(GotoURL(url, SW_HIDE), 32);
    std::string written;
    PumpUntil(
        [&] {
            std::ifstream file(output, std::ios::binary);
            std::stringstream text;
            text << file.rdbuf();
            written = text.str();
            return written.find('\n') != std::string::npos;
        },
        10'000);
    EXPECT_NE(written.find(url), std::string::npos) << written;
    EXPECT_EQ(written.find("dropped"), std::string::npos) << written;
    ::DeleteFileA(output.c_str());
}

}  // namespace

#include "app/launch.h"

#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HyperlinkError, NamesWhatTheResultCodeMeans) {
    EXPECT_EQ(HyperlinkErrorText(SE_ERR_SHARE),
              "Unable to open hyperlink:\n\nA sharing violation occurred. ");
    EXPECT_EQ(HyperlinkErrorText(4), "Unable to open hyperlink:\n\nUnknown Error (4) occurred.");
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

}  // namespace

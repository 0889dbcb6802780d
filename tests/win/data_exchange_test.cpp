#include "win/data_exchange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

TEST(DataExchange, WholeNumbersAllowBlanksAndASignButNothingElse) {
    EXPECT_EQ(ParseWholeNumber("  -7 "), -7);
    EXPECT_EQ(ParseWholeNumber("+4294967295"), 4294967295LL);
    for (const char* refused : {"", "   ", "-", "12a", "1 2", "0x10", "1.5", "--1"}) {
        EXPECT_FALSE(ParseWholeNumber(refused)) << '"' << refused << '"';
    }
    // Far too many digits come back beyond every 32-bit range, not wrapped into it.
    EXPECT_GT(ParseWholeNumber("123456789012345678901234567890").value_or(0), 4294967295LL);
}

// The main dialog's search box, check box and combo box, and its status box as a TTL field;
// a second number is read from the search box after the TTL.
class CExchangeDialog : public CDialog {
public:
    CExchangeDialog() : CDialog(IDD_QUILLFORTH_DIALOG) {
        Create();
        for (int hour = 0; hour <= 24; ++hour) {
            CComboBox(Item(IDC_UPDATE_HOURS)).AddString(std::to_string(hour));
        }
    }
    std::string search;
    bool startAtLogin = false;
    int updateHours = 0;
    uint32_t ttl = 0;
    int hours = 5;
    bool withHours = false;

protected:
    void DoDataExchange(CDataExchange& exchange) override {
        exchange.Text(IDC_SEARCH, search);
        exchange.Check(IDC_START_AT_LOGIN, startAtLogin);
        exchange.ComboIndex(IDC_UPDATE_HOURS, updateHours);
        exchange.Text(IDC_STATUS, ttl);
        exchange.Range(ttl, 0u, 9999999u);
        if (withHours) {
            exchange.Text(IDC_SEARCH, hours);
        }
    }
};

TEST(DataExchange, MembersGoIntoTheControlsAndComeBackUnlessANumberIsRefused) {
    CExchangeDialog dialog;
    dialog.search = "12";
    dialog.startAtLogin = true;
    dialog.updateHours = 24;
    dialog.ttl = 86400;
    ASSERT_TRUE(dialog.UpdateData(false));
    EXPECT_EQ(CWindow(dialog.Item(IDC_STATUS)).GetText(), "86400");
    CWindow(dialog.Item(IDC_START_AT_LOGIN)).Send(BM_SETCHECK, BST_UNCHECKED);
    CComboBox(dialog.Item(IDC_UPDATE_HOURS)).SetCurSel(0);
    CWindow(dialog.Item(IDC_STATUS)).SetText(" 9999999 ");
    ASSERT_TRUE(dialog.UpdateData(true));
    EXPECT_EQ(dialog.search, "12");
    EXPECT_FALSE(dialog.startAtLogin);
    EXPECT_EQ(dialog.updateHours, 0);
    EXPECT_EQ(dialog.ttl, 9999999u);

    // A refused number is explained, the user is taken to its field and nothing after it is read.
    dialog.withHours = true;
    const std::pair<const char*, const char*> refused[] = {
        {"12a", "Please enter an integer."},
        {"-1", "Please enter an integer."},
        {"99999999999", "Please enter an integer."},
        {"10000000", "Please enter an integer between 0 and 9999999."},
    };
    for (const auto& [typed, message] : refused) {
        CWindow(dialog.Item(IDC_STATUS)).SetText(typed);
        CMessageBoxAnswerer answerer;
        EXPECT_FALSE(dialog.UpdateData(true));
        EXPECT_EQ(answerer.Texts(), std::vector<std::string>{message}) << typed;
        EXPECT_EQ(::GetFocus(), dialog.Item(IDC_STATUS)) << typed;
        EXPECT_EQ(dialog.hours, 5) << typed;
    }
}

}  // namespace

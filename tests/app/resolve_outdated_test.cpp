#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "app/outdated_dlg.h"
#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "win/window.h"

namespace {

using Texts = std::vector<std::string>;

constexpr std::time_t kNow = 1'800'000'000;
constexpr std::time_t kHour = 3600;
constexpr char kOutOfRange[] = "The value of hours must be between 1 and 100.";

// Whole hours since the last hit count: 100 h 59 min is within 100 hours, 101 h is not, and an
// entry never hit is always outdated. Each case: the hours, the last hit, whether it is removed.
TEST(RemoveOutdated, GoesByWholeHoursSinceTheLastHit) {
    const struct {
        int hours;
        std::time_t lastHit;
        bool removed;
    } cases[] = {{100, kNow - 100 * kHour - 59 * 60, false},
                 {100, kNow - 101 * kHour, true},
                 {100, 0, true},
                 {100, kNow + kHour, false},
                 {100, kNow, false},
                 {1, kNow - kHour - 59 * 60, false},
                 {1, kNow - 2 * kHour, true}};
    for (const auto& entry : cases) {
        CDnsItemMap cache;
        cache.Learn("kept.test", CLockedStringList(true), 300, kNow);
        cache.Learn("tested.test", CLockedStringList(true), 300, entry.lastHit);
        const std::vector<DnsItemPtr> removed = RemoveOutdated(cache, entry.hours, kNow);
        EXPECT_EQ(removed.size(), entry.removed ? 1u : 0u) << entry.hours << " " << entry.lastHit;
        EXPECT_EQ(cache.Lookup("tested.test") == nullptr, entry.removed);
    }
}

// OK stays open, with the focus back in the field, until it holds a whole number from 1 to 100.
TEST(OutdatedDialog, OkTakesOnlyHoursFromOneToAHundred) {
    CMessageBoxAnswerer boxes;
    COutdatedDlg dialog;
    dialog.m_hours = 7;
    std::string shown;
    CWhenWindowOpens watch(IDC_OUTDATED_HOURS, "Edit", [&](HWND window) {
        HWND field = ::GetDlgItem(window, IDC_OUTDATED_HOURS);
        shown = CWindow(field).GetText();
        for (const char* refused : {"0", "101", "twelve"}) {
            const size_t told = boxes.Texts().size();
            CWindow(field).SetText(refused);
            ::PostMessageA(window, WM_COMMAND, IDOK, 0);
            ASSERT_TRUE(PumpUntil([&] { return boxes.Texts().size() > told; }, 2000)) << refused;
            PumpMessages(50);
            EXPECT_TRUE(::IsWindowVisible(window)) << refused;
            EXPECT_EQ(::GetFocus(), field) << refused;
        }
        CWindow(field).SetText("100");
        ::PostMessageA(window, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(shown, "7");
    EXPECT_EQ(boxes.Texts(), (Texts{kOutOfRange, kOutOfRange, "Please enter an integer."}));
    EXPECT_EQ(dialog.m_hours, 100);
}

}  // namespace

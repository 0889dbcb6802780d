#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "app/outdated_dlg.h"
#include "res/resource.h"
#include "tests/app/resolve_test_support.h"
#include "tests/win/gui_test_support.h"
#include "win/window.h"

namespace {

using Texts = std::vector<std::string>;

constexpr std::time_t kNow = 1'800'000'000;
constexpr std::time_t kHour = 3600;
constexpr char kOutOfRange[] = "The value of hours must be between 1 and 100.";

// The domains left in the cache and those removed, each sorted.
struct Split {
    Texts kept;
    Texts removed;
};

Split RemoveWithLastHits(int hours, const std::vector<std::pair<std::string, std::time_t>>& hits) {
    CDnsItemMap cache;
    for (const auto& [domain, lastHit] : hits) {
        cache.Learn(domain, CLockedStringList(true), 300, lastHit);
    }
    Split split;
    for (const DnsItemPtr& item : RemoveOutdated(cache, hours, kNow)) {
        split.removed.push_back(item->Domain);
    }
    cache.ForEach(
        [&](const std::string& domain, const DnsItemPtr&) { split.kept.push_back(domain); });
    std::sort(split.kept.begin(), split.kept.end());
    std::sort(split.removed.begin(), split.removed.end());
    return split;
}

TEST(RemoveOutdated, GoesByWholeHoursSinceTheLastHit) {
    Split split = RemoveWithLastHits(100, {{"a-100h59m.test", kNow - 100 * kHour - 59 * 60},
                                           {"b-101h.test", kNow - 101 * kHour},
                                           {"c-never.test", 0},
                                           {"d-future.test", kNow + kHour},
                                           {"e-now.test", kNow}});
    EXPECT_EQ(split.kept, (Texts{"a-100h59m.test", "d-future.test", "e-now.test"}));
    EXPECT_EQ(split.removed, (Texts{"b-101h.test", "c-never.test"}));

    split = RemoveWithLastHits(
        1, {{"a-1h59m.test", kNow - kHour - 59 * 60}, {"b-2h.test", kNow - 2 * kHour}});
    EXPECT_EQ(split.kept, (Texts{"a-1h59m.test"}));
    EXPECT_EQ(split.removed, (Texts{"b-2h.test"}));
}

// OK stays open, with the focus back in the field, until it holds a whole number from 1 to 100.
TEST(OutdatedDialog, OkTakesOnlyHoursFromOneToAHundred) {
    CBoxAnswers boxes;
    COutdatedDlg dialog;
    dialog.m_nHours = 7;
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
    EXPECT_EQ(dialog.m_nHours, 100);
}

}  // namespace

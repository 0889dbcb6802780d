#include "app/resolve_job.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/cache_list.h"
#include "app/outdated_dlg.h"
#include "app/resolve_progress_dlg.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "tests/app/app_test.h"
#include "win/controls.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kProgressBarClass[] = "msctls_progress32";
constexpr char kStopQuestion[] = "Are you sure to stop this progress ?";

void SendProgress(HWND window, const std::string& text, int position) {
    ::SendMessageA(window, WM_RESOLVE_PROGRESS, reinterpret_cast<WPARAM>(&text), position);
}

// The main dialog as a run sees it: the rows it offers, the cache, and what it was told.
class CTestOwner : public CCustomWindow, public IResolveOwner {
public:
    CTestOwner() { Create(0, WS_POPUP, nullptr); }

    [[nodiscard]] HWND ResolveOwnerWindow() const override { return Hwnd(); }
    [[nodiscard]] CDnsItemMap& Cache() override { return cache; }
    [[nodiscard]] UpstreamTarget ResolveTarget() const override { return upstream->Target(); }
    [[nodiscard]] std::vector<CacheRow> ResolveRows() const override { return rows; }
    void OnResolveWindow(bool open, ResolveMode mode) override {
        windowEvents.emplace_back(open, mode);
    }

    CDnsItemMap cache;
    // The test's, pointed at its fake upstream.
    const CUpstreamSettings* upstream = nullptr;
    std::vector<CacheRow> rows;
    // The domains of the entries whose rows were to be refreshed, in order.
    Texts changed;
    std::vector<std::pair<bool, ResolveMode>> windowEvents;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_DNSITEM_CHANGED) {
            auto lock = cache.Lock();
            changed.push_back(reinterpret_cast<DnsItem*>(wParam)->Domain);
            return 0;
        }
        return CCustomWindow::WindowProc(message, wParam, lParam);
    }
};

DnsItemPtr AddEntry(CDnsItemMap& cache, const std::string& domain, const std::string& addresses,
                    std::int32_t hits, std::time_t lastHit) {
    CLockedStringList list(true);
    list.SplitUnique(addresses, '|');
    DnsItemPtr item = cache.Learn(domain, list, 5, lastHit, 0);
    item->Hits = hits;
    return item;
}

// Every lookup goes to the fake upstream on loopback.
class BatchResolve : public UpstreamTest<ResolveWorkersAlive> {
protected:
    BatchResolve() { owner.upstream = &settings; }

    CTestOwner owner;
    CMessageBoxAnswerer boxes;
};

// Each mode takes its rows from the top; with none to take it tells why and starts no run.
TEST_F(BatchResolve, EachModeTakesItsRowsAndWithNoneItTellsWhy) {
    const std::vector<CacheRow> rows = {
        {"a.test", true, false}, {"b.test", false, true}, {"c.test", true, true}};
    EXPECT_EQ(DomainsToResolve(RESOLVE_ALL, rows), (Texts{"a.test", "b.test", "c.test"}));
    EXPECT_EQ(DomainsToResolve(RESOLVE_UNRESOLVED, rows), (Texts{"b.test"}));
    EXPECT_EQ(DomainsToResolve(RESOLVE_SELECTED, rows), (Texts{"b.test", "c.test"}));

    EXPECT_FALSE(RunResolve(owner, RESOLVE_ALL, false));
    EXPECT_FALSE(RunResolve(owner, RESOLVE_ALL, true));  // the refresh timer on an empty cache
    owner.rows = {{"a.test", true, false}, {"b.test", true, false}};
    EXPECT_FALSE(RunResolve(owner, RESOLVE_SELECTED, false));
    EXPECT_FALSE(RunResolve(owner, RESOLVE_UNRESOLVED, false));

    EXPECT_EQ(boxes.Texts(),
              (Texts{"There are no DNS items to resolve.", "There are no DNS items to resolve.",
                     "There are no selected DNS items to resolve.",
                     "There are no unresolved DNS items."}));
    EXPECT_TRUE(owner.windowEvents.empty());
    PumpMessages(50);
    EXPECT_EQ(upstream.QueryCount(), 0);
}

// A run of the timer over three rows, one failing. An answer learned keeps the entry's id and
// last hit time and takes the answer's TTL; it is learned under the name asked, whatever letter
// case the reply gives it.
TEST_F(BatchResolve, ATimerRunOverThreeRowsWithOneFailing) {
    upstream.Answer("a.test", {.Addresses = {"192.0.2.1"}, .Ttl = 600});
    upstream.Answer("b.test", {.Rcode = 3});
    upstream.Answer("c.test", {.Addresses = {"192.0.2.3", "192.0.2.4"}, .UppercaseQuestion = true});
    const DnsItemPtr a = AddEntry(owner.cache, "a.test", "10.0.0.1", 7, 1000);
    AddEntry(owner.cache, "b.test", "10.0.0.2", 2, 2000);
    const DnsItemPtr c = AddEntry(owner.cache, "c.test", "", 0, 0);
    owner.rows = {{"a.test", true, false}, {"b.test", true, false}, {"c.test", false, false}};

    const std::optional<ResolveOutcome> outcome = RunResolve(owner, RESOLVE_ALL, true);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->cancelled);
    EXPECT_EQ(outcome->progressText, "Finished 3, Success 2, Total 3.");
    EXPECT_EQ(upstream.QueryCount(), 3);
    EXPECT_EQ(owner.changed, (Texts{"a.test", "c.test"}));
    EXPECT_EQ(owner.cache.Lookup("a.test"), a);
    EXPECT_EQ(a->AddressText(), "192.0.2.1");
    EXPECT_EQ(a->Ttl, 600);
    EXPECT_EQ(a->LastHitDate, 1000);
    EXPECT_EQ(c->AddressText(), "192.0.2.3|192.0.2.4");
    EXPECT_EQ(owner.cache.GetCount(), 3);
}

// The user stops a run whose upstream never answers: the worker gives up its row at the end of
// that one wait and asks no more; a second run meanwhile is refused without a word.
TEST_F(BatchResolve, CancellingOverASilentUpstreamEndsWithinOneUpstreamWait) {
    constexpr int kWaitMs = 1000;
    settings.SetWait(std::chrono::milliseconds(kWaitMs));
    owner.rows = {{"s1.test", true, false},
                  {"s2.test", true, false},
                  {"s3.test", true, false},
                  {"s4.test", true, false}};
    boxes.answer = IDYES;

    Clock::time_point cancelled{};
    std::optional<ResolveOutcome> second;
    CWhenWindowOpens watch(IDC_PROGRESS_BAR, kProgressBarClass, [&](HWND window) {
        ASSERT_TRUE(PumpUntil([&] { return upstream.QueryCount() == 1; }, 2000));
        second = RunResolve(owner, RESOLVE_ALL, true);
        cancelled = Clock::now();
        ::PostMessageA(window, WM_COMMAND, IDC_PROGRESS_CANCEL, 0);
    });
    const Clock::time_point start = Clock::now();
    const std::optional<ResolveOutcome> outcome = RunResolve(owner, RESOLVE_ALL, false);
    const int afterCancelMs = MillisecondsSince(cancelled);
    const int totalMs = MillisecondsSince(start);

    ASSERT_TRUE(watch.Ran());
    EXPECT_FALSE(second);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->cancelled);
    EXPECT_EQ(boxes.Texts(), (Texts{kStopQuestion,
                                    "DNS resolving progress terminated by user. Results as "
                                    "following:Finished 0, Success 0, Total 4."}));
    EXPECT_LT(afterCancelMs, kWaitMs + 600);
    EXPECT_LT(totalMs, 2 * kWaitMs + 600);
    EXPECT_EQ(ResolveWorkersAlive(), 0);
    PumpMessages(kWaitMs / 2);
    EXPECT_EQ(upstream.QueryCount(), 1) << "no row after the cancelled one";
    EXPECT_TRUE(owner.changed.empty());
}

// The progress window on its own, driven as the worker drives it.
class ProgressWindow : public BatchResolve {
protected:
    ResolveJob job{owner.cache, owner.Hwnd(), {"a.test", "b.test"}, settings.Target()};
    CResolveProgressDlg dialog{owner.Hwnd(), job, "Resolving all domains by User"};
};

// Its "&Cancel" button, Escape, Enter and the close box ask before they stop; once the bar is full
// the button reads "Finished" and closes without a question.
TEST_F(ProgressWindow, AsksBeforeStoppingUntilTheBarIsFull) {
    CWhenWindowOpens watch(IDC_PROGRESS_BAR, kProgressBarClass, [&](HWND window) {
        EXPECT_EQ(job.Window(), window);
        ::SendMessageA(::GetDlgItem(window, IDC_PROGRESS_BAR), PBM_SETRANGE32, 0, 2);
        SendProgress(window, "Finished 1, Success 1, Total 2.", 1);
        EXPECT_EQ(CWindow(::GetDlgItem(window, IDC_PROGRESS_TEXT)).GetText(),
                  "Finished 1, Success 1, Total 2.");
        // The button, Escape and Enter (which the dialog turns into IDCANCEL and IDOK) and the
        // close box.
        const std::pair<UINT, WPARAM> requests[] = {{WM_COMMAND, IDC_PROGRESS_CANCEL},
                                                    {WM_COMMAND, IDCANCEL},
                                                    {WM_COMMAND, IDOK},
                                                    {WM_CLOSE, 0}};
        for (const auto& [message, wParam] : requests) {
            const size_t asked = boxes.Texts().size();
            ::PostMessageA(window, message, wParam, 0);
            ASSERT_TRUE(PumpUntil([&] { return boxes.Texts().size() > asked; }, 2000));
            PumpMessages(50);
            EXPECT_TRUE(::IsWindowVisible(window));
        }
        SendProgress(window, "Finished 2, Success 2, Total 2.", 2);
        EXPECT_EQ(CWindow(::GetDlgItem(window, IDC_PROGRESS_CANCEL)).GetText(), "Finished");
        ::PostMessageA(window, WM_COMMAND, IDC_PROGRESS_CANCEL, 0);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(boxes.Texts(), Texts(4, kStopQuestion));
    EXPECT_FALSE(job.Cancelled());
    EXPECT_EQ(job.Window(), nullptr);
}

// The last row comes in while the question is open: the run has finished, whatever the answer.
TEST_F(ProgressWindow, ARunThatFinishesWhileTheQuestionIsOpenEndsAsFinished) {
    boxes.answer = IDYES;
    HWND progress = nullptr;
    boxes.beforeNextAnswer = [&] {
        SendProgress(progress, "Finished 2, Success 0, Total 2.", 100);
    };
    CWhenWindowOpens watch(IDC_PROGRESS_BAR, kProgressBarClass, [&](HWND window) {
        progress = window;
        ::PostMessageA(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(boxes.Texts(), (Texts{kStopQuestion}));
    EXPECT_FALSE(job.Cancelled());
}

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
        cache.Learn("kept.test", CLockedStringList(true), 300, kNow, 0);
        cache.Learn("tested.test", CLockedStringList(true), 300, entry.lastHit, 0);
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

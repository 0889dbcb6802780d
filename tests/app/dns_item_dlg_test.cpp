#include "app/dns_item_dlg.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/quillforth_dlg.h"
#include "core/dns_socket.h"
#include "res/resource.h"
#include "tests/support/fake_upstream.h"
#include "tests/support/test_environment.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"

namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

constexpr char kSilentDomain[] = "silent.test";  // the fake upstream never answers it

int MillisecondsSince(Clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The script that RunModal hands the dialog to, from a timer of its modal loop.
CDnsItemDlg* g_modalDialog = nullptr;
const std::function<void(HWND)>* g_script = nullptr;
UINT_PTR g_leftOpenTimer = 0;

// A dialog that its script failed to end fails its test quickly instead of waiting for the
// watchdog.
void CALLBACK EndLeftOpen(HWND, UINT, UINT_PTR timer, DWORD) {
    ::KillTimer(nullptr, timer);
    if (g_modalDialog->Hwnd() != nullptr) {
        g_modalDialog->EndDialog(IDABORT);
    }
}

void CALLBACK RunScript(HWND, UINT, UINT_PTR timer, DWORD) {
    ::KillTimer(nullptr, timer);
    if (const std::function<void(HWND)>* script = std::exchange(g_script, nullptr)) {
        (*script)(g_modalDialog->Hwnd());
        g_leftOpenTimer = ::SetTimer(nullptr, 0, 2000, EndLeftOpen);
    }
}

// Opens the dialog with DoModal, as the cache list does, and runs `script` on this thread once
// it shows; the script ends the dialog.
INT_PTR RunModal(CDnsItemDlg& dialog, const std::function<void(HWND)>& script) {
    g_modalDialog = &dialog;
    g_script = &script;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, RunScript);
    const INT_PTR result = dialog.DoModal();
    ::KillTimer(nullptr, timer);
    ::KillTimer(nullptr, g_leftOpenTimer);
    g_script = nullptr;
    return result;
}

void Click(HWND dialog, int id) {
    ::SendMessageA(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

bool Enabled(HWND dialog, int id) {
    return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE;
}

HWND AddressList(HWND dialog) {
    return ::GetDlgItem(::GetDlgItem(dialog, IDC_ITEM_ADDRESSES), CEditableListCtrl::kListId);
}

Texts Rows(HWND dialog) {
    CListView list(AddressList(dialog));
    Texts rows;
    for (int index = 0; index < list.GetItemCount(); ++index) {
        rows.push_back(list.GetItemText(index));
    }
    return rows;
}

// The user's way of adding an address: Insert, the text into the editor, Enter.
void TypeRow(HWND dialog, const std::string& text) {
    HWND list = AddressList(dialog);
    ::SetFocus(list);
    ::PostMessageA(list, WM_KEYDOWN, VK_INSERT, 1);
    PumpMessages(30);
    HWND editor = CListView(list).GetEditControl();
    ASSERT_NE(editor, nullptr) << "no editor came up";
    CWindow(editor).SetText(text);
    ::PostMessageA(editor, WM_KEYDOWN, VK_RETURN, 1);
    PumpMessages(30);
}

// The cursor that the dialog's windows show while the mouse moves over the domain edit.
HCURSOR CursorOverDomain(HWND dialog) {
    HWND edit = ::GetDlgItem(dialog, IDC_ITEM_DOMAIN);
    ::SendMessageA(edit, WM_SETCURSOR, reinterpret_cast<WPARAM>(edit),
                   MakeLParam(HTCLIENT, WM_MOUSEMOVE));
    return ::GetCursor();
}

HCURSOR WaitCursor() {
    return ::LoadCursorA(nullptr, ResourceName(32514));  // IDC_WAIT
}

// Every lookup goes to the fake upstream on loopback.
class ItemDialog : public ::testing::Test {
protected:
    void SetUp() override {
        SetCurrentDnsServer(qftest::kLoopback);
        SetDnsServerPort(upstream.Port());
    }
    void TearDown() override {
        // A lookup that a test let go must not outlive its fake upstream.
        EXPECT_TRUE(PumpUntil([] { return CDnsItemDlg::ResolvesInFlight() == 0; }, 5000));
        SetUpstreamTimeoutMs(kDefaultUpstreamTimeoutMs);
        qftest::PointUpstreamAtSink();
    }

    // The dialog as the cache list's Edit opens it for a row.
    static void OpenForRow(CDnsItemDlg& dialog, std::uint32_t ttl) {
        dialog.m_strDomain = "example.test";
        dialog.m_IpList.SplitUnique("192.0.2.1|192.0.2.2", '|');
        dialog.m_dwTTL = ttl;
        dialog.m_bDomainEditable = false;
    }

    qftest::FakeUpstream upstream;
    CMessageBoxAnswerer answerer;
};

// An entry may hold any 32-bit TTL: the hidden TTL edit must not refuse it.
TEST_F(ItemDialog, OpensWithTheRowAndAnUnchangedOkClearsTheModifiedFlagKeepingTheTtl) {
    CDnsItemDlg dialog;
    OpenForRow(dialog, 2'147'483'647);
    INT_PTR result = RunModal(dialog, [](HWND window) {
        EXPECT_EQ(CWindow(::GetDlgItem(window, IDC_ITEM_DOMAIN)).GetText(), "example.test");
        EXPECT_NE(::GetWindowLongA(::GetDlgItem(window, IDC_ITEM_DOMAIN), GWL_STYLE) & ES_READONLY,
                  0);
        EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(window, IDC_ITEM_TTL)));
        EXPECT_EQ(LowWord(static_cast<WPARAM>(::SendMessageA(window, DM_GETDEFID, 0, 0))),
                  IDCANCEL);
        EXPECT_EQ(Rows(window), (Texts{"192.0.2.1", "192.0.2.2"}));
        Click(window, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(answerer.Texts().empty());
    EXPECT_FALSE(dialog.m_bModified);
    EXPECT_EQ(dialog.m_dwTTL, 2'147'483'647u);
    EXPECT_EQ(dialog.m_IpList.Texts(), (Texts{"192.0.2.1", "192.0.2.2"}));
}

TEST_F(ItemDialog, MovingAnAddressDownCountsAsAChange) {
    CDnsItemDlg dialog;
    OpenForRow(dialog, 300);
    INT_PTR result = RunModal(dialog, [](HWND window) {
        HWND list = AddressList(window);
        CListView(list).SetItemState(0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        ::SetFocus(list);
        {
            CHeldKeys alt({VK_MENU});
            ::PostMessageA(list, WM_SYSKEYDOWN, VK_DOWN, (1 << 29) | 1);
            PumpMessages(30);
        }
        EXPECT_EQ(Rows(window), (Texts{"192.0.2.2", "192.0.2.1"}));
        Click(window, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(dialog.m_bModified);
    EXPECT_EQ(dialog.m_IpList.Texts(), (Texts{"192.0.2.2", "192.0.2.1"}));
}

// A new entry: each refusal keeps the dialog open with what the user typed, and OK finally keeps
// the valid rows, each once, in their order.
TEST_F(ItemDialog, OkRefusesAnEmptyOrUnsafeDomainAndInvalidOnlyAddresses) {
    CDnsItemDlg dialog;
    dialog.m_IpList.AddTail("host.example");
    dialog.m_IpList.AddTail("300.1.2.3");
    INT_PTR result = RunModal(dialog, [this](HWND window) {
        HWND domain = ::GetDlgItem(window, IDC_ITEM_DOMAIN);
        Click(window, IDOK);
        EXPECT_EQ(answerer.Texts(), (Texts{"Domain can't be empty !"}));

        // Each would split or garble the entry's line in the cache file.
        for (const char* unsafe : {"a,b.test", "a|b.test", "a\tb.test", "a\x7f.test"}) {
            CWindow(domain).SetText(unsafe);
            Click(window, IDOK);
            EXPECT_EQ(answerer.Texts().back(),
                      "Domain can't contain ',', '|' or control characters !")
                << unsafe;
            EXPECT_EQ(::GetFocus(), domain);
        }
        ASSERT_EQ(answerer.Texts().size(), 5u);

        CWindow(domain).SetText("host.test");
        Click(window, IDOK);
        EXPECT_EQ(answerer.Texts().back(), "Please fill at leat one valid ip address !");
        EXPECT_TRUE(::IsWindowVisible(window));
        EXPECT_EQ(Rows(window), (Texts{"host.example", "300.1.2.3"}));

        for (const char* typed : {"192.0.2.5", "192.0.2.6", "192.0.2.5"}) {
            TypeRow(window, typed);
        }
        Click(window, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(answerer.Texts().size(), 6u);
    EXPECT_EQ(dialog.m_strDomain, "host.test");
    EXPECT_EQ(dialog.m_IpList.Texts(), (Texts{"192.0.2.5", "192.0.2.6"}));
    EXPECT_TRUE(dialog.m_bModified);
}

TEST_F(ItemDialog, EnterInTheDomainEditCancelsWithoutReadingIt) {
    CDnsItemDlg dialog;
    dialog.m_IpList.AddTail("192.0.2.1");
    INT_PTR result = RunModal(dialog, [](HWND window) {
        HWND domain = ::GetDlgItem(window, IDC_ITEM_DOMAIN);
        CWindow(domain).SetText("typed.test");
        ::SetFocus(domain);
        ::PostMessageA(domain, WM_KEYDOWN, VK_RETURN, 1);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dialog.m_strDomain, "");
}

TEST_F(ItemDialog, ResolveFillsTheListFromTheAnswerAndKeepsItsOwnTtl) {
    qftest::FakeAnswer answer;
    answer.Addresses = {"192.0.2.7", "192.0.2.8"};
    answer.Ttl = 777;
    upstream.Answer("good.test", answer);
    CDnsItemDlg dialog;
    dialog.m_IpList.AddTail("10.0.0.1");
    INT_PTR result = RunModal(dialog, [this](HWND window) {
        CWindow(::GetDlgItem(window, IDC_ITEM_DOMAIN)).SetText("good.test");
        Click(window, IDC_RESOLVE);
        ASSERT_TRUE(PumpUntil([&] { return !answerer.Texts().empty(); }, 5000));
        EXPECT_EQ(answerer.Texts(), (Texts{"Dns resolving finished successfully."}));
        EXPECT_EQ(Rows(window), (Texts{"192.0.2.7", "192.0.2.8"}));
        EXPECT_TRUE(Enabled(window, IDOK) && Enabled(window, IDCANCEL) &&
                    Enabled(window, IDC_RESOLVE));
        EXPECT_EQ(::GetFocus(), ::GetDlgItem(window, IDC_RESOLVE));
        Click(window, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    ASSERT_EQ(upstream.QueryCount(), 1);
    EXPECT_EQ(upstream.Queries()[0].Domain, "good.test");
    EXPECT_EQ(dialog.m_strDomain, "good.test");
    EXPECT_EQ(dialog.m_IpList.Texts(), (Texts{"192.0.2.7", "192.0.2.8"}));
    EXPECT_EQ(dialog.m_dwTTL, 0u);
}

// The main dialog's part: it owns the item dialog and handles, on this thread, the proxy's
// notifications that come sent from the proxy's notification thread.
class CHostWindow : public CCustomWindow {
public:
    CHostWindow() { Create(0, WS_POPUP, nullptr); }
    // Written on this thread, read by the client's.
    std::atomic<int> changes{0};

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_DNSITEM_CHANGED) {
            ++changes;
            return 0;
        }
        return CCustomWindow::WindowProc(message, wParam, lParam);
    }
};

class CSendingObserver : public IDnsProxyObserver {
public:
    explicit CSendingObserver(HWND window) : m_window(window) {}
    void OnDnsItemChanged(const DnsItemPtr& item) override {
        ::SendMessageA(m_window, WM_DNSITEM_CHANGED, reinterpret_cast<WPARAM>(item.get()), 0);
    }
    void OnServerError(const std::string&) override { ++errors; }
    std::atomic<int> errors{0};

private:
    HWND m_window;
};

// A client of the proxy: once the dialog's lookup has reached the upstream, it asks for a cached
// domain and times the reply and the window thread's handling of the proxy's notification.
struct CachedQueryTimes {
    int replyMs = -1;
    int notifiedMs = -1;
};

CachedQueryTimes AskCachedWhileResolving(const qftest::FakeUpstream& upstream,
                                         std::uint16_t proxyPort, const CHostWindow& host) {
    CachedQueryTimes times;
    if (!upstream.WaitForQueries(1, std::chrono::milliseconds(3000))) {
        return times;
    }
    try {
        CWSocket client;
        client.Create(true);
        client.SetReceiveTimeout(3000);
        const qftest::Bytes query = qftest::MakeQuery("cached.test", 0x4242);
        const Clock::time_point sent = Clock::now();
        client.SendTo(query.data(), query.size(), proxyPort, qftest::kLoopback);
        std::array<std::uint8_t, 512> reply{};
        std::string from;
        std::uint16_t port = 0;
        client.ReceiveFrom(reply.data(), reply.size(), from, port);
        times.replyMs = MillisecondsSince(sent);
        for (int poll = 0; poll < 5000 && host.changes.load() == 0; ++poll) {
            ::Sleep(1);
        }
        if (host.changes.load() > 0) {
            times.notifiedMs = MillisecondsSince(sent);
        }
    } catch (const CWSocketException&) {
        // No reply: the times stay -1.
    }
    return times;
}

// The proxy's cached answers, and its notifications to the window's thread, go on while the
// dialog's Resolve waits for a silent upstream (the full 3000 ms). The failure keeps the list.
TEST_F(ItemDialog, WhileResolveWaitsTheWindowsThreadServesTheProxyAndAFailureKeepsTheList) {
    CHostWindow host;
    CDnsItemMap cache;
    CLockedStringList cachedAddresses;
    cachedAddresses.AddTail("192.0.2.53");
    cache.Learn("cached.test", cachedAddresses, 300, std::time(nullptr));
    CSendingObserver observer(host.Hwnd());
    CDnsSocket proxy(&cache, &observer);
    ASSERT_TRUE(proxy.RunDnsServer(0, qftest::kLoopback));

    CDnsItemDlg dialog(host.Hwnd());
    dialog.m_strDomain = kSilentDomain;
    dialog.m_IpList.AddTail("192.0.2.9");
    CachedQueryTimes times;
    INT_PTR result = RunModal(dialog, [&](HWND window) {
        std::atomic<bool> asked{false};
        std::thread client([&] {
            times = AskCachedWhileResolving(upstream, proxy.ListeningPort(), host);
            asked = true;
        });
        const Clock::time_point clicked = Clock::now();
        Click(window, IDC_RESOLVE);
        EXPECT_LT(MillisecondsSince(clicked), 500) << "Resolve returned at once";
        PumpUntil([&] { return asked.load(); }, 10000);
        client.join();

        // Still waiting: grey buttons, the wait cursor, Enter and Escape ignored.
        EXPECT_TRUE(dialog.Resolving());
        EXPECT_TRUE(answerer.Texts().empty());
        EXPECT_FALSE(Enabled(window, IDOK) || Enabled(window, IDCANCEL) ||
                     Enabled(window, IDC_RESOLVE));
        EXPECT_EQ(CursorOverDomain(window), WaitCursor());
        for (int key : {VK_ESCAPE, VK_RETURN}) {
            ::PostMessageA(::GetDlgItem(window, IDC_ITEM_DOMAIN), WM_KEYDOWN,
                           static_cast<WPARAM>(key), 1);
        }
        PumpMessages(50);
        EXPECT_TRUE(::IsWindowVisible(window));

        ASSERT_TRUE(PumpUntil([&] { return !answerer.Texts().empty(); }, 5000));
        EXPECT_GE(MillisecondsSince(clicked), 2900) << "the lookup waited for its timeout";
        EXPECT_EQ(answerer.Texts(),
                  (Texts{"Can't query the ip addresses of silent.test, check the DNS server "
                         "used by Quillforth and your network please."}));
        EXPECT_EQ(Rows(window), (Texts{"192.0.2.9"}));
        EXPECT_TRUE(Enabled(window, IDOK) && Enabled(window, IDCANCEL) &&
                    Enabled(window, IDC_RESOLVE));
        EXPECT_NE(CursorOverDomain(window), WaitCursor());
        Click(window, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    std::printf("cached query while Resolve waited: reply %d ms, notification handled %d ms\n",
                times.replyMs, times.notifiedMs);
    // A few milliseconds; a window's thread that waited for the lookup would take 3000.
    EXPECT_GE(times.replyMs, 0);
    EXPECT_LT(times.replyMs, 1000);
    EXPECT_GE(times.notifiedMs, 0);
    EXPECT_LT(times.notifiedMs, 1000);

    // The proxy's notification thread may be inside a message sent to this thread.
    proxy.BeginStop();
    EXPECT_TRUE(PumpUntil([&] { return proxy.WaitStopped(0); }, 5000));
    EXPECT_EQ(observer.errors.load(), 0);
}

// However the dialog goes while its lookup waits (its owner destroyed, as when the program
// ends, or the object deleted), nothing waits for the lookup, which ends on its own and
// reports to nobody.
TEST_F(ItemDialog, ADialogThatGoesWhileResolvingDropsTheResult) {
    SetUpstreamTimeoutMs(1000);
    {
        CHostWindow host;
        auto dialog = std::make_unique<CDnsItemDlg>(host.Hwnd());
        dialog->m_strDomain = kSilentDomain;
        INT_PTR result = RunModal(*dialog, [&](HWND window) {
            Click(window, IDC_RESOLVE);
            ASSERT_TRUE(upstream.WaitForQueries(1, std::chrono::milliseconds(2000)));
            const Clock::time_point start = Clock::now();
            host.Destroy();  // and with it the dialog it owns
            EXPECT_LT(MillisecondsSince(start), 500);
        });
        EXPECT_NE(result, IDOK);
        EXPECT_EQ(dialog->Hwnd(), nullptr);
        EXPECT_GE(CDnsItemDlg::ResolvesInFlight(), 1) << "let go, still waiting";
    }
    {
        auto dialog = std::make_unique<CDnsItemDlg>();
        dialog->m_strDomain = kSilentDomain;
        ASSERT_TRUE(dialog->Create());
        Click(dialog->Hwnd(), IDC_RESOLVE);
        ASSERT_TRUE(upstream.WaitForQueries(2, std::chrono::milliseconds(2000)));
        const Clock::time_point start = Clock::now();
        dialog.reset();
        EXPECT_LT(MillisecondsSince(start), 500);
        EXPECT_GE(CDnsItemDlg::ResolvesInFlight(), 1) << "let go, still waiting";
    }
    ASSERT_TRUE(PumpUntil([] { return CDnsItemDlg::ResolvesInFlight() == 0; }, 3000));
    PumpMessages(100);
    EXPECT_TRUE(answerer.Texts().empty());
}

}  // namespace

#include "app/dns_item_dlg.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/dns_observer.h"
#include "core/dns_socket.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "tests/app/app_test.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSilentDomain[] = "silent.test";  // the fake upstream never answers it

// Opens the dialog with DoModal, as the cache list does, and runs `script` on this thread once
// it shows; the script ends the dialog.
INT_PTR RunModal(CDnsItemDlg& dialog, std::function<void(HWND)> script) {
    CWhenWindowOpens watch(IDC_ITEM_ADDRESSES, "Static", std::move(script));
    return dialog.DoModal();
}

void Click(HWND dialog, int id) {
    ::SendMessageA(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// How many of Resolve, OK and Cancel take clicks.
int EnabledButtons(HWND dialog) {
    int enabled = 0;
    for (int id : {IDC_RESOLVE, IDOK, IDCANCEL}) {
        enabled += ::IsWindowEnabled(::GetDlgItem(dialog, id)) ? 1 : 0;
    }
    return enabled;
}

HWND AddressList(HWND dialog) {
    return ::GetDlgItem(::GetDlgItem(dialog, IDC_ITEM_ADDRESSES), CEditableListCtrl::kListId);
}

Texts Rows(HWND dialog) {
    return ListTexts(AddressList(dialog));
}

// Whether the dialog shows the wait cursor while the mouse moves over the domain edit.
bool WaitCursorShown(HWND dialog) {
    HWND edit = ::GetDlgItem(dialog, IDC_ITEM_DOMAIN);
    ::SendMessageA(edit, WM_SETCURSOR, reinterpret_cast<WPARAM>(edit),
                   MakeLParam(HTCLIENT, WM_MOUSEMOVE));
    return ::GetCursor() == ::LoadCursorA(nullptr, ResourceName(32514));  // IDC_WAIT
}

// Every lookup goes to the fake upstream on loopback.
class ItemDialog : public UpstreamTest<CDnsItemDlg::ResolvesInFlight> {
protected:
    CMessageBoxAnswerer answerer;
};

// The user's three ways out of an entry's dialog: OK unchanged clears the modified flag; moving
// an address with Alt+Down is a change; Enter in the domain edit cancels without reading it.
// An entry may hold any 32-bit TTL: the hidden TTL edit must not refuse it. An internationalized
// name shows in Unicode and comes back as the cache keeps it.
TEST_F(ItemDialog, UnchangedOkMovedAddressAndEnterInTheDomainEdit) {
    enum Action { kUnchanged, kMove, kEnter };
    for (const Action action : {kUnchanged, kMove, kEnter}) {
        CDnsItemDlg dialog(settings);
        dialog.m_domain = "xn--bcher-kva.example";
        dialog.m_ipList.SplitUnique("192.0.2.1|192.0.2.2", '|');
        dialog.m_ttl = 2'147'483'647;
        const INT_PTR result = RunModal(dialog, [&](HWND window) {
            EXPECT_EQ(Rows(window), (Texts{"192.0.2.1", "192.0.2.2"}));
            EXPECT_EQ(CWindow(::GetDlgItem(window, IDC_ITEM_DOMAIN)).GetText(), "bücher.example");
            if (action == kEnter) {
                HWND domain = ::GetDlgItem(window, IDC_ITEM_DOMAIN);
                CWindow(domain).SetText("typed.test");
                ::SetFocus(domain);
                ::PostMessageA(domain, WM_KEYDOWN, VK_RETURN, 1);
                return;
            }
            if (action == kMove) {
                HWND list = AddressList(window);
                CListView(list).SetItemState(0, LVIS_SELECTED | LVIS_FOCUSED,
                                             LVIS_SELECTED | LVIS_FOCUSED);
                ::SetFocus(list);
                PressKey(list, VK_DOWN, {VK_MENU});
            }
            Click(window, IDOK);
        });
        EXPECT_EQ(result, action == kEnter ? IDCANCEL : IDOK) << action;
        EXPECT_EQ(dialog.m_domain, "xn--bcher-kva.example");
        EXPECT_EQ(dialog.m_modified, action != kUnchanged) << action;
        EXPECT_EQ(dialog.m_ttl, 2'147'483'647u);
        EXPECT_EQ(dialog.m_ipList.Texts(), action == kMove ? (Texts{"192.0.2.2", "192.0.2.1"})
                                                           : (Texts{"192.0.2.1", "192.0.2.2"}));
    }
    EXPECT_TRUE(answerer.Texts().empty());
}

// A new entry: each refusal keeps the dialog open with what the user typed, and OK finally keeps
// the valid rows, IPv4 and IPv6, each once, in their order, and the name in its ASCII form.
TEST_F(ItemDialog, OkRefusesAnEmptyOrUnsafeDomainAndInvalidOnlyAddresses) {
    CDnsItemDlg dialog(settings);
    dialog.m_ipList.AddTail("host.example");
    dialog.m_ipList.AddTail("300.1.2.3");
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
        // 67 bytes once converted: more than a label holds.
        CWindow(domain).SetText(std::string(60, 'a') + "ü.test");
        Click(window, IDOK);
        EXPECT_EQ(answerer.Texts().back().substr(0, 35), "Domain can't be converted to the fo");
        ASSERT_EQ(answerer.Texts().size(), 6u);

        CWindow(domain).SetText("bücher.test");
        Click(window, IDOK);
        EXPECT_EQ(answerer.Texts().back(), "Please fill at leat one valid ip address !");
        EXPECT_EQ(Rows(window), (Texts{"host.example", "300.1.2.3"}));

        auto* list = dynamic_cast<CEditableListCtrl*>(
            CSubclassedWindow::FromHandle(::GetDlgItem(window, IDC_ITEM_ADDRESSES)));
        for (const char* added :
             {"192.0.2.5", "2001:DB8:0::1", "192.0.2.6", "192.0.2.5", "2001:db8::1", "fe80::1%1"}) {
            list->AddItem(added);
        }
        Click(window, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(answerer.Texts().size(), 7u);
    EXPECT_EQ(dialog.m_domain, "xn--bcher-kva.test");
    // IPv6 addresses are kept in their RFC 5952 form, each once.
    EXPECT_EQ(dialog.m_ipList.Texts(), (Texts{"192.0.2.5", "2001:db8::1", "192.0.2.6"}));
    EXPECT_TRUE(dialog.m_modified);
}

// The main dialog's part: it owns the item dialog and handles, on this thread, the proxy's
// notifications that come sent from the proxy's notification thread.
class CHostWindow : public CCustomWindow, public IDnsProxyObserver {
public:
    CHostWindow() { Create(0, WS_POPUP, nullptr); }
    int changes = 0;
    std::atomic<int> errors{0};

    void OnCacheChanged() override { ::PostMessageA(Hwnd(), WM_DNSITEM_CHANGED, 0, 0); }
    void OnServerError(const std::string&) override { ++errors; }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_DNSITEM_CHANGED) {
            ++changes;
            return 0;
        }
        return CCustomWindow::WindowProc(message, wParam, lParam);
    }
};

// Resolve fills the list from an answer (the answer's TTL is not the new entry's). Over a silent
// upstream its lookup waits the full 3000 ms off the window's thread: the proxy's cached answers
// and their notifications to that thread go on meanwhile, and the failure keeps the list.
TEST_F(ItemDialog, ResolveRunsOffTheWindowsThreadAndOnlyASuccessReplacesTheList) {
    upstream.Answer("good.test", {.Addresses = {"192.0.2.7", "192.0.2.8"}, .Ttl = 777});
    CHostWindow host;
    CDnsItemMap cache;
    CLockedStringList cachedAddresses;
    cachedAddresses.AddTail("192.0.2.53");
    cache.Learn("cached.test", cachedAddresses, 300, std::time(nullptr), 0);
    qftest::CSinkUpstream proxyUpstream;
    CDnsSocket proxy(&cache, proxyUpstream, &host);
    ASSERT_TRUE(proxy.RunDnsServer(0, qftest::kLoopback));

    CDnsItemDlg dialog(settings, host.Hwnd());
    dialog.m_domain = "good.test";
    dialog.m_ipList.AddTail("10.0.0.1");
    INT_PTR result = RunModal(dialog, [&](HWND window) {
        Click(window, IDC_RESOLVE);
        ASSERT_TRUE(PumpUntil([&] { return !answerer.Texts().empty(); }, 5000));
        EXPECT_EQ(answerer.Texts(), (Texts{"Dns resolving finished successfully."}));
        EXPECT_EQ(Rows(window), (Texts{"192.0.2.7", "192.0.2.8"}));
        EXPECT_EQ(EnabledButtons(window), 3);
        EXPECT_EQ(::GetFocus(), ::GetDlgItem(window, IDC_RESOLVE));

        CWindow(::GetDlgItem(window, IDC_ITEM_DOMAIN)).SetText(kSilentDomain);
        const Clock::time_point clicked = Clock::now();
        Click(window, IDC_RESOLVE);
        EXPECT_LT(MillisecondsSince(clicked), 500) << "Resolve returned at once";
        ASSERT_TRUE(upstream.WaitForQueries(2, std::chrono::milliseconds(3000)));
        // A cached answer and its notification take a few milliseconds; a window's thread that
        // waited for the lookup would hold them up for 3000.
        CWSocket client;
        client.Create(true);
        client.SetReceiveTimeout(1000);
        const qftest::Bytes query = qftest::MakeQuery("cached.test", 0x4242);
        client.SendTo(query.data(), query.size(), proxy.ListeningPort(), qftest::kLoopback);
        std::array<std::uint8_t, 512> reply{};
        EXPECT_NO_THROW(client.Receive(reply.data(), reply.size()));
        EXPECT_TRUE(PumpUntil([&] { return host.changes > 0; }, 1000));

        // Still waiting: grey buttons, the wait cursor, Enter and Escape ignored.
        EXPECT_TRUE(dialog.Resolving());
        EXPECT_EQ(answerer.Texts().size(), 1u);
        EXPECT_EQ(EnabledButtons(window), 0);
        EXPECT_TRUE(WaitCursorShown(window));
        for (int key : {VK_ESCAPE, VK_RETURN}) {
            ::PostMessageA(::GetDlgItem(window, IDC_ITEM_DOMAIN), WM_KEYDOWN,
                           static_cast<WPARAM>(key), 1);
        }
        PumpMessages(50);
        EXPECT_TRUE(::IsWindowVisible(window));

        ASSERT_TRUE(PumpUntil([&] { return answerer.Texts().size() > 1; }, 5000));
        EXPECT_GE(MillisecondsSince(clicked), 2900) << "the lookup waited for its timeout";
        EXPECT_EQ(answerer.Texts().back(),
                  "Can't query the ip addresses of silent.test, check the DNS server used by "
                  "Quillforth and your network please.");
        EXPECT_EQ(Rows(window), (Texts{"192.0.2.7", "192.0.2.8"}));
        EXPECT_EQ(EnabledButtons(window), 3);
        EXPECT_FALSE(WaitCursorShown(window));
        Click(window, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dialog.m_ipList.Texts(), (Texts{"192.0.2.7", "192.0.2.8"}));
    EXPECT_EQ(dialog.m_ttl, 0u);

    proxy.StopDnsServer();
    EXPECT_EQ(host.errors.load(), 0);
}

// However the dialog goes while its lookup waits (its owner destroyed, as when the program
// ends, or the object deleted), nothing waits for the lookup, which ends on its own and
// reports to nobody.
TEST_F(ItemDialog, ADialogThatGoesWhileResolvingDropsTheResult) {
    settings.SetWait(std::chrono::milliseconds(1000));
    {
        CHostWindow host;
        auto dialog = std::make_unique<CDnsItemDlg>(settings, host.Hwnd());
        dialog->m_domain = kSilentDomain;
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
        auto dialog = std::make_unique<CDnsItemDlg>(settings);
        dialog->m_domain = kSilentDomain;
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

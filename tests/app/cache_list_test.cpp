#include "app/cache_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/proxy_changes.h"
#include "core/dns_socket.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "tests/app/app_test.h"
#include "ui/editable_list_ctrl.h"
#include "win/dialog.h"

namespace {

using Rows = std::vector<int>;

constexpr int kFileNameBox = 0x47C;  // cmb13, the file name of an Explorer-style file dialog

std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The user's part in the item dialog: the domain (when editable) and the address rows, then OK.
std::function<void(HWND)> FillItemDialog(std::string domain, Texts addresses) {
    return [domain = std::move(domain), addresses = std::move(addresses)](HWND dialog) {
        if (!domain.empty()) {  // empty when editing: the domain is read-only then
            ::SetDlgItemTextA(dialog, IDC_ITEM_DOMAIN, domain.c_str());
        }
        auto* list = dynamic_cast<CEditableListCtrl*>(
            CSubclassedWindow::FromHandle(::GetDlgItem(dialog, IDC_ITEM_ADDRESSES)));
        while (list->GetCount() > 0) {
            list->RemoveItem(0);
        }
        for (const std::string& address : addresses) {
            list->AddItem(address);
        }
        ::SendMessageA(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        // A dialog that refused OK ends here, and the test fails on what it finds.
        ::PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    };
}

// Chooses a file in the standard Open or Save As dialog.
std::function<void(HWND)> ChooseFile(std::string path) {
    return [path = std::move(path)](HWND dialog) {
        ::SetDlgItemTextA(dialog, kFileNameBox, path.c_str());
        ::SendMessageA(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    };
}

// The main dialog's template around the cache list, forwarding to it what the main dialog
// forwards.
class CCacheHost : public CDialog {
public:
    explicit CCacheHost(const std::string& file)
        : CDialog(IDD_QUILLFORTH_DIALOG), list(cache, file, upstream) {}
    ~CCacheHost() override {
        if (Hwnd() != nullptr) {
            ::DestroyWindow(Hwnd());
        }
    }

    CDnsItemMap cache;
    qftest::CSinkUpstream upstream;
    CCacheList list;

    void Open(const CRegistryProfile& profile) {
        Create();
        list.InitCacheList(Item(IDC_CACHE_LIST), profile);
    }
    DnsItemPtr Add(const std::string& domain, const std::string& addresses, int hits = 0,
                   std::time_t lastHit = 0) {
        CLockedStringList learned;
        learned.SplitUnique(addresses, '|');
        DnsItemPtr item = cache.Learn(domain, learned, 300, lastHit, 0);
        auto lock = cache.Lock();
        item->Hits = hits;
        return item;
    }
    [[nodiscard]] CListView View() const { return CListView(Item(IDC_CACHE_LIST)); }
    // One column's cells, top row first, as the list shows them.
    [[nodiscard]] Texts Cells(int column) const { return ListTexts(Item(IDC_CACHE_LIST), column); }
    [[nodiscard]] std::string Row(int row) const {
        std::string text = View().GetItemText(row, 0);
        for (int column = 1; column < kCacheColumnCount; ++column) {
            text += "," + View().GetItemText(row, column);
        }
        return text;
    }
    [[nodiscard]] int Mark() const { return static_cast<int>(View().Send(LVM_GETSELECTIONMARK)); }
    [[nodiscard]] Rows Selected() const {
        Rows rows;
        for (int row = View().GetNextItem(-1, LVNI_SELECTED); row >= 0;
             row = View().GetNextItem(row, LVNI_SELECTED)) {
            rows.push_back(row);
        }
        return rows;
    }
    void Select(std::initializer_list<int> rows, int mark) const {
        View().SetItemState(-1, 0, LVIS_SELECTED);
        for (int row : rows) {
            View().SetItemState(row, LVIS_SELECTED, LVIS_SELECTED);
        }
        View().Send(LVM_SETSELECTIONMARK, 0, mark);
    }
    void ClickHeader(int column) const { ClickHeaderItem(View().GetHeader().Hwnd(), column); }
    void Command(int id) { Send(WM_COMMAND, static_cast<WPARAM>(id)); }
    // The command, or with NM_DBLCLK an edit of the selection mark's row, while `script` acts on
    // the dialog it opens: the item dialog, or the file dialog with the control given.
    void CommandWith(UINT id, std::function<void(HWND)> script, int control = IDC_ITEM_ADDRESSES) {
        CWhenWindowOpens watch(control, "", std::move(script));
        NMHDR doubleClick{View().Hwnd(), IDC_CACHE_LIST, NM_DBLCLK};
        id == NM_DBLCLK ? Send(WM_NOTIFY, IDC_CACHE_LIST, reinterpret_cast<LPARAM>(&doubleClick))
                        : Send(WM_COMMAND, id);
        EXPECT_TRUE(watch.Ran());
    }

protected:
    std::optional<LRESULT> OnNotify(NMHDR& header) override { return list.OnNotify(header); }
    bool OnCommand(int id, int code, HWND control) override {
        return list.OnCommand(id) || CDialog::OnCommand(id, code, control);
    }
};

class CacheList : public ::testing::Test {
protected:
    void SetUp() override {
        ::DeleteFileA(m_file.c_str());
        ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Veltmark\\CacheListTest");
    }
    void TearDown() override { ::DeleteFileA(m_file.c_str()); }
    [[nodiscard]] bool Saved(const std::string& text) const {
        return ReadFile(m_file).find(text) != std::string::npos;
    }

    const std::string m_file = TempPath("qf-cache-list-test.csv");
    const CRegistryProfile m_profile{"Veltmark", "CacheListTest"};
    CCacheHost m_host{m_file};
};

// Header clicks sort ascending, descending, ascending again; the selection and its mark stay with
// their entries. Search then goes on from the mark, wraps around and looks into the addresses.
TEST_F(CacheList, HeaderClicksSortKeepingTheSelectionAndSearchWrapsAround) {
    m_host.Add("beta.test", "10.0.0.2|192.168.7.9");
    m_host.Add("gamma.test", "10.0.0.3");
    m_host.Add("alpha.test", "10.0.0.1");
    m_host.Open(m_profile);
    EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"0", "1", "2"})) << "without a layout: by ID";
    m_host.Select({1, 2}, 2);
    m_host.ClickHeader(kDomainColumn);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"alpha.test", "beta.test", "gamma.test"}));
    m_host.ClickHeader(kDomainColumn);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"gamma.test", "beta.test", "alpha.test"}));
    EXPECT_EQ(m_host.Selected(), (Rows{0, 2})) << "IDs 1 and 2";
    EXPECT_EQ(m_host.Mark(), 2);
    m_host.ClickHeader(kDomainColumn);
    EXPECT_EQ(m_host.Row(0), "2,alpha.test,10.0.0.1,0,00/00 00:00");
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"alpha.test", "beta.test", "gamma.test"}));

    m_host.Select({0, 2}, 2);
    m_host.list.Search("test");
    EXPECT_EQ(m_host.Mark(), 0) << "from the last row on to the first";
    EXPECT_EQ(m_host.Selected(), (Rows{0})) << "the previous mark's row is let go";
    m_host.list.Search("168.7");
    EXPECT_EQ(m_host.Mark(), 1) << "a part of the second address";
    m_host.list.Search("168.7");
    EXPECT_EQ(m_host.Mark(), 1) << "the mark's own row is tested last";
    m_host.Select({2}, -1);
    m_host.list.Search("");
    EXPECT_EQ(m_host.Selected(), (Rows{1})) << "without a mark the search starts at row 1";
    m_host.Select({0, 2}, 1);
    m_host.list.Search("alpha");
    EXPECT_EQ(m_host.Selected(), (Rows{0, 2})) << "other selected rows stay selected";

    CMessageBoxAnswerer answerer;
    m_host.list.Search("missing");
    EXPECT_EQ(answerer.Texts(),
              (Texts{"Cann't find a domain or ip address including such a keyword."}));
    EXPECT_EQ(m_host.Mark(), 0);
}

// Equal hits go by ascending ID in both directions; counts far apart (a file may hold any 32-bit
// number) still sort in order; the text "MM/DD HH:MM" sorts a January after the December before
// it, and never hit first. Each case: the entries' hits and last hits, the column, the domains
// after one click and after a second.
TEST_F(CacheList, HitsAndLastHitDatesSortBothWays) {
    const struct {
        std::vector<std::pair<int, std::time_t>> entries;
        int column;
        Texts ascending, descending;
    } cases[] = {
        {{{5, 0}, {2, 0}, {5, 0}, {2, 0}}, kHitsColumn, {"1", "3", "0", "2"}, {"0", "2", "1", "3"}},
        {{{2'147'483'647, 0}, {-2, 0}}, kHitsColumn, {"1", "0"}, {"0", "1"}},
        // 2025-12-15, never, 2026-01-15
        {{{0, 1'765'800'000}, {0, 0}, {0, 1'768'478'400}},
         kLastHitColumn,
         {"1", "2", "0"},
         {"0", "2", "1"}},
    };
    for (const auto& [entries, column, ascending, descending] : cases) {
        CCacheHost host(m_file);
        for (const auto& [hits, lastHit] : entries) {
            host.Add("e" + std::to_string(host.cache.GetCount()) + ".test", "10.0.0.1", hits,
                     lastHit);
        }
        host.Open(m_profile);
        host.ClickHeader(column);
        EXPECT_EQ(host.Cells(kIdColumn), ascending) << column;
        host.ClickHeader(column);
        EXPECT_EQ(host.Cells(kIdColumn), descending) << column;
    }
}

// The main dialog's part in the proxy's changes: it takes them through the pump, as the program
// does, and counts the proxy's messages.
class CProxyHost : public CCacheHost, public IDnsProxyObserver {
public:
    using CCacheHost::CCacheHost;
    void OnCacheChanged() override { ::PostMessageA(Hwnd(), WM_PROXY_CHANGES, 0, 0); }
    void OnServerError(const std::string&) override {}

    CDnsSocket proxy{&cache, upstream, this};
    CProxyChangesPump pump{TIMER_PROXY_CHANGES, 250, [this] {
                               for (const DnsItemPtr& item : proxy.TakeChanges().Items) {
                                   list.RefreshCacheRow(item.get());
                               }
                           }};
    int messages = 0;

protected:
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message != WM_PROXY_CHANGES) {
            return CCacheHost::OnMessage(message, wParam, lParam);
        }
        ++messages;
        pump.OnChangesPosted();
        return 0;
    }
    void OnTimer(UINT_PTR id) override { pump.OnTimer(id); }
};

// A burst of thousands of hits reaches the window as a few messages a second, and right after
// it every row shows its entry's hits.
TEST_F(CacheList, ABurstOfHitsReachesTheListAsAFewMessages) {
    CProxyHost host(m_file);
    constexpr int kNames = 200;
    constexpr int kRounds = 10;
    for (int i = 0; i < kNames; ++i) {
        host.Add("n" + std::to_string(i) + ".test", "10.0.0.1");
    }
    host.Open(m_profile);
    host.pump.Attach(host.Hwnd());
    ASSERT_TRUE(host.proxy.RunDnsServer(0, qftest::kLoopback));
    const auto started = std::chrono::steady_clock::now();
    std::atomic<int> answered{0};
    std::thread client([&] {
        CWSocket socket;
        socket.Create(true);
        socket.SetReceiveTimeout(2000);
        std::array<std::uint8_t, 512> reply{};
        for (int round = 0; round < kRounds; ++round) {
            for (int i = 0; i < kNames; ++i) {
                const qftest::Bytes query = qftest::MakeQuery("n" + std::to_string(i) + ".test", 1);
                socket.SendTo(query.data(), query.size(), host.proxy.ListeningPort(),
                              qftest::kLoopback);
                socket.Receive(reply.data(), reply.size());
                ++answered;
            }
        }
    });
    PumpUntil([&] { return answered == kNames * kRounds; }, 60000);
    client.join();
    const int seconds = MillisecondsSince(started) / 1000 + 1;
    ASSERT_TRUE(PumpUntil([&] { return host.Cells(kHitsColumn) == Texts(kNames, "10"); }, 1000));
    EXPECT_LE(host.messages, 4 * seconds + 2) << "in " << seconds << " s";
    host.proxy.StopDnsServer();
}

TEST_F(CacheList, NewRefreshesACachedDomainInPlaceAndNumbersFromZeroAfterClear) {
    m_host.Add("a.test", "10.0.0.1", 4, 1'765'800'000);
    m_host.Add("b.test", "10.0.0.2", 7);
    m_host.Open(m_profile);
    m_host.CommandWith(ID_CACHE_NEW,
                       FillItemDialog("a.test", {"10.9.9.9", "2001:db8::9", "10.9.9.8"}));
    // The IPv4 addresses, then the IPv6 ones; the file keeps these in its sixth field.
    EXPECT_EQ(m_host.Row(0),
              "0,a.test,10.9.9.9|10.9.9.8|2001:db8::9,4," + FormatLastHit(1'765'800'000));
    EXPECT_EQ(m_host.Cells(kIdColumn).size(), 2u);
    EXPECT_TRUE(Saved("a.test,10.9.9.9|10.9.9.8,3600,4,1765800000,2001:db8::9,"));

    {
        CMessageBoxAnswerer no(IDNO);
        m_host.Command(ID_CACHE_CLEAR);
        EXPECT_EQ(no.Texts(), (Texts{"Are you sure to clear all the DNS items ?"}));
    }
    EXPECT_EQ(m_host.cache.GetCount(), 2);
    {
        CMessageBoxAnswerer yes(IDYES);
        m_host.Command(ID_CACHE_CLEAR);
    }
    EXPECT_EQ(m_host.cache.GetCount(), 0);
    EXPECT_TRUE(m_host.Cells(kIdColumn).empty());
    EXPECT_EQ(ReadFile(m_file), "#Domain,IP,TTL,HITS,LASTHITDATE\r\n");
    m_host.CommandWith(ID_CACHE_NEW, FillItemDialog("fresh.test", {"10.1.1.1"}));
    EXPECT_EQ(m_host.Row(0), "0,fresh.test,10.1.1.1,0,00/00 00:00");

    // Typed addresses are answered as typed for the TTL, an hour for a new entry. At the cache's
    // bound a new entry drops the one hit least recently, and its row.
    const DnsItemPtr fresh = m_host.cache.Lookup("fresh.test");
    EXPECT_EQ(fresh->Ttl, 3600);
    EXPECT_NEAR(double(fresh->Ipv4Freshness.Expiry), double(std::time(nullptr) + 3600), 5);
    m_host.cache.SetMaxEntries(1);
    m_host.CommandWith(ID_CACHE_NEW, FillItemDialog("next.test", {"10.1.1.2"}));
    EXPECT_EQ(m_host.Cells(kDomainColumn), Texts{"next.test"});
}

// The list has no TTL column: an edit must keep the entry's own TTL, not write 0.
TEST_F(CacheList, EditOpensTheMarkedRowReadOnlyAndKeepsTheEntrysTtl) {
    m_host.Add("a.test", "10.0.0.1");
    DnsItemPtr b = m_host.Add("b.test", "10.0.0.2|10.0.0.3", 5);
    {
        auto lock = m_host.cache.Lock();
        b->Ttl = 86'400;
    }
    m_host.Open(m_profile);
    m_host.Select({1}, 1);
    bool readOnly = false;
    m_host.CommandWith(NM_DBLCLK, [&](HWND dialog) {
        readOnly = (::GetWindowLongPtrA(::GetDlgItem(dialog, IDC_ITEM_DOMAIN), GWL_STYLE) &
                    ES_READONLY) != 0;
        FillItemDialog("", {"10.0.0.3", "10.0.0.2"})(dialog);
    });
    EXPECT_TRUE(readOnly);
    EXPECT_EQ(m_host.Row(1), "1,b.test,10.0.0.3|10.0.0.2,5,00/00 00:00");
    EXPECT_TRUE(Saved("b.test,10.0.0.3|10.0.0.2,86400,5,"));
    EXPECT_NEAR(double(b->Ipv4Freshness.Expiry), double(std::time(nullptr) + 86'400), 5);

    // Unchanged: the file is not written.
    ::DeleteFileA(m_file.c_str());
    m_host.CommandWith(
        NM_DBLCLK, [](HWND dialog) { ::SendMessageA(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0); });
    EXPECT_EQ(::GetFileAttributesA(m_file.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Delete takes only the selection mark's row (nothing without a mark); Clear Hits the selected
// rows (none: a message) or all. Each saves the cache file.
TEST_F(CacheList, DeleteAndClearHitsWorkOnTheSelection) {
    for (const char* domain : {"a.test", "b.test", "c.test", "d.test"}) {
        m_host.Add(domain, "10.0.0.1", 9);
    }
    m_host.Open(m_profile);
    m_host.Select({0, 1, 3}, 1);
    m_host.Command(ID_CACHE_DELETE);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"a.test", "c.test", "d.test"}));
    EXPECT_EQ(m_host.Selected(), (Rows{0, 2}));
    EXPECT_EQ(m_host.cache.Lookup("b.test"), nullptr);
    EXPECT_FALSE(Saved("b.test"));
    m_host.Command(ID_CACHE_CLEAR_HITS_SELECTED);
    EXPECT_EQ(m_host.Cells(kHitsColumn), (Texts{"0", "9", "0"}));
    EXPECT_TRUE(Saved("a.test,10.0.0.1,300,0,"));
    EXPECT_TRUE(Saved("c.test,10.0.0.1,300,9,"));

    CMessageBoxAnswerer answerer;
    m_host.Select({}, -1);
    m_host.Command(ID_CACHE_DELETE);
    m_host.Command(ID_CACHE_CLEAR_HITS_SELECTED);
    EXPECT_EQ(answerer.Texts(), (Texts{"There are no items selected !"}));
    EXPECT_EQ(m_host.Cells(kDomainColumn).size(), 3u);
    m_host.Command(ID_CACHE_CLEAR_HITS_ALL);
    EXPECT_EQ(m_host.Cells(kHitsColumn), (Texts{"0", "0", "0"}));
    EXPECT_TRUE(Saved("c.test,10.0.0.1,300,0,"));
}

// Delete Outdated removes many rows at once: the rest keep their order, and the selection, its
// mark and the focus stay with their entries (or go with them). A notified entry gets its row at
// the end, also on a sorted list, unless the user deleted it meanwhile.
TEST_F(CacheList, RowsGoWithTheirEntriesAndNotifiedOnesComeAtTheEnd) {
    std::vector<DnsItemPtr> entries;
    for (int id = 0; id < 6; ++id) {
        entries.push_back(m_host.Add("e" + std::to_string(id) + ".test", "10.0.0.1"));
    }
    m_host.Open(m_profile);
    m_host.Select({1, 3, 5}, 3);
    m_host.View().SetItemState(5, LVIS_FOCUSED, LVIS_FOCUSED);
    const DnsItemPtr rowless = m_host.Add("rowless.test", "10.0.0.9");
    m_host.list.DeleteCacheRow({entries[1], rowless, entries[2]});
    EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"0", "3", "4", "5"}));
    EXPECT_EQ(m_host.Selected(), (Rows{1, 3}));
    EXPECT_EQ(m_host.Mark(), 1);
    EXPECT_EQ(m_host.View().GetNextItem(-1, LVNI_FOCUSED), 3);

    m_host.list.DeleteCacheRow({entries[3], entries[5]});
    EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"0", "4"}));
    EXPECT_EQ(m_host.Selected(), Rows{});
    EXPECT_EQ(m_host.Mark(), -1);
    EXPECT_EQ(m_host.View().GetNextItem(-1, LVNI_FOCUSED), -1);

    m_host.Select({0, 1}, 0);
    m_host.list.DeleteCacheRow({entries[0]});
    EXPECT_EQ(m_host.Row(0), "4,e4.test,10.0.0.1,0,00/00 00:00");
    EXPECT_EQ(m_host.Selected(), (Rows{0}));
    m_host.list.RefreshCacheRow(entries[0].get());
    EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"4", "0"})) << "an entry still cached gets a new row";

    m_host.ClickHeader(kDomainColumn);
    m_host.ClickHeader(kDomainColumn);  // e4.test, e0.test
    m_host.list.RefreshCacheRow(m_host.Add("z.test", "10.0.0.9").get());
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"e4.test", "e0.test", "z.test"}));
    m_host.Select({0}, 0);
    m_host.Command(ID_CACHE_DELETE);
    m_host.list.RefreshCacheRow(entries[4].get());
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"e0.test", "z.test"}));
}

TEST_F(CacheList, ImportExportAndSave) {
    m_host.Add("a.test", "10.0.0.1", 7);
    m_host.Add("b.test", "10.0.0.2", 1);
    m_host.Open(m_profile);
    // Names that no single-byte code page holds: the dialogs and the files take them whole.
    const std::string imported = TempPath("qf-cache-list-导入 Zoë.csv");
    const std::string exported = TempPath("qf-cache-list-导出 Zoë.csv");
    std::ofstream(imported, std::ios::binary) << "#Domain,IP,TTL,HITS,LASTHITDATE\r\n"
                                                 "b.test,10.0.0.8,600,4,1700000000\r\n"
                                                 "c.test,10.0.0.9,600,0,1700000000\r\n";
    m_host.CommandWith(ID_CACHE_IMPORT, ChooseFile(imported), kFileNameBox);
    Texts rows;
    for (int row = 0; row < 3; ++row) {
        rows.push_back(m_host.Row(row).substr(0, m_host.Row(row).rfind(',')));
    }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Texts{"0,a.test,10.0.0.1,7", "2,b.test,10.0.0.8,4", "3,c.test,10.0.0.9,0"}));
    for (const char* line : {"a.test,10.0.0.1,300,7,", "b.test,10.0.0.8,600,4,1700000000",
                             "c.test,10.0.0.9,600,0,1700000000"}) {
        EXPECT_TRUE(Saved(line)) << line;
    }

    ::DeleteFileA(exported.c_str());
    m_host.CommandWith(ID_CACHE_EXPORT, ChooseFile(exported), kFileNameBox);
    EXPECT_EQ(ReadFile(exported), ReadFile(m_file));
    ::DeleteFileA(imported.c_str());
    ::DeleteFileA(exported.c_str());

    // Save says where it wrote, or that it failed; so does an import of a file that is not there.
    CMessageBoxAnswerer answerer;
    m_host.CommandWith(ID_CACHE_IMPORT, ChooseFile(imported), kFileNameBox);
    m_host.Command(ID_CACHE_SAVE);
    const std::string nowhere = TempPath("no-such-folder\\DnsItem.csv");
    CCacheHost unwritable(nowhere);
    unwritable.Open(m_profile);
    unwritable.Command(ID_CACHE_SAVE);
    EXPECT_EQ(answerer.Texts(), (Texts{"Can't read the file " + imported + ".",
                                       "Save to file " + m_file + " successfully.",
                                       "Save to file " + nowhere + " failed."}));
}

}  // namespace

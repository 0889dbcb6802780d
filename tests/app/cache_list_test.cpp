#include "app/cache_list.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "ui/editable_list_ctrl.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

using Texts = std::vector<std::string>;

std::string TempPath(const std::string& name) {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::time_t LocalTime(int year, int month, int day, int hour) {
    std::tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_isdst = -1;
    return std::mktime(&when);
}

// Runs `script` once on the first dialog of this thread with the caption, from a timer of
// whatever modal loop is running then (the item dialog's, a file dialog's, a menu's).
class CWindowScript {
public:
    CWindowScript(const char* caption, std::function<void(HWND)> script)
        : m_caption(caption), m_script(std::move(script)) {
        s_current = this;
        m_timer = ::SetTimer(nullptr, 0, 30, OnTimer);
    }
    CWindowScript(const CWindowScript&) = delete;
    CWindowScript& operator=(const CWindowScript&) = delete;
    ~CWindowScript() {
        ::KillTimer(nullptr, m_timer);
        s_current = nullptr;
    }
    [[nodiscard]] bool Ran() const { return m_ran; }

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        CWindowScript* self = s_current;
        if (self == nullptr || self->m_ran) {
            return;
        }
        HWND window = ::FindWindowA(self->m_caption[0] == '#' ? self->m_caption : "#32770",
                                    self->m_caption[0] == '#' ? nullptr : self->m_caption);
        if (window != nullptr && ::IsWindowVisible(window)) {
            self->m_ran = true;
            self->m_script(window);
        }
    }

    static inline CWindowScript* s_current = nullptr;
    const char* m_caption;
    std::function<void(HWND)> m_script;
    UINT_PTR m_timer;
    bool m_ran = false;
};

// The user's part in the item dialog: the domain (when editable) and the address rows, then OK.
std::function<void(HWND)> FillItemDialog(std::string domain, Texts addresses) {
    return [domain = std::move(domain), addresses = std::move(addresses)](HWND dialog) {
        CEdit edit(::GetDlgItem(dialog, IDC_ITEM_DOMAIN));
        if ((::GetWindowLongPtrA(edit.Hwnd(), GWL_STYLE) & ES_READONLY) == 0) {
            edit.SetText(domain);
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
        // A dialog that refused OK ends here, and the test fails on what it finds; one that took
        // OK is gone before this arrives.
        ::PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    };
}

// Chooses a file in the standard Open or Save As dialog.
std::function<void(HWND)> ChooseFile(std::string path) {
    return [path = std::move(path)](HWND dialog) {
        constexpr int kFileNameBox = 0x47C;  // cmb13, the file name of an Explorer-style dialog
        ::SetDlgItemTextA(dialog, kFileNameBox, path.c_str());
        ::SendMessageA(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    };
}

// The main dialog's template around the cache list, forwarding to it what the main dialog
// forwards.
class CCacheHost : public CDialog {
public:
    explicit CCacheHost(const std::string& file)
        : CDialog(IDD_QUILLFORTH_DIALOG), list(cache, file) {}
    ~CCacheHost() override {
        if (Hwnd() != nullptr) {
            ::DestroyWindow(Hwnd());
        }
    }

    CDnsItemMap cache;
    CCacheList list;

    void Open(const CRegistryProfile& profile) {
        Create();
        list.InitCacheList(Item(IDC_CACHE_LIST), profile);
    }
    DnsItemPtr Add(const std::string& domain, const std::string& addresses, int hits = 0,
                   std::time_t lastHit = 0) {
        CLockedStringList learned;
        learned.SplitUnique(addresses, '|');
        DnsItemPtr item = cache.Learn(domain, learned, 300, lastHit);
        auto lock = cache.Lock();
        item->Hits = hits;
        return item;
    }
    [[nodiscard]] CListView View() const { return CListView(Item(IDC_CACHE_LIST)); }
    // One column's cells, top row first, as the list shows them.
    [[nodiscard]] Texts Cells(int column) const {
        Texts cells;
        for (int row = 0; row < View().GetItemCount(); ++row) {
            cells.push_back(View().GetItemText(row, column));
        }
        return cells;
    }
    [[nodiscard]] std::string Row(int row) const {
        std::string text = View().GetItemText(row, 0);
        for (int column = 1; column < kCacheColumnCount; ++column) {
            text += "," + View().GetItemText(row, column);
        }
        return text;
    }
    [[nodiscard]] int Mark() const { return static_cast<int>(View().Send(LVM_GETSELECTIONMARK)); }
    [[nodiscard]] std::vector<int> Selected() const {
        std::vector<int> rows;
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
    void ClickHeader(int listColumn) const {
        CHeader header = View().GetHeader();
        RECT rect{};
        header.Send(HDM_GETITEMRECT, static_cast<WPARAM>(listColumn),
                    reinterpret_cast<LPARAM>(&rect));
        const LPARAM at = MakeLParam((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        header.Send(WM_LBUTTONDOWN, MK_LBUTTON, at);
        header.Send(WM_LBUTTONUP, 0, at);
        PumpMessages(20);
    }
    void DoubleClickRow(int row) const {
        RECT rect{};
        rect.left = LVIR_LABEL;
        View().Send(LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&rect));
        const LPARAM at = MakeLParam(rect.left + 5, (rect.top + rect.bottom) / 2);
        for (UINT message : {UINT{WM_LBUTTONDOWN}, UINT{WM_LBUTTONUP}, UINT{WM_LBUTTONDBLCLK},
                             UINT{WM_LBUTTONUP}}) {
            View().Send(message, message == WM_LBUTTONUP ? 0u : static_cast<WPARAM>(MK_LBUTTON),
                        at);
        }
        PumpMessages(20);
    }
    void Command(int id) { ::SendMessageA(Hwnd(), WM_COMMAND, static_cast<WPARAM>(id), 0); }
    void Changed(const DnsItemPtr& item) const {
        ::SendMessageA(Hwnd(), WM_DNSITEM_CHANGED, reinterpret_cast<WPARAM>(item.get()), 0);
    }

protected:
    std::optional<LRESULT> OnNotify(NMHDR& header) override { return list.OnNotify(header); }
    bool OnCommand(int id, int code, HWND control) override {
        return list.OnCommand(id) || CDialog::OnCommand(id, code, control);
    }
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_CONTEXTMENU &&
            list.OnContextMenu(reinterpret_cast<HWND>(wParam), PointFromLParam(lParam))) {
            return 0;
        }
        if (message != WM_DNSITEM_CHANGED) {
            return std::nullopt;
        }
        list.RefreshCacheRow(reinterpret_cast<DnsItem*>(wParam));
        return 0;
    }
};

class CacheList : public ::testing::Test {
protected:
    void SetUp() override {
        ::DeleteFileA(m_file.c_str());
        ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Veltmark\\CacheListTest");
    }
    void TearDown() override { ::DeleteFileA(m_file.c_str()); }

    const std::string m_file = TempPath("qf-cache-list-test.csv");
    const CRegistryProfile m_profile{"Veltmark", "CacheListTest"};
    CCacheHost m_host{m_file};
};

TEST_F(CacheList, HeaderClicksSortAscendingThenDescendingThenAscending) {
    m_host.Add("b.test", "10.0.0.2");
    m_host.Add("c.test", "10.0.0.3");
    m_host.Add("a.test", "10.0.0.1");
    m_host.Open(m_profile);
    // Without a saved layout: by ID, ascending.
    EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"0", "1", "2"}));
    EXPECT_EQ(m_host.list.SortKey(), 1);

    m_host.Select({1, 2}, 2);
    m_host.ClickHeader(kDomainColumn);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"a.test", "b.test", "c.test"}));
    m_host.ClickHeader(kDomainColumn);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"c.test", "b.test", "a.test"}));
    // The selection and its mark stay with their entries (IDs 1 and 2: c.test and a.test).
    EXPECT_EQ(m_host.Selected(), (std::vector<int>{0, 2}));
    EXPECT_EQ(m_host.Mark(), 2);
    m_host.ClickHeader(kDomainColumn);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"a.test", "b.test", "c.test"}));
    EXPECT_EQ(m_host.list.SortKey(), 2);
    EXPECT_EQ(m_host.Row(0), "2,a.test,10.0.0.1,0,00/00 00:00");
}

TEST_F(CacheList, ASortLeavesTheViewWhereItWas) {
    for (int entry = 0; entry < 300; ++entry) {
        m_host.Add("h" + std::to_string(entry) + ".test", "10.0.0.1", (entry * 7) % 50);
    }
    m_host.Open(m_profile);
    const auto topRow = [&] { return static_cast<int>(m_host.View().Send(LVM_GETTOPINDEX)); };
    EXPECT_EQ(topRow(), 0);
    m_host.ClickHeader(kHitsColumn);
    EXPECT_EQ(topRow(), 0);
    m_host.View().EnsureVisible(150);
    const int shown = topRow();
    m_host.ClickHeader(kHitsColumn);
    EXPECT_EQ(topRow(), shown);
}

TEST_F(CacheList, EqualHitsGoByAscendingIdInBothDirections) {
    for (int hits : {5, 2, 5, 2}) {
        m_host.Add("h" + std::to_string(m_host.cache.GetCount()) + ".test", "10.0.0.1", hits);
    }
    m_host.Open(m_profile);
    m_host.ClickHeader(kHitsColumn);
    EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"1", "3", "0", "2"}));
    m_host.ClickHeader(kHitsColumn);
    EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"0", "2", "1", "3"}));

    // Counts far apart (a file may hold any 32-bit number) still sort in order.
    CCacheHost apart(m_file);
    apart.Add("most.test", "10.0.0.1", 2'147'483'647);
    apart.Add("negative.test", "10.0.0.1", -2);
    apart.Open(m_profile);
    apart.ClickHeader(kHitsColumn);
    EXPECT_EQ(apart.Cells(kDomainColumn), (Texts{"negative.test", "most.test"}));

    m_host.Command(ID_CACHE_CLEAR_HITS_ALL);
    EXPECT_EQ(m_host.Cells(kHitsColumn), (Texts{"0", "0", "0", "0"}));
    EXPECT_NE(ReadFile(m_file).find("h0.test,10.0.0.1,300,0,"), std::string::npos);
    for (int click = 0; click < 2; ++click) {
        m_host.ClickHeader(kHitsColumn);
        EXPECT_EQ(m_host.Cells(kIdColumn), (Texts{"0", "1", "2", "3"}));
    }
}

TEST_F(CacheList, LastHitDateSortsByItsTextWithNeverHitFirst) {
    m_host.Add("december.test", "10.0.0.1", 0, LocalTime(2025, 12, 31, 10));
    m_host.Add("never.test", "10.0.0.2");
    m_host.Add("january.test", "10.0.0.3", 0, LocalTime(2026, 1, 1, 9));
    m_host.Open(m_profile);
    m_host.ClickHeader(kLastHitColumn);
    EXPECT_EQ(m_host.Cells(kLastHitColumn), (Texts{"00/00 00:00", "01/01 09:00", "12/31 10:00"}));
    m_host.ClickHeader(kLastHitColumn);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"december.test", "january.test", "never.test"}));
}

TEST_F(CacheList, SearchWrapsAroundAndLooksIntoTheAddresses) {
    m_host.Add("alpha.test", "10.0.0.1");
    m_host.Add("beta.test", "10.0.0.2|192.168.7.9");
    m_host.Add("gamma.test", "10.0.0.3");
    m_host.Open(m_profile);
    m_host.Select({0, 2}, 2);
    m_host.list.Search("test");
    EXPECT_EQ(m_host.Mark(), 0) << "from the last row on to the first";
    EXPECT_EQ(m_host.Selected(), (std::vector<int>{0})) << "the previous mark's row is let go";
    m_host.list.Search("168.7");
    EXPECT_EQ(m_host.Mark(), 1) << "a part of the second address";
    m_host.list.Search("168.7");
    EXPECT_EQ(m_host.Mark(), 1) << "the mark's own row is tested last";

    m_host.Select({2}, -1);
    m_host.list.Search("");
    EXPECT_EQ(m_host.Mark(), 1) << "without a mark the search starts at row 1";
    EXPECT_EQ(m_host.Selected(), (std::vector<int>{1}));
    m_host.Select({0, 2}, 1);
    m_host.list.Search("alpha");
    EXPECT_EQ(m_host.Selected(), (std::vector<int>{0, 2}));

    CMessageBoxAnswerer answerer;
    m_host.list.Search("missing");
    EXPECT_EQ(answerer.Texts(),
              (Texts{"Cann't find a domain or ip address including such a keyword."}));
    EXPECT_EQ(m_host.Mark(), 0);
}

TEST_F(CacheList, NotifiedEntriesAreRefreshedInPlaceOrAddedAtTheEnd) {
    m_host.Add("a.test", "10.0.0.1", 3);
    DnsItemPtr b = m_host.Add("b.test", "10.0.0.2", 1);
    m_host.Open(m_profile);
    m_host.ClickHeader(kDomainColumn);
    m_host.ClickHeader(kDomainColumn);  // b.test, a.test

    const std::time_t now = std::time(nullptr);
    m_host.cache.RecordHit(*b, now);
    m_host.Changed(b);
    EXPECT_EQ(m_host.Row(0), "1,b.test,10.0.0.2,2," + FormatLastHit(now));

    CLockedStringList addresses;
    addresses.AddTail("10.0.0.9");
    DnsItemPtr learned = m_host.cache.Learn("c.test", addresses, 60, now);
    m_host.Changed(learned);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"b.test", "a.test", "c.test"}));

    // A hit told after the user deleted the entry brings no row back.
    m_host.Select({0}, 0);
    m_host.Command(ID_CACHE_DELETE);
    m_host.Changed(b);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"a.test", "c.test"}));
}

TEST_F(CacheList, NewOnACachedDomainRefreshesItsRowInPlace) {
    m_host.Add("a.test", "10.0.0.1", 4, LocalTime(2026, 3, 4, 5));
    m_host.Add("b.test", "10.0.0.2", 7);
    m_host.Open(m_profile);
    {
        CWindowScript script("Dns Item", FillItemDialog("a.test", {"10.9.9.9", "10.9.9.8"}));
        m_host.Command(ID_CACHE_NEW);
        EXPECT_TRUE(script.Ran());
    }
    EXPECT_EQ(m_host.Row(0), "0,a.test,10.9.9.9|10.9.9.8,4,03/04 05:00");
    EXPECT_EQ(m_host.Cells(kIdColumn).size(), 2u);
    EXPECT_NE(ReadFile(m_file).find("a.test,10.9.9.9|10.9.9.8,0,4,"), std::string::npos);
}

TEST_F(CacheList, ClearThenNewNumbersFromZero) {
    m_host.Add("a.test", "10.0.0.1");
    m_host.Add("b.test", "10.0.0.2");
    m_host.Open(m_profile);
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
    {
        CWindowScript script("Dns Item", FillItemDialog("fresh.test", {"10.1.1.1"}));
        m_host.Command(ID_CACHE_NEW);
    }
    EXPECT_EQ(m_host.Row(0), "0,fresh.test,10.1.1.1,0,00/00 00:00");
}

TEST_F(CacheList, EditOpensTheDoubleClickedRowAndKeepsTheEntrysTtl) {
    m_host.Add("a.test", "10.0.0.1");
    DnsItemPtr b = m_host.Add("b.test", "10.0.0.2|10.0.0.3", 5);
    {
        auto lock = m_host.cache.Lock();
        b->Ttl = 86'400;
    }
    m_host.Open(m_profile);
    std::string shownTtl;
    bool readOnly = false;
    auto fill = FillItemDialog("", {"10.0.0.3", "10.0.0.2"});
    {
        CWindowScript script("Dns Item", [&](HWND dialog) {
            shownTtl = CWindow(::GetDlgItem(dialog, IDC_ITEM_TTL)).GetText();
            readOnly = (::GetWindowLongPtrA(::GetDlgItem(dialog, IDC_ITEM_DOMAIN), GWL_STYLE) &
                        ES_READONLY) != 0;
            fill(dialog);
        });
        m_host.DoubleClickRow(1);
        EXPECT_TRUE(script.Ran());
    }
    EXPECT_TRUE(readOnly);
    EXPECT_EQ(shownTtl, "86400");
    EXPECT_EQ(m_host.Row(1), "1,b.test,10.0.0.3|10.0.0.2,5,00/00 00:00");
    EXPECT_NE(ReadFile(m_file).find("b.test,10.0.0.3|10.0.0.2,86400,5,"), std::string::npos);

    // Unchanged: the entry and the file stay as they are.
    ::DeleteFileA(m_file.c_str());
    {
        CWindowScript script("Dns Item", [](HWND dialog) {
            ::SendMessageA(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        });
        m_host.DoubleClickRow(0);
        EXPECT_TRUE(script.Ran());
    }
    EXPECT_EQ(::GetFileAttributesA(m_file.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(CacheList, DeleteRemovesOnlyTheSelectionMarksRow) {
    for (const char* domain : {"a.test", "b.test", "c.test", "d.test"}) {
        m_host.Add(domain, "10.0.0.1");
    }
    m_host.Open(m_profile);
    m_host.Select({0, 1, 3}, 1);
    m_host.Command(ID_CACHE_DELETE);
    EXPECT_EQ(m_host.Cells(kDomainColumn), (Texts{"a.test", "c.test", "d.test"}));
    EXPECT_EQ(m_host.Selected(), (std::vector<int>{0, 2}));
    EXPECT_EQ(m_host.cache.Lookup("b.test"), nullptr);
    EXPECT_EQ(ReadFile(m_file).find("b.test"), std::string::npos);
    EXPECT_NE(ReadFile(m_file).find("c.test"), std::string::npos);

    m_host.Select({0}, -1);
    m_host.Command(ID_CACHE_DELETE);
    EXPECT_EQ(m_host.Cells(kDomainColumn).size(), 3u) << "nothing without a selection mark";
}

TEST_F(CacheList, ClearHitsOfTheSelectedRows) {
    for (const char* domain : {"a.test", "b.test", "c.test"}) {
        m_host.Add(domain, "10.0.0.1", 9);
    }
    m_host.Open(m_profile);
    m_host.Select({}, -1);
    {
        CMessageBoxAnswerer answerer;
        m_host.Command(ID_CACHE_CLEAR_HITS_SELECTED);
        EXPECT_EQ(answerer.Texts(), (Texts{"There are no items selected !"}));
    }
    m_host.Select({0, 2}, 2);
    m_host.Command(ID_CACHE_CLEAR_HITS_SELECTED);
    EXPECT_EQ(m_host.Cells(kHitsColumn), (Texts{"0", "9", "0"}));
    EXPECT_NE(ReadFile(m_file).find("b.test,10.0.0.1,300,9,"), std::string::npos);
    EXPECT_NE(ReadFile(m_file).find("c.test,10.0.0.1,300,0,"), std::string::npos);
}

TEST_F(CacheList, SaveSaysWhereItWroteOrThatItFailed) {
    m_host.Add("a.test", "10.0.0.1");
    m_host.Open(m_profile);
    CMessageBoxAnswerer answerer;
    m_host.Command(ID_CACHE_SAVE);
    EXPECT_EQ(answerer.Texts(), (Texts{"Save to file " + m_file + " successfully."}));

    const std::string nowhere = TempPath("no-such-folder\\DnsItem.csv");
    CCacheHost unwritable(nowhere);
    unwritable.Open(m_profile);
    unwritable.Command(ID_CACHE_SAVE);
    EXPECT_EQ(answerer.Texts().back(), "Save to file " + nowhere + " failed.");
}

TEST_F(CacheList, ImportReplacesSharedDomainsAndRewritesTheDefaultFile) {
    m_host.Add("a.test", "10.0.0.1", 7);
    m_host.Add("b.test", "10.0.0.2", 1);
    m_host.Open(m_profile);
    const std::string imported = TempPath("qf-cache-list-import.csv");
    std::ofstream(imported, std::ios::binary) << "#Domain,IP,TTL,HITS,LASTHITDATE\r\n"
                                                 "b.test,10.0.0.8,600,4,1700000000\r\n"
                                                 "c.test,10.0.0.9,600,0,1700000000\r\n";
    {
        CWindowScript cancel("Open", [](HWND dialog) {
            ::SendMessageA(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        });
        m_host.Command(ID_CACHE_IMPORT);
        EXPECT_TRUE(cancel.Ran());
    }
    EXPECT_EQ(m_host.Cells(kIdColumn).size(), 2u);
    {
        CWindowScript script("Open", ChooseFile(imported));
        m_host.Command(ID_CACHE_IMPORT);
        EXPECT_TRUE(script.Ran());
    }
    Texts rows;
    for (int row = 0; row < 3; ++row) {
        rows.push_back(m_host.Row(row).substr(0, m_host.Row(row).rfind(',')));
    }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Texts{"0,a.test,10.0.0.1,7", "2,b.test,10.0.0.8,4", "3,c.test,10.0.0.9,0"}));
    const std::string saved = ReadFile(m_file);
    for (const char* line : {"a.test,10.0.0.1,300,7,", "b.test,10.0.0.8,600,4,1700000000",
                             "c.test,10.0.0.9,600,0,1700000000"}) {
        EXPECT_NE(saved.find(line), std::string::npos) << line;
    }

    const std::string exported = TempPath("qf-cache-list-export.csv");
    ::DeleteFileA(exported.c_str());
    {
        CWindowScript script("Save As", ChooseFile(exported));
        m_host.Command(ID_CACHE_EXPORT);
        EXPECT_TRUE(script.Ran());
    }
    EXPECT_EQ(ReadFile(exported), saved);
    ::DeleteFileA(imported.c_str());
    ::DeleteFileA(exported.c_str());
}

TEST_F(CacheList, TheLayoutIsSavedInFiftyThreeBytesAndRestored) {
    m_host.Add("a.test", "10.0.0.1", 1);
    m_host.Add("b.test", "10.0.0.2", 2);
    m_host.Open(m_profile);
    m_host.ClickHeader(kHitsColumn);
    m_host.ClickHeader(kHitsColumn);
    m_host.list.Control().ShowColumn(kIpColumn, false);
    m_host.list.SaveLayout(m_profile);
    const auto bytes = m_profile.ReadBinary("Settings", "Overview");
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->size(), 53u);

    CCacheHost restored(m_file);
    restored.Add("a.test", "10.0.0.1", 1);
    restored.Add("b.test", "10.0.0.2", 2);
    restored.Open(m_profile);
    EXPECT_EQ(restored.list.SortKey(), -4);
    EXPECT_EQ(restored.Cells(kDomainColumn), (Texts{"b.test", "a.test"}));
    EXPECT_FALSE(restored.list.Control().IsColumnShown(kIpColumn));

    // A layout saved for four columns is not this list's.
    ListLayout four{-2, std::vector<ColumnLayout>(4, ColumnLayout{true, 40, 0})};
    m_profile.WriteBinary("Settings", "Overview", EncodeListLayout(four));
    CCacheHost other(m_file);
    other.Open(m_profile);
    EXPECT_EQ(other.list.SortKey(), 1);
    EXPECT_TRUE(other.list.Control().IsColumnShown(kIpColumn));
}

TEST_F(CacheList, ARightClickOnARowOpensTheMenuWithEveryCommandEnabled) {
    m_host.Open(m_profile);
    Texts items;
    CWindowScript script("#32768", [&](HWND menuWindow) {
        auto menu = reinterpret_cast<HMENU>(::SendMessageA(menuWindow, MN_GETHMENU, 0, 0));
        for (int position = 0; position < ::GetMenuItemCount(menu); ++position) {
            char text[64] = {};
            ::GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
            const UINT state = ::GetMenuState(menu, static_cast<UINT>(position), MF_BYPOSITION);
            if (text[0] != '\0') {
                items.push_back(std::string(text) + ((state & MF_GRAYED) != 0 ? " grayed" : ""));
            }
        }
        ::PostMessageA(menuWindow, WM_KEYDOWN, VK_ESCAPE, 1);
    });
    NMHDR click{m_host.View().Hwnd(), IDC_CACHE_LIST, static_cast<UINT>(NM_RCLICK)};
    m_host.Send(WM_NOTIFY, IDC_CACHE_LIST, reinterpret_cast<LPARAM>(&click));
    EXPECT_EQ(items,
              (Texts{"&New", "&Save", "&Delete", "Delete &Outdated", "&Clear", "Clear &Hits",
                     "&Resolve", "Resolve &Unresolved", "Resolve &All", "&Import", "&Export"}));
}

}  // namespace

// Opens every dialog of the program and a help balloon with sample content and saves what the
// screen shows as gallery/<name>.png in the working folder, for a person to look at: nothing
// may be clipped, overlap or be unreadable at 96 DPI. Each picture must not be blank.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/statistics_text.h"
#include "res/resource.h"
#include "tests/win/gui_test_support.h"
#include "ui/balloon_tip.h"
#include "ui/editable_list_ctrl.h"
#include "ui/list_ctrl_ex.h"
#include "ui/property_list_box.h"
#include "win/controls.h"
#include "win/dialog.h"

namespace {

std::string BigEndian(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

// An 8-bit RGB PNG whose image data lies in stored (uncompressed) deflate blocks.
std::string Png(const Pixels& pixels) {
    std::string raw;
    for (int y = 0; y < pixels.height; ++y) {
        raw += '\0';  // no filter
        for (int x = 0; x < pixels.width; ++x) {
            const COLORREF colour = pixels.At(x, y);
            raw += {static_cast<char>(GetRValue(colour)), static_cast<char>(GetGValue(colour)),
                    static_cast<char>(GetBValue(colour))};
        }
    }
    std::string zlib = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (const char byte : raw) {
        a = (a + static_cast<uint8_t>(byte)) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0; at < raw.size(); at += 65535) {
        const auto length = static_cast<uint16_t>(std::min<size_t>(65535, raw.size() - at));
        const auto inverse = static_cast<uint16_t>(~length);
        zlib += {static_cast<char>(at + length >= raw.size()), static_cast<char>(length),
                 static_cast<char>(length >> 8), static_cast<char>(inverse),
                 static_cast<char>(inverse >> 8)};
        zlib += raw.substr(at, length);
    }
    zlib += BigEndian((b << 16) | a);
    const auto chunk = [](const std::string& type, const std::string& data) {
        const std::string body = type + data;
        uint32_t crc = 0xFFFFFFFFu;
        for (const char byte : body) {
            crc ^= static_cast<uint8_t>(byte);
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
            }
        }
        return BigEndian(static_cast<uint32_t>(data.size())) + body + BigEndian(~crc);
    };
    const std::string header = BigEndian(static_cast<uint32_t>(pixels.width)) +
                               BigEndian(static_cast<uint32_t>(pixels.height)) +
                               std::string("\x08\x02\0\0\0", 5);  // 8 bits, RGB
    return "\x89PNG\r\n\x1A\n" + chunk("IHDR", header) + chunk("IDAT", zlib) + chunk("IEND", "");
}

// Waits for the windows to paint, then saves the screen rectangle.
void Save(const std::string& name, const RECT& rect) {
    PumpMessages(400);
    const Pixels pixels = CaptureScreen(rect);
    EXPECT_GT(std::set<COLORREF>(pixels.rgb.begin(), pixels.rgb.end()).size(), 4u)
        << name << " looks blank";
    ::CreateDirectoryA("gallery", nullptr);
    std::ofstream("gallery\\" + name + ".png", std::ios::binary) << Png(pixels);
}

// The cache list's sample rows, by hits descending; the list asks for its cells (owner data).
class CSampleRows : public IListRowSource {
public:
    std::string_view CellText(int row, int column) const override {
        static const char* const rows[][5] = {
            {"1", "www.example.com", "93.184.216.34", "12", "12/06 09:14"},
            {"2", "mail.example.org", "192.0.2.10|192.0.2.11", "3", "12/05 22:40"},
            {"3", "unresolved.example.net", "", "0", "00/00 00:00"},
        };
        return rows[row][column];
    }
};

// A dialog shown at a fixed spot of the screen, filled by `fill` when it initialises.
class CShown : public CDialog {
public:
    CShown(int id, std::function<void(CShown&)> fill) : CDialog(id), m_fill(std::move(fill)) {
        Create();
        ::SetWindowPos(m_hwnd, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    }
    CEditableListCtrl editableList;
    CPropertyListBox propertyList;
    std::vector<PropertyItem> lines;
    CListCtrlEx cacheList;
    CSampleRows rows;
    CBalloonTip balloon;

    void Text(int id, const std::string& text) const { CWindow(Item(id)).SetText(text); }
    void FillServers(int placeholder) {
        editableList.AttachPlaceholder(Item(placeholder));
        editableList.SetStandardButtons();
        editableList.ShowSelectionAlways();
        for (const char* server : {"208.67.222.222", "192.0.2.53", "198.51.100.1"}) {
            editableList.AddItem(server);
        }
        editableList.SelectItem(0);
    }

protected:
    bool OnInitDialog() override {
        if (m_fill) {
            m_fill(*this);
        }
        return true;
    }
    std::optional<LRESULT> OnNotify(NMHDR& header) override {
        return cacheList.Hwnd() != nullptr ? cacheList.OnOwnerNotify(header) : std::nullopt;
    }
    bool PreTranslateMessage(MSG& message) override {
        if (balloon.Hwnd() != nullptr) {
            balloon.RelayEvent(message);
        }
        return false;
    }

private:
    std::function<void(CShown&)> m_fill;
};

void FillMainDialog(CShown& dialog) {
    dialog.FillServers(IDC_SERVER_LIST);
    CButton(dialog.Item(IDC_START_AT_LOGIN)).SetCheck(true);
    CWindow(dialog.Item(IDC_START)).Enable(false);
    CComboBox hours(dialog.Item(IDC_UPDATE_HOURS));
    hours.AddString("1");
    hours.SetCurSel(0);

    // As the cache list sets itself up, sorted by hits, descending.
    dialog.cacheList.AttachList(dialog.Item(IDC_CACHE_LIST), &dialog.rows);
    CListView(dialog.cacheList.Hwnd())
        .SetExtendedStyle(LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_LABELTIP);
    const std::pair<int, int> columns[] = {{IDS_COLUMN_ID, 50},
                                           {IDS_COLUMN_DOMAIN, 150},
                                           {IDS_COLUMN_IP, 170},
                                           {IDS_COLUMN_HITS, 50},
                                           {IDS_COLUMN_LAST_HIT, 80}};
    for (const auto& [title, width] : columns) {
        char text[64] = {};
        ::LoadStringA(nullptr, static_cast<UINT>(title), text, sizeof text);
        dialog.cacheList.AddColumn(text, width);
    }
    dialog.cacheList.EnableArrows(true);
    dialog.cacheList.EnableTint(true);
    dialog.cacheList.SetSortKey(-4);
    dialog.cacheList.Send(LVM_SETITEMCOUNT, 3);
    dialog.Text(IDC_STATUS,
                "Cache next update:  10:14:03       \r\nCurrent DNS server: 208.67.222.222 \r\n"
                "DNS server status:  Up             \r\n");
}

TEST(Gallery, EveryDialogAndTheHelpBalloon) {
    struct Shot {
        int id;
        const char* name;
        std::function<void(CShown&)> fill;
    };
    const Shot shots[] = {
        {IDD_ABOUTBOX, "dialog_100_about", nullptr},
        {IDD_QUILLFORTH_DIALOG, "dialog_102_main", FillMainDialog},
        {IDD_DNS_ITEM, "dialog_135_item",
         [](CShown& shown) {
             // As the cache list opens it for a row: the domain cannot be changed.
             shown.Text(IDC_ITEM_DOMAIN, "mail.example.org");
             CEdit(shown.Item(IDC_ITEM_DOMAIN)).SetReadOnly(true);
             shown.FillServers(IDC_ITEM_ADDRESSES);
         }},
        {IDD_RESOLVE_PROGRESS, "dialog_136_progress",
         [](CShown& shown) {
             shown.Text(IDC_PROGRESS_CAPTION, "Resolving all domains by User");
             shown.Text(IDC_PROGRESS_TEXT, "Finished 2, Success 1, Total 3.");
             CProgressBar bar(shown.Item(IDC_PROGRESS_BAR));
             bar.SetRange(0, 3);
             bar.SetPos(2);
         }},
        {IDD_INFORMATION, "dialog_138_statistics",
         [](CShown& shown) {
             std::vector<StatisticsLine> lines{{"Cached DNS item", "3"},
                                               {"Cache last update", "00:00:00"},
                                               {"Cache next update", "10:14:03"},
                                               {"Total run time", "0 days 01:02:03"},
                                               {"Current DNS server", "208.67.222.222"}};
             for (const StatisticsLine& line : RequestStatisticsLines({})) {
                 lines.push_back(line);
             }
             for (const auto& [label, value] : lines) {
                 shown.lines.push_back({label, value, PropertyItem::kText, ""});
             }
             shown.propertyList.Attach(shown.Item(IDC_INFORMATION_LIST));
             for (PropertyItem& line : shown.lines) {
                 shown.propertyList.AddItem(&line);
             }
             CButton(shown.Item(IDC_ALWAYS_ON_TOP)).SetCheck(true);
         }},
        {IDD_OUTDATED, "dialog_139_outdated",
         [](CShown& shown) { shown.Text(IDC_OUTDATED_HOURS, "1"); }},
    };
    for (const Shot& shot : shots) {
        CShown dialog(shot.id, shot.fill);
        Save(shot.name, dialog.WindowRect());
    }

    // The balloon over the Start button, placed so that it fits on the screen.
    CShown dialog(IDD_QUILLFORTH_DIALOG, FillMainDialog);
    dialog.balloon.Create(dialog.Hwnd());
    dialog.balloon.AddTool(dialog.Item(IDC_START),
                           "To start DNS proxy will set system DNS servers to \"127.0.0.1\"\n"
                           "and will stop DNS Client service if it is running.");
    ::SetWindowPos(dialog.Hwnd(), HWND_TOP, 300, 200, 0, 0, SWP_NOSIZE);
    RECT start = CWindow(dialog.Item(IDC_START)).WindowRect();
    ::SetCursorPos((start.left + start.right) / 2, (start.top + start.bottom) / 2);
    ::PostMessageA(dialog.Item(IDC_START), WM_MOUSEMOVE, 0, MakeLParam(4, 4));
    ASSERT_TRUE(PumpUntil([&] { return dialog.balloon.IsVisible(); }, 1500));
    RECT both{};
    const RECT dialogRect = dialog.WindowRect();
    const RECT balloonRect = dialog.balloon.WindowRect();
    ::UnionRect(&both, &dialogRect, &balloonRect);
    Save("balloon_start_button", both);
}

}  // namespace
